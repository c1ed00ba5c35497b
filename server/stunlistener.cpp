#include "server/stunlistener.h"

#include "server/accesslog.h"
#include "stun/stunmessage.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <array>
#include <chrono>
#include <ctime>
#include <limits>
#include <utility>

namespace quillmere::server {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
constexpr auto kSweepInterval = std::chrono::seconds(30);

stun::Endpoint stunEndpoint(const UdpEndpoint& endpoint)
{
    stun::Endpoint result;
    const Address address = unmapped(endpoint.address());
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    } else {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
        result.ipv6 = true;
    }
    result.port = endpoint.port();
    return result;
}

std::string placeText(const UdpEndpoint& endpoint)
{
    const Address address = endpoint.address();
    return (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
           std::to_string(endpoint.port());
}

// The STUN budget counts requests, not checks in flight: no cap on those, and only the rate.
Limits stunLimits(unsigned rate)
{
    Limits limits;
    limits.clientChecks = 0;
    limits.clientRate = rate;
    limits.clientConnections = 0;
    limits.maxChecks = std::numeric_limits<std::size_t>::max();
    limits.maxConnections = 1;
    return limits;
}

} // namespace

StunPlaces stunPlaces(const UdpEndpoint& listen, const std::optional<Address>& alternate)
{
    StunPlaces places;
    const auto next = static_cast<unsigned short>(listen.port() + 1);
    places.at[0] = {listen, UdpEndpoint(listen.address(), next)};
    if (alternate) {
        places.alternate = true;
        places.at[1] = {UdpEndpoint(*alternate, listen.port()), UdpEndpoint(*alternate, next)};
    }
    return places;
}

std::string_view stunOutcomeWord(StunOutcome outcome)
{
    switch (outcome) {
    case StunOutcome::Answered:
        return "answered";
    case StunOutcome::Error:
        return "error";
    case StunOutcome::Malformed:
        return "malformed";
    case StunOutcome::Unserved:
        return "unserved";
    case StunOutcome::RateLimited:
        return "rate-limited";
    }
    return "malformed";
}

std::size_t stunReplyAllowance(bool ipv6)
{
    return 3 * (4 + (ipv6 ? 20 : 8));
}

StunAnswer answerStun(std::span<const std::uint8_t> request, const UdpEndpoint& client,
                      const StunPlaces& places, unsigned ip, unsigned port)
{
    StunAnswer answer;
    if (request.size() > kRequestLimit) {
        answer.outcome = StunOutcome::Unserved;
        return answer;
    }
    std::optional<stun::Message> message = stun::parseMessage(request);
    std::optional<stun::ClassicMessage> classic;
    if (!message) {
        classic = stun::parseClassicMessage(request);
        if (classic)
            message = classic->message;
    }
    if (!message || message->kind != stun::MessageKind::Request ||
        message->method != stun::kBinding || message->unknownRequired || client.port() == 0) {
        answer.outcome = StunOutcome::Malformed;
        return answer;
    }
    answer.classic = classic.has_value();
    answer.changeIp = message->changeIp;
    answer.changePort = message->changePort;
    if (message->asksPaddingOrResponsePort) {
        answer.outcome = StunOutcome::Unserved;
        return answer;
    }
    ip &= places.alternate ? 1u : 0u;
    port &= 1u;
    answer.fromIp = ip;
    answer.fromPort = port;

    if (answer.changeIp && !places.alternate) {
        // RFC 5780: a server without a second address answers a change of address with 420.
        // The older form has no such answer that its clients read; they get none.
        if (answer.classic) {
            answer.outcome = StunOutcome::Unserved;
            return answer;
        }
        const std::array<std::uint16_t, 1> unknown{stun::attr::kChangeRequest};
        answer.reply = stun::bindingError(message->transaction, 420, unknown);
        answer.outcome = StunOutcome::Error;
    } else {
        answer.fromIp = answer.changeIp ? 1 - ip : ip;
        answer.fromPort = answer.changePort ? 1 - port : port;
        const stun::Endpoint mapped = stunEndpoint(client);
        const stun::Endpoint origin = stunEndpoint(places.at[answer.fromIp][answer.fromPort]);
        std::optional<stun::Endpoint> other;
        if (places.alternate)
            other = stunEndpoint(places.at[1 - ip][1 - port]);
        answer.reply =
            answer.classic
                ? stun::classicBindingSuccess(classic->transaction, mapped, origin, other)
                : stun::bindingSuccess(message->transaction, mapped, other, origin);
        answer.outcome = StunOutcome::Answered;
    }
    const bool ipv6 = places.at[0][0].address().is_v6();
    if (answer.reply.size() > request.size() + stunReplyAllowance(ipv6)) {
        answer.reply.clear();
        answer.outcome = StunOutcome::Unserved;
    }
    return answer;
}

StunListener::StunListener(asio::io_context& context, std::vector<UdpEndpoint> listen,
                           std::vector<Address> alternates, unsigned rate, Metrics& metrics,
                           Sink accessLog, Sink notes)
    : m_context(context)
    , m_listen(std::move(listen))
    , m_alternates(std::move(alternates))
    , m_rate(rate)
    , m_metrics(metrics)
    , m_accessLog(std::move(accessLog))
    , m_notes(std::move(notes))
    , m_clients(stunLimits(rate))
    , m_sweepTimer(context)
{}

StunListener::~StunListener() = default;

