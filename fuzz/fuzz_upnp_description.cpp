// A device description, fetched from whatever answered the search.
//
// Input: the description's body. A service taken from it is a WAN connection service whose
// control URL is on the device that answered; nothing in it may send the client elsewhere.

#include "fuzz/fuzzcheck.h"
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
