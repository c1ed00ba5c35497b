#include "server/requesthead.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <algorithm>
#include <cstdint>

namespace quillmere::server {

namespace {

namespace http = boost::beast::http;

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The request line as far as it came: whether it can still become a right one. Beast waits for
// more where the line has ended too early ("GET / " and its CRLF), and takes a method it would
// refuse only once a space follows it.
bool requestLineMayStillBeRight(std::string_view window)
{
    const auto lineEnd = window.find("\r\n");
    std::string_view line = window.substr(0, lineEnd);
    if (lineEnd == std::string_view::npos && line.ends_with('\r'))
        line.remove_suffix(1); // its LF is still to come
    const auto firstSpace = line.find(' ');
    const std::string_view method = line.substr(0, firstSpace);
    if (!std::all_of(method.begin(), method.end(), isTokenChar))
        return false;
    if (firstSpace == std::string_view::npos)
        return lineEnd == std::string_view::npos && line.find('\r') == std::string_view::npos;
    const std::string_view rest = line.substr(firstSpace + 1);
    const auto secondSpace = rest.find(' ');
    const std::string_view target = rest.substr(0, secondSpace);
    if (method.empty() ||
        !std::all_of(target.begin(), target.end(), [](char c) { return c > ' ' && c < '\x7f'; }))
        return false;
    if (secondSpace == std::string_view::npos)
        return lineEnd == std::string_view::npos;
    const std::string_view version = rest.substr(secondSpace + 1);
    constexpr std::string_view kVersion = "HTTP/1.";
    if (version.substr(0, kVersion.size()) != kVersion.substr(0, version.size()))
        return false;
    return lineEnd == std::string_view::npos ? version.size() <= kVersion.size() + 1
                                             : version.size() == kVersion.size() + 1;
}

// Every line ends in CRLF: a CR alone or an LF alone is refused as soon as it comes, and so is a
// line that starts with white space (a folded one, which Beast would join to the one before).
bool lineEndsAreRight(std::string_view window)
{
    if (window.find("\r\n ") != std::string_view::npos ||
        window.find("\r\n\t") != std::string_view::npos)
        return false;
    for (std::size_t at = window.find_first_of("\r\n"); at != std::string_view::npos;
         at = window.find_first_of("\r\n", at + 1)) {
        if (window[at] == '\n')
            return false; // an LF without its CR
        if (at + 1 < window.size()) {
            if (window[at + 1] != '\n')
                return false;
            ++at;
        }
    }
    return true;
}

std::vector<std::string> valuesOf(const http::request<http::empty_body>& request,
                                  std::string_view name)
{
    std::vector<std::string> values;
    for (auto [field, end] = request.equal_range(name); field != end; ++field)
        values.emplace_back(field->value());
    return values;
}

} // namespace

HeadParse parseRequestHead(std::string_view received)
{
    const std::string_view window = received.substr(0, std::min(received.size(), kHeadLimit));
    HeadParse result;
    const auto refuse = [&result](std::string problem) {
        result = HeadParse{HeadStatus::BadRequest, {}, std::move(problem)};
        return result;
    };
    if (!requestLineMayStillBeRight(window))
        return refuse("this is not an HTTP request line");
    if (!lineEndsAreRight(window))
        return refuse("a line does not end in CRLF, or is folded");

    http::request_parser<http::empty_body> parser;
    parser.header_limit(std::uint32_t(kHeadLimit));
    parser.eager(false);
    boost::system::error_code error;
    const std::size_t used = parser.put(boost::asio::buffer(window.data(), window.size()), error);
    if (error == http::error::need_more || (!error && !parser.is_header_done())) {
        result.status = window.size() >= kHeadLimit ? HeadStatus::TooLarge : HeadStatus::NeedMore;
        return result;
    }
    if (error == http::error::header_limit) {
        result.status = HeadStatus::TooLarge;
        return result;
    }
    if (error)
        return refuse(error.message());

    const http::request<http::empty_body>& request = parser.get();
    if (request.count(http::field::host) > 1)
        return refuse("the Host header is given twice");
    RequestHead& head = result.head;
    head.method = std::string(request.method_string());
    head.target = std::string(request.target());
    head.httpMinor = request.version() == 10 ? 0 : 1;
    if (const auto host = request.find(http::field::host); host != request.end())
        head.host = std::string(host->value());
    head.forwardedFor = valuesOf(request, "X-Forwarded-For");
    head.accept = valuesOf(request, "Accept");
    const auto length = parser.content_length();
    head.hasBody = (length && *length > 0) || request.count(http::field::transfer_encoding) > 0;
    head.size = used;
    result.status = HeadStatus::Complete;
    return result;
}

bool headWorthParsing(std::string_view received, std::size_t before)
{
    constexpr std::size_t kEarlyBytes = 32;
    const std::string_view fresh = received.substr(before < 3 ? 0 : before - 3);
    const bool requestLineEnded = received.substr(0, before).find('\n') == std::string_view::npos &&
                                  fresh.find('\n') != std::string_view::npos;
    return received.size() <= kEarlyBytes || received.size() >= kHeadLimit || requestLineEnded ||
           fresh.find("\n\r\n") != std::string_view::npos ||
           fresh.find("\n\n") != std::string_view::npos;
}

} // namespace quillmere::server
