#include "cli/checkcommand.h"
#include "cli/firewalloutput.h"
#include "firewall/firewallfacts.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"

#include <QDBusConnection>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace quillmere;
using namespace quillmere::test;
using namespace Qt::StringLiterals;

namespace {

constexpr int kRunWait = 30000;

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::Any, 0);
    return probe.serverPort();
}

QByteArray snmp(quint64 receives, quint64 delivers)
{
    return "Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams "
           "InUnknownProtos InDiscards InDelivers\nIp: 2 64 " +
           QByteArray::number(receives) + " 0 0 0 0 0 " + QByteArray::number(delivers) +
           "\nTcp: InSegs\nTcp: 10\n";
}

struct Run
{
    QString out;
    QString err;
    int exitStatus = -1;
    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
    QString line(const QString& start) const
    {
        for (const QString& l : lines())
            if (l.startsWith(start))
                return l;
        return {};
    }
};

} // namespace

// The firewall step from the check to the printed lines and the JSON: which firewall, whether
// it blocked the probe, the diagnosis that follows, and --no-firewall.
class TestFirewallStep : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void droppedHereByUfw();
    void rejectedHereByAFirewallUnseen();
    void openHereClearsTheFirewall();
    void nothingArrivedIsNoBlock();
    void noFirewallSwitch();
    void portLockedSkipsTheStep();
    void slowLookDoesNotHoldTheVerdict();
    void lineAndJson_data();
    void lineAndJson();

private:
    void write(const QString& name, const QByteArray& text) const;
    void run(ScriptedCheckServer& server, QStringList arguments, Run& result,
             const router::RouterFacts& routerFacts = {});
    cli::CheckOptions options(ScriptedCheckServer& server, QStringList arguments) const;

    QTemporaryDir m_dir;
    QByteArray m_snmpDuringProbe; // written when the server has the request; empty: unchanged
};

void TestFirewallStep::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void TestFirewallStep::init()
{
    write(u"ufw.conf"_s, "ENABLED=no\n");
    write(u"status"_s, "CapEff:\t0000000000000000\n");
    write(u"route"_s, "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n");
    write(u"snmp"_s, snmp(1000, 1000));
    m_snmpDuringProbe.clear();
}

