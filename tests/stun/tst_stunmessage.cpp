// The STUN codec against RFC 5769's sample messages, its own output, and damaged input.

#include "stun/stunmessage.h"

#include <QTest>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

using namespace quillmere::stun;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char* text)
{
    Bytes out;
    const QByteArray raw = QByteArray::fromHex(QByteArray(text).replace(' ', "").replace('\n', ""));
    for (const char c : raw)
        out.push_back(static_cast<std::uint8_t>(c));
    return out;
}

// RFC 5769 section 2.1: a Binding request with SOFTWARE, ICE's PRIORITY and ICE-CONTROLLED,
// USERNAME, MESSAGE-INTEGRITY and FINGERPRINT.
const char* const kSampleRequest = "000100582112a442b7e7a701bc34d686fa87dfae"
                                   "802200105354554e207465737420636c69656e74"
                                   "002400046e0001ff"
                                   "80290008932ff9b151263b36"
                                   "000600096576746a3a68367659202020"
                                   "000800149aeaa70cbfd8cb56781ef2b5b2d3f249c1b571a2"
                                   "80280004e57a3bcf";
// Section 2.2: the IPv4 response, mapped address 192.0.2.1:32853.
const char* const kSampleIpv4Response = "0101003c2112a442b7e7a701bc34d686fa87dfae"
                                        "8022000b7465737420766563746f7220"
                                        "002000080001a147e112a643"
                                        "000800142b91f599fd9e90c38c7489f92af9ba53f06be7d7"
                                        "80280004c07d4c96";
const TransactionId kSampleId = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34,
                                 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

Endpoint v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port)
{
    Endpoint e;
    e.address[0] = a;
    e.address[1] = b;
    e.address[2] = c;
    e.address[3] = d;
    e.port = port;
    return e;
}

Endpoint v6(std::initializer_list<std::uint16_t> groups, std::uint16_t port)
{
    Endpoint e;
    e.ipv6 = true;
    std::size_t i = 0;
    for (const std::uint16_t g : groups) {
        e.address[i++] = static_cast<std::uint8_t>(g >> 8);
        e.address[i++] = static_cast<std::uint8_t>(g);
    }
    e.port = port;
    return e;
}

// A message put together by hand: a header of the given type and cookie, the attributes as
// they are given (type, value; padded with zeros), and a length that covers them unless told.
struct Built
{
    std::uint16_t type = 0x0001;
    std::uint32_t cookie = kMagicCookie;
    TransactionId id = kSampleId;
    Bytes body;

    Built& attribute(std::uint16_t attrType, const Bytes& value)
    {
        body.push_back(static_cast<std::uint8_t>(attrType >> 8));
        body.push_back(static_cast<std::uint8_t>(attrType));
        body.push_back(static_cast<std::uint8_t>(value.size() >> 8));
        body.push_back(static_cast<std::uint8_t>(value.size()));
        body.insert(body.end(), value.begin(), value.end());
        while (body.size() % 4 != 0)
            body.push_back(0);
        return *this;
    }
    Bytes bytes(int length = -1) const
    {
        const auto n = static_cast<std::uint16_t>(length < 0 ? body.size() : length);
        Bytes out = {
            static_cast<std::uint8_t>(type >> 8),    static_cast<std::uint8_t>(type),
            static_cast<std::uint8_t>(n >> 8),       static_cast<std::uint8_t>(n),
            static_cast<std::uint8_t>(cookie >> 24), static_cast<std::uint8_t>(cookie >> 16),
            static_cast<std::uint8_t>(cookie >> 8),  static_cast<std::uint8_t>(cookie)};
        out.insert(out.end(), id.begin(), id.end());
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

char* describe(const Endpoint& e)
{
    return QTest::toString(QString::fromStdString(endpointText(e)));
}

} // namespace

namespace quillmere::stun {
char* toString(const Endpoint& e)
{
    return describe(e);
}
} // namespace quillmere::stun

class TestStunMessage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rfc5769Request();
    void rfc5769Responses();
    void rfc5769Fingerprint();
    void requestRoundTrips();
    void successRoundTrips_data();
    void successRoundTrips();
    void successMatchesRfcXorEncoding();
    void fingerprintRoundTrip();
    void kindsAndMethod();
    void olderAttributeNames();
    void attributeRules();
    void refusesBadHeaders();
    void refusesBadAttributes();
    void refusesEveryTruncation();
    void endpointTexts();
    void errorResponses();
    void classicForm();
};

