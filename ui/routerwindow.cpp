#include "ui/routerwindow.h"

#include "support/plaintext.h"
#include "support/theme.h"
#include "ui/application.h"
#include "ui/findinglayers.h"
#include "ui_routerwindow.h"

#include <QBoxLayout>
#include <QClipboard>
#include <QGuiApplication>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>

#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kNoCheckYet = u"no check has run yet"_s;
// The NAT type is found only on request: it takes up to 3 s of UDP exchanges with a STUN server.
const QString kNatNotAsked =
    u"Not checked: \"Find NAT type\" asks the STUN server at %1 how your router maps and "
    u"filters UDP, which is what games and calls depend on."_s;
const QString kNatNoServer = u"Not checked: there is no STUN server to ask."_s;

// "host:port", an IPv6 address in brackets.
QString serverText(const QString& host, quint16 port)
{
    const QString shown = host.contains(u':') ? u'[' + host + u']' : host;
    return shown + u':' + QString::number(port);
}

QString notChecked(const QString& reason)
{
    return reason.isEmpty() ? u"Not checked."_s : u"Not checked: "_s + reason + u'.';
}

// A label's text, and the same text as its tooltip: a long one may be cut at the label's
// bottom edge, and the tooltip shows all of it.
void showPlain(QLabel& label, const QString& text)
{
    label.setText(text);
    label.setToolTip(plainToolTip(text));
}

} // namespace

