// The check server's pure parts: request parsing, the PROXY protocol header, which addresses may
// be probed, who the client is behind a proxy, the per-client limits (also when several event
// loops share them), the command line, and the reply pages read back
// through the engine's own verdict code, so that both sides are held to the same markers.

#include "server/accesslog.h"
#include "server/addresses.h"
#include "server/checkquery.h"
#include "server/clientlimits.h"
#include "server/icmperror.h"
#include "server/metrics.h"
#include "server/negotiation.h"
#include "server/prober.h"
#include "server/proxyheader.h"
#include "server/replies.h"
#include "server/requesthead.h"
#include "server/serverconfig.h"

#include "engine/checkprotocol.h"
#include "engine/verdict.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <latch>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::server;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using Clock = ClientTable::Clock;

namespace {

Address address(const char* text)
{
    return boost::asio::ip::make_address(text);
}

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// A client, and the /48 it counts against when it has one.
ClientGroup group(const char* client, const char* network = "")
{
    return ClientGroup{client, {network, {}, {}}};
}

// Version 2 of the PROXY header: the signature, version and command, family, and the body.
std::string proxyV2(unsigned char command, unsigned char family, const std::string& body)
{
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += char(0x20 | command);
    header += char(family);
    header += char(body.size() >> 8);
    header += char(body.size() & 0xFF);
    return header + body;
}

// The addresses and ports of a TCP over IPv4 body: source, destination, their ports.
std::string v4Body(std::array<unsigned char, 4> source, std::uint16_t sourcePort)
{
    std::string body(source.begin(), source.end());
    body += std::string("\xc0\x00\x02\x01", 4); // 192.0.2.1, the balancer's own address
    body += char(sourcePort >> 8);
    body += char(sourcePort & 0xFF);
    body += std::string("\x00\x50", 2);
    return body;
}

// One control message as the kernel lays it out: header, then `data`, padded to alignment.
std::string controlMessage(int level, int type, const void* data, std::size_t size)
{
    std::string bytes(CMSG_SPACE(size), '\0');
    cmsghdr header{};
    header.cmsg_len = CMSG_LEN(size);
    header.cmsg_level = level;
    header.cmsg_type = type;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + CMSG_LEN(0), data, size);
    return bytes;
}

std::string extendedError(int level, int type, std::uint8_t origin, std::uint8_t icmpType,
                          std::uint8_t icmpCode)
{
    sock_extended_err error{};
    error.ee_errno = EHOSTUNREACH;
    error.ee_origin = origin;
    error.ee_type = icmpType;
    error.ee_code = icmpCode;
    return controlMessage(level, type, &error, sizeof error);
}

std::optional<IcmpError> icmpIn(const std::string& control)
{
    return icmpErrorFromControl(reinterpret_cast<const unsigned char*>(control.data()),
                                control.size());
}

Verdict verdictOf(const std::string& reply, std::string_view listenerLog, ProbeProtocol protocol,
                  bool waitElapsed)
{
    return decideVerdict(latin1(reply), latin1(listenerLog), protocol, waitElapsed);
}

} // namespace

class TestServerParts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void acceptsCheckQueries_data();
    void acceptsCheckQueries();
    void refusesBadQueries_data();
    void refusesBadQueries();
    void tellsPublicAddresses_data();
    void tellsPublicAddresses();
    void groupsClients();
    void findsClientBehindTrustedProxies_data();
    void findsClientBehindTrustedProxies();
    void limitsChecksPerClient();
    void limitsRatePerClient();
    void limitsConnections();
    void capsTheServer();
    void limitsNetworks();
    void wideIpv6NetworkLeavesRoomForOthers();
    void readsCompleteHeads();
    void everyPrefixOfAGoodHeadNeedsMore();
    void refusesBadHeadsAtOnce_data();
    void refusesBadHeadsAtOnce();
    void headLimitIsOnTheWholeHead();
    void trickledHeadIsParsedOnlyWhereItCanChange_data();
    void trickledHeadIsParsedOnlyWhereItCanChange();
    void readsProxyHeaders_data();
    void readsProxyHeaders();
    void everyPrefixOfAProxyHeaderNeedsMore();
    void refusesBadProxyHeaders_data();
    void refusesBadProxyHeaders();
    void limitsHoldAcrossThreads();
    void readsCommandLine();
    void fitsTheDescriptorLimit();
    void metricsStayOffTheCheckListeners_data();
    void metricsStayOffTheCheckListeners();
    void histogramBucketsAreCumulative();
    void checkReplyGivesEngineVerdicts();
    void probeOfAnotherCheckDoesNotCount();
    void refusalCarriesItsReasonAsMessage();
    void jsonOnlyWhenTheClientAsksForIt_data();
    void jsonOnlyWhenTheClientAsksForIt();
    void jsonRepliesSayWhatThePageSays();
    void jsonStringsSurviveAnyBytes();
    void operatorMessageReachesTheProgram();
    void probeEndReachesTheProgram();
    void probeEndTellsResetFromIcmp();
    void readsIcmpErrorsFromControlData_data();
    void readsIcmpErrorsFromControlData();
    void controlDataCutShortHoldsNoError();
    void namesIcmpErrors_data();
    void namesIcmpErrors();
    void takesIcmpErrorFromTheSocketsQueue_data();
    void takesIcmpErrorFromTheSocketsQueue();
    void accessLogNeverBlocks();
};

void TestServerParts::acceptsCheckQueries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("tcp");
    QTest::newRow("as the program sends it")
        << QByteArray("port=4711&protocol=tcp&version=0") << 4711 << true;
    QTest::newRow("leading zeros")
        << QByteArray("port=00080&protocol=udp&version=0") << 80 << false;
    QTest::newRow("many leading zeros")
        << QByteArray("port=000000000000000000000000065535&protocol=tcp") << 65535 << true;
    QTest::newRow("protocol in any case") << QByteArray("port=1&protocol=UdP") << 1 << false;
    QTest::newRow("any order, unknown ignored")
        << QByteArray("x=1&protocol=TCP&&port=22") << 22 << true;
}

void TestServerParts::acceptsCheckQueries()
{
    QFETCH(QByteArray, query);
    QFETCH(int, port);
    QFETCH(bool, tcp);
    const auto parsed = parseCheckQuery(query.toStdString());
    const auto* check = std::get_if<CheckQuery>(&parsed);
    QVERIFY2(check, check ? "" : std::get<QueryError>(parsed).reason.c_str());
    QCOMPARE(int(check->port), port);
    QCOMPARE(check->protocol, tcp ? Protocol::Tcp : Protocol::Udp);
}

void TestServerParts::refusesBadQueries_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("reason");
    const QByteArray badPort = "The port must be a number from 1 to 65535.";
    QTest::newRow("port 0") << QByteArray("port=0&protocol=tcp") << badPort;
    QTest::newRow("port 00000") << QByteArray("port=00000&protocol=tcp") << badPort;
    QTest::newRow("port 65536") << QByteArray("port=65536&protocol=tcp") << badPort;
    QTest::newRow("letters") << QByteArray("port=80a&protocol=tcp") << badPort;
    QTest::newRow("30 digits") << QByteArray("port=123456789012345678901234567890&protocol=tcp")
                               << badPort;
    QTest::newRow("sign") << QByteArray("port=+80&protocol=tcp") << badPort;
    QTest::newRow("negative") << QByteArray("port=-5&protocol=tcp") << badPort;
    QTest::newRow("empty port") << QByteArray("port=&protocol=tcp") << badPort;
    QTest::newRow("encoded") << QByteArray("port=%38%30&protocol=tcp") << badPort;
    QTest::newRow("no port") << QByteArray("protocol=tcp")
                             << QByteArray("The request names no port.");
    QTest::newRow("no query") << QByteArray("") << QByteArray("The request names no port.");
    QTest::newRow("no protocol") << QByteArray("port=80")
                                 << QByteArray("The request names no protocol.");
    QTest::newRow("bad protocol") << QByteArray("port=80&protocol=icmp")
                                  << QByteArray("The protocol must be tcp or udp.");
    QTest::newRow("protocol prefix")
        << QByteArray("port=80&protocol=tcpx") << QByteArray("The protocol must be tcp or udp.");
    QTest::newRow("other version")
        << QByteArray("port=80&protocol=tcp&version=1")
        << QByteArray("This server speaks version 0 of the check protocol.");
    QTest::newRow("port twice") << QByteArray("port=80&protocol=tcp&port=81")
                                << QByteArray("The parameter \"port\" is given twice.");
}

void TestServerParts::refusesBadQueries()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, reason);
    const auto parsed = parseCheckQuery(query.toStdString());
    const auto* error = std::get_if<QueryError>(&parsed);
    QVERIFY(error);
    QCOMPARE(QByteArray::fromStdString(error->reason), reason);
}

void TestServerParts::tellsPublicAddresses_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isPublic");
    for (const char* text :
         {"8.8.8.8", "1.1.1.1", "172.15.255.255", "172.32.0.1", "100.63.255.255", "100.128.0.1",
          "198.17.255.255", "198.20.0.1", "223.255.255.254", "2a00:1450:4001::1", "2001:4860::8888",
          "::ffff:8.8.8.8", "64:ff9b::808:808", "2001:db9::1", "2002:808:808::1",
          // Anycast and identifier blocks the registry calls globally reachable.
          "192.0.0.9", "192.0.0.10", "192.31.196.1", "2001:1::1", "2001:3::1", "2001:20::1"})
        QTest::newRow(text) << QByteArray(text) << true;
    for (const char* text : {"0.0.0.0",
                             "0.1.2.3",
                             "10.0.0.1",
                             "100.64.0.1",
                             "100.127.255.255",
                             "127.0.0.1",
                             "127.255.255.254",
                             "169.254.1.1",
                             "172.16.0.1",
                             "172.31.255.255",
                             "192.0.0.8",
                             "192.0.2.5",
                             "192.168.77.10",
                             "198.18.0.1",
                             "198.19.255.255",
                             "198.51.100.1",
                             "203.0.113.2",
                             "224.0.0.1",
                             "239.255.255.250",
                             "240.0.0.1",
                             "255.255.255.255",
                             "::",
                             "::1",
                             "::ffff:10.0.0.1",
                             "::ffff:127.0.0.1",
                             "64:ff9b::a00:1",
                             "fe80::1",
                             "fc00::1",
                             "fd12:3456::1",
                             "ff02::1",
                             "2001:db8::1",
                             "2001::1",
                             "2001:2::1",
                             "3fff::1",
                             "100::1",
                             "::10.0.0.1",
                             "192.0.0.170",
                             "192.88.99.1",
                             "64:ff9b:1::808:808",
                             "100:0:0:1::1",
                             "2001:1::4",
                             "2001:10::1",
                             "5f00::1",
                             "fec0::1",
                             "2002:c000:208::1"})
        QTest::newRow(text) << QByteArray(text) << false;
}

