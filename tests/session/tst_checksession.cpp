#include "router/lan.h"
#include "session/checksession.h"
#include "tests/engine/enginetestkit.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;
using session::CheckSession;
using session::Families;
using session::SessionOptions;

namespace {

// The port field and the protocol buttons of a front end that shows nothing.
class FieldView final : public CheckView
{
public:
    FieldView(QString port, ProbeProtocol protocol)
        : m_port(std::move(port))
        , m_tcp(protocol == ProbeProtocol::Tcp)
    {}
    QString portText() const override { return m_port; }
    void setPortText(const QString& text) override { m_port = text; }
    bool isTcpSelected() const override { return m_tcp; }
    void setResultText(ResultLabel, const QString&) override {}
    void setResultColour(ResultLabel, TextColour) override {}
    void showMessageBox(const QString& text, MessageIcon) override { boxes << text; }

    QStringList boxes;

private:
    QString m_port;
    bool m_tcp;
};

// A router that answers over UPnP, takes mappings and names the address the scripted server
// reports as its own.
ScriptedRouter::Script upnpRouter()
{
    ScriptedRouter::Script script;
    router::RouterFacts& facts = script.facts;
    facts.found = true;
    facts.via = router::Via::Upnp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = u"192.168.1.10"_s;
    facts.externalAddress = u"127.0.0.1"_s;
    facts.canMap = true;
    facts.mappingQueried = true;
    script.forward.ok = true;
    return script;
}

// One session against `server` over the view's port, with the router scripted when `script` is
// given.
struct Fixture
{
    Fixture(const ScriptedCheckServer& server, const QString& port,
            std::optional<ScriptedRouter::Script> script, SessionOptions options = {},
            ProbeProtocol protocol = ProbeProtocol::Tcp)
        : view(port, protocol)
    {
        options.server = {u"127.0.0.1"_s, server.port()};
        options.askRouter = script.has_value();
        options.noRouterReason = u"not wanted here"_s;
        std::unique_ptr<router::RouterBackend> backend;
        if (script)
            backend = std::make_unique<ScriptedRouter>(*script, record);
        session = std::make_unique<CheckSession>(view, nullptr, options, std::move(backend));
        session->engine().setTimeoutInterval(3000);
    }

    // Runs the session to its end; false when it did not end in time.
    bool run()
    {
        QSignalSpy finished(session.get(), &CheckSession::finished);
        session->start();
        return finished.count() > 0 || finished.wait(20000);
    }

    FieldView view;
    std::shared_ptr<ScriptedRouter::Record> record = std::make_shared<ScriptedRouter::Record>();
    std::unique_ptr<CheckSession> session;
};

// The server's reply, saying how its probe ended: "connected" when it got in, else `unreached`.
// `external` is the address it names as this network's.
std::function<QList<QByteArray>(const CheckRequest&, const ProbeOutcome&)>
replyWithProbeEnd(QByteArray unreached = "timed-out", QByteArray external = "127.0.0.1")
{
    return [=](const CheckRequest& request, const ProbeOutcome& outcome) {
        QByteArray body = "Port " + request.port + "/" + request.protocol + ": ";
        if (request.protocol == "tcp")
            body += outcome.reached ? QByteArray("-tcpopen- -probe:connected- ")
                                    : QByteArray("-probe:" + unreached + "- ");
        body += "-ping ok -ip:" + external + "- -done-\n";
        return QList<QByteArray>{httpReply(body)};
    };
}

// A router over UPnP that keeps a table of mappings, with `port` mapped to this computer.
ScriptedRouter::Script mappedHere(quint16 port, ScriptedRouter::Record& record)
{
    ScriptedRouter::Script script = upnpRouter();
    script.keepsMappings = true;
    script.unforward.ok = true;
    record.mappings.insert(port, router::Mapping{u"192.168.1.10"_s, port, u"Game"_s, 0, {}, true});
    return script;
}

// A TCP listener on loopback whose queue of connections not yet accepted holds one: once a
// connection waits in it, the kernel drops every further SYN, so a connection to it gets no
// answer at all.
class FullBacklog
{
public:
    FullBacklog()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_fd, 0) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~FullBacklog()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;

    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

} // namespace

class TestCheckSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyStepOfAnOpenPort();
    void verdictStandsBeforeASlowRouter();
    void noRouterAskedWhenNotWanted();
    void lockedPortIsNotChecked();
    void forwardRefusedWhenAnotherDeviceHoldsThePort();
    void forwardThenCheckAgain();
    void ipv6SkippedAndWhy();
    void ipv6AfterIpv4WhenWanted();
    void ipv6OnlyOverLoopback();
    void serviceCheckNamesTheHolder();
    void nothingHoldsThePortForAServiceCheck();
    void holderReadWhenTheVerdictStands();
    void windowKeepsItsCheckOpenAfterTheVerdict_data();
    void windowKeepsItsCheckOpenAfterTheVerdict();

    void controlPortFindsABlockBeforeThisComputer();
    void controlPortClosedToo();
    void controlPortMappingThatStays();
    void controlPortSkippedAndWhy_data();
    void controlPortSkippedAndWhy();
    void hairpinOnceAfterAnOpenPort_data();
    void hairpinOnceAfterAnOpenPort();
    void hairpinSkippedAndWhy_data();
    void hairpinSkippedAndWhy();
    // Pinholes in the router's IPv6 firewall.
    void pinholeThenCheckOverIpv6Again();
    void pinholeRefusedAndWhy_data();
    void pinholeRefusedAndWhy();
    void unforwardOverIpv6ClosesThePinhole();
    void pinholeForTheIpv6LineChecksIpv6Again();
};

