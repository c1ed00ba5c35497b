#include "cli/arguments.h"

#include "cli/terminaltext.h"
#include "engine/porttext.h"
#include "engine/version.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
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
};

CommandLine::CommandLine()
    : help(parser.addHelpOption())
    , version(parser.addVersionOption())
{
    // QCommandLineParser does not wrap the description: its lines are broken here.
    parser.setApplicationDescription(
        u"Asks the check server to reach PORT of this network from the internet, watches\n"
        u"the port on this computer, and tells whether the port is forwarded here, to\n"
        u"another device, or not at all."_s);
    parser.addOptions({protocol, server, timeout, logs, json});
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

Problem readPort(const CommandLine& line, CheckOptions& options)
{
    const QStringList positional = line.parser.positionalArguments();
    if (positional.isEmpty())
        return u"PORT is missing"_s;
    if (positional.size() > 1)
        return u"only one PORT may be given, not "_s + quoted(positional.join(u' '));
    // Plain digits naming 0..65535: the engine listens on that port, and the text passes the port
    // field's change check as it is, so it goes to the server as given (leading zeros too). A
    // sign would reach the query string, where "+" reads as a blank.
    const QString& text = positional.front();
    if (!plainPortNumber(text))
        return u"PORT must be a number from 0 to 65535, not "_s + quoted(text);
    options.portText = text;
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
    for (const Problem& problem :
         {readProtocol(line, options), readTimeout(line, options), readPort(line, options),
          readServer(line, environment, options)}) {
        if (problem)
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
  2  not open                 64  the command line was wrong
)"_s;
}

QString versionLine()
{
    return kProgramName.toString() + u' ' + versionText();
}

} // namespace quillmere::cli
