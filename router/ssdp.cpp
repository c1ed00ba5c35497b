#include "router/ssdp.h"

#include "router/lan.h"

#include <QNetworkInterface>

#include <QHash>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView kSearchTarget = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr int kResendMs = 400;
// A cancel is noticed within this.
constexpr int kCancelCheckMs = 50;
// Senders whose replies are counted; past that a new sender's replies are still judged, but
// they fall under the log's bound only.
constexpr int kMaxSendersCounted = 256;
constexpr int kMaxLoggedChars = 120;

} // namespace

QByteArray ssdpSearchDatagram(const QHostAddress& destination, quint16 port)
{
    QHostAddress bare = destination;
    bare.setScopeId(QString());
    const QByteArray host = destination.protocol() == QAbstractSocket::IPv6Protocol
                                ? '[' + bare.toString().toLatin1() + ']'
                                : bare.toString().toLatin1();
    return "M-SEARCH * HTTP/1.1\r\nHOST: " + host + ':' + QByteArray::number(port) +
           "\r\nST: " + kSearchTarget.toByteArray() + "\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n";
}

namespace {

// The one LOCATION header of an SSDP answer; nullopt with `*why` otherwise.
std::optional<QByteArrayView> locationOf(QByteArrayView datagram, QString* why)
{
    if (!datagram.startsWith("HTTP/1.1 200") && !datagram.startsWith("HTTP/1.0 200")) {
        *why = u"not an SSDP answer"_s;
        return std::nullopt;
    }
    std::optional<QByteArrayView> location;
    qsizetype at = 0;
    while (at < datagram.size()) {
        qsizetype end = datagram.indexOf('\n', at);
        if (end < 0)
            end = datagram.size();
        QByteArrayView line = datagram.sliced(at, end - at);
        at = end + 1;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        if (line.first(colon).trimmed().compare("LOCATION", Qt::CaseInsensitive) == 0) {
            if (location) {
                *why = u"more than one LOCATION"_s;
                return std::nullopt;
            }
            location = line.sliced(colon + 1).trimmed();
        }
    }
    if (!location)
        *why = u"no LOCATION"_s;
    return location;
}

bool sameAddress(const QHostAddress& a, const QHostAddress& b)
{
    QHostAddress bareA = a;
    QHostAddress bareB = b;
    bareA.setScopeId(QString());
    bareB.setScopeId(QString());
    return bareA.isEqual(bareB, QHostAddress::ConvertV4MappedToIPv4);
}

} // namespace

std::optional<HttpUrl> acceptSsdpReply(QByteArrayView datagram, const QHostAddress& sender,
                                       QString* why)
{
    if (!datagram.startsWith("HTTP/1.1 200") && !datagram.startsWith("HTTP/1.0 200")) {
        *why = u"not an SSDP answer"_s;
        return std::nullopt;
    }
    if (!isOnOwnSubnet(sender)) {
        *why = u"sender is on none of this computer's subnets"_s;
        return std::nullopt;
    }
    const std::optional<QByteArrayView> location = locationOf(datagram, why);
    if (!location)
        return std::nullopt;
    const std::optional<HttpUrl> url = parseHttpUrl(*location);
    if (!url || url->host.protocol() != QAbstractSocket::IPv4Protocol) {
        *why = u"LOCATION \""_s + printableExcerpt(*location) +
               u"\" is no http URL on an IPv4 address"_s;
        return std::nullopt;
    }
    if (!url->host.isEqual(sender, QHostAddress::ConvertV4MappedToIPv4)) {
        *why = u"LOCATION \""_s + printableExcerpt(*location) + u"\" is not on the sender"_s;
        return std::nullopt;
    }
    return url;
}

