// quillmere-check --nat: the NAT: line and the JSON "nat" object, after a check or alone, run in
// this process against the scripted check server, a scripted router and a STUN responder on
// loopback that plays the NAT.

#include "cli/arguments.h"
#include "cli/checkcommand.h"
#include "cli/exitstatus.h"
#include "cli/reportlines.h"
#include "tests/nat/stunresponder.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::nat::testing;
using namespace quillmere::test;

namespace {

constexpr int kRunWait = 60000; // a check and the STUN tests, in a sanitizer build

struct Run
{
    int exitStatus = -1;
    QString out;
    QString err;
    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

// Runs the command with `arguments` (the check server, when there is one, and every step but the
// check and the STUN tests left out) until it finishes.
void runCommand(QStringList arguments, Run& run, const ScriptedCheckServer* server = nullptr,
                std::unique_ptr<router::RouterBackend> router = nullptr)
{
    if (server)
        arguments << u"--server"_s << u"127.0.0.1:"_s + QString::number(server->port());
    arguments << u"--no-hairpin"_s << u"--no-firewall"_s << u"--no-control-port"_s;
    const cli::ParsedArguments parsed = cli::parseArguments(arguments, QProcessEnvironment());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::Run);
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    cli::CheckCommand command(parsed.options, out, err, false, std::move(router));
    QSignalSpy finished(&command, &cli::CheckCommand::finished);
    command.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunWait);
    run.exitStatus = finished.constFirst().constFirst().toInt();
}

QString stunArgument(const StunResponder& responder)
{
    return u"--stun=127.0.0.1:"_s + QString::number(responder.port());
}

quint16 freeUdpPort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress);
    return socket.localPort();
}

// A router that maps `port` to this computer.
std::unique_ptr<router::RouterBackend> routerMappingHere(int port)
{
    ScriptedRouter::Script script;
    script.facts.found = true;
    script.facts.via = router::Via::Upnp;
    script.facts.canMap = true;
    script.facts.mappingQueried = true;
    router::Mapping mapping;
    mapping.internalClient = u"192.168.1.20"_s;
    mapping.internalPort = port;
    mapping.thisComputer = true;
    script.facts.mapping = mapping;
    return std::make_unique<ScriptedRouter>(script, std::make_shared<ScriptedRouter::Record>());
}

const QStringList kNatKeys{u"externalAddress"_s, u"filtering"_s,     u"limits"_s, u"mapping"_s,
                           u"nintendo"_s,        u"portPreserved"_s, u"server"_s, u"type"_s};

} // namespace

class TestCheckNat : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void argumentsRead();
    void argumentErrors_data();
    void argumentErrors();
    void aloneTextIsOneNatLine();
    void aloneJson();
    void aloneWithNoAnswerExits4();
    void afterUdpCheckFromTheCheckedPort();
    void forwardedCheckedPortIsOpen();
    void withoutNatJsonSaysNull();
    void natLineEscapesWhatItShows();
};

void TestCheckNat::argumentsRead()
{
    auto parsed = cli::parseArguments({u"--nat"_s}, QProcessEnvironment());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::Run);
    QVERIFY(parsed.options.nat);
    QVERIFY(parsed.options.portText.isEmpty());
    QVERIFY(parsed.options.stunServer.isEmpty());

    parsed = cli::parseArguments({u"--nat"_s, u"--stun"_s, u"[::1]:5349"_s, u"8080"_s},
                                 QProcessEnvironment());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::Run);
    QCOMPARE(parsed.options.stunServer, u"[::1]:5349"_s);
    QCOMPARE(parsed.options.portText, u"8080"_s);

    parsed = cli::parseArguments({u"8080"_s}, QProcessEnvironment());
    QVERIFY(!parsed.options.nat);

    // The default: the check server's host on 3478.
    CheckServerAddress server;
    server.host = u"check.example.net"_s;
    QCOMPARE(session::stunServerOf(QString(), server),
             std::optional(std::pair(u"check.example.net"_s, quint16(3478))));
    QCOMPARE(session::stunServerOf(u"stun.example.net"_s, server),
             std::optional(std::pair(u"stun.example.net"_s, quint16(3478))));
    QCOMPARE(session::stunServerOf(u"stun.example.net:19302"_s, server),
             std::optional(std::pair(u"stun.example.net"_s, quint16(19302))));
    QCOMPARE(session::stunServerOf(u"2001:db8::1"_s, server),
             std::optional(std::pair(u"2001:db8::1"_s, quint16(3478))));
}

