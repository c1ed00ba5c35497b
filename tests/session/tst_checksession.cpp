#include "session/checksession.h"
#include "tests/engine/enginetestkit.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"

#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

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
    Fixture f(server, QString::number(port), std::nullopt, options);
    QSignalSpy stands(f.session.get(), &CheckSession::verdictStands);
    f.session->start();
    QVERIFY(stands.wait(20000));
    QCOMPARE(f.session->report().check->kind(), VerdictKind::OpenHere);
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, port);
    QCOMPARE(late.waitForConnected(5000), keepCheckOpen);
}
