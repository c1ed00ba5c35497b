#include "cli/jsonoutput.h"

#include "wire/checkwire.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

QString latin1(std::string_view text)
{
    return QLatin1StringView(text.data(), qsizetype(text.size()));
}

QJsonValue orNull(const std::optional<QString>& text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonValue refusalJson(const std::optional<ServerRefusal>& refusal)
{
    if (!refusal)
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{{u"status"_s, refusal->status},
                       {u"retryAfter"_s, refusal->retryAfterSeconds
                                             ? QJsonValue(*refusal->retryAfterSeconds)
                                             : QJsonValue(QJsonValue::Null)}};
}

QJsonObject labelJson(const ConsoleView& view, ResultLabel which)
{
    return QJsonObject{{u"text"_s, view.text(which)},
                       {u"colour"_s, QString(colourName(view.colour(which)))},
                       {u"rgb"_s, colourHex(view.colour(which))}};
}

} // namespace

QString jsonVerdictName(VerdictKind kind)
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

QString jsonServiceName(ServiceReach reach)
{
    switch (reach) {
    case ServiceReach::Reachable:
        return u"reachable"_s;
    case ServiceReach::NotReachable:
        return u"not-reachable"_s;
    case ServiceReach::Unconfirmable:
        return u"unconfirmable"_s;
    case ServiceReach::NoResult:
        return u"no-result"_s;
    case ServiceReach::Pending:
        break;
    }
    return u"pending"_s;
}

QJsonObject checkJson(const CheckEngine& engine, const ConsoleView& view,
                      const CheckOptions& options, const QString& verdictName, int exitStatus)
{
    const auto& verdict = engine.lastVerdict();
    const QJsonObject ping{{u"ok"_s, verdict ? verdict->pingOk : false},
                           {u"text"_s, view.text(ResultLabel::PingStatus)}};
    const QJsonObject external{
        {u"address"_s, orNull(verdict ? verdict->externalAddress : std::nullopt)},
        {u"text"_s, view.text(ResultLabel::ExternalIP)}};
    QJsonObject object{
        {u"verdict"_s, verdictName},
        {u"row"_s, verdict ? QJsonValue(int(verdict->outcome)) : QJsonValue(QJsonValue::Null)},
        {u"exitStatus"_s, exitStatus},
        {u"status"_s, labelJson(view, ResultLabel::Status)},
        {u"info"_s, view.text(ResultLabel::Info)},
        {u"ping"_s, ping},
        {u"externalIp"_s, external},
        {u"message"_s, orNull(verdict ? verdict->message : std::nullopt)},
        {u"error"_s, orNull(engine.serverError())},
        {u"refused"_s, refusalJson(engine.refusal())},
        {u"port"_s, view.portText()},
        {u"protocol"_s, QString(protocolWord(options.protocol))},
        {u"server"_s, options.server.authority()},
        {u"logs"_s,
         QJsonObject{{u"http"_s, engine.httpLogText()}, {u"listener"_s, engine.listenerLogText()}}},
    };

    // How the server's TCP probe ended, as the server told it; null when it did not say, and
    // always for UDP.
    object.insert(u"probe"_s, verdict && verdict->probe && options.protocol == ProbeProtocol::Tcp
                                  ? QJsonValue(latin1(wire::probeEndWord(*verdict->probe)))
                                  : QJsonValue(QJsonValue::Null));
    return object;
}

QString jsonText(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

} // namespace quillmere::cli