void TestCheckSession::everyStepOfAnOpenPort()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    Fixture f(server, port, upnpRouter());
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(report.port, port.toInt());
    QVERIFY(report.serverAddresses.isDone());
    QVERIFY(report.serverNote.contains(u"cannot speak for your router"_s)); // loopback
    QVERIFY(report.check.isDone());
    QCOMPARE(report.check->kind(), VerdictKind::OpenHere);
    QCOMPARE(report.check->family, AddressFamily::IPv4);
    QCOMPARE(report.check->text(ResultLabel::Status), u"Your port is OPEN on this computer!"_s);
    QVERIFY(report.check->httpLog.contains(u"-done-"_s));
    QVERIFY(report.router.isDone());
    QCOMPARE(report.router->address, u"192.168.1.1"_s);
    QCOMPARE(f.record->lookupCount(), 1);
    QCOMPARE(f.record->lookups.front().port, port.toInt());
    QVERIFY(report.diagnosis.isDone());
    QCOMPARE(report.diagnosis->finding, router::Finding::ForwardedHere);
    // Steps that did not run say why.
    QVERIFY(report.holders.isNotRun());
    QCOMPARE(report.holders.reason(), u"not a check of a running service"_s);
    QVERIFY(report.forward.isNotRun());
    QVERIFY(report.ipv6.isNotRun());
    QVERIFY(!report.ipv6.reason().isEmpty()); // the server has no IPv6 address
    QVERIFY(!report.firstCheck);
    QCOMPARE(server.requests().size(), 1);
}

// The router's answer never holds up the verdict: it stands first, and the diagnosis follows
// once the router has answered.
void TestCheckSession::verdictStandsBeforeASlowRouter()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    ScriptedRouter::Script script = upnpRouter();
    script.delayMs = 1500;
    Fixture f(server, QString::number(freePort()), script);
    QStringList order;
    for (auto [signal, name] : {std::pair{&CheckSession::verdictStands, u"verdict"_s},
                                std::pair{&CheckSession::routerAnswered, u"router"_s},
                                std::pair{&CheckSession::diagnosed, u"diagnosis"_s},
                                std::pair{&CheckSession::finished, u"finished"_s}})
        QObject::connect(f.session.get(), signal, f.session.get(),
                         [&order, name] { order << name; });
    bool routerRunningAtVerdict = false;
    QObject::connect(f.session.get(), &CheckSession::verdictStands, f.session.get(),
                     [&] { routerRunningAtVerdict = f.session->report().router.isRunning(); });
    QVERIFY(f.run());
    QVERIFY(routerRunningAtVerdict);
    QCOMPARE(order, (QStringList{u"verdict"_s, u"router"_s, u"diagnosis"_s, u"finished"_s}));
}

void TestCheckSession::noRouterAskedWhenNotWanted()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Fixture f(server, QString::number(freePort()), std::nullopt);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(report.check->kind(), VerdictKind::OpenHere);
    QVERIFY(report.router.isNotRun());
    QCOMPARE(report.router.reason(), u"not wanted here"_s);
    QVERIFY(report.diagnosis.isNotRun());
    QCOMPARE(report.diagnosis.reason(), u"the router was not asked"_s);

    // Over IPv6 alone the router, which maps IPv4 ports, is not asked either.
    SessionOptions ipv6Only;
    ipv6Only.families = Families::IPv6;
    Fixture g(server, QString::number(freePort()), upnpRouter(), ipv6Only);
    g.session->engine().setTimeoutInterval(1000);
    QVERIFY(g.run());
    QVERIFY(g.session->report().router.isNotRun());
    QVERIFY(g.session->report().router.reason().contains(u"IPv6"_s));
    QCOMPARE(g.record->lookupCount(), 0);
}

// A port another program holds is not checked: nothing goes to the server, the router is still
// asked, and the IPv6 check that would need the same port says why it did not run.
void TestCheckSession::lockedPortIsNotChecked()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::Any, 0));
    SessionOptions options;
    options.ipv6Wanted = true;
    Fixture f(server, QString::number(holder.localPort()), upnpRouter(), options,
              ProbeProtocol::Udp);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QVERIFY(report.check.isDone());
    QVERIFY(report.check->portLocked);
    QVERIFY(!report.check->verdict);
    QCOMPARE(report.check->kind(), VerdictKind::Pending);
    QVERIFY(server.requests().isEmpty());
    QVERIFY(report.router.isDone());
    QCOMPARE(f.record->lookupCount(), 1);
    QVERIFY(report.ipv6.isNotRun());
    QCOMPARE(report.ipv6.reason(), u"the port could not be opened on this computer"_s);
    QCOMPARE(f.view.boxes.size(), 1);
    QVERIFY(!f.session->forwardObstacle().isEmpty());
}

