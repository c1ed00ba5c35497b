// quillmere-server's command line.
//
// Input: the arguments without the program name, separated by NUL bytes (as they are in
// /proc/PID/cmdline). A command line that is accepted must hold nothing but known options and
// their values, and leave every setting in its range; one that is refused says why.

#include "fuzz/fuzzcheck.h"
#include "server/replies.h"
#include "server/serverconfig.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace quillmere;
using namespace quillmere::server;
using namespace std::chrono_literals;

namespace {

bool isFlag(std::string_view a)
{
    return a == "--help" || a == "-h" || a == "--version" || a == "--allow-private";
}

bool takesValue(std::string_view name)
{
    for (const std::string_view known :
         {"--listen", "--listen-proxy", "--metrics-listen", "--message", "--trusted-proxy",
          "--ping", "--connect-timeout", "--client-checks", "--client-rate", "--client-connections",
          "--max-checks", "--max-connections", "--threads", "--stun-listen", "--stun-alternate",
          "--stun-rate"}) {
        if (name == known)
            return true;
    }
    return false;
}

// The message as the reply carries it: printable ASCII without markup, at most 400 characters,
// and none of the markers the program reads.
bool isHarmlessMessage(std::string_view message)
{
    if (message.size() > 400)
        return false;
    std::string folded;
    for (const char c : message) {
        if (c < 0x20 || c > 0x7e || c == '<' || c == '>')
            return false;
        folded.push_back(c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c);
    }
    for (const std::string_view marker : {"-done-", "-tcpopen-", "-ping ok", "-ip:", "-token:"}) {
        if (folded.find(marker) != std::string::npos)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string_view> arguments;
    if (size > 0)
        arguments = fuzz::split(fuzz::bytes(data, size), '\0');

    const CommandLine line = parseCommandLine(arguments);
    const ServerConfig& config = line.config;
    if (!line.error.empty())
        return 0; // refused, and it says why

    // Accepted: walk the arguments again. Flags stand alone, as they are written; every other
    // argument is a known option with its value, inline or next.
    std::size_t listens = 0;
    std::size_t proxies = 0;
    std::size_t stunListens = 0;
    std::optional<std::string_view> message;
    bool help = false;
    bool version = false;
    bool allowPrivate = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (isFlag(argument)) {
            help = help || argument == "--help" || argument == "-h";
            version = version || argument == "--version";
            allowPrivate = allowPrivate || argument == "--allow-private";
            continue;
        }
        FUZZ_CHECK(argument.starts_with("--"));
        const auto equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        // Options that take no value never take one in silence: "--allow-private=no" is no
        // --allow-private, and must not turn the probing of private addresses on.
        FUZZ_CHECK(!isFlag(name));
        FUZZ_CHECK(takesValue(name));
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else {
            FUZZ_CHECK(i + 1 < arguments.size());
            value = arguments[++i];
        }
        if (name == "--listen" || name == "--listen-proxy") {
            ++listens;
            const auto endpoint = parseListenAddress(value);
            FUZZ_CHECK(endpoint && config.listen.size() >= listens &&
                       config.listen[listens - 1].endpoint == endpoint->endpoint &&
                       config.listen[listens - 1].everyAddress == endpoint->everyAddress);
            FUZZ_CHECK(config.listen[listens - 1].proxyProtocol == (name == "--listen-proxy"));
            FUZZ_CHECK(endpoint->everyAddress == value.starts_with("*:"));
            FUZZ_CHECK(endpoint->endpoint.address().is_v6() ==
                       (endpoint->everyAddress || value.starts_with("[")));
        } else if (name == "--trusted-proxy") {
            ++proxies;
        } else if (name == "--stun-listen") {
            ++stunListens;
        } else if (name == "--message") {
            message = value;
        }
    }
    FUZZ_CHECK(line.help == help);
    FUZZ_CHECK(line.version == version);
    FUZZ_CHECK(config.allowPrivate == allowPrivate);

    FUZZ_CHECK(config.listen.size() == listens);
    // The metrics never share a check listener's port on an address it serves.
    if (config.metricsListen && config.metricsListen->endpoint.port() != 0) {
        const auto& metrics = config.metricsListen->endpoint;
        if (config.listen.empty())
            FUZZ_CHECK(metrics.port() != 80);
        for (const ListenAddress& listen : config.listen)
            FUZZ_CHECK(listen.endpoint.port() != metrics.port() ||
                       (listen.endpoint.address() != metrics.address() &&
                        !listen.endpoint.address().is_unspecified() &&
                        !metrics.address().is_unspecified()));
    }
    FUZZ_CHECK(config.trustedProxies.size() == proxies);
    for (const AddressPrefix& prefix : config.trustedProxies)
        FUZZ_CHECK(prefix.length <= (prefix.network.is_v4() ? 32u : 128u));
    FUZZ_CHECK(config.message == (message ? *message : std::string_view()));
    FUZZ_CHECK(isHarmlessMessage(config.message));
    FUZZ_CHECK(isValidMessage(config.message));

    // STUN: one address each, whose port and the next exist; an alternate per family at most,
    // a second address beside a listener of its family; no socket taken twice.
    FUZZ_CHECK(config.stunListen.size() == stunListens);
    FUZZ_CHECK(config.stunRate <= 1'000'000);
    FUZZ_CHECK(config.stunAlternates.size() <= 2);
    std::vector<boost::asio::ip::udp::endpoint> stunPlaces;
    for (const auto& listen : config.stunListen) {
        FUZZ_CHECK(!listen.address().is_unspecified() && !listen.address().is_multicast());
        FUZZ_CHECK(listen.port() != 0 && listen.port() != 65535);
        stunPlaces.push_back(listen);
        stunPlaces.emplace_back(listen.address(), static_cast<unsigned short>(listen.port() + 1));
        for (const auto& alternate : config.stunAlternates) {
            if (alternate.is_v6() != listen.address().is_v6())
                continue;
            FUZZ_CHECK(alternate != listen.address());
            stunPlaces.emplace_back(alternate, listen.port());
            stunPlaces.emplace_back(alternate, static_cast<unsigned short>(listen.port() + 1));
        }
    }
    std::sort(stunPlaces.begin(), stunPlaces.end());
    FUZZ_CHECK(std::adjacent_find(stunPlaces.begin(), stunPlaces.end()) == stunPlaces.end());
    for (const auto& alternate : config.stunAlternates) {
        FUZZ_CHECK(!alternate.is_unspecified() && !alternate.is_multicast());
        FUZZ_CHECK(std::count_if(
                       config.stunAlternates.begin(), config.stunAlternates.end(),
                       [&](const auto& other) { return other.is_v6() == alternate.is_v6(); }) == 1);
        FUZZ_CHECK(std::any_of(
            config.stunListen.begin(), config.stunListen.end(),
            [&](const auto& listen) { return listen.address().is_v6() == alternate.is_v6(); }));
    }

    // Limits: per client at most a million (0: none); the global caps at least one.
    FUZZ_CHECK(config.limits.clientChecks <= 1'000'000);
    FUZZ_CHECK(config.limits.clientRate <= 1'000'000);
    FUZZ_CHECK(config.limits.clientConnections <= 1'000'000);
    FUZZ_CHECK(config.limits.maxChecks >= 1 && config.limits.maxChecks <= 1'000'000);
    FUZZ_CHECK(config.limits.maxConnections >= 1 && config.limits.maxConnections <= 1'000'000);
    // A probe's time-out is a real wait: more than nothing, at most ten minutes.
    FUZZ_CHECK(config.connectTimeout > 0ms && config.connectTimeout <= 600s);
    FUZZ_CHECK(config.headTimeout > 0ms);
    FUZZ_CHECK(config.ping == PingMode::Auto || config.ping == PingMode::Datagram ||
               config.ping == PingMode::Raw || config.ping == PingMode::Off);

    // The descriptor budget keeps the caps at least one and within what was given.
    ServerConfig fitted = config;
    fitToDescriptorLimit(fitted, size % 4096);
    FUZZ_CHECK(fitted.limits.maxChecks >= 1 && fitted.limits.maxConnections >= 1);
    if (config.maxChecksGiven)
        FUZZ_CHECK(fitted.limits.maxChecks <= config.limits.maxChecks);
    if (config.maxConnectionsGiven)
        FUZZ_CHECK(fitted.limits.maxConnections <= config.limits.maxConnections);
    return 0;
}
