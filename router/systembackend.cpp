#include "router/routerbackend.h"

#include "router/hops.h"
#include "router/httpfetch.h"
#include "router/lan.h"
#include "router/natpmp.h"
#include "router/ssdp.h"
#include "router/upnp.h"

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

// How long things take: a lookup searches for discoveryMs (less when the gateway answers),
// then reads at most two descriptions and makes two SOAP calls, each within fetchMs, and looks
// for a name within nameMs; NAT-PMP runs beside the search within discoveryMs, and so do the
// first hops within hopsMs. With nothing on the LAN that is discoveryMs and no more.

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

constexpr QLatin1StringView kDescription("Quillmere");
constexpr int kMaxDescriptionsRead = 2;
constexpr int kMaxTextChars = 200;

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

// Runs `work` on a thread of its own, and gives its outcome to a caller that waits no longer
// than a deadline. Past that the thread is left to end by itself (the work is bounded).
template <typename T>
class BoundedTask
{
public:
    template <typename Work>
    explicit BoundedTask(Work work)
        : m_state(std::make_shared<State>())
    {
        std::thread([state = m_state, work = std::move(work)]() mutable {
            T value = work();
            {
                std::lock_guard lock(state->mutex);
                state->value = std::move(value);
            }
            state->done.notify_all();
        }).detach();
    }

    std::optional<T> waitUntil(Deadline until)
    {
        std::unique_lock lock(m_state->mutex);
        m_state->done.wait_until(lock, until, [&] { return m_state->value.has_value(); });
        return m_state->value;
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> value;
    };
    std::shared_ptr<State> m_state;
};

// What one search found: a UPnP IGD, NAT-PMP, both or neither.
struct Gateway
{
    std::optional<IgdService> igd;
    NatpmpReply natpmp;
    QHostAddress natpmpGateway;
    QString error; // why no IGD was taken, when some device answered
};

struct EntryRead
{
    bool queried = false; // the router answered: a mapping, or "no such entry"
    std::optional<Mapping> mapping;
    QString error;
};

class SystemRouterBackend final : public RouterBackend
{
public:
    explicit SystemRouterBackend(const SystemRouterSettings& settings)
        : m_settings(settings)
    {}

    RouterFacts lookup(const LookupRequest& request) override;
    ForwardResult forward(const ForwardRequest& request) override;
    ForwardResult unforward(const ForwardRequest& request) override;

private:
    Gateway search(QStringList* log);
    EntryRead readEntry(UpnpClient& upnp, const IgdService& igd, int port, ProbeProtocol protocol);
    ForwardResult change(const ForwardRequest& request, bool removing);
    ForwardResult upnpForward(UpnpClient& upnp, const IgdService& igd,
                              const ForwardRequest& request, ForwardResult result);
    ForwardResult upnpUnforward(UpnpClient& upnp, const IgdService& igd,
                                const ForwardRequest& request, ForwardResult result);
    ForwardResult natpmpForward(const ForwardRequest& request, bool removing, ForwardResult result);
    // The IGD to forward through, or NAT-PMP: what the last search found, or a new search's.
    std::optional<IgdService> igdForForward(QStringList* log, bool* natpmp);

    SystemRouterSettings m_settings;
    ReverseNames m_names;
    std::optional<IgdService> m_igd; // found by the last search
    bool m_natpmp = false;           // NAT-PMP answered the last search
};

