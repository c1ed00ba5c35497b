// The check engine with a recording front end: what a click resets, the order of an
// evaluation's label and timer steps, the server message, and real checks on loopback against
// the scripted check server.

#include "tests/engine/enginetestkit.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

const QString kVersionLine = u"Quillmere version 1.0.39"_s;

QStringList resetCalls()
{
    return {u"text ExternalIP: "_s, u"colour ExternalIP: black"_s, u"text Ping: "_s,
            u"colour Ping: black"_s, u"text Info: "_s};
}

QStringList contactingCalls()
{
    return {u"text Status: Contacting Dunmoor port checker..."_s, u"colour Status: blue"_s};
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void evaluationSteps_data();
    void evaluationSteps();
    void serverMessageOncePerCheck();

    void openOverTcp();
    void serverVerdicts_data();
    void serverVerdicts();
    void otherDeviceThenLateProbe();
    void connectionErrorEndsTheCheck_data();
    void connectionErrorEndsTheCheck();
    void refusalIsRead();
    void timeOutNeverEndsEarly();
    void arrivalBoundaries_data();
    void arrivalBoundaries();
    void fieldsReadWhenConnected();
    void lockedPort_data();
    void lockedPort();
    void clicks();
};

void TestEngine::evaluationSteps_data()
{
    QTest::addColumn<bool>("udp");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("probe");
    QTest::addColumn<bool>("waitTick"); // evaluate through the wait timer's tick
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("waitArmedBeforeLabels");
    QTest::addColumn<int>("waitAfter"); // interval of the armed wait, 0: not armed

    // The texts are written out here rather than taken from the program.
    const QString markers = u" -ping ok -ip:192.0.2.8- "_s;
    const QStringList lines{u"text Ping: We were able to ping your router."_s,
                            u"colour Ping: green"_s,
                            u"text ExternalIP: Your external IP address is: 192.0.2.8"_s,
                            u"colour ExternalIP: green"_s};
    auto status = [](const QString& text, QStringView colour) {
        return QStringList{u"text Status: "_s + text, u"colour Status: "_s + colour};
    };
    auto info = [](const QString& text) {
        return QStringList{u"text Info: This means that our server "_s + text,
                           u"colour Info: black"_s};
    };
    const QString openHere = u"Your port is OPEN on this computer!"_s;
    const QString notOpen = u"Your port is NOT OPEN or not reachable!"_s;

    QTest::newRow("200 OK without -done-")
        << false << u"HTTP/1.0 200 OK"_s << true << false << Outcome::ReplyWithoutCheck
        << status(u"Your port is not open or not reachable."_s, u"red") +
               QStringList{u"text Ping: We were not able to ping your router."_s,
                           u"colour Ping: red"_s,
                           u"text ExternalIP: We were not able to determine "
                           u"your external IP address."_s,
                           u"colour ExternalIP: red"_s}
        << false << 0;
    QTest::newRow("no reply") << false << markers << false << false << Outcome::NoServerResult
                              << status(u"Could not connect to the Dunmoor servers. Your port is "
                                        u"not open or not reachable."_s,
                                        u"red") +
                                     lines
                              << false << 0;
    // The grace wait is armed after the labels.
    QTest::newRow("udp grace wait")
        << true << markers + u"-done-"_s << true << false << Outcome::UdpGraceWait
        << status(u"Waiting for the packet to get here..."_s, u"blue") + lines << false << 5000;
    QTest::newRow("udp probe arrived")
        << true << markers + u"-done-"_s << true << true << Outcome::UdpArrived
        << status(openHere, u"green") +
               info(u"sent a UDP packet to your computer and it got there as "
                    u"it should. Everything is working as it should and your "
                    u"UDP port is forwarded correctly."_s) +
               lines
        << false << 0;
    QTest::newRow("udp probe missing")
        << true << markers + u"-done-"_s << false << true << Outcome::UdpMissing
        << status(notOpen, u"red") +
               info(u"sent a UDP packet to your computer but your computer "
                    u"never got it. Most likely your port is not forwarded "
                    u"correctly."_s) +
               lines
        << false << 0;
    QTest::newRow("tcp not reached")
        << false << markers + u"-done-"_s << true << false << Outcome::TcpNotReached
        << status(notOpen, u"red") +
               info(u"was not able to make a TCP connection to your network. "
                    u"Your TCP port is not forwarded properly or the device it "
                    u"is forwarded to is not responding."_s) +
               lines
        << false << 0;
    QTest::newRow("tcp probe arrived")
        << false << markers + u"-done- -tcpopen-"_s << true << false << Outcome::TcpArrived
        << status(openHere, u"green") +
               info(u"was able to establish a direct connection to your "
                    u"computer and send it data. Everything is working as it "
                    u"should and your TCP port is forwarded correctly."_s) +
               lines
        << false << 0;
    // The re-check is armed before the labels.
    QTest::newRow("tcp probe elsewhere")
        << false << markers + u"-done- -tcpopen-"_s << false << false << Outcome::TcpElsewhere
        << status(u"Your port is OPEN on another device!"_s, u"green") +
               info(u"was able to establish a direct connection to some device "
                    u"on your network, but the data it sent did not arrive at "
                    u"this computer in time. Your port is forwarded correctly "
                    u"and may be forwarded to either this computer or another "
                    u"device on your network. This may happen even when the "
                    u"port is forwarded to this computer due to network "
                    u"load."_s) +
               lines
        << true << 5;
}

