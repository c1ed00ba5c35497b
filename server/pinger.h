#pragma once

// ICMP echo to a client's address. One socket per address family serves every check: requests
// carry a sequence number of their own, and an answer counts only when it comes back from the
// address that was pinged with a sequence number that is still waited for.

#include "server/addresses.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/generic/datagram_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillmere::server {

enum class PingMode {
    Auto,     // a datagram socket where the system allows it, else a raw socket, else none
    Datagram, // an unprivileged ICMP datagram socket (net.ipv4.ping_group_range)
    Raw,      // a raw socket (needs CAP_NET_RAW)
    Off,
};

std::optional<PingMode> parsePingMode(std::string_view text);

struct PingTiming
{
    unsigned requests = 3;                    // at most this many echo requests
    std::chrono::milliseconds spacing{500};   // between requests
    std::chrono::milliseconds deadline{2000}; // from the first request
};

class Pinger
{
public:
    // Pingers of one process (one per event loop) each need an `instance` of their own: on raw
    // sockets the echo identifier, made from the process id and the instance, is what tells
    // their answers apart.
    Pinger(const boost::asio::any_io_executor& executor, PingMode mode, PingTiming timing = {},
           unsigned instance = 0);
    ~Pinger();
    Pinger(const Pinger&) = delete;
    Pinger& operator=(const Pinger&) = delete;

    // Closes the sockets; pings after this answer false at once.
    void close();

    // What the pinger ended up with, for the start-up log: one line per family.
    std::string description() const;
    bool canPing(const Address& address) const;
    // "datagram", "raw" or "none": how the family pings since the pinger was made.
    std::string_view method(bool ipv6) const;

    // True when `address` answered an echo request before the deadline. Never throws; false at
    // once when the family has no socket.
    boost::asio::awaitable<bool> ping(Address address);

private:
    struct Family;
    struct Waiter;

    void openFamily(Family& family, PingMode mode);
    boost::asio::awaitable<void> receiveLoop(Family& family);
    void handleAnswer(Family& family, const unsigned char* data, std::size_t size,
                      const Address& from);

    boost::asio::any_io_executor m_executor;
    PingTiming m_timing;
    std::unique_ptr<Family> m_v4;
    std::unique_ptr<Family> m_v6;
    std::uint16_t m_identifier = 0;
    std::uint16_t m_nextSequence = 1;
    std::unordered_map<std::uint16_t, Waiter*> m_waiters;
};

} // namespace quillmere::server
