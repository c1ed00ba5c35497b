// The diagnosis over the combinations of what the check saw and what the router said: each
// finding reached, the order between them, the hops standing in for a hidden WAN address, and
// the texts (the device named, UPnP's blind spot said, the router's words made safe to quote).

#include "session/diagnosis.h"

#include <QSet>
#include <QTest>

using namespace quillmere;
using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace {

const QString kHere = u"192.168.1.10"_s;
// An ordinary internet address: the documentation ranges are not public, for the diagnosis as
// for the check server.
const QString kWan = u"1.2.3.4"_s;

CheckFacts check(VerdictKind verdict, const QString& seen = kWan)
{
    CheckFacts facts;
    facts.verdict = verdict;
    facts.externalAddress = seen;
    facts.pingOk = true;
    facts.localAddresses = {u"127.0.0.1"_s, kHere, u"::1"_s};
    facts.port = 8080;
    facts.protocol = ProbeProtocol::Tcp;
    return facts;
}

RouterFacts upnp(const QString& wan = kWan)
{
    RouterFacts facts;
    facts.found = true;
    facts.via = Via::Upnp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = kHere;
    facts.externalAddress = wan;
    facts.canMap = true;
    facts.mappingQueried = true;
    return facts;
}

// NAT-PMP cannot list mappings; with a reserved WAN address it answers "network failure" and
// gives none.
RouterFacts natpmp(const QString& wan = kWan)
{
    RouterFacts facts = upnp(wan);
    facts.via = Via::Natpmp;
    facts.mappingQueried = false;
    return facts;
}

// A router that answers PCP, and the result code of this computer's MAP through it.
RouterFacts pcpMapped(const QString& wan, std::optional<int> mapResult)
{
    RouterFacts facts = upnp(wan);
    facts.via = Via::Pcp;
    facts.mappingQueried = false;
    facts.pcp = PcpFacts{true, 2, 7};
    facts.pcpMapResult = mapResult;
    return facts;
}

RouterFacts noRouter()
{
    return {};
}

Mapping toDvr()
{
    return {u"192.168.1.20"_s, 8080, u"Camera"_s, 0, u"dvr.lan"_s, false};
}

Mapping toHere()
{
    return {kHere, 8080, u"Quillmere"_s, 3600, QString(), true};
}

RouterFacts mapped(RouterFacts facts, const Mapping& mapping)
{
    facts.mapping = mapping;
    return facts;
}

RouterFacts withHops(RouterFacts facts, const QList<Hop>& hops)
{
    facts.hops = hops;
    return facts;
}

// What was found of this computer's firewall, added to a check.
CheckFacts withFirewall(CheckFacts facts, std::optional<firewall::Kind> kind,
                        std::optional<bool> blocks, std::optional<QString> fix = std::nullopt,
                        const QString& zone = QString())
{
    firewall::FirewallFacts found;
    found.found = kind;
    found.blocks = blocks;
    found.evidence = u"2 datagrams arrived during the check and went no further"_s;
    found.fix = std::move(fix);
    found.zone = zone;
    facts.firewall = found;
    return facts;
}

struct Case
{
    const char* name;
    CheckFacts check;
    RouterFacts router;
    Finding finding;
    QStringList says = {};    // each must appear in the text
    QStringList notSays = {}; // none may appear in it
};

QList<Case> cases()
{
    using V = VerdictKind;
    const QList<Hop> cgnHops = {{1, u"192.168.1.1"_s}, {2, u"100.64.0.1"_s}, {3, u"100.64.9.9"_s}};
    const QList<Hop> privateHops = {{1, u"192.168.1.1"_s}, {2, u"10.0.0.1"_s}};
    return {
        // No result: nothing else matters.
        {"no result",
         check(V::NoResult, QString()),
         mapped(upnp(), toDvr()),
         Finding::NoCheckResult,
         {u"no result"_s}},
        {"still pending", check(V::Pending), upnp(), Finding::NoCheckResult},
        {"no result, no router", check(V::NoResult, QString()), noRouter(), Finding::NoCheckResult},

        // Open here comes first.
        {"open here, mapped here",
         check(V::OpenHere),
         mapped(upnp(), toHere()),
         Finding::ForwardedHere,
         {u"Port 8080/tcp is open on this computer"_s, u"UPnP"_s}},
        {"open here, no mapping", check(V::OpenHere), upnp(), Finding::ForwardedHere},
        {"open here, no router", check(V::OpenHere), noRouter(), Finding::ForwardedHere},
        {"open here beats carrier nat", check(V::OpenHere), upnp(u"100.64.1.2"_s),
         Finding::ForwardedHere},
        {"open here, mapping elsewhere",
         check(V::OpenHere),
         mapped(upnp(), toDvr()),
         Finding::ForwardedHere,
         {u"192.168.1.20"_s, u"by hand"_s}},

        // A mapping to another device names it.
        {"mapped to dvr, not open",
         check(V::NotOpen),
         mapped(upnp(), toDvr()),
         Finding::ForwardedElsewhere,
         {u"port 8080/tcp"_s, u"192.168.1.20 (dvr.lan, \"Camera\")"_s, u"did not answer"_s,
          u"this computer (192.168.1.10)"_s}},
        {"mapped to dvr, open elsewhere",
         check(V::OpenElsewhere),
         mapped(upnp(), toDvr()),
         Finding::ForwardedElsewhere,
         {u"192.168.1.20 (dvr.lan, \"Camera\")"_s},
         {u"did not answer"_s}},
        {"mapped to a device without names",
         check(V::NotOpen),
         mapped(upnp(), {u"192.168.1.30"_s, 8080, QString(), 0, QString(), false}),
         Finding::ForwardedElsewhere,
         {u"another device, 192.168.1.30, not"_s}},
        {"mapping elsewhere beats carrier nat", check(V::NotOpen),
         mapped(upnp(u"100.64.1.2"_s), toDvr()), Finding::ForwardedElsewhere},
        {"mapping elsewhere beats double nat", check(V::NotOpen),
         mapped(upnp(u"192.168.0.2"_s), toDvr()), Finding::ForwardedElsewhere},

        // Open on another device with no mapping elsewhere in sight.
        {"open elsewhere, no UPnP mapping",
         check(V::OpenElsewhere),
         upnp(),
         Finding::ForwardedElsewhere,
         {u"by hand"_s, u"UPnP cannot see"_s, u"192.168.1.10"_s}},
        {"open elsewhere, mapped here",
         check(V::OpenElsewhere),
         mapped(upnp(), toHere()),
         Finding::ForwardedElsewhere,
         {u"mapping sends the port here"_s, u"by hand"_s}},
        {"open elsewhere over NAT-PMP",
         check(V::OpenElsewhere),
         natpmp(),
         Finding::ForwardedElsewhere,
         {u"NAT-PMP cannot list"_s}},
        {"open elsewhere, no router",
         check(V::OpenElsewhere),
         noRouter(),
         Finding::ForwardedElsewhere,
         {u"No router answered"_s}},
        {"open elsewhere behind another nat", check(V::OpenElsewhere, u"198.51.100.9"_s), upnp(),
         Finding::AnotherNat},

        // Carrier-grade NAT.
        {"carrier nat from the WAN address",
         check(V::NotOpen, u"198.51.100.9"_s),
         upnp(u"100.64.1.2"_s),
         Finding::CarrierNat,
         {u"100.64.1.2"_s, u"public IPv4 address"_s, u"IPv6"_s}},
        {"carrier nat beats blocked", check(V::NotOpen, u"198.51.100.9"_s),
         mapped(upnp(u"100.127.255.254"_s), toHere()), Finding::CarrierNat},
        {"carrier nat over NAT-PMP", check(V::NotOpen), natpmp(u"100.100.0.1"_s),
         Finding::CarrierNat},
        // A carrier NAT that answers PCP MAP: it maps ports, or it refused to.
        {"carrier nat that maps over PCP",
         check(V::NotOpen),
         pcpMapped(u"100.64.1.2"_s, 0),
         Finding::CarrierNat,
         {u"Your ISP lets you map ports: Quillmere can do it"_s, u"--via pcp"_s},
         {u"Ask your provider for a public IPv4 address"_s}},
        {"carrier nat refusing PCP: NO_RESOURCES",
         check(V::NotOpen),
         pcpMapped(u"100.64.1.2"_s, 8),
         Finding::CarrierNat,
         {u"Ask your ISP for a public address or a mapping"_s, u"NO_RESOURCES"_s},
         {u"lets you map"_s}},
        {"carrier nat refusing PCP: NOT_AUTHORIZED",
         check(V::NotOpen),
         withHops(pcpMapped(QString(), 2), cgnHops),
         Finding::CarrierNat,
         {u"Ask your ISP for a public address or a mapping"_s, u"NOT_AUTHORIZED"_s}},
        // Other refusals say nothing about the provider: the plain carrier advice stands.
        {"carrier nat, PCP ADDRESS_MISMATCH",
         check(V::NotOpen),
         pcpMapped(u"100.64.1.2"_s, 12),
         Finding::CarrierNat,
         {u"Ask your provider for a public IPv4 address"_s},
         {u"lets you map"_s, u"mapping ("_s}},
        {"carrier nat, PCP present but no MAP yet",
         check(V::NotOpen),
         pcpMapped(u"100.64.1.2"_s, std::nullopt),
         Finding::CarrierNat,
         {u"Ask your provider for a public IPv4 address"_s},
         {u"lets you map"_s}},
        // Behind no carrier NAT a refusal is the router's own business.
        {"PCP NO_RESOURCES on a public WAN",
         check(V::NotOpen),
         pcpMapped(kWan, 8),
         Finding::NotForwarded,
         {u"PCP cannot tell"_s},
         {u"ISP"_s, u"NAT-PMP"_s}},
        {"carrier nat beyond a double nat",
         check(V::NotOpen),
         withHops(upnp(u"192.168.0.2"_s),
                  {{1, u"192.168.1.1"_s}, {2, u"192.168.0.1"_s}, {3, u"100.64.0.1"_s}}),
         Finding::CarrierNat,
         {u"100.64.0.1"_s, u"also behind another router"_s}},

        // Double NAT.
        {"double nat from the WAN address",
         check(V::NotOpen),
         upnp(u"192.168.0.2"_s),
         Finding::DoubleNat,
         {u"192.168.0.2"_s, u"port 8080/tcp"_s, u"other router"_s}},
        {"double nat with a 172.16/12 WAN", check(V::NotOpen), upnp(u"172.31.0.2"_s),
         Finding::DoubleNat},
        {"double nat names the outer router",
         check(V::NotOpen),
         withHops(upnp(u"10.0.0.2"_s), privateHops),
         Finding::DoubleNat,
         {u"the other router (10.0.0.1)"_s}},
        {"double nat beats another nat", check(V::NotOpen, u"198.51.100.9"_s), upnp(u"10.0.0.2"_s),
         Finding::DoubleNat},

        // The router hides its WAN address: the hops decide.
        {"no WAN address, carrier hop",
         check(V::NotOpen),
         withHops(upnp(QString()), cgnHops),
         Finding::CarrierNat,
         {u"100.64.0.1"_s}},
        {"no WAN address, private hop",
         check(V::NotOpen),
         withHops(upnp(QString()), privateHops),
         Finding::DoubleNat,
         {u"10.0.0.1"_s}},
        {"blanked WAN address, private hop",
         check(V::NotOpen),
         withHops(upnp(u"0.0.0.0"_s), {{1, u"192.168.1.1"_s}, {2, u"192.168.0.1"_s}}),
         Finding::DoubleNat,
         {u"192.168.0.1"_s}},
        {"carrier hop further out", check(V::NotOpen),
         withHops(upnp(QString()),
                  {{1, u"192.168.1.1"_s}, {2, u"203.0.113.9"_s}, {3, u"100.64.0.1"_s}}),
         Finding::CarrierNat},
        {"NAT-PMP network failure, carrier hop", check(V::NotOpen),
         withHops(natpmp(QString()), cgnHops), Finding::CarrierNat},
        {"NAT-PMP network failure, private hop", check(V::NotOpen),
         withHops(natpmp(QString()), privateHops), Finding::DoubleNat},
        {"private hop not right after the router", check(V::NotOpen),
         withHops(upnp(QString()), {{1, u"192.168.1.1"_s}, {3, u"10.0.0.1"_s}}),
         Finding::NotForwarded},
        {"carrier-grade hop 1 is the router itself", check(V::NotOpen),
         withHops(upnp(QString()), {{1, u"100.64.0.1"_s}}), Finding::NotForwarded},
        {"hops unasked with a public WAN address", check(V::NotOpen), withHops(upnp(), privateHops),
         Finding::NotForwarded},
        // No NAT hands out benchmarking addresses, but a WAN address there cannot be reached
        // from the internet either: the hops tell what lies beyond.
        {"benchmarking WAN address, private hop",
         check(V::NotOpen, u"198.51.100.9"_s),
         withHops(upnp(u"198.18.0.5"_s), privateHops),
         Finding::DoubleNat,
         {u"10.0.0.1"_s}},
        {"documentation WAN address, hops say nothing", check(V::NotOpen, u"198.51.100.9"_s),
         withHops(upnp(u"203.0.113.7"_s), {{1, u"192.168.1.1"_s}, {2, u"203.0.113.1"_s}}),
         Finding::NotForwarded},
        {"no router, carrier hop", check(V::NotOpen), withHops(noRouter(), cgnHops),
         Finding::CarrierNat},
        {"no router, private hop",
         check(V::NotOpen),
         withHops(noRouter(), {{1, u"192.168.1.1"_s}, {2, u"172.16.5.1"_s}}),
         Finding::DoubleNat,
         {u"172.16.5.1"_s}},
        {"no router, own address seen, hops unasked",
         check(V::NotOpen, kHere),
         withHops(noRouter(), privateHops),
         Finding::NoRouter,
         {u"firewall"_s}},

        // Another NAT or a VPN.
        {"another nat",
         check(V::NotOpen, u"198.51.100.9"_s),
         upnp(),
         Finding::AnotherNat,
         {u"1.2.3.4"_s, u"198.51.100.9"_s, u"VPN"_s}},
        {"another nat beats blocked", check(V::NotOpen, u"198.51.100.9"_s),
         mapped(upnp(), toHere()), Finding::AnotherNat},
        {"another nat over NAT-PMP", check(V::NotOpen, u"198.51.100.9"_s), natpmp(),
         Finding::AnotherNat},
        {"no address seen: no other nat to tell", check(V::NotOpen, QString()), upnp(),
         Finding::NotForwarded},
        {"an IPv4-mapped address seen is the same", check(V::NotOpen, u"::ffff:1.2.3.4"_s), upnp(),
         Finding::NotForwarded},

        // Forwarded here, yet nothing arrived.
        {"blocked",
         check(V::NotOpen),
         mapped(upnp(), toHere()),
         Finding::ForwardedButBlocked,
         {u"port 8080/tcp"_s, u"this computer's firewall"_s, u"provider"_s}},
        {"blocked, WAN address hidden, hops say nothing", check(V::NotOpen),
         withHops(mapped(upnp(QString()), toHere()), {{1, u"192.168.1.1"_s}}),
         Finding::ForwardedButBlocked},

        // Not forwarded.
        {"not forwarded over UPnP",
         check(V::NotOpen),
         upnp(),
         Finding::NotForwarded,
         {u"no UPnP mapping"_s, u"by hand"_s, u"this computer (192.168.1.10)"_s,
          u"Quillmere can ask the router"_s}},
        {"not forwarded over NAT-PMP",
         check(V::NotOpen),
         natpmp(),
         Finding::NotForwarded,
         {u"NAT-PMP cannot tell"_s},
         {u"UPnP mapping"_s}},
        // The namespace test bed: a WAN address and a server in the documentation ranges, which
        // are not public: the hops are asked, and tell of no other NAT.
        {"the test bed's plain case", check(V::NotOpen, u"203.0.113.2"_s),
         withHops(upnp(u"203.0.113.2"_s),
                  {{1, u"192.168.77.1"_s}, {2, u"203.0.113.1"_s}, {3, u"198.51.100.1"_s}}),
         Finding::NotForwarded},
        {"the test bed's forward to the dvr",
         check(V::OpenElsewhere, u"203.0.113.2"_s),
         mapped(upnp(u"203.0.113.2"_s), {u"192.168.77.20"_s, 8080, u"dvr"_s, 0, QString(), false}),
         Finding::ForwardedElsewhere,
         {u"192.168.77.20"_s}},

        // No router.
        {"no router",
         check(V::NotOpen),
         noRouter(),
         Finding::NoRouter,
         {u"No router answered UPnP or NAT-PMP"_s, u"port 8080/tcp is not open"_s}},
        {"no router, hops say nothing", check(V::NotOpen),
         withHops(noRouter(), {{1, u"192.168.1.1"_s}, {2, u"203.0.113.1"_s}}), Finding::NoRouter},

        // An IPv6 check: no NAT findings from the router's IPv4 side.
        {"IPv6 seen, carrier-grade WAN",
         check(V::NotOpen, u"2001:db8::10"_s),
         upnp(u"100.64.1.2"_s),
         Finding::NotForwarded,
         {u"IPv6"_s, u"2001:db8::10"_s}},
        {"IPv6 seen, carrier hops", check(V::NotOpen, u"2001:db8::10"_s),
         withHops(noRouter(), cgnHops), Finding::NoRouter},
        {"IPv6 seen, open elsewhere", check(V::OpenElsewhere, u"2001:db8::10"_s), upnp(),
         Finding::ForwardedElsewhere},
        {"IPv6 seen, mapped here", check(V::NotOpen, u"2001:db8::10"_s), mapped(upnp(), toHere()),
         Finding::ForwardedButBlocked},

        // This computer's firewall: evidence that the probe got here and went no further beats
        // every router and NAT finding but a mapping to another device, since the probe passed
        // them all; without that evidence they stand as before.
        {"firewall blocks, mapped here",
         withFirewall(check(V::NotOpen), firewall::Kind::Ufw, true, u"sudo ufw allow 8080/tcp"_s),
         mapped(upnp(), toHere()),
         Finding::BlockedByThisComputer,
         {u"This computer's firewall (ufw) blocks port 8080/tcp"_s, u"sudo ufw allow 8080/tcp"_s,
          u"already forwards the port here"_s}},
        {"firewall blocks, no mapping",
         withFirewall(check(V::NotOpen), firewall::Kind::Nftables, true,
                      u"sudo nft insert rule inet filter input tcp dport 8080 accept"_s),
         upnp(),
         Finding::BlockedByThisComputer,
         {u"(nftables)"_s, u"sudo nft insert rule inet filter input tcp dport 8080 accept"_s},
         {u"UPnP"_s}},
        {"firewalld blocks, named with its zone",
         withFirewall(check(V::NotOpen), firewall::Kind::Firewalld, true,
                      u"sudo firewall-cmd --zone=home --permanent --add-port=8080/tcp && sudo "
                      u"firewall-cmd --reload"_s,
                      u"home"_s),
         upnp(),
         Finding::BlockedByThisComputer,
         {u"(firewalld, zone home)"_s, u"--zone=home"_s}},
        {"unknown firewall blocks",
         withFirewall(check(V::NotOpen), firewall::Kind::Unknown, true),
         noRouter(),
         Finding::BlockedByThisComputer,
         {u"A firewall on this computer blocks port 8080/tcp"_s,
          u"in this computer's firewall settings"_s},
         {u"sudo"_s}},
        {"blocks, though none found by name",
         withFirewall(check(V::NotOpen), std::nullopt, true),
         noRouter(),
         Finding::BlockedByThisComputer,
         {u"A firewall on this computer"_s}},
        {"firewall blocks beats carrier nat",
         withFirewall(check(V::NotOpen), firewall::Kind::Ufw, true, u"sudo ufw allow 8080/tcp"_s),
         upnp(u"100.64.1.2"_s), Finding::BlockedByThisComputer},
        // A mapping to another device sends the probe there: what vanished here was other
        // traffic, and a refusal came from that device.
        {"a mapping elsewhere beats the firewall's evidence",
         withFirewall(check(V::NotOpen), firewall::Kind::Ufw, true, u"sudo ufw allow 8080/tcp"_s),
         mapped(upnp(), toDvr()), Finding::ForwardedElsewhere},
        {"firewall cannot tell, mapped here",
         withFirewall(check(V::NotOpen), firewall::Kind::Ufw, std::nullopt,
                      u"sudo ufw allow 8080/tcp"_s),
         mapped(upnp(), toHere()), Finding::ForwardedButBlocked},
        {"firewall does not block, not forwarded",
         withFirewall(check(V::NotOpen), firewall::Kind::Ufw, false), upnp(),
         Finding::NotForwarded},
        {"open here whatever the firewall",
         withFirewall(check(V::OpenHere), firewall::Kind::Ufw, true), upnp(),
         Finding::ForwardedHere},
        {"open elsewhere whatever the firewall",
         withFirewall(check(V::OpenElsewhere), firewall::Kind::Ufw, true), upnp(),
         Finding::ForwardedElsewhere},
        {"no result whatever the firewall",
         withFirewall(check(V::NoResult, QString()), firewall::Kind::Ufw, true), upnp(),
         Finding::NoCheckResult},
    };
}

bool hasControl(const QString& text)
{
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return true;
    return false;
}

} // namespace

