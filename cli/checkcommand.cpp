#include "cli/checkcommand.h"

#include "cli/exitstatus.h"
#include "cli/jsonoutput.h"
#include "cli/terminaltext.h"

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

} // namespace

CheckCommand::CheckCommand(const CheckOptions& options, QTextStream& out, QTextStream& err,
                           bool showProgress, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_out(out)
    , m_err(err)
    , m_view(options.portText, options.protocol, err)
    , m_engine(std::make_unique<CheckEngine>(m_view, options.server))
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
    m_engine->cmdCheckMeClick();
    if (m_showProgress && !m_done) {
        m_progress.start();
        updateProgress();
    }
}

void CheckCommand::onEvaluated(const Verdict& verdict)
{
    if (m_done)
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
    if (m_done || !m_engine->lastVerdict())
        return;
    m_otherDeviceGrace.stop();
    m_engine->stopCheck();
    const VerdictKind kind = m_engine->lastVerdict()->kind();
    const int status = exitStatusOf(kind);
    clearProgress();
    if (m_options.json)
        m_out << checkJson(*m_engine, m_view, m_options, jsonVerdictName(kind), status);
    else
        printPlain();
    finish(status);
}

void CheckCommand::onPortLocked()
{
    if (m_done)
        return;
    m_engine->stopCheck();
    clearProgress();
    if (m_options.json) {
        m_out << checkJson(*m_engine, m_view, m_options, kJsonPortLocked.toString(),
                           kExitPortLocked);
    } else {
        m_out << u"Status: "_s << escapeForTerminal(m_view.text(ResultLabel::Status)) << u'\n';
        m_out << u"Info: "_s << escapeForTerminal(m_view.text(ResultLabel::Info)) << u'\n';
        if (m_options.logs)
            printLogs();
    }
    finish(kExitPortLocked);
}

void CheckCommand::finish(int exitStatus)
{
    m_done = true;
    m_progress.stop();
    m_out.flush();
    m_err.flush();
    Q_EMIT finished(exitStatus);
}

void CheckCommand::printPlain()
{
    m_out << u"Status: "_s << escapeForTerminal(m_view.text(ResultLabel::Status)) << u'\n';
    m_out << u"Info: "_s << escapeForTerminal(m_view.text(ResultLabel::Info)) << u'\n';
    m_out << u"Ping: "_s << escapeForTerminal(m_view.text(ResultLabel::PingStatus)) << u'\n';
    m_out << u"External IP: "_s << escapeForTerminal(m_view.text(ResultLabel::ExternalIP)) << u'\n';
    if (const auto& message = m_engine->lastVerdict()->message)
        m_out << u"Message: "_s << escapeForTerminal(*message) << u'\n';
    if (m_options.logs)
        printLogs();
}

void CheckCommand::printLogs()
{
    m_out << u"--- HTTP Log ---\n"_s
          << escapeLogForTerminal(m_engine->httpLogText(), m_httpEntries.ends());
    m_out << u"--- PortCheck Log ---\n"_s
          << escapeLogForTerminal(m_engine->listenerLogText(), m_listenerEntries.ends());
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

void CheckCommand::updateProgress()
{
    if (m_done)
        return;
    int leftMs = 0;
    for (const QTimer* timer : {&m_engine->timeoutTimer(), &m_engine->waitTimer(),
                                static_cast<const QTimer*>(&m_otherDeviceGrace)}) {
        if (timer->isActive())
            leftMs = std::max(leftMs, timer->remainingTime());
    }
    const QString status = escapeForTerminal(m_view.text(ResultLabel::Status));
    m_err << u"\r\x1b[K"_s << status << u" ("_s << (leftMs + 999) / 1000 << u"s left)"_s;
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
