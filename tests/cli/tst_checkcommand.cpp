// quillmere-check: its command line, and the built program run end to end against a scripted
// check server in this process.

#include "cli/arguments.h"
#include "cli/logentries.h"
#include "cli/reportlines.h"
#include "cli/terminaltext.h"
#include "engine/exchangelog.h"
#include "router/lan.h"
#include "tests/cli/clitestkit.h"
#include "tests/engine/enginetestkit.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr int kRunWait = 90000;

struct Run
{
    int exitCode = -1;
    bool crashed = true;
    QString out;
    QString err;
    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
};

// Runs the program and lets this process's event loop (and the scripted server in it) go on
// until it ends. `serverVariable` is the environment's server setting; empty: not set.
void runCheck(const QStringList& arguments, Run& run, const QString& serverVariable = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QString::fromLatin1(kCheckServerVariable));
    if (!serverVariable.isEmpty())
        environment.insert(QString::fromLatin1(kCheckServerVariable), serverVariable);
    QProcess process;
    process.setProcessEnvironment(environment);
    QSignalSpy finished(&process, &QProcess::finished);
    // This computer's firewall is left alone: the lines here are the check's and the router's
    // (tests/firewall covers the Firewall: line).
    process.start(QString::fromUtf8(QUILLMERE_CHECK_PROGRAM),
                  QStringList{u"--no-firewall"_s} + arguments);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunWait);
    run.exitCode = process.exitCode();
    run.crashed = process.exitStatus() != QProcess::NormalExit;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    if (run.out.contains(u"\nExternal IP: "_s))
        QVERIFY2(takeLoopbackNote(run.out), qPrintable(run.out));
}

QString serverAddress(const ScriptedCheckServer& server)
{
    return u"127.0.0.1:"_s + QString::number(server.port());
}

// The two log sections --logs prints after the result lines.
struct PrintedLogs
{
    qsizetype resultLines = -1;
    QString http;
    QString listener;
};

PrintedLogs printedLogs(const QString& out)
{
    const QString httpHeading = u"--- HTTP Log ---\n"_s;
    const QString listenerHeading = u"--- PortCheck Log ---\n"_s;
    const qsizetype http = out.indexOf(u'\n' + httpHeading);
    const qsizetype listener = out.indexOf(listenerHeading);
    if (http < 0 || listener < http)
        return {};
    const qsizetype httpStart = http + 1 + httpHeading.size();
    return {out.left(http).count(u'\n') + 1, out.mid(httpStart, listener - httpStart),
            out.mid(listener + listenerHeading.size())};
}

// The lines of a printed log: each entry on one line of its own, ended by CR LF, with no other
// CR or LF anywhere.
QStringList printedLogLines(const QString& log)
{
    if (!log.endsWith(u"\r\n"_s))
        return {u"(log without its last line end)"_s};
    const QStringList lines = logLines(log);
    for (const QString& line : lines) {
        if (line.contains(u'\r') || line.contains(u'\n'))
            return {u"(lone CR or LF in) "_s + line};
    }
    return lines;
}

// The program is run with --no-router: it would ask the router of the LAN this test runs on.
// tst_checkrouter runs the command with a scripted router instead.
QStringList serverArgs(const ScriptedCheckServer& server)
{
    return {u"--no-router"_s, u"--server"_s, serverAddress(server)};
}

enum class Scenario { OpenHere, OtherDevice, NotOpen, OkWithoutDone, Unreachable, Locked };

} // namespace

class TestCheckCommand : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void usageErrorIsOneEscapedLine_data() { addUsageErrorRows(); }
    void usageErrorIsOneEscapedLine();
    void everyUsageErrorExits64_data() { addUsageErrorRows(); }
    void everyUsageErrorExits64();
    void portTextKeptAsGiven_data();
    void portTextKeptAsGiven();
    void routerOptionsRead();
    void pathOptionsRead();
    void familyServiceAndWatchOptionsRead();
    void helpAndVersionRunNoCheck_data();
    void helpAndVersionRunNoCheck();

    void logEntryEndsOnlyWhereTheLogEndedIt();
    void logWithoutEntriesEndsItsLine();
    void terminalTextEscapesWhatReordersOrHides_data();
    void terminalTextEscapesWhatReordersOrHides();

    void openPortPrintsFourResultLines();
    void exitStatusFollowsVerdict_data();
    void exitStatusFollowsVerdict();
    void logsPrintedAfterResult();
    void jsonCarriesExactTexts();
    void jsonSaysWhyThereIsNoResult();
    void jsonCarriesTheServersProbeEnd_data();
    void jsonCarriesTheServersProbeEnd();
    void replyControlCharactersEscaped();
    void networkLineBreaksInLogsEscaped();
    void floodedLogEndsWithItsNoticeLine();
    void openPortSaysHowToReachItFromInside();

private:
    static void addUsageErrorRows();
};

namespace {

cli::ParsedArguments parse(const QStringList& arguments, const QString& serverVariable)
{
    QProcessEnvironment environment;
    if (!serverVariable.isEmpty())
        environment.insert(QString::fromLatin1(kCheckServerVariable), serverVariable);
    return cli::parseArguments(arguments, environment);
}

} // namespace

