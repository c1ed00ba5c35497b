#pragma once

// A TCP port for the server's probes to reach: it records what connects to it and what it is
// sent. Shared by the tests that run quillmere-server.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

namespace quillmere::test {

// A TCP port that records what connects to it.
class TcpTarget
{
public:
    explicit TcpTarget(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0)
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++m_connections;
                QObject::connect(socket, &QTcpSocket::readyRead,
                                 [this, socket] { m_data += socket->readAll(); });
            }
        });
        m_server.listen(address, port);
    }
    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    int connections() const { return m_connections; }
    const QByteArray& data() const { return m_data; }

private:
    QTcpServer m_server;
    int m_connections = 0;
    QByteArray m_data;
};

} // namespace quillmere::test
