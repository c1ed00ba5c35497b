// The PCP codec: requests byte by byte, and replies from well-formed to hostile (short, cut,
// misaligned, another opcode or nonce, NAT-PMP's answer, options that run past the end).

#include "router/pcp.h"

#include <QTest>

#include <vector>

using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace {

using Bytes = std::vector<std::uint8_t>;

const pcp::Nonce kNonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

void put32(Bytes& out, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[at + std::size_t(i)] = std::uint8_t(value >> (24 - 8 * i));
}

// A server's reply: the header, and for MAP the echoed request data with the assignment.
Bytes reply(std::uint8_t opcode, std::uint8_t result, std::uint32_t lifetime, std::uint32_t epoch,
            const pcp::Nonce* nonce = nullptr)
{
    Bytes out(pcp::kHeaderBytes + (nonce ? pcp::kMapPayloadBytes : 0), 0);
    out[0] = 2;
    out[1] = 0x80 | opcode;
    out[3] = result;
    put32(out, 4, lifetime);
    put32(out, 8, epoch);
    if (nonce) {
        std::copy(nonce->begin(), nonce->end(), out.begin() + 24);
        out[24 + 12] = pcp::kTcp;
        out[24 + 16] = 0x1f; // internal port 8080
        out[24 + 17] = 0x90;
        out[24 + 18] = 0x1f; // external port 8081
        out[24 + 19] = 0x91;
        const pcp::Address external = pcp::wireAddress(QHostAddress(u"203.0.113.9"_s));
        std::copy(external.begin(), external.end(), out.begin() + 24 + 20);
    }
    return out;
}

std::optional<pcp::Reply> parse(const Bytes& bytes, std::uint8_t opcode,
                                const pcp::Nonce* nonce = nullptr, QString* whyText = nullptr)
{
    const char* why = nullptr;
    auto parsed = pcp::parseReply(bytes, opcode, nonce, &why);
    if (whyText)
        *whyText = why ? QString::fromLatin1(why) : QString();
    return parsed;
}

} // namespace

class TestPcp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesAnnounce();
    void writesMapForIpv4AndIpv6();
    void readsAnnounceReply();
    void readsMapReply();
    void refusesRepliesThatAnswerNoRequest_data();
    void refusesRepliesThatAnswerNoRequest();
    void readsOtherVersions();
    void checksOptionsWithinTheMessage();
    void namesEveryResultCode();
};

void TestPcp::writesAnnounce()
{
    const Bytes request = pcp::announceRequest(pcp::wireAddress(QHostAddress(u"192.168.1.20"_s)));
    QCOMPARE(request.size(), std::size_t(24));
    QCOMPARE(request[0], 2); // version
    QCOMPARE(request[1], 0); // ANNOUNCE, R clear
    QCOMPARE(request[4], 0); // lifetime 0
    QCOMPARE(request[7], 0);
    for (int i = 8; i < 18; ++i)
        QCOMPARE(request[std::size_t(i)], 0);
    QCOMPARE(request[18], 0xff); // ::ffff:192.168.1.20
    QCOMPARE(request[19], 0xff);
    QCOMPARE(request[20], 192);
    QCOMPARE(request[23], 20);
}