void TestCheckSession::forwardRefusedWhenAnotherDeviceHoldsThePort()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None; // not open
    QVERIFY(server.listen());
    const quint16 port = freePort();
    ScriptedRouter::Script script = upnpRouter();
    script.facts.mapping =
        router::Mapping{u"192.168.1.20"_s, port, u"Camera"_s, 3600, u"dvr.lan"_s, false};
    SessionOptions options;
    options.forwardWhenNotOpen = true;
    Fixture f(server, QString::number(port), script, options);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(report.check->kind(), VerdictKind::NotOpen);
    QVERIFY(report.forward.isDone());
    QVERIFY(!report.forward->asked);
    QVERIFY(report.forward->result.conflict);
    QVERIFY(!report.forward->result.ok);
    QVERIFY2(report.forward->text.contains(u"192.168.1.20"_s), qPrintable(report.forward->text));
    QCOMPARE(f.record->forwardCount(), 0);
    QCOMPARE(f.session->forwardObstacle(), u"another device holds the port"_s);

    // A port already open here is not forwarded either.
    ScriptedCheckServer open;
    QVERIFY(open.listen());
    Fixture g(open, QString::number(freePort()), upnpRouter(), options);
    QVERIFY(g.run());
    QVERIFY(!g.session->report().forward->asked);
    QVERIFY(g.session->report().forward->text.contains(u"already open"_s));
    QCOMPARE(g.record->forwardCount(), 0);
}

// A forward the router takes is followed by a second check through it; the first is kept.
void TestCheckSession::forwardThenCheckAgain()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    SessionOptions options;
    options.forwardWhenNotOpen = true;
    options.leaseSeconds = 600;
    Fixture f(server, QString::number(port), upnpRouter(), options);
    QSignalSpy checks(f.session.get(), &CheckSession::verdictStands);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(checks.count(), 2);
    QVERIFY(report.forward->asked);
    QVERIFY(report.forward->result.ok);
    QCOMPARE(f.record->forwardCount(), 1);
    QCOMPARE(f.record->forwards.front().leaseSeconds, 600);
    QCOMPARE(f.record->lookupCount(), 2);
    QVERIFY(report.firstCheck);
    QCOMPARE(report.firstCheck->kind(), VerdictKind::NotOpen);
    QVERIFY(report.check.isDone());
    QCOMPARE(server.requests().size(), 2);
}

void TestCheckSession::ipv6SkippedAndWhy()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    SessionOptions ipv4Only;
    ipv4Only.families = Families::IPv4;
    Fixture f(server, QString::number(freePort()), std::nullopt, ipv4Only);
    QVERIFY(f.run());
    QVERIFY(f.session->report().ipv6.isNotRun());
    QCOMPARE(f.session->report().ipv6.reason(), u"only IPv4 was asked for (-4)"_s);

    // The server's addresses decide: 127.0.0.1 has no IPv6 one.
    Fixture g(server, QString::number(freePort()), std::nullopt);
    QVERIFY(g.run());
    QVERIFY(g.session->report().ipv6.isNotRun());
    QCOMPARE(g.session->report().ipv6.reason(), ipv6Obstacle(HostFamilies{true, false}));
}

// Where the check over IPv6 is wanted it follows the IPv4 one on an engine of its own, leaving
// the first check's result alone.
void TestCheckSession::ipv6AfterIpv4WhenWanted()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    SessionOptions options;
    options.ipv6Wanted = true;
    Fixture f(server, QString::number(freePort()), std::nullopt, options);
    QSignalSpy started(f.session.get(), &CheckSession::ipv6Started);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(started.count(), 1);
    QCOMPARE(report.check->kind(), VerdictKind::OpenHere);
    QVERIFY(report.ipv6.isDone());
    QCOMPARE(report.ipv6->family, AddressFamily::IPv6);
    // The IPv4-only server cannot be reached over IPv6.
    QCOMPARE(report.ipv6->kind(), VerdictKind::NoResult);
    QCOMPARE(report.ipv6->text(ResultLabel::Status), text::kIpv6NoResult.toString());
    QCOMPARE(report.check->text(ResultLabel::Status), u"Your port is OPEN on this computer!"_s);
    QCOMPARE(server.requests().size(), 1);
}

// Over IPv6 alone the session's first check is the IPv6 one, in IPv6's words, with the address
// the server probed.
void TestCheckSession::ipv6OnlyOverLoopback()
{
    QTcpServer v6;
    if (!v6.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("this machine has no IPv6 loopback");
    v6.close();
    ScriptedCheckServer server;
    QVERIFY(server.listen(QHostAddress::LocalHostIPv6));
    server.script().probeAddress = QHostAddress::LocalHostIPv6;
    server.script().replyBuilder = [](const CheckRequest& request, const ProbeOutcome& outcome) {
        return realisticReply(request, outcome, "2001:db8::7");
    };
    FieldView view(QString::number(freePort()), ProbeProtocol::Tcp);
    SessionOptions options;
    options.server = {u"::1"_s, server.port()};
    options.families = Families::IPv6;
    CheckSession session(view, nullptr, options, nullptr);
    QSignalSpy finished(&session, &CheckSession::finished);
    session.start();
    QVERIFY(finished.wait(15000));
    const session::Report& report = session.report();
    QCOMPARE(report.check->family, AddressFamily::IPv6);
    QCOMPARE(report.check->kind(), VerdictKind::OpenHere);
    QCOMPARE(report.check->text(ResultLabel::Status),
             u"Your port is OPEN on this computer over IPv6!"_s);
    QCOMPARE(report.check->addressText(), u"2001:db8::7"_s);
    QVERIFY(report.router.isNotRun());
    QVERIFY(report.ipv6.isNotRun());
}

void TestCheckSession::serviceCheckNamesTheHolder()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::Any, 0));
    Fixture f(server, QString::number(service.serverPort()), upnpRouter());
    f.session->setServiceCheck(true);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QVERIFY(report.check->service);
    QCOMPARE(report.check->reach(), ServiceReach::Reachable);
    QVERIFY(report.holders.isDone());
    QVERIFY(!report.holders->sockets.isEmpty());
    // A service check cannot tell this computer from another device: no diagnosis, and why.
    QVERIFY(report.diagnosis.isNotRun());
    QVERIFY(report.diagnosis.reason().contains(u"running service"_s));
}

