#include "router/pcpclient.h"

#include "router/socketfd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

// The first resend after this long, then each after twice the last, within the deadline.
constexpr int kFirstResendMs = 500;

socklen_t fill(const QHostAddress& address, quint16 port, sockaddr_storage* out)
{
    std::memset(out, 0, sizeof *out);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = address.toIPv4Address();
        auto* in = reinterpret_cast<sockaddr_in*>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(v4);
        return sizeof(sockaddr_in);
    }
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, v6.c, 16);
    bool numeric = false;
    const QString zone = address.scopeId();
    const uint index = zone.toUInt(&numeric);
    if (numeric)
        in6->sin6_scope_id = index;
    else if (!zone.isEmpty())
        in6->sin6_scope_id = ::if_nametoindex(zone.toLocal8Bit().constData());
    return sizeof(sockaddr_in6);
}

QHostAddress addressOf(const sockaddr_storage& in)
{
    if (in.ss_family == AF_INET)
        return QHostAddress(ntohl(reinterpret_cast<const sockaddr_in&>(in).sin_addr.s_addr));
    if (in.ss_family == AF_INET6) {
        QHostAddress address(reinterpret_cast<const sockaddr_in6&>(in).sin6_addr.s6_addr);
        bool ipv4 = false;
        const quint32 v4 = address.toIPv4Address(&ipv4);
        return ipv4 ? QHostAddress(v4) : address;
    }
    return {};
}

QString resultText(int result)
{
    switch (result) {
    case pcp::NotAuthorized:
        return u"NOT_AUTHORIZED: the router does not allow this mapping"_s;
    case pcp::NoResources:
        return u"NO_RESOURCES: the router has no mapping to give (or no public address)"_s;
    case pcp::AddressMismatch:
        return u"ADDRESS_MISMATCH: the router saw the request come from another address (a "
               u"second NAT on the way?)"_s;
    case pcp::CannotProvideExternal:
        return u"CANNOT_PROVIDE_EXTERNAL: the router cannot give that external port or address"_s;
    case pcp::NetworkFailure:
        return u"NETWORK_FAILURE: the router has no working internet connection for mappings"_s;
    case pcp::UnsuppVersion:
        return u"UNSUPP_VERSION: the router does not speak PCP version 2"_s;
    default:
        return pcp::resultName(result);
    }
}

} // namespace

PcpClient::PcpClient(const QHostAddress& gateway, quint16 port, QStringList* log)
    : m_gateway(gateway)
    , m_port(port)
    , m_log(log)
{}

pcp::Nonce PcpClient::randomNonce()
{
    pcp::Nonce nonce{};
    std::size_t got = 0;
    while (got < nonce.size()) {
        const ssize_t n = ::getrandom(nonce.data() + got, nonce.size() - got, 0);
        if (n > 0)
            got += std::size_t(n);
        else if (errno != EINTR)
            break;
    }
    return nonce;
}

template <typename Build>
PcpClient::Exchange PcpClient::exchange(const QHostAddress& from, std::uint8_t opcode,
                                        const pcp::Nonce* nonce, Build build, Deadline until)
{
    Exchange out;
    const QString where = u"PCP server "_s + m_gateway.toString() + u':' + QString::number(m_port);
    if (m_gateway.isNull()) {
        out.error = u"no gateway"_s;
        return out;
    }
    sockaddr_storage to{};
    const socklen_t toSize = fill(m_gateway, m_port, &to);
    SocketFd socket(::socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (socket.fd() < 0) {
        out.error = u"cannot open a socket: "_s + QString::fromLocal8Bit(std::strerror(errno));
        return out;
    }
    if (!from.isNull()) {
        sockaddr_storage local{};
        const socklen_t localSize = fill(from, 0, &local);
        if (local.ss_family != to.ss_family ||
            ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&local), localSize) != 0) {
            out.error = u"cannot send from "_s + from.toString() + u" to "_s + where;
            return out;
        }
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&to), toSize) != 0) {
        out.error =
            u"cannot reach "_s + where + u": "_s + QString::fromLocal8Bit(std::strerror(errno));
        return out;
    }
    sockaddr_storage source{};
    socklen_t sourceSize = sizeof source;
    ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&source), &sourceSize);
    out.source = addressOf(source);
    const std::vector<std::uint8_t> request = build(pcp::wireAddress(out.source));

    int resendMs = kFirstResendMs;
    Deadline resendAt = Deadline::min();
    for (;;) {
        if (m_cancel && m_cancel->load()) {
            out.error = u"no longer needed"_s;
            return out;
        }
        const int left = msLeft(until);
        if (left <= 0) {
            out.error = u"no answer from "_s + where;
            return out;
        }
        if (Clock::now() >= resendAt) {
            if (::send(socket.fd(), request.data(), request.size(), 0) < 0 && errno != EAGAIN &&
                errno != ECONNREFUSED) {
                out.error = u"cannot send to "_s + where + u": "_s +
                            QString::fromLocal8Bit(std::strerror(errno));
                return out;
            }
            resendAt = deadlineIn(resendMs);
            resendMs *= 2;
        }
        int wait = std::min(left, std::max(1, msLeft(resendAt)));
        if (m_cancel)
            wait = std::min(wait, 50);
        pollfd entry{socket.fd(), POLLIN, 0};
        if (::poll(&entry, 1, wait) < 0 && errno != EINTR) {
            out.error = u"poll failed"_s;
            return out;
        }
        // Room for one byte more than a PCP message may have, so that a longer one is seen.
        std::array<std::uint8_t, pcp::kMaxMessageBytes + 1> buffer{};
        const ssize_t size = ::recv(socket.fd(), buffer.data(), buffer.size(), 0);
        if (size < 0) {
            if (errno == ECONNREFUSED) {
                // Nothing listens there: the gateway said so at once.
                out.error = u"nothing answers PCP at "_s + where;
                return out;
            }
            continue;
        }
        const char* why = nullptr;
        std::optional<pcp::Reply> reply = pcp::parseReply(
            std::span<const std::uint8_t>(buffer.data(), std::size_t(size)), opcode, nonce, &why);
        if (!reply) {
            m_log->append(u"PCP: a datagram from "_s + where + u" was dropped: "_s +
                          QString::fromLatin1(why));
            continue;
        }
        out.reply = reply;
        return out;
    }
}

