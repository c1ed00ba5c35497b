#include "cli/arguments.h"

#include "cli/terminaltext.h"
#include "cli/watchcommand.h"
#include "engine/porttext.h"
#include "engine/version.h"
#include "session/checksession.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <optional>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

// The parser with every option of the command, built afresh for each use so that parsing
// shares no state between calls.
struct CommandLine
{
    CommandLine();

    QCommandLineParser parser;
    const QCommandLineOption help;
    const QCommandLineOption version;
    const QCommandLineOption protocol{u"protocol"_s, u"The protocol to check (default tcp)."_s,
                                      u"tcp|udp"_s};
    const QCommandLineOption server{u"server"_s,
                                    u"The check server (default: QUILLMERE_CHECK_SERVER, else "_s +
                                        builtInCheckServer().authority() + u")."_s,
                                    u"HOST[:PORT]"_s};
    const QCommandLineOption timeout{
        u"timeout"_s, u"Give up on the check server after this long (default 30)."_s, u"SECONDS"_s};
    const QCommandLineOption logs{u"logs"_s, u"Print both exchange logs after the result."_s};
    const QCommandLineOption json{u"json"_s, u"Print one JSON object instead of text lines."_s};
    const QCommandLineOption noRouter{u"no-router"_s,
                                      u"Do not ask the router on the LAN about the port."_s};
    const QCommandLineOption forward{
        u"forward"_s, u"When PORT is not open here, ask the router to forward it to this "_s
                      u"computer, then check again."_s};
    const QCommandLineOption lease{u"lease"_s,
                                   u"How long a --forward mapping lasts (default "_s +
                                       QString::number(kDefaultLeaseSeconds) +
                                       u"; 0: until removed)."_s,
                                   u"SECONDS"_s};
    const QCommandLineOption unforward{
        u"unforward"_s, u"Remove the router's mapping of PORT to this computer; runs no check."_s,
        u"PORT"_s};
    const QCommandLineOption ipv4{QStringList{u"4"_s, u"ipv4"_s},
                                  u"Check over IPv4 only (default: IPv4, and IPv6 too when this "_s
                                  u"computer and the server have IPv6 addresses)."_s};
    const QCommandLineOption ipv6{QStringList{u"6"_s, u"ipv6"_s}, u"Check over IPv6 only."_s};
    const QCommandLineOption service{
        u"service"_s, u"Check the program that already holds PORT, as it runs: open nothing here "_s
                      u"and report whether the server reached it."_s};
    const QCommandLineOption watch{
        u"watch"_s,
        u"Check again every SECONDS until stopped, and print a line at the start and at each "_s
        u"change (at least "_s +
            QString::number(kMinBuiltInWatchSeconds) +
            u" against the built-in server, 1 against another)."_s,
        u"SECONDS"_s};
    const QCommandLineOption onChange{
        u"on-change"_s,
        u"With --watch: run COMMAND (not through a shell) on each change; the old and new "_s
        u"results are in QUILLMERE_* environment variables."_s,
        u"COMMAND"_s};

    // The way in from outside and from inside the LAN.
    const QCommandLineOption noControlPort{
        u"no-control-port"_s,
        u"When the router forwards PORT here and the probe got no answer, do not check a "_s
        u"control port (a random high port mapped for 120 s) to tell a block before this "_s
        u"computer from a closed path."_s};
    const QCommandLineOption noHairpin{
        u"no-hairpin"_s, u"When PORT is open, do not connect once to the external address to "_s
                         u"tell whether devices inside the LAN can use it."_s};
    const QCommandLineOption externalPort{
        u"external-port"_s,
        u"With --forward: map the router's port C, not PORT, to PORT on this computer (a port "_s
        u"your internet provider does not block)."_s,
        u"C"_s};
    // This computer's firewall.
    const QCommandLineOption noFirewall{
        u"no-firewall"_s, u"Do not look at this computer's firewall (its kind, and whether it "_s
                          u"dropped the probe)."_s};

    // The NAT's behaviour over UDP.
    const QCommandLineOption nat{
        u"nat"_s, u"After the check, find how the NAT maps and filters UDP (RFC 5780 tests "_s
                  u"against a STUN server, at most 3 s) and what consoles call it. Without PORT "_s
                  u"it runs alone."_s};
    const QCommandLineOption stun{
        u"stun"_s, u"With --nat: the STUN server (default: the check server's host on 3478)."_s,
        u"HOST[:PORT]"_s};
};

