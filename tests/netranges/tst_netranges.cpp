// The table of special-purpose ranges against the registries as written out in registry.h: the
// same ranges with the same kinds and reachability, well formed, and each range's first and last
// address in it and the addresses just outside it not, nesting, IPv4-mapped addresses and the
// IPv4 addresses inside NAT64 and 6to4 ones included.

#include "netranges/netranges.h"
#include "tests/netranges/registry.h"

#include <QSet>
#include <QTest>

using namespace quillmere;
using namespace quillmere::testing;
using netranges::Kind;
using netranges::Range;
using namespace Qt::StringLiterals;

namespace {

QHostAddress networkOf(const Range& range)
{
    return addressOf(range.network, range.family == netranges::Family::Ipv4);
}

QString describe(const Range* range)
{
    if (!range)
        return u"no range (global)"_s;
    return networkOf(*range).toString() + u'/' + QString::number(range->length) + u" (" +
           QString::fromLatin1(netranges::kindName(range->kind)) + u')';
}

QString describe(const Expected* expected)
{
    if (!expected)
        return u"no range (global)"_s;
    return QString::fromLatin1(expected->prefix) + u" (" +
           QString::fromLatin1(netranges::kindName(expected->kind)) + u')';
}

bool same(const Range& range, const Expected& expected)
{
    const auto [network, length] = subnetOf(expected);
    return range.length == static_cast<unsigned>(length) && networkOf(range) == network &&
           range.kind == expected.kind && range.globallyReachable == expected.global &&
           range.embeddedIpv4 == expected.embedded;
}

const Range* findIn(const QHostAddress& address)
{
    if (isV4(address))
        return netranges::find(v4BytesOf(address));
    return netranges::find(bytesOf(address));
}

} // namespace

class TestNetRanges : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tableIsTheRegistry();
    void rangesAreWellFormed();
    void kindsHaveNames();
    void edges_data();
    void edges();
    void examples_data();
    void examples();
    void embeddedIpv4();
};

void TestNetRanges::tableIsTheRegistry()
{
    QList<const Range*> table;
    for (const Range& range : netranges::ipv4Ranges())
        table << &range;
    for (const Range& range : netranges::ipv6Ranges())
        table << &range;
    for (const Range* range : table) {
        const bool listed = std::any_of(std::begin(kExpected), std::end(kExpected),
                                        [&](const Expected& e) { return same(*range, e); });
        QVERIFY2(listed, qPrintable(u"not in the registry: "_s + describe(range)));
    }
    for (const Expected& expected : kExpected) {
        const bool held = std::any_of(table.cbegin(), table.cend(),
                                      [&](const Range* range) { return same(*range, expected); });
        QVERIFY2(held, qPrintable(u"missing from the table: "_s + describe(&expected)));
    }
    QCOMPARE(table.size(), qsizetype(std::size(kExpected)));
}

void TestNetRanges::rangesAreWellFormed()
{
    for (const auto family : {netranges::Family::Ipv4, netranges::Family::Ipv6}) {
        const auto ranges =
            family == netranges::Family::Ipv4 ? netranges::ipv4Ranges() : netranges::ipv6Ranges();
        QSet<QString> seen;
        for (const Range& range : ranges) {
            const QString name = describe(&range);
            QCOMPARE(range.family, family);
            QVERIFY2(range.length <= (family == netranges::Family::Ipv4 ? 32u : 128u),
                     qPrintable(name));
            // No bit set past the prefix: the network is the range's first address.
            QCOMPARE(edgeOf(networkOf(range), int(range.length), false), networkOf(range));
            if (family == netranges::Family::Ipv4)
                QVERIFY2(std::all_of(range.network.begin() + 4, range.network.end(),
                                     [](auto b) { return b == 0; }),
                         qPrintable(name));
            QVERIFY2(!range.name.empty() && !range.reference.empty(), qPrintable(name));
            QVERIFY2(range.kind != Kind::Global, qPrintable(name));
            QVERIFY2(!seen.contains(name), qPrintable(u"twice: "_s + name));
            seen.insert(name);
        }
    }
}

void TestNetRanges::kindsHaveNames()
{
    QSet<QString> names;
    for (int k = int(Kind::Global); k <= int(Kind::Multicast); ++k) {
        const QString name = QString::fromLatin1(netranges::kindName(Kind(k)));
        QVERIFY(!name.isEmpty());
        names.insert(name);
    }
    QCOMPARE(names.size(), int(Kind::Multicast) + 1);
}

void TestNetRanges::edges_data()
{
    QTest::addColumn<QString>("text");
    const auto addresses = edgeAddresses();
    QVERIFY(addresses.size() > 400);
    for (const QHostAddress& address : addresses)
        QTest::newRow(qPrintable(address.toString())) << address.toString();
}

void TestNetRanges::edges()
{
    QFETCH(QString, text);
    const QHostAddress address(text);
    QVERIFY(!address.isNull());
    const Expected* expected = expectedFor(address);
    const Range* range = findIn(address);
    QVERIFY2(expected ? range && same(*range, *expected) : !range,
             qPrintable(u"table: "_s + describe(range) + u", registry: "_s + describe(expected)));
    const Kind kind = expected ? expected->kind : Kind::Global;
    const bool global = !expected || expected->global;
    if (isV4(address)) {
        QCOMPARE(netranges::kindOf(v4BytesOf(address)), kind);
        QCOMPARE(netranges::isGloballyReachable(v4BytesOf(address)), global);
    } else {
        QCOMPARE(netranges::kindOf(bytesOf(address)), kind);
        QCOMPARE(netranges::isGloballyReachable(bytesOf(address)), global);
    }
}

