#include "router/routerbackend.h"

#include "router/boundedcall.h"
#include "router/hops.h"
#include "router/httpfetch.h"
#include "router/lan.h"
#include "router/mappingstore.h"
#include "router/natpmp.h"
#include "router/pcpclient.h"
#include "router/pinhole.h"
#include "router/ssdp.h"
#include "router/upnp.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <limits>
#include <thread>

// How long things take: a lookup searches for discoveryMs (less when the gateway answers),
// then reads at most two descriptions, asks each WAN connection service how it stands when the
// router lists two (within twice fetchMs in all), makes two SOAP calls, each within fetchMs, and
// looks for a name within nameMs; NAT-PMP runs beside the search within discoveryMs, and so do the
// first hops within hopsMs, and a PCP ANNOUNCE to the same gateway as NAT-PMP. With nothing on
// the LAN that is discoveryMs and no more.

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

constexpr QLatin1StringView kDescription("Quillmere");
constexpr int kMaxDescriptionsRead = 2;
constexpr int kMaxTextChars = 200;
// How long the search over IPv6 goes on once the IPv4 search has ended.
constexpr int kIpv6GraceMs = 300;

QByteArray upnpProtocol(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Udp ? "UDP" : "TCP";
}

// A text from the router kept as data: bounded, and without NULs.
QString bounded(const QString& text)
{
    QString out = text.left(kMaxTextChars);
    out.remove(QChar(0));
    return out;
}

// How a WAN connection service stands, best first. A router that lists more than one (a
// WANIPConnection and a WANPPPConnection) is used through the best, in the order miniupnpc's
// UPNP_GetValidIGD takes them: connected with an address the internet can reach, connected with
// a reserved one, then not connected (or not saying).
enum class Standing { ConnectedPublic, ConnectedReserved, NotConnected };

QLatin1StringView standingText(Standing standing)
{
    switch (standing) {
    case Standing::ConnectedPublic:
        return QLatin1StringView("connected");
    case Standing::ConnectedReserved:
        return QLatin1StringView("connected, with a reserved internet address");
    case Standing::NotConnected:
        break;
    }
    return QLatin1StringView("not connected");
}

// The mapping's device for a message: its address, or that it has none.
QString deviceText(const Mapping& mapping)
{
    return mapping.internalClient.isEmpty() ? u"a device the router names by no address"_s
                                            : mapping.internalClient;
}

// What one search found: a UPnP IGD, NAT-PMP, both or neither.
struct Gateway
{
    std::optional<IgdService> igd;
    std::optional<SoapReply> external; // its GetExternalIPAddress reply, when ranking asked it
    NatpmpReply natpmp;
    QHostAddress natpmpGateway;
    std::optional<PcpAnnounceReply> pcp; // nullopt: not asked, or no longer waited for
    QHostAddress pcpGateway;
    QString error; // why no IGD was taken, when some device answered
};

// What the search over IPv6 found: a router's IPv6 firewall control, and how it stands.
struct Firewall6
{
    std::optional<IgdService> service;
    FirewallStatus status;
};

// What a forward can go through, as the last search found it.
struct Ways
{
    std::optional<IgdService> igd;
    bool pcp = false;
    bool natpmp = false;
};

QString pcpProtocol(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Udp ? u"udp"_s : u"tcp"_s;
}

// The mapping this computer has just been given, as a forward reports it.
Mapping ourMapping(const QString& internalClient, int internalPort, qint64 leaseSeconds,
                   const QString& description = {})
{
    Mapping mapping;
    mapping.internalClient = internalClient;
    mapping.internalPort = internalPort;
    mapping.description = description;
    mapping.leaseSeconds = leaseSeconds;
    mapping.thisComputer = true;
    return mapping;
}

struct EntryRead
{
    bool queried = false;  // the router answered usably: a mapping, or "no such entry"
    bool unusable = false; // it answered, but named no device: nothing to go by
    std::optional<Mapping> mapping;
    QString error;
};

class SystemRouterBackend final : public RouterBackend
{
public:
    explicit SystemRouterBackend(const SystemRouterSettings& settings)
        : m_settings(settings)
    {
        if (!m_settings.pinholeStore)
            m_settings.pinholeStore = makeMappingPinholeStore(m_settings.mappingStorePath);
    }

    RouterFacts lookup(const LookupRequest& request) override;
    ForwardResult forward(const ForwardRequest& request) override;
    ForwardResult unforward(const ForwardRequest& request) override;
    void cancel() override { m_cancel.cancel(); }

private:
    Gateway search(QStringList* log);
    // Picks the best of `services` (see Standing); asks only when there is a choice.
    void rank(const QList<IgdService>& services, Gateway* found, QStringList* log);
    EntryRead readEntry(UpnpClient& upnp, const IgdService& igd, int port, ProbeProtocol protocol);
    ForwardResult change(const ForwardRequest& request, bool removing);
    ForwardResult upnpForward(UpnpClient& upnp, const IgdService& igd,
                              const ForwardRequest& request, ForwardResult result);
    ForwardResult upnpUnforward(UpnpClient& upnp, const IgdService& igd,
                                const ForwardRequest& request, ForwardResult result);
    ForwardResult natpmpForward(const ForwardRequest& request, bool removing, ForwardResult result);
    ForwardResult pcpForward(const ForwardRequest& request, ForwardResult result);
    ForwardResult pcpUnforward(const ForwardRequest& request, ForwardResult result);
    // What a forward can go through: what the last search found, or a new search's.
    Ways waysForForward(QStringList* log);
    // The search over IPv6 for the router's firewall control, and how it stands.
    // Stops listening when `stop` or the backend is cancelled.
    Firewall6 search6(QStringList* log, const CancelToken& stop);
    ForwardResult pinholeChange(const ForwardRequest& request, bool removing);
    // A pinhole over PCP: a MAP for this computer's global IPv6 address, sent over IPv6.
    ForwardResult pcpPinhole(const ForwardRequest& request, const std::optional<Pinhole>& kept,
                             ForwardResult result);
    QHostAddress pcp6Gateway() const;
    QString pinholeAddressTowards(const QHostAddress& router) const;

