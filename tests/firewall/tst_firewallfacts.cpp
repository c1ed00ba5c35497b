#include "firewall/counters.h"
#include "firewall/evidence.h"
#include "firewall/firewallfacts.h"

#include <QTest>

using namespace quillmere;
using namespace quillmere::firewall;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(quillmere::firewall::IpCounters)
Q_DECLARE_METATYPE(std::optional<bool>)
Q_DECLARE_METATYPE(quillmere::firewall::EvidenceInput)
Q_DECLARE_METATYPE(quillmere::ProbeProtocol)

namespace {

// A /proc/net/snmp as Linux 6.1 writes it, with the values given.
QByteArray snmpText(quint64 receives, quint64 delivers, quint64 forwarded = 0, quint64 segs = 0)
{
    return "Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams "
           "InUnknownProtos InDiscards InDelivers OutRequests OutDiscards OutNoRoutes "
           "ReasmTimeout ReasmReqds ReasmOKs ReasmFails FragOKs FragFails FragCreates\n"
           "Ip: 2 64 " +
           QByteArray::number(receives) + " 1 2 " + QByteArray::number(forwarded) + " 3 4 " +
           QByteArray::number(delivers) +
           " 209849 0 0 0 10 5 0 0 0 0\n"
           "Icmp: InMsgs InErrors\nIcmp: 848 0\n"
           "Tcp: RtoAlgorithm RtoMin RtoMax MaxConn ActiveOpens PassiveOpens AttemptFails "
           "EstabResets CurrEstab InSegs OutSegs RetransSegs InErrs OutRsts InCsumErrors\n"
           "Tcp: 1 200 120000 -1 22517 19616 2683 1075 0 " +
           QByteArray::number(segs) +
           " 203048 541 0 3458 0\n"
           "Udp: InDatagrams NoPorts InErrors OutDatagrams\nUdp: 5434 324 0 7082\n"
           "UdpLite: InDatagrams NoPorts\nUdpLite: 0 0\n";
}

IpCounters counters(quint64 receives, quint64 delivers)
{
    IpCounters c;
    c.inReceives = receives;
    c.inDelivers = delivers;
    return c;
}

CounterReading at(qint64 ms, quint64 receives, quint64 delivers)
{
    return CounterReading{counters(receives, delivers), ms};
}

} // namespace

class TestFirewallFacts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void snmpRows_data();
    void snmpRows();
    void snmpRejects_data();
    void snmpRejects();
    void snmp6Rows();
    void vanished_data();
    void vanished();
    void readsFilesByFamily();
    void evidence_data();
    void evidence();
    void poissonTail();
    void ufwConf_data();
    void ufwConf();
    void netAdmin_data();
    void netAdmin();
    void defaultRoute_data();
    void defaultRoute();
    void nftChain_data();
    void nftChain();
    void fixCommands_data();
    void fixCommands();
    void combined();
};

void TestFirewallFacts::snmpRows_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint64>("receives");
    QTest::addColumn<quint64>("delivers");
    QTest::addColumn<quint64>("forwarded");
    QTest::addColumn<quint64>("segs");
    QTest::newRow("linux 6.1") << snmpText(212000, 211990, 7, 204824) << quint64(212000)
                               << quint64(211990) << quint64(7) << quint64(204824);
    QTest::newRow("largest counter")
        << snmpText(18446744073709551615ULL, 0) << quint64(18446744073709551615ULL) << quint64(0)
        << quint64(0) << quint64(0);
    // Newer kernels add columns (OutTransmits) and older ones miss some: names decide.
    QTest::newRow("columns in another order")
        << QByteArray("Ip: InDelivers Extra InReceives\nIp: 40 9 50\nTcp: InSegs\nTcp: 3\n")
        << quint64(50) << quint64(40) << quint64(0) << quint64(3);
    QTest::newRow("tabs and a CR") << QByteArray("Ip:\tInReceives\tInDelivers\r\nIp:\t8\t6\r\n")
                                   << quint64(8) << quint64(6) << quint64(0) << quint64(0);
}

