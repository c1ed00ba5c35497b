#include "ui/mainwindow.h"

#include "engine/porttext.h"
#include "engine/version.h"
#include "router/describe.h"
#include "support/plaintext.h"
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
const QString kCheckServerIntroducedKey = u"Settings/CheckServerIntroduced"_s;

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

session::SessionOptions sessionOptions(const MainWindow::Options& options)
{
    session::SessionOptions result;
    result.server = options.server;
    result.askRouter = bool(options.routerBackend);
    result.noRouterReason = u"the router is not asked"_s;
    result.howToSetServer = u"Set a server on the internet in Options > Check server..."_s;
    result.diagnosisNamesPort = true;
    result.keepCheckOpen = true;
    // A server named by an IPv6 address can only be reached over IPv6, and is; the window keeps
    // its first check's words.
    result.ipv6WordsForIpv6OnlyServer = false;
    return result;
}

} // namespace

MainWindow::MainWindow(QSettings& settings, ThemeContext& theme, Options options, QWidget* parent)
    : QMainWindow(parent)
    , m_ui(std::make_unique<Ui::MainWindow>())
    , m_settings(settings)
    , m_theme(theme)
    , m_options(std::move(options))
    , m_session(std::make_unique<session::CheckSession>(
          *this, nullptr, sessionOptions(m_options),
          m_options.routerBackend ? m_options.routerBackend() : nullptr))
    , m_httpMirror([this]() -> const QString& { return engine().httpLogText(); })
    , m_listenerMirror([this]() -> const QString& { return engine().listenerLogText(); })
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
    connect(m_ui->chkShowLogs, &QCheckBox::toggled, this, &MainWindow::chkShowLogsClick);
    connect(m_ui->mnuFileExit, &QAction::triggered, this, &MainWindow::mnuFileExitClick);
    connect(m_ui->mnuOptionsUninstall, &QAction::triggered, this,
            &MainWindow::mnuOptionsUninstallClick);
    connect(m_ui->mnuOptionsCheckServer, &QAction::triggered, this,
            &MainWindow::mnuOptionsCheckServerClick);

    connect(&engine(), &CheckEngine::checkStarted, this, [this] {
        m_httpMirror.logReset();
        m_listenerMirror.logReset();
    });
    connect(&engine(), &CheckEngine::httpLogAppended, this, [this] {
        if (logWindowOpen)
            m_httpMirror.logAppended();
    });
    connect(&engine(), &CheckEngine::listenerLogAppended, this, [this] {
        if (logWindowOpen)
            m_listenerMirror.logAppended();
    });
    using session::CheckSession;
    connect(m_session.get(), &CheckSession::serverLookedUp, this, &MainWindow::serverLookedUp);
    connect(m_session.get(), &CheckSession::checkStarted, this, &MainWindow::checkStarted);
    connect(m_session.get(), &CheckSession::verdictStands, this, &MainWindow::verdictStands);
    connect(m_session.get(), &CheckSession::ipv6Started, this,
            [this] { m_ui->lblIpv6->setText(u"IPv6: checking..."_s); });
    connect(m_session.get(), &CheckSession::ipv6Done, this, &MainWindow::showIpv6Line);
    connect(m_session.get(), &CheckSession::finished, this, [this] {
        const session::Report& report = m_session->report();
        if (report.nothingHoldsPort)
            m_ui->lblInfo->setText(
                u"Port "_s + QString::number(report.port) + u" is "_s +
                service::describeHolders(*report.holders, quint16(report.port), report.protocol) +
                u'.');
    });
    if (m_options.routerBackend) {
        connect(m_session.get(), &CheckSession::routerAnswered, this, [this] {
            m_httpMirror.setTrailer(router::routerLogSection(*routerFacts()));
            showRouterFinding();
        });
        connect(m_session.get(), &CheckSession::forwardDone, this, [this] {
            m_forwardText = m_session->report().forward->text;
            showRouterFinding();
        });
        connect(m_ui->cmdRouter, &QPushButton::clicked, this, &MainWindow::cmdRouterClick);
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
    m_forwardText.clear();
    m_session->setServiceCheck(false);
    m_session->start();
}

// The port is held by another program: check that program as it runs, in the same labels.
void MainWindow::cmdCheckServiceClick()
{
    m_forwardText.clear();
    m_session->setServiceCheck(true);
    m_session->start();
}

void MainWindow::checkStarted()
{
    m_ui->lblIpv6->clear();
    m_ui->lblIpv6->setToolTip(QString());
    m_ui->cmdCheckService->hide();
    m_httpMirror.setTrailer(QString());
    showRouterFinding();
}

