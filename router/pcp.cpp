#include "router/pcp.h"

#include <algorithm>

namespace quillmere::router::pcp {

using namespace Qt::StringLiterals;

namespace {

constexpr std::uint8_t kResponseBit = 0x80;

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value)
{
    out[at] = std::uint8_t(value >> 8);
    out[at + 1] = std::uint8_t(value);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[at + std::size_t(i)] = std::uint8_t(value >> (24 - 8 * i));
}

std::uint16_t get16(std::span<const std::uint8_t> in, std::size_t at)
{
    return std::uint16_t((in[at] << 8) | in[at + 1]);
}

std::uint32_t get32(std::span<const std::uint8_t> in, std::size_t at)
{
    return (std::uint32_t(in[at]) << 24) | (std::uint32_t(in[at + 1]) << 16) |
           (std::uint32_t(in[at + 2]) << 8) | std::uint32_t(in[at + 3]);
}

// The common request header: version, opcode (R clear), lifetime, the client's address.
std::vector<std::uint8_t> header(std::uint8_t opcode, std::uint32_t lifetime, const Address& client,
                                 std::size_t payload)
{
    std::vector<std::uint8_t> out(kHeaderBytes + payload, 0);
    out[0] = kVersion;
    out[1] = opcode & 0x7f;
    put32(out, 4, lifetime);
    std::copy(client.begin(), client.end(), out.begin() + 8);
    return out;
}

std::optional<Reply> refuse(const char** why, const char* text)
{
    if (why)
        *why = text;
    return std::nullopt;
}

// Options follow the opcode's data: code, reserved, length, and the data padded to 4 bytes.
// They are not used, only checked to lie within the message.
bool optionsFit(std::span<const std::uint8_t> options)
{
    std::size_t at = 0;
    while (at < options.size()) {
        if (options.size() - at < 4)
            return false;
        const std::size_t length = get16(options, at + 2);
        const std::size_t padded = (length + 3) / 4 * 4;
        if (options.size() - at - 4 < padded)
            return false;
        at += 4 + padded;
    }
    return true;
}

} // namespace

QString resultName(int code)
{
    switch (code) {
    case Success:
        return u"SUCCESS"_s;
    case UnsuppVersion:
        return u"UNSUPP_VERSION"_s;
    case NotAuthorized:
        return u"NOT_AUTHORIZED"_s;
    case MalformedRequest:
        return u"MALFORMED_REQUEST"_s;
    case UnsuppOpcode:
        return u"UNSUPP_OPCODE"_s;
    case UnsuppOption:
        return u"UNSUPP_OPTION"_s;
    case MalformedOption:
        return u"MALFORMED_OPTION"_s;
    case NetworkFailure:
        return u"NETWORK_FAILURE"_s;
    case NoResources:
        return u"NO_RESOURCES"_s;
    case UnsuppProtocol:
        return u"UNSUPP_PROTOCOL"_s;
    case UserExQuota:
        return u"USER_EX_QUOTA"_s;
    case CannotProvideExternal:
        return u"CANNOT_PROVIDE_EXTERNAL"_s;
    case AddressMismatch:
        return u"ADDRESS_MISMATCH"_s;
    case ExcessiveRemotePeers:
        return u"EXCESSIVE_REMOTE_PEERS"_s;
    default:
        return u"RESULT_"_s + QString::number(code);
    }
}

