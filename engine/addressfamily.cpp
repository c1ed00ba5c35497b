#include "engine/addressfamily.h"

#include <QNetworkInterface>

namespace quillmere {

using namespace Qt::StringLiterals;

QAbstractSocket::NetworkLayerProtocol networkLayer(AddressFamily family)
{
    switch (family) {
    case AddressFamily::IPv4:
        return QAbstractSocket::IPv4Protocol;
    case AddressFamily::IPv6:
        return QAbstractSocket::IPv6Protocol;
    case AddressFamily::Any:
        break;
    }
    return QAbstractSocket::AnyIPProtocol;
}

QStringView familyName(AddressFamily family)
{
    switch (family) {
    case AddressFamily::IPv4:
        return u"IPv4";
    case AddressFamily::IPv6:
        return u"IPv6";
    case AddressFamily::Any:
        break;
    }
    return {};
}

bool isGlobalIpv6(const QHostAddress& address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    bool mapped = false;
    address.toIPv4Address(&mapped);
    return !mapped && address.isGlobal() && !address.isUniqueLocalUnicast() &&
           !address.isMulticast();
}

QList<QHostAddress> globalIpv6Addresses()
{
    QList<QHostAddress> found;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) ||
            flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            QHostAddress address = entry.ip();
            address.setScopeId(QString());
            if (isGlobalIpv6(address) && !found.contains(address))
                found.append(address);
        }
    }
    return found;
}

HostFamilies familiesOf(const QList<QHostAddress>& addresses)
{
    HostFamilies families;
    for (const QHostAddress& address : addresses) {
        families.ipv4 |= address.protocol() == QAbstractSocket::IPv4Protocol;
        families.ipv6 |= address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    return families;
}

QString ipv6Obstacle(const HostFamilies& server)
{
    // This computer's addresses first: without a global one, the name of a dual-stack server
    // resolves to its IPv4 addresses alone.
    if (globalIpv6Addresses().isEmpty())
        return u"this computer has no global IPv6 address"_s;
    if (!server.ipv6)
        return u"the check server has no IPv6 address"_s;
    return {};
}

} // namespace quillmere