// The check's labels show its verdict already: what follows it is the offer to check a running
// service after a locked port, and who holds the port after a service check.
void MainWindow::verdictStands()
{
    const session::Report& report = m_session->report();
    const session::CheckResult& check = *report.check;
    if (check.portLocked && report.port > 0)
        m_ui->cmdCheckService->show();
    if (report.holders.isDone()) {
        const QString holders =
            service::describeHolders(*report.holders, quint16(report.port), report.protocol);
        const QString info = m_ui->lblInfo->text();
        if (!info.endsWith(holders))
            m_ui->lblInfo->setText(info + u" Port "_s + QString::number(report.port) + u" is "_s +
                                   holders + u'.');
    }
    showRouterFinding();
}

void MainWindow::showIpv6Line()
{
    const session::Report& report = m_session->report();
    const session::CheckResult& ipv6 = *report.ipv6;
    QString line = u"IPv6: the port could not be opened on this computer to check it."_s;
    QString details;
    if (!ipv6.portLocked) {
        line = u"IPv6: "_s + ipv6.text(ResultLabel::Status) + u" ("_s + ipv6.addressText() + u')';
        details = ipv6.text(ResultLabel::Info);
        if (ipv6.verdict && ipv6.verdict->externalAddress && !report.check->portLocked) {
            const QString hint = ipv6OnlyHint(report.check->kind(), ipv6.kind(),
                                              *ipv6.verdict->externalAddress, report.portText);
            if (!hint.isEmpty())
                details += u"\n\n"_s + hint;
        }
    }
    QLabel* label = m_ui->lblIpv6;
    label->setText(label->fontMetrics().elidedText(line, Qt::ElideRight, label->width()));
    label->setToolTip(plainToolTip(line + u"\n\n"_s + details));
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
    // The check server's address, for looking it up in firewall logs.
    m_session->lookUpServer();
}

void MainWindow::serverLookedUp()
{
    const session::Report& report = m_session->report();
    showFirstIpv4(*m_ui->Label11, report.serverAddresses.result().value_or(QList<QHostAddress>()));
    const QString& note = report.serverNote;
    m_ui->lblServerNote->setText(note);
    m_ui->lblServerNote->setToolTip(plainToolTip(note));
    m_ui->lblServerNote->setVisible(!note.isEmpty());
}

void MainWindow::mnuOptionsCheckServerClick()
{
    openCheckServerDialog(QString());
}

void MainWindow::introduceCheckServer()
{
    if (m_options.builtInServer.host != u"localhost"_s || m_options.serverFromEnvironment ||
        m_settings.contains(kCheckServerKey) ||
        m_settings.value(kCheckServerIntroducedKey).toBool())
        return;
    m_settings.setValue(kCheckServerIntroducedKey, true);
    m_settings.sync();
    openCheckServerDialog(
        u"This copy of Quillmere was built without a check server: its built-in one is "
        u"localhost, this computer, which cannot speak for your router. A check server runs on a "
        u"public host on the internet, for example quillmere-server, which anyone can run on "
        u"theirs. Name one below as HOST or HOST:PORT; you can change it at any time in Options > "
        u"Check server..."_s);
}

void MainWindow::openCheckServerDialog(const QString& introduction)
{
    std::optional<CheckServerAddress> environment;
    if (m_options.serverFromEnvironment)
        environment = m_options.server;
    CheckServerDialog dialog(m_settings.value(kCheckServerKey).toString(), m_options.builtInServer,
                             environment, this);
    if (!introduction.isEmpty())
        dialog.introduce(introduction);
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
    m_session->setServer(server);
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
    if (!m_session->forwardObstacle().isEmpty())
        return;
    m_forwardText = u"Asking the router to forward port "_s +
                    QString::number(m_session->report().port) + u"..."_s;
    m_session->forward(kForwardLeaseSeconds);
    showRouterFinding();
}

// The router's answer and the check's verdict meet in the diagnosis whenever either changes;
// the router never holds up the verdict.
void MainWindow::showRouterFinding()
{
    if (!m_options.routerBackend)
        return;
    const session::Report& report = m_session->report();
    QString line;
    QString facts;
    QString diagnosis;
    bool canForward = false;
    if (report.router.isRunning()) {
        line = facts = u"Asking the router..."_s;
    } else if (report.router.isDone()) {
        facts =
            u"Router: "_s + router::describeRouter(*report.router, report.port, report.protocol);
        if (engine().isServiceCheck()) {
            line = facts;
            diagnosis = session::kServiceCheckDiagnosis.toString();
        } else if (report.check.isDone() && report.check->portLocked) {
            // No check ran: there is nothing to set beside the router's answer.
            line = facts;
            diagnosis = u"The port could not be opened on this computer, so it was not checked."_s;
        } else if (!report.diagnosis.isDone()) {
            line = diagnosis = u"Waiting for the check..."_s;
        } else {
            line = report.diagnosis->headline;
            diagnosis = report.diagnosis->text();
            canForward = m_session->forwardObstacle().isEmpty();
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
