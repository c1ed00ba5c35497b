#include "server/pinger.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere::server {

namespace asio = boost::asio;
using DatagramSocket = asio::generic::datagram_protocol::socket;

namespace {

constexpr unsigned char kEchoRequestV4 = 8;
constexpr unsigned char kEchoReplyV4 = 0;
constexpr unsigned char kEchoRequestV6 = 128;
constexpr unsigned char kEchoReplyV6 = 129;
constexpr std::size_t kEchoPayload = 8;
constexpr std::size_t kMaxOutstanding = 16384;

std::uint16_t checksum(const unsigned char* data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += std::uint32_t(data[i] << 8 | data[i + 1]);
    if (size % 2)
        sum += std::uint32_t(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::optional<Address> addressOf(const asio::generic::datagram_protocol::endpoint& endpoint)
{
    const sockaddr* raw = endpoint.data();
    if (raw->sa_family == AF_INET && endpoint.size() >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, raw, sizeof in);
        return asio::ip::address_v4(ntohl(in.sin_addr.s_addr));
    }
    if (raw->sa_family == AF_INET6 && endpoint.size() >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, raw, sizeof in6);
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
        return unmapped(asio::ip::address_v6(bytes));
    }
    return std::nullopt;
}

} // namespace

std::optional<PingMode> parsePingMode(std::string_view text)
{
    if (text == "auto")
        return PingMode::Auto;
    if (text == "datagram")
        return PingMode::Datagram;
    if (text == "raw")
        return PingMode::Raw;
    if (text == "off")
        return PingMode::Off;
    return std::nullopt;
}

struct Pinger::Family
{
    explicit Family(bool isV6)
        : v6(isV6)
    {}
    bool v6;
    bool raw = false;
    std::optional<DatagramSocket> socket;
    std::string state;
    std::array<unsigned char, 1500> buffer{};
};

struct Pinger::Waiter
{
    Address target;
    asio::steady_timer timer;
    bool answered = false;
};

Pinger::Pinger(const asio::any_io_executor& executor, PingMode mode, PingTiming timing,
               unsigned instance)
    : m_executor(executor)
    , m_timing(timing)
    , m_v4(std::make_unique<Family>(false))
    , m_v6(std::make_unique<Family>(true))
    , m_identifier(static_cast<std::uint16_t>((unsigned(::getpid()) + instance) & 0xFFFF))
{
    openFamily(*m_v4, mode);
    openFamily(*m_v6, mode);
    for (Family* family : {m_v4.get(), m_v6.get()}) {
        if (family->socket)
            asio::co_spawn(m_executor, receiveLoop(*family), asio::detached);
    }
}

Pinger::~Pinger() = default;

void Pinger::close()
{
    for (Family* family : {m_v4.get(), m_v6.get()}) {
        if (family->socket) {
            boost::system::error_code ignored;
            family->socket->close(ignored);
        }
    }
}

