#include "ui/mainwindow.h"

#include "engine/addressfamily.h"
#include "engine/porttext.h"
#include "engine/version.h"
#include "router/describe.h"
#include "router/diagnosis.h"
#include "router/lan.h"
#include "support/shell.h"
#include "support/theme.h"
#include "ui/application.h"
#include "ui/checkserverdialog.h"
#include "ui/logwindow.h"
#include "ui/routerwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHostInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kPortKey = u"Settings/Port"_s;
const QString kCheckServerKey = u"Settings/CheckServer"_s;

int twipsToPixels(double twips)
{
    return int(std::lround(twips / kTwipsPerPixel));
}

// Keys that edit or move rather than type. Platforms differ in the text they send with them
// (X11 sends DEL with Delete, macOS sends characters from its private function-key range), so
// they are recognised by key, never by text.
bool typesNothing(int key)
{
    switch (key) {
    case Qt::Key_Delete:
    case Qt::Key_Insert:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Clear:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return key >= Qt::Key_F1 && key <= Qt::Key_F35;
    }
}

// The character a key press would type, as the key filter sees it: control characters for
// Backspace, Enter, Escape and Ctrl+letter; nothing for keys that type nothing, which then reach
// the field untouched.
std::optional<int> characterCode(const QKeyEvent& event)
{
    if (typesNothing(event.key()))
        return std::nullopt;
    switch (event.key()) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Escape:
        return 27;
    default:
        break;
    }
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if ((modifiers & Qt::ControlModifier) && !(modifiers & Qt::AltModifier) &&
        event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z)
        return event.key() - Qt::Key_A + 1;
    const QString text = event.text();
    if (text.isEmpty())
        return std::nullopt;
    return text.front().unicode();
}

} // namespace

MainWindow::MainWindow(QSettings& settings, ThemeContext& theme, Options options, QWidget* parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::MainWindow>())
    , m_settings(settings)
    , m_theme(theme)
    , m_options(std::move(options))
    , m_engine(*this, m_options.server)
    , m_ipv6(m_options.server)
    , m_httpMirror([this]() -> const QString& { return m_engine.httpLogText(); })
    , m_listenerMirror([this]() -> const QString& { return m_engine.listenerLogText(); })
{
    if (!m_options.openDocument)
        m_options.openDocument = OpenDocument;

    m_ui->setupUi(this);
    applyDesignFonts(*this);
    fitStaticLabels(*this);
    m_ui->chkShowLogs->setVisible(false);
    m_ui->optProtocol->setId(m_ui->optProtocol_0, 0);
    m_ui->optProtocol->setId(m_ui->optProtocol_1, 1);
    // Result labels carry text from the network: never rich text, never links.
    for (QLabel* label : {m_ui->lblStatus, m_ui->lblInfo, m_ui->lblPingStatus, m_ui->lblExternalIP,
                          m_ui->Label11, m_ui->lblIpv6, m_ui->lblServerNote}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
    }
    // Client area 785 x 535 pixels below the menu bar, at the top-left corner of the screen.
    resize(785, 535 + menuBar()->sizeHint().height());
    move(0, 0);

    m_theme.mainWindow = this;
    m_ui->txtPort->installEventFilter(this);
    connect(m_ui->txtPort, &QLineEdit::textChanged, this, &MainWindow::txtPortChange);
    connect(m_ui->cmdCheckMe, &QPushButton::clicked, this, &MainWindow::cmdCheckMeClick);
    connect(m_ui->cmdCheckService, &QPushButton::clicked, this, &MainWindow::cmdCheckServiceClick);
    m_ui->cmdCheckService->hide();
    connect(&m_settler, &VerdictSettler::settled, this, &MainWindow::startIpv6Check);
    connect(&m_engine, &CheckEngine::evaluated, this, &MainWindow::followCheck);
    connect(&m_engine, &CheckEngine::portLocked, this, [this] {
        if (portNumber(portText()).value_or(0) > 0)
            m_ui->cmdCheckService->show();
        m_portLocked = true;
        showRouterFinding();
    });
    connect(
        &m_ipv6, &Ipv6Check::finished, this, [this](const QString& line, const QString& details) {
            QLabel* label = m_ui->lblIpv6;
            label->setText(label->fontMetrics().elidedText(line, Qt::ElideRight, label->width()));
            label->setToolTip(line + u"\n\n"_s + details);
        });
    connect(m_ui->chkShowLogs, &QCheckBox::toggled, this, &MainWindow::chkShowLogsClick);
    connect(m_ui->mnuFileExit, &QAction::triggered, this, &MainWindow::mnuFileExitClick);
    connect(m_ui->mnuOptionsUninstall, &QAction::triggered, this,
            &MainWindow::mnuOptionsUninstallClick);
    connect(m_ui->mnuOptionsCheckServer, &QAction::triggered, this,
            &MainWindow::mnuOptionsCheckServerClick);

    connect(&m_engine, &CheckEngine::checkStarted, this, [this] {
        m_httpMirror.logReset();
        m_listenerMirror.logReset();
        m_settler.reset();
        m_ipv6.cancel();
        m_ipv4Kind.reset();
        m_ui->lblIpv6->clear();
        m_ui->lblIpv6->setToolTip(QString());
        m_ui->cmdCheckService->hide();
    });
    connect(&m_engine, &CheckEngine::httpLogAppended, this, [this] {
        if (logWindowOpen)
            m_httpMirror.logAppended();
    });
    connect(&m_engine, &CheckEngine::listenerLogAppended, this, [this] {
        if (logWindowOpen)
            m_listenerMirror.logAppended();
    });
    if (m_options.routerBackend) {
        m_router = std::make_unique<router::RouterClient>(m_options.routerBackend());
        connect(m_router.get(), &router::RouterClient::lookedUp, this, &MainWindow::routerAnswered);
        connect(m_router.get(), &router::RouterClient::forwarded, this,
                &MainWindow::forwardAnswered);
        connect(m_ui->cmdRouter, &QPushButton::clicked, this, &MainWindow::cmdRouterClick);
        connect(&m_engine, &CheckEngine::checkStarted, this, &MainWindow::askRouter);
        connect(&m_engine, &CheckEngine::evaluated, this, &MainWindow::checkEvaluated);
    } else {
        m_ui->cmdRouter->hide();
        m_ui->lblRouter->hide();
    }
    m_ui->lblRouter->setTextFormat(Qt::PlainText);
    m_ui->lblRouter->setTextInteractionFlags(Qt::NoTextInteraction);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        m_previousFocusWindow = m_focusWindow;
        m_focusWindow = window;
    });

    formLoad();
}

