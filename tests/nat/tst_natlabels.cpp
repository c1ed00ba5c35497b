// The label table against the consoles' published rules, for every situation the discovery can
// report, and the words made from it.

#include "nat/natlabels.h"

#include <QTest>

using namespace quillmere::nat;

namespace {

// The published rules, stated one by one as the consoles' makers put them.
Label byTheRules(const Situation& s)
{
    using B = Behaviour;
    if (s.udpBlocked)
        return {NatType::Strict, Nintendo::F}; // F: UDP blocked
    if (s.forwarded)
        return {NatType::Open, Nintendo::A}; // a forward or UPnP for the port in use: open
    const auto m = s.mapping;
    const auto f = s.filtering;
    Label label;
    // Open / moderate / strict.
    if (m == B::None)
        label.type = NatType::Open; // no NAT
    else if (m == B::EndpointIndependent && f == B::EndpointIndependent)
        label.type = NatType::Open;
    else if (m == B::EndpointIndependent &&
             (f == B::AddressDependent || f == B::AddressAndPortDependent))
        label.type = NatType::Moderate; // restricted filtering
    else if (m == B::AddressDependent || m == B::AddressAndPortDependent)
        label.type = NatType::Strict;
    // Nintendo: no NAT maps like an endpoint-independent NAT.
    const bool independent = m == B::None || m == B::EndpointIndependent;
    if (independent && (f == B::EndpointIndependent || f == B::AddressDependent))
        label.nintendo = Nintendo::A;
    else if (independent && f == B::AddressAndPortDependent)
        label.nintendo = Nintendo::B;
    else if ((m == B::AddressDependent || m == B::AddressAndPortDependent) && s.predictable)
        label.nintendo = *s.predictable ? Nintendo::C : Nintendo::D;
    return label;
}

QString describe(const Situation& s)
{
    const auto word = [](const std::optional<Behaviour>& b) {
        return b ? QString(behaviourWord(*b)) : QStringLiteral("untold");
    };
    return QStringLiteral("mapping %1, filtering %2, forwarded %3, predictable %4, blocked %5")
        .arg(word(s.mapping), word(s.filtering), s.forwarded ? u"yes"_qs : u"no"_qs,
             s.predictable ? (*s.predictable ? u"yes"_qs : u"no"_qs) : u"untold"_qs,
             s.udpBlocked ? u"yes"_qs : u"no"_qs);
}

NatFacts factsFor(const Situation& s)
{
    NatFacts facts;
    facts.server = QStringLiteral("stun.example.net:3478");
    facts.answered = !s.udpBlocked;
    facts.mapping = s.mapping;
    facts.filtering = s.filtering;
    const Label l = label(s);
    facts.type = l.type;
    facts.nintendo = l.nintendo;
    return facts;
}

} // namespace

class TestNatLabels : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everySituationFollowsTheRules();
    void namedRows_data();
    void namedRows();
    void words();
    void lineForModerateB();
    void lineForNoNatAndForwarded();
    void lineWithLimits();
    void nothingAnswered();
    void udpBlockedWords();
    void everyLabelledSituationHasWords();
    void predictablePorts_data();
    void predictablePorts();
};

void TestNatLabels::everySituationFollowsTheRules()
{
    const std::optional<Behaviour> behaviours[] = {
        std::nullopt, Behaviour::None, Behaviour::EndpointIndependent, Behaviour::AddressDependent,
        Behaviour::AddressAndPortDependent};
    const std::optional<bool> tristate[] = {std::nullopt, true, false};
    int situations = 0;
    for (const bool blocked : {false, true}) {
        for (const auto& mapping : behaviours) {
            for (const auto& filtering : behaviours) {
                if (filtering == Behaviour::None)
                    continue; // filtering is never "none"
                for (const bool forwarded : {false, true}) {
                    for (const auto& predictable : tristate) {
                        const Situation s{mapping, filtering, forwarded, predictable, blocked};
                        const Label got = label(s);
                        const Label want = byTheRules(s);
                        QVERIFY2(got.type == want.type && got.nintendo == want.nintendo,
                                 qPrintable(describe(s)));
                        ++situations;
                    }
                }
            }
        }
    }
    QCOMPARE(situations, 2 * 5 * 4 * 2 * 3);
}