void TestServerParts::tellsPublicAddresses()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isPublic);
    QCOMPARE(isPublicAddress(address(text.constData())), isPublic);
}

void TestServerParts::groupsClients()
{
    const auto client = [](const char* text) { return clientGroup(address(text)).client; };
    const auto network = [](const char* text) { return clientGroup(address(text)).networks[0]; };
    QCOMPARE(client("2001:4860:1:2:aaaa::1"), client("2001:4860:1:2:bbbb::9"));
    QVERIFY(client("2001:4860:1:2::1") != client("2001:4860:1:3::1"));
    QCOMPARE(network("2001:4860:1:2::1"), network("2001:4860:1:ff03::1"));
    QVERIFY(network("2001:4860:1::1") != network("2001:4860:2::1"));
    QCOMPARE(client("::ffff:8.8.8.8"), client("8.8.8.8"));
    QVERIFY(client("8.8.8.8") != client("8.8.8.9"));
    QVERIFY(network("8.8.8.8").empty());
    // Every IPv6 client also counts against its /40 and /32.
    const auto wider = [](const char* text, std::size_t level) {
        return clientGroup(address(text)).networks[level];
    };
    QCOMPARE(wider("2001:4860:1:2::1", 1), wider("2001:4860:ff:3::1", 1));
    QVERIFY(wider("2001:4860:1:2::1", 1) != wider("2001:4860:101:2::1", 1));
    QCOMPARE(wider("2001:4860:1:2::1", 2), wider("2001:4860:ff01:3::1", 2));
    QVERIFY(wider("2001:4860:1:2::1", 2) != wider("2001:4861:1:2::1", 2));
    QVERIFY(wider("8.8.8.8", 1).empty() && wider("8.8.8.8", 2).empty());
    // Addresses that carry an IPv4 address count as that address.
    QCOMPARE(client("64:ff9b::808:808"), client("8.8.8.8"));
    QCOMPARE(client("2002:808:808::1"), client("8.8.8.8"));
    // An IPv4 address never shares a group with an IPv6 network whose first bytes look alike.
    QVERIFY(client("8.8.8.8") != client("808:808::"));
    QCOMPARE(addressText(address("::ffff:203.0.113.9")), std::string("203.0.113.9"));
    // A zone means nothing outside this host; it must not reach the page or the ping's matching.
    boost::asio::ip::address_v6 zoned = address("2001:4860::1").to_v6();
    zoned.scope_id(3);
    QCOMPARE(addressText(unmapped(Address(zoned))), std::string("2001:4860::1"));
    QVERIFY(unmapped(Address(zoned)) == address("2001:4860::1"));
}

void TestServerParts::findsClientBehindTrustedProxies_data()
{
    QTest::addColumn<QByteArray>("peer");
    QTest::addColumn<QByteArrayList>("headers");
    QTest::addColumn<QByteArray>("client"); // empty: the request is refused
    QTest::newRow("untrusted peer: header ignored")
        << QByteArray("198.51.100.50") << QByteArrayList{"8.8.8.8"} << QByteArray("198.51.100.50");
    QTest::newRow("trusted peer, no header: names no client")
        << QByteArray("10.0.0.1") << QByteArrayList{} << QByteArray("");
    QTest::newRow("one hop") << QByteArray("10.0.0.1") << QByteArrayList{"8.8.8.8"}
                             << QByteArray("8.8.8.8");
    QTest::newRow("rightmost untrusted counts")
        << QByteArray("10.0.0.1") << QByteArrayList{"1.2.3.4, 8.8.8.8"} << QByteArray("8.8.8.8");
    QTest::newRow("trusted hops skipped")
        << QByteArray("10.0.0.1") << QByteArrayList{"1.2.3.4, 8.8.8.8, 10.0.0.7"}
        << QByteArray("8.8.8.8");
    QTest::newRow("headers joined in order")
        << QByteArray("10.0.0.1") << QByteArrayList{"1.2.3.4", "9.9.9.9,10.0.0.2"}
        << QByteArray("9.9.9.9");
    QTest::newRow("only proxies: names no client")
        << QByteArray("10.0.0.1") << QByteArrayList{"10.0.0.3, 10.0.0.2"} << QByteArray("");
    QTest::newRow("bracketed mapped")
        << QByteArray("10.0.0.1") << QByteArrayList{"[::ffff:8.8.8.8]:80"} << QByteArray("8.8.8.8");
    QTest::newRow("forged left part unread")
        << QByteArray("10.0.0.1") << QByteArrayList{"<script>, 8.8.8.8"} << QByteArray("8.8.8.8");
    QTest::newRow("ports and brackets")
        << QByteArray("10.0.0.1") << QByteArrayList{"[2001:4860::1]:443"}
        << QByteArray("2001:4860::1");
    QTest::newRow("v4 with port") << QByteArray("10.0.0.1") << QByteArrayList{"8.8.4.4:8080"}
                                  << QByteArray("8.8.4.4");
    QTest::newRow("mapped peer is trusted")
        << QByteArray("::ffff:10.0.0.1") << QByteArrayList{"8.8.8.8"} << QByteArray("8.8.8.8");
    QTest::newRow("garbage where the client should be")
        << QByteArray("10.0.0.1") << QByteArrayList{"8.8.8.8, nonsense"} << QByteArray("");
    QTest::newRow("empty element")
        << QByteArray("10.0.0.1") << QByteArrayList{"8.8.8.8,"} << QByteArray("");
    QTest::newRow("unbracketed v6 with port")
        << QByteArray("10.0.0.1") << QByteArrayList{"2001:4860::1]:80"} << QByteArray("");
}

void TestServerParts::findsClientBehindTrustedProxies()
{
    QFETCH(QByteArray, peer);
    QFETCH(QByteArrayList, headers);
    QFETCH(QByteArray, client);
    const std::vector<AddressPrefix> trusted{*AddressPrefix::parse("10.0.0.0/8")};
    std::vector<std::string> storage;
    for (const QByteArray& header : headers)
        storage.push_back(header.toStdString());
    const std::vector<std::string_view> values(storage.begin(), storage.end());
    const auto found = effectiveClient(address(peer.constData()), values, trusted);
    if (client.isEmpty()) {
        QVERIFY(!found);
        return;
    }
    QVERIFY(found);
    QCOMPARE(QByteArray::fromStdString(addressText(*found)), client);
}

void TestServerParts::limitsChecksPerClient()
{
    ClientTable table(Limits{});
    const auto now = Clock::now();
    QCOMPARE(table.beginCheck(group("a"), now), Refusal::None);
    QCOMPARE(table.beginCheck(group("a"), now), Refusal::ClientBusy);
    QCOMPARE(table.beginCheck(group("b"), now), Refusal::None);
    table.endCheck(group("a"));
    QCOMPARE(table.beginCheck(group("a"), now), Refusal::None);
    QCOMPARE(table.checksInFlight(), std::size_t(2));
}

void TestServerParts::limitsRatePerClient()
{
    Limits limits;
    limits.clientChecks = 0;
    ClientTable table(limits);
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(table.beginCheck(group("a"), start + i * 1s), Refusal::None);
        table.endCheck(group("a"));
    }
    QCOMPARE(table.beginCheck(group("a"), start + 10s), Refusal::ClientRate);
    QCOMPARE(table.beginCheck(group("b"), start + 10s), Refusal::None); // others are not held up
    QCOMPARE(table.beginCheck(group("a"), start + 59s), Refusal::ClientRate);
    // A minute after the first check, one more is allowed, and then again a second later.
    QCOMPARE(table.beginCheck(group("a"), start + 60s), Refusal::None);
    table.endCheck(group("a"));
    QCOMPARE(table.beginCheck(group("a"), start + 60s + 500ms), Refusal::ClientRate);
    QCOMPARE(table.beginCheck(group("a"), start + 61s), Refusal::None);
    table.endCheck(group("a"));
    // A client that has been quiet for a minute is forgotten, and starts afresh.
    table.endCheck(group("b"));
    table.sweep(start + 130s);
    QCOMPARE(table.clients(), std::size_t(0));
}

void TestServerParts::limitsConnections()
{
    Limits limits;
    limits.clientConnections = 2;
    limits.maxConnections = 3;
    ClientTable table(limits);
    QVERIFY(table.openConnection(group("a"), false));
    QVERIFY(table.openConnection(group("a"), false));
    QVERIFY(!table.openConnection(group("a"), false));
    QVERIFY(table.openConnection(group("proxy"), true)); // a proxy carries many clients
    QVERIFY(!table.openConnection(group("b"), false));   // the server is full
    table.closeConnection(group("a"), false);
    QVERIFY(table.openConnection(group("b"), false));
    table.closeConnection(group("a"), false);
    table.closeConnection(group("b"), false);
    table.closeConnection(group("proxy"), true);
    QCOMPARE(table.connections(), std::size_t(0));
    QCOMPARE(table.clients(), std::size_t(0));
}

