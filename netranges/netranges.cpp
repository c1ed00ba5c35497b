#include "netranges/netranges.h"

#include <algorithm>
#include <initializer_list>

namespace quillmere::netranges {

namespace {

constexpr Ipv6Bytes v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return {a, b, c, d};
}

// The leading 16-bit groups of an IPv6 address, the rest zero: v6({0x2001, 0xdb8}) is
// 2001:db8::.
constexpr Ipv6Bytes v6(std::initializer_list<std::uint16_t> groups)
{
    Ipv6Bytes bytes{};
    std::size_t i = 0;
    for (const std::uint16_t group : groups) {
        bytes[i++] = static_cast<std::uint8_t>(group >> 8);
        bytes[i++] = static_cast<std::uint8_t>(group & 0xff);
    }
    return bytes;
}

constexpr bool kGlobal = true;
constexpr bool kNotGlobal = false;

using enum Kind;

// IANA's IPv4 special-purpose address registry, and the multicast block beside it.
constexpr std::array kIpv4{
    Range{Family::Ipv4, v4(0, 0, 0, 0), 8, ThisNetwork, kNotGlobal, "\"This network\"", "RFC 791"},
    Range{Family::Ipv4, v4(0, 0, 0, 0), 32, Unspecified, kNotGlobal,
          "\"This host on this network\"", "RFC 1122"},
    Range{Family::Ipv4, v4(10, 0, 0, 0), 8, Private, kNotGlobal, "Private-Use", "RFC 1918"},
    Range{Family::Ipv4, v4(100, 64, 0, 0), 10, Shared, kNotGlobal, "Shared Address Space",
          "RFC 6598"},
    Range{Family::Ipv4, v4(127, 0, 0, 0), 8, Loopback, kNotGlobal, "Loopback", "RFC 1122"},
    Range{Family::Ipv4, v4(169, 254, 0, 0), 16, LinkLocal, kNotGlobal, "Link Local", "RFC 3927"},
    Range{Family::Ipv4, v4(172, 16, 0, 0), 12, Private, kNotGlobal, "Private-Use", "RFC 1918"},
    Range{Family::Ipv4, v4(192, 0, 0, 0), 24, ProtocolAssignments, kNotGlobal,
          "IETF Protocol Assignments", "RFC 6890"},
    Range{Family::Ipv4, v4(192, 0, 0, 0), 29, Translation, kNotGlobal,
          "IPv4 Service Continuity Prefix", "RFC 7335"},
    Range{Family::Ipv4, v4(192, 0, 0, 8), 32, Reserved, kNotGlobal, "IPv4 dummy address",
          "RFC 7600"},
    Range{Family::Ipv4, v4(192, 0, 0, 9), 32, Anycast, kGlobal, "Port Control Protocol Anycast",
          "RFC 7723"},
    Range{Family::Ipv4, v4(192, 0, 0, 10), 32, Anycast, kGlobal,
          "Traversal Using Relays around NAT Anycast", "RFC 8155"},
    Range{Family::Ipv4, v4(192, 0, 0, 170), 32, Translation, kNotGlobal, "NAT64/DNS64 Discovery",
          "RFC 8880, RFC 7050"},
    Range{Family::Ipv4, v4(192, 0, 0, 171), 32, Translation, kNotGlobal, "NAT64/DNS64 Discovery",
          "RFC 8880, RFC 7050"},
    Range{Family::Ipv4, v4(192, 0, 2, 0), 24, Documentation, kNotGlobal,
          "Documentation (TEST-NET-1)", "RFC 5737"},
    Range{Family::Ipv4, v4(192, 31, 196, 0), 24, Anycast, kGlobal, "AS112-v4", "RFC 7535"},
    Range{Family::Ipv4, v4(192, 52, 193, 0), 24, Anycast, kGlobal, "AMT", "RFC 7450"},
    // Withdrawn, and held back rather than handed out again.
    Range{Family::Ipv4, v4(192, 88, 99, 0), 24, Reserved, kNotGlobal,
          "Deprecated (6to4 Relay Anycast)", "RFC 7526"},
    Range{Family::Ipv4, v4(192, 168, 0, 0), 16, Private, kNotGlobal, "Private-Use", "RFC 1918"},
    Range{Family::Ipv4, v4(192, 175, 48, 0), 24, Anycast, kGlobal,
          "Direct Delegation AS112 Service", "RFC 7534"},
    Range{Family::Ipv4, v4(198, 18, 0, 0), 15, Benchmarking, kNotGlobal, "Benchmarking",
          "RFC 2544"},
    Range{Family::Ipv4, v4(198, 51, 100, 0), 24, Documentation, kNotGlobal,
          "Documentation (TEST-NET-2)", "RFC 5737"},
    Range{Family::Ipv4, v4(203, 0, 113, 0), 24, Documentation, kNotGlobal,
          "Documentation (TEST-NET-3)", "RFC 5737"},
    // Not in the special-purpose registry but in the multicast one: a group, never a host.
    Range{Family::Ipv4, v4(224, 0, 0, 0), 4, Multicast, kNotGlobal, "Multicast", "RFC 5771"},
    Range{Family::Ipv4, v4(240, 0, 0, 0), 4, Reserved, kNotGlobal, "Reserved", "RFC 1112"},
    Range{Family::Ipv4, v4(255, 255, 255, 255), 32, Broadcast, kNotGlobal, "Limited Broadcast",
          "RFC 8190, RFC 919"},
};

// IANA's IPv6 special-purpose address registry; multicast and the deprecated site-local block
// from the IPv6 address architecture; and the space outside global unicast (2000::/3), which
// IANA keeps reserved or unassigned: ::/3, 4000::/2 and 8000::/1 together are all of it.
constexpr std::array kIpv6{
    Range{Family::Ipv6, v6({0}), 3, Reserved, kNotGlobal,
          "Outside global unicast (reserved by IETF)", "RFC 4291"},
    Range{Family::Ipv6, v6({0x4000}), 2, Reserved, kNotGlobal,
          "Outside global unicast (unassigned)", "RFC 4291"},
    Range{Family::Ipv6, v6({0x8000}), 1, Reserved, kNotGlobal,
          "Outside global unicast (unassigned)", "RFC 4291"},
    Range{Family::Ipv6, v6({0}), 128, Unspecified, kNotGlobal, "Unspecified Address", "RFC 4291"},
    Range{Family::Ipv6, v6({0, 0, 0, 0, 0, 0, 0, 1}), 128, Loopback, kNotGlobal, "Loopback Address",
          "RFC 4291"},
    // Never consulted for an address: find() judges the IPv4 address inside instead.
    Range{Family::Ipv6, v6({0, 0, 0, 0, 0, 0xffff}), 96, Reserved, kNotGlobal,
          "IPv4-mapped Address", "RFC 4291", 12},
    Range{Family::Ipv6, v6({0x64, 0xff9b}), 96, Translation, kGlobal, "IPv4-IPv6 Translat.",
          "RFC 6052", 12},
    Range{Family::Ipv6, v6({0x64, 0xff9b, 1}), 48, Translation, kNotGlobal,
          "IPv4-IPv6 Translat. (local use)", "RFC 8215"},
    Range{Family::Ipv6, v6({0x100}), 64, Discard, kNotGlobal, "Discard-Only Address Block",
          "RFC 6666"},
    Range{Family::Ipv6, v6({0x100, 0, 0, 1}), 64, Discard, kNotGlobal, "Dummy IPv6 Prefix",
          "RFC 9780"},
    Range{Family::Ipv6, v6({0x2001}), 23, ProtocolAssignments, kNotGlobal,
          "IETF Protocol Assignments", "RFC 2928"},
    // "N/A" in the registry: an address of a Teredo relay's clients, reached only through it.
    Range{Family::Ipv6, v6({0x2001}), 32, Translation, kNotGlobal, "TEREDO", "RFC 4380, RFC 8190"},
    Range{Family::Ipv6, v6({0x2001, 1, 0, 0, 0, 0, 0, 1}), 128, Anycast, kGlobal,
          "Port Control Protocol Anycast", "RFC 7723"},
    Range{Family::Ipv6, v6({0x2001, 1, 0, 0, 0, 0, 0, 2}), 128, Anycast, kGlobal,
          "Traversal Using Relays around NAT Anycast", "RFC 8155"},
    Range{Family::Ipv6, v6({0x2001, 1, 0, 0, 0, 0, 0, 3}), 128, Anycast, kGlobal,
          "DNS-SD Service Registration Protocol Anycast", "RFC 9665"},
    Range{Family::Ipv6, v6({0x2001, 2}), 48, Benchmarking, kNotGlobal, "Benchmarking", "RFC 5180"},
    Range{Family::Ipv6, v6({0x2001, 3}), 32, Anycast, kGlobal, "AMT", "RFC 7450"},
    Range{Family::Ipv6, v6({0x2001, 4, 0x112}), 48, Anycast, kGlobal, "AS112-v6", "RFC 7535"},
    Range{Family::Ipv6, v6({0x2001, 0x10}), 28, Identifier, kNotGlobal,
          "Deprecated (previously ORCHID)", "RFC 4843"},
    Range{Family::Ipv6, v6({0x2001, 0x20}), 28, Identifier, kGlobal, "ORCHIDv2", "RFC 7343"},
    Range{Family::Ipv6, v6({0x2001, 0x30}), 28, Identifier, kGlobal,
          "Drone Remote ID Protocol Entity Tags (DETs) Prefix", "RFC 9374"},
    Range{Family::Ipv6, v6({0x2001, 0xdb8}), 32, Documentation, kNotGlobal, "Documentation",
          "RFC 3849"},
    // "N/A" in the registry: as reachable as the IPv4 address inside (see find()).
    Range{Family::Ipv6, v6({0x2002}), 16, Translation, kGlobal, "6to4", "RFC 3056", 2},
    Range{Family::Ipv6, v6({0x2620, 0x4f, 0x8000}), 48, Anycast, kGlobal,
          "Direct Delegation AS112 Service", "RFC 7534"},
    Range{Family::Ipv6, v6({0x3fff}), 20, Documentation, kNotGlobal, "Documentation", "RFC 9637"},
    Range{Family::Ipv6, v6({0x5f00}), 16, Reserved, kNotGlobal, "Segment Routing (SRv6) SIDs",
          "RFC 9602"},
    Range{Family::Ipv6, v6({0xfc00}), 7, Private, kNotGlobal, "Unique-Local", "RFC 4193"},
    Range{Family::Ipv6, v6({0xfe80}), 10, LinkLocal, kNotGlobal, "Link-Local Unicast", "RFC 4291"},
    Range{Family::Ipv6, v6({0xfec0}), 10, Private, kNotGlobal, "Site-Local (deprecated)",
          "RFC 3879"},
    Range{Family::Ipv6, v6({0xff00}), 8, Multicast, kNotGlobal, "Multicast", "RFC 4291"},
};

template <std::size_t N>
bool prefixMatches(const std::array<std::uint8_t, N>& address, const Ipv6Bytes& network,
                   unsigned length)
{
    for (std::size_t i = 0; i < N && length > 0; ++i) {
        const unsigned bits = std::min(length, 8u);
        const auto mask = static_cast<std::uint8_t>(0xffu << (8 - bits));
        if ((address[i] & mask) != (network[i] & mask))
            return false;
        length -= bits;
    }
    return true;
}

template <typename Bytes, std::size_t M>
const Range* mostSpecific(const std::array<Range, M>& table, const Bytes& address)
{
    const Range* found = nullptr;
    for (const Range& range : table)
        if (range.contains(address) && (!found || range.length > found->length))
            found = &range;
    return found;
}

Ipv4Bytes ipv4At(const Ipv6Bytes& address, int offset)
{
    const auto at = static_cast<std::size_t>(offset);
    return {address[at], address[at + 1], address[at + 2], address[at + 3]};
}

} // namespace

