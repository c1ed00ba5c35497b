#include "cli/routeroutput.h"

#include "cli/terminaltext.h"
#include "router/describe.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

// An absent text is null rather than "".
QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue mappingJson(const std::optional<router::Mapping>& mapping)
{
    if (!mapping)
        return QJsonValue::Null;
    return QJsonObject{
        {u"internalClient"_s, mapping->internalClient}, {u"internalPort"_s, mapping->internalPort},
        {u"description"_s, mapping->description},       {u"leaseSeconds"_s, mapping->leaseSeconds},
        {u"name"_s, textOrNull(mapping->name)},         {u"thisComputer"_s, mapping->thisComputer}};
}

QJsonArray linesJson(const QStringList& lines)
{
    return QJsonArray::fromStringList(lines);
}

constexpr QStringView kUnknownClient = u"unknown";

// The device a router says a port goes to, as a line shows it: an address, or "unknown". The
// router may send any text there; only an address is worth printing.
QString shownClient(const QString& internalClient)
{
    const QHostAddress address(internalClient);
    return address.isNull() ? kUnknownClient.toString() : address.toString();
}

// What PCP at the gateway said; null when it was not asked.
QJsonValue pcpJson(const std::optional<router::PcpFacts>& pcp)
{
    if (!pcp)
        return QJsonValue::Null;
    return QJsonObject{
        {u"present"_s, pcp->present},
        {u"version"_s, pcp->version},
        {u"epoch"_s, pcp->epoch ? QJsonValue(double(*pcp->epoch)) : QJsonValue(QJsonValue::Null)}};
}

} // namespace

QString routerLine(const router::RouterFacts& facts, int port, ProbeProtocol protocol)
{
    router::RouterFacts shown = facts;
    if (shown.mapping)
        shown.mapping->internalClient = shownClient(shown.mapping->internalClient);
    return u"Router: "_s + escapeForTerminal(router::describeRouter(shown, port, protocol));
}

QString diagnosisLine(const router::Diagnosis& diagnosis)
{
    const QString text = diagnosis.text().trimmed();
    return u"Diagnosis: "_s +
           escapeForTerminal(text.isEmpty() ? QString(router::findingCode(diagnosis.finding))
                                            : text);
}

QString forwardLine(const ForwardOutcome& outcome)
{
    QString text = outcome.text;
    // The text names the device where router::describeForward and the router's error put it:
    // "goes to CLIENT:PORT" and "(CLIENT)". Only there is a client that is no address replaced,
    // so that whatever it is, no other word of the line changes.
    if (const auto& mapping = outcome.result.mapping;
        mapping && !mapping->internalClient.isEmpty()) {
        const QString& client = mapping->internalClient;
        const QString shown = shownClient(client);
        if (shown != client) {
            text.replace(u"to "_s + client + u':', u"to "_s + shown + u':');
            text.replace(u'(' + client + u')', u'(' + shown + u')');
        }
    }
    return u"Forward: "_s + escapeForTerminal(text);
}

QString routerLogLines(const QString& heading, const QStringList& log)
{
    QString printed = heading + u'\n';
    for (const QString& line : log)
        printed += escapeForTerminal(line) + u"\r\n"_s;
    return printed;
}

QJsonValue routerJson(const std::optional<router::RouterFacts>& facts, int port,
                      ProbeProtocol protocol)
{
    if (!facts)
        return QJsonValue::Null;
    QJsonArray hops;
    for (const router::Hop& hop : facts->hops)
        hops.append(QJsonObject{{u"ttl"_s, hop.ttl}, {u"address"_s, hop.address}});
    const QLatin1StringView via = router::viaWord(facts->via);
    return QJsonObject{
        {u"found"_s, facts->found},
        {u"via"_s, via.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString(via))},
        {u"address"_s, textOrNull(facts->address)},
        {u"localAddress"_s, textOrNull(facts->localAddress)},
        {u"externalAddress"_s, textOrNull(facts->externalAddress)},
        {u"canMap"_s, facts->canMap},
        {u"mappingQueried"_s, facts->mappingQueried},
        {u"mapping"_s, mappingJson(facts->mapping)},
        {u"hops"_s, hops},
        {u"pcp"_s, pcpJson(facts->pcp)},
        {u"error"_s, textOrNull(facts->error)},
        {u"text"_s, router::describeRouter(*facts, port, protocol)},
        {u"log"_s, linesJson(facts->log)},
    };
}

QJsonValue diagnosisJson(const std::optional<router::Diagnosis>& diagnosis)
{
    if (!diagnosis)
        return QJsonValue::Null;
    return QJsonObject{{u"code"_s, QString(router::findingCode(diagnosis->finding))},
                       {u"text"_s, diagnosis->text().trimmed()},
                       {u"headline"_s, diagnosis->headline},
                       {u"nextStep"_s, diagnosis->nextStep}};
}

QJsonValue pinholeJson(const std::optional<router::Pinhole>& pinhole)
{
    if (!pinhole)
        return QJsonValue::Null;
    QJsonObject object{{u"leaseSeconds"_s, pinhole->leaseSeconds},
                       {u"internalAddress"_s, textOrNull(pinhole->internalAddress)}};
    // IGDv2 names a pinhole by its ID, PCP by the nonce it was made with.
    if (!pinhole->uniqueId.isEmpty())
        object.insert(u"uniqueId"_s, pinhole->uniqueId);
    if (!pinhole->nonce.isEmpty())
        object.insert(u"nonce"_s, QString::fromLatin1(pinhole->nonce.toHex()));
    return object;
}

QJsonValue ipv6RouterJson(const std::optional<router::RouterFacts>& facts)
{
    if (!facts || !facts->ipv6)
        return QJsonValue::Null;
    const QLatin1StringView via = router::viaWord(facts->ipv6->via);
    return QJsonObject{
        {u"pinholeAllowed"_s, facts->ipv6->pinholeAllowed},
        {u"via"_s, via.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString(via))},
        {u"pinhole"_s, pinholeJson(facts->ipv6->pinhole)},
    };
}

QJsonValue forwardJson(const std::optional<ForwardOutcome>& outcome)
{
    if (!outcome)
        return QJsonValue::Null;
    const router::ForwardResult& result = outcome->result;
    const QLatin1StringView via = router::viaWord(result.via);
    return QJsonObject{
        {u"kind"_s, result.kind == router::ForwardKind::Pinhole ? u"pinhole"_s : u"mapping"_s},
        {u"via"_s, via.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(QString(via))},
        {u"pinhole"_s, pinholeJson(result.pinhole)},
        {u"ok"_s, result.ok},
        {u"asked"_s, outcome->asked},
        {u"removing"_s, outcome->removing},
        {u"error"_s, result.ok ? QJsonValue(QJsonValue::Null) : textOrNull(result.error)},
        {u"conflict"_s, result.conflict},
        {u"permanentOnly"_s, result.permanentOnly},
        {u"mapping"_s, mappingJson(result.mapping)},
        {u"text"_s, outcome->text},
        {u"log"_s, linesJson(result.log)},
    };
}

} // namespace quillmere::cli
