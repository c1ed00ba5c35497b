#pragma once

#include "engine/checkview.h"
#include "session/checksession.h"
#include "ui/checkserverchoice.h"
#include "ui/logmirror.h"
#include "ui/portfield.h"
#include "ui/windowgeometry.h"
#include "ui/windowtheme.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QSettings;

namespace Ui {
class MainWindow;
}

namespace quillmere {

namespace firewall {
class FirewalldClient;
}

class LogWindow;
class ReportView;
class RouterWindow;
struct ThemeContext;

// frmMain: the port field, the protocol choice, "Check Me", the result labels and the help
// pane, a view of one check session (the first check shows in the result labels itself). It keeps
// the last port in the settings, opens the log window from its (hidden) check box, and brings its
// top edge back to 200 twips whenever activation returns to it from another window of the program.
class MainWindow : public QMainWindow, public CheckView
{
    Q_OBJECT

public:
    struct Options
    {
        CheckServerAddress server;
        QString helpPageUrl;
        QString uninstallerPath;
        // Installed by the Debian package: Uninstall says how to remove the package instead of
        // starting the uninstaller, which a package does not have.
        bool installedAsPackage = false;
        // QUILLMERE_CHECK_SERVER named `server`: it overrides the server chosen in Options.
        bool serverFromEnvironment = false;
        // The server used when none is chosen or named (the built-in one).
        CheckServerAddress builtInServer = builtInCheckServer();
        // Hands a document or program to the desktop's shell (OpenDocument by default).
        std::function<int(const QString& path, const QString& parameters)> openDocument;
        // The way to the router on the LAN. Empty: the window does not ask the router.
        std::function<std::unique_ptr<router::RouterBackend>()> routerBackend;
        // Whether a check looks at this computer's firewall (its counters and which one runs).
        bool lookAtFirewall = true;
        // The port of the STUN server the findings window's "Find NAT type" asks on the check
        // server's host.
        quint16 stunPort = 3478;
    };

    // How long a forward made from the window lasts until the user chooses another lease in the
    // router window (kept in the settings), unless the router takes only mappings without an end.
    static constexpr qint64 kForwardLeaseSeconds = 3600;

    // The two letters that, typed one after the other into the port field, reveal
    // "Show Logs (advanced)".
    static constexpr char16_t kRevealFirst = PortField::kRevealFirst;
    static constexpr char16_t kRevealSecond = PortField::kRevealSecond;

    // What Options > Uninstall says when the program came in a Debian package.
    static constexpr QStringView kPackageRemovalText =
        u"Quillmere was installed as a Debian package. Remove it with: sudo apt remove quillmere";

    static constexpr quint32 kMenuBackColor = quillmere::kMenuBackColor;
    static constexpr int kMinWidthTwips = WindowGeometry::kMinWidthTwips;
    static constexpr int kMinHeightTwips = WindowGeometry::kMinHeightTwips;
    static constexpr int kActivatedTopTwips = WindowGeometry::kActivatedTopTwips;

    MainWindow(QSettings& settings, ThemeContext& theme, Options options,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    CheckEngine& engine() { return m_session->engine(); }
    session::CheckSession& session() { return *m_session; }
    LogWindow* logWindow() const;
    RouterWindow* routerWindow() const;
    // The router's facts from the lookup beside the latest check, once it answered.
    const std::optional<router::RouterFacts>& routerFacts() const
    {
        return m_session->report().router.result();
    }
    // The server the next check goes to: the environment's, else the one chosen in Options >
    // Check server..., else the built-in one.
    const CheckServerAddress& checkServer() const { return m_options.server; }

    // Whether a check over IPv6 follows each IPv4 check. Unless set, the session decides from
    // this computer's and the server's addresses; tests set it.
    void setIpv6Checked(bool checked) { m_session->setIpv6Wanted(checked); }
    bool isLogWindowOpen() const { return logWindowOpen; }

    // CheckView
    QString portText() const override;
    void setPortText(const QString& text) override;
    bool isTcpSelected() const override;
    void setResultText(ResultLabel label, const QString& text) override;
    void setResultColour(ResultLabel label, TextColour colour) override;
    void showMessageBox(const QString& text, MessageIcon icon) override;

    // At the first start of a program whose built-in server is this computer's (localhost),
    // opens Options > Check server... once, saying where a check server comes from. Remembered
    // in the settings; does nothing when a server is chosen or named by the environment.
    void introduceCheckServer();

    // Keeps the minimum size and stretches the rule, the picture, the white column and the
    // help pane to the window's size.
    void resizeLayout();

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void formLoad();
    void chkShowLogsClick();
    void mnuFileExitClick();
    void mnuOptionsUninstallClick();
    void showServerAddress();
    void checkStarted();
    void verdictStands();
    void cmdRouterClick();
    void cmdForwardClick();
    void cmdRemoveForwardClick();
    void forwardLeaseChosen(qint64 seconds);
    void forwardExternalPort(int externalPort);
    void allowInFirewall();
    void routerAnswered();
    void showLogTrailer();
    void forwardDone();
    void showRouterFinding();
    void cmdCheckMeClick();
    void cmdCheckServiceClick();
    void cmdIpv6PinholeClick();
    void mnuOptionsCheckServerClick();
    void setCheckServer(const CheckServerAddress& server);

    std::unique_ptr<Ui::MainWindow> m_ui;
    QSettings& m_settings;
    ThemeContext& m_theme;
    Options m_options;
    CheckServerChoice m_serverChoice;
    std::unique_ptr<session::CheckSession> m_session;
    std::unique_ptr<ReportView> m_report;
    WindowGeometry* m_geometry = nullptr;
    LogMirror m_httpMirror;
    LogMirror m_listenerMirror;
    QPointer<LogWindow> m_logs;
    QPointer<RouterWindow> m_routerWindow;
    QString m_forwardText;
    // The log window's trailer: the router's exchange and the last NAT type run's.
    QString m_routerLogSection;
    QString m_natLogSection;
    // "Allow in firewall": the request while it runs, and what came of it.
    QPointer<firewall::FirewalldClient> m_firewalld;
    QString m_allowText;
    // The lease the window's forwards ask for (seconds; 0: until removed).
    qint64 m_forwardLease = kForwardLeaseSeconds;
    // The router's mapping of a port to this computer, as the router or a forward last said.
    struct OwnForward
    {
        int port = 0;
        ProbeProtocol protocol = ProbeProtocol::Tcp;
        QDateTime ends; // invalid: until removed
    };
    std::optional<OwnForward> m_ownForward;
    // A removal from the router window is followed by a check of the port without it.
    bool m_checkAfterRemoval = false;
    bool logWindowOpen = false;
};

} // namespace quillmere
