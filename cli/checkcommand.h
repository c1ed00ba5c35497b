#pragma once

#include "engine/checkengine.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <optional>

namespace quillmere::cli {

// Exit statuses of quillmere-check.
enum ExitStatus : int {
    kExitOpenHere = 0,
    kExitOpenElsewhere = 1,
    kExitNotOpen = 2,
    kExitNoResult = 3,
    kExitPortLocked = 4,
    kExitUsage = 64,
};

struct CheckOptions
{
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    CheckServerAddress server;
    int timeoutMs = CheckEngine::kTimeoutMs;
    bool logs = false;
    bool json = false;
    QString portText; // as the port field would hold it after its change check
};

struct ParsedArguments
{
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    CheckOptions options;
    QString error; // one line, for UsageError
};

// `arguments` without the program name. The server is --server, else QUILLMERE_CHECK_SERVER,
// else the built-in one.
ParsedArguments parseArguments(const QStringList& arguments,
                               const QProcessEnvironment& environment);

QString usageLine();
QString helpText();

// Text from the network printed on a plain-text line: control characters are written as
// escapes (\r, \n, \t, \xHH) so that a reply can neither break the one-line-per-fact layout
// nor send commands to a terminal.
QString escapeForTerminal(QStringView text, bool keepLineBreaks = false);

// The front end of one check in a terminal: keeps the port text, the protocol and the label
// texts the engine shows.
class ConsoleView final : public CheckView
{
public:
    ConsoleView(QString portText, ProbeProtocol protocol, QTextStream& err);

    QString portText() const override { return m_portText; }
    void setPortText(const QString& text) override;
    bool isTcpSelected() const override { return m_protocol == ProbeProtocol::Tcp; }
    void setResultText(ResultLabel label, const QString& text) override;
    void setResultColour(ResultLabel label, TextColour colour) override;
    void showMessageBox(const QString& text, MessageIcon icon) override;

    const QString& text(ResultLabel label) const { return m_texts[index(label)]; }
    TextColour colour(ResultLabel label) const { return m_colours[index(label)]; }

private:
    static int index(ResultLabel label) { return int(label); }

    QString m_portText;
    ProbeProtocol m_protocol;
    QTextStream& m_err;
    QString m_texts[4];
    TextColour m_colours[4] = {};
};

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
    void printJson(const QString& verdictName, int exitStatus);
    void printLogs();
    void updateProgress();
    void clearProgress();

    CheckOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    ConsoleView m_view;
    std::unique_ptr<CheckEngine> m_engine;
    QTimer m_otherDeviceGrace;
    QTimer m_progress;
    bool m_showProgress = false;
    bool m_progressShown = false;
    bool m_done = false;
};

} // namespace quillmere::cli
