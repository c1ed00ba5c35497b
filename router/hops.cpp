#include "router/hops.h"

#include "router/boundedcall.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/errqueue.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quillmere::router {

namespace hops_detail {

bool isHostName(const QString& host)
{
    QStringView name(host);
    if (name.endsWith(u'.'))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253)
        return false;
    qsizetype label = 0;
    for (const QChar c : name) {
        if (c == u'.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                        (u >= u'0' && u <= u'9') || u == u'-' || u == u'_';
        if (!ok || ++label > 63)
            return false;
    }
    return label > 0;
}

QHostAddress resolveWithin(const QString& host, int timeoutMs, const Lookup& lookup,
                           const CancelToken& cancel)
{
    QString name = host.trimmed();
    if (name.size() > 2 && name.startsWith(u'[') && name.endsWith(u']'))
        name = name.mid(1, name.size() - 2);
    QHostAddress literal;
    if (literal.setAddress(name))
        return literal;
    if (timeoutMs <= 0 || !lookup || !isHostName(name))
        return {};

    // The lookup's thread may outlive this call: it gets its own copies of the name and of
    // `lookup`.
    const std::optional<QList<QHostAddress>> addresses =
        callWithinMs([name, lookup] { return lookup(name); }, timeoutMs, cancel);
    if (!addresses)
        return {};
    for (const QHostAddress& address : *addresses)
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address;
    for (const QHostAddress& address : *addresses)
        if (address.protocol() == QAbstractSocket::IPv6Protocol)
            return address;
    return {};
}

QList<QHostAddress> systemLookup(const QString& host)
{
    QList<QHostAddress> addresses;
#ifdef __linux__
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.toLatin1().constData(), nullptr, &hints, &list) != 0)
        return addresses;
    for (const addrinfo* entry = list; entry; entry = entry->ai_next)
        if (entry->ai_addr && (entry->ai_family == AF_INET || entry->ai_family == AF_INET6))
            addresses << QHostAddress(entry->ai_addr);
    ::freeaddrinfo(list);
#else
    Q_UNUSED(host);
#endif
    return addresses;
}

} // namespace hops_detail

#ifdef __linux__

namespace {

using Clock = std::chrono::steady_clock;

int msUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
}

// Time to live beyond which nothing is probed, whatever the caller asks.
constexpr int kMaxHops = 30;
// The first of the destination ports, one for each time to live: traceroute's range, where
// nothing is expected to listen.
constexpr quint16 kFirstPort = 33434;

enum class Answer {
    None,
    TimeExceeded, // a router on the way: the hop at this time to live
    Reached,      // the host itself said its port is unreachable (or answered): the way ends
    Unreachable,  // another "unreachable", or an error of this computer's: no hop, the way ends
};

class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd)
        : m_fd(fd)
    {}
    Fd(Fd&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {}
    Fd& operator=(Fd&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

struct Probe
{
    int ttl = 0;
    Fd fd;
    Answer answer = Answer::None;
    QString offender;
};

// The destination's socket address for `port`; its length, 0 when `target` is no IP address.
socklen_t destinationFor(const QHostAddress& target, quint16 port, sockaddr_storage* out)
{
    *out = {};
    bool ipv4 = false;
    const quint32 v4 = target.toIPv4Address(&ipv4);
    if (ipv4) {
        auto* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(v4);
        return sizeof(sockaddr_in);
    }
    if (target.protocol() != QAbstractSocket::IPv6Protocol)
        return 0;
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = target.toIPv6Address();
    std::copy(std::begin(bytes.c), std::end(bytes.c), in6->sin6_addr.s6_addr);
    const QString scope = target.scopeId();
    if (!scope.isEmpty()) {
        bool numeric = false;
        const uint index = scope.toUInt(&numeric);
        in6->sin6_scope_id = numeric ? index : ::if_nametoindex(scope.toLatin1().constData());
    }
    return sizeof(sockaddr_in6);
}

Fd openProbe(int family, int ttl, const sockaddr_storage& destination, socklen_t length)
{
    Fd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return {};
    const int on = 1;
    const bool set =
        family == AF_INET
            ? ::setsockopt(fd.get(), SOL_IP, IP_RECVERR, &on, sizeof on) == 0 &&
                  ::setsockopt(fd.get(), SOL_IP, IP_TTL, &ttl, sizeof ttl) == 0
            : ::setsockopt(fd.get(), SOL_IPV6, IPV6_RECVERR, &on, sizeof on) == 0 &&
                  ::setsockopt(fd.get(), SOL_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl) == 0;
    if (!set || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&destination), length) != 0)
        return {};
    static constexpr char kPayload[] = "quillmere first hops";
    if (::send(fd.get(), kPayload, sizeof kPayload - 1, MSG_NOSIGNAL) < 0)
        return {};
    return fd;
}