    SystemRouterSettings m_settings;
    CancelToken m_cancel; // cancelled when the client goes; shared with the threads waited for
    ReverseNames m_names;
    std::optional<IgdService> m_igd; // found by the last search
    bool m_natpmp = false;           // NAT-PMP answered the last search
    bool m_pcp = false;              // PCP answered the last search
    QHostAddress m_pcpGateway;
    std::optional<int> m_pcpMapResult;     // the last MAP's answer, for the lookups after it
    std::optional<IgdService> m_firewall6; // found by the last search over IPv6
};

Gateway SystemRouterBackend::search(QStringList* log)
{
    Gateway found;
    const Deadline searchEnd = deadlineIn(m_settings.discoveryMs);

    QStringList natpmpLog;
    NatpmpClient natpmp(m_settings.natpmpGateway, m_settings.natpmpPort, &natpmpLog);
    std::atomic<bool> stopNatpmp{false}; // UPnP answered, or the lookup was cancelled
    natpmp.setCancel(&stopNatpmp);
    std::thread natpmpThread;
    if (natpmp.isOpen()) {
        found.natpmpGateway = natpmp.gateway();
        natpmpThread = std::thread([&] { found.natpmp = natpmp.publicAddress(searchEnd); });
    }

    // PCP beside NAT-PMP, on its own socket: a NAT-PMP server answers its ANNOUNCE with
    // UNSUPP_VERSION, and NAT-PMP's own answer is then the one taken (RFC 6887 section 9).
    QStringList pcpLog;
    found.pcpGateway =
        m_settings.pcpGateway.isEmpty() ? found.natpmpGateway : QHostAddress(m_settings.pcpGateway);
    PcpClient pcp(found.pcpGateway, m_settings.pcpPort, &pcpLog);
    pcp.setCancel(&stopNatpmp);
    std::thread pcpThread;
    if (!found.pcpGateway.isNull())
        pcpThread = std::thread([&] {
            PcpAnnounceReply reply = pcp.announce(searchEnd);
            if (reply.answered || !stopNatpmp)
                found.pcp = reply;
        });
    else
        pcpLog.append(u"PCP: no gateway to ask"_s);

    SsdpSearch ssdp;
    ssdp.destination = QHostAddress(m_settings.ssdpAddress);
    ssdp.port = m_settings.ssdpPort;
    ssdp.timeoutMs = m_settings.discoveryMs;
    ssdp.preferred = found.natpmpGateway;
    ssdp.cancel = &m_cancel;
    const QList<SsdpAnswer> answers = searchGateways(ssdp, log);

    // A device that answers the search but serves nothing useful must not hold the lookup up:
    // the descriptions together get twice fetchMs.
    const Deadline readEnd = deadlineIn(2 * m_settings.fetchMs);
    UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, log);
    int read = 0;
    for (const SsdpAnswer& answer : answers) {
        if (read++ == kMaxDescriptionsRead || msLeft(readEnd) == 0 || m_cancel.isCancelled())
            break;
        const QList<IgdService> services = upnp.readDescription(answer, readEnd);
        if (!services.isEmpty()) {
            stopNatpmp = true;
            rank(services, &found, log);
            break;
        }
        found.error = upnp.lastError();
    }
    if (m_cancel.isCancelled())
        stopNatpmp = true;
    if (natpmpThread.joinable())
        natpmpThread.join();
    if (pcpThread.joinable())
        pcpThread.join();
    log->append(natpmpLog);
    log->append(pcpLog);
    if (found.igd)
        found.error.clear();

    m_igd = found.igd;
    m_natpmp = found.natpmp.answered && found.natpmp.result == 0;
    m_pcp = found.pcp && found.pcp->present;
    m_pcpGateway = found.pcpGateway;
    return found;
}

void SystemRouterBackend::rank(const QList<IgdService>& services, Gateway* found, QStringList* log)
{
    found->igd = services.first();
    if (services.size() < 2)
        return;
    // Each service gets a status and an address query; together within twice fetchMs.
    const Deadline rankEnd = deadlineIn(2 * m_settings.fetchMs);
    UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, log);
    std::optional<Standing> best;
    for (const IgdService& service : services) {
        if (msLeft(rankEnd) == 0 || m_cancel.isCancelled())
            break;
        Standing standing = Standing::NotConnected;
        std::optional<SoapReply> external;
        const SoapReply status = upnp.call(service, "GetStatusInfo", {}, rankEnd);
        if (status.ok() && status.value("NewConnectionStatus").trimmed() == u"Connected"_s) {
            external = upnp.call(service, "GetExternalIPAddress", {}, rankEnd);
            const QHostAddress address(external->value("NewExternalIPAddress").trimmed());
            standing = external->ok() && address.protocol() == QAbstractSocket::IPv4Protocol &&
                               !isReservedIpv4(address)
                           ? Standing::ConnectedPublic
                           : Standing::ConnectedReserved;
        }
        log->append(u"UPnP: "_s + QString::fromLatin1(service.serviceType) + u" is "_s +
                    standingText(standing));
        if (!best || standing < *best) {
            best = standing;
            found->igd = service;
            found->external = external;
        }
        if (standing == Standing::ConnectedPublic)
            break;
    }
    log->append(u"UPnP: using "_s + QString::fromLatin1(found->igd->serviceType) + u" at "_s +
                found->igd->control.toString());
}