void TestServerParts::capsTheServer()
{
    Limits limits;
    limits.maxChecks = 2;
    limits.maxConnections = 2;
    limits.maxClients = 3; // raised to what two connections may hold: 24
    ClientTable table(limits);
    const auto now = Clock::now();
    QCOMPARE(table.beginCheck(group("a"), now), Refusal::None);
    QCOMPARE(table.beginCheck(group("b"), now), Refusal::None);
    QCOMPARE(table.beginCheck(group("c"), now), Refusal::ServerBusy);
    table.endCheck(group("a"));
    QCOMPARE(table.beginCheck(group("c"), now), Refusal::None);
    table.endCheck(group("b"));
    table.endCheck(group("c"));

    // A flood of new clients fills the table with this minute's history. New clients are still
    // served (the oldest history gives way), and a check in flight is never forgotten.
    QCOMPARE(table.beginCheck(group("busy"), now), Refusal::None);
    for (int i = 0; i < 100; ++i) {
        const std::string key = "new" + std::to_string(i);
        QCOMPARE(table.beginCheck(ClientGroup{key, {}}, now), Refusal::None);
        table.endCheck(ClientGroup{key, {}});
    }
    QVERIFY(table.clients() <= 24);
    QCOMPARE(table.beginCheck(group("busy"), now), Refusal::ClientBusy);
    table.endCheck(group("busy"));
    table.sweep(now + 61s);
    QCOMPARE(table.clients(), std::size_t(0));
}

void TestServerParts::limitsNetworks()
{
    Limits limits;
    limits.clientRate = 0;
    ClientTable table(limits);
    const auto now = Clock::now();
    // An IPv6 /48 gets sixteen clients' allowance, however many /64s it spreads over.
    for (unsigned i = 0; i < kNetworkShare; ++i)
        QCOMPARE(table.beginCheck(ClientGroup{"c" + std::to_string(i), {"N1"}}, now),
                 Refusal::None);
    QCOMPARE(table.beginCheck(group("c99", "N1"), now), Refusal::ClientBusy);
    QCOMPARE(table.beginCheck(group("d", "N2"), now), Refusal::None);
    table.endCheck(group("c0", "N1"));
    QCOMPARE(table.beginCheck(group("c99", "N1"), now), Refusal::None);

    for (unsigned i = 0; i < kNetworkShare * limits.clientConnections; ++i)
        QVERIFY(table.openConnection(ClientGroup{"c" + std::to_string(i / 4), {"N3"}}, false));
    QVERIFY(!table.openConnection(group("c99", "N3"), false));
    QVERIFY(table.openConnection(group("c99", "N4"), false));
    table.closeConnection(group("c0", "N3"), false);
    QVERIFY(table.openConnection(group("c99", "N3"), false));
}

// One holder of a /32 (or a /40) may spread over 256 or 65,536 /48s, each with its own budget:
// together they must still leave the server's slots to everyone else.
void TestServerParts::wideIpv6NetworkLeavesRoomForOthers()
{
    Limits limits;
    limits.clientRate = 0;
    limits.maxConnections = 9968;
    limits.maxChecks = 1000;
    ClientTable table(limits);
    const auto now = Clock::now();
    // Source addresses 2a00:1450:XXYY:ZZ00::1: 256 /48s in one /40, 16 /40s in one /32, and 4
    // /64s in each /48.
    const auto fromWideNetwork = [](unsigned index) {
        const unsigned net48 = index / 4 % 4096;
        const unsigned net64 = index % 4;
        char text[64];
        std::snprintf(text, sizeof text, "2a00:1450:%x:%x::1", net48, net64 << 8);
        return clientGroup(address(text));
    };
    std::size_t connections = 0;
    for (unsigned i = 0; i < 4096 * 4 && connections < limits.maxConnections; ++i) {
        for (unsigned c = 0; c < limits.clientConnections; ++c)
            connections += table.openConnection(fromWideNetwork(i), false) ? 1 : 0;
    }
    QVERIFY2(connections <= limits.maxConnections / 16, std::to_string(connections).c_str());
    QVERIFY(connections >= limits.clientConnections);
    QVERIFY(table.openConnection(clientGroup(address("8.8.8.8")), false));
    QVERIFY(table.openConnection(clientGroup(address("2a01:4f8::1")), false));

    std::size_t checks = 0;
    for (unsigned i = 0; i < 4096 * 4 && checks < limits.maxChecks; ++i)
        checks += table.beginCheck(fromWideNetwork(i), now) == Refusal::None ? 1 : 0;
    QVERIFY2(checks <= limits.maxChecks / 16, std::to_string(checks).c_str());
    QVERIFY(checks >= 1);
    QCOMPARE(table.beginCheck(clientGroup(address("8.8.8.8")), now), Refusal::None);
    QCOMPARE(table.beginCheck(clientGroup(address("2a01:4f8::1")), now), Refusal::None);

    // A single /40 gets less than its /32.
    ClientTable narrow(limits);
    std::size_t inOne40 = 0;
    for (unsigned i = 0; i < 256 * 4; ++i) {
        for (unsigned c = 0; c < limits.clientConnections; ++c)
            inOne40 += narrow.openConnection(fromWideNetwork(i), false) ? 1 : 0;
    }
    QVERIFY2(inOne40 < connections, std::to_string(inOne40).c_str());
    QVERIFY(inOne40 >= kNetworkShare * limits.clientConnections);
}

void TestServerParts::readsCompleteHeads()
{
    const std::string text = "GET /portcheck3.cgi?port=80&protocol=tcp HTTP/1.1\r\n"
                             "hOsT:  checker.example.net \r\n"
                             "X-Forwarded-For: 192.0.2.1\r\n"
                             "Content-Length: 000\r\n"
                             "User-Agent: caf\xc3\xa9\r\n"
                             "x-forwarded-for:8.8.8.8, 9.9.9.9\r\n"
                             "\r\n"
                             "after the head";
    const HeadParse parse = parseRequestHead(text);
    QCOMPARE(parse.status, HeadStatus::Complete);
    const RequestHead& head = parse.head;
    QCOMPARE(head.method, std::string("GET"));
    QCOMPARE(head.target, std::string("/portcheck3.cgi?port=80&protocol=tcp"));
    QCOMPARE(head.httpMinor, 1u);
    QCOMPARE(head.host, std::optional<std::string>("checker.example.net"));
    QCOMPARE(head.forwardedFor.size(), std::size_t(2));
    QCOMPARE(head.forwardedFor[0], std::string("192.0.2.1"));
    QCOMPARE(head.forwardedFor[1], std::string("8.8.8.8, 9.9.9.9"));
    QVERIFY(!head.hasBody);
    QCOMPARE(head.size, text.size() - std::string_view("after the head").size());

    const HeadParse old = parseRequestHead("POST /x HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
    QCOMPARE(old.status, HeadStatus::Complete);
    QCOMPARE(old.head.method, std::string("POST"));
    QCOMPARE(old.head.httpMinor, 0u);
    QVERIFY(!old.head.host);
    QVERIFY(old.head.hasBody);
    QVERIFY(parseRequestHead("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").head.hasBody);
    // HTTP/1.0 and HTTP/1.1 are read; any other version is refused (see refusesBadHeadsAtOnce).
    QCOMPARE(parseRequestHead("GET / HTTP/1.0\r\n\r\n").head.httpMinor, 0u);
}

void TestServerParts::everyPrefixOfAGoodHeadNeedsMore()
{
    const std::string text = "GET /portcheck3.cgi?port=80&protocol=tcp HTTP/1.0\r\nHost: a\r\n"
                             "X-Forwarded-For: 8.8.8.8\r\n\r\n";
    for (std::size_t length = 0; length < text.size(); ++length) {
        const HeadParse parse = parseRequestHead(std::string_view(text).substr(0, length));
        QVERIFY2(parse.status == HeadStatus::NeedMore, std::to_string(length).c_str());
    }
    QCOMPARE(parseRequestHead(text).status, HeadStatus::Complete);
}

void TestServerParts::refusesBadHeadsAtOnce_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::newRow("no version") << QByteArray("GET / \r\n\r\n");
    QTest::newRow("no version, no space") << QByteArray("GET /\r\n\r\n");
    QTest::newRow("no target") << QByteArray("GET\r\n\r\n");
    QTest::newRow("version unfinished line") << QByteArray("GET / \r\n");
    QTest::newRow("short version") << QByteArray("GET / HTTP/1\r\n\r\n");
    QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\n\r\n");
    QTest::newRow("HTTP/1.10") << QByteArray("GET / HTTP/1.10\r\n\r\n");
    QTest::newRow("HTTP/1.9") << QByteArray("GET / HTTP/1.9\r\n\r\n");
    QTest::newRow("lower-case version") << QByteArray("GET / http/1.0\r\n\r\n");
    QTest::newRow("two spaces") << QByteArray("GET  / HTTP/1.0\r\n\r\n");
    QTest::newRow("space after version") << QByteArray("GET / HTTP/1.0 \r\n\r\n");
    QTest::newRow("empty first line") << QByteArray("\r\nGET / HTTP/1.0\r\n\r\n");
    QTest::newRow("bare LF") << QByteArray("GET / HTTP/1.0\n\n");
    QTest::newRow("bare LF after fields") << QByteArray("GET / HTTP/1.0\r\nHost: a\n");
    QTest::newRow("bare CR") << QByteArray("GET / HTTP/1.0\rHost: a");
    QTest::newRow("TLS hello") << QByteArray("\x16\x03\x01\x02\x00\x01", 6);
    QTest::newRow("control in method") << QByteArray("G\x01T");
    QTest::newRow("control in target") << QByteArray("GET /a\x7f");
    QTest::newRow("space before colon") << QByteArray("GET / HTTP/1.0\r\nHost : a\r\n\r\n");
    QTest::newRow("folded line") << QByteArray("GET / HTTP/1.0\r\nA: b\r\n c\r\n\r\n");
    QTest::newRow("no colon") << QByteArray("GET / HTTP/1.0\r\nHost\r\n\r\n");
    QTest::newRow("empty name") << QByteArray("GET / HTTP/1.0\r\n: a\r\n\r\n");
    QTest::newRow("NUL in value") << QByteArray("GET / HTTP/1.0\r\nA: b\0c\r\n\r\n", 26);
    QTest::newRow("CR in value") << QByteArray("GET / HTTP/1.0\r\nA: b\rc\r\n\r\n");
    QTest::newRow("length not a number")
        << QByteArray("GET / HTTP/1.0\r\nContent-Length: 1a\r\n\r\n");
    QTest::newRow("negative length") << QByteArray("GET / HTTP/1.0\r\nContent-Length: -1\r\n\r\n");
    QTest::newRow("folded line, unfinished") << QByteArray("GET / HTTP/1.0\r\nA: b\r\n\tc");
    QTest::newRow("lengths disagree")
        << QByteArray("GET / HTTP/1.0\r\nContent-Length: 0\r\nContent-Length: 3\r\n\r\n");
    QTest::newRow("two hosts") << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n");
}

