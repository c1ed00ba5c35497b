// quillmere-check and the router on the LAN: the command run in this process against a scripted
// check server and a scripted router, so that no test asks a real router.

#include "cli/arguments.h"
#include "cli/checkcommand.h"
#include "cli/routeroutput.h"
#include "cli/terminaltext.h"
#include "router/describe.h"
#include "session/diagnosis.h"
#include "tests/cli/clitestkit.h"
#include "tests/engine/enginetestkit.h"
#include "tests/support/scriptedrouter.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr int kRunWait = 60000; // two checks, each up to 5 s of waiting, in a sanitizer build

struct Run
{
    int exitStatus = -1;
    qint64 elapsedMs = 0;
    qint64 verdictMs = -1; // when the first Status: line was out (plain output)
    QString outAtVerdict;  // what was out then
    QString out;
    QString err;
    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

// A scripted router and what it was asked.
struct Router
{
    ScriptedRouter::Script script;
    std::shared_ptr<ScriptedRouter::Record> record = std::make_shared<ScriptedRouter::Record>();

    std::unique_ptr<router::RouterBackend> backend() const
    {
        return std::make_unique<ScriptedRouter>(script, record);
    }
};

// Runs the command as the command line `arguments` asks (with --server pointing at `server`),
// until it finishes. Without `hairpin` the way back in from the LAN is left out (--no-hairpin):
// its line would follow every open port's.
void runCommand(const ScriptedCheckServer& server, QStringList arguments, const Router& router,
                Run& run, bool hairpin = false, const QString& host = u"127.0.0.1"_s)
{
    arguments << u"--server"_s << host + u':' + QString::number(server.port());
    if (!hairpin)
        arguments << u"--no-hairpin"_s;
    // This computer's firewall is left alone (tests/firewall covers it).
    arguments << u"--no-firewall"_s;
    const cli::ParsedArguments parsed = cli::parseArguments(arguments, QProcessEnvironment());
    QCOMPARE(parsed.action, cli::ParsedArguments::Action::Run);
    QTextStream out(&run.out);
    QTextStream err(&run.err);
    cli::CheckCommand command(parsed.options, out, err, false, router.backend());
    QSignalSpy finished(&command, &cli::CheckCommand::finished);
    QElapsedTimer clock;
    clock.start();
    command.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.out.contains(u"Status: "_s) || !finished.isEmpty(), kRunWait);
    run.verdictMs = clock.elapsed();
    run.outAtVerdict = run.out;
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kRunWait);
    run.elapsedMs = clock.elapsed();
    run.exitStatus = finished.constFirst().constFirst().toInt();
    // The note about a check server on loopback, which the tests over IPv4 all get.
    if (host == u"127.0.0.1"_s && run.out.contains(u"\nExternal IP: "_s)) {
        QVERIFY2(takeLoopbackNote(run.out), qPrintable(run.out));
        takeLoopbackNote(run.outAtVerdict);
    }
}

// What the check from outside saw, as the command hands it to the diagnosis: the scripted
// server reports 127.0.0.1 and a ping that got through.
router::CheckFacts checkFacts(VerdictKind verdict)
{
    router::CheckFacts facts;
    facts.verdict = verdict;
    if (verdict != VerdictKind::NoResult) {
        facts.externalAddress = u"127.0.0.1"_s;
        facts.pingOk = true;
    }
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback())
            facts.localAddresses << address.toString();
    }
    return facts;
}

// The Diagnosis: line for these facts, whatever words the diagnosis chooses.
QString diagnosisLine(VerdictKind verdict, const router::RouterFacts& facts)
{
    const router::Diagnosis diagnosis = router::diagnose(checkFacts(verdict), facts);
    const QString text = diagnosis.text().trimmed();
    return u"Diagnosis: "_s +
           cli::escapeForTerminal(text.isEmpty() ? QString(router::findingCode(diagnosis.finding))
                                                 : text);
}

QString diagnosisCode(VerdictKind verdict, const router::RouterFacts& facts)
{
    return router::findingCode(router::diagnose(checkFacts(verdict), facts).finding);
}

QString routerLine(const router::RouterFacts& facts, const QString& port,
                   ProbeProtocol protocol = ProbeProtocol::Tcp)
{
    return u"Router: "_s +
           cli::escapeForTerminal(router::describeRouter(facts, port.toInt(), protocol));
}

QString forwardLine(const router::ForwardResult& result, const QString& port, bool removing,
                    ProbeProtocol protocol = ProbeProtocol::Tcp)
{
    return u"Forward: "_s + cli::escapeForTerminal(
                                router::describeForward(result, port.toInt(), protocol, removing));
}

// Nothing printed steers the terminal: no control character but the line ends.
bool plainText(const QString& out)
{
    return std::all_of(out.cbegin(), out.cend(),
                       [](QChar c) { return c == u'\n' || c == u'\r' || c.unicode() >= 0x20; });
}

// Nor does any character that reorders, hides or breaks what a line shows: no format character
// (category Cf), line or paragraph separator, or surrogate (the one supplementary character in
// these tests is a format character, so none stays a pair).
bool terminalSafe(const QString& out)
{
    return plainText(out) && std::none_of(out.cbegin(), out.cend(), [](QChar c) {
               switch (c.category()) {
               case QChar::Other_Format:
               case QChar::Other_Surrogate:
               case QChar::Separator_Line:
               case QChar::Separator_Paragraph:
                   return true;
               default:
                   return false;
               }
           });
}

router::Mapping cameraMapping()
{
    router::Mapping mapping;
    mapping.internalClient = u"192.168.1.20"_s;
    mapping.internalPort = 8080;
    mapping.description = u"Camera\r\nStatus: forged\x1b[2J"_s;
    mapping.leaseSeconds = 3600;
    mapping.name = u"dvr\x07.lan"_s;
    return mapping;
}

router::RouterFacts upnpRouter(std::optional<router::Mapping> mapping = std::nullopt)
{
    router::RouterFacts facts;
    facts.found = true;
    facts.via = router::Via::Upnp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = u"192.168.1.10"_s;
    facts.externalAddress = u"203.0.113.7"_s;
    facts.canMap = true;
    facts.mappingQueried = true;
    facts.mapping = std::move(mapping);
    facts.log = {u"SSDP: reply from 192.168.1.1"_s};
    return facts;
}

