#pragma once

#include "cli/arguments.h"
#include "cli/consoleview.h"
#include "cli/logentries.h"
#include "cli/progressline.h"
#include "session/checksession.h"

#include <QJsonObject>
#include <QObject>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <optional>

namespace quillmere::cli {

// Runs one check session and prints what it finds as it stands: the verdict's lines as soon as
// it stands (the router never holds them up), the router's lines once it answered, a forward's
// line, the IPv6 line, or one JSON object at the end. finished() carries the exit status.
class CheckCommand : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kLogLimit = ExchangeLog::kDefaultLimit;

    // `routerBackend`: the way to the router (router::makeSystemRouterBackend(), or a scripted
    // one in tests). Not used with RouterAction::Skip; null acts as a LAN where no router answers.
    CheckCommand(const CheckOptions& options, QTextStream& out, QTextStream& err, bool showProgress,
                 std::unique_ptr<router::RouterBackend> routerBackend, QObject* parent = nullptr);
    ~CheckCommand() override;

    void start();
    const CheckEngine& engine() const { return m_session.engine(); }
    const session::CheckSession& session() const { return m_session; }

    // Once finished(): everything the command found, as --json prints it.
    const QJsonObject& result() const { return m_result; }

Q_SIGNALS:
    void finished(int exitStatus);

private:
    void onVerdict();
    void onDiagnosed();
    void onForwardDone();
    void onIpv6Done();
    void onFinished();
    int checkStatus(const session::CheckResult& check) const;
    QString verdictName(const session::CheckResult& check) const;
    QString progressText() const;

    CheckOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    ConsoleView m_view;
    ConsoleView m_ipv6View;
    session::CheckSession m_session;
    LogEntryEnds m_httpEntries{kLogLimit};
    LogEntryEnds m_listenerEntries{kLogLimit};
    LogEntryEnds m_ipv6HttpEntries{kLogLimit};
    LogEntryEnds m_ipv6ListenerEntries{kLogLimit};
    ProgressLine m_progress;
    bool m_started = false;

    QJsonObject m_checkJson; // the check's object for --json, router parts and all
    std::optional<QJsonObject> m_firstCheckJson; // the check before the forward
    std::optional<QJsonObject> m_ipv6Json;
    QJsonObject m_result;
};

} // namespace quillmere::cli