CommandLine::CommandLine()
    : help(parser.addHelpOption())
    , version(parser.addVersionOption())
{
    // QCommandLineParser does not wrap the description: its lines are broken here.
    parser.setApplicationDescription(
        u"Asks the check server to reach PORT of this network from the internet, watches\n"
        u"the port on this computer, and tells whether the port is forwarded here, to\n"
        u"another device, or not at all. Beside the check it asks the router on the LAN\n"
        u"(UPnP IGD, NAT-PMP) what it says about the port."_s);
    parser.addOptions({protocol, server, timeout, logs, json, noRouter, forward, lease, unforward,
                       ipv4, ipv6, service, watch, onChange, noControlPort, noHairpin, externalPort,
                       noFirewall});
    parser.addOptions({nat, stun});
    parser.addPositionalArgument(
        u"PORT"_s, u"The port to check, a number from 0 to 65535; leading zeros are kept."_s,
        u"PORT"_s);
}

std::optional<int> parseTimeout(const QString& text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 24 * 3600)
        return std::nullopt;
    return std::max(1, int(seconds * 1000));
}

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

// Each reader fills its part of `options` and returns the problem, if there is one.
using Problem = std::optional<QString>;

Problem readProtocol(const CommandLine& line, CheckOptions& options)
{
    if (!line.parser.isSet(line.protocol))
        return std::nullopt;
    const QString word = line.parser.value(line.protocol);
    if (word.compare(u"tcp"_s, Qt::CaseInsensitive) == 0)
        options.protocol = ProbeProtocol::Tcp;
    else if (word.compare(u"udp"_s, Qt::CaseInsensitive) == 0)
        options.protocol = ProbeProtocol::Udp;
    else
        return u"--protocol must be tcp or udp, not "_s + quoted(word);
    return std::nullopt;
}

Problem readServer(const CommandLine& line, const QProcessEnvironment& environment,
                   CheckOptions& options)
{
    if (!line.parser.isSet(line.server)) {
        QString problem;
        options.server = checkServerFromEnvironment(environment, &problem);
        return problem.isEmpty() ? Problem() : problem;
    }
    const QString text = line.parser.value(line.server);
    const auto server = CheckServerAddress::parse(text);
    if (!server)
        return u"--server must be HOST[:PORT], not "_s + quoted(text);
    options.server = *server;
    return std::nullopt;
}

Problem readTimeout(const CommandLine& line, CheckOptions& options)
{
    if (!line.parser.isSet(line.timeout))
        return std::nullopt;
    const QString text = line.parser.value(line.timeout);
    const auto ms = parseTimeout(text);
    if (!ms)
        return u"--timeout must be a positive number of seconds, not "_s + quoted(text);
    options.timeoutMs = *ms;
    return std::nullopt;
}

// --no-router, --forward, --lease and --unforward.
Problem readRouter(const CommandLine& line, CheckOptions& options)
{
    const bool skip = line.parser.isSet(line.noRouter);
    const bool forward = line.parser.isSet(line.forward);
    const bool unforward = line.parser.isSet(line.unforward);
    if (forward && unforward)
        return u"--forward and --unforward cannot be used together"_s;
    if (skip && (forward || unforward))
        return (forward ? u"--forward"_s : u"--unforward"_s) +
               u" needs the router: not with --no-router"_s;
    if (line.parser.isSet(line.lease)) {
        if (!forward)
            return u"--lease goes with --forward"_s;
        // Plain digits: "1e3", "+60" or "60.5" would be read as something other than typed.
        const QString text = line.parser.value(line.lease);
        bool ok = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(),
                                                 [](QChar c) { return c >= u'0' && c <= u'9'; });
        const qint64 seconds = ok ? text.toLongLong(&ok) : -1;
        if (!ok || seconds > kMaxLeaseSeconds)
            return u"--lease must be a whole number of seconds from 0 to "_s +
                   QString::number(kMaxLeaseSeconds) + u", not "_s + quoted(text);
        options.leaseSeconds = seconds;
    }
    if (unforward) {
        const QString text = line.parser.value(line.unforward);
        const auto port = plainPortNumber(text);
        if (!port || *port == 0)
            return u"--unforward must name a port from 1 to 65535, not "_s + quoted(text);
        options.portText = text;
        options.router = RouterAction::Unforward;
    } else if (forward) {
        options.router = RouterAction::Forward;
    } else if (skip) {
        options.router = RouterAction::Skip;
    }
    return std::nullopt;
}