Gateway SystemRouterBackend::search(QStringList* log)
{
    Gateway found;
    const Deadline searchEnd = deadlineIn(m_settings.discoveryMs);

    QStringList natpmpLog;
    NatpmpClient natpmp(m_settings.natpmpGateway, m_settings.natpmpPort, &natpmpLog);
    std::atomic<bool> igdFound{false};
    natpmp.setCancel(&igdFound);
    std::thread natpmpThread;
    if (natpmp.isOpen()) {
        found.natpmpGateway = natpmp.gateway();
        natpmpThread = std::thread([&] { found.natpmp = natpmp.publicAddress(searchEnd); });
    }

    SsdpSearch ssdp;
    ssdp.destination = QHostAddress(m_settings.ssdpAddress);
    ssdp.port = m_settings.ssdpPort;
    ssdp.timeoutMs = m_settings.discoveryMs;
    ssdp.preferred = found.natpmpGateway;
    const QList<SsdpAnswer> answers = searchGateways(ssdp, log);

    // A device that answers the search but serves nothing useful must not hold the lookup up:
    // the descriptions together get twice fetchMs.
    const Deadline readEnd = deadlineIn(2 * m_settings.fetchMs);
    UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, log);
    int read = 0;
    for (const SsdpAnswer& answer : answers) {
        if (read++ == kMaxDescriptionsRead || msLeft(readEnd) == 0)
            break;
        found.igd = upnp.readDescription(answer, readEnd);
        if (found.igd) {
            igdFound = true;
            break;
        }
        found.error = upnp.lastError();
    }
    if (natpmpThread.joinable())
        natpmpThread.join();
    log->append(natpmpLog);
    if (found.igd)
        found.error.clear();

    m_igd = found.igd;
    m_natpmp = found.natpmp.answered && found.natpmp.result == 0;
    return found;
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
    entry.queried = true;
    Mapping mapping;
    mapping.internalClient = bounded(reply.value("NewInternalClient"));
    mapping.internalPort = reply.value("NewInternalPort").toInt();
    if (mapping.internalPort < 0 || mapping.internalPort > 65535)
        mapping.internalPort = 0;
    mapping.description = bounded(reply.value("NewPortMappingDescription"));
    mapping.leaseSeconds = std::max<qint64>(0, reply.value("NewLeaseDuration").toLongLong());
    mapping.thisComputer = isOwnAddress(mapping.internalClient);
    entry.mapping = mapping;
    return entry;
}

RouterFacts SystemRouterBackend::lookup(const LookupRequest& request)
{
    RouterFacts facts;
    std::optional<BoundedTask<QList<Hop>>> hops;
    const Deadline hopsEnd = deadlineIn(m_settings.hopsMs);
    if (!request.checkServerHost.isEmpty() && m_settings.maxHops > 0 && m_settings.hopsMs > 0)
        hops.emplace([host = request.checkServerHost, maxHops = m_settings.maxHops,
                      ms = m_settings.hopsMs] { return probeFirstHops(host, maxHops, ms); });

    const Gateway gateway = search(&facts.log);
    if (gateway.igd) {
        const IgdService& igd = *gateway.igd;
        UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &facts.log);
        facts.found = true;
        facts.via = Via::Upnp;
        facts.address = igd.address.toString();
        facts.localAddress = localAddressTowards(igd.address);

        const SoapReply external =
            upnp.call(igd, "GetExternalIPAddress", {}, deadlineIn(m_settings.fetchMs));
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

        EntryRead entry = readEntry(upnp, igd, request.port, request.protocol);
        facts.mappingQueried = entry.queried;
        if (entry.mapping) {
            entry.mapping->name = m_names.find(entry.mapping->internalClient, m_settings.nameMs);
            facts.mapping = entry.mapping;
        }
        if (!entry.error.isEmpty() && facts.error.isEmpty())
            facts.error = entry.error;
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
        if (std::optional<QList<Hop>> probed =
                hops->waitUntil(hopsEnd + std::chrono::milliseconds(200)))
            facts.hops = *probed;
        else
            facts.log.append(u"first hops: no result within "_s +
                             QString::number(m_settings.hopsMs) + u" ms"_s);
    }
    return facts;
}

std::optional<IgdService> SystemRouterBackend::igdForForward(QStringList* log, bool* natpmp)
{
    if (m_igd || m_natpmp) {
        *natpmp = m_natpmp;
        return m_igd;
    }
    const Gateway gateway = search(log);
    *natpmp = gateway.natpmp.answered && gateway.natpmp.result == 0;
    return gateway.igd;
}

ForwardResult SystemRouterBackend::forward(const ForwardRequest& request)
{
    return change(request, false);
}

ForwardResult SystemRouterBackend::unforward(const ForwardRequest& request)
{
    return change(request, true);
}

