// quillmere-server as a running program on loopback: real checks, quillmere-check against it,
// and every kind of request it must refuse, each shown to probe nothing.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 15000;

// The server under test, listening on a free loopback port.
class ServerProcess
{
public:
    explicit ServerProcess(QStringList arguments, const QString& listen = u"127.0.0.1:0"_s)
    {
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
        QRegularExpressionMatch match;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kWait && m_process.state() != QProcess::NotRunning) {
            match = listening.match(m_notes);
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
            QTest::qWait(10);
        }
        return 0;
    }

    // Ends the server the way an operator does and says whether it left cleanly.
    bool stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(kWait) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }

    bool canPing() const { return m_notes.contains(u"IPv4: ping through"_s); }
    const QString& accessLog() const { return m_accessLog; }
    const QString& notes() const { return m_notes; }

private:
    QProcess m_process;
    QString m_accessLog;
    QString m_notes;
};

// One HTTP exchange: sends the bytes, collects everything until the server closes.
class Exchange
{
public:
    Exchange(quint16 port, const QByteArray& request)
    {
        QObject::connect(&m_socket, &QTcpSocket::connected,
                         [this, request] { m_socket.write(request); });
        QObject::connect(&m_socket, &QTcpSocket::readyRead,
                         [this] { m_reply += m_socket.readAll(); });
        QObject::connect(&m_socket, &QTcpSocket::disconnected, [this] { m_closed = true; });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

    bool closed() const { return m_closed; }
    const QByteArray& reply() const { return m_reply; }
    QByteArray statusLine() const { return m_reply.left(m_reply.indexOf("\r\n")); }

private:
    QTcpSocket m_socket;
    QByteArray m_reply;
    bool m_closed = false;
};

QByteArray checkRequest(const QByteArray& query, const QByteArray& extraHeaders = {})
{
    return "GET /portcheck3.cgi?" + query + " HTTP/1.0\r\nHost: test\r\n" + extraHeaders + "\r\n";
}

QByteArray checkQuery(quint16 port, const char* protocol = "tcp")
{
    return "port=" + QByteArray::number(port) + "&protocol=" + protocol + "&version=0";
}

// A TCP port that records what connects to it.
class TcpTarget
{
public:
    explicit TcpTarget(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++m_connections;
                QObject::connect(socket, &QTcpSocket::readyRead,
                                 [this, socket] { m_data += socket->readAll(); });
            }
        });
        m_server.listen(address, port);
    }
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    const QByteArray& data() const { return m_data; }

private:
    QTcpServer m_server;
    int m_connections = 0;
    QByteArray m_data;
};

// A TCP port whose accept queue is full, so that the system drops further connection attempts
// and a probe waits for its time-out.
class HangingPort
{
public:
    HangingPort()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

// Asks for the status page and says whether it came.
bool statusPageServed(quint16 serverPort)
{
    Exchange exchange(serverPort, "GET / HTTP/1.0\r\n\r\n");
    QElapsedTimer timer;
    timer.start();
    while (!exchange.closed() && timer.elapsed() < kWait)
        QTest::qWait(10);
    return exchange.statusLine() == "HTTP/1.0 200 OK";
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
    void checkProgramAgrees_data();
    void checkProgramAgrees();
    void closedPortIsReportedDone();
    void badRequestsProbeNothing_data();
    void badRequestsProbeNothing();
    void unfinishedHeadIsClosed();
    void secondCheckWhileOneRuns();
    void eleventhCheckInAMinute();
    void fullServerAnswersAtOnce();
    void connectionsPerClientAreCapped();
    void privateTargetsRefusedByDefault();
    void forwardedForOnlyFromTrustedProxies();
    void servesHelpAndStatusPages();
    void everyAddressTakesIpv4Too();
};

void TestServer::checkProgramAgrees_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("tcp") << u"tcp"_s;
    QTest::newRow("udp") << u"udp"_s;
}

void TestServer::checkProgramAgrees()
{
    QFETCH(QString, protocol);
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY2(serverPort, qPrintable(server.notes()));

    QUdpSocket spare; // a UDP port that is free now, for the program to open
    QVERIFY(spare.bind(QHostAddress::LocalHost, 0));
    const quint16 port = protocol == u"tcp"_s ? closedPort() : spare.localPort();
    spare.close();

    const CheckRun run =
        runCheckProgram(serverPort, {u"--protocol"_s, protocol, QString::number(port)});
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

void TestServer::closedPortIsReportedDone()
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
    QVERIFY(server.accessLog().contains(u"outcome=closed"_s));
    QVERIFY(server.stop());
}

