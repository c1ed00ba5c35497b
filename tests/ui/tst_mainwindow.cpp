// The main window driven as a user drives it: keys into the port field, clicks, the menus, the
// settings across runs, the layout when resized, and one whole check against a loopback server.

#include "session/diagnosis.h"
#include "support/plaintext.h"
#include "tests/support/scriptedcheckserver.h"
#include "tests/support/scriptedrouter.h"
#include "tests/ui/uitesthelpers.h"
#include "ui/logwindow.h"
#include "ui/reportview.h"
#include "ui/routerwindow.h"
#include "ui/shapes.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

QColor textColour(const QWidget* widget)
{
    return widget->palette().color(QPalette::WindowText);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typing_data();
    void typing();
    void insertingInTheMiddleCapsWithCaretAtEnd();
    void discardedKeysChangeNothing();
    void editingKeysReachTheField_data();
    void editingKeysReachTheField();
    void emptyFieldStaysEmpty();
    void pasting_data();
    void pasting();
    void revealSequence_data();
    void revealSequence();
    void startUpPort_data();
    void startUpPort();
    void portIsSavedOnClose();
    void startUpLooks();
    void serverAddressLabel();
    void resizeKeepsMinimumAndStretches();
    void menuCommandsCloseAndSave();
    void uninstallFromPackageNamesThePackage();
    void activationFromLogWindowMovesTopEdge();
    void wholeCheckFromClick();
    void serverTextIsPlainText();
    void lockedPortFromClick();
    void ipv6LineFollowsTheIpv4Check();
    void runningServiceCheckedFromTheWindow();
    void checkServerChosenInOptions();
    void environmentServerOverridesTheChoice();
    void routerAnswersBesideTheCheck();
    void forwardFromTheRouterWindow();
    void ipv6PinholeFromTheRouterWindow();
    void routerNeverHoldsUpTheVerdict();
    void shortFindingBesideRouter();
    void forwardLeaseRememberedAcrossWindows();
    void removeThisComputersForward();
    void findingsWindowOffersTheControlPort();
    void removalRefusedIsShown();
    void checkServerIntroducedOnce();
};

void TestMainWindow::typing_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("caret");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("expectedCaret");

    QTest::newRow("7000 stays") << "" << 0 << "7000"
                                << "7000" << 4;
    QTest::newRow("70000 becomes 65535") << "" << 0 << "70000"
                                         << "65535" << 5;
    QTest::newRow("65535 stays") << "" << 0 << "65535"
                                 << "65535" << 5;
    QTest::newRow("65536 becomes 65535") << "" << 0 << "65536"
                                         << "65535" << 5;
    QTest::newRow("digit after 65535") << "65535" << 5 << "9"
                                       << "65535" << 5;
    QTest::newRow("zero before 65535 stays") << "65535" << 0 << "0"
                                             << "065535" << 1;
    QTest::newRow("leading zeros stay") << "" << 0 << "00080"
                                        << "00080" << 5;
    QTest::newRow("zero stays") << "" << 0 << "0"
                                << "0" << 1;
}

void TestMainWindow::typing()
{
    QFETCH(QString, start);
    QFETCH(int, caret);
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    QFETCH(int, expectedCaret);

    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->setText(start);
    port->setCursorPosition(caret);
    QTest::keyClicks(port, keys);
    QCOMPARE(port->text(), expected);
    QCOMPARE(port->cursorPosition(), expectedCaret);
}

void TestMainWindow::insertingInTheMiddleCapsWithCaretAtEnd()
{
    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->setText(u"6553"_s);
    port->setCursorPosition(2);
    QTest::keyClick(port, '9'); // 65953 > 65535
    QCOMPARE(port->text(), u"65535"_s);
    QCOMPARE(port->cursorPosition(), 5);
}

void TestMainWindow::discardedKeysChangeNothing()
{
    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->setText(u"123"_s);
    QSignalSpy changes(port, &QLineEdit::textChanged);
    QTest::keyClicks(port, u"a Z-.,+"_s);
    QTest::keyClick(port, Qt::Key_Return);
    QTest::keyClick(port, Qt::Key_Enter);
    QTest::keyClick(port, Qt::Key_V, Qt::ControlModifier); // paste shortcut
    QTest::keyClick(port, Qt::Key_X, Qt::ControlModifier); // cut shortcut
    QCOMPARE(port->text(), u"123"_s);
    QCOMPARE(changes.count(), 0);
}

void TestMainWindow::editingKeysReachTheField_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text"); // what the platform puts in the key event
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("expectedCaret");

    // The field holds "1234" with the caret after "12". Each platform sends its own text with
    // these keys: X11 sends DEL (0x7f) with Delete, macOS sends characters from its function-key
    // range, Windows and the offscreen platform send none.
    const QString del(QChar(0x7f));
    QTest::newRow("Delete, X11") << int(Qt::Key_Delete) << del << u"124"_s << 2;
    QTest::newRow("Delete, macOS")
        << int(Qt::Key_Delete) << QString(QChar(0xF728)) << u"124"_s << 2;
    QTest::newRow("Delete, no text") << int(Qt::Key_Delete) << QString() << u"124"_s << 2;
    QTest::newRow("Left, macOS") << int(Qt::Key_Left) << QString(QChar(0xF702)) << u"1234"_s << 1;
    QTest::newRow("Right") << int(Qt::Key_Right) << QString() << u"1234"_s << 3;
    QTest::newRow("Home, macOS") << int(Qt::Key_Home) << QString(QChar(0xF729)) << u"1234"_s << 0;
    QTest::newRow("End") << int(Qt::Key_End) << QString() << u"1234"_s << 4;
    QTest::newRow("Insert, macOS")
        << int(Qt::Key_Insert) << QString(QChar(0xF727)) << u"1234"_s << 2;
}

// Keys that type no character edit the field as in any text box, whatever text the platform
// sends with them; only Backspace and typed characters go through the key filter.
void TestMainWindow::editingKeysReachTheField()
{
    QFETCH(int, key);
    QFETCH(QString, text);

    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->setText(u"1234"_s);
    port->setCursorPosition(2);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(port, &press);
    QApplication::sendEvent(port, &release);
    QTEST(port->text(), "expected");
    QTEST(port->cursorPosition(), "expectedCaret");
}

void TestMainWindow::emptyFieldStaysEmpty()
{
    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->setText(u"12"_s);
    port->setCursorPosition(2);
    QTest::keyClick(port, Qt::Key_Backspace);
    QTest::keyClick(port, Qt::Key_Backspace);
    QCOMPARE(port->text(), QString());
}

void TestMainWindow::pasting_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<QString>("expected");
    QTest::newRow("letters") << "abc"
                             << "65535";
    QTest::newRow("too long for 32 bits") << "123456789012"
                                          << "65535";
    QTest::newRow("a port") << "8080"
                            << "8080";
    QTest::newRow("above the limit") << "99999"
                                     << "65535";
}

void TestMainWindow::pasting()
{
    QFETCH(QString, clip);
    QFETCH(QString, expected);
    MainWindowFixture f;
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    port->clear();
    QApplication::clipboard()->setText(clip);
    port->paste(); // what the field's context menu does
    QCOMPARE(port->text(), expected);
}

