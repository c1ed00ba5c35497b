#include "ui/mainwindow.h"

#include "engine/porttext.h"
#include "engine/version.h"
#include "firewall/firewalld.h"
#include "router/describe.h"
#include "support/shell.h"
#include "support/theme.h"
#include "ui/application.h"
#include "ui/findinglayers.h"
#include "ui/logwindow.h"
#include "ui/portfield.h"
#include "ui/reportview.h"
#include "ui/routerwindow.h"
#include "ui/windowgeometry.h"
#include "ui/windowtheme.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QSettings>

#include <utility>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kPortKey = u"Settings/Port"_s;
const QString kForwardLeaseKey = u"Settings/ForwardLease"_s;

// The saved lease when it is one the router window offers, else the default.
qint64 savedForwardLease(const QSettings& settings)
{
    bool ok = false;
    const qint64 saved = settings.value(kForwardLeaseKey).toLongLong(&ok);
    if (ok && (saved == RouterWindow::kLeaseHour || saved == RouterWindow::kLeaseDay ||
               saved == RouterWindow::kLeaseUntilRemoved))
        return saved;
    return MainWindow::kForwardLeaseSeconds;
}

// When a lease of `seconds` from now ends; an invalid time for a lease without an end.
QDateTime leaseEnd(qint64 seconds)
{
    return seconds > 0 ? QDateTime::currentDateTime().addSecs(seconds) : QDateTime();
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
    result.lookAtFirewall = options.lookAtFirewall;
    result.noFirewallReason = u"this computer's firewall is not looked at"_s;
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
    , m_serverChoice(settings, m_options.builtInServer,
                     m_options.serverFromEnvironment ? std::optional(m_options.server)
                                                     : std::nullopt)
    , m_session(std::make_unique<session::CheckSession>(
          *this, nullptr, sessionOptions(m_options),
          m_options.routerBackend ? m_options.routerBackend() : nullptr))
    , m_httpMirror([this]() -> const QString& { return engine().httpLogText(); })
    , m_listenerMirror([this]() -> const QString& { return engine().listenerLogText(); })
{
    if (!m_options.openDocument)
        m_options.openDocument = OpenDocument;

    m_ui->setupUi(this);
    m_geometry = new WindowGeometry(*this, *m_ui);
    applyDesignFonts(*this);
    fitStaticLabels(*this);
    m_ui->chkShowLogs->setVisible(false);
    m_ui->optProtocol->setId(m_ui->optProtocol_0, 0);
    m_ui->optProtocol->setId(m_ui->optProtocol_1, 1);
    m_report = std::make_unique<ReportView>(*m_ui, *m_session);
    // Client area 785 x 535 pixels below the menu bar, at the top-left corner of the screen.
    resize(785, 535 + menuBar()->sizeHint().height());
    move(0, 0);

    m_theme.mainWindow = this;
    new PortField(
        *m_ui->txtPort, [this] { m_ui->chkShowLogs->setVisible(true); }, this);
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
    connect(m_session.get(), &CheckSession::serverLookedUp, this,
            [this] { m_report->serverLookedUp(); });
    connect(m_session.get(), &CheckSession::checkStarted, this, &MainWindow::checkStarted);
    connect(m_session.get(), &CheckSession::verdictStands, this, &MainWindow::verdictStands);
    connect(m_session.get(), &CheckSession::ipv6Started, this, [this] { m_report->ipv6Started(); });
    connect(m_session.get(), &CheckSession::ipv6Done, this, [this] {
        m_report->showIpv6Line();
        showRouterFinding(); // a pinhole may now be offered
    });
    connect(m_session.get(), &CheckSession::finished, this, [this] { m_report->finished(); });
    if (m_options.routerBackend) {
        m_forwardLease = savedForwardLease(m_settings);
        connect(m_session.get(), &CheckSession::routerAnswered, this, &MainWindow::routerAnswered);
        connect(m_session.get(), &CheckSession::forwardDone, this, &MainWindow::forwardDone);
        // The diagnosis is made once both the verdict and the router's answer are in, after
        // whichever came last was announced.
        connect(m_session.get(), &CheckSession::diagnosed, this, &MainWindow::showRouterFinding);
        // A control port may change the diagnosis; it and the way in from the LAN have sections
        // of their own.
        connect(m_session.get(), &CheckSession::controlPortDone, this,
                &MainWindow::showRouterFinding);
        connect(m_session.get(), &CheckSession::hairpinDone, this, &MainWindow::showRouterFinding);
        connect(m_session.get(), &CheckSession::finished, this, [this] {
            if (std::exchange(m_checkAfterRemoval, false))
                m_session->start();
        });
        connect(m_ui->cmdRouter, &QPushButton::clicked, this, &MainWindow::cmdRouterClick);
    } else {
        m_ui->cmdRouter->hide();
        m_ui->lblRouter->hide();
    }
    formLoad();
}

MainWindow::~MainWindow()
{
    if (m_logs)
        delete m_logs.data();
}

void MainWindow::formLoad()
{
    paintMainWindow(*this, *m_ui, m_theme);

    const QVariant saved = m_settings.value(kPortKey);
    m_ui->txtPort->setText(saved.isValid() ? saved.toString() : kDefaultPortText.toString());

    resizeLayout();

    m_ui->WebBrowser1->navigate(QUrl(m_options.helpPageUrl));

    setWindowTitle(windowTitle() + u" version "_s + versionText());

    setCheckServer(m_serverChoice.initial(m_options.server));
}

void MainWindow::cmdCheckMeClick()
{
    m_allowText.clear();
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
    const session::Report& report = m_session->report();
    if (m_ownForward &&
        (m_ownForward->port != report.port || m_ownForward->protocol != report.protocol))
        m_ownForward.reset();
    m_report->checkStarted();
    m_routerLogSection.clear();
    showLogTrailer();
    showRouterFinding();
}

void MainWindow::verdictStands()
{
    m_report->verdictStands();
    showRouterFinding();
}

void MainWindow::showServerAddress()
{
    m_report->clearServerAddress();
    // The check server's address, for looking it up in firewall logs.
    m_session->lookUpServer();
}

void MainWindow::mnuOptionsCheckServerClick()
{
    if (const auto server = m_serverChoice.choose(QString(), this))
        setCheckServer(*server);
}

void MainWindow::introduceCheckServer()
{
    if (const auto server = m_serverChoice.introduce(this))
        setCheckServer(*server);
}

void MainWindow::setCheckServer(const CheckServerAddress& server)
{
    m_options.server = server;
    m_session->setServer(server);
    if (m_routerWindow)
        m_routerWindow->setStunServer(server.host, m_options.stunPort);
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
        m_routerWindow->setForwardLease(m_forwardLease);
        connect(m_routerWindow, &RouterWindow::forwardRequested, this,
                &MainWindow::cmdForwardClick);
        connect(m_routerWindow, &RouterWindow::ipv6PinholeRequested, this,
                &MainWindow::cmdIpv6PinholeClick);
        connect(m_routerWindow, &RouterWindow::removeForwardRequested, this,
                &MainWindow::cmdRemoveForwardClick);
        connect(m_routerWindow, &RouterWindow::forwardLeaseChosen, this,
                &MainWindow::forwardLeaseChosen);
        connect(m_routerWindow, &RouterWindow::forwardExternalPortRequested, this,
                &MainWindow::forwardExternalPort);
        connect(m_routerWindow, &RouterWindow::allowInFirewallRequested, this,
                &MainWindow::allowInFirewall);
        connect(m_routerWindow, &RouterWindow::natTypeFound, this,
                [this](const nat::NatFacts& facts) {
                    m_natLogSection = u"NAT: "_s + facts.server + u"\r\n"_s;
                    for (const QString& line : facts.log)
                        m_natLogSection += line + u"\r\n"_s;
                    showLogTrailer();
                });
        // "Find NAT type" asks the check server's host.
        m_routerWindow->setStunServer(m_options.server.host, m_options.stunPort);
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
    m_session->forward(m_forwardLease);
    showRouterFinding();
}

// A pinhole in the router's IPv6 firewall for the port, then the check over IPv6 again.
void MainWindow::cmdIpv6PinholeClick()
{
    if (!m_session->pinholeObstacle().isEmpty())
        return;
    m_forwardText = u"Asking the router for an IPv6 pinhole for port "_s +
                    QString::number(m_session->report().port) + u"..."_s;
    m_session->forwardIpv6(m_forwardLease);
    showRouterFinding();
}

// The control port got through where the checked port did not: the router maps that external
// port to the checked one, and the external port is checked.
void MainWindow::forwardExternalPort(int externalPort)
{
    const session::Report& report = m_session->report();
    if (report.forward.isRunning() || !report.controlPort.isDone() ||
        report.controlPort->port != externalPort)
        return;
    m_forwardText = u"Asking the router to forward external port "_s +
                    QString::number(externalPort) + u" to port "_s + QString::number(report.port) +
                    u"..."_s;
    m_session->setExternalPort(externalPort);
    m_session->forward(m_forwardLease);
    m_session->setExternalPort(0);
    showRouterFinding();
}

// firewalld opens the checked port in the zone of the default route's interface, for now and
// for good, once polkit has the user's consent; then the port is checked again.
void MainWindow::allowInFirewall()
{
    const session::Report& report = m_session->report();
    if (m_firewalld || !report.firewall.isDone() ||
        report.firewall->found != firewall::Kind::Firewalld || report.port <= 0)
        return;
    m_firewalld = new firewall::FirewalldClient(QDBusConnection::systemBus(), this);
    const QString port = QString::number(report.port) + u'/' + protocolWord(report.protocol);
    connect(m_firewalld, &firewall::FirewalldClient::allowed, this, [this, port] {
        m_firewalld->deleteLater();
        m_firewalld = nullptr;
        m_allowText = u"firewalld now allows "_s + port + u"; the port is checked again."_s;
        m_session->start();
        showRouterFinding();
    });
    connect(m_firewalld, &firewall::FirewalldClient::failed, this,
            [this, port](const QString& why) {
                m_firewalld->deleteLater();
                m_firewalld = nullptr;
                m_allowText = u"firewalld did not allow "_s + port + u": "_s + why;
                showRouterFinding();
            });
    m_allowText = u"Asking firewalld to allow "_s + port + u" (it may ask for your password)..."_s;
    m_firewalld->allowPort(report.firewall->zone, report.port, report.protocol);
    showRouterFinding();
}

void MainWindow::forwardLeaseChosen(qint64 seconds)
{
    m_forwardLease = seconds;
    m_settings.setValue(kForwardLeaseKey, seconds);
    m_settings.sync();
}

// Removes the router's mapping of the checked port to this computer, as quillmere-check
// --unforward does, then checks the port again without it.
void MainWindow::cmdRemoveForwardClick()
{
    if (!m_ownForward || m_session->report().forward.isRunning())
        return;
    const std::optional<int> inField = portNumber(portText());
    const ProbeProtocol protocol = isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    if (inField != m_ownForward->port || protocol != m_ownForward->protocol) {
        // The session removes the port in the field: it must be the one the mapping is for.
        m_forwardText = u"The port field has changed: check port "_s +
                        QString::number(m_ownForward->port) + u" again to remove its forward."_s;
        showRouterFinding();
        return;
    }
    m_forwardText = u"Asking the router to remove the forward of port "_s +
                    QString::number(m_ownForward->port) + u"..."_s;
    m_session->unforward();
    showRouterFinding();
}

// The log window's HTTP box ends with the router's exchange of the last check, then the last
// NAT type run's (which a check leaves as it was).
void MainWindow::showLogTrailer()
{
    m_httpMirror.setTrailer(m_routerLogSection + m_natLogSection);
}

// What the router says of the checked port's mapping is the latest word on this computer's
// forward, when it could say (NAT-PMP cannot list mappings: a forward made over it stands).
void MainWindow::routerAnswered()
{
    const router::RouterFacts& facts = *routerFacts();
    m_routerLogSection = router::routerLogSection(facts);
    showLogTrailer();
    if (facts.mappingQueried) {
        if (facts.mapping && facts.mapping->thisComputer)
            m_ownForward = OwnForward{m_session->report().port, m_session->report().protocol,
                                      leaseEnd(facts.mapping->leaseSeconds)};
        else
            m_ownForward.reset();
    }
    showRouterFinding();
}

void MainWindow::forwardDone()
{
    const session::Report& report = m_session->report();
    const session::ForwardStep& step = *report.forward;
    m_forwardText = step.text;
    // A pinhole is no IPv4 forward to remove: it is closed with --unforward -6.
    if (step.asked && step.result.ok && step.result.kind == router::ForwardKind::Mapping) {
        if (step.removing) {
            m_ownForward.reset();
            m_checkAfterRemoval = true;
        } else {
            qint64 lease = step.result.mapping ? step.result.mapping->leaseSeconds : m_forwardLease;
            if (step.result.permanentOnly)
                lease = 0;
            m_ownForward = OwnForward{report.port, report.protocol, leaseEnd(lease)};
        }
    }
    showRouterFinding();
}

// The router's answer and the check's verdict meet in the diagnosis whenever either changes;
// the router never holds up the verdict.
void MainWindow::showRouterFinding()
{
    if (!m_options.routerBackend)
        return;
    const RouterFinding finding = m_report->showRouterFinding();
    if (m_routerWindow) {
        m_routerWindow->showFinding(finding.facts, finding.diagnosis);
        m_routerWindow->setForwardEnabled(finding.canForward);
        m_routerWindow->setIpv6PinholeOffered(m_session->pinholeObstacle().isEmpty());
        m_routerWindow->showForwardResult(m_forwardText);
        if (m_ownForward)
            m_routerWindow->showOwnForward(true, m_ownForward->ends);
        else
            m_routerWindow->showOwnForward(false);
        showFindingLayers(*m_routerWindow, m_session->report(), m_allowText);
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

void MainWindow::setResultText(ResultLabel label, const QString& text)
{
    m_report->setResultText(label, text);
}

void MainWindow::setResultColour(ResultLabel label, TextColour colour)
{
    m_report->setResultColour(label, colour);
}

void MainWindow::showMessageBox(const QString& text, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromUtf16(kAppTitle), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::NoTextInteraction);
    box.exec();
}

void MainWindow::resizeLayout()
{
    m_geometry->resizeLayout();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    resizeLayout();
}

bool MainWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        m_geometry->activated();
    return QMainWindow::event(event);
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