void TestFirewallFacts::snmpRows()
{
    QFETCH(QByteArray, text);
    const auto parsed = parseSnmp(text);
    QVERIFY(parsed);
    QFETCH(quint64, receives);
    QCOMPARE(parsed->inReceives, receives);
    QFETCH(quint64, delivers);
    QCOMPARE(parsed->inDelivers, delivers);
    QFETCH(quint64, forwarded);
    QCOMPARE(parsed->forwDatagrams, forwarded);
    QFETCH(quint64, segs);
    QCOMPARE(parsed->tcpInSegs, segs);
}

void TestFirewallFacts::snmpRejects_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("header only") << QByteArray("Ip: InReceives InDelivers\n");
    QTest::newRow("short value line") << QByteArray("Ip: InReceives InDelivers\nIp: 5\n");
    QTest::newRow("tcp only") << QByteArray("Tcp: InSegs\nTcp: 5\n");
    QTest::newRow("snmp6 text") << QByteArray("Ip6InReceives 731\nIp6InDelivers 731\n");
}

void TestFirewallFacts::snmpRejects()
{
    QFETCH(QByteArray, text);
    QVERIFY(!parseSnmp(text));
}

void TestFirewallFacts::snmp6Rows()
{
    const QByteArray text = "Ip6InReceives                   \t731\n"
                            "Ip6InHdrErrors                  \t2\n"
                            "Ip6InDiscards                   \t3\n"
                            "Ip6InDelivers                   \t720\n"
                            "Ip6OutForwDatagrams             \t4\n"
                            "Ip6InOctets                     \t62709\n"
                            "Udp6InDatagrams                 \t17\n";
    const auto parsed = parseSnmp6(text);
    QVERIFY(parsed);
    QCOMPARE(parsed->inReceives, quint64(731));
    QCOMPARE(parsed->inHdrErrors, quint64(2));
    QCOMPARE(parsed->inDiscards, quint64(3));
    QCOMPARE(parsed->inDelivers, quint64(720));
    QCOMPARE(parsed->forwDatagrams, quint64(4));
    QCOMPARE(parsed->udpInDatagrams, quint64(17));
    // Not the file: no counters rather than zeros.
    QVERIFY(!parseSnmp6("Ip6InDelivers 5\n"));
    QVERIFY(!parseSnmp6("Ip6InReceives -5\n"));
    QVERIFY(!parseSnmp6(snmpText(1, 1)));
}

void TestFirewallFacts::vanished_data()
{
    QTest::addColumn<IpCounters>("before");
    QTest::addColumn<IpCounters>("after");
    QTest::addColumn<quint64>("vanished");
    const IpCounters base = counters(1000, 900);
    QTest::newRow("all delivered") << base << counters(1010, 910) << quint64(0);
    QTest::newRow("two dropped") << base << counters(1012, 910) << quint64(2);
    IpCounters forwarded = counters(1020, 910);
    forwarded.forwDatagrams = 8;
    QTest::newRow("forwarded are no drops") << base << forwarded << quint64(2);
    IpCounters errors = counters(1020, 910);
    errors.inHdrErrors = 3;
    errors.inAddrErrors = 2;
    errors.inUnknownProtos = 1;
    errors.inDiscards = 4;
    QTest::newRow("counted errors are no drops") << base << errors << quint64(0);
    // Four fragments made one datagram: three of them are accounted for by reassembly.
    IpCounters fragments = counters(1004, 901);
    fragments.reasmReqds = 4;
    fragments.reasmOks = 1;
    QTest::newRow("fragments") << base << fragments << quint64(0);
    QTest::newRow("counters went back") << base << counters(10, 5) << quint64(0);
    QTest::newRow("more delivered than received") << base << counters(1001, 905) << quint64(0);
}

void TestFirewallFacts::vanished()
{
    QFETCH(IpCounters, before);
    QFETCH(IpCounters, after);
    QFETCH(quint64, vanished);
    QCOMPARE(vanishedBetween(before, after), vanished);
}