void TestNatLabels::namedRows_data()
{
    QTest::addColumn<int>("mapping"); // -1: untold
    QTest::addColumn<int>("filtering");
    QTest::addColumn<bool>("forwarded");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("nintendo");
    const int none = int(Behaviour::None), ei = int(Behaviour::EndpointIndependent),
              ad = int(Behaviour::AddressDependent), apd = int(Behaviour::AddressAndPortDependent);
    QTest::newRow("no NAT") << none << ei << false << "open"
                            << "A";
    QTest::newRow("full cone") << ei << ei << false << "open"
                               << "A";
    QTest::newRow("restricted cone") << ei << ad << false << "moderate"
                                     << "A";
    QTest::newRow("port-restricted cone") << ei << apd << false << "moderate"
                                          << "B";
    QTest::newRow("symmetric") << apd << apd << false << "strict"
                               << "D";
    QTest::newRow("address-dependent mapping") << ad << ad << false << "strict"
                                               << "D";
    QTest::newRow("symmetric, forwarded") << apd << apd << true << "open"
                                          << "A";
    QTest::newRow("port-restricted, forwarded") << ei << apd << true << "open"
                                                << "A";
    QTest::newRow("filtering untold") << ei << -1 << false << ""
                                      << "";
    QTest::newRow("mapping untold") << -1 << ei << false << ""
                                    << "";
}

void TestNatLabels::namedRows()
{
    QFETCH(int, mapping);
    QFETCH(int, filtering);
    QFETCH(bool, forwarded);
    QFETCH(QString, type);
    QFETCH(QString, nintendo);
    Situation s;
    if (mapping >= 0)
        s.mapping = Behaviour(mapping);
    if (filtering >= 0)
        s.filtering = Behaviour(filtering);
    s.forwarded = forwarded;
    s.predictable = false;
    const Label l = label(s);
    QCOMPARE(l.type ? QString(natTypeWord(*l.type)) : QString(), type);
    QCOMPARE(l.nintendo ? QString(nintendoWord(*l.nintendo)) : QString(), nintendo);
}

void TestNatLabels::words()
{
    QCOMPARE(behaviourWord(Behaviour::None), QLatin1StringView("none"));
    QCOMPARE(behaviourWord(Behaviour::EndpointIndependent),
             QLatin1StringView("endpoint-independent"));
    QCOMPARE(behaviourWord(Behaviour::AddressDependent), QLatin1StringView("address-dependent"));
    QCOMPARE(behaviourWord(Behaviour::AddressAndPortDependent),
             QLatin1StringView("address-and-port-dependent"));
    QCOMPARE(natTypeWord(NatType::Open), QLatin1StringView("open"));
    QCOMPARE(natTypeWord(NatType::Moderate), QLatin1StringView("moderate"));
    QCOMPARE(natTypeWord(NatType::Strict), QLatin1StringView("strict"));
    const char* letters[] = {"A", "B", "C", "D", "F"};
    int i = 0;
    for (Nintendo n : {Nintendo::A, Nintendo::B, Nintendo::C, Nintendo::D, Nintendo::F})
        QCOMPARE(nintendoWord(n), QLatin1StringView(letters[i++]));
}

void TestNatLabels::lineForModerateB()
{
    const NatFacts facts = factsFor(Situation{
        Behaviour::EndpointIndependent, Behaviour::AddressAndPortDependent, false, {}, false});
    QCOMPARE(natLine(facts),
             QStringLiteral("moderate (Nintendo B): one external port per local port, replies only "
                            "from where you sent. A forward of the game's port, or UPnP, makes it "
                            "open."));
    const NatWords words = natWords(facts);
    QCOMPARE(words.title, QStringLiteral("Moderate"));
    QVERIFY(words.meaning.startsWith(QStringLiteral("One external port per local port")));
    QVERIFY(words.meaning.contains(QStringLiteral("(Nintendo B)")));
    QCOMPARE(words.change, QStringLiteral("A forward of the game's port, or UPnP, makes it open."));
}

// The words follow the row that gave the labels, not another row with the same labels: no NAT
// and a forwarded port are both open (Nintendo A).
void TestNatLabels::lineForNoNatAndForwarded()
{
    const NatFacts noNat =
        factsFor(Situation{Behaviour::None, Behaviour::EndpointIndependent, false, {}, false});
    QCOMPARE(natLine(noNat), QStringLiteral("open (Nintendo A): no NAT: this computer's own "
                                            "address faces the internet. Nothing to change."));
    const NatFacts forwarded = factsFor(Situation{
        Behaviour::EndpointIndependent, Behaviour::AddressAndPortDependent, true, {}, false});
    QVERIFY2(natLine(forwarded).startsWith(
                 QStringLiteral("open (Nintendo A): the port in use is forwarded")),
             qPrintable(natLine(forwarded)));
}