void TestCheckSession::nothingHoldsThePortForAServiceCheck()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Fixture f(server, QString::number(freePort()), upnpRouter());
    f.session->setServiceCheck(true);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QVERIFY(report.nothingHoldsPort);
    QVERIFY(report.check.isNotRun());
    QCOMPARE(report.check.reason(), u"nothing on this computer holds the port"_s);
    QCOMPARE(f.record->lookupCount(), 0);
    QVERIFY(server.requests().isEmpty());
}

// The holder is named as the verdict finds it, not as the check began: one that exits while the
// server probes is not named as holding the port.
void TestCheckSession::holderReadWhenTheVerdictStands()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    auto service = std::make_unique<QTcpServer>();
    QVERIFY(service->listen(QHostAddress::Any, 0));
    const quint16 port = service->serverPort();
    // The holder exits as soon as the server has the request, before it probes.
    QObject::connect(&server, &ScriptedCheckServer::requestReceived, &server,
                     [&service] { service.reset(); });
    Fixture f(server, QString::number(port), std::nullopt);
    f.session->setServiceCheck(true);
    QVERIFY(f.run());
    QVERIFY(!service);
    const session::Report& report = f.session->report();
    QCOMPARE(report.check->reach(), ServiceReach::NotReachable);
    QVERIFY(report.holders.isDone());
    QVERIFY(report.holders->sockets.isEmpty());
    QCOMPARE(service::describeHolders(*report.holders, port, ProbeProtocol::Tcp),
             u"no program on this computer listens on TCP port "_s + QString::number(port));
}

namespace {

// A router whose IPv6 firewall takes pinholes (UPnP IGDv2), and opens one when asked.
ScriptedRouter::Script pinholeRouter()
{
    ScriptedRouter::Script script = upnpRouter();
    script.facts.ipv6 = router::Ipv6RouterFacts{true, router::Via::Upnp, std::nullopt};
    router::ForwardResult& made = script.forward;
    made.ok = true;
    made.kind = router::ForwardKind::Pinhole;
    made.via = router::Via::Upnp;
    made.pinhole = router::Pinhole{u"7"_s, {}, 600, u"2001:db8::10"_s};
    script.unforward = made;
    return script;
}

// A check server on ::1 whose probe gets no answer: the port is not open over IPv6.
bool listenOnIpv6(ScriptedCheckServer& server)
{
    QTcpServer v6;
    if (!v6.listen(QHostAddress::LocalHostIPv6, 0))
        return false;
    v6.close();
    if (!server.listen(QHostAddress::LocalHostIPv6))
        return false;
    server.script().probe = ServerScript::Probe::None;
    return true;
}

} // namespace

// With only IPv6 checked, a forward is a pinhole for this computer's global IPv6 address; the
// port is then checked over IPv6 again.
void TestCheckSession::pinholeThenCheckOverIpv6Again()
{
    ScriptedCheckServer server;
    if (!listenOnIpv6(server))
        QSKIP("this machine has no IPv6 loopback");
    SessionOptions options;
    options.families = Families::IPv6;
    options.forwardWhenNotOpen = true;
    options.leaseSeconds = 600;
    options.externalPort = 50123; // no other port over IPv6: not passed on
    Fixture f(server, QString::number(freePort()), pinholeRouter(), options);
    f.session->setServer({u"::1"_s, server.port()});
    QSignalSpy checks(f.session.get(), &CheckSession::verdictStands);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(checks.count(), 2);
    QCOMPARE(f.record->lookupCount(), 2); // the router is asked beside each check
    QCOMPARE(f.record->forwardCount(), 1);
    const router::ForwardRequest asked = f.record->forwards.front();
    QVERIFY(asked.ipv6);
    QCOMPARE(asked.externalPort, 0);
    QCOMPARE(asked.leaseSeconds, 600);
    QVERIFY(report.forward->asked);
    QCOMPARE(report.forward->result.kind, router::ForwardKind::Pinhole);
    QVERIFY2(report.forward->text.startsWith(u"the IPv6 pinhole for port "_s),
             qPrintable(report.forward->text));
    QVERIFY(report.firstCheck);
    QCOMPARE(report.firstCheck->family, AddressFamily::IPv6);
    QCOMPARE(report.check->family, AddressFamily::IPv6);
    // The diagnosis judges the way in over IPv4: not for a check over IPv6 alone.
    QVERIFY(report.diagnosis.isNotRun());
    QVERIFY(report.diagnosis.reason().contains(u"IPv6"_s));
    QCOMPARE(server.requests().size(), 2);
}

