#pragma once

#include "cli/arguments.h"
#include "cli/changehook.h"
#include "engine/checkprotocol.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QTextStream>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace quillmere::cli {

class CheckCommand;

// What one check of a watch found, in the words --json uses. Two checks that find the same state
// are no change, whatever else (timings, logs) differs between them.
struct WatchState
{
    QString verdict;     // "open-this-computer", "not-open", ... ("no-service" with --service)
    QString externalIp;  // the address the server named, or empty
    QString ipv6Verdict; // the IPv6 check's verdict, or empty when IPv6 was not checked
    QString ipv6Address; // the IPv6 address the server probed, or empty
    QString ipv6Skipped; // why IPv6 was not checked, or empty
    int exitStatus = 0;

    static WatchState fromResult(const QJsonObject& result, int exitStatus);
    friend bool operator==(const WatchState&, const WatchState&) = default;
};

// The check server's refusal of a check (429, 503), of either family, read from the check's
// result; nullopt when the server did not refuse it.
std::optional<ServerRefusal> refusalOf(const QJsonObject& result);

// An --on-change COMMAND split into program and arguments the way a POSIX shell splits words,
// with nothing expanded: blanks separate words, '...' keeps everything literally, "..." keeps
// everything but \" \\ \$ and \` (a backslash escapes those), and a backslash outside quotes
// escapes the next character. nullopt for an unterminated quote or a trailing backslash.
std::optional<QStringList> splitCommandWords(QStringView command);

// The variables an --on-change command gets: QUILLMERE_PORT, QUILLMERE_PROTOCOL and
// QUILLMERE_{OLD,NEW}_{VERDICT,EXTERNAL_IP,IPV6_VERDICT,IPV6_ADDRESS}. Addresses that came from
// the network are passed only when they are addresses.
QProcessEnvironment changeEnvironment(const WatchState& before, const WatchState& after,
                                      const CheckOptions& options,
                                      QProcessEnvironment base = QProcessEnvironment());

// Checks the port again and again until stop(): one check every interval (measured from the
// start of one check to the start of the next; a check that takes longer is followed at once).
// Prints a timestamped line, or with --json one JSON object a line, for the first check and for
// each check whose state differs from the one before, and runs --on-change for each change. A
// check that gets no result from the server is a state like any other. A check the server
// refused (429, 503) says nothing about the port: it is printed when a refusal begins, is never
// a change, and the state before it stays the one the next check is compared with; the next
// check waits at least as long as the server's Retry-After asks.
class WatchCommand : public QObject
{
    Q_OBJECT

public:
    // Starts the --on-change command: program and arguments, and its environment.
    using Runner = std::function<void(const QStringList& command, const QProcessEnvironment&)>;

    WatchCommand(const CheckOptions& options, QTextStream& out, QTextStream& err,
                 QObject* parent = nullptr);
    ~WatchCommand() override;

    // The interval, in milliseconds; options.watchSeconds unless set otherwise (tests and
    // measurements use short ones).
    void setIntervalMs(int milliseconds) { m_intervalMs = milliseconds; }
    // How --on-change commands are started; by default by a ChangeHook: without a shell, one
    // at a time, ended when the watch ends.
    void setRunner(Runner runner) { m_runner = std::move(runner); }

    void start();
    // Ends the watch: a check in flight is abandoned, a change that waits for --on-change is
    // dropped, the command that runs is ended (ChangeHook::stop), and finished(0) follows from
    // the event loop once it has gone.
    void stop();

    quint64 checksDone() const { return m_checksDone; }
    const QTimer& nextCheckTimer() const { return m_next; }

Q_SIGNALS:
    void checkDone(const quillmere::cli::WatchState& state);
    void finished(int exitStatus);

private:
    void startCheck();
    void onCheckFinished(int exitStatus);
    void report(const WatchState& state, const std::optional<WatchState>& before);
    void reportRefusal(const WatchState& state, const ServerRefusal& refusal);
    QString line(const WatchState& state, const std::optional<WatchState>& before) const;
    QJsonObject jsonLine(const WatchState& state, const std::optional<WatchState>& before) const;
    void reportHookFailure(const QString& program, const QString& reason);

    CheckOptions m_options; // each check's: JSON, no logs, no router
    bool m_json = false;    // how the watch itself prints
    QTextStream& m_out;
    QTextStream& m_err;
    int m_intervalMs = 0;
    ChangeHook m_hook;
    Runner m_runner;

    QString m_sinkText; // what a check would print: only its result is used
    QTextStream m_sink{&m_sinkText};
    std::unique_ptr<CheckCommand> m_check;
    QTimer m_next;
    QElapsedTimer m_sinceStart;
    std::optional<WatchState> m_last; // the last state the server gave a result for
    int m_refusedStatus = 0;          // the last check's refusal, 0: it was not refused
    quint64 m_checksDone = 0;
    bool m_stopped = false;
};

} // namespace quillmere::cli
