// quillmere-check --watch: the lines at the start and at each change, --on-change and the
// environment it gets, one command at a time and its end with the watch, the splitting of its
// command, and the stop signals.

#include "cli/arguments.h"
#include "cli/changehook.h"
#include "cli/stopsignals.h"
#include "cli/watchcommand.h"
#include "tests/engine/enginetestkit.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

struct Change
{
    QStringList command;
    QProcessEnvironment environment;
};

cli::CheckOptions watchOptions(const ScriptedCheckServer& server)
{
    cli::CheckOptions options;
    options.server = loopbackServer(server.port());
    options.portText = QString::number(freePort());
    options.router = cli::RouterAction::Skip;
    options.watchSeconds = 1;
    options.timeoutMs = 2000;
    return options;
}

// The lines a file holds, or none when there is no file yet.
QStringList fileLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

bool processExists(qint64 pid)
{
    return QFileInfo::exists(u"/proc/"_s + QString::number(pid));
}

// An --on-change command that notes each run in `log` as "OLD>NEW SHELL-PID SLEEP-PID" and then
// waits for a child that sleeps 40 s: a command that lasts until something ends it.
QString lingeringCommand(const QString& log)
{
    return u"sh -c 'sleep 40 & echo \"$QUILLMERE_OLD_VERDICT>$QUILLMERE_NEW_VERDICT $$ $!\" >> "
           u"\"$0\"; wait' "_s +
           log;
}

struct HookRun
{
    QString change; // OLD>NEW
    qint64 shell = 0;
    qint64 sleep = 0;
};

HookRun hookRun(const QString& line)
{
    const QStringList words = line.split(u' ');
    if (words.size() != 3)
        return {line, 0, 0};
    return {words[0], words[1].toLongLong(), words[2].toLongLong()};
}

} // namespace

class TestWatch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void commandWords_data();
    void commandWords();
    void environmentCarriesAddressesOnly();
    void linesAndCommandsOnlyOnChange();
    void jsonLinePerChange();
    void refusalIsNoChange();
    void jsonRefusalAndItsWait();
    void onChangeRunsWithoutAShell();
    void onChangeThatCannotStartIsReported_data();
    void onChangeThatCannotStartIsReported();
    void onChangeRunsOneAtATimeAndEndsWithTheWatch();
    void changesThatUndoThemselvesRunNothing();
    void hookOutputCanGoToStandardError();
    void stopSignalsArriveThroughTheEventLoop();
};

void TestWatch::commandWords_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("plain") << u"notify-send  port\tchanged"_s
                           << QStringList{u"notify-send"_s, u"port"_s, u"changed"_s};
    QTest::newRow("single quotes keep everything")
        << u"sh -c 'echo \"$QUILLMERE_NEW_VERDICT\" \\\\ $(x)'"_s
        << QStringList{u"sh"_s, u"-c"_s, u"echo \"$QUILLMERE_NEW_VERDICT\" \\\\ $(x)"_s};
    QTest::newRow("double quotes escape four")
        << u"say \"a \\\"b\\\" \\$c \\\\ \\n\""_s << QStringList{u"say"_s, u"a \"b\" $c \\ \\n"_s};
    QTest::newRow("joined pieces") << u"a'b c'\"d\"e"_s << QStringList{u"ab cde"_s};
    QTest::newRow("backslash outside quotes") << u"a\\ b"_s << QStringList{u"a b"_s};
    QTest::newRow("empty quotes are a word") << u"x ''"_s << QStringList{u"x"_s, QString()};
    QTest::newRow("blank") << u"  "_s << QStringList{};
}

void TestWatch::commandWords()
{
    QFETCH(QString, command);
    QFETCH(QStringList, words);
    QCOMPARE(cli::splitCommandWords(command), std::optional(words));
    for (const QString& broken : {u"sh -c 'x"_s, u"say \"x"_s, u"x\\"_s})
        QVERIFY2(!cli::splitCommandWords(broken), qPrintable(broken));
}