// Adds or removes the mapping, over UPnP when the router speaks it, else over NAT-PMP.
ForwardResult SystemRouterBackend::change(const ForwardRequest& request, bool removing)
{
    ForwardResult result;
    if (request.port < 1 || request.port > 65535) {
        result.error = u"no such port"_s;
        return result;
    }
    bool natpmp = false;
    const std::optional<IgdService> igd = igdForForward(&result.log, &natpmp);
    if (igd) {
        UpnpClient upnp(m_settings.fetchMs, m_settings.fetchLimitBytes, &result.log);
        return removing ? upnpUnforward(upnp, *igd, request, std::move(result))
                        : upnpForward(upnp, *igd, request, std::move(result));
    }
    if (natpmp)
        return natpmpForward(request, removing, std::move(result));
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
    const EntryRead existing = readEntry(upnp, igd, request.port, request.protocol);
    if (!existing.queried) {
        // The router could not be asked: it may have gone; search again next time.
        m_igd.reset();
        result.error = existing.error;
        return result;
    }
    if (existing.mapping && existing.mapping->internalClient != local &&
        !existing.mapping->thisComputer) {
        result.conflict = true;
        result.mapping = existing.mapping;
        result.error = u"the port goes to another device ("_s + existing.mapping->internalClient +
                       u"); it was left as it is"_s;
        return result;
    }

    const qint64 lease =
        std::clamp<qint64>(request.leaseSeconds, 0, std::numeric_limits<quint32>::max());
    const auto add = [&](qint64 seconds) {
        return upnp.call(igd, "AddPortMapping",
                         {{"NewRemoteHost", ""},
                          {"NewExternalPort", QByteArray::number(request.port)},
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
        const EntryRead holder = readEntry(upnp, igd, request.port, request.protocol);
        if (holder.mapping && !holder.mapping->thisComputer)
            result.mapping = holder.mapping;
        result.error = u"another device holds the port (UPnP error 718)"_s;
        return result;
    }
    if (!added.ok()) {
        result.error = u"the router refused the mapping: "_s + added.error;
        return result;
    }
    Mapping mapping;
    mapping.internalClient = local;
    mapping.internalPort = request.port;
    mapping.description = kDescription;
    mapping.leaseSeconds = granted;
    mapping.thisComputer = true;
    result.mapping = mapping;
    result.ok = true;
    return result;
}

ForwardResult SystemRouterBackend::upnpUnforward(UpnpClient& upnp, const IgdService& igd,
                                                 const ForwardRequest& request,
                                                 ForwardResult result)
{
    const QString local = localAddressTowards(igd.address);
    const EntryRead existing = readEntry(upnp, igd, request.port, request.protocol);
    if (!existing.queried) {
        m_igd.reset();
        result.error = existing.error;
        return result;
    }
    if (!existing.mapping) {
        result.log.append(u"no UPnP mapping of the port: nothing to remove"_s);
        result.ok = true;
        return result;
    }
    if (existing.mapping->internalClient != local && !existing.mapping->thisComputer) {
        result.mapping = existing.mapping;
        result.error = u"the mapping goes to another device ("_s +
                       existing.mapping->internalClient + u"); it was left as it is"_s;
        return result;
    }
    const SoapReply removed = upnp.call(igd, "DeletePortMapping",
                                        {{"NewRemoteHost", ""},
                                         {"NewExternalPort", QByteArray::number(request.port)},
                                         {"NewProtocol", upnpProtocol(request.protocol)}},
                                        deadlineIn(m_settings.fetchMs));
    if (!removed.ok() && removed.errorCode != 714) {
        result.error = u"the router did not remove the mapping: "_s + removed.error;
        return result;
    }
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
    const Deadline until = deadlineIn(m_settings.discoveryMs);
    const auto answered = [&](const NatpmpReply& reply) {
        m_natpmp = reply.answered;
        return reply.answered && reply.result == 0;
    };
    if (removing) {
        // NAT-PMP removes only this computer's own mapping: another device's is safe.
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
    const NatpmpReply reply = natpmp.map(request.protocol, port, port, lifetime, until);
    if (!answered(reply)) {
        result.error = u"NAT-PMP: "_s + reply.error;
        return result;
    }
    if (reply.mappedPort != port) {
        // The port is taken, by another device most likely: undo the stand-in mapping.
        result.conflict = true;
        result.error = u"the router gave public port "_s + QString::number(reply.mappedPort) +
                       u" instead: the port is taken (NAT-PMP cannot say by whom)"_s;
        natpmp.map(request.protocol, port, reply.mappedPort, 0, deadlineIn(m_settings.fetchMs));
        return result;
    }
    Mapping mapping;
    mapping.internalClient = localAddressTowards(natpmp.gateway());
    mapping.internalPort = reply.privatePort;
    mapping.leaseSeconds = reply.lifetime;
    mapping.thisComputer = true;
    result.mapping = mapping;
    result.ok = true;
    return result;
}

} // namespace

std::unique_ptr<RouterBackend> makeSystemRouterBackend(const SystemRouterSettings& settings)
{
    return std::make_unique<SystemRouterBackend>(settings);
}

} // namespace quillmere::router
