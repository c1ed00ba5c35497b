#pragma once

// The query of a check request: "port=N&protocol=tcp|udp&version=0".

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere::server {

enum class Protocol { Tcp, Udp };

std::string_view protocolWord(Protocol protocol);

struct CheckQuery
{
    std::uint16_t port = 0;
    Protocol protocol = Protocol::Tcp;
};

// Why a query was refused, as a short sentence for the person who sent it.
struct QueryError
{
    std::string reason;
};

// The port may carry leading zeros; its value must be 1 to 65535. The protocol word is "tcp" or
// "udp" in any letter case. "version", when present, must be "0". Other parameters are ignored;
// a parameter given twice, or a missing port or protocol, is an error.
std::variant<CheckQuery, QueryError> parseCheckQuery(std::string_view query);

// Splits a request target into path and query (the query without its '?').
std::pair<std::string_view, std::string_view> splitTarget(std::string_view target);

} // namespace quillmere::server
