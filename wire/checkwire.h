#pragma once

// What goes over the wire between Quillmere and a check server: the request the program sends
// and the markers it looks for in the reply and in the probe. Both sides include this header, the
// Qt engine and the Qt-free server, so the two cannot drift apart. Standard C++ only.

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere::wire {

inline constexpr std::string_view kCheckPath = "/portcheck3.cgi";
inline constexpr std::string_view kPortParam = "port";
inline constexpr std::string_view kProtocolParam = "protocol";
inline constexpr std::string_view kVersionParam = "version";
inline constexpr std::string_view kVersionValue = "0";
inline constexpr std::string_view kTcpWord = "tcp";
inline constexpr std::string_view kUdpWord = "udp";
inline constexpr std::string_view kUserAgent = "Quillmere/1.0";
inline constexpr std::string_view kHelpPath = "/help/portcheck_help.htm";
inline constexpr unsigned short kDefaultServerPort = 80;
inline constexpr int kMaxPort = 65535; // ports are 16-bit numbers

// Markers, matched case-insensitively anywhere in the exchange; the first occurrence counts.
inline constexpr std::string_view kDone = "-done-";
inline constexpr std::string_view kHttpOk = "200 OK";
inline constexpr std::string_view kTcpOpen = "-tcpopen-";
inline constexpr std::string_view kPingOk = "-ping ok";
inline constexpr std::string_view kIpOpen = "-ip:";
inline constexpr std::string_view kIpClose = "-";
inline constexpr std::string_view kMessageOpen = "<message>";
inline constexpr std::string_view kMessageClose = "</message>";

// How the server's TCP probe ended, as "-probe:WORD-" in the reply. A reply without the marker
// (an older server, or a UDP check) says nothing of it; a client ignores a word it does not know.
inline constexpr std::string_view kProbeEndOpen = "-probe:";
inline constexpr std::string_view kProbeEndClose = "-";

enum class ProbeEnd {
    Connected,   // the handshake completed
    Refused,     // a TCP reset answered the SYN
    TimedOut,    // nothing answered before the connect time-out
    Unreachable, // an ICMP destination unreachable (or administratively prohibited) came back
};

inline constexpr std::string_view probeEndWord(ProbeEnd end)
{
    switch (end) {
    case ProbeEnd::Connected:
        return "connected";
    case ProbeEnd::Refused:
        return "refused";
    case ProbeEnd::TimedOut:
        return "timed-out";
    case ProbeEnd::Unreachable:
        break;
    }
    return "unreachable";
}

// The probe end a word names, compared without regard to case; false for any other word.
inline constexpr bool probeEndFromWord(std::string_view word, ProbeEnd& end)
{
    const auto same = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char c = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
            if (c != b[i])
                return false;
        }
        return true;
    };
    for (const ProbeEnd candidate :
         {ProbeEnd::Connected, ProbeEnd::Refused, ProbeEnd::TimedOut, ProbeEnd::Unreachable}) {
        if (same(word, probeEndWord(candidate))) {
            end = candidate;
            return true;
        }
    }
    return false;
}

// The probe payload must contain this word; finding it on the local port proves the probe came.
inline constexpr std::string_view kProbeWord = "dunmoor";

// The check's token: random hex the server draws anew for every check. It follows the probe word
// in the probe ("dunmoor " then the token) and stands in the reply as "-token:HEX-", so that the
// program counts only the probe of its own check, not the probe word from whoever else can reach
// the port. A reply without the marker comes from a server that sends no token; one whose marker
// holds anything but kTokenMinDigits to kTokenMaxDigits hex digits up to its "-" lets no probe
// count at all.
inline constexpr std::string_view kTokenOpen = "-token:";
inline constexpr std::string_view kTokenClose = "-";
inline constexpr std::string_view kTokenSeparator = " ";
inline constexpr std::size_t kTokenDigits = 32; // 128 bits, what quillmere-server sends
inline constexpr std::size_t kTokenMinDigits = 16;
inline constexpr std::size_t kTokenMaxDigits = 64;

inline constexpr bool isTokenDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What the probe carries for `token`: the probe word, the separator and the token.
inline std::string probeMark(std::string_view token)
{
    std::string mark;
    mark.reserve(kProbeWord.size() + kTokenSeparator.size() + token.size());
    mark.append(kProbeWord).append(kTokenSeparator).append(token);
    return mark;
}

// The whole HTTP/1.0 request, byte for byte: the port text goes in unchanged (leading zeros
// included), the host is what the Host header carries.
inline std::string checkRequest(std::string_view portText, std::string_view protocolWord,
                                std::string_view host)
{
    std::string request;
    request.reserve(128 + portText.size() + host.size());
    request.append("GET ").append(kCheckPath).append("?").append(kPortParam).append("=");
    request.append(portText);
    request.append("&").append(kProtocolParam).append("=").append(protocolWord);
    request.append("&").append(kVersionParam).append("=").append(kVersionValue);
    request.append(" HTTP/1.0\r\n");
    request.append("Host: ").append(host).append("\r\n");
    request.append("User-Agent: ").append(kUserAgent).append("\r\n");
    request.append("\r\n");
    return request;
}

} // namespace quillmere::wire
