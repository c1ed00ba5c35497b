#pragma once

// The request head as the server reads it: a pure function of the bytes received so far, so that
// it can be tried on any input without a socket. The limit is on the whole head (request line,
// every field and the empty line that ends it), however the bytes arrived.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::server {

inline constexpr std::size_t kHeadLimit = 2048;

enum class HeadStatus {
    NeedMore,   // no fault so far, and the head has not ended
    TooLarge,   // kHeadLimit bytes came without the end of the head
    BadRequest, // not an HTTP/1.x request head
    Complete,
};

// The parts of a complete head the server uses, as the parser read them (field values without
// the white space around them).
struct RequestHead
{
    std::string method; // as sent; methods are case-sensitive
    std::string target;
    unsigned httpMinor = 0;                // HTTP/1.0: 0; HTTP/1.1: 1
    std::optional<std::string> host;       // the Host field, when there is one
    std::vector<std::string> forwardedFor; // X-Forwarded-For values, in order
    std::vector<std::string> accept;       // Accept values, in order
    bool hasBody = false;                  // a Content-Length above 0, or a Transfer-Encoding
    std::size_t size = 0; // bytes of the head, the empty line that ends it included
};

struct HeadParse
{
    HeadStatus status = HeadStatus::NeedMore;
    RequestHead head;    // filled in when Complete
    std::string problem; // a short reason when BadRequest
};

// Reads the head at the start of `received` with Boost.Beast's request parser, limited to
// kHeadLimit bytes for the whole head and reading no body. Bytes past kHeadLimit are not looked
// at. Lines end in CRLF; a request line that cannot become a right one, a bare CR or LF and a
// folded line make the answer BadRequest at once, a wrong field line once the head has ended
// (where Beast reads the fields). Accepted:
// "METHOD SP TARGET SP HTTP/1.0 or HTTP/1.1", then "Name: value" fields (no white space before
// the colon, no control characters), then an empty line. Content-Length must be digits and given
// once; a second Host field is refused.
HeadParse parseRequestHead(std::string_view received);

// Whether the bytes from `before` on, just added to `received`, can have changed what
// parseRequestHead says. Parsing the whole head again on every read would cost a client that
// sends it a byte at a time quadratic time; a reader parses it while its first bytes come (so
// that what is not HTTP is refused at once), when the request line ends, when a line ends in an
// empty one, and when the buffer is full. A wrong field line in between is found when the head
// ends or fills the buffer.
bool headWorthParsing(std::string_view received, std::size_t before);

} // namespace quillmere::server
