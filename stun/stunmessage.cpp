#include "stun/stunmessage.h"

#include <cstdio>
#include <string_view>

namespace quillmere::stun {

namespace {

constexpr std::size_t kHeaderSize = 20;
constexpr std::uint32_t kFingerprintXor = 0x5354554e;

std::uint16_t read16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint32_t read32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
           (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    put16(out, static_cast<std::uint16_t>(value >> 16));
    put16(out, static_cast<std::uint16_t>(value));
}

// The message type's 14 bits interleave the method (M0-M11) with the class (C0 at bit 4, C1 at
// bit 8).
std::uint16_t messageType(std::uint16_t method, MessageKind kind)
{
    const unsigned cls = static_cast<unsigned>(kind);
    return static_cast<std::uint16_t>((method & 0x000F) | ((method & 0x0070) << 1) |
                                      ((method & 0x0F80) << 2) | ((cls & 1) << 4) |
                                      ((cls & 2) << 7));
}

// What an address's bytes are XORed with: the magic cookie, then the transaction id (the part an
// IPv4 address does not reach); all zeros for the plain forms.
std::array<std::uint8_t, 16> addressMask(bool xored, const TransactionId& transaction)
{
    std::array<std::uint8_t, 16> mask{};
    if (xored) {
        mask[0] = static_cast<std::uint8_t>(kMagicCookie >> 24);
        mask[1] = static_cast<std::uint8_t>(kMagicCookie >> 16);
        mask[2] = static_cast<std::uint8_t>(kMagicCookie >> 8);
        mask[3] = static_cast<std::uint8_t>(kMagicCookie);
        for (std::size_t i = 0; i < transaction.size(); ++i)
            mask[4 + i] = transaction[i];
    }
    return mask;
}

// An address attribute's value: reserved byte, family, port, address; the XOR forms mix in the
// magic cookie and, for IPv6, the transaction id. nullopt: a value of the wrong size or family.
std::optional<Endpoint> readAddress(std::span<const std::uint8_t> value, bool xored,
                                    const TransactionId& transaction)
{
    if (value.size() < 4)
        return std::nullopt;
    Endpoint endpoint;
    const std::uint8_t family = value[1];
    if (family == 0x01 && value.size() == 8)
        endpoint.ipv6 = false;
    else if (family == 0x02 && value.size() == 20)
        endpoint.ipv6 = true;
    else
        return std::nullopt;
    std::uint16_t port = read16(value, 2);
    if (xored)
        port ^= static_cast<std::uint16_t>(kMagicCookie >> 16);
    endpoint.port = port;
    const std::array<std::uint8_t, 16> mask = addressMask(xored, transaction);
    const std::size_t length = endpoint.ipv6 ? 16 : 4;
    for (std::size_t i = 0; i < length; ++i)
        endpoint.address[i] = value[4 + i] ^ mask[i];
    return endpoint;
}

void putAddress(std::vector<std::uint8_t>& out, std::uint16_t type, const Endpoint& endpoint,
                bool xored, const TransactionId& transaction)
{
    const std::size_t length = endpoint.ipv6 ? 16 : 4;
    put16(out, type);
    put16(out, static_cast<std::uint16_t>(4 + length));
    out.push_back(0);
    out.push_back(endpoint.ipv6 ? 0x02 : 0x01);
    const std::uint16_t portMask = xored ? static_cast<std::uint16_t>(kMagicCookie >> 16) : 0;
    put16(out, endpoint.port ^ portMask);
    const std::array<std::uint8_t, 16> mask = addressMask(xored, transaction);
    for (std::size_t i = 0; i < length; ++i)
        out.push_back(endpoint.address[i] ^ mask[i]);
}

std::vector<std::uint8_t> header(std::uint16_t type, const TransactionId& id)
{
    std::vector<std::uint8_t> out;
    out.reserve(96);
    put16(out, type);
    put16(out, 0); // the length, set once the attributes are in
    put32(out, kMagicCookie);
    out.insert(out.end(), id.begin(), id.end());
    return out;
}

void setLength(std::vector<std::uint8_t>& message)
{
    const auto length = static_cast<std::uint16_t>(message.size() - kHeaderSize);
    message[2] = static_cast<std::uint8_t>(length >> 8);
    message[3] = static_cast<std::uint8_t>(length);
}

} // namespace

std::string endpointText(const Endpoint& endpoint)
{
    char text[64];
    if (!endpoint.ipv6) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", endpoint.address[0], endpoint.address[1],
                      endpoint.address[2], endpoint.address[3], endpoint.port);
        return text;
    }
    // RFC 5952: lower case, no leading zeros, the longest run (first of equals, two groups or
    // more) of zero groups as "::".
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < 8; ++i)
        groups[i] = (unsigned{endpoint.address[2 * i]} << 8) | endpoint.address[2 * i + 1];
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[static_cast<std::size_t>(i)] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[static_cast<std::size_t>(j)] == 0)
            ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    std::string out = "[";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength)
            out += ':';
        std::snprintf(text, sizeof text, "%x", groups[static_cast<std::size_t>(i)]);
        out += text;
    }
    std::snprintf(text, sizeof text, "]:%u", endpoint.port);
    out += text;
    return out;
}

