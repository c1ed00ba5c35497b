#pragma once

#include "engine/checkengine.h"
#include "engine/verdictsettler.h"
#include "firewall/detector.h"
#include "firewall/evidence.h"
#include "nat/natfacts.h"
#include "router/routerclient.h"
#include "session/recordingview.h"
#include "session/report.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace quillmere::session {

// Why a check of a running service gets no diagnosis.
inline constexpr QStringView kServiceCheckDiagnosis =
    u"A check of a running service cannot tell this computer from another device behind the "
    u"same forward; the router's mapping above says where the port goes.";

// Which address families a session checks.
enum class Families {
    Both, // IPv4, then IPv6 too when this computer and the server both have IPv6 addresses
    IPv4, // IPv4 only
    IPv6, // IPv6 only (the router, which maps IPv4 ports, is not asked)
};

struct SessionOptions
{
    CheckServerAddress server;
    Families families = Families::Both;
    // Whether a check over IPv6 follows the first one: nullopt lets the server's addresses and
    // this computer's decide.
    std::optional<bool> ipv6Wanted;
    // A server with IPv6 addresses only is checked over IPv6 in IPv6's words; false lets the
    // system choose the family and keeps the first check's words.
    bool ipv6WordsForIpv6OnlyServer = true;
    bool askRouter = true;
    // Why the router is not asked, when askRouter is false.
    QString noRouterReason;
    // Once the verdict stands and the port is not open here, ask the router to forward it to
    // this computer, then check again.
    bool forwardWhenNotOpen = false;
    qint64 leaseSeconds = 3600;
    int timeoutMs = CheckEngine::kTimeoutMs;
    qsizetype logLimit = ExchangeLog::kDefaultLimit;
    // How the front end lets the user name another server, for the note about a local one.
    QString howToSetServer;
    // The diagnosis names the port ("port 8080/tcp") rather than saying "the port".
    bool diagnosisNamesPort = false;
    // The window's check leaves its socket open once the verdict stands: a probe that comes
    // late still shows in its labels, and the next check (or the check's own time-out) closes
    // it. Only a check over IPv6, which needs the port, closes it first. A front end that
    // reports once (quillmere-check) closes it when the verdict stands.
    bool keepCheckOpen = false;

    // The router forwards the port here and its probe died on the way: check a control port
    // mapped the same way, to tell a block before this computer from a closed path.
    bool controlPort = true;
    // After a check that found the port open: one connection from this computer to the external
    // address, to tell whether devices inside can use it.
    bool hairpin = true;
    // A forward maps this router port to the checked port; 0: the same as the checked port.
    int externalPort = 0;
    // Whether the check's probe reached this computer (true: it arrived and was dropped or
    // refused here; false: nothing of it arrived); nullopt: cannot tell. Empty: the firewall
    // step's judgement of this computer's counters answers it. A probe that arrived here needs no
    // control port; one that did not makes a control port that got through a block before this
    // computer.
    std::function<std::optional<bool>(const Report&)> probeArrivedHere;
    // This computer's firewall: the kernel's counters are read around the first family's check
    // (no wait is added), and when the port is not open here the firewall is looked for once the
    // verdict stands, beside the router's answer; the diagnosis waits for it (bounded), the
    // verdict does not.
    bool lookAtFirewall = true;
    // Why the firewall is not looked at, when lookAtFirewall is false.
    QString noFirewallReason;
    // Where the look goes: the system's files, bus and nft unless the tests give their own.
    firewall::DetectorSources firewallSources;
    firewall::CounterFiles counterFiles;

    // The NAT's behaviour over UDP, found with a STUN server once the rest is done (alone when
    // the port is empty). Over UDP the tests run from the checked port when it is free, and a
    // forward of it to this computer counts.
    bool nat = false;
    // The STUN server, "host[:port]"; empty: the check server's host on 3478.
    QString stunServer;
};

// The STUN server a session asks: `text` ("host", "host:port", "[v6]:port", a bare IPv6
// address), else the check server's host, on 3478 unless a port is named. nullopt: `text` is not
// a host with an optional port from 1 to 65535.
std::optional<std::pair<QString, quint16>> stunServerOf(const QString& text,
                                                        const CheckServerAddress& checkServer);

