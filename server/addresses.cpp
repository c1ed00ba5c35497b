#include "server/addresses.h"

#include "server/asciitext.h"

#include "netranges/netranges.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

namespace quillmere::server {

namespace {

using V4Bytes = boost::asio::ip::address_v4::bytes_type;
using V6Bytes = boost::asio::ip::address_v6::bytes_type;

template <std::size_t N>
bool prefixMatches(const std::array<unsigned char, N>& bytes,
                   const std::array<unsigned char, N>& network, unsigned length)
{
    for (std::size_t i = 0; i < N && length > 0; ++i) {
        const unsigned bits = std::min(length, 8u);
        const auto mask = static_cast<unsigned char>(0xFFu << (8 - bits));
        if ((bytes[i] & mask) != (network[i] & mask))
            return false;
        length -= bits;
    }
    return true;
}

std::optional<Address> parseAddress(std::string_view text)
{
    boost::system::error_code error;
    const Address address = boost::asio::ip::make_address(std::string(text), error);
    if (error)
        return std::nullopt;
    return unmapped(address);
}

bool isPort(std::string_view text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value <= 65535;
}

} // namespace

Address unmapped(const Address& address)
{
    if (!address.is_v6())
        return address;
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    if (v6.scope_id() != 0)
        return boost::asio::ip::address_v6(v6.to_bytes());
    return address;
}

// The IPv4 address inside a NAT64 (64:ff9b::/96) or 6to4 (2002::/16) address.
static std::optional<boost::asio::ip::address_v4> embeddedV4(const Address& address)
{
    if (!address.is_v6())
        return std::nullopt;
    if (const auto inner = netranges::embeddedIpv4(address.to_v6().to_bytes()))
        return boost::asio::ip::address_v4(*inner);
    return std::nullopt;
}

bool isPublicAddress(const Address& input)
{
    // The project's one table of special ranges. It judges an IPv4-mapped address as its IPv4
    // address, and NAT64 and 6to4 addresses by the IPv4 address inside as well: that is where
    // the probe ends up.
    const Address address = unmapped(input);
    return address.is_v4() ? netranges::isGloballyReachable(address.to_v4().to_bytes())
                           : netranges::isGloballyReachable(address.to_v6().to_bytes());
}

ClientGroup clientGroup(const Address& input)
{
    Address address = unmapped(input);
    if (const auto inner = embeddedV4(address))
        address = *inner;
    if (address.is_v4()) {
        const V4Bytes bytes = address.to_v4().to_bytes();
        return {std::string(1, '4') + std::string(bytes.begin(), bytes.end()), {}};
    }
    // Each level's key starts with a letter of its own, so that no two levels share a key.
    const V6Bytes bytes = address.to_v6().to_bytes();
    const auto key = [&bytes](char level, std::size_t length) {
        return std::string(1, level) + std::string(bytes.begin(), bytes.begin() + length);
    };
    return {key('6', 8), {key('N', 6), key('M', 5), key('L', 4)}};
}

std::optional<AddressPrefix> AddressPrefix::parse(std::string_view text)
{
    const auto slash = text.find('/');
    const auto address = parseAddress(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    const unsigned maximum = address->is_v4() ? 32 : 128;
    unsigned length = maximum;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            length > maximum)
            return std::nullopt;
    }
    return AddressPrefix{*address, length};
}

bool AddressPrefix::contains(const Address& input) const
{
    const Address address = unmapped(input);
    if (address.is_v4() != network.is_v4())
        return false;
    if (address.is_v4())
        return prefixMatches(address.to_v4().to_bytes(), network.to_v4().to_bytes(), length);
    return prefixMatches(address.to_v6().to_bytes(), network.to_v6().to_bytes(), length);
}

bool isTrusted(const std::vector<AddressPrefix>& trusted, const Address& address)
{
    return std::any_of(trusted.begin(), trusted.end(),
                       [&](const AddressPrefix& prefix) { return prefix.contains(address); });
}

std::optional<Address> parseForwardedElement(std::string_view text)
{
    text = trimmed(text);
    if (text.empty())
        return std::nullopt;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !isPort(rest.substr(1))))
            return std::nullopt;
        const std::string_view inside = text.substr(1, close - 1);
        const auto address = parseAddress(inside);
        if (!address || inside.find(':') == std::string_view::npos)
            return std::nullopt;
        return address;
    }
    if (const auto address = parseAddress(text))
        return address;
    // "a.b.c.d:port"
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon ||
        !isPort(text.substr(colon + 1)))
        return std::nullopt;
    const auto address = parseAddress(text.substr(0, colon));
    if (!address || !address->is_v4())
        return std::nullopt;
    return address;
}

std::optional<Address> effectiveClient(const Address& peerInput,
                                       const std::vector<std::string_view>& forwardedFor,
                                       const std::vector<AddressPrefix>& trusted)
{
    const Address peer = unmapped(peerInput);
    if (!isTrusted(trusted, peer))
        return peer;
    std::vector<std::string_view> elements;
    for (const std::string_view value : forwardedFor) {
        std::size_t start = 0;
        while (start <= value.size()) {
            const auto comma = value.find(',', start);
            const auto end = comma == std::string_view::npos ? value.size() : comma;
            elements.push_back(value.substr(start, end - start));
            start = end + 1;
        }
    }
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        const auto address = parseForwardedElement(*it);
        if (!address)
            return std::nullopt;
        if (!isTrusted(trusted, *address))
            return address;
    }
    // Nothing but proxies: the request names no client, and probing a proxy helps no one.
    return std::nullopt;
}

std::string addressText(const Address& address)
{
    return unmapped(address).to_string();
}

} // namespace quillmere::server
