#pragma once

// The Port Control Protocol (RFC 6887) on the wire: ANNOUNCE and MAP requests, and the replies
// to them. Pure: bytes in, values out, no sockets. A reply comes from the LAN and is untrusted:
// it is read only within its own bytes, and taken only when it answers the request it claims to
// (the opcode, and for MAP the nonce, echo the request).

#include <QHostAddress>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::router::pcp {

inline constexpr std::uint16_t kServerPort = 5351; // shared with NAT-PMP
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::size_t kHeaderBytes = 24;
inline constexpr std::size_t kMapPayloadBytes = 36;
inline constexpr std::size_t kMaxMessageBytes = 1100;

enum Opcode : std::uint8_t { Announce = 0, Map = 1 };

// Result codes, as the server sends them.
enum Result : std::uint8_t {
    Success = 0,
    UnsuppVersion = 1,
    NotAuthorized = 2,
    MalformedRequest = 3,
    UnsuppOpcode = 4,
    UnsuppOption = 5,
    MalformedOption = 6,
    NetworkFailure = 7,
    NoResources = 8,
    UnsuppProtocol = 9,
    UserExQuota = 10,
    CannotProvideExternal = 11,
    AddressMismatch = 12,
    ExcessiveRemotePeers = 13,
};

// The code's name as RFC 6887 writes it ("NOT_AUTHORIZED"); "RESULT_N" for a code it does not
// define.
QString resultName(int code);

// IANA protocol numbers for MAP.
inline constexpr std::uint8_t kTcp = 6;
inline constexpr std::uint8_t kUdp = 17;

using Nonce = std::array<std::uint8_t, 12>;
// An address as PCP carries it: IPv6, or IPv4 in its IPv4-mapped form (::ffff:a.b.c.d).
using Address = std::array<std::uint8_t, 16>;

// `address` as PCP carries it; an IPv4 address (or an unset one: 0.0.0.0) in the mapped form.
Address wireAddress(const QHostAddress& address);
// The address back: an IPv4-mapped one as plain IPv4.
QHostAddress hostAddress(const Address& address);

struct MapRequest
{
    Nonce nonce{};
    std::uint8_t protocol = kTcp;
    std::uint16_t internalPort = 0;
    std::uint16_t suggestedExternalPort = 0; // 0: any
    Address suggestedExternalAddress{};      // all zeros (or ::ffff:0.0.0.0): any
    std::uint32_t lifetime = 0;              // 0: delete the mapping
    Address client{};                        // the request's source address
};

std::vector<std::uint8_t> announceRequest(const Address& client);
std::vector<std::uint8_t> mapRequest(const MapRequest& request);

// The MAP part of a reply.
struct MapReply
{
    Nonce nonce{};
    std::uint8_t protocol = 0;
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0; // assigned
    Address externalAddress{};      // assigned
};

struct Reply
{
    // The version the server speaks. 0: a NAT-PMP server that does not know PCP (its answer
    // is read as UNSUPP_VERSION, and the client falls back to NAT-PMP).
    std::uint8_t version = kVersion;
    std::uint8_t opcode = 0;
    int result = Success;
    std::uint32_t lifetime = 0;
    std::uint32_t epoch = 0;
    std::optional<MapReply> map; // MAP replies that carry it (every SUCCESS does)
};

// Reads a reply to a request with `opcode` (and, for MAP, `nonce`). nullopt when `bytes` is no
// well-formed PCP (or NAT-PMP version) reply, or does not answer that request; `why` (when given)
// then says which. Never reads outside `bytes`.
std::optional<Reply> parseReply(std::span<const std::uint8_t> bytes, std::uint8_t opcode,
                                const Nonce* nonce = nullptr, const char** why = nullptr);

} // namespace quillmere::router::pcp
