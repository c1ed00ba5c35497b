#pragma once

#include "common/textcolour.h"
#include "engine/checkprotocol.h"
#include "engine/verdict.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

// The lines a verdict is shown with when the check is not the classic IPv4 one: a check over
// IPv6, where nothing is forwarded and a router's firewall decides, and a check of a service that
// already holds the port, where nothing here can see the probe arrive.
struct VerdictWords
{
    QString status;
    TextColour statusColour = TextColour::Black;
    std::optional<QString> info; // nullopt: the information line is left as it is
    QString externalIp;
    TextColour externalIpColour = TextColour::Black;
};

namespace text {
inline constexpr QStringView kIpv6OpenHere = u"Your port is OPEN on this computer over IPv6!";
inline constexpr QStringView kIpv6OpenElsewhere = u"Your port is OPEN on another device over IPv6!";
inline constexpr QStringView kIpv6NotOpen = u"Your port is NOT OPEN or not reachable over IPv6!";
inline constexpr QStringView kIpv6NoResult =
    u"Could not check your port over IPv6: no result from the server.";
inline constexpr QStringView kIpv6Waiting = u"Waiting for the packet to get here over IPv6...";
inline constexpr QStringView kIpv6ProbedPrefix = u"The server probed your IPv6 address: ";
inline constexpr QStringView kIpv6ProbedUnknown =
    u"The server did not say which IPv6 address it probed.";
} // namespace text

// What a check of a running service found.
enum class ServiceReach {
    Reachable,     // TCP: a service accepted the server's connection
    NotReachable,  // TCP: nothing accepted it
    Unconfirmable, // UDP: the datagram went out; a silent service cannot be told from none
    NoResult,      // the server gave no result
    Pending,       // nothing decided yet
};

ServiceReach serviceReach(const Verdict& verdict);

// "ADDRESS:PORT", with an IPv6 address in brackets.
QString addressWithPort(QStringView address, QStringView port);

VerdictWords ipv6Words(const Verdict& verdict, ProbeProtocol protocol, QStringView port);
VerdictWords serviceWords(const Verdict& verdict, QStringView port);

// When the port is reachable over IPv6 but not over IPv4: what that means for somebody whose
// provider shares IPv4 addresses. Empty otherwise.
QString ipv6OnlyHint(VerdictKind ipv4, VerdictKind ipv6, QStringView ipv6Address, QStringView port);

} // namespace quillmere
