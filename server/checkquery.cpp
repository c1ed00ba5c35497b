#include "server/checkquery.h"

#include "server/asciitext.h"

#include "wire/checkwire.h"

#include <algorithm>
#include <optional>

namespace quillmere::server {

namespace {

std::optional<std::uint16_t> portValue(std::string_view text)
{
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const auto firstNonZero = text.find_first_not_of('0');
    const std::string_view digits =
        firstNonZero == std::string_view::npos ? std::string_view() : text.substr(firstNonZero);
    if (digits.empty() || digits.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits)
        value = value * 10 + unsigned(c - '0');
    if (value < 1 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::string_view protocolWord(Protocol protocol)
{
    return protocol == Protocol::Tcp ? wire::kTcpWord : wire::kUdpWord;
}

std::pair<std::string_view, std::string_view> splitTarget(std::string_view target)
{
    const auto mark = target.find('?');
    if (mark == std::string_view::npos)
        return {target, {}};
    return {target.substr(0, mark), target.substr(mark + 1)};
}

std::variant<CheckQuery, QueryError> parseCheckQuery(std::string_view query)
{
    std::optional<std::string_view> port;
    std::optional<std::string_view> protocol;
    std::optional<std::string_view> version;
    std::size_t start = 0;
    while (start <= query.size()) {
        const auto amp = query.find('&', start);
        const auto end = amp == std::string_view::npos ? query.size() : amp;
        const std::string_view pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty())
            continue;
        const auto equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::optional<std::string_view>* slot = nullptr;
        if (name == wire::kPortParam)
            slot = &port;
        else if (name == wire::kProtocolParam)
            slot = &protocol;
        else if (name == wire::kVersionParam)
            slot = &version;
        if (!slot)
            continue;
        if (slot->has_value())
            return QueryError{"The parameter \"" + std::string(name) + "\" is given twice."};
        *slot = value;
    }

    if (!port)
        return QueryError{"The request names no port."};
    const auto portNumber = portValue(*port);
    if (!portNumber)
        return QueryError{"The port must be a number from 1 to 65535."};
    if (!protocol)
        return QueryError{"The request names no protocol."};
    CheckQuery result;
    result.port = *portNumber;
    if (equalsIgnoringCase(*protocol, wire::kTcpWord))
        result.protocol = Protocol::Tcp;
    else if (equalsIgnoringCase(*protocol, wire::kUdpWord))
        result.protocol = Protocol::Udp;
    else
        return QueryError{"The protocol must be tcp or udp."};
    if (version && *version != wire::kVersionValue)
        return QueryError{"This server speaks version 0 of the check protocol."};
    return result;
}

} // namespace quillmere::server
