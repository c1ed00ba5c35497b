// A device description, fetched from whatever answered the search.
//
// Input: the description's body. A service taken from it is a WAN connection service whose
// control URL is on the device that answered; nothing in it may send the client elsewhere. The
// same body fetched over IPv6: an IPv6 firewall control taken from it is on that host too.

#include "fuzz/fuzzcheck.h"
#include "router/pinhole.h"
#include "router/upnp.h"

using namespace quillmere;
using namespace quillmere::router;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const SsdpAnswer answer = [] {
        SsdpAnswer a;
        a.sender = QHostAddress(u"192.168.1.1"_qs);
        a.location = *parseHttpUrl("http://192.168.1.1:5000/rootDesc.xml");
        return a;
    }();

    static const SsdpAnswer answer6 = [] {
        SsdpAnswer a;
        a.sender = QHostAddress(u"fe80::1"_qs);
        a.location = *parseHttpUrl("http://[2001:db8:100:1::1]:5000/rootDesc.xml");
        return a;
    }();
    QString why6;
    if (const auto firewall =
            firewallServiceFromDescription(QByteArrayView(data, qsizetype(size)), answer6, &why6)) {
        FUZZ_CHECK(firewall->control.host == answer6.location.host);
        FUZZ_CHECK(firewall->serviceType == kFirewallControlType.toByteArray());
        for (const char c : firewall->control.path)
            FUZZ_CHECK(c > ' ' && c < 0x7f);
    } else {
        FUZZ_CHECK(!why6.isEmpty());
    }

    QString why;
    const auto service =
        serviceFromDescription(QByteArrayView(data, qsizetype(size)), answer, &why);
    if (!service) {
        FUZZ_CHECK(!why.isEmpty());
        return 0;
    }
    FUZZ_CHECK(service->address == answer.sender);
    FUZZ_CHECK(service->control.host == answer.sender);
    FUZZ_CHECK(service->serviceType.startsWith("urn:schemas-upnp-org:service:WANIPConnection:") ||
               service->serviceType.startsWith("urn:schemas-upnp-org:service:WANPPPConnection:"));
    for (const char c : service->control.path)
        FUZZ_CHECK(c > ' ' && c < 0x7f);
    return 0;
}
