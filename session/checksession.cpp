#include "session/checksession.h"

#include "engine/porttext.h"
#include "engine/socketobject.h"
#include "router/describe.h"
#include "router/lan.h"

#include <QHostInfo>
#include <QRandomGenerator>

#include <algorithm>

namespace quillmere::session {

using namespace Qt::StringLiterals;

namespace {

// A LAN where no router answers: what the session asks when it was given no way to the router.
class AbsentRouter final : public router::RouterBackend
{
public:
    router::RouterFacts lookup(const router::LookupRequest&) override { return {}; }
    router::ForwardResult forward(const router::ForwardRequest&) override { return none(); }
    router::ForwardResult unforward(const router::ForwardRequest&) override { return none(); }

private:
    static router::ForwardResult none()
    {
        router::ForwardResult result;
        result.error = u"no router answered UPnP or NAT-PMP"_s;
        return result;
    }
};

// Whether this computer could open the port itself, the way a check would open it.
bool canOpenPort(const QString& portText, ProbeProtocol protocol)
{
    SocketObject socket;
    socket.setProtocol(protocol);
    return openCheckPort(socket, portText);
}

bool isOpenHere(const CheckResult& check)
{
    return check.service ? check.reach() == ServiceReach::Reachable
                         : check.kind() == VerdictKind::OpenHere;
}

// Marks every step that checks the port or acts on the router as not run, for `why`. The
// holders, the forward and the NAT type are left to the caller: each session that runs no
// check treats them its own way.
void skipPortSteps(Report& report, const QString& why)
{
    report.check.skip(why);
    report.router.skip(why);
    report.diagnosis.skip(why);
    report.ipv6.skip(why);
    report.controlPort.skip(why);
    report.hairpin.skip(why);
    report.firewall.skip(why);
}

} // namespace

CheckSession::CheckSession(CheckView& view, CheckView* ipv6View, SessionOptions options,
                           std::unique_ptr<router::RouterBackend> routerBackend, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_view(&view)
    , m_ipv6View(ipv6View)
    , m_engine(std::make_unique<CheckEngine>(m_view, m_options.server))
    , m_ipv6Engine(std::make_unique<CheckEngine>(m_ipv6View, m_options.server))
    , m_controlEngine(std::make_unique<CheckEngine>(m_controlView, m_options.server))
{
    for (CheckEngine* engine : {m_engine.get(), m_ipv6Engine.get(), m_controlEngine.get()}) {
        engine->setTimeoutInterval(m_options.timeoutMs);
        engine->setLogLimit(m_options.logLimit);
    }
    m_ipv6Engine->setFamily(AddressFamily::IPv6);
    connect(m_engine.get(), &CheckEngine::evaluated, this, &CheckSession::onEvaluated);
    connect(m_engine.get(), &CheckEngine::portLocked, this, &CheckSession::onPortLocked);
    connect(&m_settler, &VerdictSettler::settled, this, &CheckSession::settle);
    connect(m_ipv6Engine.get(), &CheckEngine::evaluated, this, &CheckSession::onIpv6Evaluated);
    connect(m_ipv6Engine.get(), &CheckEngine::portLocked, this, [this] { ipv6Stands(true); });
    connect(&m_ipv6Settler, &VerdictSettler::settled, this, [this] {
        if (m_ipv6Engine->lastVerdict())
            ipv6Stands(false);
    });
    m_controlEngine->setFamily(AddressFamily::IPv4);
    connect(m_controlEngine.get(), &CheckEngine::evaluated, this,
            &CheckSession::onControlEvaluated);
    connect(m_controlEngine.get(), &CheckEngine::portLocked, this, &CheckSession::controlStands);
    connect(&m_controlSettler, &VerdictSettler::settled, this, &CheckSession::controlStands);
    m_hairpinTimer.setSingleShot(true);
    m_hairpinTimer.setInterval(kHairpinLimitMs);
    connect(&m_hairpinTimer, &QTimer::timeout, this, [this] { hairpinEnds(HairpinEnd::TimedOut); });

    if (m_options.askRouter || m_options.forwardWhenNotOpen) {
        if (!routerBackend)
            routerBackend = std::make_unique<AbsentRouter>();
        m_router = std::make_unique<router::RouterClient>(std::move(routerBackend));
        connect(m_router.get(), &router::RouterClient::lookedUp, this, &CheckSession::onLookedUp);
        connect(m_router.get(), &router::RouterClient::forwarded, this, &CheckSession::onForwarded);
        connect(m_router.get(), &router::RouterClient::unforwarded, this,
                &CheckSession::onUnforwarded);
    }

    m_clock.start();
    if (m_options.lookAtFirewall) {
        m_firewallDetector =
            std::make_unique<firewall::FirewallDetector>(m_options.firewallSources);
        connect(m_firewallDetector.get(), &firewall::FirewallDetector::found, this,
                &CheckSession::onFirewallFound);
        // The first entry of the HTTP log comes as the request goes out: from then on the probe
        // may arrive.
        connect(m_engine.get(), &CheckEngine::httpLogAppended, this,
                &CheckSession::noteFirewallWait);
    }
}

CheckSession::~CheckSession() = default;

void CheckSession::setServer(const CheckServerAddress& server)
{
    m_options.server = server;
    m_engine->setServer(server);
    m_ipv6Engine->setServer(server);
    m_controlEngine->setServer(server);
    m_lookupDone = false;
    m_report.serverAddresses.reset();
    m_report.serverNote.clear();
}

void CheckSession::setServiceCheck(bool service)
{
    m_serviceCheck = service;
}

void CheckSession::lookUpServer()
{
    m_lookupDone = false;
    const quint64 lookup = ++m_lookup;
    m_report.server = m_options.server;
    m_report.serverAddresses.begin();
    // An address is taken as it is: QHostInfo would look up its name, which can take as long as
    // the resolver's time-outs where no DNS server answers.
    const QHostAddress literal(m_options.server.host);
    if (!literal.isNull()) {
        onServerLookedUp({literal});
        return;
    }
    // No context object: Qt 6.4 leaks the callback of a lookup whose context object is
    // destroyed before the answer arrives. The session is guarded instead, and an answer for a
    // server named before the current one is passed over.
    QHostInfo::lookupHost(m_options.server.host,
                          [session = QPointer<CheckSession>(this), lookup](const QHostInfo& info) {
                              if (session && session->m_lookup == lookup)
                                  session->onServerLookedUp(info.addresses());
                          });
}

void CheckSession::onServerLookedUp(const QList<QHostAddress>& addresses)
{
    m_report.serverAddresses.finish(addresses);
    m_report.serverNote =
        router::localServerNote(m_options.server, addresses, m_options.howToSetServer);
    const HostFamilies server = familiesOf(addresses);
    m_ipv6Planned = false;
    m_ipv6Skipped.clear();
    switch (m_options.families) {
    case Families::IPv4:
        m_family = AddressFamily::IPv4;
        m_ipv6Skipped = u"only IPv4 was asked for (-4)"_s;
        break;
    case Families::IPv6:
        m_family = AddressFamily::IPv6;
        break;
    case Families::Both:
        // A server with IPv6 addresses only is checked over IPv6: the first check's family.
        if (server.ipv6 && !server.ipv4) {
            m_family =
                m_options.ipv6WordsForIpv6OnlyServer ? AddressFamily::IPv6 : AddressFamily::Any;
            break;
        }
        m_family = AddressFamily::IPv4;
        m_ipv6Skipped = ipv6Obstacle(server);
        m_ipv6Planned = m_ipv6Skipped.isEmpty();
        break;
    }
    m_lookupDone = true;
    Q_EMIT serverLookedUp();
    if (m_stage == Stage::LookingUp)
        start();
}

void CheckSession::start()
{
    cancel();
    const Step<QList<QHostAddress>> addresses = m_report.serverAddresses;
    const QString note = m_report.serverNote;
    m_report = Report();
    m_report.server = m_options.server;
    m_report.serverAddresses = addresses;
    m_report.serverNote = note;
    m_report.portText = m_view.portText();
    m_report.port = portNumber(m_report.portText).value_or(0);
    m_report.protocol = m_view.isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    m_forwardDecided = false;
    m_natAlone = false;
    if (m_options.nat && m_report.portText.isEmpty()) {
        startNatAlone();
        return;
    }
    if (!m_lookupDone) {
        const bool inFlight = m_report.serverAddresses.isRunning();
        m_stage = Stage::LookingUp;
        if (!inFlight)
            lookUpServer();
        return;
    }
    if (m_serviceCheck && canOpenPort(m_report.portText, m_report.protocol)) {
        // Nothing holds the port: there is no running service to check.
        m_report.nothingHoldsPort = true;
        const QString why = u"nothing on this computer holds the port"_s;
        skipPortSteps(m_report, why);
        m_report.holders.finish(service::PortHolders{{}, true, {}, false});
        m_report.forward.skip(why);
        m_report.nat.skip(why);
        finish();
        return;
    }
    runCheck();
}

void CheckSession::runCheck()
{
    m_stage = Stage::Checking;
    m_settler.reset();
    m_ipv6Settler.reset();
    m_ipv6Engine->stopCheck();
    m_report.check.begin();
    m_report.diagnosis.reset();
    m_report.ipv6.reset();
    if (m_serviceCheck)
        m_report.holders.begin();
    else
        m_report.holders.skip(u"not a check of a running service"_s);
    const std::optional<int> port = portNumber(m_report.portText);
    bool askRouter = false;
    if (!m_router || !m_options.askRouter)
        m_report.router.skip(m_options.noRouterReason);
    else if (m_options.families == Families::IPv6 && !m_options.forwardWhenNotOpen)
        m_report.router.skip(u"the router maps IPv4 ports, and only IPv6 is checked"_s);
    else if (!port)
        m_report.router.skip(u"there is no port to ask the router about"_s);
    else
        askRouter = true;
    if (askRouter) {
        // Marked before the check starts: a port that cannot be opened settles the check at
        // once, and the router's answer is still to come.
        m_report.router.begin();
        ++m_lookupsPending;
    }
    startFirewall();
    Q_EMIT checkStarted();
    m_engine->setFamily(m_family);
    m_engine->setServiceCheck(m_serviceCheck);
    m_engine->cmdCheckMeClick();
    // Asked once the check is under way, so that the router, however slow, never holds up the
    // check's request. Its answer is awaited only once the verdict stands.
    if (askRouter)
        m_router->lookup({*port, m_report.protocol, m_options.server.host});
}

void CheckSession::onEvaluated(const Verdict& verdict)
{
    if (!m_report.check.isRunning())
        return;
    if (m_engine->isServiceCheck()) {
        settle(); // the server's answer is all a service check waits for
        return;
    }
    m_settler.evaluated(verdict);
}

void CheckSession::settle()
{
    if (!m_report.check.isRunning() || !m_engine->lastVerdict())
        return;
    checkStands(false);
}

void CheckSession::onPortLocked()
{
    if (m_report.check.isRunning())
        checkStands(true);
}

// The verdict stands: the front ends show it at once, whatever the router still takes.
void CheckSession::checkStands(bool portLocked)
{
    m_settler.reset();
    if (!m_options.keepCheckOpen)
        m_engine->stopCheck();
    m_report.check.finish(snapshot(*m_engine, m_view, portLocked));
    if (m_report.holders.isRunning()) {
        if (portLocked)
            m_report.holders.skip(u"the port could not be checked"_s);
        else
            // Read now, not when the check began: a holder may have exited while the server
            // probed, and is then not named.
            m_report.holders.finish(
                service::findPortHolders(quint16(m_report.port), m_report.protocol));
    }
    if (m_report.firewall.isRunning()) {
        if (portLocked) {
            m_report.firewall.skip(u"the port could not be opened on this computer"_s);
            m_firewallDetector->cancel();
        } else {
            m_firewallEvidence.waitEnd = readFirewallCounters();
        }
    }
    Q_EMIT verdictStands();
    if (m_stage != Stage::Checking)
        return; // a slot started something else
    if (!m_options.forwardWhenNotOpen)
        startIpv6();
    // After the IPv6 check has taken the port: see lookAtFirewall().
    lookAtFirewall();
    proceed();
}

// Once both the verdict and the router's answer are in: the diagnosis, then a forward or the
// end.
void CheckSession::proceed()
{
    if (m_stage != Stage::Checking && m_stage != Stage::WaitingForRouter &&
        m_stage != Stage::Ipv6Checking)
        return;
    if (!m_report.check.isDone() || m_report.diagnosis.isDone() ||
        !m_report.diagnosis.reason().isEmpty())
        return;
    if (m_report.router.isRunning()) {
        if (m_stage == Stage::Checking)
            m_stage = Stage::WaitingForRouter;
        return;
    }
    if (m_report.firewall.isRunning())
        return; // the look at the firewall is bounded; onFirewallFound() goes on
    const CheckResult& check = *m_report.check;
    if (!m_report.router.isDone())
        m_report.diagnosis.skip(u"the router was not asked"_s);
    else if (pinholeMode())
        // Asked for its IPv6 firewall only: the diagnosis judges the way in over IPv4.
        m_report.diagnosis.skip(u"only IPv6 is checked; the router was asked for a pinhole"_s);
    else if (check.service)
        // A service check cannot tell this computer from another device behind the same
        // forward: the router's mapping is what says where the port goes.
        m_report.diagnosis.skip(kServiceCheckDiagnosis.toString());
    else
        // A port that could not be opened gives the diagnosis no result to judge by.
        m_report.diagnosis.finish(router::diagnose(checkFacts(), *m_report.router));
    Q_EMIT diagnosed();
    if (m_options.forwardWhenNotOpen) {
        if (!m_forwardDecided) {
            startForward();
            return;
        }
        startIpv6(); // after the check through the new mapping
    }
    maybeFinish();
}

void CheckSession::onLookedUp(const router::RouterFacts& facts)
{
    // Only the answer for the latest check counts; earlier ones were queued behind it.
    if (--m_lookupsPending > 0 || !m_report.router.isRunning())
        return;
    m_report.router.finish(facts);
    Q_EMIT routerAnswered();
    proceed();
}

QString CheckSession::forwardObstacle() const
{
    if (!m_router)
        return u"the router is not asked"_s;
    if (!m_report.router.isDone())
        return u"the router has not answered"_s;
    if (!m_report.check.isDone())
        return u"the check has not finished"_s;
    const router::RouterFacts& facts = *m_report.router;
    const CheckResult& check = *m_report.check;
    if (check.portLocked)
        return u"the port could not be opened on this computer to check it"_s;
    if (m_report.forward.isRunning())
        return u"the router is being asked"_s;
    if (isOpenHere(check))
        return u"the port is already open on this computer"_s;
    if (!facts.found)
        return u"no router answered UPnP or NAT-PMP"_s;
    if (!facts.canMap)
        return u"the router does not take port mappings"_s;
    if (facts.mapping && !facts.mapping->thisComputer)
        return u"another device holds the port"_s;
    return {};
}

void CheckSession::startForward()
{
    m_forwardDecided = true;
    const CheckResult& check = *m_report.check;
    const QString port = u"port "_s + QString::number(m_report.port) + u'/' +
                         QString(protocolWord(m_report.protocol));
    auto notAsked = [this](const QString& reason) {
        router::ForwardResult result;
        result.error = reason;
        m_report.forward.finish(ForwardStep{false, false, result, reason, {}});
        Q_EMIT forwardDone();
        startIpv6();
        maybeFinish();
    };
    if (check.portLocked) {
        notAsked(port + u" could not be opened on this computer to check it; the router was not "_s
                        u"asked"_s);
        return;
    }
    if (isOpenHere(check)) {
        notAsked(port + u" is already open on this computer; the router was not asked"_s);
        return;
    }
    const router::RouterFacts facts = m_report.router.result().value_or(router::RouterFacts());
    router::ForwardResult refused;
    if (pinholeMode()) {
        refused.kind = router::ForwardKind::Pinhole;
        refused.error = pinholeRefusal(facts);
    } else if (!facts.found) {
        refused.error = u"no router answered UPnP or NAT-PMP"_s;
    } else if (!facts.canMap) {
        refused.error = u"the router does not take port mappings"_s;
    } else if (facts.mapping && !facts.mapping->thisComputer) {
        // Another device holds the port: it keeps it, and the router is not asked to replace it.
        refused.conflict = true;
        refused.mapping = facts.mapping;
        refused.error = u"another device holds the port"_s;
    }
    if (!refused.error.isEmpty()) {
        // The line names the device that keeps the port; the error would only say it again.
        router::ForwardResult shown = refused;
        if (shown.conflict)
            shown.error.clear();
        m_report.forward.finish(
            ForwardStep{false,
                        false,
                        refused,
                        router::describeForward(shown, m_report.port, m_report.protocol, false),
                        {}});
        Q_EMIT forwardDone();
        startIpv6();
        maybeFinish();
        return;
    }
    forward(m_options.leaseSeconds);
}

void CheckSession::forward(qint64 leaseSeconds)
{
    if (!m_router || m_report.forward.isRunning() || !portNumber(m_report.portText))
        return;
    m_forwardDecided = true;
    m_report.forward.begin();
    if (m_stage != Stage::Done && m_stage != Stage::Ipv6Checking)
        m_stage = Stage::Forwarding;
    Q_EMIT forwardStarted();
    router::ForwardRequest request{m_report.port, m_report.protocol, leaseSeconds,
                                   m_options.externalPort};
    if (pinholeMode()) {
        request.ipv6 = true;
        request.externalPort = 0;
    }
    request.via = m_options.forwardVia;
    m_router->forward(request);
}

void CheckSession::onForwarded(const router::ForwardResult& result)
{
    if (m_report.controlPort.isRunning()) {
        onControlMapped(result);
        return;
    }
    if (!m_report.forward.isRunning())
        return;
    // A PCP refusal says more about a NAT than the lookup could (a carrier NAT that will not
    // map ports): the diagnosis is judged again with it. After a mapping the check runs again,
    // and with it the lookup and the diagnosis.
    if (!result.ok && result.pcpResult && m_report.router.isDone() && m_report.diagnosis.isDone() &&
        m_report.check.isDone() && !m_report.check->service) {
        router::RouterFacts facts = *m_report.router;
        facts.pcpMapResult = result.pcpResult;
        m_report.router.finish(facts);
        m_report.diagnosis.finish(router::diagnose(checkFacts(), facts));
    }
    QString text = router::describeForward(result, m_report.port, m_report.protocol, false);
    if (m_pinholeForIpv6Line) {
        pinholeForIpv6LineDone(result, text);
        return;
    }
    const bool otherExternal =
        !pinholeMode() && m_options.externalPort != 0 && m_options.externalPort != m_report.port;
    if (result.ok && otherExternal && m_report.protocol == ProbeProtocol::Tcp) {
        checkExternalPort(result, text);
        return;
    }
    if (result.ok && otherExternal)
        // A UDP probe that reaches a port here gets no answer to tell it apart from one lost.
        text += u"; over UDP the check cannot test a mapping from another port, so try port "_s +
                QString::number(m_options.externalPort) + u" from outside your network"_s;
    m_report.forward.finish(ForwardStep{true, false, result, text, {}});
    Q_EMIT forwardDone();
    if (result.ok && !otherExternal) {
        // Check again, through the new mapping: its result is the session's.
        m_report.firstCheck = m_report.check.result();
        runCheck();
        return;
    }
    if (m_stage == Stage::Forwarding)
        m_stage = Stage::Checking;
    startIpv6();
    maybeFinish();
}

void CheckSession::unforward()
{
    if (!m_router)
        return;
    cancel();
    m_report = Report();
    m_report.portText = m_view.portText();
    m_report.port = portNumber(m_report.portText).value_or(0);
    m_report.protocol = m_view.isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    const QString why = u"only a mapping was removed"_s;
    skipPortSteps(m_report, why);
    m_report.holders.skip(why);
    m_report.forward.begin();
    m_stage = Stage::Forwarding;
    Q_EMIT forwardStarted();
    router::ForwardRequest request{m_report.port, m_report.protocol, 0, m_options.externalPort};
    if (m_options.families == Families::IPv6) {
        request.ipv6 = true;
        request.externalPort = 0;
    }
    request.via = m_options.forwardVia;
    m_router->unforward(request);
}

void CheckSession::onUnforwarded(const router::ForwardResult& result)
{
    if (m_report.controlPort.isRunning()) {
        onControlUnmapped(result);
        return;
    }
    if (!m_report.forward.isRunning())
        return;
    m_report.forward.finish(
        ForwardStep{true,
                    true,
                    result,
                    router::describeForward(result, m_report.port, m_report.protocol, true),
                    {}});
    Q_EMIT forwardDone();
    finish();
}

// ---- Pinholes in the router's IPv6 firewall ------------------------------------------------

bool CheckSession::pinholeMode() const
{
    return m_options.families == Families::IPv6 && m_family == AddressFamily::IPv6;
}

QString CheckSession::pinholeRefusal(const router::RouterFacts& facts)
{
    if (!facts.ipv6)
        return u"no router offers pinholes in its IPv6 firewall (UPnP IGDv2 or PCP)"_s;
    if (!facts.ipv6->pinholeAllowed)
        return u"the router's IPv6 firewall takes no pinholes for inbound connections"_s;
    return {};
}

QString CheckSession::pinholeObstacle() const
{
    if (!m_router)
        return u"the router is not asked"_s;
    if (!m_report.router.isDone())
        return u"the router has not answered"_s;
    if (!m_report.ipv6.isDone())
        return u"the port has not been checked over IPv6"_s;
    const CheckResult& check = *m_report.ipv6;
    if (check.portLocked)
        return u"the port could not be opened on this computer to check it"_s;
    if (m_report.forward.isRunning() || m_report.ipv6.isRunning())
        return u"the router is being asked"_s;
    if (isOpenHere(check))
        return u"the port is already open on this computer over IPv6"_s;
    return pinholeRefusal(*m_report.router);
}

void CheckSession::forwardIpv6(qint64 leaseSeconds)
{
    if (!pinholeObstacle().isEmpty())
        return;
    m_pinholeForIpv6Line = true;
    m_report.forward.begin();
    Q_EMIT forwardStarted();
    router::ForwardRequest request{m_report.port, m_report.protocol, leaseSeconds, 0};
    request.ipv6 = true;
    m_router->forward(request);
}

// The window's pinhole for the IPv6 line: when the router opened it, the port is checked over
// IPv6 again.
void CheckSession::pinholeForIpv6LineDone(const router::ForwardResult& result, const QString& text)
{
    m_pinholeForIpv6Line = false;
    m_report.forward.finish(ForwardStep{true, false, result, text, {}});
    Q_EMIT forwardDone();
    if (!result.ok || !m_report.check.isDone())
        return;
    m_report.ipv6.reset();
    const Stage was = m_stage;
    startIpv6();
    if (!m_report.ipv6.isRunning())
        m_stage = was;
}

// The same port again, over IPv6, once the first family's check stands (and, when the session
// forwards, once the forward is done: both would need the port).
void CheckSession::startIpv6()
{
    if (!m_report.ipv6.isNotRun() || !m_report.ipv6.reason().isEmpty() || !m_report.check.isDone())
        return;
    if (!ipv6Planned()) {
        m_report.ipv6.skip(m_ipv6Skipped.isEmpty() ? u"a check over IPv6 was not asked for"_s
                                                   : m_ipv6Skipped);
        return;
    }
    if (m_report.check->portLocked) {
        m_report.ipv6.skip(u"the port could not be opened on this computer"_s);
        return;
    }
    m_report.ipv6.begin();
    m_stage = Stage::Ipv6Checking;
    // The port is needed again, and a probe over IPv6 must not reach the first check's socket.
    m_engine->stopCheck();
    m_ipv6View.clear();
    m_ipv6View.setInput(m_report.portText, m_report.protocol == ProbeProtocol::Tcp);
    m_ipv6Engine->setServiceCheck(m_serviceCheck);
    m_ipv6Engine->setTimeoutInterval(m_engine->timeoutInterval());
    Q_EMIT ipv6Started();
    m_ipv6Engine->cmdCheckMeClick();
}

void CheckSession::onIpv6Evaluated(const Verdict& verdict)
{
    if (!m_report.ipv6.isRunning())
        return;
    if (m_ipv6Engine->isServiceCheck()) {
        ipv6Stands(false);
        return;
    }
    m_ipv6Settler.evaluated(verdict);
}

void CheckSession::ipv6Stands(bool portLocked)
{
    if (!m_report.ipv6.isRunning())
        return;
    m_ipv6Settler.reset();
    m_ipv6Engine->stopCheck();
    m_report.ipv6.finish(snapshot(*m_ipv6Engine, m_ipv6View, portLocked));
    Q_EMIT ipv6Done();
    maybeFinish();
}

// Whether a check over IPv6 follows the first family's: where the server's addresses and this
// computer's allow it, unless the front end said otherwise.
bool CheckSession::ipv6Planned() const
{
    if (m_options.families != Families::Both || m_family != AddressFamily::IPv4)
        return false;
    return m_options.ipv6Wanted.value_or(m_ipv6Planned);
}

void CheckSession::maybeFinish()
{
    if (m_stage == Stage::Done || m_stage == Stage::Idle || !m_report.check.isDone() ||
        m_report.router.isRunning() || m_report.forward.isRunning() || m_report.ipv6.isRunning() ||
        m_report.firewall.isRunning())
        return;
    if (!m_report.diagnosis.isDone() && m_report.diagnosis.reason().isEmpty())
        return; // proceed() has not run yet
    if (m_report.ipv6.isNotRun() && m_report.ipv6.reason().isEmpty() && ipv6Planned())
        return; // the IPv6 check is still to start
    if (m_report.ipv6.isNotRun() && m_report.ipv6.reason().isEmpty())
        m_report.ipv6.skip(m_ipv6Skipped);
    if (m_report.controlPort.isRunning() || m_report.hairpin.isRunning() ||
        m_report.nat.isRunning())
        return;
    // The steps that look past the check come last: nothing before them waits for them.
    if (startControlPort() || startHairpin() || startNat())
        return;
    finish();
}

void CheckSession::finish()
{
    m_stage = Stage::Done;
    Q_EMIT finished();
}

void CheckSession::cancel()
{
    m_settler.reset();
    m_ipv6Settler.reset();
    m_engine->stopCheck();
    m_ipv6Engine->stopCheck();
    // A control port's mapping that is not removed here ends with its short lease.
    m_controlSettler.reset();
    m_controlEngine->stopCheck();
    m_controlEngine->setServiceCheck(false);
    m_externalStep.reset();
    m_externalListener.reset();
    m_pinholeForIpv6Line = false;
    m_hairpinTimer.stop();
    if (m_hairpinSocket)
        m_hairpinSocket.release()->deleteLater();
    m_hairpinListener.reset();
    if (m_firewallDetector)
        m_firewallDetector->cancel();
    if (m_report.nat.isRunning())
        m_report.nat.skip(u"stopped"_s); // its answer, when it comes, is passed over
    if (m_stage != Stage::LookingUp)
        m_stage = Stage::Idle;
}

int CheckSession::msLeft() const
{
    const bool ipv6 = m_stage == Stage::Ipv6Checking;
    const bool control = m_stage == Stage::ControlPort;
    const CheckEngine& engine = ipv6 ? *m_ipv6Engine : control ? *m_controlEngine : *m_engine;
    const VerdictSettler& settler = ipv6 ? m_ipv6Settler : control ? m_controlSettler : m_settler;
    int leftMs = 0;
    for (const QTimer* timer :
         {&engine.timeoutTimer(), &engine.waitTimer(), &settler.graceTimer()}) {
        if (timer->isActive())
            leftMs = std::max(leftMs, timer->remainingTime());
    }
    return leftMs;
}

CheckResult CheckSession::snapshot(const CheckEngine& engine, const RecordingView& view,
                                   bool portLocked) const
{
    CheckResult result;
    result.family = engine.family();
    result.service = engine.isServiceCheck();
    result.portLocked = portLocked;
    if (!portLocked)
        result.verdict = engine.lastVerdict();
    result.texts = view.texts();
    result.colours = view.colours();
    result.httpLog = engine.httpLogText();
    result.listenerLog = engine.listenerLogText();
    return result;
}

router::CheckFacts CheckSession::checkFacts() const
{
    router::CheckFacts facts;
    const CheckResult& check = *m_report.check;
    if (check.verdict && !check.portLocked) {
        facts.verdict = check.verdict->kind();
        facts.externalAddress = check.verdict->externalAddress.value_or(QString());
        facts.pingOk = check.verdict->pingOk;
    }
    facts.localAddresses = router::ownAddressTexts();
    if (m_options.diagnosisNamesPort) {
        facts.port = m_report.port;
        facts.protocol = m_report.protocol;
    }
    if (m_report.firewall.isDone())
        facts.firewall = *m_report.firewall;
    return facts;
}

// ---- The control port and the way back in from the LAN --------------------------------------

// Whether the port looks blocked before this computer: the router says it forwards the port
// here, yet the check did not find it open and the server's probe got no answer (it timed out,
// or an ICMP unreachable came back; a server that did not say counts as either). A probe that
// was refused reached something that answered, which no block on the way does.
//
// And what this computer knows of the probe (probeArrivedHere()): one that arrived here and was
// dropped is this computer's firewall's, not the path's; while that is unknown the control port
// still runs, and its finding names both.
bool CheckSession::portSeemsBlockedBeforeHere(QString* whyNot) const
{
    if (probeArrivedHere() == true) {
        *whyNot = u"the probe arrived at this computer, so nothing before it blocked the port"_s;
        return false;
    }
    const CheckResult& check = *m_report.check;
    const router::RouterFacts& facts = *m_report.router;
    if (isOpenHere(check) || check.kind() == VerdictKind::OpenElsewhere) {
        *whyNot = u"the port is open"_s;
        return false;
    }
    if (check.kind() != VerdictKind::NotOpen) {
        *whyNot = u"the check gave no result to judge by"_s;
        return false;
    }
    if (!facts.mapping || !facts.mapping->thisComputer) {
        *whyNot = u"the router does not say it forwards the port to this computer"_s;
        return false;
    }
    const std::optional<wire::ProbeEnd> probe = check.verdict ? check.verdict->probe : std::nullopt;
    if (probe && *probe != wire::ProbeEnd::TimedOut && *probe != wire::ProbeEnd::Unreachable) {
        *whyNot = u"the server's probe was "_s + QString::fromLatin1(wire::probeEndWord(*probe)) +
                  u", so it was not lost before this computer"_s;
        return false;
    }
    return true;
}

// Whether the probe reached this computer, for a port that was not open here: what the caller's
// evidence says when it gives its own, otherwise the firewall step's. That step judged the
// kernel's counters read around the check (and the server's word on the probe): a probe that
// arrived here and went no further was blocked here; with nothing vanished here, it never
// arrived. nullopt: cannot tell.
std::optional<bool> CheckSession::probeArrivedHere() const
{
    if (m_options.probeArrivedHere)
        return m_options.probeArrivedHere(m_report);
    if (!m_report.firewall.isDone())
        return std::nullopt;
    return m_report.firewall->blocks;
}

// Why the control port is not checked; empty when it is.
QString CheckSession::controlPortObstacle() const
{
    if (!m_options.controlPort)
        return u"a control port was not wanted"_s;
    if (m_report.protocol == ProbeProtocol::Udp)
        return u"a UDP probe that gets no answer looks the same whether something blocks the "
               u"port or nothing answers it, so a control port could tell nothing apart"_s;
    if (!m_router || !m_options.askRouter || !m_report.router.isDone())
        return m_options.noRouterReason.isEmpty() ? u"the router was not asked"_s
                                                  : m_options.noRouterReason;
    const CheckResult& check = *m_report.check;
    if (check.portLocked)
        return u"the port could not be checked"_s;
    if (check.service)
        return u"a check of a running service cannot tell where its probe was lost"_s;
    const router::RouterFacts& facts = *m_report.router;
    if (!facts.found)
        return u"no router answered UPnP or NAT-PMP"_s;
    if (!facts.canMap)
        return u"the router does not take port mappings"_s;
    QString whyNot;
    if (!portSeemsBlockedBeforeHere(&whyNot))
        return whyNot;
    return {};
}

bool CheckSession::startControlPort()
{
    if (!m_report.controlPort.isNotRun() || !m_report.controlPort.reason().isEmpty() ||
        !m_report.check.isDone())
        return false;
    const QString obstacle = controlPortObstacle();
    if (!obstacle.isEmpty()) {
        m_report.controlPort.skip(obstacle);
        Q_EMIT controlPortDone();
        return false;
    }
    m_report.controlPort.begin();
    m_stage = Stage::ControlPort;
    m_controlTries = 0;
    m_controlOpen = false;
    mapControlPort();
    return true;
}

// A random high port, free on this computer, mapped to this computer for a short lease. The
// router refuses one another device holds: another is tried then, a few times at most.
void CheckSession::mapControlPort()
{
    ++m_controlTries;
    m_controlPort = 0;
    for (int i = 0; i < 32 && m_controlPort == 0; ++i) {
        const int port =
            int(QRandomGenerator::global()->bounded(kControlPortFirst, kControlPortLast + 1));
        if (port != m_report.port && canOpenPort(QString::number(port), ProbeProtocol::Tcp))
            m_controlPort = port;
    }
    if (m_controlPort == 0) {
        m_report.controlPort.skip(u"no high port is free on this computer"_s);
        Q_EMIT controlPortDone();
        maybeFinish();
        return;
    }
    m_router->forward({m_controlPort, ProbeProtocol::Tcp, kControlPortLeaseSeconds, 0});
}

void CheckSession::onControlMapped(const router::ForwardResult& result)
{
    if (!result.ok) {
        if (result.conflict && m_controlTries < 3) {
            mapControlPort();
            return;
        }
        m_report.controlPort.skip(u"the router did not map a control port: "_s +
                                  (result.error.isEmpty() ? u"no reason given"_s : result.error));
        Q_EMIT controlPortDone();
        maybeFinish();
        return;
    }
    // Checked the way the port was: a second check on an engine of its own.
    m_controlSettler.reset();
    m_controlView.clear();
    m_controlView.setInput(QString::number(m_controlPort), true);
    m_controlEngine->setTimeoutInterval(m_engine->timeoutInterval());
    m_controlEngine->cmdCheckMeClick();
}

void CheckSession::onControlEvaluated(const Verdict& verdict)
{
    if (m_externalStep) {
        externalStands(); // the server's answer is all a check of a running service waits for
        return;
    }
    if (m_report.controlPort.isRunning())
        m_controlSettler.evaluated(verdict);
}

// The mapping goes from another router port to the checked one, so the check server, which
// probes the port it is asked about, is asked about the router's port: a listener here holds
// the checked port, and that port is checked as a running service would be (nothing else is
// opened). It counts as reached when the server got in and its connection arrived here.
void CheckSession::checkExternalPort(const router::ForwardResult& result, const QString& text)
{
    m_externalStep = ForwardStep{true, false, result, text, {}};
    m_externalArrivals = 0;
    m_engine->stopCheck(); // the window's check may still hold the port
    m_externalListener = std::make_unique<QTcpServer>();
    connect(m_externalListener.get(), &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_externalListener->nextPendingConnection()) {
            ++m_externalArrivals;
            socket->abort();
            socket->deleteLater();
        }
    });
    if (!m_externalListener->listen(QHostAddress::Any, quint16(m_report.port))) {
        m_externalListener.reset();
        m_externalStep->text += u"; port "_s + QString::number(m_report.port) +
                                u" could not be opened here to check the mapping"_s;
        m_report.forward.finish(*m_externalStep);
        m_externalStep.reset();
        Q_EMIT forwardDone();
        startIpv6();
        maybeFinish();
        return;
    }
    m_controlView.clear();
    m_controlView.setInput(QString::number(m_options.externalPort), true);
    m_controlEngine->setServiceCheck(true);
    m_controlEngine->setTimeoutInterval(m_engine->timeoutInterval());
    m_controlEngine->cmdCheckMeClick();
}

