#pragma once

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

class QProcess;

namespace quillmere::cli {

// Runs a watch's --on-change command, one at a time: a change that comes while the command runs
// waits, and a later one takes its place, so that at most one runs and one waits however fast
// the port changes. The one that waits gets the QUILLMERE_OLD_* variables of the first change
// that waited (the state the command last heard of as new) and everything else of the latest;
// when the latest undid the change, so that old and new are the same, it does not run at all.
//
// The command runs without a shell, in a process group of its own, with stdin from /dev/null
// and the watch's stdout (or, with setOutputToStandardError, its stderr) and stderr; it is reaped
// when it ends. stop() drops a change that waits and ends the command that runs: SIGTERM to its
// process group at once, SIGKILL after stopGraceMs if it is still there; stopped() follows once
// nothing runs.
class ChangeHook : public QObject
{
    Q_OBJECT

public:
    static constexpr int kStopGraceMs = 2000;

    explicit ChangeHook(QObject* parent = nullptr);
    ~ChangeHook() override;

    // Runs `command` (program and arguments) with `environment` now, or once the command that
    // runs has ended. Ignored after stop().
    void run(const QStringList& command, const QProcessEnvironment& environment);
    void stop();

    void setStopGraceMs(int milliseconds) { m_stopGraceMs = milliseconds; }
    // Sends what the command writes to standard output to the watch's standard error instead,
    // so that output meant for a program (one JSON object a line) stays whole.
    void setOutputToStandardError(bool toStandardError)
    {
        m_outputToStandardError = toStandardError;
    }
    bool isRunning() const { return m_process != nullptr; }
    bool isWaiting() const { return m_waiting.has_value(); }

Q_SIGNALS:
    void started(qint64 processId);
    // The command could not be started (no such program, not executable, ...): `reason` says
    // why. Nothing runs then; a change that waits runs next.
    void failedToStart(const QString& program, const QString& reason);
    void stopped();

private:
    struct Run
    {
        QStringList command;
        QProcessEnvironment environment;
    };

    void start(const Run& run);
    void onEnded();
    void signalGroup(int signalNumber);

    std::unique_ptr<QProcess> m_process;
    std::optional<Run> m_waiting;
    QTimer m_kill;
    int m_stopGraceMs = kStopGraceMs;
    bool m_stopping = false;
    bool m_outputToStandardError = false;
};

} // namespace quillmere::cli
