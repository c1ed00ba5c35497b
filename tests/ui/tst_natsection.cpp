// The findings window's NAT type section: found only when "Find NAT type" is pressed, against a
// STUN responder on loopback that plays a NAT; the type in large words, what it means, what
// would change it and the details, all plain text; the button off while a run goes; and, in the
// main window, the check server's host asked and no discovery beside a check.

#include "session/checksession.h"
#include "support/plaintext.h"
#include "support/theme.h"
#include "tests/nat/stunresponder.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"
#include "tests/ui/uitesthelpers.h"
#include "ui/findinglayers.h"
#include "ui/logwindow.h"
#include "ui/mainwindow.h"
#include "ui/routerwindow.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;
using nat::testing::PlayedFiltering;
using nat::testing::PlayedMapping;
using nat::testing::StunResponder;

namespace {

// Generous: a discovery keeps within 3 s; this only keeps a broken one from hanging the test.
constexpr int kWaitMs = 15000;

const QStringList kNatLabels = {u"lblNatTitle"_s, u"lblNatMeaning"_s, u"lblNatChange"_s,
                                u"lblNatDetail"_s};

struct SectionFixture : RouterWindowFixture
{
    QLabel* label(const QString& name) const { return find<QLabel>(name); }
    QPushButton* button() const { return find<QPushButton>(u"cmdNatType"_s); }
};

nat::testing::Script natScript(PlayedMapping mapping, PlayedFiltering filtering)
{
    nat::testing::Script script;
    script.mapping = mapping;
    script.filtering = filtering;
    return script;
}

// The labels show exactly the section's words for `facts`; an empty one is hidden.
void compareWithFacts(const SectionFixture& f, const nat::NatFacts& facts)
{
    const RouterWindow::NatSection expected = natSection(facts);
    const QStringList texts = {expected.title, expected.meaning, expected.change, expected.detail};
    for (qsizetype i = 0; i < kNatLabels.size(); ++i) {
        QLabel* label = f.label(kNatLabels.at(i));
        QCOMPARE(label->text(), texts.at(i));
        QCOMPARE(label->isVisible(), !texts.at(i).isEmpty());
    }
}

MainWindowFixture fixtureWithRouter(quint16 serverPort, quint16 stunPort)
{
    return MainWindowFixture({u"127.0.0.1"_s, serverPort}, {},
                             [stunPort](MainWindow::Options& options) {
                                 options.routerBackend = [] {
                                     ScriptedRouter::Script script;
                                     script.facts.found = true;
                                     script.facts.via = router::Via::Upnp;
                                     script.facts.address = u"192.168.1.1"_s;
                                     return std::make_unique<ScriptedRouter>(
                                         script, std::make_shared<ScriptedRouter::Record>());
                                 };
                                 options.stunPort = stunPort;
                             });
}

// Answers Options > Check server... with `server` once it opens.
class CheckServerAnswer : public QObject
{
public:
    explicit CheckServerAnswer(QString server)
        : m_server(std::move(server))
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->objectName() != u"frmCheckServer"_s || m_done)
                return;
            m_done = true;
            dialog->findChild<QLineEdit*>(u"txtCheckServer"_s)->setText(m_server);
            QTest::mouseClick(dialog->findChild<QDialogButtonBox*>(u"cmdCheckServerButtons"_s)
                                  ->button(QDialogButtonBox::Ok),
                              Qt::LeftButton);
        });
        m_poll.start(10);
    }
    bool done() const { return m_done; }

private:
    QString m_server;
    QTimer m_poll;
    bool m_done = false;
};

} // namespace

class TestNatSection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sectionBelowTheOthersUntilAsked();
    void buttonFindsTheType_data();
    void buttonFindsTheType();
    void buttonOffWhileItRuns();
    void serverTextStaysPlain();
    void detailsSayWhatWasNotTold();
    void mainWindowAsksTheCheckServersHostOnRequestOnly();
    void stunServerFollowsTheCheckServer();
};

