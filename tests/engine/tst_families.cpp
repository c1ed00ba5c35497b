// Checks over one address family, and checks of a service that already holds the port: the
// connection goes over the family asked for, IPv6 verdicts come in IPv6's words, and a service
// check opens nothing and waits for nothing.

#include "engine/addressfamily.h"
#include "engine/verdictwords.h"
#include "tests/engine/enginetestkit.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSignalSpy>
#include <QTest>

using namespace quillmere;
using namespace quillmere::test;

namespace {

bool hasIpv6Loopback()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHostIPv6, 0);
}

Verdict verdictOf(Outcome outcome, std::optional<QString> address = u"2001:db8:1::10"_s)
{
    Verdict verdict;
    verdict.outcome = outcome;
    verdict.externalAddress = std::move(address);
    return verdict;
}

} // namespace

class TestFamilies : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void globalIpv6Addresses_data();
    void globalIpv6Addresses();
    void ipv6WordsNeverTalkOfForwarding_data();
    void ipv6WordsNeverTalkOfForwarding();
    void serviceReachByOutcome_data();
    void serviceReachByOutcome();
    void serviceWordsNeverClaimUdpOpen();
    void ipv6OnlyHintOnlyWhenIpv4Closed();
    void familyChoosesTheConnection_data();
    void familyChoosesTheConnection();
    void familyNeverFallsBackToTheOther_data();
    void familyNeverFallsBackToTheOther();
    void ipv6CheckShowsTheProbedAddress();
    void serviceCheckOpensNothingAndWaitsForNothing();
    void serviceCheckOfUdpIsNeverOpen();
};

void TestFamilies::globalIpv6Addresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("global");
    QTest::newRow("global unicast") << u"2a00:1450::1"_s << true;
    QTest::newRow("documentation prefix") << u"2001:db8:1::10"_s << true;
    QTest::newRow("unique local") << u"fd12:3456::1"_s << false;
    QTest::newRow("link-local") << u"fe80::1"_s << false;
    QTest::newRow("loopback") << u"::1"_s << false;
    QTest::newRow("IPv4-mapped") << u"::ffff:203.0.113.5"_s << false;
    QTest::newRow("multicast") << u"ff02::1"_s << false;
    QTest::newRow("IPv4") << u"203.0.113.5"_s << false;
}

void TestFamilies::globalIpv6Addresses()
{
    QFETCH(QString, address);
    QFETCH(bool, global);
    QCOMPARE(isGlobalIpv6(QHostAddress(address)), global);
}

void TestFamilies::ipv6WordsNeverTalkOfForwarding_data()
{
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("status");
    QTest::newRow("tcp arrived") << Outcome::TcpArrived << text::kIpv6OpenHere.toString();
    QTest::newRow("udp arrived") << Outcome::UdpArrived << text::kIpv6OpenHere.toString();
    QTest::newRow("elsewhere") << Outcome::TcpElsewhere << text::kIpv6OpenElsewhere.toString();
    QTest::newRow("tcp not reached") << Outcome::TcpNotReached << text::kIpv6NotOpen.toString();
    QTest::newRow("udp missing") << Outcome::UdpMissing << text::kIpv6NotOpen.toString();
    QTest::newRow("no server") << Outcome::NoServerResult << text::kIpv6NoResult.toString();
    QTest::newRow("waiting") << Outcome::UdpGraceWait << text::kIpv6Waiting.toString();
}