void CheckSession::externalStands()
{
    if (!m_externalStep)
        return;
    ForwardStep step = *m_externalStep;
    m_externalStep.reset();
    const std::optional<Verdict>& verdict = m_controlEngine->lastVerdict();
    const bool serverGotIn = verdict && serviceReach(*verdict) == ServiceReach::Reachable;
    m_controlEngine->stopCheck();
    m_controlEngine->setServiceCheck(false);
    // A connection the server made may wait to be taken a moment after its reply came.
    if (m_externalListener) {
        m_externalListener->waitForNewConnection(0);
        while (QTcpSocket* socket = m_externalListener->nextPendingConnection()) {
            ++m_externalArrivals;
            socket->abort();
            socket->deleteLater();
        }
    }
    m_externalListener.reset();
    step.externalReached = serverGotIn && m_externalArrivals > 0;
    const QString external = QString::number(m_options.externalPort);
    if (*step.externalReached)
        step.text += u"; checked from outside: port "_s + external + u" reaches port "_s +
                     QString::number(m_report.port) + u" here"_s;
    else if (serverGotIn)
        step.text += u"; checked from outside: port "_s + external +
                     u" reached a device, but not this computer"_s;
    else
        step.text += u"; checked from outside: port "_s + external + u" is not open either"_s;
    m_report.forward.finish(step);
    Q_EMIT forwardDone();
    startIpv6();
    maybeFinish();
}

