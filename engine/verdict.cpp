#include "verdict.h"

namespace quillmere {

QLatin1StringView colourName(TextColour colour)
{
    switch (colour) {
    case TextColour::Red:
        return QLatin1StringView("red");
    case TextColour::Green:
        return QLatin1StringView("green");
    case TextColour::Blue:
        return QLatin1StringView("blue");
    case TextColour::Black:
        break;
    }
    return QLatin1StringView("black");
}

QString colourHex(TextColour colour)
{
    const Rgb rgb = rgbOf(colour);
    const quint32 value = quint32(rgb.red) << 16 | quint32(rgb.green) << 8 | quint32(rgb.blue);
    return u'#' + QString::number(value, 16).rightJustified(6, u'0');
}

VerdictKind Verdict::kind() const
{
    switch (row) {
    case 4:
    case 7:
        return VerdictKind::OpenHere;
    case 8:
        return VerdictKind::OpenElsewhere;
    case 1:
    case 5:
    case 6:
        return VerdictKind::NotOpen;
    case 2:
        return VerdictKind::NoResult;
    default:
        return VerdictKind::Pending;
    }
}

QString Verdict::pingText() const
{
    return (pingOk ? text::kPingOk : text::kPingFailed).toString();
}

QString Verdict::externalIpText() const
{
    if (!externalAddress)
        return text::kExternalIpUnknown.toString();
    return text::kExternalIpPrefix + *externalAddress;
}

namespace {

void setRow(Verdict& v, int row, QStringView status, TextColour colour)
{
    v.row = row;
    v.status = status.toString();
    v.statusColour = colour;
}

} // namespace

Verdict decideVerdict(QStringView httpLog, QStringView listenerLog, ProbeProtocol protocol,
                      bool waitElapsed)
{
    Verdict v;
    if (!containsMarker(httpLog, marker::kDone)) {
        if (containsMarker(httpLog, marker::kHttpOk))
            setRow(v, 1, text::kNoResultButOk, TextColour::Red);
        else
            setRow(v, 2, text::kNoResult, TextColour::Red);
    } else if (protocol == ProbeProtocol::Udp) {
        if (!waitElapsed) {
            setRow(v, 3, text::kWaitingForPacket, TextColour::Blue);
            v.wait = WaitRequest::GraceWait;
        } else if (containsMarker(listenerLog, marker::kProbe)) {
            setRow(v, 4, text::kOpenHere, TextColour::Green);
            v.info = text::kUdpOpen.toString();
        } else {
            setRow(v, 5, text::kNotOpen, TextColour::Red);
            v.info = text::kUdpClosed.toString();
        }
    } else if (!containsMarker(httpLog, marker::kTcpOpen)) {
        setRow(v, 6, text::kNotOpen, TextColour::Red);
        v.info = text::kTcpClosed.toString();
    } else if (containsMarker(listenerLog, marker::kProbe)) {
        setRow(v, 7, text::kOpenHere, TextColour::Green);
        v.info = text::kTcpOpen.toString();
    } else {
        setRow(v, 8, text::kOpenElsewhere, TextColour::Green);
        v.info = text::kOtherDevice.toString();
        v.wait = WaitRequest::Recheck;
    }

    v.pingOk = containsMarker(httpLog, marker::kPingOk);
    v.externalAddress = extractDelimited(httpLog, marker::kIpOpen, marker::kIpClose);
    v.message = extractDelimited(httpLog, marker::kMessageOpen, marker::kMessageClose);
    return v;
}

} // namespace quillmere
