#include "checkprotocol.h"

namespace quillmere {

QLatin1StringView protocolWord(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Tcp ? QLatin1StringView("tcp") : QLatin1StringView("udp");
}

QByteArray buildCheckRequest(QStringView portText, ProbeProtocol protocol, QStringView hostHeader)
{
    QByteArray request;
    request.reserve(128 + portText.size() + hostHeader.size());
    request += "GET /portcheck3.cgi?port=";
    request += portText.toLatin1();
    request += "&protocol=";
    request += protocolWord(protocol).latin1();
    request += "&version=0 HTTP/1.0\r\n";
    request += "Host: ";
    request += hostHeader.toLatin1();
    request += "\r\n";
    request += "User-Agent: Quillmere/1.0\r\n";
    request += "\r\n";
    return request;
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

} // namespace quillmere
