#include "cli/changehook.h"

#include <QProcess>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

constexpr QStringView kOldPrefix = u"QUILLMERE_OLD_";
constexpr QStringView kNewPrefix = u"QUILLMERE_NEW_";

// Whether every QUILLMERE_OLD_* variable equals its QUILLMERE_NEW_* twin: the changes merged
// into this run came back to where they started.
bool changeUndone(const QProcessEnvironment& environment)
{
    bool any = false;
    for (const QString& name : environment.keys()) {
        if (!name.startsWith(kOldPrefix))
            continue;
        any = true;
        const QString twin = kNewPrefix + QStringView(name).sliced(kOldPrefix.size());
        if (environment.value(name) != environment.value(twin))
            return false;
    }
    return any;
}

} // namespace

ChangeHook::ChangeHook(QObject* parent)
    : QObject(parent)
{
    m_kill.setSingleShot(true);
    connect(&m_kill, &QTimer::timeout, this, [this] { signalGroup(SIGKILL); });
}

ChangeHook::~ChangeHook()
{
    if (m_process) {
        // Not left behind: the process group goes, and QProcess reaps the command.
        m_process->disconnect(this);
        signalGroup(SIGKILL);
        m_process->waitForFinished(m_stopGraceMs);
    }
}

void ChangeHook::run(const QStringList& command, const QProcessEnvironment& environment)
{
    if (m_stopping || command.isEmpty())
        return;
    if (!m_process) {
        start({command, environment});
        return;
    }
    Run next{command, environment};
    if (m_waiting) {
        // The command has not heard of the change that waited: it still starts from there.
        const QProcessEnvironment& first = m_waiting->environment;
        for (const QString& name : first.keys()) {
            if (name.startsWith(kOldPrefix))
                next.environment.insert(name, first.value(name));
        }
    }
    m_waiting = std::move(next);
}

void ChangeHook::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_waiting.reset();
    if (!m_process) {
        QMetaObject::invokeMethod(this, &ChangeHook::stopped, Qt::QueuedConnection);
        return;
    }
    signalGroup(SIGTERM);
    m_kill.start(m_stopGraceMs);
}

void ChangeHook::start(const Run& run)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(run.command.front());
    process->setArguments(run.command.mid(1));
    process->setProcessEnvironment(run.environment);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // A group of its own: stop() reaches whatever the command started, and a Ctrl+C meant for
    // the watch reaches the command only through stop().
    process->setChildProcessModifier([toStandardError = m_outputToStandardError] {
        ::setpgid(0, 0);
        if (toStandardError)
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
    });
    QProcess* raw = process.get();
    connect(raw, &QProcess::started, this, [this, raw] {
        if (raw == m_process.get())
            Q_EMIT started(raw->processId());
    });
    connect(raw, &QProcess::errorOccurred, this, [this, raw](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || raw != m_process.get())
            return;
        Q_EMIT failedToStart(raw->program(), raw->errorString());
        onEnded();
    });
    connect(raw, &QProcess::finished, this, [this, raw] {
        if (raw == m_process.get())
            onEnded();
    });
    m_process = std::move(process);
    raw->start();
    // The child sets its group itself; setting it here too closes the moment between fork and
    // that in which a signal to the group would miss it. (It fails once the child has exec'd,
    // by which time the child has done it.)
    if (raw == m_process.get() && raw->processId() > 0)
        ::setpgid(pid_t(raw->processId()), pid_t(raw->processId()));
}

void ChangeHook::onEnded()
{
    m_kill.stop();
    if (m_process) {
        m_process->disconnect(this);
        // It emitted the signal that brought us here: it goes once that has returned.
        m_process.release()->deleteLater();
    }
    if (m_stopping) {
        Q_EMIT stopped();
        return;
    }
    if (!m_waiting)
        return;
    const Run next = std::move(*m_waiting);
    m_waiting.reset();
    if (!changeUndone(next.environment))
        start(next);
}

void ChangeHook::signalGroup(int signalNumber)
{
    if (!m_process)
        return;
    const auto pid = pid_t(m_process->processId());
    if (pid <= 0)
        return;
    // The group, or the command alone if it has not yet made its group.
    if (::kill(-pid, signalNumber) != 0)
        ::kill(pid, signalNumber);
}

} // namespace quillmere::cli