class TestDiagnosis : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void findings_data();
    void findings();
    void everyFindingReached();
    void codes();
    void portUnnamed();
    void ownAddressWithoutRouter();
    void routerTextsAreMadeSafe();
    void quotable_data();
    void quotable();
    void addressClasses_data();
    void addressClasses();
    void controlPortFindings_data();
    void controlPortFindings();
};

void TestDiagnosis::findings_data()
{
    QTest::addColumn<int>("index");
    const QList<Case> all = cases();
    for (int i = 0; i < all.size(); ++i)
        QTest::newRow(all[i].name) << i;
}

void TestDiagnosis::findings()
{
    QFETCH(int, index);
    const Case c = cases().at(index);
    const Diagnosis found = diagnose(c.check, c.router);
    const QString text = found.text();
    QCOMPARE(findingCode(found.finding), findingCode(c.finding));
    QVERIFY(!found.headline.isEmpty());
    QVERIFY(!found.nextStep.isEmpty());
    QVERIFY2(!hasControl(text), qPrintable(text));
    for (const QString& part : c.says)
        QVERIFY2(text.contains(part), qPrintable(u"no \"%1\" in: %2"_s.arg(part, text)));
    for (const QString& part : c.notSays)
        QVERIFY2(!text.contains(part), qPrintable(u"\"%1\" in: %2"_s.arg(part, text)));
}

