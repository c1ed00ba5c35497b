// The help pane: the page from the help host, links that stay there, links that leave, and the
// bundled page when the host cannot help.

#include "tests/support/scriptedcheckserver.h"
#include "ui/helpbrowser.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

class TestHelpBrowser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void showsPageAndFollowsLinksOnItsHost();
    void fallsBackToBundledPage_data();
    void fallsBackToBundledPage();

private:
    QUrl url(const char* path) const
    {
        return QUrl(u"http://127.0.0.1:"_s + QString::number(m_server->port()) +
                    QString::fromLatin1(path));
    }

    std::unique_ptr<ScriptedCheckServer> m_server;
};

void TestHelpBrowser::init()
{
    m_server = std::make_unique<ScriptedCheckServer>();
    QVERIFY(m_server->listen());
    ServerScript script;
    script.pages.insert(
        "/help/portcheck_help.htm",
        "<html><body><h1>Remote help</h1>"
        "<a href=\"next.htm\">next</a> <a href=\"http://elsewhere.invalid/x\">out</a>"
        " <a href=\"file:///etc/passwd\">file</a> <img src=\"file:///etc/hostname\">"
        "</body></html>");
    script.pages.insert("/help/next.htm", "<html><body><p>Second page</p></body></html>");
    script.pages.insert("/help/huge.htm", QByteArray(3 * 1024 * 1024, 'x'));
    m_server->setScript(script);
}

void TestHelpBrowser::showsPageAndFollowsLinksOnItsHost()
{
    HelpBrowser browser;
    QList<QUrl> external;
    browser.setExternalOpener([&external](const QUrl& link) {
        external.append(link);
        return true;
    });
    QSignalSpy shown(&browser, &HelpBrowser::pageShown);
    browser.navigate(url("/help/portcheck_help.htm"));
    QTRY_COMPARE(shown.size(), 1);
    QVERIFY(!browser.isShowingBundledPage());
    QVERIFY(browser.toPlainText().startsWith(u"Remote help"_s));

    // Links elsewhere go to the desktop's browser, local files nowhere.
    Q_EMIT browser.anchorClicked(QUrl(u"http://elsewhere.invalid/x"_s));
    Q_EMIT browser.anchorClicked(QUrl(u"file:///etc/passwd"_s));
    QCOMPARE(external, QList<QUrl>{QUrl(u"http://elsewhere.invalid/x"_s)});
    QVERIFY(browser.toPlainText().startsWith(u"Remote help"_s));

    // A relative link on the help host is followed in place.
    Q_EMIT browser.anchorClicked(QUrl(u"next.htm"_s));
    QTRY_COMPARE(shown.size(), 2);
    QCOMPARE(browser.currentUrl(), url("/help/next.htm"));
    QCOMPARE(browser.toPlainText(), u"Second page"_s);
    QCOMPARE(external.size(), 1);
}

void TestHelpBrowser::fallsBackToBundledPage_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("not found") << "/help/missing.htm";
    QTest::newRow("too large") << "/help/huge.htm";
    QTest::newRow("nothing listening") << "unreachable";
}

void TestHelpBrowser::fallsBackToBundledPage()
{
    QFETCH(QString, target);
    QUrl address = url(target.toLatin1().constData());
    if (target == u"unreachable"_s) {
        m_server.reset(); // nobody on that port any more
        address = QUrl(u"http://127.0.0.1:1/help/portcheck_help.htm"_s);
    }
    HelpBrowser browser;
    QSignalSpy shown(&browser, &HelpBrowser::pageShown);
    browser.navigate(address);
    QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 1, 20000);
    QVERIFY(browser.isShowingBundledPage());
    QVERIFY(!HelpBrowser::bundledPage().isEmpty());
    QVERIFY(browser.toPlainText().contains(u"How a check works"_s));
}

QTEST_MAIN(TestHelpBrowser)
#include "tst_helpbrowser.moc"
