// The STUN listener of quillmere-server: its decisions (which socket answers, with what, and what
// gets no answer), its command line, and the running program on loopback, with 127.0.0.1 as its
// address and 127.0.0.2 as the alternate (both are the machine's own on Linux).

#include "server/serverconfig.h"
#include "server/stunlistener.h"
#include "stun/stunmessage.h"

#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <array>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

using namespace quillmere;
using namespace quillmere::server;
using namespace Qt::StringLiterals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int kWait = 15000;

const stun::TransactionId kId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

UdpEndpoint udp(const char* address, unsigned short port)
{
    return UdpEndpoint(boost::asio::ip::make_address(address), port);
}

stun::Endpoint v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                  std::uint16_t port)
{
    stun::Endpoint e;
    e.address = {a, b, c, d};
    e.port = port;
    return e;
}

stun::Endpoint endpointOf(const QHostAddress& address, quint16 port)
{
    stun::Endpoint e;
    const quint32 ip = address.toIPv4Address();
    e.address = {std::uint8_t(ip >> 24), std::uint8_t(ip >> 16), std::uint8_t(ip >> 8),
                 std::uint8_t(ip)};
    e.port = port;
    return e;
}

// A request with the attributes given as (type, value), padded, the length set.
Bytes request(std::uint16_t type, std::vector<std::pair<std::uint16_t, Bytes>> attributes = {},
              std::uint32_t cookie = stun::kMagicCookie)
{
    Bytes out = {std::uint8_t(type >> 8),
                 std::uint8_t(type),
                 0,
                 0,
                 std::uint8_t(cookie >> 24),
                 std::uint8_t(cookie >> 16),
                 std::uint8_t(cookie >> 8),
                 std::uint8_t(cookie)};
    out.insert(out.end(), kId.begin(), kId.end());
    for (const auto& [attrType, value] : attributes) {
        out.insert(out.end(), {std::uint8_t(attrType >> 8), std::uint8_t(attrType),
                               std::uint8_t(value.size() >> 8), std::uint8_t(value.size())});
        out.insert(out.end(), value.begin(), value.end());
        while (out.size() % 4 != 0)
            out.push_back(0);
    }
    out[2] = std::uint8_t((out.size() - 20) >> 8);
    out[3] = std::uint8_t(out.size() - 20);
    return out;
}

