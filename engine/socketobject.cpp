#include "engine/socketobject.h"

#include "engine/porttext.h"
#include "wire/checkwire.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

bool openCheckPort(SocketObject& socket, const QString& portText)
{
    if (socket.protocol() == ProbeProtocol::Udp)
        return socket.bind(portText);
    const auto number = portNumber(portText);
    return number && socket.setLocalPort(*number) && socket.listen();
}

QString displayAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return address.toString();
}

SocketObject::SocketObject(QObject* parent)
    : QObject(parent)
{}

SocketObject::~SocketObject()
{
    close();
}

bool SocketObject::setLocalPort(qint64 port)
{
    if (port < 0 || port > wire::kMaxPort)
        return false;
    m_localPort = int(port);
    return true;
}

SocketObject::State SocketObject::state() const
{
    if (m_server)
        return State::Listening;
    if (m_udp)
        return State::Bound;
    if (m_tcp) {
        return m_tcp->state() == QAbstractSocket::ConnectedState ? State::Connected
                                                                 : State::Connecting;
    }
    for (const Peer& peer : m_peers) {
        if (peer.socket->state() == QAbstractSocket::ConnectedState)
            return State::Connected;
    }
    return State::Closed;
}

int SocketObject::heldPeers() const
{
    return int(m_peers.size());
}

void SocketObject::close()
{
    // Detach first: nothing this object closes itself may raise an event.
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_tcp) {
        m_tcp->disconnect(this);
        m_tcp->abort();
        m_tcp->deleteLater();
        m_tcp = nullptr;
    }
    if (m_udp) {
        m_udp->disconnect(this);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    for (const Peer& peer : std::exchange(m_peers, {})) {
        peer.socket->disconnect(this);
        peer.socket->abort();
        peer.socket->deleteLater();
    }
    m_lastPeer = nullptr;
    m_tcpFailed = false;
    m_datagram.clear();
    m_datagramTaken = true;
}

bool SocketObject::listen()
{
    close();
    auto* server = new QTcpServer(this);
    // A dual-stack listener; on a system without IPv6 fall back to IPv4 alone.
    bool ok = server->listen(QHostAddress::Any, quint16(m_localPort));
    if (!ok && server->serverError() == QAbstractSocket::UnsupportedSocketOperationError)
        ok = server->listen(QHostAddress::AnyIPv4, quint16(m_localPort));
    if (!ok) {
        delete server;
        return false;
    }
    m_protocol = ProbeProtocol::Tcp;
    m_localPort = server->serverPort();
    m_server = server;
    connect(server, &QTcpServer::newConnection, this, &SocketObject::onNewConnection);
    return true;
}

bool SocketObject::bind(const QString& portText)
{
    close();
    const auto port = portNumber(portText);
    if (!port)
        return false;
    auto* udp = new QUdpSocket(this);
    // DontShareAddress without the reuse hint: a port bound elsewhere must fail here.
    bool ok = udp->bind(QHostAddress::Any, quint16(*port), QAbstractSocket::DontShareAddress);
    if (!ok && udp->error() == QAbstractSocket::UnsupportedSocketOperationError)
        ok = udp->bind(QHostAddress::AnyIPv4, quint16(*port), QAbstractSocket::DontShareAddress);
    if (!ok) {
        delete udp;
        return false;
    }
    m_protocol = ProbeProtocol::Udp;
    m_localPort = udp->localPort();
    m_udp = udp;
    connect(udp, &QUdpSocket::readyRead, this, &SocketObject::onUdpReadyRead);
    connect(udp, &QUdpSocket::errorOccurred, this,
            [this] { Q_EMIT errorOccurred(int(m_udp->error()), m_udp->errorString()); });
    return true;
}