std::string_view kindName(Kind kind)
{
    switch (kind) {
    case Global:
        return "global";
    case Unspecified:
        return "unspecified";
    case ThisNetwork:
        return "this network";
    case Private:
        return "private";
    case Shared:
        return "shared (carrier-grade NAT)";
    case Loopback:
        return "loopback";
    case LinkLocal:
        return "link-local";
    case Documentation:
        return "documentation";
    case Benchmarking:
        return "benchmarking";
    case Translation:
        return "translation";
    case Anycast:
        return "anycast";
    case ProtocolAssignments:
        return "protocol assignments";
    case Identifier:
        return "identifier";
    case Discard:
        return "discard";
    case Reserved:
        return "reserved";
    case Broadcast:
        return "broadcast";
    case Multicast:
        break;
    }
    return "multicast";
}

bool Range::contains(const Ipv4Bytes& address) const
{
    return family == Family::Ipv4 && prefixMatches(address, network, length);
}

bool Range::contains(const Ipv6Bytes& address) const
{
    return family == Family::Ipv6 && prefixMatches(address, network, length);
}

std::span<const Range> ipv4Ranges()
{
    return kIpv4;
}

std::span<const Range> ipv6Ranges()
{
    return kIpv6;
}

const Range* find(const Ipv4Bytes& address)
{
    return mostSpecific(kIpv4, address);
}