void TestEngine::evaluationSteps()
{
    QFETCH(bool, udp);
    QFETCH(QString, reply);
    QFETCH(bool, probe);
    QFETCH(bool, waitTick);
    QFETCH(int, waitAfter);

    EngineRig rig;
    QVERIFY(rig.attach(freePort(), !udp));
    rig.engine->cmdCheckMeClick();
    QVERIFY(rig.engine->timeoutTimer().isActive());
    rig.engine->AddLogHTTP(reply);
    if (probe)
        rig.engine->AddLogWS(u"Dunmoor port probe"_s);

    bool waitArmedBeforeLabels = false;
    rig.view.afterText = [&](ResultLabel label) {
        if (label == ResultLabel::Status) {
            waitArmedBeforeLabels = rig.engine->waitTimer().isActive() &&
                                    rig.engine->waitTimer().interval() == waitAfter;
        }
    };
    rig.view.calls.clear();
    if (waitTick)
        rig.engine->tmrWaitTick();
    else
        rig.engine->EvaluateResult();

    QTEST(rig.lastOutcome(), "outcome");
    QTEST(rig.view.calls, "calls");
    QTEST(waitArmedBeforeLabels, "waitArmedBeforeLabels");
    QCOMPARE(rig.engine->waitTimer().isActive(), waitAfter != 0);
    if (waitAfter != 0)
        QCOMPARE(rig.engine->waitTimer().interval(), waitAfter);
    QCOMPARE(rig.engine->isWaitElapsed(), waitTick);
    QVERIFY(!rig.engine->timeoutTimer().isActive()); // every evaluation stops the time-out
    rig.engine->stopCheck();
}

