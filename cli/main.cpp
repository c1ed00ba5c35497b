#include "cli/checkcommand.h"
#include "engine/version.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quillmere;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const auto parsed =
        cli::parseArguments(app.arguments().mid(1), QProcessEnvironment::systemEnvironment());
    switch (parsed.action) {
    case cli::ParsedArguments::Action::Help:
        out << cli::helpText();
        return 0;
    case cli::ParsedArguments::Action::Version:
        out << u"quillmere-check "_s << versionText() << u'\n';
        return 0;
    case cli::ParsedArguments::Action::UsageError:
        err << u"quillmere-check: "_s << parsed.error << u'\n' << cli::usageLine() << u'\n';
        return cli::kExitUsage;
    case cli::ParsedArguments::Action::Run:
        break;
    }

    cli::CheckCommand command(parsed.options, out, err, isatty(STDERR_FILENO) == 1);
    QObject::connect(&command, &cli::CheckCommand::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    command.start();
    return app.exec();
}
