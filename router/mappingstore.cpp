#include "router/mappingstore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <sys/stat.h>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

constexpr int kFormat = 1;
// Far more than one computer's mappings; a bigger file is not read.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

QJsonObject toJson(const StoredMapping& m)
{
    return QJsonObject{{u"via"_s, m.via},
                       {u"protocol"_s, m.protocol},
                       {u"internalPort"_s, m.internalPort},
                       {u"externalPort"_s, m.externalPort},
                       {u"internalAddress"_s, m.internalAddress},
                       {u"gateway"_s, m.gateway},
                       {u"nonce"_s, QString::fromLatin1(m.nonce.toHex())},
                       {u"uniqueId"_s, m.uniqueId},
                       {u"ipv6"_s, m.ipv6},
                       {u"leaseSeconds"_s, double(m.leaseSeconds)},
                       {u"made"_s, m.made.toUTC().toString(Qt::ISODate)}};
}

bool validPort(const QJsonValue& value)
{
    return value.isDouble() && value.toInt(-1) >= 0 && value.toInt(-1) <= 65535 &&
           value.toDouble() == double(value.toInt());
}

// One entry back, or nullopt when it is not one this program wrote.
std::optional<StoredMapping> fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    StoredMapping m;
    m.via = o.value(u"via"_s).toString();
    m.protocol = o.value(u"protocol"_s).toString();
    if ((m.via != u"pcp"_s && m.via != u"upnp-pinhole"_s) ||
        (m.protocol != u"tcp"_s && m.protocol != u"udp"_s))
        return std::nullopt;
    if (!validPort(o.value(u"internalPort"_s)) || !validPort(o.value(u"externalPort"_s)))
        return std::nullopt;
    m.internalPort = o.value(u"internalPort"_s).toInt();
    m.externalPort = o.value(u"externalPort"_s).toInt();
    m.internalAddress = o.value(u"internalAddress"_s).toString();
    m.gateway = o.value(u"gateway"_s).toString();
    const QString nonce = o.value(u"nonce"_s).toString();
    m.nonce = QByteArray::fromHex(nonce.toLatin1());
    if (m.nonce.toHex() != nonce.toLatin1().toLower())
        return std::nullopt;
    if (m.via == u"pcp"_s && m.nonce.size() != 12)
        return std::nullopt;
    m.uniqueId = o.value(u"uniqueId"_s).toString();
    m.ipv6 = o.value(u"ipv6"_s).toBool();
    m.leaseSeconds = qint64(o.value(u"leaseSeconds"_s).toDouble());
    m.made = QDateTime::fromString(o.value(u"made"_s).toString(), Qt::ISODate);
    return m;
}

bool sameSlot(const StoredMapping& a, const StoredMapping& b)
{
    return a.protocol == b.protocol && a.externalPort == b.externalPort && a.ipv6 == b.ipv6;
}

} // namespace

MappingStore::MappingStore(const QString& path)
    : m_path(path.isEmpty() ? defaultPath() : path)
{}

QString MappingStore::defaultPath()
{
    // Qt 6.4 has no GenericStateLocation: the XDG base directory rules, by hand. A relative
    // XDG_STATE_HOME is invalid and ignored.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + u"/.local/state"_s;
    return base + u"/quillmere/mappings.json"_s;
}

MappingLoad MappingStore::load() const
{
    MappingLoad out;
    QFile file(m_path);
    if (!file.exists()) {
        out.ok = true;
        out.missing = true;
        out.error = u"no mappings are stored yet ("_s + m_path + u" does not exist)"_s;
        return out;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        out.error = u"cannot read "_s + m_path + u": "_s + file.errorString();
        return out;
    }
    if (file.size() > kMaxFileBytes) {
        out.error = m_path + u" is damaged (too big to be this program's); it is not used"_s;
        return out;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonObject root = document.object();
    if (parse.error != QJsonParseError::NoError || !document.isObject() ||
        root.value(u"format"_s).toInt() != kFormat || !root.value(u"mappings"_s).isArray()) {
        out.error = m_path + u" is damaged (not the stored mappings this program writes); it "_s
                             u"is not used"_s;
        return out;
    }
    int skipped = 0;
    for (const QJsonValue& entry : root.value(u"mappings"_s).toArray()) {
        if (std::optional<StoredMapping> mapping = fromJson(entry))
            out.mappings << *mapping;
        else
            ++skipped;
    }
    out.ok = true;
    if (skipped > 0)
        out.error =
            QString::number(skipped) + u" damaged entries in "_s + m_path + u" were skipped"_s;
    return out;
}

QString MappingStore::save(const QList<StoredMapping>& mappings)
{
    const QFileInfo info(m_path);
    if (!QDir().mkpath(info.absolutePath()))
        return u"cannot make the folder "_s + info.absolutePath();
    ::chmod(QFile::encodeName(info.absolutePath()).constData(), 0700);
    QJsonArray entries;
    for (const StoredMapping& mapping : mappings)
        entries.append(toJson(mapping));
    const QJsonObject root{{u"format"_s, kFormat}, {u"mappings"_s, entries}};

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return u"cannot write "_s + m_path + u": "_s + file.errorString();
    // Only the owner reads the nonces: the mode is set before anything is written.
    if (::fchmod(file.handle(), 0600) != 0) {
        file.cancelWriting();
        return u"cannot make "_s + m_path + u" private"_s;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    if (!file.commit())
        return u"cannot write "_s + m_path + u": "_s + file.errorString();
    return {};
}

QString MappingStore::put(const StoredMapping& mapping)
{
    const MappingLoad loaded = load();
    QList<StoredMapping> mappings = loaded.ok ? loaded.mappings : QList<StoredMapping>{};
    mappings.removeIf([&](const StoredMapping& stored) { return sameSlot(stored, mapping); });
    mappings << mapping;
    const QString error = save(mappings);
    if (!error.isEmpty())
        return error;
    if (!loaded.ok)
        return loaded.error + u"; replaced with this mapping"_s;
    return {};
}

std::optional<StoredMapping> MappingStore::take(const QString& protocol, int port, bool ipv6,
                                                QString* error)
{
    const MappingLoad loaded = load();
    const auto fail = [&](const QString& text) -> std::optional<StoredMapping> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    if (!loaded.ok || loaded.missing)
        return fail(loaded.error);
    QList<StoredMapping> mappings = loaded.mappings;
    qsizetype found = -1;
    for (qsizetype i = 0; i < mappings.size() && found < 0; ++i)
        if (mappings[i].protocol == protocol && mappings[i].ipv6 == ipv6 &&
            mappings[i].externalPort == port)
            found = i;
    for (qsizetype i = 0; i < mappings.size() && found < 0; ++i)
        if (mappings[i].protocol == protocol && mappings[i].ipv6 == ipv6 &&
            mappings[i].internalPort == port)
            found = i;
    if (found < 0)
        return fail(u"no stored mapping of "_s + protocol.toUpper() + u" port "_s +
                    QString::number(port) + (ipv6 ? u" (IPv6)"_s : QString()) + u" in "_s + m_path);
    const StoredMapping mapping = mappings.takeAt(found);
    const QString saved = save(mappings);
    if (!saved.isEmpty())
        return fail(saved);
    return mapping;
}

} // namespace quillmere::router
