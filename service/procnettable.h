#pragma once

// One line of the kernel's socket tables, /proc/net/{tcp,tcp6,udp,udp6}.
//
// Each socket line reads "  SL: LOCAL REMOTE ST TX:RX TR:WHEN RETRNSMT UID TIMEOUT INODE ...",
// with addresses as "ADDR:PORT" in hex. The kernel prints each 32-bit word of an address as it
// lies in memory read as a host-order number (so 127.0.0.1 is "0100007F" on x86), an IPv6
// address as four such words, and the port as a plain number.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace quillmere::service {

// Socket states as the tables print them. UDP sockets borrow the TCP names: an unconnected one is
// "closed", a connected one "established".
inline constexpr int kStateEstablished = 0x01;
inline constexpr int kStateClose = 0x07;
inline constexpr int kStateListen = 0x0A;

struct ProcNetEntry
{
    QByteArray localAddress; // 4 or 16 bytes, in network order
    quint16 localPort = 0;
    QByteArray remoteAddress; // as localAddress; same size
    quint16 remotePort = 0;
    int state = 0;
    quint32 uid = 0;
    quint64 inode = 0; // 0 for a socket no file refers to, e.g. one the kernel holds itself
};

// The socket a table line describes, or nullopt for the header line and anything malformed.
// Fields after the inode are ignored.
std::optional<ProcNetEntry> parseProcNetLine(QByteArrayView line);

// An address of 4 or 16 bytes as text, as inet_ntop writes it: "127.0.0.1", "::1", "fe80::1",
// "::ffff:10.0.0.1". Empty for any other size.
QString addressText(QByteArrayView address);

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool isLoopbackAddress(QByteArrayView address);

} // namespace quillmere::service
