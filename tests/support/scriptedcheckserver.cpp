#include "tests/support/scriptedcheckserver.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QUrlQuery>

namespace quillmere::test {

namespace {
constexpr qsizetype kMaxRequestHead = 16 * 1024;
constexpr qint64 kFillerChunk = 64 * 1024;
} // namespace

QByteArray httpReply(const QByteArray& body)
{
    return QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n") + body;
}

QList<QByteArray> realisticReply(const CheckRequest& request, const ProbeOutcome& outcome,
                                 const QByteArray& externalAddress)
{
    QByteArray body = "Port " + request.port + "/" + request.protocol + ": ";
    if (request.protocol == "tcp" && outcome.reached)
        body += "-tcpopen- ";
    body += "-ping ok -ip:" + externalAddress + "- -done-\n";
    return {httpReply(body)};
}

std::optional<CheckRequest> parseCheckRequest(const QByteArray& head)
{
    const qsizetype lineEnd = head.indexOf("\r\n");
    if (lineEnd < 0)
        return std::nullopt;
    const QList<QByteArray> parts = head.left(lineEnd).split(' ');
    if (parts.size() != 3 || parts[0] != "GET" || !parts[1].startsWith("/portcheck3.cgi?"))
        return std::nullopt;
    CheckRequest request;
    request.raw = head;
    const QByteArray query = parts[1].mid(parts[1].indexOf('?') + 1);
    for (const QByteArray& pair : query.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        const QByteArray key = pair.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        if (key == "port")
            request.port = value;
        else if (key == "protocol")
            request.protocol = value;
        else if (key == "version")
            request.version = value;
    }
    for (const QByteArray& line : head.mid(lineEnd + 2).split('\n')) {
        if (line.toLower().startsWith("host:"))
            request.host = line.mid(5).trimmed();
    }
    return request;
}

// One client connection: read the request, probe, reply.
class ScriptedCheckServer::Exchange : public QObject
{
public:
    Exchange(ScriptedCheckServer& server, QTcpSocket* socket)
        : QObject(&server)
        , m_server(server)
        , m_socket(socket)
        , m_script(server.m_script)
    {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, &Exchange::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QTcpSocket::bytesWritten, this, &Exchange::onBytesWritten);
        m_pacer.setSingleShot(true);
        connect(&m_pacer, &QTimer::timeout, this, &Exchange::writeNextPiece);
    }

