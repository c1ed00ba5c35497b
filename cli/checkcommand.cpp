#include "cli/checkcommand.h"

#include "engine/porttext.h"
#include "engine/version.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

std::optional<int> parseTimeout(const QString& text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 24 * 3600)
        return std::nullopt;
    return std::max(1, int(seconds * 1000));
}

QString verdictName(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::OpenHere:
        return u"open-this-computer"_s;
    case VerdictKind::OpenElsewhere:
        return u"open-other-device"_s;
    case VerdictKind::NotOpen:
        return u"not-open"_s;
    case VerdictKind::NoResult:
        return u"no-result"_s;
    case VerdictKind::Pending:
        break;
    }
    return u"pending"_s;
}

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

ParsedArguments parseArguments(const QStringList& arguments, const QProcessEnvironment& environment)
{
    ParsedArguments parsed;
    auto fail = [&parsed](const QString& message) {
        parsed.action = ParsedArguments::Action::UsageError;
        // One line whatever the arguments hold: they are echoed in it.
        parsed.error = escapeForTerminal(message);
        return parsed;
    };

    std::optional<CheckServerAddress> server;
    QStringList positional;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString argument = arguments.at(i);
        if (argument == u"--"_s) {
            positional += arguments.mid(i + 1);
            break;
        }
        if (!argument.startsWith(u"--"_s) || argument.size() == 2) {
            if (argument.startsWith(u'-') && argument.size() > 1)
                return fail(u"unknown option: "_s + argument);
            positional.append(argument);
            continue;
        }
        // --name=value or --name value
        QString value;
        bool hasValue = false;
        if (const qsizetype eq = argument.indexOf(u'='); eq > 0) {
            value = argument.mid(eq + 1);
            argument.truncate(eq);
            hasValue = true;
        }
        auto takeValue = [&]() -> std::optional<QString> {
            if (hasValue)
                return value;
            if (i + 1 >= arguments.size())
                return std::nullopt;
            return arguments.at(++i);
        };
        if (argument == u"--help"_s) {
            parsed.action = ParsedArguments::Action::Help;
            return parsed;
        }
        if (argument == u"--version"_s) {
            parsed.action = ParsedArguments::Action::Version;
            return parsed;
        }
        if (argument == u"--logs"_s || argument == u"--json"_s) {
            if (hasValue)
                return fail(argument + u" takes no value"_s);
            (argument == u"--logs"_s ? parsed.options.logs : parsed.options.json) = true;
        } else if (argument == u"--protocol"_s) {
            const auto word = takeValue();
            if (!word)
                return fail(u"--protocol needs tcp or udp"_s);
            if (word->compare(u"tcp"_s, Qt::CaseInsensitive) == 0)
                parsed.options.protocol = ProbeProtocol::Tcp;
            else if (word->compare(u"udp"_s, Qt::CaseInsensitive) == 0)
                parsed.options.protocol = ProbeProtocol::Udp;
            else
                return fail(u"--protocol must be tcp or udp, not \""_s + *word + u'"');
        } else if (argument == u"--server"_s) {
            const auto text = takeValue();
            if (!text)
                return fail(u"--server needs HOST[:PORT]"_s);
            server = CheckServerAddress::parse(*text);
            if (!server)
                return fail(u"--server must be HOST[:PORT], not \""_s + *text + u'"');
        } else if (argument == u"--timeout"_s) {
            const auto text = takeValue();
            if (!text)
                return fail(u"--timeout needs a number of seconds"_s);
            const auto ms = parseTimeout(*text);
            if (!ms)
                return fail(u"--timeout must be a positive number of seconds, not \""_s + *text +
                            u'"');
            parsed.options.timeoutMs = *ms;
        } else {
            return fail(u"unknown option: "_s + argument);
        }
    }

    if (positional.isEmpty())
        return fail(u"PORT is missing"_s);
    if (positional.size() > 1)
        return fail(u"only one PORT may be given, not \""_s + positional.join(u' ') + u'"');
    parsed.options.portText = normalisedPortText(positional.front());

    if (server) {
        parsed.options.server = *server;
    } else {
        QString problem;
        parsed.options.server = checkServerFromEnvironment(environment, &problem);
        if (!problem.isEmpty())
            return fail(problem);
    }
    return parsed;
}

QString usageLine()
{
    return u"Usage: quillmere-check [--protocol tcp|udp] [--server HOST[:PORT]] "
           u"[--timeout SECONDS] [--logs] [--json] PORT"_s;
}

