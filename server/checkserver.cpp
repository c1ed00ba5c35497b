#include "server/checkserver.h"

#include "server/helppage.h"
#include "server/negotiation.h"
#include "server/prober.h"
#include "server/replies.h"
#include "wire/checkwire.h"
#include "wire/version.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <utility>

namespace quillmere::server {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr auto kLingerTimeout = std::chrono::seconds(1);
constexpr auto kSweepInterval = std::chrono::seconds(30);

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

std::string utcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    std::array<char, 40> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &parts);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ", int(millis));
    return std::string(text.data(), length) + fraction.data();
}

// Whether the bytes from `before` on can have changed what the head parser says. Parsing the
// whole head again on every read would cost a client that sends it a byte at a time quadratic
// time; instead it is parsed while its first bytes come (so that what is not HTTP is refused at
// once), when the request line ends, when a line ends in an empty one, and when the buffer is
// full. A wrong field line in between is found when the head ends or fills the buffer.
bool worthParsing(std::string_view received, std::size_t before)
{
    constexpr std::size_t kEarlyBytes = 32;
    const std::string_view fresh = received.substr(before < 3 ? 0 : before - 3);
    const bool requestLineEnded = received.substr(0, before).find('\n') == std::string_view::npos &&
                                  fresh.find('\n') != std::string_view::npos;
    return received.size() <= kEarlyBytes || received.size() >= kHeadLimit || requestLineEnded ||
           fresh.find("\n\r\n") != std::string_view::npos ||
           fresh.find("\n\n") != std::string_view::npos;
}

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

// One client connection, from accept to close.
struct CheckServer::Connection
{
    tcp::socket socket;
    Address peer;
    Address client; // the peer, or whom a trusted proxy speaks for
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
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

CheckServer::CheckServer(asio::io_context& context, ServerConfig config, Sink accessLog, Sink notes)
    : m_context(context)
    , m_config(std::move(config))
    , m_accessLog(std::move(accessLog))
    , m_notes(std::move(notes))
    , m_clients(m_config.limits)
    , m_pinger(context.get_executor(), m_config.ping)
    , m_sweepTimer(context)
{}

CheckServer::~CheckServer() = default;

bool CheckServer::listenOn(const tcp::endpoint& endpoint, bool dualStack)
{
    tcp::acceptor& acceptor = m_acceptors.emplace_back(m_context);
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error && endpoint.address().is_v6())
        acceptor.set_option(asio::ip::v6_only(!dualStack), error);
    if (!error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        m_acceptors.pop_back();
        m_notes("cannot listen on " + endpointText(endpoint) + ": " + error.message());
        return false;
    }
    m_notes("listening on " + endpointText(acceptor.local_endpoint()));
    return true;
}

bool CheckServer::start()
{
    m_notes(std::string("quillmere-server ").append(kVersion));
    // Every address: IPv6 and IPv4 on one socket, or IPv4 alone where there is no IPv6.
    const auto everywhere = [this](unsigned short port) {
        return listenOn(tcp::endpoint(asio::ip::address_v6::any(), port), true) ||
               listenOn(tcp::endpoint(asio::ip::address_v4::any(), port), false);
    };
    if (m_config.listen.empty()) {
        if (!everywhere(wire::kDefaultServerPort))
            return false;
    } else {
        for (const ListenAddress& listen : m_config.listen) {
            if (listen.everyAddress ? !everywhere(listen.endpoint.port())
                                    : !listenOn(listen.endpoint, false))
                return false;
        }
    }
    m_notes(m_pinger.description());
    const Limits& limits = m_config.limits;
    m_notes("limits: " + std::to_string(limits.clientChecks) + " in flight, " +
            std::to_string(limits.clientRate) + " a minute, " +
            std::to_string(limits.clientConnections) + " connections per client (0: none); " +
            std::to_string(limits.maxChecks) + " checks and " +
            std::to_string(limits.maxConnections) + " connections in all");
    if (m_config.allowPrivate)
        m_notes("private and reserved addresses are probed too (--allow-private)");
    m_metrics.setPingMethods(m_pinger.method(false), m_pinger.method(true));
    if (m_config.metricsListen) {
        const ListenAddress& where = *m_config.metricsListen;
        MetricsEndpoint& endpoint = m_metricsEndpoint.emplace(m_context, m_metrics);
        const std::string error = endpoint.listen(where.endpoint, where.everyAddress);
        if (!error.empty()) {
            m_notes("cannot serve metrics on " + endpointText(where.endpoint) + ": " + error);
            return false;
        }
        m_notes("metrics at http://" + endpointText(endpoint.localEndpoint()) + "/metrics");
        endpoint.start();
    }

    for (tcp::acceptor& acceptor : m_acceptors)
        asio::co_spawn(m_context, acceptLoop(acceptor), asio::detached);
    asio::co_spawn(m_context, sweepLoop(), asio::detached);
    return true;
}