// Arguments (and a QUILLMERE_CHECK_SERVER value; empty: not set) that are wrong, and a part of
// the one line that says so.
void TestCheckCommand::addUsageErrorRows()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("error");

    const QString none;
    QTest::newRow("no port") << QStringList{} << none << u"PORT is missing"_s;
    QTest::newRow("two ports") << QStringList{u"1"_s, u"2"_s} << none
                               << u"only one PORT may be given, not \"1 2\""_s;
    // A PORT the engine reads no port 0..65535 from: it could only fail as a locked port.
    const QString portError = u"PORT must be a number from 0 to 65535, not "_s;
    QTest::newRow("negative port")
        << QStringList{u"--"_s, u"-1"_s} << none << portError + u"\"-1\""_s;
    QTest::newRow("port over 65535")
        << QStringList{u"65536"_s} << none << portError + u"\"65536\""_s;
    QTest::newRow("port over 32 bits") << QStringList{u"4294967376"_s} << none << portError;
    QTest::newRow("port no number") << QStringList{u"http"_s} << none << portError;
    QTest::newRow("port with a plus sign")
        << QStringList{u"+80"_s} << none << portError + u"\"+80\""_s;
    QTest::newRow("port in hex") << QStringList{u"0x50"_s} << none << portError;
    QTest::newRow("port with a space") << QStringList{u" 80"_s} << none << portError;
    QTest::newRow("empty port") << QStringList{QString()} << none << portError + u"\"\""_s;
    QTest::newRow("bad protocol") << QStringList{u"--protocol"_s, u"sctp"_s, u"1"_s} << none
                                  << u"--protocol must be tcp or udp, not \"sctp\""_s;
    QTest::newRow("no protocol") << QStringList{u"1"_s, u"--protocol"_s} << none
                                 << u"Missing value after '--protocol'"_s;
    QTest::newRow("line break in a value")
        << QStringList{u"--protocol"_s, u"tcp\nudp"_s, u"80"_s} << none
        << u"--protocol must be tcp or udp, not \"tcp\\nudp\""_s;
    QTest::newRow("header injection")
        << QStringList{u"--server=h\r\nX: y"_s, u"1"_s} << none << u"not \"h\\r\\nX: y\""_s;
    QTest::newRow("no server") << QStringList{u"1"_s, u"--server"_s} << none
                               << u"Missing value after '--server'"_s;
    QTest::newRow("zero timeout") << QStringList{u"--timeout"_s, u"0"_s, u"1"_s} << none
                                  << u"--timeout must be a positive number of seconds"_s;
    QTest::newRow("endless timeout")
        << QStringList{u"--timeout=inf"_s, u"1"_s} << none << u"--timeout must be"_s;
    QTest::newRow("flag with value")
        << QStringList{u"--logs=yes"_s, u"1"_s} << none << u"Unexpected value after '--logs'"_s;
    QTest::newRow("unknown short option")
        << QStringList{u"-p"_s, u"1"_s} << none << u"Unknown option 'p'"_s;
    QTest::newRow("unknown long option")
        << QStringList{u"--bogus"_s, u"1"_s} << none << u"Unknown option 'bogus'"_s;
    QTest::newRow("line break in an option")
        << QStringList{u"--a\nb"_s, u"1"_s} << none << u"Unknown option 'a\\nb'"_s;
    // As QCommandLineParser::process() does: a wrong command line is reported before help.
    QTest::newRow("help with an unknown option")
        << QStringList{u"--help"_s, u"--bogus"_s} << none << u"Unknown option 'bogus'"_s;
    QTest::newRow("external port without forward")
        << QStringList{u"--external-port"_s, u"50123"_s, u"80"_s} << none
        << u"--external-port goes with --forward"_s;
    QTest::newRow("external port 0")
        << QStringList{u"--forward"_s, u"--external-port=0"_s, u"80"_s} << none
        << u"--external-port must be a port from 1 to 65535, not \"0\""_s;
    QTest::newRow("external port over 65535")
        << QStringList{u"--forward"_s, u"--external-port=65536"_s, u"80"_s} << none
        << u"--external-port must be a port from 1 to 65535, not \"65536\""_s;
    QTest::newRow("external port no number")
        << QStringList{u"--forward"_s, u"--external-port=+80"_s, u"80"_s} << none
        << u"--external-port must be a port from 1 to 65535, not \"+80\""_s;
    QTest::newRow("via without forward") << QStringList{u"--via=pcp"_s, u"80"_s} << none
                                         << u"--via goes with --forward or --unforward"_s;
    QTest::newRow("via unknown") << QStringList{u"--forward"_s, u"--via=PCP\x1b[2J"_s, u"80"_s}
                                 << none
                                 << u"--via must be upnp, pcp or natpmp, not \"PCP\\x1b[2J\""_s;
    QTest::newRow("via empty") << QStringList{u"--unforward=80"_s, u"--via="_s} << none
                               << u"--via must be upnp, pcp or natpmp, not \"\""_s;
    QTest::newRow("forward and unforward")
        << QStringList{u"--forward"_s, u"--unforward=80"_s} << none
        << u"--forward and --unforward cannot be used together"_s;
    QTest::newRow("forward without the router")
        << QStringList{u"--no-router"_s, u"--forward"_s, u"80"_s} << none
        << u"--forward needs the router: not with --no-router"_s;
    QTest::newRow("unforward without the router")
        << QStringList{u"--unforward"_s, u"80"_s, u"--no-router"_s} << none
        << u"--unforward needs the router"_s;
    QTest::newRow("forward port 0")
        << QStringList{u"--forward"_s, u"0"_s} << none << u"--forward needs a PORT from 1"_s;
    QTest::newRow("lease without forward")
        << QStringList{u"--lease"_s, u"60"_s, u"80"_s} << none << u"--lease goes with --forward"_s;
    QTest::newRow("lease with unforward") << QStringList{u"--lease=60"_s, u"--unforward=80"_s}
                                          << none << u"--lease goes with --forward"_s;
    const QString leaseError =
        u"--lease must be a whole number of seconds from 0 to 604800, not "_s;
    QTest::newRow("lease negative") << QStringList{u"--forward"_s, u"--lease=-1"_s, u"80"_s} << none
                                    << leaseError + u"\"-1\""_s;
    QTest::newRow("lease over a week")
        << QStringList{u"--forward"_s, u"--lease=604801"_s, u"80"_s} << none << leaseError;
    QTest::newRow("lease huge") << QStringList{u"--forward"_s, u"--lease=99999999999999999999999"_s,
                                               u"80"_s}
                                << none << leaseError;
    QTest::newRow("lease fraction")
        << QStringList{u"--forward"_s, u"--lease=1.5"_s, u"80"_s} << none << leaseError;
    QTest::newRow("lease with a plus sign")
        << QStringList{u"--forward"_s, u"--lease=+60"_s, u"80"_s} << none << leaseError;
    QTest::newRow("lease empty") << QStringList{u"--forward"_s, u"--lease="_s, u"80"_s} << none
                                 << leaseError + u"\"\""_s;
    QTest::newRow("lease with a line break")
        << QStringList{u"--forward"_s, u"--lease=6\n0"_s, u"80"_s} << none
        << leaseError + u"\"6\\n0\""_s;
    const QString unforwardError = u"--unforward must name a port from 1 to 65535, not "_s;
    QTest::newRow("unforward port 0")
        << QStringList{u"--unforward=0"_s} << none << unforwardError + u"\"0\""_s;
    QTest::newRow("unforward port over 65535")
        << QStringList{u"--unforward=65536"_s} << none << unforwardError;
    QTest::newRow("unforward no number")
        << QStringList{u"--unforward=http"_s} << none << unforwardError;
    QTest::newRow("unforward without its port")
        << QStringList{u"--unforward"_s} << none << u"Missing value after '--unforward'"_s;
    QTest::newRow("unforward and PORT")
        << QStringList{u"--unforward=80"_s, u"81"_s} << none
        << u"--unforward names its port itself: no PORT besides it, not \"81\""_s;
    QTest::newRow("bad environment")
        << QStringList{u"1"_s} << u"host:99999"_s << u"QUILLMERE_CHECK_SERVER is not HOST[:PORT]"_s;
    QTest::newRow("both families")
        << QStringList{u"-4"_s, u"-6"_s, u"80"_s} << none << u"-4 and -6 cannot be used together"_s;
    QTest::newRow("another external port over IPv6")
        << QStringList{u"--forward"_s, u"-6"_s, u"--external-port=81"_s, u"80"_s} << none
        << u"--external-port maps an IPv4 port: not with -6"_s;
    QTest::newRow("service and forward") << QStringList{u"--service"_s, u"--forward"_s, u"80"_s}
                                         << none << u"--service checks the port as it is"_s;
    QTest::newRow("on-change without watch") << QStringList{u"--on-change=true"_s, u"80"_s} << none
                                             << u"--on-change goes with --watch"_s;
    const QString watchError =
        u"--watch must be a whole number of seconds from 1 to 604800, not "_s;
    QTest::newRow("watch zero") << QStringList{u"--watch=0"_s, u"--server=h"_s, u"80"_s} << none
                                << watchError + u"\"0\""_s;
    QTest::newRow("watch fraction")
        << QStringList{u"--watch=0.5"_s, u"--server=h"_s, u"80"_s} << none << watchError;
    QTest::newRow("watch huge") << QStringList{u"--watch=99999999999"_s, u"--server=h"_s, u"80"_s}
                                << none << watchError;
    QTest::newRow("watch with a sign")
        << QStringList{u"--watch=+60"_s, u"80"_s} << none << watchError;
    QTest::newRow("watch and forward") << QStringList{u"--watch=60"_s, u"--forward"_s, u"80"_s}
                                       << none << u"--watch only checks"_s;
    QTest::newRow("watch and logs") << QStringList{u"--watch=60"_s, u"--logs"_s, u"80"_s} << none
                                    << u"--watch prints changes, not logs"_s;
    QTest::newRow("on-change unterminated")
        << QStringList{u"--watch=60"_s, u"--on-change=sh -c 'x"_s, u"80"_s} << none
        << u"--on-change has an unterminated quote"_s;
    QTest::newRow("on-change blank") << QStringList{u"--watch=60"_s, u"--on-change= "_s, u"80"_s}
                                     << none << u"--on-change needs a command"_s;
}