QByteArray bytes(const Bytes& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

std::span<const std::uint8_t> span(const QByteArray& b)
{
    return {reinterpret_cast<const std::uint8_t*>(b.constData()), std::size_t(b.size())};
}

// Requests that must go unanswered, each with what makes it so.
std::vector<std::pair<const char*, Bytes>> unansweredRequests()
{
    Bytes truncated = stun::bindingRequest(kId, true, true);
    truncated.resize(24);
    // Four bytes over the limit, well-formed otherwise.
    const Bytes oversized =
        request(0x0001, {{stun::attr::kSoftware, Bytes(kRequestLimit - 20 - 4 + 4, 'x')}});
    return {
        {"not STUN", Bytes{'G', 'E', 'T', ' ', '/',  ' ',  'H',  'T',  'T', 'P',
                           '/', '1', '.', '0', '\r', '\n', '\r', '\n', 0,   0}},
        {"empty", Bytes{}},
        {"truncated", truncated},
        {"success response",
         stun::bindingSuccess(kId, v4(192, 0, 2, 1, 1), std::nullopt, std::nullopt)},
        {"indication", request(0x0011)},
        {"error response", stun::bindingError(kId, 420)},
        {"other method", request(0x0003)},
        {"unknown required attribute", request(0x0001, {{0x0099, Bytes{1, 2, 3, 4}}})},
        {"RESPONSE-ADDRESS", request(0x0001, {{0x0002, Bytes{0, 1, 0, 80, 192, 0, 2, 1}}})},
        {"bad fingerprint",
         [] {
             Bytes b = stun::withFingerprint(stun::bindingRequest(kId));
             b.back() ^= 1;
             return b;
         }()},
        {"oversized", oversized},
        {"PADDING", request(0x0001, {{stun::attr::kPadding, Bytes(400, 0)}})},
        {"RESPONSE-PORT", request(0x0001, {{stun::attr::kResponsePort, Bytes{0x13, 0x88, 0, 0}}})},
        {"PADDING and RESPONSE-PORT",
         request(0x0001, {{stun::attr::kResponsePort, Bytes{0x13, 0x88, 0, 0}},
                          {stun::attr::kPadding, Bytes(8, 0)}})},
    };
}

// quillmere-server with a STUN listener on 127.0.0.1 (and 127.0.0.2 with `alternate`) at a port
// pair that is free: port 0 cannot be asked for, since the listener takes the port and the next,
// so it picks a port and starts again on another when one of the four is taken.
class StunServer
{
public:
    explicit StunServer(bool alternate, QStringList extra = {})
    {
        for (int attempt = 0; attempt < 20 && m_port == 0; ++attempt) {
            const quint16 candidate = freePortPair(alternate);
            if (candidate == 0)
                continue;
            m_process = std::make_unique<QProcess>();
            m_notes.clear();
            m_accessLog.clear();
            QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput, [this] {
                m_accessLog += QString::fromUtf8(m_process->readAllStandardOutput());
            });
            QObject::connect(m_process.get(), &QProcess::readyReadStandardError, [this] {
                m_notes += QString::fromUtf8(m_process->readAllStandardError());
            });
            QStringList arguments{u"--listen"_s,         u"127.0.0.1:0"_s,
                                  u"--metrics-listen"_s, u"127.0.0.1:0"_s,
                                  u"--ping"_s,           u"off"_s,
                                  u"--threads"_s,        u"2"_s,
                                  u"--stun-listen"_s,    u"127.0.0.1:%1"_s.arg(candidate)};
            if (alternate)
                arguments << u"--stun-alternate"_s << u"127.0.0.2"_s;
            m_process->start(QString::fromUtf8(QUILLMERE_SERVER_PROGRAM), arguments + extra);
            // Started when it says what it serves; another program took a port when it ends.
            const bool settled = QTest::qWaitFor(
                [this] {
                    return m_notes.contains(u"STUN: at most"_s) ||
                           m_process->state() == QProcess::NotRunning;
                },
                kWait);
            if (settled && m_notes.contains(u"STUN: at most"_s))
                m_port = candidate;
            else
                m_process->waitForFinished(kWait);
        }
    }

    ~StunServer()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->terminate();
            m_process->waitForFinished(kWait);
        }
    }

    quint16 port() const { return m_port; }
    const QString& notes() const { return m_notes; }
    const QString& accessLog() const { return m_accessLog; }

    bool stop()
    {
        m_process->terminate();
        return m_process->waitForFinished(kWait) &&
               m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
    }

    // The metrics listener's text, fetched whole; empty when it cannot be had.
    QString metrics()
    {
        static const QRegularExpression where(u"metrics at http://\\S+:(\\d+)/metrics"_s);
        const auto match = where.match(m_notes);
        if (!match.hasMatch())
            return {};
        QTcpSocket socket;
        QByteArray reply;
        QObject::connect(&socket, &QTcpSocket::readyRead,
                         [&socket, &reply] { reply += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, quint16(match.captured(1).toUInt()));
        socket.write("GET /metrics HTTP/1.0\r\n\r\n");
        if (!QTest::qWaitFor(
                [&socket] { return socket.state() == QAbstractSocket::UnconnectedState; }, kWait))
            return {};
        reply += socket.readAll();
        return QString::fromUtf8(reply);
    }

    int stunCount(const char* outcome)
    {
        const QRegularExpression sample(u"quillmere_stun_requests_total\\{outcome=\""_s +
                                        QLatin1StringView(outcome) + u"\"\\} (\\d+)"_s);
        const auto match = sample.match(metrics());
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    }

private:
    // A port whose pair is free on both addresses just now (it may not stay so).
    static quint16 freePortPair(bool alternate)
    {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, 0))
            return 0;
        const quint16 port = probe.localPort();
        if (port >= 65535)
            return 0;
        probe.close();
        std::vector<std::unique_ptr<QUdpSocket>> held;
        for (const char* address : {"127.0.0.1", "127.0.0.2"}) {
            if (!alternate && std::string_view(address) == "127.0.0.2")
                continue;
            for (const quint16 p : {port, quint16(port + 1)}) {
                auto& socket = held.emplace_back(std::make_unique<QUdpSocket>());
                if (!socket->bind(QHostAddress(QString::fromLatin1(address)), p))
                    return 0;
            }
        }
        return port;
    }

    std::unique_ptr<QProcess> m_process;
    QString m_notes;
    QString m_accessLog;
    quint16 m_port = 0;
};