bool StunListener::start()
{
    for (const UdpEndpoint& listen : m_listen) {
        std::optional<Address> alternate;
        for (const Address& candidate : m_alternates) {
            if (candidate.is_v6() == listen.address().is_v6())
                alternate = candidate;
        }
        Group& group = m_groups.emplace_back();
        group.places = stunPlaces(listen, alternate);
        for (unsigned ip = 0; ip < (alternate ? 2u : 1u); ++ip) {
            for (unsigned port = 0; port < 2; ++port) {
                const UdpEndpoint& place = group.places.at[ip][port];
                auto& socket = m_sockets.emplace_back(std::make_unique<Socket>(
                    Socket{udp::socket(m_context), m_groups.size() - 1, ip, port}));
                boost::system::error_code error;
                socket->socket.open(place.protocol(), error);
                if (!error && place.address().is_v6())
                    socket->socket.set_option(asio::ip::v6_only(true), error);
                // No SO_REUSEADDR: a port another program holds is refused, not shared.
                if (!error)
                    socket->socket.bind(place, error);
                if (!error)
                    socket->socket.non_blocking(true, error);
                if (error) {
                    m_notes("cannot listen for STUN on " + placeText(place) + ": " +
                            error.message());
                    close();
                    return false;
                }
                group.sockets[ip][port] = socket.get();
            }
        }
        const StunPlaces& places = group.places;
        if (alternate)
            m_notes("STUN on " + placeText(places.at[0][0]) + ", " + placeText(places.at[0][1]) +
                    ", " + placeText(places.at[1][0]) + " and " + placeText(places.at[1][1]) +
                    ": changes of address and port served (NAT behaviour discovery)");
        else
            m_notes("STUN on " + placeText(places.at[0][0]) + " and " + placeText(places.at[0][1]) +
                    ": one address, so only the change of port is served (a change of address "
                    "gets error 420; --stun-alternate names a second address)");
    }
    m_notes("STUN: at most " + (m_rate == 0 ? std::string("unlimited") : std::to_string(m_rate)) +
            " requests a minute per client");
    for (const auto& socket : m_sockets)
        asio::co_spawn(m_context, receiveLoop(*socket), asio::detached);
    if (m_rate != 0)
        asio::co_spawn(m_context, sweepLoop(), asio::detached);
    return true;
}

void StunListener::close()
{
    m_closed = true;
    boost::system::error_code ignored;
    for (const auto& socket : m_sockets)
        socket->socket.close(ignored);
    m_sweepTimer.cancel();
}

asio::awaitable<void> StunListener::sweepLoop()
{
    while (!m_closed) {
        m_sweepTimer.expires_after(kSweepInterval);
        co_await m_sweepTimer.async_wait(kTuple);
        m_clients.sweep(std::chrono::steady_clock::now());
    }
}

asio::awaitable<void> StunListener::receiveLoop(Socket& socket)
{
    // One byte over the limit, so that a longer datagram shows as one (the rest is cut off).
    std::array<std::uint8_t, kRequestLimit + 1> buffer{};
    while (!m_closed && socket.socket.is_open()) {
        UdpEndpoint from;
        const auto [error, size] =
            co_await socket.socket.async_receive_from(asio::buffer(buffer), from, kTuple);
        if (m_closed || error == asio::error::operation_aborted)
            co_return;
        if (error)
            continue; // an ICMP error for an earlier reply, say: nothing to answer
        handle(socket, std::span<const std::uint8_t>(buffer.data(), size), from);
    }
}

bool StunListener::admit(const Address& client)
{
    if (m_rate == 0)
        return true;
    const ClientGroup group = clientGroup(client);
    if (m_clients.beginCheck(group, std::chrono::steady_clock::now()) != Refusal::None)
        return false;
    m_clients.endCheck(group); // a request is over once answered; only the rate counts
    return true;
}

void StunListener::handle(Socket& socket, std::span<const std::uint8_t> request,
                          const UdpEndpoint& from)
{
    const Group& group = m_groups[socket.group];
    StunAnswer answer = answerStun(request, from, group.places, socket.ip, socket.port);
    if (!answer.reply.empty() && !admit(unmapped(from.address()))) {
        answer.reply.clear();
        answer.outcome = StunOutcome::RateLimited;
    }
    if (!answer.reply.empty()) {
        Socket* sender = group.sockets[answer.fromIp][answer.fromPort];
        boost::system::error_code error;
        sender->socket.send_to(asio::buffer(answer.reply), from, 0, error);
        // A full send buffer (would_block) drops the reply, as a full network would.
        if (error)
            answer.outcome = StunOutcome::Unserved;
        else
            log(from, answer, group.places.at[answer.fromIp][answer.fromPort]);
    }
    m_metrics.stunRequestEnded(stunOutcomeWord(answer.outcome));
}

void StunListener::log(const UdpEndpoint& client, const StunAnswer& answer,
                       const UdpEndpoint& replyFrom)
{
    const char* change = answer.changeIp ? (answer.changePort ? "ip+port" : "ip")
                                         : (answer.changePort ? "port" : "none");
    std::string line = accessLogTime();
    line.append(" client=").append(addressText(unmapped(client.address())));
    line.append(" port=").append(std::to_string(client.port()));
    line.append(" protocol=stun");
    line.append(" outcome=").append(stunOutcomeWord(answer.outcome));
    line.append(" form=").append(answer.classic ? "rfc3489" : "rfc5389");
    line.append(" change=").append(change);
    line.append(" reply_from=").append(placeText(replyFrom));
    m_accessLog(line);
}

} // namespace quillmere::server
