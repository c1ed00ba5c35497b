// quillmere-server behind a real HAProxy (Debian's package) in TCP mode that sends the PROXY
// protocol, version 2, all on loopback. Clients connect to HAProxy from 127.0.0.2 and 127.0.0.3,
// HAProxy connects on from 127.0.0.1: the server must probe and count the clients, never
// HAProxy, and answer HAProxy's own health checks (PROXY LOCAL, then "GET /").
//
// Exits with 77 (skipped, for ctest) when haproxy is not installed.

#include "tests/server/tcptarget.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using quillmere::test::TcpTarget;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWait = 15000;

QString haproxyProgram()
{
    QString found = QStandardPaths::findExecutable(u"haproxy"_s);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(u"haproxy"_s, {u"/usr/sbin"_s, u"/sbin"_s});
    return found;
}

// A listening socket on 127.0.0.1 and a port the system chose, for HAProxy to take over
// ("bind fd@N"): no port is guessed, and none can be taken by someone else in between.
class InheritedListener
{
public:
    InheritedListener()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0); // no close-on-exec: HAProxy inherits it
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 64) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~InheritedListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int fd() const { return m_fd; }
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// A program the test runs, with what it printed.
class Program
{
public:
    Program(const QString& program, const QStringList& arguments)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_out += QString::fromUtf8(m_process.readAllStandardOutput()); });
        QObject::connect(&m_process, &QProcess::readyReadStandardError,
                         [this] { m_err += QString::fromUtf8(m_process.readAllStandardError()); });
        m_process.start(program, arguments);
        m_process.waitForStarted(kWait);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000))
                m_process.kill();
        }
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    bool stop()
    {
        m_process.terminate();
        return m_process.waitForFinished(kWait) && m_process.exitStatus() == QProcess::NormalExit &&
               m_process.exitCode() == 0;
    }
    const QString& out() const { return m_out; }
    const QString& err() const { return m_err; }

private:
    QProcess m_process;
    QString m_out;
    QString m_err;
};

// One check request through HAProxy from `from`; the whole reply once the other side closed.
QByteArray check(quint16 port, quint16 probedPort, const QHostAddress& from)
{
    QTcpSocket socket;
    if (!socket.bind(from))
        return "bind failed";
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kWait))
        return "no connection";
    socket.write("GET /portcheck3.cgi?port=" + QByteArray::number(probedPort) +
                 "&protocol=tcp&version=0 HTTP/1.0\r\nHost: test\r\n\r\n");
    QByteArray reply;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(kWait))
        reply += socket.readAll();
    return reply + socket.readAll();
}

// A field of HAProxy's "show stat" for one server, read over its stats socket.
QString serverStat(const QString& socketPath, const QString& server, const QString& field)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(2000))
        return {};
    socket.write("show stat\n");
    QByteArray csv;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(2000))
        csv += socket.readAll();
    csv += socket.readAll();
    const QStringList lines = QString::fromUtf8(csv).split(u'\n');
    if (lines.isEmpty() || !lines.front().startsWith(u"# "_s))
        return {};
    const QStringList names = lines.front().mid(2).split(u',');
    const qsizetype column = names.indexOf(field);
    for (const QString& line : lines) {
        const QStringList values = line.split(u',');
        if (column >= 0 && values.size() > column && values.value(1) == server)
            return values[column];
    }
    return {};
}

} // namespace

class TestHaproxy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serverChecksAndCountsTheClientsBehindHaproxy();
};

