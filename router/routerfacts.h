#pragma once

// What the router on the LAN says about itself and about one port, and what asking it to
// forward a port came to. Plain values: they cross from the worker thread that asks the router
// to the front ends, and every text in them came from the LAN, so it is untrusted (shown as
// plain text in widgets, escaped in a terminal).

#include "common/probeprotocol.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillmere::router {

// The protocol a router answered over.
enum class Via { None, Upnp, Natpmp, Pcp };

// "upnp", "natpmp", "pcp", or an empty view for None.
QLatin1StringView viaWord(Via via);

// A port mapping as the router reports it (UPnP GetSpecificPortMappingEntry), or as it was made.
struct Mapping
{
    QString internalClient;    // the LAN address (IPv4) the port goes to; empty: unknown
                               // (the router named no address)
    int internalPort = 0;      // the port on that device
    QString description;       // the text the mapping was made with
    qint64 leaseSeconds = 0;   // what is left of the lease; 0: no end
    QString name;              // a name for internalClient found quickly (reverse DNS), or empty
    bool thisComputer = false; // internalClient is one of this computer's addresses

    friend bool operator==(const Mapping&, const Mapping&) = default;
};

// What a PCP ANNOUNCE to the gateway found.
struct PcpFacts
{
    bool present = false; // a PCP server answered SUCCESS
    int version = 2;      // the version it speaks
    std::optional<quint32> epoch;

    friend bool operator==(const PcpFacts&, const PcpFacts&) = default;
};

// One hop on the way to the check server: the address that answered a probe sent with this
// time to live (1: the router itself, 2: the first hop after it, ...).
struct Hop
{
    int ttl = 0;
    QString address;

    friend bool operator==(const Hop&, const Hop&) = default;
};

// A hole in the router's IPv6 firewall for one port of one address of this computer (UPnP
// IGDv2 WANIPv6FirewallControl, or PCP). IPv6 has no NAT: the port is reached at that address.
struct Pinhole
{
    QString uniqueId;        // the router's ID of it (IGDv2); empty over PCP
    QByteArray nonce;        // the 12 bytes it was made with (PCP); empty over IGDv2
    qint64 leaseSeconds = 0; // how long it lasts
    QString internalAddress; // this computer's global IPv6 address it lets in to

    friend bool operator==(const Pinhole&, const Pinhole&) = default;
};

// What the router says of its IPv6 firewall.
struct Ipv6RouterFacts
{
    bool pinholeAllowed = false;    // it takes pinholes for inbound connections
    Via via = Via::None;            // the protocol it answered over
    std::optional<Pinhole> pinhole; // the one made for the port, when one is known
};

// Everything one lookup learned. A lookup never fails as such: what it could not learn is
// missing, and `error` says why where there is something to say.
struct RouterFacts
{
    bool found = false; // a router answered UPnP IGD or NAT-PMP
    Via via = Via::None;
    QString address;         // the router's LAN address
    QString localAddress;    // this computer's address towards it
    QString externalAddress; // the router's own internet (WAN) address; empty when it gave none
    bool canMap = false;     // it takes port mappings (UPnP with a WAN connection, or NAT-PMP)

    // Whether the router could be asked for the checked port's mapping at all. UPnP can; NAT-PMP
    // cannot list mappings. When it could, a missing `mapping` means "no UPnP mapping": a
    // forward set up by hand in the router's settings is invisible to UPnP.
    bool mappingQueried = false;
    std::optional<Mapping> mapping;

    // The first hops towards the check server (at most three), when they were probed.
    QList<Hop> hops;

    QString error;   // one line: what went wrong, for the person and the log
    QStringList log; // the exchange with the router, a line each, for the log window

    // The router's IPv6 firewall, as it answered over IPv6; nullopt: nothing answered there.
    std::optional<Ipv6RouterFacts> ipv6;

    // PCP at the gateway; nullopt: not asked.
    std::optional<PcpFacts> pcp;
    // The result code of the last PCP MAP this computer sent the gateway (a forward); nullopt:
    // none was answered.
    std::optional<int> pcpMapResult;
};

// What a request to add or remove a mapping came to.
struct ForwardResult
{
    bool ok = false;
    QString error;                  // one line, when not ok
    std::optional<Mapping> mapping; // the mapping made, or the one that stands in the way
    bool conflict = false;          // another device holds the port (UPnP 718, or its mapping)
    bool permanentOnly = false;     // the router took only a lease of 0 (no end)
    // The router's port the mapping is for; 0: the same as the port asked about.
    int externalPort = 0;
    // A removal: the router, asked again afterwards, listed no mapping of the port. False where
    // it cannot list its mappings (NAT-PMP), whose answer to the removal is all there is.
    bool seenGone = false;
    QStringList log;

    // A mapping (IPv4, through NAT) or a pinhole (IPv6, through the router's firewall), and the
    // protocol the router was asked over.
    enum class ForwardKind { Mapping, Pinhole };
    ForwardKind kind = ForwardKind::Mapping;
    Via via = Via::None;
    std::optional<Pinhole> pinhole; // the pinhole made or removed

    // The PCP result code of the router's answer to a MAP; nullopt: no PCP answer.
    std::optional<int> pcpResult;
};
using ForwardKind = ForwardResult::ForwardKind;

} // namespace quillmere::router
