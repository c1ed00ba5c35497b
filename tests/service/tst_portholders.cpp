// Naming the local programs that hold a port: the socket table lines, a /proc tree made up in a
// temporary directory, the phrase for the status line, and the real /proc with this process's
// own sockets.

#include "service/portholders.h"
#include "service/procnettable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <bit>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::service;

namespace {

constexpr auto kTcpHeader = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                            "retrnsmt   uid  timeout inode\n";
constexpr auto kUdpHeader = "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                            "retrnsmt   uid  timeout inode ref pointer drops\n";

// A table line as the kernel prints it, from its variable parts.
QByteArray socketLine(int slot, const char* local, const char* remote, const char* state,
                      quint32 uid, quint64 inode)
{
    return QByteArray("  ") + QByteArray::number(slot) + ": " + local + ' ' + remote + ' ' + state +
           " 00000000:00000000 00:00000000 00000000 " + QByteArray::number(uid) + "        0 " +
           QByteArray::number(inode) + " 1 0000000000000000 100 0 0 10 0\n";
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (const int v : values)
        result.append(char(v));
    return result;
}

using Processes = QList<HoldingProcess>;

// A /proc tree in a temporary directory: the four socket tables and processes with descriptor
// links and names.
class FakeProc
{
public:
    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }

    bool writeFile(const QString& relative, const QByteArray& content)
    {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    // Process `pid` named `comm` (as written to /proc/PID/comm) with the given sockets open.
    bool addProcess(qint64 pid, const QByteArray& comm, const QList<quint64>& inodes)
    {
        const QString dir = m_dir.filePath(QString::number(pid));
        if (!QDir().mkpath(dir + u"/fd"_s) || !writeFile(QString::number(pid) + u"/comm"_s, comm))
            return false;
        // Descriptors 0..2 point elsewhere, as they do in a real process.
        if (!QFile::link(u"/dev/null"_s, dir + u"/fd/0"_s) ||
            !QFile::link(u"pipe:[77]"_s, dir + u"/fd/1"_s) ||
            !QFile::link(u"anon_inode:[eventfd]"_s, dir + u"/fd/2"_s))
            return false;
        int fd = 3;
        for (const quint64 inode : inodes) {
            if (!QFile::link(u"socket:[%1]"_s.arg(inode), dir + u"/fd/"_s + QString::number(fd++)))
                return false;
        }
        return true;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace

class TestPortHolders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void tableLine_data();
    void tableLine();
    void malformedTableLines_data();
    void malformedTableLines();
    void addressTextMatchesQt_data();
    void addressTextMatchesQt();
    void loopback_data();
    void loopback();

    void fakeProcTcp();
    void fakeProcUdp();
    void fakeProcOwnerNotFound();
    void fakeProcKernelSocket();
    void fakeProcLongAndBrokenLines();
    void fakeProcTablesUnreadable();

    void describe_data();
    void describe();
    void processNameControlCharacters_data();
    void processNameControlCharacters();

    void realProcTcp();
    void realProcUdp();
};

void TestPortHolders::initTestCase()
{
    // The made-up tables are written as an x86 kernel prints them.
    if constexpr (std::endian::native != std::endian::little)
        QSKIP("the table lines in these tests are those of a little-endian machine");
}

void TestPortHolders::tableLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("localAddress");
    QTest::addColumn<int>("localPort");
    QTest::addColumn<int>("remotePort");
    QTest::addColumn<int>("state");
    QTest::addColumn<quint32>("uid");
    QTest::addColumn<quint64>("inode");

    QTest::newRow("any IPv4, listening")
        << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 345) << bytes({0, 0, 0, 0})
        << 80 << 0 << kStateListen << 0u << quint64(345);
    QTest::newRow("127.0.0.1 is stored in host order")
        << socketLine(12, "0100007F:1F90", "0100007F:D431", "01", 1000, 99123)
        << bytes({127, 0, 0, 1}) << 8080 << 0xD431 << kStateEstablished << 1000u << quint64(99123);
    QTest::newRow("192.168.1.20, highest port")
        << socketLine(3, "1401A8C0:FFFF", "00000000:0000", "07", 33, 7) << bytes({192, 168, 1, 20})
        << 65535 << 0 << kStateClose << 33u << quint64(7);
    QTest::newRow("IPv6 ::1") << socketLine(1, "00000000000000000000000001000000:0277",
                                            "00000000000000000000000000000000:0000", "0A", 0, 4242)
                              << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) << 631 << 0
                              << kStateListen << 0u << quint64(4242);
    QTest::newRow("IPv6 fe80::1, lower-case hex, big uid and inode")
        << socketLine(2, "000080fe000000000000000001000000:0035",
                      "00000000000000000000000000000000:0000", "07", 4294967295u,
                      18446744073709551615ull)
        << bytes({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) << 53 << 0 << kStateClose
        << 4294967295u << 18446744073709551615ull;
    QTest::newRow("no newline, nothing after the inode")
        << QByteArray("   0: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 "
                      "00000000     0        0 15")
        << bytes({0, 0, 0, 0}) << 22 << 0 << kStateListen << 0u << quint64(15);
}