// -4, -6 and --service.
Problem readFamilies(const CommandLine& line, CheckOptions& options)
{
    const bool ipv4 = line.parser.isSet(line.ipv4);
    const bool ipv6 = line.parser.isSet(line.ipv6);
    if (ipv4 && ipv6)
        return u"-4 and -6 cannot be used together; without either, both families are checked"_s;
    if (ipv4)
        options.families = FamilyChoice::IPv4;
    if (ipv6) {
        if (options.router == RouterAction::Forward || options.router == RouterAction::Unforward)
            return u"the router forwards IPv4 ports: --forward and --unforward cannot be used "_s
                   u"with -6"_s;
        options.families = FamilyChoice::IPv6;
    }
    options.service = line.parser.isSet(line.service);
    if (options.service && options.router != RouterAction::Look &&
        options.router != RouterAction::Skip)
        return u"--service checks the port as it is: not with --forward or --unforward"_s;
    return std::nullopt;
}

// --watch and --on-change. After the server: the shortest interval depends on whose it is.
Problem readWatch(const CommandLine& line, const QProcessEnvironment& environment,
                  CheckOptions& options)
{
    const bool onChange = line.parser.isSet(line.onChange);
    if (!line.parser.isSet(line.watch))
        return onChange ? Problem(u"--on-change goes with --watch"_s) : std::nullopt;
    if (options.router == RouterAction::Forward || options.router == RouterAction::Unforward)
        return u"--watch only checks: not with --forward or --unforward"_s;
    if (options.logs)
        return u"--watch prints changes, not logs: not with --logs"_s;
    const QString text = line.parser.value(line.watch);
    bool ok =
        !text.isEmpty() && text.size() <= 7 &&
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const int seconds = ok ? text.toInt(&ok) : 0;
    if (!ok || seconds < 1 || seconds > kMaxWatchSeconds)
        return u"--watch must be a whole number of seconds from 1 to "_s +
               QString::number(kMaxWatchSeconds) + u", not "_s + quoted(text);
    const bool builtIn = !line.parser.isSet(line.server) &&
                         !environment.contains(QString::fromLatin1(kCheckServerVariable));
    if (builtIn && seconds < kMinBuiltInWatchSeconds)
        return u"--watch checks the built-in server at most once a minute: SECONDS must be "_s
               u"at least "_s +
               QString::number(kMinBuiltInWatchSeconds) + u", not "_s + quoted(text) +
               u" (a server of your own, named with --server, may be watched more often)"_s;
    options.watchSeconds = seconds;
    // A watch asks the router nothing: it would ask the LAN again at every check.
    options.router = RouterAction::Skip;
    if (onChange) {
        options.onChange = line.parser.value(line.onChange);
        const auto words = splitCommandWords(options.onChange);
        if (!words)
            return u"--on-change has an unterminated quote or a trailing backslash: "_s +
                   quoted(options.onChange);
        if (words->isEmpty())
            return u"--on-change needs a command"_s;
    }
    return std::nullopt;
}

Problem readPort(const CommandLine& line, CheckOptions& options)
{
    const QStringList positional = line.parser.positionalArguments();
    if (options.router == RouterAction::Unforward) {
        if (!positional.isEmpty())
            return u"--unforward names its port itself: no PORT besides it, not "_s +
                   quoted(positional.join(u' '));
        return std::nullopt;
    }
    if (positional.isEmpty())
        return options.nat ? Problem() : Problem(u"PORT is missing"_s);
    if (positional.size() > 1)
        return u"only one PORT may be given, not "_s + quoted(positional.join(u' '));
    // Plain digits naming 0..65535: the engine listens on that port, and the text passes the port
    // field's change check as it is, so it goes to the server as given (leading zeros too). A
    // sign would reach the query string, where "+" reads as a blank.
    const QString& text = positional.front();
    if (!plainPortNumber(text))
        return u"PORT must be a number from 0 to 65535, not "_s + quoted(text);
    if (options.router == RouterAction::Forward && *plainPortNumber(text) == 0)
        return u"--forward needs a PORT from 1 to 65535"_s;
    options.portText = text;
    return std::nullopt;
}

