#include "server/checkserver.h"

#include "server/accesslog.h"
#include "server/helppage.h"
#include "server/negotiation.h"
#include "server/prober.h"
#include "server/proxyheader.h"
#include "server/replies.h"
#include "wire/checkwire.h"
#include "wire/version.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillmere::server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr auto kLingerTimeout = std::chrono::seconds(1);
constexpr auto kSweepInterval = std::chrono::seconds(30);

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

std::string plainText(std::string_view text)
{
    return std::string(text) + "\n";
}

// A refused check, as the page or, when the client asked for it, as JSON.
std::string refusal(bool json, unsigned status, std::string_view reason, unsigned httpMinor,
                    unsigned retryAfter = 0)
{
    return json ? refusalReplyJson(status, reason, httpMinor, retryAfter)
                : refusalReply(status, reason, httpMinor, retryAfter);
}

} // namespace

// A ping that runs beside a TCP probe: its answer, and the timer the check waits on for it.
struct PingWait
{
    explicit PingWait(const asio::any_io_executor& executor)
        : wake(executor)
    {}
    asio::steady_timer wake;
    bool answered = false;
    bool done = false;
};

// One client connection, from accept to close.
struct CheckServer::Connection
{
    Loop& loop;
    tcp::socket socket;
    Address peer;
    Address client; // the peer, or whom a trusted proxy speaks for
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool proxyListener = false; // came through a listener that reads the PROXY protocol
    bool sourceNamed = false;   // and its PROXY header named the client
    unsigned httpMinor = 0;
    bool json = false;      // the client asked for JSON
    std::string received{}; // the head as it came, at most kHeadLimit bytes
};

