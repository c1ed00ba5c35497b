#include "server/serverconfig.h"

#include "server/replies.h"
#include "wire/checkwire.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <thread>

#include <sched.h>

namespace quillmere::server {

namespace asio = boost::asio;

namespace {

std::optional<unsigned long> parseCount(std::string_view text)
{
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Seconds with a fraction, from 1 ms to 10 minutes. Anything that would round to no time at all,
// or does not fit (out of range, infinite, not a number), is refused.
std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text)
{
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(seconds) || seconds < 0.001 || seconds > 600)
        return std::nullopt;
    return std::chrono::milliseconds(std::lround(seconds * 1000));
}

// One option and its value, as it stood on the command line.
struct Option
{
    std::string_view name;
    std::string_view value;
};

std::string badValue(const Option& option)
{
    return "bad value for " + std::string(option.name) + ": \"" + std::string(option.value) + "\"";
}

// The option groups. Each returns an error, empty when the value was taken, or nullopt when the
// option is not one of its group.
using OptionResult = std::optional<std::string>;

OptionResult takeAddressOption(const Option& option, ServerConfig& config)
{
    if (option.name == "--listen" || option.name == "--listen-proxy") {
        auto endpoint = parseListenAddress(option.value);
        if (!endpoint)
            return badValue(option);
        endpoint->proxyProtocol = option.name == "--listen-proxy";
        config.listen.push_back(*endpoint);
        return std::string();
    }
    if (option.name == "--metrics-listen") {
        const auto endpoint = parseListenAddress(option.value);
        if (!endpoint)
            return badValue(option);
        config.metricsListen = *endpoint;
        return std::string();
    }
    if (option.name == "--trusted-proxy") {
        const auto prefix = AddressPrefix::parse(option.value);
        if (!prefix)
            return badValue(option);
        config.trustedProxies.push_back(*prefix);
        return std::string();
    }
    return std::nullopt;
}

OptionResult takeStunOption(const Option& option, ServerConfig& config)
{
    if (option.name == "--stun-listen") {
        const auto endpoint = parseStunListen(option.value);
        if (!endpoint)
            return badValue(option);
        config.stunListen.push_back(*endpoint);
        return std::string();
    }
    if (option.name == "--stun-alternate") {
        boost::system::error_code error;
        auto address = asio::ip::make_address(std::string(option.value), error);
        if (error || address.is_unspecified() || address.is_multicast() ||
            (address.is_v6() && address.to_v6().scope_id() != 0))
            return badValue(option);
        const auto sameFamily = [&](const Address& other) {
            return other.is_v6() == address.is_v6();
        };
        if (std::any_of(config.stunAlternates.begin(), config.stunAlternates.end(), sameFamily))
            return std::string("--stun-alternate: one address per family (IPv4, IPv6)");
        config.stunAlternates.push_back(address);
        return std::string();
    }
    if (option.name == "--stun-rate") {
        const auto count = parseCount(option.value);
        if (!count || *count > 1'000'000)
            return badValue(option);
        config.stunRate = unsigned(*count);
        return std::string();
    }
    return std::nullopt;
}

// Every alternate needs a STUN listener of its family, and no two STUN sockets may take the same
// address and port.
std::string stunConflict(const ServerConfig& config)
{
    for (const Address& alternate : config.stunAlternates) {
        const auto sameFamily = [&](const asio::ip::udp::endpoint& listen) {
            return listen.address().is_v6() == alternate.is_v6();
        };
        if (std::none_of(config.stunListen.begin(), config.stunListen.end(), sameFamily))
            return "--stun-alternate " + alternate.to_string() +
                   " needs a --stun-listen address of its family";
    }
    std::vector<asio::ip::udp::endpoint> places;
    for (const auto& listen : config.stunListen) {
        const auto next = static_cast<unsigned short>(listen.port() + 1);
        places.emplace_back(listen.address(), listen.port());
        places.emplace_back(listen.address(), next);
        for (const Address& alternate : config.stunAlternates) {
            if (alternate.is_v6() != listen.address().is_v6())
                continue;
            if (alternate == listen.address())
                return "--stun-alternate " + alternate.to_string() +
                       " is a --stun-listen address: it must be a second address";
            places.emplace_back(alternate, listen.port());
            places.emplace_back(alternate, next);
        }
    }
    std::sort(places.begin(), places.end());
    const auto twice = std::adjacent_find(places.begin(), places.end());
    if (twice != places.end())
        return "--stun-listen: two STUN listeners would share " + twice->address().to_string() +
               " port " + std::to_string(twice->port()) +
               " (each takes its port and the next, on its address and the alternate)";
    return {};
}

OptionResult takeLimitOption(const Option& option, ServerConfig& config)
{
    Limits& limits = config.limits;
    struct Count
    {
        std::string_view name;
        bool zeroAllowed; // 0: no limit
    };
    static constexpr std::array<Count, 5> kCounts{{{"--client-checks", true},
                                                   {"--client-rate", true},
                                                   {"--client-connections", true},
                                                   {"--max-checks", false},
                                                   {"--max-connections", false}}};
    const auto known = std::find_if(kCounts.begin(), kCounts.end(),
                                    [&](const Count& count) { return count.name == option.name; });
    if (known == kCounts.end())
        return std::nullopt;
    const auto count = parseCount(option.value);
    if (!count || *count > 1'000'000 || (*count == 0 && !known->zeroAllowed))
        return badValue(option);
    if (option.name == "--client-checks") {
        limits.clientChecks = unsigned(*count);
    } else if (option.name == "--client-rate") {
        limits.clientRate = unsigned(*count);
    } else if (option.name == "--client-connections") {
        limits.clientConnections = unsigned(*count);
    } else if (option.name == "--max-checks") {
        limits.maxChecks = *count;
        config.maxChecksGiven = true;
    } else {
        limits.maxConnections = *count;
        config.maxConnectionsGiven = true;
    }
    return std::string();
}

OptionResult takeCheckOption(const Option& option, ServerConfig& config)
{
    if (option.name == "--message") {
        if (!isValidMessage(option.value))
            return std::string("--message takes printable ASCII without '<', '>' or the reply's "
                               "markers, at most 400 characters");
        config.message = std::string(option.value);
        return std::string();
    }
    if (option.name == "--connect-timeout") {
        const auto timeout = parseSeconds(option.value);
        if (!timeout)
            return badValue(option);
        config.connectTimeout = *timeout;
        return std::string();
    }
    if (option.name == "--ping") {
        const auto mode = parsePingMode(option.value);
        if (!mode)
            return badValue(option);
        config.ping = *mode;
        return std::string();
    }
    return std::nullopt;
}

OptionResult takeRunOption(const Option& option, ServerConfig& config)
{
    if (option.name != "--threads")
        return std::nullopt;
    const auto count = parseCount(option.value);
    if (!count || *count == 0 || *count > 64)
        return badValue(option);
    config.threads = unsigned(*count);
    return std::string();
}

// Options without a value; false when `name` is not one.
bool takeSwitch(std::string_view name, CommandLine& result)
{
    if (name == "--help" || name == "-h")
        result.help = true;
    else if (name == "--version")
        result.version = true;
    else if (name == "--allow-private")
        result.config.allowPrivate = true;
    else
        return false;
    return true;
}

// The metrics are for the operator: they may not be served on a check listener's address and
// port, where anyone could read them (and the two would fight over the socket).
std::string metricsConflict(const ServerConfig& config)
{
    if (!config.metricsListen || config.metricsListen->endpoint.port() == 0)
        return {};
    const ListenAddress& metrics = *config.metricsListen;
    const auto overlaps = [&metrics](const ListenAddress& listen) {
        const auto& a = listen.endpoint.address();
        const auto& b = metrics.endpoint.address();
        return listen.endpoint.port() == metrics.endpoint.port() &&
               (listen.everyAddress || metrics.everyAddress || a.is_unspecified() ||
                b.is_unspecified() || a == b);
    };
    const ListenAddress everywhere{
        asio::ip::tcp::endpoint(asio::ip::address_v6::any(), wire::kDefaultServerPort), true};
    const bool conflict = config.listen.empty()
                              ? overlaps(everywhere)
                              : std::any_of(config.listen.begin(), config.listen.end(), overlaps);
    if (!conflict)
        return {};
    return "--metrics-listen may not take the address and port of a check listener: the metrics "
           "would be public";
}

} // namespace

