#include "server/metricsendpoint.h"

#include "server/checkquery.h"
#include "server/deadline.h"
#include "server/replies.h"
#include "server/requesthead.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>

namespace quillmere::server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
constexpr auto kTimeout = std::chrono::seconds(5);
constexpr auto kLingerTimeout = std::chrono::seconds(1);
constexpr std::string_view kPath = "/metrics";

} // namespace

std::string metricsReply(const Metrics& metrics, std::string_view received)
{
    const HeadParse parse = parseRequestHead(received);
    if (parse.status != HeadStatus::Complete)
        return pageReply(400, "text/plain; charset=utf-8", "Bad request.\n", 1);
    const RequestHead& request = parse.head;
    if (request.method == "GET" && splitTarget(request.target).first == kPath)
        return pageReply(200, Metrics::kContentType, metrics.exposition(), request.httpMinor);
    return pageReply(404, "text/plain; charset=utf-8", "Not found. Metrics are at /metrics.\n",
                     request.httpMinor);
}

MetricsEndpoint::MetricsEndpoint(asio::io_context& context, const Metrics& metrics)
    : m_context(context)
    , m_metrics(metrics)
    , m_acceptor(context)
{}

std::string MetricsEndpoint::listen(const tcp::endpoint& endpoint, bool dualStack)
{
    boost::system::error_code error;
    m_acceptor.open(endpoint.protocol(), error);
    if (!error && endpoint.address().is_v6())
        m_acceptor.set_option(asio::ip::v6_only(!dualStack), error);
    if (!error)
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        m_acceptor.bind(endpoint, error);
    if (!error)
        m_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        boost::system::error_code ignored;
        m_acceptor.close(ignored);
        return error.message();
    }
    return {};
}

tcp::endpoint MetricsEndpoint::localEndpoint() const
{
    boost::system::error_code error;
    return m_acceptor.local_endpoint(error);
}

void MetricsEndpoint::start()
{
    asio::co_spawn(m_context, acceptLoop(), asio::detached);
}

void MetricsEndpoint::close()
{
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
}

asio::awaitable<void> MetricsEndpoint::acceptLoop()
{
    asio::steady_timer pause(m_context);
    while (m_acceptor.is_open()) {
        auto [error, socket] = co_await m_acceptor.async_accept(kTuple);
        if (!m_acceptor.is_open() || error == asio::error::operation_aborted)
            co_return;
        if (error) {
            pause.expires_after(std::chrono::milliseconds(50));
            co_await pause.async_wait(kTuple);
            continue;
        }
        if (m_connections >= kMaxConnections)
            continue; // the socket closes here
        asio::co_spawn(m_context, serve(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> MetricsEndpoint::serve(tcp::socket socket)
{
    ++m_connections;
    struct Release
    {
        std::atomic<std::size_t>& connections;
        ~Release() { --connections; }
    } release{m_connections};

    Deadline deadline(m_context.get_executor(), socket);
    deadline.arm(kTimeout); // for the head and the reply together
    std::string received;
    std::array<char, 1024> chunk{};
    while (received.size() < kHeadLimit) {
        const auto [error, got] = co_await socket.async_read_some(
            asio::buffer(chunk.data(), std::min(chunk.size(), kHeadLimit - received.size())),
            kTuple);
        if (error)
            co_return;
        const std::size_t before = received.size();
        received.append(chunk.data(), got);
        if (headWorthParsing(received, before) &&
            parseRequestHead(received).status != HeadStatus::NeedMore)
            break;
    }
    const std::string reply = metricsReply(m_metrics, received);
    co_await asio::async_write(socket, asio::buffer(reply), kTuple);
    // Closing over bytes the client sent and nobody read would reset the connection, and the
    // reset throws away whatever of the reply still waits to be sent. Such a client gets a
    // moment to finish: read until it closes.
    boost::system::error_code ignored;
    const HeadParse parse = parseRequestHead(received);
    const bool unread = parse.status != HeadStatus::Complete || received.size() > parse.head.size ||
                        socket.available(ignored) > 0;
    if (!deadline.expired() && unread) {
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        deadline.arm(kLingerTimeout);
        for (;;) {
            const auto [drainError, drained] =
                co_await socket.async_read_some(asio::buffer(chunk), kTuple);
            if (drainError)
                break;
        }
    }
    deadline.disarm();
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

} // namespace quillmere::server