void TestStunMessage::rfc5769Request()
{
    const auto message = parseMessage(hex(kSampleRequest));
    QVERIFY(message);
    QCOMPARE(message->kind, MessageKind::Request);
    QCOMPARE(message->method, kBinding);
    QVERIFY(message->transaction == kSampleId);
    QVERIFY(!message->mapped);
    QVERIFY(!message->hasChangeRequest);
    // ICE's PRIORITY (0x0024) is comprehension-required and not this code's.
    QVERIFY(message->unknownRequired);
    QVERIFY(!message->asksPaddingOrResponsePort);
}

void TestStunMessage::rfc5769Responses()
{
    const auto ipv4 = parseMessage(hex(kSampleIpv4Response));
    QVERIFY(ipv4);
    QCOMPARE(ipv4->kind, MessageKind::Success);
    QCOMPARE(ipv4->method, kBinding);
    QVERIFY(ipv4->transaction == kSampleId);
    QVERIFY(!ipv4->unknownRequired);
    QVERIFY(ipv4->mapped);
    QCOMPARE(*ipv4->mapped, v4(192, 0, 2, 1, 32853));

    const auto ipv6 = parseMessage(hex("010100482112a442b7e7a701bc34d686fa87dfae"
                                       "8022000b7465737420766563746f7220"
                                       "002000140002a147"
                                       "0113a9faa5d3f179bc25f4b5bed2b9d9"
                                       "00080014a382954e4be67bf11784c97c8292c275bfe3ed41"
                                       "80280004c8fb0b4c"));
    QVERIFY(ipv6);
    QCOMPARE(ipv6->kind, MessageKind::Success);
    QVERIFY(ipv6->mapped);
    QCOMPARE(*ipv6->mapped,
             v6({0x2001, 0x0db8, 0x1234, 0x5678, 0x0011, 0x2233, 0x4455, 0x6677}, 32853));
}

void TestStunMessage::rfc5769Fingerprint()
{
    const Bytes request = hex(kSampleRequest);
    // The CRC covers everything before the FINGERPRINT attribute.
    QCOMPARE(fingerprintOf(std::span<const std::uint8_t>(request).first(request.size() - 8)),
             0xe57a3bcfu);
    // Any byte changed before it (here a letter of SOFTWARE, which nothing else checks) is
    // caught, and so is a changed fingerprint.
    for (const std::size_t at : {std::size_t{24}, std::size_t{35}, request.size() - 1}) {
        Bytes damaged = request;
        damaged[at] ^= 0x01;
        QVERIFY2(!parseMessage(damaged), qPrintable(QString::number(at)));
    }
    // withFingerprint() over the request without its FINGERPRINT gives back the RFC's bytes.
    Bytes stripped(request.begin(), request.end() - 8);
    stripped[3] = static_cast<std::uint8_t>(stripped[3] - 8);
    QVERIFY(withFingerprint(stripped) == request);
}

void TestStunMessage::requestRoundTrips()
{
    const TransactionId id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (const bool changeIp : {false, true}) {
        for (const bool changePort : {false, true}) {
            const Bytes bytes = bindingRequest(id, changeIp, changePort);
            const bool any = changeIp || changePort;
            QCOMPARE(bytes.size(), any ? std::size_t{28} : std::size_t{20});
            QCOMPARE(bytes[0], 0x00);
            QCOMPARE(bytes[1], 0x01);
            const auto message = parseMessage(bytes);
            QVERIFY(message);
            QCOMPARE(message->kind, MessageKind::Request);
            QCOMPARE(message->method, kBinding);
            QVERIFY(message->transaction == id);
            QCOMPARE(message->hasChangeRequest, any);
            QCOMPARE(message->changeIp, changeIp);
            QCOMPARE(message->changePort, changePort);
            QVERIFY(!message->unknownRequired);

            const auto fingerprinted = parseMessage(withFingerprint(bytes));
            QVERIFY(fingerprinted);
            QCOMPARE(fingerprinted->changeIp, changeIp);
            QCOMPARE(fingerprinted->changePort, changePort);
        }
    }
}

