#include "router/describe.h"

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

QString portName(int port, ProbeProtocol protocol)
{
    return u"port "_s + QString::number(port) + u'/' + protocolWord(protocol);
}

QString lease(qint64 seconds)
{
    return seconds == 0 ? u"no end to its lease"_s
                        : u"lease "_s + QString::number(seconds) + u" s"_s;
}

QString device(const Mapping& mapping)
{
    // A router that named no address for the device gave nothing to show but that.
    QString text = (mapping.internalClient.isEmpty() ? u"unknown"_s : mapping.internalClient) +
                   u':' + QString::number(mapping.internalPort);
    QStringList about;
    if (!mapping.name.isEmpty())
        about << mapping.name;
    if (!mapping.description.isEmpty())
        about << u'"' + mapping.description + u'"';
    if (!about.isEmpty())
        text += u" ("_s + about.join(u", "_s) + u')';
    if (mapping.thisComputer)
        text += u", this computer"_s;
    return text;
}

} // namespace

QString describeRouter(const RouterFacts& facts, int port, ProbeProtocol protocol)
{
    if (!facts.found) {
        QString text = u"none answered UPnP or NAT-PMP"_s;
        if (!facts.error.isEmpty())
            text += u" ("_s + facts.error + u')';
        return text;
    }
    QString text = facts.address.isEmpty() ? u"a router"_s : facts.address;
    text += facts.via == Via::Natpmp ? u" over NAT-PMP"_s
            : facts.via == Via::Pcp  ? u" over PCP"_s
                                     : u" over UPnP"_s;
    text += facts.externalAddress.isEmpty() ? u", no internet address given"_s
                                            : u", internet address "_s + facts.externalAddress;
    text += u"; "_s + portName(port, protocol);
    if (facts.mapping)
        text +=
            u" goes to "_s + device(*facts.mapping) + u", "_s + lease(facts.mapping->leaseSeconds);
    else if (facts.mappingQueried)
        text += u" has no UPnP mapping (a forward made by hand in the router's settings does not "
                u"show here)"_s;
    else
        text += u": the router cannot list its mappings over NAT-PMP"_s;
    return text;
}

namespace {

QString viaName(Via via)
{
    if (via == Via::Upnp)
        return u"UPnP"_s;
    if (via == Via::Natpmp)
        return u"NAT-PMP"_s;
    return QString(viaWord(via)).toUpper();
}

// "the IPv6 pinhole for port 8080/tcp is open (over UPnP): the router lets connections in to
// 2001:db8::10 (pinhole 3, lease 3600 s)", or what went wrong.
QString describePinhole(const ForwardResult& result, int port, ProbeProtocol protocol,
                        bool removing)
{
    const QString what = u"the IPv6 pinhole for "_s + portName(port, protocol);
    if (!result.ok)
        return (removing ? u"could not remove "_s : u"could not open "_s) + what +
               (result.error.isEmpty() ? QString() : u": "_s + result.error);
    const QString over =
        result.via == Via::None ? QString() : u" (over "_s + viaName(result.via) + u')';
    if (removing)
        return what + u" is closed"_s + over;
    QString text = what + u" is open"_s + over;
    if (result.pinhole)
        text += u": the router lets connections in to "_s + result.pinhole->internalAddress +
                u" ("_s +
                (result.pinhole->uniqueId.isEmpty()
                     ? QString()
                     : u"pinhole "_s + result.pinhole->uniqueId + u", "_s) +
                lease(result.pinhole->leaseSeconds) + u')';
    return text;
}

} // namespace

QString describeForward(const ForwardResult& result, int port, ProbeProtocol protocol,
                        bool removing)
{
    if (result.kind == ForwardKind::Pinhole)
        return describePinhole(result, port, protocol, removing);
    // A mapping from another router port names both: "external port 50123/tcp" and "this
    // computer's port 25565".
    const bool other = result.externalPort != 0 && result.externalPort != port;
    const QString what =
        other ? u"external "_s + portName(result.externalPort, protocol) : portName(port, protocol);
    const QString target =
        other ? u"this computer's port "_s + QString::number(port) : u"this computer"_s;
    if (!result.ok) {
        QString text =
            (removing ? u"could not remove the mapping of "_s : u"could not forward "_s) + what;
        if (other && !removing)
            text += u" to "_s + target;
        if (result.conflict && result.mapping)
            text += u": it goes to "_s + device(*result.mapping) + u", which keeps it"_s;
        if (!result.error.isEmpty())
            text += u": "_s + result.error;
        return text;
    }
    if (removing)
        return what + u" no longer goes to this computer"_s;
    QString text = what + u" now goes to "_s + target;
    if (result.mapping)
        text += u" ("_s + result.mapping->internalClient + u"), "_s +
                lease(result.mapping->leaseSeconds);
    if (result.permanentOnly)
        text += u"; the router takes only mappings without an end, so remove it when you no "
                u"longer need it"_s;
    return text;
}

QString routerLogSection(const RouterFacts& facts)
{
    QString section =
        u"ROUTER: "_s +
        (facts.found ? u"answered over "_s + viaWord(facts.via) : u"none answered"_s) + u"\r\n"_s;
    for (const QString& line : facts.log)
        section += line + u"\r\n"_s;
    return section;
}

} // namespace quillmere::router
