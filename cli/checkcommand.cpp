#include "cli/checkcommand.h"

#include "cli/exitstatus.h"
#include "cli/jsonoutput.h"
#include "cli/terminaltext.h"
#include "engine/addressfamily.h"
#include "engine/porttext.h"
#include "engine/socketobject.h"
#include "engine/verdictwords.h"
#include "router/describe.h"
#include "router/lan.h"

#include <QJsonArray>

#include <algorithm>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

int exitStatusOf(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::OpenHere:
        return kExitOpenHere;
    case VerdictKind::OpenElsewhere:
        return kExitOpenElsewhere;
    case VerdictKind::NotOpen:
        return kExitNotOpen;
    case VerdictKind::NoResult:
    case VerdictKind::Pending:
        break;
    }
    return kExitNoResult;
}

int serviceExitStatus(ServiceReach reach)
{
    switch (reach) {
    case ServiceReach::Reachable:
        return kExitReachable;
    case ServiceReach::NotReachable:
        return kExitNotReachable;
    case ServiceReach::Unconfirmable:
        return kExitUnconfirmable;
    case ServiceReach::NoResult:
    case ServiceReach::Pending:
        break;
    }
    return kExitNoResult;
}

// Whether this computer could open the port itself, the way a check would open it.
bool canOpenPort(const QString& portText, ProbeProtocol protocol)
{
    SocketObject socket;
    socket.setProtocol(protocol);
    return openCheckPort(socket, portText);
}

// A LAN where no router answers: what the command asks when it was given no way to the router.
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

} // namespace

