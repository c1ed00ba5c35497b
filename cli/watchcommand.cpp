#include "cli/watchcommand.h"

#include "cli/checkcommand.h"
#include "cli/exitstatus.h"
#include "cli/terminaltext.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonDocument>

#include <algorithm>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

// With --service, a port nobody holds any more is a state of the watch, not a usage error.
constexpr QStringView kNoService = u"no-service";

QString addressOrEmpty(const QJsonValue& externalIp)
{
    return externalIp.toObject().value(u"address"_s).toString();
}

// What a watch line calls a verdict.
QString verdictWords(const QString& verdict)
{
    static constexpr std::pair<QStringView, QStringView> kWords[] = {
        {u"open-this-computer", u"open on this computer"},
        {u"open-other-device", u"open on another device"},
        {u"not-open", u"not open"},
        {u"no-result", u"no result from the server"},
        {u"port-locked", u"could not be opened here"},
        {u"reachable", u"reachable"},
        {u"not-reachable", u"not reachable"},
        {u"unconfirmable", u"sent, but not confirmable"},
        {kNoService, u"no program holds the port"},
    };
    for (const auto& [word, words] : kWords) {
        if (word == verdict)
            return words.toString();
    }
    return verdict;
}

// Network text goes into the environment only as what it claims to be.
QString addressOnly(const QString& text)
{
    const QHostAddress address(text);
    return address.isNull() ? QString() : address.toString();
}

QJsonObject stateJson(const WatchState& state)
{
    QJsonObject object{
        {u"verdict"_s, state.verdict},
        {u"externalIp"_s, state.externalIp.isEmpty() ? QJsonValue() : QJsonValue(state.externalIp)},
        {u"exitStatus"_s, state.exitStatus}};
    if (!state.ipv6Verdict.isEmpty()) {
        object.insert(u"ipv6"_s,
                      QJsonObject{{u"verdict"_s, state.ipv6Verdict},
                                  {u"externalIp"_s, state.ipv6Address.isEmpty()
                                                        ? QJsonValue()
                                                        : QJsonValue(state.ipv6Address)}});
    } else {
        object.insert(u"ipv6"_s, QJsonValue());
        if (!state.ipv6Skipped.isEmpty())
            object.insert(u"ipv6Skipped"_s, state.ipv6Skipped);
    }
    return object;
}

} // namespace

std::optional<QStringList> splitCommandWords(QStringView command)
{
    QStringList words;
    QString word;
    bool inWord = false;
    enum class Quote { None, Single, Double } quote = Quote::None;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command[i];
        switch (quote) {
        case Quote::Single:
            if (c == u'\'')
                quote = Quote::None;
            else
                word += c;
            continue;
        case Quote::Double:
            if (c == u'"') {
                quote = Quote::None;
            } else if (c == u'\\' && i + 1 < command.size() &&
                       QStringView(u"\"\\$`").contains(command[i + 1])) {
                word += command[++i];
            } else {
                word += c;
            }
            continue;
        case Quote::None:
            break;
        }
        if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inWord)
                words.append(std::exchange(word, QString()));
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == u'\'') {
            quote = Quote::Single;
        } else if (c == u'"') {
            quote = Quote::Double;
        } else if (c == u'\\') {
            if (++i == command.size())
                return std::nullopt;
            word += command[i];
        } else {
            word += c;
        }
    }
    if (quote != Quote::None)
        return std::nullopt;
    if (inWord)
        words.append(word);
    return words;
}

WatchState WatchState::fromResult(const QJsonObject& result, int exitStatus)
{
    WatchState state;
    state.exitStatus = exitStatus;
    state.verdict = result.value(u"verdict"_s).toString();
    state.externalIp = addressOrEmpty(result.value(u"externalIp"_s));
    const QJsonValue ipv6 = result.value(u"ipv6"_s);
    if (ipv6.isObject()) {
        state.ipv6Verdict = ipv6.toObject().value(u"verdict"_s).toString();
        state.ipv6Address = addressOrEmpty(ipv6.toObject().value(u"externalIp"_s));
    } else {
        state.ipv6Skipped = result.value(u"ipv6Skipped"_s).toString();
    }
    return state;
}

std::optional<ServerRefusal> refusalOf(const QJsonObject& result)
{
    QJsonValue refused = result.value(u"refused"_s);
    if (!refused.isObject())
        refused = result.value(u"ipv6"_s).toObject().value(u"refused"_s);
    if (!refused.isObject())
        return std::nullopt;
    ServerRefusal refusal;
    refusal.status = refused.toObject().value(u"status"_s).toInt();
    const QJsonValue retryAfter = refused.toObject().value(u"retryAfter"_s);
    if (retryAfter.isDouble())
        refusal.retryAfterSeconds = retryAfter.toInt();
    return refusal;
}