void TestFirewallFacts::readsFilesByFamily()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const CounterFiles files{dir.filePath(u"snmp"_s), dir.filePath(u"snmp6"_s)};
    QFile snmp(files.snmp);
    QVERIFY(snmp.open(QIODevice::WriteOnly));
    snmp.write(snmpText(100, 90, 0, 55));
    snmp.close();
    QFile snmp6(files.snmp6);
    QVERIFY(snmp6.open(QIODevice::WriteOnly));
    snmp6.write("Ip6InReceives 20\nIp6InDelivers 18\n");
    snmp6.close();

    QCOMPARE(readCounters(files, CounterFamily::IPv4)->inReceives, quint64(100));
    const auto v6 = readCounters(files, CounterFamily::IPv6);
    QCOMPARE(v6->inReceives, quint64(20));
    QCOMPARE(v6->tcpInSegs, quint64(55)); // TCP counts both families in /proc/net/snmp
    const auto both = readCounters(files, CounterFamily::Both);
    QCOMPARE(both->inReceives, quint64(120));
    QCOMPARE(both->inDelivers, quint64(108));
    QCOMPARE(both->tcpInSegs, quint64(55));
    QVERIFY(
        !readCounters({dir.filePath(u"none"_s), dir.filePath(u"none6"_s)}, CounterFamily::Both));
}