EntryRead SystemRouterBackend::readEntry(UpnpClient& upnp, const IgdService& igd, int port,
                                         ProbeProtocol protocol)
{
    EntryRead entry;
    const SoapReply reply = upnp.call(igd, "GetSpecificPortMappingEntry",
                                      {{"NewRemoteHost", ""},
                                       {"NewExternalPort", QByteArray::number(port)},
                                       {"NewProtocol", upnpProtocol(protocol)}},
                                      deadlineIn(m_settings.fetchMs));
    if (reply.errorCode == 714) { // NoSuchEntryInArray
        entry.queried = true;
        return entry;
    }
    if (!reply.ok()) {
        entry.error = u"the router did not give the port's mapping: "_s + reply.error;
        return entry;
    }
    // An answer that names no device (an empty reply with HTTP 200, as some routers give for
    // a port they have no mapping of) says nothing either way.
    const QString client = reply.value("NewInternalClient").trimmed();
    if (client.isEmpty()) {
        entry.unusable = true;
        entry.error = u"the router's answer about the port's mapping named no device"_s;
        upnp.note(u"UPnP: "_s + entry.error + u"; taken as no answer"_s);
        return entry;
    }
    entry.queried = true;
    Mapping mapping;
    // Only an IPv4 address is taken as the device; anything else is kept out of the facts
    // (the device is unknown) and shown only as an excerpt in the log.
    const QHostAddress address(client);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        mapping.internalClient = address.toString();
    } else {
        upnp.note(u"UPnP: the mapping's device \""_s + printableExcerpt(client.toUtf8()) +
                  u"\" is no IPv4 address: taken as unknown"_s);
    }
    mapping.internalPort = reply.value("NewInternalPort").toInt();
    if (mapping.internalPort < 0 || mapping.internalPort > 65535)
        mapping.internalPort = 0;
    mapping.description = bounded(reply.value("NewPortMappingDescription"));
    mapping.leaseSeconds = std::max<qint64>(0, reply.value("NewLeaseDuration").toLongLong());
    mapping.thisComputer =
        !mapping.internalClient.isEmpty() && isOwnAddress(mapping.internalClient);
    entry.mapping = mapping;
    return entry;
}

RouterFacts SystemRouterBackend::lookup(const LookupRequest& request)
{
    RouterFacts facts;
    std::optional<BoundedCall<QList<Hop>>> hops;
    const Deadline hopsEnd = deadlineIn(m_settings.hopsMs);
    if (!request.checkServerHost.isEmpty() && m_settings.maxHops > 0 && m_settings.hopsMs > 0)
        hops.emplace([host = request.checkServerHost, maxHops = m_settings.maxHops,
                      ms = m_settings.hopsMs,
                      cancel = m_cancel] { return probeFirstHops(host, maxHops, ms, cancel); },
                     m_cancel);

    // The IPv6 firewall is searched for beside the IPv4 gateway, within the same time. A gateway
    // that answers at once ends the IPv4 search early; the search over IPv6 then gets only a
    // short while more (a router answers both searches alike) before it stops listening.
    QStringList log6;
    CancelToken stop6;
    auto firewall6Found = std::async(std::launch::async, [&] { return search6(&log6, stop6); });
    const Gateway gateway = search(&facts.log);
    if (m_cancel.isCancelled() || firewall6Found.wait_for(std::chrono::milliseconds(
                                      kIpv6GraceMs)) != std::future_status::ready)
        stop6.cancel();
    const Firewall6 firewall6 = firewall6Found.get();
    facts.log.append(log6);
    if (m_cancel.isCancelled()) {
        facts.error = u"cancelled"_s;
        return facts;
    }
    if (firewall6.service) {
        Ipv6RouterFacts ipv6;
        ipv6.via = Via::Upnp;
        ipv6.pinholeAllowed = firewall6.status.answered && firewall6.status.pinholeAllowed;
        if (std::optional<Pinhole> kept =
                m_settings.pinholeStore->find(request.protocol, request.port)) {
            UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &facts.log);
            PinholeClient pinholes(upnp, *firewall6.service, m_settings.fetchMs);
            // One this computer made in an earlier run, while the router still has it.
            if (!kept->uniqueId.isEmpty() && pinholes.working(kept->uniqueId) != false)
                ipv6.pinhole = kept;
        }
        facts.ipv6 = ipv6;
    } else if (gateway.pcp && gateway.pcp->present) {
        // No IGDv2 firewall control, but PCP: a MAP for this computer's IPv6 address is how it
        // opens a pinhole, and its answer tells whether it does.
        facts.ipv6 = Ipv6RouterFacts{true, Via::Pcp,
                                     m_settings.pinholeStore->find(request.protocol, request.port)};
    }
    if (gateway.pcp)
        facts.pcp = PcpFacts{gateway.pcp->present, gateway.pcp->version, gateway.pcp->epoch};
    facts.pcpMapResult = m_pcpMapResult;
    if (gateway.igd) {
        const IgdService& igd = *gateway.igd;
        UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &facts.log);
        facts.found = true;
        facts.via = Via::Upnp;
        facts.address = igd.address.toString();
        facts.localAddress = localAddressTowards(igd.address);

        const SoapReply external = gateway.external ? *gateway.external
                                                    : upnp.call(igd, "GetExternalIPAddress", {},
                                                                deadlineIn(m_settings.fetchMs));
        if (external.ok()) {
            const QString text = external.value("NewExternalIPAddress").trimmed();
            const QHostAddress address(text);
            if (address.protocol() == QAbstractSocket::IPv4Protocol)
                facts.externalAddress = address.toString();
            else if (!text.isEmpty())
                facts.log.append(u"UPnP: the internet address given is no IPv4 address"_s);
            // A router with no address, or one that cannot be reached from the internet,
            // is not connected the way port mappings need.
            facts.canMap = !facts.externalAddress.isEmpty() && !isReservedIpv4(address);
        } else {
            facts.error = u"the router did not give its internet address: "_s + external.error;
        }

        if (m_cancel.isCancelled())
            return facts;
        EntryRead entry = readEntry(upnp, igd, request.port, request.protocol);
        facts.mappingQueried = entry.queried;
        if (entry.mapping) {
            entry.mapping->name =
                m_names.find(entry.mapping->internalClient, m_settings.nameMs, m_cancel);
            facts.mapping = entry.mapping;
        }
        if (!entry.error.isEmpty() && facts.error.isEmpty())
            facts.error = entry.error;
    } else if (gateway.pcp && gateway.pcp->present) {
        // PCP has no request for the external address: NAT-PMP's answer gives it, when the
        // same server answered that too.
        facts.found = true;
        facts.via = Via::Pcp;
        facts.address = gateway.pcpGateway.toString();
        facts.localAddress = localAddressTowards(gateway.pcpGateway);
        facts.canMap = true;
        if (gateway.natpmp.answered && gateway.natpmp.result == 0)
            facts.externalAddress = gateway.natpmp.publicAddress;
    } else if (gateway.natpmp.answered) {
        facts.found = true;
        facts.via = Via::Natpmp;
        facts.address = gateway.natpmpGateway.toString();
        facts.localAddress = localAddressTowards(gateway.natpmpGateway);
        facts.externalAddress = gateway.natpmp.publicAddress;
        facts.canMap = gateway.natpmp.result == 0;
        if (gateway.natpmp.result != 0)
            facts.error = u"NAT-PMP: "_s + gateway.natpmp.error;
    } else {
        facts.error = gateway.error;
    }

    if (hops) {
        if (std::optional<QList<Hop>> probed = hops->wait(hopsEnd + std::chrono::milliseconds(200)))
            facts.hops = *probed;
        else
            facts.log.append(u"first hops: no result within "_s +
                             QString::number(m_settings.hopsMs) + u" ms"_s);
    }
    return facts;
}