Address wireAddress(const QHostAddress& address)
{
    Address out{};
    // Only an IPv4 address (or an IPv4-mapped IPv6 one) goes in the mapped form: Qt also reads
    // "::" as 0.0.0.0, which would turn IPv6's "any" into IPv4's.
    bool ipv4 = false;
    const quint32 v4 = address.toIPv4Address(&ipv4);
    const bool mapped = address.protocol() == QAbstractSocket::IPv6Protocol &&
                        address.isInSubnet(QHostAddress(QStringLiteral("::ffff:0:0")), 96);
    if (address.isNull() || address.protocol() == QAbstractSocket::IPv4Protocol ||
        (ipv4 && mapped)) {
        out[10] = 0xff;
        out[11] = 0xff;
        out[12] = std::uint8_t(v4 >> 24);
        out[13] = std::uint8_t(v4 >> 16);
        out[14] = std::uint8_t(v4 >> 8);
        out[15] = std::uint8_t(v4);
        return out;
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    std::copy(std::begin(v6.c), std::end(v6.c), out.begin());
    return out;
}

QHostAddress hostAddress(const Address& address)
{
    const bool mapped =
        std::all_of(address.begin(), address.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
        address[10] == 0xff && address[11] == 0xff;
    if (mapped)
        return QHostAddress((quint32(address[12]) << 24) | (quint32(address[13]) << 16) |
                            (quint32(address[14]) << 8) | quint32(address[15]));
    return QHostAddress(address.data());
}

std::vector<std::uint8_t> announceRequest(const Address& client)
{
    return header(Announce, 0, client, 0);
}

std::vector<std::uint8_t> mapRequest(const MapRequest& request)
{
    std::vector<std::uint8_t> out = header(Map, request.lifetime, request.client, kMapPayloadBytes);
    const std::size_t at = kHeaderBytes;
    std::copy(request.nonce.begin(), request.nonce.end(), out.begin() + at);
    out[at + 12] = request.protocol;
    put16(out, at + 16, request.internalPort);
    put16(out, at + 18, request.suggestedExternalPort);
    std::copy(request.suggestedExternalAddress.begin(), request.suggestedExternalAddress.end(),
              out.begin() + at + 20);
    return out;
}

std::optional<Reply> parseReply(std::span<const std::uint8_t> bytes, std::uint8_t opcode,
                                const Nonce* nonce, const char** why)
{
    if (bytes.size() < 4)
        return refuse(why, "shorter than any reply");
    if (!(bytes[1] & kResponseBit))
        return refuse(why, "a request, not a reply");
    if ((bytes[1] & 0x7f) != opcode)
        return refuse(why, "a reply to another opcode");

    Reply reply;
    reply.version = bytes[0];
    reply.opcode = bytes[1] & 0x7f;
    if (reply.version == 0) {
        // A NAT-PMP server (RFC 6886) answers any other version with its own header: version 0,
        // 128 + opcode, a 16-bit result code (1: unsupported version), then its epoch.
        if (bytes.size() < 8)
            return refuse(why, "a NAT-PMP reply shorter than 8 bytes");
        reply.result = UnsuppVersion;
        reply.epoch = get32(bytes, 4);
        return reply;
    }
    if (bytes.size() < kHeaderBytes)
        return refuse(why, "shorter than the PCP header");
    if (bytes.size() > kMaxMessageBytes)
        return refuse(why, "longer than 1100 bytes");
    if (bytes.size() % 4 != 0)
        return refuse(why, "not a multiple of 4 bytes");
    reply.result = bytes[3];
    reply.lifetime = get32(bytes, 4);
    reply.epoch = get32(bytes, 8);
    if (reply.version != kVersion) {
        // A server of another version says which it speaks, with UNSUPP_VERSION.
        if (reply.result != UnsuppVersion)
            return refuse(why, "another PCP version, without UNSUPP_VERSION");
        return reply;
    }

    std::span<const std::uint8_t> rest = bytes.subspan(kHeaderBytes);
    if (opcode == Map) {
        if (rest.size() < kMapPayloadBytes) {
            // Without its data a reply cannot be matched to the request: only a server that
            // could not read the request at all answers so.
            if (reply.result != MalformedRequest && reply.result != UnsuppOpcode)
                return refuse(why, "a MAP reply without its nonce");
            if (!rest.empty())
                return refuse(why, "a MAP reply cut short");
            return reply;
        }
        MapReply map;
        std::copy_n(rest.begin(), map.nonce.size(), map.nonce.begin());
        if (nonce && map.nonce != *nonce)
            return refuse(why, "a reply with another nonce");
        map.protocol = rest[12];
        map.internalPort = get16(rest, 16);
        map.externalPort = get16(rest, 18);
        std::copy_n(rest.begin() + 20, map.externalAddress.size(), map.externalAddress.begin());
        reply.map = map;
        rest = rest.subspan(kMapPayloadBytes);
    }
    if (!optionsFit(rest))
        return refuse(why, "an option runs past the end");
    return reply;
}

} // namespace quillmere::router::pcp
