// The findings window on its own: a section per layer that is never blank, text from the network
// shown as it came, the offers each section makes and the signals they send, the lease choice
// and the forward's end.

#include "session/report.h"
#include "support/plaintext.h"
#include "support/theme.h"
#include "tests/ui/uitesthelpers.h"
#include "ui/findinglayers.h"
#include "ui/routerwindow.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

using Layer = RouterWindow::Layer;

namespace {

const QList<Layer> kLayers = {Layer::Router, Layer::Computer, Layer::Path, Layer::Inside};

// The label each layer shows its text in.
QString layerLabelName(Layer layer)
{
    switch (layer) {
    case Layer::Router:
        return u"lblRouterFacts"_s;
    case Layer::Computer:
        return u"lblComputerLayer"_s;
    case Layer::Path:
        return u"lblPathLayer"_s;
    case Layer::Inside:
        break;
    }
    return u"lblInsideLayer"_s;
}

// Gives a layer `text` through its own setter.
void showLayer(RouterWindow& window, Layer layer, const QString& text)
{
    switch (layer) {
    case Layer::Router:
        window.showFinding(text, u"The diagnosis."_s);
        return;
    case Layer::Computer:
        window.showComputer(text, QString(), false);
        return;
    case Layer::Path:
        window.showPath(text, 0);
        return;
    case Layer::Inside:
        window.showInside(text);
        return;
    }
}

struct WindowFixture : quillmere::test::RouterWindowFixture
{
    QLabel* layer(Layer which) const { return find<QLabel>(layerLabelName(which)); }
};

} // namespace

class TestRouterWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sectionsAreTitledByLayer();
    void sectionsNeverStandBlank();
    void networkTextStaysPlain_data();
    void networkTextStaysPlain();
    void computerOffersTheFix();
    void pathOffersAnotherExternalPort();
    void forwardLeaseChoice();
    void ownForwardShowsItsEnd();
    void layersFollowTheReport();
};

void TestRouterWindow::sectionsAreTitledByLayer()
{
    WindowFixture f;
    QCOMPARE(f.window.objectName(), u"frmRouter"_s);
    QCOMPARE(f.find<QLabel>(u"lblRouterHeading"_s)->text(), u"The router"_s);
    QCOMPARE(f.find<QLabel>(u"lblComputerHeading"_s)->text(), u"This computer"_s);
    QCOMPARE(f.find<QLabel>(u"lblPathHeading"_s)->text(), u"The path"_s);
    QCOMPARE(f.find<QLabel>(u"lblInsideHeading"_s)->text(), u"Inside your network"_s);
    QCOMPARE(f.find<QPushButton>(u"cmdForward"_s)->text(), u"Forward this port to this computer"_s);
    // The sections follow one another down the window, none over another.
    int bottom = 0;
    for (const QString& name :
         {u"lblDiagnosis"_s, u"lblRouterHeading"_s, u"lblRouterFacts"_s, u"lblComputerHeading"_s,
          u"lblComputerLayer"_s, u"lblPathHeading"_s, u"lblPathLayer"_s, u"lblInsideHeading"_s,
          u"lblInsideLayer"_s, u"cmdRouterClose"_s}) {
        const QRect place = f.find<QWidget>(name)->geometry();
        QVERIFY2(place.top() >= bottom, qPrintable(name));
        QVERIFY2(f.window.rect().contains(place), qPrintable(name));
        bottom = place.bottom();
    }
}