void TestDiagnosis::everyFindingReached()
{
    QSet<QString> reached;
    for (const Case& c : cases())
        reached << QString(findingCode(diagnose(c.check, c.router).finding));
    for (const Finding finding :
         {Finding::ForwardedHere, Finding::ForwardedElsewhere, Finding::NotForwarded,
          Finding::ForwardedButBlocked, Finding::CarrierNat, Finding::DoubleNat,
          Finding::AnotherNat, Finding::NoRouter, Finding::NoCheckResult,
          Finding::BlockedByThisComputer})
        QVERIFY2(reached.contains(QString(findingCode(finding))), findingCode(finding).data());
}

void TestDiagnosis::codes()
{
    QCOMPARE(findingCode(Finding::ForwardedHere), "forwarded-here"_L1);
    QCOMPARE(findingCode(Finding::ForwardedElsewhere), "forwarded-elsewhere"_L1);
    QCOMPARE(findingCode(Finding::NotForwarded), "not-forwarded"_L1);
    QCOMPARE(findingCode(Finding::ForwardedButBlocked), "forwarded-but-blocked"_L1);
    QCOMPARE(findingCode(Finding::CarrierNat), "carrier-nat"_L1);
    QCOMPARE(findingCode(Finding::DoubleNat), "double-nat"_L1);
    QCOMPARE(findingCode(Finding::AnotherNat), "another-nat"_L1);
    QCOMPARE(findingCode(Finding::NoRouter), "no-router"_L1);
    QCOMPARE(findingCode(Finding::NoCheckResult), "no-check-result"_L1);
    QCOMPARE(findingCode(Finding::BlockedUpstream), "blocked-upstream"_L1);
    QCOMPARE(findingCode(Finding::BlockedByThisComputer), "blocked-by-this-computer"_L1);
}