// "ADDR:PORT", or "[ADDR]:PORT" for IPv6.
static std::string endpointText(const tcp::endpoint& endpoint)
{
    const Address address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

CheckServer::CheckServer(const std::vector<asio::io_context*>& loops, ServerConfig config,
                         Sink accessLog, Sink notes)
    : m_config(std::move(config))
    , m_accessLog(std::move(accessLog))
    , m_notes(std::move(notes))
    , m_clients(m_config.limits)
    , m_sweepTimer(*loops.at(0))
{
    for (asio::io_context* context : loops)
        m_loops.push_back(
            std::make_unique<Loop>(*context, m_config.ping, unsigned(m_loops.size())));
}

CheckServer::~CheckServer() = default;

bool CheckServer::listenOn(const tcp::endpoint& endpoint, bool dualStack, bool proxyProtocol)
{
    // One listening socket, bound without SO_REUSEPORT, so that an address another program (a
    // second quillmere-server among them) holds is refused with "address in use". The other
    // loops accept from duplicates of its descriptor: one accept queue, which whichever loop is
    // free takes from.
    std::size_t opened = 1; // loops that have a listener for it
    const auto fail = [&](const boost::system::error_code& error) {
        for (std::size_t i = 0; i < opened; ++i)
            m_loops[i]->listeners.pop_back();
        m_notes("cannot listen on " + endpointText(endpoint) + ": " + error.message());
        return false;
    };
    boost::system::error_code error;
    tcp::acceptor& first =
        m_loops.front()
            ->listeners
            .emplace_back(Listener{tcp::acceptor(m_loops.front()->context), proxyProtocol})
            .acceptor;
    first.open(endpoint.protocol(), error);
    if (!error && endpoint.address().is_v6())
        first.set_option(asio::ip::v6_only(!dualStack), error);
    if (!error)
        first.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        first.bind(endpoint, error);
    if (!error)
        first.listen(asio::socket_base::max_listen_connections, error);
    const tcp::endpoint bound = error ? endpoint : first.local_endpoint(error);
    if (error)
        return fail(error);
    for (std::size_t i = 1; i < m_loops.size(); ++i) {
        const int copy = ::fcntl(first.native_handle(), F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            return fail(boost::system::error_code(errno, boost::system::system_category()));
        tcp::acceptor& acceptor =
            m_loops[i]
                ->listeners
                .emplace_back(Listener{tcp::acceptor(m_loops[i]->context), proxyProtocol})
                .acceptor;
        ++opened;
        acceptor.assign(endpoint.protocol(), copy, error);
        if (error) {
            ::close(copy);
            return fail(error);
        }
    }
    m_notes("listening on " + endpointText(bound) +
            (proxyProtocol ? " (PROXY protocol from trusted proxies)" : ""));
    return true;
}

bool CheckServer::start()
{
    m_notes(std::string("quillmere-server ").append(kVersion));
    // Every address: IPv6 and IPv4 on one socket, or IPv4 alone where there is no IPv6.
    const auto everywhere = [this](unsigned short port, bool proxyProtocol) {
        return listenOn(tcp::endpoint(asio::ip::address_v6::any(), port), true, proxyProtocol) ||
               listenOn(tcp::endpoint(asio::ip::address_v4::any(), port), false, proxyProtocol);
    };
    if (m_config.listen.empty()) {
        if (!everywhere(wire::kDefaultServerPort, false))
            return false;
    } else {
        for (const ListenAddress& listen : m_config.listen) {
            if (listen.everyAddress ? !everywhere(listen.endpoint.port(), listen.proxyProtocol)
                                    : !listenOn(listen.endpoint, false, listen.proxyProtocol))
                return false;
        }
    }
    m_notes(std::to_string(m_loops.size()) +
            (m_loops.size() == 1 ? " event loop" : " event loops") + ", one thread each");
    m_notes(m_loops.front()->pinger.description());
    const Limits& limits = m_config.limits;
    m_notes("limits: " + std::to_string(limits.clientChecks) + " in flight, " +
            std::to_string(limits.clientRate) + " a minute, " +
            std::to_string(limits.clientConnections) + " connections per client (0: none); " +
            std::to_string(limits.maxChecks) + " checks and " +
            std::to_string(limits.maxConnections) + " connections in all");
    if (m_config.allowPrivate)
        m_notes("private and reserved addresses are probed too (--allow-private)");
    m_metrics.setPingMethods(m_loops.front()->pinger.method(false),
                             m_loops.front()->pinger.method(true));
    if (m_config.metricsListen) {
        const ListenAddress& where = *m_config.metricsListen;
        MetricsEndpoint& endpoint = m_metricsEndpoint.emplace(m_loops.front()->context, m_metrics);
        const std::string error = endpoint.listen(where.endpoint, where.everyAddress);
        if (!error.empty()) {
            m_notes("cannot serve metrics on " + endpointText(where.endpoint) + ": " + error);
            return false;
        }
        m_notes("metrics at http://" + endpointText(endpoint.localEndpoint()) + "/metrics");
        endpoint.start();
    }

    if (!m_config.stunListen.empty()) {
        StunListener& stun =
            m_stun.emplace(m_loops.front()->context, m_config.stunListen, m_config.stunAlternates,
                           m_config.stunRate, m_metrics, m_accessLog, m_notes);
        if (!stun.start())
            return false;
    }

    for (const std::unique_ptr<Loop>& loop : m_loops) {
        for (Listener& listener : loop->listeners)
            asio::co_spawn(loop->context, acceptLoop(*loop, listener), asio::detached);
    }
    asio::co_spawn(m_loops.front()->context, sweepLoop(), asio::detached);
    return true;
}

void CheckServer::stop(std::function<void()> drained)
{
    {
        const std::lock_guard lock(m_drainLock);
        if (m_stopping)
            return;
        m_drained = std::move(drained);
        m_stopping = true;
    }
    // Each loop closes its own listeners: Asio's objects are not to be used from two threads.
    for (const std::unique_ptr<Loop>& loop : m_loops) {
        asio::post(loop->context, [this, &loop = *loop] {
            boost::system::error_code ignored;
            for (Listener& listener : loop.listeners)
                listener.acceptor.close(ignored);
            if (&loop == m_loops.front().get()) {
                if (m_metricsEndpoint)
                    m_metricsEndpoint->close();
                if (m_stun)
                    m_stun->close();
                m_sweepTimer.cancel();
            }
        });
    }
    connectionEnded();
}

void CheckServer::connectionEnded()
{
    if (!m_stopping || m_clients.connections() != 0)
        return;
    std::function<void()> drained;
    {
        const std::lock_guard lock(m_drainLock);
        drained = std::exchange(m_drained, {});
    }
    if (!drained)
        return; // another loop got there first
    for (const std::unique_ptr<Loop>& loop : m_loops)
        asio::post(loop->context, [&pinger = loop->pinger] { pinger.close(); });
    drained();
}

asio::awaitable<void> CheckServer::sweepLoop()
{
    while (!m_stopping) {
        m_sweepTimer.expires_after(kSweepInterval);
        co_await m_sweepTimer.async_wait(kTuple);
        m_clients.sweep(std::chrono::steady_clock::now());
    }
}

asio::awaitable<void> CheckServer::acceptLoop(Loop& loop, Listener& listener)
{
    tcp::acceptor& acceptor = listener.acceptor;
    asio::steady_timer pause(loop.context);
    while (acceptor.is_open()) {
        tcp::endpoint peer;
        auto [error, socket] = co_await acceptor.async_accept(peer, kTuple);
        if (!acceptor.is_open() || error == asio::error::operation_aborted)
            co_return;
        if (error) {
            // Out of descriptors, most likely: wait for connections to end rather than spin.
            pause.expires_after(std::chrono::milliseconds(50));
            co_await pause.async_wait(kTuple);
            continue;
        }
        if (m_stopping) // accepted just as another thread stopped the server
            continue;
        asio::co_spawn(loop.context, serve(loop, std::move(socket), peer, listener.proxyProtocol),
                       [this](std::exception_ptr failure) {
                           if (!failure)
                               return;
                           try {
                               std::rethrow_exception(failure);
                           } catch (const std::exception& e) {
                               m_notes(std::string("connection failed: ") + e.what());
                           }
                       });
    }
}

asio::awaitable<void> CheckServer::serve(Loop& loop, tcp::socket socket, tcp::endpoint remote,
                                         bool proxyProtocol)
{
    Connection connection{loop, std::move(socket), unmapped(remote.address()),
                          unmapped(remote.address())};
    connection.proxyListener = proxyProtocol;
    const bool proxy = isTrusted(m_config.trustedProxies, connection.peer);
    if (proxyProtocol && !proxy)
        co_return; // only a trusted balancer may name the client
    ClientGroup peerGroup = clientGroup(connection.peer);
    if (!m_clients.openConnection(peerGroup, proxy))
        co_return; // the socket closes with the frame
    m_metrics.connectionOpened();
    struct Release
    {
        CheckServer& server;
        ClientGroup group;
        bool exempt;
        bool held = true;
        ~Release()
        {
            if (held)
                server.m_clients.closeConnection(group, exempt);
            server.m_metrics.connectionClosed();
            server.connectionEnded();
        }
    } release{*this, std::move(peerGroup), proxy};

    Deadline deadline(loop.context.get_executor(), connection.socket);
    deadline.arm(m_config.headTimeout);
    if (proxyProtocol) {
        // The PROXY header and the request head share the head's deadline.
        if (!co_await readProxyHeader(connection) || deadline.expired())
            co_return;
        // From here on the connection counts against the client the balancer named.
        if (connection.peer != unmapped(remote.address())) {
            m_clients.closeConnection(release.group, release.exempt);
            release.held = false;
            release.group = clientGroup(connection.peer);
            release.exempt = isTrusted(m_config.trustedProxies, connection.peer);
            if (!m_clients.openConnection(release.group, release.exempt))
                co_return;
            release.held = true;
        }
    }
    const std::optional<HeadParse> head = co_await readHead(connection);
    if (deadline.expired() || !head)
        co_return;     // the head did not arrive in time, or the client went away
    deadline.disarm(); // a check takes its own, bounded, time

    const std::string reply = co_await answer(connection, *head);
    const bool unread =
        head->status != HeadStatus::Complete || connection.received.size() > head->head.size;
    co_await finish(connection, deadline, reply, unread);
}

asio::awaitable<bool> CheckServer::readProxyHeader(Connection& connection)
{
    std::array<char, kProxyHeaderLimit> chunk{};
    for (;;) {
        const ProxyHeader header = parseProxyHeader(connection.received);
        if (header.status == ProxyStatus::Invalid) {
            m_notes("closed a connection from " + addressText(connection.peer) + ": " +
                    header.reason);
            co_return false;
        }
        if (header.status == ProxyStatus::Complete) {
            connection.received.erase(0, header.size); // what follows is the request
            if (header.source) {
                connection.peer = connection.client = *header.source;
                connection.sourceNamed = true;
            }
            co_return true;
        }
        // Never more than the longest header: the parser decides before the limit is passed.
        const std::size_t room = kProxyHeaderLimit - connection.received.size();
        const auto [error, got] = co_await connection.socket.async_read_some(
            asio::buffer(chunk.data(), std::min(room, chunk.size())), kTuple);
        if (error)
            co_return false;
        connection.received.append(chunk.data(), got);
    }
}

asio::awaitable<std::optional<HeadParse>> CheckServer::readHead(Connection& connection)
{
    // Bytes that came with a PROXY header may hold some or all of the head already.
    if (!connection.received.empty()) {
        HeadParse parse = parseRequestHead(connection.received);
        if (parse.status != HeadStatus::NeedMore)
            co_return parse;
    }
    std::array<char, kHeadLimit> chunk{};
    for (;;) {
        const std::size_t room = kHeadLimit - connection.received.size();
        if (room == 0) // not reached: a full buffer never needs more
            co_return HeadParse{HeadStatus::TooLarge, {}, {}};
        const auto [error, got] = co_await connection.socket.async_read_some(
            asio::buffer(chunk.data(), std::min(room, chunk.size())), kTuple);
        if (error == asio::error::eof && !connection.received.empty())
            co_return HeadParse{HeadStatus::BadRequest, {}, "the connection ended in the head"};
        if (error)
            co_return std::nullopt;
        const std::size_t before = connection.received.size();
        connection.received.append(chunk.data(), got);
        if (!headWorthParsing(connection.received, before))
            continue;
        HeadParse parse = parseRequestHead(connection.received);
        if (parse.status != HeadStatus::NeedMore)
            co_return parse;
    }
}

asio::awaitable<std::string> CheckServer::answer(Connection& connection, const HeadParse& parse)
{
    if (parse.status != HeadStatus::Complete) {
        logCheck(connection, "-", "-", "bad-request", "-");
        co_return pageReply(400, "text/plain; charset=utf-8",
                            plainText(parse.status == HeadStatus::TooLarge
                                          ? "Bad request: the request head is too long."
                                          : "Bad request: this is not an HTTP request."),
                            1);
    }
    const RequestHead& request = parse.head;
    connection.httpMinor = request.httpMinor;
    const auto [path, query] = splitTarget(request.target);
    connection.json = path == wire::kCheckPath && prefersJson(request.accept);
    if (request.method != "GET")
        co_return pageReply(405, "text/plain; charset=utf-8", plainText("Only GET is served here."),
                            connection.httpMinor, "Allow: GET\r\n");
    if (request.hasBody && connection.json)
        co_return refusalReplyJson(400, "Bad request: a GET request has no body.",
                                   connection.httpMinor);
    if (request.hasBody)
        co_return pageReply(400, "text/plain; charset=utf-8",
                            plainText("Bad request: a GET request has no body."),
                            connection.httpMinor);
    if (path == wire::kCheckPath && connection.proxyListener) {
        // Behind a balancer that sends the PROXY protocol only its header names the client. An
        // X-Forwarded-For field is the client's own word here, whoever the peer is, and is never
        // read; a header without a source (the balancer's own health check, an UNKNOWN or a
        // local socket) leaves nobody to probe.
        if (!connection.sourceNamed) {
            logCheck(connection, "-", "-", "bad-request", "-");
            co_return refusal(connection.json, 400,
                              "Bad request: the load balancer did not name the client's address.",
                              connection.httpMinor);
        }
        co_return co_await answerCheck(connection, query);
    }
    if (path == wire::kCheckPath) {
        const std::vector<std::string_view> forwardedFor(request.forwardedFor.begin(),
                                                         request.forwardedFor.end());
        const auto client = effectiveClient(connection.peer, forwardedFor, m_config.trustedProxies);
        if (!client) {
            logCheck(connection, "-", "-", "bad-request", "-");
            co_return refusal(
                connection.json, 400,
                "Bad request: the X-Forwarded-For header does not name the client's address.",
                connection.httpMinor);
        }
        connection.client = *client;
        co_return co_await answerCheck(connection, query);
    }
    if (path == "/")
        co_return pageReply(200, "text/plain; charset=utf-8", statusText(), connection.httpMinor);
    if (path == wire::kHelpPath)
        co_return pageReply(200, "text/html; charset=utf-8", helpPage(), connection.httpMinor);
    co_return pageReply(404, "text/plain; charset=utf-8", plainText("Not found."),
                        connection.httpMinor);
}

std::string CheckServer::statusText() const
{
    return std::string("quillmere-server ").append(kVersion) +
           " answers Quillmere's port checks.\nChecks in flight: " +
           std::to_string(m_clients.checksInFlight()) +
           "\nOpen connections: " + std::to_string(m_clients.connections()) +
           "\nHelp: " + std::string(wire::kHelpPath) + "\n";
}

asio::awaitable<void> CheckServer::finish(Connection& connection, Deadline<tcp::socket>& deadline,
                                          const std::string& reply, bool unread)
{
    tcp::socket& stream = connection.socket;
    boost::system::error_code error;
    deadline.arm(kWriteTimeout);
    co_await asio::async_write(stream, asio::buffer(reply), kTuple);
    // Closing with unread bytes would reset the connection, and the reset could destroy the
    // reply on its way. A client that sent more than its head gets a moment to finish: read
    // until it closes. The others (every well-behaved one) are closed at once.
    if (!deadline.expired() && (unread || stream.available(error) > 0)) {
        stream.shutdown(tcp::socket::shutdown_send, error);
        deadline.arm(kLingerTimeout);
        std::array<char, 512> drain{};
        for (;;) {
            const auto [drainError, drained] =
                co_await stream.async_read_some(asio::buffer(drain), kTuple);
            if (drainError)
                break;
        }
    }
    deadline.disarm();
    stream.close(error);
}

asio::awaitable<std::string> CheckServer::answerCheck(Connection& connection,
                                                      std::string_view query)
{
    const unsigned minor = connection.httpMinor;
    const bool json = connection.json;
    const auto parsed = parseCheckQuery(query);
    if (const auto* problem = std::get_if<QueryError>(&parsed)) {
        logCheck(connection, "-", "-", "bad-request", "-");
        co_return refusal(json, 400, "Bad request: " + problem->reason, minor);
    }
    const CheckQuery check = std::get<CheckQuery>(parsed);
    const std::string port = std::to_string(check.port);
    const std::string_view word = protocolWord(check.protocol);

    if (!m_config.allowPrivate && !isPublicAddress(connection.client)) {
        logCheck(connection, port, word, "refused", "-");
        co_return refusal(json, 403,
                          "This server does not check " + addressText(connection.client) +
                              ": it is not an address on the public internet.",
                          minor);
    }

    const ClientGroup group = clientGroup(connection.client);
    switch (m_clients.beginCheck(group, std::chrono::steady_clock::now())) {
    case Refusal::ClientBusy:
        logCheck(connection, port, word, "rate-limited", "-");
        co_return refusal(json, 429,
                          "A check from your address is still running. Please wait for it to "
                          "finish, then try again.",
                          minor, 5);
    case Refusal::ClientRate:
        logCheck(connection, port, word, "rate-limited", "-");
        co_return refusal(json, 429,
                          "Too many checks from your address: at most " +
                              std::to_string(m_config.limits.clientRate) +
                              " a minute. Please try again in a minute.",
                          minor, 60);
    case Refusal::ServerBusy:
        logCheck(connection, port, word, "busy", "-");
        co_return refusal(json, 503, "The check server is busy. Please try again in a minute.",
                          minor, 60);
    case Refusal::None:
        break;
    }
    m_metrics.checkStarted();
    struct EndCheck
    {
        ClientTable& clients;
        Metrics& metrics;
        const ClientGroup& group;
        ~EndCheck()
        {
            clients.endCheck(group);
            metrics.checkEnded();
        }
    } endCheck{m_clients, m_metrics, group};

    Findings findings{connection.client, check, ProbeOutcome::Unreachable, false, newCheckToken()};
    const std::string payload = probePayload(findings.token);
    Pinger& pinger = connection.loop.pinger;
    const auto executor = connection.loop.context.get_executor();
    std::optional<IcmpError> icmp;
    if (check.protocol == Protocol::Tcp) {
        // The ping runs beside the probe in a coroutine of its own that ends with its answer
        // (two seconds at most), so a probe that waits out its time-out holds only its own
        // state: a parallel group would keep both coroutines' frames, and its own, to the end.
        // At tens of thousands of held checks that is most of the server's memory.
        const auto ping = std::make_shared<PingWait>(executor);
        asio::co_spawn(executor, pinger.ping(connection.client),
                       [ping](const std::exception_ptr&, bool answered) {
                           ping->answered = answered;
                           ping->done = true;
                           ping->wake.cancel();
                       });
        const TcpProbe probe =
            co_await probeTcp(executor, connection.client, check.port, m_config.connectTimeout,
                              payload, &m_metrics.probeConnectTimes());
        findings.outcome = probe.outcome;
        findings.probeEnd = probe.end;
        icmp = probe.icmp;
        if (!ping->done) {
            ping->wake.expires_at(asio::steady_timer::time_point::max());
            co_await ping->wake.async_wait(kTuple);
        }
        findings.pingAnswered = ping->answered;
    } else {
        findings.outcome = probeUdp(executor, connection.client, check.port, payload);
        findings.pingAnswered = co_await pinger.ping(connection.client);
    }
    const std::string_view ping = !pinger.canPing(connection.client) ? "off"
                                  : findings.pingAnswered            ? "ok"
                                                                     : "none";
    std::string probeField(findings.probeEnd ? wire::probeEndWord(*findings.probeEnd) : "-");
    if (icmp)
        probeField.append(" icmp=").append(icmpErrorText(*icmp));
    logCheck(connection, port, word, outcomeWord(findings.outcome), ping, probeField);
    const ReplyContext context{minor, m_config.message};
    co_return json ? checkReplyJson(findings, context) : checkReply(findings, context);
}

void CheckServer::logCheck(const Connection& connection, std::string_view port,
                           std::string_view protocol, std::string_view outcome,
                           std::string_view ping, std::string_view probe)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - connection.started);
    std::string line = accessLogTime();
    line.append(" client=").append(addressText(connection.client));
    line.append(" port=").append(port);
    line.append(" protocol=").append(protocol);
    line.append(" outcome=").append(outcome);
    line.append(" ping=").append(ping);
    line.append(" duration_ms=").append(std::to_string(elapsed.count()));
    line.append(" probe=").append(probe);
    m_accessLog(line);
    m_metrics.requestEnded(protocol, outcome,
                           std::chrono::steady_clock::now() - connection.started);
}

} // namespace quillmere::server
