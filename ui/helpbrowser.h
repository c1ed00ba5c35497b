#pragma once

#include <QImage>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

#include <functional>

class QNetworkReply;

namespace quillmere {

// The help pane of the main window. It loads the help page over HTTP and follows links that
// stay on the help page's host; links to anywhere else go to the desktop's web browser. When
// the page cannot be fetched it shows the help page that ships with the program.
//
// Pages are shown with Qt's rich-text engine, which runs no scripts. The page comes over plain
// HTTP, so anybody on the way can write it: the images, style sheets and pages it refers to are
// never read from disk or fetched (a path could name /dev/zero or a FIFO). Only the program's
// own embedded resources (qrc:) are loaded; every other image shows as one clear pixel.
class HelpBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    static constexpr qint64 kMaxPageBytes = 2 * 1024 * 1024;
    static constexpr int kTransferTimeoutMs = 15000;

    explicit HelpBrowser(QWidget* parent = nullptr);
    ~HelpBrowser() override;

    // Starts loading `url`; the page appears when it has arrived.
    void navigate(const QUrl& url);

    // The address of the page shown (the requested address when the bundled page stands in).
    QUrl currentUrl() const { return m_current; }
    bool isShowingBundledPage() const { return m_bundled; }

    // Opens links that leave the help host; the desktop's browser by default.
    void setExternalOpener(std::function<bool(const QUrl&)> opener);

    static QString bundledPage();
    // What a page gets for an image it may not load.
    static QImage blankImage();

Q_SIGNALS:
    void pageShown(const QUrl& url, bool bundled);

protected:
    QVariant loadResource(int type, const QUrl& name) override;

private:
    void onAnchorClicked(const QUrl& link);
    void onFinished();
    void showBundledPage(const QUrl& requested);
    bool isHelpHost(const QUrl& url) const;

    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QUrl m_home;
    QUrl m_current;
    bool m_bundled = false;
    std::function<bool(const QUrl&)> m_openExternal;
};

} // namespace quillmere