void TestPortHolders::tableLine()
{
    QFETCH(QByteArray, line);
    const auto entry = parseProcNetLine(line);
    QVERIFY(entry);
    QTEST(entry->localAddress, "localAddress");
    QTEST(int(entry->localPort), "localPort");
    QTEST(int(entry->remotePort), "remotePort");
    QTEST(entry->state, "state");
    QTEST(entry->uid, "uid");
    QTEST(entry->inode, "inode");
    QCOMPARE(entry->remoteAddress.size(), entry->localAddress.size());
}

void TestPortHolders::malformedTableLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("header") << QByteArray(kTcpHeader);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("spaces") << QByteArray("     \n");
    QTest::newRow("cut after the state") << QByteArray("   0: 00000000:0050 00000000:0000 0A\n");
    QTest::newRow("no inode") << QByteArray(
        "   0: 00000000:0050 00000000:0000 0A 00000000:00000000 00:00000000 "
        "00000000     0        0\n");
    QTest::newRow("inode not a number")
        << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1).replace(" 1 1 ", " 1x 1 ");
    QTest::newRow("inode beyond 64 bits")
        << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1)
               .replace(" 1 1 ", " 18446744073709551616 1 ");
    QTest::newRow("uid beyond 32 bits")
        << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1)
               .replace(" 0        0 ", " 4294967296        0 ");
    QTest::newRow("port of five digits")
        << socketLine(0, "00000000:10050", "00000000:0000", "0A", 0, 1);
    QTest::newRow("port not hex") << socketLine(0, "00000000:00G0", "00000000:0000", "0A", 0, 1);
    QTest::newRow("no port") << socketLine(0, "00000000:", "00000000:0000", "0A", 0, 1);
    QTest::newRow("address of six digits")
        << socketLine(0, "000000:0050", "00000000:0000", "0A", 0, 1);
    QTest::newRow("address of sixteen digits")
        << socketLine(0, "0000000000000000:0050", "00000000:0000", "0A", 0, 1);
    QTest::newRow("families differ")
        << socketLine(0, "00000000:0050", "00000000000000000000000000000000:0000", "0A", 0, 1);
    QTest::newRow("state of three digits")
        << socketLine(0, "00000000:0050", "00000000:0000", "00A", 0, 1);
    QTest::newRow("slot without colon")
        << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1).replace("0:", "0 ");
    QTest::newRow("negative uid") << socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1)
                                         .replace(" 0        0 ", " -1        0 ");
}

void TestPortHolders::malformedTableLines()
{
    QFETCH(QByteArray, line);
    QVERIFY(!parseProcNetLine(line));
}