void TestPcp::writesMapForIpv4AndIpv6()
{
    pcp::MapRequest map;
    map.nonce = kNonce;
    map.protocol = pcp::kUdp;
    map.internalPort = 3074;
    map.suggestedExternalPort = 50000;
    map.suggestedExternalAddress = pcp::wireAddress(QHostAddress());
    map.lifetime = 7200;
    map.client = pcp::wireAddress(QHostAddress(u"10.0.0.5"_s));
    const Bytes request = pcp::mapRequest(map);
    QCOMPARE(request.size(), std::size_t(60));
    QCOMPARE(request[1], 1);
    QCOMPARE((request[4] << 24) | (request[5] << 16) | (request[6] << 8) | request[7], 7200);
    QVERIFY(std::equal(kNonce.begin(), kNonce.end(), request.begin() + 24));
    QCOMPARE(request[36], 17);
    QCOMPARE((request[40] << 8) | request[41], 3074);
    QCOMPARE((request[42] << 8) | request[43], 50000);
    // No suggestion: ::ffff:0.0.0.0.
    const Bytes anyV4{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
    QVERIFY(std::equal(anyV4.begin(), anyV4.end(), request.begin() + 44));

    // IPv6 client and suggestion go as they are, and read back as IPv6.
    const QHostAddress v6(u"2001:db8::5"_s);
    map.client = pcp::wireAddress(v6);
    const Bytes six = pcp::mapRequest(map);
    QCOMPARE(six[8], 0x20);
    QCOMPARE(six[9], 0x01);
    QCOMPARE(six[23], 5);
    QCOMPARE(pcp::hostAddress(map.client), v6);
    // IPv6's "any" stays IPv6 (Qt would read it as 0.0.0.0); a mapped IPv4 address stays mapped.
    QCOMPARE(pcp::wireAddress(QHostAddress(QHostAddress::AnyIPv6)), pcp::Address{});
    QCOMPARE(pcp::hostAddress(pcp::wireAddress(QHostAddress(u"::ffff:10.0.0.5"_s))),
             QHostAddress(u"10.0.0.5"_s));
    QCOMPARE(pcp::hostAddress(pcp::wireAddress(QHostAddress(u"10.0.0.5"_s))),
             QHostAddress(u"10.0.0.5"_s));
}

void TestPcp::readsAnnounceReply()
{
    const auto parsed = parse(reply(pcp::Announce, 0, 0, 123456), pcp::Announce);
    QVERIFY(parsed);
    QCOMPARE(parsed->version, 2);
    QCOMPARE(parsed->opcode, pcp::Announce);
    QCOMPARE(parsed->result, int(pcp::Success));
    QCOMPARE(parsed->epoch, 123456u);
    QVERIFY(!parsed->map);
}

void TestPcp::readsMapReply()
{
    const auto parsed = parse(reply(pcp::Map, 0, 3600, 77, &kNonce), pcp::Map, &kNonce);
    QVERIFY(parsed);
    QVERIFY(parsed->map);
    QCOMPARE(parsed->lifetime, 3600u);
    QCOMPARE(parsed->epoch, 77u);
    QCOMPARE(parsed->map->nonce, kNonce);
    QCOMPARE(parsed->map->protocol, pcp::kTcp);
    QCOMPARE(parsed->map->internalPort, 8080);
    QCOMPARE(parsed->map->externalPort, 8081);
    QCOMPARE(pcp::hostAddress(parsed->map->externalAddress), QHostAddress(u"203.0.113.9"_s));

    // An error carries the request's data back, and its code.
    const auto refused =
        parse(reply(pcp::Map, pcp::NotAuthorized, 0, 77, &kNonce), pcp::Map, &kNonce);
    QVERIFY(refused);
    QCOMPARE(refused->result, int(pcp::NotAuthorized));
    // A server that could not read the request at all may answer with the header alone.
    const auto malformed = parse(reply(pcp::Map, pcp::MalformedRequest, 0, 1), pcp::Map, &kNonce);
    QVERIFY(malformed);
    QCOMPARE(malformed->result, int(pcp::MalformedRequest));
    QVERIFY(!malformed->map);
}

void TestPcp::refusesRepliesThatAnswerNoRequest_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("opcode");
    QTest::addColumn<QString>("why");

    const auto raw = [](const Bytes& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
    };
    const Bytes good = reply(pcp::Map, 0, 3600, 1, &kNonce);
    pcp::Nonce other = kNonce;
    other[11] ^= 0xff;

    QTest::newRow("empty") << QByteArray() << 1 << u"shorter"_s;
    QTest::newRow("three bytes") << raw(good).left(3) << 1 << u"shorter"_s;
    QTest::newRow("header cut") << raw(good).left(20) << 1 << u"shorter than the PCP header"_s;
    QTest::newRow("not a multiple of 4") << raw(good).left(58) << 1 << u"multiple of 4"_s;
    QTest::newRow("MAP data cut") << raw(good).left(48) << 1 << u"without its nonce"_s;
    QTest::newRow("header only, SUCCESS")
        << raw(reply(pcp::Map, 0, 3600, 1)) << 1 << u"without its nonce"_s;
    QTest::newRow("too long") << raw(good) + QByteArray(1100, '\0') << 1 << u"1100"_s;
    Bytes request = good;
    request[1] = pcp::Map; // R clear: a request, perhaps our own echoed back
    QTest::newRow("a request") << raw(request) << 1 << u"request"_s;
    QTest::newRow("another opcode") << raw(good) << 0 << u"another opcode"_s;
    QTest::newRow("another nonce")
        << raw(reply(pcp::Map, 0, 3600, 1, &other)) << 1 << u"another nonce"_s;
    Bytes natpmpShort{0, 0x80, 0, 1};
    QTest::newRow("NAT-PMP cut") << raw(natpmpShort) << 0 << u"NAT-PMP"_s;
    Bytes version1 = reply(pcp::Announce, 0, 0, 1);
    version1[0] = 1;
    QTest::newRow("version 1 claiming SUCCESS") << raw(version1) << 0 << u"version"_s;
}