void TestFamilies::ipv6WordsNeverTalkOfForwarding()
{
    QFETCH(Outcome, outcome);
    QFETCH(QString, status);
    const bool tcp = outcome != Outcome::UdpArrived && outcome != Outcome::UdpMissing;
    const VerdictWords words =
        ipv6Words(verdictOf(outcome), tcp ? ProbeProtocol::Tcp : ProbeProtocol::Udp, u"8080");
    QCOMPARE(words.status, status);
    QCOMPARE(words.externalIp, u"The server probed your IPv6 address: 2001:db8:1::10"_s);
    const QString info = words.info.value_or(QString());
    // IPv6 has nothing to forward: a closed port points at the firewalls.
    QVERIFY2(!info.contains(u"forwarded correctly"_s), qPrintable(info));
    if (outcome == Outcome::TcpNotReached || outcome == Outcome::UdpMissing) {
        QVERIFY2(info.contains(u"pinhole"_s) && info.contains(u"IPv6 firewall"_s),
                 qPrintable(info));
        QVERIFY(info.contains(tcp ? u"TCP port 8080"_s : u"UDP port 8080"_s));
    }
    if (outcome == Outcome::UdpGraceWait)
        QVERIFY(!words.info); // the explanation waits for the verdict
}

void TestFamilies::serviceReachByOutcome_data()
{
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<ServiceReach>("reach");
    QTest::newRow("server connected") << Outcome::TcpElsewhere << ServiceReach::Reachable;
    QTest::newRow("server could not") << Outcome::TcpNotReached << ServiceReach::NotReachable;
    QTest::newRow("udp sent") << Outcome::UdpMissing << ServiceReach::Unconfirmable;
    QTest::newRow("udp grace") << Outcome::UdpGraceWait << ServiceReach::Unconfirmable;
    QTest::newRow("answer without a check") << Outcome::ReplyWithoutCheck << ServiceReach::NoResult;
    QTest::newRow("no server") << Outcome::NoServerResult << ServiceReach::NoResult;
    QTest::newRow("nothing yet") << Outcome::Undecided << ServiceReach::Pending;
}

void TestFamilies::serviceReachByOutcome()
{
    QFETCH(Outcome, outcome);
    QFETCH(ServiceReach, reach);
    QCOMPARE(serviceReach(verdictOf(outcome)), reach);
}

void TestFamilies::serviceWordsNeverClaimUdpOpen()
{
    const VerdictWords reachable =
        serviceWords(verdictOf(Outcome::TcpElsewhere, u"203.0.113.5"_s), u"80");
    QCOMPARE(reachable.status,
             u"reachable from the internet: a service accepted the connection at 203.0.113.5:80"_s);
    const VerdictWords ipv6 = serviceWords(verdictOf(Outcome::TcpElsewhere), u"80");
    QVERIFY2(ipv6.status.endsWith(u"at [2001:db8:1::10]:80"_s), qPrintable(ipv6.status));
    for (Outcome outcome : {Outcome::UdpArrived, Outcome::UdpMissing, Outcome::UdpGraceWait}) {
        const VerdictWords udp = serviceWords(verdictOf(outcome, u"203.0.113.5"_s), u"53");
        QVERIFY2(udp.status.contains(u"cannot be confirmed"_s), qPrintable(udp.status));
        QVERIFY(!udp.status.contains(u"reachable"_s, Qt::CaseInsensitive));
    }
}

void TestFamilies::ipv6OnlyHintOnlyWhenIpv4Closed()
{
    const QString hint =
        ipv6OnlyHint(VerdictKind::NotOpen, VerdictKind::OpenHere, u"2001:db8::5", u"25565");
    QVERIFY(hint.contains(u"DS-Lite"_s));
    QVERIFY(hint.contains(u"[2001:db8::5]:25565"_s));
    QVERIFY(!ipv6OnlyHint(VerdictKind::NoResult, VerdictKind::OpenHere, u"2001:db8::5", u"1")
                 .isEmpty());
    QVERIFY(
        ipv6OnlyHint(VerdictKind::OpenHere, VerdictKind::OpenHere, u"2001:db8::5", u"1").isEmpty());
    QVERIFY(ipv6OnlyHint(VerdictKind::OpenElsewhere, VerdictKind::OpenHere, u"2001:db8::5", u"1")
                .isEmpty());
    QVERIFY(
        ipv6OnlyHint(VerdictKind::NotOpen, VerdictKind::NotOpen, u"2001:db8::5", u"1").isEmpty());
}