void TestCheckSession::pinholeRefusedAndWhy_data()
{
    QTest::addColumn<bool>("firewallAnswered");
    QTest::addColumn<bool>("pinholeAllowed");
    QTest::addColumn<QString>("why");
    QTest::newRow("no IPv6 firewall answered")
        << false << false << u"no router offers pinholes in its IPv6 firewall"_s;
    QTest::newRow("a firewall that takes none")
        << true << false << u"takes no pinholes for inbound connections"_s;
}

void TestCheckSession::pinholeRefusedAndWhy()
{
    QFETCH(bool, firewallAnswered);
    QFETCH(bool, pinholeAllowed);
    QFETCH(QString, why);
    ScriptedCheckServer server;
    if (!listenOnIpv6(server))
        QSKIP("this machine has no IPv6 loopback");
    ScriptedRouter::Script script = pinholeRouter();
    script.facts.ipv6.reset();
    if (firewallAnswered)
        script.facts.ipv6 = router::Ipv6RouterFacts{pinholeAllowed, router::Via::Upnp, {}};
    SessionOptions options;
    options.families = Families::IPv6;
    options.forwardWhenNotOpen = true;
    Fixture f(server, QString::number(freePort()), script, options);
    f.session->setServer({u"::1"_s, server.port()});
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(f.record->forwardCount(), 0);
    QVERIFY(!report.forward->asked);
    QCOMPARE(report.forward->result.kind, router::ForwardKind::Pinhole);
    QVERIFY2(report.forward->text.contains(why), qPrintable(report.forward->text));
    QVERIFY(!report.firstCheck);
}

void TestCheckSession::unforwardOverIpv6ClosesThePinhole()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    SessionOptions options;
    options.families = Families::IPv6;
    options.forwardWhenNotOpen = false;
    options.externalPort = 50123;
    Fixture f(server, u"8080"_s, pinholeRouter(), options);
    QSignalSpy done(f.session.get(), &CheckSession::forwardDone);
    f.session->unforward();
    QVERIFY(done.wait(10000));
    QCOMPARE(f.record->unforwardCount(), 1);
    QVERIFY(f.record->unforwards.front().ipv6);
    QCOMPARE(f.record->unforwards.front().externalPort, 0);
    QCOMPARE(f.record->unforwards.front().port, 8080);
    const session::Report& report = f.session->report();
    QVERIFY(report.forward->removing);
    QVERIFY2(report.forward->text.contains(u"pinhole for port 8080/tcp is closed"_s),
             qPrintable(report.forward->text));
}

// The window's forward button on the IPv6 line: a pinhole after the IPv6 check, then that check
// again.
void TestCheckSession::pinholeForTheIpv6LineChecksIpv6Again()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    SessionOptions options;
    options.ipv6Wanted = true;
    Fixture f(server, QString::number(freePort()), pinholeRouter(), options);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QVERIFY(report.ipv6.isDone());
    QCOMPARE(report.ipv6->kind(), VerdictKind::NoResult);
    QVERIFY2(f.session->pinholeObstacle().isEmpty(), qPrintable(f.session->pinholeObstacle()));

    QSignalSpy forwarded(f.session.get(), &CheckSession::forwardDone);
    QSignalSpy ipv6Done(f.session.get(), &CheckSession::ipv6Done);
    f.session->forwardIpv6(3600);
    QVERIFY(forwarded.wait(10000));
    QCOMPARE(f.record->forwardCount(), 1);
    QVERIFY(f.record->forwards.front().ipv6);
    QCOMPARE(report.forward->result.kind, router::ForwardKind::Pinhole);
    QVERIFY(ipv6Done.count() > 0 || ipv6Done.wait(15000));
    QVERIFY(report.ipv6.isDone());
    // The IPv4 result stays as it was.
    QCOMPARE(report.check->kind(), VerdictKind::OpenHere);

    // Without an IPv6 firewall that takes pinholes, there is nothing to ask.
    ScriptedRouter::Script none = pinholeRouter();
    none.facts.ipv6.reset();
    Fixture g(server, QString::number(freePort()), none, options);
    QVERIFY(g.run());
    QVERIFY(g.session->pinholeObstacle().contains(u"no router offers pinholes"_s));
    g.session->forwardIpv6(3600);
    QCOMPARE(g.record->forwardCount(), 0);
    QVERIFY(g.session->report().forward.isNotRun());
}

QTEST_GUILESS_MAIN(TestCheckSession)
#include "tst_checksession.moc"

void TestCheckSession::windowKeepsItsCheckOpenAfterTheVerdict_data()
{
    QTest::addColumn<bool>("keepCheckOpen");
    QTest::newRow("window") << true;
    QTest::newRow("command") << false;
}

// The window's socket stays open after the verdict: a probe that comes late still reaches it,
// until the next check. The command's closes when the verdict stands.
void TestCheckSession::windowKeepsItsCheckOpenAfterTheVerdict()
{
    QFETCH(bool, keepCheckOpen);
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    SessionOptions options;
    options.keepCheckOpen = keepCheckOpen;
    // The way back in from the LAN listens on the port for its moment: not this test's matter.
    options.hairpin = false;
    Fixture f(server, QString::number(port), std::nullopt, options);
    QSignalSpy stands(f.session.get(), &CheckSession::verdictStands);
    f.session->start();
    QVERIFY(stands.wait(20000));
    QCOMPARE(f.session->report().check->kind(), VerdictKind::OpenHere);
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QCOMPARE(late.waitForConnected(5000), keepCheckOpen);
}