void TestStunMessage::successRoundTrips_data()
{
    QTest::addColumn<Endpoint>("mapped");
    QTest::addColumn<bool>("withOther");
    QTest::addColumn<bool>("withOrigin");
    const Endpoint a = v4(203, 0, 113, 7, 40000);
    const Endpoint b = v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, 1);
    QTest::newRow("v4 alone") << a << false << false;
    QTest::newRow("v4 all") << a << true << true;
    QTest::newRow("v4 origin") << a << false << true;
    QTest::newRow("v6 alone") << b << false << false;
    QTest::newRow("v6 all") << b << true << true;
    QTest::newRow("port 65535") << v4(255, 255, 255, 255, 65535) << true << false;
}

void TestStunMessage::successRoundTrips()
{
    QFETCH(Endpoint, mapped);
    QFETCH(bool, withOther);
    QFETCH(bool, withOrigin);
    const TransactionId id = {0xff, 0, 0x21, 0x12, 0xa4, 0x42, 9, 8, 7, 6, 5, 4};
    const std::optional<Endpoint> other =
        withOther ? std::optional(v4(198, 51, 100, 2, 3479)) : std::nullopt;
    const std::optional<Endpoint> origin =
        withOrigin ? std::optional(v6({0x2001, 0xdb8, 1, 2, 3, 4, 5, 6}, 3478)) : std::nullopt;
    const Bytes bytes = bindingSuccess(id, mapped, other, origin);
    QCOMPARE(bytes.size() % 4, std::size_t{0});
    const auto message = parseMessage(bytes);
    QVERIFY(message);
    QCOMPARE(message->kind, MessageKind::Success);
    QCOMPARE(message->method, kBinding);
    QVERIFY(message->transaction == id);
    QVERIFY(message->mapped);
    QCOMPARE(*message->mapped, mapped);
    QCOMPARE(message->otherAddress, other);
    QCOMPARE(message->responseOrigin, origin);
    QVERIFY(!message->unknownRequired);
    QVERIFY(!message->asksPaddingOrResponsePort);
    QVERIFY(!message->errorCode);
}

void TestStunMessage::successMatchesRfcXorEncoding()
{
    // The XOR-MAPPED-ADDRESS of RFC 5769's responses, written by this code.
    const Bytes ipv4 = bindingSuccess(kSampleId, v4(192, 0, 2, 1, 32853), {}, {});
    QVERIFY(ipv4 == hex("0101000c2112a442b7e7a701bc34d686fa87dfae"
                        "002000080001a147e112a643"));
    const Bytes ipv6 = bindingSuccess(
        kSampleId, v6({0x2001, 0x0db8, 0x1234, 0x5678, 0x0011, 0x2233, 0x4455, 0x6677}, 32853), {},
        {});
    QVERIFY(ipv6 == hex("010100182112a442b7e7a701bc34d686fa87dfae"
                        "002000140002a1470113a9faa5d3f179bc25f4b5bed2b9d9"));
}

void TestStunMessage::fingerprintRoundTrip()
{
    const Bytes plain = bindingSuccess(kSampleId, v4(10, 0, 0, 1, 5), v4(10, 0, 0, 2, 6), {});
    const Bytes signed_ = withFingerprint(plain);
    QCOMPARE(signed_.size(), plain.size() + 8);
    const auto message = parseMessage(signed_);
    QVERIFY(message);
    QCOMPARE(*message->mapped, v4(10, 0, 0, 1, 5));
    // A FINGERPRINT one bit off is refused.
    Bytes wrong = signed_;
    wrong.back() ^= 0x80;
    QVERIFY(!parseMessage(wrong));
}