void TestCheckCommand::usageErrorIsOneEscapedLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QString, error);

    const cli::ParsedArguments parsed = parse(arguments, variable);
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::UsageError);
    QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
    for (QChar c : parsed.error) // one line, whatever the arguments hold
        QVERIFY(c.unicode() >= 0x20);
}

void TestCheckCommand::everyUsageErrorExits64()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, variable);
    QFETCH(QString, error);

    // A server is at hand; no wrong command line may reach it.
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Run run;
    runCheck(arguments, run, variable.isEmpty() ? serverAddress(server) : variable);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 64);
    QVERIFY(!run.crashed);
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, u"quillmere-check: "_s + parse(arguments, variable).error + u'\n');
    QVERIFY2(run.err.contains(error), qPrintable(run.err));
    QVERIFY(server.requests().isEmpty());
}

void TestCheckCommand::portTextKeptAsGiven_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("plain") << u"8080"_s;
    QTest::newRow("leading zeros") << u"0080"_s;
    QTest::newRow("lowest") << u"0"_s;
    QTest::newRow("highest") << u"65535"_s;
}

void TestCheckCommand::portTextKeptAsGiven()
{
    QFETCH(QString, port);
    const cli::ParsedArguments parsed = parse({u"--protocol=udp"_s, port}, QString());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(parsed.options.portText, port);
    QCOMPARE(parsed.options.protocol, ProbeProtocol::Udp);
}

