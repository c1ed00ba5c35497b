// quillmere-server as a running program on loopback: real checks, quillmere-check against it,
// every kind of request it must refuse, each shown to probe nothing, the limits over several
// event loops, and a listener behind a load balancer that sends the PROXY protocol.

#include "tests/server/tcptarget.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using quillmere::test::TcpTarget;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 15000;

// The server under test, listening on a free loopback port (on none more when `listen` is
// empty: then the arguments name the listeners).
class ServerProcess
{
public:
    explicit ServerProcess(QStringList arguments, const QString& listen = u"127.0.0.1:0"_s)
    {
        if (!listen.isEmpty())
            arguments << u"--listen"_s << listen;
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            m_accessLog += QString::fromUtf8(m_process.readAllStandardOutput());
        });
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_notes += QString::fromUtf8(m_process.readAllStandardError());
        });
        m_process.start(QString::fromUtf8(QUILLMERE_SERVER_PROGRAM), arguments);
    }

    ~ServerProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
    }

    // Waits for the listening note; 0 when the server did not start.
    quint16 waitForPort()
    {
        static const QRegularExpression listening(u"listening on \\S+:(\\d+)"_s);
        const bool ended = QTest::qWaitFor(
            [this] {
                return listening.match(m_notes).hasMatch() ||
                       m_process.state() == QProcess::NotRunning;
            },
            kWait);
        const QRegularExpressionMatch match = listening.match(m_notes);
        return ended && match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
    }

    // Ends the server the way an operator does and says whether it left cleanly.
    bool stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(kWait) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }

    // Waits for the program to end on its own; its exit code, or -1 when it did not end or
    // crashed.
    int waitForExit()
    {
        if (!m_process.waitForFinished(kWait) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        m_notes += QString::fromUtf8(m_process.readAllStandardError());
        return m_process.exitCode();
    }

    // The metrics listener's port, once the server says where it is; 0 when it does not.
    quint16 waitForMetricsPort()
    {
        static const QRegularExpression metrics(u"metrics at http://\\S+:(\\d+)/metrics"_s);
        if (!QTest::qWaitFor([this] { return metrics.match(m_notes).hasMatch(); }, kWait))
            return 0;
        return quint16(metrics.match(m_notes).captured(1).toUInt());
    }

    // Whether the server can ping over IPv4. Its pinger note follows the listening note, and
    // stderr may bring it in a later read: waits for it.
    bool canPing()
    {
        if (!QTest::qWaitFor([this] { return m_notes.contains(u"IPv4: "_s); }, kWait))
            return false;
        return m_notes.contains(u"IPv4: ping through"_s);
    }
    const QString& accessLog() const { return m_accessLog; }
    const QString& notes() const { return m_notes; }

private:
    QProcess m_process;
    QString m_accessLog;
    QString m_notes;
};

// One HTTP exchange: sends the bytes, collects everything until the server closes. Given
// several pieces, it sends them one at a time, as a slow client does, until the server
// answers; from a local address other than 127.0.0.1 when one is given.
class Exchange
{
public:
    Exchange(quint16 port, const QByteArray& request, const QHostAddress& from = {})
        : Exchange(port, QByteArrayList{request}, from)
    {}

    Exchange(quint16 port, const QByteArrayList& pieces, const QHostAddress& from = {})
        : m_pieces(pieces)
    {
        m_pacer.setInterval(1);
        m_pacer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_pacer, &QTimer::timeout, [this] { sendPiece(); });
        QObject::connect(&m_socket, &QTcpSocket::connected, [this] {
            m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            sendPiece();
            if (!m_pieces.isEmpty())
                m_pacer.start();
        });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] {
            m_pacer.stop();
            m_reply += m_socket.readAll();
        });
        QObject::connect(&m_socket, &QTcpSocket::disconnected, [this] {
            m_pacer.stop();
            m_closed = true;
        });
        if (!from.isNull())
            m_socket.bind(from);
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    bool closed() const { return m_closed; }
    const QByteArray& reply() const { return m_reply; }
    QByteArray statusLine() const { return m_reply.left(m_reply.indexOf("\r\n")); }

private:
    void sendPiece()
    {
        if (m_pieces.isEmpty()) {
            m_pacer.stop();
            return;
        }
        m_socket.write(m_pieces.takeFirst());
    }

    QTimer m_pacer;
    QByteArrayList m_pieces;
    QByteArray m_reply;
    bool m_closed = false;
    // Last, so that it goes first: closing it signals into the members above.
    QTcpSocket m_socket;
};

QByteArray checkRequest(const QByteArray& query, const QByteArray& extraHeaders = {})
{
    return "GET /portcheck3.cgi?" + query + " HTTP/1.0\r\nHost: test\r\n" + extraHeaders + "\r\n";
}

QByteArray checkQuery(quint16 port, const char* protocol = "tcp")
{
    return "port=" + QByteArray::number(port) + "&protocol=" + protocol + "&version=0";
}

// A TCP port whose accept queue is full, so that the system drops further connection attempts
// and a probe waits for its time-out.
class HangingPort
{
public:
    explicit HangingPort(in_addr_t host = INADDR_LOOPBACK)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(host);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 0) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
            m_fillers.push_back(filler);
        }
    }
    ~HangingPort()
    {
        for (const int fd : m_fillers)
            ::close(fd);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    std::vector<int> m_fillers;
    quint16 m_port = 0;
};

// A loopback port that nothing listens on (just now).
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The status page, asked for from `from` (127.0.0.1 when null); empty when none came.
QByteArray statusPage(quint16 serverPort, const QHostAddress& from = {})
{
    Exchange exchange(serverPort, QByteArray("GET / HTTP/1.0\r\n\r\n"), from);
    if (!QTest::qWaitFor([&exchange] { return exchange.closed(); }, kWait))
        return {};
    return exchange.statusLine() == "HTTP/1.0 200 OK" ? exchange.reply() : QByteArray();
}

bool statusPageServed(quint16 serverPort)
{
    return !statusPage(serverPort).isEmpty();
}

struct CheckRun
{
    int exitCode = -1;
    QString out;
};

CheckRun runCheckProgram(quint16 serverPort, const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QUILLMERE_CHECK_SERVER"_s);
    process.setProcessEnvironment(environment);
    process.start(QString::fromUtf8(QUILLMERE_CHECK_PROGRAM),
                  QStringList{u"--server"_s, u"127.0.0.1:"_s + QString::number(serverPort)} +
                      arguments);
    CheckRun run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkProgramSeesItsPortOpenThroughTheServer_data();
    void checkProgramSeesItsPortOpenThroughTheServer();
    void closedPortGetsFinishedPageWithoutOpenMarker();
    void probeCarriesTheFreshTokenOfItsReply();
    void answersJsonWhenAskedFor();
    void probeEndReachesPageJsonAndLog();
    void badRequestsAreAnsweredAtOnceAndProbeNothing_data();
    void badRequestsAreAnsweredAtOnceAndProbeNothing();
    void headOverLimitInSlowShortFieldsIsRefused();
    void unfinishedHeadIsClosedSilentlyAtItsDeadline();
    void secondCheckWhileOneRunsGets429();
    void eleventhCheckInAMinuteGets429();
    void fullServerAnswers503AtOnce();
    void connectionOverClientCapIsClosedAtOnce();
    void privateClientGets403AndNoProbe();
    void forwardedForIsBelievedOnlyFromTrustedProxies();
    void servesHelpAndStatusPagesWithoutLogging();
    void everyAddressListenerServesIpv4Too();
    void secondServerOnATakenPortDoesNotStart_data();
    void secondServerOnATakenPortDoesNotStart();
    void metricsCountWhatWasDone();
    void metricsListenerClosesCleanlyOverUnreadBytes();
    void limitsHoldWhicheverLoopTakesTheCheck();
    void proxyListenerChecksTheClientItNames_data();
    void proxyListenerChecksTheClientItNames();
    void proxyListenerClosesWhatItCannotBelieve();
    void proxyListenerNeverTakesTheClientFromTheRequest_data();
    void proxyListenerNeverTakesTheClientFromTheRequest();
};

