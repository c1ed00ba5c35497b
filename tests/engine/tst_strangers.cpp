// Third parties on the checked port: a scanner, a LAN device or a local program that connects or
// sends datagrams while a check runs. The port stays open for the whole check, every connection
// is taken, only the probe that carries this check's token counts, and what strangers can cost
// (connections held, bytes read, room in the log) is bounded.

#include "tests/engine/enginetestkit.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

const QByteArray kToken = "9b1e04c7a2d35f6e8c0b7a4d1e2f3c5a";

QByteArray realProbe()
{
    return "quillmere dunmoor " + kToken + "\r\n";
}

// A server with tokens: "-tcpopen-" when its TCP probe got in.
QByteArray tokenReply(bool tcpOpen)
{
    return httpReply("-ip:127.0.0.1- -token:" + kToken + "-" + (tcpOpen ? " -tcpopen-" : "") +
                     " -ping ok -done-\n");
}

// A client on this machine that connects to the checked port and stays connected.
struct Stranger
{
    QTcpSocket socket;

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        return socket.waitForConnected(kWait);
    }
    QString requestLine(const EngineRig& rig) const
    {
        return u"Connection request from: 127.0.0.1:"_s + QString::number(socket.localPort()) +
               u" on local port: "_s + rig.view.port;
    }
};

qsizetype connectionRequests(const EngineRig& rig)
{
    return rig.engine->listenerLogText().count(u"Connection request from: "_s);
}

} // namespace

class TestStrangers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void heldConnectionLeavesThePortOpen_data();
    void heldConnectionLeavesThePortOpen();
    void strangersAreBounded();
    void floodCannotCrowdTheProbeOut_data();
    void floodCannotCrowdTheProbeOut();
    void strangerDatagramsNeitherCountNorEndTheWait();
};

// A connection that reaches the port before the server's probe, and is still there when the
// probe comes: the probe still gets in and counts.
void TestStrangers::heldConnectionLeavesThePortOpen_data()
{
    QTest::addColumn<QByteArray>("says"); // what the stranger sends once connected
    QTest::newRow("silent") << QByteArray();
    QTest::newRow("a request of its own") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    QTest::newRow("the probe word, no token") << QByteArray("dunmoor\r\n");
}

void TestStrangers::heldConnectionLeavesThePortOpen()
{
    QFETCH(QByteArray, says);

    EngineRig rig;
    rig.server.script().probePieces = {realProbe()};
    rig.server.script().replyBuilder = [](const CheckRequest&, const ProbeOutcome& outcome) {
        return QList<QByteArray>{tokenReply(outcome.reached)};
    };
    QVERIFY(rig.start(true));
    rig.engine->cmdCheckMeClick();
    // The port is open as soon as the click returns; the request to the server has not gone out.
    Stranger stranger;
    QVERIFY(stranger.connectTo(rig.port()));
    if (!says.isEmpty())
        stranger.socket.write(says);

    QTRY_VERIFY_WITH_TIMEOUT(rig.lastOutcome() != Outcome::Undecided, kWait);
    QCOMPARE(rig.outcomeSequence(), QList<Outcome>{Outcome::TcpArrived});
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kOpenHere);
    const QStringList lines = logLines(rig.engine->listenerLogText());
    QCOMPARE(lines.constFirst(), stranger.requestLine(rig)); // it came first
    QCOMPARE(lines.count(QString::fromLatin1(realProbe().chopped(2))), 1);
    // It is still connected, and the port still listens.
    QCOMPARE(stranger.socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Listening);
    rig.engine->stopCheck();
    QTRY_COMPARE_WITH_TIMEOUT(stranger.socket.state(), QAbstractSocket::UnconnectedState, kWait);
}

// More strangers than the port holds, each sending more than it reads from one: the oldest are
// let go, no connection is read past its bound, and the probe still counts.
void TestStrangers::strangersAreBounded()
{
    constexpr int kStrangers = SocketObject::kMaxHeldPeers + 8;
    const QByteArray flood(2 * SocketObject::kMaxPeerBytes, 'x');

    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyPieces = {tokenReply(true)};
    QVERIFY(rig.start(true));
    rig.engine->cmdCheckMeClick();
    std::vector<std::unique_ptr<Stranger>> strangers;
    // Each is read up to the bound and then let go.
    for (int n = 0; n < kStrangers; ++n) {
        strangers.push_back(std::make_unique<Stranger>());
        QVERIFY(strangers.back()->connectTo(rig.port()));
        strangers.back()->socket.write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(strangers.back()->socket.state(),
                                  QAbstractSocket::UnconnectedState, kWait);
    }
    QCOMPARE(connectionRequests(rig), kStrangers);
    QCOMPARE(rig.engine->probeSocket().heldPeers(), 0);
    const QString log = rig.engine->listenerLogText();
    QCOMPARE(log.count(u'x'), qsizetype(kStrangers) * SocketObject::kMaxPeerBytes);
    QVERIFY2(log.count(u"Dropped "_s) >= kStrangers, qPrintable(log.right(2000)));

    // Silent strangers beyond the number held: the oldest make room for the newest.
    std::vector<std::unique_ptr<Stranger>> silent;
    for (int n = 0; n < kStrangers; ++n) {
        silent.push_back(std::make_unique<Stranger>());
        QVERIFY(silent.back()->connectTo(rig.port()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(connectionRequests(rig), 2 * kStrangers, kWait);
    QCOMPARE(rig.engine->probeSocket().heldPeers(), SocketObject::kMaxHeldPeers);
    for (int n = 0; n < kStrangers - SocketObject::kMaxHeldPeers; ++n)
        QTRY_COMPARE_WITH_TIMEOUT(silent[size_t(n)]->socket.state(),
                                  QAbstractSocket::UnconnectedState, kWait);
    QCOMPARE(silent.back()->socket.state(), QAbstractSocket::ConnectedState);

    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpElsewhere, kWait);
    rig.server.sendTcpProbe(rig.port(), {realProbe()});
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Listening);
    rig.engine->stopCheck();
}

// Strangers send far more than the listener log holds before the probe comes: what they send
// stops being recorded at half the log's bound, and the probe is still recorded and counts.
void TestStrangers::floodCannotCrowdTheProbeOut_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::newRow("tcp") << true;
    QTest::newRow("udp") << false;
}

