#pragma once

// The mappings and pinholes this computer asked its router for, kept between runs: a PCP
// mapping is removed only with the nonce it was made with, and an IGDv2 pinhole only by its
// unique ID, so a later `--unforward` needs them. One JSON file,
// $XDG_STATE_HOME/quillmere/mappings.json (else ~/.local/state/quillmere/mappings.json), written
// whole to a new file that then replaces the old one, readable by its owner only (mode 600).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace quillmere::router {

struct StoredMapping
{
    QString via;      // "pcp" | "upnp-pinhole"
    QString protocol; // "tcp" | "udp"
    int internalPort = 0;
    int externalPort = 0;
    QString internalAddress;
    QString gateway;
    QByteArray nonce; // 12 bytes, PCP
    QString uniqueId; // IGDv2 pinhole
    bool ipv6 = false;
    qint64 leaseSeconds = 0;
    QDateTime made;

    friend bool operator==(const StoredMapping&, const StoredMapping&) = default;
};

struct MappingLoad
{
    bool ok = false; // the file was read (or there is none yet: `missing`)
    bool missing = false;
    QList<StoredMapping> mappings;
    QString error; // one line when not ok, or when missing; also names entries that were skipped
};

class MappingStore
{
public:
    // `path` empty: defaultPath().
    explicit MappingStore(const QString& path = {});

    // $XDG_STATE_HOME/quillmere/mappings.json, else ~/.local/state/quillmere/mappings.json.
    static QString defaultPath();
    QString path() const { return m_path; }

    MappingLoad load() const;
    // Adds `mapping`, replacing a stored one for the same protocol, external port and family.
    // Empty on success, else one line. A damaged file is replaced (and the line says so).
    QString put(const StoredMapping& mapping);
    // Removes and returns the stored mapping for `protocol` ("tcp"/"udp") and `port` (its
    // external port, else its internal port) in that family. nullopt with `error` set when
    // there is none or the file cannot be read or written.
    std::optional<StoredMapping> take(const QString& protocol, int port, bool ipv6,
                                      QString* error = nullptr);

private:
    QString save(const QList<StoredMapping>& mappings);

    QString m_path;
};

} // namespace quillmere::router
