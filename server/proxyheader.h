#pragma once

// The PROXY protocol header (versions 1 and 2) that a load balancer sends first on each
// connection, naming the client it accepted the connection from. A pure function of the bytes
// received so far, so that it can be tested and fuzzed without sockets.

#include "server/addresses.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::server {

// The most the server reads while waiting for a header. A version 1 header is at most 107 bytes;
// a version 2 header is 16 bytes and the addresses, plus whatever TLVs the balancer adds, which
// for a TCP connection stay well within this.
inline constexpr std::size_t kProxyHeaderLimit = 1024;

enum class ProxyStatus {
    NeedMore, // a header may still come: read more
    Complete,
    Invalid, // not a header, or a malformed one: close the connection
};

struct ProxyHeader
{
    ProxyStatus status = ProxyStatus::NeedMore;
    std::size_t size = 0;          // bytes the header takes (when Complete)
    std::optional<Address> source; // the client; none: use the connection's own peer
    std::uint16_t sourcePort = 0;
    std::string reason; // why it is Invalid
};

// Reads the header at the start of `received`. A v2 LOCAL command (the balancer's own health
// checks), a v1 "UNKNOWN" and a v2 header for a family without IP addresses complete without a
// source. Addresses come back unmapped (IPv4 as IPv4).
ProxyHeader parseProxyHeader(std::string_view received);

} // namespace quillmere::server