void TestEngine::serverMessageOncePerCheck()
{
    EngineRig rig;
    QVERIFY(rig.attach(freePort(), true));
    int depth = 0;
    int deepest = 0;
    qsizetype runsWhileOpen = 0;
    // A modal box: events, and with them the 5 ms re-check, go on while it is open.
    rig.view.whileBoxOpen = [&] {
        deepest = std::max(deepest, ++depth);
        const qsizetype before = rig.evaluations.size();
        QEventLoop loop;
        QObject::connect(rig.engine.get(), &CheckEngine::evaluated, &loop, [&] {
            if (rig.evaluations.size() >= before + 10)
                loop.quit();
        });
        QTimer::singleShot(kWait, &loop, &QEventLoop::quit); // a guard, not a wait
        loop.exec();
        runsWhileOpen = rig.evaluations.size() - before;
        --depth;
    };

    for (int check = 1; check <= 2; ++check) {
        rig.engine->cmdCheckMeClick();
        // A re-check armed by the earlier check must not evaluate this one.
        QVERIFY(!rig.engine->waitTimer().isActive());
        QVERIFY(!rig.engine->isWaitElapsed());
        rig.view.calls.clear();
        rig.evaluations.clear();
        rig.engine->AddLogHTTP(u"-done- -tcpopen- <message>Back at noon</message>"_s);
        rig.engine->EvaluateResult();

        QVERIFY(runsWhileOpen >= 10);
        QCOMPARE(deepest, 1);
        QCOMPARE(rig.view.boxes, QStringList(check, u"box critical: Back at noon"_s));
        QCOMPARE(rig.outcomeSequence(), QList<Outcome>{Outcome::TcpElsewhere});
        // The labels followed every run, those made while the box was open included.
        QCOMPARE(rig.view.calls.count(u"text Status: "_s + text::kOpenElsewhere),
                 rig.evaluations.size());
    }
    rig.engine->stopCheck();
}

void TestEngine::openOverTcp()
{
    EngineRig rig;
    QVERIFY(rig.start(true));
    const QString port = rig.view.port;
    rig.view.port = u"00"_s + port; // the request carries the zeros, the listener the number
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(logLines(rig.engine->listenerLogText()).size(), 4, kWait);

    QCOMPARE(rig.server.requests().size(), 1);
    QCOMPARE(rig.server.requests().constFirst().raw,
             "GET /portcheck3.cgi?port=00" + port.toLatin1() +
                 "&protocol=tcp&version=0 HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                 "User-Agent: Quillmere/1.0\r\n\r\n");

    const QStringList lines = logLines(rig.engine->listenerLogText());
    const QRegularExpression request(u"^Connection request from: 127\\.0\\.0\\.1:\\d+ on local "
                                     u"port: "_s +
                                     port + u'$');
    QVERIFY2(request.match(lines[0]).hasMatch(), qPrintable(lines[0]));
    QCOMPARE(lines.mid(1), (QStringList{u"Data arrived on local port: "_s + port,
                                        u"Dunmoor port probe"_s, u"TCP: Close"_s}));

    const QString http = rig.engine->httpLogText();
    QVERIFY(http.endsWith(u"-ping ok -ip:127.0.0.1- -done-\n\r\nHTTP: Close ok\r\n"_s));
    QCOMPARE(rig.evaluations.constFirst().httpLog, http); // the close was logged first

    QCOMPARE(rig.view.text(ResultLabel::ExternalIP), u"Your external IP address is: 127.0.0.1"_s);
    QVERIFY(!rig.engine->waitTimer().isActive());
    QCOMPARE(rig.engine->serverSocket().state(), SocketObject::State::Closed);

    // The listener listens again, and a connection after the verdict is still logged.
    QTRY_COMPARE_WITH_TIMEOUT(rig.engine->probeSocket().state(), SocketObject::State::Listening,
                              kWait);
    QCOMPARE(rig.engine->probeSocket().localPort(), int(rig.port()));
    rig.server.sendTcpProbe(rig.port(), {"after the verdict"});
    QTRY_COMPARE_WITH_TIMEOUT(logLines(rig.engine->listenerLogText()).size(), 8, kWait);
    QCOMPARE(logLines(rig.engine->listenerLogText()).at(6), u"after the verdict"_s);
    rig.engine->stopCheck();
}

void TestEngine::serverVerdicts_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("probe");
    QTest::addColumn<QByteArray>("reply"); // empty: what a working server says
    QTest::addColumn<QList<Outcome>>("outcomes");
    QTest::addColumn<QString>("info");

    const QString unchanged;
    QTest::newRow("udp open") << false << true << QByteArray()
                              << QList<Outcome>{Outcome::UdpGraceWait, Outcome::UdpArrived}
                              << text::kUdpOpen.toString();
    QTest::newRow("udp not open") << false << false << QByteArray()
                                  << QList<Outcome>{Outcome::UdpGraceWait, Outcome::UdpMissing}
                                  << text::kUdpClosed.toString();
    QTest::newRow("tcp not open") << true << false << QByteArray()
                                  << QList<Outcome>{Outcome::TcpNotReached}
                                  << text::kTcpClosed.toString();
    QTest::newRow("no -done-") << true << true << httpReply("failed -tcpopen- -ping ok")
                               << QList<Outcome>{Outcome::ReplyWithoutCheck} << unchanged;
}