MainWindow::~MainWindow()
{
    if (m_logs)
        delete m_logs.data();
}

void MainWindow::formLoad()
{
    ApplyTheme(*this, m_theme);

    const QColor panel = colorFromBgr(m_theme.ThemeBackColor);
    for (ShapeWidget* band : {m_ui->shaBack1, m_ui->shaBack2, m_ui->shaBack3, m_ui->shaBack4})
        band->setFillColor(panel);

    colourMenus();

    const QVariant saved = m_settings.value(kPortKey);
    m_ui->txtPort->setText(saved.isValid() ? saved.toString() : kDefaultPortText.toString());

    resizeLayout();

    m_ui->WebBrowser1->navigate(QUrl(m_options.helpPageUrl));

    setWindowTitle(windowTitle() + u" version "_s + versionText());

    // QUILLMERE_CHECK_SERVER, when set, wins over the server chosen in Options.
    CheckServerAddress server = m_options.server;
    if (!m_options.serverFromEnvironment) {
        if (const auto chosen =
                CheckServerAddress::parse(m_settings.value(kCheckServerKey).toString()))
            server = *chosen;
    }
    setCheckServer(server);
}

void MainWindow::colourMenus()
{
    const QColor back = colorFromBgr(kMenuBackColor);
    auto paint = [&back](QWidget& widget) {
        QPalette palette = widget.palette();
        palette.setColor(QPalette::Window, back);
        palette.setColor(QPalette::Button, back);
        palette.setColor(QPalette::Base, back);
        widget.setPalette(palette);
        widget.setAutoFillBackground(true);
    };
    paint(*menuBar());
    // Both drop-down menus and any menus below them.
    for (QMenu* menu : {m_ui->mnuFile, m_ui->mnuOptions}) {
        paint(*menu);
        for (QMenu* sub : menu->findChildren<QMenu*>())
            paint(*sub);
    }
}

void MainWindow::cmdCheckMeClick()
{
    m_engine.setServiceCheck(false);
    m_engine.cmdCheckMeClick();
}

// The port is held by another program: check that program as it runs, in the same labels.
void MainWindow::cmdCheckServiceClick()
{
    m_engine.setServiceCheck(true);
    m_engine.cmdCheckMeClick();
}

