#include "cli/arguments.h"
#include "cli/checkcommand.h"
#include "cli/exitstatus.h"
#include "cli/stopsignals.h"
#include "cli/watchcommand.h"
#include "engine/version.h"
#include "router/routerbackend.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(cli::kProgramName.toString());
    QCoreApplication::setApplicationVersion(versionText());
    QTextStream out(stdout);
    QTextStream err(stderr);

    const auto parsed =
        cli::parseArguments(app.arguments().mid(1), QProcessEnvironment::systemEnvironment());
    switch (parsed.action) {
    case cli::ParsedArguments::Action::Help:
        out << cli::helpText();
        return 0;
    case cli::ParsedArguments::Action::Version:
        out << cli::versionLine() << u'\n';
        return 0;
    case cli::ParsedArguments::Action::UsageError:
        err << cli::kProgramName << u": "_s << parsed.error << u'\n';
        return cli::kExitUsage;
    case cli::ParsedArguments::Action::Run:
        break;
    }

    if (parsed.options.watchSeconds > 0) {
        cli::StopSignals stopSignals;
        cli::WatchCommand watch(parsed.options, out, err);
        QObject::connect(&stopSignals, &cli::StopSignals::stopRequested, &watch,
                         &cli::WatchCommand::stop);
        QObject::connect(&watch, &cli::WatchCommand::finished, &app, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        watch.start();
        return app.exec();
    }

    std::unique_ptr<router::RouterBackend> routerBackend;
    if (parsed.options.router != cli::RouterAction::Skip)
        routerBackend = router::makeSystemRouterBackend();
    cli::CheckCommand command(parsed.options, out, err, isatty(STDERR_FILENO) == 1,
                              std::move(routerBackend));
    QObject::connect(&command, &cli::CheckCommand::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    command.start();
    return app.exec();
}