// A server's text goes into the environment only when it is an address.
void TestWatch::environmentCarriesAddressesOnly()
{
    cli::CheckOptions options;
    options.portText = u"0080"_s;
    options.protocol = ProbeProtocol::Udp;
    cli::WatchState before{u"open-this-computer"_s, u"203.0.113.5"_s, u"not-open"_s,
                           u"2001:db8::5"_s,        QString(),        0};
    cli::WatchState after{
        u"not-open"_s, u"$(reboot)\n-ip:1.2.3.4-"_s, QString(), QString(), u"reason"_s, 2};
    const QProcessEnvironment environment = cli::changeEnvironment(before, after, options);
    QCOMPARE(environment.value(u"QUILLMERE_PORT"_s), u"0080"_s);
    QCOMPARE(environment.value(u"QUILLMERE_PROTOCOL"_s), u"udp"_s);
    QCOMPARE(environment.value(u"QUILLMERE_OLD_VERDICT"_s), u"open-this-computer"_s);
    QCOMPARE(environment.value(u"QUILLMERE_NEW_VERDICT"_s), u"not-open"_s);
    QCOMPARE(environment.value(u"QUILLMERE_OLD_EXTERNAL_IP"_s), u"203.0.113.5"_s);
    QVERIFY(environment.contains(u"QUILLMERE_NEW_EXTERNAL_IP"_s));
    QCOMPARE(environment.value(u"QUILLMERE_NEW_EXTERNAL_IP"_s), QString());
    QCOMPARE(environment.value(u"QUILLMERE_OLD_IPV6_VERDICT"_s), u"not-open"_s);
    QCOMPARE(environment.value(u"QUILLMERE_OLD_IPV6_ADDRESS"_s), u"2001:db8::5"_s);
    QCOMPARE(environment.value(u"QUILLMERE_NEW_IPV6_VERDICT"_s), QString());
}

// The server first lets the probe through, then stops probing, then stops answering: one line at
// the start, one for each of the two changes, none for the checks in between, and one command
// for each change with the states on both sides.
void TestWatch::linesAndCommandsOnlyOnChange()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QString errText;
    QTextStream err(&errText);
    cli::CheckOptions options = watchOptions(server);
    options.onChange = u"notify-send 'Quillmere' \"port changed\""_s;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    QList<Change> changes;
    watch.setRunner([&changes](const QStringList& command, const QProcessEnvironment& environment) {
        changes.append({command, environment});
    });
    QSignalSpy done(&watch, &cli::WatchCommand::checkDone);
    watch.start();

    QTRY_VERIFY_WITH_TIMEOUT(done.count() >= 3, kWait);
    QCOMPARE(text.count(u'\n'), 1);
    QVERIFY2(text.contains(u"TCP port "_s + options.portText +
                           u": open on this computer; external IP 127.0.0.1"_s),
             qPrintable(text));
    QVERIFY(text.contains(u"checking every 0.02 s"_s));
    QVERIFY(changes.isEmpty());

    server.script().probe = ServerScript::Probe::None;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 2, kWait);
    const int seen = int(done.count());
    QTRY_VERIFY_WITH_TIMEOUT(done.count() >= seen + 3, kWait);
    QCOMPARE(text.count(u'\n'), 2);
    QVERIFY2(text.contains(u": not open (was open on this computer); external IP 127.0.0.1\n"_s),
             qPrintable(text));
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes[0].command,
             (QStringList{u"notify-send"_s, u"Quillmere"_s, u"port changed"_s}));
    QCOMPARE(changes[0].environment.value(u"QUILLMERE_OLD_VERDICT"_s), u"open-this-computer"_s);
    QCOMPARE(changes[0].environment.value(u"QUILLMERE_NEW_VERDICT"_s), u"not-open"_s);
    QCOMPARE(changes[0].environment.value(u"QUILLMERE_PORT"_s), options.portText);

    // A server that says nothing is a state like the others.
    server.script().answer = false;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 3, kWait);
    QVERIFY2(text.contains(u": no result from the server (was not open); external IP unknown (was "
                           u"127.0.0.1)\n"_s),
             qPrintable(text));
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes[1].environment.value(u"QUILLMERE_NEW_VERDICT"_s), u"no-result"_s);

    QSignalSpy finished(&watch, &cli::WatchCommand::finished);
    watch.stop();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), 0);
    QVERIFY(errText.isEmpty());
}