void TestMainWindow::revealSequence_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<bool>("revealed");
    const int first = MainWindow::kRevealFirst;
    const int second = MainWindow::kRevealSecond;
    QTest::newRow("first then second") << QList<int>{first, second} << true;
    QTest::newRow("backspace between") << QList<int>{first, '\b', second} << true;
    QTest::newRow("digit between") << QList<int>{first, '5', second} << false;
    QTest::newRow("upper case") << QList<int>{first - 32, second - 32} << false;
    QTest::newRow("reversed") << QList<int>{second, first} << false;
}

void TestMainWindow::revealSequence()
{
    QFETCH(QList<int>, keys);
    QFETCH(bool, revealed);
    MainWindowFixture f;
    f.window->show();
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    auto* showLogs = f.find<QCheckBox>(u"chkShowLogs"_s);
    QVERIFY(!showLogs->isVisible());
    for (int key : keys) {
        if (key == '\b')
            QTest::keyClick(port, Qt::Key_Backspace);
        else
            QTest::keyClick(port, char(key));
    }
    QCOMPARE(showLogs->isVisible(), revealed);
    // The letters never reach the field; the backspace does its usual work.
    const QString expected = keys.contains('\b')  ? u"100"_s
                             : keys.contains('5') ? u"10005"_s
                                                  : u"1000"_s;
    QCOMPARE(port->text(), expected);
    if (revealed) {
        QTest::keyClick(port, char(MainWindow::kRevealFirst));
        QTest::keyClick(port, char(MainWindow::kRevealSecond));
        QVERIFY(showLogs->isVisible());
    }
}

void TestMainWindow::startUpPort_data()
{
    QTest::addColumn<QVariant>("saved");
    QTest::addColumn<QString>("shown");
    QTest::newRow("nothing saved") << QVariant() << "1000";
    QTest::newRow("empty") << QVariant(u""_s) << "";
    QTest::newRow("70000") << QVariant(u"70000"_s) << "65535";
    QTest::newRow("not a number") << QVariant(u"http"_s) << "65535";
    QTest::newRow("leading zeros") << QVariant(u"0080"_s) << "0080";
}

void TestMainWindow::startUpPort()
{
    QFETCH(QVariant, saved);
    QFETCH(QString, shown);
    MainWindowFixture f({u"127.0.0.1"_s, freePort()}, [&saved](QSettings& settings) {
        if (saved.isValid())
            settings.setValue(u"Settings/Port"_s, saved);
    });
    QCOMPARE(f.find<QLineEdit>(u"txtPort"_s)->text(), shown);
}

void TestMainWindow::portIsSavedOnClose()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"s.ini"_s);
    {
        MainWindowFixture f;
        f.window->show();
        auto* port = f.find<QLineEdit>(u"txtPort"_s);
        port->clear();
        QVERIFY(f.window->close());
        QCOMPARE(f.settings.value(u"Settings/Port"_s).toString(), QString());
        QVERIFY(f.settings.contains(u"Settings/Port"_s));
        QFile::copy(f.settings.fileName(), file);
    }
    MainWindowFixture again({u"127.0.0.1"_s, freePort()}, [&file](QSettings& settings) {
        const QSettings previous(file, QSettings::IniFormat);
        settings.setValue(u"Settings/Port"_s, previous.value(u"Settings/Port"_s));
    });
    QCOMPARE(again.find<QLineEdit>(u"txtPort"_s)->text(), QString());
}

void TestMainWindow::startUpLooks()
{
    MainWindowFixture f;
    MainWindow& w = *f.window;
    QCOMPARE(w.windowTitle(), u"Quillmere by Dunmoor version 1.0.39"_s);
    QVERIFY(f.find<QRadioButton>(u"optProtocol_0"_s)->isChecked());
    QVERIFY(!f.find<QRadioButton>(u"optProtocol_1"_s)->isChecked());
    for (const char* name : {"lblStatus", "lblInfo", "lblPingStatus", "lblExternalIP"})
        QVERIFY(f.find<QLabel>(QString::fromLatin1(name))->text().isEmpty());

    const QColor golden(233, 194, 98);
    QCOMPARE(f.theme.ThemeBackColor, 0x62C2E9u);
    QCOMPARE(w.palette().color(QPalette::Window), golden);
    QCOMPARE(f.find<QPushButton>(u"cmdCheckMe"_s)->palette().color(QPalette::Button), golden);
    QCOMPARE(f.find<QGroupBox>(u"Frame1"_s)->palette().color(QPalette::Window), golden);
    QCOMPARE(f.find<QLabel>(u"Label13"_s)->palette().color(QPalette::Window), golden);
    for (const char* name : {"optProtocol_0", "optProtocol_1"}) {
        auto* option = f.find<QRadioButton>(QString::fromLatin1(name));
        QCOMPARE(option->palette().color(option->backgroundRole()), golden);
        QCOMPARE(textColour(option), QColor(Qt::black));
    }
    QCOMPARE(f.find<QLineEdit>(u"txtPort"_s)->palette().color(QPalette::Base), QColor(Qt::white));
    for (const char* name : {"shaBack1", "shaBack2", "shaBack3", "shaBack4"})
        QCOMPARE(f.find<ShapeWidget>(QString::fromLatin1(name))->fillColor(), golden);

    const QColor menu(240, 205, 126);
    QCOMPARE(w.menuBar()->palette().color(QPalette::Window), menu);
    QCOMPARE(f.find<QMenu>(u"mnuFile"_s)->palette().color(QPalette::Window), menu);
    QCOMPARE(f.find<QMenu>(u"mnuOptions"_s)->palette().color(QPalette::Window), menu);

    // Keyboard focus goes only to the browser, the field, the options, the button (and the
    // check box once shown), in that order.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    f.find<QWidget>(u"txtPort"_s)->setFocus();
    QStringList order;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{u"optProtocol_0"_s, u"cmdCheckMe"_s, u"WebBrowser1"_s}));
}

void TestMainWindow::serverAddressLabel()
{
    MainWindowFixture literal({u"127.0.0.1"_s, 1});
    QCOMPARE(literal.find<QLabel>(u"Label11"_s)->text(), u"127.0.0.1"_s);

    MainWindowFixture v6({u"::1"_s, 1});
    QCOMPARE(v6.find<QLabel>(u"Label11"_s)->text(), QString());

    // A window closed while its lookup runs must neither crash nor leak when the answer comes
    // (the sanitizer build reports a leak); the next window's answer comes after it.
    std::make_unique<MainWindowFixture>(CheckServerAddress{u"localhost"_s, 1}).reset();
    MainWindowFixture named({u"localhost"_s, 1});
    QTRY_COMPARE(named.find<QLabel>(u"Label11"_s)->text(), u"127.0.0.1"_s);
}