    bool isOpen() const { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

private:
    void onReadyRead()
    {
        if (m_haveRequest) {
            m_socket->readAll();
            return;
        }
        m_head += m_socket->readAll();
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > kMaxRequestHead)
                m_socket->abort();
            return;
        }
        m_head.truncate(end + 4);
        m_haveRequest = true;
        const auto parsed = parseCheckRequest(m_head);
        if (!parsed) {
            servePage();
            return;
        }
        m_request = *parsed;
        m_server.m_requests.append(m_request);
        Q_EMIT m_server.requestReceived(m_request);
        if (!m_script.answer)
            return;
        startProbe();
    }

    void servePage()
    {
        const QList<QByteArray> line = m_head.left(m_head.indexOf("\r\n")).split(' ');
        const QByteArray path = line.size() == 3 && line[0] == "GET" ? line[1] : QByteArray();
        if (m_script.pages.contains(path)) {
            m_socket->write("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n" +
                            m_script.pages.value(path));
        } else {
            m_socket->write(
                "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nNot found\n");
        }
        m_closing = true;
        m_socket->disconnectFromHost();
    }

    void startProbe()
    {
        using Probe = ServerScript::Probe;
        Probe probe = m_script.probe;
        if (probe == Probe::AsRequested)
            probe = m_request.protocol == "udp" ? Probe::Udp : Probe::Tcp;
        bool ok = false;
        const quint16 port =
            m_script.probePort.value_or(quint16(QString::fromLatin1(m_request.port).toUInt(&ok)));
        if (probe == Probe::None || (!m_script.probePort && !ok) ||
            (m_script.probeWhen && !m_script.probeWhen(m_request))) {
            probeDone(ProbeOutcome{});
            return;
        }
        if (probe == Probe::Udp) {
            QUdpSocket udp;
            const bool sent =
                udp.writeDatagram(m_script.probePieces.join(), m_script.probeAddress, port) >= 0;
            probeDone(ProbeOutcome{true, sent});
            return;
        }
        auto* tcp = new QTcpSocket(this);
        m_probeReached = false;
        connect(tcp, &QTcpSocket::connected, this, [this, tcp] {
            m_probeReached = true;
            writeProbePieces(tcp, m_script.probePieces, [this, tcp] {
                tcp->disconnectFromHost();
                if (tcp->state() == QAbstractSocket::UnconnectedState)
                    finishTcpProbe(tcp);
            });
        });
        connect(tcp, &QTcpSocket::disconnected, this, [this, tcp] { finishTcpProbe(tcp); });
        connect(tcp, &QTcpSocket::errorOccurred, this, [this, tcp] {
            if (!m_probeReached)
                finishTcpProbe(tcp);
        });
        tcp->connectToHost(m_script.probeAddress, port);
    }

    void writeProbePieces(QTcpSocket* tcp, QList<QByteArray> pieces, std::function<void()> done)
    {
        if (pieces.isEmpty()) {
            done();
            return;
        }
        tcp->write(pieces.takeFirst());
        tcp->flush();
        if (pieces.isEmpty()) {
            done();
            return;
        }
        QTimer::singleShot(m_script.pieceDelayMs, tcp,
                           [this, tcp, pieces, done] { writeProbePieces(tcp, pieces, done); });
    }

    void finishTcpProbe(QTcpSocket* tcp)
    {
        if (m_probeFinished)
            return;
        tcp->deleteLater();
        probeDone(ProbeOutcome{true, m_probeReached});
    }

    void probeDone(const ProbeOutcome& outcome)
    {
        m_probeFinished = true;
        m_outcome = outcome;
        Q_EMIT m_server.probeFinished(outcome);
        m_pieces = m_script.replyPieces;
        if (m_pieces.isEmpty() && m_script.replyBuilder)
            m_pieces = m_script.replyBuilder(m_request, outcome);
        else if (m_pieces.isEmpty())
            m_pieces = realisticReply(m_request, outcome);
        m_fillerLeft = m_script.fillerBytes;
        if (m_fillerLeft > 0)
            writeFiller();
        else
            writeNextPiece();
    }

    void writeFiller()
    {
        // Keep only a little in the socket's buffer: the flood must not cost memory here.
        while (m_fillerLeft > 0 && m_socket && m_socket->bytesToWrite() < 4 * kFillerChunk) {
            const qint64 n = std::min(m_fillerLeft, kFillerChunk);
            m_socket->write(QByteArray(n, 'x'));
            m_fillerLeft -= n;
        }
        if (m_fillerLeft == 0)
            m_pacer.start(0);
    }

    void onBytesWritten()
    {
        if (m_fillerLeft > 0) {
            writeFiller();
            return;
        }
        if (m_closing && m_socket && m_socket->bytesToWrite() == 0)
            m_socket->disconnectFromHost();
    }

    void writeNextPiece()
    {
        if (!m_socket)
            return;
        if (!m_pieces.isEmpty()) {
            m_socket->write(m_pieces.takeFirst());
            m_socket->flush();
            if (!m_pieces.isEmpty()) {
                m_pacer.start(m_script.pieceDelayMs);
                return;
            }
        }
        Q_EMIT m_server.replyFinished();
        if (m_script.closeAfterReply) {
            m_closing = true;
            m_socket->disconnectFromHost();
        }
    }

    ScriptedCheckServer& m_server;
    QPointer<QTcpSocket> m_socket;
    const ServerScript m_script;
    QByteArray m_head;
    bool m_haveRequest = false;
    CheckRequest m_request;
    ProbeOutcome m_outcome;
    bool m_probeReached = false;
    bool m_probeFinished = false;
    QList<QByteArray> m_pieces;
    qint64 m_fillerLeft = 0;
    bool m_closing = false;
    QTimer m_pacer;
};

ScriptedCheckServer::ScriptedCheckServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedCheckServer::onNewConnection);
}

ScriptedCheckServer::~ScriptedCheckServer() = default;

bool ScriptedCheckServer::listen(const QHostAddress& address, quint16 port)
{
    return m_server.listen(address, port);
}

int ScriptedCheckServer::openConnections() const
{
    int open = 0;
    for (const auto& exchange : m_exchanges) {
        if (exchange && exchange->isOpen())
            ++open;
    }
    return open;
}

void ScriptedCheckServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection())
        m_exchanges.append(new Exchange(*this, socket));
    m_exchanges.removeIf([](const QPointer<Exchange>& e) { return e.isNull(); });
}

void ScriptedCheckServer::sendTcpProbe(quint16 port, const QList<QByteArray>& pieces)
{
    auto* tcp = new QTcpSocket(this);
    connect(tcp, &QTcpSocket::connected, tcp, [tcp, pieces] {
        for (const QByteArray& piece : pieces)
            tcp->write(piece);
        tcp->disconnectFromHost();
    });
    connect(tcp, &QTcpSocket::disconnected, tcp, &QObject::deleteLater);
    connect(tcp, &QTcpSocket::errorOccurred, tcp, &QObject::deleteLater);
    tcp->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
}

void ScriptedCheckServer::sendUdpProbe(quint16 port, const QByteArray& datagram)
{
    QUdpSocket udp;
    udp.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port);
}

} // namespace quillmere::test