std::optional<ListenAddress> parseListenAddress(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto port = parseCount(text.substr(colon + 1));
    if (!port || *port > 65535)
        return std::nullopt;
    std::string_view host = text.substr(0, colon);
    if (host == "*")
        return ListenAddress{asio::ip::tcp::endpoint(asio::ip::address_v6::any(),
                                                     static_cast<unsigned short>(*port)),
                             true};
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    boost::system::error_code error;
    const auto address = asio::ip::make_address(std::string(host), error);
    if (error || address.is_v6() != bracketed)
        return std::nullopt;
    return ListenAddress{asio::ip::tcp::endpoint(address, static_cast<unsigned short>(*port)),
                         false};
}

std::optional<asio::ip::udp::endpoint> parseStunListen(std::string_view text)
{
    const auto listen = parseListenAddress(text);
    if (!listen || listen->everyAddress || listen->endpoint.address().is_unspecified() ||
        listen->endpoint.address().is_multicast() || listen->endpoint.port() == 0 ||
        listen->endpoint.port() == 65535)
        return std::nullopt;
    const Address address = listen->endpoint.address();
    if (address.is_v6() && address.to_v6().scope_id() != 0)
        return std::nullopt;
    return asio::ip::udp::endpoint(address, listen->endpoint.port());
}

