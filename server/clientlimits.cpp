#include "server/clientlimits.h"

#include <algorithm>

namespace quillmere::server {

ClientTable::ClientTable(const Limits& limits)
    : m_limits(limits)
{
    // Every open connection holds at most two entries (its client and its network), so a full
    // table always has an idle one to give up.
    m_limits.maxClients = std::max(m_limits.maxClients, 2 * m_limits.maxConnections + 16);
}

ClientTable::Client* ClientTable::find(const std::string& key)
{
    const auto it = m_clients.find(key);
    return it == m_clients.end() ? nullptr : &it->second;
}

bool ClientTable::evictIdle(const std::string& keep)
{
    const auto idle = std::find_if(m_clients.begin(), m_clients.end(), [&](const auto& entry) {
        return entry.second.connections == 0 && entry.second.checks == 0 && entry.first != keep;
    });
    if (idle == m_clients.end())
        return false;
    m_clients.erase(idle);
    return true;
}

ClientTable::Client* ClientTable::findOrAdd(const std::string& key, const std::string& keep)
{
    if (Client* client = find(key))
        return client;
    // When the table is full, a client that has nothing open gives up its minute's history:
    // better that a flood of new addresses loosens the rate limit than that it locks out
    // everyone else.
    if (m_clients.size() >= m_limits.maxClients && !evictIdle(keep))
        return nullptr;
    return &m_clients[key];
}

unsigned ClientTable::share(const std::string& key, unsigned limit) const
{
    return key.starts_with('N') ? limit * kNetworkShare : limit;
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
    forgetIfIdle(group.client);
    forgetIfIdle(group.network); // an empty key is never in the table
}

bool ClientTable::openConnection(const ClientGroup& group, bool exempt)
{
    if (m_connections >= m_limits.maxConnections)
        return false;
    if (!exempt && m_limits.clientConnections != 0) {
        Client* client = findOrAdd(group.client);
        Client* network =
            group.network.empty() || !client ? nullptr : findOrAdd(group.network, group.client);
        if (!client || client->connections >= m_limits.clientConnections ||
            (!group.network.empty() &&
             (!network ||
              network->connections >= share(group.network, m_limits.clientConnections)))) {
            forgetIfIdle(group);
            return false;
        }
        ++client->connections;
        if (network)
            ++network->connections;
    }
    ++m_connections;
    return true;
}

void ClientTable::closeConnection(const ClientGroup& group, bool exempt)
{
    if (m_connections > 0)
        --m_connections;
    if (exempt || m_limits.clientConnections == 0)
        return;
    for (const std::string* key : {&group.client, &group.network}) {
        if (Client* entry = key->empty() ? nullptr : find(*key)) {
            if (entry->connections > 0)
                --entry->connections;
            forgetIfIdle(*key);
        }
    }
}

Refusal ClientTable::beginCheck(const ClientGroup& group, Clock::time_point now)
{
    Client* client = findOrAdd(group.client);
    Client* network =
        group.network.empty() || !client ? nullptr : findOrAdd(group.network, group.client);
    if (!client || (!group.network.empty() && !network))
        return Refusal::ServerBusy;
    Refusal refusal = Refusal::None;
    for (const std::string* key : {&group.client, &group.network}) {
        Client* entry = key->empty() ? nullptr : find(*key);
        if (!entry || refusal != Refusal::None)
            continue;
        forgetOld(*entry, now);
        if (m_limits.clientChecks != 0 && entry->checks >= share(*key, m_limits.clientChecks))
            refusal = Refusal::ClientBusy;
        else if (m_limits.clientRate != 0 &&
                 entry->recent.size() >= share(*key, m_limits.clientRate))
            refusal = Refusal::ClientRate;
    }
    if (refusal == Refusal::None && m_checks >= m_limits.maxChecks)
        refusal = Refusal::ServerBusy;
    if (refusal != Refusal::None) {
        forgetIfIdle(group);
        return refusal;
    }
    for (Client* entry : {client, network}) {
        if (!entry)
            continue;
        if (m_limits.clientRate != 0)
            entry->recent.push_back(now);
        ++entry->checks;
    }
    ++m_checks;
    return Refusal::None;
}

void ClientTable::endCheck(const ClientGroup& group)
{
    if (m_checks > 0)
        --m_checks;
    for (const std::string* key : {&group.client, &group.network}) {
        if (Client* entry = key->empty() ? nullptr : find(*key)) {
            if (entry->checks > 0)
                --entry->checks;
            forgetIfIdle(*key);
        }
    }
}

void ClientTable::sweep(Clock::time_point now)
{
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