void TestMainWindow::resizeKeepsMinimumAndStretches()
{
    MainWindowFixture f;
    MainWindow& w = *f.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* client = w.centralWidget();
    QWidget* browser = f.find<QWidget>(u"WebBrowser1"_s);

    // The window's outer size, frame included, in twips.
    auto outer = [&w] { return w.frameGeometry().size() * 15; };

    w.resize(400, 200);
    QTRY_COMPARE(w.size(), w.minimumSize());
    QCOMPARE(outer(), QSize(11700, 8715));
    QCOMPARE(browser->height(), qRound((8715 - 6155) / 15.0));

    w.resize(1000, 760);
    QTRY_COMPARE(w.size(), QSize(1000, 760));
    const QSize big = outer() / 15;
    QCOMPARE(f.find<QWidget>(u"Line1"_s)->geometry().right() + 1, big.width());
    QCOMPARE(f.find<QWidget>(u"imgBG"_s)->width(), big.width());
    QCOMPARE(f.find<QWidget>(u"shaWhite"_s)->height(), big.height());
    QCOMPARE(browser->x(), 3);                    // 50 twips
    QCOMPARE(browser->width(), big.width() - 10); // 150 twips narrower than the window
    QCOMPARE(browser->y(), 364);                  // its top never moves
    QCOMPARE(browser->height(), qRound((big.height() * 15 - 6155) / 15.0));
    QVERIFY(browser->geometry().bottom() < client->height());
    // Everything else keeps its place.
    QCOMPARE(f.find<QWidget>(u"cmdCheckMe"_s)->geometry(), QRect(176, 80, 109, 25));
    QCOMPARE(f.find<QWidget>(u"imgBG"_s)->height(), 452);

    // Only the direction that was too small snaps back.
    w.resize(1000, 100);
    QTRY_COMPARE(w.size(), QSize(1000, w.minimumHeight()));
}

void TestMainWindow::menuCommandsCloseAndSave()
{
    {
        MainWindowFixture f;
        f.window->show();
        f.find<QLineEdit>(u"txtPort"_s)->setText(u"4242"_s);
        f.find<QAction>(u"mnuFileExit"_s)->trigger();
        QVERIFY(!f.window->isVisible());
        QCOMPARE(f.settings.value(u"Settings/Port"_s).toString(), u"4242"_s);
        QVERIFY(f.opened.isEmpty());
    }
    {
        MainWindowFixture f;
        f.window->show();
        f.find<QLineEdit>(u"txtPort"_s)->setText(u"4343"_s);
        f.find<QAction>(u"mnuOptionsUninstall"_s)->trigger();
        QCOMPARE(f.opened.size(), 1);
        QCOMPARE(f.opened.front().first, f.dir.filePath(u"quillmere-uninstall"_s));
        QCOMPARE(f.opened.front().second, QString());
        QVERIFY(!f.window->isVisible());
        QCOMPARE(f.settings.value(u"Settings/Port"_s).toString(), u"4343"_s);
    }
}

void TestMainWindow::uninstallFromPackageNamesThePackage()
{
    MainWindowFixture f({u"127.0.0.1"_s, freePort()}, {},
                        [](MainWindow::Options& options) { options.installedAsPackage = true; });
    f.window->show();
    MessageBoxWatcher boxes;
    f.find<QAction>(u"mnuOptionsUninstall"_s)->trigger();
    QTRY_COMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().front().text,
             u"Quillmere was installed as a Debian package. Remove it with: "_s
             u"sudo apt remove quillmere"_s);
    QCOMPARE(boxes.seen().front().format, Qt::PlainText);
    // Nothing is started, and the window stays: the package is still there.
    QVERIFY(f.opened.isEmpty());
    QVERIFY(f.window->isVisible());
}

void TestMainWindow::activationFromLogWindowMovesTopEdge()
{
    MainWindowFixture f;
    MainWindow& w = *f.window;
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(w.pos().y(), 13); // 200 twips, on the first activation

    w.move(40, 300);
    QTRY_COMPARE(w.pos(), QPoint(40, 300));
    // A message box coming and going is not another window of the program.
    {
        MessageBoxWatcher boxes;
        w.showMessageBox(u"hello"_s, MessageIcon::None);
        QCOMPARE(boxes.seen().size(), 1);
    }
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QCOMPARE(w.pos(), QPoint(40, 300));

    // Back from the log window: the top edge returns to 200 twips, the left edge stays.
    auto* port = f.find<QLineEdit>(u"txtPort"_s);
    QTest::keyClick(port, char(MainWindow::kRevealFirst));
    QTest::keyClick(port, char(MainWindow::kRevealSecond));
    f.find<QCheckBox>(u"chkShowLogs"_s)->setChecked(true);
    LogWindow* logs = w.logWindow();
    QVERIFY(logs);
    logs->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(logs));
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTRY_COMPARE(w.pos(), QPoint(40, 13));
}

void TestMainWindow::wholeCheckFromClick()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    MainWindowFixture f({u"127.0.0.1"_s, server.port()});
    f.window->show();
    const quint16 port = freePort();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    auto* status = f.find<QLabel>(u"lblStatus"_s);
    QTRY_COMPARE(status->text(), u"Your port is OPEN on this computer!"_s);
    QCOMPARE(textColour(status), QColor(0, 97, 9));
    QCOMPARE(f.find<QLabel>(u"lblPingStatus"_s)->text(), u"We were able to ping your router."_s);
    QCOMPARE(f.find<QLabel>(u"lblExternalIP"_s)->text(),
             u"Your external IP address is: 127.0.0.1"_s);
    QCOMPARE(textColour(f.find<QLabel>(u"lblExternalIP"_s)), QColor(0, 97, 9));
    QVERIFY(
        f.find<QLabel>(u"lblInfo"_s)->text().startsWith(u"This means that our server was able"_s));
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().front().port, QByteArray::number(port));
    QCOMPARE(server.requests().front().protocol, QByteArray("tcp"));

    // UDP from the option button: the grace wait shows first, then the verdict.
    QTest::mouseClick(f.find<QRadioButton>(u"optProtocol_1"_s), Qt::LeftButton);
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(status->text(), u"Waiting for the packet to get here..."_s);
    QCOMPARE(textColour(status), QColor(0, 0, 255));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), u"Your port is OPEN on this computer!"_s, 15000);
    QCOMPARE(server.requests().back().protocol, QByteArray("udp"));
}

void TestMainWindow::serverTextIsPlainText()
{
    const QByteArray html = "<b>Maintenance</b> <a href=\"http://example.invalid/\">read more</a>";
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    ServerScript script;
    script.probe = ServerScript::Probe::None;
    script.replyPieces = {httpReply("-done- -ip:<i>1.2.3.4</i>- <message>" + html + "</message>")};
    server.setScript(script);
    MainWindowFixture f({u"127.0.0.1"_s, server.port()});
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(freePort()));

    MessageBoxWatcher boxes;
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1);
    const auto& box = boxes.seen().front();
    QCOMPARE(box.title, u"Quillmere"_s);
    QCOMPARE(box.text, QString::fromLatin1(html));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.format, Qt::PlainText);
    QVERIFY(box.modal);

    // Markup where the address should be is no address: it is not shown as one.
    auto* address = f.find<QLabel>(u"lblExternalIP"_s);
    QCOMPARE(address->text(), u"We were not able to determine your external IP address."_s);
    for (const char* name : {"lblStatus", "lblInfo", "lblPingStatus", "lblExternalIP"}) {
        auto* label = f.find<QLabel>(QString::fromLatin1(name));
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(!label->openExternalLinks());
    }
}

