#include "server/replies.h"

#include "wire/checkwire.h"

#include <algorithm>

namespace quillmere::server {

namespace {

std::string_view reasonPhrase(unsigned status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

constexpr std::string_view kPageHead = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                                       "<title>Quillmere port check</title></head>\n<body>\n";
constexpr std::string_view kPageTail = "</body></html>\n";

std::string upper(std::string_view word)
{
    std::string text(word);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
    return text;
}

std::string probeSentence(const Findings& findings)
{
    const std::string port = std::to_string(findings.query.port);
    if (findings.query.protocol == Protocol::Udp) {
        if (findings.outcome == ProbeOutcome::Sent)
            return "A UDP datagram was sent to port " + port +
                   ". Only your computer can tell whether it arrived.";
        return "The UDP datagram to port " + port +
               " could not be sent: your address is not reachable.";
    }
    switch (findings.outcome) {
    case ProbeOutcome::Open:
        return "TCP port " + port + ": " + std::string(wire::kTcpOpen) +
               " (the connection was accepted and the probe was sent).";
    case ProbeOutcome::Closed:
        return "TCP port " + port + " is not open: the connection was refused.";
    case ProbeOutcome::TimedOut:
        return "TCP port " + port + " is not open: no answer in time.";
    default:
        return "TCP port " + port + " is not open: your address is not reachable.";
    }
}

} // namespace

std::string_view outcomeWord(ProbeOutcome outcome)
{
    switch (outcome) {
    case ProbeOutcome::Open:
        return "open";
    case ProbeOutcome::Closed:
        return "closed";
    case ProbeOutcome::TimedOut:
        return "timeout";
    case ProbeOutcome::Sent:
        return "sent";
    case ProbeOutcome::Unreachable:
        break;
    }
    return "unreachable";
}

std::string pageReply(unsigned status, std::string_view contentType, std::string_view body,
                      unsigned httpMinor, std::string_view extraHeaders)
{
    std::string reply;
    reply.reserve(160 + extraHeaders.size() + body.size());
    reply.append(httpMinor == 0 ? "HTTP/1.0 " : "HTTP/1.1 ");
    reply.append(std::to_string(status)).append(" ").append(reasonPhrase(status)).append("\r\n");
    reply.append("Content-Type: ").append(contentType).append("\r\n");
    reply.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    reply.append("Cache-Control: no-store\r\n");
    reply.append("Connection: close\r\n");
    reply.append(extraHeaders);
    reply.append("\r\n");
    reply.append(body);
    return reply;
}

std::string checkReply(const Findings& findings, const ReplyContext& context)
{
    const std::string word = upper(protocolWord(findings.query.protocol));
    std::string body(kPageHead);
    body.append("<h1>Port check: ")
        .append(word)
        .append(" port ")
        .append(std::to_string(findings.query.port))
        .append("</h1>\n");
    body.append("<p>Your address: ")
        .append(wire::kIpOpen)
        .append(addressText(findings.client))
        .append(wire::kIpClose)
        .append("</p>\n");
    if (!findings.token.empty())
        body.append("<p>Check token: ")
            .append(wire::kTokenOpen)
            .append(findings.token)
            .append(wire::kTokenClose)
            .append("</p>\n");
    if (findings.pingAnswered)
        body.append("<p>Ping: ").append(wire::kPingOk).append(" (your router answered).</p>\n");
    else
        body.append("<p>Ping: your router did not answer.</p>\n");
    body.append("<p>").append(probeSentence(findings)).append("</p>\n");
    if (findings.probeEnd)
        body.append("<p>Probe: ")
            .append(wire::kProbeEndOpen)
            .append(wire::probeEndWord(*findings.probeEnd))
            .append(wire::kProbeEndClose)
            .append("</p>\n");
    if (!context.message.empty())
        body.append("<p>")
            .append(wire::kMessageOpen)
            .append(context.message)
            .append(wire::kMessageClose)
            .append("</p>\n");
    body.append("<p>").append(wire::kDone).append("</p>\n");
    body.append(kPageTail);
    return pageReply(200, "text/html; charset=utf-8", body, context.httpMinor);
}

std::string refusalReply(unsigned status, std::string_view reason, unsigned httpMinor,
                         unsigned retryAfter)
{
    std::string body(kPageHead);
    body.append("<p>")
        .append(wire::kMessageOpen)
        .append(reason)
        .append(wire::kMessageClose)
        .append("</p>\n");
    body.append(kPageTail);
    const std::string headers =
        retryAfter ? "Retry-After: " + std::to_string(retryAfter) + "\r\n" : std::string();
    return pageReply(status, "text/html; charset=utf-8", body, httpMinor, headers);
}

std::string jsonString(std::string_view text)
{
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string json;
    json.reserve(text.size() + 2);
    json.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            json.append("\\\"");
            break;
        case '\\':
            json.append("\\\\");
            break;
        case '\n':
            json.append("\\n");
            break;
        case '\r':
            json.append("\\r");
            break;
        case '\t':
            json.append("\\t");
            break;
        default:
            if (byte < 0x20 || byte >= 0x7f) {
                json.append("\\u00").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0x0F]);
            } else {
                json.push_back(c);
            }
        }
    }
    json.push_back('"');
    return json;
}

