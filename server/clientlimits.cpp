#include "server/clientlimits.h"

#include <algorithm>
#include <limits>

namespace quillmere::server {

ClientTable::ClientTable(const Limits& limits)
    : m_limits(limits)
{
    // Every open connection holds at most one entry per level (its client and its networks), so
    // a full table always has an idle one to give up.
    m_limits.maxClients =
        std::max(m_limits.maxClients, (kNetworkLevels + 1) * m_limits.maxConnections + 16);
}

std::array<const std::string*, kNetworkLevels + 1> ClientTable::keys(const ClientGroup& group)
{
    std::array<const std::string*, kNetworkLevels + 1> result{&group.client};
    for (std::size_t level = 0; level < kNetworkLevels; ++level)
        result[level + 1] = &group.networks[level];
    return result;
}

ClientTable::Client* ClientTable::find(const std::string& key)
{
    const auto it = m_clients.find(key);
    return it == m_clients.end() ? nullptr : &it->second;
}

bool ClientTable::evictIdle(const ClientGroup& keep)
{
    const auto kept = keys(keep);
    const auto idle = std::find_if(m_clients.begin(), m_clients.end(), [&](const auto& entry) {
        return entry.second.connections == 0 && entry.second.checks == 0 &&
               std::none_of(kept.begin(), kept.end(),
                            [&](const std::string* key) { return *key == entry.first; });
    });
    if (idle == m_clients.end())
        return false;
    m_clients.erase(idle);
    return true;
}

bool ClientTable::findOrAdd(const ClientGroup& group, Entries& entries)
{
    const auto groupKeys = keys(group);
    for (std::size_t level = 0; level < groupKeys.size(); ++level) {
        const std::string& key = *groupKeys[level];
        entries[level] = nullptr;
        if (key.empty())
            continue;
        entries[level] = find(key);
        if (entries[level])
            continue;
        // When the table is full, a client that has nothing open gives up its minute's history:
        // better that a flood of new addresses loosens the rate limit than that it locks out
        // everyone else. Entries stay where they are when others are added or erased.
        if (m_clients.size() >= m_limits.maxClients && !evictIdle(group))
            return false;
        entries[level] = &m_clients[key];
    }
    return true;
}

std::size_t ClientTable::allowance(std::size_t level, unsigned perClient, std::size_t serverCap)
{
    if (perClient == 0)
        return std::numeric_limits<std::size_t>::max();
    const std::size_t share = std::size_t(perClient) * kLevelShare[level];
    if (level == 0)
        return share;
    return std::min(share, std::max<std::size_t>(serverCap / kNetworkPart, perClient));
}

void ClientTable::forgetOld(Client& client, Clock::time_point now)
{
    while (!client.recent.empty() && now - client.recent.front() >= std::chrono::minutes(1))
        client.recent.pop_front();
}

void ClientTable::forgetIfIdle(const std::string& key)
{
    const auto it = m_clients.find(key);
    if (it != m_clients.end() && it->second.connections == 0 && it->second.checks == 0 &&
        it->second.recent.empty())
        m_clients.erase(it);
}

void ClientTable::forgetIfIdle(const ClientGroup& group)
{
    for (const std::string* key : keys(group))
        forgetIfIdle(*key); // an empty key is never in the table
}

bool ClientTable::openConnection(const ClientGroup& group, bool exempt)
{
    const std::lock_guard lock(m_lock);
    if (m_connections >= m_limits.maxConnections)
        return false;
    if (!exempt && m_limits.clientConnections != 0) {
        Entries entries{};
        bool admitted = findOrAdd(group, entries);
        for (std::size_t level = 0; admitted && level < entries.size(); ++level) {
            admitted = !entries[level] ||
                       entries[level]->connections <
                           allowance(level, m_limits.clientConnections, m_limits.maxConnections);
        }
        if (!admitted) {
            forgetIfIdle(group);
            return false;
        }
        for (Client* entry : entries) {
            if (entry)
                ++entry->connections;
        }
    }
    ++m_connections;
    return true;
}

void ClientTable::closeConnection(const ClientGroup& group, bool exempt)
{
    const std::lock_guard lock(m_lock);
    if (m_connections > 0)
        --m_connections;
    if (exempt || m_limits.clientConnections == 0)
        return;
    for (const std::string* key : keys(group)) {
        if (Client* entry = key->empty() ? nullptr : find(*key)) {
            if (entry->connections > 0)
                --entry->connections;
            forgetIfIdle(*key);
        }
    }
}

Refusal ClientTable::beginCheck(const ClientGroup& group, Clock::time_point now)
{
    const std::lock_guard lock(m_lock);
    Entries entries{};
    if (!findOrAdd(group, entries)) {
        forgetIfIdle(group);
        return Refusal::ServerBusy;
    }
    Refusal refusal = Refusal::None;
    for (std::size_t level = 0; refusal == Refusal::None && level < entries.size(); ++level) {
        Client* entry = entries[level];
        if (!entry)
            continue;
        forgetOld(*entry, now);
        if (entry->checks >= allowance(level, m_limits.clientChecks, m_limits.maxChecks))
            refusal = Refusal::ClientBusy;
        else if (entry->recent.size() >=
                 allowance(level, m_limits.clientRate, std::numeric_limits<std::size_t>::max()))
            refusal = Refusal::ClientRate;
    }
    if (refusal == Refusal::None && m_checks >= m_limits.maxChecks)
        refusal = Refusal::ServerBusy;
    if (refusal != Refusal::None) {
        forgetIfIdle(group);
        return refusal;
    }
    for (Client* entry : entries) {
        if (!entry)
            continue;
        // Loops read the clock before they take the lock, so their times can come a hair out
        // of order; the history stays sorted, as forgetOld needs.
        if (m_limits.clientRate != 0)
            entry->recent.push_back(entry->recent.empty() ? now
                                                          : std::max(now, entry->recent.back()));
        ++entry->checks;
    }
    ++m_checks;
    return Refusal::None;
}

void ClientTable::endCheck(const ClientGroup& group)
{
    const std::lock_guard lock(m_lock);
    if (m_checks > 0)
        --m_checks;
    for (const std::string* key : keys(group)) {
        if (Client* entry = key->empty() ? nullptr : find(*key)) {
            if (entry->checks > 0)
                --entry->checks;
            forgetIfIdle(*key);
        }
    }
}

std::size_t ClientTable::checksInFlight() const
{
    const std::lock_guard lock(m_lock);
    return m_checks;
}

std::size_t ClientTable::connections() const
{
    const std::lock_guard lock(m_lock);
    return m_connections;
}

std::size_t ClientTable::clients() const
{
    const std::lock_guard lock(m_lock);
    return m_clients.size();
}

void ClientTable::sweep(Clock::time_point now)
{
    const std::lock_guard lock(m_lock);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        forgetOld(it->second, now);
        const Client& client = it->second;
        if (client.connections == 0 && client.checks == 0 && client.recent.empty())
            it = m_clients.erase(it);
        else
            ++it;
    }
}

} // namespace quillmere::server