void TestServer::badRequestsProbeNothing_data()
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
    QTest::newRow("not HTTP") << QByteArray("HELLO PORT\r\n\r\n")
                              << QByteArray("HTTP/1.1 400 Bad Request");
    QTest::newRow("body") << QByteArray("GET /portcheck3.cgi?port=PORT&protocol=tcp "
                                        "HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc")
                          << badRequest;
}

void TestServer::badRequestsProbeNothing()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    ServerProcess server({u"--allow-private"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    TcpTarget target;
    QVERIFY(target.listening());
    Exchange exchange(serverPort, request.replace("PORT", QByteArray::number(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(exchange.closed(), kWait);
    QCOMPARE(exchange.statusLine(), status);
    QVERIFY(!exchange.reply().contains("-done-"));
    QCOMPARE(target.connections(), 0);
    QVERIFY(!server.accessLog().contains(u"outcome=open"_s));
    QVERIFY(server.stop());
}

void TestServer::unfinishedHeadIsClosed()
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

void TestServer::secondCheckWhileOneRuns()
{
    // The probe outlasts the 5 s the request head may take: the check's reply must still come.
    ServerProcess server({u"--allow-private"_s, u"--connect-timeout"_s, u"5.5"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    HangingPort hanging;
    QVERIFY(hanging.port());
    TcpTarget target;

    Exchange first(serverPort, checkRequest(checkQuery(hanging.port())));
    QTRY_VERIFY_WITH_TIMEOUT(server.notes().contains(u"listening"_s), kWait);
    QTest::qWait(300); // the first request is read and its probe under way; nothing to signal on
    Exchange second(serverPort, checkRequest(checkQuery(target.port())));
    QTRY_VERIFY_WITH_TIMEOUT(second.closed(), kWait);
    QVERIFY(!first.closed());
    QCOMPARE(second.statusLine(), "HTTP/1.0 429 Too Many Requests");
    QVERIFY(second.reply().contains("<message>A check from your address is still running."));
    QCOMPARE(target.connections(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(first.closed(), kWait);
    QVERIFY(first.reply().contains("-done-"));
    QVERIFY(!first.reply().contains("-tcpopen-"));
    QVERIFY(server.accessLog().contains(u"outcome=timeout"_s));
    QVERIFY(server.accessLog().contains(u"outcome=rate-limited"_s));
    QVERIFY(server.stop());
}

void TestServer::eleventhCheckInAMinute()
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

void TestServer::fullServerAnswersAtOnce()
{
    ServerProcess server({u"--allow-private"_s, u"--max-checks"_s, u"1"_s, u"--client-checks"_s,
                          u"0"_s, u"--connect-timeout"_s, u"2"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    HangingPort hanging;
    TcpTarget target;
    Exchange first(serverPort, checkRequest(checkQuery(hanging.port())));
    QTest::qWait(300); // as above: let the first check start
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

void TestServer::connectionsPerClientAreCapped()
{
    ServerProcess server({u"--allow-private"_s, u"--client-connections"_s, u"2"_s});
    const quint16 serverPort = server.waitForPort();
    QVERIFY(serverPort);
    std::vector<std::unique_ptr<Exchange>> idle;
    idle.push_back(std::make_unique<Exchange>(serverPort, QByteArray("GET / HTTP/1.0\r\n")));
    idle.push_back(std::make_unique<Exchange>(serverPort, QByteArray("GET / HTTP/1.0\r\n")));
    QTest::qWait(300); // both accepted and counted
    Exchange third(serverPort, "GET / HTTP/1.0\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(third.closed(), kWait);
    QVERIFY(third.reply().isEmpty());
    QVERIFY(!idle[0]->closed() && !idle[1]->closed());
    idle.clear();
    // Once they are gone, the client is served again.
    QTRY_VERIFY_WITH_TIMEOUT(statusPageServed(serverPort), kWait);
    QVERIFY(server.stop());
}

void TestServer::privateTargetsRefusedByDefault()
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
    QVERIFY(server.accessLog().contains(u"client=127.0.0.1 port="_s +
                                        QString::number(target.port()) +
                                        u" protocol=tcp outcome=refused"_s));
    QVERIFY(server.stop());
}

void TestServer::forwardedForOnlyFromTrustedProxies()
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

void TestServer::servesHelpAndStatusPages()
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

void TestServer::everyAddressTakesIpv4Too()
{
    ServerProcess server({}, u"*:0"_s);
    const quint16 serverPort = server.waitForPort();
    QVERIFY2(serverPort, qPrintable(server.notes()));
    QTRY_VERIFY_WITH_TIMEOUT(statusPageServed(serverPort), kWait); // over IPv4, 127.0.0.1
    QVERIFY(server.stop());
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