router::RouterFacts natpmpRouter()
{
    router::RouterFacts facts;
    facts.found = true;
    facts.via = router::Via::Natpmp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = u"192.168.1.10"_s;
    facts.externalAddress = u"203.0.113.7"_s;
    facts.canMap = true;
    return facts;
}

router::RouterFacts pcpRouter()
{
    router::RouterFacts facts = natpmpRouter();
    facts.via = router::Via::Pcp;
    facts.pcp = router::PcpFacts{true, 2, 90210};
    return facts;
}

router::ForwardResult mappedHere(const QString& port, qint64 leaseSeconds)
{
    router::ForwardResult result;
    result.ok = true;
    result.mapping = router::Mapping{u"192.168.1.10"_s, port.toInt(), u"Quillmere"_s,
                                     leaseSeconds,      QString(),    true};
    return result;
}

// The server probes nothing for the first check, so the port is not open, and as asked from
// the second on.
void openFromSecondCheck(ScriptedCheckServer& server)
{
    server.script().probe = ServerScript::Probe::None;
    QObject::connect(&server, &ScriptedCheckServer::requestReceived, &server,
                     [&server] { server.script().probe = ServerScript::Probe::AsRequested; });
}

} // namespace

class TestCheckRouter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void routerLinesNameAnotherDevice();
    void serviceCheckLeavesTheMappingToTheRouterLine();
    void routerJsonCarriesExactTexts();
    void routerTextsCannotReorderTheLine();
    void noRouterAnswered();
    void routerWithoutUpnp_data();
    void routerWithoutUpnp();
    void pcpThatDidNotAnswer();
    void unforwardOverTheProtocolAskedFor();
    void carrierNatRefusingPcpIsDiagnosedAgain();
    void noRouterOptionAsksNothing();
    void routerLogPrintedWithLogs();
    void portLockedStillDiagnosed();
    void slowRouterDoesNotHoldTheVerdict();

    void forwardMapsThenChecksAgain();
    void forwardJsonHoldsBothChecks();
    void forwardNeverReplacesAnotherDevice();
    void forwardConflictFromTheRouter();
    void forwardPermanentOnlyLease();
    void forwardLeavesAnOpenPortAlone();
    void forwardWithoutRouter();
    void unforward_data();
    void unforward();

    void forwardToAnotherExternalPort();
    void forwardOverIpv6OpensAPinhole();
    void unforwardOverIpv6ClosesThePinhole();
    void forwardOverIpv6WithNoPinholesToBeHad();
    void ipv6RouterJson();
    void controlPortLineFollowsTheDiagnosis();
};

void TestCheckRouter::routerLinesNameAnotherDevice()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter(cameraMapping());
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(0), u"Status: Your port is OPEN on this computer!"_s);
    QCOMPARE(lines.at(4), routerLine(router.script.facts, port));
    // Who holds the port, with the texts the router gave escaped.
    for (const QString& part :
         {u"Router: 192.168.1.1 over UPnP"_s, u"203.0.113.7"_s, u"192.168.1.20:8080"_s,
          u"dvr\\x07.lan"_s, u"Camera\\r\\nStatus: forged\\x1b[2J"_s, u"3600 s"_s})
        QVERIFY2(lines.at(4).contains(part), qPrintable(part));
    QCOMPARE(lines.at(5), diagnosisLine(VerdictKind::OpenHere, router.script.facts));
    QVERIFY(plainText(run.out));
    QVERIFY(!run.out.contains(u'\r'));
    QCOMPARE(run.err, QString());

    QMutexLocker lock(&router.record->mutex);
    QCOMPARE(router.record->lookups.size(), 1);
    QCOMPARE(router.record->lookups.constFirst().port, port.toInt());
    QCOMPARE(router.record->lookups.constFirst().protocol, ProbeProtocol::Tcp);
    QCOMPARE(router.record->lookups.constFirst().checkServerHost, u"127.0.0.1"_s);
    QVERIFY(router.record->forwards.isEmpty());
}