// Reads what the error queue holds for one probe; sets its answer from the first ICMP error
// that names an offender.
void readErrors(Probe& probe, const QHostAddress& target)
{
    for (;;) {
        char data[512];
        alignas(cmsghdr) char control[512];
        sockaddr_storage from{};
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(probe.fd.get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            const bool v4 = c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR;
            const bool v6 = c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6)
                continue;
            if (probe.answer != Answer::None)
                continue;
            const auto* error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
            const bool icmp4 = error->ee_origin == SO_EE_ORIGIN_ICMP;
            const bool icmp6 = error->ee_origin == SO_EE_ORIGIN_ICMP6;
            if (!icmp4 && !icmp6) {
                // An error of this computer's own (no route, a full queue): nothing will come.
                probe.answer = Answer::Unreachable;
                continue;
            }
            const sockaddr* offender = SO_EE_OFFENDER(error);
            if (offender->sa_family != AF_INET && offender->sa_family != AF_INET6)
                continue;
            const QHostAddress who(offender);
            // ICMP "time exceeded" is type 11, ICMPv6's is type 3.
            const bool timeExceeded = icmp4 ? error->ee_type == 11 : error->ee_type == 3;
            if (timeExceeded) {
                probe.answer = Answer::TimeExceeded;
                probe.offender = who.toString();
            } else if (who.isEqual(target, QHostAddress::ConvertV4MappedToIPv4)) {
                probe.answer = Answer::Reached;
                probe.offender = who.toString();
            } else {
                probe.answer = Answer::Unreachable;
            }
        }
    }
}

// The lowest time to live at which the way ended; kMaxHops + 1 while none has.
int endOfWay(const std::vector<Probe>& probes)
{
    for (const Probe& probe : probes)
        if (probe.answer == Answer::Reached || probe.answer == Answer::Unreachable)
            return probe.ttl;
    return kMaxHops + 1;
}

bool allAnswered(const std::vector<Probe>& probes)
{
    const int end = endOfWay(probes);
    for (const Probe& probe : probes)
        if (probe.ttl < end && probe.answer == Answer::None && probe.fd.get() >= 0)
            return false;
    return true;
}

QList<Hop> probeAddress(const QHostAddress& target, int maxHops, Clock::time_point deadline)
{
    std::vector<Probe> probes;
    probes.reserve(size_t(maxHops));
    for (int ttl = 1; ttl <= maxHops; ++ttl) {
        sockaddr_storage destination{};
        const socklen_t length =
            destinationFor(target, quint16(kFirstPort + ttl - 1), &destination);
        if (length == 0)
            return {};
        Probe probe;
        probe.ttl = ttl;
        probe.fd = openProbe(destination.ss_family, ttl, destination, length);
        if (probe.fd.get() < 0)
            probe.answer = Answer::Unreachable; // no route, or no socket: nothing to wait for
        probes.push_back(std::move(probe));
    }

    while (!allAnswered(probes)) {
        const int left = msUntil(deadline);
        if (left <= 0)
            break;
        std::vector<pollfd> waiting;
        std::vector<Probe*> owners;
        for (Probe& probe : probes) {
            if (probe.answer != Answer::None || probe.fd.get() < 0)
                continue;
            waiting.push_back({probe.fd.get(), POLLIN, 0});
            owners.push_back(&probe);
        }
        const int ready = ::poll(waiting.data(), nfds_t(waiting.size()), left);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < waiting.size(); ++i) {
            Probe& probe = *owners[i];
            if (waiting[i].revents & POLLERR)
                readErrors(probe, target);
            if (probe.answer == Answer::None && (waiting[i].revents & POLLIN)) {
                // Something at the host answered the datagram itself: the way ends there.
                char sink[64];
                if (::recv(probe.fd.get(), sink, sizeof sink, MSG_DONTWAIT) >= 0) {
                    probe.answer = Answer::Reached;
                    probe.offender = target.toString();
                }
            }
        }
    }

    QList<Hop> hops;
    const int end = endOfWay(probes);
    for (const Probe& probe : probes) {
        if (probe.ttl > end)
            break;
        if (probe.answer == Answer::TimeExceeded || probe.answer == Answer::Reached)
            hops.append({probe.ttl, probe.offender});
    }
    return hops;
}

} // namespace

QList<Hop> probeFirstHops(const QString& host, int maxHops, int timeoutMs,
                          const CancelToken& cancel)
{
    if (maxHops <= 0 || timeoutMs <= 0)
        return {};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const QHostAddress target =
        hops_detail::resolveWithin(host, timeoutMs, hops_detail::systemLookup, cancel);
    if (target.isNull() || msUntil(deadline) <= 0)
        return {};
    return probeAddress(target, std::min(maxHops, kMaxHops), deadline);
}

#else

QList<Hop> probeFirstHops(const QString& /*host*/, int /*maxHops*/, int /*timeoutMs*/,
                          const CancelToken& /*cancel*/)
{
    return {};
}

#endif

} // namespace quillmere::router
