// The store of this computer's mappings: round trip, a missing or damaged file, the file's mode,
// the replacement of the old file by a whole new one, and where it lives.

#include "router/mappingstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace {

StoredMapping pcpMapping(int port, char nonceByte = 'n')
{
    StoredMapping m;
    m.via = u"pcp"_s;
    m.protocol = u"tcp"_s;
    m.internalPort = port;
    m.externalPort = port;
    m.internalAddress = u"192.168.1.20"_s;
    m.gateway = u"192.168.1.1"_s;
    m.nonce = QByteArray(12, nonceByte);
    m.leaseSeconds = 3600;
    m.made = QDateTime(QDate(2026, 12, 10), QTime(9, 30, 0), Qt::UTC);
    return m;
}

void write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class TestMappingStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip();
    void missingFile();
    void damagedFile_data();
    void damagedFile();
    void skipsDamagedEntries();
    void isPrivate();
    void replacesTheFileWhole();
    void liveInTheStateFolder();
};

void TestMappingStore::roundTrip()
{
    QTemporaryDir dir;
    MappingStore store(dir.filePath(u"sub/mappings.json"_s));
    QCOMPARE(store.put(pcpMapping(8080, 'a')), QString());
    StoredMapping pinhole = pcpMapping(8080, 'b');
    pinhole.via = u"upnp-pinhole"_s;
    pinhole.nonce.clear();
    pinhole.uniqueId = u"17"_s;
    pinhole.ipv6 = true;
    pinhole.internalAddress = u"2001:db8::20"_s;
    QCOMPARE(store.put(pinhole), QString());
    QCOMPARE(store.put(pcpMapping(9000, 'c')), QString());

    MappingLoad loaded = MappingStore(store.path()).load();
    QVERIFY2(loaded.ok, qPrintable(loaded.error));
    QCOMPARE(loaded.mappings,
             (QList<StoredMapping>{pcpMapping(8080, 'a'), pinhole, pcpMapping(9000, 'c')}));

    // The same port and family again replaces the entry (a new nonce).
    QCOMPARE(store.put(pcpMapping(8080, 'd')), QString());
    loaded = store.load();
    QCOMPARE(loaded.mappings.size(), 3);
    QCOMPARE(loaded.mappings.last(), pcpMapping(8080, 'd'));

    // take() finds by protocol, port and family, and removes.
    QString error;
    QVERIFY(!store.take(u"udp"_s, 8080, false, &error));
    QVERIFY(error.contains(u"UDP port 8080"_s));
    const auto taken = store.take(u"tcp"_s, 8080, false, &error);
    QVERIFY(taken);
    QCOMPARE(taken->nonce, QByteArray(12, 'd'));
    QCOMPARE(store.take(u"tcp"_s, 8080, true)->uniqueId, u"17"_s);
    QCOMPARE(store.load().mappings, QList<StoredMapping>{pcpMapping(9000, 'c')});
}

void TestMappingStore::missingFile()
{
    QTemporaryDir dir;
    MappingStore store(dir.filePath(u"none/mappings.json"_s));
    const MappingLoad loaded = store.load();
    QVERIFY(loaded.ok);
    QVERIFY(loaded.missing);
    QVERIFY(loaded.mappings.isEmpty());
    QVERIFY(loaded.error.contains(u"does not exist"_s));
    QString error;
    QVERIFY(!store.take(u"tcp"_s, 8080, false, &error));
    QVERIFY(error.contains(store.path()));
}

void TestMappingStore::damagedFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("\x01\x02garbage{");
    QTest::newRow("cut") << QByteArray("{\"format\": 1, \"mappings\": [{\"via\": \"pcp\"");
    QTest::newRow("an array") << QByteArray("[1, 2]");
    QTest::newRow("another format") << QByteArray("{\"format\": 7, \"mappings\": []}");
    QTest::newRow("mappings not a list") << QByteArray("{\"format\": 1, \"mappings\": {}}");
}

