#pragma once

// Which firewall this computer runs, the command that opens a port in it, and what the session
// makes of it all: pure functions over the texts the system gives, so every case can be tried
// without the firewall itself.

#include "common/probeprotocol.h"
#include "firewall/evidence.h"

#include <QByteArrayView>
#include <QLatin1StringView>
#include <QMetaType>
#include <QString>

#include <optional>

namespace quillmere::firewall {

enum class Kind { Ufw, Firewalld, Nftables, Unknown };

// "ufw", "firewalld", "nftables", "unknown": the words of quillmere-check's JSON.
QLatin1StringView kindWord(Kind kind);
// "ufw", "firewalld", "nftables", "a firewall on this computer".
QString kindName(Kind kind);

struct FirewallFacts
{
    std::optional<Kind> found;  // nullopt: none found / not looked
    std::optional<bool> blocks; // nullopt: cannot tell
    QString evidence;           // one line
    std::optional<QString> fix; // the exact command, nullopt: none
    QString zone, interface;    // firewalld zone of the default route's interface
};

// The base chain of plain nftables that filters what comes in to this computer.
struct NftChain
{
    QString family; // "inet", "ip", "ip6"
    QString table;
    QString chain;
};

// What the look at this computer found, before the check's evidence is added.
struct Detection
{
    std::optional<Kind> found;
    QString zone;        // firewalld: the zone the default route's interface is in
    QString defaultZone; // firewalld: the default zone
    QString interface;   // the default route's interface
    std::optional<NftChain> nftChain;
    std::optional<bool> portAllowed; // firewalld's queryPort, when it answered
    QString note;                    // what could not be found out, when something could not
};

// Whether /etc/ufw/ufw.conf turns ufw on: the last ENABLED= line says yes (quoted or not, any
// case). Comments and other keys are passed over.
bool ufwEnabled(QByteArrayView conf);
// Whether CAP_NET_ADMIN (bit 12) is in the CapEff line of /proc/self/status.
bool hasNetAdmin(QByteArrayView status);
// The interface of the default route with the lowest metric, from /proc/net/route, else from
// /proc/net/ipv6_route (reject routes over lo passed over); empty when there is none.
QString defaultRouteInterface(QByteArrayView route, QByteArrayView ipv6Route);
// The base chain on the input hook of type filter that decides (the one whose policy drops or
// that has drop or reject rules, else the first), from `nft -j list ruleset`. nullopt: no such
// chain, or not that JSON.
std::optional<NftChain> nftInputChain(QByteArrayView json);

// The command that opens `port` for `protocol` in the firewall found; nullopt when there is none
// to give (none found, or "a firewall on this computer"). A name from the system that a shell
// would read as more than a word is quoted.
std::optional<QString> fixCommand(const Detection& detection, int port, ProbeProtocol protocol);

// The facts the session reports: what was found, with the check's evidence. The fix is given
// when a firewall was found and the evidence does not clear it.
FirewallFacts combine(const Detection& detection, const ProbeEvidence& evidence, int port,
                      ProbeProtocol protocol);

// A word for a POSIX shell: as it is when it is plain, else in single quotes.
QString shellWord(const QString& word);

// What was found, as a person reads it, without the fix: "ufw, blocks the port: <evidence>",
// "none found; <evidence>". Plain text: quote it, escape it, as the place it goes needs.
QString describe(const FirewallFacts& facts);

} // namespace quillmere::firewall

Q_DECLARE_METATYPE(quillmere::firewall::Detection)
Q_DECLARE_METATYPE(quillmere::firewall::FirewallFacts)