void TestMainWindow::lockedPortFromClick()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    MainWindowFixture f({u"127.0.0.1"_s, server.port()});
    f.window->show();
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::Any, 0));
    const QString port = QString::number(holder.localPort());
    f.find<QLineEdit>(u"txtPort"_s)->setText(port);
    QTest::mouseClick(f.find<QRadioButton>(u"optProtocol_1"_s), Qt::LeftButton);

    MessageBoxWatcher boxes;
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().front().text,
             u"Could not test port "_s + port +
                 u" because some other application has that port locked. Please close any "
                 u"applications that may be using this port and try again."_s);
    QCOMPARE(boxes.seen().front().icon, QMessageBox::NoIcon);
    auto* status = f.find<QLabel>(u"lblStatus"_s);
    QTRY_COMPARE(status->text(), u"Port "_s + port +
                                     u" could not be checked. Please close any applications "
                                     u"that may be using this port and try again."_s);
    QCOMPARE(textColour(status), QColor(255, 0, 0));
    QCOMPARE(f.find<QLabel>(u"lblInfo"_s)->text(),
             u"Try closing all applications that could be using port "_s + port +
                 u" and try again."_s);
    QVERIFY(server.requests().isEmpty());
    QVERIFY(!f.window->engine().timeoutTimer().isActive());
}

// Where IPv6 is checked, a line between the external address and the ping rows shows its
// verdict once the IPv4 check's stands; the IPv4 labels keep theirs, and no element moves.
void TestMainWindow::ipv6LineFollowsTheIpv4Check()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    MainWindowFixture f({u"127.0.0.1"_s, server.port()});
    // The server has no IPv6 address, so IPv6 is found to have no result, quickly.
    f.window->setIpv6Checked(true);
    f.window->engine().setTimeoutInterval(1500);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(freePort()));
    auto* line = f.find<QLabel>(u"lblIpv6"_s);
    QCOMPARE(line->geometry(), QRect(176, 170, 597, 20));
    QCOMPARE(line->textFormat(), Qt::PlainText);
    for (const char* other : {"lblExternalIP", "lblPingStatus", "Label3", "Label12"})
        QVERIFY2(
            !line->geometry().intersects(f.find<QWidget>(QString::fromLatin1(other))->geometry()),
            other);

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    auto* status = f.find<QLabel>(u"lblStatus"_s);
    QTRY_COMPARE(status->text(), u"Your port is OPEN on this computer!"_s);
    QTRY_COMPARE_WITH_TIMEOUT(
        line->text(),
        u"IPv6: Could not check your port over IPv6: no result from the server. (address unknown)"_s,
        15000);
    QCOMPARE(status->text(), u"Your port is OPEN on this computer!"_s);
    QCOMPARE(f.find<QLabel>(u"lblExternalIP"_s)->text(),
             u"Your external IP address is: 127.0.0.1"_s);
    QVERIFY(line->toolTip().contains(u"could not be reached over IPv6"_s));
    QCOMPARE(server.requests().size(), 1); // the IPv6 check never reached the IPv4-only server

    // A new check clears the line until its own IPv6 check is done.
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QVERIFY(!line->text().startsWith(u"IPv6: Could not"_s));
    QTRY_VERIFY_WITH_TIMEOUT(line->text().startsWith(u"IPv6: Could not"_s), 15000);
}

// After a locked port the window offers to check the program holding it; that check opens
// nothing, reports in the same labels, and names the program.
void TestMainWindow::runningServiceCheckedFromTheWindow()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    MainWindowFixture f({u"127.0.0.1"_s, server.port()});
    f.window->show();
    QTcpServer service;
    QVERIFY(service.listen(QHostAddress::Any, 0));
    const QString port = QString::number(service.serverPort());
    f.find<QLineEdit>(u"txtPort"_s)->setText(port);
    auto* button = f.find<QPushButton>(u"cmdCheckService"_s);
    QVERIFY(button->isHidden());
    QCOMPARE(button->text(), u"Check the running service"_s);

    MessageBoxWatcher boxes;
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1); // the locked-port box, as before
    QTRY_VERIFY(button->isVisible());
    QCOMPARE(button->geometry(), QRect(176, 264, 167, 24));
    for (const char* other : {"lblStatus", "Label8", "lblInfo", "Label3"})
        QVERIFY2(
            !button->geometry().intersects(f.find<QWidget>(QString::fromLatin1(other))->geometry()),
            other);

    QTest::mouseClick(button, Qt::LeftButton);
    auto* status = f.find<QLabel>(u"lblStatus"_s);
    QTRY_COMPARE(status->text(),
                 u"reachable from the internet: a service accepted the connection at 127.0.0.1:"_s +
                     port);
    QVERIFY(button->isHidden());
    const QString info = f.find<QLabel>(u"lblInfo"_s)->text();
    QVERIFY2(info.contains(u"cannot tell this computer from another device"_s), qPrintable(info));
    QVERIFY2(info.contains(u"Port "_s + port + u" is held by "_s), qPrintable(info));
    QVERIFY2(info.contains(u"(pid "_s + QString::number(QCoreApplication::applicationPid())),
             qPrintable(info));
    QCOMPARE(boxes.seen().size(), 1);
    QTRY_VERIFY(service.hasPendingConnections());

    // "Check Me" is the classic check again.
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 2);
    QVERIFY(!f.window->engine().isServiceCheck());
}

namespace {

// Answers the next Options > Check server... dialog: `act` gets it once it is open and on screen.
class CheckServerDialogDriver : public QObject
{
public:
    explicit CheckServerDialogDriver(std::function<void(QDialog&)> act)
        : m_act(std::move(act))
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->objectName() != u"frmCheckServer"_s || m_done)
                return;
            m_done = true;
            m_act(*dialog);
        });
        m_poll.start(10);
    }
    bool done() const { return m_done; }

private:
    std::function<void(QDialog&)> m_act;
    QTimer m_poll;
    bool m_done = false;
};

QPushButton* okButton(QDialog& dialog)
{
    return dialog.findChild<QDialogButtonBox*>(u"cmdCheckServerButtons"_s)
        ->button(QDialogButtonBox::Ok);
}

} // namespace