// A service check cannot tell this computer from another device: the Router: line says where
// the router's mapping points, the Service: line who holds the port here, and no diagnosis
// reads the check as if it had opened the port.
void TestCheckRouter::serviceCheckLeavesTheMappingToTheRouterLine()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::Any, 0));
    const QString port = QString::number(service.serverPort());
    Router router;
    router.script.facts = upnpRouter(cameraMapping());
    Run run;
    runCommand(server, {u"--service"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(
        lines.at(0),
        u"Status: reachable from the internet: a service accepted the connection at 127.0.0.1:"_s +
            port);
    QVERIFY2(lines.at(4).startsWith(u"Service: held by "_s), qPrintable(lines.at(4)));
    QVERIFY2(lines.at(4).contains(u"(pid "_s + QString::number(QCoreApplication::applicationPid())),
             qPrintable(lines.at(4)));
    QCOMPARE(lines.at(5), routerLine(router.script.facts, port));
    QVERIFY(!run.out.contains(u"Diagnosis:"_s));

    Run json;
    runCommand(server, {u"--service"_s, u"--json"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.json()[u"verdict"_s].toString(), u"reachable"_s);
    QVERIFY(json.json()[u"diagnosis"_s].isNull());
    QVERIFY(json.json()[u"router"_s].toObject()[u"found"_s].toBool());
    QVERIFY(json.json()[u"service"_s].toObject()[u"heldBy"_s].toString().startsWith(u"held by "_s));
}

// A device's texts that would turn a line around (U+202E), isolate part of it (U+2066), break it
// (U+2028, U+2029), hide in it (U+FEFF, a tag character beyond the first plane) or cannot be
// printed at all (a lone surrogate) are escaped on every line; a device that is no address is
// "unknown". JSON keeps them as they came.
void TestCheckRouter::routerTextsCannotReorderTheLine()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    router::Mapping mapping = cameraMapping();
    const QString client = u"192.168.1.20\u202e0808:1.861.291"_s;
    mapping.internalClient = client;
    mapping.description = u"Cam\u202eera\u2066x\u2069\u2028y\u2029z\ufeff"_s +
                          QString::fromUcs4(U"\U000E0041") + QChar(0xD800) + u"!"_s;
    mapping.name = u"dvr\u200f.lan"_s;
    Router router;
    router.script.facts = upnpRouter(mapping);
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 2);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 6);
    QVERIFY2(lines.at(4).contains(
                 u"goes to unknown:8080 (dvr\\u200f.lan, \"Cam\\u202eera\\u2066x\\u2069\\u2028y"
                 u"\\u2029z\\ufeff\\U000e0041\\ud800!\")"_s),
             qPrintable(lines.at(4)));
    QVERIFY2(lines.at(5).startsWith(u"Diagnosis: "_s), qPrintable(lines.at(5)));
    QVERIFY2(terminalSafe(run.out), qPrintable(run.out));
    QVERIFY(!lines.at(4).contains(u"192.168.1.20"_s));

    // --forward leaves the device its port, and names it the same way.
    Run forward;
    runCommand(server, {u"--forward"_s, port}, router, forward);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(forward.exitStatus, 5);
    QVERIFY2(forward.lines().constLast().startsWith(u"Forward: could not forward port "_s + port +
                                                    u"/tcp: it goes to unknown:8080 ("_s),
             qPrintable(forward.lines().constLast()));
    QVERIFY2(terminalSafe(forward.out), qPrintable(forward.out));
    QVERIFY(!forward.lines().constLast().contains(u"192.168.1.20"_s));

    Run json;
    runCommand(server, {u"--json"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject exact = json.json()[u"router"_s][u"mapping"_s].toObject();
    QCOMPARE(exact[u"internalClient"_s].toString(), client);
    QCOMPARE(exact[u"name"_s].toString(), mapping.name);
}

void TestCheckRouter::routerJsonCarriesExactTexts()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter(cameraMapping());
    router.script.facts.hops = {{1, u"192.168.1.1"_s}, {2, u"100.64.0.1"_s}};
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--json"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 0);
    const QJsonObject object = run.json();
    QCOMPARE(object[u"verdict"_s].toString(), u"open-this-computer"_s);
    QCOMPARE(object[u"exitStatus"_s].toInt(-1), 0);
    const QJsonObject facts = object[u"router"_s].toObject();
    QCOMPARE(facts[u"found"_s], QJsonValue(true));
    QCOMPARE(facts[u"via"_s].toString(), u"upnp"_s);
    QCOMPARE(facts[u"address"_s].toString(), u"192.168.1.1"_s);
    QCOMPARE(facts[u"localAddress"_s].toString(), u"192.168.1.10"_s);
    QCOMPARE(facts[u"externalAddress"_s].toString(), u"203.0.113.7"_s);
    QCOMPARE(facts[u"canMap"_s], QJsonValue(true));
    QCOMPARE(facts[u"mappingQueried"_s], QJsonValue(true));
    QCOMPARE(facts[u"mapping"_s].toObject(),
             (QJsonObject{{u"internalClient"_s, u"192.168.1.20"_s},
                          {u"internalPort"_s, 8080},
                          {u"description"_s, u"Camera\r\nStatus: forged\x1b[2J"_s},
                          {u"leaseSeconds"_s, 3600},
                          {u"name"_s, u"dvr\x07.lan"_s},
                          {u"thisComputer"_s, false}}));
    QCOMPARE(facts[u"hops"_s].toArray().size(), 2);
    QCOMPARE(facts[u"hops"_s][1][u"address"_s].toString(), u"100.64.0.1"_s);
    QCOMPARE(facts[u"text"_s].toString(),
             router::describeRouter(router.script.facts, port.toInt(), ProbeProtocol::Tcp));
    QCOMPARE(facts[u"log"_s].toArray(), QJsonArray{u"SSDP: reply from 192.168.1.1"_s});
    const router::Diagnosis diagnosis =
        router::diagnose(checkFacts(VerdictKind::OpenHere), router.script.facts);
    QCOMPARE(object[u"diagnosis"_s][u"code"_s].toString(),
             diagnosisCode(VerdictKind::OpenHere, router.script.facts));
    QCOMPARE(object[u"diagnosis"_s][u"text"_s].toString(), diagnosis.text().trimmed());
    QVERIFY(object[u"forward"_s].isNull());
    QVERIFY(!object.contains(u"firstCheck"_s));
}

void TestCheckRouter::noRouterAnswered()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router; // a LAN where nothing answers
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    QCOMPARE(run.lines().mid(4), (QStringList{u"Router: none answered UPnP or NAT-PMP"_s,
                                              diagnosisLine(VerdictKind::OpenHere, {})}));

    Run json;
    runCommand(server, {u"--json"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.exitStatus, 0);
    const QJsonObject facts = json.json()[u"router"_s].toObject();
    QCOMPARE(facts[u"found"_s], QJsonValue(false));
    QVERIFY(facts[u"via"_s].isNull());
    QVERIFY(facts[u"address"_s].isNull());
    QVERIFY(facts[u"externalAddress"_s].isNull());
    QVERIFY(facts[u"mapping"_s].isNull());
    QCOMPARE(json.json()[u"diagnosis"_s][u"code"_s].toString(),
             diagnosisCode(VerdictKind::OpenHere, {}));
}

// A router that maps over NAT-PMP or PCP but not UPnP: the Router: line names the protocol, and
// the JSON says which one, that no mapping was read, and what PCP said (null when PCP was not
// asked).
void TestCheckRouter::routerWithoutUpnp_data()
{
    QTest::addColumn<QString>("via");
    QTest::addColumn<QString>("lineStart");
    QTest::addColumn<QJsonValue>("pcp");
    QTest::newRow("NAT-PMP") << u"natpmp"_s << u"Router: 192.168.1.1 over NAT-PMP"_s
                             << QJsonValue(QJsonValue::Null);
    QTest::newRow("PCP") << u"pcp"_s << u"Router: 192.168.1.1 over PCP"_s
                         << QJsonValue(QJsonObject{
                                {u"present"_s, true}, {u"version"_s, 2}, {u"epoch"_s, 90210}});
}