std::optional<HttpUrl> acceptSsdp6Reply(QByteArrayView datagram, const QHostAddress& sender,
                                        unsigned interfaceIndex, QString* why)
{
    if (!datagram.startsWith("HTTP/1.1 200") && !datagram.startsWith("HTTP/1.0 200")) {
        *why = u"not an SSDP answer"_s;
        return std::nullopt;
    }
    if (sender.protocol() != QAbstractSocket::IPv6Protocol ||
        !isOnOwnLink6(sender, interfaceIndex)) {
        *why = u"sender is not on the link searched"_s;
        return std::nullopt;
    }
    const std::optional<QByteArrayView> location = locationOf(datagram, why);
    if (!location)
        return std::nullopt;
    std::optional<HttpUrl> url = parseHttpUrl(*location);
    if (!url || url->host.protocol() != QAbstractSocket::IPv6Protocol) {
        *why = u"LOCATION \""_s + printableExcerpt(*location) +
               u"\" is no http URL on an IPv6 address"_s;
        return std::nullopt;
    }
    // The router answers from its link-local address and names its description at that address
    // or at one of its own on the link (a global or unique local address in the link's prefix).
    // A link-local LOCATION is taken only as the sender's, on the interface searched.
    if (url->host.isLinkLocal()) {
        if (!sameAddress(url->host, sender)) {
            *why = u"LOCATION \""_s + printableExcerpt(*location) + u"\" is not on the sender"_s;
            return std::nullopt;
        }
        url->host.setScopeId(sender.scopeId());
    } else if (!sameAddress(url->host, sender) &&
               (url->host.isMulticast() || isOwnAddress(url->host) ||
                !isOnOwnLink6(url->host, interfaceIndex))) {
        *why = u"LOCATION \""_s + printableExcerpt(*location) + u"\" is not on the sender's link"_s;
        return std::nullopt;
    }
    return url;
}