void TestDiagnosis::portUnnamed()
{
    CheckFacts facts = check(VerdictKind::NotOpen);
    facts.port = 0;
    facts.protocol.reset();
    const Diagnosis found = diagnose(facts, upnp());
    QCOMPARE(found.finding, Finding::NotForwarded);
    QVERIFY2(found.headline.startsWith(u"The port is not open"_s), qPrintable(found.headline));

    facts.port = 51413;
    QVERIFY(diagnose(facts, upnp()).headline.startsWith(u"Port 51413 is not open"_s));
    facts.protocol = ProbeProtocol::Udp;
    QVERIFY(diagnose(facts, upnp()).headline.startsWith(u"Port 51413/udp is not open"_s));
}

// Without a router and with the server seeing one of this computer's own addresses, nothing
// but this computer's firewall stands in the way.
void TestDiagnosis::ownAddressWithoutRouter()
{
    CheckFacts facts = check(VerdictKind::NotOpen, u"198.51.100.20"_s);
    facts.localAddresses << u"198.51.100.20"_s;
    const Diagnosis found = diagnose(facts, noRouter());
    QCOMPARE(found.finding, Finding::NoRouter);
    QVERIFY2(found.text().contains(u"own address, 198.51.100.20"_s), qPrintable(found.text()));
    QVERIFY(found.text().contains(u"firewall"_s));
}