CheckCommand::CheckCommand(const CheckOptions& options, QTextStream& out, QTextStream& err,
                           bool showProgress, std::unique_ptr<router::RouterBackend> routerBackend,
                           QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_view(options.portText, options.protocol, err)
    , m_engine(std::make_unique<CheckEngine>(m_view, options.server))
    , m_port(portNumber(options.portText).value_or(0))
    , m_showProgress(showProgress)
{
    m_engine->setTimeoutInterval(options.timeoutMs);
    m_engine->setServiceCheck(options.service);
    // The bound the entry ends are noted against.
    m_engine->setLogLimit(kLogLimit);
    connect(m_engine.get(), &CheckEngine::checkStarted, this, &CheckCommand::onCheckStarted);
    connect(m_engine.get(), &CheckEngine::httpLogAppended, this, &CheckCommand::onHttpLogAppended);
    connect(m_engine.get(), &CheckEngine::listenerLogAppended, this,
            &CheckCommand::onListenerLogAppended);
    connect(m_engine.get(), &CheckEngine::evaluated, this, &CheckCommand::onEvaluated);
    connect(m_engine.get(), &CheckEngine::portLocked, this, &CheckCommand::onPortLocked);

    if (usesRouter()) {
        if (!routerBackend)
            routerBackend = std::make_unique<AbsentRouter>();
        m_router = std::make_unique<router::RouterClient>(std::move(routerBackend));
        connect(m_router.get(), &router::RouterClient::lookedUp, this, &CheckCommand::onLookedUp);
        connect(m_router.get(), &router::RouterClient::forwarded, this, &CheckCommand::onForwarded);
        connect(m_router.get(), &router::RouterClient::unforwarded, this,
                &CheckCommand::onUnforwarded);
    }

    connect(&m_settler, &VerdictSettler::settled, this, &CheckCommand::settle);

    m_progress.setInterval(200);
    connect(&m_progress, &QTimer::timeout, this, &CheckCommand::updateProgress);
}

CheckCommand::~CheckCommand() = default;

void CheckCommand::start()
{
    if (m_phase != Phase::Idle)
        return;
    if (m_options.router == RouterAction::Unforward) {
        m_phase = Phase::Unforwarding;
        showProgress();
        m_router->unforward({m_port, m_options.protocol, 0});
        return;
    }
    // The server's addresses decide the families; the engine's own lookup then comes from Qt's
    // cache. An address is taken as it is: QHostInfo would look up its name, which can take as
    // long as the resolver's time-outs where no DNS server answers.
    m_phase = Phase::LookingUp;
    const QHostAddress literal(m_options.server.host);
    if (!literal.isNull()) {
        QHostInfo info;
        info.setAddresses({literal});
        onServerLookedUp(info);
        return;
    }
    QHostInfo::lookupHost(m_options.server.host, this, &CheckCommand::onServerLookedUp);
}

void CheckCommand::onServerLookedUp(const QHostInfo& info)
{
    if (m_phase != Phase::LookingUp)
        return;
    m_serverNote = router::localServerNote(m_options.server, info.addresses(),
                                           u"Name a server on the internet with --server or "_s
                                           u"QUILLMERE_CHECK_SERVER."_s);
    const HostFamilies server = familiesOf(info.addresses());
    switch (m_options.families) {
    case FamilyChoice::IPv4:
        m_family = AddressFamily::IPv4;
        m_ipv6Skipped = u"only IPv4 was asked for (-4)"_s;
        break;
    case FamilyChoice::IPv6:
        m_family = AddressFamily::IPv6;
        break;
    case FamilyChoice::Both:
        // A server with IPv6 addresses only is checked over IPv6: the first check's family.
        m_family = server.ipv6 && !server.ipv4 ? AddressFamily::IPv6 : AddressFamily::IPv4;
        if (m_family == AddressFamily::IPv4) {
            m_ipv6Skipped = ipv6Obstacle(server);
            m_ipv6Planned = m_ipv6Skipped.isEmpty();
        }
        break;
    }
    if (m_options.service && canOpenPort(m_options.portText, m_options.protocol)) {
        m_err << kProgramName << u": --service: nothing on this computer holds "_s
              << QString(protocolWord(m_options.protocol)).toUpper() << u" port "_s << m_port
              << u"; there is no running service to check\n"_s;
        m_phase = Phase::Done;
        m_err.flush();
        Q_EMIT finished(kExitUsage);
        return;
    }
    if (m_options.service)
        m_holders = service::findPortHolders(quint16(m_port), m_options.protocol);
    startCheck();
}

void CheckCommand::startCheck()
{
    m_phase = Phase::Checking;
    m_engine->setFamily(m_family);
    m_portLocked = false;
    m_routerFacts.reset();
    m_diagnosis.reset();
    m_engine->cmdCheckMeClick();
    // Asked once the check is under way, so that the router, however slow, never holds up the
    // check's request. Its answer is awaited only once the verdict stands.
    if (m_router)
        m_router->lookup({m_port, m_options.protocol, m_options.server.host});
    if (m_phase == Phase::Checking)
        showProgress();
}

void CheckCommand::onEvaluated(const Verdict& verdict)
{
    if (!isChecking())
        return;
    if (m_engine->isServiceCheck()) {
        settle(); // the server's answer is all a service check waits for
        return;
    }
    m_settler.evaluated(verdict);
}

void CheckCommand::settle()
{
    if (!isChecking() || !m_engine->lastVerdict())
        return;
    m_settler.reset();
    m_engine->stopCheck();
    const Verdict& verdict = *m_engine->lastVerdict();
    if (m_engine->isServiceCheck()) {
        const ServiceReach reach = serviceReach(verdict);
        settled(serviceExitStatus(reach), jsonServiceName(reach));
        return;
    }
    settled(exitStatusOf(verdict.kind()), jsonVerdictName(verdict.kind()));
}

void CheckCommand::onPortLocked()
{
    if (!isChecking())
        return;
    m_engine->stopCheck();
    m_portLocked = true;
    settled(kExitPortLocked, kJsonPortLocked.toString());
}

// The verdict stands: its lines go out at once, whatever the router still takes.
void CheckCommand::settled(int exitStatus, const QString& verdictName)
{
    if (m_phase == Phase::Ipv6Checking) {
        ipv6Settled(exitStatus, verdictName);
        return;
    }
    m_phase = Phase::Settled;
    m_checkStatus = exitStatus;
    m_verdictName = verdictName;
    clearProgress();
    if (!m_options.json) {
        printResultLines();
        m_out.flush();
    }
    proceed();
}

// Once both the verdict and the router's answer are in: the router's lines, the logs, then a
// forward or the end.
void CheckCommand::proceed()
{
    if (m_phase != Phase::Settled)
        return;
    if (m_router && !m_routerFacts) {
        showProgress();
        return;
    }
    clearProgress();
    // The diagnosis reads a check that opened the port here. A service check cannot tell this
    // computer from another device, so it gets none: the Router: line says where the router's
    // mapping points.
    if (m_routerFacts && !m_engine->isServiceCheck())
        m_diagnosis = router::diagnose(checkFacts(), *m_routerFacts);
    if (!m_options.json) {
        if (m_routerFacts)
            m_out << routerLine(*m_routerFacts, m_port, m_options.protocol) << u'\n';
        if (m_diagnosis)
            m_out << diagnosisLine(*m_diagnosis) << u'\n';
        if (m_options.logs)
            printLogs();
        m_out.flush();
    }
    m_checkJson = checkJson(*m_engine, m_view, m_options, m_verdictName, m_checkStatus);
    m_checkJson.insert(u"router"_s, routerJson(m_routerFacts, m_port, m_options.protocol));
    m_checkJson.insert(u"diagnosis"_s, diagnosisJson(m_diagnosis));
    if (m_holders)
        m_checkJson.insert(u"service"_s, holdersJson());
    if (m_options.router == RouterAction::Forward && !m_forward) {
        startForward();
        return;
    }
    finish(m_checkStatus);
}

void CheckCommand::onLookedUp(const router::RouterFacts& facts)
{
    // One lookup per check, and each check waits for its own: this answer is the current one's.
    if (m_phase != Phase::Checking && m_phase != Phase::Settled)
        return;
    m_routerFacts = facts;
    proceed();
}

void CheckCommand::startForward()
{
    const router::RouterFacts& facts = *m_routerFacts;
    const QString port =
        u"port "_s + QString::number(m_port) + u'/' + QString(protocolWord(m_options.protocol));
    if (m_portLocked) {
        forwardNotAsked(port + u" could not be opened on this computer to check it; the router "_s
                               u"was not asked"_s,
                        m_checkStatus);
        return;
    }
    if (m_checkStatus == kExitOpenHere) {
        forwardNotAsked(port + u" is already open on this computer; the router was not asked"_s,
                        m_checkStatus);
        return;
    }
    router::ForwardResult refused;
    if (!facts.found) {
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
        m_forward =
            ForwardOutcome{false, false, refused,
                           router::describeForward(shown, m_port, m_options.protocol, false)};
        if (!m_options.json)
            m_out << forwardLine(*m_forward) << u'\n';
        finish(kExitForwardFailed);
        return;
    }
    m_phase = Phase::Forwarding;
    showProgress();
    m_router->forward({m_port, m_options.protocol, m_options.leaseSeconds});
}

// --forward left the router alone: the check's result stands, and so does its exit status.
void CheckCommand::forwardNotAsked(const QString& reason, int exitStatus)
{
    router::ForwardResult result;
    result.error = reason;
    m_forward = ForwardOutcome{false, false, result, reason};
    if (!m_options.json)
        m_out << forwardLine(*m_forward) << u'\n';
    finish(exitStatus);
}

void CheckCommand::onForwarded(const router::ForwardResult& result)
{
    if (m_phase != Phase::Forwarding)
        return;
    clearProgress();
    m_forward = ForwardOutcome{true, false, result,
                               router::describeForward(result, m_port, m_options.protocol, false)};
    if (!m_options.json) {
        m_out << forwardLine(*m_forward) << u'\n';
        if (m_options.logs)
            m_out << routerLogLines(u"--- Forward Log ---"_s, result.log);
        m_out.flush();
    }
    if (!result.ok) {
        finish(kExitForwardFailed);
        return;
    }
    // Check again, through the new mapping: its result is the command's.
    m_firstCheckJson = m_checkJson;
    startCheck();
}

void CheckCommand::onUnforwarded(const router::ForwardResult& result)
{
    if (m_phase != Phase::Unforwarding)
        return;
    clearProgress();
    m_forward = ForwardOutcome{true, true, result,
                               router::describeForward(result, m_port, m_options.protocol, true)};
    if (!m_options.json) {
        m_out << forwardLine(*m_forward) << u'\n';
        if (m_options.logs)
            m_out << routerLogLines(u"--- Forward Log ---"_s, result.log);
    }
    m_checkJson = QJsonObject{{u"port"_s, m_options.portText},
                              {u"protocol"_s, QString(protocolWord(m_options.protocol))}};
    finish(result.ok ? kExitUnforwarded : kExitForwardFailed);
}

void CheckCommand::finish(int exitStatus)
{
    if (m_ipv6Planned && !m_ipv6Json && m_phase != Phase::Unforwarding) {
        m_exitStatus = exitStatus;
        startIpv6Check();
        return;
    }
    m_phase = Phase::Done;
    clearProgress();
    m_result = m_checkJson;
    m_result.insert(u"exitStatus"_s, exitStatus);
    m_result.insert(u"forward"_s, forwardJson(m_forward));
    if (m_firstCheckJson)
        m_result.insert(u"firstCheck"_s, *m_firstCheckJson);
    if (m_options.router != RouterAction::Unforward) {
        m_result.insert(u"note"_s,
                        m_serverNote.isEmpty() ? QJsonValue() : QJsonValue(m_serverNote));
        m_result.insert(u"family"_s, familyName(m_family).toString().toLower());
        if (m_family == AddressFamily::IPv4) {
            m_result.insert(u"ipv6"_s, m_ipv6Json ? QJsonValue(*m_ipv6Json) : QJsonValue());
            if (!m_ipv6Json)
                m_result.insert(u"ipv6Skipped"_s, m_ipv6Skipped);
        }
    }
    if (m_options.json)
        m_out << jsonText(m_result);
    m_out.flush();
    m_err.flush();
    Q_EMIT finished(exitStatus);
}

// The first check is done, lines, router, forward and all: the same port again, over IPv6.
void CheckCommand::startIpv6Check()
{
    m_firstKind = m_engine->lastVerdict() && !m_portLocked
                      ? std::optional(m_engine->lastVerdict()->kind())
                      : std::nullopt;
    if (m_portLocked) {
        m_ipv6Planned = false;
        m_ipv6Skipped = u"the port could not be opened on this computer"_s;
        finish(m_exitStatus);
        return;
    }
    m_phase = Phase::Ipv6Checking;
    m_engine->setFamily(AddressFamily::IPv6);
    m_engine->cmdCheckMeClick();
    if (m_phase == Phase::Ipv6Checking)
        showProgress();
}

void CheckCommand::ipv6Settled(int exitStatus, const QString& verdictName)
{
    m_phase = Phase::Settled;
    clearProgress();
    QJsonObject object = checkJson(*m_engine, m_view, m_options, verdictName, exitStatus);
    object.insert(u"family"_s, u"ipv6"_s);
    m_ipv6Json = object;
    if (!m_options.json) {
        printIpv6Lines();
        if (m_options.logs) {
            m_out << u"--- IPv6 HTTP Log ---\n"_s
                  << escapeLogForTerminal(m_engine->httpLogText(), m_httpEntries.ends());
            m_out << u"--- IPv6 PortCheck Log ---\n"_s
                  << escapeLogForTerminal(m_engine->listenerLogText(), m_listenerEntries.ends());
        }
    }
    finish(m_exitStatus);
}

void CheckCommand::printIpv6Lines()
{
    const auto& verdict = m_engine->lastVerdict();
    QString address = u"address unknown"_s;
    if (verdict && verdict->externalAddress)
        address = *verdict->externalAddress;
    m_out << u"IPv6: "_s << escapeForTerminal(m_view.text(ResultLabel::Status));
    if (!m_portLocked)
        m_out << u" ("_s << escapeForTerminal(address) << u')';
    m_out << u'\n';
    if (verdict && m_firstKind && verdict->externalAddress && !m_engine->isServiceCheck()) {
        const QString hint = ipv6OnlyHint(*m_firstKind, verdict->kind(), *verdict->externalAddress,
                                          m_options.portText);
        if (!hint.isEmpty())
            m_out << u"Note: "_s << escapeForTerminal(hint) << u'\n';
    }
}

void CheckCommand::printResultLines()
{
    m_out << u"Status: "_s << escapeForTerminal(m_view.text(ResultLabel::Status)) << u'\n';
    m_out << u"Info: "_s << escapeForTerminal(m_view.text(ResultLabel::Info)) << u'\n';
    if (m_portLocked)
        return;
    m_out << u"Ping: "_s << escapeForTerminal(m_view.text(ResultLabel::PingStatus)) << u'\n';
    m_out << u"External IP: "_s << escapeForTerminal(m_view.text(ResultLabel::ExternalIP)) << u'\n';
    if (const auto& message = m_engine->lastVerdict()->message)
        m_out << u"Message: "_s << escapeForTerminal(*message) << u'\n';
    if (m_holders)
        m_out << u"Service: "_s << escapeForTerminal(holdersText()) << u'\n';
    if (!m_serverNote.isEmpty() && !m_firstCheckJson)
        m_out << u"Note: "_s << escapeForTerminal(m_serverNote) << u'\n';
}

QString CheckCommand::holdersText() const
{
    return service::describeHolders(*m_holders, quint16(m_port), m_options.protocol);
}

QJsonObject CheckCommand::holdersJson() const
{
    QJsonArray processes;
    for (const service::PortSocket& socket : m_holders->sockets) {
        for (const service::HoldingProcess& process : socket.processes)
            processes.append(QJsonObject{{u"pid"_s, process.pid},
                                         {u"name"_s, process.name},
                                         {u"localAddress"_s, socket.localAddress}});
    }
    return QJsonObject{{u"heldBy"_s, holdersText()}, {u"processes"_s, processes}};
}

void CheckCommand::printLogs()
{
    m_out << u"--- HTTP Log ---\n"_s
          << escapeLogForTerminal(m_engine->httpLogText(), m_httpEntries.ends());
    m_out << u"--- PortCheck Log ---\n"_s
          << escapeLogForTerminal(m_engine->listenerLogText(), m_listenerEntries.ends());
    if (m_routerFacts)
        m_out << routerLogLines(u"--- Router Log ---"_s, m_routerFacts->log);
}

router::CheckFacts CheckCommand::checkFacts() const
{
    router::CheckFacts facts;
    const auto& verdict = m_engine->lastVerdict();
    if (verdict && !m_portLocked) {
        facts.verdict = verdict->kind();
        facts.externalAddress = verdict->externalAddress.value_or(QString());
        facts.pingOk = verdict->pingOk;
    }
    facts.localAddresses = router::ownAddressTexts();
    return facts;
}

void CheckCommand::onCheckStarted()
{
    m_httpEntries.clear();
    m_listenerEntries.clear();
}

void CheckCommand::onHttpLogAppended()
{
    m_httpEntries.noteAppend(m_engine->httpLogText());
}

void CheckCommand::onListenerLogAppended()
{
    m_listenerEntries.noteAppend(m_engine->listenerLogText());
}

void CheckCommand::showProgress()
{
    if (!m_showProgress || m_phase == Phase::Done)
        return;
    if (!m_progress.isActive())
        m_progress.start();
    updateProgress();
}

void CheckCommand::updateProgress()
{
    if (m_phase == Phase::Done || m_phase == Phase::Idle)
        return;
    QString status;
    if (m_phase == Phase::LookingUp) {
        status = u"Looking up the check server..."_s;
    } else if (isChecking()) {
        int leftMs = 0;
        for (const QTimer* timer :
             {&m_engine->timeoutTimer(), &m_engine->waitTimer(), &m_settler.graceTimer()}) {
            if (timer->isActive())
                leftMs = std::max(leftMs, timer->remainingTime());
        }
        status = escapeForTerminal(m_view.text(ResultLabel::Status)) + u" ("_s +
                 QString::number((leftMs + 999) / 1000) + u"s left)"_s;
    } else {
        status = u"Asking the router..."_s;
    }
    m_err << u"\r\x1b[K"_s << status;
    m_err.flush();
    m_progressShown = true;
}

void CheckCommand::clearProgress()
{
    m_progress.stop();
    if (m_progressShown) {
        m_err << u"\r\x1b[K"_s;
        m_err.flush();
        m_progressShown = false;
    }
}

} // namespace quillmere::cli
