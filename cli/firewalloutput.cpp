#include "cli/firewalloutput.h"

#include "cli/terminaltext.h"

#include <QJsonObject>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

QString firewallLine(const firewall::FirewallFacts& facts)
{
    // Something that blocks is a firewall, found by name or not.
    QString who = !facts.found && facts.blocks != true
                      ? u"none found"_s
                      : firewall::kindName(facts.found.value_or(firewall::Kind::Unknown));
    if (facts.found == firewall::Kind::Firewalld && !facts.zone.isEmpty()) {
        who += u" (zone "_s + facts.zone;
        if (!facts.interface.isEmpty())
            who += u" of "_s + facts.interface;
        who += u')';
    }
    QString what;
    if (facts.blocks == true)
        what = u", blocks the port: "_s;
    else if (facts.blocks == false)
        what = u", does not block the port: "_s;
    else
        what = u", cannot tell whether it blocks the port: "_s;
    if (!facts.found && facts.blocks != true)
        what = u"; "_s;
    QString line = u"Firewall: "_s + who + what + facts.evidence;
    if (facts.fix)
        line += (facts.blocks == true ? u". To open it: "_s : u". If it does, to open it: "_s) +
                *facts.fix;
    return escapeForTerminal(line);
}

QJsonValue firewallJson(const std::optional<firewall::FirewallFacts>& facts)
{
    if (!facts)
        return QJsonValue(QJsonValue::Null);
    return QJsonObject{
        {u"found"_s, facts->found ? QJsonValue(QString(firewall::kindWord(*facts->found)))
                                  : QJsonValue(QJsonValue::Null)},
        {u"blocks"_s, facts->blocks ? QJsonValue(*facts->blocks) : QJsonValue(QJsonValue::Null)},
        {u"evidence"_s, facts->evidence},
        {u"fix"_s, facts->fix ? QJsonValue(*facts->fix) : QJsonValue(QJsonValue::Null)},
    };
}

} // namespace quillmere::cli