void TestPortHolders::addressTextMatchesQt_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::newRow("0.0.0.0") << bytes({0, 0, 0, 0});
    QTest::newRow("255.255.255.255") << bytes({255, 255, 255, 255});
    QTest::newRow("10.1.200.3") << bytes({10, 1, 200, 3});
    QTest::newRow("::") << QByteArray(16, '\0');
    QTest::newRow("::1") << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    QTest::newRow("1::") << bytes({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    QTest::newRow("fe80::1") << bytes({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    QTest::newRow("one zero group is not folded")
        << bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1});
    QTest::newRow("longest zero run is folded")
        << bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1});
    QTest::newRow("first of equal runs is folded")
        << bytes({0x20, 0x01, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0});
    QTest::newRow("no zero at all") << bytes({0x20, 0x01, 0x0d, 0xb8, 0xab, 0xcd, 0xef, 0x01, 0x23,
                                              0x45, 0x67, 0x89, 0xff, 0xfe, 0x10, 0x00});
    QTest::newRow("last two groups of ::/96 in dotted form")
        << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    QTest::newRow("IPv4 mapped") << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1});
}

void TestPortHolders::addressTextMatchesQt()
{
    QFETCH(QByteArray, address);
    const QHostAddress qt =
        address.size() == 4
            ? QHostAddress(quint32(quint8(address[0])) << 24 | quint32(quint8(address[1])) << 16 |
                           quint32(quint8(address[2])) << 8 | quint32(quint8(address[3])))
            : QHostAddress(reinterpret_cast<const quint8*>(address.constData()));
    QCOMPARE(addressText(address), qt.toString());
    QVERIFY(addressText(QByteArray(5, '\0')).isEmpty());
}

void TestPortHolders::loopback_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("loopback");
    QTest::newRow("127.0.0.1") << bytes({127, 0, 0, 1}) << true;
    QTest::newRow("127.53.0.9") << bytes({127, 53, 0, 9}) << true;
    QTest::newRow("0.0.0.0") << bytes({0, 0, 0, 0}) << false;
    QTest::newRow("128.0.0.1") << bytes({128, 0, 0, 1}) << false;
    QTest::newRow("1.0.0.127") << bytes({1, 0, 0, 127}) << false;
    QTest::newRow("::1") << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) << true;
    QTest::newRow("::") << QByteArray(16, '\0') << false;
    QTest::newRow("::2") << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}) << false;
    QTest::newRow("::ffff:127.0.0.1")
        << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1}) << true;
    QTest::newRow("::ffff:10.0.0.1")
        << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1}) << false;
    QTest::newRow("::127.0.0.1, not mapped")
        << bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 127, 0, 0, 1}) << false;
}

void TestPortHolders::loopback()
{
    QFETCH(QByteArray, address);
    QTEST(isLoopbackAddress(address), "loopback");
}

