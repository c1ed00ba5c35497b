#pragma once

// Who may start what: connections and checks per client, checks per minute per client, and the
// global caps. Clients are grouped by `clientGroup`: an IPv4 address, or an IPv6 /64 that also
// counts against its /48, /40 and /32, each with a multiple of a client's allowance and, for
// connections and checks in flight, never more than a small part of the server's own caps. Time
// is passed in, so the rules can be tested without waiting. One table serves every event loop:
// each call takes its lock, so a client's second check in flight, or its eleventh in a minute,
// is refused whichever loop it arrives on.

#include "server/addresses.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quillmere::server {

struct Limits
{
    // Per client; 0 means no limit.
    unsigned clientChecks = 1;      // checks in flight
    unsigned clientRate = 10;       // checks in any 60 seconds
    unsigned clientConnections = 4; // open connections
    // For the whole server.
    std::size_t maxChecks = 1000;
    std::size_t maxConnections = 2000;
    std::size_t maxClients = 65536; // clients and networks remembered at once
};

// An IPv6 /48 may use this many clients' allowance, a /40 four times that, a /32 sixteen times.
inline constexpr unsigned kNetworkShare = 16;
inline constexpr std::array<unsigned, kNetworkLevels + 1> kLevelShare{
    1, kNetworkShare, 4 * kNetworkShare, 16 * kNetworkShare};
// No IPv6 network holds more than this part of the server's connections or checks in flight
// (though always at least one client's allowance), so that one holder of IPv6 space, however
// wide, leaves room for everyone else.
inline constexpr std::size_t kNetworkPart = 16;

enum class Refusal {
    None,
    ClientBusy, // the client has as many checks in flight as it may
    ClientRate, // the client used up its checks for this minute
    ServerBusy, // the server has as many checks in flight as it may
};

class ClientTable
{
public:
    using Clock = std::chrono::steady_clock;

    explicit ClientTable(const Limits& limits);

    // A new connection; false when it must be closed at once. Connections from trusted proxies
    // are `exempt` from the per-client cap (they carry many clients) but count globally.
    bool openConnection(const ClientGroup& group, bool exempt);
    void closeConnection(const ClientGroup& group, bool exempt);

    // Admits a check, or says why not. An admitted check must be ended with endCheck.
    Refusal beginCheck(const ClientGroup& group, Clock::time_point now);
    void endCheck(const ClientGroup& group);

    // Forgets clients with nothing open and no check in the last minute.
    void sweep(Clock::time_point now);

    std::size_t checksInFlight() const;
    std::size_t connections() const;
    std::size_t clients() const;
    const Limits& limits() const { return m_limits; }

private:
    struct Client
    {
        unsigned connections = 0;
        unsigned checks = 0;
        std::deque<Clock::time_point> recent; // starts of the checks of the last minute
    };

    // The group's entries, client first, then its networks; nullptr for levels it has not.
    using Entries = std::array<Client*, kNetworkLevels + 1>;
    static std::array<const std::string*, kNetworkLevels + 1> keys(const ClientGroup& group);

    Client* find(const std::string& key);
    // Finds or adds an entry for every level of the group; false when the table is full and
    // holds nothing idle to give up (the group's own entries are never given up).
    bool findOrAdd(const ClientGroup& group, Entries& entries);
    bool evictIdle(const ClientGroup& keep);
    static void forgetOld(Client& client, Clock::time_point now);
    void forgetIfIdle(const std::string& key);
    void forgetIfIdle(const ClientGroup& group);
    // What a level may hold of something a client may hold `perClient` of (0: no limit), when
    // the server as a whole holds at most `serverCap`.
    static std::size_t allowance(std::size_t level, unsigned perClient, std::size_t serverCap);

    Limits m_limits;
    mutable std::mutex m_lock; // over everything below
    std::unordered_map<std::string, Client> m_clients;
    std::size_t m_checks = 0;
    std::size_t m_connections = 0;
};

} // namespace quillmere::server
