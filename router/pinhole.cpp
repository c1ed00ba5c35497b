#include "router/pinhole.h"

#include "router/lan.h"
#include "router/mappingstore.h"

#include <miniupnpc/miniupnpc.h>

#include <QDateTime>
#include <QHostAddress>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>

#include <cstring>
#include <limits>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

QByteArray fixedText(const char* text, size_t size)
{
    return QByteArray(text, qsizetype(strnlen(text, size)));
}

// IGDv2 names the protocol by its IANA number.
QByteArray protocolNumber(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Udp ? "17" : "6";
}

bool truthy(const QString& value)
{
    const QString text = value.trimmed();
    return text == u"1"_s || text.compare(u"true"_s, Qt::CaseInsensitive) == 0 ||
           text.compare(u"yes"_s, Qt::CaseInsensitive) == 0;
}

// An IGDv2 UniqueID is a 16-bit number as text; anything else is taken as no answer.
bool isUniqueId(const QString& text)
{
    bool ok = false;
    const uint id = text.toUInt(&ok);
    return ok && id <= 65535 && text.size() <= 5;
}

} // namespace

std::optional<IgdService> firewallServiceFromDescription(QByteArrayView body,
                                                         const SsdpAnswer& answer, QString* why)
{
    const auto refuse = [&](const QString& reason) -> std::optional<IgdService> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    if (body.size() > std::numeric_limits<int>::max())
        return refuse(u"description too large"_s);
    const QByteArray text = body.toByteArray(); // parserootdesc reads it as a C buffer
    IGDdatas data;
    std::memset(&data, 0, sizeof data);
    parserootdesc(text.constData(), int(text.size()), &data);
    const QByteArray serviceType =
        fixedText(data.IPv6FC.servicetype, sizeof data.IPv6FC.servicetype);
    if (serviceType != kFirewallControlType.toByteArray())
        return refuse(u"no WANIPv6FirewallControl service in the description ("_s +
                      QString::number(text.size()) + u" bytes)"_s);
    UPNPUrls urls;
    std::memset(&urls, 0, sizeof urls);
    const QByteArray descriptionUrl = answer.location.toString().toLatin1();
    GetUPNPUrls(&urls, &data, descriptionUrl.constData(), 0);
    const QByteArray controlText =
        urls.controlURL_6FC ? QByteArray(urls.controlURL_6FC) : QByteArray();
    FreeUPNPUrls(&urls);
    std::optional<HttpUrl> control = parseHttpUrl(controlText);
    if (!control)
        return refuse(u"firewall control URL \""_s + printableExcerpt(controlText) +
                      u"\" is no http URL"_s);
    // GetUPNPUrls writes a zone as "%25IFNAME" no differently: the host must be the
    // description's own, address and interface alike.
    QHostAddress bare = control->host;
    QHostAddress bareLocation = answer.location.host;
    bare.setScopeId(QString());
    bareLocation.setScopeId(QString());
    if (bare != bareLocation)
        return refuse(u"firewall control URL \""_s + printableExcerpt(controlText) +
                      u"\" is on another host; refused"_s);
    control->host = answer.location.host;
    return IgdService{answer.location.host, answer.location, *control, serviceType};
}

QString pinholeAddressObstacle(const QString& address)
{
    const QHostAddress host(address);
    if (host.protocol() != QAbstractSocket::IPv6Protocol)
        return u"\""_s + address.left(64) + u"\" is no IPv6 address"_s;
    if (host.isLinkLocal() || host.isMulticast() || host == QHostAddress::AnyIPv6)
        return address + u" is no address the internet reaches"_s;
    if (!isOwnAddress(host))
        return address + u" is not this computer's: a pinhole is only made for this computer"_s;
    return {};
}

qint64 pinholeLease(qint64 leaseSeconds)
{
    if (leaseSeconds <= 0 || leaseSeconds > kMaxPinholeLeaseSeconds)
        return kMaxPinholeLeaseSeconds;
    return leaseSeconds;
}

PinholeClient::PinholeClient(UpnpClient& upnp, IgdService service, int fetchMs)
    : m_upnp(upnp)
    , m_service(std::move(service))
    , m_fetchMs(fetchMs)
{}

FirewallStatus PinholeClient::status()
{
    FirewallStatus status;
    const SoapReply reply = m_upnp.call(m_service, "GetFirewallStatus", {}, deadlineIn(m_fetchMs));
    if (!reply.ok()) {
        status.error = u"the router did not say how its IPv6 firewall stands: "_s + reply.error;
        return status;
    }
    status.answered = true;
    status.enabled = truthy(reply.value("FirewallEnabled"));
    status.pinholeAllowed = truthy(reply.value("InboundPinholeAllowed"));
    return status;
}