// The control port's verdict stands (or its port could not be opened): its mapping is removed
// whatever the check found.
void CheckSession::controlStands()
{
    if (m_externalStep) {
        externalStands(); // its port could not be checked
        return;
    }
    if (!m_report.controlPort.isRunning() || m_controlPort == 0)
        return;
    m_controlSettler.reset();
    const std::optional<Verdict>& verdict = m_controlEngine->lastVerdict();
    m_controlOpen = verdict && verdict->kind() == VerdictKind::OpenHere;
    m_controlEngine->stopCheck();
    m_router->unforward({m_controlPort, ProbeProtocol::Tcp, 0, 0});
}

void CheckSession::onControlUnmapped(const router::ForwardResult& result)
{
    const std::optional<bool> arrived = probeArrivedHere();
    m_report.controlPort.finish(
        ControlPortResult{m_controlPort, m_controlOpen, result.ok, arrived});
    // Only a control port that got through while nothing of the probe arrived here shows a block
    // before this computer; while arrival is unknown, the finding names this computer's firewall
    // beside it.
    if (m_controlOpen)
        m_report.diagnosis.finish(router::controlPortDiagnosis(m_report.port, m_report.protocol,
                                                               m_controlPort, true, arrived));
    Q_EMIT controlPortDone();
    maybeFinish();
}