void TestServerParts::refusesBadHeadsAtOnce()
{
    QFETCH(QByteArray, head);
    const HeadParse parse = parseRequestHead(std::string_view(head.constData(), head.size()));
    QCOMPARE(parse.status, HeadStatus::BadRequest);
    QVERIFY(!parse.problem.empty());
}

void TestServerParts::headLimitIsOnTheWholeHead()
{
    // A head of exactly the limit is read; one byte more is too large, however it is laid out.
    const std::string line = "GET /portcheck3.cgi?port=80&protocol=tcp HTTP/1.0\r\n";
    std::string fields;
    while (line.size() + fields.size() + 2 + 9 <= kHeadLimit)
        fields += "X-" + std::to_string(fields.size() % 10) + ": abc\r\n";
    const std::string pad(kHeadLimit - line.size() - fields.size() - 2 - 5, 'p');
    const std::string exact = line + fields + "P: " + pad + "\r\n\r\n";
    QCOMPARE(exact.size(), kHeadLimit);
    QCOMPARE(parseRequestHead(exact).status, HeadStatus::Complete);
    const std::string over = line + fields + "P: " + pad + "q\r\n\r\n";
    QCOMPARE(parseRequestHead(over).status, HeadStatus::TooLarge);

    // 1,000 short fields: 8.9 KB. Every prefix past the limit is too large.
    std::string many = line;
    for (int i = 0; i < 1000; ++i)
        many += "X-" + std::to_string(i % 10) + ": a\r\n";
    many += "\r\n";
    QCOMPARE(parseRequestHead(many).status, HeadStatus::TooLarge);
    QCOMPARE(parseRequestHead(std::string_view(many).substr(0, kHeadLimit)).status,
             HeadStatus::TooLarge);
    QCOMPARE(parseRequestHead(std::string_view(many).substr(0, kHeadLimit - 1)).status,
             HeadStatus::NeedMore);
    // One long line too.
    QCOMPARE(parseRequestHead("GET /" + std::string(3000, 'a')).status, HeadStatus::TooLarge);
}

void TestServerParts::trickledHeadIsParsedOnlyWhereItCanChange_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("expected"); // a HeadStatus
    QByteArray good = "GET /portcheck3.cgi?port=80&protocol=tcp HTTP/1.1\r\nHost: a\r\n";
    while (good.size() < 1900)
        good += "X-Pad: " + QByteArray(40, 'p') + "\r\n";
    QTest::newRow("good head") << good + "\r\n" << int(HeadStatus::Complete);
    QTest::newRow("too long") << good + QByteArray(400, 'q') << int(HeadStatus::TooLarge);
    QTest::newRow("one long line") << "GET /" + QByteArray(3000, 'a') << int(HeadStatus::TooLarge);
    QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01\x02\x00\x01") + QByteArray(500, 'x')
                              << int(HeadStatus::BadRequest);
    QTest::newRow("bad request line")
        << "GET /" + QByteArray(100, 'a') + " HTTP/1.0\n\n" + QByteArray(500, 'x')
        << int(HeadStatus::BadRequest);
    QTest::newRow("bad field line") << good + "Bad line\r\n\r\n" << int(HeadStatus::BadRequest);
}

// A head that comes a byte at a time, as both listeners read it: parsed at a bounded number of
// bytes (not at each), and never later than where the parser's answer can change.
void TestServerParts::trickledHeadIsParsedOnlyWhereItCanChange()
{
    QFETCH(QByteArray, text);
    QFETCH(int, expected);
    const auto status = HeadStatus(expected);
    std::string received;
    std::size_t parses = 0;
    HeadStatus seen = HeadStatus::NeedMore;
    for (const char byte : text) {
        const std::size_t before = received.size();
        received.push_back(byte);
        if (!headWorthParsing(received, before))
            continue;
        ++parses;
        seen = parseRequestHead(received).status;
        if (seen != HeadStatus::NeedMore || received.size() == kHeadLimit)
            break;
    }
    QCOMPARE(seen, status);
    // What the whole input says is what the reader saw, at the first byte that decided it.
    const HeadParse whole = parseRequestHead(received);
    QCOMPARE(whole.status, status);
    // A wrong field line is found when the head ends; anything else at the byte that decides it.
    if (QByteArray(QTest::currentDataTag()) != "bad field line")
        QCOMPARE(parseRequestHead(std::string_view(received).substr(0, received.size() - 1)).status,
                 HeadStatus::NeedMore);
    QVERIFY2(parses <= 40, std::to_string(parses).c_str());
}

void TestServerParts::readsProxyHeaders_data()
{
    QTest::addColumn<std::string>("header");
    QTest::addColumn<QString>("source"); // empty: the connection's own peer stands
    QTest::addColumn<int>("sourcePort");

    QTest::newRow("v1 tcp4") << std::string("PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\r\n")
                             << u"203.0.113.7"_s << 56324;
    QTest::newRow("v1 tcp6") << std::string("PROXY TCP6 2001:db8::7 2001:db8::1 65535 80\r\n")
                             << u"2001:db8::7"_s << 65535;
    QTest::newRow("v1 tcp6 mapped")
        << std::string("PROXY TCP6 ::ffff:203.0.113.7 ::ffff:192.0.2.1 0 80\r\n")
        << u"203.0.113.7"_s << 0;
    QTest::newRow("v1 unknown") << std::string("PROXY UNKNOWN\r\n") << QString() << 0;
    QTest::newRow("v1 unknown with addresses")
        << std::string("PROXY UNKNOWN ffff:f::1 ffff:f::2 1 2\r\n") << QString() << 0;
    const std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
    QTest::newRow("v1 longest") << "PROXY TCP6 " + longest + " " + longest + " 65535 65535\r\n"
                                << QString::fromStdString(longest) << 65535;

    QTest::newRow("v2 tcp4") << proxyV2(1, 0x11, v4Body({203, 0, 113, 7}, 56324))
                             << u"203.0.113.7"_s << 56324;
    std::string v6(16, '\0');
    v6[0] = '\x20';
    v6[1] = '\x01';
    v6[2] = '\x0d';
    v6[3] = '\xb8';
    v6[15] = '\x07';
    QTest::newRow("v2 tcp6") << proxyV2(1, 0x21,
                                        v6 + std::string(16, '\1') +
                                            std::string("\x01\x02\x00\x50", 4))
                             << u"2001:db8::7"_s << 258;
    // TLVs after the addresses belong to the header too.
    QTest::newRow("v2 tcp4 with tlvs")
        << proxyV2(1, 0x11,
                   v4Body({198, 51, 100, 2}, 1) + std::string("\x04\x00\x03"
                                                              "abc",
                                                              6))
        << u"198.51.100.2"_s << 1;
    // The balancer's health check: no client, whatever the addresses say.
    QTest::newRow("v2 local") << proxyV2(0, 0x11, v4Body({203, 0, 113, 7}, 1)) << QString() << 0;
    QTest::newRow("v2 local empty") << proxyV2(0, 0x00, {}) << QString() << 0;
    QTest::newRow("v2 unspec") << proxyV2(1, 0x00, {}) << QString() << 0;
    QTest::newRow("v2 unix") << proxyV2(1, 0x31, std::string(216, '\0')) << QString() << 0;
}

void TestServerParts::readsProxyHeaders()
{
    QFETCH(std::string, header);
    QFETCH(QString, source);
    QFETCH(int, sourcePort);
    // The request that follows is no part of the header.
    const std::string received = header + "GET / HTTP/1.0\r\n\r\n";
    const ProxyHeader parsed = parseProxyHeader(received);
    QVERIFY2(parsed.status == ProxyStatus::Complete, parsed.reason.c_str());
    QCOMPARE(parsed.size, header.size());
    if (source.isEmpty()) {
        QVERIFY(!parsed.source);
    } else {
        QVERIFY(parsed.source);
        QCOMPARE(QString::fromStdString(addressText(*parsed.source)), source);
        QVERIFY(parsed.source->is_v4() == !source.contains(u':'));
        QCOMPARE(int(parsed.sourcePort), sourcePort);
    }
}

void TestServerParts::everyPrefixOfAProxyHeaderNeedsMore()
{
    for (const std::string& header : {std::string("PROXY TCP4 203.0.113.7 192.0.2.1 56324 80\r\n"),
                                      proxyV2(1, 0x11, v4Body({203, 0, 113, 7}, 56324)),
                                      proxyV2(1, 0x31, std::string(216, '\0'))}) {
        for (std::size_t length = 0; length < header.size(); ++length) {
            const ProxyHeader parsed = parseProxyHeader(header.substr(0, length));
            QVERIFY2(parsed.status == ProxyStatus::NeedMore,
                     qPrintable(QString::number(length) + u" bytes: "_s +
                                QString::fromStdString(parsed.reason)));
        }
        QCOMPARE(parseProxyHeader(header).status, ProxyStatus::Complete);
    }
}

