// Every part that judges an address against the table of special-purpose ranges, over every
// range's edges (first and last address, just outside, IPv4-mapped, NAT64 and 6to4 forms):
// the check server's refusal, the router client's test of a WAN address for mappings, the
// diagnosis's address classes and the note about a check server on the local network. Each may
// ask its own question, but an address is public for all of them or for none.

#include "netranges/netranges.h"
#include "router/lan.h"
#include "session/diagnosis.h"
#include "tests/netranges/registry.h"
#ifdef QUILLMERE_TEST_SERVER
#include "server/addresses.h"
#endif

#include <QTest>

using namespace quillmere;
using namespace quillmere::testing;
using netranges::Kind;
using namespace Qt::StringLiterals;

namespace {

struct TableSays
{
    Kind kind = Kind::Global;
    bool global = true;
};

TableSays tableSays(const QHostAddress& address)
{
    if (isV4(address))
        return {netranges::kindOf(v4BytesOf(address)),
                netranges::isGloballyReachable(v4BytesOf(address))};
    return {netranges::kindOf(bytesOf(address)), netranges::isGloballyReachable(bytesOf(address))};
}

// IPv4 as the Qt parts take it: an IPv4 address, or an IPv6 one that stands for one.
bool takenAsIpv4(const QHostAddress& address)
{
    bool ok = false;
    address.toIPv4Address(&ok);
    return ok;
}

} // namespace

class TestRangeUsers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void agree_data();
    void agree();
    void localServerNote();
};

void TestRangeUsers::agree_data()
{
    QTest::addColumn<QString>("text");
    const auto addresses = edgeAddresses();
    QVERIFY(addresses.size() > 400);
    for (const QHostAddress& address : addresses)
        QTest::newRow(qPrintable(address.toString())) << address.toString();
}

void TestRangeUsers::agree()
{
    QFETCH(QString, text);
    const QHostAddress address(text);
    QVERIFY(!address.isNull());
    const TableSays table = tableSays(address);
    const bool ipv4 = takenAsIpv4(address);

#ifdef QUILLMERE_TEST_SERVER
    // The server probes only what the table calls globally reachable.
    QCOMPARE(server::isPublicAddress(boost::asio::ip::make_address(text.toStdString())),
             table.global);
#endif
    // The router takes mappings only with an IPv4 WAN address the internet can reach.
    QCOMPARE(router::isReservedIpv4(address), !(ipv4 && table.global));
    // The diagnosis: public as for everyone; private and carrier-grade as NAT evidence, which
    // only IPv4 gives.
    QCOMPARE(router::isPublic(address), table.global);
    QCOMPARE(router::isPrivate(address), ipv4 && table.kind == Kind::Private);
    QCOMPARE(router::isCarrierGrade(address), ipv4 && table.kind == Kind::Shared);
    QVERIFY(!(router::isPublic(address) && router::isPrivate(address)));
    QVERIFY(!(router::isPublic(address) && router::isCarrierGrade(address)));
    // On this computer or the LAN.
    const bool local = table.kind == Kind::Unspecified || table.kind == Kind::Loopback ||
                       table.kind == Kind::LinkLocal || table.kind == Kind::Private;
    QCOMPARE(router::isLocalNetworkAddress(address), local);
    QVERIFY(!(local && table.global));
}

void TestRangeUsers::localServerNote()
{
    const CheckServerAddress server{u"checker.lan"_s, 80};
    const auto note = [&server](const QList<QHostAddress>& addresses) {
        return router::localServerNote(server, addresses, u"Name another."_s);
    };
    const QHostAddress global(u"8.8.8.8"_s);
    for (const QHostAddress& address : edgeAddresses()) {
        const Kind kind = tableSays(address).kind;
        const bool local = kind == Kind::Unspecified || kind == Kind::Loopback ||
                           kind == Kind::LinkLocal || kind == Kind::Private;
        QVERIFY2(note({address}).isEmpty() != local, qPrintable(address.toString()));
        // One address beyond the LAN and the server may be a real one.
        QVERIFY2(note({address, global}).isEmpty(), qPrintable(address.toString()));
    }
    QVERIFY(note({QHostAddress(u"127.0.0.1"_s), QHostAddress(u"::1"_s)})
                .startsWith(u"The check server checker.lan is on this computer"_s));
    QVERIFY(note({}).isEmpty());
}

QTEST_GUILESS_MAIN(TestRangeUsers)
#include "tst_rangeusers.moc"
