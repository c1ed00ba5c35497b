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

std::optional<wire::ProbeEnd> findProbeEnd(QStringView httpLog)
{
    const qsizetype at = httpLog.indexOf(marker::kProbeEndOpen, 0, Qt::CaseInsensitive);
    if (at < 0)
        return std::nullopt;
    // The words hold dashes themselves ("timed-out"), so each known word is tried whole, with
    // the closing dash after it.
    const QStringView rest = httpLog.mid(at + marker::kProbeEndOpen.size());
    for (const wire::ProbeEnd end : {wire::ProbeEnd::Connected, wire::ProbeEnd::Refused,
                                     wire::ProbeEnd::TimedOut, wire::ProbeEnd::Unreachable}) {
        const QLatin1StringView word = marker::fromWire(wire::probeEndWord(end));
        if (rest.startsWith(word, Qt::CaseInsensitive) &&
            rest.mid(word.size()).startsWith(marker::kProbeEndClose))
            return end;
    }
    return std::nullopt;
}

std::optional<ServerRefusal> findRefusal(QByteArrayView replyHead)
{
    // "HTTP/1.x NNN", then a space or the line's end.
    constexpr QByteArrayView kVersion = "HTTP/1.";
    if (replyHead.size() < kVersion.size() + 5 || !replyHead.startsWith(kVersion))
        return std::nullopt;
    const QByteArrayView rest = replyHead.sliced(kVersion.size());
    if (rest[0] < '0' || rest[0] > '9' || rest[1] != ' ')
        return std::nullopt;
    int status = 0;
    for (qsizetype i = 2; i < 5; ++i) {
        if (rest[i] < '0' || rest[i] > '9')
            return std::nullopt;
        status = status * 10 + (rest[i] - '0');
    }
    if (rest.size() > 5 && rest[5] != ' ' && rest[5] != '\r' && rest[5] != '\n')
        return std::nullopt;
    if (status != 429 && status != 503)
        return std::nullopt;

    ServerRefusal refusal{status, std::nullopt};
    qsizetype at = replyHead.indexOf('\n');
    while (at >= 0 && at + 1 < replyHead.size()) {
        const qsizetype end = replyHead.indexOf('\n', at + 1);
        QByteArrayView line = replyHead.sliced(at + 1, (end < 0 ? replyHead.size() : end) - at - 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break; // the headers end here
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 &&
            line.first(colon).trimmed().compare("retry-after", Qt::CaseInsensitive) == 0) {
            const QByteArrayView value = line.sliced(colon + 1).trimmed();
            // Delay seconds only (not a date), and no more than a day: no header can hold a
            // watch back for ever.
            bool ok = !value.isEmpty() && value.size() <= 9;
            int seconds = 0;
            for (const char c : value) {
                ok = ok && c >= '0' && c <= '9';
                if (ok)
                    seconds = seconds * 10 + (c - '0');
            }
            if (ok)
                refusal.retryAfterSeconds = std::min(seconds, ServerRefusal::kMaxRetryAfterSeconds);
            break;
        }
        at = end;
    }
    return refusal;
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