void TestFirewallFacts::evidence_data()
{
    QTest::addColumn<EvidenceInput>("input");
    QTest::addColumn<std::optional<bool>>("blocks");
    QTest::addColumn<bool>("rejected");
    QTest::addColumn<QString>("phrase");

    EvidenceInput quiet;
    quiet.gotResult = true;
    quiet.listening = true;
    quiet.probe = wire::ProbeEnd::TimedOut;
    quiet.baselineStart = at(0, 1000, 1000);
    quiet.waitStart = at(200, 1010, 1010); // 200 ms, everything delivered
    quiet.waitEnd = at(3200, 1060, 1058);  // the HTTP exchange and two SYNs that went nowhere
    QTest::newRow("quiet host, probe dropped")
        << quiet << std::optional<bool>(true) << false << u"this computer dropped it"_s;

    EvidenceInput nothing = quiet;
    nothing.waitEnd = at(3200, 1060, 1060);
    QTest::newRow("nothing vanished")
        << nothing << std::optional<bool>(false) << false << u"did not get this far"_s;

    // A LAN's broadcasts that the filter drops: 2 in the 200 ms baseline, so 30 expected in the
    // 3 s wait. Two more than that are no evidence.
    EvidenceInput noisy = quiet;
    noisy.waitStart = at(200, 1012, 1010);
    noisy.waitEnd = at(3200, 1094, 1058);
    QTest::newRow("noisy host, as many as the noise")
        << noisy << std::optional<bool>() << false << u"other traffic explains as many"_s;

    // The same noise, and far more beyond it than one probe's SYNs: more traffic vanished.
    EvidenceInput beyond = noisy;
    beyond.waitEnd = at(3200, 1130, 1058);
    QTest::newRow("noisy host, far beyond the noise")
        << beyond << std::optional<bool>() << false << u"more than one probe gives"_s;

    // A quiet baseline, then a burst of a router's SSDP NOTIFYs (multicast to a group nobody
    // here joined) during the wait: 14 datagrams vanish, no firewall here.
    EvidenceInput burst = quiet;
    burst.waitEnd = at(3200, 1074, 1060);
    QTest::newRow("multicast burst in a quiet wait")
        << burst << std::optional<bool>() << false << u"more than one probe gives"_s;

    // As many as one probe gives, over a quiet baseline.
    EvidenceInput mostProbe = quiet;
    mostProbe.waitEnd = at(3200, 1065, 1060);
    QTest::newRow("a probe and its retries")
        << mostProbe << std::optional<bool>(true) << false << u"this computer dropped it"_s;

    // A host that forwards (containers, a VM): forwarded datagrams are no drops.
    EvidenceInput forwarding = quiet;
    forwarding.waitEnd->counters.forwDatagrams = 2;
    QTest::newRow("forwarded, not dropped")
        << forwarding << std::optional<bool>(false) << false << u"did not get this far"_s;

    EvidenceInput arrived = noisy;
    arrived.arrivedHere = true;
    QTest::newRow("arrived here") << arrived << std::optional<bool>(false) << false
                                  << u"reached Quillmere's listener"_s;

    EvidenceInput connected = beyond;
    connected.probe = wire::ProbeEnd::Connected;
    QTest::newRow("connected elsewhere")
        << connected << std::optional<bool>(false) << false << u"another device took it"_s;

    EvidenceInput refused = quiet;
    refused.probe = wire::ProbeEnd::Refused;
    refused.waitEnd = at(300, 1012, 1010);
    QTest::newRow("refused while listening")
        << refused << std::optional<bool>(true) << true << u"this computer rejected it"_s;

    EvidenceInput unreachable = refused;
    unreachable.probe = wire::ProbeEnd::Unreachable;
    QTest::newRow("unreachable while listening")
        << unreachable << std::optional<bool>(true) << true << u"answered unreachable"_s;

    // The router (or the provider) answered with a reset: nothing arrived here.
    EvidenceInput refusedBefore = refused;
    refusedBefore.waitEnd = at(300, 1012, 1012);
    QTest::newRow("refused before this computer")
        << refusedBefore << std::optional<bool>(false) << false
        << u"something before this computer answered"_s;

    EvidenceInput refusedNoCounters = refused;
    refusedNoCounters.baselineStart.reset();
    refusedNoCounters.waitStart.reset();
    refusedNoCounters.waitEnd.reset();
    QTest::newRow("refused, counters unreadable")
        << refusedNoCounters << std::optional<bool>(true) << true << u"rejected it"_s;

    EvidenceInput refusedService = refused;
    refusedService.listening = false; // a service check: nothing of Quillmere's listened
    refusedService.waitEnd = at(300, 1010, 1010);
    QTest::newRow("refused, nothing of ours listening")
        << refusedService << std::optional<bool>(false) << false << u"did not get this far"_s;

    EvidenceInput noCounters = quiet;
    noCounters.waitStart.reset();
    QTest::newRow("timed out, counters missing")
        << noCounters << std::optional<bool>() << false << u"could not be read"_s;

    EvidenceInput noResult = quiet;
    noResult.gotResult = false;
    QTest::newRow("no result") << noResult << std::optional<bool>() << false << u"no result"_s;

    // A baseline of a single millisecond that saw a drop predicts a flood: the wait's few
    // vanished datagrams prove nothing.
    EvidenceInput blink = quiet;
    blink.baselineStart = at(199, 1009, 1010);
    QTest::newRow("short busy baseline")
        << blink << std::optional<bool>() << false << u"cannot tell"_s;
}

void TestFirewallFacts::evidence()
{
    QFETCH(EvidenceInput, input);
    QFETCH(QString, phrase);
    const ProbeEvidence evidence = judgeEvidence(input);
    QFETCH(std::optional<bool>, blocks);
    QCOMPARE(evidence.blocks, blocks);
    QFETCH(bool, rejected);
    QCOMPARE(evidence.rejected, rejected);
    QVERIFY2(evidence.line.contains(phrase), qPrintable(evidence.line));
    QVERIFY(!evidence.line.contains(u'\n'));
}

void TestFirewallFacts::poissonTail()
{
    QCOMPARE(firewall::poissonTail(0.0, 1), 0.0);
    QCOMPARE(firewall::poissonTail(5.0, 0), 1.0);
    QVERIFY(qAbs(firewall::poissonTail(1.0, 1) - (1.0 - std::exp(-1.0))) < 1e-12);
    QVERIFY(qAbs(firewall::poissonTail(2.0, 3) - (1.0 - std::exp(-2.0) * 5.0)) < 1e-12);
    QCOMPARE(firewall::poissonTail(3.0, 100000), 0.0);
    QVERIFY(firewall::poissonTail(30.0, 32) > 0.3);
    QVERIFY(firewall::poissonTail(30.0, 72) < 0.01);
}

