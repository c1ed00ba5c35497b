// Broken and hostile check servers and probes: whatever arrives, the check ends in a verdict,
// the logs stay bounded and every byte that is kept is kept exactly.

#include "tests/engine/enginetestkit.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {
constexpr int kFloodWait = 60000; // a few MiB through the sanitizer build
const QString kNotice = ExchangeLog::limitNotice(ExchangeLog::kDefaultLimit);
} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void binaryBytes();
    void floodIsCutAtTheLogBound();
    void oneBytePerArrival();
    void neverFinishes_data();
    void neverFinishes();
};

void TestHostile::binaryBytes()
{
    QByteArray every;
    for (int byte = 0; byte < 256; ++byte)
        every.append(char(byte));
    const QByteArray probe("\0\xff dunmoor \x01\x80\r\n", 15);

    EngineRig rig;
    rig.server.script().replyPieces = {httpReply(every + " -tcpopen- -done- " + every)};
    rig.server.script().probePieces = {probe};
    QVERIFY(rig.start(true));
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);

    // One character per byte, NULs and all.
    QCOMPARE(rig.engine->httpLogText().count(QString::fromLatin1(every)), 2);
    QVERIFY(rig.engine->listenerLogText().contains(QString::fromLatin1(probe) + u"\r\n"_s));
    rig.engine->stopCheck();
}

// A reply three times the log's bound, with the markers after it: the log stops at the bound
// with one notice, the rest is read and dropped, and the verdict comes from what was kept.
void TestHostile::floodIsCutAtTheLogBound()
{
    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().fillerBytes = 3LL * ExchangeLog::kDefaultLimit;
    rig.server.script().replyPieces = {"-done- -tcpopen- -ping ok"};
    QVERIFY(rig.start(true));
    rig.engine->setTimeoutInterval(kFloodWait);
    QSignalSpy replies(&rig.server, &ScriptedCheckServer::replyFinished);
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kFloodWait);

    QCOMPARE(replies.count(), 1); // the whole flood went out and the server closed
    const QString& log = rig.engine->httpLogText();
    QVERIFY(log.size() <= ExchangeLog::kDefaultLimit + kNotice.size() + 2);
    QVERIFY(log.size() > ExchangeLog::kDefaultLimit - 64 * 1024);
    QCOMPARE(log.count(kNotice), 1);
    QVERIFY(log.endsWith(kNotice + u"\r\n"_s));
    // The markers came after the bound, so they are not in the log: no result.
    QVERIFY(!log.contains(u"-done-"_s));
    QCOMPARE(rig.lastOutcome(), Outcome::NoServerResult);
    QCOMPARE(rig.view.text(ResultLabel::PingStatus), text::kPingFailed);
}

void TestHostile::oneBytePerArrival()
{
    const QByteArray reply = httpReply("-tcpopen- -ping ok -ip:192.0.2.1- -done-");
    QList<QByteArray> bytes;
    for (char byte : reply)
        bytes.append(QByteArray(1, byte));

    LockstepServer server;
    QVERIFY(server.listen());
    EngineRig rig;
    QVERIFY(rig.attach(server.port(), true));
    rig.engine->cmdCheckMeClick();
    server.takeRequest();
    server.reply(*rig.engine, bytes);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kWait);

    QString expected = u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:"_s +
                       QString::number(server.port()) + u"\r\n"_s;
    for (char byte : reply)
        expected += u"HTTP: Begin data arrived: 1\r\n"_s + QChar::fromLatin1(byte) + u"\r\n"_s;
    QCOMPARE(rig.engine->httpLogText(), expected + u"HTTP: Close ok\r\n"_s);
    // No marker survives being cut into single bytes.
    QCOMPARE(rig.lastOutcome(), Outcome::NoServerResult);
    QCOMPARE(rig.view.text(ResultLabel::ExternalIP), text::kExternalIpUnknown);
}

void TestHostile::neverFinishes_data()
{
    QTest::addColumn<bool>("answer");
    QTest::newRow("says nothing") << false;
    QTest::newRow("replies, never closes") << true;
}

void TestHostile::neverFinishes()
{
    QFETCH(bool, answer);

    EngineRig rig;
    rig.server.script().answer = answer;
    rig.server.script().closeAfterReply = false;
    QVERIFY(rig.start(true));
    QSignalSpy replies(&rig.server, &ScriptedCheckServer::replyFinished);
    if (answer) {
        // The reply and the probe come in; then the time-out, its tick made here.
        rig.engine->cmdCheckMeClick();
        QTRY_VERIFY_WITH_TIMEOUT(replies.count() == 1 &&
                                     rig.engine->httpLogText().contains(u"-done-"_s) &&
                                     rig.engine->listenerLogText().contains(u"TCP: Close"_s),
                                 kWait);
        QVERIFY(rig.evaluations.isEmpty());
        rig.engine->tmrTimeoutTick();
    } else {
        rig.engine->setTimeoutInterval(1500);
        rig.engine->cmdCheckMeClick();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kWait);
    }
    QCOMPARE(rig.lastOutcome(), answer
                                    ? Outcome::TcpArrived
                                    : Outcome::NoServerResult); // decided from what the logs hold
    QCOMPARE(rig.evaluations.size(), 1);
    QVERIFY(rig.engine->httpLogText().endsWith(u"\r\nERR: Timeout\r\n"_s));
    QVERIFY(!rig.engine->serverError()); // silence is no connection error: it gets the full wait
    QVERIFY(!rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->serverSocket().state(), SocketObject::State::Closed);
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Closed);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.openConnections(), 0, kWait);
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