void TestCheckCommand::routerOptionsRead()
{
    const cli::ParsedArguments plain = parse({u"80"_s}, QString());
    QCOMPARE(plain.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(plain.options.router, cli::RouterAction::Look);
    QCOMPARE(plain.options.leaseSeconds, 3600);

    const cli::ParsedArguments skip = parse({u"--no-router"_s, u"80"_s}, QString());
    QCOMPARE(skip.options.router, cli::RouterAction::Skip);

    const cli::ParsedArguments forward =
        parse({u"--forward"_s, u"--lease"_s, u"0"_s, u"8080"_s}, QString());
    QCOMPARE(forward.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(forward.options.router, cli::RouterAction::Forward);
    QCOMPARE(forward.options.leaseSeconds, 0); // until removed
    QCOMPARE(forward.options.portText, u"8080"_s);
    QCOMPARE(parse({u"--forward"_s, u"--lease=604800"_s, u"1"_s}, QString()).options.leaseSeconds,
             604800);
    QCOMPARE(parse({u"--forward"_s, u"1"_s}, QString()).options.leaseSeconds, 3600);

    // --unforward names the port itself; the protocol is read as for a check.
    const cli::ParsedArguments unforward =
        parse({u"--unforward"_s, u"0443"_s, u"--protocol=udp"_s}, QString());
    QCOMPARE(unforward.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(unforward.options.router, cli::RouterAction::Unforward);
    QCOMPARE(unforward.options.portText, u"0443"_s);
    QCOMPARE(unforward.options.protocol, ProbeProtocol::Udp);
}

void TestCheckCommand::pathOptionsRead()
{
    const cli::ParsedArguments plain = parse({u"80"_s}, QString());
    QVERIFY(plain.options.controlPort);
    QVERIFY(plain.options.hairpin);
    QCOMPARE(plain.options.externalPort, 0);
    const session::SessionOptions plainSession = cli::sessionOptions(plain.options);
    QVERIFY(plainSession.controlPort);
    QVERIFY(plainSession.hairpin);
    QCOMPARE(plainSession.externalPort, 0);

    const cli::ParsedArguments off =
        parse({u"--no-control-port"_s, u"--no-hairpin"_s, u"80"_s}, QString());
    QCOMPARE(off.action, cli::ParsedArguments::Action::Run);
    QVERIFY(!off.options.controlPort);
    QVERIFY(!off.options.hairpin);
    const session::SessionOptions offSession = cli::sessionOptions(off.options);
    QVERIFY(!offSession.controlPort);
    QVERIFY(!offSession.hairpin);

    const cli::ParsedArguments external =
        parse({u"--forward"_s, u"--external-port"_s, u"050123"_s, u"25"_s}, QString());
    QCOMPARE(external.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(external.options.router, cli::RouterAction::Forward);
    QCOMPARE(external.options.externalPort, 50123);
    QCOMPARE(external.options.portText, u"25"_s);
    QCOMPARE(cli::sessionOptions(external.options).externalPort, 50123);
    QVERIFY(!external.options.via);
    QVERIFY(!cli::sessionOptions(external.options).forwardVia);

    for (const auto& [word, via] :
         {std::pair{u"upnp"_s, router::Via::Upnp}, std::pair{u"pcp"_s, router::Via::Pcp},
          std::pair{u"natpmp"_s, router::Via::Natpmp}}) {
        const cli::ParsedArguments forward = parse({u"--forward"_s, u"--via"_s, word, u"25"_s}, {});
        QCOMPARE(forward.action, cli::ParsedArguments::Action::Run);
        QCOMPARE(forward.options.via, std::optional<router::Via>(via));
        QCOMPARE(cli::sessionOptions(forward.options).forwardVia, std::optional<router::Via>(via));
        const cli::ParsedArguments unforward = parse({u"--via="_s + word, u"--unforward=25"_s}, {});
        QCOMPARE(unforward.action, cli::ParsedArguments::Action::Run);
        QCOMPARE(unforward.options.via, std::optional<router::Via>(via));
    }
}

void TestCheckCommand::familyServiceAndWatchOptionsRead()
{
    const cli::ParsedArguments plain = parse({u"80"_s}, QString());
    QCOMPARE(plain.options.families, cli::FamilyChoice::Both);
    QVERIFY(!plain.options.service);
    QCOMPARE(plain.options.watchSeconds, 0);
    QCOMPARE(parse({u"-4"_s, u"80"_s}, QString()).options.families, cli::FamilyChoice::IPv4);
    QCOMPARE(parse({u"--ipv6"_s, u"80"_s}, QString()).options.families, cli::FamilyChoice::IPv6);
    QVERIFY(parse({u"--service"_s, u"80"_s}, QString()).options.service);

    const cli::ParsedArguments builtIn = parse({u"--watch=60"_s, u"80"_s}, QString());
    QCOMPARE(builtIn.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(builtIn.options.watchSeconds, 60);
    QCOMPARE(builtIn.options.router, cli::RouterAction::Skip); // a watch asks the LAN nothing
    const cli::ParsedArguments own =
        parse({u"--watch=1"_s, u"--on-change=notify-send 'port changed'"_s, u"80"_s},
              u"192.0.2.1:8080"_s);
    QCOMPARE(own.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(own.options.watchSeconds, 1);
    QCOMPARE(own.options.onChange, u"notify-send 'port changed'"_s);
    QCOMPARE(parse({u"--watch=1"_s, u"--server=h"_s, u"80"_s}, QString()).options.watchSeconds, 1);
    // The built-in server is watched at most once a minute.
    const cli::ParsedArguments tooOften = parse({u"--watch=59"_s, u"80"_s}, QString());
    QCOMPARE(tooOften.action, cli::ParsedArguments::Action::UsageError);
    QVERIFY2(tooOften.error.contains(u"SECONDS must be at least 60"_s), qPrintable(tooOften.error));
}

void TestCheckCommand::helpAndVersionRunNoCheck_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("help"); // else the version

    QTest::newRow("--help") << QStringList{u"--help"_s} << true;
    QTest::newRow("-h") << QStringList{u"-h"_s} << true;
    QTest::newRow("--help-all") << QStringList{u"--help-all"_s} << true;
    QTest::newRow("--help after a wrong value")
        << QStringList{u"--protocol"_s, u"sctp"_s, u"--help"_s} << true;
    QTest::newRow("--version") << QStringList{u"--version"_s} << false;
    QTest::newRow("-v") << QStringList{u"-v"_s} << false;
    QTest::newRow("--version after PORT") << QStringList{u"80"_s, u"--version"_s} << false;
    QTest::newRow("--version before --help") << QStringList{u"--help"_s, u"--version"_s} << false;
}

void TestCheckCommand::helpAndVersionRunNoCheck()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, help);

    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Run run;
    runCheck(arguments, run, serverAddress(server));
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!run.crashed);
    QCOMPARE(run.err, QString());
    QVERIFY(server.requests().isEmpty());
    if (!help) {
        QCOMPARE(run.out, u"quillmere-check 1.0.39\n"_s);
        return;
    }
    // QCommandLineParser's help: the usage line names the program as it was started.
    QVERIFY2(run.out.startsWith(u"Usage: "_s + QString::fromUtf8(QUILLMERE_CHECK_PROGRAM) +
                                u" [options] PORT\n"_s),
             qPrintable(run.out));
    for (const QString& option :
         {u"-h, --help"_s, u"-v, --version"_s, u"--protocol <tcp|udp>"_s,
          u"--server <HOST[:PORT]>"_s, u"--timeout <SECONDS>"_s, u"--logs"_s, u"--json"_s,
          u"--no-router"_s, u"--forward"_s, u"--lease <SECONDS>"_s, u"--unforward <PORT>"_s,
          u"Arguments:\n  PORT"_s, u"5  --forward or --unforward could not be done"_s,
          u"64  the command line was wrong"_s})
        QVERIFY2(run.out.contains(option), qPrintable(option));
}

void TestCheckCommand::logEntryEndsOnlyWhereTheLogEndedIt()
{
    constexpr qsizetype limit = 100;
    ExchangeLog log(limit);
    cli::LogEntryEnds ends(limit);
    log.reset(u"v1"_s);
    const QString notice = ExchangeLog::limitNotice(limit);
    const auto append = [&log, &ends](const QString& entry) {
        QVERIFY(log.append(entry));
        ends.noteAppend(log.text());
    };
    // Data with a lone CR, a lone LF, CR LF inside, CR LF at its end, and a forged notice line.
    for (const QString& entry :
         QStringList{u"a\rb"_s, u"c\nd"_s, u"e\r\nf"_s, u"g\r\n"_s, QString(u"x\r\n"_s + notice)})
        append(entry);
    const QString expected =
        u"v1a\\rb\r\nc\\nd\r\ne\\r\\nf\r\ng\\r\\n\r\nx\\r\\n"_s + notice + u"\r\n"_s;
    QCOMPARE(cli::escapeLogForTerminal(log.text(), ends.ends()), expected);

    // The entry that reaches the bound: the part that fits, then the log's own notice line.
    const QString kept = u"overflowing the bound"_s.left(limit - log.text().size() - 2);
    QVERIFY(!kept.isEmpty());
    append(u"overflowing the bound"_s);
    QVERIFY(log.isFull());
    QCOMPARE(cli::escapeLogForTerminal(log.text(), ends.ends()),
             expected + kept + u"\r\n"_s + notice + u"\r\n"_s);

    // Started afresh: the earlier ends are gone with the text they ended.
    ends.clear();
    log.reset();
    QVERIFY(log.append(u"\x1b[2J\t"_s));
    ends.noteAppend(log.text());
    QCOMPARE(cli::escapeLogForTerminal(log.text(), ends.ends()), u"\\x1b[2J\\t\r\n"_s);
}

void TestCheckCommand::logWithoutEntriesEndsItsLine()
{
    // The server log of a check that never got to contact the server holds only its first line.
    QCOMPARE(cli::escapeLogForTerminal(u"Quillmere version 1.0.39"_s, {}),
             u"Quillmere version 1.0.39\r\n"_s);
    // An end that is no CR LF of this text is not taken for one.
    QCOMPARE(cli::escapeLogForTerminal(u"a\r\nb\r\n"_s, {2, 6, 9}), u"a\\r\\nb\r\n"_s);
}

void TestCheckCommand::terminalTextEscapesWhatReordersOrHides_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("printed");
    QTest::newRow("controls") << u"a\r\n\t\x1b[2J\x7f\u0085\u009b"_s
                              << u"a\\r\\n\\t\\x1b[2J\\x7f\\x85\\x9b"_s;
    QTest::newRow("bidirectional override")
        << u"evil\u202e)\"txt.exe"_s << u"evil\\u202e)\"txt.exe"_s;
    QTest::newRow("isolates and marks")
        << u"\u2066a\u2067b\u2068c\u2069\u200e\u200f\u061c"_s
        << u"\\u2066a\\u2067b\\u2068c\\u2069\\u200e\\u200f\\u061c"_s;
    QTest::newRow("line and paragraph separators")
        << u"one\u2028Status: forged\u2029"_s << u"one\\u2028Status: forged\\u2029"_s;
    QTest::newRow("invisible") << u"a\u200bb\u200dc\u2060d\ufeffe\u00adf"_s
                               << u"a\\u200bb\\u200dc\\u2060d\\ufeffe\\u00adf"_s;
    // Beyond the first plane a format character is a pair of surrogates: escaped as one.
    QTest::newRow("tag characters")
        << QString::fromUcs4(U"x\U000E0001\U000E0041y") << u"x\\U000e0001\\U000e0041y"_s;
    // Other pairs are characters like any other.
    QTest::newRow("a pair that is no format character")
        << QString::fromUcs4(U"ok \U0001F600 \u00e9\u4e2d")
        << QString::fromUcs4(U"ok \U0001F600 \u00e9\u4e2d");
    QTest::newRow("lone surrogates")
        << (u"a"_s + QChar(0xD83D) + u"b"_s + QChar(0xDE00) + u"c"_s + QChar(0xDBFF))
        << u"a\\ud83db\\ude00c\\udbff"_s;
    QTest::newRow("low before high")
        << (QString(QChar(0xDE00)) + QChar(0xD83D)) << u"\\ude00\\ud83d"_s;
}

// Whatever reaches a terminal line from the network is escaped when it could reorder the line
// (Trojan Source), hide text in it, break it or steer the terminal.
void TestCheckCommand::terminalTextEscapesWhatReordersOrHides()
{
    QFETCH(QString, text);
    QFETCH(QString, printed);
    QCOMPARE(cli::escapeForTerminal(text), printed);
    // In a log entry the same.
    const QString log = text + u"\r\n"_s;
    QCOMPARE(cli::escapeLogForTerminal(log, {log.size()}), printed + u"\r\n"_s);
}

void TestCheckCommand::openPortPrintsFourResultLines()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    Run run; // the server named by the environment
    // The way back in from the LAN adds its own line: openPortSaysHowToReachItFromInside.
    runCheck({u"--no-router"_s, u"--no-hairpin"_s, port}, run,
             u"127.0.0.1:"_s + QString::number(server.port()));
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitCode, 0);
    QVERIFY(!run.crashed);
    QCOMPARE(run.out, u"Status: Your port is OPEN on this computer!\n"
                      u"Info: "_s +
                          text::kTcpOpen +
                          u"\n"
                          u"Ping: We were able to ping your router.\n"
                          u"External IP: Your external IP address is: 127.0.0.1\n"_s);
    // No progress line: stderr is no terminal here.
    QCOMPARE(run.err, QString());
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().constFirst().port, port.toLatin1());
}