// Why the way back in from the LAN is not tried; empty when it is.
QString CheckSession::hairpinObstacle() const
{
    if (!m_options.hairpin)
        return u"the way back in from the LAN was not wanted"_s;
    if (m_report.protocol == ProbeProtocol::Udp)
        return u"a UDP datagram sent to the external address gets no answer that tells "
               u"whether it came back in"_s;
    const CheckResult& check = *m_report.check;
    if (check.portLocked)
        return u"the port could not be checked"_s;
    if (!isOpenHere(check))
        return u"the check did not find the port open on this computer"_s;
    if (!check.verdict || !check.verdict->externalAddress ||
        QHostAddress(*check.verdict->externalAddress).isNull())
        return u"the server named no external address"_s;
    // Only an address the internet reaches is a way back in; loopback is this computer itself
    // (a check server on it), where the connection never leaves.
    const QHostAddress external(*check.verdict->externalAddress);
    if (!external.isLoopback() && !router::isPublic(external))
        return u"the external address "_s + external.toString() +
               u" is not one the internet reaches"_s;
    return {};
}

bool CheckSession::startHairpin()
{
    if (!m_report.hairpin.isNotRun() || !m_report.hairpin.reason().isEmpty() ||
        !m_report.check.isDone())
        return false;
    const QString own = router::defaultRouteAddress();
    const QString lan =
        own.isEmpty() && m_report.router.isDone() ? m_report.router->localAddress : own;
    m_report.lanAddress = lan.isEmpty() || m_report.port <= 0
                              ? QString()
                              : lan + u':' + QString::number(m_report.port);
    const QString obstacle = hairpinObstacle();
    if (!obstacle.isEmpty()) {
        m_report.hairpin.skip(obstacle);
        Q_EMIT hairpinDone();
        return false;
    }
    m_report.hairpin.begin();
    m_stage = Stage::Hairpin;
    // The port is needed again, as for a check over IPv6: a listener here takes what comes back
    // in, so that a refusal is the router's, not this computer's closed port. A running service
    // that holds the port takes it instead.
    m_engine->stopCheck();
    m_ipv6Engine->stopCheck();
    m_hairpinListener = std::make_unique<QTcpServer>();
    if (!m_hairpinListener->listen(QHostAddress::Any, quint16(m_report.port)))
        m_hairpinListener.reset();
    m_hairpinSocket = std::make_unique<QTcpSocket>();
    connect(m_hairpinSocket.get(), &QTcpSocket::connected, this,
            [this] { hairpinEnds(HairpinEnd::Works); });
    connect(m_hairpinSocket.get(), &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                hairpinEnds(error == QAbstractSocket::ConnectionRefusedError
                                ? HairpinEnd::Refused
                                : HairpinEnd::TimedOut);
            });
    m_hairpinTimer.start();
    // One connection, never repeated: some firewalls take repeated ones for an attack.
    m_hairpinSocket->connectToHost(QHostAddress(*m_report.check->verdict->externalAddress),
                                   quint16(m_report.port));
    return true;
}

