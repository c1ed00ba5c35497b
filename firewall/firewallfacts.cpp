#include "firewall/firewallfacts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

namespace quillmere::firewall {

using namespace Qt::StringLiterals;

QLatin1StringView kindWord(Kind kind)
{
    switch (kind) {
    case Kind::Ufw:
        return QLatin1StringView("ufw");
    case Kind::Firewalld:
        return QLatin1StringView("firewalld");
    case Kind::Nftables:
        return QLatin1StringView("nftables");
    case Kind::Unknown:
        break;
    }
    return QLatin1StringView("unknown");
}

QString kindName(Kind kind)
{
    if (kind == Kind::Unknown)
        return u"a firewall on this computer"_s;
    return QString(kindWord(kind));
}

namespace {

QList<QByteArrayView> lineList(QByteArrayView text)
{
    QList<QByteArrayView> result;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            result.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    return result;
}

QList<QByteArrayView> fields(QByteArrayView line)
{
    QList<QByteArrayView> result;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && QChar::isSpace(uchar(line[i])))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && !QChar::isSpace(uchar(line[i])))
            ++i;
        if (i > start)
            result.append(line.sliced(start, i - start));
    }
    return result;
}

std::optional<quint64> hexNumber(QByteArrayView word)
{
    if (word.isEmpty() || word.size() > 16)
        return std::nullopt;
    bool ok = false;
    const quint64 value = word.toByteArray().toULongLong(&ok, 16);
    if (!ok)
        return std::nullopt;
    return value;
}

// A name nftables takes unquoted on its command line, and that a shell leaves alone.
bool plainNftName(const QString& name)
{
    if (name.isEmpty() || name.size() > 64 || !name.at(0).isLetter())
        return false;
    for (const QChar c : name) {
        if (!(c.unicode() < 128 && (c.isLetterOrNumber() || c == u'_' || c == u'-' || c == u'.')))
            return false;
    }
    return true;
}

} // namespace

bool ufwEnabled(QByteArrayView conf)
{
    bool enabled = false;
    for (QByteArrayView line : lineList(conf)) {
        line = line.trimmed();
        if (line.startsWith('#') || !line.startsWith("ENABLED"))
            continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0 || line.first(equals).trimmed() != "ENABLED")
            continue;
        QByteArray value = line.sliced(equals + 1).trimmed().toByteArray().toLower();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.sliced(1, value.size() - 2).trimmed();
        enabled = value == "yes";
    }
    return enabled;
}

bool hasNetAdmin(QByteArrayView status)
{
    for (const QByteArrayView line : lineList(status)) {
        const QList<QByteArrayView> words = fields(line);
        if (words.size() == 2 && words[0] == "CapEff:") {
            const auto mask = hexNumber(words[1]);
            return mask && (*mask & (quint64(1) << 12)) != 0;
        }
    }
    return false;
}

QString defaultRouteInterface(QByteArrayView route, QByteArrayView ipv6Route)
{
    QString best;
    std::optional<quint64> bestMetric;
    for (const QByteArrayView line : lineList(route)) {
        // Iface Destination Gateway Flags RefCnt Use Metric Mask ...
        const QList<QByteArrayView> words = fields(line);
        if (words.size() < 8 || words[0] == "Iface")
            continue;
        const auto destination = hexNumber(words[1]);
        const auto flags = hexNumber(words[3]);
        const auto metric = hexNumber(words[6]);
        const auto mask = hexNumber(words[7]);
        // RTF_UP (0x1) on a route to 0.0.0.0/0.
        if (!destination || !flags || !metric || !mask || *destination != 0 || *mask != 0 ||
            !(*flags & 0x1))
            continue;
        if (!bestMetric || *metric < *bestMetric) {
            bestMetric = metric;
            best = QString::fromUtf8(words[0]);
        }
    }
    if (!best.isEmpty())
        return best;
    for (const QByteArrayView line : lineList(ipv6Route)) {
        // dest plen src srcplen nexthop metric refcnt use flags iface
        const QList<QByteArrayView> words = fields(line);
        if (words.size() < 10 || words[0] != "00000000000000000000000000000000" || words[1] != "00")
            continue;
        const auto metric = hexNumber(words[5]);
        const auto flags = hexNumber(words[8]);
        // RTF_UP without RTF_REJECT (0x200): the kernel's "unreachable" default over lo is
        // no route.
        if (!metric || !flags || !(*flags & 0x1) || (*flags & 0x200) || words[9] == "lo")
            continue;
        if (!bestMetric || *metric < *bestMetric) {
            bestMetric = metric;
            best = QString::fromUtf8(words[9]);
        }
    }
    return best;
}

