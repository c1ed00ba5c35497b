// The NAT behaviour discovery against a STUN responder on loopback that plays each NAT behaviour:
// what NatClient finds, the servers that can tell only part of it, silence, answers that are no
// answers, and a client that goes while its run goes on.

#include "nat/discovery.h"
#include "nat/natfacts.h"
#include "tests/nat/stunresponder.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace quillmere::nat;
using namespace quillmere::nat::testing;

Q_DECLARE_METATYPE(std::optional<quillmere::nat::Behaviour>)
Q_DECLARE_METATYPE(std::optional<quillmere::nat::NatType>)
Q_DECLARE_METATYPE(std::optional<quillmere::nat::Nintendo>)

namespace {

// Generous: a run keeps within 3 s; this only keeps a broken run from hanging the test.
constexpr int kWaitMs = 15000;

NatRequest requestFor(const StunResponder& responder, int localPort = 0, bool forwarded = false)
{
    NatRequest request;
    request.host = QStringLiteral("127.0.0.1");
    request.port = responder.port();
    request.localPort = localPort;
    request.forwarded = forwarded;
    return request;
}

// Runs one discovery through a NatClient and returns what it reported.
NatFacts discoverWith(const NatRequest& request, qint64* elapsedMs = nullptr)
{
    NatClient client;
    QSignalSpy spy(&client, &NatClient::discovered);
    QElapsedTimer clock;
    clock.start();
    client.discover(request);
    [&] { QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, kWaitMs); }();
    if (elapsedMs)
        *elapsedMs = clock.elapsed();
    if (spy.isEmpty())
        return NatFacts();
    return spy.at(0).at(0).value<NatFacts>();
}

// A UDP port free on this computer now.
quint16 freePort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress);
    return socket.localPort();
}

int requestsTo(const StunResponder& responder, int socket, bool change)
{
    int count = 0;
    for (const Received& r : responder.received()) {
        if (r.socket == socket && (r.changeIp || r.changePort) == change)
            ++count;
    }
    return count;
}

} // namespace

class TestNatDiscovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void behaviours_data();
    void behaviours();
    void portPreservation();
    void forwardedPort();
    void takenPort();
    void oneAddressServer();
    void oneAddressServerTellsPortDependence();
    void portChangeWithoutOtherAddress();
    void serverWithoutOtherAddress();
    void otherAddressOfOtherFamilyIsNotUsed();
    void otherAddressThatIsItself();
    void otherAddressSilent();
    void changeRequestRefused();
    void junkAndWrongTransactionsIgnored();
    void silentServer();
    void udpBlocked();
    void boundCutsTheRunShort();
    void serverByName();
    void cancelBeforeStart();
    void clientGoesDuringRun();
};

void TestNatDiscovery::behaviours_data()
{
    QTest::addColumn<PlayedMapping>("playedMapping");
    QTest::addColumn<PlayedFiltering>("playedFiltering");
    QTest::addColumn<QList<int>>("ports");
    QTest::addColumn<std::optional<Behaviour>>("mapping");
    QTest::addColumn<std::optional<Behaviour>>("filtering");
    QTest::addColumn<std::optional<NatType>>("type");
    QTest::addColumn<std::optional<Nintendo>>("nintendo");

    const QList<int> sequential{40000, 40001, 40002, 40003, 40004};
    const QList<int> scattered{40000, 51234, 43210, 60001, 45678};
    using B = Behaviour;
    QTest::newRow("no NAT") << PlayedMapping::Real << PlayedFiltering::Independent << sequential
                            << std::optional(B::None) << std::optional(B::EndpointIndependent)
                            << std::optional(NatType::Open) << std::optional(Nintendo::A);
    QTest::newRow("no NAT, a firewall that lets in only where it sent")
        << PlayedMapping::Real << PlayedFiltering::AddressAndPortDependent << sequential
        << std::optional(B::None) << std::optional(B::AddressAndPortDependent)
        << std::optional(NatType::Open) << std::optional(Nintendo::B);
    QTest::newRow("full cone") << PlayedMapping::Independent << PlayedFiltering::Independent
                               << sequential << std::optional(B::EndpointIndependent)
                               << std::optional(B::EndpointIndependent)
                               << std::optional(NatType::Open) << std::optional(Nintendo::A);
    QTest::newRow("restricted cone")
        << PlayedMapping::Independent << PlayedFiltering::AddressDependent << sequential
        << std::optional(B::EndpointIndependent) << std::optional(B::AddressDependent)
        << std::optional(NatType::Moderate) << std::optional(Nintendo::A);
    QTest::newRow("port-restricted cone")
        << PlayedMapping::Independent << PlayedFiltering::AddressAndPortDependent << sequential
        << std::optional(B::EndpointIndependent) << std::optional(B::AddressAndPortDependent)
        << std::optional(NatType::Moderate) << std::optional(Nintendo::B);
    QTest::newRow("address-dependent mapping, sequential ports")
        << PlayedMapping::AddressDependent << PlayedFiltering::AddressAndPortDependent << sequential
        << std::optional(B::AddressDependent) << std::optional(B::AddressAndPortDependent)
        << std::optional(NatType::Strict) << std::optional(Nintendo::C);
    QTest::newRow("symmetric, sequential ports")
        << PlayedMapping::AddressAndPortDependent << PlayedFiltering::AddressAndPortDependent
        << sequential << std::optional(B::AddressAndPortDependent)
        << std::optional(B::AddressAndPortDependent) << std::optional(NatType::Strict)
        << std::optional(Nintendo::C);
    QTest::newRow("symmetric, scattered ports")
        << PlayedMapping::AddressAndPortDependent << PlayedFiltering::AddressAndPortDependent
        << scattered << std::optional(B::AddressAndPortDependent)
        << std::optional(B::AddressAndPortDependent) << std::optional(NatType::Strict)
        << std::optional(Nintendo::D);
    QTest::newRow("symmetric mapping, open filter")
        << PlayedMapping::AddressAndPortDependent << PlayedFiltering::Independent << scattered
        << std::optional(B::AddressAndPortDependent) << std::optional(B::EndpointIndependent)
        << std::optional(NatType::Strict) << std::optional(Nintendo::D);
}