void TestFirewallStep::write(const QString& name, const QByteArray& text) const
{
    QFile file(m_dir.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

cli::CheckOptions TestFirewallStep::options(ScriptedCheckServer& server,
                                            QStringList arguments) const
{
    arguments << u"--server"_s << u"127.0.0.1:"_s + QString::number(server.port()) << u"-4"_s;
    const cli::ParsedArguments parsed = cli::parseArguments(arguments, QProcessEnvironment());
    cli::CheckOptions options = parsed.options;
    options.firewallSources.ufwConf = m_dir.filePath(u"ufw.conf"_s);
    options.firewallSources.procStatus = m_dir.filePath(u"status"_s);
    options.firewallSources.route = m_dir.filePath(u"route"_s);
    options.firewallSources.ipv6Route = m_dir.filePath(u"none"_s);
    // No firewalld: a bus that is not there.
    options.firewallSources.bus =
        QDBusConnection::connectToBus(u"unix:path="_s + m_dir.filePath(u"no-bus"_s), u"none"_s);
    options.firewallSources.nftProgram = m_dir.filePath(u"no-nft"_s);
    options.counterFiles = {m_dir.filePath(u"snmp"_s), m_dir.filePath(u"snmp6"_s)};
    return options;
}

void TestFirewallStep::run(ScriptedCheckServer& server, QStringList arguments, Run& result,
                           const router::RouterFacts& routerFacts)
{
    const cli::CheckOptions options = this->options(server, arguments);

    // The probe's datagrams arrive while the server works on the request.
    const QMetaObject::Connection arrival =
        connect(&server, &ScriptedCheckServer::requestReceived, this, [this] {
            if (!m_snmpDuringProbe.isEmpty())
                write(u"snmp"_s, m_snmpDuringProbe);
        });
    QTextStream out(&result.out);
    QTextStream err(&result.err);
    ScriptedRouter::Script script;
    script.facts = routerFacts;
    cli::CheckCommand command(
        options, out, err, false,
        std::make_unique<ScriptedRouter>(script, std::make_shared<ScriptedRouter::Record>()));
    QSignalSpy finished(&command, &cli::CheckCommand::finished);
    command.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunWait);
    result.exitStatus = finished.constFirst().constFirst().toInt();
    disconnect(arrival);
}

namespace {

// A server that answers "not open" for a probe that ended as `word` (empty: no marker).
void notOpen(ScriptedCheckServer& server, const QByteArray& word)
{
    ServerScript script;
    script.probe = ServerScript::Probe::None;
    script.replyBuilder = [word](const CheckRequest& request, const ProbeOutcome&) {
        QByteArray body = "Port " + request.port + "/" + request.protocol + ": ";
        if (!word.isEmpty())
            body += "-probe:" + word + "- ";
        body += "-ping ok -ip:127.0.0.1- -done-\n";
        return QList<QByteArray>{httpReply(body)};
    };
    server.setScript(script);
}

router::RouterFacts routerMappingHere(int port)
{
    router::RouterFacts facts;
    facts.found = true;
    facts.via = router::Via::Upnp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = u"192.168.1.10"_s;
    facts.externalAddress = u"127.0.0.1"_s;
    facts.canMap = true;
    facts.mappingQueried = true;
    facts.mapping = router::Mapping{u"192.168.1.10"_s, port, u"game"_s, 3600, QString(), true};
    return facts;
}

} // namespace

// Two datagrams arrive during the wait and go no further, none in the baseline: dropped here.
// ufw is on, so it is named, its command given, and the diagnosis says so over the router's
// mapping to this computer.
void TestFirewallStep::droppedHereByUfw()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    notOpen(server, "timed-out");
    write(u"ufw.conf"_s, "ENABLED=yes\n");
    m_snmpDuringProbe = snmp(1012, 1010); // 10 delivered (the exchange), 2 dropped
    const quint16 port = freePort();
    Run result;
    run(server, {QString::number(port)}, result, routerMappingHere(port));
    const QString fix = u"sudo ufw allow "_s + QString::number(port) + u"/tcp"_s;
    const QString firewallLine = result.line(u"Firewall: "_s);
    QVERIFY2(firewallLine.startsWith(u"Firewall: ufw, blocks the port: 2 datagrams arrived"_s),
             qPrintable(result.out));
    QVERIFY(firewallLine.endsWith(u"To open it: "_s + fix));
    const QString diagnosis = result.line(u"Diagnosis: "_s);
    QVERIFY2(diagnosis.contains(u"This computer's firewall (ufw) blocks the port"_s),
             qPrintable(diagnosis));
    QVERIFY(diagnosis.contains(fix));
    // The Firewall: line follows the diagnosis.
    QCOMPARE(result.lines().indexOf(firewallLine), result.lines().indexOf(diagnosis) + 1);
    QCOMPARE(result.exitStatus, 2);

    // The same through --json.
    ScriptedCheckServer again;
    QVERIFY(again.listen());
    notOpen(again, "timed-out");
    write(u"snmp"_s, snmp(1000, 1000));
    Run json;
    run(again, {u"--json"_s, QString::number(port)}, json, routerMappingHere(port));
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    const QJsonObject firewallJson = object.value(u"firewall"_s).toObject();
    QCOMPARE(firewallJson.value(u"found"_s).toString(), u"ufw"_s);
    QCOMPARE(firewallJson.value(u"blocks"_s), QJsonValue(true));
    QCOMPARE(firewallJson.value(u"fix"_s).toString(), fix);
    QVERIFY(firewallJson.value(u"evidence"_s).toString().contains(u"went no further"_s));
    QCOMPARE(object.value(u"diagnosis"_s).toObject().value(u"code"_s).toString(),
             u"blocked-by-this-computer"_s);
}

