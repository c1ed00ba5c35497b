#pragma once

#include "engine/checkprotocol.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

namespace quillmere {

// An asynchronous socket: a TCP listener with the connections it accepted, one outgoing TCP
// connection, or a bound UDP socket. Its events arrive on the thread it lives on, one at a time.
//
// The rules it keeps:
// - close() ends whatever it holds, is harmless when nothing is open, and never raises the
//   closed() event; only a peer that closes raises it.
// - listen() and bind() report failure at once; failures of a connection arrive later as
//   errorOccurred().
// - A connection request is accepted on the listening object itself: the handler of
//   connectionRequest() calls accept() with the request's identifier. A request not accepted
//   before the handler returns is dropped. The listener goes on listening and holds the accepted
//   connection beside it (a handler that closed the listener first leaves the object holding
//   that connection alone). The events of an accepted connection, dataArrival(), closed() and
//   errorOccurred(), name it through remoteHostIP() and remotePort(), and getData() reads from
//   the connection of the latest event.
// - Whoever can reach the port can connect or send, so what peers cost is bounded: at most
//   kMaxHeldPeers accepted connections are held (a newer one lets the oldest go), at most
//   kMaxPeerBytes are read from one connection (then it is let go) and from one datagram (the
//   rest is dropped). A connection let go raises peerDropped(), never closed().
// - Listeners and bound sockets never share their address with another socket, so a port that
//   another program holds cannot be opened. Where the system has IPv6 they take IPv4 and IPv6
//   peers alike; an IPv4 peer is always reported in dotted form.
class SocketObject : public QObject
{
    Q_OBJECT

public:
    // A probe is one short line; these leave strangers room to be seen in the log, and no more.
    static constexpr int kMaxHeldPeers = 16;
    static constexpr qint64 kMaxPeerBytes = 4096;

    explicit SocketObject(QObject* parent = nullptr);
    ~SocketObject() override;

    enum class State { Closed, Listening, Connecting, Connected, Bound };

    ProbeProtocol protocol() const { return m_protocol; }
    void setProtocol(ProbeProtocol protocol) { m_protocol = protocol; }

    // The local port: set before listen(); the port actually opened once listening or bound.
    int localPort() const { return m_localPort; }
    // Fails (returns false, changes nothing) for a value outside 0..65535.
    bool setLocalPort(qint64 port);

    // The peer: the requesting peer during connectionRequest(), the connected peer, or the
    // sender of the last datagram read.
    QString remoteHostIP() const { return m_remoteHostIP; }
    int remotePort() const { return m_remotePort; }

    State state() const;
    // Accepted connections held open beside the listener (or alone).
    int heldPeers() const;

    void close();
    // Starts a TCP listener on localPort().
    bool listen();
    // Opens a UDP socket on the port given as text (a whole number 0..65535).
    bool bind(const QString& portText);
    void accept(int requestId);
    // `family` limits the connection to IPv4 or IPv6 addresses of the host.
    void
    connectToHost(const QString& host, quint16 port,
                  QAbstractSocket::NetworkLayerProtocol family = QAbstractSocket::AnyIPProtocol);
    void sendData(const QByteArray& data);
    // All bytes received and not yet read: of the outgoing connection, or of the accepted
    // connection of the latest event (no more than its bound leaves). For UDP, the datagram
    // whose dataArrival() is being handled; one the handler does not read is dropped, as the
    // network may drop any.
    QByteArray getData();

Q_SIGNALS:
    void connectionRequest(int requestId);
    void connected();
    void dataArrival(qint64 bytesTotal);
    void closed();
    void errorOccurred(int number, const QString& description);
    // This object let an accepted connection go, for the reason given; remoteHostIP() and
    // remotePort() name it.
    void peerDropped(const QString& reason);

private:
    void onNewConnection();
    void adoptConnection(QTcpSocket* socket);
    void holdPeer(QTcpSocket* socket);
    void onPeerReadyRead(QTcpSocket* socket);
    void onPeerError(QTcpSocket* socket);
    void onPeerDisconnected(QTcpSocket* socket);
    void releasePeer(QTcpSocket* socket);
    void dropPeer(QTcpSocket* socket, const QString& reason);
    void onUdpReadyRead();
    void onTcpError();
    void onTcpDisconnected();
    void setRemote(const QHostAddress& address, quint16 port);

    ProbeProtocol m_protocol = ProbeProtocol::Tcp;
    int m_localPort = 0;
    QString m_remoteHostIP;
    int m_remotePort = 0;

    QPointer<QTcpServer> m_server;
    QPointer<QTcpSocket> m_tcp;
    QPointer<QUdpSocket> m_udp;
    bool m_tcpFailed = false; // an error was reported; the connection is left as it is
    struct Peer
    {
        QTcpSocket* socket = nullptr;
        QHostAddress address; // kept: a connection that ended no longer names its peer
        quint16 port = 0;
        qint64 bytesRead = 0;
    };
    Peer* findPeer(const QTcpSocket* socket);
    void notePeer(const Peer& peer);
    QList<Peer> m_peers;             // accepted connections, the oldest first
    QPointer<QTcpSocket> m_lastPeer; // the accepted connection of the latest event
    QHash<int, QTcpSocket*> m_requests;
    int m_nextRequestId = 1;
    QByteArray m_datagram;
    bool m_datagramTaken = true;
};

// Opens the port a check listens on, by the socket's protocol: a TCP listener, or a bound UDP
// socket. A text that names no port 0..65535 opens nothing, like a port another program holds.
bool openCheckPort(SocketObject& socket, const QString& portText);

// A peer address as the logs show it: dotted for IPv4, even when it reached a dual-stack
// socket as an IPv4-mapped IPv6 address.
QString displayAddress(const QHostAddress& address);

} // namespace quillmere
