#include "engine/verdict.h"

#include <QHostAddress>

namespace quillmere {

VerdictKind Verdict::kind() const
{
    switch (outcome) {
    case Outcome::UdpArrived:
    case Outcome::TcpArrived:
        return VerdictKind::OpenHere;
    case Outcome::TcpElsewhere:
        return VerdictKind::OpenElsewhere;
    case Outcome::ReplyWithoutCheck:
    case Outcome::UdpMissing:
    case Outcome::TcpNotReached:
        return VerdictKind::NotOpen;
    case Outcome::NoServerResult:
        return VerdictKind::NoResult;
    case Outcome::Undecided:
    case Outcome::UdpGraceWait:
        break;
    }
    return VerdictKind::Pending;
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

void decide(Verdict& v, Outcome outcome, QStringView status, TextColour colour)
{
    v.outcome = outcome;
    v.status = status.toString();
    v.statusColour = colour;
}

// The text of the "-ip:" marker, when it is an IPv4 or IPv6 address and nothing else. Anything
// else (markup, control characters, words, blanks) is no address, and is never shown as one.
std::optional<QString> addressOnly(const std::optional<QString>& text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    for (const QChar c : *text) {
        const bool allowed = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') ||
                             (c >= u'A' && c <= u'F') || c == u'.' || c == u':';
        if (!allowed)
            return std::nullopt;
    }
    if (QHostAddress(*text).isNull())
        return std::nullopt;
    return text;
}

} // namespace

Verdict decideVerdict(QStringView httpLog, QStringView listenerLog, ProbeProtocol protocol,
                      bool waitElapsed)
{
    Verdict v;
    if (!containsMarker(httpLog, marker::kDone)) {
        if (containsMarker(httpLog, marker::kHttpOk))
            decide(v, Outcome::ReplyWithoutCheck, text::kNoResultButOk, TextColour::Red);
        else
            decide(v, Outcome::NoServerResult, text::kNoResult, TextColour::Red);
    } else if (protocol == ProbeProtocol::Udp) {
        if (!waitElapsed) {
            decide(v, Outcome::UdpGraceWait, text::kWaitingForPacket, TextColour::Blue);
            v.wait = WaitRequest::GraceWait;
        } else if (probeArrived(httpLog, listenerLog)) {
            decide(v, Outcome::UdpArrived, text::kOpenHere, TextColour::Green);
            v.info = text::kUdpOpen.toString();
        } else {
            decide(v, Outcome::UdpMissing, text::kNotOpen, TextColour::Red);
            v.info = text::kUdpClosed.toString();
        }
    } else if (!containsMarker(httpLog, marker::kTcpOpen)) {
        decide(v, Outcome::TcpNotReached, text::kNotOpen, TextColour::Red);
        v.info = text::kTcpClosed.toString();
    } else if (probeArrived(httpLog, listenerLog)) {
        decide(v, Outcome::TcpArrived, text::kOpenHere, TextColour::Green);
        v.info = text::kTcpOpen.toString();
    } else {
        decide(v, Outcome::TcpElsewhere, text::kOpenElsewhere, TextColour::Green);
        v.info = text::kOtherDevice.toString();
        v.wait = WaitRequest::Recheck;
    }

    v.pingOk = containsMarker(httpLog, marker::kPingOk);
    v.externalAddress = addressOnly(extractDelimited(httpLog, marker::kIpOpen, marker::kIpClose));
    v.message = extractDelimited(httpLog, marker::kMessageOpen, marker::kMessageClose);
    if (protocol == ProbeProtocol::Tcp)
        v.probe = findProbeEnd(httpLog);
    return v;
}

} // namespace quillmere