// Options > Check server... sets the server of the next check, keeps it in the settings, and
// the line about a local server comes and goes with the server chosen.
void TestMainWindow::checkServerChosenInOptions()
{
    ScriptedCheckServer first;
    ScriptedCheckServer second;
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    const CheckServerAddress builtIn{u"127.0.0.1"_s, first.port()};
    const QString secondText = u"127.0.0.1:"_s + QString::number(second.port());
    MainWindowFixture f(
        builtIn, {}, [&builtIn](MainWindow::Options& options) { options.builtInServer = builtIn; });
    f.window->show();
    auto* note = f.find<QLabel>(u"lblServerNote"_s);
    QCOMPARE(note->geometry(), QRect(176, 214, 597, 26));
    QCOMPARE(note->textFormat(), Qt::PlainText);
    QTRY_VERIFY(note->isVisible());
    QVERIFY2(note->text().contains(u"cannot speak for your router"_s) &&
                 note->text().contains(u"Options > Check server..."_s),
             qPrintable(note->text()));
    auto* action = f.window->findChild<QAction*>(u"mnuOptionsCheckServer"_s);
    QVERIFY(action);
    QCOMPARE(action->text(), u"Check server..."_s);

    {
        CheckServerDialogDriver driver([&secondText](QDialog& dialog) {
            auto* field = dialog.findChild<QLineEdit*>(u"txtCheckServer"_s);
            auto* problem = dialog.findChild<QLabel*>(u"lblCheckServerProblem"_s);
            QCOMPARE(field->text(), QString()); // nothing chosen yet: the built-in server
            field->setText(u"host name with blanks"_s);
            QVERIFY(!okButton(dialog)->isEnabled());
            QVERIFY(!problem->text().isEmpty());
            field->setText(u"  "_s + secondText + u" "_s);
            QVERIFY(okButton(dialog)->isEnabled());
            QVERIFY(problem->text().isEmpty());
            QTest::mouseClick(okButton(dialog), Qt::LeftButton);
        });
        action->trigger();
        QVERIFY(driver.done());
    }
    QCOMPARE(f.settings.value(u"Settings/CheckServer"_s).toString(), secondText);
    QCOMPARE(f.window->checkServer(), (CheckServerAddress{u"127.0.0.1"_s, second.port()}));
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(freePort()));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(f.find<QLabel>(u"lblStatus"_s)->text(), u"Your port is OPEN on this computer!"_s);
    QCOMPARE(second.requests().size(), 1);
    QCOMPARE(second.requests().front().host, QByteArray("127.0.0.1"));
    QVERIFY(first.requests().isEmpty());

    // A server beyond the local network: no note.
    {
        CheckServerDialogDriver driver([](QDialog& dialog) {
            dialog.findChild<QLineEdit*>(u"txtCheckServer"_s)->setText(u"192.0.2.1:8080"_s);
            QTest::mouseClick(okButton(dialog), Qt::LeftButton);
        });
        action->trigger();
    }
    QCOMPARE(f.window->checkServer(), (CheckServerAddress{u"192.0.2.1"_s, 8080}));
    QVERIFY(note->isHidden());
    QCOMPARE(f.find<QLabel>(u"Label11"_s)->text(), u"192.0.2.1"_s);

    // Cancel changes nothing; an empty field goes back to the built-in server.
    {
        CheckServerDialogDriver driver([](QDialog& dialog) {
            dialog.findChild<QLineEdit*>(u"txtCheckServer"_s)->setText(u"198.51.100.1"_s);
            dialog.reject();
        });
        action->trigger();
    }
    QCOMPARE(f.window->checkServer(), (CheckServerAddress{u"192.0.2.1"_s, 8080}));
    {
        CheckServerDialogDriver driver([](QDialog& dialog) {
            dialog.findChild<QLineEdit*>(u"txtCheckServer"_s)->clear();
            QTest::mouseClick(okButton(dialog), Qt::LeftButton);
        });
        action->trigger();
    }
    QVERIFY(!f.settings.contains(u"Settings/CheckServer"_s));
    QCOMPARE(f.window->checkServer(), builtIn);
    QTRY_VERIFY(note->isVisible());

    // The choice is the next window's server too.
    MainWindowFixture again(builtIn, [&secondText](QSettings& settings) {
        settings.setValue(u"Settings/CheckServer"_s, secondText);
    });
    QCOMPARE(again.window->checkServer(), (CheckServerAddress{u"127.0.0.1"_s, second.port()}));
}

// QUILLMERE_CHECK_SERVER wins over the choice: the dialog says so, and the server stays.
void TestMainWindow::environmentServerOverridesTheChoice()
{
    const CheckServerAddress named{u"192.0.2.7"_s, 8080};
    MainWindowFixture f(
        named,
        [](QSettings& settings) { settings.setValue(u"Settings/CheckServer"_s, u"192.0.2.9"_s); },
        [](MainWindow::Options& options) { options.serverFromEnvironment = true; });
    QCOMPARE(f.window->checkServer(), named);
    QString shown;
    {
        CheckServerDialogDriver driver([&shown](QDialog& dialog) {
            QCOMPARE(dialog.findChild<QLineEdit*>(u"txtCheckServer"_s)->text(), u"192.0.2.9"_s);
            shown = dialog.findChild<QLabel*>(u"lblCheckServerProblem"_s)->text();
            dialog.findChild<QLineEdit*>(u"txtCheckServer"_s)->setText(u"192.0.2.10"_s);
            QTest::mouseClick(okButton(dialog), Qt::LeftButton);
        });
        f.window->findChild<QAction*>(u"mnuOptionsCheckServer"_s)->trigger();
    }
    QVERIFY2(shown.contains(u"QUILLMERE_CHECK_SERVER names 192.0.2.7:8080"_s), qPrintable(shown));
    QCOMPARE(f.settings.value(u"Settings/CheckServer"_s).toString(), u"192.0.2.10"_s);
    QCOMPARE(f.window->checkServer(), named);
    QCOMPARE(f.window->engine().server(), named);
}

namespace {

// A router that maps the checked port to another device, and takes a forward.
ScriptedRouter::Script routerWithMappingElsewhere(quint16 port)
{
    ScriptedRouter::Script script;
    router::RouterFacts& facts = script.facts;
    facts.found = true;
    facts.via = router::Via::Upnp;
    facts.address = u"192.168.1.1"_s;
    facts.localAddress = u"192.168.1.10"_s;
    facts.externalAddress = u"127.0.0.1"_s; // what the scripted check server reports
    facts.canMap = true;
    facts.mappingQueried = true;
    facts.mapping =
        router::Mapping{u"192.168.1.20"_s, port, u"<b>Camera</b>"_s, 3600, u"dvr.lan"_s, false};
    facts.log = {u"SSDP: answer from 192.168.1.1"_s};
    script.forward.ok = true;
    script.forward.mapping =
        router::Mapping{u"192.168.1.10"_s, port, u"Quillmere"_s, 3600, QString(), true};
    return script;
}

MainWindowFixture routerFixture(quint16 serverPort, ScriptedRouter::Script script,
                                std::shared_ptr<ScriptedRouter::Record> record)
{
    return MainWindowFixture({u"127.0.0.1"_s, serverPort}, {},
                             [script, record](MainWindow::Options& options) {
                                 options.routerBackend = [script, record] {
                                     return std::make_unique<ScriptedRouter>(script, record);
                                 };
                             });
}

} // namespace