void CheckSession::hairpinEnds(HairpinEnd end)
{
    if (!m_report.hairpin.isRunning())
        return;
    m_hairpinTimer.stop();
    if (m_hairpinSocket) {
        m_hairpinSocket->disconnect(this);
        m_hairpinSocket->abort();
        m_hairpinSocket.release()->deleteLater(); // it may be the sender
    }
    m_hairpinListener.reset();
    m_report.hairpin.finish(HairpinResult{end, m_report.lanAddress});
    Q_EMIT hairpinDone();
    maybeFinish();
}

// This computer's firewall. The counters are read three times, each read a few microseconds:
// as the check begins, as its request goes out (the baseline lies between: no probe can come
// before the request), and as its verdict stands. Which firewall runs is looked for once the
// verdict stands (lookAtFirewall()).
void CheckSession::startFirewall()
{
    if (!m_firewallDetector) {
        m_report.firewall.skip(m_options.noFirewallReason.isEmpty()
                                   ? u"this computer's firewall was not looked at"_s
                                   : m_options.noFirewallReason);
        return;
    }
    m_report.firewall.begin();
    m_firewallDetection.reset();
    m_firewallEvidence = firewall::EvidenceInput();
    m_firewallEvidence.protocol = m_report.protocol;
    m_firewallEvidence.baselineStart = readFirewallCounters();
}

