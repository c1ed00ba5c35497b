#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

// Where the check server is: a host name or address, and a TCP port (80 unless given).
struct CheckServerAddress
{
    QString host;
    quint16 port = 80;

    // "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT". nullopt for anything else, including
    // host names with characters no host name has.
    static std::optional<CheckServerAddress> parse(QStringView text);

    // The host as the Host header carries it (IPv6 literals in brackets).
    QString hostHeader() const;
    // "HOST" or "HOST:PORT" when the port is not 80.
    QString authority() const;

    friend bool operator==(const CheckServerAddress&, const CheckServerAddress&) = default;
};

inline constexpr char kCheckServerVariable[] = "QUILLMERE_CHECK_SERVER";

// The build-time server, port 80.
CheckServerAddress builtInCheckServer();

// QUILLMERE_CHECK_SERVER when set to a valid address, otherwise the built-in one. When the
// variable is set but unusable, `problem` (if given) says why.
CheckServerAddress checkServerFromEnvironment(const QProcessEnvironment& environment,
                                              QString* problem = nullptr);

// Whether QUILLMERE_CHECK_SERVER names a usable server (and so overrides a saved choice).
bool environmentNamesServer(const QProcessEnvironment& environment);

// "http://" + host + "/help/portcheck_help.htm". The host is the built-in help host when one was
// configured at build time, otherwise the check server's host and port.
QString helpPageUrl(const CheckServerAddress& server);

} // namespace quillmere
