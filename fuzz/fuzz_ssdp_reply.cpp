// An SSDP answer from anything on the LAN, and the LOCATION URL in it.
//
// Input: the datagram, as sent from 127.0.0.1 (a subnet of this computer's). A believed answer
// names an http URL on the very sender, with a path of printable ASCII; that URL reads back the
// same from its own text. Any URL the parser takes is on an IPv4 address.

#include "fuzz/fuzzcheck.h"
#include "router/httpfetch.h"
#include "router/ssdp.h"

#include <QHostAddress>

using namespace quillmere;
using namespace quillmere::router;

namespace {

void checkUrl(const HttpUrl& url)
{
    FUZZ_CHECK(url.host.protocol() == QAbstractSocket::IPv4Protocol);
    FUZZ_CHECK(url.path.startsWith('/'));
    for (const char c : url.path)
        FUZZ_CHECK(c > ' ' && c < 0x7f);
    // Its own text reads back as the same URL.
    const auto again = parseHttpUrl(url.toString().toLatin1());
    FUZZ_CHECK(again && again->host == url.host && again->port == url.port &&
               again->path == url.path);
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

    // The whole input as a URL too.
    if (const auto url = parseHttpUrl(datagram))
        checkUrl(*url);
    return 0;
}