QList<SsdpAnswer> searchGateways(const SsdpSearch& search, QStringList* log)
{
    QList<SsdpAnswer> answers;
    const Deadline deadline = deadlineIn(search.timeoutMs);
    const bool ipv6 = search.destination.protocol() == QAbstractSocket::IPv6Protocol;
    bool ok = false;
    const quint32 destination = search.destination.toIPv4Address(&ok);
    if (!ok && !ipv6) {
        log->append(u"SSDP: no IPv4 address to search at"_s);
        return answers;
    }
    // Over IPv6 the search goes out on one interface: the one the router is on.
    unsigned interfaceIndex = 0;
    if (ipv6) {
        interfaceIndex = scopeIndex(search.destination.scopeId());
        if (interfaceIndex == 0 &&
            (search.destination.isMulticast() || search.destination.isLinkLocal())) {
            log->append(u"SSDP over IPv6: no interface to search on"_s);
            return answers;
        }
    }
    const int fd =
        ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log->append(u"SSDP: no socket: "_s + QString::fromLocal8Bit(std::strerror(errno)));
        return answers;
    }
    sockaddr_storage to{};
    socklen_t toLength = 0;
    if (ipv6) {
        const int hops = 2;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        if (interfaceIndex != 0)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex,
                         sizeof interfaceIndex);
        auto* to6 = reinterpret_cast<sockaddr_in6*>(&to);
        to6->sin6_family = AF_INET6;
        to6->sin6_port = htons(search.port);
        const Q_IPV6ADDR address = search.destination.toIPv6Address();
        std::memcpy(to6->sin6_addr.s6_addr, address.c, 16);
        to6->sin6_scope_id = interfaceIndex;
        toLength = sizeof(sockaddr_in6);
    } else {
        const unsigned char ttl = 2;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        auto* to4 = reinterpret_cast<sockaddr_in*>(&to);
        to4->sin_family = AF_INET;
        to4->sin_port = htons(search.port);
        to4->sin_addr.s_addr = htonl(destination);
        toLength = sizeof(sockaddr_in);
    }
    const QByteArray datagram = ssdpSearchDatagram(search.destination, search.port);
    const QString target =
        (ipv6 ? u'[' + search.destination.toString() + u']' : search.destination.toString()) +
        u':' + QString::number(search.port);
    const auto send = [&] {
        return ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to), toLength) >= 0;
    };
    if (!send()) {
        log->append(u"SSDP M-SEARCH to "_s + target + u" not sent: "_s +
                    QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return answers;
    }
    log->append(u"SSDP M-SEARCH to "_s + target + u" for InternetGatewayDevice:1"_s);

    // A datagram can get lost on a busy network: the search goes out once more when nothing
    // has answered after a while.
    std::optional<Deadline> resendAt = deadlineIn(std::min(kResendMs, search.timeoutMs / 3));
    std::optional<Deadline> graceEnd;
    int goodReplies = 0;
    int ignored = 0;
    bool stopped = false;
    QHash<QHostAddress, int> perSender; // replies judged, by sender
    char buffer[2048];
    for (;;) {
        if (search.cancel && search.cancel->isCancelled()) {
            log->append(u"SSDP: search cancelled"_s);
            break;
        }
        if (search.stop && search.stop->isCancelled()) {
            stopped = true;
            if (answers.isEmpty())
                log->append(u"SSDP: no gateway answered in the time given"_s);
            break;
        }
        if (resendAt && msLeft(*resendAt) == 0) {
            resendAt.reset();
            if (answers.isEmpty() && send())
                log->append(u"SSDP M-SEARCH sent again"_s);
        }
        Deadline until = deadline;
        if (graceEnd && *graceEnd < until)
            until = *graceEnd;
        if (resendAt && *resendAt < until)
            until = *resendAt;
        const int left = msLeft(until);
        if (left <= 0) {
            if (resendAt)
                continue; // time to send again (resendAt comes before the other two)
            break;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready =
            ::poll(&entry, 1, search.cancel || search.stop ? std::min(left, kCancelCheckMs) : left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0)
            continue; // the loop's head decides whether the time is up
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            // An ICMP error from a unicast destination: nothing will answer there.
            log->append(u"SSDP: "_s + QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        QHostAddress sender;
        if (from.ss_family == AF_INET6) {
            const auto* from6 = reinterpret_cast<const sockaddr_in6*>(&from);
            sender = QHostAddress(from6->sin6_addr.s6_addr);
            if (sender.isLinkLocal())
                sender.setScopeId(QString::number(from6->sin6_scope_id));
        } else {
            sender =
                QHostAddress(ntohl(reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr));
        }
        const auto counted = perSender.find(sender);
        if (counted != perSender.end()) {
            if (++*counted > kMaxSsdpRepliesPerSender) {
                ++ignored;
                continue; // this sender has had its say
            }
        } else if (perSender.size() < kMaxSendersCounted) {
            perSender.insert(sender, 1);
        }
        QString why;
        const std::optional<HttpUrl> location =
            ipv6 ? acceptSsdp6Reply(QByteArrayView(buffer, n), sender, interfaceIndex, &why)
                 : acceptSsdpReply(QByteArrayView(buffer, n), sender, &why);
        if (!location) {
            if (++ignored <= kMaxSsdpIgnoredLogged)
                log->append(u"SSDP reply from "_s + sender.toString() + u" ignored: "_s + why);
            continue;
        }
        if (++goodReplies > kMaxSsdpReplies) {
            log->append(u"SSDP: too many good replies; the rest ignored"_s);
            break;
        }
        const bool known = std::any_of(answers.cbegin(), answers.cend(), [&](const SsdpAnswer& a) {
            return a.location.host == location->host && a.location.port == location->port &&
                   a.location.path == location->path;
        });
        if (known)
            continue;
        log->append(u"SSDP reply from "_s + sender.toString() + u": LOCATION "_s +
                    location->toString().left(kMaxLoggedChars));
        const bool preferred =
            !search.preferred.isNull() &&
            sender.isEqual(search.preferred, QHostAddress::ConvertV4MappedToIPv4) &&
            (!ipv6 || !sender.isLinkLocal() ||
             scopeIndex(sender.scopeId()) == scopeIndex(search.preferred.scopeId()));
        if (preferred)
            answers.prepend({sender, *location});
        else if (answers.size() < search.maxAnswers)
            answers.append({sender, *location});
        if (preferred)
            break;
        if (!graceEnd)
            graceEnd = deadlineIn(search.graceMs);
        resendAt.reset();
    }
    ::close(fd);
    if (ignored > kMaxSsdpIgnoredLogged)
        log->append(u"SSDP: "_s + QString::number(ignored - kMaxSsdpIgnoredLogged) +
                    u" more replies ignored"_s);
    if (answers.size() > search.maxAnswers)
        answers.resize(search.maxAnswers);
    if (answers.isEmpty() && !stopped)
        log->append(u"SSDP: no gateway answered within "_s + QString::number(search.timeoutMs) +
                    u" ms"_s);
    return answers;
}

} // namespace quillmere::router
