#pragma once

// The ICMP error that ended a probe. An ICMP destination unreachable ends a connect at once; the
// connect's error alone cannot tell it from a TCP reset (a port unreachable reads as "refused").
// The probe socket asks for extended errors (IP_RECVERR, IPV6_RECVERR), so the kernel also queues
// the ICMP message's type and code on the socket's error queue, where they are read with
// recvmsg(MSG_ERRQUEUE). (Linux queues it for IPv4 TCP in any case these days; over IPv6 only
// with the option.) Reading the control data is kept apart from the socket, so it can be
// tested and fuzzed alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::server {

struct IcmpError
{
    bool v6 = false; // ICMPv6 rather than ICMP
    std::uint8_t type = 0;
    std::uint8_t code = 0;

    friend bool operator==(const IcmpError&, const IcmpError&) = default;
};

// The ICMP error in the control data of one recvmsg(MSG_ERRQUEUE): the first IP_RECVERR or
// IPV6_RECVERR message whose extended error came from ICMP or ICMPv6. Nothing for a local error,
// a time stamp, or control data that is cut short or malformed. `control` need not be aligned.
std::optional<IcmpError> icmpErrorFromControl(const unsigned char* control, std::size_t length);

// What the ICMP message says, in a few words: "port unreachable", "administratively
// prohibited", …; "type T code C" for one without a name.
std::string icmpErrorName(const IcmpError& error);

// "T/C (name)", the access log's form.
std::string icmpErrorText(const IcmpError& error);

// Reads the socket's error queue without waiting, and returns the first ICMP error in it.
// The queue is emptied of what was read.
std::optional<IcmpError> takeIcmpError(int socket);

// Asks the socket for extended errors for its family (IPv6 when `v6`). False when it refused.
bool enableIcmpErrors(int socket, bool v6);

} // namespace quillmere::server