void TestPcp::refusesRepliesThatAnswerNoRequest()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, opcode);
    QFETCH(QString, why);
    // Copied into a buffer of exactly its size: a read past it is caught by the sanitizers.
    const Bytes exact(bytes.begin(), bytes.end());
    QString reason;
    QVERIFY(!parse(exact, std::uint8_t(opcode), &kNonce, &reason));
    QVERIFY2(reason.contains(why), qPrintable(reason));
}

void TestPcp::readsOtherVersions()
{
    // A NAT-PMP server answers version 2 with its own unsupported-version reply: version 0.
    const Bytes natpmp{0, 0x80, 0, 1, 0, 0, 0x10, 0};
    const auto fromNatpmp = parse(natpmp, pcp::Announce);
    QVERIFY(fromNatpmp);
    QCOMPARE(fromNatpmp->version, 0);
    QCOMPARE(fromNatpmp->result, int(pcp::UnsuppVersion));
    QCOMPARE(fromNatpmp->epoch, 0x1000u);

    // A PCP server of version 1 says so with UNSUPP_VERSION and its own version.
    Bytes version1 = reply(pcp::Announce, pcp::UnsuppVersion, 0, 5);
    version1[0] = 1;
    const auto fromOld = parse(version1, pcp::Announce);
    QVERIFY(fromOld);
    QCOMPARE(fromOld->version, 1);
    QCOMPARE(fromOld->result, int(pcp::UnsuppVersion));
}

void TestPcp::checksOptionsWithinTheMessage()
{
    Bytes withOption = reply(pcp::Announce, 0, 0, 1);
    // An option of 5 bytes, padded to 8.
    withOption.insert(withOption.end(), {0x12, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 0});
    QVERIFY(parse(withOption, pcp::Announce));

    Bytes overrun = reply(pcp::Announce, 0, 0, 1);
    overrun.insert(overrun.end(), {0x12, 0, 0x01, 0, 1, 2, 3, 4}); // claims 256 bytes
    QString why;
    QVERIFY(!parse(overrun, pcp::Announce, nullptr, &why));
    QVERIFY(why.contains(u"option"_s));

    Bytes mapOverrun = reply(pcp::Map, 0, 3600, 1, &kNonce);
    mapOverrun.insert(mapOverrun.end(), {0x01, 0, 0, 20, 0, 0, 0, 0});
    QVERIFY(!parse(mapOverrun, pcp::Map, &kNonce));
}

void TestPcp::namesEveryResultCode()
{
    const QStringList names{
        u"SUCCESS"_s,           u"UNSUPP_VERSION"_s,        u"NOT_AUTHORIZED"_s,
        u"MALFORMED_REQUEST"_s, u"UNSUPP_OPCODE"_s,         u"UNSUPP_OPTION"_s,
        u"MALFORMED_OPTION"_s,  u"NETWORK_FAILURE"_s,       u"NO_RESOURCES"_s,
        u"UNSUPP_PROTOCOL"_s,   u"USER_EX_QUOTA"_s,         u"CANNOT_PROVIDE_EXTERNAL"_s,
        u"ADDRESS_MISMATCH"_s,  u"EXCESSIVE_REMOTE_PEERS"_s};
    for (int code = 0; code < names.size(); ++code)
        QCOMPARE(pcp::resultName(code), names[code]);
    QCOMPARE(pcp::resultName(200), u"RESULT_200"_s);
}

QTEST_GUILESS_MAIN(TestPcp)
#include "tst_pcp.moc"
