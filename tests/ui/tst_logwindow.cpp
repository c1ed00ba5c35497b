// The log window: opening and closing it every way a user can, and its live mirror of the two
// exchange logs.

#include "tests/ui/uitesthelpers.h"
#include "ui/logmirror.h"
#include "ui/logwindow.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

class TestLogWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void tickOpensAFreshTopMostWindow();
    void closeButtonUnticks();
    void closeBoxLeavesTheTick();
    void closingTheMainWindowClosesIt();
    void mirrorsWholeLogFromNextEntry();
    void typedTextIsOverwritten();
    void burstCostsOneUpdate();
    void mirrorRewritesAfterReset();
    void trailerStaysBelowTheGrowingLog();

private:
    void reveal();
    QCheckBox* showLogs() const { return m_f->find<QCheckBox>(u"chkShowLogs"_s); }

    std::unique_ptr<MainWindowFixture> m_f;
};

void TestLogWindow::init()
{
    m_f = std::make_unique<MainWindowFixture>();
    m_f->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_f->window.get()));
    reveal();
}

void TestLogWindow::cleanup()
{
    m_f.reset();
}

void TestLogWindow::reveal()
{
    auto* port = m_f->find<QLineEdit>(u"txtPort"_s);
    QTest::keyClick(port, char(MainWindow::kRevealFirst));
    QTest::keyClick(port, char(MainWindow::kRevealSecond));
    QVERIFY(showLogs()->isVisible());
}