void TestWatch::jsonLinePerChange()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QTextStream err(stderr);
    cli::CheckOptions options = watchOptions(server);
    options.json = true;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    watch.setRunner([](const QStringList&, const QProcessEnvironment&) {});
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);
    server.script().probe = ServerScript::Probe::None;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 2, kWait);
    watch.stop();

    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    QJsonParseError error;
    const QJsonObject start = QJsonDocument::fromJson(lines[0].toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(start.value(u"event"_s).toString(), u"start"_s);
    QCOMPARE(start.value(u"verdict"_s).toString(), u"open-this-computer"_s);
    QCOMPARE(start.value(u"ipv6Skipped"_s).toString().isEmpty(), false);
    const QJsonObject change = QJsonDocument::fromJson(lines[1].toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(change.value(u"event"_s).toString(), u"change"_s);
    QCOMPARE(change.value(u"verdict"_s).toString(), u"not-open"_s);
    QCOMPARE(change.value(u"exitStatus"_s).toInt(), 2);
    QCOMPARE(change.value(u"previous"_s).toObject().value(u"verdict"_s).toString(),
             u"open-this-computer"_s);
    QCOMPARE(change.value(u"port"_s).toString(), options.portText);
}

// The server's rate limit as a watch meets it: a refused check is printed when the refusal
// begins (or turns into another), is no change and runs no command, and the state before it
// stays the one compared with: the same state after it prints nothing, another one is a change
// from that state.
void TestWatch::refusalIsNoChange()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QString errText;
    QTextStream err(&errText);
    cli::CheckOptions options = watchOptions(server);
    options.onChange = u"notify-send changed"_s;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    QList<Change> changes;
    watch.setRunner([&changes](const QStringList& command, const QProcessEnvironment& environment) {
        changes.append({command, environment});
    });
    QSignalSpy done(&watch, &cli::WatchCommand::checkDone);
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);
    const QString prefix = u"TCP port "_s + options.portText + u": "_s;

    server.script().replyPieces = {"HTTP/1.0 429 Too Many Requests\r\nRetry-After: 1\r\n\r\n"
                                   "<p><message>Too many checks</message></p>"};
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 2, kWait);
    qsizetype seen = done.count();
    QTRY_VERIFY_WITH_TIMEOUT(done.count() >= seen + 2, kWait); // refused again, no new line
    QCOMPARE(text.count(u'\n'), 2);
    QVERIFY2(text.contains(prefix +
                           u"the server refused the check (HTTP 429), asking to wait 1 s; still "
                           u"open on this computer as last checked\n"_s),
             qPrintable(text));

    server.script().replyPieces = {"HTTP/1.0 503 Service Unavailable\r\n\r\n"};
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 3, kWait);
    QVERIFY2(text.endsWith(prefix + u"the server refused the check (HTTP 503); still open on this "
                                    u"computer as last checked\n"_s),
             qPrintable(text));

    // The server takes checks again, and the port is as it was: nothing to say.
    server.script().replyPieces.clear();
    seen = done.count();
    QTRY_VERIFY_WITH_TIMEOUT(done.count() >= seen + 3, kWait);
    QCOMPARE(text.count(u'\n'), 3);
    QVERIFY(changes.isEmpty());

    // A change is one from the state before the refusals.
    server.script().probe = ServerScript::Probe::None;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 4, kWait);
    QVERIFY2(text.endsWith(prefix + u"not open (was open on this computer); external IP "
                                    u"127.0.0.1\n"_s),
             qPrintable(text));
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes[0].environment.value(u"QUILLMERE_OLD_VERDICT"_s), u"open-this-computer"_s);
    QCOMPARE(changes[0].environment.value(u"QUILLMERE_NEW_VERDICT"_s), u"not-open"_s);
    watch.stop();
    QVERIFY(errText.isEmpty());
}