void TestMappingStore::damagedFile()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"mappings.json"_s);
    write(path, content);
    MappingStore store(path);
    const MappingLoad loaded = store.load();
    QVERIFY(!loaded.ok);
    QVERIFY(loaded.error.contains(u"damaged"_s));
    QVERIFY(loaded.error.contains(path));
    QString error;
    QVERIFY(!store.take(u"tcp"_s, 8080, false, &error));
    QVERIFY(error.contains(u"damaged"_s));
    // A new mapping replaces the damaged file, and says so.
    QVERIFY(store.put(pcpMapping(8080)).contains(u"replaced"_s));
    QCOMPARE(store.load().mappings, QList<StoredMapping>{pcpMapping(8080)});
}

void TestMappingStore::skipsDamagedEntries()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"mappings.json"_s);
    MappingStore store(path);
    QCOMPARE(store.put(pcpMapping(8080)), QString());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    // A nonce of the wrong length, a port out of range, an unknown kind, not an object.
    text.replace("\"mappings\": [",
                 "\"mappings\": [{\"via\": \"pcp\", \"protocol\": \"tcp\", \"internalPort\": 1, "
                 "\"externalPort\": 1, \"nonce\": \"abcd\"}, {\"via\": \"pcp\", \"protocol\": "
                 "\"udp\", \"internalPort\": 70000, \"externalPort\": 1, \"nonce\": "
                 "\"000000000000000000000000\"}, {\"via\": \"x\"}, 5,");
    write(path, text);
    const MappingLoad loaded = store.load();
    QVERIFY(loaded.ok);
    QCOMPARE(loaded.mappings, QList<StoredMapping>{pcpMapping(8080)});
    QVERIFY(loaded.error.contains(u"4 damaged entries"_s));
}

void TestMappingStore::isPrivate()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"state/quillmere/mappings.json"_s);
    // An older file readable by all is made private when it is written again.
    MappingStore store(path);
    QCOMPARE(store.put(pcpMapping(1)), QString());
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    QCOMPARE(store.put(pcpMapping(2)), QString());
    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);
    QCOMPARE(::stat(QFile::encodeName(dir.filePath(u"state/quillmere"_s)).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0700u);
}

void TestMappingStore::replacesTheFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"mappings.json"_s);
    MappingStore store(path);
    QCOMPARE(store.put(pcpMapping(1)), QString());
    // A reader that holds the old file open keeps reading the old content whole: the new one
    // is a new file renamed over it, never the old one rewritten in place.
    QFile reader(path);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    struct stat before
    {
    };
    QCOMPARE(::fstat(reader.handle(), &before), 0);
    QCOMPARE(store.put(pcpMapping(2)), QString());
    struct stat after
    {
    };
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &after), 0);
    QVERIFY(before.st_ino != after.st_ino);
    const QByteArray old = reader.readAll();
    QVERIFY(old.contains("\"externalPort\": 1"));
    QVERIFY(!old.contains("\"externalPort\": 2"));
    // No temporary file is left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"mappings.json"_s});
}

void TestMappingStore::liveInTheStateFolder()
{
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", "/tmp/xdg-state");
    QCOMPARE(MappingStore::defaultPath(), u"/tmp/xdg-state/quillmere/mappings.json"_s);
    QCOMPARE(MappingStore().path(), u"/tmp/xdg-state/quillmere/mappings.json"_s);
    // Unset or relative: ~/.local/state.
    qputenv("XDG_STATE_HOME", "relative/state");
    QCOMPARE(MappingStore::defaultPath(),
             QDir::homePath() + u"/.local/state/quillmere/mappings.json"_s);
    qunsetenv("XDG_STATE_HOME");
    QCOMPARE(MappingStore::defaultPath(),
             QDir::homePath() + u"/.local/state/quillmere/mappings.json"_s);
    if (!saved.isNull())
        qputenv("XDG_STATE_HOME", saved);
}

QTEST_GUILESS_MAIN(TestMappingStore)
#include "tst_mappingstore.moc"