Ways SystemRouterBackend::waysForForward(QStringList* log)
{
    if (!m_igd && !m_natpmp && !m_pcp)
        search(log);
    return {m_igd, m_pcp, m_natpmp};
}

ForwardResult SystemRouterBackend::forward(const ForwardRequest& request)
{
    return request.ipv6 ? pinholeChange(request, false) : change(request, false);
}

ForwardResult SystemRouterBackend::unforward(const ForwardRequest& request)
{
    return request.ipv6 ? pinholeChange(request, true) : change(request, true);
}

Firewall6 SystemRouterBackend::search6(QStringList* log, const CancelToken& stop)
{
    Firewall6 found;
    SsdpSearch ssdp;
    ssdp.port = m_settings.ssdp6Port;
    ssdp.timeoutMs = m_settings.discoveryMs;
    ssdp.cancel = &m_cancel;
    ssdp.stop = &stop;
    if (!m_settings.ssdp6Address.isEmpty()) {
        ssdp.destination = QHostAddress(m_settings.ssdp6Address);
    } else {
        QFile routes(u"/proc/net/ipv6_route"_s);
        const Ipv6DefaultRoute route = routes.open(QIODevice::ReadOnly)
                                           ? defaultIpv6Route(routes.read(256 * 1024))
                                           : Ipv6DefaultRoute();
        if (route.interfaceName.isEmpty()) {
            log->append(u"SSDP over IPv6: no default IPv6 route"_s);
            return found;
        }
        ssdp.destination = QHostAddress(kSsdpIpv6Group);
        ssdp.destination.setScopeId(route.interfaceName);
        ssdp.preferred = route.gateway;
    }
    if (ssdp.destination.protocol() != QAbstractSocket::IPv6Protocol) {
        log->append(u"SSDP over IPv6: no IPv6 address to search at"_s);
        return found;
    }
    const QList<SsdpAnswer> answers = searchGateways(ssdp, log);

    const Deadline readEnd = deadlineIn(2 * m_settings.fetchMs);
    UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, log);
    int read = 0;
    for (const SsdpAnswer& answer : answers) {
        if (read++ == kMaxDescriptionsRead || msLeft(readEnd) == 0 || m_cancel.isCancelled())
            break;
        const QString where = answer.location.toString().left(120);
        const HttpReply reply = httpExchange(answer.location, "GET", {}, {},
                                             std::min(deadlineIn(m_settings.fetchMs), readEnd),
                                             m_settings.fetchLimitBytes);
        if (!reply.error.isEmpty() || reply.status != 200) {
            log->append(
                u"GET "_s + where + u": "_s +
                (reply.error.isEmpty() ? u"HTTP "_s + QString::number(reply.status) : reply.error));
            continue;
        }
        QString why;
        std::optional<IgdService> service =
            firewallServiceFromDescription(reply.body, answer, &why);
        if (!service) {
            log->append(u"GET "_s + where + u": "_s + why);
            continue;
        }
        log->append(u"GET "_s + where + u": HTTP 200, "_s + QString::number(reply.body.size()) +
                    u" bytes; "_s + QString::fromLatin1(service->serviceType) + u" at "_s +
                    service->control.toString().left(120));
        PinholeClient pinholes(upnp, *service, m_settings.fetchMs);
        found.status = pinholes.status();
        found.service = service;
        break;
    }
    m_firewall6 = found.service;
    return found;
}

