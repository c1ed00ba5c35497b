#include "firewall/firewalld.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QTimer>

namespace quillmere::firewall {

using namespace Qt::StringLiterals;

bool isNotAuthorized(const QString& errorName, const QString& errorMessage)
{
    // The bus's own refusal, polkit's, and firewalld's exception, whose message starts with its
    // error code.
    return errorName == u"org.freedesktop.DBus.Error.AccessDenied"_s ||
           errorName == u"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"_s ||
           errorName.startsWith(u"org.freedesktop.PolicyKit1.Error."_s) ||
           errorMessage.contains(u"NOT_AUTHORIZED"_s) || errorMessage.contains(u"AccessDenied"_s);
}

namespace {

QString firstString(const QDBusMessage& reply)
{
    const QList<QVariant> arguments = reply.arguments();
    return arguments.isEmpty() ? QString() : arguments.first().toString();
}

// The zone whose "interfaces" list names `interface`, in getActiveZones' a{sa{sas}}.
QString zoneListing(const QDBusMessage& reply, const QString& interface)
{
    const QList<QVariant> arguments = reply.arguments();
    if (arguments.isEmpty() || !arguments.first().canConvert<QDBusArgument>())
        return {};
    const QDBusArgument argument = arguments.first().value<QDBusArgument>();
    if (argument.currentSignature() != u"a{sa{sas}}"_s)
        return {};
    QString found;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString zone;
        argument.beginMapEntry();
        argument >> zone;
        argument.beginMap();
        while (!argument.atEnd()) {
            QString key;
            QStringList values;
            argument.beginMapEntry();
            argument >> key >> values;
            argument.endMapEntry();
            if (found.isEmpty() && key == u"interfaces"_s && values.contains(interface))
                found = zone;
        }
        argument.endMap();
        argument.endMapEntry();
    }
    argument.endMap();
    return found;
}

QString errorText(const QDBusMessage& reply)
{
    return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
}

} // namespace

FirewalldQuery::FirewalldQuery(QDBusConnection bus, int timeoutMs, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_timeoutMs(timeoutMs)
{}

void FirewalldQuery::lookUp(const QString& interface, int port, ProbeProtocol protocol)
{
    ++m_generation;
    m_zones = FirewalldZones();
    m_interface = interface;
    m_port = port;
    m_protocol = protocol;
    if (!m_bus.isConnected()) {
        m_zones.note = u"the system bus is out of reach"_s;
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                done();
        });
        return;
    }
    call(kFirewalldPath, kFirewalldInterface, u"getDefaultZone"_s, {},
         &FirewalldQuery::onDefaultZone);
}

void FirewalldQuery::call(const QString& path, const QString& interface, const QString& method,
                          const QList<QVariant>& arguments,
                          void (FirewalldQuery::*then)(const QDBusMessage& reply))
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(kFirewalldService, path, interface, method);
    message.setArguments(arguments);
    // No password prompt for a look: a query polkit would ask about is left unanswered.
    message.setInteractiveAuthorizationAllowed(false);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, m_timeoutMs), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation, then] {
        watcher->deleteLater();
        if (generation == m_generation)
            (this->*then)(watcher->reply());
    });
}

void FirewalldQuery::onDefaultZone(const QDBusMessage& reply)
{
    // A refusal (polkit's, where it does not let this user look) or any exception of firewalld's
    // own comes from a firewalld that runs: only the zone is unknown then.
    const bool firewalldAnswered = reply.errorName().startsWith(kFirewalldInterface) ||
                                   isNotAuthorized(reply.errorName(), reply.errorMessage());
    if (reply.type() != QDBusMessage::ReplyMessage && firewalldAnswered &&
        reply.errorName() != u"org.freedesktop.DBus.Error.ServiceUnknown"_s) {
        m_zones.running = true;
        m_zones.note = u"firewalld did not let this user see its zones"_s;
        done();
        return;
    }
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // Not running (ServiceUnknown), not installed, or no answer in time.
        m_zones.note = u"firewalld did not answer: "_s + errorText(reply);
        done();
        return;
    }
    m_zones.running = true;
    m_zones.defaultZone = firstString(reply);
    m_zones.zone = m_zones.defaultZone;
    if (m_interface.isEmpty()) {
        queryPort();
        return;
    }
    call(kFirewalldPath, kFirewalldZoneInterface, u"getZoneOfInterface"_s, {m_interface},
         &FirewalldQuery::onZoneOfInterface);
}

void FirewalldQuery::onZoneOfInterface(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // The active zones list the interface too.
        call(kFirewalldPath, kFirewalldZoneInterface, u"getActiveZones"_s, {},
             &FirewalldQuery::onActiveZones);
        return;
    }
    // An interface in no zone is in the default zone.
    if (const QString zone = firstString(reply); !zone.isEmpty())
        m_zones.zone = zone;
    queryPort();
}

void FirewalldQuery::onActiveZones(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ReplyMessage) {
        if (const QString zone = zoneListing(reply, m_interface); !zone.isEmpty())
            m_zones.zone = zone;
    } else {
        m_zones.note =
            u"firewalld did not say which zone "_s + m_interface + u" is in: "_s + errorText(reply);
    }
    queryPort();
}