void TestCheckCommand::exitStatusFollowsVerdict_data()
{
    QTest::addColumn<int>("scenario");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("status");

    QTest::newRow("0 open here") << int(Scenario::OpenHere) << true << 0
                                 << u"Your port is OPEN on this computer!"_s;
    QTest::newRow("1 other device")
        << int(Scenario::OtherDevice) << true << 1 << u"Your port is OPEN on another device!"_s;
    QTest::newRow("2 not open, tcp")
        << int(Scenario::NotOpen) << true << 2 << u"Your port is NOT OPEN or not reachable!"_s;
    QTest::newRow("2 not open, udp")
        << int(Scenario::NotOpen) << false << 2 << u"Your port is NOT OPEN or not reachable!"_s;
    QTest::newRow("2 200 OK without -done-") << int(Scenario::OkWithoutDone) << true << 2
                                             << u"Your port is not open or not reachable."_s;
    QTest::newRow("3 no server") << int(Scenario::Unreachable) << true << 3
                                 << u"Could not connect to the Dunmoor servers. Your port is "
                                    u"not open or not reachable."_s;
    QTest::newRow("4 port locked") << int(Scenario::Locked) << true << 4 << QString();
}

void TestCheckCommand::exitStatusFollowsVerdict()
{
    QFETCH(int, scenario);
    QFETCH(bool, tcp);
    QFETCH(QString, status);

    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QStringList arguments = serverArgs(server);
    arguments << u"--protocol"_s << (tcp ? u"tcp"_s : u"udp"_s) << u"--no-hairpin"_s;
    QTcpServer holder;
    QString port = QString::number(freePort(tcp));
    switch (Scenario(scenario)) {
    case Scenario::OpenHere:
        break;
    case Scenario::OtherDevice:
        server.script().probe = ServerScript::Probe::None;
        server.script().replyPieces = {httpReply("-tcpopen- -done-")};
        break;
    case Scenario::NotOpen:
        server.script().probe = ServerScript::Probe::None;
        break;
    case Scenario::OkWithoutDone:
        server.script().replyPieces = {httpReply("busy, try later")};
        break;
    case Scenario::Unreachable:
        arguments =
            QStringList{u"--no-router"_s, u"--server"_s,
                        u"127.0.0.1:"_s + QString::number(freePort()), u"--timeout"_s, u"1"_s};
        break;
    case Scenario::Locked:
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        port = QString::number(holder.serverPort());
        status = u"Port "_s + port +
                 u" could not be checked. Please close any applications that may be using this "
                 u"port and try again."_s;
        break;
    }
    Run run;
    QElapsedTimer clock;
    clock.start();
    runCheck(arguments << port, run);
    if (QTest::currentTestFailed())
        return;

    QTEST(run.exitCode, "exitCode");
    // "Another device" stands only after the probe was given its 5 s (a coarse timer may end a
    // little early); a slow machine only makes this longer.
    if (Scenario(scenario) == Scenario::OtherDevice)
        QVERIFY(clock.elapsed() >= 4000);
    QVERIFY(!run.lines().isEmpty());
    QCOMPARE(run.lines().constFirst(), u"Status: "_s + status);
    if (Scenario(scenario) == Scenario::Locked) {
        QCOMPARE(run.lines(), (QStringList{u"Status: "_s + status,
                                           u"Info: Try closing all applications that could be "
                                           u"using port "_s +
                                               port + u" and try again."_s}));
        QCOMPARE(run.err, u"Could not test port "_s + port +
                              u" because some other application has that port locked. Please "
                              u"close any applications that may be using this port and try "
                              u"again.\n"_s);
        QVERIFY(server.requests().isEmpty());
    } else {
        QCOMPARE(run.lines().size(), 4);
        QCOMPARE(run.err, QString());
    }
}

