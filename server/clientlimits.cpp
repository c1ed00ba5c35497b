#include "clientlimits.h"

namespace quillmere::server {

ClientTable::ClientTable(const Limits& limits)
    : m_limits(limits)
{}

ClientTable::Client* ClientTable::find(const std::string& key)
{
    const auto it = m_clients.find(key);
    return it == m_clients.end() ? nullptr : &it->second;
}

ClientTable::Client* ClientTable::findOrAdd(const std::string& key)
{
    if (Client* client = find(key))
        return client;
    if (m_clients.size() >= m_limits.maxClients)
        return nullptr;
    return &m_clients[key];
}

void ClientTable::forgetOld(Client& client, Clock::time_point now)
{
    while (!client.recent.empty() && now - client.recent.front() >= std::chrono::minutes(1))
        client.recent.pop_front();
}

void ClientTable::forgetIfIdle(const std::string& key, const Client& client)
{
    if (client.connections == 0 && client.checks == 0 && client.recent.empty())
        m_clients.erase(key);
}

bool ClientTable::openConnection(const std::string& key, bool exempt)
{
    if (m_connections >= m_limits.maxConnections)
        return false;
    if (!exempt && m_limits.clientConnections != 0) {
        Client* client = findOrAdd(key);
        if (!client || client->connections >= m_limits.clientConnections)
            return false;
        ++client->connections;
    }
    ++m_connections;
    return true;
}

void ClientTable::closeConnection(const std::string& key, bool exempt)
{
    if (m_connections > 0)
        --m_connections;
    if (exempt || m_limits.clientConnections == 0)
        return;
    if (Client* client = find(key)) {
        if (client->connections > 0)
            --client->connections;
        forgetIfIdle(key, *client);
    }
}

Refusal ClientTable::beginCheck(const std::string& key, Clock::time_point now)
{
    Client* client = findOrAdd(key);
    if (!client)
        return Refusal::ServerBusy;
    forgetOld(*client, now);
    Refusal refusal = Refusal::None;
    if (m_limits.clientChecks != 0 && client->checks >= m_limits.clientChecks)
        refusal = Refusal::ClientBusy;
    else if (m_limits.clientRate != 0 && client->recent.size() >= m_limits.clientRate)
        refusal = Refusal::ClientRate;
    else if (m_checks >= m_limits.maxChecks)
        refusal = Refusal::ServerBusy;
    if (refusal != Refusal::None) {
        forgetIfIdle(key, *client);
        return refusal;
    }
    if (m_limits.clientRate != 0)
        client->recent.push_back(now);
    ++client->checks;
    ++m_checks;
    return Refusal::None;
}

void ClientTable::endCheck(const std::string& key)
{
    if (m_checks > 0)
        --m_checks;
    if (Client* client = find(key)) {
        if (client->checks > 0)
            --client->checks;
        forgetIfIdle(key, *client);
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