void TestFamilies::familyChoosesTheConnection_data()
{
    QTest::addColumn<AddressFamily>("family");
    QTest::addColumn<QString>("peer");
    QTest::newRow("IPv4") << AddressFamily::IPv4 << u"127.0.0.1"_s;
    QTest::newRow("IPv6") << AddressFamily::IPv6 << u"::1"_s;
}

// "localhost" has both loopback addresses here; the family decides which one the check uses,
// and with it the address the server sees and probes.
void TestFamilies::familyChoosesTheConnection()
{
    QFETCH(AddressFamily, family);
    QFETCH(QString, peer);
    if (!hasIpv6Loopback())
        QSKIP("this machine has no IPv6 loopback");
    const auto localhost = QHostInfo::fromName(u"localhost"_s).addresses();
    const bool both =
        std::any_of(localhost.cbegin(), localhost.cend(),
                    [](const auto& a) { return a.protocol() == QAbstractSocket::IPv6Protocol; }) &&
        std::any_of(localhost.cbegin(), localhost.cend(),
                    [](const auto& a) { return a.protocol() == QAbstractSocket::IPv4Protocol; });
    if (!both)
        QSKIP("localhost does not name both loopback addresses here");

    EngineRig rig;
    QVERIFY(rig.server.listen(QHostAddress::Any));
    rig.view.port = QString::number(freePort());
    rig.engine = std::make_unique<CheckEngine>(
        rig.view, CheckServerAddress{u"localhost"_s, rig.server.port()});
    rig.engine->setFamily(family);
    rig.server.script().probeAddress = QHostAddress(peer);
    rig.server.script().replyBuilder = [peer](const CheckRequest& request,
                                              const ProbeOutcome& outcome) {
        return realisticReply(request, outcome, peer.toLatin1());
    };
    QSignalSpy evaluated(rig.engine.get(), &CheckEngine::evaluated);
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.engine->lastVerdict() && rig.engine->lastVerdict()->wait == WaitRequest::None, kWait);
    QVERIFY2(rig.engine->httpLogText().contains(u"HTTP: Connect to: "_s + peer + u':'),
             qPrintable(rig.engine->httpLogText()));
    QCOMPARE(rig.engine->lastVerdict()->kind(), VerdictKind::OpenHere);
    QCOMPARE(rig.view.text(ResultLabel::Status), family == AddressFamily::IPv6
                                                     ? text::kIpv6OpenHere.toString()
                                                     : text::kOpenHere.toString());
}

void TestFamilies::familyNeverFallsBackToTheOther_data()
{
    QTest::addColumn<AddressFamily>("family");
    QTest::addColumn<QString>("server");
    QTest::newRow("IPv4 check, IPv6 server") << AddressFamily::IPv4 << u"::1"_s;
    QTest::newRow("IPv6 check, IPv4 server") << AddressFamily::IPv6 << u"127.0.0.1"_s;
}

// A check over one family that cannot reach the server over it has no result: it never goes
// over the other family, where the server would probe another address.
void TestFamilies::familyNeverFallsBackToTheOther()
{
    QFETCH(AddressFamily, family);
    QFETCH(QString, server);
    if (!hasIpv6Loopback())
        QSKIP("this machine has no IPv6 loopback");
    EngineRig rig;
    QVERIFY(rig.server.listen(QHostAddress::Any));
    rig.view.port = QString::number(freePort());
    rig.engine =
        std::make_unique<CheckEngine>(rig.view, CheckServerAddress{server, rig.server.port()});
    rig.engine->setFamily(family);
    rig.engine->setTimeoutInterval(1000);
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(rig.engine->lastVerdict(), kWait);
    QVERIFY(rig.engine->httpLogText().contains(u"wshttp_ERROR"_s));
    QCOMPARE(rig.engine->lastVerdict()->kind(), VerdictKind::NoResult);
    QVERIFY(!rig.engine->httpLogText().contains(u"Connect to:"_s));
    QCOMPARE(rig.server.requests().size(), 0);
}

