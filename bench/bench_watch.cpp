// The memory and CPU of a long watch: WatchCommand runs checks back to back (no interval)
// against a check server given on the command line, and the process's resident memory and CPU
// time are printed as the checks add up.
//
//   bench_watch HOST:PORT [CHECKS] [PORT]
//
// Start the server without per-client limits, e.g.
//   quillmere-server --listen 127.0.0.1:18555 --allow-private --client-rate 0 --client-checks 0

#include "cli/arguments.h"
#include "cli/watchcommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <sys/resource.h>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

qint64 residentKiB()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    }
    return -1;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    const auto server =
        arguments.size() > 1 ? CheckServerAddress::parse(arguments[1]) : std::nullopt;
    if (!server) {
        QTextStream(stderr) << "usage: bench_watch HOST:PORT [CHECKS] [PORT]\n";
        return 64;
    }
    const quint64 checks = arguments.size() > 2 ? arguments[2].toULongLong() : 10000;
    cli::CheckOptions options;
    options.server = *server;
    options.portText = arguments.size() > 3 ? arguments[3] : u"47124"_s;
    options.families = cli::FamilyChoice::IPv4;
    options.watchSeconds = 1;

    QString lines;
    QTextStream sink(&lines);
    cli::WatchCommand watch(options, sink, sink);
    watch.setIntervalMs(0);
    QElapsedTimer clock;
    clock.start();
    out << "checks  rss_kib  cpu_s  wall_s\n";
    out.flush();
    QObject::connect(&watch, &cli::WatchCommand::checkDone, &app, [&] {
        const quint64 done = watch.checksDone();
        if (done == 1 || done % 1000 == 0) {
            out << done << "  " << residentKiB() << "  " << QString::number(cpuSeconds(), 'f', 2)
                << "  " << QString::number(clock.elapsed() / 1000.0, 'f', 1) << '\n';
            out.flush();
        }
        if (done >= checks)
            watch.stop();
    });
    QObject::connect(&watch, &cli::WatchCommand::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    watch.start();
    const int status = app.exec();
    out << "lines printed by the watch: " << lines.count(u'\n') << '\n';
    return status;
}