void TestNatDiscovery::behaviours()
{
    QFETCH(PlayedMapping, playedMapping);
    QFETCH(PlayedFiltering, playedFiltering);
    QFETCH(QList<int>, ports);
    QFETCH(std::optional<Behaviour>, mapping);
    QFETCH(std::optional<Behaviour>, filtering);
    QFETCH(std::optional<NatType>, type);
    QFETCH(std::optional<Nintendo>, nintendo);

    Script script;
    script.mapping = playedMapping;
    script.filtering = playedFiltering;
    script.externalPorts = ports;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    qint64 elapsed = 0;
    const NatFacts facts = discoverWith(requestFor(responder), &elapsed);
    qInfo("run took %lld ms", elapsed);

    QVERIFY(facts.answered);
    QCOMPARE(facts.server, QStringLiteral("127.0.0.1:") + QString::number(responder.port()));
    QCOMPARE(facts.mapping, mapping);
    QCOMPARE(facts.filtering, filtering);
    QCOMPARE(facts.type, type);
    QCOMPARE(facts.nintendo, nintendo);
    QVERIFY2(facts.limits.isEmpty(), qPrintable(facts.limits));
    QVERIFY(facts.localPort > 0);
    const QString expectedExternal =
        playedMapping == PlayedMapping::Real
            ? QStringLiteral("127.0.0.1:") + QString::number(facts.localPort)
            : QStringLiteral("203.0.113.7:") + QString::number(ports.first());
    QCOMPARE(facts.externalAddress, expectedExternal);
    QVERIFY(!facts.log.isEmpty());
    // The mapping tests came from one socket, the filtering tests from another.
    QList<quint16> mappingPorts, filteringPorts;
    for (const Received& r : responder.received())
        ((r.changeIp || r.changePort) ? filteringPorts : mappingPorts).append(r.fromPort);
    QVERIFY(!mappingPorts.isEmpty());
    QVERIFY(!filteringPorts.isEmpty());
    for (quint16 port : std::as_const(mappingPorts))
        QCOMPARE(port, quint16(facts.localPort));
    for (quint16 port : std::as_const(filteringPorts))
        QVERIFY(port != quint16(facts.localPort));
    // Test I to the primary pair; II and III to the other address when the mapping changed.
    QVERIFY(requestsTo(responder, 0, false) >= 1);
    if (playedMapping != PlayedMapping::Real) {
        QVERIFY(requestsTo(responder, 2, false) >= 1);
        QVERIFY(requestsTo(responder, 3, false) >= 1);
    }
}