void TestCheckCommand::logsPrintedAfterResult()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    Run run;
    runCheck(serverArgs(server) << u"--logs"_s << u"--no-hairpin"_s << port, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitCode, 0);
    const PrintedLogs logs = printedLogs(run.out);
    QCOMPARE(logs.resultLines, 4); // the four result lines come first
    const QStringList httpLines = printedLogLines(logs.http);
    QVERIFY(httpLines.size() >= 3);
    QCOMPARE(httpLines.constFirst(), u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:"_s +
                                         QString::number(server.port()));
    // Each arrival is one entry: its CR LFs came from the network and are shown as escapes.
    for (const QString& line : httpLines.mid(1, httpLines.size() - 2))
        QVERIFY2(line.startsWith(u"HTTP: Begin data arrived: "_s), qPrintable(line));
    QVERIFY2(httpLines.at(1).contains(u"\\r\\nHTTP/1.0 200 OK\\r\\n"_s),
             qPrintable(httpLines.at(1)));
    QCOMPARE(httpLines.constLast(), u"HTTP: Close ok"_s);
    // The log as it stood at the verdict: the probe's close may or may not have come in yet.
    const QStringList listenerLines = printedLogLines(logs.listener);
    QVERIFY(listenerLines.size() >= 3);
    QVERIFY(listenerLines.at(0).startsWith(u"Connection request from: 127.0.0.1:"_s));
    QCOMPARE(listenerLines.mid(1, 2),
             (QStringList{u"Data arrived on local port: "_s + port, u"Dunmoor port probe"_s}));
    QCOMPARE(listenerLines.mid(3),
             listenerLines.size() == 4 ? QStringList{u"TCP: Close"_s} : QStringList{});
}

void TestCheckCommand::jsonCarriesExactTexts()
{
    ScriptedCheckServer server;
    server.script().replyBuilder = [](const CheckRequest& request, const ProbeOutcome& outcome) {
        QList<QByteArray> reply = realisticReply(request, outcome, "198.51.100.20");
        reply.last() += "<message>Hello\r\nthere</message>";
        return reply;
    };
    QVERIFY(server.listen());
    const QString port = u"00"_s + QString::number(freePort());
    Run run;
    runCheck(serverArgs(server) << u"--json"_s << port, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitCode, 0);
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(object[u"verdict"_s].toString(), u"open-this-computer"_s);
    QCOMPARE(object[u"exitStatus"_s].toInt(-1), 0);
    QCOMPARE(object[u"row"_s].toInt(), 7);
    // A loopback server cannot speak for the router, and the object says so.
    QVERIFY(object[u"note"_s].toString().contains(u"is on this computer or your local network"_s));
    QCOMPARE(object[u"family"_s].toString(), u"ipv4"_s);
    QVERIFY(object[u"ipv6"_s].isNull());
    QVERIFY(!object[u"ipv6Skipped"_s].toString().isEmpty());
    QCOMPARE(object[u"status"_s].toObject(), (QJsonObject{{u"text"_s, text::kOpenHere.toString()},
                                                          {u"colour"_s, u"green"_s},
                                                          {u"rgb"_s, u"#006109"_s}}));
    QCOMPARE(object[u"info"_s].toString(), text::kTcpOpen);
    QCOMPARE(object[u"ping"_s].toObject(),
             (QJsonObject{{u"ok"_s, true}, {u"text"_s, text::kPingOk.toString()}}));
    QCOMPARE(object[u"externalIp"_s].toObject(),
             (QJsonObject{{u"address"_s, u"198.51.100.20"_s},
                          {u"text"_s, u"Your external IP address is: 198.51.100.20"_s}}));
    QCOMPARE(object[u"message"_s].toString(), u"Hello\r\nthere"_s);
    QCOMPARE(object[u"port"_s].toString(), port); // as given, zeros and all
    QCOMPARE(object[u"protocol"_s].toString(), u"tcp"_s);
    QVERIFY(object[u"logs"_s][u"http"_s].toString().endsWith(u"HTTP: Close ok\r\n"_s));
    QVERIFY(object[u"logs"_s][u"listener"_s].toString().contains(u"Dunmoor port probe\r\n"_s));
    QCOMPARE(server.requests().constFirst().port, port.toLatin1());
    // --no-router: the router's parts are there, and null.
    for (const QString& key : {u"router"_s, u"diagnosis"_s, u"forward"_s}) {
        QVERIFY2(object.contains(key), qPrintable(key));
        QVERIFY2(object[key].isNull(), qPrintable(key));
    }

    // Without a message, and for a port that could not be opened, the absent parts are null.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Run locked;
    runCheck(serverArgs(server) << u"--json"_s << QString::number(holder.serverPort()), locked);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(locked.exitCode, 4);
    const QJsonObject lockedObject = QJsonDocument::fromJson(locked.out.toUtf8()).object();
    QCOMPARE(lockedObject[u"verdict"_s].toString(), u"port-locked"_s);
    QVERIFY(lockedObject[u"message"_s].isNull());
    QVERIFY(lockedObject[u"externalIp"_s][u"address"_s].isNull());
    QCOMPARE(lockedObject[u"status"_s][u"colour"_s].toString(), u"red"_s);
}