QProcessEnvironment changeEnvironment(const WatchState& before, const WatchState& after,
                                      const CheckOptions& options, QProcessEnvironment base)
{
    base.insert(u"QUILLMERE_PORT"_s, options.portText);
    base.insert(u"QUILLMERE_PROTOCOL"_s, QString(protocolWord(options.protocol)));
    // Whole names, so that each can be found as it is written in the manual.
    base.insert(u"QUILLMERE_OLD_VERDICT"_s, before.verdict);
    base.insert(u"QUILLMERE_NEW_VERDICT"_s, after.verdict);
    base.insert(u"QUILLMERE_OLD_EXTERNAL_IP"_s, addressOnly(before.externalIp));
    base.insert(u"QUILLMERE_NEW_EXTERNAL_IP"_s, addressOnly(after.externalIp));
    base.insert(u"QUILLMERE_OLD_IPV6_VERDICT"_s, before.ipv6Verdict);
    base.insert(u"QUILLMERE_NEW_IPV6_VERDICT"_s, after.ipv6Verdict);
    base.insert(u"QUILLMERE_OLD_IPV6_ADDRESS"_s, addressOnly(before.ipv6Address));
    base.insert(u"QUILLMERE_NEW_IPV6_ADDRESS"_s, addressOnly(after.ipv6Address));
    return base;
}

WatchCommand::WatchCommand(const CheckOptions& options, QTextStream& out, QTextStream& err,
                           QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_json(options.json)
    , m_out(out)
    , m_err(err)
    , m_intervalMs(options.watchSeconds * 1000)
    , m_runner([this](const QStringList& command, const QProcessEnvironment& environment) {
        m_hook.run(command, environment);
    })
{
    // The checks print nothing of their own: the watch reads their results.
    m_options.json = true;
    m_options.logs = false;
    m_options.router = RouterAction::Skip;
    m_next.setSingleShot(true);
    m_next.setTimerType(Qt::PreciseTimer);
    connect(&m_next, &QTimer::timeout, this, &WatchCommand::startCheck);
    m_hook.setOutputToStandardError(m_json);
    connect(&m_hook, &ChangeHook::failedToStart, this, &WatchCommand::reportHookFailure);
    connect(&m_hook, &ChangeHook::stopped, this, [this] { Q_EMIT finished(0); });
}

WatchCommand::~WatchCommand() = default;

void WatchCommand::start()
{
    startCheck();
}

void WatchCommand::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_next.stop();
    // Not deleted here: stop() may be called from the check's own signal.
    if (m_check)
        m_check.release()->deleteLater();
    m_out.flush();
    m_hook.stop(); // finished(0) once it has stopped
}

void WatchCommand::startCheck()
{
    if (m_stopped)
        return;
    m_sinceStart.start();
    m_sinkText.clear();
    m_check = std::make_unique<CheckCommand>(m_options, m_sink, m_sink, false, nullptr);
    connect(m_check.get(), &CheckCommand::finished, this, &WatchCommand::onCheckFinished);
    m_check->start();
}

void WatchCommand::onCheckFinished(int exitStatus)
{
    if (m_stopped || !m_check)
        return;
    WatchState state;
    std::optional<ServerRefusal> refusal;
    if (m_options.service && exitStatus == kExitUsage) {
        state.verdict = kNoService.toString();
        state.exitStatus = exitStatus;
    } else {
        state = WatchState::fromResult(m_check->result(), exitStatus);
        refusal = refusalOf(m_check->result());
    }
    // The command emitted this from inside itself: it goes once it has returned.
    m_check.release()->deleteLater();
    m_sinkText.clear();
    m_sinkText.squeeze();
    ++m_checksDone;

    if (refusal) {
        if (refusal->status != m_refusedStatus)
            reportRefusal(state, *refusal);
    } else if (!m_last || *m_last != state) {
        report(state, m_last);
    }
    m_refusedStatus = refusal ? refusal->status : 0;
    if (!refusal)
        m_last = state;
    Q_EMIT checkDone(state);

    if (m_stopped)
        return;
    qint64 left = std::max<qint64>(0, m_intervalMs - m_sinceStart.elapsed());
    if (refusal && refusal->retryAfterSeconds)
        left = std::max<qint64>(left, qint64(*refusal->retryAfterSeconds) * 1000);
    m_next.start(int(left));
}

void WatchCommand::report(const WatchState& state, const std::optional<WatchState>& before)
{
    if (m_json)
        m_out << QString::fromUtf8(
                     QJsonDocument(jsonLine(state, before)).toJson(QJsonDocument::Compact))
              << u'\n';
    else
        m_out << line(state, before) << u'\n';
    m_out.flush();
    if (before && !m_options.onChange.isEmpty()) {
        const QStringList command = splitCommandWords(m_options.onChange).value_or(QStringList());
        m_runner(command, changeEnvironment(*before, state, m_options,
                                            QProcessEnvironment::systemEnvironment()));
    }
}