void TestNatDiscovery::portPreservation()
{
    for (const bool preserve : {true, false}) {
        Script script;
        script.preservePort = preserve;
        StunResponder responder(script);
        QVERIFY(responder.listening());
        const NatFacts facts = discoverWith(requestFor(responder));
        QCOMPARE(facts.portPreserved, std::optional(preserve));
        if (preserve)
            QCOMPARE(facts.externalAddress,
                     QStringLiteral("203.0.113.7:") + QString::number(facts.localPort));
        QCOMPARE(facts.mapping, std::optional(Behaviour::EndpointIndependent));
    }
}

// The checked port, forwarded to this computer: the tests run from it, and it is open whatever
// the NAT does elsewhere.
void TestNatDiscovery::forwardedPort()
{
    Script script;
    script.mapping = PlayedMapping::AddressAndPortDependent;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const quint16 port = freePort();
    const NatFacts facts = discoverWith(requestFor(responder, port, true));
    QCOMPARE(facts.localPort, int(port));
    QCOMPARE(requestsTo(responder, 0, false) >= 1, true);
    for (const Received& r : responder.received()) {
        if (!r.changeIp && !r.changePort)
            QCOMPARE(r.fromPort, port);
    }
    QCOMPARE(facts.mapping, std::optional(Behaviour::AddressAndPortDependent));
    QCOMPARE(facts.type, std::optional(NatType::Open));
    QCOMPARE(facts.nintendo, std::optional(Nintendo::A));
}

// A port that something here holds: the tests take another, and a forward of the asked port
// says nothing of it.
void TestNatDiscovery::takenPort()
{
    Script script;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    const NatFacts facts = discoverWith(requestFor(responder, holder.localPort(), true));
    QVERIFY(facts.answered);
    QVERIFY(facts.localPort != int(holder.localPort()));
    QCOMPARE(facts.type, std::optional(NatType::Moderate));
    QCOMPARE(facts.nintendo, std::optional(Nintendo::B));
    QVERIFY(facts.log.join(u'\n').contains(QStringLiteral("taken")));
}

// One address: the port change is all it serves. An unchanged mapping and an answer from the
// other port leave both behaviours partly told.
void TestNatDiscovery::oneAddressServer()
{
    Script script;
    script.other = OtherAddress::OnePort;
    script.mapping = PlayedMapping::Independent;
    script.filtering = PlayedFiltering::AddressDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QVERIFY(facts.answered);
    QCOMPARE(facts.mapping, std::nullopt);
    QCOMPARE(facts.filtering, std::nullopt);
    QCOMPARE(facts.type, std::nullopt);
    QCOMPARE(facts.nintendo, std::nullopt);
    QVERIFY2(facts.limits.contains(QStringLiteral("one address")), qPrintable(facts.limits));
    QVERIFY(!facts.externalAddress.isEmpty());
    QVERIFY(facts.portPreserved.has_value());
    // Nothing went to an address the server did not name.
    for (const Received& r : responder.received())
        QVERIFY(r.socket < 2);
}

// One address still tells a mapping that changes with the server's port, and a filter that
// lets in nothing from another port.
void TestNatDiscovery::oneAddressServerTellsPortDependence()
{
    Script script;
    script.other = OtherAddress::OnePort;
    script.mapping = PlayedMapping::AddressAndPortDependent;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QCOMPARE(facts.mapping, std::optional(Behaviour::AddressAndPortDependent));
    QCOMPARE(facts.filtering, std::optional(Behaviour::AddressAndPortDependent));
    QCOMPARE(facts.type, std::optional(NatType::Strict));
    QCOMPARE(facts.nintendo, std::optional(Nintendo::C));
}

// A server with one address that names no other one, yet serves the change of port: the port
// its answer came from is the one the mapping test uses.
void TestNatDiscovery::portChangeWithoutOtherAddress()
{
    for (const PlayedMapping played :
         {PlayedMapping::Independent, PlayedMapping::AddressAndPortDependent}) {
        Script script;
        script.other = OtherAddress::UnnamedPort;
        script.mapping = played;
        script.filtering = PlayedFiltering::AddressDependent;
        StunResponder responder(script);
        QVERIFY(responder.listening());
        const NatFacts facts = discoverWith(requestFor(responder));
        QVERIFY(facts.answered);
        QCOMPARE(requestsTo(responder, 1, false), 1); // the mapping test to the other port
        for (const Received& r : responder.received())
            QVERIFY(r.socket < 2);
        QCOMPARE(facts.filtering, std::nullopt);
        QVERIFY2(facts.limits.contains(QStringLiteral("from another port of the STUN server come "
                                                      "in")),
                 qPrintable(facts.limits));
        if (played == PlayedMapping::Independent) {
            QCOMPARE(facts.mapping, std::nullopt);
            QVERIFY2(facts.limits.contains(QStringLiteral("one address")),
                     qPrintable(facts.limits));
        } else {
            QCOMPARE(facts.mapping, std::optional(Behaviour::AddressAndPortDependent));
            QCOMPARE(facts.type, std::optional(NatType::Strict));
        }
        QVERIFY(!facts.limits.contains(QStringLiteral("no other address")));
    }
}

