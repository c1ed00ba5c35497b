// quillmere-test-server: the scripted check server as a program, for trying the check on one
// machine. It probes the requested port back on loopback and answers like a working server.

#include "tests/support/scriptedcheckserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

using namespace Qt::StringLiterals;
using namespace quillmere::test;

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = 8080;
    ServerScript script;

    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == u"--port"_s && i + 1 < args.size()) {
            port = quint16(args.at(++i).toUInt());
        } else if (arg == u"--address"_s && i + 1 < args.size()) {
            address = QHostAddress(args.at(++i));
        } else if (arg == u"--help-page"_s && i + 1 < args.size()) {
            QFile page(args.at(++i));
            if (page.open(QIODevice::ReadOnly))
                script.pages.insert("/help/portcheck_help.htm", page.readAll());
        } else {
            err << u"usage: quillmere-test-server [--address ADDR] [--port PORT] [--help-page FILE]\n"_s;
            return 64;
        }
    }

    ScriptedCheckServer server;
    server.setScript(script);
    if (!server.listen(address, port)) {
        err << u"quillmere-test-server: cannot listen on "_s << address.toString() << u':' << port
            << u": "_s << server.errorString() << u'\n';
        return 1;
    }
    QObject::connect(&server, &ScriptedCheckServer::requestReceived, &app,
                     [&err](const CheckRequest& request) {
                         err << u"request: port="_s << QString::fromLatin1(request.port)
                             << u" protocol="_s << QString::fromLatin1(request.protocol) << u'\n';
                         err.flush();
                     });
    QObject::connect(
        &server, &ScriptedCheckServer::probeFinished, &app, [&err](const ProbeOutcome& outcome) {
            err << u"probe: "_s << (outcome.reached ? u"reached"_s : u"not reached"_s) << u'\n';
            err.flush();
        });
    err << u"quillmere-test-server listening on "_s << address.toString() << u':' << server.port()
        << u'\n';
    err.flush();
    return app.exec();
}