namespace {

constexpr std::string_view kJsonType = "application/json";

// The probe's outcome as the JSON reply's "reachable".
std::string_view reachableJson(const Findings& findings)
{
    switch (findings.outcome) {
    case ProbeOutcome::Open:
        return "true";
    case ProbeOutcome::Sent:
        return "null";
    case ProbeOutcome::Closed:
    case ProbeOutcome::TimedOut:
    case ProbeOutcome::Unreachable:
        break;
    }
    return "false";
}

} // namespace

std::string checkReplyJson(const Findings& findings, const ReplyContext& context)
{
    std::string body = "{\"address\":" + jsonString(addressText(findings.client));
    body.append(",\"port\":").append(std::to_string(findings.query.port));
    body.append(",\"protocol\":").append(jsonString(protocolWord(findings.query.protocol)));
    body.append(",\"reachable\":").append(reachableJson(findings));
    body.append(",\"outcome\":").append(jsonString(outcomeWord(findings.outcome)));
    body.append(",\"probe\":")
        .append(findings.probeEnd ? jsonString(wire::probeEndWord(*findings.probeEnd))
                                  : std::string("null"));
    body.append(",\"ping\":").append(findings.pingAnswered ? "true" : "false");
    body.append(",\"message\":")
        .append(context.message.empty() ? std::string("null") : jsonString(context.message));
    body.append(",\"token\":")
        .append(findings.token.empty() ? std::string("null") : jsonString(findings.token));
    body.append("}\n");
    return pageReply(200, kJsonType, body, context.httpMinor);
}

std::string refusalReplyJson(unsigned status, std::string_view reason, unsigned httpMinor,
                             unsigned retryAfter)
{
    std::string body = "{\"status\":" + std::to_string(status);
    body.append(",\"error\":").append(jsonString(reasonPhrase(status)));
    body.append(",\"message\":").append(jsonString(reason));
    std::string headers;
    if (retryAfter) {
        body.append(",\"retry_after\":").append(std::to_string(retryAfter));
        headers = "Retry-After: " + std::to_string(retryAfter) + "\r\n";
    }
    body.append("}\n");
    return pageReply(status, kJsonType, body, httpMinor, headers);
}

bool isValidMessage(std::string_view message)
{
    if (message.size() > 400 || !std::all_of(message.begin(), message.end(), [](char c) {
            return c >= 0x20 && c <= 0x7E && c != '<' && c != '>';
        }))
        return false;
    // The program reads markers anywhere in the reply, the message included.
    std::string lower(message);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    for (const std::string_view marker : {wire::kDone, wire::kTcpOpen, wire::kPingOk, wire::kIpOpen,
                                          wire::kTokenOpen, wire::kProbeEndOpen}) {
        if (lower.find(marker) != std::string::npos)
            return false;
    }
    return true;
}

} // namespace quillmere::server