void TestNatDiscovery::serverWithoutOtherAddress()
{
    Script script;
    script.other = OtherAddress::None;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QVERIFY(facts.answered);
    QCOMPARE(facts.externalAddress, QStringLiteral("203.0.113.7:40000"));
    QCOMPARE(facts.portPreserved, std::optional(false));
    QCOMPARE(facts.mapping, std::nullopt);
    QCOMPARE(facts.filtering, std::nullopt);
    QCOMPARE(facts.type, std::nullopt);
    QVERIFY2(facts.limits.contains(QStringLiteral("no other address")), qPrintable(facts.limits));
    for (const Received& r : responder.received())
        QCOMPARE(r.socket, 0);
}

void TestNatDiscovery::otherAddressOfOtherFamilyIsNotUsed()
{
    Script script;
    script.other = OtherAddress::OtherFamily;
    StunResponder responder(script);
    if (!responder.listening())
        QSKIP("no IPv6 loopback here");
    const NatFacts facts = discoverWith(requestFor(responder));
    QVERIFY(facts.answered);
    QCOMPARE(facts.mapping, std::nullopt);
    QCOMPARE(responder.receivedOnOtherFamily(), 0);
    QVERIFY2(facts.limits.contains(QStringLiteral("other family")), qPrintable(facts.limits));
}

void TestNatDiscovery::otherAddressThatIsItself()
{
    Script script;
    script.other = OtherAddress::Itself;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QCOMPARE(facts.mapping, std::nullopt);
    QCOMPARE(facts.filtering, std::nullopt);
    QVERIFY(!facts.limits.isEmpty());
    for (const Received& r : responder.received())
        QCOMPARE(r.socket, 0);
}

void TestNatDiscovery::otherAddressSilent()
{
    Script script;
    script.silentOnOther = true;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QVERIFY(facts.answered);
    QCOMPARE(facts.mapping, std::nullopt);
    QVERIFY2(facts.limits.contains(QStringLiteral("other address did not answer")),
             qPrintable(facts.limits));
    // RFC 5389's retransmissions, scaled down: a few sends each, never more.
    QCOMPARE(requestsTo(responder, 2, false), Timing().sends);
}

void TestNatDiscovery::changeRequestRefused()
{
    Script script;
    script.refuseChange = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QCOMPARE(facts.mapping, std::optional(Behaviour::EndpointIndependent));
    QCOMPARE(facts.filtering, std::nullopt);
    QCOMPARE(facts.type, std::nullopt);
    QVERIFY(!facts.limits.isEmpty());
    QVERIFY(facts.log.join(u'\n').contains(QStringLiteral("error 420")));
}

void TestNatDiscovery::junkAndWrongTransactionsIgnored()
{
    Script script;
    script.junkFirst = true;
    script.wrongIdFirst = true;
    script.filtering = PlayedFiltering::AddressDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QCOMPARE(facts.mapping, std::optional(Behaviour::EndpointIndependent));
    QCOMPARE(facts.filtering, std::optional(Behaviour::AddressDependent));
    QCOMPARE(facts.externalAddress, QStringLiteral("203.0.113.7:40000"));
    const QString log = facts.log.join(u'\n');
    QVERIFY(log.contains(QStringLiteral("not a STUN answer; ignored")));
    QVERIFY(log.contains(QStringLiteral("no request outstanding; ignored")));
    QVERIFY(!log.contains(QStringLiteral("198.51.100.99")));
}

// No answer at all, and nothing over TCP either: the server may be missing, so nothing is said
// of UDP. The run's length is a figure, not a condition.
void TestNatDiscovery::silentServer()
{
    Script script;
    script.silent = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    qint64 elapsed = 0;
    const NatFacts facts = discoverWith(requestFor(responder), &elapsed);
    qInfo("a silent server: the run took %lld ms", elapsed);
    QVERIFY(!facts.answered);
    QCOMPARE(facts.type, std::nullopt);
    QCOMPARE(facts.nintendo, std::nullopt);
    QCOMPARE(facts.mapping, std::nullopt);
    QVERIFY(facts.externalAddress.isEmpty());
    QVERIFY2(facts.limits.contains(QStringLiteral("server is missing")), qPrintable(facts.limits));
    QCOMPARE(requestsTo(responder, 0, false), Timing().sends);
}

