// An SSDP answer from anything on the LAN, and the LOCATION URL in it.
//
// Input: the datagram, as sent from 127.0.0.1 (a subnet of this computer's), and as an answer
// to the search over IPv6 from ::1 and from a link-local router. A believed answer names an
// http URL on the very sender (over IPv6: on the sender's link, never a link-local address but
// the sender's, with the interface searched), with a path of printable ASCII; that URL reads
// back the same from its own text. Any URL the parser takes is on an IPv4 or IPv6 address, and
// only a link-local one has a zone.

#include "fuzz/fuzzcheck.h"
#include "router/httpfetch.h"
#include "router/ssdp.h"

#include <QHostAddress>

using namespace quillmere;
using namespace quillmere::router;

namespace {

void checkUrl(const HttpUrl& url)
{
    FUZZ_CHECK(url.host.protocol() == QAbstractSocket::IPv4Protocol ||
               url.host.protocol() == QAbstractSocket::IPv6Protocol);
    FUZZ_CHECK(url.host.scopeId().isEmpty() || url.host.isLinkLocal());
    FUZZ_CHECK(url.path.startsWith('/'));
    for (const char c : url.path)
        FUZZ_CHECK(c > ' ' && c < 0x7f);
    // Its own text reads back as the same URL.
    const auto again = parseHttpUrl(url.toString().toLatin1());
    FUZZ_CHECK(again && again->host == url.host && again->host.scopeId() == url.host.scopeId() &&
               again->port == url.port && again->path == url.path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView datagram(data, qsizetype(size));
    static const QHostAddress sender(QHostAddress::LocalHost);

    QString why;
    const std::optional<HttpUrl> location = acceptSsdpReply(datagram, sender, &why);
    if (location) {
        FUZZ_CHECK(location->host.isEqual(sender, QHostAddress::ConvertV4MappedToIPv4));
        checkUrl(*location);
    } else {
        FUZZ_CHECK(!why.isEmpty());
    }

    // The same answer to the search over IPv6: from ::1 (a unicast search), and from a
    // link-local router on interface 1.
    static const QHostAddress sender6(QHostAddress::LocalHostIPv6);
    if (const auto url = acceptSsdp6Reply(datagram, sender6, 0, &why)) {
        FUZZ_CHECK(url->host.protocol() == QAbstractSocket::IPv6Protocol);
        FUZZ_CHECK(!url->host.isMulticast());
        checkUrl(*url);
    }
    static const QHostAddress router6 = [] {
        QHostAddress address(u"fe80::1"_qs);
        address.setScopeId(u"1"_qs);
        return address;
    }();
    if (const auto url = acceptSsdp6Reply(datagram, router6, 1, &why)) {
        FUZZ_CHECK(!url->host.isMulticast());
        // A link-local LOCATION is the sender's own, on the interface searched.
        if (url->host.isLinkLocal())
            FUZZ_CHECK(url->host.scopeId() == u"1"_qs && url->host == router6);
        checkUrl(*url);
    }

    // The whole input as a URL too.
    if (const auto url = parseHttpUrl(datagram))
        checkUrl(*url);
    return 0;
}