void TestFirewallFacts::ufwConf_data()
{
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("debian's") << QByteArray("# /etc/ufw/ufw.conf\n#\n\n# Set to yes to start on "
                                            "boot.\nENABLED=yes\n\nLOGLEVEL=low\n")
                              << true;
    QTest::newRow("off") << QByteArray("ENABLED=no\nLOGLEVEL=low\n") << false;
    QTest::newRow("quoted") << QByteArray("ENABLED=\"yes\"\n") << true;
    QTest::newRow("single quotes, spaces, capitals") << QByteArray("  ENABLED = 'YES' \n") << true;
    QTest::newRow("commented out") << QByteArray("#ENABLED=yes\n") << false;
    QTest::newRow("last line wins") << QByteArray("ENABLED=yes\nENABLED=no\n") << false;
    QTest::newRow("another key") << QByteArray("ENABLED_X=yes\n") << false;
    QTest::newRow("yes and more") << QByteArray("ENABLED=yesterday\n") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void TestFirewallFacts::ufwConf()
{
    QFETCH(QByteArray, conf);
    QFETCH(bool, enabled);
    QCOMPARE(ufwEnabled(conf), enabled);
}

void TestFirewallFacts::netAdmin_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("netAdmin");
    QTest::newRow("root") << QByteArray(
                                 "Name:\tx\nCapPrm:\t000001ffffffffff\nCapEff:\t000001ffffffffff\n")
                          << true;
    QTest::newRow("a user") << QByteArray("CapInh:\t0000000000000000\nCapEff:\t0000000000000000\n")
                            << false;
    QTest::newRow("net_admin alone") << QByteArray("CapEff:\t0000000000001000\n") << true;
    QTest::newRow("net_raw alone") << QByteArray("CapEff:\t0000000000002000\n") << false;
    QTest::newRow("permitted, not effective")
        << QByteArray("CapPrm:\t0000000000001000\nCapEff:\t0000000000000000\n") << false;
    QTest::newRow("no line") << QByteArray("Name:\tx\n") << false;
}

void TestFirewallFacts::netAdmin()
{
    QFETCH(QByteArray, status);
    QFETCH(bool, netAdmin);
    QCOMPARE(hasNetAdmin(status), netAdmin);
}

void TestFirewallFacts::defaultRoute_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<QByteArray>("ipv6Route");
    QTest::addColumn<QString>("interface");
    const QByteArray header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU"
        "\tWindow\tIRTT\n";
    const QByteArray v6 =
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "fd000000000000000000000000000001 00000400 00000003 00000000 00000003     eth6\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n";
    QTest::newRow("one default")
        << header + "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                    "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        << QByteArray() << u"eth0"_s;
    QTest::newRow("lowest metric")
        << header + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                    "enp3s0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        << QByteArray() << u"enp3s0"_s;
    QTest::newRow("a route that is down")
        << header + "wg0\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n"
        << QByteArray() << QString();
    QTest::newRow("ipv6 only") << header << v6 << u"eth6"_s;
    QTest::newRow("ipv6 reject over lo only")
        << header << v6.sliced(v6.indexOf('\n') + 1) << QString();
    QTest::newRow("nothing") << QByteArray() << QByteArray() << QString();
}

void TestFirewallFacts::defaultRoute()
{
    QFETCH(QByteArray, route);
    QFETCH(QByteArray, ipv6Route);
    QFETCH(QString, interface);
    QCOMPARE(defaultRouteInterface(route, ipv6Route), interface);
}