void TestCheckRouter::routerWithoutUpnp()
{
    QFETCH(QString, via);
    QFETCH(QString, lineStart);
    QFETCH(QJsonValue, pcp);
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = via == u"pcp"_s ? ::pcpRouter() : ::natpmpRouter();
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 2);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(4), routerLine(router.script.facts, port));
    QVERIFY2(lines.at(4).startsWith(lineStart), qPrintable(lines.at(4)));
    QVERIFY(lines.at(4).contains(u"203.0.113.7"_s));
    QCOMPARE(lines.at(5), diagnosisLine(VerdictKind::NotOpen, router.script.facts));

    Run json;
    runCommand(server, {u"--json"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject facts = json.json()[u"router"_s].toObject();
    QCOMPARE(facts[u"via"_s].toString(), via);
    QCOMPARE(facts[u"mappingQueried"_s], QJsonValue(false));
    QVERIFY(facts[u"mapping"_s].isNull());
    QCOMPARE(facts[u"pcp"_s], pcp);
    QCOMPARE(json.json()[u"diagnosis"_s][u"code"_s].toString(),
             diagnosisCode(VerdictKind::NotOpen, router.script.facts));
}

// A router asked over PCP that did not answer it: present is false, and there is no epoch.
void TestCheckRouter::pcpThatDidNotAnswer()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = ::natpmpRouter();
    router.script.facts.pcp = router::PcpFacts{false, 2, std::nullopt};
    Run absent;
    runCommand(server, {u"--json"_s, QString::number(freePort())}, router, absent);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject none = absent.json()[u"router"_s][u"pcp"_s].toObject();
    QCOMPARE(none[u"present"_s], QJsonValue(false));
    QVERIFY(none[u"epoch"_s].isNull());
}

void TestCheckRouter::unforwardOverTheProtocolAskedFor()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = ::pcpRouter();
    router.script.unforward.ok = true;
    Run run;
    runCommand(server, {u"--unforward"_s, u"8080"_s, u"--via"_s, u"natpmp"_s}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    QCOMPARE(router.record->unforwards.size(), 1);
    QCOMPARE(router.record->unforwards.constFirst().via,
             std::optional<router::Via>(router::Via::Natpmp));
    Run best;
    runCommand(server, {u"--unforward"_s, u"8080"_s}, router, best);
    QCOMPARE(router.record->unforwards.size(), 2);
    QVERIFY(!router.record->unforwards.constLast().via);
}

// Behind a carrier NAT whose PCP refuses the mapping, the Forward: line is followed by the
// diagnosis judged again with that answer.
void TestCheckRouter::carrierNatRefusingPcpIsDiagnosedAgain()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = ::pcpRouter();
    router.script.facts.externalAddress = u"100.64.7.7"_s;
    router.script.forward.error = u"PCP: NO_RESOURCES: the router has no mapping to give"_s;
    router.script.forward.pcpResult = 8;
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 5);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 8);
    QVERIFY2(lines.at(5).startsWith(u"Diagnosis:"_s), qPrintable(lines.at(5)));
    QVERIFY(!lines.at(5).contains(u"Ask your ISP"_s));
    QVERIFY2(lines.at(6).startsWith(u"Forward: "_s), qPrintable(lines.at(6)));
    QVERIFY(lines.at(6).contains(u"NO_RESOURCES"_s));
    QVERIFY2(lines.at(7).startsWith(u"Diagnosis:"_s), qPrintable(lines.at(7)));
    QVERIFY2(lines.at(7).contains(u"Ask your ISP for a public address or a mapping"_s),
             qPrintable(lines.at(7)));

    Run json;
    runCommand(server, {u"--json"_s, u"--forward"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(json.json()[u"diagnosis"_s][u"nextStep"_s].toString().contains(
        u"Ask your ISP for a public address or a mapping"_s));
}

void TestCheckRouter::noRouterOptionAsksNothing()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter(cameraMapping());
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--no-router"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    QCOMPARE(run.lines().size(), 4); // today's lines, and nothing of the router
    QVERIFY(!run.out.contains(u"Router"_s));
    QVERIFY(!run.out.contains(u"Diagnosis"_s));

    Run json;
    runCommand(server, {u"--no-router"_s, u"--json"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.exitStatus, 0);
    QVERIFY(json.json()[u"router"_s].isNull());
    QVERIFY(json.json()[u"diagnosis"_s].isNull());
    QCOMPARE(router.record->lookupCount(), 0);
}

void TestCheckRouter::routerLogPrintedWithLogs()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    router.script.facts.log = {u"SSDP: reply\r\nLOCATION: forged\x1b[2J"_s, u"GetExternalIP"_s};
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--logs"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    // The router's lines follow the result; the logs come after them, the router's last.
    const QStringList lines = run.out.split(u'\n');
    QVERIFY(lines.at(4).startsWith(u"Router: "_s));
    QVERIFY(lines.at(5).startsWith(u"Diagnosis: "_s));
    QCOMPARE(lines.at(6), u"--- HTTP Log ---"_s);
    QVERIFY2(run.out.endsWith(u"\n--- Router Log ---\n"
                              u"SSDP: reply\\r\\nLOCATION: forged\\x1b[2J\r\n"
                              u"GetExternalIP\r\n"_s),
             qPrintable(run.out));
    QVERIFY(plainText(run.out));
}

void TestCheckRouter::portLockedStillDiagnosed()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    Router router;
    router.script.facts = upnpRouter();
    const QString port = QString::number(holder.serverPort());
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 4);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.at(0).startsWith(u"Status: Port "_s));
    QVERIFY(lines.at(1).startsWith(u"Info: "_s));
    QCOMPARE(lines.at(2), routerLine(router.script.facts, port));
    QCOMPARE(lines.at(3), diagnosisLine(VerdictKind::NoResult, router.script.facts));
}

