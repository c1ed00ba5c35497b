#pragma once

// Addresses as the server sees them: which ones it may probe, how clients are grouped for the
// limits, and who the client is when a trusted reverse proxy stands in front.

#include <boost/asio/ip/address.hpp>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

using Address = boost::asio::ip::address;

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it stands for; any other
// address without its scope id (a zone means nothing to the probe, the ping or the page).
Address unmapped(const Address& address);

// True for addresses on the public internet: globally reachable in the table of special ranges
// (netranges/netranges.h). Loopback, private, link-local, shared (CGNAT), multicast,
// documentation, benchmarking and other reserved ranges are not public.
bool isPublicAddress(const Address& address);

// Whom the limits count against. The client is an IPv4 address or an IPv6 /64. One holder of
// IPv6 space may spread over many /64s, /48s, even /40s, so each client of IPv6 also counts
// against the /48, /40 and /32 around it, each with a larger budget of its own (see
// clientlimits.h). IPv6 addresses that embed an IPv4 address (NAT64, 6to4) count as that IPv4
// address.
inline constexpr std::size_t kNetworkLevels = 3; // /48, /40, /32

struct ClientGroup
{
    std::string client;
    std::array<std::string, kNetworkLevels> networks; // /48, /40, /32; empty for IPv4
};

ClientGroup clientGroup(const Address& address);

// An address with a prefix length: "192.0.2.0/24", "2001:db8::/32", or a single address.
struct AddressPrefix
{
    Address network;
    unsigned length = 0;

    static std::optional<AddressPrefix> parse(std::string_view text);
    bool contains(const Address& address) const;
};

bool isTrusted(const std::vector<AddressPrefix>& trusted, const Address& address);

// Parses one X-Forwarded-For element: an address, optionally "[v6]:port" or "v4:port".
std::optional<Address> parseForwardedElement(std::string_view text);

// The client of a request. `forwardedFor` holds the X-Forwarded-For values in the order the
// headers came. They count only when the peer is a trusted proxy: then the client is the
// rightmost address that is not itself a trusted proxy. nullopt when the peer is a trusted proxy
// and the header names no such address, or an element that has to be read is not an address.
std::optional<Address> effectiveClient(const Address& peer,
                                       const std::vector<std::string_view>& forwardedFor,
                                       const std::vector<AddressPrefix>& trusted);

// The address as text: dotted IPv4, or IPv6 without brackets.
std::string addressText(const Address& address);

} // namespace quillmere::server
