// The theming pass on every kind of control and on secondary windows near the screen's edges,
// the shell's open, and the top-most switch.

#include "support/plaintext.h"
#include "support/shell.h"
#include "support/theme.h"
#include "ui/shapes.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFragment>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

const QColor kGolden(233, 194, 98);

// A window with one control of each kind, some inside a frame.
struct KindsWindow
{
    KindsWindow()
    {
        window.setObjectName(u"frmKinds"_s);
        frame = new QGroupBox(&window);
        button = new QPushButton(frame);
        option = new QRadioButton(frame);
        check = new QCheckBox(&window);
        label = new QLabel(&window);
        text = new QLineEdit(&window);
        multiline = new QPlainTextEdit(&window);
        list = new QListWidget(&window);
        browser = new QTextBrowser(&window);
        shape = new ShapeWidget(&window);
    }
    QWidget window;
    QGroupBox* frame;
    QPushButton* button;
    QRadioButton* option;
    QCheckBox* check;
    QLabel* label;
    QLineEdit* text;
    QPlainTextEdit* multiline;
    QListWidget* list;
    QTextBrowser* browser;
    ShapeWidget* shape;
};

} // namespace

class TestSupport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void themeColoursEachKind();
    void themeIsIdempotent();
    void secondaryWindowKeptOnScreen_data();
    void secondaryWindowKeptOnScreen();
    void mainWindowIsNeverMoved();
    void openDocumentStartsAProgram();
    void openDocumentReportsMissingFile();
    void setTopMostKeepsGeometry();
    void toolTipsShowTextAsItIs_data();
    void toolTipsShowTextAsItIs();
};

void TestSupport::themeColoursEachKind()
{
    KindsWindow k;
    ThemeContext context;
    QCOMPARE(context.ThemeBackColor, 0u);
    const QColor browserBase = k.browser->palette().color(QPalette::Base);
    ApplyTheme(k.window, context);

    QCOMPARE(context.ThemeBackColor, 0x62C2E9u);
    QCOMPARE(k.window.palette().color(QPalette::Window), kGolden);
    QCOMPARE(k.button->palette().color(QPalette::Button), kGolden);
    QCOMPARE(k.frame->palette().color(QPalette::Window), kGolden);
    QCOMPARE(k.label->palette().color(QPalette::Window), kGolden);
    for (QWidget* w : {static_cast<QWidget*>(k.option), static_cast<QWidget*>(k.check)}) {
        QCOMPARE(w->palette().color(w->backgroundRole()), kGolden);
        QVERIFY(w->autoFillBackground());
        QCOMPARE(w->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    QCOMPARE(k.text->palette().color(QPalette::Base), QColor(Qt::white));
    QCOMPARE(k.multiline->palette().color(QPalette::Base), QColor(Qt::white));
    QCOMPARE(k.list->palette().color(QPalette::Base), QColor(Qt::white));
    // The browser is not a text box, and shapes are left alone.
    QCOMPARE(k.browser->palette().color(QPalette::Base), browserBase);
    QCOMPARE(controlKind(*k.browser), ControlKind::Other);
    QCOMPARE(controlKind(*k.shape), ControlKind::Other);
}

void TestSupport::themeIsIdempotent()
{
    KindsWindow k;
    ThemeContext context;
    ApplyTheme(k.window, context);
    const QPalette once = k.option->palette();
    const QPoint position = k.window.pos();
    ApplyTheme(k.window, context);
    QCOMPARE(k.option->palette(), once);
    QCOMPARE(k.window.pos(), position);
}

void TestSupport::secondaryWindowKeptOnScreen_data()
{
    // Window and screen in pixels; 15 twips each.
    QTest::addColumn<QRect>("window");
    QTest::addColumn<QPoint>("expected");
    // The screen is 1000 x 800 pixels.
    QTest::newRow("fits") << QRect(100, 100, 300, 200) << QPoint(100, 100);
    QTest::newRow("left edge -10 twips, fits vertically")
        << QRect(-1, 120, 300, 200) << QPoint(350, 120);
    QTest::newRow("right edge exactly on the screen's")
        << QRect(700, 50, 300, 200) << QPoint(700, 50);
    QTest::newRow("one pixel beyond the right") << QRect(701, 50, 300, 200) << QPoint(350, 50);
    QTest::newRow("below the bottom") << QRect(10, 700, 300, 200) << QPoint(10, 300);
    QTest::newRow("wider than the screen") << QRect(0, 0, 1200, 200) << QPoint(-100, 0);
}

void TestSupport::secondaryWindowKeptOnScreen()
{
    QFETCH(QRect, window);
    QFETCH(QPoint, expected);
    QWidget main;
    main.setObjectName(u"frmMain"_s);
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::red);
    main.setWindowIcon(QIcon(pixmap));
    ThemeContext context;
    context.mainWindow = &main;
    context.screenSize = QSize(1000, 800);

    QWidget logs;
    logs.setObjectName(u"frmLogs"_s);
    logs.setGeometry(window);
    ApplyTheme(logs, context);
    QCOMPARE(logs.pos(), expected);
    QCOMPARE(logs.size(), window.size());
    QCOMPARE(logs.windowIcon().pixmap(16).toImage(), pixmap.toImage());
}

void TestSupport::mainWindowIsNeverMoved()
{
    QWidget main;
    main.setObjectName(u"frmMain"_s);
    main.setGeometry(-50, 900, 400, 300);
    QPixmap own(16, 16);
    own.fill(Qt::blue);
    main.setWindowIcon(QIcon(own));
    ThemeContext context;
    context.mainWindow = &main;
    context.screenSize = QSize(1000, 800);
    ApplyTheme(main, context);
    QCOMPARE(main.pos(), QPoint(-50, 900));
    QCOMPARE(main.windowIcon().pixmap(16).toImage(), own.toImage());
}

void TestSupport::openDocumentStartsAProgram()
{
    QTemporaryDir dir;
    const QString script = dir.filePath(u"uninst"_s);
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/ran\"\n");
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));

    QVERIFY(OpenDocument(script, u"--quiet now"_s) > 32);
    QFile ran(dir.filePath(u"ran"_s));
    QTRY_VERIFY(ran.exists() && ran.size() > 0);
    QVERIFY(ran.open(QIODevice::ReadOnly));
    QCOMPARE(ran.readAll(), QByteArray("--quiet now\n"));
}