RouterWindow::RouterWindow(ThemeContext& theme, QWidget* owner)
    : QWidget(owner,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_ui(std::make_unique<Ui::RouterWindow>())
{
    m_ui->setupUi(this);
    applyDesignFonts(*this);
    arrangeInColumn();
    setFixedSize(size());
    for (QLabel* label :
         {m_ui->lblRouterFacts, m_ui->lblDiagnosis, m_ui->lblForward, m_ui->lblForwardEnds,
          m_ui->lblComputerLayer, m_ui->lblPathLayer, m_ui->lblInsideLayer, m_ui->lblNatTitle,
          m_ui->lblNatMeaning, m_ui->lblNatChange, m_ui->lblNatDetail}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    m_ui->cboForwardLease->setItemData(0, kLeaseHour);
    m_ui->cboForwardLease->setItemData(1, kLeaseDay);
    m_ui->cboForwardLease->setItemData(2, kLeaseUntilRemoved);
    m_ui->cboForwardLease->setToolTip(u"How long the router keeps the forward"_s);

    m_ui->cmdForward->setEnabled(false);
    connect(m_ui->cmdForward, &QPushButton::clicked, this, &RouterWindow::forwardRequested);
    connect(m_ui->cmdRemoveForward, &QPushButton::clicked, this,
            &RouterWindow::removeForwardRequested);
    connect(m_ui->cboForwardLease, &QComboBox::activated, this,
            [this] { Q_EMIT forwardLeaseChosen(forwardLease()); });
    connect(m_ui->cmdCopyCommand, &QPushButton::clicked, this, [this] {
        if (QClipboard* clipboard = QGuiApplication::clipboard())
            clipboard->setText(m_ui->txtFixCommand->text());
    });
    connect(m_ui->cmdAllowInFirewall, &QPushButton::clicked, this,
            &RouterWindow::allowInFirewallRequested);
    connect(m_ui->cmdForwardExternal, &QPushButton::clicked, this, [this] {
        if (m_offeredExternalPort > 0)
            Q_EMIT forwardExternalPortRequested(m_offeredExternalPort);
    });
    connect(m_ui->cmdRouterClose, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui->cmdNatType, &QPushButton::clicked, this, &RouterWindow::findNatType);

    showFinding(QString(), QString());
    for (Layer layer : {Layer::Router, Layer::Computer, Layer::Path, Layer::Inside})
        showNotChecked(layer, kNoCheckYet);
    showNatIdle();
    ApplyTheme(*this, theme);
}

RouterWindow::~RouterWindow() = default;

// The sections one below the other in a column that scrolls, each label as tall as its text: a
// diagnosis or a control port's finding runs to several lines, and none of it is cut. A hidden
// offer takes no room. "Close" stays below the column.
void RouterWindow::arrangeInColumn()
{
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(4);
    const auto row = [column](std::initializer_list<QWidget*> widgets) {
        auto* line = new QHBoxLayout;
        for (QWidget* widget : widgets)
            line->addWidget(widget);
        line->addStretch();
        column->addLayout(line);
    };
    const auto heading = [column](QLabel* label) {
        column->addSpacing(6);
        column->addWidget(label);
    };
    const auto text = [column](QLabel* label) {
        label->setWordWrap(true);
        label->setMinimumHeight(0);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        column->addWidget(label);
    };
    heading(m_ui->lblDiagnosisHeading);
    text(m_ui->lblDiagnosis);
    heading(m_ui->lblRouterHeading);
    text(m_ui->lblRouterFacts);
    row({m_ui->cmdForward, m_ui->cboForwardLease});
    // IPv6 has no forwarding: its way in is a pinhole in the router's IPv6 firewall.
    m_ipv6Pinhole = new QPushButton(u"Open an IPv6 pinhole"_s, content);
    m_ipv6Pinhole->setObjectName(u"cmdIpv6Pinhole"_s);
    m_ipv6Pinhole->setFont(m_ui->cmdForward->font());
    m_ipv6Pinhole->setToolTip(u"Ask the router to let connections to this port in over IPv6, to "
                              u"this computer's IPv6 address only, then check over IPv6 again"_s);
    m_ipv6Pinhole->hide();
    connect(m_ipv6Pinhole, &QPushButton::clicked, this, &RouterWindow::ipv6PinholeRequested);
    row({m_ipv6Pinhole});
    text(m_ui->lblForward);
    auto* ends = new QHBoxLayout;
    ends->addWidget(m_ui->lblForwardEnds, 1);
    ends->addWidget(m_ui->cmdRemoveForward);
    column->addLayout(ends);
    heading(m_ui->lblComputerHeading);
    text(m_ui->lblComputerLayer);
    auto* fix = new QHBoxLayout;
    fix->addWidget(m_ui->txtFixCommand, 1);
    fix->addWidget(m_ui->cmdCopyCommand);
    column->addLayout(fix);
    row({m_ui->cmdAllowInFirewall});
    heading(m_ui->lblPathHeading);
    text(m_ui->lblPathLayer);
    row({m_ui->cmdForwardExternal});
    heading(m_ui->lblInsideHeading);
    text(m_ui->lblInsideLayer);
    arrangeNatSection();
    column->addSpacing(6);
    column->addWidget(m_ui->grpNatType);
    column->addStretch();

    auto* scroll = m_scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(content);
    // The window's own background shows through.
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);

    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(0, 0, 0, 8);
    window->addWidget(scroll);
    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(8, 0, 8, 0);
    bottom->addStretch();
    bottom->addWidget(m_ui->cmdRouterClose);
    window->addLayout(bottom);
}

// The NAT type section: its heading, "Find NAT type", then the type in large words and the
// lines below it, in a box of its own so that the whole section can be scrolled to.
void RouterWindow::arrangeNatSection()
{
    auto* section = new QVBoxLayout(m_ui->grpNatType);
    section->setContentsMargins(0, 0, 0, 0);
    section->setSpacing(4);
    section->addWidget(m_ui->lblNatHeading);
    auto* button = new QHBoxLayout;
    button->addWidget(m_ui->cmdNatType);
    button->addStretch();
    section->addLayout(button);
    for (QLabel* label :
         {m_ui->lblNatTitle, m_ui->lblNatMeaning, m_ui->lblNatChange, m_ui->lblNatDetail}) {
        label->setWordWrap(true);
        label->setMinimumHeight(0);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        section->addWidget(label);
    }
}

void RouterWindow::showFinding(const QString& facts, const QString& diagnosis)
{
    setLayerText(Layer::Router, facts);
    showPlain(*m_ui->lblDiagnosis, diagnosis.isEmpty() ? u"No finding yet."_s : diagnosis);
}

void RouterWindow::setForwardEnabled(bool enabled)
{
    m_ui->cmdForward->setEnabled(enabled);
}

void RouterWindow::setIpv6PinholeOffered(bool offered)
{
    m_ipv6Pinhole->setVisible(offered);
}

void RouterWindow::showForwardResult(const QString& text)
{
    showPlain(*m_ui->lblForward, text);
}

void RouterWindow::showOwnForward(bool present, const QDateTime& ends)
{
    m_ui->lblForwardEnds->setVisible(present);
    m_ui->cmdRemoveForward->setVisible(present);
    if (!present) {
        m_ui->lblForwardEnds->clear();
        return;
    }
    if (!ends.isValid()) {
        showPlain(*m_ui->lblForwardEnds, u"The forward lasts until removed."_s);
        return;
    }
    // The minute is enough, and the line stays short enough for its place.
    const QLocale locale;
    QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
    timeFormat.remove(u":ss"_s);
    const QDateTime local = ends.toLocalTime();
    showPlain(*m_ui->lblForwardEnds,
              u"The forward ends "_s + locale.toString(local.date(), QLocale::ShortFormat) + u' ' +
                  locale.toString(local.time(), timeFormat) + u" (local time)."_s);
}

qint64 RouterWindow::forwardLease() const
{
    return m_ui->cboForwardLease->currentData().toLongLong();
}

void RouterWindow::setForwardLease(qint64 seconds)
{
    const int index = m_ui->cboForwardLease->findData(seconds);
    m_ui->cboForwardLease->setCurrentIndex(index >= 0 ? index : 0);
}

void RouterWindow::showComputer(const QString& text, const QString& fixCommand, bool offerAllow)
{
    setLayerText(Layer::Computer, text);
    m_ui->txtFixCommand->setText(fixCommand);
    m_ui->txtFixCommand->setToolTip(plainToolTip(fixCommand));
    m_ui->txtFixCommand->setCursorPosition(0);
    m_ui->txtFixCommand->setVisible(!fixCommand.isEmpty());
    m_ui->cmdCopyCommand->setVisible(!fixCommand.isEmpty());
    m_ui->cmdAllowInFirewall->setVisible(offerAllow);
}

void RouterWindow::showPath(const QString& text, int offeredExternalPort)
{
    setLayerText(Layer::Path, text);
    m_offeredExternalPort = std::max(0, offeredExternalPort);
    m_ui->cmdForwardExternal->setVisible(m_offeredExternalPort > 0);
    if (m_offeredExternalPort > 0)
        m_ui->cmdForwardExternal->setText(u"Use external port "_s +
                                          QString::number(m_offeredExternalPort) + u" instead"_s);
}

void RouterWindow::showInside(const QString& text)
{
    setLayerText(Layer::Inside, text);
}

void RouterWindow::showNotChecked(Layer layer, const QString& reason)
{
    switch (layer) {
    case Layer::Router:
        setLayerText(layer, notChecked(reason));
        setForwardEnabled(false);
        showOwnForward(false);
        return;
    case Layer::Computer:
        showComputer(notChecked(reason), QString(), false);
        return;
    case Layer::Path:
        showPath(notChecked(reason), 0);
        return;
    case Layer::Inside:
        showInside(notChecked(reason));
        return;
    }
}

void RouterWindow::showNatSection(const NatSection& section)
{
    const auto show = [](QLabel* label, const QString& text) {
        showPlain(*label, text);
        label->setVisible(!text.isEmpty());
    };
    show(m_ui->lblNatTitle, section.title);
    show(m_ui->lblNatMeaning, section.meaning);
    show(m_ui->lblNatChange, section.change);
    show(m_ui->lblNatDetail, section.detail);
}

void RouterWindow::setStunServer(const QString& host, quint16 port)
{
    m_stunHost = host.trimmed();
    m_stunPort = port;
    if (!m_natAsked)
        showNatIdle();
    if (!isFindingNatType())
        m_ui->cmdNatType->setEnabled(!m_stunHost.isEmpty());
}

// Before the first discovery: where "Find NAT type" would ask, or that it has nowhere to.
void RouterWindow::showNatIdle()
{
    const QString meaning =
        m_stunHost.isEmpty() ? kNatNoServer : kNatNotAsked.arg(serverText(m_stunHost, m_stunPort));
    showNatSection({QString(), meaning, QString(), QString()});
    m_ui->cmdNatType->setEnabled(!m_stunHost.isEmpty());
}

bool RouterWindow::isFindingNatType() const
{
    return m_natClient && m_natClient->busy();
}

// The discovery runs on the client's worker thread; the window only waits for its answer, with
// the button off so that one run goes at a time.
void RouterWindow::findNatType()
{
    if (m_stunHost.isEmpty() || isFindingNatType())
        return;
    if (!m_natClient) {
        m_natClient = std::make_unique<nat::NatClient>();
        connect(m_natClient.get(), &nat::NatClient::discovered, this, &RouterWindow::natDiscovered);
    }
    nat::NatRequest request;
    request.host = m_stunHost;
    request.port = m_stunPort;
    m_natAsked = true;
    m_ui->cmdNatType->setEnabled(false);
    showNatSection({u"Running\u2026"_s,
                    u"Asking the STUN server at "_s + serverText(m_stunHost, m_stunPort) +
                        u" how your router maps and filters UDP (a few seconds at most)."_s,
                    QString(), QString()});
    m_natClient->discover(request);
}

void RouterWindow::natDiscovered(const nat::NatFacts& facts)
{
    showNatFacts(facts);
    m_ui->cmdNatType->setEnabled(!m_stunHost.isEmpty());
    Q_EMIT natTypeFound(facts);
}

void RouterWindow::showNatFacts(const nat::NatFacts& facts)
{
    m_natAsked = true;
    showNatSection(natSection(facts));
    // The section grew below what showed: bring it into view once the column has its new size.
    QTimer::singleShot(0, this, [this] { m_scroll->ensureWidgetVisible(m_ui->grpNatType, 0, 0); });
}

QString RouterWindow::layerText(Layer layer) const
{
    return layerLabel(layer)->text();
}

QLabel* RouterWindow::layerLabel(Layer layer) const
{
    switch (layer) {
    case Layer::Router:
        return m_ui->lblRouterFacts;
    case Layer::Computer:
        return m_ui->lblComputerLayer;
    case Layer::Path:
        return m_ui->lblPathLayer;
    case Layer::Inside:
        break;
    }
    return m_ui->lblInsideLayer;
}

// A section never stands blank: with nothing to say it says it was not checked.
void RouterWindow::setLayerText(Layer layer, const QString& text)
{
    showPlain(*layerLabel(layer), text.trimmed().isEmpty() ? notChecked(QString()) : text);
}

} // namespace quillmere
