#include "ui/routerwindow.h"

#include "support/plaintext.h"
#include "support/theme.h"
#include "ui/application.h"
#include "ui_routerwindow.h"

#include <QBoxLayout>
#include <QClipboard>
#include <QGuiApplication>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>

#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kNoCheckYet = u"no check has run yet"_s;

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
          m_ui->lblComputerLayer, m_ui->lblPathLayer, m_ui->lblInsideLayer}) {
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

    showFinding(QString(), QString());
    for (Layer layer : {Layer::Router, Layer::Computer, Layer::Path, Layer::Inside})
        showNotChecked(layer, kNoCheckYet);
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
    column->addStretch();

    auto* scroll = new QScrollArea;
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
