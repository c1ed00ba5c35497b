#include "prober.h"

#include "checkwire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quillmere::server {

namespace asio = boost::asio;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr std::string_view kPayload = "quillmere probe: dunmoor\r\n";
static_assert(kPayload.find(wire::kProbeWord) != std::string_view::npos);
static_assert(kPayload.size() <= 64);

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

std::string_view probePayload()
{
    return kPayload;
}

asio::awaitable<ProbeOutcome> probeTcp(asio::any_io_executor executor, Address address,
                                       std::uint16_t port, std::chrono::milliseconds timeout)
{
    const asio::ip::tcp::endpoint endpoint(unmapped(address), port);
    asio::ip::tcp::socket socket(executor);
    boost::system::error_code error;
    socket.open(endpoint.protocol(), error);
    if (error)
        co_return ProbeOutcome::Unreachable;
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_SYNCNT, &kSynRetries, sizeof kSynRetries);

    asio::steady_timer timer(executor, timeout);
    const auto first =
        co_await (socket.async_connect(endpoint, asio::as_tuple(asio::use_awaitable)) ||
                  timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (first.index() == 1)
        co_return ProbeOutcome::TimedOut;
    const auto [connectError] = std::get<0>(first);
    const ProbeOutcome outcome = outcomeOf(connectError);
    if (outcome != ProbeOutcome::Open)
        co_return outcome;

    // The payload fits the socket's buffer, so this write does not wait for the peer.
    timer.expires_after(timeout);
    co_await (asio::async_write(socket, asio::buffer(kPayload.data(), kPayload.size()),
                                asio::as_tuple(asio::use_awaitable)) ||
              timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, error);
    socket.close(error);
    co_return ProbeOutcome::Open;
}

ProbeOutcome probeUdp(const asio::any_io_executor& executor, const Address& address,
                      std::uint16_t port)
{
    const asio::ip::udp::endpoint endpoint(unmapped(address), port);
    asio::ip::udp::socket socket(executor);
    boost::system::error_code error;
    socket.open(endpoint.protocol(), error);
    if (!error)
        socket.send_to(asio::buffer(kPayload.data(), kPayload.size()), endpoint, 0, error);
    return error ? ProbeOutcome::Unreachable : ProbeOutcome::Sent;
}

} // namespace quillmere::server
