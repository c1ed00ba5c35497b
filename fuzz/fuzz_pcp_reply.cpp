// A PCP reply from the gateway, as an answer to an ANNOUNCE and to a MAP.
//
// Input: the datagram. A reply taken for a MAP request echoes that request's nonce and opcode;
// one taken for an ANNOUNCE is an ANNOUNCE reply. Nothing is read outside the input (the
// sanitizers see to that), and a refusal always says why.

#include "fuzz/fuzzcheck.h"
#include "router/pcp.h"

#include <span>

using namespace quillmere::router;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> datagram(data, size);
    // The nonce the seeds' MAP replies echo: 01 02 ... 0c.
    static const pcp::Nonce nonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

    for (const std::uint8_t opcode : {std::uint8_t(pcp::Announce), std::uint8_t(pcp::Map)}) {
        const char* why = nullptr;
        const auto reply =
            pcp::parseReply(datagram, opcode, opcode == pcp::Map ? &nonce : nullptr, &why);
        if (!reply) {
            FUZZ_CHECK(why != nullptr);
            continue;
        }
        FUZZ_CHECK(size >= 4);
        FUZZ_CHECK(reply->opcode == opcode);
        FUZZ_CHECK((data[1] & 0x80) != 0);
        if (reply->version == 0) {
            FUZZ_CHECK(reply->result == pcp::UnsuppVersion);
            continue;
        }
        FUZZ_CHECK(size >= pcp::kHeaderBytes && size <= pcp::kMaxMessageBytes && size % 4 == 0);
        FUZZ_CHECK(reply->result == data[3]);
        if (reply->version != pcp::kVersion)
            FUZZ_CHECK(reply->result == pcp::UnsuppVersion);
        if (reply->map) {
            FUZZ_CHECK(opcode == pcp::Map);
            FUZZ_CHECK(reply->map->nonce == nonce);
            FUZZ_CHECK(size >= pcp::kHeaderBytes + pcp::kMapPayloadBytes);
            // The assigned address reads back the same through its host form.
            const QHostAddress address = pcp::hostAddress(reply->map->externalAddress);
            FUZZ_CHECK(pcp::wireAddress(address) == reply->map->externalAddress ||
                       reply->map->externalAddress == pcp::Address{});
        } else if (opcode == pcp::Map) {
            // Only a server that could not read the request answers without the MAP data.
            FUZZ_CHECK(reply->result == pcp::MalformedRequest ||
                       reply->result == pcp::UnsuppOpcode || reply->version != pcp::kVersion);
        }
        (void)pcp::resultName(reply->result);
    }
    return 0;
}