QHostAddress SystemRouterBackend::pcp6Gateway() const
{
    if (!m_settings.pcp6Gateway.isEmpty())
        return QHostAddress(m_settings.pcp6Gateway);
    QFile routes(u"/proc/net/ipv6_route"_s);
    if (!routes.open(QIODevice::ReadOnly))
        return {};
    return defaultIpv6Route(routes.read(256 * 1024)).gateway;
}

ForwardResult SystemRouterBackend::pcpPinhole(const ForwardRequest& request,
                                              const std::optional<Pinhole>& kept,
                                              ForwardResult result)
{
    result.via = Via::Pcp;
    const bool removing = kept.has_value();
    const QHostAddress gateway = pcp6Gateway();
    if (gateway.protocol() != QAbstractSocket::IPv6Protocol) {
        result.error = u"no IPv6 router to ask over PCP"_s;
        return result;
    }
    // This computer's global address: the one it reaches the internet from (a link-local
    // router would otherwise pick a link-local source).
    const QString internal = removing ? kept->internalAddress
                             : gateway.isLinkLocal()
                                 ? pinholeAddressTowards(QHostAddress(u"2000::"_s))
                                 : pinholeAddressTowards(gateway);
    if (internal.isEmpty()) {
        result.error = u"this computer has no global IPv6 address"_s;
        return result;
    }
    if (const QString obstacle = pinholeAddressObstacle(internal); !obstacle.isEmpty()) {
        result.error = obstacle;
        result.log.append(u"no pinhole asked for: "_s + obstacle);
        return result;
    }
    PcpClient pcp(gateway, m_settings.pcpPort, &result.log);
    PcpMapRequest map;
    map.protocol = request.protocol;
    map.internalPort = quint16(request.port);
    // IPv6 has no NAT: the same port, at this computer's own address.
    map.suggestedExternalPort = quint16(request.port);
    map.suggestedExternalAddress = QHostAddress(internal);
    map.internalAddress = QHostAddress(internal);
    if (removing) {
        if (kept->nonce.size() != qsizetype(map.nonce.size())) {
            result.error = u"the kept nonce of the pinhole is damaged"_s;
            return result;
        }
        std::memcpy(map.nonce.data(), kept->nonce.constData(), map.nonce.size());
        map.lifetime = 0;
        result.pinhole = kept;
    } else {
        map.nonce = PcpClient::randomNonce();
        map.lifetime = quint32(pinholeLease(request.leaseSeconds));
    }
    const PcpMapReply reply = pcp.map(map, deadlineIn(m_settings.discoveryMs));
    if (reply.answered)
        result.pcpResult = reply.result;
    if (!reply.ok()) {
        result.error = u"PCP: "_s + reply.error;
        return result;
    }
    PinholeStore& store = *m_settings.pinholeStore;
    if (removing) {
        store.remove(request.protocol, request.port);
        result.ok = true;
        return result;
    }
    Pinhole pinhole;
    pinhole.nonce =
        QByteArray(reinterpret_cast<const char*>(map.nonce.data()), qsizetype(map.nonce.size()));
    pinhole.leaseSeconds = reply.lifetime;
    pinhole.internalAddress = QHostAddress(internal).toString();
    result.pinhole = pinhole;
    QString notKept;
    store.put(request.protocol, request.port, pinhole, &notKept);
    if (!notKept.isEmpty())
        result.log.append(notKept);
    result.ok = true;
    return result;
}

QString SystemRouterBackend::pinholeAddressTowards(const QHostAddress& router) const
{
    return m_settings.pinholeAddress ? m_settings.pinholeAddress(router)
                                     : globalIpv6Towards(router);
}

