// The control data of a recvmsg(MSG_ERRQUEUE) on a probe socket, where the kernel puts the ICMP
// error that ended the probe. The kernel writes it, but the type and code in it come from
// whoever sent the ICMP message, and the reader must stay within the bytes it is given.
//
// Input: the control data as received.

#include "fuzz/fuzzcheck.h"
#include "server/icmperror.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

using namespace quillmere::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact copy on the heap, so that AddressSanitizer sees a read past its end.
    const auto exact = std::make_unique<unsigned char[]>(size ? size : 1);
    if (size)
        std::memcpy(exact.get(), data, size);
    const std::optional<IcmpError> error = icmpErrorFromControl(size ? exact.get() : nullptr, size);

    // The same bytes at an odd address read the same: the reader copies, it does not cast.
    const auto shifted = std::make_unique<unsigned char[]>(size + 1);
    if (size)
        std::memcpy(shifted.get() + 1, data, size);
    FUZZ_CHECK(icmpErrorFromControl(shifted.get() + 1, size) == error);

    if (error) {
        // The first error found stays the first whatever follows it.
        const auto longer = std::make_unique<unsigned char[]>(size + 64);
        std::memcpy(longer.get(), exact.get(), size);
        std::memset(longer.get() + size, 0xA5, 64);
        FUZZ_CHECK(icmpErrorFromControl(longer.get(), size + 64) == error);
        // Its text names the type and code, whatever they are.
        const std::string text = icmpErrorText(*error);
        FUZZ_CHECK(text.starts_with(std::to_string(error->type) + "/" +
                                    std::to_string(error->code) + " ("));
        FUZZ_CHECK(text.ends_with(")"));
    }
    return 0;
}