// The router forwards the port here and the probe timed out, while a control port mapped the
// same way got through: the block is before this computer. The control port's mapping is made
// for a short lease, checked, removed and seen gone; its finding follows the diagnosis.
void TestCheckSession::controlPortFindsABlockBeforeThisComputer()
{
    ScriptedCheckServer server;
    const quint16 port = freePort();
    server.script().probeWhen = [port](const CheckRequest& request) {
        return request.port != QByteArray::number(port);
    };
    server.script().replyBuilder = replyWithProbeEnd();
    QVERIFY(server.listen());
    auto record = std::make_shared<ScriptedRouter::Record>();
    const ScriptedRouter::Script script = mappedHere(port, *record);
    FieldView view(QString::number(port), ProbeProtocol::Tcp);
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, server.port()};
    options.lookAtFirewall = false; // the evidence below stands for this computer's counters
    // This computer's evidence: nothing of the probe arrived here.
    int asked = 0;
    options.probeArrivedHere = [&asked, port](const session::Report& report) {
        if (report.port == port && report.check.isDone())
            ++asked;
        return std::optional(false);
    };
    CheckSession session(view, nullptr, options, std::make_unique<ScriptedRouter>(script, record));
    session.engine().setTimeoutInterval(3000);
    QStringList order;
    for (auto [signal, name] : {std::pair{&CheckSession::verdictStands, u"verdict"_s},
                                std::pair{&CheckSession::diagnosed, u"diagnosis"_s},
                                std::pair{&CheckSession::controlPortDone, u"control"_s},
                                std::pair{&CheckSession::hairpinDone, u"hairpin"_s},
                                std::pair{&CheckSession::finished, u"finished"_s}})
        QObject::connect(&session, signal, &session, [&order, name] { order << name; });
    router::Finding diagnosedAs = router::Finding::NoRouter;
    QObject::connect(&session, &CheckSession::diagnosed, &session,
                     [&] { diagnosedAs = session.report().diagnosis->finding; });
    // What the control port adds, for the record (never a condition of the test).
    QElapsedTimer clock;
    qint64 checkMs = -1, diagnosedMs = -1, controlMs = -1;
    QObject::connect(&session, &CheckSession::verdictStands, &session,
                     [&] { checkMs = clock.elapsed(); });
    QObject::connect(&session, &CheckSession::diagnosed, &session,
                     [&] { diagnosedMs = clock.elapsed(); });
    QObject::connect(&session, &CheckSession::controlPortDone, &session,
                     [&] { controlMs = clock.elapsed(); });
    QSignalSpy finished(&session, &CheckSession::finished);
    clock.start();
    session.start();
    QVERIFY(finished.wait(20000));
    qInfo("the check took %lld ms; the control port added %lld ms after the diagnosis", checkMs,
          controlMs - diagnosedMs);

    QCOMPARE(order, (QStringList{u"verdict"_s, u"diagnosis"_s, u"control"_s, u"hairpin"_s,
                                 u"finished"_s}));
    QCOMPARE(diagnosedAs, router::Finding::ForwardedButBlocked);
    QVERIFY(asked > 0);
    const session::Report& report = session.report();
    QCOMPARE(report.check->kind(), VerdictKind::NotOpen);
    QVERIFY(report.controlPort.isDone());
    const int control = report.controlPort->port;
    QVERIFY(control >= session::kControlPortFirst && control <= session::kControlPortLast);
    QVERIFY(control != port);
    QVERIFY(report.controlPort->open);
    QVERIFY(report.controlPort->removed);
    QCOMPARE(report.controlPort->probeArrivedHere, std::optional(false));
    // Mapped from C to C here for 120 s, checked the same way, removed.
    QCOMPARE(record->forwardCount(), 1);
    QCOMPARE(record->forwards.front().port, control);
    QCOMPARE(record->forwards.front().external(), control);
    QCOMPARE(record->forwards.front().leaseSeconds, session::kControlPortLeaseSeconds);
    QCOMPARE(record->unforwardCount(), 1);
    QCOMPARE(record->unforwards.front().external(), control);
    QCOMPARE(record->mappedPorts(), QList<int>{port});
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().back().port, QByteArray::number(control));
    // Its finding replaces the diagnosis.
    QCOMPARE(report.diagnosis->finding, router::Finding::BlockedUpstream);
    QVERIFY(report.diagnosis->nextStep.contains(QString::number(control)));
    const QString text = session::controlPortText(report);
    QVERIFY2(text.contains(u"Something before this computer blocks port "_s +
                           QString::number(port) + u"/tcp"_s),
             qPrintable(text));
    QVERIFY(text.contains(u"mapping was removed"_s));
    QVERIFY(report.hairpin.isNotRun());
    QCOMPARE(report.hairpin.reason(), u"the check did not find the port open on this computer"_s);
}