// The server's probe was refused while Quillmere listened, and the counters cannot be read:
// rejected here, by a firewall this user cannot see (no CAP_NET_ADMIN).
void TestFirewallStep::rejectedHereByAFirewallUnseen()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    notOpen(server, "refused");
    write(u"snmp"_s, "not the kernel's file\n");
    const quint16 port = freePort();
    Run result;
    run(server, {u"--json"_s, QString::number(port)}, result, routerMappingHere(port));
    const QJsonObject object = QJsonDocument::fromJson(result.out.toUtf8()).object();
    const QJsonObject firewallJson = object.value(u"firewall"_s).toObject();
    QCOMPARE(firewallJson.value(u"found"_s).toString(), u"unknown"_s);
    QCOMPARE(firewallJson.value(u"blocks"_s), QJsonValue(true));
    QCOMPARE(firewallJson.value(u"fix"_s), QJsonValue(QJsonValue::Null));
    QVERIFY(firewallJson.value(u"evidence"_s).toString().contains(u"rejected it"_s));
    const QJsonObject diagnosis = object.value(u"diagnosis"_s).toObject();
    QCOMPARE(diagnosis.value(u"code"_s).toString(), u"blocked-by-this-computer"_s);
    QVERIFY(diagnosis.value(u"headline"_s).toString().startsWith(u"A firewall on this computer"_s));
}

void TestFirewallStep::openHereClearsTheFirewall()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    write(u"ufw.conf"_s, "ENABLED=yes\n");
    Run result;
    run(server, {u"--json"_s, u"--no-router"_s, QString::number(freePort())}, result);
    const QJsonObject firewallJson =
        QJsonDocument::fromJson(result.out.toUtf8()).object().value(u"firewall"_s).toObject();
    // Open here: no firewall needs naming, and none was looked for.
    QCOMPARE(firewallJson.value(u"found"_s), QJsonValue(QJsonValue::Null));
    QCOMPARE(firewallJson.value(u"blocks"_s), QJsonValue(false));
    QCOMPARE(firewallJson.value(u"fix"_s), QJsonValue(QJsonValue::Null));
    QCOMPARE(result.exitStatus, 0);
}

// Not open, and nothing went missing here: the firewall is cleared, and the router's mapping
// to this computer leaves the finding that something on the way blocks it.
void TestFirewallStep::nothingArrivedIsNoBlock()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    notOpen(server, "timed-out");
    m_snmpDuringProbe = snmp(1010, 1010);
    const quint16 port = freePort();
    Run result;
    run(server, {QString::number(port)}, result, routerMappingHere(port));
    QVERIFY2(result.line(u"Firewall: "_s)
                 .startsWith(u"Firewall: a firewall on this computer, does not block the port"_s),
             qPrintable(result.out));
    QVERIFY(!result.line(u"Diagnosis: "_s).contains(u"blocks port"_s));
    QVERIFY2(result.line(u"Diagnosis: "_s).contains(u"forwards the port"_s),
             qPrintable(result.out));
}

void TestFirewallStep::noFirewallSwitch()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Run result;
    run(server, {u"--no-firewall"_s, u"--no-router"_s, QString::number(freePort())}, result);
    QVERIFY(result.line(u"Firewall: "_s).isEmpty());
    QVERIFY(!result.out.contains(u"Firewall"_s));
    ScriptedCheckServer again;
    QVERIFY(again.listen());
    Run json;
    run(again, {u"--no-firewall"_s, u"--json"_s, u"--no-router"_s, QString::number(freePort())},
        json);
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QVERIFY(object.contains(u"firewall"_s));
    QCOMPARE(object.value(u"firewall"_s), QJsonValue(QJsonValue::Null));
}

void TestFirewallStep::portLockedSkipsTheStep()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Run result;
    run(server, {u"--json"_s, u"--no-router"_s, QString::number(holder.serverPort())}, result);
    QCOMPARE(result.exitStatus, 4);
    const QJsonObject object = QJsonDocument::fromJson(result.out.toUtf8()).object();
    QCOMPARE(object.value(u"firewall"_s), QJsonValue(QJsonValue::Null));
}

