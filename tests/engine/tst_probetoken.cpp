// The check's token through whole checks on loopback: with a token in the reply only the probe
// that carries it makes the port open here, whichever comes first, the probe or the reply; a
// LAN device or a local program that sends the probe word, with no token or a wrong one, before
// or after the reply, never does. A reply without a token keeps the probe word rule.

#include "tests/engine/enginetestkit.h"

#include <QTest>

using namespace quillmere;
using namespace quillmere::test;

namespace {

const QByteArray kToken = "5f0c2e9a7d41b3686e1f0a9c2b7d4e13";

// What a working server with tokens replies; no "-tcpopen-" for UDP.
QByteArray tokenReply(bool tcp, const QByteArray& tokenPart = "-token:" + kToken + "-")
{
    return httpReply("-ip:127.0.0.1- " + tokenPart + (tcp ? " -tcpopen-" : "") +
                     " -ping ok -done-\n");
}

QByteArray realProbe()
{
    return "quillmere dunmoor " + kToken + "\r\n";
}

// Sends `payload` to the rig's port as a device on the LAN would, over the checked protocol.
void sendAsAnotherDevice(EngineRig& rig, const QByteArray& payload)
{
    if (rig.view.tcp)
        rig.server.sendTcpProbe(rig.port(), {payload});
    else
        rig.server.sendUdpProbe(rig.port(), payload);
}

} // namespace

class TestProbeToken : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void forgedProbeIsNeverOpenHere_data();
    void forgedProbeIsNeverOpenHere();
    void realProbeCountsBeforeOrAfterTheReply_data();
    void realProbeCountsBeforeOrAfterTheReply();
    void tokenlessReplyKeepsTheProbeWordRule_data();
    void tokenlessReplyKeepsTheProbeWordRule();
};

void TestProbeToken::forgedProbeIsNeverOpenHere_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QByteArray>("tokenPart"); // what the reply carries
    QTest::addColumn<QByteArray>("forged");    // sent before the reply and again after it

    const QByteArray token = "-token:" + kToken + "-";
    for (const bool tcp : {true, false}) {
        const char* protocol = tcp ? "tcp" : "udp";
        QTest::addRow("%s, probe word alone", protocol)
            << tcp << token << QByteArray("dunmoor\r\n");
        QTest::addRow("%s, another check's token", protocol)
            << tcp << token << QByteArray("quillmere dunmoor 00000000000000000000000000000000\r\n");
        QTest::addRow("%s, the probe without a token", protocol)
            << tcp << token << QByteArray("quillmere probe: dunmoor\r\n");
        if (!tcp) // the rest is the same for both; the UDP rows each wait 5 s
            continue;
        QTest::addRow("%s, token cut short", protocol) << tcp << token << realProbe().left(40);
        QTest::addRow("%s, malformed token, its text sent", protocol)
            << tcp << QByteArray("-token:not-hex-") << QByteArray("dunmoor not\r\n");
        QTest::addRow("%s, token too long", protocol) << tcp << "-token:" + kToken + kToken + "a-"
                                                      << "dunmoor " + kToken + kToken + "a\r\n";
    }
}