void TestHaproxy::serverChecksAndCountsTheClientsBehindHaproxy()
{
    const QHostAddress client(u"127.0.0.2"_s);
    const QHostAddress otherClient(u"127.0.0.3"_s);
    TcpTarget target(client, 0);
    QVERIFY(target.listening());
    TcpTarget otherTarget(otherClient, target.port());
    QVERIFY(otherTarget.listening());
    TcpTarget haproxyAddress(QHostAddress::LocalHost, target.port()); // where no probe must go
    QVERIFY(haproxyAddress.listening());

    Program server(QString::fromUtf8(QUILLMERE_SERVER_PROGRAM),
                   {u"--listen-proxy"_s, u"127.0.0.1:0"_s, u"--trusted-proxy"_s, u"127.0.0.1"_s,
                    u"--allow-private"_s, u"--client-rate"_s, u"2"_s, u"--threads"_s, u"2"_s});
    static const QRegularExpression listening(u"listening on 127.0.0.1:(\\d+)"_s);
    QTRY_VERIFY_WITH_TIMEOUT(listening.match(server.err()).hasMatch() || !server.running(), kWait);
    const QString serverPort = listening.match(server.err()).captured(1);
    QVERIFY2(!serverPort.isEmpty(), qPrintable(server.err()));

    InheritedListener front;
    QVERIFY(front.port());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString stats = dir.filePath(u"stats.sock"_s);
    QFile config(dir.filePath(u"haproxy.cfg"_s));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral(R"(global
    stats socket %1 level user
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend checks
    bind fd@%2
    default_backend servers
backend servers
    option httpchk GET /
    http-check expect status 200
    server s1 127.0.0.1:%3 send-proxy-v2 source 127.0.0.1 check inter 200ms
)")
                     .arg(stats, QString::number(front.fd()), serverPort)
                     .toUtf8());
    config.close();
    Program haproxy(haproxyProgram(), {u"-db"_s, u"-f"_s, config.fileName()});

    // HAProxy's health check (PROXY LOCAL, then GET /) passes before any client comes.
    QTRY_VERIFY2_WITH_TIMEOUT(serverStat(stats, u"s1"_s, u"check_status"_s) == u"L7OK"_s ||
                                  !haproxy.running(),
                              qPrintable(haproxy.err()), kWait);
    QVERIFY2(haproxy.running(), qPrintable(haproxy.err()));
    QCOMPARE(serverStat(stats, u"s1"_s, u"status"_s), u"UP"_s);

    // The client's checks probe the client: its address in the reply, the probe at its port.
    for (int i = 0; i < 2; ++i) {
        const QByteArray reply = check(front.port(), target.port(), client);
        QVERIFY2(reply.startsWith("HTTP/1.0 200 OK"), reply.constData());
        QVERIFY(reply.contains("-ip:127.0.0.2-"));
        QVERIFY(reply.contains("-tcpopen-"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(target.connections(), 2, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(target.data().count("dunmoor") == 2, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(server.out().count(u"client=127.0.0.2 port="_s), 2, kWait);

    // The limits count the client, not HAProxy: the client's third check this minute is refused,
    // another client's first is served.
    const QByteArray third = check(front.port(), target.port(), client);
    QVERIFY2(third.startsWith("HTTP/1.0 429 Too Many Requests"), third.constData());
    const QByteArray other = check(front.port(), target.port(), otherClient);
    QVERIFY2(other.contains("-ip:127.0.0.3-"), other.constData());
    QTRY_COMPARE_WITH_TIMEOUT(otherTarget.connections(), 1, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(server.out().contains(u"client=127.0.0.2 port="_s +
                                                   QString::number(target.port()) +
                                                   u" protocol=tcp outcome=rate-limited"_s),
                             kWait);
    QTRY_VERIFY_WITH_TIMEOUT(server.out().contains(u"client=127.0.0.3 port="_s), kWait);
    QVERIFY(!server.out().contains(u"client=127.0.0.1 "_s));
    QCOMPARE(haproxyAddress.connections(), 0);
    QCOMPARE(target.connections(), 2);
    QVERIFY2(!server.err().contains(u"closed a connection"_s), qPrintable(server.err()));

    haproxy.stop(); // HAProxy ends on SIGTERM with a status of its own
    QVERIFY(server.stop());
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (haproxyProgram().isEmpty()) {
        std::puts("haproxy is not installed (tools/dev.sh deps installs it): skipped");
        return 77;
    }
    TestHaproxy test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_haproxy.moc"
