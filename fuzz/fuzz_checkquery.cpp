// The query of a check request, "port=N&protocol=tcp|udp&version=0", and the split of a request
// target into path and query.
//
// Input: the request target as it follows GET. Its query is judged here again by the rules the
// server states: a refused query yields no probe, an accepted one names a port of 1..65535 and
// tcp or udp.

#include "fuzz/fuzzcheck.h"
#include "server/checkquery.h"

#include <optional>
#include <string>
#include <string_view>

using namespace quillmere;
using namespace quillmere::server;

namespace {

bool equalsAsciiFolded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (x != b[i])
            return false;
    }
    return true;
}

// 1..65535 in decimal, any number of leading zeros.
std::optional<unsigned> portValue(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    while (!text.empty() && text.front() == '0')
        text.remove_prefix(1);
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    const unsigned value = unsigned(std::stoul(std::string(text)));
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

std::optional<CheckQuery> expectedQuery(std::string_view query)
{
    std::optional<std::string_view> port;
    std::optional<std::string_view> protocol;
    std::optional<std::string_view> version;
    for (const std::string_view pair : fuzz::split(query, '&')) {
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::optional<std::string_view>* slot = name == "port"       ? &port
                                                : name == "protocol" ? &protocol
                                                : name == "version"  ? &version
                                                                     : nullptr;
        if (!slot)
            continue;
        if (*slot)
            return std::nullopt;
        *slot = value;
    }
    if (!port || !protocol)
        return std::nullopt;
    const auto number = portValue(*port);
    if (!number)
        return std::nullopt;
    CheckQuery expected;
    expected.port = std::uint16_t(*number);
    if (equalsAsciiFolded(*protocol, "tcp"))
        expected.protocol = Protocol::Tcp;
    else if (equalsAsciiFolded(*protocol, "udp"))
        expected.protocol = Protocol::Udp;
    else
        return std::nullopt;
    if (version && *version != "0")
        return std::nullopt;
    return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view target = fuzz::bytes(data, size);

    // The path ends at the first '?', and path, '?' and query make up the target again.
    const auto [path, query] = splitTarget(target);
    FUZZ_CHECK(path.find('?') == std::string_view::npos);
    if (path.size() == target.size())
        FUZZ_CHECK(query.empty() && path == target);
    else
        FUZZ_CHECK(std::string(path) + '?' + std::string(query) == target);

    // The whole input as a query, and the query part of it as a target.
    for (const std::string_view text : {target, query}) {
        const auto result = parseCheckQuery(text);
        const auto expected = expectedQuery(text);
        if (const auto* refused = std::get_if<QueryError>(&result)) {
            FUZZ_CHECK(!expected);
            // The reason goes into the reply page between its message markers: a plain
            // sentence that cannot close them or carry markup or line breaks.
            FUZZ_CHECK(!refused->reason.empty());
            for (const char c : refused->reason)
                FUZZ_CHECK(c >= 0x20 && c < 0x7f && c != '<' && c != '>');
            continue;
        }
        const auto& accepted = std::get<CheckQuery>(result);
        FUZZ_CHECK(expected.has_value());
        FUZZ_CHECK(accepted.port >= 1);
        FUZZ_CHECK(accepted.port == expected->port);
        FUZZ_CHECK(accepted.protocol == Protocol::Tcp || accepted.protocol == Protocol::Udp);
        FUZZ_CHECK(accepted.protocol == expected->protocol);
        const std::string_view word = protocolWord(accepted.protocol);
        FUZZ_CHECK(word == (accepted.protocol == Protocol::Tcp ? "tcp" : "udp"));
    }
    return 0;
}
