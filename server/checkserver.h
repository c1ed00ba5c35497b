#pragma once

// The check server: listeners, one coroutine per connection, the probes and the replies. It runs
// on one or more event loops (io_contexts), each run by a thread of its own. Each address has one
// listening socket, bound without SO_REUSEPORT so that nobody else can share the port; every
// loop accepts from a duplicate of its descriptor. Each loop has its own pinger, and a
// connection stays on the loop that accepted it from start to end; what the loops share (the
// client table, the logs) takes a lock. Nothing here blocks; every wait is bounded by a timer.
//
// Why loops of their own rather than one io_context run by several threads: with one context,
// each handler of a connection may run on any thread, so every per-connection timer and socket,
// and the pinger's table of waiting echo requests, would need a strand or a lock, and the
// threads would take turns at one epoll descriptor and one handler queue. Separate loops keep a
// connection's handlers on one thread without strands, share nothing on the hot path but the
// client table's short critical sections, and take connections from one accept queue as each
// loop is free.

#include "server/clientlimits.h"
#include "server/deadline.h"
#include "server/metrics.h"
#include "server/metricsendpoint.h"
#include "server/pinger.h"
#include "server/requesthead.h"
#include "server/serverconfig.h"
#include "server/stunlistener.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

class CheckServer
{
public:
    using Sink = std::function<void(std::string_view line)>;

    // `accessLog` gets one line per check, `notes` the start-up and shut-down notes; both may be
    // called from any of the loops. The first loop also runs the server's own timers. Each
    // context is to be run by one thread.
    CheckServer(const std::vector<boost::asio::io_context*>& loops, ServerConfig config,
                Sink accessLog, Sink notes);
    ~CheckServer();
    CheckServer(const CheckServer&) = delete;
    CheckServer& operator=(const CheckServer&) = delete;

    // Opens the listeners; false (with a note saying why) when one cannot be opened.
    bool start();

    // Stops accepting; the connections that are open finish, then the server closes its ICMP
    // sockets and calls `drained` (on whichever loop ends the last connection). Handlers of the
    // server may still be queued then: destroy it only after every loop has run dry. May be
    // called from any thread.
    void stop(std::function<void()> drained = {});

private:
    struct Connection;
    struct Listener
    {
        boost::asio::ip::tcp::acceptor acceptor;
        bool proxyProtocol;
    };
    // One event loop and what is its alone.
    struct Loop
    {
        Loop(boost::asio::io_context& ioContext, PingMode ping, unsigned instance)
            : context(ioContext)
            , pinger(ioContext.get_executor(), ping, {}, instance)
        {}
        boost::asio::io_context& context;
        Pinger pinger;
        std::list<Listener> listeners;
    };

    // Opens `endpoint` on every loop; false (with a note) when it cannot be opened.
    bool listenOn(const boost::asio::ip::tcp::endpoint& endpoint, bool dualStack,
                  bool proxyProtocol);
    boost::asio::awaitable<void> acceptLoop(Loop& loop, Listener& listener);
    boost::asio::awaitable<void> sweepLoop();
    // One connection: admission, the PROXY header on such a listener, the head, the answer, the
    // close.
    boost::asio::awaitable<void> serve(Loop& loop, boost::asio::ip::tcp::socket socket,
                                       boost::asio::ip::tcp::endpoint remote, bool proxyProtocol);
    // Reads the PROXY header and takes the client it names; false when the connection is to be
    // closed (no valid header, or the deadline closed the socket).
    boost::asio::awaitable<bool> readProxyHeader(Connection& connection);
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
    // `probe` is how the TCP probe ended, with its ICMP error when one came ("-" for none).
    void logCheck(const Connection& connection, std::string_view port, std::string_view protocol,
                  std::string_view outcome, std::string_view ping, std::string_view probe = "-");
    void connectionEnded();

    ServerConfig m_config;
    Sink m_accessLog;
    Sink m_notes;
    ClientTable m_clients; // shared by the loops; it locks itself
    Metrics m_metrics;     // shared by the loops; its counters are atomic
    std::vector<std::unique_ptr<Loop>> m_loops;
    std::optional<MetricsEndpoint> m_metricsEndpoint; // on the first loop
    std::optional<StunListener> m_stun;               // on the first loop
    boost::asio::steady_timer m_sweepTimer;           // on the first loop
    std::atomic<bool> m_stopping = false;
    std::mutex m_drainLock; // over m_drained
    std::function<void()> m_drained;
};

} // namespace quillmere::server