void TestEngine::serverVerdicts()
{
    QFETCH(bool, tcp);
    QFETCH(bool, probe);
    QFETCH(QByteArray, reply);
    QFETCH(QList<Outcome>, outcomes);

    EngineRig rig;
    if (!probe)
        rig.server.script().probe = ServerScript::Probe::None;
    if (!reply.isEmpty())
        rig.server.script().replyPieces = {reply};
    QVERIFY(rig.start(tcp));
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), outcomes.constLast(), kWait);

    QCOMPARE(rig.outcomeSequence(), outcomes);
    QCOMPARE(rig.evaluations.size(), outcomes.size());
    QTEST(rig.view.text(ResultLabel::Info), "info");
    if (!tcp) {
        // The first evaluation only waits for the datagram, the info line left as it was.
        const Evaluation& waiting = rig.evaluations.constFirst();
        QCOMPARE(waiting.status, text::kWaitingForPacket);
        QVERIFY(waiting.info.isEmpty());
        QVERIFY(waiting.waitActive);
        QCOMPARE(waiting.waitInterval, 5000);
        QVERIFY(!waiting.timeoutActive);
        QVERIFY(rig.engine->isWaitElapsed());
        QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Bound);
    }
    const QStringList expected{u"Data arrived on local port: "_s + rig.view.port,
                               u"Dunmoor port probe"_s};
    if (!tcp)
        QCOMPARE(logLines(rig.engine->listenerLogText()), probe ? expected : QStringList());
    rig.engine->stopCheck();
}

void TestEngine::otherDeviceThenLateProbe()
{
    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyPieces = {httpReply("-tcpopen- -ping ok -ip:127.0.0.1- -done-\n")};
    QVERIFY(rig.start(true));
    rig.engine->cmdCheckMeClick();

    QTRY_VERIFY_WITH_TIMEOUT(rig.evaluations.size() >= 10, kWait);
    QCOMPARE(rig.outcomeSequence(), QList<Outcome>{Outcome::TcpElsewhere});
    for (const Evaluation& evaluation : std::as_const(rig.evaluations)) {
        QVERIFY(evaluation.waitActive);
        QCOMPARE(evaluation.waitInterval, 5);
        QVERIFY(!evaluation.timeoutActive);
    }
    QCOMPARE(rig.view.text(ResultLabel::Info), text::kOtherDevice);

    rig.server.sendTcpProbe(rig.port(), {"late dunmoor probe"});
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);
    QCOMPARE(rig.outcomeSequence(), (QList<Outcome>{Outcome::TcpElsewhere, Outcome::TcpArrived}));
    QVERIFY(!rig.engine->waitTimer().isActive());
    QCOMPARE(rig.view.text(ResultLabel::Info), text::kTcpOpen);
    rig.engine->stopCheck();
}

void TestEngine::connectionErrorEndsTheCheck_data()
{
    QTest::addColumn<bool>("refused"); // false: accepted, then reset before the reply
    QTest::newRow("refused") << true;
    QTest::newRow("reset before the reply") << false;
}