void TestSupport::openDocumentReportsMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(OpenDocument(dir.filePath(u"uninst.exe"_s), QString()) <= 32);
    QCOMPARE(OpenDocument(QString(), QString()), 0);
}

void TestSupport::setTopMostKeepsGeometry()
{
    QWidget window;
    window.setGeometry(120, 80, 300, 200);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    SetTopMost(window);
    QVERIFY(window.windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(window.isVisible());
    QCOMPARE(window.size(), QSize(300, 200));
}

void TestSupport::toolTipsShowTextAsItIs_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("bold") << u"<b>Maintenance</b> tonight"_s;
    QTest::newRow("red and large") << u"<font color=red size=7>OPEN</font>"_s;
    QTest::newRow("picture")
        << u"<img src=\"http://example.invalid/x.png\" width=600 height=300>"_s;
    QTest::newRow("link") << u"<a href=\"http://example.invalid/\">read more</a>"_s;
    QTest::newRow("entities and lines") << u"1 &lt; 2 &amp;\nsecond line\n\nthird"_s;
    QTest::newRow("plain") << u"IPv6: Your port is NOT OPEN (2001:db8::7)"_s;
}

// A tooltip is rich text as soon as Qt guesses it might be; the helper's never leaves it to the
// guess, and shows exactly the text: no bold, no font, no picture, no link.
void TestSupport::toolTipsShowTextAsItIs()
{
    QFETCH(QString, text);
    const QString tip = plainToolTip(text);
    QVERIFY(Qt::mightBeRichText(tip));
    QTextDocument shown;
    shown.setHtml(tip);
    QCOMPARE(shown.toPlainText(), text);
    for (QTextBlock block = shown.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            QVERIFY(!format.isAnchor());
            QVERIFY(!format.isImageFormat());
            QVERIFY(format.fontWeight() <= QFont::Normal);
            QVERIFY(!format.hasProperty(QTextFormat::ForegroundBrush));
        }
    }
    QCOMPARE(plainToolTip(QString()), QString());
}

QTEST_MAIN(TestSupport)
#include "tst_support.moc"