// One run of the check flow, front end or not: the server's addresses, the check over the first
// family with the router asked beside it (it never holds up the verdict), the diagnosis once
// both are in, a forward when asked for, the holders of the port for a service check, and the
// check over IPv6. Everything lands in one Report; signals say when each part of it stands.
//
// A check's verdict stands at the first evaluation that is neither the UDP grace wait nor "open
// on another device"; that one is given VerdictSettler's grace for the probe to arrive here.
class CheckSession : public QObject
{
    Q_OBJECT

public:
    enum class Stage {
        Idle,
        LookingUp, // the server's addresses decide which families are checked
        Checking,  // the first family's check runs (the router may be asked beside it)
        WaitingForRouter,
        Forwarding,   // the router was asked to map (or unmap) the port
        Ipv6Checking, // the check over IPv6
        ControlPort,  // a control port is mapped, checked and removed
        Hairpin,      // the one connection to the external address
        Nat,          // the STUN tests of the NAT's behaviour
        Done,
    };

    // `view`: the front end's port field, protocol and labels, which the first family's check
    // shows its results in. `ipv6View`: where the IPv6 check shows its; null: nowhere, the
    // report keeps them. `routerBackend`: the way to the router; null acts as a LAN where no
    // router answers.
    CheckSession(CheckView& view, CheckView* ipv6View, SessionOptions options,
                 std::unique_ptr<router::RouterBackend> routerBackend, QObject* parent = nullptr);
    ~CheckSession() override;

    const SessionOptions& options() const { return m_options; }
    void setServer(const CheckServerAddress& server);
    void setIpv6Wanted(std::optional<bool> wanted) { m_options.ipv6Wanted = wanted; }
    // The external port the next forward maps to the checked port (0: the same port).
    void setExternalPort(int port) { m_options.externalPort = port; }
    // The next start() checks the service that holds the port instead of opening it.
    void setServiceCheck(bool service);

    // Looks up the server's addresses (serverLookedUp() follows); start() uses them.
    void lookUpServer();
    // A new check of the view's port: whatever runs is abandoned.
    void start();
    // Asks the router to forward the checked port to this computer; when it does, the port is
    // checked again. forwardDone() follows.
    void forward(qint64 leaseSeconds);
    // Only removes the router's mapping of the view's port to this computer; no check.
    void unforward();
    void cancel();

    const Report& report() const { return m_report; }
    Stage stage() const { return m_stage; }
    CheckEngine& engine() { return *m_engine; }
    const CheckEngine& engine() const { return *m_engine; }
    CheckEngine& ipv6Engine() { return *m_ipv6Engine; }
    const CheckEngine& ipv6Engine() const { return *m_ipv6Engine; }
    // What the current check still waits for, at most, in milliseconds.
    int msLeft() const;

    // Whether the router may map the port to this computer now: it takes mappings, the check
    // found it not open here, and no other device holds it. Empty when it may; otherwise why not.
    QString forwardObstacle() const;

Q_SIGNALS:
    void serverLookedUp();
    // A check began: the report's steps are reset.
    void checkStarted();
    // report().check stands (verdict, or a locked port).
    void verdictStands();
    // report().router holds the router's answer.
    void routerAnswered();
    // Both the verdict and the router's part stand: report().diagnosis is done or says why not.
    void diagnosed();
    void forwardStarted();
    void forwardDone();
    void ipv6Started();
    void ipv6Done();
    // report().controlPort stands (done or skipped). When the control port got through,
    // report().diagnosis now holds blocked-upstream.
    void controlPortDone();
    // report().hairpin stands (done or skipped).
    void hairpinDone();
    // report().firewall holds what was found of this computer's firewall.
    void firewallJudged();
    // The STUN tests began (report().nat runs), and report().nat stands (done or skipped).
    void natStarted();
    void natDone();
    // Every step is done or skipped.
    void finished();

private:
    void onServerLookedUp(const QList<QHostAddress>& addresses);
    void runCheck();
    void onEvaluated(const Verdict& verdict);
    void onPortLocked();
    void settle();
    void checkStands(bool portLocked);
    void proceed();
    void onLookedUp(const router::RouterFacts& facts);
    void startForward();
    void onForwarded(const router::ForwardResult& result);
    void onUnforwarded(const router::ForwardResult& result);
    void startIpv6();
    void maybeFinish();
    bool ipv6Planned() const;
    void onIpv6Evaluated(const Verdict& verdict);
    void ipv6Stands(bool portLocked);
    void finish();
    CheckResult snapshot(const CheckEngine& engine, const RecordingView& view,
                         bool portLocked) const;
    router::CheckFacts checkFacts() const;
    // This computer's firewall, around the first family's check.
    void startFirewall();
    void lookAtFirewall();
    void noteFirewallWait();
    void onFirewallFound(const firewall::Detection& detection);
    bool judgeFirewall(); // whether it judged now
    std::optional<firewall::CounterReading> readFirewallCounters() const;