// A connection to the server that fails ends the check at once, as no result: the time-out is
// far beyond the wait here, so only the error can have ended it.
void TestEngine::connectionErrorEndsTheCheck()
{
    QFETCH(bool, refused);

    // A server that takes the request and resets the connection instead of replying.
    QTcpServer resetter;
    QVERIFY(resetter.listen(QHostAddress::LocalHost, 0));
    connect(&resetter, &QTcpServer::newConnection, &resetter, [&resetter] {
        while (QTcpSocket* client = resetter.nextPendingConnection()) {
            connect(client, &QTcpSocket::readyRead, client, [client] {
                if (!client->readAll().endsWith("\r\n\r\n"))
                    return;
                const ::linger reset{1, 0};
                ::setsockopt(int(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                             sizeof reset);
                client->abort();
            });
        }
    });
    EngineRig rig;
    QVERIFY(rig.attach(refused ? freePort() : resetter.serverPort(), true));
    rig.engine->setTimeoutInterval(10 * kWait);
    rig.engine->cmdCheckMeClick();

    QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kWait);
    QCOMPARE(rig.outcomeSequence(), QList<Outcome>{Outcome::NoServerResult});
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kNoResult);
    QVERIFY(!rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->serverSocket().state(), SocketObject::State::Closed);
    const QStringList lines = logLines(rig.engine->httpLogText());
    // Refused: the one error. Reset: the system reports a reset as the server's close, so the
    // close may come first; either way the error ends the log, and no time-out is in it.
    if (refused)
        QCOMPARE(lines.size(), 1);
    QVERIFY(!rig.engine->httpLogText().contains(u"ERR: Timeout"_s));
    QVERIFY(
        lines[0].startsWith(kVersionLine + (refused ? u"wshttp_ERROR: "_s : u"HTTP: Connect"_s)));
    QVERIFY(rig.engine->serverError().has_value());
    QVERIFY(!rig.engine->serverError()->isEmpty());
    QVERIFY(lines.constLast().endsWith(u"wshttp_ERROR: "_s + *rig.engine->serverError()));
    QVERIFY(!rig.engine->refusal());

    // The port stays open as after any reply, and an error there is only logged.
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Listening);
    const QStringList calls = rig.view.calls;
    rig.engine->wsinError(10048, u"Address in use"_s);
    QCOMPARE(rig.engine->listenerLogText(), u"wsin_ERROR: Address in use\r\n"_s);
    QCOMPARE(rig.view.calls, calls);
    QCOMPARE(rig.evaluations.size(), 1);

    // The next check starts without the error.
    rig.engine->cmdCheckMeClick();
    QVERIFY(!rig.engine->serverError());
    rig.engine->stopCheck();
}

// A server that refuses the check: its status and the wait it asks for are read from the reply,
// the verdict is no result, and the next check starts without them.
void TestEngine::refusalIsRead()
{
    EngineRig rig;
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyPieces = {
        "HTTP/1.0 429 Too Many Requests\r\nContent-Type: text/html\r\nRetry-After: 60\r\n\r\n"
        "<p><message>Too many checks from your address.</message></p>"};
    QVERIFY(rig.start(true));
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kWait);
    QCOMPARE(rig.lastOutcome(), Outcome::NoServerResult);
    QCOMPARE(rig.engine->refusal(), std::optional(ServerRefusal{429, 60}));
    QVERIFY(!rig.engine->serverError());
    QCOMPARE(rig.view.boxes, QStringList{u"box critical: Too many checks from your address."_s});

    rig.server.script().replyPieces.clear();
    rig.server.script().probe = ServerScript::Probe::AsRequested;
    rig.engine->cmdCheckMeClick();
    QVERIFY(!rig.engine->refusal());
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);
    QVERIFY(!rig.engine->refusal());
    rig.engine->stopCheck();
}