// Before anything is known, when a setter is given nothing, and when a layer was not looked at,
// each section says so instead of standing empty; offers of a layer not looked at are gone.
void TestRouterWindow::sectionsNeverStandBlank()
{
    WindowFixture f;
    for (Layer layer : kLayers) {
        QVERIFY2(f.layer(layer)->text().startsWith(u"Not checked: "_s),
                 qPrintable(f.layer(layer)->text()));
        QCOMPARE(f.window.layerText(layer), f.layer(layer)->text());
    }
    QVERIFY(!f.find<QLabel>(u"lblDiagnosis"_s)->text().isEmpty());
    QVERIFY(f.find<QLineEdit>(u"txtFixCommand"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdCopyCommand"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdAllowInFirewall"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdForwardExternal"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdRemoveForward"_s)->isHidden());

    for (Layer layer : kLayers) {
        for (const QString& nothing : {QString(), u" \n "_s}) {
            showLayer(f.window, layer, nothing);
            QCOMPARE(f.layer(layer)->text(), u"Not checked."_s);
        }
        showLayer(f.window, layer, u"Something was found."_s);
        QCOMPARE(f.layer(layer)->text(), u"Something was found."_s);
        f.window.showNotChecked(layer, u"the router cannot map ports"_s);
        QCOMPARE(f.layer(layer)->text(), u"Not checked: the router cannot map ports."_s);
    }
    f.window.showFinding(u"Router: found."_s, QString());
    QVERIFY(!f.find<QLabel>(u"lblDiagnosis"_s)->text().isEmpty());

    f.window.showComputer(u"ufw drops it."_s, u"sudo ufw allow 8080/tcp"_s, true);
    f.window.showPath(u"Port 25 is blocked before the router."_s, 50123);
    f.window.setForwardEnabled(true);
    f.window.showOwnForward(true);
    f.window.showNotChecked(Layer::Computer, u"no check ran"_s);
    f.window.showNotChecked(Layer::Path, u"no check ran"_s);
    f.window.showNotChecked(Layer::Router, u"no check ran"_s);
    QVERIFY(f.find<QLineEdit>(u"txtFixCommand"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdCopyCommand"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdAllowInFirewall"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdForwardExternal"_s)->isHidden());
    QVERIFY(f.find<QPushButton>(u"cmdRemoveForward"_s)->isHidden());
    QVERIFY(!f.find<QPushButton>(u"cmdForward"_s)->isEnabled());
}

void TestRouterWindow::networkTextStaysPlain_data()
{
    QTest::addColumn<Layer>("layer");
    QTest::newRow("router") << Layer::Router;
    QTest::newRow("computer") << Layer::Computer;
    QTest::newRow("path") << Layer::Path;
    QTest::newRow("inside") << Layer::Inside;
}

// A router's description or a server's words that look like markup show literally, in the
// label and in its tooltip.
void TestRouterWindow::networkTextStaysPlain()
{
    QFETCH(Layer, layer);
    WindowFixture f;
    const QString text = u"Goes to \"<b>Camera</b>\" <img src=x> &amp; <a href=\"y\">here</a>"_s;
    showLayer(f.window, layer, text);
    QLabel* label = f.layer(layer);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), text);
    QCOMPARE(label->toolTip(), plainToolTip(text));
    QVERIFY(label->toolTip().contains(u"&lt;b&gt;Camera&lt;/b&gt;"_s));
    QVERIFY(!label->toolTip().contains(u"<b>"_s));
    QVERIFY(!(label->textInteractionFlags() & Qt::LinksAccessibleByMouse));
    QVERIFY(!label->openExternalLinks());
}

// The command that opens the port shows in a field that cannot be edited, and "Copy" puts it on
// the clipboard as it is; "Allow in firewall" is offered only when asked for, and says so.
void TestRouterWindow::computerOffersTheFix()
{
    WindowFixture f;
    auto* field = f.find<QLineEdit>(u"txtFixCommand"_s);
    auto* copy = f.find<QPushButton>(u"cmdCopyCommand"_s);
    auto* allow = f.find<QPushButton>(u"cmdAllowInFirewall"_s);
    QCOMPARE(copy->text(), u"Copy"_s);
    QCOMPARE(allow->text(), u"Allow in firewall"_s);

    const QString command = u"sudo firewall-cmd --permanent --add-port=25565/tcp && sudo "
                            u"firewall-cmd --reload"_s;
    f.window.showComputer(u"firewalld drops the probe (zone <public>)."_s, command, false);
    QVERIFY(field->isVisible() && copy->isVisible());
    QVERIFY(field->isReadOnly());
    QCOMPARE(field->text(), command);
    QVERIFY(allow->isHidden());
    QApplication::clipboard()->setText(u"something else"_s);
    QTest::mouseClick(copy, Qt::LeftButton);
    QCOMPARE(QApplication::clipboard()->text(), command);

    QSignalSpy allowed(&f.window, &RouterWindow::allowInFirewallRequested);
    f.window.showComputer(u"firewalld drops the probe."_s, command, true);
    QVERIFY(allow->isVisible());
    QTest::mouseClick(allow, Qt::LeftButton);
    QCOMPARE(allowed.size(), 1);

    // No command: no field, no copy; what was copied before stays on the clipboard.
    f.window.showComputer(u"A firewall on this computer drops the probe."_s, QString(), false);
    QVERIFY(field->isHidden() && copy->isHidden() && allow->isHidden());
    QCOMPARE(QApplication::clipboard()->text(), command);
}