CommandLine parseCommandLine(const std::vector<std::string_view>& arguments)
{
    CommandLine result;
    for (std::size_t i = 0; i < arguments.size() && result.error.empty(); ++i) {
        Option option{arguments[i], {}};
        const auto equals = option.name.find('=');
        const bool inlineValue = option.name.starts_with("--") && equals != std::string_view::npos;
        if (inlineValue) {
            option.value = option.name.substr(equals + 1);
            option.name = option.name.substr(0, equals);
        }
        if (takeSwitch(option.name, result)) {
            if (inlineValue) // "--allow-private=no" must not switch it on
                result.error = std::string(option.name) + " takes no value";
            continue;
        }
        if (!option.name.starts_with("--")) {
            result.error = "unexpected argument \"" + std::string(option.name) + "\"";
            break;
        }
        if (!inlineValue) {
            if (i + 1 == arguments.size()) {
                result.error = std::string(option.name) + " needs a value";
                break;
            }
            option.value = arguments[++i];
        }
        OptionResult taken = takeAddressOption(option, result.config);
        if (!taken)
            taken = takeLimitOption(option, result.config);
        if (!taken)
            taken = takeCheckOption(option, result.config);
        if (!taken)
            taken = takeRunOption(option, result.config);
        if (!taken)
            taken = takeStunOption(option, result.config);
        result.error = taken ? *taken : "unknown option " + std::string(option.name);
    }
    if (result.error.empty())
        result.error = metricsConflict(result.config);
    if (result.error.empty())
        result.error = stunConflict(result.config);
    if (result.error.empty()) {
        const bool proxyListener =
            std::any_of(result.config.listen.begin(), result.config.listen.end(),
                        [](const ListenAddress& listen) { return listen.proxyProtocol; });
        if (proxyListener && result.config.trustedProxies.empty())
            result.error = "--listen-proxy needs --trusted-proxy: the proxies whose PROXY "
                           "header is believed";
    }
    return result;
}