// A STUN client socket on loopback: sends, and keeps every datagram that comes back.
class Client
{
public:
    explicit Client(const QHostAddress& address = QHostAddress::LocalHost)
    {
        m_bound = m_socket.bind(address, 0);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] {
            while (m_socket.hasPendingDatagrams())
                m_received.push_back(m_socket.receiveDatagram());
        });
    }
    bool bound() const { return m_bound; }
    QHostAddress address() const { return m_socket.localAddress(); }
    quint16 port() const { return m_socket.localPort(); }
    void send(const Bytes& datagram, const char* to, quint16 port)
    {
        m_socket.writeDatagram(bytes(datagram), QHostAddress(QString::fromLatin1(to)), port);
    }
    const std::vector<QNetworkDatagram>& received() const { return m_received; }
    void clear() { m_received.clear(); }

private:
    QUdpSocket m_socket;
    bool m_bound = false;
    std::vector<QNetworkDatagram> m_received;
};

} // namespace

namespace quillmere::stun {
char* toString(const Endpoint& e)
{
    return QTest::toString(QString::fromStdString(endpointText(e)));
}
} // namespace quillmere::stun

class TestStunListener : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Decisions, without sockets.
    void answersFromTheSocketTheChangeAsksFor();
    void oneAddressServesOnlyThePortChange();
    void olderClientsAreAnsweredInTheirForm();
    void refusedRequestsGetNoAnswer();
    void replyNeverOutgrowsItsAllowance();
    void commandLine_data();
    void commandLine();
    // The running program.
    void bindingAnsweredFromEverySocket();
    void oneAddressProgram();
    void programLeavesUnansweredWhatItMust();
    void rateLimitCountsStunApartFromChecks();
    void takenPortStopsTheStart();
};

void TestStunListener::answersFromTheSocketTheChangeAsksFor()
{
    const StunPlaces places =
        stunPlaces(udp("192.0.2.1", 3478), boost::asio::ip::make_address("192.0.2.2"));
    QVERIFY(places.alternate);
    const UdpEndpoint client = udp("203.0.113.9", 40000);
    const std::array<std::array<stun::Endpoint, 2>, 2> at{
        {{v4(192, 0, 2, 1, 3478), v4(192, 0, 2, 1, 3479)},
         {v4(192, 0, 2, 2, 3478), v4(192, 0, 2, 2, 3479)}}};
    for (unsigned ip = 0; ip < 2; ++ip) {
        for (unsigned port = 0; port < 2; ++port) {
            for (const bool changeIp : {false, true}) {
                for (const bool changePort : {false, true}) {
                    const QByteArray where =
                        QByteArray::number(ip) + "/" + QByteArray::number(port) + " change " +
                        QByteArray::number(changeIp) + "/" + QByteArray::number(changePort);
                    const StunAnswer answer = answerStun(
                        stun::bindingRequest(kId, changeIp, changePort), client, places, ip, port);
                    QVERIFY2(answer.outcome == StunOutcome::Answered, where.constData());
                    const unsigned fromIp = changeIp ? 1 - ip : ip;
                    const unsigned fromPort = changePort ? 1 - port : port;
                    QCOMPARE(answer.fromIp, fromIp);
                    QCOMPARE(answer.fromPort, fromPort);
                    const auto reply = stun::parseMessage(answer.reply);
                    QVERIFY(reply);
                    QCOMPARE(reply->kind, stun::MessageKind::Success);
                    QVERIFY(reply->transaction == kId);
                    QCOMPARE(reply->mapped, std::optional(v4(203, 0, 113, 9, 40000)));
                    // RESPONSE-ORIGIN is the socket that sends; OTHER-ADDRESS the pair across
                    // from the one the request came to.
                    QCOMPARE(reply->responseOrigin, std::optional(at[fromIp][fromPort]));
                    QCOMPARE(reply->otherAddress, std::optional(at[1 - ip][1 - port]));
                }
            }
        }
    }
    // IPv6 and an IPv4-mapped client address.
    const StunPlaces six =
        stunPlaces(udp("2001:db8::1", 3478), boost::asio::ip::make_address("2001:db8::2"));
    const StunAnswer answer =
        answerStun(stun::bindingRequest(kId, true, false), udp("2001:db8:1::9", 5), six, 0, 0);
    const auto reply = stun::parseMessage(answer.reply);
    QVERIFY(reply && reply->mapped && reply->mapped->ipv6);
    QCOMPARE(stun::endpointText(*reply->mapped), std::string("[2001:db8:1::9]:5"));
    QCOMPARE(stun::endpointText(*reply->responseOrigin), std::string("[2001:db8::2]:3478"));
    QCOMPARE(stun::endpointText(*reply->otherAddress), std::string("[2001:db8::2]:3479"));
}

