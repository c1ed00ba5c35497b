#pragma once

// The special-purpose ranges as the tests expect them, written out from IANA's registries
// apart from the table under test, and the addresses at and around each range's edges. The
// expected range of an address is worked out here with QHostAddress, not with the table's code.

#include "netranges/netranges.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <algorithm>
#include <optional>
#include <utility>

namespace quillmere::testing {

using netranges::Kind;

struct Expected
{
    const char* prefix; // CIDR text
    Kind kind;
    bool global;       // globally reachable
    int embedded = -1; // where an IPv4 address sits inside, for the ranges that carry one
};

inline constexpr Expected kExpected[] = {
    {"0.0.0.0/8", Kind::ThisNetwork, false},
    {"0.0.0.0/32", Kind::Unspecified, false},
    {"10.0.0.0/8", Kind::Private, false},
    {"100.64.0.0/10", Kind::Shared, false},
    {"127.0.0.0/8", Kind::Loopback, false},
    {"169.254.0.0/16", Kind::LinkLocal, false},
    {"172.16.0.0/12", Kind::Private, false},
    {"192.0.0.0/24", Kind::ProtocolAssignments, false},
    {"192.0.0.0/29", Kind::Translation, false},
    {"192.0.0.8/32", Kind::Reserved, false},
    {"192.0.0.9/32", Kind::Anycast, true},
    {"192.0.0.10/32", Kind::Anycast, true},
    {"192.0.0.170/32", Kind::Translation, false},
    {"192.0.0.171/32", Kind::Translation, false},
    {"192.0.2.0/24", Kind::Documentation, false},
    {"192.31.196.0/24", Kind::Anycast, true},
    {"192.52.193.0/24", Kind::Anycast, true},
    {"192.88.99.0/24", Kind::Reserved, false},
    {"192.168.0.0/16", Kind::Private, false},
    {"192.175.48.0/24", Kind::Anycast, true},
    {"198.18.0.0/15", Kind::Benchmarking, false},
    {"198.51.100.0/24", Kind::Documentation, false},
    {"203.0.113.0/24", Kind::Documentation, false},
    {"224.0.0.0/4", Kind::Multicast, false},
    {"240.0.0.0/4", Kind::Reserved, false},
    {"255.255.255.255/32", Kind::Broadcast, false},

    {"::/3", Kind::Reserved, false},
    {"4000::/2", Kind::Reserved, false},
    {"8000::/1", Kind::Reserved, false},
    {"::/128", Kind::Unspecified, false},
    {"::1/128", Kind::Loopback, false},
    {"::ffff:0:0/96", Kind::Reserved, false, 12},
    {"64:ff9b::/96", Kind::Translation, true, 12},
    {"64:ff9b:1::/48", Kind::Translation, false},
    {"100::/64", Kind::Discard, false},
    {"100:0:0:1::/64", Kind::Discard, false},
    {"2001::/23", Kind::ProtocolAssignments, false},
    {"2001::/32", Kind::Translation, false},
    {"2001:1::1/128", Kind::Anycast, true},
    {"2001:1::2/128", Kind::Anycast, true},
    {"2001:1::3/128", Kind::Anycast, true},
    {"2001:2::/48", Kind::Benchmarking, false},
    {"2001:3::/32", Kind::Anycast, true},
    {"2001:4:112::/48", Kind::Anycast, true},
    {"2001:10::/28", Kind::Identifier, false},
    {"2001:20::/28", Kind::Identifier, true},
    {"2001:30::/28", Kind::Identifier, true},
    {"2001:db8::/32", Kind::Documentation, false},
    {"2002::/16", Kind::Translation, true, 2},
    {"2620:4f:8000::/48", Kind::Anycast, true},
    {"3fff::/20", Kind::Documentation, false},
    {"5f00::/16", Kind::Reserved, false},
    {"fc00::/7", Kind::Private, false},
    {"fe80::/10", Kind::LinkLocal, false},
    {"fec0::/10", Kind::Private, false},
    {"ff00::/8", Kind::Multicast, false},
};

inline std::pair<QHostAddress, int> subnetOf(const Expected& expected)
{
    return QHostAddress::parseSubnet(QString::fromLatin1(expected.prefix));
}

inline bool isV4(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv4Protocol;
}

// The address as 16 bytes; IPv4 in the first four.
inline netranges::Ipv6Bytes bytesOf(const QHostAddress& address)
{
    netranges::Ipv6Bytes bytes{};
    if (isV4(address)) {
        const quint32 value = address.toIPv4Address();
        for (int i = 0; i < 4; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    } else {
        const Q_IPV6ADDR raw = address.toIPv6Address();
        std::copy(std::begin(raw.c), std::end(raw.c), bytes.begin());
    }
    return bytes;
}

inline netranges::Ipv4Bytes v4BytesOf(const QHostAddress& address)
{
    const auto bytes = bytesOf(address);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

inline QHostAddress addressOf(const netranges::Ipv6Bytes& bytes, bool v4)
{
    if (v4)
        return QHostAddress((quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) |
                            (quint32(bytes[2]) << 8) | bytes[3]);
    return QHostAddress(bytes.data());
}

// The first or last address of a prefix.
inline QHostAddress edgeOf(const QHostAddress& network, int length, bool last)
{
    const bool v4 = isV4(network);
    auto bytes = bytesOf(network);
    const int bits = v4 ? 32 : 128;
    for (int bit = length; bit < bits; ++bit) {
        auto& byte = bytes[static_cast<std::size_t>(bit / 8)];
        const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
        byte = static_cast<std::uint8_t>(last ? byte | mask : byte & ~mask);
    }
    return addressOf(bytes, v4);
}

// The address one below or above; nullopt past either end of the space.
inline std::optional<QHostAddress> stepped(const QHostAddress& address, int step)
{
    const bool v4 = isV4(address);
    auto bytes = bytesOf(address);
    for (int i = (v4 ? 4 : 16) - 1; i >= 0; --i) {
        auto& byte = bytes[static_cast<std::size_t>(i)];
        const int value = byte + step;
        byte = static_cast<std::uint8_t>(value & 0xff);
        if (value >= 0 && value <= 0xff)
            return addressOf(bytes, v4);
    }
    return std::nullopt;
}

inline bool within(const QHostAddress& address, const Expected& expected)
{
    const auto subnet = subnetOf(expected);
    return address.protocol() == subnet.first.protocol() && address.isInSubnet(subnet);
}

// The most specific expected range that holds a plain address (IPv4 as IPv4).
inline const Expected* holder(const QHostAddress& address)
{
    const Expected* found = nullptr;
    for (const Expected& expected : kExpected)
        if (within(address, expected) &&
            (!found || subnetOf(expected).second > subnetOf(*found).second))
            found = &expected;
    return found;
}

// The expected range that speaks for an address, after the rules the table documents: an
// IPv4-mapped address is its IPv4 address; a NAT64 or 6to4 address is the IPv4 address inside
// when that one is not globally reachable.
inline const Expected* expectedFor(const QHostAddress& address)
{
    const Expected* found = holder(address);
    if (!found || found->embedded < 0)
        return found;
    const auto bytes = bytesOf(address);
    const auto at = static_cast<std::size_t>(found->embedded);
    const QHostAddress inner((quint32(bytes[at]) << 24) | (quint32(bytes[at + 1]) << 16) |
                             (quint32(bytes[at + 2]) << 8) | bytes[at + 3]);
    const Expected* innerRange = holder(inner);
    if (found->global && (!innerRange || innerRange->global))
        return found;
    return innerRange;
}

// Every range's first and last address, the addresses just outside it and one inside, and a
// few ordinary ones; each IPv4 one also as IPv4-mapped, NAT64 and 6to4 IPv6.
inline QList<QHostAddress> edgeAddresses()
{
    QList<QHostAddress> found;
    const auto add = [&found](const QHostAddress& address) {
        if (!found.contains(address))
            found << address;
    };
    for (const Expected& expected : kExpected) {
        const auto [network, length] = subnetOf(expected);
        const QHostAddress first = edgeOf(network, length, false);
        const QHostAddress last = edgeOf(network, length, true);
        add(first);
        add(last);
        if (const auto below = stepped(first, -1))
            add(*below);
        if (const auto above = stepped(last, 1))
            add(*above);
        if (const auto inside = stepped(first, 1); inside && within(*inside, expected))
            add(*inside);
    }
    for (const char* text : {"1.1.1.1", "8.8.8.8", "100.63.255.255", "223.255.255.255",
                             "2a00:1450:4001::1", "2001:4860::8888", "2400:cb00::1"})
        add(QHostAddress(QString::fromLatin1(text)));
    const qsizetype plain = found.size();
    for (qsizetype i = 0; i < plain; ++i) {
        if (!isV4(found.at(i)))
            continue;
        const auto v4 = v4BytesOf(found.at(i));
        netranges::Ipv6Bytes mapped{};
        mapped[10] = mapped[11] = 0xff;
        netranges::Ipv6Bytes nat64{0x00, 0x64, 0xff, 0x9b};
        netranges::Ipv6Bytes sixToFour{0x20, 0x02};
        for (std::size_t b = 0; b < 4; ++b) {
            mapped[12 + b] = v4[b];
            nat64[12 + b] = v4[b];
            sixToFour[2 + b] = v4[b];
        }
        add(addressOf(mapped, false));
        add(addressOf(nat64, false));
        add(addressOf(sixToFour, false));
    }
    return found;
}

} // namespace quillmere::testing
