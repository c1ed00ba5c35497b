#pragma once

#include "engine/checkengine.h"
#include "engine/checkprotocol.h"
#include "engine/checkserver.h"
#include "firewall/detector.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace quillmere::cli {

inline constexpr QStringView kProgramName = u"quillmere-check";

// What a --forward mapping lasts unless --lease says otherwise, and the most --lease takes.
inline constexpr qint64 kDefaultLeaseSeconds = 3600;
inline constexpr qint64 kMaxLeaseSeconds = 7 * 24 * 3600;

// What the command asks of the router on the LAN.
enum class RouterAction {
    Look,      // what it says about the port, beside the check (the default)
    Skip,      // nothing: --no-router
    Forward,   // look, then map the port to this computer when it is not open here: --forward
    Unforward, // only remove the port's mapping to this computer, no check: --unforward PORT
};

// Which address families a check runs over.
enum class FamilyChoice {
    Both, // IPv4, and IPv6 too when this computer and the server both have IPv6 addresses
    IPv4, // -4
    IPv6, // -6
};

// The shortest --watch interval against the built-in server: a watch stays well inside its ten
// checks a minute. A server of one's own may be watched every second.
inline constexpr int kMinBuiltInWatchSeconds = 60;
inline constexpr int kMaxWatchSeconds = 7 * 24 * 3600;

struct CheckOptions
{
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    CheckServerAddress server;
    int timeoutMs = CheckEngine::kTimeoutMs;
    bool logs = false;
    bool json = false;
    // As given: a text the engine reads as a port 0..65535, zeros and all. With Unforward, the
    // port --unforward names.
    QString portText;
    RouterAction router = RouterAction::Look;
    qint64 leaseSeconds = kDefaultLeaseSeconds; // for Forward; 0: until removed
    FamilyChoice families = FamilyChoice::Both;
    bool service = false; // --service: check the running service that holds the port

    bool lookAtFirewall = true; // false: --no-firewall
    // Where the firewall is looked for: the system's, unless a test gives its own.
    firewall::DetectorSources firewallSources;
    firewall::CounterFiles counterFiles;
    int watchSeconds = 0; // --watch: check again every so many seconds; 0: check once
    QString onChange;     // --on-change: the command a watch runs on each change

    // The way in from outside and from inside the LAN.
    bool controlPort = true; // false: --no-control-port
    bool hairpin = true;     // false: --no-hairpin
    int externalPort = 0;    // --external-port: the router port a --forward maps; 0: PORT itself

    // The NAT's behaviour over UDP, after the check (or alone without PORT).
    bool nat = false;   // --nat
    QString stunServer; // --stun HOST[:PORT]; empty: the check server's host on 3478
};

struct ParsedArguments
{
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    CheckOptions options;
    QString error; // one line, for UsageError
};

// `arguments` without the program name. The server is --server, else QUILLMERE_CHECK_SERVER,
// else the built-in one. A pure function of its inputs: it prints nothing and never exits.
ParsedArguments parseArguments(const QStringList& arguments,
                               const QProcessEnvironment& environment);

// What --help prints: QCommandLineParser's help for these options, then the exit statuses.
QString helpText();

// What --version prints, without the line end: "quillmere-check 1.0.39".
QString versionLine();

} // namespace quillmere::cli