void TestPortHolders::fakeProcTcp()
{
    FakeProc proc;
    QVERIFY(proc.isValid());
    QVERIFY(proc.writeFile(
        u"net/tcp"_s,
        kTcpHeader + socketLine(0, "00000000:0050", "00000000:0000", "0A", 0, 1001) +
            // A connection accepted on port 80 has port 80 too, but it does not listen.
            socketLine(1, "0100007F:0050", "0100007F:D431", "01", 0, 1002) +
            socketLine(2, "0100007F:1F90", "00000000:0000", "0A", 1000, 1003) +
            // Listening on another port.
            socketLine(3, "00000000:0051", "00000000:0000", "0A", 0, 1008)));
    QVERIFY(proc.writeFile(
        u"net/tcp6"_s, kTcpHeader +
                           socketLine(0, "00000000000000000000000000000000:0050",
                                      "00000000000000000000000000000000:0000", "0A", 0, 1005) +
                           socketLine(1, "00000000000000000000000001000000:1F90",
                                      "00000000000000000000000000000000:0000", "0A", 1000, 1006)));
    // Two nginx processes share the listening sockets, as a master and its worker do; the
    // master has the IPv4 one on two descriptors.
    QVERIFY(proc.addProcess(101, "nginx\n", {1001}));
    QVERIFY(proc.addProcess(100, "nginx\n", {1001, 1005, 1001}));
    QVERIFY(proc.addProcess(300, "curl\n", {1002}));
    QVERIFY(proc.addProcess(200, "\x1b[31mredis\x1b[0m\n", {1003, 1006}));
    QVERIFY(proc.addProcess(400, "other\n", {1008}));
    QVERIFY(proc.writeFile(u"self"_s, "not a process")); // no digits: passed over

    const PortHolders web = findPortHolders(80, ProbeProtocol::Tcp, proc.root());
    QVERIFY(web.tablesRead);
    QVERIFY(web.problem.isEmpty());
    QCOMPARE(web.sockets.size(), 2);
    QCOMPARE(web.sockets[0].localAddress, u"0.0.0.0"_s);
    QCOMPARE(web.sockets[0].inode, quint64(1001));
    QCOMPARE(web.sockets[0].uid, 0u);
    QVERIFY(!web.sockets[0].loopback);
    QCOMPARE(web.sockets[0].processes, (Processes{{100, u"nginx"_s}, {101, u"nginx"_s}}));
    QCOMPARE(web.sockets[1].localAddress, u"::"_s);
    QCOMPARE(web.sockets[1].processes, (Processes{{100, u"nginx"_s}}));
    QCOMPARE(describeHolders(web, 80, ProbeProtocol::Tcp), u"held by nginx (pid 100, 101)"_s);

    // Listening on loopback only, under a name with an escape sequence in it.
    const PortHolders local = findPortHolders(8080, ProbeProtocol::Tcp, proc.root());
    QCOMPARE(local.sockets.size(), 2);
    QVERIFY(local.sockets[0].loopback && local.sockets[1].loopback);
    QCOMPARE(local.sockets[0].uid, 1000u);
    QCOMPARE(local.sockets[0].processes, (Processes{{200, u"[31mredis[0m"_s}}));
    QCOMPARE(describeHolders(local, 8080, ProbeProtocol::Tcp),
             u"held by [31mredis[0m (pid 200), bound only to 127.0.0.1 and ::1, so it cannot "
             "be reached from outside"_s);

    // TCP tables only: nothing listens on UDP 80, and nothing on TCP 22.
    QVERIFY(findPortHolders(80, ProbeProtocol::Udp, proc.root()).sockets.isEmpty());
    const PortHolders none = findPortHolders(22, ProbeProtocol::Tcp, proc.root());
    QVERIFY(none.tablesRead);
    QVERIFY(none.sockets.isEmpty());
    QCOMPARE(describeHolders(none, 22, ProbeProtocol::Tcp),
             u"no program on this computer listens on TCP port 22"_s);
}

void TestPortHolders::fakeProcUdp()
{
    FakeProc proc;
    QVERIFY(proc.isValid());
    QVERIFY(proc.writeFile(
        u"net/udp"_s, kUdpHeader + socketLine(0, "0100007F:0035", "00000000:0000", "07", 0, 2001) +
                          // A connected socket takes datagrams from its peer only.
                          socketLine(1, "0A00000A:0035", "08080808:0035", "01", 0, 2002)));
    QVERIFY(proc.writeFile(u"net/udp6"_s,
                           kUdpHeader +
                               socketLine(0, "000080FE000000000000000001000000:0035",
                                          "00000000000000000000000000000000:0000", "07", 0, 2003) +
                               socketLine(1, "0000000000000000FFFF00000100007F:14E9",
                                          "00000000000000000000000000000000:0000", "07", 0, 2004)));
    QVERIFY(proc.addProcess(500, "dnsmasq\n", {2001, 2003}));
    QVERIFY(proc.addProcess(501, "resolver\n", {2002}));
    QVERIFY(proc.addProcess(502, "avahi-daemon\n", {2004}));

    const PortHolders dns = findPortHolders(53, ProbeProtocol::Udp, proc.root());
    QVERIFY(dns.tablesRead);
    QCOMPARE(dns.sockets.size(), 2);
    QCOMPARE(dns.sockets[0].localAddress, u"127.0.0.1"_s);
    QCOMPARE(dns.sockets[1].localAddress, u"fe80::1"_s);
    QVERIFY(!dns.sockets[1].loopback);
    for (const PortSocket& socket : dns.sockets)
        QCOMPARE(socket.processes, (Processes{{500, u"dnsmasq"_s}}));
    QCOMPARE(describeHolders(dns, 53, ProbeProtocol::Udp), u"held by dnsmasq (pid 500)"_s);

    const PortHolders mapped = findPortHolders(5353, ProbeProtocol::Udp, proc.root());
    QCOMPARE(mapped.sockets.size(), 1);
    QCOMPARE(mapped.sockets[0].localAddress, u"::ffff:127.0.0.1"_s);
    QVERIFY(mapped.sockets[0].loopback);

    const PortHolders none = findPortHolders(53, ProbeProtocol::Tcp, proc.root());
    QVERIFY(none.sockets.isEmpty());
    QVERIFY(!none.tablesRead); // there are no TCP tables at all
    QCOMPARE(describeHolders(findPortHolders(54, ProbeProtocol::Udp, proc.root()), 54,
                             ProbeProtocol::Udp),
             u"no program on this computer has UDP port 54 open"_s);
}

