#include "nat/natlabels.h"

#include <QStringBuilder>

#include <array>
#include <cstdlib>

namespace quillmere::nat {

QLatin1StringView behaviourWord(Behaviour behaviour)
{
    switch (behaviour) {
    case Behaviour::None:
        return QLatin1StringView("none");
    case Behaviour::EndpointIndependent:
        return QLatin1StringView("endpoint-independent");
    case Behaviour::AddressDependent:
        return QLatin1StringView("address-dependent");
    case Behaviour::AddressAndPortDependent:
        return QLatin1StringView("address-and-port-dependent");
    }
    return QLatin1StringView();
}

QLatin1StringView natTypeWord(NatType type)
{
    switch (type) {
    case NatType::Open:
        return QLatin1StringView("open");
    case NatType::Moderate:
        return QLatin1StringView("moderate");
    case NatType::Strict:
        return QLatin1StringView("strict");
    }
    return QLatin1StringView();
}

QLatin1StringView nintendoWord(Nintendo nintendo)
{
    switch (nintendo) {
    case Nintendo::A:
        return QLatin1StringView("A");
    case Nintendo::B:
        return QLatin1StringView("B");
    case Nintendo::C:
        return QLatin1StringView("C");
    case Nintendo::D:
        return QLatin1StringView("D");
    case Nintendo::F:
        return QLatin1StringView("F");
    }
    return QLatin1StringView();
}

namespace {

// Sets of values a row accepts, one bit each.
enum : unsigned {
    kNone = 1u << 0,
    kIndependent = 1u << 1,
    kAddress = 1u << 2,
    kAddressAndPort = 1u << 3,
    kUntold = 1u << 4,
    kDependent = kAddress | kAddressAndPort,
    kAnyBehaviour = kNone | kIndependent | kDependent | kUntold,
};
enum : unsigned { kYes = 1u << 0, kNo = 1u << 1, kAny = kYes | kNo | kUntold };

unsigned bit(const std::optional<Behaviour>& behaviour)
{
    if (!behaviour)
        return kUntold;
    switch (*behaviour) {
    case Behaviour::None:
        return kNone;
    case Behaviour::EndpointIndependent:
        return kIndependent;
    case Behaviour::AddressDependent:
        return kAddress;
    case Behaviour::AddressAndPortDependent:
        return kAddressAndPort;
    }
    return kUntold;
}

unsigned bit(bool value)
{
    return value ? kYes : kNo;
}

unsigned bit(const std::optional<bool>& value)
{
    return value ? bit(*value) : kUntold;
}

struct Row
{
    unsigned blocked;   // kYes / kNo / kAny
    unsigned mapping;   // behaviour bits
    unsigned filtering; // behaviour bits
    unsigned forwarded; // kYes / kNo / kAny
    unsigned predictable;
    std::optional<NatType> type;
    std::optional<Nintendo> nintendo;
    const char* line;    // after the type on the NAT: line
    const char* meaning; // what it means for games and calls
    const char* change;  // what would change it
};

constexpr auto Open = NatType::Open;
constexpr auto Moderate = NatType::Moderate;
constexpr auto Strict = NatType::Strict;
constexpr std::optional<NatType> NoType;
constexpr std::optional<Nintendo> NoNintendo;

// The one table of labels. The first row that takes the situation gives its labels and words.
//
// The consoles' published rules:
// - Xbox and PlayStation's open / moderate / strict (NAT types 1 / 2 / 3):
//   open: no NAT, or endpoint-independent mapping with endpoint-independent filtering, or a
//         forward or UPnP mapping for the port in use;
//   moderate: endpoint-independent mapping with restricted (address- or address-and-port-
//         dependent) filtering;
//   strict: address- or address-and-port-dependent mapping.
// - Nintendo's NAT types:
//   A: endpoint-independent mapping with endpoint-independent or address-dependent filtering;
//   B: endpoint-independent mapping with address-and-port-dependent filtering;
//   C: a dependent mapping whose external port is predictable, D: one whose port is not
//      ("predictable" as portsPredictable says: each new mapping's port is a small step, at most
//      kPredictableDelta, from the last one's, always in the same direction);
//   F: UDP blocked.
// No NAT counts as an endpoint-independent mapping for Nintendo's letters, and a forward or UPnP
// mapping for the port in use takes in everything from anywhere, as A does. What the tests could
// not tell stays untold where the rules need it: an endpoint-independent mapping with untold
// filtering is open or moderate, and is neither here.
constexpr std::array kTable{
    Row{kYes, kAnyBehaviour, kAnyBehaviour, kAny, kAny, Strict, Nintendo::F,
        "UDP is blocked on the way to the STUN server",
        "Games and calls cannot reach anyone over UDP; they fall back to relays over TCP, if they "
        "have any.",
        "Let UDP out through this computer's firewall and the router's."},
    Row{kNo, kAnyBehaviour, kAnyBehaviour, kYes, kAny, Open, Nintendo::A,
        "the port in use is forwarded to this computer, so anyone can reach it",
        "Games and calls that use the forwarded port can host, and anyone can reach them.",
        "Nothing to change for this port; other ports take the NAT's own behaviour."},
    Row{kNo, kNone, kIndependent | kAddress, kNo, kAny, Open, Nintendo::A,
        "no NAT: this computer's own address faces the internet",
        "Games and calls can host, and peers reach this computer directly.", "Nothing to change."},
    Row{kNo, kNone, kAddressAndPort, kNo, kAny, Open, Nintendo::B,
        "no NAT, but replies come in only from where you sent",
        "Games and calls reach peers directly; peers reach this computer once it has sent to "
        "them.",
        "Nothing to change for open; letting in UDP to the game's port in this computer's "
        "firewall would make it Nintendo A."},
    Row{kNo, kNone, kUntold, kNo, kAny, Open, NoNintendo,
        "no NAT: this computer's own address faces the internet",
        "Games and calls can reach peers directly.", "Nothing to change."},
    Row{kNo, kIndependent, kIndependent, kNo, kAny, Open, Nintendo::A,
        "one external port per local port, replies from anywhere",
        "Games and calls can host, and peers reach this computer directly.", "Nothing to change."},
    Row{kNo, kIndependent, kAddress, kNo, kAny, Moderate, Nintendo::A,
        "one external port per local port, replies only from addresses you sent to",
        "Games and calls reach open and moderate peers; strict peers may need a relay.",
        "A forward of the game's port, or UPnP, makes it open."},
    Row{kNo, kIndependent, kAddressAndPort, kNo, kAny, Moderate, Nintendo::B,
        "one external port per local port, replies only from where you sent",
        "Games and calls reach open and moderate peers; strict peers may need a relay.",
        "A forward of the game's port, or UPnP, makes it open."},
    Row{kNo, kIndependent, kUntold, kNo, kAny, NoType, NoNintendo,
        "one external port per local port; what it lets in was not told",
        "Games and calls reach open peers at least.",
        "A forward of the game's port, or UPnP, makes it open."},
    Row{kNo, kDependent, kAnyBehaviour, kNo, kYes, Strict, Nintendo::C,
        "a new external port for each place you send to, in a predictable order",
        "Games and calls reach only open peers directly; others need a relay, and some games "
        "cannot host.",
        "A forward of the game's port, or UPnP, makes it open; a router that keeps one "
        "external port per local port would make it moderate."},
    Row{kNo, kDependent, kAnyBehaviour, kNo, kNo, Strict, Nintendo::D,
        "a new external port for each place you send to",
        "Games and calls reach only open peers directly; others need a relay, and some games "
        "cannot host.",
        "A forward of the game's port, or UPnP, makes it open; a router that keeps one "
        "external port per local port would make it moderate."},
    Row{kNo, kDependent, kAnyBehaviour, kNo, kUntold, Strict, NoNintendo,
        "a new external port for each place you send to",
        "Games and calls reach only open peers directly; others need a relay, and some games "
        "cannot host.",
        "A forward of the game's port, or UPnP, makes it open; a router that keeps one "
        "external port per local port would make it moderate."},
    Row{kAny, kAnyBehaviour, kAnyBehaviour, kAny, kAny, NoType, NoNintendo,
        "the NAT's behaviour could not be told", "", ""},
};

bool takes(const Row& row, const Situation& s)
{
    return (row.blocked & bit(s.udpBlocked)) && (row.mapping & bit(s.mapping)) &&
           (row.filtering & bit(s.filtering)) && (row.forwarded & bit(s.forwarded)) &&
           (row.predictable & bit(s.predictable));
}

const Row& rowFor(const Situation& situation)
{
    for (const Row& row : kTable) {
        if (takes(row, situation))
            return row;
    }
    return kTable.back();
}

// The row that gave these facts' labels. The facts keep the behaviours and the labels, not
// whether the port was forwarded or its ports predictable, so this is the first row whose inputs
// take the behaviours and whose labels are the facts', looked for first among the rows of an
// unforwarded port: a forward gives open and A whatever the behaviours, and no NAT or a full cone
// give them too.
const Row& rowFor(const NatFacts& facts)
{
    for (const unsigned forwarded : {unsigned(kNo), unsigned(kYes)}) {
        for (const Row& row : kTable) {
            if ((row.forwarded & forwarded) && (row.mapping & bit(facts.mapping)) &&
                (row.filtering & bit(facts.filtering)) && row.type == facts.type &&
                row.nintendo == facts.nintendo)
                return row;
        }
    }
    return kTable.back();
}

QString typeText(const NatFacts& facts)
{
    QString text = facts.type ? QString(natTypeWord(*facts.type)) : QStringLiteral("not told");
    if (facts.nintendo)
        text += QStringLiteral(" (Nintendo ") % nintendoWord(*facts.nintendo) % u')';
    return text;
}

} // namespace

Label label(const Situation& situation)
{
    const Row& row = rowFor(situation);
    return Label{row.type, row.nintendo};
}

std::optional<bool> portsPredictable(const QList<int>& portsInOrder)
{
    if (portsInOrder.size() < 2)
        return std::nullopt;
    const bool up = portsInOrder.at(1) > portsInOrder.at(0);
    for (qsizetype i = 1; i < portsInOrder.size(); ++i) {
        const int step = portsInOrder.at(i) - portsInOrder.at(i - 1);
        if (step == 0 || (step > 0) != up || std::abs(step) > kPredictableDelta)
            return false;
    }
    return true;
}

QString natLine(const NatFacts& facts)
{
    if (!facts.answered && facts.nintendo != Nintendo::F) {
        return QStringLiteral("not told: no STUN server answered at ") % facts.server %
               (facts.limits.isEmpty() ? QString() : QStringLiteral(" (") % facts.limits % u')');
    }
    const Row& row = rowFor(facts);
    QString line = typeText(facts) % QStringLiteral(": ") % QLatin1StringView(row.line) % u'.';
    if (*row.change)
        line += u' ' % QLatin1StringView(row.change);
    if (!facts.limits.isEmpty())
        line += QStringLiteral(" Not told: ") % facts.limits;
    return line;
}

NatWords natWords(const NatFacts& facts)
{
    NatWords words;
    if (!facts.answered && facts.nintendo != Nintendo::F) {
        words.title = QStringLiteral("Not told");
        words.meaning = QStringLiteral("No STUN server answered at ") % facts.server %
                        QStringLiteral(", so the NAT's behaviour could not be told.");
        words.change = QStringLiteral("Name another STUN server, or try again later.");
        return words;
    }
    const Row& row = rowFor(facts);
    if (facts.type) {
        words.title = natTypeWord(*facts.type);
        words.title[0] = words.title.at(0).toUpper();
    } else {
        words.title = QStringLiteral("Not told");
    }
    words.meaning = QLatin1StringView(row.line);
    words.meaning[0] = words.meaning.at(0).toUpper();
    if (facts.nintendo)
        words.meaning += QStringLiteral(" (Nintendo ") % nintendoWord(*facts.nintendo) % u')';
    words.meaning += QStringLiteral(". ") % QLatin1StringView(row.meaning);
    words.change = QLatin1StringView(row.change);
    if (!facts.limits.isEmpty())
        words.change += (words.change.isEmpty() ? QString() : QStringLiteral(" ")) %
                        QStringLiteral("Not told: ") % facts.limits;
    return words;
}

} // namespace quillmere::nat