void TestFamilies::ipv6CheckShowsTheProbedAddress()
{
    if (!hasIpv6Loopback())
        QSKIP("this machine has no IPv6 loopback");
    EngineRig rig;
    QVERIFY(rig.server.listen(QHostAddress::LocalHostIPv6));
    rig.view.port = QString::number(freePort());
    rig.engine =
        std::make_unique<CheckEngine>(rig.view, CheckServerAddress{u"::1"_s, rig.server.port()});
    rig.engine->setFamily(AddressFamily::IPv6);
    // The server reaches nothing: the port is closed over IPv6.
    rig.server.script().probe = ServerScript::Probe::None;
    rig.server.script().replyBuilder = [](const CheckRequest& request,
                                          const ProbeOutcome& outcome) {
        return realisticReply(request, outcome, "2001:db8:1::10");
    };
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.engine->lastVerdict() && rig.engine->lastVerdict()->wait == WaitRequest::None, kWait);
    QCOMPARE(rig.view.text(ResultLabel::Status), text::kIpv6NotOpen.toString());
    QVERIFY(rig.view.text(ResultLabel::Info).contains(u"pinhole"_s));
    QCOMPARE(rig.view.text(ResultLabel::ExternalIP),
             u"The server probed your IPv6 address: 2001:db8:1::10"_s);
}

// Another program holds the port: a service check leaves it alone, decides as soon as the
// server has answered, and arms no wait for a probe that can never be seen here.
void TestFamilies::serviceCheckOpensNothingAndWaitsForNothing()
{
    EngineRig rig;
    QVERIFY(rig.server.listen());
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::Any, 0));
    rig.view.port = QString::number(service.serverPort());
    rig.engine = std::make_unique<CheckEngine>(rig.view, loopbackServer(rig.server.port()));
    rig.engine->setServiceCheck(true);
    QSignalSpy locked(rig.engine.get(), &CheckEngine::portLocked);
    QSignalSpy evaluated(rig.engine.get(), &CheckEngine::evaluated);
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(!evaluated.isEmpty(), kWait);
    QCOMPARE(locked.count(), 0);
    QVERIFY(rig.view.boxes.isEmpty());
    QCOMPARE(serviceReach(*rig.engine->lastVerdict()), ServiceReach::Reachable);
    QCOMPARE(rig.view.text(ResultLabel::Status),
             u"reachable from the internet: a service accepted the connection at 127.0.0.1:"_s +
                 rig.view.port);
    QVERIFY(!rig.engine->waitTimer().isActive());
    QVERIFY(!rig.engine->timeoutTimer().isActive());
    QCOMPARE(rig.engine->probeSocket().state(), SocketObject::State::Closed);
    // The service took the server's connection; nothing of it reached the engine.
    QTRY_VERIFY(service.hasPendingConnections());
    QVERIFY(rig.engine->listenerLogText().isEmpty());
    QCOMPARE(evaluated.count(), 1);
}

void TestFamilies::serviceCheckOfUdpIsNeverOpen()
{
    EngineRig rig;
    QVERIFY(rig.server.listen());
    QUdpSocket service;
    QVERIFY(service.bind(QHostAddress::Any, 0));
    rig.view.tcp = false;
    rig.view.port = QString::number(service.localPort());
    rig.engine = std::make_unique<CheckEngine>(rig.view, loopbackServer(rig.server.port()));
    rig.engine->setServiceCheck(true);
    QSignalSpy evaluated(rig.engine.get(), &CheckEngine::evaluated);
    QElapsedTimer clock;
    clock.start();
    rig.engine->cmdCheckMeClick();
    QTRY_VERIFY_WITH_TIMEOUT(!evaluated.isEmpty(), kWait);
    // No 5 s grace wait: nothing here would ever see the datagram.
    QVERIFY2(clock.elapsed() < CheckEngine::kGraceWaitMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(serviceReach(*rig.engine->lastVerdict()), ServiceReach::Unconfirmable);
    QTRY_VERIFY(service.hasPendingDatagrams());
    QVERIFY(rig.view.text(ResultLabel::Status).contains(u"cannot be confirmed"_s));
}

QTEST_GUILESS_MAIN(TestFamilies)
#include "tst_families.moc"