// "error" says why the connection to the check server failed, "refused" how the server refused
// the check; each is null when it did not happen. A refused connection ends the check at once:
// the time-out here is far beyond the test's wait.
void TestCheckCommand::jsonSaysWhyThereIsNoResult()
{
    const QString port = QString::number(freePort());
    Run failed;
    runCheck({u"--no-router"_s, u"--server"_s, u"127.0.0.1:"_s + QString::number(freePort()),
              u"--timeout"_s, u"3600"_s, u"--json"_s, port},
             failed);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(failed.exitCode, 3);
    QJsonObject object = QJsonDocument::fromJson(failed.out.toUtf8()).object();
    QCOMPARE(object[u"verdict"_s].toString(), u"no-result"_s);
    const QString error = object[u"error"_s].toString();
    QVERIFY(!error.isEmpty());
    QVERIFY(object[u"logs"_s][u"http"_s].toString().contains(u"wshttp_ERROR: "_s + error));
    QVERIFY(object.contains(u"refused"_s) && object[u"refused"_s].isNull());

    struct Refusal
    {
        QByteArray head;
        QJsonValue retryAfter;
    };
    for (const Refusal& refusal :
         {Refusal{"HTTP/1.0 429 Too Many Requests\r\nRetry-After: 60\r\n\r\n", 60},
          Refusal{"HTTP/1.0 503 Service Unavailable\r\n\r\n", QJsonValue()}}) {
        ScriptedCheckServer server;
        server.script().probe = ServerScript::Probe::None;
        server.script().replyPieces = {refusal.head +
                                       "<p><message>Please try again later.</message></p>"};
        QVERIFY(server.listen());
        Run refused;
        runCheck(serverArgs(server) << u"--json"_s << port, refused);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(refused.exitCode, 3);
        object = QJsonDocument::fromJson(refused.out.toUtf8()).object();
        QCOMPARE(object[u"verdict"_s].toString(), u"no-result"_s);
        QCOMPARE(object[u"refused"_s].toObject(),
                 (QJsonObject{{u"status"_s, refusal.head.startsWith("HTTP/1.0 429") ? 429 : 503},
                              {u"retryAfter"_s, refusal.retryAfter}}));
        QVERIFY(object.contains(u"error"_s) && object[u"error"_s].isNull());
        QCOMPARE(object[u"message"_s].toString(), u"Please try again later."_s);
    }

    ScriptedCheckServer working;
    QVERIFY(working.listen());
    Run open;
    runCheck(serverArgs(working) << u"--json"_s << port, open);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(open.exitCode, 0);
    object = QJsonDocument::fromJson(open.out.toUtf8()).object();
    for (const QString& key : {u"error"_s, u"refused"_s}) {
        QVERIFY2(object.contains(key), qPrintable(key));
        QVERIFY2(object[key].isNull(), qPrintable(key));
    }
}

void TestCheckCommand::jsonCarriesTheServersProbeEnd_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<bool>("probed");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QJsonValue>("probe");
    QTest::newRow("connected") << u"tcp"_s << true << QByteArray("-probe:connected-")
                               << u"open-this-computer"_s << QJsonValue(u"connected"_s);
    QTest::newRow("refused") << u"tcp"_s << false << QByteArray("-probe:refused-") << u"not-open"_s
                             << QJsonValue(u"refused"_s);
    QTest::newRow("timed out, upper case") << u"tcp"_s << false << QByteArray("-PROBE:Timed-Out-")
                                           << u"not-open"_s << QJsonValue(u"timed-out"_s);
    QTest::newRow("unreachable") << u"tcp"_s << false << QByteArray("-probe:unreachable-")
                                 << u"not-open"_s << QJsonValue(u"unreachable"_s);
    QTest::newRow("server did not say")
        << u"tcp"_s << false << QByteArray() << u"not-open"_s << QJsonValue(QJsonValue::Null);
    QTest::newRow("a word it does not know") << u"tcp"_s << false << QByteArray("-probe:sideways-")
                                             << u"not-open"_s << QJsonValue(QJsonValue::Null);
    QTest::newRow("udp, whatever the server says")
        << u"udp"_s << true << QByteArray("-probe:connected-") << u"open-this-computer"_s
        << QJsonValue(QJsonValue::Null);
}