// With --json every line carries "refused": null on a start or change, the status and the wait
// on a refusal. The next check waits as long as the server asked.
void TestWatch::jsonRefusalAndItsWait()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QTextStream err(stderr);
    cli::CheckOptions options = watchOptions(server);
    options.json = true;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    bool ran = false;
    watch.setRunner([&ran](const QStringList&, const QProcessEnvironment&) { ran = true; });
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);
    server.script().replyPieces = {"HTTP/1.0 429 Too Many Requests\r\nRetry-After: 3600\r\n\r\n"};
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 2, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(watch.nextCheckTimer().isActive(), kWait);
    QCOMPARE(watch.nextCheckTimer().interval(), 3600 * 1000);
    watch.stop();
    QVERIFY(!ran);

    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    const QJsonObject start = QJsonDocument::fromJson(lines[0].toUtf8()).object();
    QCOMPARE(start.value(u"event"_s).toString(), u"start"_s);
    QVERIFY(start.contains(u"refused"_s) && start.value(u"refused"_s).isNull());
    QJsonParseError error;
    const QJsonObject refused = QJsonDocument::fromJson(lines[1].toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(refused.value(u"event"_s).toString(), u"refused"_s);
    QCOMPARE(refused.value(u"refused"_s).toObject(),
             (QJsonObject{{u"status"_s, 429}, {u"retryAfter"_s, 3600}}));
    QCOMPARE(refused.value(u"exitStatus"_s).toInt(), 3);
    QCOMPARE(refused.value(u"previous"_s).toObject().value(u"verdict"_s).toString(),
             u"open-this-computer"_s);
    QCOMPARE(refused.value(u"port"_s).toString(), options.portText);
    QVERIFY(!refused.contains(u"verdict"_s));
}

// The command is run as its words say, not by a shell: a "$(...)" in an argument stays text.
void TestWatch::onChangeRunsWithoutAShell()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString result = dir.filePath(u"result"_s);
    const QString trap = dir.filePath(u"trap"_s);
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QTextStream err(stderr);
    cli::CheckOptions options = watchOptions(server);
    // The shell here is the one the user asked for; the $(touch) is in a word it only prints.
    options.onChange = u"sh -c 'printf \"%s %s\" \"$QUILLMERE_NEW_VERDICT\" \"$1\" > \"$0\"' "_s +
                       result + u" '$(touch "_s + trap + u")'"_s;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);
    server.script().probe = ServerScript::Probe::None;
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(result) && QFileInfo(result).size() > 0, kWait);
    watch.stop();
    QFile file(result);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), u"not-open $(touch "_s + trap + u')');
    QVERIFY(!QFile::exists(trap));
}

void TestWatch::onChangeThatCannotStartIsReported_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("json");
    QTest::newRow("no such program") << u"quillmere-no-such-program"_s << false;
    QTest::newRow("no such program, json") << u"quillmere-no-such-program"_s << true;
    QTest::newRow("not executable") << u"not-executable"_s << false;
}

