#include "firewall/detector.h"
#include "firewall/firewalld.h"
#include "tests/firewall/scriptedfirewalld.h"

#include <QDBusError>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace quillmere;
using namespace quillmere::firewall;
using namespace Qt::StringLiterals;

// The detector and the firewalld client against a scripted firewalld on a bus of the test's own
// (a dbus-daemon it starts), never the system's.
class TestFirewalld : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void detectsZoneOfRouteInterface();
    void zoneFromActiveZonesWhenRefused();
    void queryPortRefusedByPolkit_data();
    void queryPortRefusedByPolkit();
    void interfaceInNoZoneIsInDefault();
    void defaultZoneRefused_data();
    void defaultZoneRefused();
    void ufwComesFirst();
    void noFirewalldNoNetAdmin();
    void noFirewalldNftables();
    void nftablesWithoutInputFilter();
    void silentFirewalldIsBounded();
    void hungNftIsBounded();

    void allowPortRuntimeAndPermanent();
    void allowPortDefaultZone();
    void allowPortAlreadyOpen();
    void allowPortRefused();
    void allowPortPermanentRefused();

    void realFirewalld();

private:
    DetectorSources sources(bool netAdmin = false) const;
    Detection detect(const DetectorSources& sources, int port = 25565);
    void write(const QString& name, const QByteArray& text) const;

    QProcess m_daemon;
    QString m_address;
    std::optional<QDBusConnection> m_service;
    std::optional<QDBusConnection> m_client;
    ScriptedFirewalld m_firewalld;
    QTemporaryDir m_dir;
};

void TestFirewalld::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address"_s});
    QVERIFY2(m_daemon.waitForStarted(), "dbus-daemon is needed for this test");
    QTRY_VERIFY(m_daemon.canReadLine());
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QVERIFY(!m_address.isEmpty());
    m_service = QDBusConnection::connectToBus(m_address, u"scripted-firewalld"_s);
    m_client = QDBusConnection::connectToBus(m_address, u"quillmere"_s);
    QVERIFY(m_service->isConnected());
    QVERIFY(m_client->isConnected());
    QVERIFY(m_firewalld.serve(*m_service));
}

void TestFirewalld::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(u"scripted-firewalld"_s);
    QDBusConnection::disconnectFromBus(u"quillmere"_s);
    m_daemon.terminate();
    m_daemon.waitForFinished();
}