// Neither the port nor the control port got through: the path is closed for every port tried,
// and the diagnosis stays the router's.
void TestCheckSession::controlPortClosedToo()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    server.script().replyBuilder = replyWithProbeEnd("unreachable");
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    const ScriptedRouter::Script script = mappedHere(port, *record);
    FieldView view(QString::number(port), ProbeProtocol::Tcp);
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, server.port()};
    // No evidence from this computer's counters: where the probe died stays unknown.
    options.lookAtFirewall = false;
    CheckSession session(view, nullptr, options, std::make_unique<ScriptedRouter>(script, record));
    session.engine().setTimeoutInterval(3000);
    QSignalSpy finished(&session, &CheckSession::finished);
    session.start();
    QVERIFY(finished.wait(20000));
    const session::Report& report = session.report();
    QVERIFY(report.controlPort.isDone());
    QVERIFY(!report.controlPort->open);
    QVERIFY(report.controlPort->removed);
    QCOMPARE(report.diagnosis->finding, router::Finding::ForwardedButBlocked);
    QVERIFY(session::controlPortText(report).contains(u"closed for every port tried"_s));
    QCOMPARE(record->mappedPorts(), QList<int>{port});
    QCOMPARE(server.requests().size(), 2);
}

// A removal the router does not do is reported, not hidden.
void TestCheckSession::controlPortMappingThatStays()
{
    ScriptedCheckServer server;
    const quint16 port = freePort();
    server.script().probeWhen = [port](const CheckRequest& request) {
        return request.port != QByteArray::number(port);
    };
    server.script().replyBuilder = replyWithProbeEnd();
    QVERIFY(server.listen());
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = mappedHere(port, *record);
    script.unforward.ok = false;
    script.unforward.error = u"the router still lists the mapping after removing it"_s;
    FieldView view(QString::number(port), ProbeProtocol::Tcp);
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, server.port()};
    // No evidence from this computer's counters: where the probe died stays unknown.
    options.lookAtFirewall = false;
    CheckSession session(view, nullptr, options, std::make_unique<ScriptedRouter>(script, record));
    session.engine().setTimeoutInterval(3000);
    QSignalSpy finished(&session, &CheckSession::finished);
    session.start();
    QVERIFY(finished.wait(20000));
    const session::Report& report = session.report();
    QVERIFY(report.controlPort.isDone());
    QVERIFY(report.controlPort->open);
    QVERIFY(!report.controlPort->removed);
    QCOMPARE(record->unforwardCount(), 1);
    QVERIFY(session::controlPortText(report).contains(u"could not be removed"_s));
    // Without evidence of where the probe died, this computer's firewall is named too.
    QCOMPARE(report.diagnosis->finding, router::Finding::ForwardedButBlocked);
    QVERIFY(session::controlPortText(report).contains(u"Either this computer's firewall"_s));
    QCOMPARE(record->mappedPorts().size(), 2); // the router kept it
}

void TestCheckSession::controlPortSkippedAndWhy_data()
{
    QTest::addColumn<QString>("case_");
    QTest::addColumn<QString>("reason");
    QTest::newRow("turned off") << u"off"_s << u"a control port was not wanted"_s;
    QTest::newRow("udp") << u"udp"_s << u"a UDP probe that gets no answer"_s;
    QTest::newRow("no router") << u"no router"_s << u"not wanted here"_s;
    QTest::newRow("cannot map") << u"cannot map"_s << u"the router does not take port mappings"_s;
    QTest::newRow("refused") << u"refused"_s << u"the server's probe was refused"_s;
    QTest::newRow("not mapped here")
        << u"elsewhere"_s << u"the router does not say it forwards the port to this computer"_s;
    QTest::newRow("open") << u"open"_s << u"the port is open"_s;
    QTest::newRow("arrived here")
        << u"arrived"_s << u"the probe arrived at this computer, so nothing before it blocked"_s;
}

// Where the control port cannot tell anything apart it is not checked, and the report says why;
// the router is asked to map nothing.
void TestCheckSession::controlPortSkippedAndWhy()
{
    QFETCH(QString, case_);
    QFETCH(QString, reason);
    ScriptedCheckServer server;
    if (case_ != u"open"_s)
        server.script().probe = ServerScript::Probe::None;
    server.script().replyBuilder =
        replyWithProbeEnd(case_ == u"refused"_s ? "refused" : "timed-out");
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = mappedHere(port, *record);
    if (case_ == u"cannot map"_s)
        script.facts.canMap = false;
    if (case_ == u"elsewhere"_s)
        record->mappings[port].thisComputer = false;
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, server.port()};
    options.controlPort = case_ != u"off"_s;
    options.askRouter = case_ != u"no router"_s;
    options.noRouterReason = u"not wanted here"_s;
    if (case_ == u"arrived"_s)
        options.probeArrivedHere = [](const session::Report&) { return std::optional(true); };
    FieldView view(QString::number(port),
                   case_ == u"udp"_s ? ProbeProtocol::Udp : ProbeProtocol::Tcp);
    CheckSession session(
        view, nullptr, options,
        case_ == u"no router"_s ? nullptr : std::make_unique<ScriptedRouter>(script, record));
    session.engine().setTimeoutInterval(3000);
    QSignalSpy done(&session, &CheckSession::controlPortDone);
    QSignalSpy finished(&session, &CheckSession::finished);
    session.start();
    QVERIFY(finished.wait(20000));
    const session::Report& report = session.report();
    QCOMPARE(done.count(), 1);
    QVERIFY(report.controlPort.isNotRun());
    QVERIFY2(report.controlPort.reason().startsWith(reason),
             qPrintable(report.controlPort.reason()));
    QCOMPARE(record->forwardCount(), 0);
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(session::controlPortText(report).isEmpty());
}