void TestFirewallFacts::nftChain_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("chain"); // "family table chain", empty: none
    const QByteArray meta = R"({"metainfo": {"version": "1.0.6", "json_schema_version": 1}})";
    auto ruleset = [&](const QByteArray& items) -> QByteArray {
        return R"({"nftables": [)" + meta + ',' + items + "]}";
    };
    QTest::newRow("debian's example, policy drop")
        << ruleset(R"({"table": {"family": "inet", "name": "filter", "handle": 1}},
                     {"chain": {"family": "inet", "table": "filter", "name": "input", "handle": 1,
                                "type": "filter", "hook": "input", "prio": 0, "policy": "drop"}},
                     {"chain": {"family": "inet", "table": "filter", "name": "forward",
                                "handle": 2, "type": "filter", "hook": "forward", "prio": 0,
                                "policy": "accept"}})")
        << u"inet filter input"_s;
    QTest::newRow("the chain with a drop rule wins")
        << ruleset(R"({"chain": {"family": "ip", "table": "nat", "name": "pre", "type": "filter",
                                "hook": "input", "prio": -5, "policy": "accept"}},
                     {"chain": {"family": "inet", "table": "host", "name": "in_rules",
                                "type": "filter", "hook": "input", "prio": 0, "policy": "accept"}},
                     {"rule": {"family": "inet", "table": "host", "chain": "in_rules", "handle": 4,
                               "expr": [{"match": {"op": "==", "left": {"payload": {"protocol":
                               "tcp", "field": "dport"}}, "right": 25565}}, {"reject": null}]}})")
        << u"inet host in_rules"_s;
    QTest::newRow("no input hook")
        << ruleset(R"({"chain": {"family": "inet", "table": "filter", "name": "output",
                                "type": "filter", "hook": "output", "prio": 0, "policy": "drop"}})")
        << QString();
    QTest::newRow("netdev and bridge are passed over")
        << ruleset(R"({"chain": {"family": "bridge", "table": "b", "name": "input",
                                "type": "filter", "hook": "input", "prio": 0, "policy": "drop"}})")
        << QString();
    QTest::newRow("empty ruleset") << ruleset("") << QString();
    QTest::newRow("not json") << QByteArray("table inet filter {") << QString();
}

void TestFirewallFacts::nftChain()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, chain);
    const auto found = nftInputChain(json);
    QCOMPARE(found.has_value(), !chain.isEmpty());
    if (found)
        QCOMPARE(found->family + u' ' + found->table + u' ' + found->chain, chain);
}

void TestFirewallFacts::fixCommands_data()
{
    QTest::addColumn<Detection>("detection");
    QTest::addColumn<int>("port");
    QTest::addColumn<ProbeProtocol>("protocol");
    QTest::addColumn<QString>("fix"); // empty: none

    Detection ufw;
    ufw.found = Kind::Ufw;
    QTest::newRow("ufw tcp") << ufw << 25565 << ProbeProtocol::Tcp << u"sudo ufw allow 25565/tcp"_s;
    QTest::newRow("ufw udp") << ufw << 27015 << ProbeProtocol::Udp << u"sudo ufw allow 27015/udp"_s;
    QTest::newRow("no port") << ufw << 0 << ProbeProtocol::Tcp << QString();

    Detection firewalld;
    firewalld.found = Kind::Firewalld;
    firewalld.defaultZone = u"public"_s;
    firewalld.zone = u"public"_s;
    QTest::newRow("firewalld, default zone")
        << firewalld << 25565 << ProbeProtocol::Tcp
        << u"sudo firewall-cmd --permanent --add-port=25565/tcp && sudo firewall-cmd --reload"_s;
    Detection home = firewalld;
    home.zone = u"home"_s;
    QTest::newRow("firewalld, another zone")
        << home << 8080 << ProbeProtocol::Udp
        << u"sudo firewall-cmd --zone=home --permanent --add-port=8080/udp && sudo "
           u"firewall-cmd --reload"_s;
    Detection strange = firewalld;
    strange.zone = u"my zone;rm -rf ~"_s;
    QTest::newRow("firewalld, a zone the shell would split")
        << strange << 80 << ProbeProtocol::Tcp
        << u"sudo firewall-cmd --zone='my zone;rm -rf ~' --permanent --add-port=80/tcp && sudo "
           u"firewall-cmd --reload"_s;

    Detection nft;
    nft.found = Kind::Nftables;
    nft.nftChain = NftChain{u"inet"_s, u"filter"_s, u"input"_s};
    QTest::newRow("nftables") << nft << 25565 << ProbeProtocol::Tcp
                              << u"sudo nft insert rule inet filter input tcp dport 25565 accept"_s;
    Detection nftOwn = nft;
    nftOwn.nftChain = NftChain{u"ip"_s, u"host_fw"_s, u"in-rules"_s};
    QTest::newRow("nftables, the real table and chain")
        << nftOwn << 53 << ProbeProtocol::Udp
        << u"sudo nft insert rule ip host_fw in-rules udp dport 53 accept"_s;
    Detection nftOdd = nft;
    nftOdd.nftChain = NftChain{u"inet"_s, u"filter"_s, u"in put"_s};
    QTest::newRow("nftables, a name the command line would split")
        << nftOdd << 80 << ProbeProtocol::Tcp << QString();
    Detection nftNoChain = nft;
    nftNoChain.nftChain.reset();
    QTest::newRow("nftables, no chain") << nftNoChain << 80 << ProbeProtocol::Tcp << QString();

    Detection unknown;
    unknown.found = Kind::Unknown;
    QTest::newRow("unknown") << unknown << 80 << ProbeProtocol::Tcp << QString();
    QTest::newRow("none") << Detection() << 80 << ProbeProtocol::Tcp << QString();
}