void TestCheckNat::argumentErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::newRow("--stun alone") << QStringList{u"--stun=h"_s, u"80"_s}
                                  << u"--stun goes with --nat"_s;
    QTest::newRow("port 0") << QStringList{u"--nat"_s, u"--stun=h:0"_s}
                            << u"--stun must be HOST[:PORT], not \"h:0\""_s;
    QTest::newRow("port too large") << QStringList{u"--nat"_s, u"--stun=h:65536"_s}
                                    << u"--stun must be HOST[:PORT], not \"h:65536\""_s;
    QTest::newRow("no host") << QStringList{u"--nat"_s, u"--stun=:3478"_s}
                             << u"--stun must be HOST[:PORT], not \":3478\""_s;
    QTest::newRow("not a host") << QStringList{u"--nat"_s, u"--stun=a/b"_s}
                                << u"--stun must be HOST[:PORT], not \"a/b\""_s;
    QTest::newRow("with --watch") << QStringList{u"--nat"_s, u"--watch=60"_s, u"80"_s}
                                  << u"--watch only checks: not with --nat"_s;
    QTest::newRow("with --unforward") << QStringList{u"--nat"_s, u"--unforward=80"_s}
                                      << u"--unforward runs no check: not with --nat"_s;
    QTest::newRow("--forward without a port")
        << QStringList{u"--nat"_s, u"--forward"_s} << u"--forward needs a PORT"_s;
    QTest::newRow("--service without a port")
        << QStringList{u"--nat"_s, u"--service"_s} << u"--service needs a PORT"_s;
}

void TestCheckNat::argumentErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const auto parsed = cli::parseArguments(arguments, QProcessEnvironment());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::UsageError);
    QCOMPARE(parsed.error, error);
}

void TestCheckNat::aloneTextIsOneNatLine()
{
    Script script;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    Run run;
    runCommand({u"--nat"_s, stunArgument(responder)}, run);
    QCOMPARE(run.exitStatus, int(cli::kExitNatDone));
    QCOMPARE(run.lines(),
             QStringList{u"NAT: moderate (Nintendo B): one external port per local port, replies "_s
                         u"only from where you sent. A forward of the game's port, or UPnP, "_s
                         u"makes it open."_s});
}

void TestCheckNat::aloneJson()
{
    Script script;
    script.filtering = PlayedFiltering::AddressDependent;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    Run run;
    runCommand({u"--nat"_s, u"--json"_s, stunArgument(responder)}, run);
    QCOMPARE(run.exitStatus, 0);
    const QJsonObject json = run.json();
    QCOMPARE(json.value(u"exitStatus"_s).toInt(-1), 0);
    const QJsonObject nat = json.value(u"nat"_s).toObject();
    QCOMPARE(nat.keys(), kNatKeys);
    QCOMPARE(nat.value(u"server"_s).toString(),
             u"127.0.0.1:"_s + QString::number(responder.port()));
    QCOMPARE(nat.value(u"mapping"_s).toString(), u"endpoint-independent"_s);
    QCOMPARE(nat.value(u"filtering"_s).toString(), u"address-dependent"_s);
    QCOMPARE(nat.value(u"portPreserved"_s), QJsonValue(false));
    QCOMPARE(nat.value(u"externalAddress"_s).toString(), u"203.0.113.7:40000"_s);
    QCOMPARE(nat.value(u"type"_s).toString(), u"moderate"_s);
    QCOMPARE(nat.value(u"nintendo"_s).toString(), u"A"_s);
    QVERIFY(nat.value(u"limits"_s).isNull());
}

void TestCheckNat::aloneWithNoAnswerExits4()
{
    Script script;
    script.silent = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    Run run;
    runCommand({u"--nat"_s, u"--json"_s, stunArgument(responder)}, run);
    QCOMPARE(run.exitStatus, int(cli::kExitNatNoAnswer));
    const QJsonObject nat = run.json().value(u"nat"_s).toObject();
    QCOMPARE(nat.keys(), kNatKeys);
    for (const auto& key : {u"mapping"_s, u"filtering"_s, u"portPreserved"_s, u"externalAddress"_s,
                            u"type"_s, u"nintendo"_s})
        QVERIFY2(nat.value(key).isNull(), qPrintable(key));
    QVERIFY(!nat.value(u"limits"_s).toString().isEmpty());

    Run text;
    runCommand({u"--nat"_s, stunArgument(responder)}, text);
    QCOMPARE(text.exitStatus, int(cli::kExitNatNoAnswer));
    QCOMPARE(text.lines().size(), 1);
    QVERIFY(text.lines().constFirst().startsWith(u"NAT: not told: no STUN server answered at "_s));
}

