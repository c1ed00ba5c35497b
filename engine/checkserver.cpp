#include "engine/checkserver.h"

#include "engine/buildconfig.h"
#include "engine/checkprotocol.h"
#include "engine/porttext.h"

#include <QHostAddress>

#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

bool isHostNameChar(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'.' || c == u'-' || c == u'_';
}

// An IPv6 literal as it may stand in a Host header: hex digits, ':' and '.', and after a '%' a
// zone made of host-name characters. Qt's own parser lets blanks, CR and LF through, and any
// text after the '%'.
bool isPlainIpv6Literal(QStringView text)
{
    const qsizetype percent = text.indexOf(u'%');
    const QStringView address = percent < 0 ? text : text.first(percent);
    for (QChar c : address) {
        const bool hex =
            (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!hex && c != u':' && c != u'.')
            return false;
    }
    if (percent < 0)
        return true;
    const QStringView zone = text.sliced(percent + 1);
    return !zone.isEmpty() && zone.size() <= 64 &&
           std::all_of(zone.begin(), zone.end(), isHostNameChar);
}

std::optional<quint16> parsePort(QStringView text)
{
    // Port 0 names no server.
    const auto port = plainPortNumber(text);
    if (!port || *port == 0)
        return std::nullopt;
    return quint16(*port);
}

} // namespace

std::optional<CheckServerAddress> CheckServerAddress::parse(QStringView text)
{
    CheckServerAddress address;
    QStringView portPart;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        address.host = text.sliced(1, close - 1).toString();
        QHostAddress literal;
        if (!isPlainIpv6Literal(address.host) || !literal.setAddress(address.host) ||
            literal.protocol() != QHostAddress::IPv6Protocol)
            return std::nullopt;
        const QStringView rest = text.sliced(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            portPart = rest.sliced(1);
            if (portPart.isEmpty())
                return std::nullopt;
        }
    } else {
        const qsizetype colon = text.indexOf(u':');
        QStringView hostPart = text;
        if (colon >= 0) {
            hostPart = text.first(colon);
            portPart = text.sliced(colon + 1);
            if (portPart.isEmpty())
                return std::nullopt;
        }
        if (hostPart.isEmpty() || hostPart.size() > 253)
            return std::nullopt;
        for (QChar c : hostPart) {
            if (!isHostNameChar(c))
                return std::nullopt;
        }
        address.host = hostPart.toString();
    }
    if (!portPart.isEmpty()) {
        const auto port = parsePort(portPart);
        if (!port)
            return std::nullopt;
        address.port = *port;
    }
    return address;
}

QString CheckServerAddress::hostHeader() const
{
    return host.contains(u':') ? u'[' + host + u']' : host;
}

QString CheckServerAddress::authority() const
{
    return port == 80 ? hostHeader() : hostHeader() + u':' + QString::number(port);
}

CheckServerAddress builtInCheckServer()
{
    return CheckServerAddress{QString::fromLatin1(build::kCheckServerHost), 80};
}

CheckServerAddress checkServerFromEnvironment(const QProcessEnvironment& environment,
                                              QString* problem)
{
    const QString variable = QString::fromLatin1(kCheckServerVariable);
    if (!environment.contains(variable))
        return builtInCheckServer();
    const QString value = environment.value(variable);
    if (const auto parsed = CheckServerAddress::parse(value))
        return *parsed;
    if (problem)
        *problem = variable + u" is not HOST[:PORT]: \""_s + value + u"\"; using "_s +
                   builtInCheckServer().authority();
    return builtInCheckServer();
}

bool environmentNamesServer(const QProcessEnvironment& environment)
{
    const QString variable = QString::fromLatin1(kCheckServerVariable);
    return environment.contains(variable) &&
           CheckServerAddress::parse(environment.value(variable)).has_value();
}

QString helpPageUrl(const CheckServerAddress& server)
{
    const QString configured = QString::fromLatin1(build::kHelpPageHost);
    const QString host = configured.isEmpty() ? server.authority() : configured;
    return u"http://"_s + host + marker::fromWire(wire::kHelpPath);
}

} // namespace quillmere
