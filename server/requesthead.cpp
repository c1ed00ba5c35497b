#include "server/requesthead.h"

#include "server/asciitext.h"

#include <algorithm>

namespace quillmere::server {

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Visible ASCII: what a request target may hold.
bool isTargetText(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < '\x7f'; });
}

// Visible ASCII, space, tab and bytes from 0x80: what a field value may hold.
bool isFieldText(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\t' || (byte >= ' ' && byte != 0x7f);
    });
}

// What the head's parts say so far; only the first fault counts.
class HeadReader
{
public:
    explicit HeadReader(RequestHead& head)
        : m_head(head)
    {}

    // The request line, without its CRLF; nullptr when it is right, else why not.
    const char* requestLine(std::string_view line)
    {
        const auto firstSpace = line.find(' ');
        const auto secondSpace =
            firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
        if (secondSpace == std::string_view::npos)
            return "the request line has no HTTP version";
        m_head.method = line.substr(0, firstSpace);
        m_head.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        const std::string_view version = line.substr(secondSpace + 1);
        if (!isToken(m_head.method))
            return "the method is not a word";
        if (m_head.target.empty() || !isTargetText(m_head.target))
            return "the request target is empty or holds spaces or control characters";
        if (version.size() != 8 || !version.starts_with("HTTP/1.") || version[7] < '0' ||
            version[7] > '9')
            return "the version is not HTTP/1.x";
        m_head.httpMinor = version[7] == '0' ? 0 : 1;
        return nullptr;
    }

    // A request line that has not ended yet: says whether what came of it can still be right.
    static bool requestLineMayStillBeRight(std::string_view partial)
    {
        const auto firstSpace = partial.find(' ');
        const std::string_view method = partial.substr(0, firstSpace);
        if (!std::all_of(method.begin(), method.end(), isTokenChar))
            return false;
        if (firstSpace == std::string_view::npos)
            return true;
        if (method.empty())
            return false;
        const std::string_view rest = partial.substr(firstSpace + 1);
        return isTargetText(rest.substr(0, rest.find(' ')));
    }

    // One field line, without its CRLF.
    const char* field(std::string_view line)
    {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            return "a header line has no colon";
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        // A folded line starts with white space, and white space before the colon is refused:
        // neither is a token.
        if (!isToken(name))
            return "a header name is not a word";
        if (!isFieldText(value))
            return "a header value holds control characters";
        if (equalsIgnoringCase(name, "Host")) {
            if (m_head.host)
                return "the Host header is given twice";
            m_head.host = value;
        } else if (equalsIgnoringCase(name, "X-Forwarded-For")) {
            m_head.forwardedFor.push_back(value);
        } else if (equalsIgnoringCase(name, "Accept")) {
            m_head.accept.push_back(value);
        } else if (equalsIgnoringCase(name, "Content-Length")) {
            return contentLength(value);
        } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            m_head.hasBody = true;
        }
        return nullptr;
    }

private:
    const char* contentLength(std::string_view value)
    {
        if (value.empty() ||
            !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return "the Content-Length is not a number";
        const auto significant = value.find_first_not_of('0');
        const std::string_view length = significant == std::string_view::npos
                                            ? std::string_view("0")
                                            : value.substr(significant);
        if (!m_contentLength.empty() && m_contentLength != length)
            return "the Content-Length headers disagree";
        m_contentLength = length;
        if (length != "0")
            m_head.hasBody = true;
        return nullptr;
    }

    RequestHead& m_head;
    std::string_view m_contentLength; // without leading zeros; empty when none came
};

} // namespace

HeadParse parseRequestHead(std::string_view received)
{
    const std::string_view window = received.substr(0, std::min(received.size(), kHeadLimit));
    HeadParse result;
    HeadReader reader(result.head);
    const auto refuse = [&result](const char* problem) {
        result = HeadParse{HeadStatus::BadRequest, {}, problem};
        return result;
    };
    bool firstLine = true;
    for (std::size_t start = 0;;) {
        const auto newline = window.find('\n', start);
        if (newline == std::string_view::npos) {
            const std::string_view partial = window.substr(start);
            const auto carriageReturn = partial.find('\r');
            if (carriageReturn != std::string_view::npos && carriageReturn + 1 < partial.size())
                return refuse("a line holds a carriage return");
            if (firstLine && !HeadReader::requestLineMayStillBeRight(partial))
                return refuse("this is not an HTTP request line");
            result.status =
                window.size() >= kHeadLimit ? HeadStatus::TooLarge : HeadStatus::NeedMore;
            return result;
        }
        if (newline == start || window[newline - 1] != '\r')
            return refuse("a line ends without a carriage return");
        const std::string_view line = window.substr(start, newline - 1 - start);
        start = newline + 1;
        const char* problem = nullptr;
        if (firstLine) {
            problem = reader.requestLine(line);
            firstLine = false;
        } else if (line.empty()) {
            result.status = HeadStatus::Complete;
            result.head.size = start;
            return result;
        } else {
            problem = reader.field(line);
        }
        if (problem)
            return refuse(problem);
    }
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