void TestServerParts::refusesBadProxyHeaders_data()
{
    QTest::addColumn<std::string>("received");
    QTest::newRow("plain http") << std::string("GET / HTTP/1.0\r\n\r\n");
    QTest::newRow("lower case") << std::string("proxy TCP4 1.2.3.4 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 no family") << std::string("PROXY \r\n");
    QTest::newRow("v1 udp") << std::string("PROXY UDP4 1.2.3.4 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 bare newline") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5 1 2\n");
    QTest::newRow("v1 two spaces") << std::string("PROXY TCP4  1.2.3.4 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 trailing space") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5 1 2 \r\n");
    QTest::newRow("v1 no ports") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5\r\n");
    QTest::newRow("v1 v6 as tcp4") << std::string("PROXY TCP4 ::1 ::2 1 2\r\n");
    QTest::newRow("v1 v4 as tcp6") << std::string("PROXY TCP6 1.2.3.4 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 zone") << std::string("PROXY TCP6 fe80::1%eth0 fe80::2 1 2\r\n");
    QTest::newRow("v1 short quad") << std::string("PROXY TCP4 1.2.3 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 leading zero address") << std::string("PROXY TCP4 1.2.3.04 1.2.3.5 1 2\r\n");
    QTest::newRow("v1 port over") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5 65536 2\r\n");
    QTest::newRow("v1 port zero-padded") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5 01 2\r\n");
    QTest::newRow("v1 port sign") << std::string("PROXY TCP4 1.2.3.4 1.2.3.5 +1 2\r\n");
    QTest::newRow("v1 no end") << "PROXY UNKNOWN " + std::string(93, 'x');
    QTest::newRow("v1 ends too late") << "PROXY UNKNOWN " + std::string(93, 'x') + "\r\n";
    QTest::newRow("v2 version 1") << [] {
        std::string header = proxyV2(1, 0x11, v4Body({203, 0, 113, 7}, 1));
        header[12] = '\x11';
        return header;
    }();
    QTest::newRow("v2 command 2") << proxyV2(2, 0x11, v4Body({203, 0, 113, 7}, 1));
    QTest::newRow("v2 udp") << proxyV2(1, 0x12, v4Body({203, 0, 113, 7}, 1));
    QTest::newRow("v2 family 4") << proxyV2(1, 0x41, v4Body({203, 0, 113, 7}, 1));
    QTest::newRow("v2 tcp4 short") << proxyV2(1, 0x11, std::string(11, '\1'));
    QTest::newRow("v2 tcp6 short") << proxyV2(1, 0x21, std::string(35, '\1'));
    QTest::newRow("v2 unix short") << proxyV2(1, 0x31, std::string(215, '\1'));
    // Refused as soon as the length says so, without waiting for the rest.
    QTest::newRow("v2 too long")
        << proxyV2(1, 0x11, std::string(kProxyHeaderLimit, '\1')).substr(0, 16);
    QTest::newRow("v2 bad signature") << std::string("\r\n\r\n\0\r\nQUIT\r", 12);
}

void TestServerParts::refusesBadProxyHeaders()
{
    QFETCH(std::string, received);
    const ProxyHeader parsed = parseProxyHeader(received);
    QCOMPARE(parsed.status, ProxyStatus::Invalid);
    QVERIFY(!parsed.reason.empty());
    QVERIFY(!parsed.source);
}

void TestServerParts::limitsHoldAcrossThreads()
{
    // Several event loops admit checks of one client at the same moment: the table lets through
    // exactly what one loop alone would.
    constexpr int kThreads = 8;
    constexpr int kTries = 200;
    const auto race = [](ClientTable& table, bool endEach) {
        std::atomic<int> admitted = 0;
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                const ClientGroup client = clientGroup(address("2001:db8:1:2::9"));
                start.arrive_and_wait();
                for (int i = 0; i < kTries; ++i) {
                    if (table.beginCheck(client, Clock::now()) != Refusal::None)
                        continue;
                    ++admitted;
                    if (endEach)
                        table.endCheck(client);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return admitted.load();
    };

    ClientTable busy(Limits{});
    QCOMPARE(race(busy, false), 1); // one in flight
    QCOMPARE(busy.checksInFlight(), std::size_t(1));

    Limits rateOnly;
    rateOnly.clientChecks = 0;
    ClientTable rate(rateOnly);
    QCOMPARE(race(rate, true), 10); // ten a minute
    QCOMPARE(rate.checksInFlight(), std::size_t(0));
    // Connections too: each thread opens and closes its own, the count ends where it began.
    Limits connectionLimits;
    connectionLimits.clientConnections = 3;
    ClientTable connections(connectionLimits);
    std::latch start(kThreads);
    std::atomic<int> peak = 0;
    std::atomic<int> open = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            const ClientGroup client = clientGroup(address("203.0.113.9"));
            start.arrive_and_wait();
            for (int i = 0; i < kTries; ++i) {
                if (!connections.openConnection(client, false))
                    continue;
                const int now = ++open;
                for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);)
                    ;
                --open;
                connections.closeConnection(client, false);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QVERIFY(peak.load() >= 1 && peak.load() <= 3);
    QCOMPARE(connections.connections(), std::size_t(0));
    QCOMPARE(connections.clients(), std::size_t(0));
}

void TestServerParts::readsCommandLine()
{
    const auto parse = [](std::initializer_list<std::string_view> arguments) {
        return parseCommandLine(std::vector<std::string_view>(arguments));
    };
    const CommandLine good = parse({"--listen", "127.0.0.1:0", "--listen=[::1]:8080", "--listen",
                                    "*:80", "--allow-private", "--trusted-proxy", "10.0.0.0/8",
                                    "--client-rate", "0", "--connect-timeout", "1.5", "--ping",
                                    "off", "--message", "Maintenance at 18:00 UTC & later"});
    QVERIFY2(good.error.empty(), good.error.c_str());
    QCOMPARE(good.config.listen.size(), std::size_t(3));
    QCOMPARE(good.config.listen[1].endpoint.port(), 8080);
    QVERIFY(good.config.listen[1].endpoint.address().is_v6());
    QVERIFY(!good.config.listen[1].everyAddress);
    QVERIFY(good.config.listen[2].everyAddress);
    QVERIFY(good.config.allowPrivate);
    QCOMPARE(good.config.limits.clientRate, 0u);
    QCOMPARE(good.config.connectTimeout, std::chrono::milliseconds(1500));
    QCOMPARE(good.config.ping, PingMode::Off);
    QCOMPARE(good.config.threads, 0u); // one loop per core, decided at start
    QVERIFY(std::none_of(good.config.listen.begin(), good.config.listen.end(),
                         [](const ListenAddress& listen) { return listen.proxyProtocol; }));
    QVERIFY(usableCores() >= 1);

    const CommandLine balanced = parse({"--listen", "[::]:80", "--listen-proxy", "127.0.0.1:8081",
                                        "--threads", "4", "--trusted-proxy", "127.0.0.1"});
    QVERIFY2(balanced.error.empty(), balanced.error.c_str());
    QCOMPARE(balanced.config.threads, 4u);
    QCOMPARE(balanced.config.listen.size(), std::size_t(2));
    QVERIFY(!balanced.config.listen[0].proxyProtocol);
    QVERIFY(balanced.config.listen[1].proxyProtocol);
    QCOMPARE(balanced.config.listen[1].endpoint.port(), 8081);
    // A PROXY listener believes only trusted proxies: without any, nobody could use it.
    QVERIFY(!parse({"--listen-proxy", "127.0.0.1:8081"}).error.empty());

    // The shortest time-out there is: one millisecond.
    QCOMPARE(parse({"--connect-timeout=0.001"}).config.connectTimeout,
             std::chrono::milliseconds(1));

    for (const auto& bad :
         std::vector<std::vector<std::string_view>>{{"--listen", "127.0.0.1"},
                                                    {"--listen", "::1:80"},
                                                    {"--listen", "[127.0.0.1]:80"},
                                                    {"--listen", "127.0.0.1:65536"},
                                                    {"--trusted-proxy", "10.0.0.0/33"},
                                                    {"--message", "<b>bold</b>"},
                                                    {"--message", "two\nlines"},
                                                    {"--message", "Closed? No, -TCPopen-!"},
                                                    {"--connect-timeout", "0"},
                                                    {"--connect-timeout", "soon"},
                                                    {"--connect-timeout", "0.0001"},
                                                    {"--connect-timeout", "0.0004999"},
                                                    {"--connect-timeout", "-1"},
                                                    {"--connect-timeout", "1e999"},
                                                    {"--connect-timeout", "inf"},
                                                    {"--connect-timeout", "nan"},
                                                    {"--connect-timeout", "601"},
                                                    {"--client-rate", "-1"},
                                                    {"--client-rate", "1000001"},
                                                    {"--client-checks", "99999999999999999999999"},
                                                    {"--max-connections", "1e3"},
                                                    {"--listen", "127.0.0.1:99999999999999999999"},
                                                    {"--max-checks", "0"},
                                                    {"--ping", "sometimes"},
                                                    {"--threads", "0"},
                                                    {"--threads", "65"},
                                                    {"--threads", "two"},
                                                    {"--listen-proxy", "127.0.0.1"},
                                                    {"--client-rate"},
                                                    {"--frobnicate", "1"},
                                                    {"--allow-private=no"},
                                                    {"stray"}})
        QVERIFY2(!parseCommandLine(bad).error.empty(), std::string(bad.front()).c_str());
}

void TestServerParts::metricsStayOffTheCheckListeners_data()
{
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<bool>("accepted");

    using List = QByteArrayList;
    QTest::newRow("off by default") << List{"--listen", "*:80"} << true;
    QTest::newRow("loopback beside every address")
        << List{"--listen", "*:80", "--metrics-listen", "127.0.0.1:9100"} << true;
    QTest::newRow("other port of the same address")
        << List{"--listen", "192.0.2.1:80", "--metrics-listen", "192.0.2.1:9100"} << true;
    QTest::newRow("port 0 never collides")
        << List{"--listen", "127.0.0.1:0", "--metrics-listen", "127.0.0.1:0"} << true;
    QTest::newRow("the same address and port")
        << List{"--listen", "192.0.2.1:80", "--metrics-listen", "192.0.2.1:80"} << false;
    QTest::newRow("inside an every-address listener")
        << List{"--listen", "*:8080", "--metrics-listen", "127.0.0.1:8080"} << false;
    QTest::newRow("every address over a listener")
        << List{"--listen", "[2001:db8::1]:80", "--metrics-listen", "*:80"} << false;
    QTest::newRow("the default listener") << List{"--metrics-listen", "0.0.0.0:80"} << false;
    QTest::newRow("the default port elsewhere") << List{"--metrics-listen", "127.0.0.1:81"} << true;
    QTest::newRow("order does not matter")
        << List{"--metrics-listen", "[::1]:443", "--listen", "[::1]:443"} << false;
    QTest::newRow("not an address") << List{"--metrics-listen", "localhost:9100"} << false;
}