// What the router says is quoted, never obeyed: no control characters reach the text, and no
// field of the router's makes it longer than a bound.
void TestDiagnosis::routerTextsAreMadeSafe()
{
    Mapping evil = toDvr();
    evil.description = u"\x1b[2J\x1b]0;owned\x07"
                       u"Cam\r\nera\u202Eevil"_s +
                       QString(500, u'x');
    evil.name = u"dvr\n.lan\t"_s + QString(500, u'n');
    evil.internalClient = u"192.168.1.20\r\nStatus: open"_s + QString(10000, u'9');
    const Diagnosis found = diagnose(check(VerdictKind::NotOpen), mapped(upnp(), evil));
    const QString text = found.text();
    QCOMPARE(found.finding, Finding::ForwardedElsewhere);
    QVERIFY2(!hasControl(text), qPrintable(text));
    QVERIFY(!text.contains(u'\x1b'));
    QVERIFY(!text.contains(u'\n'));
    QVERIFY(text.contains(u"[2J]0;ownedCamera"_s));
    QVERIFY(text.contains(u"dvr.lan"_s));
    // A device that is not named by an address is no device the text can name.
    QVERIFY2(text.contains(u"another device (dvr.lan"_s), qPrintable(text));
    QVERIFY(!text.contains(u"Status: open"_s));
    QVERIFY(!text.contains(QString(64, u'x')));
    QVERIFY(!text.contains(QString(64, u'n')));
    QVERIFY2(text.size() < 3 * 64 + 400, qPrintable(QString::number(text.size())));
}