// Qt's default coarse timers may fire up to 5 % early; the check's time-outs must not.
void TestEngine::timeOutNeverEndsEarly()
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        EngineRig rig;
        rig.server.script().answer = false; // silent: only the time-out ends the check
        QVERIFY(rig.start(true));
        rig.engine->setTimeoutInterval(400);
        QElapsedTimer clock;
        clock.start();
        rig.engine->cmdCheckMeClick();
        QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::NoServerResult, kWait);
        QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.engine->timeoutTimer().timerType(), Qt::PreciseTimer);
        QCOMPARE(rig.engine->waitTimer().timerType(), Qt::PreciseTimer);
    }
}

void TestEngine::arrivalBoundaries_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("message"); // empty: none

    QTest::newRow("-done- split") << QList<QByteArray>{"HTTP/1.0 200 OK\r\n\r\n-tcpopen- -do",
                                                       "ne- -ping ok"}
                                  << Outcome::ReplyWithoutCheck << QString();
    QTest::newRow("200 OK split") << QList<QByteArray>{"HTTP/1.0 20", "0 OK\r\n\r\n-tcpopen-"}
                                  << Outcome::NoServerResult << QString();
    QTest::newRow("whole markers in separate arrivals")
        << QList<QByteArray>{"HTTP/1.0 200 OK\r\n\r\n-tcpopen-", " -done-"} << Outcome::TcpElsewhere
        << QString();
    QTest::newRow("message across arrivals")
        << QList<QByteArray>{"HTTP/1.0 200 OK\r\n\r\n-done- <message>first", " second</message>"}
        << Outcome::TcpNotReached << u"first\r\nHTTP: Begin data arrived: 17\r\n second"_s;
}

void TestEngine::arrivalBoundaries()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, message);

    LockstepServer server;
    QVERIFY(server.listen());
    EngineRig rig;
    QVERIFY(rig.attach(server.port(), true));
    rig.engine->cmdCheckMeClick();
    server.takeRequest();
    server.reply(*rig.engine, pieces);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY_WITH_TIMEOUT(!rig.evaluations.isEmpty(), kWait);

    QTEST(rig.evaluations.constFirst().verdict.outcome, "outcome");
    QCOMPARE(LockstepServer::arrivals(*rig.engine), pieces.size());
    for (const QByteArray& piece : pieces) {
        QVERIFY(rig.engine->httpLogText().contains(u"HTTP: Begin data arrived: "_s +
                                                   QString::number(piece.size()) + u"\r\n"_s +
                                                   QString::fromLatin1(piece) + u"\r\n"_s));
    }
    QCOMPARE(rig.view.boxes,
             message.isEmpty() ? QStringList() : QStringList{u"box critical: "_s + message});
    rig.engine->stopCheck();
}

void TestEngine::fieldsReadWhenConnected()
{
    // The port and protocol change between the click and the connection: the request takes
    // them as they are then; the listener and the verdict keep those of the click.
    EngineRig rig;
    QVERIFY(rig.start(true));
    const QString port = rig.view.port;
    rig.engine->cmdCheckMeClick();
    rig.view.tcp = false;
    rig.view.port = u"0"_s + port;
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpNotReached, kWait);

    const CheckRequest& request = rig.server.requests().constFirst();
    QCOMPARE(request.port, rig.view.port.toLatin1());
    QCOMPARE(request.protocol, QByteArray("udp"));
    QCOMPARE(rig.engine->probeSocket().protocol(), ProbeProtocol::Tcp);
    rig.engine->stopCheck();
}

void TestEngine::lockedPort_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::newRow("tcp") << true;
    QTest::newRow("udp") << false;
}