void TestFirewalld::init()
{
    m_firewalld.defaultZone = u"public"_s;
    m_firewalld.zoneOfInterface = {{u"eth0"_s, u"home"_s}};
    m_firewalld.activeZones = {};
    m_firewalld.portAllowed = false;
    m_firewalld.errors.clear();
    m_firewalld.silent.clear();
    m_firewalld.calls.clear();
    write(u"route"_s, "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                      "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\n");
    write(u"ufw.conf"_s, "ENABLED=no\n");
    write(u"status"_s, "CapEff:\t0000000000000000\n");
    write(u"status-admin"_s, "CapEff:\t0000000000001000\n");
}

void TestFirewalld::write(const QString& name, const QByteArray& text) const
{
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    if (name.endsWith(u".sh"_s))
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

DetectorSources TestFirewalld::sources(bool netAdmin) const
{
    DetectorSources result;
    result.ufwConf = m_dir.filePath(u"ufw.conf"_s);
    result.procStatus = m_dir.filePath(netAdmin ? u"status-admin"_s : u"status"_s);
    result.route = m_dir.filePath(u"route"_s);
    result.ipv6Route = m_dir.filePath(u"none"_s);
    result.bus = *m_client;
    result.nftProgram = m_dir.filePath(u"nft.sh"_s);
    result.timeoutMs = 2000;
    return result;
}

Detection TestFirewalld::detect(const DetectorSources& sources, int port)
{
    FirewallDetector detector(sources);
    QSignalSpy found(&detector, &FirewallDetector::found);
    detector.detect(port, ProbeProtocol::Tcp);
    [&] { QTRY_COMPARE_WITH_TIMEOUT(found.size(), 1, 20000); }();
    if (found.isEmpty())
        return {};
    // Once only, and nothing late.
    QTest::qWait(0);
    [&] { QCOMPARE(found.size(), 1); }();
    return found.first().first().value<Detection>();
}

void TestFirewalld::detectsZoneOfRouteInterface()
{
    m_firewalld.portAllowed = true;
    const Detection detection = detect(sources());
    QCOMPARE(detection.found, Kind::Firewalld);
    QCOMPARE(detection.interface, u"eth0"_s);
    QCOMPARE(detection.defaultZone, u"public"_s);
    QCOMPARE(detection.zone, u"home"_s);
    QCOMPARE(detection.portAllowed, true);
    QCOMPARE(m_firewalld.members(),
             QStringList({u"getDefaultZone"_s, u"getZoneOfInterface"_s, u"queryPort"_s}));
    QCOMPARE(m_firewalld.calls[1].arguments, QList<QVariant>{u"eth0"_s});
    QCOMPARE(m_firewalld.calls[2].arguments, QList<QVariant>({u"home"_s, u"25565"_s, u"tcp"_s}));
    // A look never asks polkit to prompt.
    for (const auto& call : m_firewalld.calls)
        QVERIFY(!call.interactive);
    QCOMPARE(fixCommand(detection, 25565, ProbeProtocol::Tcp),
             u"sudo firewall-cmd --zone=home --permanent --add-port=25565/tcp && sudo "
             u"firewall-cmd --reload"_s);
}

void TestFirewalld::zoneFromActiveZonesWhenRefused()
{
    m_firewalld.errors[u"getZoneOfInterface"_s] = {u"org.freedesktop.DBus.Error.AccessDenied"_s,
                                                   u"denied"_s};
    m_firewalld.activeZones = {
        {u"trusted"_s, {{u"interfaces"_s, {u"docker0"_s}}}},
        {u"work"_s,
         {{u"sources"_s, {u"10.0.0.0/8"_s}}, {u"interfaces"_s, {u"wlan0"_s, u"eth0"_s}}}}};
    const Detection detection = detect(sources());
    QCOMPARE(detection.found, Kind::Firewalld);
    QCOMPARE(detection.zone, u"work"_s);
    QCOMPARE(m_firewalld.members(), QStringList({u"getDefaultZone"_s, u"getZoneOfInterface"_s,
                                                 u"getActiveZones"_s, u"queryPort"_s}));
}

void TestFirewalld::queryPortRefusedByPolkit_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("bus refusal") << u"org.freedesktop.DBus.Error.AccessDenied"_s
                                 << u"Rejected send message"_s;
    QTest::newRow("firewalld's exception")
        << u"org.fedoraproject.FirewallD1.Exception"_s
        << u"NOT_AUTHORIZED: org.fedoraproject.FirewallD1.info"_s;
    QTest::newRow("polkit") << u"org.freedesktop.PolicyKit1.Error.NotAuthorized"_s
                            << u"not authorized"_s;
}

void TestFirewalld::queryPortRefusedByPolkit()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    m_firewalld.errors[u"queryPort"_s] = {name, message};
    const Detection detection = detect(sources());
    QCOMPARE(detection.found, Kind::Firewalld);
    QCOMPARE(detection.zone, u"home"_s);
    QVERIFY(!detection.portAllowed);
    QVERIFY2(detection.note.contains(u"did not let this user"_s), qPrintable(detection.note));
}

void TestFirewalld::interfaceInNoZoneIsInDefault()
{
    m_firewalld.zoneOfInterface.clear();
    m_firewalld.defaultZone = u"FedoraWorkstation"_s;
    const Detection detection = detect(sources());
    QCOMPARE(detection.zone, u"FedoraWorkstation"_s);
    QCOMPARE(fixCommand(detection, 80, ProbeProtocol::Tcp),
             u"sudo firewall-cmd --permanent --add-port=80/tcp && sudo firewall-cmd --reload"_s);
}

// Where polkit does not let this user look at all (no polkit agent rules for the info action,
// or no polkit on the bus), firewalld still answers: it is found, in a zone not known, and its
// command opens the port in the default zone.
void TestFirewalld::defaultZoneRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("polkit") << u"org.freedesktop.PolicyKit1.Error.NotAuthorized"_s
                            << u"not authorized"_s;
    QTest::newRow("firewalld's exception")
        << u"org.fedoraproject.FirewallD1.NotAuthorizedException"_s
        << u"org.fedoraproject.FirewallD1.info"_s;
    QTest::newRow("bus refusal") << u"org.freedesktop.DBus.Error.AccessDenied"_s
                                 << u"Rejected send message"_s;
}

void TestFirewalld::defaultZoneRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    m_firewalld.errors[u"getDefaultZone"_s] = {name, message};
    const Detection detection = detect(sources());
    QCOMPARE(detection.found, Kind::Firewalld);
    QVERIFY(detection.zone.isEmpty());
    QVERIFY(detection.note.contains(u"did not let this user"_s));
    QCOMPARE(fixCommand(detection, 25565, ProbeProtocol::Tcp),
             u"sudo firewall-cmd --permanent --add-port=25565/tcp && sudo firewall-cmd --reload"_s);
}

void TestFirewalld::ufwComesFirst()
{
    write(u"ufw.conf"_s, "# comment\nENABLED=yes\nLOGLEVEL=low\n");
    const Detection detection = detect(sources());
    QCOMPARE(detection.found, Kind::Ufw);
    QVERIFY(m_firewalld.calls.isEmpty());
}