void TestDiagnosis::quotable_data()
{
    QTest::addColumn<QString>("in");
    QTest::addColumn<QString>("out");
    QTest::newRow("plain") << u"Camera"_s << u"Camera"_s;
    QTest::newRow("controls") << u"a\x01\x1b[0mb\r\n\tc\x7f"_s << u"a[0mbc"_s;
    QTest::newRow("bidi override") << u"abc\u202Etxt.exe"_s << u"abctxt.exe"_s;
    QTest::newRow("line separator") << u"a\u2028b\u2029c"_s << u"abc"_s;
    QTest::newRow("trimmed") << u"  Camera \n"_s << u"Camera"_s;
    QTest::newRow("64 kept") << QString(64, u'a') << QString(64, u'a');
    QTest::newRow("65 cut") << QString(65, u'a') << QString(63, u'a') + u'…';
    QTest::newRow("controls do not count") << QString(64, u'a') + u"\r\n"_s << QString(64, u'a');
    // A character outside the BMP is never cut in half.
    QTest::newRow("surrogates") << QString(62, u'a') + u"😀😀"_s << QString(62, u'a') + u'…';
}

void TestDiagnosis::quotable()
{
    QFETCH(QString, in);
    QFETCH(QString, out);
    QCOMPARE(router::quotable(in), out);
    QVERIFY(router::quotable(in).size() <= 64);
}