void TestCheckRouter::slowRouterDoesNotHoldTheVerdict()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const QString port = QString::number(freePort());
    Router router;
    router.script.facts = upnpRouter();
    Run without;
    runCommand(server, {u"--no-router"_s, port}, router, without);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(without.exitStatus, 0);

    router.script.delayMs = 2000;
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    // The verdict's lines were out while the router still took its time...
    QVERIFY2(run.verdictMs < router.script.delayMs, qPrintable(QString::number(run.verdictMs)));
    QVERIFY2(run.outAtVerdict.startsWith(u"Status: "_s), qPrintable(run.outAtVerdict));
    QVERIFY2(!run.outAtVerdict.contains(u"Router:"_s), qPrintable(run.outAtVerdict));
    // ...and the command waited for it, no longer than the check and the router's bound.
    QVERIFY2(run.elapsedMs >= 2000, qPrintable(QString::number(run.elapsedMs)));
    QVERIFY2(run.elapsedMs <= without.elapsedMs + router::kNoRouterMs + 1000,
             qPrintable(QString::number(run.elapsedMs) + u" ms, without the router "_s +
                        QString::number(without.elapsedMs)));
    QCOMPARE(run.lines().mid(0, 4), without.lines());
    QCOMPARE(run.lines().at(4), routerLine(router.script.facts, port));
    QCOMPARE(router.record->lookupCount(), 1);
}

void TestCheckRouter::forwardMapsThenChecksAgain()
{
    ScriptedCheckServer server;
    openFromSecondCheck(server);
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    const QString port = QString::number(freePort());
    router.script.forward = mappedHere(port, 600);
    Run run;
    runCommand(server, {u"--forward"_s, u"--lease"_s, u"600"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 0); // the second check's
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 13);
    QCOMPARE(lines.at(0), u"Status: Your port is NOT OPEN or not reachable!"_s);
    QCOMPARE(lines.at(4), routerLine(router.script.facts, port));
    QVERIFY2(lines.at(4).contains(u"no UPnP mapping"_s), qPrintable(lines.at(4)));
    QCOMPARE(lines.at(5), diagnosisLine(VerdictKind::NotOpen, router.script.facts));
    QCOMPARE(lines.at(6), forwardLine(router.script.forward, port, false));
    QVERIFY2(lines.at(6).contains(u"192.168.1.10"_s), qPrintable(lines.at(6)));
    QCOMPARE(lines.at(7), u"Status: Your port is OPEN on this computer!"_s);
    QCOMPARE(lines.at(11), routerLine(router.script.facts, port));
    QCOMPARE(lines.at(12), diagnosisLine(VerdictKind::OpenHere, router.script.facts));
    QCOMPARE(server.requests().size(), 2);

    QMutexLocker lock(&router.record->mutex);
    QCOMPARE(router.record->lookups.size(), 2); // the router is asked beside each check
    QCOMPARE(router.record->forwards.size(), 1);
    QCOMPARE(router.record->forwards.constFirst().port, port.toInt());
    QCOMPARE(router.record->forwards.constFirst().protocol, ProbeProtocol::Tcp);
    QCOMPARE(router.record->forwards.constFirst().leaseSeconds, 600);
}

void TestCheckRouter::forwardJsonHoldsBothChecks()
{
    ScriptedCheckServer server;
    openFromSecondCheck(server);
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    const QString port = QString::number(freePort());
    router.script.forward = mappedHere(port, 3600);
    Run run;
    runCommand(server, {u"--json"_s, u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 0);
    const QJsonObject object = run.json();
    QCOMPARE(object[u"verdict"_s].toString(), u"open-this-computer"_s);
    QCOMPARE(object[u"exitStatus"_s].toInt(-1), 0);
    QCOMPARE(object[u"diagnosis"_s][u"code"_s].toString(),
             diagnosisCode(VerdictKind::OpenHere, router.script.facts));
    const QJsonObject forward = object[u"forward"_s].toObject();
    QCOMPARE(forward[u"ok"_s], QJsonValue(true));
    QCOMPARE(forward[u"asked"_s], QJsonValue(true));
    QVERIFY(forward[u"error"_s].isNull());
    QCOMPARE(forward[u"conflict"_s], QJsonValue(false));
    QCOMPARE(forward[u"permanentOnly"_s], QJsonValue(false));
    QCOMPARE(forward[u"mapping"_s][u"internalClient"_s].toString(), u"192.168.1.10"_s);
    QCOMPARE(forward[u"mapping"_s][u"leaseSeconds"_s].toInt(), 3600);
    QCOMPARE(forward[u"mapping"_s][u"thisComputer"_s], QJsonValue(true));
    const QJsonObject first = object[u"firstCheck"_s].toObject();
    QCOMPARE(first[u"verdict"_s].toString(), u"not-open"_s);
    QCOMPARE(first[u"exitStatus"_s].toInt(-1), 2);
    QCOMPARE(first[u"diagnosis"_s][u"code"_s].toString(),
             diagnosisCode(VerdictKind::NotOpen, router.script.facts));
    QCOMPARE(router.record->forwardCount(), 1);
    QCOMPARE(router.record->forwards.constFirst().leaseSeconds, 3600); // the default
}

void TestCheckRouter::forwardNeverReplacesAnotherDevice()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter(cameraMapping());
    router.script.forward = mappedHere(u"8080"_s, 3600); // what a replacing forward would say
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 5);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 7);
    QVERIFY(lines.at(6).startsWith(u"Forward: could not forward port "_s + port));
    // It names the device that holds the port, escaped.
    for (const QString& part :
         {u"192.168.1.20:8080"_s, u"dvr\\x07.lan"_s, u"Camera\\r\\nStatus: forged\\x1b[2J"_s})
        QVERIFY2(lines.at(6).contains(part), qPrintable(part));
    QVERIFY(plainText(run.out));
    QCOMPARE(router.record->forwardCount(), 0);
    QCOMPARE(server.requests().size(), 1); // no second check

    Run json;
    runCommand(server, {u"--json"_s, u"--forward"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.exitStatus, 5);
    QCOMPARE(json.json()[u"exitStatus"_s].toInt(), 5);
    const QJsonObject forward = json.json()[u"forward"_s].toObject();
    QCOMPARE(forward[u"ok"_s], QJsonValue(false));
    QCOMPARE(forward[u"asked"_s], QJsonValue(false));
    QCOMPARE(forward[u"conflict"_s], QJsonValue(true));
    QVERIFY(!forward[u"error"_s].toString().isEmpty());
    QCOMPARE(forward[u"mapping"_s][u"description"_s].toString(),
             u"Camera\r\nStatus: forged\x1b[2J"_s);
    QCOMPARE(router.record->forwardCount(), 0);
}