void TestStunListener::oneAddressServesOnlyThePortChange()
{
    const StunPlaces places = stunPlaces(udp("192.0.2.1", 3478), std::nullopt);
    QVERIFY(!places.alternate);
    const UdpEndpoint client = udp("203.0.113.9", 40000);
    for (unsigned port = 0; port < 2; ++port) {
        for (const bool changePort : {false, true}) {
            const StunAnswer answer =
                answerStun(stun::bindingRequest(kId, false, changePort), client, places, 0, port);
            QCOMPARE(answer.outcome, StunOutcome::Answered);
            QCOMPARE(answer.fromIp, 0u);
            QCOMPARE(answer.fromPort, changePort ? 1 - port : port);
            const auto reply = stun::parseMessage(answer.reply);
            QVERIFY(reply);
            QVERIFY(!reply->otherAddress); // no second address to name
            QCOMPARE(reply->responseOrigin,
                     std::optional(v4(192, 0, 2, 1, std::uint16_t(3478 + answer.fromPort))));
        }
        // A change of address cannot be served: 420, naming CHANGE-REQUEST, from where it came.
        for (const bool changePort : {false, true}) {
            const StunAnswer answer =
                answerStun(stun::bindingRequest(kId, true, changePort), client, places, 0, port);
            QCOMPARE(answer.outcome, StunOutcome::Error);
            QCOMPARE(answer.fromIp, 0u);
            QCOMPARE(answer.fromPort, port);
            const auto reply = stun::parseMessage(answer.reply);
            QVERIFY(reply);
            QCOMPARE(reply->kind, stun::MessageKind::Error);
            QCOMPARE(reply->errorCode, std::optional<int>(420));
        }
    }
}

void TestStunListener::olderClientsAreAnsweredInTheirForm()
{
    // RFC 3489: the 16-byte transaction id where the cookie would be.
    Bytes old = request(0x0001, {{stun::attr::kChangeRequest, Bytes{0, 0, 0, 4}}}, 0x0139be61);
    const StunPlaces places =
        stunPlaces(udp("192.0.2.1", 3478), boost::asio::ip::make_address("192.0.2.2"));
    const StunAnswer answer = answerStun(old, udp("203.0.113.9", 40000), places, 0, 0);
    QCOMPARE(answer.outcome, StunOutcome::Answered);
    QVERIFY(answer.classic);
    QCOMPARE(answer.fromIp, 1u);
    QCOMPARE(answer.fromPort, 0u);
    QVERIFY(!stun::parseMessage(answer.reply));
    const auto reply = stun::parseClassicMessage(answer.reply);
    QVERIFY(reply);
    QVERIFY(std::equal(reply->transaction.begin(), reply->transaction.end(), old.begin() + 4));
    QCOMPARE(reply->message.mapped, std::optional(v4(203, 0, 113, 9, 40000)));
    QCOMPARE(reply->message.responseOrigin, std::optional(v4(192, 0, 2, 2, 3478)));
    QCOMPARE(reply->message.otherAddress, std::optional(v4(192, 0, 2, 2, 3479)));

    // With one address such a client gets no answer to a change of address (it knows no 420).
    const StunPlaces one = stunPlaces(udp("192.0.2.1", 3478), std::nullopt);
    const StunAnswer none = answerStun(old, udp("203.0.113.9", 40000), one, 0, 0);
    QVERIFY(none.reply.empty());
    QCOMPARE(none.outcome, StunOutcome::Unserved);
}