void TestStunMessage::kindsAndMethod()
{
    struct Case
    {
        std::uint16_t type;
        MessageKind kind;
        std::uint16_t method;
    };
    for (const Case& c :
         {Case{0x0001, MessageKind::Request, 0x001}, Case{0x0011, MessageKind::Indication, 0x001},
          Case{0x0101, MessageKind::Success, 0x001}, Case{0x0111, MessageKind::Error, 0x001},
          Case{0x0003, MessageKind::Request, 0x003}, Case{0x3EEF, MessageKind::Request, 0xFFF},
          Case{0x3FFF, MessageKind::Error, 0xFFF}}) {
        Built built;
        built.type = c.type;
        const auto message = parseMessage(built.bytes());
        QVERIFY(message);
        QCOMPARE(message->kind, c.kind);
        QCOMPARE(message->method, c.method);
    }

    Built error;
    error.type = 0x0111;
    error.attribute(attr::kErrorCode, {0, 0, 4, 20, 'U', 'n', 'k'});
    const auto message = parseMessage(error.bytes());
    QVERIFY(message);
    QCOMPARE(message->kind, MessageKind::Error);
    QCOMPARE(message->errorCode, std::optional<int>(420));
}

void TestStunMessage::olderAttributeNames()
{
    const Bytes changed = {0, 1, 0x0d, 0x97, 198, 51, 100, 2};  // 198.51.100.2:3479
    const Bytes source = {0, 1, 0x0d, 0x96, 198, 51, 100, 1};   // 198.51.100.1:3478
    const Bytes other = {0, 1, 0x0d, 0x98, 198, 51, 100, 3};    // 198.51.100.3:3480
    const Bytes plainMapped = {0, 1, 0x9c, 0x40, 192, 0, 2, 9}; // 192.0.2.9:40000

    // RFC 3489's names stand in for RFC 5780's when those are missing.
    Built old;
    old.type = 0x0101;
    old.attribute(attr::kMappedAddress, plainMapped)
        .attribute(attr::kSourceAddress, source)
        .attribute(attr::kChangedAddress, changed);
    auto message = parseMessage(old.bytes());
    QVERIFY(message);
    QCOMPARE(message->mapped, std::optional(v4(192, 0, 2, 9, 40000)));
    QCOMPARE(message->otherAddress, std::optional(v4(198, 51, 100, 2, 3479)));
    QCOMPARE(message->responseOrigin, std::optional(v4(198, 51, 100, 1, 3478)));

    // The newer ones win, in whatever order they come.
    Built both = old;
    both.attribute(attr::kOtherAddress, other)
        .attribute(attr::kResponseOrigin, other)
        .attribute(attr::kXorMappedAddress, {0, 1, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43});
    message = parseMessage(both.bytes());
    QVERIFY(message);
    QCOMPARE(message->mapped, std::optional(v4(192, 0, 2, 1, 32853)));
    QCOMPARE(message->otherAddress, std::optional(v4(198, 51, 100, 3, 3480)));
    QCOMPARE(message->responseOrigin, std::optional(v4(198, 51, 100, 3, 3480)));
}