PcpAnnounceReply PcpClient::announce(Deadline until)
{
    PcpAnnounceReply out;
    m_log->append(u"PCP ANNOUNCE to "_s + m_gateway.toString());
    const Exchange got = exchange(
        {}, pcp::Announce, nullptr,
        [](const pcp::Address& client) { return pcp::announceRequest(client); }, until);
    if (!got.reply) {
        out.error = got.error;
        m_log->append(u"PCP: "_s + got.error);
        return out;
    }
    const pcp::Reply& reply = *got.reply;
    out.answered = true;
    out.result = reply.result;
    out.version = reply.version;
    if (reply.version == 0) {
        out.natpmpOnly = true;
        out.error = u"the gateway speaks NAT-PMP, not PCP"_s;
        m_log->append(u"PCP: the gateway answered as a NAT-PMP server (UNSUPP_VERSION): NAT-PMP "
                      u"is used"_s);
        return out;
    }
    out.epoch = reply.epoch;
    if (reply.result == pcp::Success && reply.version == pcp::kVersion) {
        out.present = true;
        m_log->append(u"PCP: version "_s + QString::number(reply.version) + u", epoch "_s +
                      QString::number(reply.epoch));
        return out;
    }
    if (reply.result == pcp::UnsuppVersion) {
        out.natpmpOnly = true;
        out.error = u"the gateway speaks PCP version "_s + QString::number(reply.version) +
                    u" only (UNSUPP_VERSION)"_s;
    } else {
        out.error = u"the gateway answered "_s + resultText(reply.result);
    }
    m_log->append(u"PCP: "_s + out.error);
    return out;
}

PcpMapReply PcpClient::map(const PcpMapRequest& request, Deadline until)
{
    PcpMapReply out;
    const bool udp = request.protocol == ProbeProtocol::Udp;
    m_log->append(
        u"PCP MAP "_s + (udp ? u"UDP"_s : u"TCP"_s) + u" to "_s + m_gateway.toString() +
        u": internal "_s +
        (request.internalAddress.isNull() ? QString() : request.internalAddress.toString() + u' ') +
        u"port "_s + QString::number(request.internalPort) + u", suggested external port "_s +
        QString::number(request.suggestedExternalPort) + u", lifetime "_s +
        QString::number(request.lifetime) + u" s"_s);
    const auto build = [&](const pcp::Address& client) {
        pcp::MapRequest map;
        map.nonce = request.nonce;
        map.protocol = udp ? pcp::kUdp : pcp::kTcp;
        map.internalPort = request.internalPort;
        map.suggestedExternalPort = request.suggestedExternalPort;
        // No suggestion is all zeros in the internal address's family.
        QHostAddress suggested = request.suggestedExternalAddress;
        const bool clientIpv4 =
            pcp::hostAddress(client).protocol() == QAbstractSocket::IPv4Protocol;
        if (suggested.isNull() && !clientIpv4)
            suggested = QHostAddress(QHostAddress::AnyIPv6);
        map.suggestedExternalAddress = pcp::wireAddress(suggested);
        map.lifetime = request.lifetime;
        map.client = client;
        return pcp::mapRequest(map);
    };
    const Exchange got = exchange(request.internalAddress, pcp::Map, &request.nonce, build, until);
    out.internalAddress = got.source;
    if (!got.reply) {
        out.error = got.error;
        m_log->append(u"PCP: "_s + got.error);
        return out;
    }
    const pcp::Reply& reply = *got.reply;
    out.answered = true;
    out.result = reply.result;
    out.lifetime = reply.lifetime;
    out.epoch = reply.epoch;
    if (reply.map) {
        out.externalPort = reply.map->externalPort;
        out.internalPort = reply.map->internalPort;
        out.externalAddress = pcp::hostAddress(reply.map->externalAddress);
    }
    if (reply.version == 0) {
        out.error = u"the gateway speaks NAT-PMP, not PCP"_s;
    } else if (reply.result != pcp::Success) {
        out.error = resultText(reply.result);
    } else if (!reply.map || reply.map->protocol != (udp ? pcp::kUdp : pcp::kTcp) ||
               reply.map->internalPort != request.internalPort) {
        // SUCCESS for another protocol or port than asked for answers no request of ours.
        out.answered = false;
        out.result = -1;
        out.error = u"the router's reply names another protocol or internal port"_s;
    }
    if (out.error.isEmpty())
        m_log->append(u"PCP mapping: external "_s + out.externalAddress.toString() + u':' +
                      QString::number(out.externalPort) + u", lifetime "_s +
                      QString::number(out.lifetime) + u" s, epoch "_s + QString::number(out.epoch));
    else
        m_log->append(u"PCP: "_s + out.error);
    return out;
}

} // namespace quillmere::router