void TestRouterWindow::pathOffersAnotherExternalPort()
{
    WindowFixture f;
    auto* other = f.find<QPushButton>(u"cmdForwardExternal"_s);
    QSignalSpy asked(&f.window, &RouterWindow::forwardExternalPortRequested);
    f.window.showPath(u"Something before this computer blocks port 25."_s, 50123);
    QVERIFY(other->isVisible());
    QVERIFY2(other->text().contains(u"50123"_s), qPrintable(other->text()));
    QTest::mouseClick(other, Qt::LeftButton);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.front().front().toInt(), 50123);

    f.window.showPath(u"The path from the internet is closed for every port tried."_s, 0);
    QVERIFY(other->isHidden());
    QCOMPARE(asked.size(), 1);
}

// The lease offered: an hour, a day, until removed; a choice is announced once, and a lease
// that is not offered falls back to an hour.
void TestRouterWindow::forwardLeaseChoice()
{
    WindowFixture f;
    auto* lease = f.find<QComboBox>(u"cboForwardLease"_s);
    QCOMPARE(lease->count(), 3);
    QCOMPARE(lease->itemText(0), u"for an hour"_s);
    QCOMPARE(lease->itemText(1), u"for a day"_s);
    QCOMPARE(lease->itemText(2), u"until removed"_s);
    QCOMPARE(f.window.forwardLease(), 3600);

    f.window.setForwardLease(0);
    QCOMPARE(lease->currentText(), u"until removed"_s);
    QCOMPARE(f.window.forwardLease(), 0);
    f.window.setForwardLease(86400);
    QCOMPARE(lease->currentText(), u"for a day"_s);
    f.window.setForwardLease(12345);
    QCOMPARE(f.window.forwardLease(), 3600);

    QSignalSpy chosen(&f.window, &RouterWindow::forwardLeaseChosen);
    lease->setFocus();
    QTest::keyClick(lease, Qt::Key_Down);
    QCOMPARE(chosen.size(), 1);
    QCOMPARE(chosen.front().front().toLongLong(), 86400);
    QTest::keyClick(lease, Qt::Key_Down);
    QCOMPARE(chosen.size(), 2);
    QCOMPARE(chosen.back().front().toLongLong(), 0);
    QCOMPARE(f.window.forwardLease(), 0);
}