void TestProbeToken::forgedProbeIsNeverOpenHere()
{
    QFETCH(bool, tcp);
    QFETCH(QByteArray, tokenPart);
    QFETCH(QByteArray, forged);

    EngineRig rig;
    // The scripted server's probe stands for the forger: it arrives before the reply.
    rig.server.script().probePieces = {forged};
    rig.server.script().replyPieces = {tokenReply(tcp, tokenPart)};
    QVERIFY(rig.start(tcp));
    rig.engine->cmdCheckMeClick();

    const Outcome notHere = tcp ? Outcome::TcpElsewhere : Outcome::UdpMissing;
    if (tcp) {
        QTRY_VERIFY_WITH_TIMEOUT(rig.lastOutcome() != Outcome::Undecided, kWait);
        QCOMPARE(rig.lastOutcome(), notHere);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::UdpGraceWait, kWait);
        // Once more while the grace wait runs.
        sendAsAnotherDevice(rig, forged);
        QTRY_COMPARE_WITH_TIMEOUT(rig.engine->listenerLogText().count(QString::fromLatin1(forged)),
                                  2, kWait);
        QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), notHere, kWait);
    }
    QVERIFY2(rig.engine->listenerLogText().contains(QString::fromLatin1(forged)),
             qPrintable(rig.engine->listenerLogText()));

    if (tcp) {
        // And once more after the reply, while the engine looks again every few milliseconds.
        sendAsAnotherDevice(rig, forged);
        QTRY_COMPARE_WITH_TIMEOUT(rig.engine->listenerLogText().count(QString::fromLatin1(forged)),
                                  2, kWait);
        const qsizetype seen = rig.evaluations.size();
        QTRY_VERIFY_WITH_TIMEOUT(rig.evaluations.size() > seen + 2, kWait);
        QCOMPARE(rig.outcomeSequence(), QList<Outcome>{notHere});
        QCOMPARE(rig.view.text(ResultLabel::Status), text::kOpenElsewhere);
    } else {
        QCOMPARE(rig.outcomeSequence(), (QList<Outcome>{Outcome::UdpGraceWait, notHere}));
        QCOMPARE(rig.view.text(ResultLabel::Status), text::kNotOpen);
    }
    QVERIFY(rig.engine->lastVerdict()->kind() != VerdictKind::OpenHere);
    rig.engine->stopCheck();
}

void TestProbeToken::realProbeCountsBeforeOrAfterTheReply_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("probeFirst");
    QTest::addColumn<QList<Outcome>>("outcomes");

    QTest::newRow("tcp, probe first") << true << true << QList<Outcome>{Outcome::TcpArrived};
    QTest::newRow("tcp, reply first")
        << true << false << QList<Outcome>{Outcome::TcpElsewhere, Outcome::TcpArrived};
    QTest::newRow("udp, probe first")
        << false << true << QList<Outcome>{Outcome::UdpGraceWait, Outcome::UdpArrived};
    QTest::newRow("udp, reply first")
        << false << false << QList<Outcome>{Outcome::UdpGraceWait, Outcome::UdpArrived};
}

void TestProbeToken::realProbeCountsBeforeOrAfterTheReply()
{
    QFETCH(bool, tcp);
    QFETCH(bool, probeFirst);
    QFETCH(QList<Outcome>, outcomes);

    EngineRig rig;
    // A forger's probe word comes first either way; it must not spoil the real probe.
    rig.server.script().probePieces = {"dunmoor\r\n"};
    if (probeFirst)
        rig.server.script().probePieces << realProbe();
    rig.server.script().replyPieces = {tokenReply(tcp)};
    QVERIFY(rig.start(tcp));
    rig.engine->cmdCheckMeClick();
    if (!probeFirst) {
        QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), outcomes.constFirst(), kWait);
        sendAsAnotherDevice(rig, realProbe());
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), outcomes.constLast(), kWait);
    QCOMPARE(rig.outcomeSequence(), outcomes);
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kOpenHere);
    QCOMPARE(rig.view.text(ResultLabel::Info), tcp ? text::kTcpOpen : text::kUdpOpen);
    QVERIFY(!rig.engine->waitTimer().isActive());
    rig.engine->stopCheck();
}

void TestProbeToken::tokenlessReplyKeepsTheProbeWordRule_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::newRow("tcp") << true;
    QTest::newRow("udp") << false;
}

void TestProbeToken::tokenlessReplyKeepsTheProbeWordRule()
{
    QFETCH(bool, tcp);
    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyPieces = {
        httpReply("-ip:127.0.0.1-" + QByteArray(tcp ? " -tcpopen-" : "") + " -ping ok -done-\n")};
    QVERIFY(rig.start(tcp));
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(),
                              tcp ? Outcome::TcpElsewhere : Outcome::UdpGraceWait, kWait);
    // Whoever sends the word: such a server gives nothing else to go by.
    sendAsAnotherDevice(rig, "dunmoor");
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), tcp ? Outcome::TcpArrived : Outcome::UdpArrived,
                              kWait);
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kOpenHere);
    rig.engine->stopCheck();
}

QTEST_GUILESS_MAIN(TestProbeToken)
#include "tst_probetoken.moc"
