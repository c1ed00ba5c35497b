#pragma once

// This computer's place on the LAN: its own addresses and subnets (from QNetworkInterface), its
// address towards a peer, and a reverse-DNS name found within a bound.

#include "router/boundedcall.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace quillmere::router {

// One of this computer's own addresses (any interface, loopback included).
bool isOwnAddress(const QHostAddress& address);
bool isOwnAddress(const QString& address);

// This computer's own addresses as text, loopback left out.
QStringList ownAddressTexts();

// `address` (IPv4) lies in the subnet of one of this computer's IPv4 addresses, loopback
// included: the only senders whose SSDP replies are believed.
bool isOnOwnSubnet(const QHostAddress& address);

// `address` (IPv6) is on the link of interface `interfaceIndex`: a link-local address, or one in
// the prefix of an IPv6 address of that interface (of any interface, loopback included, when
// `interfaceIndex` is 0).
bool isOnOwnLink6(const QHostAddress& address, unsigned interfaceIndex);

// The interface of the default IPv6 route in the text of /proc/net/ipv6_route (the lowest metric
// of those up), and the router's address on it (its link-local address, with the interface as
// scope id); an empty name when there is none.
struct Ipv6DefaultRoute
{
    QString interfaceName;
    QHostAddress gateway;
};
Ipv6DefaultRoute defaultIpv6Route(QByteArrayView procNetIpv6Route);

// This computer's global IPv6 address (2000::/3) as a source towards `peer`, or empty: the
// address a pinhole is made for.
QString globalIpv6Towards(const QHostAddress& peer);

// The address this computer sends from towards `peer` (what the routing table picks); empty
// when there is no route. Sends nothing.
QString localAddressTowards(const QHostAddress& peer);

// The interface of the default IPv4 route in the text of /proc/net/route (the lowest metric of
// those up); empty when there is none.
QString defaultRouteInterface(QByteArrayView procNetRoute);

// This computer's IPv4 address on the default route's interface: the address devices on the LAN
// reach it at. Empty without a default route or an address on its interface. Sends nothing.
QString defaultRouteAddress();

// An IPv4 address (or IPv4-mapped) that cannot be reached from the internet, as the table of
// special ranges (netranges/netranges.h) judges it: private, shared (carrier NAT), loopback,
// link-local, documentation, benchmarking, multicast, reserved, 0.0.0.0/8, ... True for
// anything that is not IPv4.
bool isReservedIpv4(const QHostAddress& address);

// Reverse-DNS names found within a bound. Each lookup runs as a BoundedCall, left to finish by
// itself past the bound; at most kMaxRunning of them run at once, so a resolver that
// never answers cannot pile up threads (beyond that a lookup gives up at once).
class ReverseNames
{
public:
    static constexpr int kMaxRunning = 4;

    // The name reverse DNS gives `address` (IPv4), when it comes within `timeoutMs` and before
    // `cancel` is cancelled; empty otherwise.
    QString find(const QString& address, int timeoutMs, const CancelToken& cancel = CancelToken());

private:
    std::shared_ptr<std::atomic<int>> m_running = std::make_shared<std::atomic<int>>(0);
};

} // namespace quillmere::router
