#pragma once

#include "cli/arguments.h"
#include "cli/consoleview.h"
#include "cli/logentries.h"
#include "cli/routeroutput.h"
#include "engine/checkengine.h"
#include "engine/verdictsettler.h"
#include "router/diagnosis.h"
#include "router/routerclient.h"
#include "service/portholders.h"

#include <QHostInfo>
#include <QJsonObject>
#include <QObject>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <optional>

namespace quillmere::cli {

// Runs one check and prints its settled verdict, and what the router on the LAN says about the
// port. finished() carries the exit status.
//
// A verdict is settled at the first evaluation that is neither the UDP grace wait (the next
// one, 5 s later, decides) nor "open on another device": that one is given up to 5 more seconds
// for the probe to arrive here, and stands if it does not.
//
// The check runs over IPv4 and, where this computer and the server both have IPv6 addresses, a
// second check runs over IPv6 once the first is done (-4 and -6 choose one). The exit status is
// the first check's. With --service the engine opens nothing and checks whatever holds the port.
//
// The router is asked beside the check and never holds up its verdict: the verdict's lines are
// printed as soon as it settles, and the router's lines once the lookup is done too (the backend
// bounds it). --forward then maps the port and checks again; --unforward only removes a mapping.
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
    const CheckEngine& engine() const { return *m_engine; }

    // Once finished(): everything the command found, as --json prints it.
    const QJsonObject& result() const { return m_result; }

Q_SIGNALS:
    void finished(int exitStatus);

private:
    // Where the command stands.
    enum class Phase {
        Idle,
        LookingUp,    // the server's addresses decide which families are checked
        Checking,     // the engine runs (and the router may be asked beside it)
        Settled,      // the verdict stands; waiting for the router's answer
        Forwarding,   // the router was asked to map the port
        Unforwarding, // the router was asked to remove the mapping
        Ipv6Checking, // the second check, over IPv6
        Done,
    };

    void onServerLookedUp(const QHostInfo& info);
    void startCheck();
    void startIpv6Check();
    void ipv6Settled(int exitStatus, const QString& verdictName);
    void printIpv6Lines();
    bool isChecking() const { return m_phase == Phase::Checking || m_phase == Phase::Ipv6Checking; }
    void onEvaluated(const Verdict& verdict);
    void onPortLocked();
    void settle();
    void settled(int exitStatus, const QString& verdictName);
    void proceed();
    void onLookedUp(const router::RouterFacts& facts);
    void startForward();
    void onForwarded(const router::ForwardResult& result);
    void onUnforwarded(const router::ForwardResult& result);
    void forwardNotAsked(const QString& reason, int exitStatus);
    void finish(int exitStatus);
    void printResultLines();
    void printLogs();
    router::CheckFacts checkFacts() const;
    QString holdersText() const;
    QJsonObject holdersJson() const;
    void onCheckStarted();
    void onHttpLogAppended();
    void onListenerLogAppended();
    void updateProgress();
    void showProgress();
    void clearProgress();

    // The router maps IPv4 ports; a check over IPv6 alone does not ask it.
    bool usesRouter() const
    {
        return m_options.router != RouterAction::Skip && m_options.families != FamilyChoice::IPv6;
    }

    CheckOptions m_options;
    QTextStream& m_out;
    QTextStream& m_err;
    ConsoleView m_view;
    std::unique_ptr<CheckEngine> m_engine;
    std::unique_ptr<router::RouterClient> m_router; // null with --no-router
    int m_port = 0;                                 // the port as a number, for the router
    LogEntryEnds m_httpEntries{kLogLimit};
    LogEntryEnds m_listenerEntries{kLogLimit};
    VerdictSettler m_settler;
    QTimer m_progress;
    Phase m_phase = Phase::Idle;
    bool m_showProgress = false;
    bool m_progressShown = false;

    // The current check.
    bool m_portLocked = false;
    int m_checkStatus = 0;
    QString m_verdictName;
    std::optional<router::RouterFacts> m_routerFacts;
    std::optional<router::Diagnosis> m_diagnosis;
    QJsonObject m_checkJson; // the check's object for --json, router parts and all

    // The families: the first check's, and the second check over IPv6 or why there is none.
    AddressFamily m_family = AddressFamily::IPv4;
    bool m_ipv6Planned = false;
    QString m_ipv6Skipped;
    std::optional<QJsonObject> m_ipv6Json;
    std::optional<VerdictKind> m_firstKind;
    int m_exitStatus = 0; // the first check's, kept while the IPv6 check runs
    QJsonObject m_result;
    QString m_serverNote;                          // when the server is on this computer or the LAN
    std::optional<service::PortHolders> m_holders; // --service: who holds the port

    // --forward and --unforward.
    std::optional<ForwardOutcome> m_forward;
    std::optional<QJsonObject> m_firstCheckJson; // the check before the forward, when checked again
};

} // namespace quillmere::cli