unsigned usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<std::string> fitToDescriptorLimit(ServerConfig& config, std::size_t openFileLimit)
{
    std::vector<std::string> notes;
    // Listeners, ICMP sockets, logs, the odd extra; each event loop has listeners and ICMP
    // sockets of its own.
    const std::size_t reserve =
        64 + std::size_t(config.threads) * (2 + std::max<std::size_t>(config.listen.size(), 2));
    const std::size_t checkCeiling =
        openFileLimit > 2 * reserve ? openFileLimit / 2 - reserve / 2 : 1;
    Limits& limits = config.limits;
    if (!config.maxChecksGiven)
        limits.maxChecks = checkCeiling;
    else if (limits.maxChecks > checkCeiling) {
        notes.push_back("--max-checks lowered to " + std::to_string(checkCeiling) +
                        " (open-file limit " + std::to_string(openFileLimit) + ")");
        limits.maxChecks = checkCeiling;
    }
    const std::size_t used = limits.maxChecks + reserve;
    const std::size_t connectionCeiling = openFileLimit > used + 1 ? openFileLimit - used : 1;
    if (!config.maxConnectionsGiven)
        limits.maxConnections = connectionCeiling;
    else if (limits.maxConnections > connectionCeiling) {
        notes.push_back("--max-connections lowered to " + std::to_string(connectionCeiling) +
                        " (open-file limit " + std::to_string(openFileLimit) + ")");
        limits.maxConnections = connectionCeiling;
    }
    return notes;
}

std::string usageText()
{
    return R"(Usage: quillmere-server [OPTION]...
Answers Quillmere's port checks: probes the port a client asks for, at the client's own
address, pings that address, and replies with the findings.

  --listen ADDR:PORT        listen here; repeatable. IPv6 as [ADDR]:PORT, every address as
                            *:PORT. Default: every address, port 80. Port 0 picks a free port.
  --listen-proxy ADDR:PORT  listen here for a load balancer that sends the PROXY protocol
                            (version 1 or 2) first: the client it names is the one checked.
                            Only --trusted-proxy peers are served there; others, and
                            connections without a valid header, are closed. Repeatable.
  --metrics-listen ADDR:PORT
                            serve GET /metrics (Prometheus text format) here; off by default.
                            Not on a check listener's address and port; meant for loopback
                            or a private network.
  --message TEXT            show TEXT to every user (printable ASCII, no '<' or '>')
  --trusted-proxy ADDR[/N]  a reverse proxy whose X-Forwarded-For header (or, on a
                            --listen-proxy listener, PROXY header) is believed; repeatable.
                            Without one the header is ignored.
  --allow-private           also probe loopback, private and reserved addresses
                            (refused by default)
  --client-checks N         checks in flight per client (default 1; 0 = no limit)
  --client-rate N           checks a minute per client (default 10; 0 = no limit)
  --client-connections N    open connections per client (default 4; 0 = no limit)
  --max-checks N            checks in flight in all (default: below half the open-file limit)
  --max-connections N       open connections in all (default: most of the open-file limit)
  --connect-timeout SECONDS time-out of the TCP probe, 0.001 to 600 (default 5)
  --ping auto|datagram|raw|off
                            how to ping: an unprivileged ICMP datagram socket, a raw socket,
                            or not at all (default auto: the first of these that works)
  --threads N               event loops, one thread each (default: one per core the
                            process may run on)
  --stun-listen ADDR:PORT   answer STUN Binding requests (UDP) on ADDR at PORT and PORT+1;
                            repeatable, off by default. The usual port is 3478. One address,
                            IPv6 as [ADDR]:PORT.
  --stun-alternate ADDR     a second address of this host: STUN listens on it too, at the
                            same two ports, and serves NAT behaviour discovery (RFC 5780).
                            One per family. Without it only the change of port is served.
  --stun-rate N             STUN requests a minute per client (default 60; 0 = no limit)
  --help                    show this help
  --version                 show the version

A client is an IPv4 address or an IPv6 /64. Each check writes one line to standard output:
time, client, port, protocol, outcome and duration. Start-up notes go to standard error.
)";
}

} // namespace quillmere::server