void TestStunListener::refusedRequestsGetNoAnswer()
{
    const StunPlaces places =
        stunPlaces(udp("192.0.2.1", 3478), boost::asio::ip::make_address("192.0.2.2"));
    for (const auto& [what, datagram] : unansweredRequests()) {
        const StunAnswer answer = answerStun(datagram, udp("203.0.113.9", 40000), places, 0, 0);
        QVERIFY2(answer.reply.empty(), what);
        QVERIFY2(answer.outcome == StunOutcome::Malformed ||
                     answer.outcome == StunOutcome::Unserved,
                 what);
    }
    // The longest request still answered is kRequestLimit bytes.
    const Bytes longest =
        request(0x0001, {{stun::attr::kSoftware, Bytes(kRequestLimit - 20 - 4, 'x')}});
    QCOMPARE(longest.size(), kRequestLimit);
    QCOMPARE(answerStun(longest, udp("203.0.113.9", 40000), places, 0, 0).outcome,
             StunOutcome::Answered);
    // Nothing is sent to port 0.
    QVERIFY(
        answerStun(stun::bindingRequest(kId), udp("203.0.113.9", 0), places, 0, 0).reply.empty());
}

void TestStunListener::replyNeverOutgrowsItsAllowance()
{
    // The smallest requests of each kind get the largest replies there are; none of them is
    // larger than the request plus the allowance.
    const Bytes smallest = stun::bindingRequest(kId);
    const Bytes change = stun::bindingRequest(kId, true, true);
    const Bytes old = request(0x0001, {}, 0x0139be61);
    struct Case
    {
        StunPlaces places;
        UdpEndpoint client;
        bool ipv6;
    };
    for (const Case& c :
         {Case{stunPlaces(udp("192.0.2.1", 3478), boost::asio::ip::make_address("192.0.2.2")),
               udp("203.0.113.9", 1), false},
          Case{stunPlaces(udp("192.0.2.1", 3478), std::nullopt), udp("203.0.113.9", 1), false},
          Case{stunPlaces(udp("2001:db8::1", 3478), boost::asio::ip::make_address("2001:db8::2")),
               udp("2001:db8:1::9", 1), true}}) {
        for (const Bytes& req : {smallest, change, old}) {
            const StunAnswer answer = answerStun(req, c.client, c.places, 0, 0);
            QVERIFY(!answer.reply.empty());
            QVERIFY(answer.reply.size() <= req.size() + stunReplyAllowance(c.ipv6));
        }
    }
    QCOMPARE(stunReplyAllowance(false), std::size_t{36});
    QCOMPARE(stunReplyAllowance(true), std::size_t{72});
}