// Opens or closes a pinhole in the router's IPv6 firewall for this computer's global address.
ForwardResult SystemRouterBackend::pinholeChange(const ForwardRequest& request, bool removing)
{
    ForwardResult result;
    result.kind = ForwardResult::ForwardKind::Pinhole;
    if (request.port < 1 || request.port > 65535) {
        result.error = u"no such port"_s;
        return result;
    }
    PinholeStore& store = *m_settings.pinholeStore;
    // A removal goes the way the pinhole was made: PCP's by its nonce.
    QString unread;
    const std::optional<Pinhole> kept =
        removing ? store.find(request.protocol, request.port, &unread) : std::nullopt;
    if (request.via == Via::Pcp || (kept && !kept->nonce.isEmpty()))
        return pcpPinhole(request, kept, std::move(result));
    if (request.via && *request.via != Via::Upnp) {
        result.error = u"pinholes go over UPnP IGDv2 or PCP"_s;
        return result;
    }
    std::optional<IgdService> service = m_firewall6;
    if (!service)
        service = search6(&result.log, CancelToken()).service;
    if (!service) {
        // No IGDv2 firewall control: PCP, where the router speaks it, or was named for IPv6.
        if (!request.via && (m_pcp || !m_settings.pcp6Gateway.isEmpty()))
            return pcpPinhole(request, kept, std::move(result));
        result.error = u"no router offers pinholes in its IPv6 firewall (UPnP IGDv2 or PCP)"_s;
        return result;
    }
    result.via = Via::Upnp;
    UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &result.log);
    PinholeClient pinholes(upnp, *service, m_settings.fetchMs);

    if (removing) {
        if (!kept || kept->uniqueId.isEmpty()) {
            // IGDv2 finds a pinhole only by its ID, which only the run that made it was told.
            result.error = u"no pinhole this computer made for the port is known (its ID is kept "_s
                           u"when Quillmere makes one)"_s +
                           (unread.isEmpty() ? QString() : u": "_s + unread);
            return result;
        }
        result.pinhole = kept;
        const SoapReply removed = pinholes.remove(kept->uniqueId);
        if (!removed.ok() && removed.errorCode != 704) { // 704: NoSuchEntry, gone already
            m_firewall6.reset();
            result.error = u"the router did not remove the pinhole: "_s + removed.error;
            return result;
        }
        store.remove(request.protocol, request.port);
        const std::optional<bool> working = pinholes.working(kept->uniqueId);
        if (working == true) {
            result.error = u"the router still has the pinhole after removing it"_s;
            return result;
        }
        result.seenGone = working.has_value();
        result.ok = true;
        return result;
    }

    const QString internal = pinholeAddressTowards(service->address);
    if (internal.isEmpty()) {
        result.error = u"this computer has no global IPv6 address towards the router"_s;
        return result;
    }
    if (const QString obstacle = pinholeAddressObstacle(internal); !obstacle.isEmpty()) {
        result.error = obstacle;
        result.log.append(u"no pinhole asked for: "_s + obstacle);
        return result;
    }
    const qint64 lease = pinholeLease(request.leaseSeconds);
    if (lease != request.leaseSeconds)
        result.log.append(u"a pinhole lasts at most "_s + QString::number(kMaxPinholeLeaseSeconds) +
                          u" s: asked for that"_s);
    const PinholeAdded added = pinholes.add(internal, request.port, request.protocol, lease);
    if (!added.ok) {
        result.error = u"the router refused the pinhole: "_s + added.error;
        if (added.errorCode == 606)
            result.error += u" (a router opens a pinhole only for the address the request comes "_s
                            u"from)"_s;
        if (added.errorCode == 0) // no answer: search again next time
            m_firewall6.reset();
        return result;
    }
    Pinhole pinhole;
    pinhole.uniqueId = added.uniqueId;
    pinhole.leaseSeconds = lease;
    pinhole.internalAddress = QHostAddress(internal).toString();
    result.pinhole = pinhole;
    result.mapping = ourMapping(pinhole.internalAddress, request.port, lease, kDescription);
    if (pinholes.working(added.uniqueId) == false)
        result.log.append(u"the router says the pinhole lets nothing through yet"_s);
    QString notKept;
    store.put(request.protocol, request.port, pinhole, &notKept);
    if (!notKept.isEmpty())
        result.log.append(notKept);
    result.ok = true;
    return result;
}

// Adds or removes the mapping, over UPnP when the router speaks it, else over NAT-PMP.
ForwardResult SystemRouterBackend::change(const ForwardRequest& request, bool removing)
{
    ForwardResult result;
    if (request.port < 1 || request.port > 65535 || request.external() < 1 ||
        request.external() > 65535) {
        result.error = u"no such port"_s;
        return result;
    }
    if (request.externalPort != 0)
        result.externalPort = request.external();
    const Ways ways = waysForForward(&result.log);
    // The best the router has, UPnP, then PCP, then NAT-PMP; or the one asked for.
    Via via = ways.igd ? Via::Upnp : ways.pcp ? Via::Pcp : ways.natpmp ? Via::Natpmp : Via::None;
    if (request.via && *request.via != Via::None) {
        const bool there = (*request.via == Via::Upnp && ways.igd) ||
                           (*request.via == Via::Pcp && ways.pcp) ||
                           (*request.via == Via::Natpmp && ways.natpmp);
        if (!there) {
            const QLatin1StringView word = viaWord(*request.via);
            result.error = u"the router did not answer "_s +
                           (*request.via == Via::Upnp  ? u"UPnP"_s
                            : *request.via == Via::Pcp ? u"PCP"_s
                                                       : u"NAT-PMP"_s) +
                           u" (asked for with --via "_s + word + u')';
            return result;
        }
        via = *request.via;
    }
    switch (via) {
    case Via::Upnp: {
        UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &result.log);
        return removing ? upnpUnforward(upnp, *ways.igd, request, std::move(result))
                        : upnpForward(upnp, *ways.igd, request, std::move(result));
    }
    case Via::Pcp:
        return removing ? pcpUnforward(request, std::move(result))
                        : pcpForward(request, std::move(result));
    case Via::Natpmp:
        return natpmpForward(request, removing, std::move(result));
    case Via::None:
        break;
    }
    result.error = u"no router answered UPnP or NAT-PMP"_s;
    return result;
}