// What follows a check's verdict: the holder of the port after a service check, and the IPv6
// check after an IPv4 one once its verdict stands.
void MainWindow::followCheck(const Verdict& verdict)
{
    if (m_engine.isServiceCheck()) {
        showHolders();
        return;
    }
    if (!m_ipv6Checked || m_ipv6.isRunning() || m_ipv4Kind ||
        m_engine.family() != AddressFamily::IPv4)
        return;
    m_settler.evaluated(verdict);
}

void MainWindow::startIpv6Check()
{
    const auto& verdict = m_engine.lastVerdict();
    if (!verdict || m_ipv4Kind)
        return;
    m_settler.reset();
    m_ipv4Kind = verdict->kind();
    // The port is needed again, and a probe over IPv6 must not reach the IPv4 check's socket.
    m_engine.stopCheck();
    m_ui->lblIpv6->setText(u"IPv6: checking..."_s);
    m_ipv6.start(portText(), isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp, m_ipv4Kind,
                 m_engine.timeoutInterval());
}

void MainWindow::showHolders()
{
    const auto port = portNumber(portText());
    if (!port)
        return;
    const ProbeProtocol protocol = isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    const QString holders = service::describeHolders(
        service::findPortHolders(quint16(*port), protocol), *port, protocol);
    const QString info = m_ui->lblInfo->text();
    if (!info.endsWith(holders))
        m_ui->lblInfo->setText(info + u" Port "_s + QString::number(*port) + u" is "_s + holders +
                               u'.');
}

// Shows the first IPv4 address of `addresses`, if there is one.
static void showFirstIpv4(QLabel& label, const QList<QHostAddress>& addresses)
{
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            label.setText(address.toString());
            return;
        }
    }
}

void MainWindow::showServerAddress()
{
    m_ui->Label11->clear();
    m_ui->lblServerNote->clear();
    m_ui->lblServerNote->hide();
    const quint64 lookup = ++m_serverLookup;
    // The check server's address, for looking it up in firewall logs. An address needs no
    // lookup (a reverse one would only cost time).
    const QHostAddress literal(m_options.server.host);
    if (!literal.isNull()) {
        serverLookedUp({literal});
        return;
    }
    // No context object: Qt 6.4 leaks the callback of a lookup whose context object is
    // destroyed before the answer arrives. The window is guarded instead, and an answer for a
    // server chosen before the current one is passed over.
    QHostInfo::lookupHost(m_options.server.host,
                          [window = QPointer<MainWindow>(this), lookup](const QHostInfo& info) {
                              if (window && window->m_serverLookup == lookup)
                                  window->serverLookedUp(info.addresses());
                          });
}

void MainWindow::serverLookedUp(const QList<QHostAddress>& addresses)
{
    showFirstIpv4(*m_ui->Label11, addresses);
    if (!m_ipv6Decided) {
        const HostFamilies server = familiesOf(addresses);
        m_ipv6Checked = server.ipv4 && ipv6Obstacle(server).isEmpty();
    }
    const QString note = router::localServerNote(m_options.server, addresses,
                                                 u"Set a server on the internet in Options > Check "
                                                 u"server..."_s);
    m_ui->lblServerNote->setText(note);
    m_ui->lblServerNote->setToolTip(note);
    m_ui->lblServerNote->setVisible(!note.isEmpty());
}