void TestCheckRouter::forwardConflictFromTheRouter()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = ::natpmpRouter(); // it cannot tell who holds the port beforehand
    router::ForwardResult conflict;
    conflict.conflict = true;
    conflict.error = u"ConflictInMappingEntry (718)"_s;
    conflict.mapping =
        router::Mapping{u"192.168.1.30"_s, 9000, u"Console"_s, 0, u"box.lan"_s, false};
    router.script.forward = conflict;
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 5);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.at(6), forwardLine(conflict, port, false));
    for (const QString& part : {u"192.168.1.30:9000"_s, u"box.lan"_s, u"Console"_s})
        QVERIFY2(lines.at(6).contains(part), qPrintable(part));
    QCOMPARE(router.record->forwardCount(), 1);
    QCOMPARE(server.requests().size(), 1);
}

void TestCheckRouter::forwardPermanentOnlyLease()
{
    ScriptedCheckServer server;
    openFromSecondCheck(server);
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    const QString port = QString::number(freePort());
    router.script.forward = mappedHere(port, 0);
    router.script.forward.permanentOnly = true;
    Run run;
    runCommand(server, {u"--forward"_s, u"--lease=600"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, 0);
    const QStringList lines = run.lines();
    QVERIFY(lines.size() > 6);
    QCOMPARE(lines.at(6), forwardLine(router.script.forward, port, false));
    // The person is told, in the words the router client's front ends share.
    QVERIFY(lines.at(6) != forwardLine(mappedHere(port, 0), port, false));

    Run json;
    openFromSecondCheck(server);
    runCommand(server, {u"--json"_s, u"--forward"_s, u"--lease=600"_s, port}, router, json);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject forward = json.json()[u"forward"_s].toObject();
    QCOMPARE(forward[u"ok"_s], QJsonValue(true));
    QCOMPARE(forward[u"permanentOnly"_s], QJsonValue(true));
    QCOMPARE(forward[u"mapping"_s][u"leaseSeconds"_s].toInt(-1), 0);
}

void TestCheckRouter::forwardLeavesAnOpenPortAlone()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    router.script.forward = mappedHere(u"1"_s, 3600);
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.at(6), u"Forward: port "_s + port +
                              u"/tcp is already open on this computer; the router was not asked"_s);
    QCOMPARE(router.record->forwardCount(), 0);
    QCOMPARE(server.requests().size(), 1);
}

void TestCheckRouter::forwardWithoutRouter()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    Router router; // nothing answers
    const QString port = QString::number(freePort());
    Run run;
    runCommand(server, {u"--forward"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 5);
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.at(4), u"Router: none answered UPnP or NAT-PMP"_s);
    QCOMPARE(lines.at(6), u"Forward: could not forward port "_s + port +
                              u"/tcp: no router answered UPnP or NAT-PMP"_s);
    QCOMPARE(router.record->forwardCount(), 0);
}

void TestCheckRouter::unforward_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("exitStatus");
    QTest::newRow("removed") << true << 0;
    QTest::newRow("points elsewhere") << false << 5;
}

void TestCheckRouter::unforward()
{
    QFETCH(bool, ok);
    QFETCH(int, exitStatus);

    ScriptedCheckServer server;
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    router.script.unforward.ok = ok;
    if (!ok) {
        router.script.unforward.error = u"it goes to another device\x1b[2J"_s;
        router.script.unforward.mapping = cameraMapping();
    }
    Run run;
    runCommand(server, {u"--protocol=udp"_s, u"--unforward"_s, u"8080"_s}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, exitStatus);
    QCOMPARE(run.lines(), QStringList{forwardLine(router.script.unforward, u"8080"_s, true,
                                                  ProbeProtocol::Udp)});
    QVERIFY(plainText(run.out));
    QVERIFY(server.requests().isEmpty()); // no check
    {
        QMutexLocker lock(&router.record->mutex);
        QVERIFY(router.record->lookups.isEmpty());
        QVERIFY(router.record->forwards.isEmpty());
        QCOMPARE(router.record->unforwards.size(), 1);
        QCOMPARE(router.record->unforwards.constFirst().port, 8080);
        QCOMPARE(router.record->unforwards.constFirst().protocol, ProbeProtocol::Udp);
    }

    Run json;
    runCommand(server, {u"--json"_s, u"--unforward=8080"_s}, router, json);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(json.exitStatus, exitStatus);
    const QJsonObject object = json.json();
    QCOMPARE(object[u"exitStatus"_s].toInt(-1), exitStatus);
    QCOMPARE(object[u"port"_s].toString(), u"8080"_s);
    QCOMPARE(object[u"forward"_s][u"ok"_s], QJsonValue(ok));
    QCOMPARE(object[u"forward"_s][u"removing"_s], QJsonValue(true));
    QCOMPARE(object[u"forward"_s][u"error"_s],
             ok ? QJsonValue(QJsonValue::Null) : QJsonValue(u"it goes to another device\x1b[2J"_s));
}