void TestPortHolders::fakeProcOwnerNotFound()
{
    FakeProc proc;
    QVERIFY(proc.isValid());
    QVERIFY(proc.writeFile(
        u"net/tcp"_s, kTcpHeader + socketLine(0, "00000000:01BB", "00000000:0000", "0A", 0, 3001)));
    QVERIFY(proc.addProcess(600, "bash\n", {}));
    // A process whose descriptors this user may not list, unless it can read anything anyway.
    QVERIFY(proc.addProcess(601, "secret\n", {3001}));
    const QByteArray hiddenFds = QFile::encodeName(proc.root() + u"/601/fd"_s);
    QCOMPARE(chmod(hiddenFds.constData(), 0), 0);
    const bool canReadAnything = access(hiddenFds.constData(), R_OK | X_OK) == 0;

    const PortHolders holders = findPortHolders(443, ProbeProtocol::Tcp, proc.root());
    chmod(hiddenFds.constData(), 0700); // so that the temporary directory can go
    QCOMPARE(holders.sockets.size(), 1);
    QCOMPARE(holders.processesHidden, !canReadAnything);
    if (canReadAnything) {
        QCOMPARE(holders.sockets[0].processes, (Processes{{601, u"secret"_s}}));
        QVERIFY(holders.sockets[0].userName.isEmpty()); // only looked up when needed
    } else {
        QVERIFY(holders.sockets[0].processes.isEmpty());
        QCOMPARE(holders.sockets[0].uid, 0u);
        QCOMPARE(holders.sockets[0].userName, u"root"_s);
        QCOMPARE(describeHolders(holders, 443, ProbeProtocol::Tcp),
                 u"held by a program of user root (uid 0) that this user cannot see; run as that "
                 "user or root to name it"_s);
    }

    // A socket nobody has open: gone between the two reads, or held in another way.
    QVERIFY(proc.writeFile(u"net/tcp6"_s,
                           kTcpHeader + socketLine(0, "00000000000000000000000000000000:0016",
                                                   "00000000000000000000000000000000:0000", "0A", 0,
                                                   3002)));
    const PortHolders orphan = findPortHolders(22, ProbeProtocol::Tcp, proc.root());
    QCOMPARE(orphan.sockets.size(), 1);
    QVERIFY(orphan.sockets[0].processes.isEmpty());
    QCOMPARE(orphan.sockets[0].userName, u"root"_s);
}

void TestPortHolders::fakeProcKernelSocket()
{
    // A WireGuard interface's port: the kernel holds the socket, no file refers to it.
    FakeProc proc;
    QVERIFY(proc.isValid());
    QVERIFY(proc.writeFile(
        u"net/udp"_s, kUdpHeader + socketLine(0, "00000000:CA6C", "00000000:0000", "07", 0, 0)));
    QVERIFY(proc.addProcess(700, "wg\n", {0}));
    const PortHolders holders = findPortHolders(51820, ProbeProtocol::Udp, proc.root());
    QCOMPARE(holders.sockets.size(), 1);
    QVERIFY(holders.sockets[0].processes.isEmpty());
    QCOMPARE(describeHolders(holders, 51820, ProbeProtocol::Udp), u"held by the kernel itself"_s);
}

