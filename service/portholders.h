#pragma once

// Which local programs hold a port, the way `ss -lp` names them: the kernel's socket tables give
// the sockets bound to the port with their inode and owner uid, and /proc/PID/fd gives the
// processes that have each inode open.
//
// Linux only. Everything is read below a /proc root that the caller passes in.

#include "common/probeprotocol.h"

#include <QList>
#include <QString>
#include <QtGlobal>

namespace quillmere::service {

struct HoldingProcess
{
    qint64 pid = 0;
    QString name; // /proc/PID/comm without control characters; empty when it could not be read
    friend bool operator==(const HoldingProcess&, const HoldingProcess&) = default;
};

// A socket bound to the port: for TCP one that listens, for UDP one that is not connected (a
// connected UDP socket takes datagrams from its peer only, so nothing from outside reaches it).
struct PortSocket
{
    QString localAddress;  // "0.0.0.0", "::", "127.0.0.1", "::1", ...
    bool loopback = false; // bound to a loopback address, so unreachable from other machines
    quint32 uid = 0;
    QString userName;  // uid's login name; looked up only when no process was found, may be empty
    quint64 inode = 0; // 0: held by the kernel itself, not by any process
    QList<HoldingProcess> processes; // ascending pids; empty when no owner could be found
};

struct PortHolders
{
    QList<PortSocket> sockets; // in table order, IPv4 table first
    // Every table that exists was read, and at least one did. When false, `problem` says what
    // failed, and `sockets` holds only what the readable tables listed.
    bool tablesRead = false;
    QString problem;
    // Some /proc/PID/fd could not be read for lack of permission, so sockets without a process
    // may belong to a program this user is not allowed to see.
    bool processesHidden = false;
};

// The sockets holding `port` and the processes that hold them. /proc/PID/fd is scanned only when
// a socket matched; processes that cannot be read or are gone by then are passed over.
PortHolders findPortHolders(quint16 port, ProbeProtocol protocol,
                            const QString& procRoot = QStringLiteral("/proc"));

// One plain English phrase for a status line: "held by nginx (pid 812, 813)", "held by nginx
// (pid 812) and sshd (pid 90), bound only to 127.0.0.1, so it cannot be reached from outside",
// "no program on this computer listens on TCP port 80", ...
QString describeHolders(const PortHolders& holders, quint16 port, ProbeProtocol protocol);

// A process name as it may be shown: control and format characters (escape sequences, bidi
// overrides, new lines) removed. A process can set its own name to anything.
QString displayableProcessName(QStringView name);

} // namespace quillmere::service