void CheckServer::stop(std::function<void()> drained)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_drained = std::move(drained);
    boost::system::error_code ignored;
    for (tcp::acceptor& acceptor : m_acceptors)
        acceptor.close(ignored);
    if (m_metricsEndpoint)
        m_metricsEndpoint->close();
    m_sweepTimer.cancel();
    connectionEnded();
}

void CheckServer::connectionEnded()
{
    if (!m_stopping || m_clients.connections() != 0)
        return;
    m_pinger.close();
    if (auto drained = std::exchange(m_drained, {}))
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

asio::awaitable<void> CheckServer::acceptLoop(tcp::acceptor& acceptor)
{
    asio::steady_timer pause(m_context);
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
        asio::co_spawn(m_context, serve(std::move(socket), peer),
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

asio::awaitable<void> CheckServer::serve(tcp::socket socket, tcp::endpoint remote)
{
    Connection connection{std::move(socket), unmapped(remote.address()),
                          unmapped(remote.address())};
    const bool proxy = isTrusted(m_config.trustedProxies, connection.peer);
    const ClientGroup peerGroup = clientGroup(connection.peer);
    if (!m_clients.openConnection(peerGroup, proxy))
        co_return; // the socket closes with the frame
    m_metrics.connectionOpened();
    struct Release
    {
        CheckServer& server;
        const ClientGroup& group;
        bool proxy;
        ~Release()
        {
            server.m_clients.closeConnection(group, proxy);
            server.m_metrics.connectionClosed();
            server.connectionEnded();
        }
    } release{*this, peerGroup, proxy};

    Deadline deadline(m_context.get_executor(), connection.socket);
    deadline.arm(m_config.headTimeout);
    const std::optional<HeadParse> head = co_await readHead(connection);
    if (deadline.expired() || !head)
        co_return;     // the head did not arrive in time, or the client went away
    deadline.disarm(); // a check takes its own, bounded, time

    const std::string reply = co_await answer(connection, *head);
    const bool unread =
        head->status != HeadStatus::Complete || connection.received.size() > head->head.size;
    co_await finish(connection, deadline, reply, unread);
}

asio::awaitable<std::optional<HeadParse>> CheckServer::readHead(Connection& connection)
{
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
        if (!worthParsing(connection.received, before))
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
    if (path == wire::kCheckPath) {
        const auto client =
            effectiveClient(connection.peer, request.forwardedFor, m_config.trustedProxies);
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
    const auto executor = m_context.get_executor();
    if (check.protocol == Protocol::Tcp) {
        std::tie(findings.outcome, findings.pingAnswered) =
            co_await (probeTcp(executor, connection.client, check.port, m_config.connectTimeout,
                               payload, &m_metrics.probeConnectTimes()) &&
                      m_pinger.ping(connection.client));
    } else {
        findings.outcome = probeUdp(executor, connection.client, check.port, payload);
        findings.pingAnswered = co_await m_pinger.ping(connection.client);
    }
    const std::string_view ping = !m_pinger.canPing(connection.client) ? "off"
                                  : findings.pingAnswered              ? "ok"
                                                                       : "none";
    logCheck(connection, port, word, outcomeWord(findings.outcome), ping);
    const ReplyContext context{minor, m_config.message};
    co_return json ? checkReplyJson(findings, context) : checkReply(findings, context);
}

void CheckServer::logCheck(const Connection& connection, std::string_view port,
                           std::string_view protocol, std::string_view outcome,
                           std::string_view ping)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - connection.started);
    std::string line = utcNow();
    line.append(" client=").append(addressText(connection.client));
    line.append(" port=").append(port);
    line.append(" protocol=").append(protocol);
    line.append(" outcome=").append(outcome);
    line.append(" ping=").append(ping);
    line.append(" duration_ms=").append(std::to_string(elapsed.count()));
    m_accessLog(line);
    m_metrics.requestEnded(protocol, outcome,
                           std::chrono::steady_clock::now() - connection.started);
}

} // namespace quillmere::server
