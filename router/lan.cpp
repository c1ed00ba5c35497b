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