QString helpText()
{
    return usageLine() + u"\n\n"_s +
           uR"(Asks the check server to reach PORT of this network from the internet, watches
the port on this computer, and tells whether the port is forwarded here, to
another device, or not at all.

  PORT                 the port to check, as the port field of the desktop
                       program takes it: leading zeros are kept, a value over
                       65535 or a text that is no number becomes 65535, and an
                       empty text becomes 1000
  --protocol tcp|udp   the protocol to check (default tcp)
  --server HOST[:PORT] the check server (default: QUILLMERE_CHECK_SERVER, else
                       )"_s +
           builtInCheckServer().authority() + uR"()
  --timeout SECONDS    give up on the check server after this long (default 30)
  --logs               print both exchange logs after the result
  --json               print one JSON object instead of text lines
  --help               show this help and exit
  --version            show the version and exit

Exit status:
  0  open on this computer     3  no result from the check server
  1  open on another device    4  the port could not be opened here
  2  not open                 64  the command line was wrong
)"_s;
}

QString escapeForTerminal(QStringView text, bool keepLineBreaks)
{
    QString escaped;
    escaped.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0);
        if (!control || (keepLineBreaks && (u == u'\r' || u == u'\n' || u == u'\t'))) {
            escaped += c;
        } else if (u == u'\r') {
            escaped += u"\\r";
        } else if (u == u'\n') {
            escaped += u"\\n";
        } else if (u == u'\t') {
            escaped += u"\\t";
        } else {
            escaped += u"\\x"_s + QString::number(u, 16).rightJustified(2, u'0');
        }
    }
    return escaped;
}

ConsoleView::ConsoleView(QString portText, ProbeProtocol protocol, QTextStream& err)
    : m_portText(std::move(portText))
    , m_protocol(protocol)
    , m_err(err)
{}

void ConsoleView::setPortText(const QString& text)
{
    m_portText = normalisedPortText(text);
}

void ConsoleView::setResultText(ResultLabel label, const QString& text)
{
    m_texts[index(label)] = text;
}

void ConsoleView::setResultColour(ResultLabel label, TextColour colour)
{
    m_colours[index(label)] = colour;
}

void ConsoleView::showMessageBox(const QString& text, MessageIcon icon)
{
    // The server's message is printed with the result; anything else the engine would show in
    // a box is said at once.
    if (icon == MessageIcon::None)
        m_err << escapeForTerminal(text) << Qt::endl;
}

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
    connect(m_engine.get(), &CheckEngine::evaluated, this, &CheckCommand::onEvaluated);
    connect(m_engine.get(), &CheckEngine::portLocked, this, &CheckCommand::onPortLocked);

    m_otherDeviceGrace.setSingleShot(true);
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
    const Verdict& verdict = *m_engine->lastVerdict();
    const int status = exitStatusOf(verdict.kind());
    clearProgress();
    if (m_options.json)
        printJson(verdictName(verdict.kind()), status);
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
        printJson(u"port-locked"_s, kExitPortLocked);
    } else {
        m_out << u"Status: "_s << m_view.text(ResultLabel::Status) << u'\n';
        m_out << u"Info: "_s << m_view.text(ResultLabel::Info) << u'\n';
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
    m_out << u"--- HTTP Log ---\n"_s << escapeForTerminal(m_engine->httpLogText(), true);
    m_out << u"--- PortCheck Log ---\n"_s << escapeForTerminal(m_engine->listenerLogText(), true);
}

void CheckCommand::printJson(const QString& verdictName, int exitStatus)
{
    const auto& verdict = m_engine->lastVerdict();
    auto label = [this](ResultLabel which) {
        return QJsonObject{{u"text"_s, m_view.text(which)},
                           {u"colour"_s, QString(colourName(m_view.colour(which)))},
                           {u"rgb"_s, colourHex(m_view.colour(which))}};
    };
    QJsonObject ping{{u"ok"_s, verdict ? verdict->pingOk : false},
                     {u"text"_s, m_view.text(ResultLabel::PingStatus)}};
    QJsonObject external{{u"address"_s, verdict && verdict->externalAddress
                                            ? QJsonValue(*verdict->externalAddress)
                                            : QJsonValue(QJsonValue::Null)},
                         {u"text"_s, m_view.text(ResultLabel::ExternalIP)}};
    QJsonObject object{
        {u"verdict"_s, verdictName},
        {u"row"_s, verdict ? QJsonValue(int(verdict->outcome)) : QJsonValue(QJsonValue::Null)},
        {u"exitStatus"_s, exitStatus},
        {u"status"_s, label(ResultLabel::Status)},
        {u"info"_s, m_view.text(ResultLabel::Info)},
        {u"ping"_s, ping},
        {u"externalIp"_s, external},
        {u"message"_s, verdict && verdict->message ? QJsonValue(*verdict->message)
                                                   : QJsonValue(QJsonValue::Null)},
        {u"port"_s, m_view.portText()},
        {u"protocol"_s, QString(protocolWord(m_options.protocol))},
        {u"server"_s, m_options.server.authority()},
        {u"logs"_s, QJsonObject{{u"http"_s, m_engine->httpLogText()},
                                {u"listener"_s, m_engine->listenerLogText()}}},
    };
    m_out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
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
