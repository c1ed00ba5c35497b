#pragma once

// The listener an operator's monitoring scrapes: GET /metrics answers the exposition of a
// Metrics, everything else 404. It is meant for a private address; it shares nothing with the
// check listeners but the event loop, and keeps its own small caps so that it costs the checks
// nothing even when somebody else finds it.

#include "server/metrics.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere::server {

class MetricsEndpoint
{
public:
    static constexpr std::size_t kMaxConnections = 8;

    MetricsEndpoint(boost::asio::io_context& context, const Metrics& metrics);

    // Opens the listener (an IPv6 one takes IPv4 too when `dualStack`); an error message, empty
    // when it listens.
    std::string listen(const boost::asio::ip::tcp::endpoint& endpoint, bool dualStack);
    boost::asio::ip::tcp::endpoint localEndpoint() const;
    void start();
    // Stops accepting; connections already open finish on their own deadlines.
    void close();

private:
    boost::asio::awaitable<void> acceptLoop();
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);

    boost::asio::io_context& m_context;
    const Metrics& m_metrics;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::atomic<std::size_t> m_connections{0};
};

// The reply to a request head on the metrics listener, as one buffer.
std::string metricsReply(const Metrics& metrics, std::string_view received);

} // namespace quillmere::server