void TestDiagnosis::addressClasses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("carrier");
    QTest::addColumn<bool>("privateRange");
    QTest::addColumn<bool>("publicAddress");
    QTest::newRow("public") << u"8.8.4.4"_s << false << false << true;
    // Not public, as for the check server and the router's mapping check.
    QTest::newRow("TEST-NET-2") << u"198.51.100.1"_s << false << false << false;
    QTest::newRow("TEST-NET-3") << u"203.0.113.2"_s << false << false << false;
    QTest::newRow("TEST-NET-1") << u"192.0.2.1"_s << false << false << false;
    QTest::newRow("benchmarking") << u"198.18.0.1"_s << false << false << false;
    QTest::newRow("benchmarking last") << u"198.19.255.255"_s << false << false << false;
    QTest::newRow("above benchmarking") << u"198.20.0.0"_s << false << false << true;
    QTest::newRow("multicast") << u"224.0.0.1"_s << false << false << false;
    QTest::newRow("reserved") << u"240.0.0.1"_s << false << false << false;
    QTest::newRow("broadcast") << u"255.255.255.255"_s << false << false << false;
    QTest::newRow("PCP anycast") << u"192.0.0.9"_s << false << false << true;
    QTest::newRow("below shared") << u"100.63.255.255"_s << false << false << true;
    QTest::newRow("shared first") << u"100.64.0.0"_s << true << false << false;
    QTest::newRow("shared last") << u"100.127.255.255"_s << true << false << false;
    QTest::newRow("above shared") << u"100.128.0.0"_s << false << false << true;
    QTest::newRow("10/8") << u"10.255.0.1"_s << false << true << false;
    QTest::newRow("below 172.16") << u"172.15.255.255"_s << false << false << true;
    QTest::newRow("172.16") << u"172.16.0.0"_s << false << true << false;
    QTest::newRow("172.31") << u"172.31.255.255"_s << false << true << false;
    QTest::newRow("172.32") << u"172.32.0.0"_s << false << false << true;
    QTest::newRow("192.168") << u"192.168.0.1"_s << false << true << false;
    QTest::newRow("192.169") << u"192.169.0.1"_s << false << false << true;
    QTest::newRow("loopback") << u"127.0.0.1"_s << false << false << false;
    QTest::newRow("link-local") << u"169.254.1.1"_s << false << false << false;
    QTest::newRow("unspecified") << u"0.0.0.0"_s << false << false << false;
    QTest::newRow("this network") << u"0.1.2.3"_s << false << false << false;
    QTest::newRow("IPv4-mapped private") << u"::ffff:10.0.0.1"_s << false << true << false;
    QTest::newRow("IPv6 documentation") << u"2001:db8::1"_s << false << false << false;
    QTest::newRow("IPv6 global") << u"2a00:1450:4001::1"_s << false << false << true;
    QTest::newRow("NAT64 of a private address") << u"64:ff9b::a00:1"_s << false << false << false;
    QTest::newRow("IPv6 unique local") << u"fd00::1"_s << false << false << false;
    QTest::newRow("empty") << QString() << false << false << false;
    QTest::newRow("garbage") << u"router.lan"_s << false << false << false;
}