// This computer's forward shows when it ends, in local time, or that it lasts until removed,
// with "Remove this forward"; without one, neither shows.
void TestRouterWindow::ownForwardShowsItsEnd()
{
    WindowFixture f;
    auto* ends = f.find<QLabel>(u"lblForwardEnds"_s);
    auto* remove = f.find<QPushButton>(u"cmdRemoveForward"_s);
    QCOMPARE(remove->text(), u"Remove this forward"_s);
    QSignalSpy removeAsked(&f.window, &RouterWindow::removeForwardRequested);

    const QDateTime at(QDate(2026, 12, 11), QTime(15, 4), Qt::UTC);
    f.window.showOwnForward(true, at);
    QVERIFY(ends->isVisible() && remove->isVisible());
    const QDateTime local = at.toLocalTime();
    const QString day = QLocale().toString(local.date(), QLocale::ShortFormat);
    QVERIFY2(ends->text().contains(day), qPrintable(ends->text() + u" / "_s + day));
    QVERIFY2(ends->text().contains(local.toString(u"mm"_s)), qPrintable(ends->text()));
    QVERIFY(ends->text().contains(u"local time"_s));
    // The whole line shows in its place.
    QVERIFY2(ends->fontMetrics().horizontalAdvance(ends->text()) <= ends->width(),
             qPrintable(ends->text()));
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(removeAsked.size(), 1);

    f.window.showOwnForward(true, QDateTime());
    QVERIFY2(ends->text().endsWith(u"until removed."_s), qPrintable(ends->text()));
    QVERIFY(remove->isVisible());

    f.window.showOwnForward(false);
    QVERIFY(ends->isHidden() && remove->isHidden());
}

// The sections beyond the router show each step of a session's report as it stands: running,
// done, or not run and why; the firewall's fix is offered, and only firewalld's is allowed from
// here.
void TestRouterWindow::layersFollowTheReport()
{
    WindowFixture f;
    auto* computer = f.find<QLabel>(u"lblComputerLayer"_s);
    auto* path = f.find<QLabel>(u"lblPathLayer"_s);
    auto* inside = f.find<QLabel>(u"lblInsideLayer"_s);
    auto* allow = f.find<QPushButton>(u"cmdAllowInFirewall"_s);
    auto* field = f.find<QLineEdit>(u"txtFixCommand"_s);

    session::Report report;
    report.port = 25565;
    report.check.begin();
    showFindingLayers(f.window, report);
    QCOMPARE(computer->text(), u"Not checked: the check has not finished."_s);
    QCOMPARE(path->text(), u"Not checked: the check has not finished."_s);

    report.check.finish(session::CheckResult());
    report.firewall.begin();
    report.controlPort.skip(u"a UDP probe that gets no answer tells nothing apart"_s);
    report.hairpin.begin();
    showFindingLayers(f.window, report);
    QCOMPARE(computer->text(), u"Looking at this computer's firewall..."_s);
    QCOMPARE(path->text(), u"Not checked: a UDP probe that gets no answer tells nothing apart."_s);
    QCOMPARE(inside->text(), u"Connecting to the external address from here..."_s);

    firewall::FirewallFacts facts;
    facts.found = firewall::Kind::Firewalld;
    facts.blocks = true;
    facts.zone = u"<b>home</b>"_s;
    facts.evidence = u"the probe arrived and this computer dropped it"_s;
    facts.fix = u"sudo firewall-cmd --permanent --zone=home --add-port=25565/tcp && sudo "
                u"firewall-cmd --reload"_s;
    report.firewall.finish(facts);
    showFindingLayers(f.window, report, u"firewalld did not allow 25565/tcp: refused"_s);
    QCOMPARE(computer->textFormat(), Qt::PlainText);
    QVERIFY2(computer->text().startsWith(u"Firewall: "_s + firewall::describe(facts)),
             qPrintable(computer->text()));
    QVERIFY(computer->text().contains(u"(zone <b>home</b>"_s));
    QVERIFY(computer->text().endsWith(u"firewalld did not allow 25565/tcp: refused"_s));
    QCOMPARE(field->text(), *facts.fix);
    QVERIFY(allow->isVisible());

    // ufw: the command to copy, nothing to allow from here; and a firewall that does not block
    // offers nothing at all.
    facts.found = firewall::Kind::Ufw;
    facts.fix = u"sudo ufw allow 25565/tcp"_s;
    report.firewall.finish(facts);
    showFindingLayers(f.window, report);
    QCOMPARE(field->text(), *facts.fix);
    QVERIFY(allow->isHidden());
    facts.found = firewall::Kind::Firewalld;
    facts.blocks = false;
    report.firewall.finish(facts);
    showFindingLayers(f.window, report);
    QVERIFY(allow->isHidden());
}

QTEST_MAIN(TestRouterWindow)
#include "tst_routerwindow.moc"