// --forward --external-port: the router maps its port C to PORT here, and the check goes
// through C: the server is asked about C, and (standing in for the router) its probe goes to
// PORT, where a listener takes it. The exit status is that check's, or the forward's failure.
void TestCheckRouter::forwardToAnotherExternalPort()
{
    const QString port = QString::number(freePort());
    ScriptedCheckServer server;
    openFromSecondCheck(server);
    server.script().probePort = quint16(port.toUInt());
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    router.script.keepsMappings = true;
    router.script.forward.ok = true;
    Run run;
    runCommand(server, {u"--forward"_s, u"--external-port"_s, u"50123"_s, port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).port, QByteArray("50123"));
    QVERIFY2(run.lines().contains(u"Forward: external port 50123/tcp now goes to this "
                                  u"computer's port "_s +
                                  port +
                                  u" (192.168.1.10), lease 3600 s; checked from outside: port "
                                  u"50123 reaches port "_s +
                                  port + u" here"_s),
             qPrintable(run.out));
    QCOMPARE(router.record->forwardCount(), 1);
    QCOMPARE(router.record->forwards.constFirst().port, port.toInt());
    QCOMPARE(router.record->forwards.constFirst().externalPort, 50123);
    QCOMPARE(router.record->mappedPorts(), QList<int>{50123});

    // Nothing gets through the router's port either: the check's "not open".
    ScriptedCheckServer silent;
    silent.script().probe = ServerScript::Probe::None;
    QVERIFY(silent.listen());
    Router again;
    again.script.facts = upnpRouter();
    again.script.forward.ok = true;
    Run closed;
    runCommand(silent, {u"--forward"_s, u"--external-port=50123"_s, port}, again, closed);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(closed.exitStatus, 2);
    QVERIFY2(closed.out.contains(u"; checked from outside: port 50123 is not open either\n"_s),
             qPrintable(closed.out));

    // A mapping the router does not make ends with the forward's failure.
    Router refusing;
    refusing.script.facts = upnpRouter();
    refusing.script.forward.error = u"the router refused the mapping: error 718"_s;
    Run failed;
    runCommand(silent, {u"--forward"_s, u"--external-port=50123"_s, port}, refusing, failed);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(failed.exitStatus, 5);
    // The port and then the router's port for the mapping made; the port alone for the refused.
    QCOMPARE(silent.requests().size(), 3);
    QCOMPARE(silent.requests().at(1).port, QByteArray("50123"));
    QCOMPARE(silent.requests().at(2).port, port.toLatin1());
}

// The router forwards the port here, its probe timed out, and a control port got through: the
// Control port: line follows the diagnosis with the command that uses the control port, and the
// JSON carries it with the finding. The exit status stays the check's.
void TestCheckRouter::controlPortLineFollowsTheDiagnosis()
{
    ScriptedCheckServer server;
    const QString port = QString::number(freePort());
    server.script().probeWhen = [port](const CheckRequest& request) {
        return request.port != port.toLatin1();
    };
    server.script().replyBuilder = [](const CheckRequest& request, const ProbeOutcome& outcome) {
        return QList<QByteArray>{
            httpReply("Port " + request.port + "/tcp: " +
                      (outcome.reached ? QByteArray("-tcpopen- -probe:connected- ")
                                       : QByteArray("-probe:timed-out- ")) +
                      "-ping ok -ip:127.0.0.1- -done-\n")};
    };
    QVERIFY(server.listen());
    Router router;
    router.script.facts = upnpRouter();
    router.script.keepsMappings = true;
    router.script.forward.ok = true;
    router.script.unforward.ok = true;
    router.record->mappings.insert(
        port.toInt(), router::Mapping{u"192.168.1.10"_s, port.toInt(), u"Game"_s, 0, {}, true});
    Run run;
    runCommand(server, {port}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 2);
    QCOMPARE(router.record->forwardCount(), 1);
    const int control = router.record->forwards.constFirst().port;
    const QStringList lines = run.lines();
    QCOMPARE(lines.size(), 7);
    QVERIFY(lines.at(4).startsWith(u"Router: "_s));
    QVERIFY(lines.at(5).startsWith(u"Diagnosis: The router forwards "_s));
    // The command has no evidence of where the probe died: this computer's firewall is named too.
    QVERIFY2(lines.at(6).startsWith(u"Control port: Port "_s + port +
                                    u"/tcp is dropped on its own: the router forwards it here "_s
                                    u"and the control port "_s +
                                    QString::number(control)),
             qPrintable(lines.at(6)));
    QVERIFY2(lines.at(6).endsWith(u" To do that: quillmere-check --forward --external-port "_s +
                                  QString::number(control) + u' ' + port),
             qPrintable(lines.at(6)));
    QCOMPARE(router.record->mappedPorts(), QList<int>{port.toInt()});

    Run json;
    runCommand(server, {u"--json"_s, port}, router, json, true);
    if (QTest::currentTestFailed())
        return;
    const QJsonObject object = json.json();
    QCOMPARE(object[u"exitStatus"_s].toInt(), 2);
    const QJsonObject controlPort = object[u"controlPort"_s].toObject();
    QVERIFY(controlPort[u"port"_s].toInt() >= 49152);
    QCOMPARE(controlPort[u"open"_s], QJsonValue(true));
    QCOMPARE(controlPort[u"removed"_s], QJsonValue(true));
    QCOMPARE(object[u"diagnosis"_s][u"code"_s].toString(), u"forwarded-but-blocked"_s);
    QVERIFY(object[u"diagnosis"_s][u"text"_s].toString().contains(
        u"Either this computer's firewall drops it"_s));
    QVERIFY(object[u"hairpin"_s][u"result"_s].isNull());
    QCOMPARE(object[u"hairpinSkipped"_s].toString(),
             u"the check did not find the port open on this computer"_s);
    QCOMPARE(router.record->mappedPorts(), QList<int>{port.toInt()});
}

namespace {

// A router whose IPv6 firewall takes pinholes (UPnP IGDv2) and opens one as pinhole 7.
Router pinholeRouter()
{
    Router router;
    router.script.facts = upnpRouter();
    router.script.facts.ipv6 = router::Ipv6RouterFacts{true, router::Via::Upnp, std::nullopt};
    router::ForwardResult& made = router.script.forward;
    made.ok = true;
    made.kind = router::ForwardKind::Pinhole;
    made.via = router::Via::Upnp;
    made.pinhole = router::Pinhole{u"7"_s, {}, 3600, u"2001:db8::10"_s};
    router.script.unforward = made;
    return router;
}

} // namespace