std::uint32_t fingerprintOf(std::span<const std::uint8_t> bytes)
{
    // CRC-32 with the reflected polynomial 0xEDB88320, a table built once.
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : bytes)
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return (crc ^ 0xFFFFFFFFu) ^ kFingerprintXor;
}

std::vector<std::uint8_t> withFingerprint(std::vector<std::uint8_t> message)
{
    put16(message, attr::kFingerprint);
    put16(message, 4);
    put32(message, 0);
    setLength(message);
    const std::uint32_t value =
        fingerprintOf(std::span<const std::uint8_t>(message).first(message.size() - 8));
    const std::size_t at = message.size() - 4;
    message[at] = static_cast<std::uint8_t>(value >> 24);
    message[at + 1] = static_cast<std::uint8_t>(value >> 16);
    message[at + 2] = static_cast<std::uint8_t>(value >> 8);
    message[at + 3] = static_cast<std::uint8_t>(value);
    return message;
}

namespace {

// The header and the attributes; `classic` for RFC 3489's form, whose transaction id takes the
// place of the magic cookie too.
std::optional<Message> parseAny(std::span<const std::uint8_t> bytes, bool classic)
{
    if (bytes.size() < kHeaderSize)
        return std::nullopt;
    const std::uint16_t type = read16(bytes, 0);
    const std::uint16_t length = read16(bytes, 2);
    if ((type & 0xC000) != 0 || length % 4 != 0 || bytes.size() != kHeaderSize + length ||
        (read32(bytes, 4) == kMagicCookie) == classic)
        return std::nullopt;

    Message message;
    message.method = static_cast<std::uint16_t>((type & 0x000F) | ((type & 0x00E0) >> 1) |
                                                ((type & 0x3E00) >> 2));
    message.kind = static_cast<MessageKind>(((type >> 4) & 1) | ((type >> 7) & 2));
    for (std::size_t i = 0; i < message.transaction.size(); ++i)
        message.transaction[i] = bytes[8 + i];

    std::optional<Endpoint> plainMapped, changedAddress, sourceAddress;
    bool fingerprintSeen = false;
    std::size_t at = kHeaderSize;
    while (at < bytes.size()) {
        if (fingerprintSeen)
            return std::nullopt; // FINGERPRINT is the last attribute
        if (bytes.size() - at < 4)
            return std::nullopt;
        const std::uint16_t attrType = read16(bytes, at);
        const std::size_t attrLength = read16(bytes, at + 2);
        const std::size_t padded = (attrLength + 3) & ~std::size_t{3};
        if (padded > bytes.size() - at - 4)
            return std::nullopt;
        const auto value = bytes.subspan(at + 4, attrLength);

        if (classic && attrType == attr::kXorMappedAddress) {
            message.unknownRequired = true; // not an attribute of RFC 3489
            at += 4 + padded;
            continue;
        }
        switch (attrType) {
        case attr::kXorMappedAddress:
        case attr::kMappedAddress:
        case attr::kOtherAddress:
        case attr::kChangedAddress:
        case attr::kResponseOrigin:
        case attr::kSourceAddress:
        case attr::kAlternateServer: {
            const bool xored = attrType == attr::kXorMappedAddress;
            const auto endpoint = readAddress(value, xored, message.transaction);
            if (!endpoint)
                return std::nullopt;
            // The first of each kind counts (RFC 5389 section 15).
            auto set = [&](std::optional<Endpoint>& slot) {
                if (!slot)
                    slot = endpoint;
            };
            if (attrType == attr::kXorMappedAddress)
                set(message.mapped);
            else if (attrType == attr::kMappedAddress)
                set(plainMapped);
            else if (attrType == attr::kOtherAddress)
                set(message.otherAddress);
            else if (attrType == attr::kChangedAddress)
                set(changedAddress);
            else if (attrType == attr::kResponseOrigin)
                set(message.responseOrigin);
            else if (attrType == attr::kSourceAddress)
                set(sourceAddress);
            break;
        }
        case attr::kChangeRequest: {
            if (attrLength != 4)
                return std::nullopt;
            const std::uint32_t flags = read32(value, 0);
            if (!message.hasChangeRequest) {
                message.hasChangeRequest = true;
                message.changeIp = (flags & 0x4) != 0;
                message.changePort = (flags & 0x2) != 0;
            }
            break;
        }
        case attr::kErrorCode: {
            if (attrLength < 4)
                return std::nullopt;
            const int errorClass = value[2] & 0x07;
            const int number = value[3];
            if (errorClass < 3 || errorClass > 6 || number > 99)
                return std::nullopt;
            if (!message.errorCode)
                message.errorCode = errorClass * 100 + number;
            break;
        }
        case attr::kFingerprint: {
            if (attrLength != 4)
                return std::nullopt;
            if (read32(value, 0) != fingerprintOf(bytes.first(at)))
                return std::nullopt;
            fingerprintSeen = true;
            break;
        }
        case attr::kPadding:
        case attr::kResponsePort:
            message.asksPaddingOrResponsePort = true;
            break;
        case attr::kUsername:
        case attr::kMessageIntegrity:
        case attr::kUnknownAttributes:
        case attr::kRealm:
        case attr::kNonce:
        case attr::kSoftware:
            break; // known, and of no use here
        default:
            if (attrType < 0x8000)
                message.unknownRequired = true;
            break;
        }
        at += 4 + padded;
    }

    if (!message.mapped)
        message.mapped = plainMapped;
    if (!message.otherAddress)
        message.otherAddress = changedAddress;
    if (!message.responseOrigin)
        message.responseOrigin = sourceAddress;
    return message;
}

} // namespace