ForwardResult SystemRouterBackend::upnpForward(UpnpClient& upnp, const IgdService& igd,
                                               const ForwardRequest& request, ForwardResult result)
{
    const QString local = localAddressTowards(igd.address);
    if (local.isEmpty()) {
        result.error = u"this computer has no address towards the router"_s;
        return result;
    }
    const int external = request.external();
    const EntryRead existing = readEntry(upnp, igd, external, request.protocol);
    if (existing.unusable) {
        // Nothing to go by: the router itself refuses the mapping (718) when another device
        // holds the port.
        result.log.append(u"asking for the mapping all the same; the router refuses it when "
                          u"another device holds the port"_s);
    } else if (!existing.queried) {
        // The router could not be asked: it may have gone; search again next time.
        m_igd.reset();
        result.error = existing.error;
        return result;
    }
    if (existing.mapping && existing.mapping->internalClient != local &&
        !existing.mapping->thisComputer) {
        result.conflict = true;
        result.mapping = existing.mapping;
        result.error = u"the port goes to another device ("_s + deviceText(*existing.mapping) +
                       u"); it was left as it is"_s;
        return result;
    }

    const qint64 lease =
        std::clamp<qint64>(request.leaseSeconds, 0, std::numeric_limits<quint32>::max());
    const auto add = [&](qint64 seconds) {
        return upnp.call(igd, "AddPortMapping",
                         {{"NewRemoteHost", ""},
                          {"NewExternalPort", QByteArray::number(external)},
                          {"NewProtocol", upnpProtocol(request.protocol)},
                          {"NewInternalPort", QByteArray::number(request.port)},
                          {"NewInternalClient", local.toLatin1()},
                          {"NewEnabled", "1"},
                          {"NewPortMappingDescription", QByteArray(kDescription.latin1())},
                          {"NewLeaseDuration", QByteArray::number(seconds)}},
                         deadlineIn(m_settings.fetchMs));
    };
    SoapReply added = add(lease);
    qint64 granted = lease;
    if (added.errorCode == 725 && lease != 0) { // OnlyPermanentLeasesSupported
        result.permanentOnly = true;
        granted = 0;
        added = add(0);
    }
    if (added.errorCode == 718) { // ConflictInMappingEntry
        result.conflict = true;
        const EntryRead holder = readEntry(upnp, igd, external, request.protocol);
        if (holder.mapping && !holder.mapping->thisComputer)
            result.mapping = holder.mapping;
        result.error = u"another device holds the port (UPnP error 718)"_s;
        return result;
    }
    if (!added.ok()) {
        result.error = u"the router refused the mapping: "_s + added.error;
        return result;
    }
    result.mapping = ourMapping(local, request.port, granted, kDescription);
    result.ok = true;
    return result;
}

ForwardResult SystemRouterBackend::upnpUnforward(UpnpClient& upnp, const IgdService& igd,
                                                 const ForwardRequest& request,
                                                 ForwardResult result)
{
    const QString local = localAddressTowards(igd.address);
    const int external = request.external();
    const EntryRead existing = readEntry(upnp, igd, external, request.protocol);
    if (existing.unusable) {
        // It may be another device's: nothing is removed unseen.
        result.error = existing.error + u"; the mapping was left as it is"_s;
        return result;
    }
    if (!existing.queried) {
        m_igd.reset();
        result.error = existing.error;
        return result;
    }
    if (!existing.mapping) {
        result.log.append(u"no UPnP mapping of the port: nothing to remove"_s);
        result.ok = true;
        result.seenGone = true;
        return result;
    }
    if (existing.mapping->internalClient != local && !existing.mapping->thisComputer) {
        result.mapping = existing.mapping;
        result.error = u"the mapping goes to another device ("_s + deviceText(*existing.mapping) +
                       u"); it was left as it is"_s;
        return result;
    }
    const SoapReply removed = upnp.call(igd, "DeletePortMapping",
                                        {{"NewRemoteHost", ""},
                                         {"NewExternalPort", QByteArray::number(external)},
                                         {"NewProtocol", upnpProtocol(request.protocol)}},
                                        deadlineIn(m_settings.fetchMs));
    if (!removed.ok() && removed.errorCode != 714) {
        result.error = u"the router did not remove the mapping: "_s + removed.error;
        return result;
    }
    // Asked again: a router that answers the removal and keeps the mapping has not removed it.
    const EntryRead after = readEntry(upnp, igd, external, request.protocol);
    if (after.mapping) {
        result.mapping = after.mapping;
        result.error = u"the router still lists the mapping after removing it"_s;
        return result;
    }
    result.seenGone = after.queried;
    if (!after.queried)
        result.log.append(u"could not ask the router again whether the mapping is gone"_s);
    result.ok = true;
    return result;
}

ForwardResult SystemRouterBackend::natpmpForward(const ForwardRequest& request, bool removing,
                                                 ForwardResult result)
{
    // Whatever goes wrong, the next call searches again.
    m_natpmp = false;
    NatpmpClient natpmp(m_settings.natpmpGateway, m_settings.natpmpPort, &result.log);
    if (!natpmp.isOpen()) {
        result.error = u"NAT-PMP: no gateway"_s;
        return result;
    }
    const quint16 port = quint16(request.port);
    const quint16 external = quint16(request.external());
    const Deadline until = deadlineIn(m_settings.discoveryMs);
    const auto answered = [&](const NatpmpReply& reply) {
        m_natpmp = reply.answered;
        return reply.answered && reply.result == 0;
    };
    if (removing) {
        // NAT-PMP removes only this computer's own mapping: another device's is safe. A removal
        // names the private port, with 0 for the public port and the lifetime.
        const NatpmpReply reply = natpmp.map(request.protocol, port, 0, 0, until);
        if (!answered(reply)) {
            result.error = u"NAT-PMP: "_s + reply.error;
            return result;
        }
        result.ok = true;
        return result;
    }

    // NAT-PMP reads a lifetime of 0 as "remove": a mapping without an end is asked for as the
    // longest lifetime there is, and the router shortens it as it likes.
    quint32 lifetime =
        quint32(std::clamp<qint64>(request.leaseSeconds, 0, std::numeric_limits<quint32>::max()));
    if (lifetime == 0) {
        lifetime = std::numeric_limits<quint32>::max();
        result.log.append(u"NAT-PMP has no mapping without an end: asked for the longest "
                          u"lifetime; it must be renewed when the router's ends"_s);
    }
    const NatpmpReply reply = natpmp.map(request.protocol, port, external, lifetime, until);
    if (!answered(reply)) {
        result.error = u"NAT-PMP: "_s + reply.error;
        return result;
    }
    if (reply.mappedPort != external) {
        // The port is taken, by another device most likely: undo the stand-in mapping.
        result.conflict = true;
        result.error = u"the router gave public port "_s + QString::number(reply.mappedPort) +
                       u" instead: the port is taken (NAT-PMP cannot say by whom)"_s;
        natpmp.map(request.protocol, port, 0, 0, deadlineIn(m_settings.fetchMs));
        return result;
    }
    result.mapping =
        ourMapping(localAddressTowards(natpmp.gateway()), reply.privatePort, reply.lifetime);
    result.ok = true;
    return result;
}