void MainWindow::mnuOptionsCheckServerClick()
{
    std::optional<CheckServerAddress> environment;
    if (m_options.serverFromEnvironment)
        environment = m_options.server;
    CheckServerDialog dialog(m_settings.value(kCheckServerKey).toString(), m_options.builtInServer,
                             environment, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (dialog.text().isEmpty())
        m_settings.remove(kCheckServerKey);
    else
        m_settings.setValue(kCheckServerKey, dialog.text());
    if (!m_options.serverFromEnvironment)
        setCheckServer(dialog.server().value_or(m_options.builtInServer));
}

void MainWindow::setCheckServer(const CheckServerAddress& server)
{
    m_options.server = server;
    m_engine.setServer(server);
    m_ipv6.engine().setServer(server);
    // The window's check is the IPv4 one; a server named by an IPv6 address can only be reached
    // over IPv6, and is.
    m_engine.setFamily(QHostAddress(server.host).protocol() == QAbstractSocket::IPv6Protocol
                           ? AddressFamily::Any
                           : AddressFamily::IPv4);
    showServerAddress();
}

LogWindow* MainWindow::logWindow() const
{
    return m_logs;
}

RouterWindow* MainWindow::routerWindow() const
{
    return m_routerWindow;
}

// Beside every check, the router is asked about the same port. Its answer never holds up the
// check's verdict: the two meet in the diagnosis whenever either changes.
void MainWindow::askRouter()
{
    m_routerFacts.reset();
    const auto port = portNumber(m_ui->txtPort->text());
    m_checkedPort = port.value_or(-1);
    m_checkedProtocol = isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    m_evaluated = false;
    m_portLocked = false;
    m_checkFacts = {};
    m_checkFacts.localAddresses = router::ownAddressTexts(); // once a check, not every evaluation
    m_checkFacts.port = port.value_or(0);
    m_checkFacts.protocol = m_checkedProtocol;
    m_httpMirror.setTrailer(QString());
    if (port) {
        ++m_lookupsPending;
        m_router->lookup({*port, m_checkedProtocol, m_options.server.host});
    }
    showRouterFinding();
}

void MainWindow::checkEvaluated(const Verdict& verdict)
{
    const VerdictKind kind = verdict.kind();
    const QString address = verdict.externalAddress.value_or(QString());
    // "Open on another device" is evaluated again every few milliseconds while the probe may
    // still arrive; the finding changes only with what the diagnosis reads.
    if (m_evaluated && m_checkFacts.verdict == kind && m_checkFacts.externalAddress == address &&
        m_checkFacts.pingOk == verdict.pingOk)
        return;
    m_evaluated = true;
    m_checkFacts.verdict = kind;
    m_checkFacts.externalAddress = address;
    m_checkFacts.pingOk = verdict.pingOk;
    showRouterFinding();
}

void MainWindow::routerAnswered(const router::RouterFacts& facts)
{
    // Only the answer for the latest check counts; earlier ones were queued behind it.
    if (--m_lookupsPending > 0)
        return;
    m_routerFacts = facts;
    m_httpMirror.setTrailer(router::routerLogSection(facts));
    showRouterFinding();
}

void MainWindow::cmdRouterClick()
{
    if (!m_routerWindow) {
        m_routerWindow = new RouterWindow(m_theme, this);
        connect(m_routerWindow, &RouterWindow::forwardRequested, this,
                &MainWindow::cmdForwardClick);
        // Beside the main window, where it hides none of the results, unless that is off the
        // screen.
        QPoint place = frameGeometry().topRight() + QPoint(8, 0);
        if (const QScreen* screen = this->screen()) {
            const QRect area = screen->availableGeometry();
            if (place.x() + m_routerWindow->width() > area.right())
                place = mapToGlobal(QPoint(m_ui->cmdRouter->x(), m_ui->Line1->y() + 8));
        }
        m_routerWindow->move(place);
    }
    showRouterFinding();
    m_routerWindow->show();
    m_routerWindow->raise();
}

void MainWindow::cmdForwardClick()
{
    if (!m_router || m_forwarding || m_checkedPort < 0)
        return;
    m_forwarding = true;
    m_forwardText =
        u"Asking the router to forward port "_s + QString::number(m_checkedPort) + u"..."_s;
    m_router->forward({m_checkedPort, m_checkedProtocol, kForwardLeaseSeconds});
    showRouterFinding();
}

void MainWindow::forwardAnswered(const router::ForwardResult& result)
{
    m_forwarding = false;
    m_forwardText = router::describeForward(result, m_checkedPort, m_checkedProtocol, false);
    showRouterFinding();
    if (result.ok)
        m_engine.cmdCheckMeClick(); // check again, through the new mapping
}

void MainWindow::showRouterFinding()
{
    if (!m_router)
        return;
    QString line;
    QString facts;
    QString diagnosis;
    bool canForward = false;
    if (m_checkedPort < 0) {
        line = QString();
    } else if (!m_routerFacts) {
        line = facts = u"Asking the router..."_s;
    } else {
        facts = u"Router: "_s +
                router::describeRouter(*m_routerFacts, m_checkedPort, m_checkedProtocol);
        const VerdictKind kind = m_evaluated ? m_checkFacts.verdict : VerdictKind::Pending;
        if (m_engine.isServiceCheck()) {
            // A service check cannot tell this computer from another device behind the same
            // forward: the router's mapping is what says where the port goes.
            line = facts;
            diagnosis = u"A check of a running service cannot tell this computer from another "
                        u"device behind the same forward; the router's mapping above says where "
                        u"the port goes."_s;
        } else if (m_portLocked) {
            // No check ran: there is nothing to set beside the router's answer.
            line = facts;
            diagnosis = u"The port could not be opened on this computer, so it was not checked."_s;
        } else if (kind == VerdictKind::Pending) {
            line = diagnosis = u"Waiting for the check..."_s;
        } else {
            const router::Diagnosis found = router::diagnose(m_checkFacts, *m_routerFacts);
            line = found.headline;
            diagnosis = found.text();
            // A mapping another device holds is never replaced, so there is nothing to offer.
            const bool heldElsewhere =
                m_routerFacts->mapping && !m_routerFacts->mapping->thisComputer;
            canForward = m_routerFacts->canMap && kind != VerdictKind::OpenHere && !heldElsewhere &&
                         !m_forwarding;
        }
    }
    QLabel* label = m_ui->lblRouter;
    label->setText(label->fontMetrics().elidedText(line, Qt::ElideRight, label->width()));
    if (m_routerWindow) {
        m_routerWindow->showFinding(facts, diagnosis);
        m_routerWindow->setForwardEnabled(canForward);
        m_routerWindow->showForwardResult(m_forwardText);
    }
}

QString MainWindow::portText() const
{
    return m_ui->txtPort->text();
}

void MainWindow::setPortText(const QString& text)
{
    m_ui->txtPort->setText(text);
}

bool MainWindow::isTcpSelected() const
{
    return m_ui->optProtocol_0->isChecked();
}

QLabel* MainWindow::resultLabel(ResultLabel label) const
{
    switch (label) {
    case ResultLabel::Status:
        return m_ui->lblStatus;
    case ResultLabel::Info:
        return m_ui->lblInfo;
    case ResultLabel::PingStatus:
        return m_ui->lblPingStatus;
    case ResultLabel::ExternalIP:
        break;
    }
    return m_ui->lblExternalIP;
}

void MainWindow::setResultText(ResultLabel label, const QString& text)
{
    resultLabel(label)->setText(text);
}

void MainWindow::setResultColour(ResultLabel label, TextColour colour)
{
    QLabel* target = resultLabel(label);
    QPalette palette = target->palette();
    palette.setColor(QPalette::WindowText, colorFromBgr(quint32(colour)));
    target->setPalette(palette);
}

void MainWindow::showMessageBox(const QString& text, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromUtf16(kAppTitle), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::NoTextInteraction);
    box.exec();
}

