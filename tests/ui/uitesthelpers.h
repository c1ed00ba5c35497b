#pragma once

// Shared pieces of the widget tests: a main window on throw-away settings, a findings window
// shown on its own, and a watcher that answers modal message boxes the way a user would.

#include "support/theme.h"
#include "ui/mainwindow.h"
#include "ui/routerwindow.h"

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

namespace quillmere::test {

using namespace Qt::StringLiterals;

// Records and dismisses every modal message box that opens while it exists.
class MessageBoxWatcher : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        Qt::TextFormat format;
        bool modal;
    };

    MessageBoxWatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            m_seen.append(Seen{box->windowTitle(), box->text(), box->icon(), box->textFormat(),
                               box->isModal()});
            box->accept();
        });
        m_poll.start(10);
    }
    const QList<Seen>& seen() const { return m_seen; }

private:
    QTimer m_poll;
    QList<Seen> m_seen;
};

// A port nothing listens on: bind, read the number, let go.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A main window over settings in a temporary folder, pointed at `server`.
struct MainWindowFixture
{
    explicit MainWindowFixture(CheckServerAddress server = {u"127.0.0.1"_s, freePort()},
                               std::function<void(QSettings&)> seed = {},
                               std::function<void(MainWindow::Options&)> configure = {})
        : settings(dir.filePath(u"settings.ini"_s), QSettings::IniFormat)
    {
        if (seed)
            seed(settings);
        MainWindow::Options options;
        options.server = server;
        options.helpPageUrl =
            u"http://127.0.0.1:"_s + QString::number(server.port) + u"/help/portcheck_help.htm"_s;
        options.uninstallerPath = dir.filePath(u"quillmere-uninstall"_s);
        // This machine's own counters and firewall would make the findings depend on it.
        options.lookAtFirewall = false;
        options.openDocument = [this](const QString& path, const QString& parameters) {
            opened.append({path, parameters});
            return 42;
        };
        if (configure)
            configure(options);
        window = std::make_unique<MainWindow>(settings, theme, options);
    }

    template <typename T>
    T* find(const QString& name) const
    {
        return window->findChild<T*>(name);
    }

    QTemporaryDir dir;
    QSettings settings;
    ThemeContext theme;
    QList<QPair<QString, QString>> opened;
    std::unique_ptr<MainWindow> window;
};

// A findings window shown on its own, with no main window behind it.
struct RouterWindowFixture
{
    RouterWindowFixture()
        : window(theme, nullptr)
    {
        window.show();
    }

    // The child named `name`; a test cannot go on without it.
    template <typename T>
    T* find(const QString& name) const
    {
        T* child = window.findChild<T*>(name);
        if (!child)
            qFatal("no child %s", qPrintable(name));
        return child;
    }

    ThemeContext theme;
    RouterWindow window;
};

} // namespace quillmere::test
