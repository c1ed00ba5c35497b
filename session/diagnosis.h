#pragma once

// One finding from what the check saw from outside and what the router says from inside: why a
// port is or is not open, and what to do next. A pure function, so every combination can be
// tried without a network.

#include "engine/checkserver.h"
#include "engine/verdict.h"
#include "firewall/firewallfacts.h"
#include "router/routerfacts.h"

#include <QHostAddress>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillmere::router {

enum class Finding {
    ForwardedHere,       // "forwarded-here"
    ForwardedElsewhere,  // "forwarded-elsewhere"
    NotForwarded,        // "not-forwarded"
    ForwardedButBlocked, // "forwarded-but-blocked"
    CarrierNat,          // "carrier-nat"
    DoubleNat,           // "double-nat"
    AnotherNat,          // "another-nat"
    NoRouter,            // "no-router"
    NoCheckResult,       // "no-check-result": the check server gave no result to judge by

    // From the control port: the router forwards the port here and its probe died on the way,
    // while a control port mapped the same way got through.
    BlockedUpstream, // "blocked-upstream"
    // The probe arrived at this computer and its firewall dropped or rejected it.
    BlockedByThisComputer, // "blocked-by-this-computer"
};

// The code scripts read: "forwarded-here", "carrier-nat", ...
QLatin1StringView findingCode(Finding finding);

// What the check from outside saw.
struct CheckFacts
{
    VerdictKind verdict = VerdictKind::NoResult;
    QString externalAddress; // the address the server saw (and probed); empty when unknown
    bool pingOk = false;
    QStringList localAddresses; // this computer's own addresses
    int port = 0;               // the port checked, for the texts; 0: unknown ("the port")
    std::optional<ProbeProtocol> protocol; // for the texts; nullopt: not named

    // What was found of this computer's firewall; nullopt: it was not looked at.
    std::optional<firewall::FirewallFacts> firewall;
};

struct Diagnosis
{
    Finding finding = Finding::NoRouter;
    QString headline; // one sentence: what is the case
    QString nextStep; // one or two sentences a person can follow

    QString text() const { return headline + u' ' + nextStep; }
};

Diagnosis diagnose(const CheckFacts& check, const RouterFacts& router);

// The ports internet providers commonly block: 25, 80, 443, 445 and 135-139.
bool isCommonlyBlocked(int port);
// What the control port found when the router forwards `port` here and its probe did not get
// through. `controlOpen`: the control port got through, so the port is dropped on its own; when
// `probeArrivedHere` is false that happened before this computer (blocked-upstream), and while
// it is unknown this computer's firewall is named beside the provider. Otherwise the path from
// the internet is closed for every port tried. The finding names `controlPort` as the external
// port to use instead.
Diagnosis controlPortDiagnosis(int port, ProbeProtocol protocol, int controlPort, bool controlOpen,
                               std::optional<bool> probeArrivedHere);

// Address classes as the diagnosis sees them, from the project's one table of special ranges
// (netranges/netranges.h), so that an address is public here exactly when the check server
// would probe it and the router could take mappings with it. Carrier-grade and private are
// evidence of NAT, which only IPv4 gives (an IPv4-mapped IPv6 address counts as IPv4): an IPv6
// address is neither, and never a reason for a NAT finding.
// 100.64.0.0/10, the shared range of carrier-grade NAT (RFC 6598).
bool isCarrierGrade(const QHostAddress& address);
// 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16 (RFC 1918).
bool isPrivate(const QHostAddress& address);
// Globally reachable: in no special range, or in one the internet reaches. Not private,
// carrier-grade, loopback, link-local, documentation, benchmarking, reserved, multicast, ...
bool isPublic(const QHostAddress& address);

// An address on this computer or the local network: loopback, private (the RFC 1918 ranges,
// fc00::/7, the old site-local fec0::/10), link-local (169.254/16, fe80::/10) or unspecified.
bool isLocalNetworkAddress(const QHostAddress& address);

// When every address of the check server is local, a check says nothing about the router: on
// loopback every port is "open on this computer". The line that says so, with where to set
// another server (`howToSet`); empty when the server has an address beyond the local network or
// none was found.
QString localServerNote(const CheckServerAddress& server, const QList<QHostAddress>& addresses,
                        QStringView howToSet);

// A text from the router or the network made fit to quote: control and format characters
// (line breaks, escapes, direction overrides) dropped, at most `limit` characters, an ellipsis
// marking a cut.
QString quotable(const QString& text, qsizetype limit = 64);

} // namespace quillmere::router