QSize MainWindow::nonClientSize() const
{
    // Frame and title bar as the window system draws them. Without a window manager there is
    // none: count the design's title bar (the outer height 581 pixels over a 535-pixel client
    // area and the menu bar), so that the client area keeps its designed minimum height.
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() > 0 || frame.height() > 0)
        return frame;
    return QSize(0, std::max(0, 581 - 535 - menuBar()->sizeHint().height()));
}

void MainWindow::resizeLayout()
{
    const QSize nonClient = nonClientSize();
    double width = (geometry().width() + nonClient.width()) * kTwipsPerPixel;
    double height = (geometry().height() + nonClient.height()) * kTwipsPerPixel;

    // The minimum size, enforced by the window system where it can.
    const QSize minimum(twipsToPixels(kMinWidthTwips) - nonClient.width(),
                        twipsToPixels(kMinHeightTwips) - nonClient.height());
    if (minimumSize() != minimum)
        setMinimumSize(minimum);
    if (width < kMinWidthTwips || height < kMinHeightTwips) {
        if (!isMinimized())
            resize(std::max(geometry().width(), minimum.width()),
                   std::max(geometry().height(), minimum.height()));
        width = std::max<double>(width, kMinWidthTwips);
        height = std::max<double>(height, kMinHeightTwips);
    }

    QWidget* line = m_ui->Line1;
    line->resize(std::max(0, twipsToPixels(width) - line->x()), line->height());
    m_ui->imgBG->resize(twipsToPixels(width), m_ui->imgBG->height());
    m_ui->shaWhite->resize(m_ui->shaWhite->width(), twipsToPixels(height));

    const QRect border = m_ui->shaBorder4->geometry();
    const double browserHeight = height - (border.y() + border.height()) * kTwipsPerPixel - 800;
    QWidget* browser = m_ui->WebBrowser1;
    browser->setGeometry(twipsToPixels(50), browser->y(), twipsToPixels(width - 150),
                         browserHeight > 0 ? twipsToPixels(browserHeight) : browser->height());
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    resizeLayout();
}