void TestPortHolders::fakeProcLongAndBrokenLines()
{
    FakeProc proc;
    QVERIFY(proc.isValid());
    QByteArray table = kTcpHeader;
    // Many connections first, as on a busy server.
    for (int i = 0; i < 20000; ++i) {
        table += socketLine(i, "0100007F:0050", "0100007F:C000", "01", 0, quint64(100000 + i));
    }
    table += "garbage\n";
    table += "   7: 00000000:0050 00000000:0000 0A 00000000:00000000\n";
    table += socketLine(8, "00000000:0050", "00000000:0000", "0A", 0, 1).replace(" 1 1 ", " 9x 1 ");
    // Lines longer than any the kernel writes, each ending in what looks like a listening
    // socket. Whole, none of them is a socket line; a reader that cut them into pieces would
    // take the end of some for one, whatever the size of its pieces up to a few kilobytes.
    const QByteArray fake = ' ' + socketLine(9, "00000000:0050", "00000000:0000", "0A", 0, 4001);
    for (int length = 1; length < 4200; ++length)
        table += QByteArray(length, 'x') + fake;
    table += QByteArray("\0\0\0\n", 4);
    table += socketLine(20010, "00000000:0050", "00000000:0000", "0A", 0, 4002);
    table.chop(1); // the last line without its newline
    QVERIFY(proc.writeFile(u"net/tcp"_s, table));
    QVERIFY(proc.addProcess(800, "server\n", {4001, 4002, 100000}));

    const PortHolders holders = findPortHolders(80, ProbeProtocol::Tcp, proc.root());
    QVERIFY(holders.tablesRead);
    QCOMPARE(holders.sockets.size(), 1);
    QCOMPARE(holders.sockets[0].inode, quint64(4002));
    QCOMPARE(holders.sockets[0].processes, (Processes{{800, u"server"_s}}));
}

void TestPortHolders::fakeProcTablesUnreadable()
{
    FakeProc proc;
    QVERIFY(proc.isValid());
    const PortHolders none = findPortHolders(80, ProbeProtocol::Tcp, proc.root());
    QVERIFY(!none.tablesRead);
    QCOMPARE(none.problem, proc.root() + u"/net/tcp could not be read"_s);
    QCOMPARE(describeHolders(none, 80, ProbeProtocol::Tcp),
             u"the program holding it cannot be named: "_s + none.problem);

    // The IPv4 table is there, the IPv6 one cannot be opened: what was found still counts, but
    // the absence of a holder is no longer known.
    QVERIFY(proc.writeFile(
        u"net/udp"_s, kUdpHeader + socketLine(0, "00000000:0044", "00000000:0000", "07", 0, 5001)));
    QVERIFY(QDir().mkpath(proc.root() + u"/net/udp6"_s));
    QVERIFY(proc.addProcess(900, "dhclient\n", {5001}));
    const PortHolders partial = findPortHolders(68, ProbeProtocol::Udp, proc.root());
    QVERIFY(!partial.tablesRead);
    QCOMPARE(partial.problem, proc.root() + u"/net/udp6 could not be read"_s);
    QCOMPARE(partial.sockets.size(), 1);
    QCOMPARE(describeHolders(partial, 68, ProbeProtocol::Udp), u"held by dhclient (pid 900)"_s);
    QCOMPARE(describeHolders(findPortHolders(69, ProbeProtocol::Udp, proc.root()), 69,
                             ProbeProtocol::Udp),
             u"the program holding it cannot be named: "_s + partial.problem);
}