void TestStunMessage::attributeRules()
{
    // SOFTWARE and unknown comprehension-optional attributes are skipped, whatever their
    // padding holds.
    Built optional;
    optional.attribute(attr::kSoftware, {'a', 'b', 'c', 'd', 'e'})
        .attribute(0x8055, {1, 2, 3})
        .attribute(attr::kChangeRequest, {0, 0, 0, 4});
    optional.body[4 + 5] = 0xee; // padding that is not zero
    auto message = parseMessage(optional.bytes());
    QVERIFY(message);
    QVERIFY(!message->unknownRequired);
    QVERIFY(message->hasChangeRequest);
    QVERIFY(message->changeIp);
    QVERIFY(!message->changePort);

    // An unknown comprehension-required attribute is flagged, not refused.
    Built required;
    required.attribute(0x0099, {});
    message = parseMessage(required.bytes());
    QVERIFY(message);
    QVERIFY(message->unknownRequired);
    // RFC 3489's RESPONSE-ADDRESS (send the answer elsewhere) is not served either.
    Built responseAddress;
    responseAddress.attribute(0x0002, {0, 1, 0, 1, 192, 0, 2, 1});
    message = parseMessage(responseAddress.bytes());
    QVERIFY(message);
    QVERIFY(message->unknownRequired);

    for (const std::uint16_t type : {attr::kPadding, attr::kResponsePort}) {
        Built asks;
        asks.attribute(type, {0x0d, 0x96, 0, 0});
        message = parseMessage(asks.bytes());
        QVERIFY(message);
        QVERIFY(message->asksPaddingOrResponsePort);
        QVERIFY(!message->unknownRequired);
    }

    // CHANGE-REQUEST's flags: 0x4 the address, 0x2 the port, other bits ignored.
    Built flags;
    flags.attribute(attr::kChangeRequest, {0xff, 0xff, 0xff, 0xf9});
    message = parseMessage(flags.bytes());
    QVERIFY(message);
    QVERIFY(!message->changeIp);
    QVERIFY(!message->changePort);
    QVERIFY(message->hasChangeRequest);
}

void TestStunMessage::refusesBadHeaders()
{
    const Bytes good = bindingRequest(kSampleId, true, true);
    QVERIFY(parseMessage(good));

    Built cookie;
    cookie.cookie = 0x2112A443;
    QVERIFY(!parseMessage(cookie.bytes()));
    Built topBits;
    topBits.type = 0x4001; // the first two bits tell STUN from other protocols on the port
    QVERIFY(!parseMessage(topBits.bytes()));
    topBits.type = 0x8001;
    QVERIFY(!parseMessage(topBits.bytes()));

    Built withAttr;
    withAttr.attribute(attr::kChangeRequest, {0, 0, 0, 6});
    QVERIFY(parseMessage(withAttr.bytes()));
    QVERIFY(!parseMessage(withAttr.bytes(6)));  // not a multiple of 4
    QVERIFY(!parseMessage(withAttr.bytes(4)));  // shorter than the datagram
    QVERIFY(!parseMessage(withAttr.bytes(12))); // longer than the datagram
    Bytes trailing = withAttr.bytes();
    trailing.insert(trailing.end(), {0, 0, 0, 0});
    QVERIFY(!parseMessage(trailing)); // bytes after the message
    QVERIFY(!parseMessage(Bytes{}));
    QVERIFY(!parseMessage(Bytes(19, 0)));
}