void TestStunListener::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // a part of the error; empty: accepted
    QTest::newRow("none") << QStringList{} << QString();
    QTest::newRow("one") << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s} << QString();
    QTest::newRow("pair") << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s,
                                         u"--stun-alternate"_s, u"192.0.2.2"_s}
                          << QString();
    QTest::newRow("both families") << QStringList{u"--stun-listen"_s,
                                                  u"192.0.2.1:3478"_s,
                                                  u"--stun-listen=[2001:db8::1]:3478"_s,
                                                  u"--stun-alternate"_s,
                                                  u"192.0.2.2"_s,
                                                  u"--stun-alternate"_s,
                                                  u"2001:db8::2"_s}
                                   << QString();
    QTest::newRow("rate") << QStringList{u"--stun-rate"_s, u"0"_s} << QString();
    QTest::newRow("every address")
        << QStringList{u"--stun-listen"_s, u"*:3478"_s} << u"bad value for --stun-listen"_s;
    QTest::newRow("unspecified") << QStringList{u"--stun-listen"_s, u"0.0.0.0:3478"_s}
                                 << u"bad value for --stun-listen"_s;
    QTest::newRow("port 0") << QStringList{u"--stun-listen"_s, u"192.0.2.1:0"_s}
                            << u"bad value for --stun-listen"_s;
    QTest::newRow("no next port") << QStringList{u"--stun-listen"_s, u"192.0.2.1:65535"_s}
                                  << u"bad value for --stun-listen"_s;
    QTest::newRow("v6 unbracketed") << QStringList{u"--stun-listen"_s, u"2001:db8::1:3478"_s}
                                    << u"bad value for --stun-listen"_s;
    QTest::newRow("alternate alone") << QStringList{u"--stun-alternate"_s, u"192.0.2.2"_s}
                                     << u"needs a --stun-listen address of its family"_s;
    QTest::newRow("alternate of the other family")
        << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s, u"--stun-alternate"_s,
                       u"2001:db8::2"_s}
        << u"needs a --stun-listen address of its family"_s;
    QTest::newRow("alternate is the address")
        << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s, u"--stun-alternate"_s,
                       u"192.0.2.1"_s}
        << u"must be a second address"_s;
    QTest::newRow("two alternates")
        << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s,   u"--stun-alternate"_s,
                       u"192.0.2.2"_s,     u"--stun-alternate"_s, u"192.0.2.3"_s}
        << u"one address per family"_s;
    QTest::newRow("alternate unspecified")
        << QStringList{u"--stun-alternate"_s, u"0.0.0.0"_s} << u"bad value for --stun-alternate"_s;
    QTest::newRow("overlapping pairs") << QStringList{u"--stun-listen"_s, u"192.0.2.1:3478"_s,
                                                      u"--stun-listen"_s, u"192.0.2.1:3479"_s}
                                       << u"would share 192.0.2.1 port 3479"_s;
    QTest::newRow("overlap through the alternate")
        << QStringList{u"--stun-listen"_s,  u"192.0.2.1:3478"_s,   u"--stun-listen"_s,
                       u"192.0.2.2:3479"_s, u"--stun-alternate"_s, u"192.0.2.3"_s}
        << u"would share 192.0.2.3 port 3479"_s;
    QTest::newRow("rate over") << QStringList{u"--stun-rate"_s, u"1000001"_s}
                               << u"bad value for --stun-rate"_s;
    QTest::newRow("rate sign") << QStringList{u"--stun-rate"_s, u"-1"_s}
                               << u"bad value for --stun-rate"_s;
}

void TestStunListener::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    std::vector<std::string> storage;
    for (const QString& argument : arguments)
        storage.push_back(argument.toStdString());
    const std::vector<std::string_view> views(storage.begin(), storage.end());
    const CommandLine line = parseCommandLine(views);
    if (error.isEmpty()) {
        QVERIFY2(line.error.empty(), line.error.c_str());
    } else {
        QVERIFY2(QString::fromStdString(line.error).contains(error), line.error.c_str());
        return;
    }
    const ServerConfig& config = line.config;
    const std::string_view tag = QTest::currentDataTag();
    if (arguments.isEmpty()) {
        QVERIFY(config.stunListen.empty()); // off by default
        QCOMPARE(config.stunRate, 60u);
    }
    if (tag == "pair") {
        QCOMPARE(config.stunListen.size(), std::size_t{1});
        QCOMPARE(config.stunListen[0], udp("192.0.2.1", 3478));
        QCOMPARE(config.stunAlternates.size(), std::size_t{1});
        QCOMPARE(config.stunAlternates[0], boost::asio::ip::make_address("192.0.2.2"));
    }
    if (tag == "both families")
        QCOMPARE(config.stunListen[1], udp("2001:db8::1", 3478));
    if (tag == "rate")
        QCOMPARE(config.stunRate, 0u);
    QVERIFY(QString::fromStdString(usageText()).contains(u"--stun-listen ADDR:PORT"_s));
}

