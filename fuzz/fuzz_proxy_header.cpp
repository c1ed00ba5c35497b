// The PROXY protocol header a load balancer sends first on a --listen-proxy connection: versions
// 1 and 2, read from whatever bytes have come so far.
//
// Input: the bytes as received. The parser is also given every shorter prefix up to its decision
// and the input with more bytes after it, since the server calls it again after each read.

#include "fuzz/fuzzcheck.h"
#include "server/proxyheader.h"

#include <string>
#include <string_view>

using namespace quillmere;
using namespace quillmere::server;

namespace {

void checkResult(const ProxyHeader& header, std::string_view received)
{
    switch (header.status) {
    case ProxyStatus::NeedMore:
        // The server reads at most the limit: by then every header is decided.
        FUZZ_CHECK(received.size() < kProxyHeaderLimit);
        FUZZ_CHECK(!header.source && header.reason.empty());
        break;
    case ProxyStatus::Invalid:
        FUZZ_CHECK(!header.reason.empty());
        FUZZ_CHECK(!header.source);
        break;
    case ProxyStatus::Complete:
        FUZZ_CHECK(header.size > 0 && header.size <= received.size());
        FUZZ_CHECK(header.size <= kProxyHeaderLimit);
        FUZZ_CHECK(header.reason.empty());
        if (header.source) {
            // A plain address: IPv4 as IPv4, no zone, never unspecified by accident of parsing.
            FUZZ_CHECK(unmapped(*header.source) == *header.source);
            FUZZ_CHECK(!header.source->is_v6() || header.source->to_v6().scope_id() == 0);
        } else {
            FUZZ_CHECK(header.sourcePort == 0);
        }
        break;
    }
}

bool sameDecision(const ProxyHeader& a, const ProxyHeader& b)
{
    return a.status == b.status && a.size == b.size && a.source == b.source &&
           a.sourcePort == b.sourcePort;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view received = fuzz::bytes(data, size);
    const ProxyHeader header = parseProxyHeader(received);
    checkResult(header, received);

    // What follows a decided header changes nothing: the request behind a complete one, more
    // garbage behind a bad one.
    if (header.status != ProxyStatus::NeedMore) {
        const std::string more = std::string(received) + "GET / HTTP/1.0\r\n\r\n";
        const ProxyHeader again = parseProxyHeader(more);
        FUZZ_CHECK(sameDecision(header, again));
    }
    if (header.status == ProxyStatus::Complete) {
        // The header alone says the same, and every prefix of it asks for more.
        FUZZ_CHECK(sameDecision(header, parseProxyHeader(received.substr(0, header.size))));
        for (std::size_t length = 0; length < header.size; ++length)
            FUZZ_CHECK(parseProxyHeader(received.substr(0, length)).status ==
                       ProxyStatus::NeedMore);
        // A source read from the first version's text is written the same way back.
        if (header.source && received.starts_with("PROXY TCP")) {
            const std::string line =
                std::string("PROXY ") + (header.source->is_v4() ? "TCP4 " : "TCP6 ") +
                addressText(*header.source) + " " + addressText(*header.source) + " " +
                std::to_string(header.sourcePort) + " 80\r\n";
            const ProxyHeader written = parseProxyHeader(line);
            FUZZ_CHECK(written.status == ProxyStatus::Complete && written.size == line.size());
            FUZZ_CHECK(written.source == header.source && written.sourcePort == header.sourcePort);
        }
    }
    if (header.status == ProxyStatus::NeedMore) {
        // Asking for more is never a decision taken back: a shorter prefix asks for more too.
        for (std::size_t length = 0; length < received.size(); ++length)
            FUZZ_CHECK(parseProxyHeader(received.substr(0, length)).status ==
                       ProxyStatus::NeedMore);
    }
    return 0;
}