void TestCheckSession::hairpinOnceAfterAnOpenPort_data()
{
    QTest::addColumn<QString>("case_");
    QTest::addColumn<session::HairpinEnd>("end");
    QTest::newRow("works") << u"works"_s << session::HairpinEnd::Works;
    QTest::newRow("refused") << u"refused"_s << session::HairpinEnd::Refused;
    QTest::newRow("timed out") << u"timed out"_s << session::HairpinEnd::TimedOut;
}

// After a check that found the port open, one connection goes from here to the external address
// and port. A running service on loopback stands for the port: it counts what reaches it.
// "refused": the address the server names (127.0.0.2) has nothing on the port, as a router that
// answers for itself. "timed out": the service's queue is full, so the kernel drops the SYN, as
// a router that never answers does.
void TestCheckSession::hairpinOnceAfterAnOpenPort()
{
    QFETCH(QString, case_);
    QFETCH(session::HairpinEnd, end);
    ScriptedCheckServer server;
    server.script().replyBuilder =
        replyWithProbeEnd("timed-out", case_ == u"refused"_s ? "127.0.0.2" : "127.0.0.1");
    QVERIFY(server.listen());
    QTcpServer service;
    FullBacklog full;
    quint16 port = 0;
    if (case_ == u"timed out"_s) {
        port = full.port();
        QVERIFY(port != 0);
    } else {
        QVERIFY(service.listen(QHostAddress::LocalHost, 0));
        port = service.serverPort();
    }
    int connections = 0;
    QObject::connect(&service, &QTcpServer::newConnection, &service, [&] {
        while (QTcpSocket* socket = service.nextPendingConnection()) {
            ++connections;
            socket->deleteLater();
        }
    });
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, server.port()};
    options.askRouter = false;
    FieldView view(QString::number(port), ProbeProtocol::Tcp);
    CheckSession session(view, nullptr, options, nullptr);
    session.engine().setTimeoutInterval(3000);
    session.setServiceCheck(true);
    QSignalSpy hairpinDone(&session, &CheckSession::hairpinDone);
    QSignalSpy finished(&session, &CheckSession::finished);
    // What the connection adds, for the record (never a condition of the test).
    QElapsedTimer clock;
    qint64 standsMs = -1, hairpinMs = -1;
    QObject::connect(&session, &CheckSession::verdictStands, &session,
                     [&] { standsMs = clock.elapsed(); });
    QObject::connect(&session, &CheckSession::hairpinDone, &session,
                     [&] { hairpinMs = clock.elapsed(); });
    clock.start();
    session.start();
    QVERIFY(finished.wait(20000));
    qInfo("the way back in added %lld ms after the verdict", hairpinMs - standsMs);
    const session::Report& report = session.report();
    QCOMPARE(report.check->reach(), ServiceReach::Reachable);
    QVERIFY(report.hairpin.isDone());
    QCOMPARE(report.hairpin->result, end);
    const QString own = router::defaultRouteAddress();
    const QString lan = own.isEmpty() ? QString() : own + u':' + QString::number(port);
    QCOMPARE(report.hairpin->lanAddress, lan);
    QCOMPARE(report.lanAddress, lan);
    QVERIFY(!session::hairpinText(report).isEmpty());
    if (!lan.isEmpty())
        QVERIFY(session::hairpinText(report).contains(lan));
    // The server's probe, and for "works" the one connection from here: never a second one.
    if (case_ != u"timed out"_s)
        QTRY_COMPARE(connections, case_ == u"works"_s ? 2 : 1);
    QCOMPARE(hairpinDone.count(), 1);
}

void TestCheckSession::hairpinSkippedAndWhy_data()
{
    QTest::addColumn<QString>("case_");
    QTest::addColumn<QString>("reason");
    QTest::newRow("turned off") << u"off"_s << u"the way back in from the LAN was not wanted"_s;
    QTest::newRow("udp") << u"udp"_s << u"a UDP datagram sent to the external address"_s;
    QTest::newRow("not open") << u"not open"_s
                              << u"the check did not find the port open on this computer"_s;
    // An address no one on the internet has: nothing is sent beyond this computer.
    QTest::newRow("documentation address")
        << u"documentation"_s
        << u"the external address 198.51.100.20 is not one the internet reaches"_s;
}

void TestCheckSession::hairpinSkippedAndWhy()
{
    QFETCH(QString, case_);
    QFETCH(QString, reason);
    ScriptedCheckServer server;
    if (case_ == u"not open"_s)
        server.script().probe = ServerScript::Probe::None;
    if (case_ == u"documentation"_s)
        server.script().replyBuilder = replyWithProbeEnd("timed-out", "198.51.100.20");
    QVERIFY(server.listen());
    SessionOptions options;
    options.hairpin = case_ != u"off"_s;
    Fixture f(server, QString::number(freePort()), std::nullopt, options,
              case_ == u"udp"_s ? ProbeProtocol::Udp : ProbeProtocol::Tcp);
    QSignalSpy done(f.session.get(), &CheckSession::hairpinDone);
    QVERIFY(f.run());
    const session::Report& report = f.session->report();
    QCOMPARE(done.count(), 1);
    QVERIFY(report.hairpin.isNotRun());
    QVERIFY2(report.hairpin.reason().startsWith(reason), qPrintable(report.hairpin.reason()));
    QVERIFY(session::hairpinText(report).isEmpty());
}