void FirewalldQuery::queryPort()
{
    if (m_port <= 0) {
        done();
        return;
    }
    call(kFirewalldPath, kFirewalldZoneInterface, u"queryPort"_s,
         {m_zones.zone, QString::number(m_port), QString(protocolWord(m_protocol))},
         &FirewalldQuery::onQueryPort);
}

void FirewalldQuery::onQueryPort(const QDBusMessage& reply)
{
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        m_zones.portAllowed = reply.arguments().first().toBool();
    } else if (isNotAuthorized(reply.errorName(), reply.errorMessage())) {
        m_zones.note = u"firewalld did not let this user ask whether the port is allowed"_s;
    } else {
        m_zones.note = u"firewalld did not say whether the port is allowed: "_s + errorText(reply);
    }
    done();
}

void FirewalldQuery::done()
{
    ++m_generation; // nothing still under way counts any more
    Q_EMIT lookedUp(m_zones);
}

FirewalldClient::FirewalldClient(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{}

void FirewalldClient::allowPort(const QString& zone, int port, ProbeProtocol protocol)
{
    ++m_generation;
    m_zone = zone;
    m_port = QString::number(port);
    m_protocol = QString(protocolWord(protocol));
    if (port <= 0 || port > 65535) {
        const quint64 generation = m_generation;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == m_generation)
                Q_EMIT failed(u"there is no port to allow"_s);
        });
        return;
    }
    // Timeout 0: for good, until firewalld reloads; the permanent configuration keeps it then.
    call(kFirewalldPath, kFirewalldZoneInterface, u"addPort"_s, {m_zone, m_port, m_protocol, 0},
         &FirewalldClient::onRuntimeAdded);
}

void FirewalldClient::call(const QString& path, const QString& interface, const QString& method,
                           const QList<QVariant>& arguments,
                           void (FirewalldClient::*then)(const QDBusMessage& reply))
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(kFirewalldService, path, interface, method);
    message.setArguments(arguments);
    // polkit may ask the user for a password before firewalld goes on.
    message.setInteractiveAuthorizationAllowed(true);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, m_timeoutMs), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, generation, then] {
        watcher->deleteLater();
        if (generation == m_generation)
            (this->*then)(watcher->reply());
    });
}

namespace {

// firewalld says ALREADY_ENABLED when the port is open already: that is what was asked for.
bool succeeded(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage ||
           reply.errorMessage().contains(u"ALREADY_ENABLED"_s);
}

} // namespace

QString FirewalldClient::refusal(const QDBusMessage& reply, const QString& what) const
{
    if (isNotAuthorized(reply.errorName(), reply.errorMessage()))
        return what + u": not authorized (the password was not given, or this user may not "
                      u"change the firewall)"_s;
    return what + u": "_s + errorText(reply);
}

void FirewalldClient::onRuntimeAdded(const QDBusMessage& reply)
{
    if (!succeeded(reply)) {
        Q_EMIT failed(refusal(reply, u"firewalld did not open the port"_s));
        return;
    }
    // An empty zone names the default one for the runtime call; the configuration wants a name.
    if (m_zone.isEmpty()) {
        call(kFirewalldPath, kFirewalldInterface, u"getDefaultZone"_s, {},
             &FirewalldClient::onDefaultZoneFound);
        return;
    }
    call(kFirewalldConfigPath, kFirewalldConfigInterface, u"getZoneByName"_s, {m_zone},
         &FirewalldClient::onZoneFound);
}

void FirewalldClient::onDefaultZoneFound(const QDBusMessage& reply)
{
    m_zone = reply.type() == QDBusMessage::ReplyMessage ? firstString(reply) : QString();
    if (m_zone.isEmpty()) {
        Q_EMIT failed(refusal(reply, u"the port is open until firewalld reloads, but its default "
                                     u"zone was not named"_s));
        return;
    }
    call(kFirewalldConfigPath, kFirewalldConfigInterface, u"getZoneByName"_s, {m_zone},
         &FirewalldClient::onZoneFound);
}

void FirewalldClient::onZoneFound(const QDBusMessage& reply)
{
    const QString notFound =
        u"the port is open until firewalld reloads, but the zone's configuration was not found"_s;
    const QList<QVariant> arguments = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || arguments.isEmpty()) {
        Q_EMIT failed(refusal(reply, notFound));
        return;
    }
    const QString path = arguments.first().value<QDBusObjectPath>().path();
    if (path.isEmpty()) {
        Q_EMIT failed(notFound);
        return;
    }
    call(path, kFirewalldConfigZoneInterface, u"addPort"_s, {m_port, m_protocol},
         &FirewalldClient::onPermanentAdded);
}

void FirewalldClient::onPermanentAdded(const QDBusMessage& reply)
{
    if (!succeeded(reply)) {
        Q_EMIT failed(refusal(reply, u"the port is open until firewalld reloads, but not "
                                     u"permanently"_s));
        return;
    }
    Q_EMIT allowed();
}

} // namespace quillmere::firewall