bool MainWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        formActivate();
    return QMainWindow::event(event);
}

void MainWindow::formActivate()
{
    // Counts on the first activation and when activation comes from another window of this
    // program (the log window), not from another program or from a message box.
    // The window that had the focus before: the activation may arrive before or after the
    // application reports the new focus window.
    QWindow* before = m_focusWindow != windowHandle() ? m_focusWindow : m_previousFocusWindow;
    bool fromOwnWindow = false;
    if (before && before != windowHandle()) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowHandle() == before)
                fromOwnWindow = !qobject_cast<QDialog*>(widget);
        }
    }
    if (m_activatedOnce && !fromOwnWindow)
        return;
    m_activatedOnce = true;
    move(pos().x(), twipsToPixels(kActivatedTopTwips));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    m_settings.setValue(kPortKey, m_ui->txtPort->text());
    m_settings.sync();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window != this && window->isVisible())
            window->close();
    }
    event->accept();
}

void MainWindow::mnuFileExitClick()
{
    close();
}

void MainWindow::mnuOptionsUninstallClick()
{
    if (m_options.installedAsPackage) {
        showMessageBox(kPackageRemovalText.toString(), MessageIcon::None);
        return;
    }
    m_options.openDocument(m_options.uninstallerPath, QString());
    close();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_ui->txtPort)
        return QMainWindow::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (typesNothing(key->key()) && !key->text().isEmpty()) {
            // The field gets the key without the text, so that it cannot insert it either.
            QKeyEvent bare(key->type(), key->key(), key->modifiers(), QString(),
                           key->isAutoRepeat(), quint16(key->count()));
            QCoreApplication::sendEvent(m_ui->txtPort, &bare);
            return true;
        }
        const auto code = characterCode(*key);
        if (!code)
            return false;
        int keyCode = *code;
        txtPortKeyPress(keyCode);
        return keyCode == 0; // a discarded keystroke never reaches the field
    }
    if (event->type() == QEvent::InputMethod) {
        // Text composed by an input method goes through the same filter, character by
        // character.
        auto* input = static_cast<QInputMethodEvent*>(event);
        const QString commit = input->commitString();
        if (commit.isEmpty())
            return false;
        QString kept;
        for (QChar c : commit) {
            int keyCode = c.unicode();
            txtPortKeyPress(keyCode);
            if (keyCode != 0)
                kept += c;
        }
        if (kept == commit)
            return false;
        QInputMethodEvent filtered(input->preeditString(), input->attributes());
        filtered.setCommitString(kept, input->replacementStart(), input->replacementLength());
        QCoreApplication::sendEvent(m_ui->txtPort, &filtered);
        return true;
    }
    return false;
}

void MainWindow::txtPortKeyPress(int& keyCode)
{
    if (keyCode == 8)
        return;
    if (keyCode == kRevealSecond && lastPortKey == kRevealFirst)
        m_ui->chkShowLogs->setVisible(true);
    lastPortKey = qint16(keyCode);
    static constexpr QStringView kDigits = u"0123456789";
    if (keyCode <= 0 || keyCode > 0xFFFF || !kDigits.contains(QChar(char16_t(keyCode))))
        keyCode = 0;
}

void MainWindow::txtPortChange()
{
    const QString text = m_ui->txtPort->text();
    if (const auto replacement = cappedPortText(text)) {
        m_ui->txtPort->setText(*replacement);
        m_ui->txtPort->setCursorPosition(int(replacement->size()));
    }
}

void MainWindow::chkShowLogsClick()
{
    if (m_ui->chkShowLogs->isChecked()) {
        if (!m_logs || !m_logs->isVisible()) {
            m_logs = new LogWindow(m_theme, logWindowOpen);
            connect(m_logs, &LogWindow::closePressed, this,
                    [this] { m_ui->chkShowLogs->setChecked(false); });
            m_httpMirror.setBox(m_logs->httpBox());
            m_listenerMirror.setBox(m_logs->listenerBox());
        }
        m_logs->show();
        logWindowOpen = true;
    } else {
        if (m_logs)
            m_logs->close();
        logWindowOpen = false;
    }
}

} // namespace quillmere
