#include "cli/checkcommand.h"

#include "cli/exitstatus.h"
#include "cli/jsonoutput.h"
#include "cli/terminaltext.h"
#include "engine/porttext.h"
#include "router/describe.h"
#include "router/lan.h"

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

    m_otherDeviceGrace.setSingleShot(true);
    m_otherDeviceGrace.setTimerType(Qt::PreciseTimer); // a coarse one may end the 5 s early
    m_otherDeviceGrace.setInterval(kOtherDeviceGraceMs);
    connect(&m_otherDeviceGrace, &QTimer::timeout, this, &CheckCommand::settle);

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
    startCheck();
}

void CheckCommand::startCheck()
{
    m_phase = Phase::Checking;
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
    if (m_phase != Phase::Checking)
        return;
    if (verdict.wait == WaitRequest::GraceWait)
        return; // the grace wait's own evaluation decides
    if (verdict.wait == WaitRequest::Recheck) {
        if (!m_otherDeviceGrace.isActive())
            m_otherDeviceGrace.start();
        return;
    }
    settle();
}

void CheckCommand::settle()
{
    if (m_phase != Phase::Checking || !m_engine->lastVerdict())
        return;
    m_otherDeviceGrace.stop();
    m_engine->stopCheck();
    const VerdictKind kind = m_engine->lastVerdict()->kind();
    settled(exitStatusOf(kind), jsonVerdictName(kind));
}

void CheckCommand::onPortLocked()
{
    if (m_phase != Phase::Checking)
        return;
    m_engine->stopCheck();
    m_portLocked = true;
    settled(kExitPortLocked, kJsonPortLocked.toString());
}

// The verdict stands: its lines go out at once, whatever the router still takes.
void CheckCommand::settled(int exitStatus, const QString& verdictName)
{
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
    if (m_routerFacts)
        m_diagnosis = router::diagnose(checkFacts(), *m_routerFacts);
    if (!m_options.json) {
        if (m_routerFacts) {
            m_out << routerLine(*m_routerFacts, m_port, m_options.protocol) << u'\n';
            m_out << diagnosisLine(*m_diagnosis) << u'\n';
        }
        if (m_options.logs)
            printLogs();
        m_out.flush();
    }
    m_checkJson = checkJson(*m_engine, m_view, m_options, m_verdictName, m_checkStatus);
    m_checkJson.insert(u"router"_s, routerJson(m_routerFacts, m_port, m_options.protocol));
    m_checkJson.insert(u"diagnosis"_s, diagnosisJson(m_diagnosis));
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
    m_phase = Phase::Done;
    clearProgress();
    if (m_options.json) {
        QJsonObject object = m_checkJson;
        object.insert(u"exitStatus"_s, exitStatus);
        object.insert(u"forward"_s, forwardJson(m_forward));
        if (m_firstCheckJson)
            object.insert(u"firstCheck"_s, *m_firstCheckJson);
        m_out << jsonText(object);
    }
    m_out.flush();
    m_err.flush();
    Q_EMIT finished(exitStatus);
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
    if (m_phase == Phase::Checking) {
        int leftMs = 0;
        for (const QTimer* timer : {&m_engine->timeoutTimer(), &m_engine->waitTimer(),
                                    static_cast<const QTimer*>(&m_otherDeviceGrace)}) {
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
