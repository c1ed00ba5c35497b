#pragma once

// The replies the server sends. Every reply is one buffer, written in one go, so that the markers
// reach the program in as few pieces as the network allows; the connection closes after it.

#include "server/addresses.h"
#include "server/checkquery.h"
#include "wire/checkwire.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillmere::server {

// What became of the probe of the requested port.
enum class ProbeOutcome {
    Open,        // tcp: the connection was accepted and the payload sent
    Closed,      // tcp: refused
    TimedOut,    // tcp: no answer within the connect time-out
    Unreachable, // the network said the address cannot be reached, or the probe could not start
    Sent,        // udp: the datagram went out
};

// "open", "closed", "timeout", "unreachable", "sent": the access log's words.
std::string_view outcomeWord(ProbeOutcome outcome);

struct Findings
{
    Address client;
    CheckQuery query;
    ProbeOutcome outcome = ProbeOutcome::Unreachable;
    bool pingAnswered = false;
    std::string token; // the check's token, as the probe carried it; empty for none
    std::optional<wire::ProbeEnd> probeEnd = std::nullopt; // how the TCP probe ended; none for UDP
};

// HTTP minor version of the request: 0 for HTTP/1.0, 1 for HTTP/1.1.
struct ReplyContext
{
    unsigned httpMinor = 0;
    std::string_view message; // the operator's message, empty for none
};

// The check's outcome: status 200, an HTML page a person can read, carrying the markers
// "-ip:ADDR-", "-token:HEX-" (when the check has a token), "-ping ok" (when the echo was answered),
// "-tcpopen-" (when the TCP probe was accepted), "-probe:WORD-" (how the TCP probe ended: see
// wire::probeEndWord), the operator's message, and "-done-" last.
std::string checkReply(const Findings& findings, const ReplyContext& context);

// A check that was not run: an HTML page whose reason sits between "<message>" and
// "</message>", so that the program shows it. `retryAfter` seconds, when not 0, go into a
// Retry-After header.
std::string refusalReply(unsigned status, std::string_view reason, unsigned httpMinor,
                         unsigned retryAfter = 0);

// The same two as JSON, for scripts that ask for it (see negotiation.h). A check gives
// {"address", "port", "protocol", "reachable", "outcome", "probe", "ping", "message", "token"}:
// reachable is true when the TCP probe was accepted, false when the probe did not get through,
// and null for a UDP datagram that went out (only the client can tell whether it arrived);
// probe is the probe end's word ("connected", "refused", "timed-out", "unreachable"), null for
// UDP; message is null without one. A refusal gives {"status", "error", "message"} and
// "retry_after" with `retryAfter`, which also goes into a Retry-After header.
std::string checkReplyJson(const Findings& findings, const ReplyContext& context);
std::string refusalReplyJson(unsigned status, std::string_view reason, unsigned httpMinor,
                             unsigned retryAfter = 0);

// `text` as a JSON string, quotes included. Bytes from 0x80 are taken as Latin-1, so the result
// is ASCII and valid JSON whatever `text` holds.
std::string jsonString(std::string_view text);

// Any other reply, with its content type.
std::string pageReply(unsigned status, std::string_view contentType, std::string_view body,
                      unsigned httpMinor, std::string_view extraHeaders = {});

// A message an operator may configure: printable ASCII without '<' or '>' (the program shows it
// as plain text, a browser as HTML, and both must show the same), at most 400 characters, and
// without the markers "-done-", "-tcpopen-", "-ping ok", "-ip:", "-token:" and "-probe:" in any
// case, which would change the verdict.
bool isValidMessage(std::string_view message);

} // namespace quillmere::server