void SocketObject::onNewConnection()
{
    // Take every waiting connection first: the handler may close the listener, and with it
    // whatever the server still holds.
    QList<int> ids;
    while (QTcpSocket* socket = m_server ? m_server->nextPendingConnection() : nullptr) {
        socket->setParent(this);
        // Never more buffered than is read from one connection.
        socket->setReadBufferSize(kMaxPeerBytes);
        const int id = m_nextRequestId++;
        m_requests.insert(id, socket);
        ids.append(id);
    }
    QPointer<SocketObject> self(this);
    for (int id : ids) {
        if (!self)
            return;
        QTcpSocket* socket = m_requests.value(id);
        if (!socket)
            continue;
        // Room for this one, should it be accepted: the oldest held connection goes.
        if (m_server && m_peers.size() >= kMaxHeldPeers) {
            dropPeer(m_peers.constFirst().socket, u"the oldest of "_s +
                                                      QString::number(kMaxHeldPeers) +
                                                      u" connections held at once"_s);
            if (!self)
                return;
        }
        setRemote(socket->peerAddress(), socket->peerPort());
        Q_EMIT connectionRequest(id);
        if (!self)
            return;
        // Not accepted: the request is refused by closing its connection.
        if (QTcpSocket* left = m_requests.take(id)) {
            left->abort();
            left->deleteLater();
        }
    }
}

void SocketObject::accept(int requestId)
{
    QTcpSocket* socket = m_requests.take(requestId);
    if (!socket)
        return;
    // A handler that closed the listener takes this connection alone, as the object's one.
    if (!m_server)
        close();
    while (m_peers.size() >= kMaxHeldPeers)
        releasePeer(m_peers.constFirst().socket);
    holdPeer(socket);
    if (socket->bytesAvailable() > 0) {
        QMetaObject::invokeMethod(
            this,
            [this, guard = QPointer<QTcpSocket>(socket)] {
                if (guard)
                    onPeerReadyRead(guard);
            },
            Qt::QueuedConnection);
    }
}

void SocketObject::holdPeer(QTcpSocket* socket)
{
    m_protocol = ProbeProtocol::Tcp;
    m_peers.append(Peer{socket, socket->peerAddress(), socket->peerPort(), 0});
    notePeer(m_peers.constLast());
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onPeerReadyRead(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { onPeerError(socket); });
    connect(socket, &QTcpSocket::disconnected, this,
            [this, socket] { onPeerDisconnected(socket); });
}

SocketObject::Peer* SocketObject::findPeer(const QTcpSocket* socket)
{
    for (Peer& peer : m_peers) {
        if (peer.socket == socket)
            return &peer;
    }
    return nullptr;
}

// The connection an event is about: getData() reads from it, and the peer is its.
void SocketObject::notePeer(const Peer& peer)
{
    m_lastPeer = peer.socket;
    setRemote(peer.address, peer.port);
}

void SocketObject::onPeerReadyRead(QTcpSocket* socket)
{
    const Peer* peer = findPeer(socket);
    if (!peer || socket->bytesAvailable() <= 0)
        return;
    notePeer(*peer);
    const qint64 room = kMaxPeerBytes - peer->bytesRead;
    QPointer<SocketObject> self(this);
    Q_EMIT dataArrival(std::min(socket->bytesAvailable(), room));
    if (!self)
        return;
    peer = findPeer(socket);
    if (peer && peer->bytesRead >= kMaxPeerBytes) {
        dropPeer(socket, u"read "_s + QString::number(kMaxPeerBytes) +
                             u" bytes, the most taken from one connection"_s);
    }
}

