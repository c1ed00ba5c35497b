// The help pane: the page from the help host, links that stay there, links that leave, the
// bundled page when the host cannot help, and pages that name local files.

#include "tests/support/scriptedcheckserver.h"
#include "ui/helpbrowser.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;
using namespace quillmere::test;

namespace {

// Tells whether anything opened a file since it was made: inotify reports each open at once,
// so once the pane has drawn its page, a look without waiting is the whole answer.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& path)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            m_watch = ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
    }
    ~OpenWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isValid() const { return m_fd >= 0 && m_watch >= 0; }
    bool opened() const
    {
        alignas(inotify_event) char buffer[4096];
        return ::read(m_fd, buffer, sizeof buffer) > 0;
    }

private:
    int m_fd = -1;
    int m_watch = -1;
};

// A writer for a FIFO that counts the readers that open it: each open for reading lets one
// open for writing through. release() lets the last one through itself and ends the count.
class FifoWriter
{
public:
    explicit FifoWriter(QByteArray path)
        : m_path(std::move(path))
        , m_thread([this] {
            while (!m_releasing) {
                const int fd = ::open(m_path.constData(), O_WRONLY | O_CLOEXEC);
                if (fd < 0)
                    return;
                if (!m_releasing)
                    ++m_readers;
                ::close(fd);
            }
        })
    {}
    ~FifoWriter() { release(); }
    int release()
    {
        if (m_thread.joinable()) {
            m_releasing = true;
            const int fd = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            m_thread.join();
            if (fd >= 0)
                ::close(fd);
        }
        return m_readers;
    }

private:
    QByteArray m_path;
    std::atomic<bool> m_releasing{false};
    std::atomic<int> m_readers{0};
    std::thread m_thread;
};

} // namespace

class TestHelpBrowser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void showsPageAndFollowsLinksOnItsHost();
    void fallsBackToBundledPage_data();
    void fallsBackToBundledPage();
    void pageCannotMakeItReadLocalFiles();
    void linksNeverOpenLocalFiles();

private:
    // Serves `body` as `path`, shows it, and lays it out and draws it the way the window does.
    bool showPage(HelpBrowser& browser, const QByteArray& path, const QByteArray& body);

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

bool TestHelpBrowser::showPage(HelpBrowser& browser, const QByteArray& path, const QByteArray& body)
{
    m_server->script().pages.insert(path, body);
    QSignalSpy shown(&browser, &HelpBrowser::pageShown);
    browser.navigate(url(path.constData()));
    if (!QTest::qWaitFor([&shown] { return !shown.isEmpty(); }, 20000) ||
        browser.isShowingBundledPage())
        return false;
    browser.resize(600, 400);
    browser.show();
    // Every image is sized when the document is laid out, and drawn when it is shown.
    browser.document()->size();
    browser.grab();
    return true;
}

