// The program as a process: the version mode on a machine without a display, and a normal
// start for every other command line, ended the way a session ends it.

#include "ui/application.h"
#include "ui/versionmode.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

QProcessEnvironment environmentWithoutDisplay(const QString& configHome)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(u"XDG_CONFIG_HOME"_s, configHome);
    return env;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestStartUp : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void versionModeDecision_data();
    void versionModeDecision();
    void versionModeWritesFileWithoutDisplay();
    void otherCommandLinesStartNormally_data();
    void otherCommandLinesStartNormally();
    void noRouterOption();
};

void TestStartUp::versionModeDecision_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("versionMode");
    QTest::newRow("VERSION") << QStringList{u"VERSION"_s} << true;
    QTest::newRow("none") << QStringList{} << false;
    QTest::newRow("lower case") << QStringList{u"version"_s} << false;
    QTest::newRow("further word") << QStringList{u"VERSION"_s, u"x"_s} << false;
    QTest::newRow("trailing blank") << QStringList{u"VERSION "_s} << false;
}

void TestStartUp::versionModeDecision()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, versionMode);
    QList<QByteArray> storage{"quillmere"};
    for (const QString& argument : arguments)
        storage.append(argument.toLocal8Bit());
    QList<const char*> argv;
    for (const QByteArray& argument : storage)
        argv.append(argument.constData());
    QCOMPARE(isVersionMode(int(argv.size()), argv.data()), versionMode);
}

void TestStartUp::versionModeWritesFileWithoutDisplay()
{
    QTemporaryDir dir;
    const QString log = dir.filePath(u"version.log"_s);
    QFile older(log);
    QVERIFY(older.open(QIODevice::WriteOnly));
    older.write("0.9.1 and a much longer older line\r\nsecond line\r\n");
    older.close();

    QProcess program;
    program.setWorkingDirectory(dir.path());
    program.setProcessEnvironment(environmentWithoutDisplay(dir.filePath(u"config"_s)));
    program.start(QString::fromUtf8(QUILLMERE_GUI_BINARY), {u"VERSION"_s});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(readAll(log), QByteArray("1.0.39\r\n"));
    // The saved port is neither read nor written.
    QVERIFY(!QFile::exists(dir.filePath(u"config/Quillmere"_s)));
}

void TestStartUp::otherCommandLinesStartNormally_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("version") << QStringList{u"version"_s};
    QTest::newRow("VERSION x") << QStringList{u"VERSION"_s, u"x"_s};
}

void TestStartUp::otherCommandLinesStartNormally()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    // Start-up ends by loading the help page from the check server's host: its request is the
    // sign that the window has loaded.
    QTcpServer helpHost;
    QVERIFY(helpHost.listen(QHostAddress::LocalHost, 0));
    QSignalSpy requested(&helpHost, &QTcpServer::newConnection);

    QProcessEnvironment env = environmentWithoutDisplay(dir.filePath(u"config"_s));
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"QUILLMERE_CHECK_SERVER"_s,
               u"127.0.0.1:"_s + QString::number(helpHost.serverPort()));
    QProcess program;
    program.setWorkingDirectory(dir.path());
    program.setProcessEnvironment(env);
    QSignalSpy finished(&program, &QProcess::finished);
    program.start(QString::fromUtf8(QUILLMERE_GUI_BINARY), arguments);
    QTRY_VERIFY_WITH_TIMEOUT(!requested.isEmpty(), 30000);
    QVERIFY(finished.isEmpty());

    // Ended by the session: the window closes the normal way and keeps the port.
    program.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 30000);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!QFile::exists(dir.filePath(u"version.log"_s)));
    const QSettings saved(dir.filePath(u"config/Quillmere/Quillmere.conf"_s), QSettings::IniFormat);
    QCOMPARE(saved.value(u"Settings/Port"_s).toString(), u"1000"_s);
}

// --no-router leaves the router alone (tools/dev.sh runs the window so against its local
// server); without it the window asks the router. Only the program's own arguments count.
void TestStartUp::noRouterOption()
{
    QVERIFY(asksRouter({u"quillmere"_s}));
    QVERIFY(asksRouter({u"quillmere"_s, u"-style"_s, u"fusion"_s}));
    QVERIFY(!asksRouter({u"quillmere"_s, u"--no-router"_s}));
    QVERIFY(!asksRouter({u"quillmere"_s, u"-style"_s, u"fusion"_s, u"--no-router"_s}));
    QVERIFY(asksRouter({u"--no-router"_s})); // the program's name, not an option
    QVERIFY(asksRouter({u"quillmere"_s, u"--no-routers"_s}));
}

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_startup.moc"
