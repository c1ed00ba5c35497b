#include "session/diagnosis.h"

#include "netranges/netranges.h"
#include "router/pcp.h"

#include <algorithm>
#include <optional>

namespace quillmere::router {

QLatin1StringView findingCode(Finding finding)
{
    switch (finding) {
    case Finding::ForwardedHere:
        return QLatin1StringView("forwarded-here");
    case Finding::ForwardedElsewhere:
        return QLatin1StringView("forwarded-elsewhere");
    case Finding::NotForwarded:
        return QLatin1StringView("not-forwarded");
    case Finding::ForwardedButBlocked:
        return QLatin1StringView("forwarded-but-blocked");
    case Finding::CarrierNat:
        return QLatin1StringView("carrier-nat");
    case Finding::DoubleNat:
        return QLatin1StringView("double-nat");
    case Finding::AnotherNat:
        return QLatin1StringView("another-nat");
    case Finding::NoRouter:
        return QLatin1StringView("no-router");
    case Finding::BlockedUpstream:
        return QLatin1StringView("blocked-upstream");
    case Finding::BlockedByThisComputer:
        return QLatin1StringView("blocked-by-this-computer");
    case Finding::NoCheckResult:
        break;
    }
    return QLatin1StringView("no-check-result");
}

namespace {

using namespace Qt::StringLiterals;

std::optional<quint32> ipv4Of(const QHostAddress& address)
{
    bool ok = false;
    const quint32 value = address.toIPv4Address(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

// What the table of special ranges says of an address; nullopt for no address. An IPv6
// address that stands for an IPv4 one is judged as that IPv4 address.
struct RangeClass
{
    netranges::Kind kind = netranges::Kind::Global;
    bool global = true; // globally reachable
};

std::optional<RangeClass> rangeClass(const QHostAddress& address)
{
    if (const auto v4 = ipv4Of(address)) {
        const netranges::Ipv4Bytes bytes{static_cast<quint8>(*v4 >> 24),
                                         static_cast<quint8>(*v4 >> 16),
                                         static_cast<quint8>(*v4 >> 8), static_cast<quint8>(*v4)};
        return RangeClass{netranges::kindOf(bytes), netranges::isGloballyReachable(bytes)};
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return std::nullopt;
    netranges::Ipv6Bytes bytes{};
    const Q_IPV6ADDR raw = address.toIPv6Address();
    std::copy(std::begin(raw.c), std::end(raw.c), bytes.begin());
    return RangeClass{netranges::kindOf(bytes), netranges::isGloballyReachable(bytes)};
}

QHostAddress parsed(const QString& text)
{
    QHostAddress address;
    if (!address.setAddress(text.trimmed()))
        return {};
    return address;
}

bool isIpv6(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol && !ipv4Of(address);
}

// "port 8080/tcp", "port 8080", or "the port".
QString portName(const CheckFacts& check)
{
    if (check.port <= 0)
        return u"the port"_s;
    QString text = u"port "_s + QString::number(check.port);
    if (check.protocol)
        text += u'/' + protocolWord(*check.protocol);
    return text;
}

QString capitalised(QString text)
{
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

// This computer's address on the LAN, for "forward it to this computer (192.168.1.10)".
QString thisComputer(const CheckFacts& check, const RouterFacts& router)
{
    QHostAddress own = parsed(router.localAddress);
    if (own.isNull()) {
        for (const QString& text : check.localAddresses) {
            const QHostAddress address = parsed(text);
            if (ipv4Of(address) && !address.isLoopback()) {
                own = address;
                break;
            }
        }
    }
    return own.isNull() ? u"this computer"_s : u"this computer ("_s + own.toString() + u')';
}

// 192.168.1.20 (dvr.lan, "Camera")
QString deviceName(const Mapping& mapping)
{
    // Only an address names the device: anything else a router put there is no name of it.
    QString text = QHostAddress(mapping.internalClient).isNull() ? QString()
                                                                 : quotable(mapping.internalClient);
    if (text.isEmpty())
        text = u"another device"_s;
    QStringList about;
    if (const QString name = quotable(mapping.name); !name.isEmpty())
        about << name;
    if (const QString description = quotable(mapping.description); !description.isEmpty())
        about << u'"' + description + u'"';
    if (!about.isEmpty())
        text += u" ("_s + about.join(u", "_s) + u')';
    return text;
}

bool seenIsOwn(const CheckFacts& check, const QHostAddress& seen)
{
    if (seen.isNull())
        return false;
    for (const QString& text : check.localAddresses)
        if (parsed(text).isEqual(seen, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    return false;
}

// What the addresses say about NATs beyond the router.
struct NatEvidence
{
    bool carrier = false;
    bool twice = false; // double NAT
    QString carrierWhy; // "the router's internet address, 100.64.1.2, is ..."
    QString twiceWhy;
    QString outerRouter; // the address of the router in front of this one, when a hop gave it
};

NatEvidence natEvidence(const CheckFacts& check, const RouterFacts& router,
                        const QHostAddress& seen)
{
    NatEvidence found;
    if (isIpv6(seen))
        return found; // the check went over IPv6: no NAT on its way
    const QHostAddress wan = parsed(router.externalAddress);
    if (router.found && isCarrierGrade(wan)) {
        found.carrier = true;
        found.carrierWhy = u"the router's internet address, "_s + wan.toString() +
                           u", is in 100.64.0.0/10, the range kept for that"_s;
    }
    if (router.found && isPrivate(wan)) {
        found.twice = true;
        found.twiceWhy =
            u"the router's internet address, "_s + wan.toString() + u", is a private one"_s;
    }
    // Routers often hide the address that tells these apart (a reserved one is blanked, NAT-PMP
    // answers "network failure"); the first hops tell it then. Hop 1 is the router itself.
    const bool askHops = router.found ? !isPublic(wan) : !seenIsOwn(check, seen);
    if (!askHops)
        return found;
    for (const Hop& hop : router.hops) {
        const QHostAddress address = parsed(hop.address);
        if (hop.ttl >= 2 && !found.carrier && isCarrierGrade(address)) {
            found.carrier = true;
            found.carrierWhy = u"hop "_s + QString::number(hop.ttl) + u" on the way out, "_s +
                               address.toString() +
                               u", is in 100.64.0.0/10, the range kept for that"_s;
        }
        // Only the hop right after the router: further on, providers' own routers often have
        // private addresses.
        if (hop.ttl == 2 && isPrivate(address)) {
            found.outerRouter = address.toString();
            if (!found.twice) {
                found.twice = true;
                found.twiceWhy = u"the first hop after it, "_s + address.toString() +
                                 u", has a private address"_s;
            }
        }
    }
    return found;
}

Diagnosis make(Finding finding, QString headline, QString nextStep)
{
    return {finding, std::move(headline), std::move(nextStep)};
}

// The probe got through the internet (and the router) to this computer, and its firewall stopped
// it: the firewall is named when it is known, and its command is the next step.
Diagnosis blockedHere(const firewall::FirewallFacts& facts, const QString& port, bool mappedHere)
{
    const firewall::Kind kind = facts.found.value_or(firewall::Kind::Unknown);
    QString who = kind == firewall::Kind::Unknown
                      ? u"A firewall on this computer"_s
                      : u"This computer's firewall ("_s + firewall::kindName(kind) + u')';
    if (kind == firewall::Kind::Firewalld && !facts.zone.isEmpty())
        who = u"This computer's firewall (firewalld, zone "_s + quotable(facts.zone) + u')';
    QString next;
    if (facts.fix)
        next = u"Open the port in it: "_s + *facts.fix + u" (then check again)."_s;
    else
        next = u"Allow "_s + port + u" in this computer's firewall settings, then check again."_s;
    if (mappedHere)
        next += u" The router already forwards the port here over UPnP."_s;
    return make(Finding::BlockedByThisComputer,
                who + u" blocks "_s + port +
                    u": the check's probe reached this computer and went no further."_s,
                next);
}

} // namespace

bool isCarrierGrade(const QHostAddress& address)
{
    const auto range = rangeClass(address);
    return range && ipv4Of(address) && range->kind == netranges::Kind::Shared;
}

bool isPrivate(const QHostAddress& address)
{
    const auto range = rangeClass(address);
    return range && ipv4Of(address) && range->kind == netranges::Kind::Private;
}

bool isPublic(const QHostAddress& address)
{
    const auto range = rangeClass(address);
    return range && range->global;
}

bool isLocalNetworkAddress(const QHostAddress& address)
{
    using enum netranges::Kind;
    const auto range = rangeClass(address);
    return range && (range->kind == Unspecified || range->kind == Loopback ||
                     range->kind == LinkLocal || range->kind == Private);
}

QString localServerNote(const CheckServerAddress& server, const QList<QHostAddress>& addresses,
                        QStringView howToSet)
{
    if (addresses.isEmpty() ||
        !std::all_of(addresses.cbegin(), addresses.cend(),
                     [](const QHostAddress& address) { return isLocalNetworkAddress(address); }))
        return {};
    return u"The check server "_s + server.authority() +
           u" is on this computer or your local network, so this result cannot speak for your "
           u"router. "_s +
           howToSet;
}

QString quotable(const QString& text, qsizetype limit)
{
    QString clean;
    clean.reserve(std::min(text.size(), limit + 1));
    for (const QChar c : text) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            continue;
        default:
            clean += c;
        }
    }
    clean = clean.trimmed();
    if (limit <= 0)
        return {};
    if (clean.size() <= limit)
        return clean;
    qsizetype cut = std::max<qsizetype>(limit - 1, 0);
    if (cut > 0 && clean.at(cut - 1).isHighSurrogate())
        --cut; // never half a character
    return clean.left(cut) + u'…';
}

// The finding, first match wins:
//  1. no result from the check (or none yet)        no-check-result
//  2. the check arrived here                        forwarded-here (whatever a mapping says)
//  2a. not open, and the counters (or a refusal while Quillmere listened) show the probe
//      arrived at this computer and was dropped or rejected here    blocked-by-this-computer
//      (before every router and NAT finding, since a probe that got this far passed all of
//      them; but not when the router maps the port to another device, which the probe went to)
//  3. a UPnP mapping of the port to another device  forwarded-elsewhere, naming it
//  4. the router's WAN address in 100.64/10, or (where the router gives no public WAN
//     address, or none answered and the server saw none of this computer's addresses) a hop
//     past the router in it                          carrier-nat
//  5. the same with a private WAN address, or a private hop right after the router
//                                                   double-nat
//  6. the router's WAN address is public but not what the server saw    another-nat
//  7. open on another device with no mapping elsewhere in sight         forwarded-elsewhere
//  8. no router answered                            no-router
//  9. a UPnP mapping of the port to this computer   forwarded-but-blocked
// 10. otherwise                                     not-forwarded
// Carrier NAT comes before double NAT: no forward on any router at home gets past it. NAT codes
// come from IPv4 only: when the server saw an IPv6 address, no NAT stood in the check's way.
Diagnosis diagnose(const CheckFacts& check, const RouterFacts& router)
{
    const QString port = portName(check);
    const QString here = thisComputer(check, router);

    if (check.verdict == VerdictKind::NoResult || check.verdict == VerdictKind::Pending) {
        if (check.verdict == VerdictKind::Pending)
            return make(Finding::NoCheckResult,
                        u"The check has not finished, so there is nothing to judge yet."_s,
                        u"Wait for its result."_s);
        return make(Finding::NoCheckResult,
                    u"The check server gave no result, so there is nothing to judge."_s,
                    u"Check again. If the server stays out of reach, make sure this computer is "
                    u"online, or choose another check server."_s);
    }

    const std::optional<Mapping>& mapping = router.mapping;
    const bool mappedHere = mapping && mapping->thisComputer;
    const bool mappedElsewhere = mapping && !mapping->thisComputer;

    if (check.verdict == VerdictKind::OpenHere) {
        QString next = u"Nothing to do: it works."_s;
        if (mappedElsewhere)
            next += u" The router's UPnP mapping of it names another device, "_s +
                    deviceName(*mapping) +
                    u", yet the check arrived here: a forward made by hand in the router's "
                    u"settings may come first. Remove that mapping if the device no longer "
                    u"needs it."_s;
        else if (mappedHere)
            next += u" The router forwards it here over UPnP."_s;
        return make(Finding::ForwardedHere,
                    capitalised(port) +
                        u" is open on this computer: the check reached it from the internet."_s,
                    next);
    }

    // A router that sends the port to another device sends the probe there too: what vanished
    // here meanwhile was other traffic, and that device is the finding.
    if (check.verdict == VerdictKind::NotOpen && check.firewall && check.firewall->blocks == true &&
        !mappedElsewhere)
        return blockedHere(*check.firewall, port, mappedHere);

    if (mappedElsewhere) {
        QString next;
        if (check.verdict == VerdictKind::NotOpen)
            next = u"That device did not answer the check either. "_s;
        next += u"To use the port here, remove that mapping (or stop the program on that device "
                u"that made it) and forward the port to "_s +
                here + u'.';
        return make(Finding::ForwardedElsewhere,
                    u"The router sends "_s + port + u" to another device, "_s +
                        deviceName(*mapping) + u", not to this computer."_s,
                    next);
    }

    const QHostAddress seen = parsed(check.externalAddress);
    const QHostAddress wan = parsed(router.externalAddress);
    const NatEvidence nat = natEvidence(check, router, seen);

    if (nat.carrier) {
        QString headline = u"Your internet provider shares its public IPv4 addresses among "
                           u"customers (carrier-grade NAT): "_s +
                           nat.carrierWhy + u'.';
        QString next = u"No forward on a router at home can open a port behind it. Ask your "
                       u"provider for a public IPv4 address (many give one on request), or use "
                       u"IPv6 where both ends have it."_s;
        // The NAT answered a PCP MAP of this computer's: it maps ports, or it refused to.
        if (router.pcpMapResult == pcp::Success)
            next = u"Your ISP lets you map ports: Quillmere can do it. Its NAT took a PCP "
                   u"mapping from this computer (quillmere-check --forward --via pcp, or the "
                   u"window's forward button)."_s;
        else if (router.pcpMapResult == pcp::NoResources ||
                 router.pcpMapResult == pcp::NotAuthorized)
            next = u"Ask your ISP for a public address or a mapping: its NAT refused this "_s
                   u"computer's PCP mapping ("_s +
                   pcp::resultName(*router.pcpMapResult) + u")."_s;
        if (nat.twice)
            next +=
                u" Your router is also behind another router of yours: "_s + nat.twiceWhy + u'.';
        return make(Finding::CarrierNat, headline, next);
    }

    if (nat.twice) {
        const QString outer = nat.outerRouter.isEmpty()
                                  ? u"the other router"_s
                                  : u"the other router ("_s + nat.outerRouter + u')';
        return make(Finding::DoubleNat,
                    u"Your router is behind another router (double NAT): "_s + nat.twiceWhy + u'.',
                    u"Forward "_s + port + u" on "_s + outer +
                        u" to your router's internet (WAN) address, or put your router in its "
                        u"DMZ, or switch the other router to bridge mode; then forward the port "
                        u"on your router to "_s +
                        here + u'.');
    }

    if (router.found && isPublic(wan) && !seen.isNull() && ipv4Of(seen) &&
        !wan.isEqual(seen, QHostAddress::ConvertV4MappedToIPv4)) {
        return make(Finding::AnotherNat,
                    u"The router's internet address, "_s + wan.toString() +
                        u", is not the one the check server saw, "_s + seen.toString() +
                        u": another NAT or a VPN lies between your router and the internet."_s,
                    u"If this computer or the router uses a VPN, forward the port at the VPN "
                    u"provider or check without the VPN. Otherwise ask your internet provider "
                    u"what sits in front of your router."_s);
    }

    if (check.verdict == VerdictKind::OpenElsewhere) {
        QString next;
        if (!router.found)
            next = u"No router answered UPnP or NAT-PMP, so it cannot say where the port goes. "_s;
        else if (mappedHere)
            next = u"The router's UPnP mapping sends the port here, yet the check reached "
                   u"another device: a forward made by hand in the router's settings, or the "
                   u"router itself, may take the port first. "_s;
        else if (router.mappingQueried)
            next = u"The router has no UPnP mapping of the port, so this is most likely a "
                   u"forward made by hand in its settings, which UPnP cannot see. "_s;
        else
            next = (router.via == Via::Pcp ? u"PCP"_s : u"NAT-PMP"_s) +
                   u" cannot list the router's forwards. "_s;
        next += u"Look for the port's forward in the router's settings and point it to "_s + here +
                u". If it already does, check again: a busy network can delay the probe."_s;
        return make(Finding::ForwardedElsewhere,
                    capitalised(port) +
                        u" is open, but on another device: the check got into your network and "
                        u"its probe did not arrive at this computer."_s,
                    next);
    }

    // Not open from here on.
    if (!router.found) {
        if (seenIsOwn(check, seen))
            return make(Finding::NoRouter,
                        capitalised(port) +
                            u" is not open, and no router answered: the server "
                            u"saw this computer's own address, "_s +
                            seen.toString() + u", so nothing but its firewall stands in the way."_s,
                        u"Allow "_s + port +
                            u" in this computer's firewall, and keep the program that uses it "
                            u"running."_s);
        return make(Finding::NoRouter,
                    u"No router answered UPnP or NAT-PMP, so the check's verdict stands alone: "_s +
                        port + u" is not open."_s,
                    u"Forward the port to "_s + here +
                        u" in the router's settings (UPnP may be turned off there), and allow it "
                        u"in this computer's firewall."_s);
    }

    if (mappedHere) {
        return make(Finding::ForwardedButBlocked,
                    u"The router forwards "_s + port +
                        u" to this computer over UPnP, but the check's probe did not arrive."_s,
                    u"Most likely a firewall drops it: allow the port in this computer's "
                    u"firewall. If it is allowed, your internet provider may block the port: "
                    u"ask them, or use another port."_s);
    }

    if (isIpv6(seen))
        return make(Finding::NotForwarded,
                    capitalised(port) + u" is not open at the IPv6 address the server saw, "_s +
                        seen.toString() + u'.',
                    u"IPv6 needs no forward, but the router's firewall has to let the port in: "
                    u"allow it there for this computer, and in this computer's own firewall."_s);

    const QString forwardIt =
        u"Forward the port to "_s + here +
        (router.canMap ? u": Quillmere can ask the router for it, or set it up in the router's "
                         u"settings. Allow it in this computer's firewall too."_s
                       : u" in the router's settings, and allow it in this computer's firewall."_s);
    if (router.mappingQueried)
        return make(
            Finding::NotForwarded,
            capitalised(port) + u" is not open, and the router has no UPnP mapping of it."_s,
            forwardIt + u" A forward made by hand in the router's settings does not show over "
                        u"UPnP: if there is one, make sure it names this computer and the port."_s);
    // PCP, like NAT-PMP, cannot list a router's mappings.
    const QString protocol = router.via == Via::Pcp ? u"PCP"_s : u"NAT-PMP"_s;
    return make(Finding::NotForwarded,
                capitalised(port) + u" is not open, and "_s + protocol +
                    u" cannot tell whether the router forwards it."_s,
                forwardIt + u" If the router has a forward of it already, make sure it names "
                            u"this computer and the port."_s);
}

bool isCommonlyBlocked(int port)
{
    return port == 25 || port == 80 || port == 443 || port == 445 || (port >= 135 && port <= 139);
}

Diagnosis controlPortDiagnosis(int port, ProbeProtocol protocol, int controlPort, bool controlOpen,
                               std::optional<bool> probeArrivedHere)
{
    const QString name = u"port "_s + QString::number(port) + u'/' + protocolWord(protocol);
    const QString control = u"port "_s + QString::number(controlPort);
    if (!controlOpen)
        return Diagnosis{
            Finding::ForwardedButBlocked,
            u"The path from the internet is closed for every port tried: the router forwards "_s +
                name + u" to this computer, and neither it nor the control "_s + control +
                u", mapped the same way, got through."_s,
            u"The router may not be the one the internet reaches (another router or the "
            u"provider's NAT in front of it), or a firewall before it drops everything: put the "
            u"router in front in bridge mode or forward the port there too, or ask your internet "
            u"provider."_s};
    const QString commonly =
        isCommonlyBlocked(port)
            ? u" Port "_s + QString::number(port) +
                  u" is one that providers commonly block (25, 80, 443, 445 and 135-139 are the "
                  u"usual ones)."_s
            : QString();
    const QString otherPort = u"have the router map its port "_s + QString::number(controlPort) +
                              u" to this computer's port "_s + QString::number(port) +
                              u", and give people port "_s + QString::number(controlPort) + u'.';
    if (probeArrivedHere == false)
        return Diagnosis{Finding::BlockedUpstream,
                         u"Something before this computer blocks "_s + name +
                             u": the router forwards it here and the control "_s + control +
                             u", mapped the same way, got through, while nothing of the probe "
                             u"arrived here, so your internet provider or a device in front of "
                             u"the router drops "_s +
                             name + u'.' + commonly,
                         u"Use another external port: "_s + otherPort +
                             u" Or ask your provider to unblock the port."_s};
    // Whether the probe reached this computer is not known: its own firewall may drop the port
    // just as well as something before it.
    return Diagnosis{Finding::ForwardedButBlocked,
                     capitalised(name) +
                         u" is dropped on its own: the router forwards it here and the control "_s +
                         control +
                         u", mapped the same way, got through. Either this computer's firewall "
                         u"drops it, or your internet provider or a device in front of the "
                         u"router blocks it."_s +
                         commonly,
                     u"Allow the port in this computer's firewall; if it is allowed, use another "
                     u"external port: "_s +
                         otherPort};
}

} // namespace quillmere::router