void TestPortHolders::describe_data()
{
    QTest::addColumn<PortHolders>("holders");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("expected");

    const auto socket = [](const QString& address, bool loopback, Processes processes,
                           quint32 uid = 0, const QString& user = {}) {
        PortSocket s;
        s.localAddress = address;
        s.loopback = loopback;
        s.uid = uid;
        s.userName = user;
        s.inode = 1;
        s.processes = processes;
        return s;
    };
    const auto read = [](QList<PortSocket> sockets, bool hidden = false) {
        PortHolders h;
        h.sockets = sockets;
        h.tablesRead = true;
        h.processesHidden = hidden;
        return h;
    };
    PortHolders kernel = read({socket(u"0.0.0.0"_s, false, {})});
    kernel.sockets[0].inode = 0;

    QTest::newRow("one process") << read({socket(u"0.0.0.0"_s, false, {{812, u"nginx"_s}})}) << true
                                 << u"held by nginx (pid 812)"_s;
    QTest::newRow("one name, several pids, over several sockets")
        << read({socket(u"0.0.0.0"_s, false, {{813, u"nginx"_s}, {814, u"nginx"_s}}),
                 socket(u"::"_s, false, {{812, u"nginx"_s}, {813, u"nginx"_s}})})
        << true << u"held by nginx (pid 812, 813, 814)"_s;
    QTest::newRow("two names") << read({socket(u"0.0.0.0"_s, false,
                                               {{812, u"nginx"_s}, {90, u"sshd"_s}})})
                               << true << u"held by nginx (pid 812) and sshd (pid 90)"_s;
    QTest::newRow("three names") << read({socket(u"0.0.0.0"_s, false, {{1, u"a"_s}}),
                                          socket(u"::"_s, false, {{2, u"b"_s}}),
                                          socket(u"::"_s, false, {{3, u"c"_s}})})
                                 << false << u"held by a (pid 1), b (pid 2) and c (pid 3)"_s;
    QTest::newRow("process without a name")
        << read({socket(u"0.0.0.0"_s, false, {{5, QString()}})}) << true
        << u"held by a program without a name (pid 5)"_s;
    QTest::newRow("owner hidden")
        << read({socket(u"0.0.0.0"_s, false, {}, 33, u"www-data"_s)}, true) << true
        << u"held by a program of user www-data (uid 33) that this user cannot see; run as that "
           "user or root to name it"_s;
    QTest::newRow("owner hidden, user without a name")
        << read({socket(u"0.0.0.0"_s, false, {}, 4001)}, true) << true
        << u"held by a program of uid 4001 that this user cannot see; run as that user or root "
           "to name it"_s;
    QTest::newRow("owners of two users hidden, beside a named one")
        << read({socket(u"0.0.0.0"_s, false, {{7, u"named"_s}}),
                 socket(u"0.0.0.0"_s, false, {}, 33, u"www-data"_s),
                 socket(u"::"_s, false, {}, 0, u"root"_s),
                 socket(u"::"_s, false, {}, 33, u"www-data"_s)},
                true)
        << true
        << u"held by named (pid 7), a program of user www-data (uid 33) and a program of user "
           "root (uid 0) that this user cannot see; run as those users or root to name them"_s;
    QTest::newRow("owner not found, nothing hidden")
        << read({socket(u"::"_s, false, {}, 0, u"root"_s)}) << true
        << u"held by a program of user root (uid 0) that could not be found"_s;
    QTest::newRow("owner hidden, loopback only")
        << read({socket(u"127.0.0.1"_s, true, {}, 33, u"www-data"_s)}, true) << true
        << u"held by a program of user www-data (uid 33) that this user cannot see, bound only "
           "to 127.0.0.1, so it cannot be reached from outside; run as that user or root to "
           "name it"_s;
    QTest::newRow("loopback and another address: no note")
        << read({socket(u"127.0.0.1"_s, true, {{9, u"cupsd"_s}}),
                 socket(u"192.168.1.4"_s, false, {{9, u"cupsd"_s}})})
        << true << u"held by cupsd (pid 9)"_s;
    QTest::newRow("loopback, one address named once")
        << read({socket(u"::1"_s, true, {{9, u"cupsd"_s}}),
                 socket(u"::1"_s, true, {{10, u"cupsd"_s}})})
        << false
        << u"held by cupsd (pid 9, 10), bound only to ::1, so it cannot be reached from "
           "outside"_s;
    QTest::newRow("kernel") << kernel << false << u"held by the kernel itself"_s;
    QTest::newRow("nothing, TCP") << read({}) << true
                                  << u"no program on this computer listens on TCP port 4711"_s;
    QTest::newRow("nothing, UDP") << read({}) << false
                                  << u"no program on this computer has UDP port 4711 open"_s;
    PortHolders unreadable;
    unreadable.problem = u"/proc/net/tcp could not be read"_s;
    QTest::newRow("tables unreadable")
        << unreadable << true
        << u"the program holding it cannot be named: /proc/net/tcp could not be read"_s;
}