// A command that cannot start is not silent: stderr says so, and with --json so does an event
// line of its own. The watch goes on.
void TestWatch::onChangeThatCannotStartIsReported()
{
    QFETCH(QString, program);
    QFETCH(bool, json);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (program == u"not-executable"_s) {
        program = dir.filePath(u"hook"_s);
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
    }
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QString errText;
    QTextStream err(&errText);
    cli::CheckOptions options = watchOptions(server);
    options.json = json;
    options.onChange = u"'"_s + program + u"' --flag"_s;
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    QSignalSpy done(&watch, &cli::WatchCommand::checkDone);
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);
    server.script().probe = ServerScript::Probe::None;

    const QString said = u"quillmere-check: --on-change: could not start "_s + program + u": "_s;
    QTRY_VERIFY_WITH_TIMEOUT(errText.contains(u'\n'), kWait);
    QVERIFY2(errText.startsWith(said), qPrintable(errText));
    QCOMPARE(errText.count(u'\n'), 1);
    QVERIFY(errText.size() > said.size() + 1); // and why
    const QStringList lines = text.split(u'\n', Qt::SkipEmptyParts);
    if (json) {
        QCOMPARE(lines.size(), 3);
        const QJsonObject event = QJsonDocument::fromJson(lines[2].toUtf8()).object();
        QCOMPARE(event.value(u"event"_s).toString(), u"on-change-failed"_s);
        QCOMPARE(event.value(u"command"_s).toString(), program);
        QVERIFY(!event.value(u"error"_s).toString().isEmpty());
        QCOMPARE(event.value(u"port"_s).toString(), options.portText);
        QVERIFY(!event.value(u"time"_s).toString().isEmpty());
    } else {
        QCOMPARE(lines.size(), 2);
    }

    // The watch goes on.
    const int seen = int(done.count());
    QTRY_VERIFY_WITH_TIMEOUT(done.count() >= seen + 2, kWait);
    QSignalSpy finished(&watch, &cli::WatchCommand::finished);
    watch.stop();
    QTRY_COMPARE(finished.count(), 1);
}

// A command that runs long is not joined by another: the changes that come meanwhile wait as
// one, from the state the running command heard of to the latest. Each command is reaped, and
// the one that runs when the watch ends goes with it, with what it started.
void TestWatch::onChangeRunsOneAtATimeAndEndsWithTheWatch()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(u"runs"_s);
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QString text;
    QTextStream out(&text);
    QString errText;
    QTextStream err(&errText);
    cli::CheckOptions options = watchOptions(server);
    options.onChange = lingeringCommand(log);
    cli::WatchCommand watch(options, out, err);
    watch.setIntervalMs(20);
    watch.start();
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 1, kWait);

    // open -> not open: the first command starts, and lingers.
    server.script().probe = ServerScript::Probe::None;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(fileLines(log).size(), 1, kWait);
    const HookRun first = hookRun(fileLines(log).constFirst());
    QCOMPARE(first.change, u"open-this-computer>not-open"_s);
    QVERIFY(first.shell > 0 && first.sleep > 0);

    // Two more changes while it runs: not open -> no result -> open.
    server.script().answer = false;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 3, kWait);
    server.script().answer = true;
    server.script().probe = ServerScript::Probe::AsRequested;
    QTRY_VERIFY_WITH_TIMEOUT(text.count(u'\n') == 4, kWait);
    QVERIFY2(text.endsWith(u": open on this computer (was no result from the server); external "
                           u"IP 127.0.0.1 (was unknown)\n"_s),
             qPrintable(text));

    // The first ends: the one that waited runs, with both changes as one.
    ::kill(pid_t(first.shell), SIGTERM);
    ::kill(pid_t(first.sleep), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(log).size() >= 2, kWait);
    QStringList runs = fileLines(log);
    QCOMPARE(runs.size(), 2);
    const HookRun second = hookRun(runs.at(1));
    QCOMPARE(second.change, u"not-open>open-this-computer"_s);
    QVERIFY(second.shell > 0 && second.sleep > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!processExists(first.shell), kWait); // reaped, no zombie

    // The watch ends: so does the command, and its child, before the watch says it has ended.
    QSignalSpy finished(&watch, &cli::WatchCommand::finished);
    watch.stop();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kWait);
    QVERIFY(!processExists(second.shell));
    QTRY_VERIFY_WITH_TIMEOUT(!processExists(second.sleep), kWait);
    QCOMPARE(fileLines(log).size(), 2);
    QVERIFY2(errText.isEmpty(), qPrintable(errText));
}

