#pragma once

// firewalld over D-Bus: which zone the default route's interface is in, whether a port is
// allowed there, and opening a port (for this session and permanently). Every call is
// asynchronous with a bounded wait, on a bus connection the caller gives (the system bus, or a
// private one in the tests).

#include "common/probeprotocol.h"

#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QString>

#include <optional>

namespace quillmere::firewall {

inline constexpr QLatin1StringView kFirewalldService("org.fedoraproject.FirewallD1");
inline constexpr QLatin1StringView kFirewalldPath("/org/fedoraproject/FirewallD1");
inline constexpr QLatin1StringView kFirewalldInterface("org.fedoraproject.FirewallD1");
inline constexpr QLatin1StringView kFirewalldZoneInterface("org.fedoraproject.FirewallD1.zone");
inline constexpr QLatin1StringView kFirewalldConfigPath("/org/fedoraproject/FirewallD1/config");
inline constexpr QLatin1StringView kFirewalldConfigInterface("org.fedoraproject.FirewallD1.config");
inline constexpr QLatin1StringView
    kFirewalldConfigZoneInterface("org.fedoraproject.FirewallD1.config.zone");

// Whether a D-Bus error is polkit's (or the bus's) refusal to let this user do it.
bool isNotAuthorized(const QString& errorName, const QString& errorMessage);

// What firewalld says about this computer's default route's interface.
struct FirewalldZones
{
    bool running = false; // firewalld answered
    QString defaultZone;
    QString zone;                    // the interface's zone (the default zone when it is in none)
    std::optional<bool> portAllowed; // nullopt: not asked, refused, or no answer
    QString note;                    // what could not be found out
};

// Asks firewalld, one question after another, each within `timeoutMs`; lookedUp() follows
// once, whatever happens.
class FirewalldQuery : public QObject
{
    Q_OBJECT

public:
    FirewalldQuery(QDBusConnection bus, int timeoutMs, QObject* parent = nullptr);

    // The default zone, the zone of `interface` (empty: the default zone's), and whether
    // `port` is allowed there.
    void lookUp(const QString& interface, int port, ProbeProtocol protocol);

Q_SIGNALS:
    void lookedUp(const quillmere::firewall::FirewalldZones& zones);

private:
    void call(const QString& path, const QString& interface, const QString& method,
              const QList<QVariant>& arguments,
              void (FirewalldQuery::*then)(const QDBusMessage& reply));
    void onDefaultZone(const QDBusMessage& reply);
    void onZoneOfInterface(const QDBusMessage& reply);
    void onActiveZones(const QDBusMessage& reply);
    void onQueryPort(const QDBusMessage& reply);
    void queryPort();
    void done();

    QDBusConnection m_bus;
    int m_timeoutMs;
    quint64 m_generation = 0;
    QString m_interface;
    int m_port = 0;
    ProbeProtocol m_protocol = ProbeProtocol::Tcp;
    FirewalldZones m_zones;
};

// Opens a port in a firewalld zone: addPort for the running firewall (until it reloads), then
// on the zone's permanent configuration. firewalld asks polkit, which asks the user for a
// password; the calls allow that and wait for it (within `timeoutMs`).
class FirewalldClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 120000;

    // `bus`: the system bus where firewalld runs; the tests give a private one.
    explicit FirewalldClient(QDBusConnection bus = QDBusConnection::systemBus(),
                             QObject* parent = nullptr);
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }

    // `zone` empty: firewalld's default zone.
    void allowPort(const QString& zone, int port, ProbeProtocol protocol);

Q_SIGNALS:
    void allowed();
    void failed(const QString& why);

private:
    void call(const QString& path, const QString& interface, const QString& method,
              const QList<QVariant>& arguments,
              void (FirewalldClient::*then)(const QDBusMessage& reply));
    void onRuntimeAdded(const QDBusMessage& reply);
    void onDefaultZoneFound(const QDBusMessage& reply);
    void onZoneFound(const QDBusMessage& reply);
    void onPermanentAdded(const QDBusMessage& reply);
    QString refusal(const QDBusMessage& reply, const QString& what) const;

    QDBusConnection m_bus;
    int m_timeoutMs = kTimeoutMs;
    quint64 m_generation = 0;
    QString m_zone;
    QString m_port;
    QString m_protocol;
};

} // namespace quillmere::firewall

Q_DECLARE_METATYPE(quillmere::firewall::FirewalldZones)
