#include "router/ssdp.h"

#include "router/lan.h"

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
    return "M-SEARCH * HTTP/1.1\r\nHOST: " + destination.toString().toLatin1() + ':' +
           QByteArray::number(port) + "\r\nST: " + kSearchTarget.toByteArray() +
           "\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n";
}

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
    if (!location) {
        *why = u"no LOCATION"_s;
        return std::nullopt;
    }
    const std::optional<HttpUrl> url = parseHttpUrl(*location);
    if (!url) {
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

QList<SsdpAnswer> searchGateways(const SsdpSearch& search, QStringList* log)
{
    QList<SsdpAnswer> answers;
    const Deadline deadline = deadlineIn(search.timeoutMs);
    bool ok = false;
    const quint32 destination = search.destination.toIPv4Address(&ok);
    if (!ok) {
        log->append(u"SSDP: no IPv4 address to search at"_s);
        return answers;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log->append(u"SSDP: no socket: "_s + QString::fromLocal8Bit(std::strerror(errno)));
        return answers;
    }
    const unsigned char ttl = 2;
    ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(search.port);
    to.sin_addr.s_addr = htonl(destination);
    const QByteArray datagram = ssdpSearchDatagram(search.destination, search.port);
    const QString target = search.destination.toString() + u':' + QString::number(search.port);
    const auto send = [&] {
        return ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
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
    QHash<quint32, int> perSender; // replies judged, by sender
    char buffer[2048];
    for (;;) {
        if (search.cancel && search.cancel->isCancelled()) {
            log->append(u"SSDP: search cancelled"_s);
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
        const int ready = ::poll(&entry, 1, search.cancel ? std::min(left, kCancelCheckMs) : left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0)
            continue; // the loop's head decides whether the time is up
        sockaddr_in from{};
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
        const quint32 senderIpv4 = ntohl(from.sin_addr.s_addr);
        const auto counted = perSender.find(senderIpv4);
        if (counted != perSender.end()) {
            if (++*counted > kMaxSsdpRepliesPerSender) {
                ++ignored;
                continue; // this sender has had its say
            }
        } else if (perSender.size() < kMaxSendersCounted) {
            perSender.insert(senderIpv4, 1);
        }
        const QHostAddress sender(senderIpv4);
        QString why;
        const std::optional<HttpUrl> location =
            acceptSsdpReply(QByteArrayView(buffer, n), sender, &why);
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
        const bool preferred = !search.preferred.isNull() && sender == search.preferred;
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
    if (answers.isEmpty())
        log->append(u"SSDP: no gateway answered within "_s + QString::number(search.timeoutMs) +
                    u" ms"_s);
    return answers;
}

} // namespace quillmere::router
