#pragma once

// What the server counts for an operator's monitoring, and its text in the Prometheus exposition
// format (version 0.0.4). Every count is an atomic updated with relaxed order: counting costs a
// check next to nothing, and an exposition may be written on another thread than the checks.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere::server {

// A histogram over fixed upper bounds in seconds, with the +Inf bucket after the last.
class Histogram
{
public:
    static constexpr std::size_t kMaxBounds = 16;

    // `bounds` ascending; at most kMaxBounds of them.
    explicit Histogram(std::initializer_list<double> bounds);

    void observe(std::chrono::steady_clock::duration duration);

    // The _bucket, _sum and _count lines of `name`; `labels` (`key="value"`, without braces)
    // go before `le` on every line.
    void write(std::string& out, std::string_view name, std::string_view labels = {}) const;

private:
    std::array<double, kMaxBounds> m_bounds{};
    std::size_t m_boundCount = 0;
    std::array<std::atomic<std::uint64_t>, kMaxBounds + 1> m_buckets{}; // not cumulative
    std::atomic<std::uint64_t> m_sumMicroseconds{0};
};

class Metrics
{
public:
    Metrics();

    // One check request, as the access log writes it: its protocol ("tcp", "udp" or "-"), the
    // log's outcome word and how long it took. A probe's outcome counts a check; "bad-request",
    // "refused", "rate-limited" and "busy" count a refusal.
    void requestEnded(std::string_view protocol, std::string_view outcome,
                      std::chrono::steady_clock::duration elapsed);

    // One STUN datagram and what became of it, as stunOutcomeWord writes it: "answered",
    // "error", "malformed", "unserved" or "rate-limited".
    void stunRequestEnded(std::string_view outcome);

    void connectionOpened() { m_connections.fetch_add(1, std::memory_order_relaxed); }
    void connectionClosed() { m_connections.fetch_sub(1, std::memory_order_relaxed); }
    void checkStarted() { m_checks.fetch_add(1, std::memory_order_relaxed); }
    void checkEnded() { m_checks.fetch_sub(1, std::memory_order_relaxed); }

    // Time from the probe's SYN to the answer of the client's address (accepted or refused).
    Histogram& probeConnectTimes() { return m_connectTimes; }

    // How each family pings ("datagram", "raw" or "none"); set before the first exposition.
    void setPingMethods(std::string_view ipv4, std::string_view ipv6);

    // The whole exposition, ready for a "text/plain; version=0.0.4" reply.
    std::string exposition() const;

    static constexpr std::string_view kContentType = "text/plain; version=0.0.4; charset=utf-8";

    using CheckCounts = std::array<std::atomic<std::uint64_t>, 6>;   // tcp: 4 outcomes, udp: 2
    using RefusalCounts = std::array<std::atomic<std::uint64_t>, 4>; // 400, 403, 429, 503
    using StunCounts = std::array<std::atomic<std::uint64_t>, 5>;

private:
    CheckCounts m_checksDone{};
    RefusalCounts m_refusals{};
    StunCounts m_stunRequests{};
    std::atomic<std::int64_t> m_checks{0};
    std::atomic<std::int64_t> m_connections{0};
    Histogram m_tcpDurations;
    Histogram m_udpDurations;
    Histogram m_connectTimes;
    std::string m_pingV4 = "none";
    std::string m_pingV6 = "none";
};

} // namespace quillmere::server
