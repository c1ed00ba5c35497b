#pragma once

// The texts the program sends to the check server and the markers it looks for in what comes
// back. The server's reply is never parsed as HTTP: the verdict is taken from these markers,
// searched case-insensitively in the exchange logs, first occurrence counting.

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

namespace marker {
inline constexpr QLatin1StringView kDone{"-done-"};
inline constexpr QLatin1StringView kHttpOk{"200 OK"};
inline constexpr QLatin1StringView kTcpOpen{"-tcpopen-"};
inline constexpr QLatin1StringView kProbe{"dunmoor"};
inline constexpr QLatin1StringView kPingOk{"-ping ok"};
inline constexpr QLatin1StringView kIpOpen{"-ip:"};
inline constexpr QLatin1StringView kIpClose{"-"};
inline constexpr QLatin1StringView kMessageOpen{"<message>"};
inline constexpr QLatin1StringView kMessageClose{"</message>"};
} // namespace marker

enum class ProbeProtocol { Tcp = 0, Udp = 1 };

// "tcp" or "udp", always lower case.
QLatin1StringView protocolWord(ProbeProtocol protocol);

// The whole HTTP/1.0 request, byte for byte. The port text goes into the query unchanged
// (leading zeros included); the host is what the Host header carries.
QByteArray buildCheckRequest(QStringView portText, ProbeProtocol protocol, QStringView hostHeader);

bool containsMarker(QStringView text, QLatin1StringView marker);

// The text between the first `open` and the first `close` that follows it. nullopt when `open`
// does not occur; an empty text when it occurs but no `close` follows.
std::optional<QString> extractDelimited(QStringView text, QLatin1StringView open,
                                        QLatin1StringView close);

} // namespace quillmere