void TestPortHolders::describe()
{
    QFETCH(PortHolders, holders);
    QFETCH(bool, tcp);
    QTEST(describeHolders(holders, 4711, tcp ? ProbeProtocol::Tcp : ProbeProtocol::Udp),
          "expected");
}

void TestPortHolders::processNameControlCharacters_data()
{
    QTest::addColumn<QString>("comm");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << u"nginx"_s << u"nginx"_s;
    QTest::newRow("new line") << u"nginx\n"_s << u"nginx"_s;
    QTest::newRow("colour escape") << u"\x1b[2J\x1b[31mevil"_s << u"[2J[31mevil"_s;
    QTest::newRow("tab, bell, delete") << u"a\tb\ac\x7f"_s << u"abc"_s;
    QTest::newRow("C1 control sequence introducer") << u"x\u009b1my"_s << u"x1my"_s;
    QTest::newRow("right-to-left override") << u"sshd\u202Egnp.exe"_s << u"sshdgnp.exe"_s;
    QTest::newRow("letters beyond ASCII stay") << u"démon-ü"_s << u"démon-ü"_s;
    QTest::newRow("only controls") << u"\x01\x02"_s << QString();
}

void TestPortHolders::processNameControlCharacters()
{
    QFETCH(QString, comm);
    QTEST(displayableProcessName(comm), "shown");
}

// What the kernel calls this process: its file name, cut to 15 bytes.
static QString ownComm()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15);
}

void TestPortHolders::realProcTcp()
{
    if (!QFile::exists(u"/proc/net/tcp"_s))
        QSKIP("no /proc/net/tcp here");
    QTcpServer server;
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0), qPrintable(server.errorString()));
    // A connection to it: the accepted socket has the same local port but does not listen.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(client.waitForConnected(10000));
    QVERIFY(server.waitForNewConnection(10000));
    QTcpSocket* accepted = server.nextPendingConnection();
    QVERIFY(accepted);

    const PortHolders holders = findPortHolders(server.serverPort(), ProbeProtocol::Tcp);
    QVERIFY2(holders.tablesRead, qPrintable(holders.problem));
    QCOMPARE(holders.sockets.size(), 1);
    QCOMPARE(holders.sockets[0].localAddress, u"127.0.0.1"_s);
    QVERIFY(holders.sockets[0].loopback);
    QCOMPARE(holders.sockets[0].uid, quint32(geteuid()));
    QCOMPARE(holders.sockets[0].processes,
             (Processes{{QCoreApplication::applicationPid(), ownComm()}}));
    QCOMPARE(describeHolders(holders, server.serverPort(), ProbeProtocol::Tcp),
             u"held by %1 (pid %2), bound only to 127.0.0.1, so it cannot be reached from outside"_s
                 .arg(ownComm())
                 .arg(QCoreApplication::applicationPid()));

    const quint16 port = server.serverPort();
    server.close();
    QVERIFY(findPortHolders(port, ProbeProtocol::Tcp).sockets.isEmpty());
}

void TestPortHolders::realProcUdp()
{
    if (!QFile::exists(u"/proc/net/udp"_s))
        QSKIP("no /proc/net/udp here");
    QUdpSocket socket;
    QVERIFY2(socket.bind(QHostAddress::LocalHost, 0), qPrintable(socket.errorString()));
    const PortHolders holders = findPortHolders(socket.localPort(), ProbeProtocol::Udp);
    QVERIFY2(holders.tablesRead, qPrintable(holders.problem));
    QCOMPARE(holders.sockets.size(), 1);
    QCOMPARE(holders.sockets[0].localAddress, u"127.0.0.1"_s);
    QCOMPARE(holders.sockets[0].processes,
             (Processes{{QCoreApplication::applicationPid(), ownComm()}}));
    // The same number on TCP is another port.
    QVERIFY(findPortHolders(socket.localPort(), ProbeProtocol::Tcp).sockets.isEmpty());
}

QTEST_GUILESS_MAIN(TestPortHolders)
#include "tst_portholders.moc"