std::optional<NftChain> nftInputChain(QByteArrayView json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toByteArray());
    const QJsonArray items = document.object().value(u"nftables"_s).toArray();
    struct Candidate
    {
        NftChain chain;
        bool decides = false;
    };
    QList<Candidate> chains;
    for (const QJsonValue& item : items) {
        const QJsonObject chain = item.toObject().value(u"chain"_s).toObject();
        if (chain.isEmpty() || chain.value(u"hook"_s).toString() != u"input"_s ||
            chain.value(u"type"_s).toString() != u"filter"_s)
            continue;
        const QString family = chain.value(u"family"_s).toString();
        if (family != u"inet"_s && family != u"ip"_s && family != u"ip6"_s)
            continue;
        chains.append({NftChain{family, chain.value(u"table"_s).toString(),
                                chain.value(u"name"_s).toString()},
                       chain.value(u"policy"_s).toString() == u"drop"_s});
    }
    if (chains.isEmpty())
        return std::nullopt;
    for (const QJsonValue& item : items) {
        const QJsonObject rule = item.toObject().value(u"rule"_s).toObject();
        if (rule.isEmpty())
            continue;
        bool stops = false;
        for (const QJsonValue& expression : rule.value(u"expr"_s).toArray()) {
            const QJsonObject object = expression.toObject();
            stops = stops || object.contains(u"drop"_s) || object.contains(u"reject"_s);
        }
        if (!stops)
            continue;
        for (Candidate& candidate : chains) {
            if (candidate.chain.family == rule.value(u"family"_s).toString() &&
                candidate.chain.table == rule.value(u"table"_s).toString() &&
                candidate.chain.chain == rule.value(u"chain"_s).toString())
                candidate.decides = true;
        }
    }
    for (const Candidate& candidate : chains) {
        if (candidate.decides)
            return candidate.chain;
    }
    return chains.first().chain;
}

QString shellWord(const QString& word)
{
    bool plain = !word.isEmpty();
    for (const QChar c : word) {
        if (!(c.unicode() < 128 &&
              (c.isLetterOrNumber() || QStringView(u"_-.,:/=+@%").contains(c))))
            plain = false;
    }
    if (plain)
        return word;
    QString quoted = word;
    quoted.replace(u'\'', u"'\\''"_s);
    return u'\'' + quoted + u'\'';
}

std::optional<QString> fixCommand(const Detection& detection, int port, ProbeProtocol protocol)
{
    if (!detection.found || port <= 0 || port > 65535)
        return std::nullopt;
    const QString portProtocol = QString::number(port) + u'/' + protocolWord(protocol);
    switch (*detection.found) {
    case Kind::Ufw:
        return u"sudo ufw allow "_s + portProtocol;
    case Kind::Firewalld: {
        // The default route's interface is in a zone other than the default one: the port is
        // opened there. Without --zone firewall-cmd would open it in the default zone.
        QString zone;
        if (!detection.zone.isEmpty() && detection.zone != detection.defaultZone)
            zone = u" --zone="_s + shellWord(detection.zone);
        return u"sudo firewall-cmd"_s + zone + u" --permanent --add-port="_s + portProtocol +
               u" && sudo firewall-cmd --reload"_s;
    }
    case Kind::Nftables: {
        if (!detection.nftChain || !plainNftName(detection.nftChain->table) ||
            !plainNftName(detection.nftChain->chain))
            return std::nullopt;
        // "insert", not "add": a rule added at the end comes after the rules that drop, and
        // would never be reached.
        return u"sudo nft insert rule "_s + detection.nftChain->family + u' ' +
               detection.nftChain->table + u' ' + detection.nftChain->chain + u' ' +
               protocolWord(protocol) + u" dport "_s + QString::number(port) + u" accept"_s;
    }
    case Kind::Unknown:
        break;
    }
    return std::nullopt;
}

FirewallFacts combine(const Detection& detection, const ProbeEvidence& evidence, int port,
                      ProbeProtocol protocol)
{
    FirewallFacts facts;
    facts.found = detection.found;
    // Something here dropped the probe though no firewall was found (rules nft does not show,
    // such as iptables-legacy's): one is there all the same, unnamed.
    if (evidence.blocks == true && !facts.found)
        facts.found = Kind::Unknown;
    facts.blocks = evidence.blocks;
    facts.evidence = evidence.line;
    if (detection.found == Kind::Firewalld && detection.portAllowed && !evidence.blocks) {
        facts.evidence += *detection.portAllowed
                              ? u"; firewalld allows the port in zone "_s + detection.zone
                              : u"; firewalld does not allow the port in zone "_s + detection.zone;
    }
    if (evidence.blocks != false)
        facts.fix = fixCommand(detection, port, protocol);
    facts.zone = detection.zone;
    facts.interface = detection.interface;
    return facts;
}

QString describe(const FirewallFacts& facts)
{
    // Something that blocks is a firewall, found by name or not.
    QString who = !facts.found && facts.blocks != true
                      ? u"none found"_s
                      : kindName(facts.found.value_or(Kind::Unknown));
    if (facts.found == Kind::Firewalld && !facts.zone.isEmpty()) {
        who += u" (zone "_s + facts.zone;
        if (!facts.interface.isEmpty())
            who += u" of "_s + facts.interface;
        who += u')';
    }
    QString what;
    if (!facts.found && facts.blocks != true)
        what = u"; "_s;
    else if (facts.blocks == true)
        what = u", blocks the port: "_s;
    else if (facts.blocks == false)
        what = u", does not block the port: "_s;
    else
        what = u", cannot tell whether it blocks the port: "_s;
    return who + what + facts.evidence;
}

} // namespace quillmere::firewall
