#pragma once

// quillmere-server's settings and its command line.

#include "server/addresses.h"
#include "server/clientlimits.h"
#include "server/pinger.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

// Where to listen. `everyAddress` ("*:PORT") takes IPv4 too on the IPv6 socket, or falls back
// to IPv4 alone where the system has no IPv6; an explicit "[::]:PORT" is IPv6 only. On a
// `proxyProtocol` listener (--listen-proxy) every connection starts with a PROXY protocol header
// from a trusted proxy, which names the client.
struct ListenAddress
{
    boost::asio::ip::tcp::endpoint endpoint;
    bool everyAddress = false;
    bool proxyProtocol = false;
};

struct ServerConfig
{
    // Empty: every address, port 80 (IPv6 and IPv4 on one socket where the system allows).
    std::vector<ListenAddress> listen;
    // Where GET /metrics is served; nowhere when not given.
    std::optional<ListenAddress> metricsListen;
    std::string message;
    std::vector<AddressPrefix> trustedProxies;
    bool allowPrivate = false;
    Limits limits;
    bool maxChecksGiven = false;
    bool maxConnectionsGiven = false;
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds headTimeout{5000};
    PingMode ping = PingMode::Auto;
    unsigned threads = 0; // event loops; 0: one per core the process may run on

    // STUN (--stun-listen, --stun-alternate, --stun-rate): each address answers on its port and
    // the next, and with the alternate of its family on the alternate's two ports as well.
    std::vector<boost::asio::ip::udp::endpoint> stunListen;
    std::vector<Address> stunAlternates; // at most one per family
    unsigned stunRate = 60;              // STUN requests a minute per client; 0: no limit
};

struct CommandLine
{
    ServerConfig config;
    bool help = false;
    bool version = false;
    std::string error; // not empty when the command line is wrong
};

CommandLine parseCommandLine(const std::vector<std::string_view>& arguments);
std::string usageText();

// A STUN listener's "ADDR:PORT" or "[V6ADDR]:PORT": one address (its replies name the address
// they come from), and a port below 65535, since the next one is taken too.
std::optional<boost::asio::ip::udp::endpoint> parseStunListen(std::string_view text);

// "ADDR:PORT", "[V6ADDR]:PORT" or "*:PORT" (every address).
std::optional<ListenAddress> parseListenAddress(std::string_view text);

// Fills in the global caps that were not given, from the open-file limit: checks in flight stay
// below half of it (each holds two descriptors), connections take most of the rest. Caps that
// were given are lowered to what the limit allows. Returns notes for the start-up log.
std::vector<std::string> fitToDescriptorLimit(ServerConfig& config, std::size_t openFileLimit);

// The cores this process may run on (its affinity mask), at least 1.
unsigned usableCores();

} // namespace quillmere::server