void Pinger::openFamily(Family& family, PingMode mode)
{
    const char* name = family.v6 ? "IPv6" : "IPv4";
    if (mode == PingMode::Off) {
        family.state = std::string(name) + ": no ping (switched off)";
        return;
    }
    const int domain = family.v6 ? AF_INET6 : AF_INET;
    const int protocol = family.v6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
    std::string failures;
    int fd = -1;
    for (const PingMode kind : {PingMode::Datagram, PingMode::Raw}) {
        if (mode != PingMode::Auto && mode != kind)
            continue;
        const int type = kind == PingMode::Raw ? int(SOCK_RAW) : int(SOCK_DGRAM);
        fd = ::socket(domain, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
        if (fd >= 0) {
            family.raw = kind == PingMode::Raw;
            break;
        }
        failures += std::string(failures.empty() ? "" : "; ") +
                    (kind == PingMode::Raw ? "raw socket: " : "datagram socket: ") +
                    std::strerror(errno);
    }
    if (fd < 0) {
        family.state = std::string(name) + ": no ping (" + failures + ")";
        return;
    }
    // A raw socket sees every ICMP message of the host; let only echo replies through.
    if (family.raw && !family.v6) {
        icmp_filter filter{};
        filter.data = ~(1u << ICMP_ECHOREPLY);
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else if (family.raw) {
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    // The socket is opened by hand so that a refusal can be reported; Asio only drives it. Its
    // type (datagram or raw) does not matter to sendto and recvfrom.
    boost::system::error_code error;
    family.socket.emplace(m_executor);
    family.socket->assign(asio::generic::datagram_protocol(domain, protocol), fd, error);
    if (error)
        ::close(fd); // not the socket's yet
    else // sends must never wait: a full queue loses the echo request, not the event loop
        family.socket->non_blocking(true, error);
    if (error) {
        family.socket.reset();
        family.state = std::string(name) + ": no ping (" + error.message() + ")";
        return;
    }
    family.state = std::string(name) + ": ping through " +
                   (family.raw ? "a raw" : "an unprivileged datagram") + " ICMP socket";
}

std::string Pinger::description() const
{
    return m_v4->state + "; " + m_v6->state;
}

std::string_view Pinger::method(bool ipv6) const
{
    const Family& family = ipv6 ? *m_v6 : *m_v4;
    if (!family.socket)
        return "none";
    return family.raw ? "raw" : "datagram";
}

bool Pinger::canPing(const Address& address) const
{
    const Family& family = unmapped(address).is_v4() ? *m_v4 : *m_v6;
    return family.socket && family.socket->is_open();
}

asio::awaitable<void> Pinger::receiveLoop(Family& family)
{
    asio::generic::datagram_protocol::endpoint from;
    for (;;) {
        const auto [error, size] = co_await family.socket->async_receive_from(
            asio::buffer(family.buffer), from, asio::as_tuple(asio::use_awaitable));
        if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor ||
            !family.socket->is_open())
            co_return;
        if (error)
            continue;
        if (const auto address = addressOf(from))
            handleAnswer(family, family.buffer.data(), size, *address);
    }
}

void Pinger::handleAnswer(Family& family, const unsigned char* data, std::size_t size,
                          const Address& from)
{
    // A raw IPv4 socket hands over the IP header too.
    if (family.raw && !family.v6) {
        if (size < 20)
            return;
        const std::size_t header = std::size_t(data[0] & 0x0F) * 4;
        if (header < 20 || header > size)
            return;
        data += header;
        size -= header;
    }
    if (size < 8 || data[0] != (family.v6 ? kEchoReplyV6 : kEchoReplyV4) || data[1] != 0)
        return;
    // Datagram sockets get only their own answers (the system sets the identifier); a raw
    // socket sees everyone's.
    const auto identifier = static_cast<std::uint16_t>(data[4] << 8 | data[5]);
    if (family.raw && identifier != m_identifier)
        return;
    const auto sequence = static_cast<std::uint16_t>(data[6] << 8 | data[7]);
    const auto it = m_waiters.find(sequence);
    if (it == m_waiters.end() || it->second->target != from)
        return;
    it->second->answered = true;
    it->second->timer.cancel();
}

asio::awaitable<bool> Pinger::ping(Address address)
{
    address = unmapped(address);
    Family& family = address.is_v4() ? *m_v4 : *m_v6;
    if (!family.socket || !family.socket->is_open())
        co_return false;
    // Sequence numbers are 16 bits for all checks together; past this many outstanding
    // requests a check goes without a ping rather than search a crowded space.
    if (m_waiters.size() + m_timing.requests > kMaxOutstanding)
        co_return false;

    Waiter waiter{address, asio::steady_timer(m_executor), false};
    std::vector<std::uint16_t> sequences;
    struct Release
    {
        Pinger& pinger;
        std::vector<std::uint16_t>& sequences;
        ~Release()
        {
            for (const std::uint16_t sequence : sequences)
                pinger.m_waiters.erase(sequence);
        }
    } release{*this, sequences};

    asio::generic::datagram_protocol::endpoint target(asio::ip::udp::endpoint(address, 0));
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < m_timing.requests && !waiter.answered; ++i) {
        std::uint16_t sequence = m_nextSequence;
        for (unsigned tries = 0; m_waiters.count(sequence) && tries < 65536; ++tries)
            sequence = static_cast<std::uint16_t>(sequence + 1);
        if (m_waiters.count(sequence))
            break;
        m_nextSequence = static_cast<std::uint16_t>(sequence + 1);
        m_waiters.emplace(sequence, &waiter);
        sequences.push_back(sequence);

        std::array<unsigned char, 8 + kEchoPayload> packet{};
        packet[0] = family.v6 ? kEchoRequestV6 : kEchoRequestV4;
        packet[4] = static_cast<unsigned char>(m_identifier >> 8);
        packet[5] = static_cast<unsigned char>(m_identifier & 0xFF);
        packet[6] = static_cast<unsigned char>(sequence >> 8);
        packet[7] = static_cast<unsigned char>(sequence & 0xFF);
        std::memcpy(packet.data() + 8, "quillmer", kEchoPayload);
        if (!family.v6) { // the system computes ICMPv6 checksums itself
            const std::uint16_t sum = checksum(packet.data(), packet.size());
            packet[2] = static_cast<unsigned char>(sum >> 8);
            packet[3] = static_cast<unsigned char>(sum & 0xFF);
        }
        boost::system::error_code ignored;
        family.socket->send_to(asio::buffer(packet), target, 0, ignored);

        const bool last = i + 1 == m_timing.requests;
        waiter.timer.expires_at(last ? start + m_timing.deadline
                                     : start + m_timing.spacing * (i + 1));
        co_await waiter.timer.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    co_return waiter.answered;
}

} // namespace quillmere::server