void TestStunListener::bindingAnsweredFromEverySocket()
{
    StunServer server(true);
    const quint16 port = server.port();
    QVERIFY2(port != 0, qPrintable(server.notes()));
    QVERIFY(server.notes().contains(u"changes of address and port served"_s));
    Client client;
    QVERIFY(client.bound());
    const std::array<const char*, 2> addresses{"127.0.0.1", "127.0.0.2"};
    const stun::Endpoint mine = endpointOf(client.address(), client.port());
    int answered = 0;
    for (unsigned ip = 0; ip < 2; ++ip) {
        for (unsigned p = 0; p < 2; ++p) {
            for (const bool changeIp : {false, true}) {
                for (const bool changePort : {false, true}) {
                    client.clear();
                    client.send(stun::bindingRequest(kId, changeIp, changePort), addresses[ip],
                                quint16(port + p));
                    QTRY_COMPARE_WITH_TIMEOUT(client.received().size(), std::size_t{1}, kWait);
                    const QNetworkDatagram& datagram = client.received().front();
                    const unsigned fromIp = changeIp ? 1 - ip : ip;
                    const unsigned fromPort = changePort ? 1 - p : p;
                    // The reply comes from the socket the change asks for.
                    QCOMPARE(datagram.senderAddress(),
                             QHostAddress(QString::fromLatin1(addresses[fromIp])));
                    QCOMPARE(datagram.senderPort(), int(port + fromPort));
                    const QByteArray data = datagram.data();
                    const auto reply = stun::parseMessage(span(data));
                    QVERIFY(reply);
                    QCOMPARE(reply->kind, stun::MessageKind::Success);
                    QCOMPARE(reply->mapped, std::optional(mine));
                    QCOMPARE(reply->responseOrigin,
                             std::optional(endpointOf(datagram.senderAddress(),
                                                      quint16(datagram.senderPort()))));
                    QCOMPARE(reply->otherAddress,
                             std::optional(
                                 endpointOf(QHostAddress(QString::fromLatin1(addresses[1 - ip])),
                                            quint16(port + 1 - p))));
                    ++answered;
                }
            }
        }
    }
    // Each answer has its line: the client, the change asked for and the socket that answered.
    QTRY_COMPARE_WITH_TIMEOUT(server.accessLog().count(u"protocol=stun outcome=answered"_s),
                              answered, kWait);
    QVERIFY(server.accessLog().contains(
        u"client=127.0.0.1 port=%1 protocol=stun outcome=answered form=rfc5389 change=ip+port "
        "reply_from=127.0.0.1:%2"_s.arg(client.port())
            .arg(port)));
    QCOMPARE(server.stunCount("answered"), answered);
    QVERIFY(server.stop());
}

void TestStunListener::oneAddressProgram()
{
    StunServer server(false);
    const quint16 port = server.port();
    QVERIFY2(port != 0, qPrintable(server.notes()));
    QVERIFY(server.notes().contains(u"one address, so only the change of port is served"_s));
    Client client;
    QVERIFY(client.bound());
    client.send(stun::bindingRequest(kId, false, true), "127.0.0.1", port);
    QTRY_COMPARE_WITH_TIMEOUT(client.received().size(), std::size_t{1}, kWait);
    QCOMPARE(client.received().front().senderPort(), int(port + 1));
    const QByteArray first = client.received().front().data();
    auto reply = stun::parseMessage(span(first));
    QVERIFY(reply && reply->kind == stun::MessageKind::Success && !reply->otherAddress);

    client.clear();
    client.send(stun::bindingRequest(kId, true, true), "127.0.0.1", quint16(port + 1));
    QTRY_COMPARE_WITH_TIMEOUT(client.received().size(), std::size_t{1}, kWait);
    QCOMPARE(client.received().front().senderPort(), int(port + 1));
    const QByteArray second = client.received().front().data();
    reply = stun::parseMessage(span(second));
    QVERIFY(reply);
    QCOMPARE(reply->errorCode, std::optional<int>(420));
    // Nothing listens on 127.0.0.2.
    QTRY_COMPARE_WITH_TIMEOUT(server.stunCount("error"), 1, kWait);
    QVERIFY(server.stop());
}