void TestEngine::lockedPort()
{
    QFETCH(bool, tcp);

    EngineRig rig;
    rig.server.script().answer = false;
    QVERIFY(rig.start(tcp));
    QSignalSpy requests(&rig.server, &ScriptedCheckServer::requestReceived);
    QSignalSpy locks(rig.engine.get(), &CheckEngine::portLocked);
    // An earlier check that still waits for its reply.
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 1, kWait);
    QCOMPARE(rig.server.openConnections(), 1);

    // Another program holds a port and would share it; this program does not share.
    QTcpServer tcpHolder;
    QUdpSocket udpHolder;
    if (tcp)
        QVERIFY(tcpHolder.listen(QHostAddress::Any, 0));
    else
        QVERIFY(udpHolder.bind(QHostAddress::Any, 0,
                               QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    const QString typed =
        u"0"_s + QString::number(tcp ? tcpHolder.serverPort() : udpHolder.localPort());
    rig.view.port = typed;
    rig.view.calls.clear();
    rig.engine->cmdCheckMeClick();

    QCOMPARE(rig.view.calls,
             resetCalls() << u"box plain: Could not test port "_s + typed +
                                 u" because some other application has that port locked. "
                                 u"Please close any applications that may be using this port "
                                 u"and try again."_s
                          << u"text Status: Port "_s + typed +
                                 u" could not be checked. Please close any applications that "
                                 u"may be using this port and try again."_s
                          << u"colour Status: red"_s
                          << u"text Info: Try closing all applications that could be using "
                             u"port "_s +
                                 typed + u" and try again."_s
                          << u"colour Info: black"_s);
    QCOMPARE(locks.count(), 1);
    QVERIFY(!rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Closed);
    QCOMPARE(rig.engine->serverSocket().state(), SocketObject::State::Closed);
    QCOMPARE(rig.engine->httpLogText(), kVersionLine);
    // The earlier check's connection is closed and no new request is made.
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.openConnections(), 0, kWait);
    QCOMPARE(requests.count(), 1);
    QVERIFY(rig.evaluations.isEmpty());
}

void TestEngine::clicks()
{
    EngineRig rig;
    QVERIFY(rig.start(true));
    QSignalSpy requests(&rig.server, &ScriptedCheckServer::requestReceived);
    rig.engine->cmdCheckMeClick();
    QTRY_COMPARE_WITH_TIMEOUT(rig.lastOutcome(), Outcome::TcpArrived, kWait);

    // The next check finds a server that never answers; its click clears the earlier results.
    rig.server.script().answer = false;
    rig.view.calls.clear();
    rig.engine->setTimeoutInterval(60000);
    rig.engine->cmdCheckMeClick();
    QCOMPARE(rig.view.calls, resetCalls() + contactingCalls());
    QCOMPARE(rig.engine->httpLogText(), kVersionLine);
    QVERIFY(rig.engine->listenerLogText().isEmpty());
    QVERIFY(!rig.engine->lastVerdict().has_value());
    QVERIFY(!rig.engine->isWaitElapsed());
    QCOMPARE(rig.engine->timeoutTimer().interval(), 60000);
    QVERIFY(rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Listening);
    QCOMPARE(rig.engine->probeSocket().localPort(), int(rig.port()));

    rig.view.calls.clear();
    QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 2, kWait);
    QCOMPARE(
        rig.view.calls,
        (QStringList{u"text Status: Connected to Dunmoor, waiting for portcheck to complete..."_s,
                     u"colour Status: blue"_s}));
    // The version line has no line end: the first entry continues it.
    const QString connected = kVersionLine + u"HTTP: Connect to: 127.0.0.1:"_s +
                              QString::number(rig.server.port()) + u"\r\n"_s;
    QCOMPARE(rig.engine->httpLogText(), connected);

    // A click while that check waits: a fresh check with its own full time-out.
    rig.engine->setTimeoutInterval(CheckEngine::kTimeoutMs);
    rig.engine->AddLogWS(u"left from before"_s);
    rig.engine->cmdCheckMeClick();
    QCOMPARE(rig.engine->timeoutTimer().interval(), 30000);
    QVERIFY(rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->httpLogText(), kVersionLine);
    QVERIFY(rig.engine->listenerLogText().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(requests.count(), 3, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.openConnections(), 1, kWait);
    QCOMPARE(rig.engine->httpLogText(), connected);
    QCOMPARE(rig.outcomeSequence(), QList<Outcome>{Outcome::TcpArrived});
    rig.engine->stopCheck();
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