void SocketObject::onPeerError(QTcpSocket* socket)
{
    // A peer's orderly close is the closed() event, not an error.
    const Peer* peer = findPeer(socket);
    if (!peer || socket->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    notePeer(*peer);
    QPointer<SocketObject> self(this);
    Q_EMIT errorOccurred(int(socket->error()), socket->errorString());
    // Nothing more comes from a connection that failed, and no close event follows.
    if (self)
        releasePeer(socket);
}

void SocketObject::onPeerDisconnected(QTcpSocket* socket)
{
    const Peer* peer = findPeer(socket);
    if (!peer)
        return;
    notePeer(*peer);
    QPointer<SocketObject> self(this);
    Q_EMIT closed();
    if (self)
        releasePeer(socket);
}

void SocketObject::releasePeer(QTcpSocket* socket)
{
    const auto at = std::find_if(m_peers.cbegin(), m_peers.cend(),
                                 [socket](const Peer& p) { return p.socket == socket; });
    if (at == m_peers.cend())
        return;
    m_peers.erase(at);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void SocketObject::dropPeer(QTcpSocket* socket, const QString& reason)
{
    if (const Peer* peer = findPeer(socket))
        notePeer(*peer);
    releasePeer(socket);
    Q_EMIT peerDropped(reason);
}

void SocketObject::adoptConnection(QTcpSocket* socket)
{
    m_protocol = ProbeProtocol::Tcp;
    m_tcp = socket;
    m_tcpFailed = false;
    if (socket->state() == QAbstractSocket::ConnectedState) {
        m_localPort = socket->localPort();
        setRemote(socket->peerAddress(), socket->peerPort());
    }
    connect(socket, &QTcpSocket::connected, this, [this] {
        m_localPort = m_tcp->localPort();
        setRemote(m_tcp->peerAddress(), m_tcp->peerPort());
        Q_EMIT connected();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        if (m_tcp->bytesAvailable() > 0)
            Q_EMIT dataArrival(m_tcp->bytesAvailable());
    });
    connect(socket, &QTcpSocket::errorOccurred, this, &SocketObject::onTcpError);
    connect(socket, &QTcpSocket::disconnected, this, &SocketObject::onTcpDisconnected);
}

void SocketObject::onTcpError()
{
    // A peer's orderly close is the closed() event, not an error.
    if (m_tcp->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    m_tcpFailed = true;
    Q_EMIT errorOccurred(int(m_tcp->error()), m_tcp->errorString());
}

void SocketObject::onTcpDisconnected()
{
    // After an error the connection stays as the error left it; only an orderly close by the
    // peer counts as the close event.
    if (m_tcpFailed)
        return;
    Q_EMIT closed();
}

void SocketObject::connectToHost(const QString& host, quint16 port,
                                 QAbstractSocket::NetworkLayerProtocol family)
{
    close();
    auto* socket = new QTcpSocket(this);
    adoptConnection(socket);
    socket->connectToHost(host, port, QIODevice::ReadWrite, family);
}

void SocketObject::sendData(const QByteArray& data)
{
    if (m_tcp)
        m_tcp->write(data);
}

QByteArray SocketObject::getData()
{
    if (m_tcp)
        return m_tcp->readAll();
    if (m_udp && !m_datagramTaken) {
        m_datagramTaken = true;
        return std::exchange(m_datagram, QByteArray());
    }
    if (Peer* peer = m_lastPeer ? findPeer(m_lastPeer) : nullptr) {
        QByteArray data = peer->socket->read(kMaxPeerBytes - peer->bytesRead);
        peer->bytesRead += data.size();
        return data;
    }
    return QByteArray();
}

void SocketObject::onUdpReadyRead()
{
    // A bounded batch per notification: a flood of datagrams must not keep the event loop from
    // everything else. What is left raises the next notification.
    constexpr int kBatch = 64;
    QPointer<SocketObject> self(this);
    for (int n = 0; n < kBatch && m_udp && m_udp->hasPendingDatagrams(); ++n) {
        // The rest of a datagram longer than a peer's bound is dropped unread.
        const qint64 size = m_udp->pendingDatagramSize();
        const QNetworkDatagram datagram =
            m_udp->receiveDatagram(size < 0 ? kMaxPeerBytes : std::min(size, kMaxPeerBytes));
        if (!datagram.isValid())
            break;
        setRemote(datagram.senderAddress(), quint16(datagram.senderPort()));
        m_datagram = datagram.data();
        m_datagramTaken = false;
        Q_EMIT dataArrival(m_datagram.size());
        if (!self)
            return;
        // A datagram the handler did not read is dropped, as it would be by the network.
        m_datagram.clear();
        m_datagramTaken = true;
    }
}

void SocketObject::setRemote(const QHostAddress& address, quint16 port)
{
    m_remoteHostIP = displayAddress(address);
    m_remotePort = port;
}

} // namespace quillmere
