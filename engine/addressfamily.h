#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringView>

namespace quillmere {

// The address family a check runs over. The connection to the check server goes over it, so the
// server probes this computer's address of that family. Any lets the system choose.
enum class AddressFamily { Any, IPv4, IPv6 };

QAbstractSocket::NetworkLayerProtocol networkLayer(AddressFamily family);

// "IPv4", "IPv6", or "" for Any.
QStringView familyName(AddressFamily family);

// An address other hosts on the internet can reach this one at: not loopback, link-local,
// unique-local (fc00::/7), IPv4-mapped, multicast or unspecified. Documentation addresses
// (2001:db8::/32) count, so that test networks can use them.
bool isGlobalIpv6(const QHostAddress& address);

// The global IPv6 addresses of this computer's interfaces that are up.
QList<QHostAddress> globalIpv6Addresses();

// Which families a host's addresses are of.
struct HostFamilies
{
    bool ipv4 = false;
    bool ipv6 = false;
};
HostFamilies familiesOf(const QList<QHostAddress>& addresses);

// Why a check over IPv6 cannot follow an IPv4 one to a server with these addresses: this
// computer has no global IPv6 address, or the server no IPv6 address. Empty when it can.
QString ipv6Obstacle(const HostFamilies& server);

} // namespace quillmere