// The router is asked about the checked port beside the check; its finding shows in one line
// beside "Check Me" and in the router window, as plain text.
void TestMainWindow::routerAnswersBesideTheCheck()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None; // nothing gets through: not open
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    MainWindowFixture f = routerFixture(server.port(), routerWithMappingElsewhere(port), record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    auto* line = f.find<QLabel>(u"lblRouter"_s);
    QVERIFY(line->isVisible());
    QCOMPARE(line->textFormat(), Qt::PlainText);

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(f.find<QLabel>(u"lblStatus"_s)->text(),
                 u"Your port is NOT OPEN or not reachable!"_s);
    QTRY_VERIFY(f.window->routerFacts().has_value());
    QCOMPARE(record->lookupCount(), 1);
    QCOMPARE(record->lookups.front().port, int(port));
    QCOMPARE(record->lookups.front().protocol, ProbeProtocol::Tcp);
    QCOMPARE(record->lookups.front().checkServerHost, u"127.0.0.1"_s);
    // The diagnosis, once it stands, replaces the waiting texts in the line, by its name.
    QTRY_VERIFY2(line->text().startsWith(u"Goes to another device"_s), qPrintable(line->text()));

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->objectName(), u"frmRouter"_s);
    auto* facts = window->findChild<QLabel*>(u"lblRouterFacts"_s);
    QCOMPARE(facts->textFormat(), Qt::PlainText);
    QVERIFY2(facts->text().contains(u"192.168.1.20:"_s + QString::number(port)),
             qPrintable(facts->text()));
    QVERIFY(facts->text().contains(u"\"<b>Camera</b>\""_s)); // the router's text, as it came
    QVERIFY(!window->findChild<QLabel*>(u"lblDiagnosis"_s)->text().isEmpty());

    // Another device holds the port: there is nothing to forward, it is never replaced.
    auto* forward = window->findChild<QPushButton*>(u"cmdForward"_s);
    QCOMPARE(forward->text(), u"Forward this port to this computer"_s);
    QVERIFY(!forward->isEnabled());

    // A port another program holds here is never checked: the router's answer stands alone,
    // instead of waiting for a check that will not come.
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(holder.serverPort()));
    MessageBoxWatcher boxes;
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1);
    QTRY_COMPARE(record->lookupCount(), 2);
    QTRY_VERIFY(line->text().startsWith(u"Router: "_s));
    QCOMPARE(window->findChild<QLabel*>(u"lblDiagnosis"_s)->text(),
             u"The port could not be opened on this computer, so it was not checked."_s);
}

// With no mapping in the way, "Forward this port to this computer" asks the router once, then
// checks again.
void TestMainWindow::forwardFromTheRouterWindow()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.facts.mapping.reset();
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(f.window->routerFacts().has_value());
    QTRY_COMPARE(f.find<QLabel>(u"lblStatus"_s)->text(),
                 u"Your port is NOT OPEN or not reachable!"_s);

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    QVERIFY(window->findChild<QLabel*>(u"lblRouterFacts"_s)->text().contains(u"no UPnP mapping"_s));
    auto* forward = window->findChild<QPushButton*>(u"cmdForward"_s);
    QTRY_VERIFY(forward->isEnabled());
    QTest::mouseClick(forward, Qt::LeftButton);
    QTRY_COMPARE(record->forwardCount(), 1);
    QCOMPARE(record->forwards.front().port, int(port));
    QCOMPARE(record->forwards.front().leaseSeconds, MainWindow::kForwardLeaseSeconds);
    QTRY_COMPARE(server.requests().size(), 2);
    QTRY_COMPARE(record->lookupCount(), 2);
    QVERIFY(window->findChild<QLabel*>(u"lblForward"_s)
                ->text()
                .contains(u"now goes to this computer"_s));
}

// After a check over IPv6 that did not find the port open, where the router's IPv6 firewall
// takes pinholes, the router window offers one; it is asked for this computer's IPv6 address,
// then IPv6 is checked again. It offers no removal of an IPv4 forward.
void TestMainWindow::ipv6PinholeFromTheRouterWindow()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.facts.mapping.reset();
    script.forward.ok = true;
    script.forward.kind = router::ForwardKind::Pinhole;
    script.forward.via = router::Via::Upnp;
    script.forward.pinhole = router::Pinhole{u"7"_s, {}, 3600, u"2001:db8::10"_s};
    MainWindowFixture f = routerFixture(server.port(), script, record);
    // The server has no IPv6 address: IPv6 is found not open here, quickly.
    f.window->setIpv6Checked(true);
    f.window->engine().setTimeoutInterval(1500);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    auto* line = f.find<QLabel>(u"lblIpv6"_s);
    QTRY_VERIFY_WITH_TIMEOUT(line->text().startsWith(u"IPv6: Could not"_s), 15000);
    QTRY_VERIFY(f.window->routerFacts().has_value());

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* pinhole = window->findChild<QPushButton*>(u"cmdIpv6Pinhole"_s);
    QVERIFY(pinhole);
    // The router's IPv6 firewall has not answered: nothing to offer.
    QVERIFY(!pinhole->isVisible());

    ScriptedRouter::Script allowed = script;
    allowed.facts.ipv6 = router::Ipv6RouterFacts{true, router::Via::Upnp, std::nullopt};
    MainWindowFixture g = routerFixture(server.port(), allowed, record);
    g.window->setIpv6Checked(true);
    g.window->engine().setTimeoutInterval(1500);
    g.window->show();
    g.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(g.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    auto* line2 = g.find<QLabel>(u"lblIpv6"_s);
    QTRY_VERIFY_WITH_TIMEOUT(line2->text().startsWith(u"IPv6: Could not"_s), 15000);
    QTest::mouseClick(g.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window2 = g.window->routerWindow();
    auto* pinhole2 = window2->findChild<QPushButton*>(u"cmdIpv6Pinhole"_s);
    QTRY_VERIFY(pinhole2->isVisible());
    QSignalSpy ipv6Checks(&g.window->session(), &session::CheckSession::ipv6Done);
    QTest::mouseClick(pinhole2, Qt::LeftButton);
    QTRY_COMPARE(record->forwardCount(), 1);
    QVERIFY(record->forwards.front().ipv6);
    QCOMPARE(record->forwards.front().port, int(port));
    QTRY_VERIFY(window2->findChild<QLabel*>(u"lblForward"_s)
                    ->text()
                    .startsWith(u"the IPv6 pinhole for port "_s));
    // IPv6 is checked again, and the line shows that check's verdict.
    QTRY_COMPARE_WITH_TIMEOUT(ipv6Checks.count(), 1, 15000);
    QVERIFY(line2->text().startsWith(u"IPv6: Could not"_s));
    QVERIFY(!window2->findChild<QPushButton*>(u"cmdRemoveForward"_s)->isVisible());
    QCOMPARE(g.find<QLabel>(u"lblStatus"_s)->text(), u"Your port is OPEN on this computer!"_s);
}

// A router that takes its time never delays the verdict, and the window goes on painting.
void TestMainWindow::routerNeverHoldsUpTheVerdict()
{
    ScriptedCheckServer server;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.delayMs = 3000;
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE(f.find<QLabel>(u"lblStatus"_s)->text(), u"Your port is OPEN on this computer!"_s);
    QVERIFY(!f.window->routerFacts().has_value()); // the router is still thinking
    QCOMPARE(f.find<QLabel>(u"lblRouter"_s)->text(), u"Asking the router..."_s);
    QTRY_VERIFY_WITH_TIMEOUT(f.window->routerFacts().has_value(), 10000);
    QVERIFY(!record->threads.contains(QThread::currentThread()));
}

// The finding beside "Router..." is its short name, whole, with the whole diagnosis on hover as
// plain text. Every finding has a name that fits the line, the two that other parts of the
// program add included.
void TestMainWindow::shortFindingBesideRouter()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.facts.mapping->name = u"<i>dvr</i>.lan"_s;
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    auto* line = f.find<QLabel>(u"lblRouter"_s);

    QStringList codes;
    for (int i = 0; i <= int(router::Finding::NoCheckResult); ++i)
        codes << QString(router::findingCode(router::Finding(i)));
    codes << u"blocked-by-this-computer"_s << u"blocked-upstream"_s;
    QSet<QString> names;
    for (const QString& code : codes) {
        const QString name = findingName(code);
        QVERIFY2(!name.isEmpty(), qPrintable(code));
        names.insert(name);
        const QString shown = shortFinding(code, line->fontMetrics(), line->width());
        QVERIFY2(shown.startsWith(name), qPrintable(shown));
        QVERIFY2(line->fontMetrics().horizontalAdvance(shown) <= line->width(), qPrintable(shown));
    }
    QCOMPARE(names.size(), codes.size());
    QVERIFY(findingName(u"no-such-finding").isEmpty());

    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(f.window->session().report().diagnosis.isDone());
    const router::Diagnosis& diagnosis = *f.window->session().report().diagnosis;
    QCOMPARE(diagnosis.finding, router::Finding::ForwardedElsewhere);
    QCOMPARE(line->text(),
             shortFinding(u"forwarded-elsewhere", line->fontMetrics(), line->width()));
    QVERIFY2(line->text().startsWith(u"Goes to another device"_s), qPrintable(line->text()));
    QCOMPARE(line->fontMetrics().elidedText(line->text(), Qt::ElideRight, line->width()),
             line->text());
    QCOMPARE(line->toolTip(), plainToolTip(diagnosis.text()));
    QVERIFY2(line->toolTip().contains(u"&lt;i&gt;dvr&lt;/i&gt;.lan"_s),
             qPrintable(line->toolTip()));

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    QCOMPARE(window->findChild<QLabel*>(u"lblDiagnosis"_s)->text(), diagnosis.text());
}

