#pragma once

#include "cli/arguments.h"
#include "cli/consoleview.h"
#include "cli/logentries.h"
#include "engine/checkengine.h"

#include <QObject>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace quillmere::cli {

// Runs one check and prints its settled verdict. finished() carries the exit status.
//
// A verdict is settled at the first evaluation that is neither the UDP grace wait (the next
// one, 5 s later, decides) nor "open on another device": that one is given up to 5 more seconds
// for the probe to arrive here, and stands if it does not.
class CheckCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr int kOtherDeviceGraceMs = 5000;
    static constexpr qsizetype kLogLimit = ExchangeLog::kDefaultLimit;

    CheckCommand(const CheckOptions& options, QTextStream& out, QTextStream& err, bool showProgress,
                 QObject* parent = nullptr);
    ~CheckCommand() override;

    void start();
    const CheckEngine& engine() const { return *m_engine; }

Q_SIGNALS:
    void finished(int exitStatus);

private:
    void onEvaluated(const Verdict& verdict);
    void onPortLocked();
    void settle();
    void finish(int exitStatus);
    void printPlain();
    void printLogs();
    void onCheckStarted();
    void onHttpLogAppended();
    void onListenerLogAppended();
    void updateProgress();
    void clearProgress();

    CheckOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    ConsoleView m_view;
    std::unique_ptr<CheckEngine> m_engine;
    LogEntryEnds m_httpEntries{kLogLimit};
    LogEntryEnds m_listenerEntries{kLogLimit};
    QTimer m_otherDeviceGrace;
    QTimer m_progress;
    bool m_showProgress = false;
    bool m_progressShown = false;
    bool m_done = false;
};

} // namespace quillmere::cli
