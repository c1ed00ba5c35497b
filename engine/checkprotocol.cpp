#include "engine/checkprotocol.h"

namespace quillmere {

QByteArray buildCheckRequest(QStringView portText, ProbeProtocol protocol, QStringView hostHeader)
{
    const QByteArray port = portText.toLatin1();
    const QByteArray host = hostHeader.toLatin1();
    const QLatin1StringView word = protocolWord(protocol);
    const std::string request =
        wire::checkRequest(std::string_view(port.constData(), size_t(port.size())),
                           std::string_view(word.data(), size_t(word.size())),
                           std::string_view(host.constData(), size_t(host.size())));
    return QByteArray(request.data(), qsizetype(request.size()));
}

bool containsMarker(QStringView text, QLatin1StringView marker)
{
    return text.contains(marker, Qt::CaseInsensitive);
}

std::optional<QString> extractDelimited(QStringView text, QLatin1StringView open,
                                        QLatin1StringView close)
{
    const qsizetype at = text.indexOf(open, 0, Qt::CaseInsensitive);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + open.size();
    const qsizetype end = text.indexOf(close, start, Qt::CaseInsensitive);
    if (end < 0)
        return QString();
    return text.mid(start, end - start).toString();
}

ProbeToken findProbeToken(QStringView httpLog)
{
    const qsizetype at = httpLog.indexOf(marker::kTokenOpen, 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    // Never more than one character past the longest token is looked at, however long the
    // text after the marker runs.
    const QStringView rest = httpLog.mid(at + marker::kTokenOpen.size());
    qsizetype digits = 0;
    while (digits < rest.size() && qsizetype(wire::kTokenMaxDigits) >= digits &&
           rest[digits].unicode() < 0x80 && wire::isTokenDigit(char(rest[digits].unicode())))
        ++digits;
    if (digits < qsizetype(wire::kTokenMinDigits) || digits > qsizetype(wire::kTokenMaxDigits) ||
        !rest.mid(digits).startsWith(marker::kTokenClose, Qt::CaseInsensitive))
        return {ProbeToken::State::Malformed, {}};
    return {ProbeToken::State::Valid, rest.first(digits).toString()};
}

bool probeArrived(QStringView httpLog, QStringView listenerLog)
{
    const ProbeToken token = findProbeToken(httpLog);
    switch (token.state) {
    case ProbeToken::State::Absent:
        return containsMarker(listenerLog, marker::kProbe);
    case ProbeToken::State::Malformed:
        return false;
    case ProbeToken::State::Valid:
        break;
    }
    const QString mark = marker::kProbe + marker::fromWire(wire::kTokenSeparator) + token.digits;
    return listenerLog.contains(mark, Qt::CaseInsensitive);
}

} // namespace quillmere