void TestServer::checkProgramSeesItsPortOpenThroughTheServer_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("tcp") << u"tcp"_s;
    QTest::newRow("udp") << u"udp"_s;
}

void TestServer::checkProgramSeesItsPortOpenThroughTheServer()
{
    QFETCH(QString, protocol);
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY2(serverPort, qPrintable(server.notes()));

    QUdpSocket spare; // a UDP port that is free now, for the program to open
    QVERIFY(spare.bind(QHostAddress::LocalHost, 0));
    const quint16 port = protocol == u"tcp"_s ? closedPort() : spare.localPort();
    spare.close();

    const CheckRun run = runCheckProgram(
        serverPort, {u"--no-router"_s, u"--protocol"_s, protocol, QString::number(port)});
    QVERIFY2(run.out.contains(u"Status: Your port is OPEN on this computer!"_s),
             qPrintable(run.out));
    QVERIFY2(run.out.contains(u"External IP: Your external IP address is: 127.0.0.1\n"_s),
             qPrintable(run.out));
    const QString ping = server.canPing() ? u"Ping: We were able to ping your router."_s
                                          : u"Ping: We were not able to ping your router."_s;
    QVERIFY2(run.out.contains(ping), qPrintable(run.out + server.notes()));
    QCOMPARE(run.exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(server.accessLog().contains(u"port="_s + QString::number(port)),
                             kWait);
    const QString outcome = protocol == u"tcp"_s ? u"outcome=open"_s : u"outcome=sent"_s;
    QVERIFY2(server.accessLog().contains(u"client=127.0.0.1 port="_s + QString::number(port) +
                                         u" protocol="_s + protocol + u" "_s + outcome),
             qPrintable(server.accessLog()));
    QVERIFY(server.stop());
}

void TestServer::closedPortGetsFinishedPageWithoutOpenMarker()
{
    ServerProcess server({u"--allow-private"_s, u"--message"_s, u"Back at 18:00 & later"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    const quint16 port = closedPort();
    Exchange exchange(serverPort, checkRequest("port=000" + QByteArray::number(port) +
                                               "&protocol=TCP&version=0"));
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    const QByteArray& reply = exchange.reply();
    QCOMPARE(exchange.statusLine(), "HTTP/1.0 200 OK");
    QVERIFY(reply.contains("\r\nConnection: close\r\n"));
    QVERIFY(reply.contains("-ip:127.0.0.1-"));
    QVERIFY(!reply.contains("-tcpopen-"));
    QVERIFY(reply.contains("<message>Back at 18:00 & later</message>"));
    QVERIFY(reply.trimmed().endsWith("-done-</p>\n</body></html>"));
    QTRY_VERIFY_WITH_TIMEOUT(server.accessLog().contains(u"outcome=closed"_s), kWait);
    QVERIFY(server.stop());
}

void TestServer::probeCarriesTheFreshTokenOfItsReply()
{
    ServerProcess server({u"--allow-private"_s, u"--ping"_s, u"off"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    static const QRegularExpression tokenMarker(u"-token:([0-9a-f]{32})-"_s);
    const auto tokenOf = [](const QByteArray& reply) {
        return tokenMarker.match(QString::fromLatin1(reply)).captured(1).toLatin1();
    };

    TcpTarget target;
    QVERIFY(target.listening());
    Exchange tcp(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(tcp.closed(), kWait);
    const QByteArray tcpToken = tokenOf(tcp.reply());
    QVERIFY2(!tcpToken.isEmpty(), tcp.reply().constData());
    QTRY_COMPARE_WITH_TIMEOUT(target.data(), "quillmere dunmoor " + tcpToken + "\r\n", kWait);

    QUdpSocket udpTarget;
    QVERIFY(udpTarget.bind(QHostAddress::LocalHost, 0));
    Exchange udp(serverPort, checkRequest(checkQuery(udpTarget.localPort(), "udp")));
    QTRY_VERIFY_WITH_TIMEOUT(udp.closed(), kWait);
    const QByteArray udpToken = tokenOf(udp.reply());
    QVERIFY2(!udpToken.isEmpty(), udp.reply().constData());
    QTRY_VERIFY_WITH_TIMEOUT(udpTarget.hasPendingDatagrams(), kWait);
    QCOMPARE(udpTarget.receiveDatagram().data(), "quillmere dunmoor " + udpToken + "\r\n");
    QVERIFY(udpToken != tcpToken); // a new one for every check
    QVERIFY(server.stop());
}

// The reply's status and its body read as a JSON object; an empty object when the reply is not
// JSON.
std::pair<QByteArray, QJsonObject> jsonReply(const Exchange& exchange)
{
    const QByteArray& reply = exchange.reply();
    const qsizetype end = reply.indexOf("\r\n\r\n");
    if (end < 0 || !reply.left(end).contains("\r\nContent-Type: application/json\r\n"))
        return {exchange.statusLine(), {}};
    return {exchange.statusLine(), QJsonDocument::fromJson(reply.mid(end + 4)).object()};
}

void TestServer::answersJsonWhenAskedFor()
{
    const QByteArray json = "Accept: application/json\r\n";
    {
        ServerProcess server({u"--allow-private"_s, u"--ping"_s, u"off"_s, u"--client-rate"_s,
                              u"2"_s, u"--message"_s, u"Back at \"18:00\""_s});
        const quint16 serverPort = server.waitForPort();
        QVERIFY(serverPort);
        TcpTarget target;
        Exchange check(serverPort, checkRequest(checkQuery(target.port()), json));
        QTRY_VERIFY_WITH_TIMEOUT(check.closed(), kWait);
        const auto [status, body] = jsonReply(check);
        QCOMPARE(status, "HTTP/1.0 200 OK");
        QCOMPARE(body.value(u"address"_s).toString(), u"127.0.0.1"_s);
        QCOMPARE(body.value(u"port"_s).toInt(), int(target.port()));
        QCOMPARE(body.value(u"protocol"_s).toString(), u"tcp"_s);
        QCOMPARE(body.value(u"reachable"_s), QJsonValue(true));
        QCOMPARE(body.value(u"ping"_s), QJsonValue(false));
        QCOMPARE(body.value(u"message"_s).toString(), u"Back at \"18:00\""_s);
        const QByteArray token = body.value(u"token"_s).toString().toLatin1();
        QTRY_COMPARE_WITH_TIMEOUT(target.data(), "quillmere dunmoor " + token + "\r\n", kWait);

        Exchange badPort(serverPort, checkRequest("port=0&protocol=tcp", json));
        QTRY_VERIFY_WITH_TIMEOUT(badPort.closed(), kWait);
        const auto [badStatus, badBody] = jsonReply(badPort);
        QCOMPARE(badStatus, "HTTP/1.0 400 Bad Request");
        QCOMPARE(badBody.value(u"status"_s).toInt(), 400);
        QCOMPARE(badBody.value(u"message"_s).toString(),
                 u"Bad request: The port must be a number from 1 to 65535."_s);

        // A browser gets the page, and a client that turns JSON down too.
        Exchange page(serverPort,
                      checkRequest(checkQuery(closedPort()), "Accept: text/html,*/*;q=0.8\r\n"
                                                             "Accept: application/json;q=0\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), kWait);
        QVERIFY(page.reply().contains("\r\nContent-Type: text/html; charset=utf-8\r\n"));
        QVERIFY(page.reply().contains("-done-"));

        Exchange third(serverPort, checkRequest(checkQuery(target.port()), json));
        QTRY_VERIFY_WITH_TIMEOUT(third.closed(), kWait);
        const auto [rateStatus, rateBody] = jsonReply(third);
        QCOMPARE(rateStatus, "HTTP/1.0 429 Too Many Requests");
        QVERIFY(third.reply().contains("\r\nRetry-After: 60\r\n"));
        QCOMPARE(rateBody.value(u"status"_s).toInt(), 429);
        QCOMPARE(rateBody.value(u"retry_after"_s).toInt(), 60);
        QVERIFY(rateBody.value(u"message"_s).toString().startsWith(u"Too many checks"_s));
        QCOMPARE(target.connections(), 1);
        QVERIFY(server.stop());
    }
    {
        ServerProcess server({});
        const quint16 serverPort = server.waitForPort();
        QVERIFY(serverPort);
        Exchange refused(serverPort, checkRequest(checkQuery(closedPort()), json));
        QTRY_VERIFY_WITH_TIMEOUT(refused.closed(), kWait);
        const auto [status, body] = jsonReply(refused);
        QCOMPARE(status, "HTTP/1.0 403 Forbidden");
        QCOMPARE(body.value(u"status"_s).toInt(), 403);
        QVERIFY(body.value(u"message"_s).toString().contains(u"does not check 127.0.0.1"_s));
        QVERIFY(server.stop());
    }
}

// How each probe ended reaches the page, the JSON reply, the access log (at the end of the line)
// and quillmere-check's JSON: a connection, a reset, a port that drops the SYN, and a UDP check,
// which says nothing of it.
void TestServer::probeEndReachesPageJsonAndLog()
{
    ServerProcess server({u"--allow-private"_s, u"--ping"_s, u"off"_s, u"--client-rate"_s, u"0"_s,
                          u"--connect-timeout"_s, u"1"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY2(serverPort, qPrintable(server.notes()));
    const QByteArray json = "Accept: application/json\r\n";
    // The log line of the check of `port`, once it is written.
    const auto logLine = [&server](quint16 port, const QString& protocol) {
        const QRegularExpression line(u"^.* port="_s + QString::number(port) + u" protocol="_s +
                                          protocol + u" .*$"_s,
                                      QRegularExpression::MultilineOption);
        QString found;
        const bool written = QTest::qWaitFor(
            [&] {
                found = line.match(server.accessLog()).captured(0);
                return !found.isEmpty();
            },
            kWait);
        return written ? found : QString();
    };

    TcpTarget target;
    QVERIFY(target.listening());
    HangingPort hanging;
    QVERIFY(hanging.port());
    for (const auto& [port, word] :
         {std::pair{target.port(), "connected"}, std::pair{closedPort(), "refused"},
          std::pair{hanging.port(), "timed-out"}}) {
        const QByteArray marker = "-probe:" + QByteArray(word) + "-";
        Exchange page(serverPort, checkRequest(checkQuery(port)));
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), kWait);
        QVERIFY2(page.reply().contains(QByteArray("<p>Probe: " + marker + "</p>\n")),
                 page.reply().constData());
        QVERIFY(page.reply().indexOf(marker) < page.reply().indexOf("-done-"));
        QVERIFY2(logLine(port, u"tcp"_s).endsWith(u" probe="_s + QLatin1StringView(word)),
                 qPrintable(server.accessLog()));

        Exchange asJson(serverPort, checkRequest(checkQuery(port), json));
        QTRY_VERIFY_WITH_TIMEOUT(asJson.closed(), kWait);
        const auto [status, body] = jsonReply(asJson);
        QCOMPARE(status, "HTTP/1.0 200 OK");
        QCOMPARE(body.value(u"probe"_s).toString(), QLatin1StringView(word));
    }

    QUdpSocket udpTarget;
    QVERIFY(udpTarget.bind(QHostAddress::LocalHost, 0));
    Exchange udp(serverPort, checkRequest(checkQuery(udpTarget.localPort(), "udp")));
    QTRY_VERIFY_WITH_TIMEOUT(udp.closed(), kWait);
    QVERIFY(udp.reply().contains("-done-"));
    QVERIFY(!udp.reply().contains("-probe:"));
    QVERIFY2(logLine(udpTarget.localPort(), u"udp"_s).endsWith(u" probe=-"_s),
             qPrintable(server.accessLog()));
    Exchange udpJson(serverPort, checkRequest(checkQuery(udpTarget.localPort(), "udp"), json));
    QTRY_VERIFY_WITH_TIMEOUT(udpJson.closed(), kWait);
    const auto [udpStatus, udpBody] = jsonReply(udpJson);
    QVERIFY(udpBody.contains(u"probe"_s));
    QCOMPARE(udpBody.value(u"probe"_s), QJsonValue(QJsonValue::Null));

    // The program's own JSON, through the engine's reading of the marker.
    for (const auto& [protocol, probe] : {std::pair{u"tcp"_s, QJsonValue(u"connected"_s)},
                                          std::pair{u"udp"_s, QJsonValue(QJsonValue::Null)}}) {
        QUdpSocket spare; // a port that is free now, for the program to open
        QVERIFY(spare.bind(QHostAddress::LocalHost, 0));
        const quint16 port = protocol == u"tcp"_s ? closedPort() : spare.localPort();
        spare.close();
        const CheckRun run =
            runCheckProgram(serverPort, {u"--no-router"_s, u"--json"_s, u"--protocol"_s, protocol,
                                         QString::number(port)});
        const QJsonObject object = QJsonDocument::fromJson(run.out.toUtf8()).object();
        QCOMPARE(object.value(u"verdict"_s).toString(), u"open-this-computer"_s);
        QVERIFY2(object.contains(u"probe"_s), qPrintable(run.out));
        QCOMPARE(object.value(u"probe"_s), probe);
    }
    QVERIFY(server.stop());
}

void TestServer::badRequestsAreAnsweredAtOnceAndProbeNothing_data()
{
    QTest::addColumn<QByteArray>("request"); // "PORT" stands for the target's port
    QTest::addColumn<QByteArray>("status");
    const QByteArray badRequest = "HTTP/1.0 400 Bad Request";
    QTest::newRow("wrong path")
        << QByteArray("GET /portcheck4.cgi?port=PORT&protocol=tcp HTTP/1.0\r\n\r\n")
        << QByteArray("HTTP/1.0 404 Not Found");
    QTest::newRow("port 0") << checkRequest("port=0&protocol=tcp") << badRequest;
    QTest::newRow("port 65536") << checkRequest("port=65536&protocol=tcp") << badRequest;
    QTest::newRow("letters") << checkRequest("port=PORTx&protocol=tcp") << badRequest;
    QTest::newRow("30 digits") << checkRequest("port=123456789012345678901234567890&protocol=tcp")
                               << badRequest;
    QTest::newRow("no port") << checkRequest("protocol=tcp") << badRequest;
    QTest::newRow("bad protocol") << checkRequest("port=PORT&protocol=sctp") << badRequest;
    QTest::newRow("POST") << QByteArray(
                                 "POST /portcheck3.cgi?port=PORT&protocol=tcp HTTP/1.0\r\n\r\n")
                          << QByteArray("HTTP/1.0 405 Method Not Allowed");
    QTest::newRow("head over 2 KiB")
        << checkRequest("port=PORT&protocol=tcp", "X-Pad: " + QByteArray(2100, 'a') + "\r\n")
        << QByteArray("HTTP/1.1 400 Bad Request");
    // 1,000 short fields, 8.9 KB in all: the limit is on the whole head.
    QByteArray manyFields;
    for (int i = 0; i < 1000; ++i)
        manyFields += "X-" + QByteArray::number(i % 10) + ": abc\r\n";
    QTest::newRow("head over 2 KiB in short fields")
        << checkRequest("port=PORT&protocol=tcp", manyFields)
        << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("not HTTP") << QByteArray("HELLO PORT\r\n\r\n")
                              << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("no version") << QByteArray("GET / \r\n\r\n")
                                << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("check without version")
        << QByteArray("GET /portcheck3.cgi?port=PORT&protocol=tcp \r\n\r\n")
        << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("short version")
        << QByteArray("GET /portcheck3.cgi?port=PORT&protocol=tcp HTTP/1\r\n\r\n")
        << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("no target") << QByteArray("GET\r\n\r\n")
                               << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("HTTP/2.0") << QByteArray(
                                     "GET /portcheck3.cgi?port=PORT&protocol=tcp HTTP/2.0\r\n\r\n")
                              << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("body") << QByteArray("GET /portcheck3.cgi?port=PORT&protocol=tcp "
                                        "HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc")
                          << badRequest;
}

void TestServer::badRequestsAreAnsweredAtOnceAndProbeNothing()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    TcpTarget target;
    QVERIFY(target.listening());
    QElapsedTimer timer;
    timer.start();
    Exchange exchange(serverPort, request.replace("PORT", QByteArray::number(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    QCOMPARE(exchange.statusLine(), status);
    // At once: well before the 5 s an unfinished head is given.
    QVERIFY2(timer.elapsed() < 2500, QByteArray::number(timer.elapsed()).constData());
    QVERIFY(!exchange.reply().contains("-done-"));
    QCOMPARE(target.connections(), 0);
    QVERIFY(!server.accessLog().contains(u"outcome=open"_s));
    QVERIFY(server.stop());
}

// The head comes ten short fields at a time, each piece ending a byte into the next field: the
// limit still counts every byte of it.
void TestServer::headOverLimitInSlowShortFieldsIsRefused()
{
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    TcpTarget target;
    QVERIFY(target.listening());
    QByteArrayList pieces{"GET /portcheck3.cgi?port=" + QByteArray::number(target.port()) +
                          "&protocol=tcp HTTP/1.0\r\nX"};
    for (int i = 0; i < 100; ++i) {
        QByteArray piece;
        for (int field = 0; field < 10; ++field)
            piece += "-" + QByteArray::number(field) + ": a\r\nX";
        pieces << piece;
    }
    pieces << "-E: a\r\n\r\n"; // 1,000 fields, 9 KB in all
    Exchange exchange(serverPort, pieces);
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    QCOMPARE(exchange.statusLine(), "HTTP/1.1 400 Bad Request");
    QVERIFY(exchange.reply().contains("the request head is too long"));
    QCOMPARE(target.connections(), 0);
    QVERIFY(server.stop());
}

void TestServer::unfinishedHeadIsClosedSilentlyAtItsDeadline()
{
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    TcpTarget target;
    QElapsedTimer timer;
    timer.start();
    Exchange exchange(serverPort, "GET /portcheck3.cgi?port=" + QByteArray::number(target.port()) +
                                      "&protocol=tcp HTTP/1.0\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    QVERIFY2(timer.elapsed() >= 4500, QByteArray::number(timer.elapsed()).constData());
    QVERIFY(exchange.reply().isEmpty());
    QCOMPARE(target.connections(), 0);
    QVERIFY(server.stop());
}

void TestServer::secondCheckWhileOneRunsGets429()
{
    // The probe outlasts the 5 s the request head may take: the check's reply must still come.
    ServerProcess server({u"--allow-private"_s, u"--connect-timeout"_s, u"5.5"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    HangingPort hanging;
    QVERIFY(hanging.port());
    TcpTarget target;

    Exchange first(serverPort, checkRequest(checkQuery(hanging.port())));
    QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort).contains("Checks in flight: 1\n"), kWait);
    Exchange second(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(second.closed(), kWait);
    QVERIFY(!first.closed());
    QCOMPARE(second.statusLine(), "HTTP/1.0 429 Too Many Requests");
    QVERIFY(second.reply().contains("<message>A check from your address is still running."));
    QCOMPARE(target.connections(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(first.closed(), kWait);
    QVERIFY(first.reply().contains("-done-"));
    QVERIFY(!first.reply().contains("-tcpopen-"));
    QTRY_VERIFY_WITH_TIMEOUT(server.accessLog().contains(u"outcome=timeout"_s), kWait);
    QVERIFY(server.accessLog().contains(u"outcome=rate-limited"_s));
    QVERIFY(server.stop());
}

void TestServer::eleventhCheckInAMinuteGets429()
{
    ServerProcess server({u"--allow-private"_s, u"--ping"_s, u"off"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    const quint16 port = closedPort();
    for (int i = 0; i < 10; ++i) {
        Exchange exchange(serverPort, checkRequest(checkQuery(port)));
        QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
        QVERIFY2(exchange.reply().contains("-done-"), exchange.statusLine().constData());
    }
    TcpTarget target;
    Exchange eleventh(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(eleventh.closed(), kWait);
    QCOMPARE(eleventh.statusLine(), "HTTP/1.0 429 Too Many Requests");
    QVERIFY(eleventh.reply().contains("\r\nRetry-After: 60\r\n"));
    QVERIFY(eleventh.reply().contains(
        "<message>Too many checks from your address: at most 10 a minute."));
    QCOMPARE(target.connections(), 0);
    QVERIFY(server.stop());
}

void TestServer::fullServerAnswers503AtOnce()
{
    ServerProcess server({u"--allow-private"_s, u"--max-checks"_s, u"1"_s, u"--client-checks"_s,
                          u"0"_s, u"--connect-timeout"_s, u"2"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    HangingPort hanging;
    TcpTarget target;
    Exchange first(serverPort, checkRequest(checkQuery(hanging.port())));
    QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort).contains("Checks in flight: 1\n"), kWait);
    QElapsedTimer timer;
    timer.start();
    Exchange second(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(second.closed(), kWait);
    QVERIFY(timer.elapsed() < 1500);
    QCOMPARE(second.statusLine(), "HTTP/1.0 503 Service Unavailable");
    QVERIFY(second.reply().contains("<message>The check server is busy."));
    QCOMPARE(target.connections(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(first.closed(), kWait);
    QVERIFY(server.stop());
}

void TestServer::connectionOverClientCapIsClosedAtOnce()
{
    ServerProcess server({u"--allow-private"_s, u"--client-connections"_s, u"2"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    std::vector<std::unique_ptr<Exchange>> idle;
    idle.push_back(std::make_unique<Exchange>(serverPort, QByteArray("GET / HTTP/1.0\r\n")));
    idle.push_back(std::make_unique<Exchange>(serverPort, QByteArray("GET / HTTP/1.0\r\n")));
    // Both accepted and counted: asked from another client, the page counts itself too.
    const QHostAddress otherClient(u"127.0.0.2"_s);
    QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort, otherClient).contains("Open connections: 3\n"),
                             kWait);
    Exchange third(serverPort, "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(third.closed(), kWait);
    QVERIFY(third.reply().isEmpty());
    QVERIFY(!idle[0]->closed() && !idle[1]->closed());
    idle.clear();
    // Once they are gone, the client is served again.
    QTRY_VERIFY_WITH_TIMEOUT(statusPageServed(serverPort), kWait);
    QVERIFY(server.stop());
}

void TestServer::privateClientGets403AndNoProbe()
{
    ServerProcess server({});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    TcpTarget target;
    Exchange exchange(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    QCOMPARE(exchange.statusLine(), "HTTP/1.0 403 Forbidden");
    QVERIFY(exchange.reply().contains("<message>This server does not check 127.0.0.1: it is not an "
                                      "address on the public internet.</message>"));
    QVERIFY(!exchange.reply().contains("-done-"));
    QCOMPARE(target.connections(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(server.accessLog().contains(u"client=127.0.0.1 port="_s +
                                                         QString::number(target.port()) +
                                                         u" protocol=tcp outcome=refused"_s),
                             kWait);
    QVERIFY(server.stop());
}

void TestServer::forwardedForIsBelievedOnlyFromTrustedProxies()
{
    TcpTarget other(QHostAddress(u"127.0.0.2"_s));
    QVERIFY(other.listening());
    TcpTarget here(QHostAddress::LocalHost, other.port());
    QVERIFY(here.listening());
    const QByteArray request =
        checkRequest(checkQuery(other.port()), "X-Forwarded-For: 127.0.0.2\r\n");
    {
        ServerProcess server({u"--allow-private"_s});
        const quint16 serverPort = server.waitForPort();
        Exchange exchange(serverPort, request);
        QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
        QVERIFY(exchange.reply().contains("-ip:127.0.0.1-"));
        QCOMPARE(here.connections(), 1);
        QCOMPARE(other.connections(), 0);
        QVERIFY(server.stop());
    }
    {
        ServerProcess server({u"--allow-private"_s, u"--trusted-proxy"_s, u"127.0.0.1"_s});
        const quint16 serverPort = server.waitForPort();
        Exchange exchange(serverPort, request);
        QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
        QVERIFY(exchange.reply().contains("-ip:127.0.0.2-"));
        QVERIFY(exchange.reply().contains("-tcpopen-"));
        QTRY_COMPARE_WITH_TIMEOUT(other.connections(), 1, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(other.data().contains("dunmoor"), kWait);
        QCOMPARE(here.connections(), 1);
        QVERIFY(server.stop());
    }
    {
        // Behind the proxy the client's own address decides, and it is not public.
        ServerProcess server({u"--trusted-proxy"_s, u"127.0.0.0/8"_s});
        const quint16 serverPort = server.waitForPort();
        Exchange exchange(serverPort,
                          checkRequest(checkQuery(other.port()), "X-Forwarded-For: 192.0.2.1\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
        QCOMPARE(exchange.statusLine(), "HTTP/1.0 403 Forbidden");
        QVERIFY(exchange.reply().contains("does not check 192.0.2.1"));
        QVERIFY(server.stop());
    }
    QCOMPARE(other.connections(), 1);
    QCOMPARE(here.connections(), 1);
}

void TestServer::servesHelpAndStatusPagesWithoutLogging()
{
    ServerProcess server({});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    QFile page(QString::fromUtf8(QUILLMERE_HELP_PAGE));
    QVERIFY(page.open(QIODevice::ReadOnly));
    Exchange help(serverPort, "GET /help/portcheck_help.htm HTTP/1.1\r\nHost: x\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(help.closed(), kWait);
    QCOMPARE(help.statusLine(), "HTTP/1.1 200 OK");
    const QByteArray expected = "\r\n\r\n" + page.readAll();
    QVERIFY(help.reply().endsWith(expected));
    Exchange status(serverPort, "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(status.closed(), kWait);
    QCOMPARE(status.statusLine(), "HTTP/1.0 200 OK");
    QVERIFY(status.reply().contains("quillmere-server 1.0.39"));
    QVERIFY(server.accessLog().isEmpty()); // pages are not checks
    QVERIFY(server.stop());
}

void TestServer::everyAddressListenerServesIpv4Too()
{
    ServerProcess server({}, u"*:0"_s);
    const quint16 serverPort = server.waitForPort();
    QVERIFY2(serverPort, qPrintable(server.notes()));
    QTRY_VERIFY_WITH_TIMEOUT(statusPageServed(serverPort), kWait); // over IPv4, 127.0.0.1
    QVERIFY(server.stop());
}

void TestServer::secondServerOnATakenPortDoesNotStart_data()
{
    QTest::addColumn<QString>("firstThreads");
    QTest::addColumn<QString>("secondThreads");
    QTest::newRow("1 then 1") << u"1"_s << u"1"_s;
    QTest::newRow("2 then 2") << u"2"_s << u"2"_s;
    QTest::newRow("4 then 4") << u"4"_s << u"4"_s;
    QTest::newRow("1 then 3") << u"1"_s << u"3"_s;
    QTest::newRow("3 then 1") << u"3"_s << u"1"_s;
}

// A second server on the port of a running one fails at start-up, however many loops either
// runs: the two never share the port (and the limits).
void TestServer::secondServerOnATakenPortDoesNotStart()
{
    QFETCH(QString, firstThreads);
    QFETCH(QString, secondThreads);
    ServerProcess first({u"--threads"_s, firstThreads, u"--ping"_s, u"off"_s});
    const quint16 port = first.waitForPort();
    QVERIFY2(port, qPrintable(first.notes()));
    const QString address = u"127.0.0.1:"_s + QString::number(port);
    ServerProcess second({u"--threads"_s, secondThreads, u"--ping"_s, u"off"_s}, address);
    QCOMPARE(second.waitForExit(), 1);
    QVERIFY2(
        second.notes().contains(u"cannot listen on "_s + address + u": Address already in use"_s),
        qPrintable(second.notes()));
    QVERIFY(!second.notes().contains(u"listening on"_s));
    // The first one still serves, and so does every loop of it.
    for (int i = 0; i < 8; ++i)
        QVERIFY(statusPageServed(port));
    QVERIFY(first.stop());
}

// A scrape of the metrics listener: every sample by its name and labels, as written. Empty
// when the reply is not an exposition, or a sample line is not one.
QHash<QString, QString> scrapeMetrics(quint16 metricsPort)
{
    Exchange scrape(metricsPort, QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    if (!QTest::qWaitFor([&scrape] { return scrape.closed(); }, kWait) ||
        scrape.statusLine() != "HTTP/1.1 200 OK" ||
        !scrape.reply().contains("\r\nContent-Type: text/plain; version=0.0.4"))
        return {};
    const QByteArray& reply = scrape.reply();
    static const QRegularExpression line(
        u"^([a-z_]+(?:\\{[a-z_]+=\"[^\"]*\"(?:,[a-z_]+=\"[^\"]*\")*\\})?) (\\S+)$"_s);
    QHash<QString, QString> samples;
    for (const QByteArray& text : reply.mid(reply.indexOf("\r\n\r\n") + 4).split('\n')) {
        if (text.isEmpty() || text.startsWith("# HELP ") || text.startsWith("# TYPE "))
            continue;
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(text));
        if (!match.hasMatch())
            return {};
        samples.insert(match.captured(1), match.captured(2));
    }
    return samples;
}

void TestServer::metricsCountWhatWasDone()
{
    ServerProcess server({u"--allow-private"_s, u"--ping"_s, u"off"_s, u"--max-checks"_s, u"2"_s,
                          u"--connect-timeout"_s, u"2"_s, u"--metrics-listen"_s, u"127.0.0.1:0"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    const quint16 metricsPort = server.waitForMetricsPort();
    QVERIFY2(metricsPort && metricsPort != serverPort, qPrintable(server.notes()));

    QHash<QString, QString> metrics = scrapeMetrics(metricsPort);
    QCOMPARE(metrics.value(u"quillmere_checks_total{protocol=\"tcp\",outcome=\"open\"}"_s), u"0"_s);
    QCOMPARE(metrics.value(u"quillmere_ping_method{family=\"ipv4\",method=\"none\"}"_s), u"1"_s);
    QCOMPARE(metrics.value(u"quillmere_ping_method{family=\"ipv6\",method=\"datagram\"}"_s),
             u"0"_s);

    // Two open, one refused, one datagram and one bad request, one after the other.
    TcpTarget target;
    QUdpSocket udpTarget;
    QVERIFY(udpTarget.bind(QHostAddress::LocalHost, 0));
    for (const QByteArray& query :
         {checkQuery(target.port()), checkQuery(target.port()), checkQuery(closedPort()),
          checkQuery(udpTarget.localPort(), "udp"), QByteArray("port=0&protocol=tcp")}) {
        Exchange check(serverPort, checkRequest(query));
        QTRY_VERIFY_WITH_TIMEOUT(check.closed(), kWait);
    }
    // Two checks that hang, a second from the same client (429) and a third one (503).
    HangingPort hanging;
    Exchange first(serverPort, checkRequest(checkQuery(hanging.port())));
    QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort).contains("Checks in flight: 1\n"), kWait);
    Exchange busy(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(busy.closed(), kWait);
    QCOMPARE(busy.statusLine(), "HTTP/1.0 429 Too Many Requests");
    HangingPort hangingToo(INADDR_LOOPBACK + 1); // where the second client is probed
    Exchange second(serverPort, checkRequest(checkQuery(hangingToo.port())),
                    QHostAddress(u"127.0.0.2"_s));
    QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort).contains("Checks in flight: 2\n"), kWait);
    Exchange full(serverPort, checkRequest(checkQuery(target.port())),
                  QHostAddress(u"127.0.0.3"_s));
    QTRY_VERIFY_WITH_TIMEOUT(full.closed(), kWait);
    QCOMPARE(full.statusLine(), "HTTP/1.0 503 Service Unavailable");

    // The status page's own connection may still be closing: count only once it is gone.
    QTRY_VERIFY_WITH_TIMEOUT(
        scrapeMetrics(metricsPort).value(u"quillmere_connections_open"_s) == u"2"_s, kWait);
    metrics = scrapeMetrics(metricsPort);
    QCOMPARE(metrics.value(u"quillmere_checks_in_flight"_s), u"2"_s);
    QVERIFY(!first.closed() && !second.closed());

    QTRY_VERIFY_WITH_TIMEOUT(first.closed() && second.closed(), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(
        scrapeMetrics(metricsPort).value(u"quillmere_checks_in_flight"_s) == u"0"_s, kWait);
    metrics = scrapeMetrics(metricsPort);
    const auto value = [&metrics](const QString& name) {
        const auto found = metrics.constFind(name);
        return found == metrics.constEnd() ? -1 : found->toInt();
    };
    const auto checks = [&value](const char* protocol, const char* outcome) {
        return value(u"quillmere_checks_total{protocol=\""_s + QLatin1StringView(protocol) +
                     u"\",outcome=\""_s + QLatin1StringView(outcome) + u"\"}"_s);
    };
    const auto refusals = [&value](const char* reason, const char* status) {
        return value(u"quillmere_refusals_total{reason=\""_s + QLatin1StringView(reason) +
                     u"\",status=\""_s + QLatin1StringView(status) + u"\"}"_s);
    };
    QCOMPARE(checks("tcp", "open"), 2);
    QCOMPARE(checks("tcp", "closed"), 1);
    QCOMPARE(checks("tcp", "timeout"), 2);
    QCOMPARE(checks("tcp", "unreachable"), 0);
    QCOMPARE(checks("udp", "sent"), 1);
    QCOMPARE(refusals("bad-request", "400"), 1);
    QCOMPARE(refusals("refused", "403"), 0);
    QCOMPARE(refusals("rate-limited", "429"), 1);
    QCOMPARE(refusals("busy", "503"), 1);
    QCOMPARE(value(u"quillmere_connections_open"_s), 0);
    QCOMPARE(value(u"quillmere_check_duration_seconds_count{protocol=\"tcp\"}"_s), 5);
    QCOMPARE(value(u"quillmere_check_duration_seconds_bucket{protocol=\"tcp\",le=\"+Inf\"}"_s), 5);
    QCOMPARE(value(u"quillmere_check_duration_seconds_count{protocol=\"udp\"}"_s), 1);
    // The two hanging checks took their 2 s time-out; the rest were quick.
    QCOMPARE(value(u"quillmere_check_duration_seconds_bucket{protocol=\"tcp\",le=\"1\"}"_s), 3);
    QVERIFY(metrics.value(u"quillmere_check_duration_seconds_sum{protocol=\"tcp\"}"_s).toDouble() >=
            4.0);
    // Accepted twice, refused once; the time-outs got no answer to time.
    QCOMPARE(value(u"quillmere_probe_connect_seconds_count"_s), 3);

    // Nothing else is served there, and a check asked of it is not run.
    for (const QByteArray& request :
         {QByteArray("GET / HTTP/1.0\r\n\r\n"), QByteArray("POST /metrics HTTP/1.0\r\n\r\n"),
          QByteArray("GET /metricsx HTTP/1.0\r\n\r\n"), checkRequest(checkQuery(target.port()))}) {
        Exchange other(metricsPort, request);
        QTRY_VERIFY_WITH_TIMEOUT(other.closed(), kWait);
        QCOMPARE(other.statusLine(), "HTTP/1.0 404 Not Found");
    }
    QCOMPARE(target.connections(), 2);
    QVERIFY(server.stop());

    // A server that refuses private clients counts the refusal as 403.
    ServerProcess strict({u"--metrics-listen"_s, u"127.0.0.1:0"_s});
    const quint16 strictPort = strict.waitForPort();
    QVERIFY(strictPort);
    Exchange refused(strictPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(refused.closed(), kWait);
    QCOMPARE(scrapeMetrics(strict.waitForMetricsPort())
                 .value(u"quillmere_refusals_total{reason=\"refused\",status=\"403\"}"_s),
             u"1"_s);
    QVERIFY(strict.stop());
}

// A client that sends more than its head gets the whole reply and an orderly end (a FIN), not a
// reset: closing over unread bytes would reset the connection, and a reset can destroy the reply
// on its way.
void TestServer::metricsListenerClosesCleanlyOverUnreadBytes()
{
    ServerProcess server({u"--metrics-listen"_s, u"127.0.0.1:0"_s, u"--ping"_s, u"off"_s});
    QVERIFY(server.waitForPort());
    const quint16 metricsPort = server.waitForMetricsPort();
    QVERIFY(metricsPort);
    for (const QByteArray& head :
         {QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"),
          QByteArray("GET /elsewhere HTTP/1.0\r\n\r\n"), QByteArray("NOT HTTP\r\n\r\n")}) {
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(client >= 0);
        // A small window, as a slow client has: most of the reply still waits in the server's
        // send queue when it is done writing, and a reset would throw it away.
        const int window = 1024;
        QCOMPARE(::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &window, sizeof window), 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(metricsPort);
        QCOMPARE(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const QByteArray request = head + QByteArray(16 * 1024, 'x');
        QCOMPARE(::send(client, request.constData(), size_t(request.size()), 0),
                 ssize_t(request.size()));
        QByteArray reply;
        int end = -1; // 0: an orderly end; else the error that ended the reading
        const auto readSome = [&] {
            std::array<char, 4096> chunk{};
            for (;;) {
                const ssize_t got = ::recv(client, chunk.data(), chunk.size(), MSG_DONTWAIT);
                if (got > 0) {
                    reply.append(chunk.data(), got);
                    continue;
                }
                if (got == 0)
                    end = 0;
                else if (errno != EAGAIN && errno != EWOULDBLOCK)
                    end = errno;
                return end >= 0;
            }
        };
        QTRY_VERIFY_WITH_TIMEOUT(readSome(), kWait);
        ::close(client);
        QVERIFY2(end == 0, qPrintable(u"ended with "_s + QString::fromUtf8(strerror(end))));
        QVERIFY2(reply.startsWith("HTTP/1."), reply.constData());
        QVERIFY(reply.contains("\r\n\r\n"));
        const qsizetype headEnd = reply.indexOf("\r\n\r\n");
        const QRegularExpression length(u"\r\nContent-Length: (\\d+)\r\n"_s);
        const QRegularExpressionMatch match = length.match(QString::fromUtf8(reply.left(headEnd)));
        QVERIFY(match.hasMatch());
        QCOMPARE(reply.size() - headEnd - 4, match.captured(1).toInt());
        if (head.startsWith("GET /metrics"))
            QVERIFY(reply.contains("quillmere_connections_open "));
    }
    QVERIFY(server.stop());
}

void TestServer::limitsHoldWhicheverLoopTakesTheCheck()
{
    // Four loops taking connections from one listening socket, whichever is free.
    constexpr int kClients = 16;
    const auto runAll = [](std::vector<std::unique_ptr<Exchange>>& exchanges) {
        return QTest::qWaitFor(
            [&] {
                return std::all_of(exchanges.begin(), exchanges.end(),
                                   [](const auto& exchange) { return exchange->closed(); });
            },
            kWait);
    };
    const auto count = [](const std::vector<std::unique_ptr<Exchange>>& exchanges,
                          const QByteArray& status) {
        return std::count_if(exchanges.begin(), exchanges.end(), [&](const auto& exchange) {
            return exchange->statusLine() == status;
        });
    };
    {
        // One check in flight: every other one at the same time is refused.
        ServerProcess server({u"--allow-private"_s, u"--threads"_s, u"4"_s, u"--ping"_s, u"off"_s,
                              u"--client-connections"_s, u"0"_s, u"--connect-timeout"_s, u"3"_s});
        const quint16 serverPort = server.waitForPort();
        QVERIFY(serverPort);
        QTRY_VERIFY_WITH_TIMEOUT(server.notes().contains(u"4 event loops"_s), kWait);
        HangingPort hanging;
        QVERIFY(hanging.port());
        TcpTarget target;
        Exchange held(serverPort, checkRequest(checkQuery(hanging.port())));
        QTRY_VERIFY_WITH_TIMEOUT(statusPage(serverPort).contains("Checks in flight: 1\n"), kWait);
        std::vector<std::unique_ptr<Exchange>> others;
        for (int i = 0; i < kClients; ++i)
            others.push_back(
                std::make_unique<Exchange>(serverPort, checkRequest(checkQuery(target.port()))));
        QVERIFY(runAll(others));
        QCOMPARE(count(others, "HTTP/1.0 429 Too Many Requests"), kClients);
        QCOMPARE(target.connections(), 0);
        QVERIFY(!held.closed());
        QTRY_VERIFY_WITH_TIMEOUT(held.closed(), kWait);
        QVERIFY(held.reply().contains("-done-"));
        QVERIFY(server.stop());
    }
    {
        // Sixteen at once with no cap on checks in flight: exactly ten a minute get through.
        ServerProcess server({u"--allow-private"_s, u"--threads"_s, u"4"_s, u"--ping"_s, u"off"_s,
                              u"--client-connections"_s, u"0"_s, u"--client-checks"_s, u"0"_s});
        const quint16 serverPort = server.waitForPort();
        QVERIFY(serverPort);
        TcpTarget target;
        std::vector<std::unique_ptr<Exchange>> checks;
        for (int i = 0; i < kClients; ++i)
            checks.push_back(
                std::make_unique<Exchange>(serverPort, checkRequest(checkQuery(target.port()))));
        QVERIFY(runAll(checks));
        QCOMPARE(count(checks, "HTTP/1.0 200 OK"), 10);
        QCOMPARE(count(checks, "HTTP/1.0 429 Too Many Requests"), kClients - 10);
        QTRY_COMPARE_WITH_TIMEOUT(target.connections(), 10, kWait);
        // Every line whole, though four threads wrote them.
        QTRY_COMPARE_WITH_TIMEOUT(server.accessLog().count(u'\n'), kClients, kWait);
        QCOMPARE(server.accessLog().count(u"outcome=rate-limited"_s), kClients - 10);
        QCOMPARE(server.accessLog().count(u"outcome=open"_s), 10);
        QCOMPARE(server.accessLog().count(u"client=127.0.0.1 port="_s), kClients);
        QVERIFY(server.stop());
    }
}

namespace {

// PROXY protocol headers for a client at `address`:`port` (IPv4), as a balancer sends them.
QByteArray proxyV1(const char* address, quint16 port)
{
    return "PROXY TCP4 " + QByteArray(address) + " 127.0.0.1 " + QByteArray::number(port) +
           " 80\r\n";
}

// A version 2 header of any command and family, with `body` as its addresses.
QByteArray proxyV2Raw(unsigned char command, unsigned char family, const QByteArray& body)
{
    QByteArray header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += char(0x20 | command);
    header += char(family);
    header += char(body.size() >> 8);
    header += char(body.size() & 0xFF);
    return header + body;
}

QByteArray proxyV2(unsigned char command, const QHostAddress& client, quint16 port)
{
    QByteArray header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += char(0x20 | command);
    header += char(0x11); // TCP over IPv4
    header += QByteArray("\0\x0c", 2);
    const quint32 source = client.toIPv4Address();
    for (int shift = 24; shift >= 0; shift -= 8)
        header += char((source >> shift) & 0xFF);
    header += QByteArray("\x7f\0\0\x01", 4);
    header += char(port >> 8);
    header += char(port & 0xFF);
    header += QByteArray("\0\x50", 2);
    return header;
}

} // namespace

void TestServer::proxyListenerChecksTheClientItNames_data()
{
    QTest::addColumn<int>("version");
    QTest::newRow("v1") << 1;
    QTest::newRow("v2") << 2;
}

void TestServer::proxyListenerChecksTheClientItNames()
{
    QFETCH(int, version);
    const QHostAddress client(u"127.0.0.2"_s);
    TcpTarget target(client);
    QVERIFY(target.listening());
    TcpTarget balancer(QHostAddress::LocalHost, target.port());
    QVERIFY(balancer.listening());
    const auto header = [&](quint16 clientPort) {
        return version == 1 ? proxyV1("127.0.0.2", clientPort) : proxyV2(1, client, clientPort);
    };

    ServerProcess server({u"--listen-proxy"_s, u"127.0.0.1:0"_s, u"--trusted-proxy"_s,
                          u"127.0.0.1"_s, u"--allow-private"_s, u"--threads"_s, u"2"_s,
                          u"--client-rate"_s, u"2"_s},
                         {});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    QVERIFY(server.notes().contains(u"(PROXY protocol from trusted proxies)"_s));

    // The header and the request in one piece, and the header alone before the request.
    Exchange first(serverPort, header(40001) + checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(first.closed(), kWait);
    QCOMPARE(first.statusLine(), "HTTP/1.0 200 OK");
    QVERIFY(first.reply().contains("-ip:127.0.0.2-"));
    QVERIFY(first.reply().contains("-tcpopen-"));
    QTRY_VERIFY_WITH_TIMEOUT(target.data().contains("dunmoor"), kWait);
    Exchange second(serverPort,
                    QByteArrayList{header(40002), checkRequest(checkQuery(target.port()))});
    QTRY_VERIFY_WITH_TIMEOUT(second.closed(), kWait);
    QVERIFY(second.reply().contains("-tcpopen-"));
    QCOMPARE(target.connections(), 2);
    QCOMPARE(balancer.connections(), 0); // never the balancer's own address
    QTRY_COMPARE_WITH_TIMEOUT(server.accessLog().count(u"client=127.0.0.2 port="_s), 2, kWait);

    // The limits count the client: its third check this minute is refused, while another
    // client behind the same balancer is served.
    Exchange third(serverPort, header(40003) + checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(third.closed(), kWait);
    QCOMPARE(third.statusLine(), "HTTP/1.0 429 Too Many Requests");
    const QByteArray otherHeader = version == 1 ? proxyV1("127.0.0.3", 40004)
                                                : proxyV2(1, QHostAddress(u"127.0.0.3"_s), 40004);
    TcpTarget otherTarget(QHostAddress(u"127.0.0.3"_s), target.port());
    QVERIFY(otherTarget.listening());
    Exchange other(serverPort, otherHeader + checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(other.closed(), kWait);
    QVERIFY(other.reply().contains("-ip:127.0.0.3-"));
    QTRY_COMPARE_WITH_TIMEOUT(otherTarget.connections(), 1, kWait);
    QCOMPARE(target.connections(), 2);

    if (version == 2) {
        // The balancer's health check (LOCAL) is the balancer itself: the status page for it,
        // and no check, since a trusted proxy is nobody's client.
        Exchange health(serverPort, proxyV2(0, client, 1) + "GET / HTTP/1.0\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(health.closed(), kWait);
        QCOMPARE(health.statusLine(), "HTTP/1.0 200 OK");
        Exchange local(serverPort, proxyV2(0, client, 1) + checkRequest(checkQuery(target.port())));
        QTRY_VERIFY_WITH_TIMEOUT(local.closed(), kWait);
        QCOMPARE(local.statusLine(), "HTTP/1.0 400 Bad Request");
    }
    QCOMPARE(balancer.connections(), 0);
    QVERIFY(server.stop());
}

void TestServer::proxyListenerClosesWhatItCannotBelieve()
{
    TcpTarget target;
    QVERIFY(target.listening());
    const QByteArray request = checkRequest(checkQuery(target.port()));
    ServerProcess server({u"--listen-proxy"_s, u"127.0.0.1:0"_s, u"--trusted-proxy"_s,
                          u"127.0.0.1"_s, u"--allow-private"_s, u"--listen"_s, u"127.0.0.1:0"_s},
                         {});
    static const QRegularExpression listening(u"listening on 127.0.0.1:(\\d+)"_s);
    QVERIFY(server.waitForPort());
    QTRY_COMPARE_WITH_TIMEOUT(server.notes().count(u"listening on"_s), 2, kWait);
    auto matches = listening.globalMatch(server.notes());
    const quint16 proxyPort = quint16(matches.next().captured(1).toUInt());
    const quint16 plainPort = quint16(matches.next().captured(1).toUInt());

    // Without a header, with a broken one, or from a peer that is not a trusted proxy: closed,
    // nothing answered, nothing probed.
    Exchange noHeader(proxyPort, request);
    Exchange broken(proxyPort, "PROXY TCP4 127.0.0.2 127.0.0.1 99999 80\r\n" + request);
    Exchange untrusted(proxyPort, proxyV1("127.0.0.2", 40001) + request,
                       QHostAddress(u"127.0.0.5"_s));
    Exchange tooLong(proxyPort, "PROXY UNKNOWN " + QByteArray(200, 'x'));
    QElapsedTimer timer;
    timer.start();
    for (const Exchange* exchange : {&noHeader, &broken, &untrusted, &tooLong}) {
        QTRY_VERIFY_WITH_TIMEOUT(exchange->closed(), kWait);
        QVERIFY(exchange->reply().isEmpty());
    }
    QVERIFY(timer.elapsed() < 3000); // at once, not at a deadline
    // A header that never ends is closed at the head's deadline.
    Exchange stalled(proxyPort, QByteArray("PROXY TCP4 127.0.0.2 "));
    QTRY_VERIFY_WITH_TIMEOUT(stalled.closed(), kWait);
    QVERIFY(stalled.reply().isEmpty());
    QVERIFY(timer.elapsed() >= 4000);

    // The plain listener beside it knows nothing of the PROXY protocol: a header is no request.
    Exchange plain(plainPort, proxyV1("127.0.0.2", 40001) + request);
    QTRY_VERIFY_WITH_TIMEOUT(plain.closed(), kWait);
    QVERIFY(plain.statusLine().endsWith(" 400 Bad Request"));

    QCOMPARE(target.connections(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        server.notes().contains(u"closed a connection from 127.0.0.1: a PROXY port"_s), kWait);
    QVERIFY(server.stop());
}

void TestServer::proxyListenerNeverTakesTheClientFromTheRequest_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("client"); // whom the header names; empty: nobody
    QTest::newRow("v1 UNKNOWN") << QByteArray("PROXY UNKNOWN\r\n") << QByteArray();
    QTest::newRow("v1 UNKNOWN with addresses")
        << QByteArray("PROXY UNKNOWN 127.0.0.3 127.0.0.1 40001 80\r\n") << QByteArray();
    QTest::newRow("v2 LOCAL") << proxyV2(0, QHostAddress(u"127.0.0.3"_s), 40001) << QByteArray();
    QTest::newRow("v2 unspecified family") << proxyV2Raw(1, 0x00, {}) << QByteArray();
    QTest::newRow("v2 local socket") << proxyV2Raw(1, 0x31, QByteArray(216, '\0')) << QByteArray();
    // A client that is itself inside the trusted range still speaks only for itself.
    QTest::newRow("v1 trusted source") << proxyV1("127.0.0.3", 40001) << QByteArray("127.0.0.3");
    QTest::newRow("v2 trusted source")
        << proxyV2(1, QHostAddress(u"127.0.0.3"_s), 40001) << QByteArray("127.0.0.3");
}

// On a PROXY listener the header alone names the client: an X-Forwarded-For is the client's own
// word, and a header that names nobody leaves no check to run.
void TestServer::proxyListenerNeverTakesTheClientFromTheRequest()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, client);
    TcpTarget named(QHostAddress(u"127.0.0.2"_s)); // what the request's own field names
    QVERIFY(named.listening());
    TcpTarget balancer(QHostAddress::LocalHost, named.port());
    QVERIFY(balancer.listening());
    TcpTarget source(QHostAddress(u"127.0.0.3"_s), named.port());
    QVERIFY(source.listening());
    ServerProcess server({u"--listen-proxy"_s, u"127.0.0.1:0"_s, u"--trusted-proxy"_s,
                          u"127.0.0.1"_s, u"--trusted-proxy"_s, u"127.0.0.3"_s,
                          u"--allow-private"_s, u"--ping"_s, u"off"_s},
                         {});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);

    for (const char* forwarded :
         {"X-Forwarded-For: 127.0.0.2\r\n", "X-Forwarded-For: 127.0.0.2, 127.0.0.3\r\n", ""}) {
        Exchange check(serverPort, header + checkRequest(checkQuery(named.port()), forwarded));
        QTRY_VERIFY_WITH_TIMEOUT(check.closed(), kWait);
        if (client.isEmpty()) {
            QCOMPARE(check.statusLine(), "HTTP/1.0 400 Bad Request");
            QVERIFY2(check.reply().contains("did not name the client"), check.reply().constData());
        } else {
            QCOMPARE(check.statusLine(), "HTTP/1.0 200 OK");
            QVERIFY2(check.reply().contains(QByteArray("-ip:" + client + "-")),
                     check.reply().constData());
            QVERIFY(check.reply().contains("-tcpopen-"));
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(source.connections(), client.isEmpty() ? 0 : 3, kWait);
    QCOMPARE(named.connections(), 0);
    QCOMPARE(balancer.connections(), 0);

    // The balancer's health check of / is still answered.
    Exchange health(serverPort, header + "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(health.closed(), kWait);
    QCOMPARE(health.statusLine(), "HTTP/1.0 200 OK");
    QVERIFY(health.reply().contains("quillmere-server "));
    QCOMPARE(named.connections(), 0);
    QCOMPARE(balancer.connections(), 0);
    QVERIFY(server.stop());
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
