#include "support/signalwatcher.h"
#include "support/theme.h"
#include "ui/application.h"
#include "ui/mainwindow.h"
#include "ui/versionmode.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace quillmere;

int main(int argc, char* argv[])
{
    // Decided before anything touches a display, so that it works on a machine without one.
    if (isVersionMode(argc, argv)) {
        writeVersionFile(QDir::currentPath());
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(u"Quillmere"_s);
    QApplication::setApplicationName(u"Quillmere"_s);
    setUpApplicationLook(app);

    QString problem;
    MainWindow::Options options;
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    options.server = checkServerFromEnvironment(environment, &problem);
    options.serverFromEnvironment = environmentNamesServer(environment);
    if (!problem.isEmpty())
        QTextStream(stderr) << u"quillmere: "_s << problem << u'\n';
    options.helpPageUrl = helpPageUrl(options.server);
    options.uninstallerPath = uninstallerPath(QApplication::applicationDirPath());
#ifdef QUILLMERE_INSTALLED_AS_PACKAGE
    options.installedAsPackage = true;
#endif
    if (asksRouter(QApplication::arguments()))
        options.routerBackend = [] { return router::makeSystemRouterBackend(); };

    QSettings settings;
    ThemeContext theme;
    MainWindow window(settings, theme, options);

    SignalWatcher signals_;
    QObject::connect(&signals_, &SignalWatcher::endRequested, &window, &MainWindow::close);

    window.show();
    QTimer::singleShot(0, &window, &MainWindow::introduceCheckServer);
    return app.exec();
}