// Which firewall runs matters only for a probe that did not get in. The look starts once the
// verdict stands, beside the router's answer, and is bounded; the diagnosis waits for it. Not
// earlier: with CAP_NET_ADMIN it runs nft, and a process forked while the check's socket is open
// holds a copy of it until it execs, which on a busy machine can outlast the check's own close
// (and keep a port the IPv6 check, or the next check, needs). Here the first family's socket is
// closed already, or (in the window) handed over to the IPv6 check that follows.
void CheckSession::lookAtFirewall()
{
    if (!m_report.firewall.isRunning() || !m_report.check.isDone())
        return;
    const CheckResult& check = *m_report.check;
    const VerdictKind kind = check.kind();
    if (isOpenHere(check) || !check.verdict || kind == VerdictKind::NoResult ||
        kind == VerdictKind::Pending) {
        // Open here, or nothing to judge: no firewall needs naming.
        m_firewallDetection = firewall::Detection();
        judgeFirewall();
        return;
    }
    m_firewallDetector->detect(m_report.port, m_report.protocol);
}

std::optional<firewall::CounterReading> CheckSession::readFirewallCounters() const
{
    const firewall::CounterFamily family =
        m_family == AddressFamily::IPv4   ? firewall::CounterFamily::IPv4
        : m_family == AddressFamily::IPv6 ? firewall::CounterFamily::IPv6
                                          : firewall::CounterFamily::Both;
    const auto counters = firewall::readCounters(m_options.counterFiles, family);
    if (!counters)
        return std::nullopt;
    return firewall::CounterReading{*counters, m_clock.elapsed()};
}

