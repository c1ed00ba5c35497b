// A router's SOAP reply, and the chunked coding its body may come in.
//
// Input: a status byte, then the body. A reply reads as answered-without-error only when it
// carries no error code; an error is always a line of text; the values stay within their
// bounds. A chunked body decodes to no more bytes than came in, and decodes the same when
// more bytes follow its end.

#include "fuzz/fuzzcheck.h"
#include "router/httpfetch.h"
#include "router/upnp.h"

using namespace quillmere;
using namespace quillmere::router;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int status = data[0] < 128 ? 200 : 500;
    const QByteArrayView body(data + 1, qsizetype(size - 1));

    const SoapReply reply = readSoapReply(status, body, 64 * 1024);
    if (reply.ok()) {
        FUZZ_CHECK(reply.errorCode == 0 && reply.error.isEmpty());
    } else {
        FUZZ_CHECK(!reply.error.isEmpty());
        FUZZ_CHECK(!reply.error.contains(u'\n') && !reply.error.contains(u'\r'));
    }
    FUZZ_CHECK(reply.values.size() <= 32);
    for (const auto& [name, value] : reply.values)
        FUZZ_CHECK(name.size() <= 64 && value.toUtf8().size() <= 4 * 128);

    bool malformed = false;
    const auto decoded = decodeChunked(body, &malformed);
    if (decoded) {
        FUZZ_CHECK(!malformed);
        FUZZ_CHECK(decoded->size() <= body.size());
        const QByteArray longer = body.toByteArray() + "trailing bytes";
        bool again = false;
        const auto second = decodeChunked(longer, &again);
        FUZZ_CHECK(second && *second == *decoded);
    }
    return 0;
}
