#pragma once

// A check server for tests and local runs. It answers the program's one HTTP request with texts
// chosen by the test, probes the requested port back over TCP or UDP on loopback, and can pace,
// split, flood or withhold its reply to act like a slow, broken or hostile server.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <functional>
#include <optional>

class QTcpSocket;

namespace quillmere::test {

struct ProbeOutcome
{
    bool attempted = false;
    bool reached = false; // TCP: the connection succeeded; UDP: the datagram was sent
};

struct CheckRequest
{
    QByteArray raw; // the request exactly as received, up to and including the blank line
    QByteArray port;
    QByteArray protocol;
    QByteArray version;
    QByteArray host;
};

struct ServerScript
{
    enum class Probe { None, AsRequested, Tcp, Udp };
    Probe probe = Probe::AsRequested;
    QList<QByteArray> probePieces{QByteArrayLiteral("Dunmoor port probe")};
    QHostAddress probeAddress = QHostAddress(QHostAddress::LocalHost);
    std::optional<quint16> probePort; // default: the port named in the request
    // Whether a request's port is probed at all (as the probe above); empty: every one. A port
    // that is not stands for one something on the way drops.
    std::function<bool(const CheckRequest&)> probeWhen;

    // The reply, written piece by piece with `pieceDelayMs` between pieces so that each piece
    // reaches the client as its own arrival. Empty: the reply is built from the probe outcome.
    QList<QByteArray> replyPieces;
    std::function<QList<QByteArray>(const CheckRequest&, const ProbeOutcome&)> replyBuilder;
    int pieceDelayMs = 40;
    qint64 fillerBytes = 0; // written before the reply pieces, as fast as the client takes it
    bool closeAfterReply = true;
    bool answer = true; // false: read the request, then say nothing and never close

    // Pages served to plain GET requests, by path (for example the help page).
    QHash<QByteArray, QByteArray> pages;
};

// "HTTP/1.0 200 OK" headers followed by `body`.
QByteArray httpReply(const QByteArray& body);

// The reply a working check server gives: "-done-", "-tcpopen-" when a TCP probe got through,
// the ping and address markers.
QList<QByteArray>
realisticReply(const CheckRequest& request, const ProbeOutcome& outcome,
               const QByteArray& externalAddress = QByteArrayLiteral("127.0.0.1"));

class ScriptedCheckServer : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedCheckServer(QObject* parent = nullptr);
    ~ScriptedCheckServer() override;

    // Listens on `address` (loopback by default) at `port` (0: any free port).
    bool listen(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost),
                quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    QString errorString() const { return m_server.errorString(); }

    void setScript(ServerScript script) { m_script = std::move(script); }
    ServerScript& script() { return m_script; }

    const QList<CheckRequest>& requests() const { return m_requests; }
    int openConnections() const;

    // Probes on demand, independent of any request.
    void sendTcpProbe(quint16 port, const QList<QByteArray>& pieces);
    void sendUdpProbe(quint16 port, const QByteArray& datagram);

Q_SIGNALS:
    void requestReceived(const quillmere::test::CheckRequest& request);
    void probeFinished(const quillmere::test::ProbeOutcome& outcome);
    void replyFinished();

private:
    class Exchange;
    void onNewConnection();

    QTcpServer m_server;
    ServerScript m_script;
    QList<CheckRequest> m_requests;
    QList<QPointer<Exchange>> m_exchanges;
};

// Parses the request line "GET /portcheck3.cgi?port=P&protocol=W&version=V HTTP/1.0" and the
// Host header. nullopt when the head is not such a request.
std::optional<CheckRequest> parseCheckRequest(const QByteArray& head);

} // namespace quillmere::test