void TestLogWindow::tickOpensAFreshTopMostWindow()
{
    MainWindow& w = *m_f->window;
    QVERIFY(!w.isLogWindowOpen());
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    LogWindow* logs = w.logWindow();
    QVERIFY(logs && logs->isVisible());
    QVERIFY(w.isLogWindowOpen());
    QCOMPARE(logs->objectName(), u"frmLogs"_s);
    QCOMPARE(logs->windowTitle(), u"Quillmere Logs"_s);
    QVERIFY(logs->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(!logs->parentWidget()); // no owner
    QCOMPARE(logs->size(), QSize(764, 209));
    QCOMPARE(logs->minimumSize(), logs->maximumSize()); // not resizable
    // It wears the main window's icon and the theme.
    QCOMPARE(logs->windowIcon().pixmap(16).toImage(), w.windowIcon().pixmap(16).toImage());
    QCOMPARE(logs->palette().color(QPalette::Window), QColor(233, 194, 98));
    QCOMPARE(logs->httpBox()->palette().color(QPalette::Base), QColor(Qt::white));
    // Boxes start empty, even after a check has filled the logs.
    QVERIFY(logs->httpBox()->toPlainText().isEmpty());
    QVERIFY(logs->listenerBox()->toPlainText().isEmpty());
}

void TestLogWindow::closeButtonUnticks()
{
    MainWindow& w = *m_f->window;
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QPointer<LogWindow> first = w.logWindow();
    first->httpBox()->setPlainText(u"typed"_s);
    QTest::mouseClick(first->findChild<QPushButton*>(u"cmdClose"_s), Qt::LeftButton);
    QVERIFY(!showLogs()->isChecked());
    QVERIFY(!w.isLogWindowOpen());
    QTRY_VERIFY(first.isNull()); // unloaded, not hidden

    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QVERIFY(w.logWindow() && w.logWindow()->isVisible());
    QVERIFY(w.logWindow()->httpBox()->toPlainText().isEmpty()); // a fresh window
}

void TestLogWindow::closeBoxLeavesTheTick()
{
    MainWindow& w = *m_f->window;
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QPointer<LogWindow> logs = w.logWindow();
    logs->close(); // the title bar's close box
    QVERIFY(!w.isLogWindowOpen());
    QVERIFY(showLogs()->isChecked());
    QTRY_VERIFY(logs.isNull());

    QTest::mouseClick(showLogs(), Qt::LeftButton); // only unticks
    QVERIFY(!showLogs()->isChecked());
    QVERIFY(!w.logWindow());
    QTest::mouseClick(showLogs(), Qt::LeftButton); // opens again
    QVERIFY(w.logWindow() && w.logWindow()->isVisible());
    QVERIFY(w.isLogWindowOpen());
}

void TestLogWindow::closingTheMainWindowClosesIt()
{
    MainWindow& w = *m_f->window;
    m_f->find<QLineEdit>(u"txtPort"_s)->setText(u"777"_s);
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QPointer<LogWindow> logs = w.logWindow();
    QVERIFY(w.close());
    QTRY_VERIFY(logs.isNull());
    QVERIFY(!w.isLogWindowOpen());
    QCOMPARE(m_f->settings.value(u"Settings/Port"_s).toString(), u"777"_s);
}

void TestLogWindow::mirrorsWholeLogFromNextEntry()
{
    MainWindow& w = *m_f->window;
    CheckEngine& engine = w.engine();
    engine.AddLogHTTP(u"before the window"_s);
    engine.AddLogWS(u"probe before"_s);
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QPlainTextEdit* http = w.logWindow()->httpBox();
    QPlainTextEdit* listener = w.logWindow()->listenerBox();
    QCoreApplication::processEvents();
    QVERIFY(http->toPlainText().isEmpty());

    engine.AddLogHTTP(u"HTTP: Close ok"_s);
    QTRY_COMPARE(http->toPlainText(), u"before the window\nHTTP: Close ok\n"_s);
    QCOMPARE(http->textCursor().position(), http->document()->characterCount() - 1);
    QVERIFY(!http->textCursor().hasSelection());
    // An entry to one log leaves the other box alone.
    QVERIFY(listener->toPlainText().isEmpty());
    engine.AddLogWS(u"TCP: Close"_s);
    QTRY_COMPARE(listener->toPlainText(), u"probe before\nTCP: Close\n"_s);

    // With the window closed only the logs grow.
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    engine.AddLogHTTP(u"while closed"_s);
    QVERIFY(engine.httpLogText().endsWith(u"while closed\r\n"_s));
}

void TestLogWindow::typedTextIsOverwritten()
{
    MainWindow& w = *m_f->window;
    QTest::mouseClick(showLogs(), Qt::LeftButton);
    QPlainTextEdit* http = w.logWindow()->httpBox();
    w.engine().AddLogHTTP(u"one"_s);
    QTRY_COMPARE(http->toPlainText(), u"one\n"_s);
    http->moveCursor(QTextCursor::Start);
    QTest::keyClicks(http, u"typed "_s);
    QCOMPARE(http->toPlainText(), u"typed one\n"_s);
    w.engine().AddLogHTTP(u"two"_s);
    QTRY_COMPARE(http->toPlainText(), u"one\ntwo\n"_s);
}

void TestLogWindow::burstCostsOneUpdate()
{
    QString log;
    QPlainTextEdit box;
    LogMirror mirror([&log]() -> const QString& { return log; });
    mirror.setBox(&box);
    for (int i = 0; i < 1000; ++i) {
        log += u"entry "_s + QString::number(i) + u"\r\n"_s;
        mirror.logAppended();
    }
    QCOMPARE(mirror.updateCount(), 0);
    QTRY_COMPARE(mirror.updateCount(), 1);
    QCOMPARE(box.blockCount(), 1001);
    QCOMPARE(box.document()->findBlockByNumber(999).text(), u"entry 999"_s);

    // Later entries add only their tail, and the box still holds the whole log.
    log += u"last\r\n"_s;
    mirror.logAppended();
    QTRY_COMPARE(mirror.updateCount(), 2);
    QCOMPARE(box.toPlainText(), QString(log).replace(u"\r\n"_s, u"\n"_s));
}

void TestLogWindow::mirrorRewritesAfterReset()
{
    QString log = u"Quillmere version 1.0.39first\r\n"_s;
    QPlainTextEdit box;
    LogMirror mirror([&log]() -> const QString& { return log; });
    mirror.setBox(&box);
    mirror.flush();
    // A new check: the log starts again, longer than before by the time of the next update.
    log = u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:80\r\n"_s;
    mirror.logReset();
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:80\n"_s);
}

void TestLogWindow::trailerStaysBelowTheGrowingLog()
{
    QString log = u"first\r\n"_s;
    QPlainTextEdit box;
    LogMirror mirror([&log]() -> const QString& { return log; });
    mirror.setBox(&box);
    mirror.flush();
    mirror.setTrailer(u"-- router --\r\nfound\r\n"_s);
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"first\n-- router --\nfound\n"_s);

    // The log grows in front of the trailer, by its tail only.
    log += u"second\r\n"_s;
    mirror.logAppended();
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"first\nsecond\n-- router --\nfound\n"_s);

    // A new trailer replaces the old one; an empty one removes it.
    mirror.setTrailer(u"-- router --\r\nnone\r\n"_s);
    log += u"third\r\n"_s;
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"first\nsecond\nthird\n-- router --\nnone\n"_s);
    mirror.setTrailer(QString());
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"first\nsecond\nthird\n"_s);

    // A new check rewrites the box, the trailer still last.
    mirror.setTrailer(u"r\r\n"_s);
    log = u"new\r\n"_s;
    mirror.logReset();
    mirror.flush();
    QCOMPARE(box.toPlainText(), u"new\nr\n"_s);
    QCOMPARE(box.textCursor().position(), box.document()->characterCount() - 1);
}

QTEST_MAIN(TestLogWindow)
#include "tst_logwindow.moc"