// The lease chosen in the router window is the one the window's forward asks for, shows when the
// forward ends, and is there again in the next run's window.
void TestMainWindow::forwardLeaseRememberedAcrossWindows()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    // NAT-PMP's way: no mapping can be listed, so the forward's own answer says when it ends.
    script.facts.via = router::Via::Natpmp;
    script.facts.mappingQueried = false;
    script.facts.mapping.reset();
    script.forward.mapping->leaseSeconds = 0;
    script.forward.permanentOnly = false;
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(f.window->session().report().diagnosis.isDone());

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* lease = window->findChild<QComboBox*>(u"cboForwardLease"_s);
    QCOMPARE(lease->currentText(), u"for an hour"_s);
    QVERIFY(window->findChild<QPushButton*>(u"cmdRemoveForward"_s)->isHidden());
    lease->setFocus();
    QTest::keyClick(lease, Qt::Key_End); // until removed
    QCOMPARE(lease->currentText(), u"until removed"_s);
    QCOMPARE(f.settings.value(u"Settings/ForwardLease"_s).toLongLong(), 0);

    auto* forward = window->findChild<QPushButton*>(u"cmdForward"_s);
    QTRY_VERIFY(forward->isEnabled());
    QTest::mouseClick(forward, Qt::LeftButton);
    QTRY_COMPARE(record->forwardCount(), 1);
    QCOMPARE(record->forwards.front().leaseSeconds, 0);
    auto* ends = window->findChild<QLabel*>(u"lblForwardEnds"_s);
    QTRY_VERIFY(ends->isVisible());
    QVERIFY2(ends->text().endsWith(u"until removed."_s), qPrintable(ends->text()));
    QVERIFY(window->findChild<QPushButton*>(u"cmdRemoveForward"_s)->isVisible());
    // Checking again through the new mapping keeps what the forward said: NAT-PMP cannot list it.
    QTRY_COMPARE(record->lookupCount(), 2);
    QTRY_VERIFY(f.window->session().report().diagnosis.isDone());
    QVERIFY(ends->isVisible());

    // A day, in the next run: its window offers it first, and the forward asks for it.
    QTest::keyClick(lease, Qt::Key_Up);
    QCOMPARE(lease->currentText(), u"for a day"_s);
    const QString file = f.settings.fileName();
    f.window.reset(); // the run ends: its check lets go of the port
    auto record2 = std::make_shared<ScriptedRouter::Record>();
    MainWindowFixture again(
        {u"127.0.0.1"_s, server.port()},
        [&file](QSettings& settings) {
            const QSettings previous(file, QSettings::IniFormat);
            for (const QString& key : previous.allKeys())
                settings.setValue(key, previous.value(key));
        },
        [script, record2](MainWindow::Options& options) {
            options.routerBackend = [script, record2] {
                return std::make_unique<ScriptedRouter>(script, record2);
            };
        });
    again.window->show();
    again.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(again.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(again.window->session().report().diagnosis.isDone());
    QTest::mouseClick(again.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window2 = again.window->routerWindow();
    QVERIFY(window2);
    QCOMPARE(window2->findChild<QComboBox*>(u"cboForwardLease"_s)->currentText(), u"for a day"_s);
    QCOMPARE(window2->forwardLease(), 86400);
    auto* forward2 = window2->findChild<QPushButton*>(u"cmdForward"_s);
    QTRY_VERIFY(forward2->isEnabled());
    QTest::mouseClick(forward2, Qt::LeftButton);
    QTRY_COMPARE(record2->forwardCount(), 1);
    QCOMPARE(record2->forwards.front().leaseSeconds, 86400);
}

// A mapping of the port to this computer is offered for removal, with its end; removing it asks
// the router to unmap that port, shows what came of it, and checks the port again.
void TestMainWindow::removeThisComputersForward()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    // This computer answered the probe with a reset: no control port is tried, only the one
    // port is checked.
    server.script().replyPieces = {httpReply("-ping ok -ip:127.0.0.1- -probe:refused- -done-")};
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.facts.mapping =
        router::Mapping{u"192.168.1.10"_s, port, u"Quillmere"_s, 7200, QString(), true};
    script.unforward.ok = true;
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    const QDateTime before = QDateTime::currentDateTime();
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(f.window->session().report().diagnosis.isDone());
    QTRY_COMPARE(server.requests().size(), 1);

    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* ends = window->findChild<QLabel*>(u"lblForwardEnds"_s);
    auto* remove = window->findChild<QPushButton*>(u"cmdRemoveForward"_s);
    QVERIFY(ends->isVisible() && remove->isVisible());
    // Two hours from the lookup, to the minute the window shows.
    const QDateTime end = before.addSecs(7200);
    QList<QDateTime> within;
    for (int minute = 0; minute <= 2; ++minute)
        within << end.addSecs(60 * minute);
    QVERIFY2(std::any_of(within.begin(), within.end(),
                         [&](const QDateTime& at) {
                             return ends->text().contains(
                                        QLocale().toString(at.date(), QLocale::ShortFormat)) &&
                                    ends->text().contains(at.toString(u":mm"_s));
                         }),
             qPrintable(ends->text()));

    QTest::mouseClick(remove, Qt::LeftButton);
    QTRY_COMPARE(server.requests().size(), 2);
    {
        QMutexLocker lock(&record->mutex);
        QCOMPARE(record->unforwards.size(), 1);
        QCOMPARE(record->unforwards.front().port, int(port));
        QCOMPARE(record->unforwards.front().protocol, ProbeProtocol::Tcp);
        QCOMPARE(record->forwards.size(), 0);
    }
    auto* result = window->findChild<QLabel*>(u"lblForward"_s);
    QTRY_VERIFY2(result->text().contains(u"no longer goes to this computer"_s),
                 qPrintable(result->text()));
    // Checked again without it; this router still lists it, so it is offered again.
    QTRY_COMPARE(server.requests().size(), 2);
    QTRY_COMPARE(record->lookupCount(), 2);
    QTRY_VERIFY(remove->isVisible());
    QVERIFY(result->text().contains(u"no longer goes to this computer"_s));
}

