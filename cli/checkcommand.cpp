#include "cli/checkcommand.h"

#include "cli/exitstatus.h"
#include "cli/firewalloutput.h"
#include "cli/jsonoutput.h"
#include "cli/reportlines.h"
#include "cli/routeroutput.h"
#include "cli/terminaltext.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

CheckCommand::CheckCommand(const CheckOptions& options, QTextStream& out, QTextStream& err,
                           bool showProgress, std::unique_ptr<router::RouterBackend> routerBackend,
                           QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_view(options.portText, options.protocol, err)
    , m_ipv6View(options.portText, options.protocol, err)
    , m_session(m_view, &m_ipv6View, sessionOptions(options),
                options.router == RouterAction::Skip ? nullptr : std::move(routerBackend))
    , m_progress(err, showProgress, [this] { return progressText(); })
{
    m_session.setServiceCheck(options.service);
    // The bounds the entry ends are noted against are the engines' log limits.
    const auto track = [this](CheckEngine& engine, LogEntryEnds& http, LogEntryEnds& listener) {
        connect(&engine, &CheckEngine::checkStarted, this, [&http, &listener] {
            http.clear();
            listener.clear();
        });
        connect(&engine, &CheckEngine::httpLogAppended, this,
                [&engine, &http] { http.noteAppend(engine.httpLogText()); });
        connect(&engine, &CheckEngine::listenerLogAppended, this,
                [&engine, &listener] { listener.noteAppend(engine.listenerLogText()); });
    };
    track(m_session.engine(), m_httpEntries, m_listenerEntries);
    track(m_session.ipv6Engine(), m_ipv6HttpEntries, m_ipv6ListenerEntries);

    using session::CheckSession;
    connect(&m_session, &CheckSession::checkStarted, &m_progress, &ProgressLine::show);
    connect(&m_session, &CheckSession::verdictStands, this, &CheckCommand::onVerdict);
    connect(&m_session, &CheckSession::diagnosed, this, &CheckCommand::onDiagnosed);
    connect(&m_session, &CheckSession::forwardStarted, &m_progress, &ProgressLine::show);
    connect(&m_session, &CheckSession::forwardDone, this, &CheckCommand::onForwardDone);
    connect(&m_session, &CheckSession::ipv6Started, &m_progress, &ProgressLine::show);
    connect(&m_session, &CheckSession::ipv6Done, this, &CheckCommand::onIpv6Done);
    connect(&m_session, &CheckSession::finished, this, &CheckCommand::onFinished);
    // The control port and the way back in follow every line before them.
    connect(&m_session, &CheckSession::controlPortDone, this, [this] {
        m_progress.clear();
        if (!m_options.json) {
            m_out << controlPortLine(m_session.report());
            m_out.flush();
        }
    });
    connect(&m_session, &CheckSession::hairpinDone, this, [this] {
        m_progress.clear();
        if (!m_options.json) {
            m_out << hairpinLine(m_session.report());
            m_out.flush();
        }
    });

    // The NAT's behaviour comes last, after every line of the check.
    connect(&m_session, &CheckSession::natStarted, &m_progress, &ProgressLine::show);
    connect(&m_session, &CheckSession::natDone, this, [this] {
        m_progress.clear();
        const session::Report& report = m_session.report();
        if (!m_options.json) {
            m_out << natLine(report);
            if (m_options.logs && report.nat.isDone())
                m_out << routerLogLines(u"--- NAT Log ---"_s, report.nat->log);
            m_out.flush();
        }
    });
}

CheckCommand::~CheckCommand() = default;

void CheckCommand::start()
{
    if (m_started)
        return;
    m_started = true;
    if (m_options.router == RouterAction::Unforward) {
        m_session.unforward();
        return;
    }
    m_session.start();
    m_progress.show();
}

int CheckCommand::checkStatus(const session::CheckResult& check) const
{
    if (check.portLocked)
        return kExitPortLocked;
    if (check.service)
        return serviceExitStatus(check.reach());
    return exitStatusOf(check.kind());
}

QString CheckCommand::verdictName(const session::CheckResult& check) const
{
    if (check.portLocked)
        return kJsonPortLocked.toString();
    if (check.service)
        return jsonServiceName(check.reach());
    return jsonVerdictName(check.kind());
}

// The verdict stands: its lines go out at once, whatever the router still takes.
void CheckCommand::onVerdict()
{
    const session::CheckResult& check = *m_session.report().check;
    m_progress.clear();
    m_checkJson =
        checkJson(m_session.engine(), m_view, m_options, verdictName(check), checkStatus(check));
    if (!m_options.json) {
        m_out << resultLines(m_session.report());
        m_out.flush();
    }
    if (m_session.report().router.isRunning())
        m_progress.show();
}

// Both the verdict and the router's answer are in: the router's lines and the logs.
void CheckCommand::onDiagnosed()
{
    m_progress.clear();
    const session::Report& report = m_session.report();
    if (!m_options.json) {
        if (report.router.isDone())
            m_out << routerLine(*report.router, report.port, m_options.protocol) << u'\n';
        if (report.diagnosis.isDone())
            m_out << diagnosisLine(*report.diagnosis) << u'\n';

        // This computer's firewall: the diagnosis waited for it.
        if (report.firewall.isDone())
            m_out << firewallLine(*report.firewall) << u'\n';

        if (m_options.logs) {
            m_out << logLines(u"--- HTTP Log ---\n"_s, report.check->httpLog, m_httpEntries);
            m_out << logLines(u"--- PortCheck Log ---\n"_s, report.check->listenerLog,
                              m_listenerEntries);
            if (report.router.isDone())
                m_out << routerLogLines(u"--- Router Log ---"_s, report.router->log);
        }
        m_out.flush();
    }
    m_checkJson.insert(u"router"_s,
                       routerJson(report.router.result(), report.port, m_options.protocol));
    m_checkJson.insert(u"diagnosis"_s, diagnosisJson(report.diagnosis.result()));

    m_checkJson.insert(u"firewall"_s, firewallJson(report.firewall.result()));

    if (report.holders.isDone())
        m_checkJson.insert(u"service"_s, holdersJson(*report.holders,
                                                     service::describeHolders(*report.holders,
                                                                              quint16(report.port),
                                                                              m_options.protocol)));
}

void CheckCommand::onForwardDone()
{
    m_progress.clear();
    const session::ForwardStep& step = *m_session.report().forward;
    if (!m_options.json) {
        m_out << forwardLine(outcomeOf(step)) << u'\n';
        if (m_options.logs && step.asked)
            m_out << routerLogLines(u"--- Forward Log ---"_s, step.result.log);
        m_out.flush();
    }
    if (step.removing)
        m_checkJson = QJsonObject{{u"port"_s, m_options.portText},
                                  {u"protocol"_s, QString(protocolWord(m_options.protocol))}};
    else if (step.result.ok)
        m_firstCheckJson = m_checkJson; // the check through the new mapping follows
}

void CheckCommand::onIpv6Done()
{
    const session::CheckResult& check = *m_session.report().ipv6;
    QJsonObject object = checkJson(m_session.ipv6Engine(), m_ipv6View, m_options,
                                   verdictName(check), checkStatus(check));
    object.insert(u"family"_s, u"ipv6"_s);
    m_ipv6Json = object;
}

void CheckCommand::onFinished()
{
    m_progress.clear();
    const session::Report& report = m_session.report();
    if (report.nothingHoldsPort) {
        m_err << kProgramName << u": --service: nothing on this computer holds "_s
              << QString(protocolWord(m_options.protocol)).toUpper() << u" port "_s << report.port
              << u"; there is no running service to check\n"_s;
        m_err.flush();
        Q_EMIT finished(kExitUsage);
        return;
    }
    if (report.nat.isDone() && !report.check.isDone()) {
        // --nat without PORT: the STUN tests were all there was.
        const int status = report.nat->answered ? kExitNatDone : kExitNatNoAnswer;
        m_result = QJsonObject{{u"nat"_s, natJson(report)}, {u"exitStatus"_s, status}};
        if (m_options.json)
            m_out << jsonText(m_result);
        m_out.flush();
        m_err.flush();
        Q_EMIT finished(status);
        return;
    }
    const bool unforward = m_options.router == RouterAction::Unforward;
    int exitStatus = report.check.isDone() ? checkStatus(*report.check) : 0;
    std::optional<ForwardOutcome> forward;
    if (report.forward.isDone()) {
        const session::ForwardStep& step = *report.forward;
        forward = outcomeOf(step);
        if (unforward)
            exitStatus = step.result.ok ? kExitUnforwarded : kExitForwardFailed;
        else if (!step.result.ok &&
                 (step.asked || (exitStatus != kExitPortLocked && exitStatus != kExitOpenHere)))
            exitStatus = kExitForwardFailed;
        else if (step.externalReached)
            // The check through the router's other port, not the check of the port itself.
            exitStatus = *step.externalReached ? kExitOpenHere : kExitNotOpen;
        else if (step.asked && m_options.externalPort != 0 && m_options.externalPort != report.port)
            exitStatus = kExitForwarded; // over UDP a mapping from another port is not checked
    }
    if (report.ipv6.isDone() && !m_options.json) {
        m_out << ipv6Lines(report);
        if (m_options.logs) {
            m_out << logLines(u"--- IPv6 HTTP Log ---\n"_s, report.ipv6->httpLog,
                              m_ipv6HttpEntries);
            m_out << logLines(u"--- IPv6 PortCheck Log ---\n"_s, report.ipv6->listenerLog,
                              m_ipv6ListenerEntries);
        }
    }
    m_result = m_checkJson;
    m_result.insert(u"exitStatus"_s, exitStatus);
    m_result.insert(u"forward"_s, forwardJson(forward));
    if (m_firstCheckJson)
        m_result.insert(u"firstCheck"_s, *m_firstCheckJson);
    if (!unforward) {
        m_result.insert(u"note"_s,
                        report.serverNote.isEmpty() ? QJsonValue() : QJsonValue(report.serverNote));
        const AddressFamily family = report.check->family;
        m_result.insert(u"family"_s, familyName(family).toString().toLower());
        if (family == AddressFamily::IPv4) {
            m_result.insert(u"ipv6"_s, m_ipv6Json ? QJsonValue(*m_ipv6Json) : QJsonValue());
            if (!m_ipv6Json)
                m_result.insert(u"ipv6Skipped"_s, report.ipv6.reason());
        }
        // After the control port: its finding replaces the diagnosis when it got through.
        m_result.insert(u"diagnosis"_s, diagnosisJson(report.diagnosis.result()));
        m_result.insert(u"controlPort"_s, controlPortJson(report));
        if (!report.controlPort.isDone())
            m_result.insert(u"controlPortSkipped"_s, report.controlPort.reason());
        m_result.insert(u"hairpin"_s, hairpinJson(report));
        if (!report.hairpin.isDone())
            m_result.insert(u"hairpinSkipped"_s, report.hairpin.reason());

        m_result.insert(u"nat"_s, natJson(report));
    }
    if (m_options.json)
        m_out << jsonText(m_result);
    m_out.flush();
    m_err.flush();
    Q_EMIT finished(exitStatus);
}

// What the command waits for, for the progress line; empty once it waits for nothing.
QString CheckCommand::progressText() const
{
    using Stage = session::CheckSession::Stage;
    const session::Report& report = m_session.report();
    const Stage stage = m_session.stage();
    if (stage == Stage::Done || stage == Stage::Idle)
        return {};
    if (stage == Stage::LookingUp)
        return u"Looking up the check server..."_s;
    if (report.check.isRunning() || report.ipv6.isRunning()) {
        const ConsoleView& view = report.check.isRunning() ? m_view : m_ipv6View;
        return escapeForTerminal(view.text(ResultLabel::Status)) + u" ("_s +
               QString::number((m_session.msLeft() + 999) / 1000) + u"s left)"_s;
    }
    if (stage == Stage::ControlPort)
        return u"Checking a control port..."_s;
    if (stage == Stage::Hairpin)
        return u"Connecting to the external address from here..."_s;
    if (stage == Stage::Nat)
        return u"Finding the NAT type..."_s;
    return u"Asking the router..."_s;
}

} // namespace quillmere::cli