const Range* find(const Ipv6Bytes& address)
{
    const Range* range = mostSpecific(kIpv6, address);
    if (!range || range->embeddedIpv4 < 0)
        return range;
    const Range* inner = find(ipv4At(address, range->embeddedIpv4));
    // IPv4-mapped: the IPv4 address, whatever it is. NAT64 and 6to4: the IPv4 address's range
    // when that cannot be reached from the internet.
    if (range->globallyReachable && (!inner || inner->globallyReachable))
        return range;
    return inner;
}

Kind kindOf(const Ipv4Bytes& address)
{
    const Range* range = find(address);
    return range ? range->kind : Global;
}

Kind kindOf(const Ipv6Bytes& address)
{
    const Range* range = find(address);
    return range ? range->kind : Global;
}

bool isGloballyReachable(const Ipv4Bytes& address)
{
    const Range* range = find(address);
    return !range || range->globallyReachable;
}

bool isGloballyReachable(const Ipv6Bytes& address)
{
    const Range* range = find(address);
    return !range || range->globallyReachable;
}

std::optional<Ipv4Bytes> embeddedIpv4(const Ipv6Bytes& address)
{
    const Range* range = mostSpecific(kIpv6, address);
    if (!range || range->embeddedIpv4 < 0)
        return std::nullopt;
    return ipv4At(address, range->embeddedIpv4);
}

} // namespace quillmere::netranges
