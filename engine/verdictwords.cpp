#include "engine/verdictwords.h"

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

QString portWithProtocol(ProbeProtocol protocol, QStringView port)
{
    return (protocol == ProbeProtocol::Tcp ? u"TCP port "_s : u"UDP port "_s) + port;
}

QString noForwardingAdvice(ProbeProtocol protocol, QStringView port)
{
    return u"IPv6 has no port forwarding: open a pinhole for "_s +
           portWithProtocol(protocol, port) +
           u" to this computer in your router's IPv6 firewall, and allow the port in this "
           u"computer's own firewall."_s;
}

} // namespace

ServiceReach serviceReach(const Verdict& verdict)
{
    switch (verdict.outcome) {
    case Outcome::TcpArrived:
    case Outcome::TcpElsewhere:
        return ServiceReach::Reachable;
    case Outcome::TcpNotReached:
        return ServiceReach::NotReachable;
    case Outcome::UdpGraceWait:
    case Outcome::UdpArrived:
    case Outcome::UdpMissing:
        // Once the server answered, the datagram has gone out; nothing here can see it arrive.
        return ServiceReach::Unconfirmable;
    case Outcome::ReplyWithoutCheck:
    case Outcome::NoServerResult:
        return ServiceReach::NoResult;
    case Outcome::Undecided:
        break;
    }
    return ServiceReach::Pending;
}

QString addressWithPort(QStringView address, QStringView port)
{
    if (address.contains(u':'))
        return u'[' + address + u"]:"_s + port;
    return address + u':' + port;
}

VerdictWords ipv6Words(const Verdict& verdict, ProbeProtocol protocol, QStringView port)
{
    VerdictWords words;
    const bool tcp = protocol == ProbeProtocol::Tcp;
    switch (verdict.kind()) {
    case VerdictKind::OpenHere:
        words.status = text::kIpv6OpenHere.toString();
        words.statusColour = TextColour::Green;
        words.info =
            (tcp ? u"Our server connected to this computer at its IPv6 address and sent it "
                   u"data, and the data arrived."_s
                 : u"Our server sent a UDP packet to this computer's IPv6 address and it "
                   u"got here."_s) +
            u" Nothing needs forwarding over IPv6: your router's IPv6 firewall and this "
            u"computer's firewall both let the port through."_s;
        break;
    case VerdictKind::OpenElsewhere:
        words.status = text::kIpv6OpenElsewhere.toString();
        words.statusColour = TextColour::Blue;
        words.info =
            u"Our server connected to the IPv6 address it probed, but the data it sent did "
            u"not arrive at this computer in time. Over IPv6 every device has addresses "
            u"of its own, so the address probed may belong to another device (behind a "
            u"proxy or an IPv6 translator), or the data was slow to arrive."_s;
        break;
    case VerdictKind::NotOpen:
        words.status = text::kIpv6NotOpen.toString();
        words.statusColour = TextColour::Red;
        words.info = (tcp ? u"Our server could not make a TCP connection to this computer's IPv6 "
                            u"address. "_s
                          : u"Our server sent a UDP packet to this computer's IPv6 address but it "
                            u"never got here. "_s) +
                     noForwardingAdvice(protocol, port);
        break;
    case VerdictKind::NoResult:
        words.status = text::kIpv6NoResult.toString();
        words.statusColour = TextColour::Red;
        words.info = u"The check server could not be reached over IPv6, or it answered without "
                     u"checking the port."_s;
        break;
    case VerdictKind::Pending:
        words.status = verdict.outcome == Outcome::UdpGraceWait ? text::kIpv6Waiting.toString()
                                                                : verdict.status;
        words.statusColour = verdict.statusColour;
        break;
    }
    if (verdict.externalAddress) {
        words.externalIp = text::kIpv6ProbedPrefix + *verdict.externalAddress;
        words.externalIpColour = TextColour::Green;
    } else {
        words.externalIp = text::kIpv6ProbedUnknown.toString();
        words.externalIpColour = TextColour::Red;
    }
    return words;
}

VerdictWords serviceWords(const Verdict& verdict, QStringView port)
{
    VerdictWords words;
    const QString where = verdict.externalAddress ? addressWithPort(*verdict.externalAddress, port)
                                                  : u"port "_s + port;
    switch (serviceReach(verdict)) {
    case ServiceReach::Reachable:
        words.status =
            u"reachable from the internet: a service accepted the connection at "_s + where;
        words.statusColour = TextColour::Green;
        words.info = u"A check of a running service cannot tell this computer from another "
                     u"device behind the same forward: whichever device the router forwards "
                     u"the port to accepted the connection."_s;
        break;
    case ServiceReach::NotReachable:
        words.status =
            u"not reachable from the internet: nothing accepted the connection at "_s + where;
        words.statusColour = TextColour::Red;
        words.info = u"Our server could not make a TCP connection. Check that the router forwards "
                     u"the port to the computer the service runs on, that the service listens on "
                     u"an address other devices can reach, and that no firewall blocks it."_s;
        break;
    case ServiceReach::Unconfirmable:
        words.status = u"the datagram was sent to "_s + where +
                       u", but a service that does not answer unknown datagrams cannot be "
                       u"confirmed"_s;
        words.statusColour = TextColour::Blue;
        words.info = u"UDP has no connection to accept: whether the datagram reached the service "
                     u"cannot be seen from outside. Check the service's own log, or check the port "
                     u"with the service stopped."_s;
        break;
    case ServiceReach::NoResult:
        words.status = u"no result from the server: the running service was not checked"_s;
        words.statusColour = TextColour::Red;
        words.info = u"The check server could not be reached, or it answered without checking "
                     u"the port."_s;
        break;
    case ServiceReach::Pending:
        words.status = verdict.status;
        words.statusColour = verdict.statusColour;
        break;
    }
    words.externalIp = verdict.externalIpText();
    words.externalIpColour = verdict.externalIpColour();
    return words;
}

QString ipv6OnlyHint(VerdictKind ipv4, VerdictKind ipv6, QStringView ipv6Address, QStringView port)
{
    if (ipv6 != VerdictKind::OpenHere || ipv4 == VerdictKind::OpenHere ||
        ipv4 == VerdictKind::OpenElsewhere)
        return {};
    return u"Reachable over IPv6 only. If your provider shares one IPv4 address among many "
           u"customers (carrier-grade NAT or DS-Lite), no forward in your router can open the "
           u"port over IPv4; peers with IPv6 can reach it at "_s +
           addressWithPort(ipv6Address, port) + u'.';
}

} // namespace quillmere
