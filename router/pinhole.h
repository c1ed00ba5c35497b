#pragma once

// Pinholes in the router's IPv6 firewall over UPnP IGDv2 (WANIPv6FirewallControl:1): the same
// four actions as miniupnpc's UPNP_GetFirewallStatus, UPNP_AddPinhole,
// UPNP_CheckPinholeWorking and UPNP_DeletePinhole, sent through our own bounded HTTP client
// (UpnpClient) like every other SOAP call to the router. The service is found in a description
// fetched over IPv6: a router in its secure mode opens a pinhole only for the address the
// request comes from, so the calls go to its IPv6 address from this computer's global one.
//
// A pinhole is only ever asked for one of this computer's own global IPv6 addresses.

#include "common/probeprotocol.h"
#include "router/routerfacts.h"
#include "router/upnp.h"

#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

namespace quillmere::router {

inline constexpr QByteArrayView kFirewallControlType =
    "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1";
// The longest lease IGDv2 allows a pinhole (its LeaseTime is 1 to 86400 s).
inline constexpr qint64 kMaxPinholeLeaseSeconds = 86400;

// The WANIPv6FirewallControl service of a device description, with its control URL, which must
// be on the host the description came from. nullopt otherwise, with `*why`.
std::optional<IgdService> firewallServiceFromDescription(QByteArrayView body,
                                                         const SsdpAnswer& answer, QString* why);

// Why `address` cannot have a pinhole: not an IPv6 address, a link-local or multicast one, or
// not one of this computer's own. Empty when it can. (The address a forward uses is the global
// one this computer sends from towards the router: see globalIpv6Towards.)
QString pinholeAddressObstacle(const QString& address);

// The lease asked for: IGDv2 has no pinhole without an end, so 0 (and anything longer) is its
// longest.
qint64 pinholeLease(qint64 leaseSeconds);

struct FirewallStatus
{
    bool answered = false;
    bool enabled = false;        // FirewallEnabled
    bool pinholeAllowed = false; // InboundPinholeAllowed
    QString error;
};

struct PinholeAdded
{
    bool ok = false;
    QString uniqueId;
    int errorCode = 0; // the UPnP error, e.g. 606 (not authorized), 701 (no such address)
    QString error;
};

// The four actions on one WANIPv6FirewallControl service; each call within `fetchMs`.
class PinholeClient
{
public:
    PinholeClient(UpnpClient& upnp, IgdService service, int fetchMs);

    FirewallStatus status();
    // A pinhole from anywhere to `internalAddress`:`port`. Refused here, without asking the
    // router, when the address is not this computer's own global one.
    PinholeAdded add(const QString& internalAddress, int port, ProbeProtocol protocol,
                     qint64 leaseSeconds);
    // Whether the router says the pinhole lets traffic through; nullopt when it does not say.
    std::optional<bool> working(const QString& uniqueId);
    SoapReply remove(const QString& uniqueId);

private:
    UpnpClient& m_upnp;
    IgdService m_service;
    int m_fetchMs;
};

// Where the pinholes this computer made are kept between runs, so that a later run can remove
// one by its ID. Called from the router's worker thread.
class PinholeStore
{
public:
    virtual ~PinholeStore() = default;
    // `*error`: one line when the kept pinholes could not be read (a damaged file).
    virtual std::optional<Pinhole> find(ProbeProtocol protocol, int port,
                                        QString* error = nullptr) = 0;
    // `*error`: one line when it could not be kept.
    virtual void put(ProbeProtocol protocol, int port, const Pinhole& pinhole, QString* error) = 0;
    virtual void remove(ProbeProtocol protocol, int port) = 0;
};

// Kept in memory only: for one run, and for tests.
std::shared_ptr<PinholeStore> makeMemoryPinholeStore();
// Kept with the other mappings between runs (MappingStore, in the state folder); `path` empty:
// MappingStore::defaultPath().
std::shared_ptr<PinholeStore> makeMappingPinholeStore(const QString& path = {});

} // namespace quillmere::router
