#pragma once

// STUN messages (RFC 5389) with the NAT behaviour discovery attributes of RFC 5780: what the
// check server's STUN listener reads and writes, and what the programs' NAT discovery sends and
// reads. Plain C++, no Qt and no Boost: both sides link it.
//
// parseMessage() takes one whole datagram. It refuses anything that is not a well-formed
// message: a header other than RFC 5389's (the two top bits zero, the magic cookie), a length
// that is not a multiple of 4 or does not match the datagram, an attribute that runs past the
// end, a known address attribute of the wrong size, an attribute after FINGERPRINT, or a
// FINGERPRINT that does not match. Attributes it does not know are skipped when they are
// comprehension-optional (0x8000-0xFFFF) and flagged in unknownRequired otherwise.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmere::stun {

inline constexpr std::uint32_t kMagicCookie = 0x2112A442;
inline constexpr std::uint16_t kBinding = 0x0001;

using TransactionId = std::array<std::uint8_t, 12>;

struct Endpoint
{ // an IPv4 address is in address[0..3], ipv6 false
    std::array<std::uint8_t, 16> address{};
    bool ipv6 = false;
    std::uint16_t port = 0;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

std::string endpointText(const Endpoint&); // "192.0.2.1:3478", "[2001:db8::1]:3478"

enum class MessageKind { Request, Indication, Success, Error };

struct Message
{
    MessageKind kind = MessageKind::Request;
    std::uint16_t method = kBinding;
    TransactionId transaction{};
    std::optional<Endpoint> mapped;            // XOR-MAPPED-ADDRESS, else MAPPED-ADDRESS
    std::optional<Endpoint> otherAddress;      // OTHER-ADDRESS (or RFC 3489's CHANGED-ADDRESS)
    std::optional<Endpoint> responseOrigin;    // RESPONSE-ORIGIN (or SOURCE-ADDRESS)
    bool changeIp = false, changePort = false; // CHANGE-REQUEST flags
    bool hasChangeRequest = false;
    bool unknownRequired = false;           // a comprehension-required attribute it does not know
    bool asksPaddingOrResponsePort = false; // PADDING or RESPONSE-PORT present (never served)
    std::optional<int> errorCode;           // ERROR-CODE, in error responses
};

// nullopt: not a well-formed STUN message (RFC 5389 header, lengths, magic cookie, a FINGERPRINT
// that does not match). Never reads outside `bytes`.
std::optional<Message> parseMessage(std::span<const std::uint8_t> bytes);

// A Binding request, with CHANGE-REQUEST when either flag is set. No FINGERPRINT.
std::vector<std::uint8_t> bindingRequest(const TransactionId& id, bool changeIp = false,
                                         bool changePort = false);

// A Binding success response: XOR-MAPPED-ADDRESS, then OTHER-ADDRESS and RESPONSE-ORIGIN when
// given. No FINGERPRINT, no SOFTWARE: the reply stays as small as it can be.
std::vector<std::uint8_t> bindingSuccess(const TransactionId& id, const Endpoint& mapped,
                                         const std::optional<Endpoint>& otherAddress,
                                         const std::optional<Endpoint>& responseOrigin);

// A Binding error response with ERROR-CODE (300-699) and, when given, UNKNOWN-ATTRIBUTES. 420
// carries the reason "Unknown Attribute"; the others none.
std::vector<std::uint8_t> bindingError(const TransactionId& id, int code,
                                       std::span<const std::uint16_t> unknownAttributes = {});

// RFC 3489's form, which clients of that age still send: no magic cookie, and a transaction id
// of 16 bytes where RFC 5389 has the cookie and 12. Such a client knows no XOR-MAPPED-ADDRESS;
// it reads MAPPED-ADDRESS, SOURCE-ADDRESS and CHANGED-ADDRESS.
using ClassicTransactionId = std::array<std::uint8_t, 16>;
struct ClassicMessage
{
    ClassicTransactionId transaction{};
    Message message; // its transaction holds the id's last 12 bytes; XOR-MAPPED-ADDRESS counts
                     // as unknown there
};
// nullopt: not a well-formed message of this form, under the rules of parseMessage; a message
// with the magic cookie is not one either.
std::optional<ClassicMessage> parseClassicMessage(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> classicBindingSuccess(const ClassicTransactionId& id,
                                                const Endpoint& mapped,
                                                const Endpoint& sourceAddress,
                                                const std::optional<Endpoint>& changedAddress);

// The attribute types this code reads or writes.
namespace attr {
inline constexpr std::uint16_t kMappedAddress = 0x0001;
inline constexpr std::uint16_t kChangeRequest = 0x0003;
inline constexpr std::uint16_t kSourceAddress = 0x0004;  // RFC 3489
inline constexpr std::uint16_t kChangedAddress = 0x0005; // RFC 3489
inline constexpr std::uint16_t kUsername = 0x0006;
inline constexpr std::uint16_t kMessageIntegrity = 0x0008;
inline constexpr std::uint16_t kErrorCode = 0x0009;
inline constexpr std::uint16_t kUnknownAttributes = 0x000A;
inline constexpr std::uint16_t kRealm = 0x0014;
inline constexpr std::uint16_t kNonce = 0x0015;
inline constexpr std::uint16_t kXorMappedAddress = 0x0020;
inline constexpr std::uint16_t kPadding = 0x0026;
inline constexpr std::uint16_t kResponsePort = 0x0027;
inline constexpr std::uint16_t kSoftware = 0x8022;
inline constexpr std::uint16_t kAlternateServer = 0x8023;
inline constexpr std::uint16_t kFingerprint = 0x8028;
inline constexpr std::uint16_t kResponseOrigin = 0x802B;
inline constexpr std::uint16_t kOtherAddress = 0x802C;
} // namespace attr

// FINGERPRINT's value over `bytes`: CRC-32 (ISO 3309, as zlib) xor 0x5354554e.
std::uint32_t fingerprintOf(std::span<const std::uint8_t> bytes);

// A copy of `message` (a whole STUN message) with a FINGERPRINT attribute appended and the
// header's length raised to cover it.
std::vector<std::uint8_t> withFingerprint(std::vector<std::uint8_t> message);

} // namespace quillmere::stun
