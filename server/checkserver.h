#pragma once

// The check server: listeners, one coroutine per connection, the probes and the replies, all on
// one Asio executor. Nothing here blocks; every wait is bounded by a timer.

#include "server/clientlimits.h"
#include "server/deadline.h"
#include "server/metrics.h"
#include "server/metricsendpoint.h"
#include "server/pinger.h"
#include "server/requesthead.h"
#include "server/serverconfig.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

class CheckServer
{
public:
    using Sink = std::function<void(std::string_view line)>;

    // `accessLog` gets one line per check, `notes` the start-up and shut-down notes.
    CheckServer(boost::asio::io_context& context, ServerConfig config, Sink accessLog, Sink notes);
    ~CheckServer();
    CheckServer(const CheckServer&) = delete;
    CheckServer& operator=(const CheckServer&) = delete;

    // Opens the listeners; false (with a note saying why) when one cannot be opened.
    bool start();

    // Stops accepting; the connections that are open finish, then the server closes its ICMP
    // sockets and calls `drained`. Handlers of the server may still be queued then: destroy it
    // only after the event loop has run dry.
    void stop(std::function<void()> drained = {});

private:
    struct Connection;

    bool listenOn(const boost::asio::ip::tcp::endpoint& endpoint, bool dualStack);
    boost::asio::awaitable<void> acceptLoop(boost::asio::ip::tcp::acceptor& acceptor);
    boost::asio::awaitable<void> sweepLoop();
    // One connection: admission, the head, the answer, the close.
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket,
                                       boost::asio::ip::tcp::endpoint remote);
    // Reads until the head is complete, too large or wrong; nullopt when the client went away
    // (or the head deadline closed the socket) with nothing to answer.
    boost::asio::awaitable<std::optional<HeadParse>> readHead(Connection& connection);
    // The reply to a head: a refusal, a page, or a check's outcome.
    boost::asio::awaitable<std::string> answer(Connection& connection, const HeadParse& parse);
    std::string statusText() const;
    // Writes the reply and closes; `unread` says the client sent more than was read.
    boost::asio::awaitable<void> finish(Connection& connection,
                                        Deadline<boost::asio::ip::tcp::socket>& deadline,
                                        const std::string& reply, bool unread);
    boost::asio::awaitable<std::string> answerCheck(Connection& connection, std::string_view query);
    void logCheck(const Connection& connection, std::string_view port, std::string_view protocol,
                  std::string_view outcome, std::string_view ping);
    void connectionEnded();

    boost::asio::io_context& m_context;
    ServerConfig m_config;
    Sink m_accessLog;
    Sink m_notes;
    ClientTable m_clients;
    Metrics m_metrics;
    std::optional<MetricsEndpoint> m_metricsEndpoint;
    Pinger m_pinger;
    std::list<boost::asio::ip::tcp::acceptor> m_acceptors;
    boost::asio::steady_timer m_sweepTimer;
    bool m_stopping = false;
    std::function<void()> m_drained;
};

} // namespace quillmere::server