void TestStunListener::programLeavesUnansweredWhatItMust()
{
    StunServer server(true);
    const quint16 port = server.port();
    QVERIFY2(port != 0, qPrintable(server.notes()));
    Client client;
    QVERIFY(client.bound());
    const auto refused = unansweredRequests();
    // Each refused request is followed by a good one from the same socket to the same socket:
    // datagrams between two sockets on loopback keep their order, so when the good one's answer
    // is in, an answer to the refused one would be in too.
    int good = 0;
    for (const auto& [what, datagram] : refused) {
        client.clear();
        client.send(datagram, "127.0.0.1", port);
        stun::TransactionId marker = kId;
        marker[0] = std::uint8_t(++good);
        client.send(stun::bindingRequest(marker), "127.0.0.1", port);
        QTRY_VERIFY2_WITH_TIMEOUT(!client.received().empty(), what, kWait);
        QVERIFY2(client.received().size() == 1, what);
        const QByteArray data = client.received().front().data();
        const auto reply = stun::parseMessage(span(data));
        QVERIFY2(reply && reply->transaction == marker, what);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server.stunCount("answered"), good, kWait);
    QCOMPARE(server.stunCount("malformed") + server.stunCount("unserved"), int(refused.size()));
    QCOMPARE(server.stunCount("unserved"), 4); // oversized, PADDING, RESPONSE-PORT, both
    QVERIFY(!server.accessLog().contains(u"outcome=malformed"_s));
    QVERIFY(server.stop());
}

void TestStunListener::rateLimitCountsStunApartFromChecks()
{
    // One check a minute per client, three STUN requests: the STUN budget is its own.
    StunServer server(true, {u"--client-rate"_s, u"1"_s, u"--stun-rate"_s, u"3"_s});
    const quint16 port = server.port();
    QVERIFY2(port != 0, qPrintable(server.notes()));
    Client client;
    QVERIFY(client.bound());
    for (int i = 0; i < 3; ++i) {
        client.send(stun::bindingRequest(kId), "127.0.0.1", port);
        QTRY_COMPARE_WITH_TIMEOUT(client.received().size(), std::size_t(i + 1), kWait);
    }
    // The fourth and fifth are dropped; another client still has its own three.
    client.send(stun::bindingRequest(kId), "127.0.0.1", port);
    client.send(stun::bindingRequest(kId, true, true), "127.0.0.1", port);
    QTRY_COMPARE_WITH_TIMEOUT(server.stunCount("rate-limited"), 2, kWait);
    Client other(QHostAddress(u"127.0.0.3"_s));
    QVERIFY(other.bound());
    other.send(stun::bindingRequest(kId), "127.0.0.1", port);
    QTRY_COMPARE_WITH_TIMEOUT(other.received().size(), std::size_t{1}, kWait);
    // The dropped ones were dropped before the new client's request was read.
    QCOMPARE(client.received().size(), std::size_t{3});
    QCOMPARE(server.stunCount("answered"), 4);
    QVERIFY(server.notes().contains(u"STUN: at most 3 requests a minute per client"_s));
    QVERIFY(server.stop());
}

void TestStunListener::takenPortStopsTheStart()
{
    StunServer first(false);
    QVERIFY2(first.port() != 0, qPrintable(first.notes()));
    QProcess second;
    second.start(QString::fromUtf8(QUILLMERE_SERVER_PROGRAM),
                 {u"--listen"_s, u"127.0.0.1:0"_s, u"--ping"_s, u"off"_s, u"--stun-listen"_s,
                  u"127.0.0.1:%1"_s.arg(quint16(first.port() - 1))});
    QVERIFY(second.waitForFinished(kWait));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(QString::fromUtf8(second.readAllStandardError())
                .contains(u"cannot listen for STUN on 127.0.0.1:%1"_s.arg(first.port())));
    QVERIFY(first.stop());
}

QTEST_GUILESS_MAIN(TestStunListener)
#include "tst_stunlistener.moc"
