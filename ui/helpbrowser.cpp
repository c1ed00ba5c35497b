#include "ui/helpbrowser.h"

#include <QDesktopServices>
#include <QFile>
#include <QImage>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

namespace quillmere {

using namespace Qt::StringLiterals;

HelpBrowser::HelpBrowser(QWidget* parent)
    : QTextBrowser(parent)
    , m_openExternal([](const QUrl& url) { return QDesktopServices::openUrl(url); })
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    connect(this, &QTextBrowser::anchorClicked, this, &HelpBrowser::onAnchorClicked);
}

HelpBrowser::~HelpBrowser()
{
    if (m_reply)
        m_reply->abort();
}

void HelpBrowser::setExternalOpener(std::function<bool(const QUrl&)> opener)
{
    m_openExternal = std::move(opener);
}

QString HelpBrowser::bundledPage()
{
    QFile file(u":/help/portcheck_help.htm"_s);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

void HelpBrowser::navigate(const QUrl& url)
{
    if (m_home.isEmpty())
        m_home = url;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (url.scheme() != u"http"_s && url.scheme() != u"https"_s) {
        showBundledPage(url);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(kTransferTimeoutMs);
    QNetworkReply* reply = m_network.get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > kMaxPageBytes || total > kMaxPageBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, &HelpBrowser::onFinished);
}

void HelpBrowser::onFinished()
{
    QNetworkReply* reply = m_reply;
    if (!reply)
        return;
    m_reply = nullptr;
    reply->deleteLater();
    const QUrl requested = reply->request().url();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299 ||
        (!type.isEmpty() && !type.startsWith(u"text/"_s))) {
        showBundledPage(requested);
        return;
    }
    const QByteArray body = reply->readAll();
    if (body.size() > kMaxPageBytes) {
        showBundledPage(requested);
        return;
    }
    m_current = reply->url();
    m_bundled = false;
    if (type.startsWith(u"text/plain"_s)) {
        setPlainText(QString::fromUtf8(body));
    } else {
        QStringDecoder decoder(
            QStringConverter::encodingForHtml(body).value_or(QStringConverter::Utf8));
        setHtml(decoder.decode(body));
    }
    if (m_current.hasFragment())
        scrollToAnchor(m_current.fragment());
    Q_EMIT pageShown(m_current, false);
}

void HelpBrowser::showBundledPage(const QUrl& requested)
{
    m_current = requested;
    m_bundled = true;
    setHtml(bundledPage());
    if (requested.hasFragment())
        scrollToAnchor(requested.fragment());
    Q_EMIT pageShown(requested, true);
}

bool HelpBrowser::isHelpHost(const QUrl& url) const
{
    return (url.scheme() == u"http"_s || url.scheme() == u"https"_s) &&
           url.host().compare(m_home.host(), Qt::CaseInsensitive) == 0 &&
           url.port(80) == m_home.port(80);
}

void HelpBrowser::onAnchorClicked(const QUrl& link)
{
    // A jump within the page shown.
    if (link.scheme().isEmpty() && link.path().isEmpty() && link.hasFragment()) {
        scrollToAnchor(link.fragment());
        return;
    }
    const QUrl target = m_current.resolved(link);
    if (isHelpHost(target)) {
        if (m_bundled &&
            target.adjusted(QUrl::RemoveFragment) == m_current.adjusted(QUrl::RemoveFragment))
            scrollToAnchor(target.fragment());
        else
            navigate(target);
        return;
    }
    // Only web and mail links leave the program; a page cannot make it open local files.
    const QString scheme = target.scheme();
    if (scheme == u"http"_s || scheme == u"https"_s || scheme == u"mailto"_s)
        m_openExternal(target);
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name)
{
    // Only the program's own resources; nothing from disk or the network. An empty answer is
    // not enough: for a null QVariant QTextDocument opens the name as a local file itself, and
    // for an image it cannot decode QTextImageHandler loads the name from disk. So every other
    // resource is answered here, with a value that ends the search: an image of one clear
    // pixel, an empty style sheet, an empty page.
    if (name.scheme() == u"qrc"_s) {
        const QVariant own = QTextBrowser::loadResource(type, name);
        if (type != QTextDocument::ImageResource || !QImage::fromData(own.toByteArray()).isNull())
            return own.isNull() ? QVariant(QByteArray()) : own;
    }
    switch (type) {
    case QTextDocument::ImageResource:
        return blankImage();
    case QTextDocument::StyleSheetResource:
    case QTextDocument::HtmlResource:
    case QTextDocument::MarkdownResource:
        return QString();
    default:
        return QByteArray();
    }
}

QImage HelpBrowser::blankImage()
{
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

} // namespace quillmere