// The page comes over plain HTTP: whoever is on the way can name any path in it. None of them is
// read: not a file (here one of our own that reports its opens, beside /etc/hostname), nor a
// device that never ends (/dev/zero once ran the program out of memory), nor a FIFO (whose
// open() once blocked the window for good). Each is taken first as an image, as a style sheet
// after it.
void TestHelpBrowser::pageCannotMakeItReadLocalFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(u"secret.png"_s);
    QImage secret(37, 23, QImage::Format_RGB32);
    secret.fill(Qt::red);
    QVERIFY(secret.save(file));
    const QByteArray path = QFile::encodeName(file);
    OpenWatch opens(file);
    QVERIFY(opens.isValid());

    {
        HelpBrowser browser;
        QVERIFY(showPage(browser, "/help/files.htm",
                         "<html><head><link rel=\"stylesheet\" href=\"file://" + path +
                             "\"></head><body><p>Files</p><img src=\"/etc/hostname\">"
                             "<img src=\"" +
                             path + "\"><img src=\"file://" + path + "\"></body></html>"));
        QVERIFY(browser.toPlainText().contains(u"Files"_s));
        // Had the pane read it, this one would be the stop: the ones below would never end.
        QVERIFY2(!opens.opened(), "the help pane opened a local file a page named");
        for (const QString& name : QStringList{u"/etc/hostname"_s, file, u"file://"_s + file}) {
            const QVariant image =
                browser.document()->resource(QTextDocument::ImageResource, QUrl(name));
            QCOMPARE(image.value<QImage>(), HelpBrowser::blankImage());
        }
        QVERIFY(!opens.opened());
    }

    const QByteArray fifo = QFile::encodeName(dir.filePath(u"fifo"_s));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    FifoWriter writer(fifo);
    {
        HelpBrowser browser;
        QVERIFY(showPage(browser, "/help/fifo.htm",
                         "<html><head><link rel=\"stylesheet\" href=\"" + fifo +
                             "\"></head><body><p>FIFO</p><img src=\"" + fifo +
                             "\"><img src=\"file://" + fifo + "\"></body></html>"));
        QVERIFY(browser.toPlainText().contains(u"FIFO"_s));
    }
    QCOMPARE(writer.release(), 0);

    {
        HelpBrowser browser;
        QVERIFY(showPage(browser, "/help/zero.htm",
                         "<html><head><link rel=\"stylesheet\" href=\"file:///dev/zero\">"
                         "</head><body><p>Zero</p><img src=\"file:///dev/zero\">"
                         "<img src=\"/dev/zero\"></body></html>"));
        QVERIFY(browser.toPlainText().contains(u"Zero"_s));
        QCOMPARE(browser.document()
                     ->resource(QTextDocument::ImageResource, QUrl(u"file:///dev/zero"_s))
                     .value<QImage>(),
                 HelpBrowser::blankImage());
    }
}

// Links go to the help host over HTTP, to the desktop's browser when they are web or mail
// links, and nowhere else: no link opens a local file, not even from the bundled page shown for
// an address that was not HTTP.
void TestHelpBrowser::linksNeverOpenLocalFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(u"notes.htm"_s);
    {
        QFile notes(file);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("<p>Local notes</p>");
    }
    OpenWatch opens(file);
    QVERIFY(opens.isValid());

    HelpBrowser browser;
    QList<QUrl> external;
    browser.setExternalOpener([&external](const QUrl& link) {
        external.append(link);
        return true;
    });
    QSignalSpy shown(&browser, &HelpBrowser::pageShown);
    browser.navigate(url("/help/portcheck_help.htm"));
    QTRY_COMPARE(shown.size(), 1);
    for (const QUrl& link : {QUrl::fromLocalFile(file), QUrl(u"qrc:/help/portcheck_help.htm"_s),
                             QUrl(u"file:///dev/zero"_s), QUrl(u"ftp://127.0.0.1/x"_s)})
        Q_EMIT browser.anchorClicked(link);
    QCOMPARE(shown.size(), 1);
    QVERIFY(external.isEmpty());
    QVERIFY(browser.toPlainText().startsWith(u"Remote help"_s));

    // A path alone is a path on the help host.
    Q_EMIT browser.anchorClicked(QUrl(file));
    QTRY_COMPARE(shown.size(), 2);
    QCOMPARE(browser.currentUrl(), url(QFile::encodeName(file).constData()));

    // A local address is never read: the bundled page stands in, and its links lead nowhere.
    browser.navigate(QUrl::fromLocalFile(file));
    QTRY_COMPARE(shown.size(), 3);
    QVERIFY(browser.isShowingBundledPage());
    Q_EMIT browser.anchorClicked(QUrl(u"notes.htm"_s));
    QCOMPARE(shown.size(), 3);
    QVERIFY(external.isEmpty());
    QVERIFY(!opens.opened());
}

QTEST_MAIN(TestHelpBrowser)
#include "tst_helpbrowser.moc"