// After a UDP check the tests run from the checked port, once the check has let it go, and the
// NAT: line comes after the check's lines; the exit status is the check's.
void TestCheckNat::afterUdpCheckFromTheCheckedPort()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    StunResponder responder(Script{});
    QVERIFY(responder.listening());
    const quint16 port = freeUdpPort();
    Run run;
    runCommand({u"--protocol=udp"_s, u"--no-router"_s, u"-4"_s, u"--nat"_s, stunArgument(responder),
                QString::number(port)},
               run, &server);
    QCOMPARE(run.exitStatus, int(cli::kExitOpenHere));
    const QStringList lines = run.lines();
    QVERIFY2(lines.constFirst().startsWith(u"Status: "_s), qPrintable(run.out));
    QVERIFY2(lines.constLast().startsWith(u"NAT: open (Nintendo A): "_s), qPrintable(run.out));
    QVERIFY(!responder.received().isEmpty());
    for (const Received& r : responder.received()) {
        if (!r.changeIp && !r.changePort)
            QCOMPARE(r.fromPort, port);
    }

    Run json;
    runCommand({u"--protocol=udp"_s, u"--no-router"_s, u"-4"_s, u"--nat"_s, u"--json"_s,
                stunArgument(responder), QString::number(port)},
               json, &server);
    QCOMPARE(json.exitStatus, int(cli::kExitOpenHere));
    QCOMPARE(json.json().value(u"exitStatus"_s).toInt(-1), int(cli::kExitOpenHere));
    QCOMPARE(json.json().value(u"nat"_s).toObject().value(u"type"_s).toString(), u"open"_s);
}

// The router maps the checked port to this computer: the NAT's own behaviour is strict, but the
// port in use is open.
void TestCheckNat::forwardedCheckedPortIsOpen()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Script script;
    script.mapping = PlayedMapping::AddressAndPortDependent;
    script.filtering = PlayedFiltering::AddressAndPortDependent;
    const quint16 port = freeUdpPort();
    for (const bool mapped : {true, false}) {
        StunResponder responder(script);
        QVERIFY(responder.listening());
        Run run;
        runCommand({u"--protocol=udp"_s, u"-4"_s, u"--nat"_s, u"--json"_s, stunArgument(responder),
                    QString::number(port)},
                   run, &server, mapped ? routerMappingHere(port) : nullptr);
        const QJsonObject nat = run.json().value(u"nat"_s).toObject();
        QCOMPARE(nat.value(u"mapping"_s).toString(), u"address-and-port-dependent"_s);
        QCOMPARE(nat.value(u"type"_s).toString(), mapped ? u"open"_s : u"strict"_s);
        QCOMPARE(nat.value(u"nintendo"_s).toString(), mapped ? u"A"_s : u"C"_s);
    }
}

void TestCheckNat::withoutNatJsonSaysNull()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Run run;
    runCommand({u"--no-router"_s, u"-4"_s, u"--json"_s, QString::number(freeUdpPort())}, run,
               &server);
    QVERIFY(run.json().contains(u"nat"_s));
    QVERIFY(run.json().value(u"nat"_s).isNull());
}

// Whatever the facts hold, the line shows it as text: no control character reaches the terminal.
void TestCheckNat::natLineEscapesWhatItShows()
{
    session::Report report;
    QVERIFY(cli::natLine(report).isEmpty());
    nat::NatFacts facts;
    facts.server = u"stun\x1b]0;owned\x07.example:3478"_s;
    facts.limits = u"line\r\nNAT: forged"_s;
    report.nat.finish(facts);
    const QString line = cli::natLine(report);
    QVERIFY(line.endsWith(u'\n'));
    QCOMPARE(line.count(u'\n'), 1);
    QVERIFY(
        std::all_of(line.cbegin(), line.cend() - 1, [](QChar c) { return c.unicode() >= 0x20; }));
    QVERIFY(!line.contains(QChar(0x1b)));
}

QTEST_GUILESS_MAIN(TestCheckNat)
#include "tst_checknat.moc"