void TestNetRanges::examples_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("kindNumber");
    QTest::addColumn<bool>("global");
    const auto row = [](const char* text, Kind kind, bool global) {
        QTest::newRow(text) << QString::fromLatin1(text) << int(kind) << global;
    };
    row("8.8.8.8", Kind::Global, true);
    row("100.63.255.255", Kind::Global, true);
    row("100.64.0.0", Kind::Shared, false);
    row("100.127.255.255", Kind::Shared, false);
    row("100.128.0.0", Kind::Global, true);
    row("198.17.255.255", Kind::Global, true);
    row("198.18.0.0", Kind::Benchmarking, false);
    row("198.19.255.255", Kind::Benchmarking, false);
    row("198.20.0.0", Kind::Global, true);
    row("203.0.113.7", Kind::Documentation, false);
    row("0.0.0.0", Kind::Unspecified, false);
    row("0.0.0.1", Kind::ThisNetwork, false);
    // Nested: the most specific range speaks.
    row("192.0.0.7", Kind::Translation, false);
    row("192.0.0.8", Kind::Reserved, false);
    row("192.0.0.9", Kind::Anycast, true);
    row("192.0.0.11", Kind::ProtocolAssignments, false);
    row("223.255.255.255", Kind::Global, true);
    row("224.0.0.0", Kind::Multicast, false);
    row("239.255.255.255", Kind::Multicast, false);
    row("240.0.0.0", Kind::Reserved, false);
    row("255.255.255.254", Kind::Reserved, false);
    row("255.255.255.255", Kind::Broadcast, false);
    row("2a00:1450:4001::1", Kind::Global, true);
    row("1fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", Kind::Reserved, false);
    row("2000::", Kind::Global, true);
    row("3ffe:ffff::1", Kind::Global, true);
    row("3fff::", Kind::Documentation, false);
    row("3fff:fff:ffff:ffff:ffff:ffff:ffff:ffff", Kind::Documentation, false);
    row("3fff:1000::", Kind::Global, true);
    row("4000::", Kind::Reserved, false);
    row("2001::1", Kind::Translation, false);
    row("2001:1::1", Kind::Anycast, true);
    row("2001:1::4", Kind::ProtocolAssignments, false);
    row("2001:1ff::1", Kind::ProtocolAssignments, false);
    row("2001:200::1", Kind::Global, true);
    row("2001:db8::1", Kind::Documentation, false);
    row("fd12:3456::1", Kind::Private, false);
    row("fe80::1", Kind::LinkLocal, false);
    row("ff02::1", Kind::Multicast, false);
    // IPv4-mapped: the IPv4 address, whatever it is.
    row("::ffff:8.8.8.8", Kind::Global, true);
    row("::ffff:198.18.0.1", Kind::Benchmarking, false);
    row("::ffff:192.0.0.9", Kind::Anycast, true);
    // NAT64 and 6to4: the IPv4 address inside when that one is not globally reachable.
    row("64:ff9b::808:808", Kind::Translation, true);
    row("64:ff9b::a00:1", Kind::Private, false);
    row("64:ff9b::6440:1", Kind::Shared, false);
    row("64:ff9b::c000:9", Kind::Translation, true);
    row("2002:808:808::1", Kind::Translation, true);
    row("2002:c0a8:101::1", Kind::Private, false);
    row("2002:7f00:1::1", Kind::Loopback, false);
    // Only the well-known prefix and 6to4 carry one: the deprecated IPv4-compatible form is
    // reserved space, and so is the local-use NAT64 prefix.
    row("::10.0.0.1", Kind::Reserved, false);
    row("64:ff9b:1::808:808", Kind::Translation, false);
}

void TestNetRanges::examples()
{
    QFETCH(QString, address);
    QFETCH(int, kindNumber);
    QFETCH(bool, global);
    const auto kind = Kind(kindNumber);
    const QHostAddress parsed(address);
    QVERIFY(!parsed.isNull());
    // Held to the table's documented rules and to the registry list alike.
    const Expected* expected = expectedFor(parsed);
    QCOMPARE(expected ? expected->kind : Kind::Global, kind);
    if (isV4(parsed)) {
        QCOMPARE(netranges::kindOf(v4BytesOf(parsed)), kind);
        QCOMPARE(netranges::isGloballyReachable(v4BytesOf(parsed)), global);
    } else {
        QCOMPARE(netranges::kindOf(bytesOf(parsed)), kind);
        QCOMPARE(netranges::isGloballyReachable(bytesOf(parsed)), global);
    }
}

void TestNetRanges::embeddedIpv4()
{
    const auto inner = [](const char* text) {
        return netranges::embeddedIpv4(bytesOf(QHostAddress(QString::fromLatin1(text))));
    };
    const netranges::Ipv4Bytes expected{10, 1, 2, 3};
    QVERIFY(inner("::ffff:10.1.2.3") == expected);
    QVERIFY(inner("64:ff9b::a01:203") == expected);
    QVERIFY(inner("2002:a01:203::1") == expected);
    QVERIFY(inner("2002:a01:203:ffff:ffff:ffff:ffff:ffff") == expected);
    QVERIFY(!inner("::10.1.2.3"));
    QVERIFY(!inner("64:ff9b:1::a01:203"));
    QVERIFY(!inner("64:ff9b:0:0:1::a01:203"));
    QVERIFY(!inner("2003:a01:203::1"));
    QVERIFY(!inner("2001:db8::1"));
}

QTEST_GUILESS_MAIN(TestNetRanges)
#include "tst_netranges.moc"
