#pragma once

// The texts the program sends to the check server and the markers it looks for in what comes
// back. The server's reply is never parsed as HTTP: the verdict is taken from these markers,
// searched case-insensitively in the exchange logs, first occurrence counting.

#include "common/probeprotocol.h"
#include "wire/checkwire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

namespace marker {
constexpr QLatin1StringView fromWire(std::string_view text)
{
    return QLatin1StringView(text.data(), qsizetype(text.size()));
}
inline constexpr QLatin1StringView kDone = fromWire(wire::kDone);
inline constexpr QLatin1StringView kHttpOk = fromWire(wire::kHttpOk);
inline constexpr QLatin1StringView kTcpOpen = fromWire(wire::kTcpOpen);
inline constexpr QLatin1StringView kProbe = fromWire(wire::kProbeWord);
inline constexpr QLatin1StringView kPingOk = fromWire(wire::kPingOk);
inline constexpr QLatin1StringView kIpOpen = fromWire(wire::kIpOpen);
inline constexpr QLatin1StringView kIpClose = fromWire(wire::kIpClose);
inline constexpr QLatin1StringView kMessageOpen = fromWire(wire::kMessageOpen);
inline constexpr QLatin1StringView kMessageClose = fromWire(wire::kMessageClose);
inline constexpr QLatin1StringView kTokenOpen = fromWire(wire::kTokenOpen);
inline constexpr QLatin1StringView kTokenClose = fromWire(wire::kTokenClose);
inline constexpr QLatin1StringView kProbeEndOpen = fromWire(wire::kProbeEndOpen);
inline constexpr QLatin1StringView kProbeEndClose = fromWire(wire::kProbeEndClose);
} // namespace marker

// The whole HTTP/1.0 request, byte for byte. The port text goes into the query unchanged
// (leading zeros included); the host is what the Host header carries.
QByteArray buildCheckRequest(QStringView portText, ProbeProtocol protocol, QStringView hostHeader);

bool containsMarker(QStringView text, QLatin1StringView marker);

// The text between the first `open` and the first `close` that follows it. nullopt when `open`
// does not occur; an empty text when it occurs but no `close` follows.
std::optional<QString> extractDelimited(QStringView text, QLatin1StringView open,
                                        QLatin1StringView close);

// How the server's TCP probe ended, from the reply's first "-probe:" marker; nullopt when there is
// none or it names no end this program knows.
std::optional<wire::ProbeEnd> findProbeEnd(QStringView httpLog);

// The check's token as the reply gives it at its first "-token:" marker.
struct ProbeToken
{
    enum class State {
        Absent,    // no marker: the server sends no token
        Valid,     // kTokenMinDigits to kTokenMaxDigits hex digits, then "-"
        Malformed, // a marker with anything else after it
    };
    State state = State::Absent;
    QString digits; // as sent, when Valid
};
ProbeToken findProbeToken(QStringView httpLog);

// A check server's refusal to run the check: the reply's status is 429 (too many checks from
// this address) or 503 (the server is busy), and its Retry-After header may say how many seconds
// to wait before the next check.
struct ServerRefusal
{
    static constexpr int kMaxRetryAfterSeconds = 24 * 3600; // longer asks are taken as this

    int status = 0;
    std::optional<int> retryAfterSeconds; // nullopt: no header, or one that is not a number
    friend bool operator==(const ServerRefusal&, const ServerRefusal&) = default;
};
// Reads the refusal from the first bytes of the reply: its status line, then its headers up to
// the blank line (or as far as they go). nullopt for any other reply, or one that is not HTTP.
std::optional<ServerRefusal> findRefusal(QByteArrayView replyHead);

// Whether the listener log holds this check's probe. With a valid token in the reply only the
// probe word followed by that token counts; a malformed token lets nothing count; a reply without
// one leaves the probe word alone to count, wherever it stands.
bool probeArrived(QStringView httpLog, QStringView listenerLog);

} // namespace quillmere
