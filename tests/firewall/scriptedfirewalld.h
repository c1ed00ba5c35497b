#pragma once

// A scripted firewalld for the tests: it owns org.fedoraproject.FirewallD1 on a bus (a private
// one the test starts) and answers the methods Quillmere calls as the script says, refusals
// and silence included. Every call it gets is recorded.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QMap>
#include <QStringList>

#include <optional>

using ZoneListing = QMap<QString, QStringList>;
using ActiveZones = QMap<QString, ZoneListing>;
Q_DECLARE_METATYPE(ZoneListing)
Q_DECLARE_METATYPE(ActiveZones)

struct ScriptedError
{
    QString name;
    QString message;
};

class ScriptedFirewalld : public QDBusVirtualObject
{
    Q_OBJECT

public:
    static inline const QString kZonePath =
        QStringLiteral("/org/fedoraproject/FirewallD1/config/zone/3");

    // The script: what each method answers. An error in a method's entry answers with it; a
    // method in `silent` never answers.
    QString defaultZone = QStringLiteral("public");
    QMap<QString, QString> zoneOfInterface; // interface -> zone; missing: ""
    ActiveZones activeZones;
    bool portAllowed = false;
    QMap<QString, ScriptedError> errors; // by method, "config.zone.addPort" for the permanent one
    QStringList silent;

    struct Call
    {
        QString path;
        QString interface;
        QString member;
        QList<QVariant> arguments;
        bool interactive = false;
    };
    QList<Call> calls;

    QStringList members() const
    {
        QStringList result;
        for (const Call& call : calls)
            result << call.member;
        return result;
    }

    // Registers the service and its objects on `bus`.
    bool serve(QDBusConnection bus)
    {
        qDBusRegisterMetaType<ZoneListing>();
        qDBusRegisterMetaType<ActiveZones>();
        return bus.registerVirtualObject(QStringLiteral("/org/fedoraproject/FirewallD1"), this,
                                         QDBusConnection::SubPath) &&
               bus.registerService(QStringLiteral("org.fedoraproject.FirewallD1"));
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        calls.append({message.path(), message.interface(), message.member(), message.arguments(),
                      message.isInteractiveAuthorizationAllowed()});
        QString key = message.member();
        if (message.interface() == QStringLiteral("org.fedoraproject.FirewallD1.config.zone"))
            key = QStringLiteral("config.zone.") + key;
        if (silent.contains(key))
            return true;
        if (errors.contains(key)) {
            const ScriptedError& error = errors[key];
            connection.send(message.createErrorReply(error.name, error.message));
            return true;
        }
        QDBusMessage reply;
        const QString member = message.member();
        if (member == QStringLiteral("getDefaultZone")) {
            reply = message.createReply(defaultZone);
        } else if (member == QStringLiteral("getZoneOfInterface")) {
            reply =
                message.createReply(zoneOfInterface.value(message.arguments().value(0).toString()));
        } else if (member == QStringLiteral("getActiveZones")) {
            reply = message.createReply(QVariant::fromValue(activeZones));
        } else if (member == QStringLiteral("queryPort")) {
            reply = message.createReply(portAllowed);
        } else if (member == QStringLiteral("addPort") &&
                   message.interface() == QStringLiteral("org.fedoraproject.FirewallD1.zone")) {
            reply = message.createReply(message.arguments().value(0).toString());
        } else if (member == QStringLiteral("getZoneByName")) {
            reply = message.createReply(QVariant::fromValue(QDBusObjectPath(kZonePath)));
        } else if (member == QStringLiteral("addPort")) {
            reply = message.createReply();
        } else {
            reply = message.createErrorReply(QDBusError::UnknownMethod, member);
        }
        connection.send(reply);
        return true;
    }
};