// "probe" is how the server's TCP probe ended, as it said in its reply; null when it said
// nothing the program knows, and for UDP.
void TestCheckCommand::jsonCarriesTheServersProbeEnd()
{
    QFETCH(QString, protocol);
    QFETCH(bool, probed);
    QFETCH(QByteArray, marker);
    ScriptedCheckServer server;
    if (!probed)
        server.script().probe = ServerScript::Probe::None;
    server.script().replyBuilder = [marker](const CheckRequest& request,
                                            const ProbeOutcome& outcome) {
        QList<QByteArray> reply = realisticReply(request, outcome);
        for (QByteArray& piece : reply) {
            const qsizetype done = piece.indexOf("-done-");
            if (done >= 0)
                piece.insert(done, "<p>" + marker + "</p>");
        }
        return reply;
    };
    QVERIFY(server.listen());
    Run run;
    runCheck(serverArgs(server) << u"--json"_s << u"--protocol"_s << protocol
                                << QString::number(freePort()),
             run);
    if (QTest::currentTestFailed())
        return;
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(run.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QTEST(object[u"verdict"_s].toString(), "verdict");
    QVERIFY2(object.contains(u"probe"_s), qPrintable(run.out));
    QTEST(object[u"probe"_s], "probe");
}

void TestCheckCommand::replyControlCharactersEscaped()
{
    // UDP, so that the verdict is evaluated twice; the message is printed once.
    ScriptedCheckServer server;
    server.script().replyPieces = {
        httpReply("-done- -ip:1.2.3.4\x1b[2J\r\nStatus: forged\xad- <message>one\ntwo\x07\xad"
                  "</message>")};
    QVERIFY(server.listen());
    Run run;
    runCheck(serverArgs(server) << u"--protocol=udp"_s << QString::number(freePort(false)), run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitCode, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 5);
    // Not an address: it is not shown as one.
    QCOMPARE(lines.at(3),
             u"External IP: We were not able to determine your external IP address."_s);
    // The reply is read as Latin-1: its one format character, the soft hyphen, is escaped too.
    QCOMPARE(lines.at(4), u"Message: one\\ntwo\\x07\\u00ad"_s);
    for (QChar c : run.out)
        QVERIFY(c == u'\n' || (c.unicode() >= 0x20 && c.category() != QChar::Other_Format));
    QCOMPARE(run.err, QString());
}

void TestCheckCommand::networkLineBreaksInLogsEscaped()
{
    // Both peers try to start lines of their own: the server in its reply, the prober in what
    // it sends to the opened port.
    ScriptedCheckServer server;
    server.script().probePieces = {
        QByteArrayLiteral("Dunmoor port probe\rFAKE\nStatus: Your port is OPEN\r\nx\t\x1b[2J")};
    server.script().replyBuilder = [](const CheckRequest& request, const ProbeOutcome& outcome) {
        QList<QByteArray> reply = realisticReply(request, outcome);
        reply.last() += "\rFAKE\nStatus: Your port is OPEN\n";
        return reply;
    };
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    Run run;
    runCheck(serverArgs(server) << u"--logs"_s << u"--no-hairpin"_s << port, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitCode, 0);
    const PrintedLogs logs = printedLogs(run.out);
    QCOMPARE(logs.resultLines, 4);
    const QStringList listenerLines = printedLogLines(logs.listener);
    QVERIFY2(listenerLines.size() >= 3, qPrintable(listenerLines.join(u'|')));
    QCOMPARE(listenerLines.mid(1, 2),
             (QStringList{
                 u"Data arrived on local port: "_s + port,
                 u"Dunmoor port probe\\rFAKE\\nStatus: Your port is OPEN\\r\\nx\\t\\x1b[2J"_s}));
    const QStringList httpLines = printedLogLines(logs.http);
    QVERIFY2(httpLines.size() >= 3, qPrintable(httpLines.join(u'|')));
    QVERIFY2(
        httpLines.at(httpLines.size() - 2).endsWith(u"\\rFAKE\\nStatus: Your port is OPEN\\n"_s),
        qPrintable(httpLines.join(u'|')));
    QCOMPARE(httpLines.constLast(), u"HTTP: Close ok"_s);

    // As a terminal shows it: one status line, and no line that a CR overwrites.
    const QStringList shown = run.out.split(u'\n');
    QCOMPARE(shown.filter(QRegularExpression(u"^Status:"_s)).size(), 1);
    for (const QString& line : shown)
        QVERIFY2(!line.chopped(line.endsWith(u'\r') ? 1 : 0).contains(u'\r'), qPrintable(line));
    for (QChar c : run.out)
        QVERIFY(c == u'\r' || c == u'\n' || c.unicode() >= 0x20);
}

void TestCheckCommand::floodedLogEndsWithItsNoticeLine()
{
    ScriptedCheckServer server;
    server.script().fillerBytes = 2 * ExchangeLog::kDefaultLimit;
    QVERIFY(server.listen());
    Run run;
    runCheck(serverArgs(server) << u"--logs"_s << QString::number(freePort()), run);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(!run.crashed);
    const QStringList httpLines = printedLogLines(printedLogs(run.out).http);
    QVERIFY(httpLines.size() >= 3);
    // The log's own notice is a line of its own; the entry it cut short ends before it.
    QCOMPARE(httpLines.constLast(), ExchangeLog::limitNotice(ExchangeLog::kDefaultLimit));
    QVERIFY(httpLines.at(httpLines.size() - 2).endsWith(u"xxxx"_s));
}

QTEST_GUILESS_MAIN(TestCheckCommand)
#include "tst_checkcommand.moc"

// After an open port: one connection to the external address, and a line that names the LAN
// address to use inside. JSON carries both, and what did not run says why.
void TestCheckCommand::openPortSaysHowToReachItFromInside()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    const QString own = router::defaultRouteAddress();
    const QString lan = own.isEmpty() ? QString() : own + u':' + port;
    Run run;
    runCheck(serverArgs(server) << port, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines().size(), 5);
    QCOMPARE(run.lines().constLast(),
             u"Inside your network: a connection from here to 127.0.0.1:"_s + port +
                 u" came back in: the router loops back, so devices inside can use the external "
                 u"address as well as "_s +
                 (lan.isEmpty() ? u"this computer's LAN address"_s : lan) + u'.');

    Run json;
    runCheck(serverArgs(server) << u"--json"_s << port, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.exitCode, 0);
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object[u"hairpin"_s].toObject(),
             (QJsonObject{{u"result"_s, u"works"_s},
                          {u"lanAddress"_s, lan.isEmpty() ? QJsonValue() : QJsonValue(lan)}}));
    QVERIFY(!object.contains(u"hairpinSkipped"_s));
    QVERIFY(object[u"controlPort"_s].isNull());
    QCOMPARE(object[u"controlPortSkipped"_s].toString(), u"--no-router"_s);

    Run off;
    runCheck(serverArgs(server) << u"--json"_s << u"--no-hairpin"_s << port, off);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject offObject = QJsonDocument::fromJson(off.out.toUtf8()).object();
    QVERIFY(offObject[u"hairpin"_s][u"result"_s].isNull());
    QCOMPARE(offObject[u"hairpinSkipped"_s].toString(),
             u"the way back in from the LAN was not wanted"_s);
}
