// The session's NAT step: alone when the port is empty, not at all unless asked for, and an
// answer for a run that was cancelled passed over. Against a STUN responder on loopback.

#include "session/checksession.h"
#include "tests/nat/stunresponder.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::nat::testing;
using session::CheckSession;
using session::SessionOptions;

namespace {

constexpr int kWaitMs = 20000;

// The port field of a front end that shows nothing.
class FieldView final : public CheckView
{
public:
    explicit FieldView(QString port)
        : m_port(std::move(port))
    {}
    QString portText() const override { return m_port; }
    void setPortText(const QString& text) override { m_port = text; }
    bool isTcpSelected() const override { return false; }
    void setResultText(ResultLabel, const QString&) override {}
    void setResultColour(ResultLabel, TextColour) override {}
    void showMessageBox(const QString&, MessageIcon) override {}

private:
    QString m_port;
};

SessionOptions natOptions(const StunResponder& responder)
{
    SessionOptions options;
    options.server = {u"127.0.0.1"_s, 9}; // never asked: no port is checked
    options.askRouter = false;
    options.lookAtFirewall = false;
    options.nat = true;
    options.stunServer = u"127.0.0.1:"_s + QString::number(responder.port());
    return options;
}

} // namespace

class TestSessionNat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aloneWithoutPort();
    void stunServerDefaultsToTheCheckServersHost();
    void cancelledRunsAnswerIsPassedOver();
};

void TestSessionNat::aloneWithoutPort()
{
    StunResponder responder(Script{});
    QVERIFY(responder.listening());
    FieldView view(QString{});
    CheckSession session(view, nullptr, natOptions(responder), nullptr);
    QSignalSpy started(&session, &CheckSession::natStarted);
    QSignalSpy done(&session, &CheckSession::natDone);
    QSignalSpy finished(&session, &CheckSession::finished);
    QSignalSpy checkStarted(&session, &CheckSession::checkStarted);
    session.start();
    QCOMPARE(started.count(), 1);
    QCOMPARE(session.stage(), CheckSession::Stage::Nat);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kWaitMs);
    QCOMPARE(done.count(), 1);
    QCOMPARE(checkStarted.count(), 0);
    const session::Report& report = session.report();
    QVERIFY(report.nat.isDone());
    QVERIFY(report.nat->answered);
    QCOMPARE(report.nat->mapping, std::optional(nat::Behaviour::EndpointIndependent));
    QVERIFY(report.check.isNotRun());
    QVERIFY(!report.check.reason().isEmpty());
    QVERIFY(report.serverAddresses.isNotRun()); // the check server was never looked up
}

void TestSessionNat::stunServerDefaultsToTheCheckServersHost()
{
    StunResponder responder(Script{});
    QVERIFY(responder.listening());
    SessionOptions options = natOptions(responder);
    options.stunServer.clear();
    options.server = {u"127.0.0.1"_s, 9};
    const auto server = session::stunServerOf(options.stunServer, options.server);
    QCOMPARE(server, std::optional(std::pair(u"127.0.0.1"_s, quint16(3478))));
}

// A run cancelled while it waits on a silent server, then a new one: the client runs them one
// after the other, so the cancelled run's answer comes first. It is passed over, and the report
// holds the new run's (its own local port), with one natDone.
void TestSessionNat::cancelledRunsAnswerIsPassedOver()
{
    Script silent;
    silent.silent = true;
    StunResponder quiet(silent);
    QVERIFY(quiet.listening());

    FieldView view(QString{});
    CheckSession session(view, nullptr, natOptions(quiet), nullptr);
    QSignalSpy done(&session, &CheckSession::natDone);
    QSignalSpy finished(&session, &CheckSession::finished);
    session.start();
    QTRY_VERIFY_WITH_TIMEOUT(!quiet.received().isEmpty(), kWaitMs);
    session.cancel();
    QVERIFY(!session.report().nat.isRunning());
    QCOMPARE(session.stage(), CheckSession::Stage::Idle);
    session.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kWaitMs);
    QCOMPARE(done.count(), 1);
    QVERIFY(session.report().nat.isDone());

    // The mapping sockets of the two runs, in the order they first asked.
    QList<quint16> mappingSockets;
    for (const Received& r : quiet.received()) {
        if (!r.changeIp && !r.changePort && !mappingSockets.contains(r.fromPort))
            mappingSockets.append(r.fromPort);
    }
    QCOMPARE(mappingSockets.size(), 2);
    QCOMPARE(session.report().nat->localPort, int(mappingSockets.constLast()));
}

QTEST_GUILESS_MAIN(TestSessionNat)
#include "tst_sessionnat.moc"
