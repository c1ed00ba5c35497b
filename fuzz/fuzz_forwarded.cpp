// X-Forwarded-For: its elements, the trusted proxy prefixes, and the client they yield; and what
// the server then makes of that client (public or not, the group the limits count it in).
//
// Input, in lines: the peer's address (192.0.2.1 when the line is no address), the trusted
// prefixes separated by spaces (those that do not parse are left out), then one X-Forwarded-For
// header value per line.

#include "fuzz/fuzzcheck.h"
#include "server/addresses.h"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace quillmere;
using namespace quillmere::server;

namespace {

Address peerAddress(std::string_view text)
{
    boost::system::error_code error;
    const Address address = boost::asio::ip::make_address(std::string(text), error);
    if (error)
        return boost::asio::ip::make_address_v4("192.0.2.1");
    return address;
}

bool isMapped(const Address& a)
{
    return a.is_v6() && a.to_v6().is_v4_mapped();
}

// Ranges no public address is in, by the plain predicates of the address types.
bool isPlainlyNotPublic(const Address& a)
{
    if (a.is_v4()) {
        const auto v4 = a.to_v4();
        const auto b = v4.to_bytes();
        return v4.is_loopback() || v4.is_unspecified() || v4.is_multicast() || b[0] == 10 ||
               (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168) ||
               (b[0] == 169 && b[1] == 254) || (b[0] == 100 && (b[1] & 0xc0) == 64) ||
               v4 == boost::asio::ip::address_v4::broadcast();
    }
    const auto v6 = a.to_v6();
    const auto b = v6.to_bytes();
    return v6.is_loopback() || v6.is_unspecified() || v6.is_multicast() || v6.is_link_local() ||
           v6.is_site_local() || (b[0] & 0xfe) == 0xfc ||
           (v6.is_v4_mapped() &&
            isPlainlyNotPublic(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6)));
}

void checkAddress(const Address& a)
{
    // Every address the server goes on with is a plain one: IPv4 as IPv4, no zone.
    FUZZ_CHECK(!isMapped(a));
    FUZZ_CHECK(!a.is_v6() || a.to_v6().scope_id() == 0);
    FUZZ_CHECK(unmapped(a) == a);

    // Written out and read back as an element, it is the same address.
    const std::string text = addressText(a);
    FUZZ_CHECK(parseForwardedElement(text) == a);
    if (a.is_v6())
        FUZZ_CHECK(parseForwardedElement("[" + text + "]:8080") == a);
    else
        FUZZ_CHECK(parseForwardedElement(" " + text + ":8080\t") == a);

    if (isPublicAddress(a))
        FUZZ_CHECK(!isPlainlyNotPublic(a));
    if (a.is_v4())
        FUZZ_CHECK(isPublicAddress(boost::asio::ip::make_address_v6(
                       boost::asio::ip::v4_mapped, a.to_v4())) == isPublicAddress(a));

    // The limits count an IPv4 address on its own and an IPv6 address by its /64 (unless it
    // embeds IPv4: NAT64 and 6to4 count as the IPv4 address inside).
    const std::string client = clientGroup(a).client;
    FUZZ_CHECK(!client.empty());
    if (a.is_v4()) {
        FUZZ_CHECK(
            clientGroup(boost::asio::ip::make_address_v6(boost::asio::ip::v4_mapped, a.to_v4()))
                .client == client);
    } else {
        auto bytes = a.to_v6().to_bytes();
        const bool embedsV4 =
            (bytes[0] == 0x20 && bytes[1] == 0x02) ||
            (bytes[0] == 0 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b &&
             std::all_of(bytes.begin() + 4, bytes.begin() + 12, [](auto b) { return b == 0; }));
        if (!embedsV4) {
            bytes[15] ^= 0xff; // same /64
            FUZZ_CHECK(clientGroup(boost::asio::ip::address_v6(bytes)).client == client);
            bytes[7] ^= 0x01; // the next /64
            FUZZ_CHECK(clientGroup(boost::asio::ip::address_v6(bytes)).client != client);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string_view> lines = fuzz::split(fuzz::bytes(data, size), '\n');
    const Address peer = peerAddress(lines[0]);

    std::vector<AddressPrefix> trusted;
    if (lines.size() > 1) {
        for (const std::string_view text : fuzz::split(lines[1], ' ')) {
            const auto prefix = AddressPrefix::parse(text);
            if (!prefix)
                continue;
            FUZZ_CHECK(prefix->length <= (prefix->network.is_v4() ? 32u : 128u));
            FUZZ_CHECK(!isMapped(prefix->network));
            FUZZ_CHECK(prefix->contains(prefix->network));
            const auto again = AddressPrefix::parse(addressText(prefix->network) + "/" +
                                                    std::to_string(prefix->length));
            FUZZ_CHECK(again && again->network == prefix->network &&
                       again->length == prefix->length);
            trusted.push_back(*prefix);
        }
    }
    // Header values as the request head parser passes them on: it refuses a field with a
    // control character other than HTAB, so such a line stands for no header.
    std::vector<std::string_view> forwardedFor;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        if (std::all_of(lines[i].begin(), lines[i].end(), [](char c) {
                return c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
            }))
            forwardedFor.push_back(lines[i]);
    }

    // Every element on its own.
    std::vector<std::optional<Address>> elements;
    for (const std::string_view value : forwardedFor) {
        for (const std::string_view element : fuzz::split(value, ',')) {
            const auto address = parseForwardedElement(element);
            if (address)
                checkAddress(*address);
            elements.push_back(address);
        }
    }

    // The client: the peer unless it is a trusted proxy; then the rightmost element that is not
    // one, read from the right, and none when an element on the way is no address.
    const auto client = effectiveClient(peer, forwardedFor, trusted);
    std::optional<Address> expected;
    if (!isTrusted(trusted, unmapped(peer))) {
        expected = unmapped(peer);
    } else {
        for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
            if (!*it || !isTrusted(trusted, **it)) {
                expected = *it;
                break;
            }
        }
    }
    FUZZ_CHECK(client == expected);
    if (client) {
        // Never a proxy of our own.
        FUZZ_CHECK(!isTrusted(trusted, *client));
        checkAddress(*client);
    } else {
        // Refused only behind a trusted proxy.
        FUZZ_CHECK(isTrusted(trusted, peer));
    }
    return 0;
}