// One line when a refusal begins (or its status changes); the state before it is not touched.
void WatchCommand::reportRefusal(const WatchState& state, const ServerRefusal& refusal)
{
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    if (m_json) {
        QJsonObject object{{u"event"_s, u"refused"_s},
                           {u"time"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                           {u"port"_s, m_options.portText},
                           {u"protocol"_s, QString(protocolWord(m_options.protocol))},
                           {u"refused"_s, QJsonObject{{u"status"_s, refusal.status},
                                                      {u"retryAfter"_s,
                                                       refusal.retryAfterSeconds
                                                           ? QJsonValue(*refusal.retryAfterSeconds)
                                                           : QJsonValue()}}},
                           {u"exitStatus"_s, state.exitStatus}};
        if (m_last)
            object.insert(u"previous"_s, stateJson(*m_last));
        else
            object.insert(u"intervalSeconds"_s, m_intervalMs / 1000.0);
        m_out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << u'\n';
    } else {
        QString text = time + u' ' + QString(protocolWord(m_options.protocol)).toUpper() +
                       u" port "_s + m_options.portText +
                       u": the server refused the check (HTTP "_s +
                       QString::number(refusal.status) + u')';
        if (refusal.retryAfterSeconds)
            text += u", asking to wait "_s + QString::number(*refusal.retryAfterSeconds) + u" s"_s;
        if (m_last)
            text += u"; still "_s + verdictWords(m_last->verdict) + u" as last checked"_s;
        else
            text += u"; checking every "_s + QString::number(m_intervalMs / 1000.0) + u" s"_s;
        m_out << escapeForTerminal(text) << u'\n';
    }
    m_out.flush();
}

QString WatchCommand::line(const WatchState& state, const std::optional<WatchState>& before) const
{
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    QString text = time + u' ' + QString(protocolWord(m_options.protocol)).toUpper() + u" port "_s +
                   m_options.portText + u": "_s + verdictWords(state.verdict);
    if (before && before->verdict != state.verdict)
        text += u" (was "_s + verdictWords(before->verdict) + u')';
    text += u"; external IP "_s + (state.externalIp.isEmpty() ? u"unknown"_s : state.externalIp);
    if (before && before->externalIp != state.externalIp)
        text +=
            u" (was "_s + (before->externalIp.isEmpty() ? u"unknown"_s : before->externalIp) + u')';
    if (!state.ipv6Verdict.isEmpty()) {
        text += u"; IPv6: "_s + verdictWords(state.ipv6Verdict);
        if (!state.ipv6Address.isEmpty())
            text += u" at "_s + state.ipv6Address;
        if (before && before->ipv6Verdict != state.ipv6Verdict)
            text += u" (was "_s +
                    (before->ipv6Verdict.isEmpty() ? u"not checked"_s
                                                   : verdictWords(before->ipv6Verdict)) +
                    u')';
    } else if (!state.ipv6Skipped.isEmpty() &&
               (!before || before->ipv6Skipped != state.ipv6Skipped)) {
        text += u"; IPv6 not checked: "_s + state.ipv6Skipped;
    }
    if (!before)
        text += u"; checking every "_s + QString::number(m_intervalMs / 1000.0) + u" s"_s;
    return escapeForTerminal(text);
}

QJsonObject WatchCommand::jsonLine(const WatchState& state,
                                   const std::optional<WatchState>& before) const
{
    QJsonObject object = stateJson(state);
    object.insert(u"time"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    object.insert(u"event"_s, before ? u"change"_s : u"start"_s);
    object.insert(u"refused"_s, QJsonValue());
    object.insert(u"port"_s, m_options.portText);
    object.insert(u"protocol"_s, QString(protocolWord(m_options.protocol)));
    if (before)
        object.insert(u"previous"_s, stateJson(*before));
    else
        object.insert(u"intervalSeconds"_s, m_intervalMs / 1000.0);
    return object;
}

// An --on-change command that could not be started is said on stderr, and with --json as an
// event line of its own.
void WatchCommand::reportHookFailure(const QString& program, const QString& reason)
{
    m_err << kProgramName << u": --on-change: could not start "_s << escapeForTerminal(program)
          << u": "_s << escapeForTerminal(reason) << u'\n';
    m_err.flush();
    if (!m_json)
        return;
    const QJsonObject object{
        {u"time"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {u"event"_s, u"on-change-failed"_s},
        {u"port"_s, m_options.portText},
        {u"protocol"_s, QString(protocolWord(m_options.protocol))},
        {u"command"_s, program},
        {u"error"_s, reason}};
    m_out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << u'\n';
    m_out.flush();
}

} // namespace quillmere::cli