// The checked port is mapped here but nothing gets through, while a control port does: the path
// section says so and offers to forward that external port to the checked one.
void TestMainWindow::findingsWindowOffersTheControlPort()
{
    ScriptedCheckServer server;
    const quint16 port = freePort();
    server.script().probeWhen = [port](const CheckRequest& request) {
        return request.port != QByteArray::number(port);
    };
    QVERIFY(server.listen());
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.keepsMappings = true;
    script.unforward.ok = true;
    record->mappings.insert(port, router::Mapping{u"192.168.1.10"_s, port, u"Game"_s, 0, {}, true});
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* path = window->findChild<QLabel*>(u"lblPathLayer"_s);
    QCOMPARE(path->text(), u"Not checked: no check has run yet."_s);

    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(f.window->session().stage(), session::CheckSession::Stage::Done,
                              20000);
    const session::Report& report = f.window->session().report();
    QVERIFY(report.controlPort.isDone());
    const int control = report.controlPort->port;
    QVERIFY(report.controlPort->open);
    QCOMPARE(path->text(), session::controlPortText(report));
    QVERIFY2(path->text().contains(QString::number(control)), qPrintable(path->text()));
    // The port was not open: there was no way in from the LAN to try.
    QVERIFY(window->findChild<QLabel*>(u"lblInsideLayer"_s)->text().startsWith(u"Not checked: "_s));

    auto* external = window->findChild<QPushButton*>(u"cmdForwardExternal"_s);
    QVERIFY(external->isVisible() && external->isEnabled());
    const int forwardsBefore = record->forwardCount();
    QTest::mouseClick(external, Qt::LeftButton);
    QTRY_COMPARE(record->forwardCount(), forwardsBefore + 1);
    {
        QMutexLocker lock(&record->mutex);
        QCOMPARE(record->forwards.back().port, int(port));
        QCOMPARE(record->forwards.back().externalPort, control);
    }
    // Only that forward asked for another external port: the session's own goes back to none.
    QCOMPARE(f.window->session().options().externalPort, 0);
}

// A router that will not remove the mapping: the window says so, keeps offering the removal, and
// checks nothing again.
void TestMainWindow::removalRefusedIsShown()
{
    ScriptedCheckServer server;
    server.script().probe = ServerScript::Probe::None;
    // This computer answered the probe with a reset: no control port is tried, only the one
    // port is checked.
    server.script().replyPieces = {httpReply("-ping ok -ip:127.0.0.1- -probe:refused- -done-")};
    QVERIFY(server.listen());
    const quint16 port = freePort();
    auto record = std::make_shared<ScriptedRouter::Record>();
    ScriptedRouter::Script script = routerWithMappingElsewhere(port);
    script.facts.mapping =
        router::Mapping{u"192.168.1.10"_s, port, u"Quillmere"_s, 0, QString(), true};
    script.unforward.ok = false;
    script.unforward.error = u"UPnP error 606: <Action not authorized>"_s;
    MainWindowFixture f = routerFixture(server.port(), script, record);
    f.window->show();
    f.find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    QTest::mouseClick(f.find<QPushButton>(u"cmdCheckMe"_s), Qt::LeftButton);
    QTRY_VERIFY(f.window->session().report().diagnosis.isDone());
    QTest::mouseClick(f.find<QPushButton>(u"cmdRouter"_s), Qt::LeftButton);
    RouterWindow* window = f.window->routerWindow();
    QVERIFY(window);
    auto* ends = window->findChild<QLabel*>(u"lblForwardEnds"_s);
    QVERIFY2(ends->text().endsWith(u"until removed."_s), qPrintable(ends->text()));

    QTest::mouseClick(window->findChild<QPushButton*>(u"cmdRemoveForward"_s), Qt::LeftButton);
    auto* result = window->findChild<QLabel*>(u"lblForward"_s);
    QTRY_VERIFY2(result->text().contains(u"could not remove"_s), qPrintable(result->text()));
    QVERIFY(result->text().contains(u"<Action not authorized>"_s));
    QCOMPARE(result->textFormat(), Qt::PlainText);
    QTRY_COMPARE(f.window->session().stage(), session::CheckSession::Stage::Done);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(record->lookupCount(), 1);
    QVERIFY(window->findChild<QPushButton*>(u"cmdRemoveForward"_s)->isVisible());
}

// A program built with localhost as its server opens Options > Check server... by itself once,
// saying where a server comes from; the settings remember it.
void TestMainWindow::checkServerIntroducedOnce()
{
    const CheckServerAddress localhost{u"localhost"_s, 80};
    MainWindowFixture f(
        {u"127.0.0.1"_s, freePort()}, {},
        [&localhost](MainWindow::Options& options) { options.builtInServer = localhost; });
    QString intro;
    {
        CheckServerDialogDriver driver([&intro](QDialog& dialog) {
            auto* label = dialog.findChild<QLabel*>(u"lblCheckServerIntro"_s);
            QVERIFY(label);
            QCOMPARE(label->textFormat(), Qt::PlainText);
            QVERIFY(!label->geometry().intersects(
                dialog.findChild<QLabel*>(u"lblCheckServerPrompt"_s)->geometry()));
            intro = label->text();
            dialog.reject();
        });
        f.window->introduceCheckServer();
        QVERIFY(driver.done());
    }
    QVERIFY2(intro.contains(u"quillmere-server"_s) && intro.contains(u"public host"_s),
             qPrintable(intro));
    QVERIFY(f.settings.value(u"Settings/CheckServerIntroduced"_s).toBool());

    // Once only, and never where a server is chosen, named, or built in.
    auto opensDialog = [](MainWindow& window) {
        CheckServerDialogDriver driver([](QDialog& dialog) { dialog.reject(); });
        window.introduceCheckServer();
        return driver.done();
    };
    QVERIFY(!opensDialog(*f.window));
    MainWindowFixture chosen(
        {u"127.0.0.1"_s, freePort()},
        [](QSettings& settings) { settings.setValue(u"Settings/CheckServer"_s, u"192.0.2.1"_s); },
        [&localhost](MainWindow::Options& options) { options.builtInServer = localhost; });
    QVERIFY(!opensDialog(*chosen.window));
    MainWindowFixture builtIn({u"127.0.0.1"_s, freePort()}, {}, [](MainWindow::Options& options) {
        options.builtInServer = {u"checker.example.net"_s, 80};
    });
    QVERIFY(!opensDialog(*builtIn.window));
    MainWindowFixture named({u"192.0.2.7"_s, 8080}, {}, [&localhost](MainWindow::Options& options) {
        options.builtInServer = localhost;
        options.serverFromEnvironment = true;
    });
    QVERIFY(!opensDialog(*named.window));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
