#pragma once

// The STUN listener: answers STUN Binding requests on UDP with the address and port the request
// came from (XOR-MAPPED-ADDRESS, RFC 5389), so that a program behind a NAT learns its mapping.
// Given a second address of this host it also serves NAT behaviour discovery (RFC 5780): it
// listens on both addresses, each on the port and the port + 1, names the other pair in
// OTHER-ADDRESS, the socket that answers in RESPONSE-ORIGIN, and answers a CHANGE-REQUEST from
// the socket with the other address and/or port. With one address it listens on the port and
// the port + 1 and serves only the change of port; a change of address gets a 420 error.
// Requests in RFC 3489's older form (no magic cookie) are answered in that form, with
// MAPPED-ADDRESS, SOURCE-ADDRESS and CHANGED-ADDRESS.
//
// It is no amplifier and no relay: a reply goes only to where the request came from, is never
// larger than the request plus the fixed address attributes (checked before each send), and
// carries no PADDING; a request that asks for PADDING or RESPONSE-PORT, that is not a Binding
// request, that carries a comprehension-required attribute it does not know, that is longer than
// kRequestLimit or that is not a well-formed message gets no answer at all. Each client (an IPv4
// address or an IPv6 /64, with its networks, as for checks) has a budget of requests a minute of
// its own, apart from its checks; requests beyond it are dropped. Nothing here blocks: a reply
// that the socket cannot take at once is dropped, as the network could have dropped it.
//
// Every socket of the listener runs on the one event loop it is given.

#include "server/addresses.h"
#include "server/clientlimits.h"
#include "server/metrics.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

using UdpEndpoint = boost::asio::ip::udp::endpoint;

// The usual STUN port, as the documentation suggests it.
inline constexpr unsigned short kStunPort = 3478;
// The longest request answered. A Binding request with every attribute a client sends (SOFTWARE,
// FINGERPRINT, ICE's) is far shorter; 548 bytes is the IPv4 payload every path carries.
inline constexpr std::size_t kRequestLimit = 548;

// Where one --stun-listen answers: `at[ip][port]`, ip 0 the address given and 1 the alternate,
// port 0 the port given and 1 the next. Without an alternate only at[0] is used.
struct StunPlaces
{
    std::array<std::array<UdpEndpoint, 2>, 2> at{};
    bool alternate = false;
};

// The places of `listen` with the alternate address of its family, when there is one.
StunPlaces stunPlaces(const UdpEndpoint& listen, const std::optional<Address>& alternate);

enum class StunOutcome {
    Answered,  // a Binding success response
    Error,     // a 420: a change of address asked of a server with one address
    Malformed, // not a STUN message, or not a Binding request, or an unknown required attribute
    Unserved,  // PADDING or RESPONSE-PORT asked for, a request over kRequestLimit, or a reply
               // that would have been too large
    RateLimited,
};
std::string_view stunOutcomeWord(StunOutcome outcome); // as the access log and metrics write it

// What to do with one datagram that arrived at `places.at[ip][port]` from `client`.
struct StunAnswer
{
    StunOutcome outcome = StunOutcome::Malformed;
    std::vector<std::uint8_t> reply;   // empty: no answer
    unsigned fromIp = 0, fromPort = 0; // the socket that sends it
    bool changeIp = false, changePort = false;
    bool classic = false; // RFC 3489's form
};
StunAnswer answerStun(std::span<const std::uint8_t> request, const UdpEndpoint& client,
                      const StunPlaces& places, unsigned ip, unsigned port);

// The most a reply may add to the request it answers: three address attributes of the family
// (the mapped address, the other pair, the answering socket).
std::size_t stunReplyAllowance(bool ipv6);

class StunListener
{
public:
    using Sink = std::function<void(std::string_view line)>;

    // `listen` with `alternates` (at most one per family); `rate` requests a minute per client,
    // 0 for no limit.
    StunListener(boost::asio::io_context& context, std::vector<UdpEndpoint> listen,
                 std::vector<Address> alternates, unsigned rate, Metrics& metrics, Sink accessLog,
                 Sink notes);
    ~StunListener();
    StunListener(const StunListener&) = delete;
    StunListener& operator=(const StunListener&) = delete;

    // Opens every socket and starts answering; false (with a note saying why) when one cannot be
    // opened, and then none stays open.
    bool start();
    // Closes the sockets; call it on the event loop's thread.
    void close();

private:
    struct Socket
    {
        boost::asio::ip::udp::socket socket;
        std::size_t group;
        unsigned ip, port;
    };
    struct Group
    {
        StunPlaces places;
        std::array<std::array<Socket*, 2>, 2> sockets{};
    };

    boost::asio::awaitable<void> receiveLoop(Socket& socket);
    boost::asio::awaitable<void> sweepLoop();
    void handle(Socket& socket, std::span<const std::uint8_t> request, const UdpEndpoint& from);
    bool admit(const Address& client);
    void log(const UdpEndpoint& client, const StunAnswer& answer, const UdpEndpoint& replyFrom);

    boost::asio::io_context& m_context;
    std::vector<UdpEndpoint> m_listen;
    std::vector<Address> m_alternates;
    unsigned m_rate;
    Metrics& m_metrics;
    Sink m_accessLog;
    Sink m_notes;
    ClientTable m_clients; // its own count, apart from the checks'
    std::vector<Group> m_groups;
    std::vector<std::unique_ptr<Socket>> m_sockets;
    boost::asio::steady_timer m_sweepTimer;
    bool m_closed = false;
};

} // namespace quillmere::server
