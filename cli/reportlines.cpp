#include "cli/reportlines.h"

#include "cli/terminaltext.h"

#include <QJsonArray>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

session::SessionOptions sessionOptions(const CheckOptions& options)
{
    session::SessionOptions result;
    result.server = options.server;
    switch (options.families) {
    case FamilyChoice::Both:
        result.families = session::Families::Both;
        break;
    case FamilyChoice::IPv4:
        result.families = session::Families::IPv4;
        break;
    case FamilyChoice::IPv6:
        result.families = session::Families::IPv6;
        break;
    }
    result.askRouter = options.router != RouterAction::Skip;
    result.noRouterReason = u"--no-router"_s;
    result.forwardWhenNotOpen = options.router == RouterAction::Forward;
    result.leaseSeconds = options.leaseSeconds;
    result.timeoutMs = options.timeoutMs;
    result.logLimit = ExchangeLog::kDefaultLimit;
    result.controlPort = options.controlPort;
    result.hairpin = options.hairpin;
    result.externalPort = options.externalPort;
    result.howToSetServer =
        u"Name a server on the internet with --server or QUILLMERE_CHECK_SERVER."_s;

    result.lookAtFirewall = options.lookAtFirewall;
    result.noFirewallReason = u"--no-firewall"_s;
    result.firewallSources = options.firewallSources;
    result.counterFiles = options.counterFiles;

    result.nat = options.nat;
    result.stunServer = options.stunServer;
    return result;
}

ForwardOutcome outcomeOf(const session::ForwardStep& step)
{
    return ForwardOutcome{step.asked, step.removing, step.result, step.text};
}

QJsonObject holdersJson(const service::PortHolders& holders, const QString& text)
{
    QJsonArray processes;
    for (const service::PortSocket& socket : holders.sockets) {
        for (const service::HoldingProcess& process : socket.processes)
            processes.append(QJsonObject{{u"pid"_s, process.pid},
                                         {u"name"_s, process.name},
                                         {u"localAddress"_s, socket.localAddress}});
    }
    return QJsonObject{{u"heldBy"_s, text}, {u"processes"_s, processes}};
}

QString logLines(const QString& heading, const QString& log, const LogEntryEnds& entries)
{
    return heading + escapeLogForTerminal(log, entries.ends());
}

QString resultLines(const session::Report& report)
{
    const session::CheckResult& check = *report.check;
    QString lines = u"Status: "_s + escapeForTerminal(check.text(ResultLabel::Status)) + u'\n' +
                    u"Info: "_s + escapeForTerminal(check.text(ResultLabel::Info)) + u'\n';
    if (check.portLocked)
        return lines;
    lines += u"Ping: "_s + escapeForTerminal(check.text(ResultLabel::PingStatus)) + u'\n';
    lines += u"External IP: "_s + escapeForTerminal(check.text(ResultLabel::ExternalIP)) + u'\n';
    if (check.verdict && check.verdict->message)
        lines += u"Message: "_s + escapeForTerminal(*check.verdict->message) + u'\n';
    if (report.holders.isDone())
        lines += u"Service: "_s +
                 escapeForTerminal(service::describeHolders(*report.holders, quint16(report.port),
                                                            report.protocol)) +
                 u'\n';
    if (!report.serverNote.isEmpty() && !report.firstCheck)
        lines += u"Note: "_s + escapeForTerminal(report.serverNote) + u'\n';
    return lines;
}

QString ipv6Lines(const session::Report& report)
{
    const session::CheckResult& ipv6 = *report.ipv6;
    QString lines = u"IPv6: "_s + escapeForTerminal(ipv6.text(ResultLabel::Status));
    if (!ipv6.portLocked)
        lines += u" ("_s + escapeForTerminal(ipv6.addressText()) + u')';
    lines += u'\n';
    const session::CheckResult& first = *report.check;
    if (ipv6.verdict && first.verdict && !first.portLocked && ipv6.verdict->externalAddress &&
        !ipv6.service) {
        const QString hint = ipv6OnlyHint(first.kind(), ipv6.kind(), *ipv6.verdict->externalAddress,
                                          report.portText);
        if (!hint.isEmpty())
            lines += u"Note: "_s + escapeForTerminal(hint) + u'\n';
    }
    return lines;
}

QString controlPortLine(const session::Report& report)
{
    const QString text = session::controlPortText(report);
    if (text.isEmpty())
        return {};
    QString line = u"Control port: "_s + escapeForTerminal(text);
    if (report.controlPort->open)
        line += u" To do that: "_s + kProgramName + u" --forward --external-port "_s +
                QString::number(report.controlPort->port) + u' ' + QString::number(report.port);
    return line + u'\n';
}

QString hairpinLine(const session::Report& report)
{
    const QString text = session::hairpinText(report);
    if (text.isEmpty())
        return {};
    return u"Inside your network: "_s + escapeForTerminal(text) + u'\n';
}

QJsonValue controlPortJson(const session::Report& report)
{
    if (!report.controlPort.isDone())
        return QJsonValue::Null;
    const session::ControlPortResult& control = *report.controlPort;
    return QJsonObject{
        {u"port"_s, control.port}, {u"open"_s, control.open}, {u"removed"_s, control.removed}};
}

QJsonValue hairpinJson(const session::Report& report)
{
    QJsonValue result = QJsonValue::Null;
    if (report.hairpin.isDone()) {
        switch (report.hairpin->result) {
        case session::HairpinEnd::Works:
            result = u"works"_s;
            break;
        case session::HairpinEnd::Refused:
            result = u"refused"_s;
            break;
        case session::HairpinEnd::TimedOut:
            result = u"timed-out"_s;
            break;
        }
    }
    return QJsonObject{{u"result"_s, result},
                       {u"lanAddress"_s, report.lanAddress.isEmpty()
                                             ? QJsonValue(QJsonValue::Null)
                                             : QJsonValue(report.lanAddress)}};
}

QString natLine(const session::Report& report)
{
    if (!report.nat.isDone())
        return {};
    return u"NAT: "_s + escapeForTerminal(nat::natLine(*report.nat)) + u'\n';
}

QJsonValue natJson(const session::Report& report)
{
    if (!report.nat.isDone())
        return QJsonValue::Null;
    const nat::NatFacts& facts = *report.nat;
    const auto text = [](const QString& value) {
        return value.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(value);
    };
    const auto word = [](const auto& value, auto toWord) {
        return value ? QJsonValue(QString(toWord(*value))) : QJsonValue(QJsonValue::Null);
    };
    return QJsonObject{
        {u"server"_s, facts.server},
        {u"mapping"_s, word(facts.mapping, nat::behaviourWord)},
        {u"filtering"_s, word(facts.filtering, nat::behaviourWord)},
        {u"portPreserved"_s,
         facts.portPreserved ? QJsonValue(*facts.portPreserved) : QJsonValue(QJsonValue::Null)},
        {u"externalAddress"_s, text(facts.externalAddress)},
        {u"type"_s, word(facts.type, nat::natTypeWord)},
        {u"nintendo"_s, word(facts.nintendo, nat::nintendoWord)},
        {u"limits"_s, text(facts.limits)},
    };
}

} // namespace quillmere::cli