// Silence over UDP while the same server answers over TCP: UDP is blocked, Nintendo's F.
void TestNatDiscovery::udpBlocked()
{
    Script script;
    script.silent = true;
    script.tcp = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    const NatFacts facts = discoverWith(requestFor(responder));
    QVERIFY(!facts.answered);
    QCOMPARE(responder.tcpAnswers(), 1);
    QCOMPARE(facts.nintendo, std::optional(Nintendo::F));
    QCOMPARE(facts.type, std::optional(NatType::Strict));
    QVERIFY2(facts.limits.contains(QStringLiteral("UDP is blocked")), qPrintable(facts.limits));
}

// The run's bound holds whatever the server does: a run cut short says so, and keeps what it
// was told before.
void TestNatDiscovery::boundCutsTheRunShort()
{
    Script script;
    script.silentOnOther = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    Cancel cancel;
    Timing timing;
    timing.total = 300; // less than one unanswered request takes
    const NatFacts facts = runDiscovery(requestFor(responder), cancel, timing);
    QVERIFY(facts.answered);
    QCOMPARE(facts.externalAddress, QStringLiteral("203.0.113.7:40000"));
    QCOMPARE(facts.mapping, std::nullopt);
    QVERIFY2(facts.limits.contains(QStringLiteral("the time ran out")), qPrintable(facts.limits));
    QVERIFY2(!facts.limits.contains(QStringLiteral("did not answer")), qPrintable(facts.limits));
}

// A server named by name: looked up (here from the hosts file), and named in the facts as given.
void TestNatDiscovery::serverByName()
{
    StunResponder responder(Script{});
    QVERIFY(responder.listening());
    const QHostInfo info = QHostInfo::fromName(QStringLiteral("localhost"));
    if (!info.addresses().contains(QHostAddress(QHostAddress::LocalHost)))
        QSKIP("localhost is not 127.0.0.1 here");
    NatRequest request = requestFor(responder);
    request.host = QStringLiteral("localhost");
    const NatFacts facts = discoverWith(request);
    QVERIFY(facts.answered);
    QCOMPARE(facts.server, QStringLiteral("localhost:") + QString::number(responder.port()));
    QCOMPARE(facts.mapping, std::optional(Behaviour::EndpointIndependent));
}

void TestNatDiscovery::cancelBeforeStart()
{
    Script script;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    Cancel cancel;
    cancel.cancel();
    const NatFacts facts = runDiscovery(requestFor(responder), cancel);
    QVERIFY(!facts.answered);
    QVERIFY(responder.received().isEmpty());
    QVERIFY(facts.limits.contains(QStringLiteral("stopped")));
}

// The client goes while a run waits on a silent server: the destructor does not wait for the
// run, the run ends (its sockets close) soon after, and no signal comes.
void TestNatDiscovery::clientGoesDuringRun()
{
    Script script;
    script.silent = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    auto client = std::make_unique<NatClient>();
    int reports = 0;
    QObject context;
    connect(client.get(), &NatClient::discovered, &context, [&reports] { ++reports; });
    client->discover(requestFor(responder));
    client->discover(requestFor(responder)); // queued behind: dropped
    QVERIFY(client->busy());
    QTRY_VERIFY_WITH_TIMEOUT(!responder.received().isEmpty(), kWaitMs);
    const quint16 port = responder.received().first().fromPort;
    QElapsedTimer clock;
    clock.start();
    client.reset();
    qInfo("the destructor took %lld ms", clock.elapsed());
    // The run ends and lets its port go; the one queued behind it never starts.
    QTRY_VERIFY_WITH_TIMEOUT(
        [port] {
            QUdpSocket probe;
            return probe.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress);
        }(),
        kWaitMs);
    qInfo("the cancelled run let its port go %lld ms after", clock.elapsed());
    QCoreApplication::processEvents();
    QCOMPARE(reports, 0);
    QSet<quint16> sources;
    for (const Received& r : responder.received())
        sources.insert(r.fromPort);
    QCOMPARE(sources.size(), 2); // the first run's two sockets only
}

QTEST_GUILESS_MAIN(TestNatDiscovery)
#include "tst_natdiscovery.moc"
