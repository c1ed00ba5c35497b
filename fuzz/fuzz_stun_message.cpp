// A STUN message as it arrives on the STUN listener's socket, or at the programs' NAT discovery.
//
// Input: one datagram, read in both forms (RFC 5389, and RFC 3489's without the cookie).
// parseMessage() must never read outside it (the sanitizers see that), and
// what it accepts must hold together: the header's length fits the datagram, and the addresses it
// read survive being written into a reply (with and without FINGERPRINT) and read back.

#include "fuzz/fuzzcheck.h"
#include "stun/stunmessage.h"

#include <span>

using namespace quillmere::stun;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    const auto message = parseMessage(bytes);
    const auto classic = parseClassicMessage(bytes);
    // The magic cookie tells the two forms apart: never both.
    FUZZ_CHECK(!(message && classic));
    if (classic) {
        const auto& m = classic->message;
        FUZZ_CHECK(size >= 20 && size % 4 == 0);
        if (m.mapped) {
            const auto reply =
                classicBindingSuccess(classic->transaction, *m.mapped, *m.mapped, m.otherAddress);
            const auto again = parseClassicMessage(reply);
            FUZZ_CHECK(again && again->transaction == classic->transaction);
            FUZZ_CHECK(again->message.mapped == m.mapped &&
                       again->message.otherAddress == m.otherAddress);
        }
    }
    if (!message)
        return 0;

    FUZZ_CHECK(size >= 20 && size % 4 == 0);
    FUZZ_CHECK(((std::size_t{data[2]} << 8) | data[3]) + 20 == size);
    FUZZ_CHECK(!message->errorCode || (*message->errorCode >= 300 && *message->errorCode <= 699));
    FUZZ_CHECK(message->hasChangeRequest || (!message->changeIp && !message->changePort));
    for (std::size_t i = 0; i < message->transaction.size(); ++i)
        FUZZ_CHECK(message->transaction[i] == data[8 + i]);

    if (message->mapped) {
        const auto reply = bindingSuccess(message->transaction, *message->mapped,
                                          message->otherAddress, message->responseOrigin);
        for (const auto& encoded : {reply, withFingerprint(reply)}) {
            const auto again = parseMessage(encoded);
            FUZZ_CHECK(again);
            FUZZ_CHECK(again->kind == MessageKind::Success && again->method == kBinding);
            FUZZ_CHECK(again->transaction == message->transaction);
            FUZZ_CHECK(again->mapped == message->mapped);
            FUZZ_CHECK(again->otherAddress == message->otherAddress);
            FUZZ_CHECK(again->responseOrigin == message->responseOrigin);
            FUZZ_CHECK(!again->unknownRequired && !again->asksPaddingOrResponsePort);
        }
        FUZZ_CHECK(!endpointText(*message->mapped).empty());
    }
    if (message->errorCode) {
        const auto error = parseMessage(bindingError(message->transaction, *message->errorCode));
        FUZZ_CHECK(error && error->kind == MessageKind::Error &&
                   error->errorCode == message->errorCode);
    }
    if (message->kind == MessageKind::Request) {
        const auto request =
            bindingRequest(message->transaction, message->changeIp, message->changePort);
        const auto again = parseMessage(request);
        FUZZ_CHECK(again && again->changeIp == message->changeIp &&
                   again->changePort == message->changePort);
    }
    return 0;
}
