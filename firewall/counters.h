#pragma once

// The kernel's IP, TCP and UDP counters of this network namespace, as /proc/net/snmp (IPv4, TCP,
// UDP) and /proc/net/snmp6 (IPv6) show them. Both files are world-readable: no privilege is
// needed to see how many datagrams arrived here and how many went on to a socket.

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace quillmere::firewall {

// The counters the firewall evidence needs, for one address family. A counter the kernel did
// not list stays 0.
struct IpCounters
{
    quint64 inReceives = 0;      // datagrams received from the interfaces, errors included
    quint64 inHdrErrors = 0;     // dropped for a bad header
    quint64 inAddrErrors = 0;    // not for an address of this host (and not forwarded)
    quint64 inUnknownProtos = 0; // for a transport this host does not speak
    quint64 inDiscards = 0;      // dropped for want of resources
    quint64 inDelivers = 0;      // handed on to TCP, UDP, ICMP, ...
    quint64 forwDatagrams = 0;   // forwarded to another host (IPv6: Ip6OutForwDatagrams)
    quint64 reasmReqds = 0;      // fragments that waited for reassembly
    quint64 reasmOks = 0;        // datagrams reassembled from them
    quint64 tcpInSegs = 0;       // TCP segments received (both families: TCP counts once)
    quint64 udpInDatagrams = 0;  // UDP datagrams handed to a socket
};

// /proc/net/snmp: pairs of lines, "Ip: Forwarding DefaultTTL InReceives ..." followed by
// "Ip: 1 64 212000 ...". nullopt when the text has no complete Ip pair: a text that is not
// the file is never read as zeros.
std::optional<IpCounters> parseSnmp(QByteArrayView text);
// /proc/net/snmp6: one "Ip6InReceives 731" a line. TCP has no IPv6 counters of its own; the
// caller takes tcpInSegs from /proc/net/snmp. nullopt without an Ip6InReceives line.
std::optional<IpCounters> parseSnmp6(QByteArrayView text);

// Datagrams that arrived and went nowhere the kernel counts: neither delivered, nor forwarded,
// nor dropped for a reason of its own (bad header, wrong address, unknown transport, no
// resources), with fragments counted once they are whole. What a packet filter drops in its
// input or prerouting hooks (nftables, iptables, and so ufw and firewalld) ends up here, as does
// what reverse-path filtering drops. Counters that went backwards (a namespace or interface
// reset between readings) count as 0.
quint64 vanishedBetween(const IpCounters& before, const IpCounters& after);
quint64 grownBy(quint64 before, quint64 after);

// Where the counters live; tests point it at files of their own.
struct CounterFiles
{
    QString snmp = QStringLiteral("/proc/net/snmp");
    QString snmp6 = QStringLiteral("/proc/net/snmp6");
};

enum class CounterFamily { IPv4, IPv6, Both };

// Reads the files now (a few microseconds, no wait). `Both` adds the two families' IP counters.
std::optional<IpCounters> readCounters(const CounterFiles& files, CounterFamily family);

} // namespace quillmere::firewall