void TestStunMessage::refusesBadAttributes()
{
    auto refused = [](const Built& built) { return !parseMessage(built.bytes()); };

    // An attribute whose length runs past the message, by its value or by its padding.
    Built runs;
    runs.attribute(attr::kSoftware, {'a', 'b', 'c', 'd'});
    runs.body[3] = 8;
    QVERIFY(refused(runs));
    Built halfHeader;
    halfHeader.attribute(attr::kSoftware, {'a', 'b', 'c', 'd'});
    halfHeader.body.insert(halfHeader.body.end(), {0x80, 0x22, 0, 0});
    QVERIFY(!refused(halfHeader)); // an empty SOFTWARE is fine
    halfHeader.body.resize(halfHeader.body.size() - 4);
    halfHeader.body.insert(halfHeader.body.end(), {0x80, 0x22, 0, 1});
    QVERIFY(refused(halfHeader)); // a one-byte value with no room for it

    // Address attributes of the wrong size or family.
    for (const std::uint16_t type :
         {attr::kXorMappedAddress, attr::kMappedAddress, attr::kOtherAddress, attr::kResponseOrigin,
          attr::kChangedAddress, attr::kSourceAddress}) {
        Built shortV4;
        shortV4.attribute(type, {0, 1, 0, 1, 192, 0, 2});
        QVERIFY(refused(shortV4));
        Built longV4;
        longV4.attribute(type, {0, 1, 0, 1, 192, 0, 2, 1, 0, 0, 0, 0});
        QVERIFY(refused(longV4));
        Built shortV6;
        shortV6.attribute(type, Bytes{0, 2, 0, 1, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0});
        QVERIFY(refused(shortV6));
        Built family;
        family.attribute(type, {0, 3, 0, 1, 192, 0, 2, 1});
        QVERIFY(refused(family));
        Built empty;
        empty.attribute(type, {});
        QVERIFY(refused(empty));
    }

    Built change;
    change.attribute(attr::kChangeRequest, {0, 0, 6});
    QVERIFY(refused(change));
    Built errorCode;
    errorCode.type = 0x0111;
    errorCode.attribute(attr::kErrorCode, {0, 0, 7, 0}); // class 7 does not exist
    QVERIFY(refused(errorCode));
    Built errorNumber;
    errorNumber.type = 0x0111;
    errorNumber.attribute(attr::kErrorCode, {0, 0, 4, 100});
    QVERIFY(refused(errorNumber));

    // Nothing may follow FINGERPRINT.
    Bytes fingerprinted = withFingerprint(bindingRequest(kSampleId));
    QVERIFY(parseMessage(fingerprinted));
    fingerprinted.insert(fingerprinted.end(), {0x80, 0x22, 0, 0});
    fingerprinted[3] = static_cast<std::uint8_t>(fingerprinted[3] + 4);
    QVERIFY(!parseMessage(fingerprinted));
    // A FINGERPRINT of the wrong size.
    Built fingerprintSize;
    fingerprintSize.attribute(attr::kFingerprint, {0, 0, 0, 0, 0, 0, 0, 0});
    QVERIFY(refused(fingerprintSize));
}

void TestStunMessage::refusesEveryTruncation()
{
    struct Sample
    {
        const char* text;
        std::vector<std::size_t> boundaries; // where each attribute ends, FINGERPRINT's excluded
    };
    for (const Sample& sample : {Sample{kSampleRequest, {20, 40, 48, 60, 76, 100}},
                                 Sample{kSampleIpv4Response, {20, 36, 48, 72}}}) {
        const Bytes whole = hex(sample.text);
        QVERIFY(parseMessage(whole));
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const QByteArray where = QByteArray::number(qulonglong(size));
            // Cut as it is: the header's length no longer fits.
            Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            QVERIFY2(!parseMessage(cut), where.constData());
            if (size < 20)
                continue;
            // Cut with the length made to fit: a message again only where an attribute ends
            // (FINGERPRINT is optional); inside an attribute it is refused.
            cut[2] = static_cast<std::uint8_t>((size - 20) >> 8);
            cut[3] = static_cast<std::uint8_t>(size - 20);
            const bool boundary = std::find(sample.boundaries.begin(), sample.boundaries.end(),
                                            size) != sample.boundaries.end();
            QVERIFY2(parseMessage(cut).has_value() == boundary, where.constData());
        }
    }
}

void TestStunMessage::endpointTexts()
{
    QCOMPARE(endpointText(v4(192, 0, 2, 1, 3478)), std::string("192.0.2.1:3478"));
    QCOMPARE(endpointText(v4(0, 0, 0, 0, 0)), std::string("0.0.0.0:0"));
    QCOMPARE(endpointText(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}, 3478)),
             std::string("[2001:db8::1]:3478"));
    QCOMPARE(endpointText(v6({0, 0, 0, 0, 0, 0, 0, 1}, 1)), std::string("[::1]:1"));
    QCOMPARE(endpointText(v6({0, 0, 0, 0, 0, 0, 0, 0}, 65535)), std::string("[::]:65535"));
    QCOMPARE(endpointText(v6({0x2001, 0xdb8, 0, 1, 0, 0, 0, 1}, 2)),
             std::string("[2001:db8:0:1::1]:2"));
    QCOMPARE(endpointText(v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, 2)),
             std::string("[2001:db8::1:0:0:1]:2"));
    QCOMPARE(endpointText(v6({0xfe80, 0, 0, 0, 0, 0, 0, 0}, 2)), std::string("[fe80::]:2"));
    QCOMPARE(endpointText(v6({1, 2, 3, 4, 5, 6, 0, 8}, 2)), std::string("[1:2:3:4:5:6:0:8]:2"));
}

