#include "server/serverconfig.h"

#include "server/replies.h"

#include <charconv>
#include <cmath>

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

std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text)
{
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !(seconds > 0) || seconds > 600)
        return std::nullopt;
    return std::chrono::milliseconds(std::lround(seconds * 1000));
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

CommandLine parseCommandLine(const std::vector<std::string_view>& arguments)
{
    CommandLine result;
    ServerConfig& config = result.config;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view option = arguments[i];
        std::optional<std::string_view> inlineValue;
        if (const auto equals = option.find('=');
            option.starts_with("--") && equals != std::string_view::npos) {
            inlineValue = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        const auto fail = [&](const std::string& why) {
            result.error = why;
            return result;
        };
        if (option == "--help" || option == "-h") {
            result.help = true;
            continue;
        }
        if (option == "--version") {
            result.version = true;
            continue;
        }
        if (option == "--allow-private") {
            config.allowPrivate = true;
            continue;
        }
        if (!option.starts_with("--"))
            return fail("unexpected argument \"" + std::string(option) + "\"");
        std::string_view value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        } else {
            return fail(std::string(option) + " needs a value");
        }
        const auto badValue = [&]() {
            return fail("bad value for " + std::string(option) + ": \"" + std::string(value) +
                        "\"");
        };

        if (option == "--listen") {
            const auto endpoint = parseListenAddress(value);
            if (!endpoint)
                return badValue();
            config.listen.push_back(*endpoint);
        } else if (option == "--message") {
            if (!isValidMessage(value))
                return fail("--message takes printable ASCII without '<', '>' or the reply's "
                            "markers, at most 400 characters");
            config.message = std::string(value);
        } else if (option == "--trusted-proxy") {
            const auto prefix = AddressPrefix::parse(value);
            if (!prefix)
                return badValue();
            config.trustedProxies.push_back(*prefix);
        } else if (option == "--ping") {
            const auto mode = parsePingMode(value);
            if (!mode)
                return badValue();
            config.ping = *mode;
        } else if (option == "--connect-timeout") {
            const auto timeout = parseSeconds(value);
            if (!timeout)
                return badValue();
            config.connectTimeout = *timeout;
        } else if (option == "--client-checks" || option == "--client-rate" ||
                   option == "--client-connections" || option == "--max-checks" ||
                   option == "--max-connections") {
            const auto count = parseCount(value);
            if (!count || *count > 1'000'000)
                return badValue();
            if (option == "--client-checks")
                config.limits.clientChecks = unsigned(*count);
            else if (option == "--client-rate")
                config.limits.clientRate = unsigned(*count);
            else if (option == "--client-connections")
                config.limits.clientConnections = unsigned(*count);
            else if (option == "--max-checks") {
                if (*count == 0)
                    return badValue();
                config.limits.maxChecks = *count;
                config.maxChecksGiven = true;
            } else {
                if (*count == 0)
                    return badValue();
                config.limits.maxConnections = *count;
                config.maxConnectionsGiven = true;
            }
        } else {
            return fail("unknown option " + std::string(option));
        }
    }
    return result;
}

std::vector<std::string> fitToDescriptorLimit(ServerConfig& config, std::size_t openFileLimit)
{
    std::vector<std::string> notes;
    constexpr std::size_t kReserve = 64; // listeners, ICMP sockets, logs, the odd extra
    const std::size_t checkCeiling =
        openFileLimit > 2 * kReserve ? openFileLimit / 2 - kReserve / 2 : 1;
    Limits& limits = config.limits;
    if (!config.maxChecksGiven)
        limits.maxChecks = checkCeiling;
    else if (limits.maxChecks > checkCeiling) {
        notes.push_back("--max-checks lowered to " + std::to_string(checkCeiling) +
                        " (open-file limit " + std::to_string(openFileLimit) + ")");
        limits.maxChecks = checkCeiling;
    }
    const std::size_t used = limits.maxChecks + kReserve;
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
  --message TEXT            show TEXT to every user (printable ASCII, no '<' or '>')
  --trusted-proxy ADDR[/N]  a reverse proxy whose X-Forwarded-For header is believed;
                            repeatable. Without one the header is ignored.
  --allow-private           also probe loopback, private and reserved addresses
                            (refused by default)
  --client-checks N         checks in flight per client (default 1; 0 = no limit)
  --client-rate N           checks a minute per client (default 10; 0 = no limit)
  --client-connections N    open connections per client (default 4; 0 = no limit)
  --max-checks N            checks in flight in all (default: below half the open-file limit)
  --max-connections N       open connections in all (default: most of the open-file limit)
  --connect-timeout SECONDS time-out of the TCP probe (default 5)
  --ping auto|datagram|raw|off
                            how to ping: an unprivileged ICMP datagram socket, a raw socket,
                            or not at all (default auto: the first of these that works)
  --help                    show this help
  --version                 show the version

A client is an IPv4 address or an IPv6 /64. Each check writes one line to standard output:
time, client, port, protocol, outcome and duration. Start-up notes go to standard error.
)";
}

} // namespace quillmere::server