// Changes that wait and then come back to where the running command left the state leave
// nothing to say: when the command ends, none runs.
void TestWatch::changesThatUndoThemselvesRunNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(u"runs"_s);
    const auto change = [](const QString& before, const QString& after) {
        QProcessEnvironment environment;
        environment.insert(u"QUILLMERE_OLD_VERDICT"_s, before);
        environment.insert(u"QUILLMERE_NEW_VERDICT"_s, after);
        return environment;
    };
    const QStringList command =
        cli::splitCommandWords(lingeringCommand(log)).value_or(QStringList());
    QVERIFY(!command.isEmpty());
    cli::ChangeHook hook;
    QSignalSpy started(&hook, &cli::ChangeHook::started);
    hook.run(command, change(u"open-this-computer"_s, u"not-open"_s));
    QVERIFY(hook.isRunning());
    hook.run(command, change(u"not-open"_s, u"no-result"_s));
    hook.run(command, change(u"no-result"_s, u"not-open"_s));
    QVERIFY(hook.isWaiting());
    QTRY_COMPARE_WITH_TIMEOUT(fileLines(log).size(), 1, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, kWait);
    const HookRun first = hookRun(fileLines(log).constFirst());
    QCOMPARE(first.change, u"open-this-computer>not-open"_s);

    ::kill(pid_t(first.shell), SIGTERM);
    ::kill(pid_t(first.sleep), SIGTERM);
    // The next would start the moment the first is seen to end: it does not.
    QTRY_VERIFY_WITH_TIMEOUT(!hook.isRunning(), kWait);
    QVERIFY(!hook.isWaiting());
    QCOMPARE(started.count(), 1);

    // Stopping with nothing to stop says so at once.
    QSignalSpy stopped(&hook, &cli::ChangeHook::stopped);
    hook.stop();
    QTRY_COMPARE(stopped.count(), 1);
    hook.run(command, change(u"not-open"_s, u"no-result"_s));
    QVERIFY(!hook.isRunning());
}

// With --json the watch's stdout carries one JSON object a line: what a command prints goes to
// stderr instead.
void TestWatch::hookOutputCanGoToStandardError()
{
    QTemporaryFile errors;
    QVERIFY(errors.open());
    struct StandardError
    {
        int saved = ::dup(STDERR_FILENO);
        ~StandardError()
        {
            ::dup2(saved, STDERR_FILENO);
            ::close(saved);
        }
    } restore;
    QVERIFY(restore.saved >= 0);
    QVERIFY(::dup2(errors.handle(), STDERR_FILENO) == STDERR_FILENO);
    cli::ChangeHook hook;
    hook.setOutputToStandardError(true);
    hook.run({u"/bin/sh"_s, u"-c"_s, u"echo printed-by-the-command"_s}, QProcessEnvironment());
    QVERIFY(hook.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!hook.isRunning(), 10000);
    QFile written(errors.fileName());
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().contains("printed-by-the-command"));
}

void TestWatch::stopSignalsArriveThroughTheEventLoop()
{
    struct sigaction before = {};
    ::sigaction(SIGTERM, nullptr, &before);
    {
        cli::StopSignals signals;
        QVERIFY(signals.isActive());
        QSignalSpy stop(&signals, &cli::StopSignals::stopRequested);
        ::raise(SIGTERM);
        ::raise(SIGINT);
        QTRY_COMPARE(stop.count(), 2);
        QCOMPARE(stop.at(0).at(0).toInt(), SIGTERM);
        QCOMPARE(stop.at(1).at(0).toInt(), SIGINT);
        // One at a time: a second would steal the handler's pipe.
        cli::StopSignals second;
        QVERIFY(!second.isActive());
    }
    struct sigaction after = {};
    ::sigaction(SIGTERM, nullptr, &after);
    QCOMPARE(reinterpret_cast<void*>(after.sa_handler), reinterpret_cast<void*>(before.sa_handler));
}

QTEST_GUILESS_MAIN(TestWatch)
#include "tst_watch.moc"
