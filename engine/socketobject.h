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

// An asynchronous socket that holds at most one thing at a time: a TCP listener, one TCP
// connection, or a bound UDP socket. Its events arrive on the thread it lives on, one at a time.
//
// The rules it keeps:
// - close() ends whatever it holds, is harmless when nothing is open, and never raises the
//   closed() event; only a peer that closes raises it.
// - listen() and bind() report failure at once; failures of a connection arrive later as
//   errorOccurred().
// - A connection request is accepted on the listening object itself: the handler of
//   connectionRequest() calls accept() with the request's identifier, after which the object
//   holds that connection. A request not accepted before the handler returns is dropped.
// - Listeners and bound sockets never share their address with another socket, so a port that
//   another program holds cannot be opened. Where the system has IPv6 they take IPv4 and IPv6
//   peers alike; an IPv4 peer is always reported in dotted form.
class SocketObject : public QObject
{
    Q_OBJECT

public:
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
    // All bytes received and not yet read. For UDP, the datagram whose dataArrival() is being
    // handled; one the handler does not read is dropped, as the network may drop any.
    QByteArray getData();

Q_SIGNALS:
    void connectionRequest(int requestId);
    void connected();
    void dataArrival(qint64 bytesTotal);
    void closed();
    void errorOccurred(int number, const QString& description);

private:
    void onNewConnection();
    void adoptConnection(QTcpSocket* socket);
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
