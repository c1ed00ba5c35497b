#include "cli/firewalloutput.h"

#include "cli/terminaltext.h"

#include <QJsonObject>

namespace quillmere::cli {

using namespace Qt::StringLiterals;

QString firewallLine(const firewall::FirewallFacts& facts)
{
    QString line = u"Firewall: "_s + firewall::describe(facts);
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
