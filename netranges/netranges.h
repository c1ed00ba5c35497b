#pragma once

// The special-purpose address ranges of IPv4 and IPv6, after IANA's special-purpose address
// registries, with the few blocks outside them that matter here (multicast, IPv6 site-local and
// the IPv6 space outside global unicast). One table for the whole project: the check server's
// refusals, the router client's judgement of a WAN address, the diagnosis and the note about a
// local check server all ask it, so one address is judged the same way everywhere.
//
// Plain C++, no Qt and no Boost: callers pass the address's bytes in network order
// (QHostAddress::toIPv6Address(), boost::asio::ip::address_v4::to_bytes(), ...).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillmere::netranges {

using Ipv4Bytes = std::array<std::uint8_t, 4>;
using Ipv6Bytes = std::array<std::uint8_t, 16>;

enum class Family : std::uint8_t { Ipv4, Ipv6 };

// What a range is for.
enum class Kind : std::uint8_t {
    Global,              // in no range: an ordinary unicast address (only as an answer)
    Unspecified,         // 0.0.0.0, ::
    ThisNetwork,         // 0.0.0.0/8
    Private,             // 10/8, 172.16/12, 192.168/16; unique-local fc00::/7, site-local fec0::/10
    Shared,              // 100.64.0.0/10, the shared space of carrier-grade NAT
    Loopback,            // 127/8, ::1
    LinkLocal,           // 169.254/16, fe80::/10
    Documentation,       // TEST-NET-1..3, 2001:db8::/32, 3fff::/20
    Benchmarking,        // 198.18/15, 2001:2::/48
    Translation,         // IPv4/IPv6 translation and transition: NAT64, 6to4, Teredo, DS-Lite
    Anycast,             // well-known anycast and service blocks: PCP, TURN, AS112, AMT, ...
    ProtocolAssignments, // IETF protocol assignments: 192.0.0.0/24, 2001::/23
    Identifier,          // overlay identifiers that look like addresses: ORCHID, DETs
    Discard,             // 100::/64 and the dummy prefix
    Reserved,            // 240/4, deprecated blocks, SRv6 SIDs, IPv6 outside 2000::/3
    Broadcast,           // 255.255.255.255
    Multicast,           // 224/4, ff00::/8
};

// "private", "shared (carrier-grade NAT)", ...
std::string_view kindName(Kind kind);

struct Range
{
    Family family = Family::Ipv4;
    Ipv6Bytes network{}; // IPv4: the first four bytes, the rest zero
    unsigned length = 0; // prefix length in bits
    Kind kind = Kind::Reserved;
    // Datagrams to it may be forwarded beyond one administrative domain: it can be somebody's
    // address on the public internet. Where the registry says "N/A", the table decides: Teredo
    // is not (its addresses are reached only through a relay), 6to4 is as far as the IPv4
    // address inside is (see find()).
    bool globallyReachable = false;
    std::string_view name;      // as the registry names it
    std::string_view reference; // where it is defined
    // Where an IPv4 address sits inside an address of this range (bytes from the start), or
    // -1. Such an address leads to that IPv4 address (see find()).
    int embeddedIpv4 = -1;

    bool contains(const Ipv4Bytes& address) const;
    bool contains(const Ipv6Bytes& address) const;
};

// Every range, most general first within a family. Ranges nest (192.0.0.9/32 inside
// 192.0.0.0/24, 2001:1::1/128 inside 2001::/23): the most specific one that holds an address
// is the one that speaks for it.
std::span<const Range> ipv4Ranges();
std::span<const Range> ipv6Ranges();

// The range that speaks for an address, or nullptr for an ordinary global unicast address.
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is judged as the IPv4 address it stands for.
// An address of the NAT64 well-known prefix (64:ff9b::/96) or of 6to4 (2002::/16) leads to
// the IPv4 address inside it: when that one is not globally reachable, its range speaks for
// the IPv6 address too (64:ff9b::10.0.0.1 is as private as 10.0.0.1).
const Range* find(const Ipv4Bytes& address);
const Range* find(const Ipv6Bytes& address);

// The kind of find()'s range; Kind::Global when there is none.
Kind kindOf(const Ipv4Bytes& address);
Kind kindOf(const Ipv6Bytes& address);

// True for an address that can be somebody's on the public internet: in no range, or in one
// that is globally reachable.
bool isGloballyReachable(const Ipv4Bytes& address);
bool isGloballyReachable(const Ipv6Bytes& address);

// The IPv4 address an IPv6 address stands for or leads to: IPv4-mapped (::ffff:0:0/96), the
// NAT64 well-known prefix (64:ff9b::/96) or 6to4 (2002::/16); nullopt for any other.
std::optional<Ipv4Bytes> embeddedIpv4(const Ipv6Bytes& address);

} // namespace quillmere::netranges
