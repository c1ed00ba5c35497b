#include "server/proxyheader.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace quillmere::server {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::size_t kV1Limit = 107; // the longest line, CRLF included
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t kV2Fixed = 16;

ProxyHeader invalid(std::string reason)
{
    ProxyHeader header;
    header.status = ProxyStatus::Invalid;
    header.reason = std::move(reason);
    return header;
}

ProxyHeader complete(std::size_t size, std::optional<Address> source = {}, std::uint16_t port = 0)
{
    ProxyHeader header;
    header.status = ProxyStatus::Complete;
    header.size = size;
    header.source = std::move(source);
    header.sourcePort = port;
    return header;
}

bool isPrefixOf(std::string_view received, std::string_view whole)
{
    return received.size() < whole.size() && whole.substr(0, received.size()) == received;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        result.push_back(line.substr(start, space - start));
        if (space == std::string_view::npos)
            return result;
        start = space + 1;
    }
}

// A port as the first version writes it: decimal, no sign, no leading zero.
std::optional<std::uint16_t> portOf(std::string_view text)
{
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text)
        value = value * 10 + unsigned(c - '0');
    if (value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::optional<Address> addressOf(std::string_view text, bool v6)
{
    // inet_pton underneath: dotted quads without leading zeros, IPv6 text; no zone.
    if (text.empty() || text.find('%') != std::string_view::npos)
        return std::nullopt;
    boost::system::error_code error;
    const std::string copy(text);
    const Address address = v6 ? Address(boost::asio::ip::make_address_v6(copy, error))
                               : Address(boost::asio::ip::make_address_v4(copy, error));
    if (error)
        return std::nullopt;
    return unmapped(address);
}

ProxyHeader parseV1(std::string_view received)
{
    if (received.size() < kV1Prefix.size())
        return isPrefixOf(received, kV1Prefix) ? ProxyHeader{} : invalid("not a PROXY header");
    if (!received.starts_with(kV1Prefix))
        return invalid("not a PROXY header");
    const std::size_t newline = received.substr(0, kV1Limit).find('\n');
    if (newline == std::string_view::npos) {
        if (received.size() >= kV1Limit)
            return invalid("the PROXY line is too long");
        return {};
    }
    if (newline == 0 || received[newline - 1] != '\r')
        return invalid("the PROXY line does not end in CRLF");
    const std::string_view line = received.substr(kV1Prefix.size(), newline - 1 - kV1Prefix.size());
    const std::size_t size = newline + 1;
    if (line.find('\r') != std::string_view::npos)
        return invalid("the PROXY line holds a carriage return");
    const std::vector<std::string_view> parts = words(line);
    // The balancer does not know the client: the connection's own addresses stand.
    if (parts[0] == "UNKNOWN")
        return complete(size);
    if (parts[0] != "TCP4" && parts[0] != "TCP6")
        return invalid("unknown PROXY protocol family");
    if (parts.size() != 5)
        return invalid("the PROXY line has not the four addresses and ports");
    const bool v6 = parts[0] == "TCP6";
    const auto source = addressOf(parts[1], v6);
    const auto destination = addressOf(parts[2], v6);
    const auto sourcePort = portOf(parts[3]);
    const auto destinationPort = portOf(parts[4]);
    if (!source || !destination)
        return invalid("a PROXY address is not one of its family");
    if (!sourcePort || !destinationPort)
        return invalid("a PROXY port is not a port");
    return complete(size, source, *sourcePort);
}

std::uint16_t bigEndian16(std::string_view bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) << 8 |
                                      static_cast<unsigned char>(bytes[at + 1]));
}

ProxyHeader parseV2(std::string_view received)
{
    if (received.size() < kV2Signature.size())
        return isPrefixOf(received, kV2Signature) ? ProxyHeader{} : invalid("not a PROXY header");
    if (!received.starts_with(kV2Signature))
        return invalid("not a PROXY header");
    if (received.size() < kV2Fixed)
        return {};
    const auto versionCommand = static_cast<unsigned char>(received[12]);
    const auto family = static_cast<unsigned char>(received[13]);
    const std::size_t size = kV2Fixed + bigEndian16(received, 14);
    if (versionCommand >> 4 != 2)
        return invalid("unknown PROXY protocol version");
    const unsigned command = versionCommand & 0x0F;
    if (command > 1)
        return invalid("unknown PROXY command");
    if (size > kProxyHeaderLimit)
        return invalid("the PROXY header is too long");
    if (received.size() < size)
        return {};
    const std::string_view body = received.substr(kV2Fixed, size - kV2Fixed);

    // LOCAL: the balancer speaks for itself (a health check); whatever addresses follow mean
    // nothing.
    if (command == 0)
        return complete(size);
    switch (family) {
    case 0x00: // unspecified: no addresses
        return complete(size);
    case 0x11: { // TCP over IPv4: source, destination, source port, destination port
        if (body.size() < 12)
            return invalid("the PROXY header is too short for its addresses");
        std::array<unsigned char, 4> bytes{};
        std::memcpy(bytes.data(), body.data(), bytes.size());
        return complete(size, Address(boost::asio::ip::address_v4(bytes)), bigEndian16(body, 8));
    }
    case 0x21: {
        if (body.size() < 36)
            return invalid("the PROXY header is too short for its addresses");
        std::array<unsigned char, 16> bytes{};
        std::memcpy(bytes.data(), body.data(), bytes.size());
        return complete(size, unmapped(boost::asio::ip::address_v6(bytes)), bigEndian16(body, 32));
    }
    case 0x31: // a local socket's paths: no address to probe, the connection's own stands
    case 0x32:
        if (body.size() < 216)
            return invalid("the PROXY header is too short for its addresses");
        return complete(size);
    case 0x12:
    case 0x22:
        return invalid("the PROXY header names a datagram connection");
    default:
        return invalid("unknown PROXY address family");
    }
}

} // namespace

ProxyHeader parseProxyHeader(std::string_view received)
{
    if (received.empty())
        return {};
    if (received[0] == 'P')
        return parseV1(received);
    if (received[0] == '\r')
        return parseV2(received);
    return invalid("not a PROXY header");
}

} // namespace quillmere::server