void TestStrangers::floodCannotCrowdTheProbeOut()
{
    QFETCH(bool, tcp);
    constexpr qsizetype kLimit = 32 * 1024;
    constexpr int kArrivals = 40; // 40 kB in all, more than the log's bound
    const QByteArray junk(1000, 'j');

    LockstepServer server;
    QVERIFY(server.listen());
    EngineRig rig;
    QVERIFY(rig.attach(server.port(), tcp));
    rig.engine->setLogLimit(kLimit);
    rig.engine->cmdCheckMeClick();
    server.takeRequest();
    // The strangers' connections wait in the listener's queue (fewer than it holds) until the
    // engine takes them, in the order they came.
    std::vector<std::unique_ptr<Stranger>> strangers;
    auto send = [&](const QByteArray& payload) {
        if (!tcp) {
            rig.server.sendUdpProbe(rig.port(), payload);
            return true;
        }
        strangers.push_back(std::make_unique<Stranger>());
        Stranger& stranger = *strangers.back();
        if (!stranger.connectTo(rig.port()))
            return false;
        stranger.socket.write(payload);
        stranger.socket.disconnectFromHost();
        return stranger.socket.state() == QAbstractSocket::UnconnectedState ||
               stranger.socket.waitForDisconnected(kWait);
    };
    for (int n = 0; n < kArrivals; ++n)
        QVERIFY(send(junk));
    // A forger's probe word still goes in; then the real probe.
    QVERIFY(send("dunmoor 00000000000000000000000000000000\r\n"));
    QVERIFY(send(realProbe()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.engine->listenerLogText().contains(QString::fromLatin1(kToken)),
                             kWait);
    server.reply(*rig.engine, {tokenReply(tcp)});
    if (QTest::currentTestFailed())
        return;

    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), tcp ? Outcome::TcpArrived : Outcome::UdpArrived,
                              kWait);
    const QString log = rig.engine->listenerLogText();
    QVERIFY(log.size() <= kLimit);
    QCOMPARE(log.count(CheckEngine::strangerNotice(kLimit)), 1);
    QVERIFY(log.contains(u"dunmoor 00000000000000000000000000000000"_s));
    QVERIFY(log.count(QString::fromLatin1(junk)) < kArrivals / 2);
    rig.engine->stopCheck();
}

// Datagrams from others while the UDP probe is awaited: forged probes, big ones and many. None
// counts, none ends the grace wait early, and the socket stays bound to the end.
void TestStrangers::strangerDatagramsNeitherCountNorEndTheWait()
{
    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyPieces = {tokenReply(false)};
    QVERIFY(rig.start(false));
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::UdpGraceWait, kWait);

    const QList<QByteArray> datagrams{"dunmoor\r\n", "quillmere dunmoor " + QByteArray(32, '0'),
                                      QByteArray(60000, 'b') + "dunmoor " + kToken,
                                      "dunmoor " + kToken.left(20)};
    for (const QByteArray& datagram : datagrams)
        rig.server.sendUdpProbe(rig.port(), datagram);
    QTRY_COMPARE_WITH_TIMEOUT(
        rig.engine->listenerLogText().count(u"Data arrived on local port: "_s), datagrams.size(),
        kWait);
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Bound);
    // Only what fits a peer's bound is read of the big one, and the token after it is not.
    QVERIFY(!rig.engine->listenerLogText().contains(QString::fromLatin1(kToken)));

    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::UdpMissing, kWait);
    QCOMPARE(rig.outcomeSequence(), (QList<Outcome>{Outcome::UdpGraceWait, Outcome::UdpMissing}));
    QCOMPARE(rig.evaluations.size(), 2); // the datagrams made no evaluation of their own
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kNotOpen);
    rig.engine->stopCheck();
}

QTEST_GUILESS_MAIN(TestStrangers)
#include "tst_strangers.moc"
