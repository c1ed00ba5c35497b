#pragma once

// The way to the router, as one interface: the real one speaks UPnP IGD (miniupnpc) and NAT-PMP
// (libnatpmp) on the LAN and probes the first hops; tests put a scripted one in its place.
//
// Every call blocks, is bounded in time and in what it reads, and runs on a worker thread,
// never on the GUI thread (RouterClient does that). RouterClient does not wait for a call when
// it goes: it cancels the backend, and the worker thread ends the call and then destroys it.

#include "router/routerfacts.h"

#include <QHostAddress>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quillmere::router {

class PinholeStore;

struct LookupRequest
{
    int port = 0;
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    QString checkServerHost; // where the first hops are probed towards (a name or an address)
};

struct ForwardRequest
{
    int port = 0; // this computer's port, which the mapping goes to
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    qint64 leaseSeconds = 3600; // 0: until removed
    // The router's port the internet reaches; 0: the same as `port`.
    int externalPort = 0;
    // A pinhole in the router's IPv6 firewall for this computer's global IPv6 address, rather
    // than an IPv4 mapping (externalPort then plays no part).
    bool ipv6 = false;

    int external() const { return externalPort == 0 ? port : externalPort; }

    // The protocol to forward over; nullopt: the best the router has (UPnP, then PCP, then
    // NAT-PMP).
    std::optional<Via> via = std::nullopt;
};

class RouterBackend
{
public:
    virtual ~RouterBackend() = default;

    // Finds the router and reads what it says about itself and the port. With no router on the
    // LAN it returns within kNoRouterMs.
    virtual RouterFacts lookup(const LookupRequest& request) = 0;
    // Maps the port to this computer. Never replaces a mapping another device holds.
    virtual ForwardResult forward(const ForwardRequest& request) = 0;
    // Removes the external port's mapping when it points to this computer; refuses one that
    // does not. Where the router can list its mappings it is asked again afterwards, and the
    // removal counts only when the mapping is gone (ForwardResult::seenGone).
    virtual ForwardResult unforward(const ForwardRequest& request) = 0;

    // Asks the call that runs, if any, to end as soon as it can; its result is dropped. Called
    // from another thread while a call may run; no call follows it.
    virtual void cancel() {}
};

// How long a lookup may take when nothing on the LAN answers.
inline constexpr int kNoRouterMs = 2500;

struct SystemRouterSettings
{
    int discoveryMs = 1500;          // SSDP search, and NAT-PMP beside it
    int fetchMs = 1000;              // each HTTP exchange with the router, connect to last byte
    int fetchLimitBytes = 64 * 1024; // each HTTP reply from the router, head and body
    int hopsMs = 1000;               // the first-hops probe, all hops together
    int maxHops = 3;
    int nameMs = 300; // a reverse-DNS name for the device a mapping goes to; 0: none
    // Where the SSDP search goes (IPv4): the multicast group, or a unicast responder in tests.
    QString ssdpAddress = QStringLiteral("239.255.255.250");
    quint16 ssdpPort = 1900;
    // The NAT-PMP gateway (IPv4); empty: the default gateway. The port is for tests.
    QString natpmpGateway;
    quint16 natpmpPort = 5351;

    // IPv6 pinholes. Where the search over IPv6 goes: empty: ff02::c on the interface of the
    // default IPv6 route; an address: a unicast responder in tests. Beside the IPv4 search,
    // within the same time.
    QString ssdp6Address;
    quint16 ssdp6Port = 1900;
    // This computer's address a pinhole is made for, given the router's IPv6 address; empty:
    // the global IPv6 address this computer sends from towards it. Whatever it gives must be
    // one of this computer's own global addresses, or no pinhole is asked for.
    std::function<QString(const QHostAddress& router)> pinholeAddress;
    // Where the IDs of the pinholes made are kept, so that a later run can remove them; null:
    // with the PCP nonces, in the mapping store at mappingStorePath.
    std::shared_ptr<PinholeStore> pinholeStore;
    // The PCP server a pinhole is asked of over IPv6, where the router offers no IGDv2 firewall
    // control; empty: the router of the default IPv6 route. The port is pcpPort.
    QString pcp6Gateway;

    // The PCP server (IPv4 or IPv6); empty: the NAT-PMP gateway. The port is for tests.
    QString pcpGateway;
    quint16 pcpPort = 5351;
    // Where PCP nonces are kept between runs; empty: MappingStore::defaultPath().
    QString mappingStorePath;
};

// The real router: UPnP IGD first, NAT-PMP beside it.
std::unique_ptr<RouterBackend> makeSystemRouterBackend(const SystemRouterSettings& settings = {});

} // namespace quillmere::router