void TestNatLabels::lineWithLimits()
{
    NatFacts facts = factsFor(Situation{std::nullopt, std::nullopt, false, {}, false});
    facts.limits = QStringLiteral("the STUN server has one address");
    const QString line = natLine(facts);
    QVERIFY2(line.startsWith(QStringLiteral("not told: ")), qPrintable(line));
    QVERIFY2(line.endsWith(QStringLiteral("Not told: the STUN server has one address")),
             qPrintable(line));
    QCOMPARE(natWords(facts).title, QStringLiteral("Not told"));
    QVERIFY(natWords(facts).change.contains(facts.limits));
}

void TestNatLabels::nothingAnswered()
{
    NatFacts facts;
    facts.server = QStringLiteral("stun.example.net:3478");
    QCOMPARE(natLine(facts),
             QStringLiteral("not told: no STUN server answered at stun.example.net:3478"));
    const NatWords words = natWords(facts);
    QCOMPARE(words.title, QStringLiteral("Not told"));
    QVERIFY(words.meaning.contains(facts.server));
}

void TestNatLabels::udpBlockedWords()
{
    const NatFacts facts = factsFor(Situation{{}, {}, false, {}, true});
    QCOMPARE(facts.nintendo, std::optional(Nintendo::F));
    QVERIFY2(natLine(facts).startsWith(QStringLiteral("strict (Nintendo F): UDP is blocked")),
             qPrintable(natLine(facts)));
    QCOMPARE(natWords(facts).title, QStringLiteral("Strict"));
}

// Every situation with a label gets the words of its own row: a title that is its type, and a
// line that names the type and the letter.
void TestNatLabels::everyLabelledSituationHasWords()
{
    const std::optional<Behaviour> behaviours[] = {
        std::nullopt, Behaviour::None, Behaviour::EndpointIndependent, Behaviour::AddressDependent,
        Behaviour::AddressAndPortDependent};
    for (const auto& mapping : behaviours) {
        for (const auto& filtering : behaviours) {
            for (const auto& predictable :
                 {std::optional<bool>(), std::optional(true), std::optional(false)}) {
                const Situation s{mapping, filtering, false, predictable, false};
                const NatFacts facts = factsFor(s);
                const QString line = natLine(facts);
                const NatWords words = natWords(facts);
                if (facts.type) {
                    QVERIFY2(line.startsWith(natTypeWord(*facts.type)), qPrintable(line));
                    QCOMPARE(words.title.toLower(), QString(natTypeWord(*facts.type)));
                    QVERIFY2(!words.meaning.isEmpty(), qPrintable(describe(s)));
                } else {
                    QVERIFY2(line.startsWith(QStringLiteral("not told")), qPrintable(line));
                }
                // Nothing was forwarded here: no line may say so.
                QVERIFY2(!line.contains(QStringLiteral("forwarded")), qPrintable(line));
                if (facts.nintendo)
                    QVERIFY2(line.contains(QStringLiteral("(Nintendo ") +
                                           nintendoWord(*facts.nintendo) + u')'),
                             qPrintable(line));
            }
        }
    }
}

void TestNatLabels::predictablePorts_data()
{
    QTest::addColumn<QList<int>>("ports");
    QTest::addColumn<int>("expected"); // -1 untold, 0 no, 1 yes
    QTest::newRow("one port") << QList<int>{40000} << -1;
    QTest::newRow("consecutive") << QList<int>{40000, 40001, 40002} << 1;
    QTest::newRow("steps of two") << QList<int>{40000, 40002, 40004} << 1;
    QTest::newRow("uneven small steps") << QList<int>{40000, 40002, 40003} << 1;
    QTest::newRow("downwards") << QList<int>{40010, 40009, 40008} << 1;
    QTest::newRow("the largest step") << QList<int>{40000, 40000 + kPredictableDelta} << 1;
    QTest::newRow("a step too far") << QList<int>{40000, 40001 + kPredictableDelta} << 0;
    QTest::newRow("back and forth") << QList<int>{40000, 40002, 40001} << 0;
    QTest::newRow("scattered") << QList<int>{40000, 51234, 43210} << 0;
    QTest::newRow("the same port") << QList<int>{40000, 40000} << 0;
}

void TestNatLabels::predictablePorts()
{
    QFETCH(QList<int>, ports);
    QFETCH(int, expected);
    const std::optional<bool> got = portsPredictable(ports);
    QCOMPARE(got ? int(*got) : -1, expected);
}

QTEST_GUILESS_MAIN(TestNatLabels)
#include "tst_natlabels.moc"
