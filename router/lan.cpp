#include "router/lan.h"

#include "netranges/netranges.h"
#include "router/httpfetch.h"

#include <QFile>
#include <QNetworkInterface>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

bool isOwnAddress(const QHostAddress& address)
{
    if (address.isNull())
        return false;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    for (const QHostAddress& entry : own)
        if (entry.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    return false;
}

bool isOwnAddress(const QString& address)
{
    return isOwnAddress(QHostAddress(address));
}

QStringList ownAddressTexts()
{
    QStringList addresses;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback())
            addresses << address.toString();
    }
    return addresses;
}

bool isOnOwnSubnet(const QHostAddress& address)
{
    bool ok = false;
    const quint32 peer = address.toIPv4Address(&ok);
    if (!ok)
        return false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        if (!(interface.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            bool ipv4 = false;
            const quint32 own = entry.ip().toIPv4Address(&ipv4);
            if (!ipv4)
                continue;
            const int prefix = entry.prefixLength();
            if (prefix < 0 || prefix > 32)
                continue;
            // A /0 would take in the whole internet: trust no such entry.
            if (prefix == 0)
                continue;
            const quint32 mask = prefix == 32 ? 0xffffffffu : ~(0xffffffffu >> prefix);
            if ((own & mask) == (peer & mask))
                return true;
        }
    }
    return false;
}

bool isOnOwnLink6(const QHostAddress& address, unsigned interfaceIndex)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    if (address.isLinkLocal())
        return true;
    const Q_IPV6ADDR peer = address.toIPv6Address();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        if (!(interface.flags() & QNetworkInterface::IsUp))
            continue;
        if (interfaceIndex != 0 && unsigned(interface.index()) != interfaceIndex)
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() != QAbstractSocket::IPv6Protocol || entry.ip().isLinkLocal())
                continue;
            const int prefix = entry.prefixLength();
            // A /0 would take in the whole internet: trust no such entry.
            if (prefix <= 0 || prefix > 128)
                continue;
            const Q_IPV6ADDR own = entry.ip().toIPv6Address();
            bool same = true;
            for (int bit = 0; bit < prefix && same; bit += 8) {
                const int bits = std::min(8, prefix - bit);
                const quint8 mask = quint8(0xff << (8 - bits));
                same = (own[bit / 8] & mask) == (peer[bit / 8] & mask);
            }
            if (same)
                return true;
        }
    }
    return false;
}

Ipv6DefaultRoute defaultIpv6Route(QByteArrayView procNetIpv6Route)
{
    constexpr unsigned kRouteUp = 0x1; // RTF_UP
    Ipv6DefaultRoute best;
    qint64 bestMetric = -1;
    const QList<QByteArray> lines = procNetIpv6Route.toByteArray().split('\n');
    // Each line: destination, its prefix length, source, its prefix length, next hop, metric,
    // references, use, flags, interface; addresses as 32 hex digits.
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 10 || fields[0] != QByteArray(32, '0') || fields[1] != "00")
            continue;
        bool ok = false;
        const unsigned flags = fields[8].toUInt(&ok, 16);
        if (!ok || !(flags & kRouteUp) || fields[4].size() != 32 ||
            fields[4] == QByteArray(32, '0'))
            continue;
        const qint64 metric = fields[5].toLongLong(&ok, 16);
        if (!ok || (bestMetric >= 0 && metric >= bestMetric) || fields[9] == "lo")
            continue;
        const QByteArray hop = QByteArray::fromHex(fields[4]);
        if (hop.size() != 16)
            continue;
        best.interfaceName = QString::fromLatin1(fields[9]).left(16); // IFNAMSIZ
        best.gateway = QHostAddress(reinterpret_cast<const quint8*>(hop.constData()));
        if (best.gateway.isLinkLocal())
            best.gateway.setScopeId(best.interfaceName);
        bestMetric = metric;
    }
    return best;
}

QString globalIpv6Towards(const QHostAddress& peer)
{
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return {};
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(9); // a UDP connect only picks a route; nothing is sent
    const Q_IPV6ADDR address = peer.toIPv6Address();
    std::memcpy(to.sin6_addr.s6_addr, address.c, 16);
    to.sin6_scope_id = scopeIndex(peer.scopeId());
    QString result;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        sockaddr_in6 local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            const QHostAddress source(local.sin6_addr.s6_addr);
            // 2000::/3: global unicast, what the internet reaches.
            if ((local.sin6_addr.s6_addr[0] & 0xe0) == 0x20)
                result = source.toString();
        }
    }
    ::close(fd);
    return result;
}

QString localAddressTowards(const QHostAddress& peer)
{
    bool ok = false;
    const quint32 peerAddress = peer.toIPv4Address(&ok);
    if (!ok)
        return {};
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9); // a UDP connect only picks a route; nothing is sent
    to.sin_addr.s_addr = htonl(peerAddress);
    QString result;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            local.sin_addr.s_addr != 0)
            result = QHostAddress(ntohl(local.sin_addr.s_addr)).toString();
    }
    ::close(fd);
    return result;
}

QString defaultRouteInterface(QByteArrayView procNetRoute)
{
    constexpr unsigned kRouteUp = 0x1; // RTF_UP
    QString best;
    qint64 bestMetric = -1;
    const QList<QByteArray> lines = procNetRoute.toByteArray().split('\n');
    // The first line names the columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() < 8)
            continue;
        bool ok = false;
        const unsigned flags = fields[3].toUInt(&ok, 16);
        if (!ok || !(flags & kRouteUp) || fields[1] != "00000000" || fields[7] != "00000000")
            continue;
        const qint64 metric = fields[6].toLongLong(&ok);
        if (!ok || (bestMetric >= 0 && metric >= bestMetric))
            continue;
        best = QString::fromLatin1(fields[0]).left(16); // IFNAMSIZ
        bestMetric = metric;
    }
    return best;
}

QString defaultRouteAddress()
{
    QFile file(u"/proc/net/route"_s);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString name = defaultRouteInterface(file.read(256 * 1024));
    if (name.isEmpty())
        return {};
    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(name);
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
        const QHostAddress& address = entry.ip();
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLinkLocal())
            return address.toString();
    }
    return {};
}

bool isReservedIpv4(const QHostAddress& address)
{
    bool ok = false;
    const quint32 a = address.toIPv4Address(&ok);
    if (!ok)
        return true;
    return !netranges::isGloballyReachable(
        netranges::Ipv4Bytes{static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                             static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)});
}

QString ReverseNames::find(const QString& address, int timeoutMs, const CancelToken& cancel)
{
    bool ok = false;
    const quint32 ipv4 = QHostAddress(address).toIPv4Address(&ok);
    if (!ok || timeoutMs <= 0)
        return {};
    if (m_running->fetch_add(1) >= kMaxRunning) {
        m_running->fetch_sub(1);
        return {};
    }
    // The count goes down when the lookup ends, however long after this call gave up on it.
    BoundedCall<QString> lookup(
        [ipv4, running = m_running] {
            sockaddr_in peer{};
            peer.sin_family = AF_INET;
            peer.sin_addr.s_addr = htonl(ipv4);
            char host[NI_MAXHOST] = {};
            QString found;
            if (::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host,
                              sizeof host, nullptr, 0, NI_NAMEREQD) == 0)
                found = QString::fromUtf8(host).left(253);
            running->fetch_sub(1);
            return found;
        },
        cancel);
    if (!lookup.started()) {
        m_running->fetch_sub(1);
        return {};
    }
    return lookup.wait(deadlineIn(timeoutMs)).value_or(QString());
}

} // namespace quillmere::router