void TestDiagnosis::addressClasses()
{
    QFETCH(QString, address);
    QFETCH(bool, carrier);
    QFETCH(bool, privateRange);
    QFETCH(bool, publicAddress);
    const QHostAddress parsed(address);
    QCOMPARE(isCarrierGrade(parsed), carrier);
    QCOMPARE(isPrivate(parsed), privateRange);
    QCOMPARE(isPublic(parsed), publicAddress);
}

void TestDiagnosis::controlPortFindings_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("controlOpen");
    QTest::addColumn<std::optional<bool>>("arrived");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("commonlyBlocked");
    const std::optional<bool> unknown;
    for (int port : {25, 80, 443, 445, 135, 139})
        QTest::addRow("%d open, nothing arrived", port)
            << port << true << std::optional(false) << u"blocked-upstream"_s << true;
    for (int port : {134, 140, 8080})
        QTest::addRow("%d open, nothing arrived", port)
            << port << true << std::optional(false) << u"blocked-upstream"_s << false;
    QTest::newRow("25 open, arrival unknown")
        << 25 << true << unknown << u"forwarded-but-blocked"_s << true;
    QTest::newRow("8080 open, arrival unknown")
        << 8080 << true << unknown << u"forwarded-but-blocked"_s << false;
    QTest::newRow("25 closed too") << 25 << false << unknown << u"forwarded-but-blocked"_s << true;
    QTest::newRow("8080 closed too, nothing arrived")
        << 8080 << false << std::optional(false) << u"forwarded-but-blocked"_s << false;
}

// A control port that got through while nothing of the probe arrived here: something before
// this computer blocks the port, the ports providers commonly block are named when the port is
// one, and the next step is the control port. While arrival is unknown, this computer's
// firewall is named beside the provider. One that did not get through: the path is closed for
// every port tried.
void TestDiagnosis::controlPortFindings()
{
    QFETCH(int, port);
    QFETCH(bool, controlOpen);
    QFETCH(std::optional<bool>, arrived);
    QFETCH(QString, code);
    QFETCH(bool, commonlyBlocked);
    const Diagnosis found =
        controlPortDiagnosis(port, ProbeProtocol::Tcp, 50123, controlOpen, arrived);
    QCOMPARE(QString(findingCode(found.finding)), code);
    QCOMPARE(isCommonlyBlocked(port), commonlyBlocked);
    // Only a port dropped on its own names them: a closed path is not the provider's doing.
    QCOMPARE(found.headline.contains(u"providers commonly block"_s),
             controlOpen && commonlyBlocked);
    const QString name = u"port "_s + QString::number(port) + u"/tcp"_s;
    QVERIFY2(found.headline.contains(name, Qt::CaseInsensitive), qPrintable(found.headline));
    QVERIFY2(found.headline.contains(u"port 50123"_s), qPrintable(found.headline));
    if (!controlOpen) {
        QVERIFY(found.headline.startsWith(
            u"The path from the internet is closed for every port tried"_s));
        QVERIFY(!found.nextStep.contains(u"50123"_s));
        return;
    }
    const QString mapIt =
        u"have the router map its port 50123 to this computer's port "_s + QString::number(port);
    QVERIFY2(found.nextStep.contains(mapIt), qPrintable(found.nextStep));
    if (arrived == false) {
        QVERIFY(found.headline.startsWith(u"Something before this computer blocks "_s + name));
        QVERIFY(!found.text().contains(u"this computer's firewall"_s));
    } else {
        QVERIFY2(found.headline.contains(u"Either this computer's firewall drops it, or your "
                                         u"internet provider"_s),
                 qPrintable(found.headline));
        QVERIFY(found.nextStep.startsWith(u"Allow the port in this computer's firewall"_s));
    }
}

QTEST_GUILESS_MAIN(TestDiagnosis)
#include "tst_diagnosis.moc"