void CheckSession::noteFirewallWait()
{
    if (m_report.firewall.isRunning() && m_report.check.isRunning() &&
        !m_firewallEvidence.waitStart)
        m_firewallEvidence.waitStart = readFirewallCounters();
}

void CheckSession::onFirewallFound(const firewall::Detection& detection)
{
    if (!m_report.firewall.isRunning())
        return;
    m_firewallDetection = detection;
    if (!judgeFirewall())
        return; // the verdict is still to come
    proceed();
    maybeFinish();
}

// Once both the verdict and the look at the firewall are in.
bool CheckSession::judgeFirewall()
{
    if (!m_report.firewall.isRunning() || !m_firewallDetection || !m_report.check.isDone())
        return false;
    const CheckResult& check = *m_report.check;
    firewall::EvidenceInput input = m_firewallEvidence;
    input.arrivedHere = isOpenHere(check);
    // A service check opens nothing: the holder of the port, not Quillmere, listens.
    input.listening = !check.service && !check.portLocked;
    const VerdictKind kind = check.kind();
    input.gotResult =
        check.verdict && kind != VerdictKind::NoResult && kind != VerdictKind::Pending;
    if (check.verdict)
        input.probe = check.verdict->probe;
    m_report.firewall.finish(firewall::combine(*m_firewallDetection, firewall::judgeEvidence(input),
                                               m_report.port, m_report.protocol));
    Q_EMIT firewallJudged();
    return true;
}