void TestServerParts::metricsStayOffTheCheckListeners()
{
    QFETCH(QByteArrayList, arguments);
    std::vector<std::string_view> views;
    for (const QByteArray& argument : std::as_const(arguments))
        views.emplace_back(argument.constData(), std::size_t(argument.size()));
    const CommandLine line = parseCommandLine(views);
    QTEST(line.error.empty(), "accepted");
    if (line.error.empty())
        QCOMPARE(line.config.metricsListen.has_value(), arguments.contains("--metrics-listen"));
}

void TestServerParts::histogramBucketsAreCumulative()
{
    Histogram histogram{0.01, 0.1, 1};
    for (const std::chrono::milliseconds duration : {5ms, 10ms, 50ms, 2000ms, 100ms})
        histogram.observe(duration);
    std::string text;
    histogram.write(text, "x_seconds", "protocol=\"tcp\"");
    QCOMPARE(text, std::string("x_seconds_bucket{protocol=\"tcp\",le=\"0.01\"} 2\n"
                               "x_seconds_bucket{protocol=\"tcp\",le=\"0.1\"} 4\n"
                               "x_seconds_bucket{protocol=\"tcp\",le=\"1\"} 4\n"
                               "x_seconds_bucket{protocol=\"tcp\",le=\"+Inf\"} 5\n"
                               "x_seconds_sum{protocol=\"tcp\"} 2.165\n"
                               "x_seconds_count{protocol=\"tcp\"} 5\n"));
}

void TestServerParts::fitsTheDescriptorLimit()
{
    ServerConfig defaults;
    fitToDescriptorLimit(defaults, 20000);
    QVERIFY(defaults.limits.maxChecks < 10000);
    // Each check holds its connection and a probe socket.
    QVERIFY(defaults.limits.maxChecks + defaults.limits.maxConnections <= 20000);

    ServerConfig asked;
    asked.limits.maxChecks = 5000;
    asked.maxChecksGiven = true;
    const auto notes = fitToDescriptorLimit(asked, 1024);
    QVERIFY(asked.limits.maxChecks < 512);
    QCOMPARE(notes.size(), std::size_t(1));
}

void TestServerParts::checkReplyGivesEngineVerdicts()
{
    Findings findings{address("203.0.113.9"), CheckQuery{4711, Protocol::Tcp}, ProbeOutcome::Open,
                      true, newCheckToken()};
    const std::string probe = probePayload(findings.token);

    Verdict verdict = verdictOf(checkReply(findings, {}), probe, ProbeProtocol::Tcp, false);
    QCOMPARE(verdict.outcome, Outcome::TcpArrived);
    QVERIFY(verdict.pingOk);
    QCOMPARE(verdict.externalAddress, std::optional<QString>(u"203.0.113.9"_qs));
    QVERIFY(!verdict.message);
    // The page is one reply, markers in order, "-done-" last.
    const std::string page = checkReply(findings, {1, {}});
    QVERIFY(page.starts_with("HTTP/1.1 200 OK\r\n"));
    QVERIFY(page.find("-ip:") < page.find("-token:" + findings.token + "-"));
    QVERIFY(page.find("-token:") < page.find("-tcpopen-"));
    QVERIFY(page.find("-tcpopen-") < page.find("-done-"));
    QCOMPARE(page.find("-done-"), page.rfind("-done-"));

    // The probe reached some other device.
    QCOMPARE(verdictOf(checkReply(findings, {}), "", ProbeProtocol::Tcp, false).outcome,
             Outcome::TcpElsewhere);

    for (const ProbeOutcome outcome :
         {ProbeOutcome::Closed, ProbeOutcome::TimedOut, ProbeOutcome::Unreachable}) {
        findings.outcome = outcome;
        findings.pingAnswered = false;
        verdict = verdictOf(checkReply(findings, {}), "", ProbeProtocol::Tcp, false);
        QCOMPARE(verdict.outcome, Outcome::TcpNotReached);
        QVERIFY(!verdict.pingOk);
        QCOMPARE(verdict.externalAddress, std::optional<QString>(u"203.0.113.9"_qs));
    }

    Findings udp{address("2001:4860:1:2::7"), CheckQuery{53, Protocol::Udp}, ProbeOutcome::Sent,
                 true, findings.token};
    QCOMPARE(verdictOf(checkReply(udp, {}), probe, ProbeProtocol::Udp, false).outcome,
             Outcome::UdpGraceWait);
    verdict = verdictOf(checkReply(udp, {}), probe, ProbeProtocol::Udp, true);
    QCOMPARE(verdict.outcome, Outcome::UdpArrived);
    QCOMPARE(verdict.externalAddress, std::optional<QString>(u"2001:4860:1:2::7"_qs));
    QCOMPARE(verdictOf(checkReply(udp, {}), "", ProbeProtocol::Udp, true).outcome,
             Outcome::UdpMissing);
}

// Each check draws its own token; the program counts a probe only when it carries the token of
// the reply it got, so neither the bare probe word nor another check's probe makes a port open.
void TestServerParts::probeOfAnotherCheckDoesNotCount()
{
    std::set<std::string> tokens;
    for (int i = 0; i < 64; ++i) {
        const std::string token = newCheckToken();
        QCOMPARE(token.size(), wire::kTokenDigits);
        QVERIFY2(token.find_first_not_of("0123456789abcdef") == std::string::npos, token.c_str());
        tokens.insert(token);
    }
    QCOMPARE(tokens.size(), std::size_t(64));

    const std::string token = *tokens.begin();
    const std::string payload = probePayload(token);
    QVERIFY(payload.find(wire::probeMark(token)) != std::string::npos);
    QVERIFY(payload.ends_with("\r\n"));
    // No larger than the shortest request that asks for a probe.
    QVERIFY(payload.size() <=
            std::string("GET /portcheck3.cgi?port=1&protocol=tcp HTTP/1.0\r\n\r\n").size());

    const Findings tcp{address("203.0.113.9"), CheckQuery{4711, Protocol::Tcp}, ProbeOutcome::Open,
                       false, token};
    const Findings udp{address("203.0.113.9"), CheckQuery{4711, Protocol::Udp}, ProbeOutcome::Sent,
                       false, token};
    const std::string other = *tokens.rbegin();
    for (const std::string& forged :
         {std::string("dunmoor"), std::string("quillmere dunmoor\r\n"), probePayload(other),
          probePayload(token.substr(0, token.size() - 1)), "dunmoor" + token}) {
        QCOMPARE(verdictOf(checkReply(tcp, {}), forged, ProbeProtocol::Tcp, false).outcome,
                 Outcome::TcpElsewhere);
        QCOMPARE(verdictOf(checkReply(udp, {}), forged, ProbeProtocol::Udp, true).outcome,
                 Outcome::UdpMissing);
    }
    QCOMPARE(verdictOf(checkReply(tcp, {}), payload, ProbeProtocol::Tcp, false).outcome,
             Outcome::TcpArrived);
    QCOMPARE(verdictOf(checkReply(udp, {}), payload, ProbeProtocol::Udp, true).outcome,
             Outcome::UdpArrived);
    // The message cannot name a token of its own ahead of the server's.
    QVERIFY(!isValidMessage("see -Token:0123456789abcdef0123456789abcdef-"));
}

void TestServerParts::refusalCarriesItsReasonAsMessage()
{
    const std::string reply = refusalReply(429, "Too many checks from your address.", 0, 60);
    QVERIFY(reply.starts_with("HTTP/1.0 429 Too Many Requests\r\n"));
    QVERIFY(reply.find("Retry-After: 60\r\n") != std::string::npos);
    const Verdict verdict = verdictOf(reply, "", ProbeProtocol::Tcp, false);
    QCOMPARE(verdict.outcome, Outcome::NoServerResult); // no result: nothing was checked
    QCOMPARE(verdict.message, std::optional<QString>(u"Too many checks from your address."_qs));
    QVERIFY(!verdict.externalAddress);
}

void TestServerParts::jsonOnlyWhenTheClientAsksForIt_data()
{
    QTest::addColumn<QByteArrayList>("accept"); // one entry per Accept field
    QTest::addColumn<bool>("json");

    QTest::newRow("no Accept") << QByteArrayList{} << false;
    QTest::newRow("application/json") << QByteArrayList{"application/json"} << true;
    QTest::newRow("any case") << QByteArrayList{"Application/JSON"} << true;
    QTest::newRow("with a charset") << QByteArrayList{"application/json; charset=utf-8"} << true;
    QTest::newRow("among others") << QByteArrayList{"text/plain, application/json;q=0.5"} << true;
    QTest::newRow("in a second field") << QByteArrayList{"text/plain", "application/json"} << true;
    QTest::newRow("q=0") << QByteArrayList{"application/json;q=0"} << false;
    QTest::newRow("q=0.000") << QByteArrayList{"application/json; Q=0.000"} << false;
    QTest::newRow("q=0.001") << QByteArrayList{"application/json;q=0.001"} << true;
    QTest::newRow("q=1.0") << QByteArrayList{"application/json;q=1.0"} << true;
    QTest::newRow("q too large") << QByteArrayList{"application/json;q=1.5"} << false;
    QTest::newRow("q not a number") << QByteArrayList{"application/json;q=high"} << false;
    QTest::newRow("q with four digits") << QByteArrayList{"application/json;q=0.5000"} << false;
    QTest::newRow("listed twice, once refused")
        << QByteArrayList{"application/json;q=0, application/json"} << true;
    QTest::newRow("browser") << QByteArrayList{"text/html,application/xhtml+xml,*/*;q=0.8"}
                             << false;
    QTest::newRow("wildcards only") << QByteArrayList{"*/*, application/*"} << false;
    QTest::newRow("html preferred") << QByteArrayList{"text/html, application/json;q=0.9"} << false;
    QTest::newRow("json preferred") << QByteArrayList{"text/html;q=0.5, application/json"} << true;
    QTest::newRow("equal weights") << QByteArrayList{"text/html, application/json"} << true;
    QTest::newRow("other json types") << QByteArrayList{"application/json-patch+json"} << false;
    QTest::newRow("as a parameter") << QByteArrayList{"text/plain;x=application/json"} << false;
    QTest::newRow("comma in a quoted parameter")
        << QByteArrayList{"text/plain;x=\"a,application/json,b\""} << false;
    QTest::newRow("escaped quote in a parameter")
        << QByteArrayList{"text/plain;x=\"\\\",application/json,\", text/html"} << false;
    QTest::newRow("empty elements") << QByteArrayList{", ,application/json,"} << true;
    QTest::newRow("no subtype") << QByteArrayList{"application/"} << false;
}