void TestFirewallFacts::fixCommands()
{
    QFETCH(Detection, detection);
    QFETCH(QString, fix);
    QFETCH(int, port);
    QFETCH(ProbeProtocol, protocol);
    const auto command = fixCommand(detection, port, protocol);
    QCOMPARE(command.has_value(), !fix.isEmpty());
    if (command)
        QCOMPARE(*command, fix);
}

void TestFirewallFacts::combined()
{
    Detection firewalld;
    firewalld.found = Kind::Firewalld;
    firewalld.defaultZone = u"public"_s;
    firewalld.zone = u"home"_s;
    firewalld.interface = u"eth0"_s;
    firewalld.portAllowed = false;
    ProbeEvidence dropped;
    dropped.blocks = true;
    dropped.line = u"3 datagrams arrived during the check and went no further"_s;
    const FirewallFacts facts = combine(firewalld, dropped, 25565, ProbeProtocol::Tcp);
    QCOMPARE(facts.found, Kind::Firewalld);
    QCOMPARE(facts.blocks, true);
    QCOMPARE(facts.evidence, dropped.line);
    QVERIFY(facts.fix && facts.fix->contains(u"--zone=home"_s));
    QCOMPARE(facts.zone, u"home"_s);
    QCOMPARE(facts.interface, u"eth0"_s);

    // Cleared by the evidence: nothing to fix.
    ProbeEvidence clear;
    clear.blocks = false;
    clear.line = u"the probe reached Quillmere's listener"_s;
    QVERIFY(!combine(firewalld, clear, 25565, ProbeProtocol::Tcp).fix);

    // Cannot tell: the fix is given, and what firewalld says of the port is added.
    ProbeEvidence unsure;
    unsure.line = u"cannot tell"_s;
    const FirewallFacts unsureFacts = combine(firewalld, unsure, 25565, ProbeProtocol::Tcp);
    QVERIFY(unsureFacts.fix);
    QVERIFY(unsureFacts.evidence.contains(u"does not allow the port in zone home"_s));
    // Dropped here, though nftables showed no input filter: a firewall unnamed, not none.
    Detection none;
    none.note = u"nftables has no input filter"_s;
    QCOMPARE(combine(none, dropped, 25565, ProbeProtocol::Tcp).found, Kind::Unknown);
    QVERIFY(!combine(none, clear, 25565, ProbeProtocol::Tcp).found);
    QVERIFY(!combine(none, unsure, 25565, ProbeProtocol::Tcp).found);
    QCOMPARE(kindWord(Kind::Unknown), QLatin1StringView("unknown"));
    QCOMPARE(kindName(Kind::Unknown), u"a firewall on this computer"_s);
}

QTEST_GUILESS_MAIN(TestFirewallFacts)
#include "tst_firewallfacts.moc"