    // The steps after the rest: each returns true when it started and will call maybeFinish().
    bool startControlPort();
    QString controlPortObstacle() const;
    bool portSeemsBlockedBeforeHere(QString* whyNot) const;
    std::optional<bool> probeArrivedHere() const;
    void mapControlPort();
    void onControlMapped(const router::ForwardResult& result);
    void onControlEvaluated(const Verdict& verdict);
    void controlStands();
    void onControlUnmapped(const router::ForwardResult& result);
    bool startHairpin();
    QString hairpinObstacle() const;
    void hairpinEnds(HairpinEnd end);
    void checkExternalPort(const router::ForwardResult& result, const QString& text);
    void externalStands();

    SessionOptions m_options;
    RecordingView m_view;
    RecordingView m_ipv6View;
    std::unique_ptr<CheckEngine> m_engine;
    std::unique_ptr<CheckEngine> m_ipv6Engine;
    std::unique_ptr<router::RouterClient> m_router; // null when the router is never asked
    VerdictSettler m_settler;
    VerdictSettler m_ipv6Settler;
    Report m_report;
    Stage m_stage = Stage::Idle;
    bool m_startPending = false;
    bool m_lookupDone = false;
    quint64 m_lookup = 0; // the latest lookup of the server's addresses
    int m_lookupsPending = 0;
    bool m_serviceCheck = false;
    bool m_forwardDecided = false; // this run asked for a forward, or chose not to
    bool m_ipv6Planned = false;
    QString m_ipv6Skipped;
    AddressFamily m_family = AddressFamily::IPv4;

    // The control port: its own engine and view, the port and how many were tried.
    RecordingView m_controlView;
    std::unique_ptr<CheckEngine> m_controlEngine;
    VerdictSettler m_controlSettler;
    int m_controlPort = 0;
    int m_controlTries = 0;
    bool m_controlOpen = false;
    // The hairpin connection, a listener on the port while it runs, and its limit.
    std::unique_ptr<QTcpSocket> m_hairpinSocket;
    std::unique_ptr<QTcpServer> m_hairpinListener;
    QTimer m_hairpinTimer;
    // The check through a mapping from another router port: the control engine checks that
    // port as a running service while a listener here holds the checked port.
    std::unique_ptr<QTcpServer> m_externalListener;
    std::optional<ForwardStep> m_externalStep; // set while that check runs
    int m_externalArrivals = 0;
    std::unique_ptr<firewall::FirewallDetector> m_firewallDetector; // null: never looked at
    std::optional<firewall::Detection> m_firewallDetection;
    firewall::EvidenceInput m_firewallEvidence;
    QElapsedTimer m_clock;

    // The NAT's behaviour: last, or alone with no port.
    bool startNat();
    void startNatAlone();
    void onNatDiscovered(const nat::NatFacts& facts);
    std::unique_ptr<nat::NatClient> m_natClient; // made at the first run
    int m_natPending = 0;                        // runs asked for and not yet reported
    bool m_natAlone = false;                     // this run is the STUN tests alone
};

} // namespace quillmere::session