void TestServerParts::jsonOnlyWhenTheClientAsksForIt()
{
    QFETCH(QByteArrayList, accept);
    // Through the head parser, as the server reads it.
    QByteArray head = "GET /portcheck3.cgi?port=1&protocol=tcp HTTP/1.1\r\nHost: x\r\n";
    for (const QByteArray& value : std::as_const(accept))
        head += "Accept: " + value + "\r\n";
    head += "\r\n";
    const HeadParse parse = parseRequestHead(std::string_view(head.constData(), head.size()));
    QCOMPARE(parse.status, HeadStatus::Complete);
    QCOMPARE(parse.head.accept.size(), std::size_t(accept.size()));
    QTEST(prefersJson(parse.head.accept), "json");
}

void TestServerParts::jsonRepliesSayWhatThePageSays()
{
    const auto bodyOf = [](const std::string& reply) {
        const auto end = reply.find("\r\n\r\n");
        return QJsonDocument::fromJson(QByteArray::fromStdString(reply.substr(end + 4))).object();
    };
    Findings findings{address("2001:db8::7"), CheckQuery{4711, Protocol::Tcp}, ProbeOutcome::Open,
                      true, newCheckToken()};
    std::string reply = checkReplyJson(findings, {1, "Back at \"noon\" \\ later"});
    QVERIFY(reply.starts_with("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"));
    QJsonObject json = bodyOf(reply);
    QCOMPARE(json.value(u"address"_qs).toString(), u"2001:db8::7"_qs);
    QCOMPARE(json.value(u"port"_qs).toInt(), 4711);
    QCOMPARE(json.value(u"protocol"_qs).toString(), u"tcp"_qs);
    QCOMPARE(json.value(u"reachable"_qs), QJsonValue(true));
    QCOMPARE(json.value(u"outcome"_qs).toString(), u"open"_qs);
    QCOMPARE(json.value(u"ping"_qs), QJsonValue(true));
    QCOMPARE(json.value(u"message"_qs).toString(), u"Back at \"noon\" \\ later"_qs);
    QCOMPARE(json.value(u"token"_qs).toString(), latin1(findings.token));
    // The Content-Length counts the body.
    const auto length = reply.find("Content-Length: ");
    QCOMPARE(std::stoul(reply.substr(length + 16)), reply.size() - reply.find("\r\n\r\n") - 4);

    for (const auto& [outcome, reachable] :
         {std::pair{ProbeOutcome::Closed, QJsonValue(false)},
          std::pair{ProbeOutcome::TimedOut, QJsonValue(false)},
          std::pair{ProbeOutcome::Unreachable, QJsonValue(false)},
          std::pair{ProbeOutcome::Sent, QJsonValue(QJsonValue::Null)}}) {
        findings.outcome = outcome;
        findings.pingAnswered = false;
        findings.query.protocol = outcome == ProbeOutcome::Sent ? Protocol::Udp : Protocol::Tcp;
        json = bodyOf(checkReplyJson(findings, {0, {}}));
        QCOMPARE(json.value(u"reachable"_qs), reachable);
        QCOMPARE(json.value(u"outcome"_qs).toString(), latin1(outcomeWord(outcome)));
        QCOMPARE(json.value(u"ping"_qs), QJsonValue(false));
        QCOMPARE(json.value(u"message"_qs), QJsonValue(QJsonValue::Null));
    }

    reply = refusalReplyJson(429, "Too many checks from your address.", 0, 60);
    QVERIFY(reply.starts_with("HTTP/1.0 429 Too Many Requests\r\n"));
    QVERIFY(reply.find("\r\nRetry-After: 60\r\n") != std::string::npos);
    json = bodyOf(reply);
    QCOMPARE(json.value(u"status"_qs).toInt(), 429);
    QCOMPARE(json.value(u"error"_qs).toString(), u"Too Many Requests"_qs);
    QCOMPARE(json.value(u"message"_qs).toString(), u"Too many checks from your address."_qs);
    QCOMPARE(json.value(u"retry_after"_qs).toInt(), 60);
    json = bodyOf(refusalReplyJson(403, "Not public.", 1));
    QCOMPARE(json.value(u"status"_qs).toInt(), 403);
    QVERIFY(!json.contains(u"retry_after"_qs));
}

void TestServerParts::jsonStringsSurviveAnyBytes()
{
    std::string every;
    for (int byte = 0; byte < 256; ++byte)
        every.push_back(char(byte));
    for (const std::string& text :
         {every, std::string("\"\\/\b\f\n\r\t"), std::string("</script>"), std::string()}) {
        const std::string json = "[" + jsonString(text) + "]";
        QVERIFY(
            std::all_of(json.begin(), json.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
        QJsonParseError error;
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(document.array().at(0).toString(), latin1(text));
    }
}

void TestServerParts::operatorMessageReachesTheProgram()
{
    QVERIFY(isValidMessage("Maintenance at 18:00 UTC & later"));
    QVERIFY(!isValidMessage("</message>-done-"));
    for (const char* marker :
         {"all -DONE-", "-tcpopen- today", "-Ping OK", "-ip:1.2.3.4-", "-PROBE:connected-"})
        QVERIFY2(!isValidMessage(marker), marker);
    QVERIFY(!isValidMessage("caf\xc3\xa9"));
    QVERIFY(!isValidMessage(std::string(401, 'x')));
    const Findings findings{
        address("8.8.8.8"), CheckQuery{80, Protocol::Tcp}, ProbeOutcome::Closed, false, {}};
    const Verdict verdict = verdictOf(checkReply(findings, {0, "Maintenance at 18:00 UTC & later"}),
                                      "", ProbeProtocol::Tcp, false);
    QCOMPARE(verdict.message, std::optional<QString>(u"Maintenance at 18:00 UTC & later"_qs));
    QCOMPARE(verdict.outcome, Outcome::TcpNotReached);
}

// Reads what is in the pipe now.
std::string drain(int descriptor)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = ::read(descriptor, chunk, sizeof chunk)) > 0;)
        text.append(chunk, std::size_t(got));
    return text;
}

// Every probe end reaches the program's verdict through the page, beside the other markers and
// before "-done-"; the JSON reply names it; a UDP check says nothing of it.
void TestServerParts::probeEndReachesTheProgram()
{
    Findings findings{address("203.0.113.9"), CheckQuery{4711, Protocol::Tcp}, ProbeOutcome::Open,
                      true, newCheckToken()};
    const auto bodyOf = [](const std::string& reply) {
        const auto end = reply.find("\r\n\r\n");
        return QJsonDocument::fromJson(QByteArray::fromStdString(reply.substr(end + 4))).object();
    };
    for (const auto& [outcome, end] :
         {std::pair{ProbeOutcome::Open, wire::ProbeEnd::Connected},
          std::pair{ProbeOutcome::Closed, wire::ProbeEnd::Refused},
          std::pair{ProbeOutcome::TimedOut, wire::ProbeEnd::TimedOut},
          std::pair{ProbeOutcome::Unreachable, wire::ProbeEnd::Unreachable}}) {
        findings.outcome = outcome;
        findings.probeEnd = end;
        const std::string page = checkReply(findings, {0, "Back at noon"});
        const std::string marker = "-probe:" + std::string(wire::probeEndWord(end)) + "-";
        QVERIFY2(page.find(marker) != std::string::npos, page.c_str());
        QCOMPARE(page.find("-probe:"), page.rfind("-probe:"));
        QVERIFY(page.find(marker) < page.find("<message>"));
        QVERIFY(page.find(marker) < page.find("-done-"));
        const Verdict verdict =
            verdictOf(page, probePayload(findings.token), ProbeProtocol::Tcp, false);
        QCOMPARE(verdict.probe, std::optional<wire::ProbeEnd>(end));
        // The rest of the verdict is what it was without the marker.
        QCOMPARE(verdict.outcome,
                 outcome == ProbeOutcome::Open ? Outcome::TcpArrived : Outcome::TcpNotReached);
        QCOMPARE(verdict.message, std::optional<QString>(u"Back at noon"_s));
        QCOMPARE(bodyOf(checkReplyJson(findings, {0, {}})).value(u"probe"_s).toString(),
                 latin1(wire::probeEndWord(end)));
    }
    // The page a browser shows: one paragraph more, still closed.
    const std::string page = checkReply(findings, {});
    QVERIFY(page.find("<p>Probe: -probe:unreachable-</p>\n") != std::string::npos);

    const Findings udp{address("203.0.113.9"), CheckQuery{53, Protocol::Udp}, ProbeOutcome::Sent,
                       false, findings.token};
    QVERIFY(checkReply(udp, {}).find("-probe:") == std::string::npos);
    QVERIFY(!verdictOf(checkReply(udp, {}), "", ProbeProtocol::Udp, true).probe);
    const QJsonObject json = bodyOf(checkReplyJson(udp, {0, {}}));
    QVERIFY(json.contains(u"probe"_s));
    QCOMPARE(json.value(u"probe"_s), QJsonValue(QJsonValue::Null));
}

