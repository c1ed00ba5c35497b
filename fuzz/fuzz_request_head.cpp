// The request head as the server reads it from the socket, and what it then makes of a check
// request.
//
// Input: the bytes received so far, read by Beast's request parser. A complete head must be the
// bytes up to the first empty line, within the limit, with parts that came in the input and hold
// no line break; every prefix of it must still be waiting for more; bytes after it must change
// nothing. A refused head stays refused however it goes on. Only a complete GET of the check path
// can reach the query, and so a probe.

#include "fuzz/fuzzcheck.h"
#include "server/asciitext.h"
#include "server/checkquery.h"
#include "server/negotiation.h"
#include "server/requesthead.h"
#include "wire/checkwire.h"

#include <string>
#include <string_view>
#include <vector>

using namespace quillmere;
using namespace quillmere::server;

namespace {

bool oneLine(std::string_view text)
{
    return text.find('\r') == std::string_view::npos && text.find('\n') == std::string_view::npos;
}

bool within(std::string_view part, std::string_view bytes)
{
    return bytes.find(part) != std::string_view::npos;
}

void checkComplete(const RequestHead& head, std::string_view input)
{
    FUZZ_CHECK(head.size >= 4 && head.size <= kHeadLimit && head.size <= input.size());
    const std::string_view bytes = input.substr(0, head.size);
    FUZZ_CHECK(bytes.substr(bytes.size() - 4) == "\r\n\r\n");
    // The head ends at the first empty line.
    FUZZ_CHECK(bytes.find("\r\n\r\n") == bytes.size() - 4);
    FUZZ_CHECK(!head.method.empty() && !head.target.empty());
    for (const std::string_view part : {head.method, head.target}) {
        FUZZ_CHECK(within(part, bytes) && oneLine(part));
        FUZZ_CHECK(part.find(' ') == std::string_view::npos);
    }
    FUZZ_CHECK(input.substr(0, head.method.size()) == head.method);
    FUZZ_CHECK(input.substr(head.method.size() + 1, head.target.size()) == head.target);
    // Field values are what came, without the white space around them; never a line break.
    if (head.host)
        FUZZ_CHECK(within(*head.host, bytes) && oneLine(*head.host));
    for (const std::string& value : head.forwardedFor)
        FUZZ_CHECK(within(value, bytes) && oneLine(value));
    for (const std::string& value : head.accept)
        FUZZ_CHECK(within(value, bytes) && oneLine(value));
}

// JSON is chosen only when some Accept value names it.
bool namesJson(const std::vector<std::string>& values)
{
    for (const std::string_view value : values) {
        for (std::size_t at = 0; at + 16 <= value.size(); ++at) {
            if (equalsIgnoringCase(value.substr(at, 16), "application/json"))
                return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::bytes(data, size);
    const HeadParse parse = parseRequestHead(input);

    switch (parse.status) {
    case HeadStatus::NeedMore:
        FUZZ_CHECK(input.size() < kHeadLimit);
        FUZZ_CHECK(input.find("\r\n\r\n") == std::string_view::npos);
        return 0;
    case HeadStatus::TooLarge:
        FUZZ_CHECK(input.size() >= kHeadLimit);
        return 0;
    case HeadStatus::BadRequest: {
        FUZZ_CHECK(!parse.problem.empty());
        // Refused at once means refused for good: more bytes cannot mend it.
        const std::string more = std::string(input) + "\r\nHost: x\r\n\r\n";
        FUZZ_CHECK(parseRequestHead(more).status == HeadStatus::BadRequest);
        return 0;
    }
    case HeadStatus::Complete:
        break;
    }

    const RequestHead& head = parse.head;
    checkComplete(head, input);
    // Every prefix was still waiting: nothing was decided before the head ended. (Two prefixes,
    // to keep each run short.)
    for (const std::size_t cut : {head.size - 1, head.size / 2}) {
        const HeadStatus early = parseRequestHead(input.substr(0, cut)).status;
        FUZZ_CHECK(early == HeadStatus::NeedMore);
    }
    // What follows the head (a body, the next request) changes nothing about it.
    const std::string longer = std::string(input) + "GET / HTTP/1.0\r\n\r\n";
    const HeadParse again = parseRequestHead(longer);
    FUZZ_CHECK(again.status == HeadStatus::Complete && again.head.size == head.size);
    FUZZ_CHECK(again.head.method == head.method && again.head.target == head.target);

    if (prefersJson(head.accept))
        FUZZ_CHECK(namesJson(head.accept));

    // The route to a probe: a GET of the check path with a query the server accepts.
    const auto [path, query] = splitTarget(head.target);
    if (head.method == "GET" && path == wire::kCheckPath) {
        const auto result = parseCheckQuery(query);
        if (const auto* check = std::get_if<CheckQuery>(&result))
            FUZZ_CHECK(check->port >= 1 && check->port <= wire::kMaxPort);
    }
    return 0;
}