// nft that never ends, for a program with CAP_NET_ADMIN, and a port not open: the verdict's
// lines go out as soon as the verdict stands, and the Firewall: line follows once the look's
// bound cuts nft short.
void TestFirewallStep::slowLookDoesNotHoldTheVerdict()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    notOpen(server, "timed-out");
    write(u"status"_s, "CapEff:\t0000000000001000\n");
    write(u"hung-nft"_s, "#!/bin/sh\nexec sleep 120\n");
    QVERIFY(QFile::setPermissions(m_dir.filePath(u"hung-nft"_s),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    cli::CheckOptions options =
        this->options(server, {u"--no-router"_s, QString::number(freePort())});
    options.firewallSources.nftProgram = m_dir.filePath(u"hung-nft"_s);
    options.firewallSources.timeoutMs = 5000; // the look ends after 10 s at most
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    cli::CheckCommand command(options, outStream, errStream, false, nullptr);
    QSignalSpy finished(&command, &cli::CheckCommand::finished);
    command.start();
    QTRY_VERIFY_WITH_TIMEOUT(out.contains(u"Status: "_s), kRunWait);
    QVERIFY2(!out.contains(u"Firewall: "_s), qPrintable(out));
    QCOMPARE(finished.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunWait);
    QVERIFY2(out.contains(u"\nFirewall: a firewall on this computer, does not block the port: "
                          u"nothing arrived"_s),
             qPrintable(out));
}

void TestFirewallStep::lineAndJson_data()
{
    QTest::addColumn<firewall::FirewallFacts>("facts");
    QTest::addColumn<QString>("line");
    firewall::FirewallFacts firewalld;
    firewalld.found = firewall::Kind::Firewalld;
    firewalld.blocks = std::nullopt;
    firewalld.zone = u"home"_s;
    firewalld.interface = u"eth0"_s;
    firewalld.evidence = u"cannot tell"_s;
    firewalld.fix = u"sudo firewall-cmd --zone=home --permanent --add-port=80/tcp"_s;
    QTest::newRow("firewalld, cannot tell")
        << firewalld
        << u"Firewall: firewalld (zone home of eth0), cannot tell whether it blocks the port: "
           u"cannot tell. If it does, to open it: sudo firewall-cmd --zone=home --permanent "
           u"--add-port=80/tcp"_s;
    // A zone name from the bus is escaped like every text from outside.
    firewall::FirewallFacts hostile = firewalld;
    hostile.zone = u"home\x1b[2J\u202e"_s;
    hostile.fix.reset();
    QTest::newRow("escaped")
        << hostile
        << u"Firewall: firewalld (zone home\\x1b[2J\\u202e of eth0), cannot tell whether it "
           u"blocks the port: cannot tell"_s;
    firewall::FirewallFacts none;
    none.blocks = false;
    none.evidence = u"nothing arrived"_s;
    QTest::newRow("none found") << none << u"Firewall: none found; nothing arrived"_s;
    firewall::FirewallFacts unnamed;
    unnamed.blocks = true;
    unnamed.evidence = u"dropped"_s;
    QTest::newRow("blocks, none found by name")
        << unnamed << u"Firewall: a firewall on this computer, blocks the port: dropped"_s;
}

void TestFirewallStep::lineAndJson()
{
    QFETCH(firewall::FirewallFacts, facts);
    QFETCH(QString, line);
    QCOMPARE(cli::firewallLine(facts), line);
    const QJsonObject json = cli::firewallJson(facts).toObject();
    QCOMPARE(json.value(u"found"_s).isNull(), !facts.found);
    QCOMPARE(json.value(u"blocks"_s).isNull(), !facts.blocks);
    QCOMPARE(json.value(u"fix"_s).isNull(), !facts.fix);
    QCOMPARE(json.value(u"evidence"_s).toString(), facts.evidence);
    QVERIFY(cli::firewallJson(std::nullopt).isNull());
}

QTEST_GUILESS_MAIN(TestFirewallStep)
#include "tst_firewallstep.moc"
