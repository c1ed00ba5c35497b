#pragma once

#include "common/textcolour.h"
#include "engine/checkprotocol.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

namespace text {
// Status lines.
inline constexpr QStringView kContacting = u"Contacting Dunmoor port checker...";
inline constexpr QStringView kConnected =
    u"Connected to Dunmoor, waiting for portcheck to complete...";
inline constexpr QStringView kNoResultButOk = u"Your port is not open or not reachable.";
inline constexpr QStringView kNoResult =
    u"Could not connect to the Dunmoor servers. Your port is not open or not reachable.";
inline constexpr QStringView kWaitingForPacket = u"Waiting for the packet to get here...";
inline constexpr QStringView kOpenHere = u"Your port is OPEN on this computer!";
inline constexpr QStringView kNotOpen = u"Your port is NOT OPEN or not reachable!";
inline constexpr QStringView kOpenElsewhere = u"Your port is OPEN on another device!";

// Explanations.
inline constexpr QStringView kUdpOpen =
    u"This means that our server sent a UDP packet to your computer and it got there as it should. "
    u"Everything is working as it should and your UDP port is forwarded correctly.";
inline constexpr QStringView kUdpClosed =
    u"This means that our server sent a UDP packet to your computer but your computer never got "
    u"it. Most likely your port is not forwarded correctly.";
inline constexpr QStringView kTcpOpen =
    u"This means that our server was able to establish a direct connection to your computer and "
    u"send it data. Everything is working as it should and your TCP port is forwarded correctly.";
inline constexpr QStringView kTcpClosed =
    u"This means that our server was not able to make a TCP connection to your network. Your TCP "
    u"port is not forwarded properly or the device it is forwarded to is not responding.";
inline constexpr QStringView kOtherDevice =
    u"This means that our server was able to establish a direct connection to some device on your "
    u"network, but the data it sent did not arrive at this computer in time. Your port is "
    u"forwarded correctly and may be forwarded to either this computer or another device on your "
    u"network. This may happen even when the port is forwarded to this computer due to network "
    u"load.";

// Ping and address lines.
inline constexpr QStringView kPingOk = u"We were able to ping your router.";
inline constexpr QStringView kPingFailed = u"We were not able to ping your router.";
inline constexpr QStringView kExternalIpPrefix = u"Your external IP address is: ";
inline constexpr QStringView kExternalIpUnknown =
    u"We were not able to determine your external IP address.";
} // namespace text

// What the verdict asks of the wait timer.
enum class WaitRequest {
    None,
    GraceWait, // UDP: give the datagram 5 s to arrive, then decide
    Recheck,   // TCP: the server got in but the probe has not shown up here yet; look again soon
};

// What a verdict means to somebody reading it from a script.
enum class VerdictKind { OpenHere, OpenElsewhere, NotOpen, NoResult, Pending };

// What one evaluation found from the two logs. The values are the rows of the verdict table,
// which quillmere-check reports as "row" in its JSON.
enum class Outcome {
    Undecided = 0,         // no evaluation yet
    ReplyWithoutCheck = 1, // "200 OK" but no "-done-": the server answered without a check
    NoServerResult = 2,    // neither: no check server answered
    UdpGraceWait = 3,      // UDP: the datagram is given time to arrive before anything is decided
    UdpArrived = 4,        // UDP: the server's datagram arrived here
    UdpMissing = 5,        // UDP: the wait is over and no datagram came
    TcpNotReached = 6,     // TCP: the server could not connect (no "-tcpopen-")
    TcpArrived = 7,        // TCP: the server connected and its probe arrived here
    TcpElsewhere = 8,      // TCP: the server connected, but its probe has not arrived here (yet)
};

// Everything one evaluation decides from the two logs.
struct Verdict
{
    Outcome outcome = Outcome::Undecided;
    QString status;
    TextColour statusColour = TextColour::Black;
    std::optional<QString> info; // nullopt: the information line is left as it is
    WaitRequest wait = WaitRequest::None;

    bool pingOk = false;
    std::optional<QString> externalAddress; // nullopt: the server named no address
    std::optional<QString> message;         // nullopt: the server sent no message
    // How the server's TCP probe ended; nullopt for UDP or when the server did not say.
    std::optional<wire::ProbeEnd> probe;

    VerdictKind kind() const;
    QString pingText() const;
    TextColour pingColour() const { return pingOk ? TextColour::Green : TextColour::Red; }
    QString externalIpText() const;
    TextColour externalIpColour() const
    {
        return externalAddress ? TextColour::Green : TextColour::Red;
    }
};

// Decides the verdict from the logs as they stand. `protocol` is the one the probe socket was
// opened with; `waitElapsed` matters for UDP only.
Verdict decideVerdict(QStringView httpLog, QStringView listenerLog, ProbeProtocol protocol,
                      bool waitElapsed);

} // namespace quillmere