void TestStunMessage::errorResponses()
{
    const std::array<std::uint16_t, 2> unknown{attr::kChangeRequest, 0x0099};
    for (const int code : {420, 400, 300, 699}) {
        const Bytes bytes =
            bindingError(kSampleId, code, code == 420 ? unknown : std::span<const std::uint16_t>{});
        QCOMPARE(bytes.size() % 4, std::size_t{0});
        const auto message = parseMessage(bytes);
        QVERIFY(message);
        QCOMPARE(message->kind, MessageKind::Error);
        QCOMPARE(message->method, kBinding);
        QVERIFY(message->transaction == kSampleId);
        QCOMPARE(message->errorCode, std::optional<int>(code));
    }
    // 420: "Unknown Attribute" and the two types, each padded to a multiple of 4.
    const Bytes bytes = bindingError(kSampleId, 420, unknown);
    QVERIFY(bytes == hex("011100242112a442b7e7a701bc34d686fa87dfae"
                         "0009001500000414556e6b6e6f776e20417474726962757465000000"
                         "000a000400030099"));
}

void TestStunMessage::classicForm()
{
    // What Debian's `stun` client (0.97) sends: a Binding request with CHANGE-REQUEST and a
    // 16-byte transaction id where the cookie would be.
    const Bytes request = hex("000100080139be61748ef068461031475f42fa10"
                              "0003000400000004");
    QVERIFY(!parseMessage(request));
    const auto classic = parseClassicMessage(request);
    QVERIFY(classic);
    QCOMPARE(classic->message.kind, MessageKind::Request);
    QCOMPARE(classic->message.method, kBinding);
    QVERIFY(classic->message.hasChangeRequest);
    QVERIFY(classic->message.changeIp);
    QVERIFY(!classic->message.changePort);
    QCOMPARE(classic->transaction[0], 0x01);
    QCOMPARE(classic->transaction[15], 0x10);

    // A message with the cookie is not of this form, and the same rules hold for lengths.
    QVERIFY(!parseClassicMessage(bindingRequest(kSampleId)));
    QVERIFY(!parseClassicMessage(Bytes(request.begin(), request.end() - 4)));
    Bytes withXor = request;
    withXor[3] = 0x14;
    withXor.insert(withXor.end(), {0x00, 0x20, 0x00, 0x08, 0, 1, 0, 1, 1, 2, 3, 4});
    const auto xorClassic = parseClassicMessage(withXor);
    QVERIFY(xorClassic);
    QVERIFY(xorClassic->message.unknownRequired);

    ClassicTransactionId id{};
    std::copy(request.begin() + 4, request.end() - 8, id.begin());
    for (const bool changed : {false, true}) {
        const std::optional<Endpoint> changedAddress =
            changed ? std::optional(v4(127, 0, 0, 2, 3479)) : std::nullopt;
        const Bytes reply = classicBindingSuccess(id, v4(127, 0, 0, 1, 19030),
                                                  v4(127, 0, 0, 1, 3478), changedAddress);
        QCOMPARE(reply.size(), changed ? std::size_t{56} : std::size_t{44});
        QVERIFY(!parseMessage(reply));
        const auto back = parseClassicMessage(reply);
        QVERIFY(back);
        QVERIFY(back->transaction == id);
        QCOMPARE(back->message.kind, MessageKind::Success);
        QCOMPARE(back->message.mapped, std::optional(v4(127, 0, 0, 1, 19030)));
        QCOMPARE(back->message.responseOrigin, std::optional(v4(127, 0, 0, 1, 3478)));
        QCOMPARE(back->message.otherAddress, changedAddress);
    }
}

QTEST_APPLESS_MAIN(TestStunMessage)
#include "tst_stunmessage.moc"