// ---- The NAT's behaviour ---------------------------------------------------------------------

std::optional<std::pair<QString, quint16>> stunServerOf(const QString& text,
                                                        const CheckServerAddress& checkServer)
{
    constexpr quint16 kStunPort = 3478;
    if (text.isEmpty())
        return std::pair(checkServer.host, kStunPort);
    QString host = text;
    quint16 port = kStunPort;
    const auto readPort = [&port](QStringView digits) {
        bool ok = !digits.isEmpty() && digits.size() <= 5 &&
                  std::all_of(digits.begin(), digits.end(),
                              [](QChar c) { return c >= u'0' && c <= u'9'; });
        const int value = ok ? digits.toInt(&ok) : 0;
        if (!ok || value < 1 || value > 65535)
            return false;
        port = quint16(value);
        return true;
    };
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QStringView rest = QStringView(text).mid(close + 1);
        if (!rest.isEmpty() && (!rest.startsWith(u':') || !readPort(rest.mid(1))))
            return std::nullopt;
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        host = text.left(colon);
        if (!readPort(QStringView(text).mid(colon + 1)))
            return std::nullopt;
    } else if (text.count(u':') > 1 && QHostAddress(text).isNull()) {
        return std::nullopt;
    }
    // A name or an address: letters, digits, dots, dashes and underscores, or an IPv6 literal.
    const bool plain = std::all_of(host.cbegin(), host.cend(), [](QChar c) {
        return c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u':';
    });
    if (host.isEmpty() || !plain)
        return std::nullopt;
    return std::pair(host, port);
}

// After every other step: the STUN tests. Over UDP they run from the checked port (when this
// computer can still bind it), so that a forward of that port to this computer speaks for them.
bool CheckSession::startNat()
{
    if (!m_report.nat.isNotRun() || !m_report.nat.reason().isEmpty())
        return false;
    if (!m_options.nat) {
        m_report.nat.skip(u"the NAT type was not asked for"_s);
        return false;
    }
    const auto server = stunServerOf(m_options.stunServer, m_options.server);
    if (!server) {
        m_report.nat.skip(u"the STUN server is not HOST[:PORT]"_s);
        Q_EMIT natDone();
        return false;
    }
    nat::NatRequest request;
    request.host = server->first;
    request.port = server->second;
    if (m_report.protocol == ProbeProtocol::Udp && m_report.port > 0) {
        request.localPort = m_report.port;
        const bool forwardMade =
            m_report.forward.isDone() && m_report.forward->result.ok && !m_report.forward->removing;
        const bool mappedHere = m_report.router.isDone() && m_report.router->mapping &&
                                m_report.router->mapping->thisComputer &&
                                (m_report.router->mapping->internalPort == 0 ||
                                 m_report.router->mapping->internalPort == m_report.port);
        request.forwarded = forwardMade || mappedHere;
        // The check's own socket holds the port while the window keeps it open.
        m_engine->stopCheck();
        m_ipv6Engine->stopCheck();
    }
    if (!m_natClient) {
        m_natClient = std::make_unique<nat::NatClient>();
        connect(m_natClient.get(), &nat::NatClient::discovered, this,
                &CheckSession::onNatDiscovered);
    }
    m_report.nat.begin();
    m_stage = Stage::Nat;
    ++m_natPending;
    m_natClient->discover(request);
    Q_EMIT natStarted();
    return true;
}

// No port: the STUN tests are all this run does.
void CheckSession::startNatAlone()
{
    m_natAlone = true;
    const QString why = u"no port was given: only the NAT type was asked for"_s;
    skipPortSteps(m_report, why);
    m_report.holders.skip(why);
    m_report.forward.skip(why);
    if (!startNat())
        finish();
}

void CheckSession::onNatDiscovered(const nat::NatFacts& facts)
{
    // Only the latest run's answer counts; one for a run since cancelled is passed over.
    if (--m_natPending > 0 || !m_report.nat.isRunning())
        return;
    m_report.nat.finish(facts);
    Q_EMIT natDone();
    if (m_natAlone)
        finish();
    else
        maybeFinish();
}

} // namespace quillmere::session