void TestFirewalld::noFirewalldNoNetAdmin()
{
    m_firewalld.errors[u"getDefaultZone"_s] = {u"org.freedesktop.DBus.Error.ServiceUnknown"_s,
                                               u"not running"_s};
    write(u"nft.sh"_s, "#!/bin/sh\necho ran >\"$0.ran\"\n");
    const Detection detection = detect(sources(false));
    QCOMPARE(detection.found, Kind::Unknown);
    QVERIFY(detection.note.contains(u"CAP_NET_ADMIN"_s));
    QVERIFY(!QFile::exists(m_dir.filePath(u"nft.sh.ran"_s))); // nft was not run
}

void TestFirewalld::noFirewalldNftables()
{
    m_firewalld.errors[u"getDefaultZone"_s] = {u"org.freedesktop.DBus.Error.ServiceUnknown"_s,
                                               u"not running"_s};
    write(u"nft.sh"_s, "#!/bin/sh\n[ \"$*\" = \"-j list ruleset\" ] || exit 1\n"
                       "echo '{\"nftables\": [{\"chain\": {\"family\": \"inet\", \"table\": "
                       "\"filter\", \"name\": \"input\", \"type\": \"filter\", \"hook\": "
                       "\"input\", \"prio\": 0, \"policy\": \"drop\"}}]}'\n");
    const Detection detection = detect(sources(true));
    QCOMPARE(detection.found, Kind::Nftables);
    QCOMPARE(fixCommand(detection, 25565, ProbeProtocol::Tcp),
             u"sudo nft insert rule inet filter input tcp dport 25565 accept"_s);
}

void TestFirewalld::nftablesWithoutInputFilter()
{
    m_firewalld.errors[u"getDefaultZone"_s] = {u"org.freedesktop.DBus.Error.ServiceUnknown"_s,
                                               u"not running"_s};
    write(u"nft.sh"_s, "#!/bin/sh\necho '{\"nftables\": [{\"metainfo\": {}}]}'\n");
    QVERIFY(!detect(sources(true)).found);
    // nft that fails: some firewall may be there.
    write(u"nft.sh"_s, "#!/bin/sh\necho 'Operation not permitted' >&2\nexit 1\n");
    QCOMPARE(detect(sources(true)).found, Kind::Unknown);
}

void TestFirewalld::silentFirewalldIsBounded()
{
    m_firewalld.silent = {u"getDefaultZone"_s};
    DetectorSources quick = sources(false);
    quick.timeoutMs = 200;
    const Detection detection = detect(quick);
    QCOMPARE(detection.found, Kind::Unknown);
}

void TestFirewalld::hungNftIsBounded()
{
    m_firewalld.errors[u"getDefaultZone"_s] = {u"org.freedesktop.DBus.Error.ServiceUnknown"_s,
                                               u"not running"_s};
    write(u"nft.sh"_s, "#!/bin/sh\nexec sleep 60\n");
    DetectorSources quick = sources(true);
    quick.timeoutMs = 200;
    const Detection detection = detect(quick);
    QCOMPARE(detection.found, Kind::Unknown);
    QVERIFY(detection.note.contains(u"too long"_s));
}

void TestFirewalld::allowPortRuntimeAndPermanent()
{
    FirewalldClient client(*m_client);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    QSignalSpy failed(&client, &FirewalldClient::failed);
    client.allowPort(u"home"_s, 25565, ProbeProtocol::Tcp);
    QTRY_COMPARE(allowed.size(), 1);
    QCOMPARE(failed.size(), 0);
    QCOMPARE(m_firewalld.members(), QStringList({u"addPort"_s, u"getZoneByName"_s, u"addPort"_s}));
    const auto& runtime = m_firewalld.calls[0];
    QCOMPARE(runtime.interface, u"org.fedoraproject.FirewallD1.zone"_s);
    QCOMPARE(runtime.path, u"/org/fedoraproject/FirewallD1"_s);
    QCOMPARE(runtime.arguments, QList<QVariant>({u"home"_s, u"25565"_s, u"tcp"_s, 0}));
    QCOMPARE(m_firewalld.calls[1].path, u"/org/fedoraproject/FirewallD1/config"_s);
    QCOMPARE(m_firewalld.calls[1].arguments, QList<QVariant>{u"home"_s});
    const auto& permanent = m_firewalld.calls[2];
    QCOMPARE(permanent.interface, u"org.fedoraproject.FirewallD1.config.zone"_s);
    QCOMPARE(permanent.path, ScriptedFirewalld::kZonePath);
    QCOMPARE(permanent.arguments, QList<QVariant>({u"25565"_s, u"tcp"_s}));
    // polkit may ask the user for a password on each.
    for (const auto& call : m_firewalld.calls)
        QVERIFY(call.interactive);
}