// The section comes last in the column, titled, with its button; the type is in larger bold
// words than the lines below it; before a run it says where it would ask, and with no server it
// cannot be pressed.
void TestNatSection::sectionBelowTheOthersUntilAsked()
{
    SectionFixture f;
    auto* section = f.find<QWidget>(u"grpNatType"_s);
    QCOMPARE(f.label(u"lblNatHeading"_s)->text(), u"NAT type"_s);
    QCOMPARE(f.button()->text(), u"Find NAT type"_s);
    QVERIFY(section->isVisible() && f.button()->isVisible());
    QCOMPARE(section->parentWidget(), f.label(u"lblInsideLayer"_s)->parentWidget());
    QVERIFY(section->geometry().top() > f.label(u"lblInsideLayer"_s)->geometry().bottom());
    QVERIFY(f.find<QScrollArea>(QString())->widget()->isAncestorOf(section));

    QLabel* title = f.label(u"lblNatTitle"_s);
    QLabel* meaning = f.label(u"lblNatMeaning"_s);
    QVERIFY(title->font().bold());
    QVERIFY2(title->font().pointSizeF() >= 1.5 * meaning->font().pointSizeF(),
             qPrintable(QString::number(title->font().pointSizeF())));
    for (const QString& name : kNatLabels) {
        QCOMPARE(f.label(name)->textFormat(), Qt::PlainText);
        QVERIFY(!(f.label(name)->textInteractionFlags() & Qt::LinksAccessibleByMouse));
    }

    // No server yet: nothing to ask, and it says so.
    QVERIFY(!f.button()->isEnabled());
    QVERIFY(title->isHidden());
    QVERIFY2(meaning->text().startsWith(u"Not checked: "_s), qPrintable(meaning->text()));

    f.window.setStunServer(u"check.example.net"_s);
    QVERIFY(f.button()->isEnabled());
    QVERIFY2(meaning->text().contains(u"check.example.net:3478"_s), qPrintable(meaning->text()));
    f.window.setStunServer(u"2001:db8::1"_s, 3479);
    QVERIFY2(meaning->text().contains(u"[2001:db8::1]:3479"_s), qPrintable(meaning->text()));
    f.window.setStunServer(u" "_s);
    QVERIFY(!f.button()->isEnabled());
    QVERIFY(!f.window.isFindingNatType());
}

void TestNatSection::buttonFindsTheType_data()
{
    QTest::addColumn<PlayedMapping>("mapping");
    QTest::addColumn<PlayedFiltering>("filtering");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("nintendo");
    QTest::addColumn<QString>("mappingWord");
    QTest::addColumn<QString>("filteringWord");
    QTest::addColumn<QString>("external");

    QTest::newRow("moderate") << PlayedMapping::Independent
                              << PlayedFiltering::AddressAndPortDependent << u"Moderate"_s
                              << u"Nintendo B"_s << u"endpoint-independent"_s
                              << u"address-and-port-dependent"_s << u"203.0.113.7:40000"_s;
    QTest::newRow("open") << PlayedMapping::Independent << PlayedFiltering::Independent << u"Open"_s
                          << u"Nintendo A"_s << u"endpoint-independent"_s
                          << u"endpoint-independent"_s << u"203.0.113.7:40000"_s;
    QTest::newRow("strict") << PlayedMapping::AddressAndPortDependent
                            << PlayedFiltering::AddressAndPortDependent << u"Strict"_s
                            << u"Nintendo C"_s << u"address-and-port-dependent"_s
                            << u"address-and-port-dependent"_s << u"203.0.113.7:40000"_s;
    QTest::newRow("no NAT") << PlayedMapping::Real << PlayedFiltering::Independent << u"Open"_s
                            << u"Nintendo A"_s << u"none"_s << u"endpoint-independent"_s
                            << u"127.0.0.1:"_s;
}