ForwardResult SystemRouterBackend::pcpForward(const ForwardRequest& request, ForwardResult result)
{
    PcpClient pcp(m_pcpGateway, m_settings.pcpPort, &result.log);
    PcpMapRequest map;
    map.protocol = request.protocol;
    map.internalPort = quint16(request.port);
    map.suggestedExternalPort = quint16(request.external());
    map.nonce = PcpClient::randomNonce();
    // A lifetime of 0 deletes: a mapping without an end is asked for as the longest lifetime
    // there is, and the router shortens it to its own longest.
    map.lifetime =
        quint32(std::clamp<qint64>(request.leaseSeconds, 0, std::numeric_limits<quint32>::max()));
    if (map.lifetime == 0) {
        map.lifetime = std::numeric_limits<quint32>::max();
        result.log.append(u"PCP has no mapping without an end: asked for the longest lifetime; "
                          u"it must be renewed when the router's ends"_s);
    }
    const PcpMapReply reply = pcp.map(map, deadlineIn(m_settings.discoveryMs));
    if (reply.answered) {
        result.pcpResult = reply.result;
        // A mapping on a reserved external address was made by a NAT behind another one (a
        // home router behind the carrier's): it says nothing of whether the outer one maps.
        if (!reply.ok() || !isReservedIpv4(reply.externalAddress))
            m_pcpMapResult = reply.result;
    }
    if (!reply.ok()) {
        // Whatever went wrong, the next call searches again.
        m_pcp = false;
        result.error = u"PCP: "_s + reply.error;
        return result;
    }
    if (reply.externalPort != request.external()) {
        // Another port than asked for: the port is taken. The stand-in is deleted at once.
        result.conflict = true;
        result.error = u"the router gave external port "_s + QString::number(reply.externalPort) +
                       u" instead: the port is taken (PCP cannot say by whom)"_s;
        map.lifetime = 0;
        pcp.map(map, deadlineIn(m_settings.fetchMs));
        return result;
    }

    StoredMapping stored;
    stored.via = u"pcp"_s;
    stored.protocol = pcpProtocol(request.protocol);
    stored.internalPort = request.port;
    stored.externalPort = reply.externalPort;
    stored.internalAddress = reply.internalAddress.toString();
    stored.gateway = m_pcpGateway.toString();
    stored.nonce =
        QByteArray(reinterpret_cast<const char*>(map.nonce.data()), qsizetype(map.nonce.size()));
    stored.leaseSeconds = reply.lifetime;
    stored.made = QDateTime::currentDateTimeUtc();
    MappingStore store(m_settings.mappingStorePath);
    const QString kept = store.put(stored);
    if (!kept.isEmpty())
        result.log.append(u"the mapping's nonce was not kept, so a later run cannot remove it "_s
                          u"before its lifetime ends: "_s +
                          kept);
    else
        result.log.append(u"the mapping's nonce is kept in "_s + store.path());

    result.mapping = ourMapping(reply.internalAddress.toString(), request.port, reply.lifetime);
    result.ok = true;
    return result;
}

ForwardResult SystemRouterBackend::pcpUnforward(const ForwardRequest& request, ForwardResult result)
{
    // A PCP mapping is deleted only with the nonce it was made with, which an earlier run kept.
    MappingStore store(m_settings.mappingStorePath);
    const MappingLoad loaded = store.load();
    if (!loaded.error.isEmpty())
        result.log.append(u"stored mappings: "_s + loaded.error);
    const QString protocol = pcpProtocol(request.protocol);
    // The mapping of the external port; else (made with another external port) the one that
    // goes to the port here, as MappingStore::take finds it.
    std::optional<StoredMapping> stored;
    for (const bool byExternal : {true, false})
        for (const StoredMapping& entry : loaded.mappings)
            if (!stored && entry.via == u"pcp"_s && !entry.ipv6 && entry.protocol == protocol &&
                (byExternal ? entry.externalPort : entry.internalPort) == request.external())
                stored = entry;
    if (!stored) {
        result.error = u"PCP: no nonce is kept for "_s + protocol.toUpper() + u" port "_s +
                       QString::number(request.external()) + u" ("_s +
                       (loaded.ok ? u"not made by Quillmere on this computer"_s : loaded.error) +
                       u"), so it cannot be removed; it ends with its lifetime"_s;
        return result;
    }
    PcpClient pcp(m_pcpGateway, m_settings.pcpPort, &result.log);
    PcpMapRequest map;
    map.protocol = request.protocol;
    map.internalPort = quint16(stored->internalPort);
    std::copy_n(stored->nonce.constData(), map.nonce.size(), map.nonce.begin());
    map.lifetime = 0;
    const PcpMapReply reply = pcp.map(map, deadlineIn(m_settings.discoveryMs));
    if (reply.answered)
        result.pcpResult = reply.result;
    if (!reply.ok()) {
        m_pcp = false;
        result.error = u"PCP: "_s + reply.error;
        return result;
    }
    QString error;
    if (!store.take(protocol, request.external(), false, &error))
        result.log.append(u"the removed mapping's nonce stays in the store: "_s + error);
    result.ok = true;
    return result;
}

} // namespace

std::unique_ptr<RouterBackend> makeSystemRouterBackend(const SystemRouterSettings& settings)
{
    return std::make_unique<SystemRouterBackend>(settings);
}

} // namespace quillmere::router