// The system reports an ICMP port unreachable as a refusal; only a refusal without an ICMP error
// on the socket's queue was a TCP reset.
void TestServerParts::probeEndTellsResetFromIcmp()
{
    const IcmpError portUnreachable{false, 3, 3};
    QCOMPARE(probeEndOf(ProbeOutcome::Closed, std::nullopt), wire::ProbeEnd::Refused);
    QCOMPARE(probeEndOf(ProbeOutcome::Closed, portUnreachable), wire::ProbeEnd::Unreachable);
    QCOMPARE(probeEndOf(ProbeOutcome::Unreachable, std::nullopt), wire::ProbeEnd::Unreachable);
    QCOMPARE(probeEndOf(ProbeOutcome::Unreachable, IcmpError{true, 1, 1}),
             wire::ProbeEnd::Unreachable);
    QCOMPARE(probeEndOf(ProbeOutcome::TimedOut, std::nullopt), wire::ProbeEnd::TimedOut);
    QCOMPARE(probeEndOf(ProbeOutcome::Open, std::nullopt), wire::ProbeEnd::Connected);
}

void TestServerParts::readsIcmpErrorsFromControlData_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<bool>("found");
    QTest::addColumn<bool>("v6");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("code");
    const auto bytes = [](const std::string& text) {
        return QByteArray(text.data(), qsizetype(text.size()));
    };
    QTest::newRow("icmp admin prohibited")
        << bytes(extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 13)) << true << false << 3
        << 13;
    QTest::newRow("icmp port unreachable")
        << bytes(extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 3)) << true << false << 3
        << 3;
    QTest::newRow("icmpv6 admin prohibited")
        << bytes(extendedError(SOL_IPV6, IPV6_RECVERR, SO_EE_ORIGIN_ICMP6, 1, 1)) << true << true
        << 1 << 1;
    QTest::newRow("local error") << bytes(
                                        extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_LOCAL, 0, 0))
                                 << false << false << 0 << 0;
    QTest::newRow("icmp origin under another level")
        << bytes(extendedError(SOL_SOCKET, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 13)) << false << false
        << 0 << 0;
    const int stamp = 7;
    QTest::newRow("after another message")
        << bytes(controlMessage(SOL_SOCKET, SO_TIMESTAMP, &stamp, sizeof stamp) +
                 extendedError(SOL_IPV6, IPV6_RECVERR, SO_EE_ORIGIN_ICMP6, 1, 4))
        << true << true << 1 << 4;
    QTest::newRow("first of two")
        << bytes(extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 1) +
                 extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 13))
        << true << false << 3 << 1;
    QTest::newRow("empty") << QByteArray() << false << false << 0 << 0;
    std::string tooShort = extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 13);
    cmsghdr header{};
    std::memcpy(&header, tooShort.data(), sizeof header);
    header.cmsg_len = CMSG_LEN(sizeof(sock_extended_err) - 1);
    std::memcpy(tooShort.data(), &header, sizeof header);
    QTest::newRow("error shorter than its struct") << bytes(tooShort) << false << false << 0 << 0;
    header.cmsg_len = tooShort.size() + 1;
    std::memcpy(tooShort.data(), &header, sizeof header);
    QTest::newRow("length past the end") << bytes(tooShort) << false << false << 0 << 0;
    header.cmsg_len = 0;
    std::memcpy(tooShort.data(), &header, sizeof header);
    QTest::newRow("zero length") << bytes(tooShort) << false << false << 0 << 0;
}

void TestServerParts::readsIcmpErrorsFromControlData()
{
    QFETCH(QByteArray, control);
    QFETCH(bool, found);
    // At an odd address too: the reader may not assume alignment.
    for (const int shift : {0, 1}) {
        std::string buffer(std::size_t(shift), 'x');
        buffer.append(control.constData(), std::size_t(control.size()));
        const std::optional<IcmpError> error = icmpErrorFromControl(
            reinterpret_cast<const unsigned char*>(buffer.data()) + shift, control.size());
        QCOMPARE(error.has_value(), found);
        if (found) {
            QTEST(error->v6, "v6");
            QTEST(int(error->type), "type");
            QTEST(int(error->code), "code");
        }
    }
}

// No prefix of a message holds its error: the reader never reads past what it was given.
void TestServerParts::controlDataCutShortHoldsNoError()
{
    const std::string whole = extendedError(SOL_IP, IP_RECVERR, SO_EE_ORIGIN_ICMP, 3, 13);
    QVERIFY(icmpIn(whole));
    const std::size_t needed = CMSG_LEN(sizeof(sock_extended_err));
    for (std::size_t size = 0; size < needed; ++size) {
        // On the heap and exactly `size` long, so that AddressSanitizer sees any read beyond it.
        const auto cut = std::make_unique<unsigned char[]>(size);
        if (size)
            std::memcpy(cut.get(), whole.data(), size);
        QVERIFY2(!icmpErrorFromControl(cut.get(), size), std::to_string(size).c_str());
    }
}

void TestServerParts::namesIcmpErrors_data()
{
    QTest::addColumn<bool>("v6");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("admin prohibited")
        << false << 3 << 13 << u"3/13 (administratively prohibited)"_s;
    QTest::newRow("port unreachable") << false << 3 << 3 << u"3/3 (port unreachable)"_s;
    QTest::newRow("host unreachable") << false << 3 << 1 << u"3/1 (host unreachable)"_s;
    QTest::newRow("host prohibited")
        << false << 3 << 10 << u"3/10 (host administratively prohibited)"_s;
    QTest::newRow("ttl") << false << 11 << 0 << u"11/0 (time to live exceeded)"_s;
    QTest::newRow("unknown code") << false << 3 << 16 << u"3/16 (type 3 code 16)"_s;
    QTest::newRow("v6 admin prohibited")
        << true << 1 << 1 << u"1/1 (administratively prohibited)"_s;
    QTest::newRow("v6 port unreachable") << true << 1 << 4 << u"1/4 (port unreachable)"_s;
    QTest::newRow("v6 address unreachable") << true << 1 << 3 << u"1/3 (address unreachable)"_s;
    QTest::newRow("v6 reject route") << true << 1 << 6 << u"1/6 (reject route to destination)"_s;
    QTest::newRow("v6 type 3 is not v4's") << true << 3 << 13 << u"3/13 (time exceeded)"_s;
    QTest::newRow("v4 type 1 is not v6's") << false << 1 << 1 << u"1/1 (type 1 code 1)"_s;
}

void TestServerParts::namesIcmpErrors()
{
    QFETCH(bool, v6);
    QFETCH(int, type);
    QFETCH(int, code);
    QTEST(latin1(icmpErrorText(IcmpError{v6, std::uint8_t(type), std::uint8_t(code)})), "text");
}

void TestServerParts::takesIcmpErrorFromTheSocketsQueue_data()
{
    QTest::addColumn<bool>("v6");
    QTest::addColumn<bool>("asked");
    QTest::newRow("ipv4") << false << true;
    QTest::newRow("ipv6") << true << true;
    QTest::newRow("ipv4, not asked for") << false << false;
}

// Loopback answers a datagram to a closed port with an ICMP port unreachable, as a router or a
// firewall answers a probe: the same error queue, read the same way, without privileges.
void TestServerParts::takesIcmpErrorFromTheSocketsQueue()
{
    QFETCH(bool, v6);
    QFETCH(bool, asked);
    const int family = v6 ? AF_INET6 : AF_INET;
    // A port nothing listens on: bound, its number read, then closed.
    sockaddr_storage target{};
    socklen_t length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(target);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(target);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    const int placeholder = ::socket(family, SOCK_DGRAM, 0);
    QVERIFY(placeholder >= 0);
    if (::bind(placeholder, reinterpret_cast<sockaddr*>(&target), length) != 0) {
        ::close(placeholder);
        if (v6)
            QSKIP("no IPv6 loopback here");
        QFAIL("cannot bind on loopback");
    }
    QCOMPARE(::getsockname(placeholder, reinterpret_cast<sockaddr*>(&target), &length), 0);
    ::close(placeholder);

    const int sender = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    QVERIFY(sender >= 0);
    if (asked)
        QVERIFY(enableIcmpErrors(sender, v6));
    QCOMPARE(::connect(sender, reinterpret_cast<sockaddr*>(&target), length), 0);
    QCOMPARE(::send(sender, "x", 1, 0), ssize_t(1));
    // The ICMP message comes back as an error on the socket.
    pollfd ready{sender, 0, 0};
    QVERIFY(::poll(&ready, 1, 5000) == 1 && (ready.revents & POLLERR));
    const std::optional<IcmpError> error = takeIcmpError(sender);
    if (asked) {
        QVERIFY(error.has_value());
        const IcmpError portUnreachable =
            v6 ? IcmpError{true, 1, 4} : IcmpError{false, 3, 3}; // ICMPv6 and ICMP
        QVERIFY(*error == portUnreachable);
        QVERIFY(!takeIcmpError(sender)); // the queue was emptied
    } else {
        QVERIFY(!error);
    }
    ::close(sender);
}

void TestServerParts::accessLogNeverBlocks()
{
    int pipe[2];
    QCOMPARE(::pipe2(pipe, O_CLOEXEC), 0);
    QCOMPARE(::fcntl(pipe[0], F_SETFL, O_NONBLOCK), 0);
    boost::asio::io_context context;
    {
        AccessLog log(context.get_executor(), pipe[1], 64 * 1024);
        log.write("first");
        log.write("second");
        context.run();
        QCOMPARE(drain(pipe[0]), std::string("first\nsecond\n"));

        // Nobody reads: the pipe fills, then the backlog, then lines are dropped. Nothing waits
        // (a blocking write would hang this test).
        const std::string line(200, 'x');
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 1000; ++i)
                log.write(line);
            context.restart();
            context.poll();
        }
        QVERIFY(log.dropped() > 0);
        QVERIFY(log.backlog() > 0);

        // The reader comes back: the backlog goes out, with a note of what was lost.
        std::string text = drain(pipe[0]);
        log.write("after");
        for (int round = 0; round < 100 && log.backlog() > 0; ++round) {
            context.restart();
            context.run_for(std::chrono::milliseconds(60));
            text += drain(pipe[0]);
        }
        QCOMPARE(log.backlog(), std::size_t(0));
        QVERIFY(text.find(" lines dropped, the reader did not keep up\n") != std::string::npos);
        QVERIFY(text.ends_with("after\n"));
        log.finish();
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
}

QTEST_GUILESS_MAIN(TestServerParts)
#include "tst_serverparts.moc"
