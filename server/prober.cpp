#include "server/prober.h"

#include "server/deadline.h"
#include "wire/checkwire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <random>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/random.h>
#include <sys/socket.h>

namespace quillmere::server {

namespace asio = boost::asio;

namespace {

constexpr std::string_view kPayloadStart = "quillmere ";
constexpr std::string_view kPayloadEnd = "\r\n";
// A probe never outweighs the request that asked for it, even the shortest one.
constexpr std::size_t kShortestRequest =
    std::string_view("GET ").size() + wire::kCheckPath.size() +
    std::string_view("?port=1&protocol=tcp HTTP/1.0\r\n\r\n").size();
static_assert(kPayloadStart.size() + wire::kProbeWord.size() + wire::kTokenSeparator.size() +
                  wire::kTokenDigits + kPayloadEnd.size() <=
              kShortestRequest);
static_assert(wire::kTokenDigits >= wire::kTokenMinDigits &&
              wire::kTokenDigits <= wire::kTokenMaxDigits && wire::kTokenDigits % 2 == 0);

// Two SYN retransmissions (about 3 s) instead of the usual six (about two minutes); the
// connect time-out ends the attempt anyway.
constexpr int kSynRetries = 2;

ProbeOutcome outcomeOf(const boost::system::error_code& error)
{
    if (!error)
        return ProbeOutcome::Open;
    if (error == asio::error::connection_refused)
        return ProbeOutcome::Closed;
    if (error == asio::error::timed_out)
        return ProbeOutcome::TimedOut;
    return ProbeOutcome::Unreachable;
}

} // namespace

wire::ProbeEnd probeEndOf(ProbeOutcome outcome, const std::optional<IcmpError>& icmp)
{
    switch (outcome) {
    case ProbeOutcome::Open:
        return wire::ProbeEnd::Connected;
    case ProbeOutcome::TimedOut:
        return wire::ProbeEnd::TimedOut;
    case ProbeOutcome::Closed:
        // An ICMP port unreachable reaches the connect as a refusal as well.
        return icmp ? wire::ProbeEnd::Unreachable : wire::ProbeEnd::Refused;
    case ProbeOutcome::Unreachable:
    case ProbeOutcome::Sent:
        break;
    }
    return wire::ProbeEnd::Unreachable;
}

namespace {

// The system's random bytes, drawn 512 at a time for each thread: one getrandom call serves 32
// checks rather than one. Every byte is handed out once and wiped from the pool.
void randomBytes(unsigned char* out, std::size_t count)
{
    thread_local std::array<unsigned char, 512> pool{};
    thread_local std::size_t left = 0;
    while (count > 0) {
        if (left == 0) {
            std::size_t filled = 0;
            while (filled < pool.size()) {
                const ssize_t got = ::getrandom(pool.data() + filled, pool.size() - filled, 0);
                if (got > 0) {
                    filled += std::size_t(got);
                } else if (got < 0 && errno != EINTR) {
                    // No getrandom (a kernel before 3.17): the library's source reads the same
                    // pool.
                    std::random_device source;
                    for (unsigned char& byte : pool)
                        byte = static_cast<unsigned char>(source());
                    break;
                }
            }
            left = pool.size();
        }
        const std::size_t take = std::min(count, left);
        unsigned char* from = pool.data() + (pool.size() - left);
        std::memcpy(out, from, take);
        std::memset(from, 0, take);
        left -= take;
        out += take;
        count -= take;
    }
}

} // namespace

std::string newCheckToken()
{
    std::array<unsigned char, wire::kTokenDigits / 2> bytes{};
    randomBytes(bytes.data(), bytes.size());
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string token;
    token.reserve(wire::kTokenDigits);
    for (const unsigned char byte : bytes)
        token.append(1, kDigits[byte >> 4]).append(1, kDigits[byte & 0x0F]);
    return token;
}

std::string probePayload(std::string_view token)
{
    return std::string(kPayloadStart).append(wire::probeMark(token)).append(kPayloadEnd);
}

asio::awaitable<TcpProbe> probeTcp(asio::any_io_executor executor, Address address,
                                   std::uint16_t port, std::chrono::milliseconds timeout,
                                   std::string payload, Histogram* connectTimes)
{
    const asio::ip::tcp::endpoint endpoint(unmapped(address), port);
    asio::ip::tcp::socket socket(executor);
    boost::system::error_code error;
    socket.open(endpoint.protocol(), error);
    if (error)
        co_return TcpProbe{};
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_SYNCNT, &kSynRetries, sizeof kSynRetries);
    enableIcmpErrors(socket.native_handle(), endpoint.address().is_v6());

    Deadline deadline(executor, socket);
    deadline.arm(timeout);
    const auto start = std::chrono::steady_clock::now();
    const auto [connectError] =
        co_await socket.async_connect(endpoint, asio::as_tuple(asio::use_awaitable));
    if (deadline.expired())
        co_return TcpProbe{ProbeOutcome::TimedOut, wire::ProbeEnd::TimedOut, std::nullopt};
    deadline.disarm();
    const ProbeOutcome outcome = outcomeOf(connectError);
    if (connectTimes && (outcome == ProbeOutcome::Open || outcome == ProbeOutcome::Closed))
        connectTimes->observe(std::chrono::steady_clock::now() - start);
    if (outcome != ProbeOutcome::Open) {
        const std::optional<IcmpError> icmp = takeIcmpError(socket.native_handle());
        co_return TcpProbe{outcome, probeEndOf(outcome, icmp), icmp};
    }

    // A fresh connection's send buffer takes the payload at once; the close sends it on and
    // ends the connection.
    socket.non_blocking(true, error);
    socket.write_some(asio::buffer(payload), error);
    socket.close(error);
    co_return TcpProbe{ProbeOutcome::Open, wire::ProbeEnd::Connected, std::nullopt};
}

ProbeOutcome probeUdp(const asio::any_io_executor& executor, const Address& address,
                      std::uint16_t port, std::string_view payload)
{
    const asio::ip::udp::endpoint endpoint(unmapped(address), port);
    asio::ip::udp::socket socket(executor);
    boost::system::error_code error;
    socket.open(endpoint.protocol(), error);
    if (!error)
        socket.send_to(asio::buffer(payload.data(), payload.size()), endpoint, 0, error);
    return error ? ProbeOutcome::Unreachable : ProbeOutcome::Sent;
}

} // namespace quillmere::server
