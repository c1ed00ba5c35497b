// The check server's address, HOST[:PORT] or [IPv6]:PORT, from --server and
// QUILLMERE_CHECK_SERVER, and the Host header and request it yields.
//
// Input: the address text as UTF-8.

#include "engine/checkprotocol.h"
#include "engine/checkserver.h"
#include "fuzz/fuzzcheck.h"

#include <QProcessEnvironment>

#include <optional>

using namespace quillmere;

namespace {

bool isHostNameChar(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'.' || u == u'-' || u == u'_';
}

// What a host may hold so that it stays one token in the Host header and in a URL: host name
// characters, and for IPv6 literals ':' and a zone ("%eth0"). No space, no control character,
// nothing outside ASCII, no bracket, slash, '@', '?', '#' or quote.
bool isSafeHostChar(QChar c)
{
    return isHostNameChar(c) || c == u':' || c == u'%' || c == u'~';
}

// HOST[:PORT] without brackets, judged here again: a host name of 1..253 characters and an
// optional port of ASCII digits (leading zeros allowed) valued 1..65535.
std::optional<CheckServerAddress> plainAddress(QStringView text)
{
    const qsizetype colon = text.indexOf(u':');
    const QStringView host = colon < 0 ? text : text.first(colon);
    if (host.isEmpty() || host.size() > 253)
        return std::nullopt;
    for (const QChar c : host) {
        if (!isHostNameChar(c))
            return std::nullopt;
    }
    CheckServerAddress address{host.toString(), 80};
    if (colon >= 0) {
        QStringView port = text.sliced(colon + 1);
        if (port.isEmpty())
            return std::nullopt;
        for (const QChar c : port) {
            if (c.unicode() < u'0' || c.unicode() > u'9')
                return std::nullopt;
        }
        while (!port.isEmpty() && port.front() == u'0')
            port = port.sliced(1);
        if (port.isEmpty() || port.size() > 5)
            return std::nullopt;
        int value = 0;
        for (const QChar c : port)
            value = value * 10 + (c.unicode() - u'0');
        if (value > 65535)
            return std::nullopt;
        address.port = quint16(value);
    }
    return address;
}

// CR LF ends exactly the four lines of the request, and every other byte is printable ASCII.
bool isWellFormedRequest(const QByteArray& request, const QByteArray& hostLine)
{
    const QList<QByteArray> lines = request.split('\n');
    // Three lines, the empty line, and nothing after its line end.
    if (lines.size() != 5 || !lines.back().isEmpty())
        return false;
    for (qsizetype i = 0; i < 4; ++i) {
        const QByteArray& line = lines[i];
        if (!line.endsWith('\r'))
            return false;
        for (qsizetype j = 0; j + 1 < line.size(); ++j) {
            if (line[j] < 0x20 || line[j] > 0x7e)
                return false;
        }
    }
    return lines[0] == "GET /portcheck3.cgi?port=1000&protocol=tcp&version=0 HTTP/1.0\r" &&
           lines[1] == hostLine + '\r' && lines[2] == "User-Agent: Quillmere/1.0\r" &&
           lines[3] == "\r";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto parsed = CheckServerAddress::parse(text);

    if (!text.startsWith(u'[')) {
        // Host names and IPv4 addresses: exactly what the rule above accepts.
        FUZZ_CHECK(parsed == plainAddress(text));
    }

    // The environment variable takes the same text, or falls back and says why.
    QProcessEnvironment environment;
    environment.insert(QString::fromLatin1(kCheckServerVariable), text);
    QString problem;
    const CheckServerAddress fromEnvironment = checkServerFromEnvironment(environment, &problem);
    if (parsed) {
        FUZZ_CHECK(fromEnvironment == *parsed);
        FUZZ_CHECK(problem.isEmpty());
    } else {
        FUZZ_CHECK(fromEnvironment == builtInCheckServer());
        FUZZ_CHECK(!problem.isEmpty());
    }

    if (!parsed)
        return 0;
    const CheckServerAddress& address = *parsed;

    FUZZ_CHECK(!address.host.isEmpty());
    FUZZ_CHECK(address.port >= 1);
    for (const QChar c : address.host)
        FUZZ_CHECK(isSafeHostChar(c));
    // Only a bracketed literal may hold ':', and it comes back in brackets.
    FUZZ_CHECK(address.host.contains(u':') == text.startsWith(u'['));
    const QString hostHeader = address.hostHeader();
    FUZZ_CHECK(hostHeader ==
               (address.host.contains(u':') ? u'[' + address.host + u']' : address.host));

    // The request carries the host as one well-formed header line.
    const QByteArray request = buildCheckRequest(u"1000", ProbeProtocol::Tcp, hostHeader);
    FUZZ_CHECK(QString::fromLatin1(hostHeader.toLatin1()) == hostHeader);
    FUZZ_CHECK(isWellFormedRequest(request, "Host: " + hostHeader.toLatin1()));

    // The help page's address is one token.
    const QString help = helpPageUrl(address);
    for (const QChar c : help)
        FUZZ_CHECK(c.unicode() > 0x20 && c.unicode() < 0x7f);

    // Written out and read back, the address is the same; and the Host header names the host
    // on port 80.
    FUZZ_CHECK(CheckServerAddress::parse(address.authority()) == address);
    const auto fromHeader = CheckServerAddress::parse(hostHeader);
    FUZZ_CHECK(fromHeader && fromHeader->host == address.host && fromHeader->port == 80);
    return 0;
}