PinholeAdded PinholeClient::add(const QString& internalAddress, int port, ProbeProtocol protocol,
                                qint64 leaseSeconds)
{
    PinholeAdded added;
    if (const QString obstacle = pinholeAddressObstacle(internalAddress); !obstacle.isEmpty()) {
        added.error = obstacle;
        m_upnp.note(u"UPnP AddPinhole not asked: "_s + obstacle);
        return added;
    }
    if (port < 1 || port > 65535) {
        added.error = u"no such port"_s;
        return added;
    }
    const SoapReply reply =
        m_upnp.call(m_service, "AddPinhole",
                    {{"RemoteHost", ""},
                     {"RemotePort", "0"},
                     {"InternalClient", QHostAddress(internalAddress).toString().toLatin1()},
                     {"InternalPort", QByteArray::number(port)},
                     {"Protocol", protocolNumber(protocol)},
                     {"LeaseTime", QByteArray::number(pinholeLease(leaseSeconds))}},
                    deadlineIn(m_fetchMs));
    added.errorCode = reply.errorCode;
    if (!reply.ok()) {
        added.error = reply.error;
        return added;
    }
    const QString id = reply.value("UniqueID").trimmed();
    if (!isUniqueId(id)) {
        added.error = u"the router's answer named no pinhole ID"_s;
        return added;
    }
    added.uniqueId = id;
    added.ok = true;
    return added;
}

std::optional<bool> PinholeClient::working(const QString& uniqueId)
{
    const SoapReply reply = m_upnp.call(m_service, "CheckPinholeWorking",
                                        {{"UniqueID", uniqueId.toLatin1()}}, deadlineIn(m_fetchMs));
    if (reply.errorCode == 704) // NoSuchEntry
        return false;
    if (!reply.ok() || reply.value("IsWorking").trimmed().isEmpty())
        return std::nullopt;
    return truthy(reply.value("IsWorking"));
}

SoapReply PinholeClient::remove(const QString& uniqueId)
{
    return m_upnp.call(m_service, "DeletePinhole", {{"UniqueID", uniqueId.toLatin1()}},
                       deadlineIn(m_fetchMs));
}

namespace {

class MemoryPinholeStore final : public PinholeStore
{
public:
    std::optional<Pinhole> find(ProbeProtocol protocol, int port, QString*) override
    {
        QMutexLocker lock(&m_mutex);
        const auto found = m_pinholes.constFind(key(protocol, port));
        if (found == m_pinholes.cend())
            return std::nullopt;
        return *found;
    }
    void put(ProbeProtocol protocol, int port, const Pinhole& pinhole, QString*) override
    {
        QMutexLocker lock(&m_mutex);
        m_pinholes.insert(key(protocol, port), pinhole);
    }
    void remove(ProbeProtocol protocol, int port) override
    {
        QMutexLocker lock(&m_mutex);
        m_pinholes.remove(key(protocol, port));
    }

private:
    static int key(ProbeProtocol protocol, int port)
    {
        return (protocol == ProbeProtocol::Udp ? 0x10000 : 0) + port;
    }

    QMutex m_mutex;
    QMap<int, Pinhole> m_pinholes;
};

// The pinholes in the mappings kept between runs (MappingStore), beside PCP's IPv4 mappings:
// IPv6, via "upnp-pinhole" (with its ID) or "pcp" (with its nonce), the same port inside and
// out.
class MappingPinholeStore final : public PinholeStore
{
public:
    explicit MappingPinholeStore(const QString& path)
        : m_store(path)
    {}

    std::optional<Pinhole> find(ProbeProtocol protocol, int port, QString* error) override
    {
        QMutexLocker lock(&m_mutex);
        const MappingLoad loaded = m_store.load();
        if (!loaded.ok) {
            if (error)
                *error = loaded.error;
            return std::nullopt;
        }
        for (const StoredMapping& stored : loaded.mappings) {
            if ((stored.via == kVia || stored.via == kViaPcp) && stored.ipv6 &&
                stored.protocol == protocolWord(protocol) && stored.internalPort == port) {
                return Pinhole{stored.uniqueId, stored.nonce, stored.leaseSeconds,
                               stored.internalAddress};
            }
        }
        return std::nullopt;
    }
    void put(ProbeProtocol protocol, int port, const Pinhole& pinhole, QString* error) override
    {
        QMutexLocker lock(&m_mutex);
        StoredMapping stored;
        // PCP names its pinholes by the nonce they were made with, IGDv2 by an ID.
        stored.via = pinhole.nonce.isEmpty() ? kVia : kViaPcp;
        stored.nonce = pinhole.nonce;
        stored.protocol = protocolWord(protocol);
        stored.internalPort = port;
        stored.externalPort = port;
        stored.internalAddress = pinhole.internalAddress;
        stored.uniqueId = pinhole.uniqueId;
        stored.ipv6 = true;
        stored.leaseSeconds = pinhole.leaseSeconds;
        stored.made = QDateTime::currentDateTimeUtc();
        const QString problem = m_store.put(stored);
        if (error && !problem.isEmpty())
            *error = u"the pinhole's ID: "_s + problem;
    }
    void remove(ProbeProtocol protocol, int port) override
    {
        QMutexLocker lock(&m_mutex);
        m_store.take(protocolWord(protocol), port, true);
    }

private:
    static constexpr QLatin1StringView kVia{"upnp-pinhole"};
    static constexpr QLatin1StringView kViaPcp{"pcp"};

    QMutex m_mutex;
    MappingStore m_store;
};

} // namespace

std::shared_ptr<PinholeStore> makeMemoryPinholeStore()
{
    return std::make_shared<MemoryPinholeStore>();
}

std::shared_ptr<PinholeStore> makeMappingPinholeStore(const QString& path)
{
    return std::make_shared<MappingPinholeStore>(path);
}

} // namespace quillmere::router