// --no-control-port, --no-hairpin and --external-port. After the router's switches.
Problem readPaths(const CommandLine& line, CheckOptions& options)
{
    options.controlPort = !line.parser.isSet(line.noControlPort);
    options.hairpin = !line.parser.isSet(line.noHairpin);
    if (!line.parser.isSet(line.externalPort))
        return std::nullopt;
    if (options.router != RouterAction::Forward)
        return u"--external-port goes with --forward"_s;
    const QString text = line.parser.value(line.externalPort);
    const auto port = plainPortNumber(text);
    if (!port || *port == 0)
        return u"--external-port must be a port from 1 to 65535, not "_s + quoted(text);
    options.externalPort = *port;
    return std::nullopt;
}

// --nat and --stun. Before the port, which --nat makes optional.
Problem readNat(const CommandLine& line, CheckOptions& options)
{
    options.nat = line.parser.isSet(line.nat);
    if (line.parser.isSet(line.stun)) {
        if (!options.nat)
            return u"--stun goes with --nat"_s;
        const QString text = line.parser.value(line.stun);
        if (!session::stunServerOf(text, options.server))
            return u"--stun must be HOST[:PORT], not "_s + quoted(text);
        options.stunServer = text;
    }
    if (!options.nat)
        return std::nullopt;
    if (line.parser.isSet(line.watch))
        return u"--watch only checks: not with --nat"_s;
    if (options.router == RouterAction::Unforward)
        return u"--unforward runs no check: not with --nat"_s;
    if (line.parser.positionalArguments().isEmpty()) {
        if (options.router == RouterAction::Forward)
            return u"--forward needs a PORT"_s;
        if (options.service)
            return u"--service needs a PORT"_s;
    }
    return std::nullopt;
}

ParsedArguments usageError(const QString& message)
{
    ParsedArguments parsed;
    parsed.action = ParsedArguments::Action::UsageError;
    // One line whatever the arguments hold: they are echoed in it.
    parsed.error = escapeForTerminal(message);
    return parsed;
}

} // namespace

ParsedArguments parseArguments(const QStringList& arguments, const QProcessEnvironment& environment)
{
    CommandLine line;
    // parse(), not process(): process() prints and exits on its own.
    if (!line.parser.parse(QStringList{kProgramName.toString()} + arguments))
        return usageError(line.parser.errorText());

    ParsedArguments parsed;
    // In the order QCommandLineParser::process() answers them.
    if (line.parser.isSet(line.version)) {
        parsed.action = ParsedArguments::Action::Version;
        return parsed;
    }
    if (line.parser.isSet(line.help) || line.parser.isSet(u"help-all"_s)) {
        parsed.action = ParsedArguments::Action::Help;
        return parsed;
    }
    CheckOptions& options = parsed.options;
    options.logs = line.parser.isSet(line.logs);
    options.json = line.parser.isSet(line.json);
    options.lookAtFirewall = !line.parser.isSet(line.noFirewall);
    // In this order: the port depends on --unforward.
    for (const auto& read : std::initializer_list<std::function<Problem()>>{
             [&] { return readProtocol(line, options); },
             [&] { return readTimeout(line, options); }, [&] { return readRouter(line, options); },
             [&] { return readFamilies(line, options); }, [&] { return readPaths(line, options); },
             [&] { return readNat(line, options); }, [&] { return readPort(line, options); },
             [&] { return readServer(line, environment, options); },
             [&] { return readWatch(line, environment, options); }}) {
        if (const Problem problem = read())
            return usageError(*problem);
    }
    return parsed;
}

QString helpText()
{
    return CommandLine().parser.helpText() + uR"(
Exit status:
  0  open on this computer     3  no result from the check server
  1  open on another device    4  the port could not be opened here
  2  not open                  5  --forward or --unforward could not be done
                              64  the command line was wrong
With --service:
  0  reachable                 3  no result from the check server
  2  not reachable             6  UDP: sent, but a silent service cannot be confirmed
                              64  nothing on this computer holds the port
The status is the IPv4 check's, or the IPv6 check's with -6. A --watch ends with 0 on
SIGINT or SIGTERM. With --external-port, --forward checks the router's port C and ends with
0 when it reaches PORT here, 2 when it does not, and 5 when the router made no mapping (over
UDP, 0 when it made one: a UDP mapping from another port is not checked).
With --nat the status stays the check's; with --nat and no PORT:
  0  a STUN server answered    4  no STUN server answered
)"_s;
}

QString versionLine()
{
    return kProgramName.toString() + u' ' + versionText();
}

} // namespace quillmere::cli