// --forward -6: a pinhole in the router's IPv6 firewall, then the check over IPv6 again.
void TestCheckRouter::forwardOverIpv6OpensAPinhole()
{
    QTcpServer v6;
    if (!v6.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("this machine has no IPv6 loopback");
    v6.close();
    const QString port = QString::number(freePort());
    for (const bool json : {false, true}) {
        ScriptedCheckServer server;
        openFromSecondCheck(server);
        server.script().probeAddress = QHostAddress::LocalHostIPv6;
        QVERIFY(server.listen(QHostAddress::LocalHostIPv6));
        const Router router = pinholeRouter();
        QStringList arguments{u"--forward"_s, u"-6"_s, port};
        if (json)
            arguments.prepend(u"--json"_s);
        Run run;
        runCommand(server, arguments, router, run, false, u"[::1]"_s);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.exitStatus, 0); // the second check's
        {
            QMutexLocker lock(&router.record->mutex);
            QCOMPARE(router.record->lookups.size(), 2);
            QCOMPARE(router.record->forwards.size(), 1);
            QVERIFY(router.record->forwards.constFirst().ipv6);
            QCOMPARE(router.record->forwards.constFirst().port, port.toInt());
        }
        QCOMPARE(server.requests().size(), 2);
        if (!json) {
            const QString forward = forwardLine(router.script.forward, port, false);
            QVERIFY2(run.lines().contains(forward), qPrintable(run.out));
            QVERIFY2(forward.contains(u"IPv6 pinhole for port "_s + port + u"/tcp is open"_s),
                     qPrintable(forward));
            continue;
        }
        const QJsonObject object = run.json();
        QCOMPARE(object[u"family"_s].toString(), u"ipv6"_s);
        const QJsonObject forward = object[u"forward"_s].toObject();
        QCOMPARE(forward[u"kind"_s].toString(), u"pinhole"_s);
        QCOMPARE(forward[u"via"_s].toString(), u"upnp"_s);
        QCOMPARE(forward[u"ok"_s], QJsonValue(true));
        QCOMPARE(forward[u"pinhole"_s][u"uniqueId"_s].toString(), u"7"_s);
        QCOMPARE(forward[u"pinhole"_s][u"leaseSeconds"_s].toInt(), 3600);
        QVERIFY(forward[u"pinhole"_s].toObject().value(u"nonce"_s).isUndefined());
        // The router's part of a check over IPv6 alone holds its firewall's state.
        QCOMPARE(object[u"router"_s][u"pinholeAllowed"_s], QJsonValue(true));
        QVERIFY(object[u"router"_s][u"pinhole"_s].isNull()); // none before this run's
        QVERIFY(object[u"router"_s].toObject().contains(u"pinhole"_s));
        QCOMPARE(object[u"firstCheck"_s][u"verdict"_s].toString(), u"not-open"_s);
    }
}

// No IPv6 firewall answered: the router is not asked for a pinhole, the command says why, and
// the router's part says so in JSON (pinholeAllowed false, pinhole null, not missing).
void TestCheckRouter::forwardOverIpv6WithNoPinholesToBeHad()
{
    QTcpServer v6;
    if (!v6.listen(QHostAddress::LocalHostIPv6, 0))
        QSKIP("this machine has no IPv6 loopback");
    v6.close();
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    server.script().probeAddress = QHostAddress::LocalHostIPv6;
    QVERIFY(server.listen(QHostAddress::LocalHostIPv6));
    Router router = pinholeRouter();
    router.script.facts.ipv6.reset();
    Run run;
    runCommand(server, {u"--json"_s, u"--forward"_s, u"-6"_s, QString::number(freePort())}, router,
               run, false, u"[::1]"_s);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 5);
    const QJsonObject object = run.json();
    QCOMPARE(object[u"forward"_s][u"asked"_s], QJsonValue(false));
    QCOMPARE(object[u"forward"_s][u"kind"_s].toString(), u"pinhole"_s);
    QVERIFY(object[u"forward"_s][u"text"_s].toString().contains(u"no router offers pinholes"_s));
    QCOMPARE(object[u"router"_s][u"pinholeAllowed"_s], QJsonValue(false));
    QVERIFY(object[u"router"_s].toObject().contains(u"pinhole"_s));
    QVERIFY(object[u"router"_s][u"pinhole"_s].isNull());
    QCOMPARE(router.record->forwardCount(), 0);
}

void TestCheckRouter::unforwardOverIpv6ClosesThePinhole()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const Router router = pinholeRouter();
    Run run;
    runCommand(server, {u"--json"_s, u"-6"_s, u"--unforward=8080"_s}, router, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, 0);
    const QJsonObject forward = run.json()[u"forward"_s].toObject();
    QCOMPARE(forward[u"kind"_s].toString(), u"pinhole"_s);
    QCOMPARE(forward[u"removing"_s], QJsonValue(true));
    QVERIFY(server.requests().isEmpty()); // no check
    QMutexLocker lock(&router.record->mutex);
    QCOMPARE(router.record->unforwards.size(), 1);
    QVERIFY(router.record->unforwards.constFirst().ipv6);
    QVERIFY(router.record->forwards.isEmpty());
}

void TestCheckRouter::ipv6RouterJson()
{
    router::RouterFacts facts = upnpRouter();
    QVERIFY(cli::ipv6RouterJson(facts).isNull()); // nothing answered over IPv6
    QVERIFY(cli::ipv6RouterJson(std::nullopt).isNull());
    facts.ipv6 = router::Ipv6RouterFacts{true, router::Via::Upnp, std::nullopt};
    QJsonObject object = cli::ipv6RouterJson(facts).toObject();
    QCOMPARE(object[u"pinholeAllowed"_s], QJsonValue(true));
    QCOMPARE(object[u"via"_s].toString(), u"upnp"_s);
    QVERIFY(object[u"pinhole"_s].isNull());
    // A pinhole over PCP is named by its nonce, over IGDv2 by its ID.
    facts.ipv6->pinhole = router::Pinhole{{}, QByteArray(12, '\x0a'), 120, u"2001:db8::10"_s};
    object = cli::ipv6RouterJson(facts).toObject();
    QCOMPARE(object[u"pinhole"_s][u"nonce"_s].toString(), u"0a0a0a0a0a0a0a0a0a0a0a0a"_s);
    QVERIFY(object[u"pinhole"_s].toObject().value(u"uniqueId"_s).isUndefined());
    QCOMPARE(object[u"pinhole"_s][u"leaseSeconds"_s].toInt(), 120);
}

QTEST_GUILESS_MAIN(TestCheckRouter)
#include "tst_checkrouter.moc"