std::optional<Message> parseMessage(std::span<const std::uint8_t> bytes)
{
    return parseAny(bytes, false);
}

std::optional<ClassicMessage> parseClassicMessage(std::span<const std::uint8_t> bytes)
{
    auto message = parseAny(bytes, true);
    if (!message)
        return std::nullopt;
    ClassicMessage classic;
    for (std::size_t i = 0; i < classic.transaction.size(); ++i)
        classic.transaction[i] = bytes[4 + i];
    classic.message = *message;
    return classic;
}

std::vector<std::uint8_t> bindingRequest(const TransactionId& id, bool changeIp, bool changePort)
{
    auto out = header(messageType(kBinding, MessageKind::Request), id);
    if (changeIp || changePort) {
        put16(out, attr::kChangeRequest);
        put16(out, 4);
        put32(out, (changeIp ? 0x4u : 0u) | (changePort ? 0x2u : 0u));
    }
    setLength(out);
    return out;
}

std::vector<std::uint8_t> bindingSuccess(const TransactionId& id, const Endpoint& mapped,
                                         const std::optional<Endpoint>& otherAddress,
                                         const std::optional<Endpoint>& responseOrigin)
{
    auto out = header(messageType(kBinding, MessageKind::Success), id);
    putAddress(out, attr::kXorMappedAddress, mapped, true, id);
    if (otherAddress)
        putAddress(out, attr::kOtherAddress, *otherAddress, false, id);
    if (responseOrigin)
        putAddress(out, attr::kResponseOrigin, *responseOrigin, false, id);
    setLength(out);
    return out;
}

std::vector<std::uint8_t> bindingError(const TransactionId& id, int code,
                                       std::span<const std::uint16_t> unknownAttributes)
{
    auto out = header(messageType(kBinding, MessageKind::Error), id);
    const std::string_view reason = code == 420 ? "Unknown Attribute" : "";
    put16(out, attr::kErrorCode);
    put16(out, static_cast<std::uint16_t>(4 + reason.size()));
    put16(out, 0);
    out.push_back(static_cast<std::uint8_t>(code / 100));
    out.push_back(static_cast<std::uint8_t>(code % 100));
    out.insert(out.end(), reason.begin(), reason.end());
    while (out.size() % 4 != 0)
        out.push_back(0);
    if (!unknownAttributes.empty()) {
        put16(out, attr::kUnknownAttributes);
        put16(out, static_cast<std::uint16_t>(2 * unknownAttributes.size()));
        for (const std::uint16_t type : unknownAttributes)
            put16(out, type);
        while (out.size() % 4 != 0)
            out.push_back(0);
    }
    setLength(out);
    return out;
}

std::vector<std::uint8_t> classicBindingSuccess(const ClassicTransactionId& id,
                                                const Endpoint& mapped,
                                                const Endpoint& sourceAddress,
                                                const std::optional<Endpoint>& changedAddress)
{
    std::vector<std::uint8_t> out;
    out.reserve(96);
    put16(out, messageType(kBinding, MessageKind::Success));
    put16(out, 0);
    out.insert(out.end(), id.begin(), id.end());
    const TransactionId unused{};
    putAddress(out, attr::kMappedAddress, mapped, false, unused);
    putAddress(out, attr::kSourceAddress, sourceAddress, false, unused);
    if (changedAddress)
        putAddress(out, attr::kChangedAddress, *changedAddress, false, unused);
    setLength(out);
    return out;
}

} // namespace quillmere::stun
