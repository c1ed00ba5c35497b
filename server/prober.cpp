#include "server/prober.h"

#include "server/deadline.h"
#include "wire/checkwire.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace quillmere::server {

namespace asio = boost::asio;

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

    Deadline deadline(executor, socket);
    deadline.arm(timeout);
    const auto [connectError] =
        co_await socket.async_connect(endpoint, asio::as_tuple(asio::use_awaitable));
    if (deadline.expired())
        co_return ProbeOutcome::TimedOut;
    deadline.disarm();
    const ProbeOutcome outcome = outcomeOf(connectError);
    if (outcome != ProbeOutcome::Open)
        co_return outcome;

    // A fresh connection's send buffer takes the payload at once; the close sends it on and
    // ends the connection.
    socket.non_blocking(true, error);
    socket.write_some(asio::buffer(kPayload.data(), kPayload.size()), error);
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