void TestFirewalld::allowPortDefaultZone()
{
    m_firewalld.defaultZone = u"public"_s;
    FirewalldClient client(*m_client);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    client.allowPort(QString(), 8080, ProbeProtocol::Udp);
    QTRY_COMPARE(allowed.size(), 1);
    QCOMPARE(m_firewalld.members(),
             QStringList({u"addPort"_s, u"getDefaultZone"_s, u"getZoneByName"_s, u"addPort"_s}));
    QCOMPARE(m_firewalld.calls[0].arguments, QList<QVariant>({QString(), u"8080"_s, u"udp"_s, 0}));
    QCOMPARE(m_firewalld.calls[2].arguments, QList<QVariant>{u"public"_s});
}

void TestFirewalld::allowPortAlreadyOpen()
{
    m_firewalld.errors[u"addPort"_s] = {u"org.fedoraproject.FirewallD1.Exception"_s,
                                        u"ALREADY_ENABLED: '25565:tcp' already in 'home'"_s};
    m_firewalld.errors[u"config.zone.addPort"_s] = m_firewalld.errors[u"addPort"_s];
    FirewalldClient client(*m_client);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    client.allowPort(u"home"_s, 25565, ProbeProtocol::Tcp);
    QTRY_COMPARE(allowed.size(), 1);
}

void TestFirewalld::allowPortRefused()
{
    m_firewalld.errors[u"addPort"_s] = {u"org.fedoraproject.FirewallD1.Exception"_s,
                                        u"NOT_AUTHORIZED: org.fedoraproject.FirewallD1.config"_s};
    FirewalldClient client(*m_client);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    QSignalSpy failed(&client, &FirewalldClient::failed);
    client.allowPort(u"home"_s, 25565, ProbeProtocol::Tcp);
    QTRY_COMPARE(failed.size(), 1);
    QVERIFY(failed.first().first().toString().contains(u"not authorized"_s));
    QCOMPARE(allowed.size(), 0);
    QCOMPARE(m_firewalld.members(), QStringList{u"addPort"_s}); // nothing permanent was tried
}

void TestFirewalld::allowPortPermanentRefused()
{
    m_firewalld.errors[u"config.zone.addPort"_s] = {u"org.freedesktop.DBus.Error.AccessDenied"_s,
                                                    u"denied"_s};
    FirewalldClient client(*m_client);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    QSignalSpy failed(&client, &FirewalldClient::failed);
    client.allowPort(u"home"_s, 25565, ProbeProtocol::Tcp);
    QTRY_COMPARE(failed.size(), 1);
    const QString why = failed.first().first().toString();
    QVERIFY2(why.contains(u"until firewalld reloads"_s) && why.contains(u"not authorized"_s),
             qPrintable(why));
    QCOMPARE(allowed.size(), 0);
}

// Against a real firewalld, where tests/netns/firewalld.sh runs one in a namespace and names its
// bus (QUILLMERE_FIREWALLD_BUS) and a port (QUILLMERE_FIREWALLD_PORT): the look finds it, and
// allowPort opens the port for the session and permanently; the script then checks both with
// firewall-cmd and checks the port from outside.
void TestFirewalld::realFirewalld()
{
    const QString address = qEnvironmentVariable("QUILLMERE_FIREWALLD_BUS");
    const int port = qEnvironmentVariableIntValue("QUILLMERE_FIREWALLD_PORT");
    if (address.isEmpty() || port <= 0)
        QSKIP("no real firewalld named (tests/netns/firewalld.sh runs this)");
    const QDBusConnection bus = QDBusConnection::connectToBus(address, u"real-firewalld"_s);
    QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));

    DetectorSources real = sources();
    real.bus = bus;
    real.route = u"/proc/net/route"_s;
    const Detection detection = detect(real, port);
    QCOMPARE(detection.found, Kind::Firewalld);
    QVERIFY(!detection.defaultZone.isEmpty());
    QCOMPARE(detection.interface, u"eth0"_s);
    QCOMPARE(detection.zone, detection.defaultZone);
    QVERIFY2(detection.portAllowed == false, qPrintable(detection.note));

    FirewalldClient client(bus);
    QSignalSpy allowed(&client, &FirewalldClient::allowed);
    QSignalSpy failed(&client, &FirewalldClient::failed);
    client.allowPort(detection.zone, port, ProbeProtocol::Tcp);
    QTRY_VERIFY_WITH_TIMEOUT(!allowed.isEmpty() || !failed.isEmpty(), 20000);
    QVERIFY2(failed.isEmpty(), qPrintable(failed.value(0).value(0).toString()));

    // Asked again, firewalld says the port is allowed now.
    QCOMPARE(detect(real, port).portAllowed, true);
}

QTEST_GUILESS_MAIN(TestFirewalld)
#include "tst_firewalld.moc"