// "Find NAT type" runs one discovery against the server it was given and shows what came of it.
// The responder answers from this (the GUI) thread's event loop: that it answered at all shows
// the discovery did not hold that thread.
void TestNatSection::buttonFindsTheType()
{
    QFETCH(PlayedMapping, mapping);
    QFETCH(PlayedFiltering, filtering);
    QFETCH(QString, title);
    QFETCH(QString, nintendo);
    QFETCH(QString, mappingWord);
    QFETCH(QString, filteringWord);
    QFETCH(QString, external);

    StunResponder responder(natScript(mapping, filtering));
    QVERIFY(responder.listening());
    SectionFixture f;
    QSignalSpy found(&f.window, &RouterWindow::natTypeFound);
    f.window.setStunServer(u"127.0.0.1"_s, responder.port());
    QVERIFY(responder.received().isEmpty());

    QTest::mouseClick(f.button(), Qt::LeftButton);
    QVERIFY(f.window.isFindingNatType());
    QTRY_COMPARE_WITH_TIMEOUT(found.size(), 1, kWaitMs);
    QVERIFY(!responder.received().isEmpty());
    const auto facts = found.front().front().value<nat::NatFacts>();
    QVERIFY(facts.answered);
    QCOMPARE(facts.server, u"127.0.0.1:"_s + QString::number(responder.port()));

    compareWithFacts(f, facts);
    QCOMPARE(f.label(u"lblNatTitle"_s)->text(), title);
    const QString meaning = f.label(u"lblNatMeaning"_s)->text();
    QVERIFY2(meaning.contains(nintendo), qPrintable(meaning));
    const QString detail = f.label(u"lblNatDetail"_s)->text();
    QVERIFY2(detail.contains(u"Mapping: "_s + mappingWord), qPrintable(detail));
    QVERIFY2(detail.contains(u"Filtering: "_s + filteringWord + u'\n'), qPrintable(detail));
    QVERIFY2(detail.contains(u"External address: "_s + external), qPrintable(detail));
    QVERIFY2(detail.contains(u"STUN server: "_s + facts.server), qPrintable(detail));
    QCOMPARE(f.label(u"lblNatDetail"_s)->toolTip(), plainToolTip(detail));
    QVERIFY(f.button()->isEnabled());
    QVERIFY(!f.window.isFindingNatType());
    // The section is brought into view once it has its words.
    QTRY_VERIFY(!f.find<QWidget>(u"grpNatType"_s)
                     ->visibleRegion()
                     .intersected(f.label(u"lblNatTitle"_s)->geometry())
                     .isEmpty());

    // Once more on request: a second run, and nothing in between.
    const qsizetype asked = responder.received().size();
    QTest::mouseClick(f.button(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(found.size(), 2, kWaitMs);
    QVERIFY(responder.received().size() > asked);
    QCOMPARE(f.label(u"lblNatTitle"_s)->text(), title);
}

// While a run goes the button is off and the section says it runs; a press then starts nothing.
// A server that never answers ends the run with the failure in the section's words, and the
// button on again.
void TestNatSection::buttonOffWhileItRuns()
{
    nat::testing::Script script;
    script.silent = true;
    StunResponder responder(script);
    QVERIFY(responder.listening());
    SectionFixture f;
    QSignalSpy found(&f.window, &RouterWindow::natTypeFound);
    f.window.setStunServer(u"127.0.0.1"_s, responder.port());

    QTest::mouseClick(f.button(), Qt::LeftButton);
    QVERIFY(!f.button()->isEnabled());
    QCOMPARE(f.label(u"lblNatTitle"_s)->text(), u"Running\u2026"_s);
    QVERIFY(f.label(u"lblNatTitle"_s)->isVisible());
    QVERIFY2(f.label(u"lblNatMeaning"_s)
                 ->text()
                 .contains(u"127.0.0.1:"_s + QString::number(responder.port())),
             qPrintable(f.label(u"lblNatMeaning"_s)->text()));
    QVERIFY(f.label(u"lblNatDetail"_s)->isHidden());
    QTRY_VERIFY(!responder.received().isEmpty());
    QTest::mouseClick(f.button(), Qt::LeftButton);
    // A change of server while it runs leaves the button off and the run as it was.
    f.window.setStunServer(u"127.0.0.1"_s, responder.otherPort());
    QVERIFY(!f.button()->isEnabled());
    QCOMPARE(f.label(u"lblNatTitle"_s)->text(), u"Running\u2026"_s);

    QTRY_COMPARE_WITH_TIMEOUT(found.size(), 1, kWaitMs);
    const auto facts = found.front().front().value<nat::NatFacts>();
    QVERIFY(!facts.answered);
    compareWithFacts(f, facts);
    QCOMPARE(f.label(u"lblNatTitle"_s)->text(), u"Not told"_s);
    QVERIFY2(f.label(u"lblNatMeaning"_s)
                 ->text()
                 .startsWith(u"No STUN server answered at "_s + facts.server),
             qPrintable(f.label(u"lblNatMeaning"_s)->text()));
    QVERIFY2(f.label(u"lblNatChange"_s)->text().contains(u"Options > Check server"_s),
             qPrintable(f.label(u"lblNatChange"_s)->text()));
    // The details of a run that got no answer: the server, and no mapping or filtering.
    QVERIFY(!f.label(u"lblNatDetail"_s)->text().contains(u"Mapping"_s));
    QVERIFY(f.button()->isEnabled());
    // The press during the run queued nothing behind it.
    QVERIFY(!f.window.isFindingNatType());
}

// Whatever the server or the discovery's words say shows literally, in each label and its
// tooltip.
void TestNatSection::serverTextStaysPlain()
{
    SectionFixture f;
    nat::NatFacts facts;
    facts.server = u"<b>stun</b>.example:3478"_s;
    facts.answered = true;
    facts.mapping = nat::Behaviour::EndpointIndependent;
    facts.filtering = nat::Behaviour::AddressDependent;
    facts.portPreserved = false;
    facts.externalAddress = u"<img src=x>:1"_s;
    facts.localPort = 50000;
    facts.type = nat::NatType::Moderate;
    facts.nintendo = nat::Nintendo::A;
    facts.limits = u"<a href=\"y\">here</a> &amp; there"_s;
    f.window.showNatFacts(facts);

    const QString detail = f.label(u"lblNatDetail"_s)->text();
    QVERIFY2(detail.contains(u"STUN server: <b>stun</b>.example:3478"_s), qPrintable(detail));
    QVERIFY2(detail.contains(u"External address: <img src=x>:1 (local UDP port 50000)"_s),
             qPrintable(detail));
    QVERIFY2(detail.contains(u"Not told: <a href=\"y\">here</a> &amp; there"_s),
             qPrintable(detail));
    QVERIFY(detail.contains(u"Port preserved: no"_s));
    for (const QString& name : kNatLabels) {
        QLabel* label = f.label(name);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(label->toolTip(), plainToolTip(label->text()));
        QVERIFY(!label->toolTip().contains(u"<b>"_s));
        QVERIFY(!label->toolTip().contains(u"<img"_s));
        QVERIFY(!label->openExternalLinks());
    }
    QVERIFY(f.label(u"lblNatDetail"_s)->toolTip().contains(u"&lt;img src=x&gt;"_s));

    // No answer: the server the meaning names is the one given, as it came.
    facts = nat::NatFacts();
    facts.server = u"<i>x</i>:3478"_s;
    f.window.showNatFacts(facts);
    QVERIFY(f.label(u"lblNatMeaning"_s)->text().contains(u"<i>x</i>:3478"_s));
    QVERIFY(f.label(u"lblNatMeaning"_s)->toolTip().contains(u"&lt;i&gt;x&lt;/i&gt;"_s));
}

// What the discovery could not tell shows once, in the details, and not after the advice; a
// behaviour not told says so.
void TestNatSection::detailsSayWhatWasNotTold()
{
    nat::NatFacts facts;
    facts.server = u"127.0.0.1:3478"_s;
    facts.answered = true;
    facts.mapping = nat::Behaviour::EndpointIndependent;
    facts.externalAddress = u"203.0.113.7:40000"_s;
    facts.limits = u"the server has one address"_s;
    const RouterWindow::NatSection section = natSection(facts);
    QCOMPARE(section.title, nat::natWords(facts).title);
    QVERIFY2(section.detail.contains(u"Filtering: not told"_s), qPrintable(section.detail));
    QVERIFY2(section.detail.contains(u"Port preserved: not told"_s), qPrintable(section.detail));
    QVERIFY2(section.detail.endsWith(u"\nNot told: the server has one address"_s),
             qPrintable(section.detail));
    QCOMPARE(section.detail.count(u"the server has one address"_s), 1);
    for (const QString& line : {section.title, section.meaning, section.change})
        QVERIFY2(!line.contains(u"the server has one address"_s), qPrintable(line));
    QVERIFY(!section.detail.contains(u"local UDP port"_s)); // none given
}

// In the main window, the findings window asks the check server's host (on the port the
// options give) only when its button is pressed: not at a check, nor when the window opens, nor
// at the next check, which leaves the NAT type as it was.
void TestNatSection::mainWindowAsksTheCheckServersHostOnRequestOnly()
{
    StunResponder responder(
        natScript(PlayedMapping::Independent, PlayedFiltering::AddressAndPortDependent));
    QVERIFY(responder.listening());
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    MainWindowFixture f = fixtureWithRouter(server.port(), responder.port());
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(freePort()));
    QSignalSpy finished(&f.window->session(), &session::CheckSession::finished);

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window && window->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
    QVERIFY(responder.received().isEmpty());
    auto* button = window->findChild<QPushButton*>(u"cmdNatType"_s);
    auto* title = window->findChild<QLabel*>(u"lblNatTitle"_s);
    QVERIFY(button->isEnabled());
    const QString server127 = u"127.0.0.1:"_s + QString::number(responder.port());
    QVERIFY2(window->findChild<QLabel*>(u"lblNatMeaning"_s)->text().contains(server127),
             qPrintable(window->findChild<QLabel*>(u"lblNatMeaning"_s)->text()));

    // The log window, open before the run (a newly opened one waits for the next entry): the
    // run's exchange ends its HTTP box, and a later check leaves it there.
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    QTest::keyClick(port, char(MainWindow::kRevealFirst));
    QTest::keyClick(port, char(MainWindow::kRevealSecond));
    f.find<QCheckBox>(u"chkShowLogs"_s)->setChecked(true);
    QVERIFY(f.window->logWindow());
    QPlainTextEdit* httpBox = f.window->logWindow()->httpBox();
    const QString natSection = u"NAT: "_s + server127;
    QSignalSpy found(window, &RouterWindow::natTypeFound);
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(found.size(), 1, kWaitMs);
    const auto facts = found.front().front().value<nat::NatFacts>();
    QCOMPARE(facts.server, server127);
    QCOMPARE(title->text(), u"Moderate"_s);
    for (const nat::testing::Received& got : responder.received())
        QCOMPARE(got.from, QHostAddress(QHostAddress::LocalHost));

    QVERIFY(!facts.log.isEmpty());
    QTRY_VERIFY2(httpBox->toPlainText().contains(natSection), qPrintable(httpBox->toPlainText()));
    QVERIFY(httpBox->toPlainText().contains(facts.log.front()));

    const qsizetype asked = responder.received().size();
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, kWaitMs);
    QCOMPARE(responder.received().size(), asked);
    QCOMPARE(found.size(), 1);
    QCOMPARE(title->text(), u"Moderate"_s);
    QTRY_VERIFY2(httpBox->toPlainText().contains(natSection), qPrintable(httpBox->toPlainText()));
}

// The findings window asks the host of the check server in use: the one at its opening, and the
// one chosen in Options > Check server... while it is open.
void TestNatSection::stunServerFollowsTheCheckServer()
{
    const quint16 checkPort = freePort();
    MainWindowFixture f = fixtureWithRouter(checkPort, 3479);
    f.window->show();
    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* meaning = window->findChild<QLabel*>(u"lblNatMeaning"_s);
    QVERIFY2(meaning->text().contains(u" 127.0.0.1:3479 "_s), qPrintable(meaning->text()));

    // An address, not a name: nothing is looked up beyond this computer.
    CheckServerAnswer answer(u"127.0.0.5:8080"_s);
    f.window->findChild<QAction*>(u"mnuOptionsCheckServer"_s)->trigger();
    QVERIFY(answer.done());
    QCOMPARE(f.window->checkServer().host, u"127.0.0.5"_s);
    QVERIFY2(meaning->text().contains(u" 127.0.0.5:3479 "_s), qPrintable(meaning->text()));
    QVERIFY(window->findChild<QPushButton*>(u"cmdNatType"_s)->isEnabled());
    QVERIFY(!window->isFindingNatType());
}

QTEST_MAIN(TestNatSection)
#include "tst_natsection.moc"
