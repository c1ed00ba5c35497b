// The system backend against a LAN of fakes on loopback: a well-behaved IGD (description and
// SOAP), hostile devices (a huge description, a trickle, a redirect, a LOCATION on another host,
// a control URL on another host, garbage), NAT-PMP, and nothing at all. The SSDP search and
// NAT-PMP go to loopback through the settings; nothing leaves the machine.

#include "router/describe.h"
#include "router/httpfetch.h"
#include "router/lan.h"
#include "router/mappingstore.h"
#include "router/pcpclient.h"
#include "router/pinhole.h"
#include "router/routerclient.h"
#include "router/ssdp.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <array>
#include <thread>

using namespace quillmere;
using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace {

const QHostAddress kLoopback(QHostAddress::LocalHost);
const QHostAddress kLoopback6(QHostAddress::LocalHostIPv6);
const QHostAddress kOtherLoopback(u"127.0.0.2"_s);

// Answers every M-SEARCH with one reply naming `location`.
class FakeSsdp : public QObject
{
public:
    explicit FakeSsdp(const QHostAddress& address = kLoopback)
    {
        QVERIFY(m_socket.bind(address, 0));
        connect(&m_socket, &QUdpSocket::readyRead, this, &FakeSsdp::answer);
    }
    quint16 port() const { return m_socket.localPort(); }

    QByteArray m_location; // empty: stay silent
    int m_searches = 0;
    QByteArray m_lastSearch;
    // Before its answer, each of these senders sends the searcher as many junk replies.
    QList<QPair<QUdpSocket*, int>> m_junkSenders;

    void addJunkSender(const QHostAddress& address, int count)
    {
        auto* socket = new QUdpSocket(this);
        QVERIFY(socket->bind(address, 0));
        m_junkSenders.append({socket, count});
    }

private:
    void answer()
    {
        while (m_socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            QByteArray datagram(int(m_socket.pendingDatagramSize()), '\0');
            m_socket.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
            ++m_searches;
            m_lastSearch = datagram;
            for (const auto& [junk, count] : std::as_const(m_junkSenders)) {
                for (int i = 0; i < count; ++i) {
                    // Garbage, and answers that are no use: no LOCATION, one elsewhere.
                    static const QByteArray kinds[] = {
                        QByteArray("\x01\x02junk\xff"),
                        QByteArray("HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n\r\n"),
                        QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.99/d.xml\r\n\r\n"),
                    };
                    junk->writeDatagram(kinds[i % 3], from, fromPort);
                }
            }
            if (m_location.isEmpty())
                continue;
            const QByteArray reply = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\n"
                                     "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
                                     "USN: uuid:fake::urn:schemas-upnp-org:device:"
                                     "InternetGatewayDevice:1\r\nEXT:\r\nLOCATION: " +
                                     m_location + "\r\n\r\n";
            m_socket.writeDatagram(reply, from, fromPort);
        }
    }

    QUdpSocket m_socket;
};

struct FakeMapping
{
    QString client;
    int internalPort = 0;
    QString description;
    qint64 lease = 0;
};

// The WANIPv6FirewallControl service of an IGDv2, in a WANConnectionDevice of its own.
QByteArray firewallDevice(const QByteArray& controlUrl)
{
    return "<device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:2</deviceType>"
           "<serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:WANIPv6FirewallControl:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:WANIPv6Firewall1</serviceId><controlURL>" +
           controlUrl +
           "</controlURL><eventSubURL>/evt/IP6FCtl</eventSubURL><SCPDURL>/WANIP6FC.xml</SCPDURL>"
           "</service></serviceList></device>";
}

QByteArray descriptionXml(const QByteArray& controlUrl, const QByteArray& firewallControl = {})
{
    return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
           "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
           "<friendlyName>Fake router</friendlyName><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
           "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
           "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
           "<serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
           "<controlURL>" +
           controlUrl +
           "</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
           "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList></device>" +
           (firewallControl.isEmpty() ? QByteArray() : firewallDevice(firewallControl)) +
           "</deviceList></device></deviceList></device></root>\r\n";
}

// A description that lists a WANPPPConnection service (control URL /ctl/PPPConn) before the
// WANIPConnection one, in WANConnectionDevices of their own, as routers with both do.
QByteArray descriptionWithPppFirst()
{
    const auto connectionDevice = [](const QByteArray& type,
                                     const QByteArray& control) -> QByteArray {
        return "<device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
               "<serviceList><service><serviceType>urn:schemas-upnp-org:service:" +
               type + ":1</serviceType><serviceId>urn:upnp-org:serviceId:" + type +
               "1</serviceId><controlURL>" + control + "</controlURL><eventSubURL>/evt/" + type +
               "</eventSubURL><SCPDURL>/" + type +
               ".xml</SCPDURL></service></serviceList>"
               "</device>";
    };
    return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
           "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
           "<friendlyName>Fake router</friendlyName><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
           "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
           "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList><deviceList>" +
           connectionDevice("WANPPPConnection", "/ctl/PPPConn") +
           connectionDevice("WANIPConnection", "/ctl/IPConn") +
           "</deviceList></device></deviceList></device></root>\r\n";
}

// An HTTP device on 127.0.0.1 that plays one part.
class FakeDevice : public QObject
{
public:
    enum class Part { Igd, Huge, Slow, Redirect, Garbage, ControlElsewhere };

    explicit FakeDevice(Part part, const QHostAddress& address = kLoopback)
        : m_part(part)
        , m_address(address)
    {
        QVERIFY(m_server.listen(address, 0));
        connect(&m_server, &QTcpServer::newConnection, this, &FakeDevice::accept);
    }

    QByteArray location() const
    {
        const QByteArray host = m_address.protocol() == QAbstractSocket::IPv6Protocol
                                    ? '[' + m_address.toString().toLatin1() + ']'
                                    : m_address.toString().toLatin1();
        return "http://" + host + ':' + QByteArray::number(m_server.serverPort()) + "/rootDesc.xml";
    }

    int m_connections = 0;
    QStringList m_actions;                 // SOAP actions, in order
    QMap<QString, FakeMapping> m_mappings; // "8080/TCP"
    QStringList m_services;                // the service each SOAP action went to: "IP", "PPP"
    QString m_externalAddress = u"203.0.114.7"_s;
    QString m_status = u"Connected"_s; // GetStatusInfo; empty: the action is not known
    // A WANPPPConnection service listed before the WANIPConnection one, when m_ppp is set.
    bool m_ppp = false;
    QString m_pppExternalAddress;
    QString m_pppStatus;
    bool m_permanentOnly = false;
    bool m_refuseWith718 = false;
    bool m_emptyEntries = false; // GetSpecificPortMappingEntry: HTTP 200 with no values
    bool m_keepsDeleted = false; // DeletePortMapping answers done and keeps the mapping
    // An IGDv2 with a WANIPv6FirewallControl service at /ctl/IP6FCtl (or at this URL, when set).
    bool m_firewall = false;
    QByteArray m_firewallControl = "/ctl/IP6FCtl";
    bool m_pinholesAllowed = true;
    // The pinholes it holds, by ID: "address port protocol"; like a router in its secure mode it
    // opens one only for the address the request comes from.
    QMap<QString, QString> m_pinholes;
    int m_nextPinholeId = 7;

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++m_connections;
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->readAll());
                const qsizetype headEnd = buffer->indexOf("\r\n\r\n");
                if (headEnd < 0)
                    return;
                const QByteArray head = buffer->first(headEnd);
                static const QRegularExpression lengthPattern(
                    u"Content-Length: *([0-9]+)"_s, QRegularExpression::CaseInsensitiveOption);
                const auto length = lengthPattern.match(QString::fromLatin1(head));
                const qsizetype bodyLength = length.hasMatch() ? length.captured(1).toInt() : 0;
                if (buffer->size() < headEnd + 4 + bodyLength)
                    return;
                respond(socket, head, buffer->sliced(headEnd + 4, bodyLength));
                buffer->clear();
            });
        }
    }

    void respond(QTcpSocket* socket, const QByteArray& head, const QByteArray& body)
    {
        switch (m_part) {
        case Part::Huge: {
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n");
            QByteArray filler = "<root><device>";
            filler += QByteArray(1024 * 1024, 'x');
            socket->write(filler);
            return;
        }
        case Part::Slow: {
            auto* timer = new QTimer(socket);
            auto text = std::make_shared<QByteArray>(
                "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + descriptionXml("/ctl"));
            connect(timer, &QTimer::timeout, socket, [socket, text, timer] {
                if (text->isEmpty()) {
                    timer->stop();
                    return;
                }
                socket->write(text->first(1));
                text->remove(0, 1);
            });
            timer->start(50);
            return;
        }
        case Part::Redirect:
            socket->write("HTTP/1.1 302 Found\r\nLocation: http://10.1.2.3/rootDesc.xml\r\n"
                          "Content-Length: 0\r\n\r\n");
            return;
        case Part::Garbage: {
            QByteArray junk = "<root><device><serviceList><service><serviceType>urn:"
                              "schemas-upnp-org:service:WANIPConnection:1<<</>&&&;<controlURL";
            for (int i = 0; i < 4000; ++i)
                junk += char((i * 7919) % 256);
            reply(socket, 200, junk);
            return;
        }
        case Part::ControlElsewhere:
            if (head.startsWith("GET "))
                reply(socket, 200,
                      descriptionXml("http://127.0.0.2:" +
                                     QByteArray::number(m_server.serverPort()) + "/ctl"));
            else
                m_actions << u"(a SOAP call reached the device)"_s;
            return;
        case Part::Igd:
            break;
        }
        if (head.startsWith("GET /rootDesc.xml ")) {
            reply(socket, 200,
                  m_ppp ? descriptionWithPppFirst()
                        : descriptionXml("/ctl/IPConn",
                                         m_firewall ? m_firewallControl : QByteArray()));
            return;
        }
        if (m_firewall && head.startsWith("POST /ctl/IP6FCtl ")) {
            static const QRegularExpression pattern(u"SOAPAction: *\"[^#]*#([A-Za-z]+)\""_s,
                                                    QRegularExpression::CaseInsensitiveOption);
            const QString action = pattern.match(QString::fromLatin1(head)).captured(1);
            m_actions << action;
            firewallSoap(socket, action, QString::fromUtf8(body));
            return;
        }
        const bool ppp = m_ppp && head.startsWith("POST /ctl/PPPConn ");
        if (!head.startsWith("POST /ctl/IPConn ") && !ppp) {
            reply(socket, 404, {});
            return;
        }
        static const QRegularExpression actionPattern(u"SOAPAction: *\"[^#]*#([A-Za-z]+)\""_s,
                                                      QRegularExpression::CaseInsensitiveOption);
        const QString action = actionPattern.match(QString::fromLatin1(head)).captured(1);
        m_actions << action;
        m_services << (ppp ? u"PPP"_s : u"IP"_s);
        soap(socket, action, QString::fromUtf8(body), ppp);
    }

    static QString argument(const QString& body, const QString& name)
    {
        const QRegularExpression pattern(u'<' + name + u">([^<]*)</"_s + name + u'>');
        return pattern.match(body).captured(1);
    }

    void soap(QTcpSocket* socket, const QString& action, const QString& body, bool ppp)
    {
        const QString key =
            argument(body, u"NewExternalPort"_s) + u'/' + argument(body, u"NewProtocol"_s);
        QByteArray values;
        if (action == u"GetExternalIPAddress"_s) {
            values = "<NewExternalIPAddress>" +
                     (ppp ? m_pppExternalAddress : m_externalAddress).toUtf8() +
                     "</NewExternalIPAddress>";
        } else if (action == u"GetStatusInfo"_s) {
            const QString& status = ppp ? m_pppStatus : m_status;
            if (status.isEmpty())
                return fault(socket, 401, "Invalid Action");
            values = "<NewConnectionStatus>" + status.toUtf8() +
                     "</NewConnectionStatus><NewLastConnectionError>ERROR_NONE"
                     "</NewLastConnectionError><NewUptime>100</NewUptime>";
        } else if (action == u"GetSpecificPortMappingEntry"_s && m_emptyEntries) {
            // Nothing at all in the answer.
        } else if (action == u"GetSpecificPortMappingEntry"_s) {
            if (!m_mappings.contains(key))
                return fault(socket, 714, "NoSuchEntryInArray");
            const FakeMapping& m = m_mappings[key];
            values = "<NewInternalPort>" + QByteArray::number(m.internalPort) +
                     "</NewInternalPort><NewInternalClient>" + m.client.toUtf8() +
                     "</NewInternalClient><NewEnabled>1</NewEnabled>"
                     "<NewPortMappingDescription>" +
                     m.description.toUtf8() + "</NewPortMappingDescription><NewLeaseDuration>" +
                     QByteArray::number(m.lease) + "</NewLeaseDuration>";
        } else if (action == u"AddPortMapping"_s) {
            const QString client = argument(body, u"NewInternalClient"_s);
            const qint64 lease = argument(body, u"NewLeaseDuration"_s).toLongLong();
            if (m_refuseWith718 || (m_mappings.contains(key) && m_mappings[key].client != client))
                return fault(socket, 718, "ConflictInMappingEntry");
            if (m_permanentOnly && lease != 0)
                return fault(socket, 725, "OnlyPermanentLeasesSupported");
            m_mappings[key] = {client, argument(body, u"NewInternalPort"_s).toInt(),
                               argument(body, u"NewPortMappingDescription"_s), lease};
        } else if (action == u"DeletePortMapping"_s) {
            if (!m_mappings.contains(key))
                return fault(socket, 714, "NoSuchEntryInArray");
            if (!m_keepsDeleted)
                m_mappings.remove(key);
        } else {
            return fault(socket, 401, "Invalid Action");
        }
        reply(socket, 200,
              "<?xml version=\"1.0\"?>\r\n<s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
                  action.toLatin1() + "Response xmlns:u=\"urn:schemas-upnp-org:service:" +
                  (ppp ? "WANPPPConnection" : "WANIPConnection") + ":1\">" + values +
                  "</u:" + action.toLatin1() + "Response></s:Body></s:Envelope>\r\n");
    }

    void firewallSoap(QTcpSocket* socket, const QString& action, const QString& body)
    {
        QByteArray values;
        const QString id = argument(body, u"UniqueID"_s);
        if (action == u"GetFirewallStatus"_s) {
            values = "<FirewallEnabled>1</FirewallEnabled><InboundPinholeAllowed>" +
                     QByteArray(m_pinholesAllowed ? "1" : "0") + "</InboundPinholeAllowed>";
        } else if (action == u"AddPinhole"_s) {
            const QString client = argument(body, u"InternalClient"_s);
            QHostAddress peer = socket->peerAddress();
            peer.setScopeId(QString());
            if (QHostAddress(client) != peer)
                return fault(socket, 606, "Action not authorized");
            const QString pinhole = client + u' ' + argument(body, u"InternalPort"_s) + u' ' +
                                    argument(body, u"Protocol"_s);
            const QString uid = QString::number(m_nextPinholeId++);
            m_pinholes.insert(uid, pinhole);
            values = "<UniqueID>" + uid.toLatin1() + "</UniqueID>";
        } else if (action == u"CheckPinholeWorking"_s) {
            if (!m_pinholes.contains(id))
                return fault(socket, 704, "NoSuchEntry");
            values = "<IsWorking>1</IsWorking>";
        } else if (action == u"DeletePinhole"_s) {
            if (!m_pinholes.contains(id))
                return fault(socket, 704, "NoSuchEntry");
            m_pinholes.remove(id);
        } else {
            return fault(socket, 401, "Invalid Action");
        }
        reply(socket, 200,
              "<?xml version=\"1.0\"?>\r\n<s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
                  action.toLatin1() +
                  "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1\">" +
                  values + "</u:" + action.toLatin1() + "Response></s:Body></s:Envelope>\r\n");
    }

    static void fault(QTcpSocket* socket, int code, QByteArrayView text)
    {
        reply(socket, 500,
              "<?xml version=\"1.0\"?>\r\n<s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
              "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
              "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                  QByteArray::number(code) + "</errorCode><errorDescription>" + text.toByteArray() +
                  "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>\r\n");
    }

    static void reply(QTcpSocket* socket, int status, const QByteArray& body)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(status) +
                      " X\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    Part m_part;
    QHostAddress m_address;
    QTcpServer m_server;
};

// A NAT-PMP gateway on 127.0.0.1 (libnatpmp takes the reply only from the gateway's address).
class FakeNatpmp : public QObject
{
public:
    FakeNatpmp()
    {
        QVERIFY(m_socket.bind(kLoopback, 0));
        connect(&m_socket, &QUdpSocket::readyRead, this, &FakeNatpmp::answer);
    }
    quint16 port() const { return m_socket.localPort(); }

    bool m_silent = false;
    quint16 m_result = 0;                 // 3: network failure
    int m_publicPortOffset = 0;           // give another public port than asked for
    quint32 m_publicAddress = 0xcb007207; // 203.0.114.7
    QList<QByteArray> m_requests;

private:
    void answer()
    {
        while (m_socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            // Read into a buffer of its own size: NAT-PMP requests are 2 or 12 bytes.
            std::array<char, 64> request{};
            const qint64 size =
                m_socket.readDatagram(request.data(), qint64(request.size()), &from, &fromPort);
            if (size < 0)
                continue;
            m_requests << QByteArray(request.data(), qsizetype(size));
            if (m_silent || size < 2)
                continue;
            const quint8 op = quint8(request[1]);
            QByteArray reply(op == 0 ? 12 : 16, '\0');
            reply[1] = char(0x80 | op);
            qToBigEndian<quint16>(m_result, reply.data() + 2);
            qToBigEndian<quint32>(1000, reply.data() + 4);
            if (op == 0) {
                qToBigEndian<quint32>(m_publicAddress, reply.data() + 8);
            } else if (size >= 12) {
                const quint16 privatePort = qFromBigEndian<quint16>(request.data() + 4);
                const quint16 publicPort = qFromBigEndian<quint16>(request.data() + 6);
                const quint32 lifetime = qFromBigEndian<quint32>(request.data() + 8);
                qToBigEndian<quint16>(privatePort, reply.data() + 8);
                qToBigEndian<quint16>(lifetime == 0 ? 0 : quint16(publicPort + m_publicPortOffset),
                                      reply.data() + 10);
                qToBigEndian<quint32>(std::min<quint32>(lifetime, 7200), reply.data() + 12);
            }
            m_socket.writeDatagram(reply, from, fromPort);
        }
    }

    QUdpSocket m_socket;
};

// A PCP server on 127.0.0.1 that also answers NAT-PMP's public address request, as miniupnpd
// does on one port. It keeps each mapping's nonce and deletes a mapping only with it.
class FakePcp : public QObject
{
public:
    explicit FakePcp(const QHostAddress& address = kLoopback)
    {
        QVERIFY(m_socket.bind(address, 0));
        connect(&m_socket, &QUdpSocket::readyRead, this, &FakePcp::answer);
    }
    quint16 port() const { return m_socket.localPort(); }

    quint8 m_announceResult = 0;
    quint8 m_mapResult = 0;       // for MAP requests that create or renew
    int m_externalPortOffset = 0; // assign another external port than suggested
    quint32 m_maxLifetime = 7200;
    quint32 m_epoch = 4242;
    quint32 m_externalAddress = 0xcb007207; // 203.0.114.7
    bool m_strayReplyFirst = false;         // before each MAP reply, one with another nonce
    QList<QByteArray> m_requests;           // PCP requests only
    QHash<QString, QByteArray> m_nonces;    // "6/8080" -> the mapping's nonce

private:
    void answer()
    {
        while (m_socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            std::array<char, 1200> buffer{};
            const qint64 size =
                m_socket.readDatagram(buffer.data(), qint64(buffer.size()), &from, &fromPort);
            if (size < 2)
                continue;
            const QByteArray request(buffer.data(), qsizetype(size));
            if (request[0] == 0) { // NAT-PMP public address
                QByteArray reply(12, '\0');
                reply[1] = char(0x80);
                qToBigEndian<quint32>(m_epoch, reply.data() + 4);
                qToBigEndian<quint32>(0xcb007207, reply.data() + 8);
                m_socket.writeDatagram(reply, from, fromPort);
                continue;
            }
            m_requests << request;
            if (size < 24)
                continue;
            const quint8 op = quint8(request[1]);
            QByteArray reply(op == 1 ? 60 : 24, '\0');
            reply[0] = 2;
            reply[1] = char(0x80 | op);
            qToBigEndian<quint32>(m_epoch, reply.data() + 8);
            if (op == 0) {
                reply[3] = char(m_announceResult);
            } else if (op == 1 && size >= 60) {
                reply.replace(24, 36, request.mid(24, 36));
                const QByteArray nonce = request.mid(24, 12);
                const QString key = QString::number(quint8(request[36])) + u'/' +
                                    QString::number(qFromBigEndian<quint16>(request.data() + 40));
                const quint32 lifetime = qFromBigEndian<quint32>(request.data() + 4);
                quint8 result = m_mapResult;
                if (m_nonces.contains(key) && m_nonces[key] != nonce)
                    result = 2; // NOT_AUTHORIZED: another client's mapping
                if (result == 0 && lifetime == 0)
                    m_nonces.remove(key);
                else if (result == 0)
                    m_nonces[key] = nonce;
                reply[3] = char(result);
                qToBigEndian<quint32>(std::min(lifetime, m_maxLifetime), reply.data() + 4);
                const quint16 suggested = qFromBigEndian<quint16>(request.data() + 42);
                qToBigEndian<quint16>(quint16(suggested + m_externalPortOffset), reply.data() + 42);
                // The assigned external address, IPv4-mapped.
                reply[54] = char(0xff);
                reply[55] = char(0xff);
                qToBigEndian<quint32>(m_externalAddress, reply.data() + 56);
                if (m_strayReplyFirst) {
                    QByteArray stray = reply;
                    stray[24] = char(stray[24] ^ 0x5a);
                    m_socket.writeDatagram(stray, from, fromPort);
                }
            }
            m_socket.writeDatagram(reply, from, fromPort);
        }
    }

    QUdpSocket m_socket;
};

// A UDP socket that takes everything and answers nothing.
class Silence
{
public:
    Silence() { QVERIFY(m_socket.bind(kLoopback, 0)); }
    quint16 port() const { return m_socket.localPort(); }
    // What arrived so far, read out now.
    QList<QByteArray> received()
    {
        QList<QByteArray> out;
        while (m_socket.hasPendingDatagrams())
            out << m_socket.receiveDatagram().data();
        return out;
    }

private:
    QUdpSocket m_socket;
};

// Quick bounds for the tests, everything pointed at loopback.
SystemRouterSettings loopbackSettings(quint16 ssdpPort, quint16 natpmpPort)
{
    SystemRouterSettings settings;
    settings.discoveryMs = 600;
    settings.fetchMs = 500;
    settings.nameMs = 0; // no name queries for made-up addresses
    settings.ssdpAddress = u"127.0.0.1"_s;
    settings.ssdpPort = ssdpPort;
    settings.natpmpGateway = u"127.0.0.1"_s;
    settings.natpmpPort = natpmpPort;
    // PCP goes to the same server as NAT-PMP, as on a router.
    settings.pcpPort = natpmpPort;
    // The search over IPv6 stays on loopback too: to the IPv6 port of the same number, where
    // nothing answers unless a test puts something there.
    settings.ssdp6Address = u"::1"_s;
    settings.ssdp6Port = ssdpPort;
    return settings;
}

// A router on loopback that answers PCP (and no UPnP), with the nonces of the mappings made
// through it kept in a folder of their own.
struct PcpLan
{
    SystemRouterSettings settings() const
    {
        SystemRouterSettings settings = loopbackSettings(ssdp.port(), pcp.port());
        settings.mappingStorePath = state.filePath(u"mappings.json"_s);
        return settings;
    }

    QTemporaryDir state;
    Silence ssdp;
    FakePcp pcp;
};

// The longest a lookup may take with these settings: the search, two descriptions, two SOAP
// calls and the name.
int lookupBoundMs(const SystemRouterSettings& settings)
{
    return settings.discoveryMs + 4 * settings.fetchMs + settings.nameMs;
}

struct Timed
{
    RouterFacts facts;
    qint64 ms = 0;
};

Timed timedLookup(RouterClient& client, int port = 8080,
                  ProbeProtocol protocol = ProbeProtocol::Tcp, const QString& checkServerHost = {})
{
    QSignalSpy spy(&client, &RouterClient::lookedUp);
    QElapsedTimer clock;
    clock.start();
    client.lookup({port, protocol, checkServerHost});
    if (!spy.wait(20000))
        return {};
    return {spy.first().first().value<RouterFacts>(), clock.elapsed()};
}

ForwardResult runForward(RouterClient& client, const ForwardRequest& request, bool removing)
{
    QSignalSpy spy(&client, removing ? &RouterClient::unforwarded : &RouterClient::forwarded);
    if (removing)
        client.unforward(request);
    else
        client.forward(request);
    if (!spy.wait(20000))
        return {};
    return spy.first().first().value<ForwardResult>();
}

} // namespace

class TestHostileLan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void believesOnlyRepliesFromOwnSubnetsOnTheSender();
    void takesOnlyHttpUrlsOnIpv4Addresses();
    void decodesChunkedBodies();
    void readsAWellBehavedIgd();
    void readsThatThePortHasNoMapping();
    void takesAnEmptyMappingAnswerAsNoAnswer();
    void keepsAMappingsDeviceOnlyAsAnAddress();
    void acceptsARouterWithoutAUsableInternetAddress();
    void usesTheBestWanConnection_data();
    void usesTheBestWanConnection();
    void forwardsAndRemovesAMapping();
    void neverTakesAnotherDevicesPort();
    void forwardsAnotherExternalPort();
    void removalSeenNotDone();
    void reportsAConflictTheRouterFinds();
    void retriesWithAPermanentLease();
    void hostileDevices_data();
    void hostileDevices();
    void endsQuicklyWithNothingOnTheLan();
    void findsTheRouterThroughJunkReplies();
    void goesAtOnceMidLookup();
    void readsNatpmp();
    void readsNatpmpNetworkFailure();
    void forwardsOverNatpmp();
    void reportsAConflictOverNatpmp();
    void forwardsAnotherExternalPortOverNatpmp();
    void readsPcp();
    void fallsBackToNatpmpWithoutPcp();
    void pcpProbeKeepsTheLookupWithinItsBound();
    void forwardsOverPcpAndRemovesInALaterRun();
    void namesPcpRefusals_data();
    void namesPcpRefusals();
    void keepsTheNonceWhenTheRouterRefusesTheDelete();
    void takesOnlyThePcpReplyThatEchoesTheNonce();
    void takesBackAnotherPortOverPcp();
    void forwardsOverTheProtocolAskedFor();
    // IPv6 pinholes (IGDv2 WANIPv6FirewallControl), found by a search over IPv6.
    void takesHttpUrlsOnIpv6Literals();
    void believesIpv6RepliesOnlyOnTheSendersLink();
    void readsTheIpv6FirewallBesideTheIgd();
    void opensAndClosesAPinhole();
    void neverOpensAPinholeForAnotherComputer();
    void removesAPinholeInALaterRun();
    void refusesAFirewallControlOnAnotherHost();
    void opensAndClosesAPinholeOverPcp();
    void findsTheDefaultIpv6Route();
    void hostileDevicesOverIpv6_data();
    void hostileDevicesOverIpv6();
    void saysWhyANonceCannotBeRead();
    void mapsAnIpv6Address();
    void remembersWhatAPcpMapSaysOfTheOuterNat();
};

void TestHostileLan::believesOnlyRepliesFromOwnSubnetsOnTheSender()
{
    const QByteArray good =
        "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:5000/rootDesc.xml\r\n\r\n";
    QString why;
    const auto url = acceptSsdpReply(good, kLoopback, &why);
    QVERIFY2(url, qPrintable(why));
    QCOMPARE(url->port, 5000);
    QCOMPARE(url->path, QByteArray("/rootDesc.xml"));

    // Not on the sender, though on this machine's loopback subnet.
    QVERIFY(!acceptSsdpReply(good, kOtherLoopback, &why));
    QVERIFY(why.contains(u"not on the sender"_s));
    // A sender on none of this computer's subnets (a documentation address).
    const QByteArray far = "HTTP/1.1 200 OK\r\nLOCATION: http://198.51.100.1/d.xml\r\n\r\n";
    QVERIFY(!acceptSsdpReply(far, QHostAddress(u"198.51.100.1"_s), &why));
    QVERIFY(why.contains(u"subnets"_s));
    // https, names, two LOCATIONs, no LOCATION, no HTTP.
    for (const QByteArray& bad :
         {QByteArray("HTTP/1.1 200 OK\r\nLOCATION: https://127.0.0.1/d.xml\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://localhost/d.xml\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1/a\r\nLocation: "
                     "http://127.0.0.1/b\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nST: x\r\n\r\n"),
          QByteArray("NOTIFY * HTTP/1.1\r\nLOCATION: http://127.0.0.1/d.xml\r\n\r\n")})
        QVERIFY2(!acceptSsdpReply(bad, kLoopback, &why), bad.constData());
}

void TestHostileLan::takesOnlyHttpUrlsOnIpv4Addresses()
{
    const auto url = parseHttpUrl("http://192.168.1.1:49000/igd.xml?x=1");
    QVERIFY(url);
    QCOMPARE(url->host, QHostAddress(u"192.168.1.1"_s));
    QCOMPARE(url->port, 49000);
    QCOMPARE(url->path, QByteArray("/igd.xml?x=1"));
    QCOMPARE(parseHttpUrl("HTTP://10.0.0.1")->path, QByteArray("/"));
    for (const char* bad :
         {"https://10.0.0.1/", "http://router.lan/", "http://user@10.0.0.1/", "http://10.0.0.1:0/",
          "http://10.0.0.1:65536/", "http://10.0.0.1:80x/", "http://10.1/", "http://::1/",
          "http://10.0.0.1/a b", "http://10.0.0.1/\r\nX: y", "ftp://10.0.0.1/", ""})
        QVERIFY2(!parseHttpUrl(bad), bad);
}

void TestHostileLan::decodesChunkedBodies()
{
    bool malformed = false;
    QCOMPARE(decodeChunked("5\r\nhello\r\n6;x=y\r\n world\r\n0\r\n\r\n", &malformed),
             QByteArray("hello world"));
    QVERIFY(!decodeChunked("5\r\nhel", &malformed));
    QVERIFY(!malformed);
    QVERIFY(!decodeChunked("zz\r\nhello\r\n", &malformed));
    QVERIFY(malformed);
    QVERIFY(!decodeChunked("2\r\nhello\r\n", &malformed));
    QVERIFY(malformed);
    QVERIFY(!decodeChunked("fffffffff\r\n", &malformed));
    QVERIFY(malformed);
}

void TestHostileLan::readsAWellBehavedIgd()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_mappings[u"8080/TCP"_s] = {u"192.168.1.50"_s, 80, u"Camera"_s, 0};
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    const SystemRouterSettings settings = loopbackSettings(ssdp.port(), natpmp.port());
    RouterClient client(makeSystemRouterBackend(settings));

    const Timed lookup = timedLookup(client);
    const RouterFacts& facts = lookup.facts;
    qInfo("lookup with the fake IGD took %lld ms", lookup.ms);
    QVERIFY2(facts.found, qPrintable(facts.log.join(u'\n')));
    QCOMPARE(facts.via, Via::Upnp);
    QCOMPARE(facts.address, u"127.0.0.1"_s);
    QCOMPARE(facts.localAddress, u"127.0.0.1"_s);
    QCOMPARE(facts.externalAddress, u"203.0.114.7"_s);
    QVERIFY(facts.canMap);
    QVERIFY(facts.mappingQueried);
    QVERIFY(facts.mapping);
    QCOMPARE(facts.mapping->internalClient, u"192.168.1.50"_s);
    QCOMPARE(facts.mapping->internalPort, 80);
    QCOMPARE(facts.mapping->description, u"Camera"_s);
    QCOMPARE(facts.mapping->leaseSeconds, 0);
    QVERIFY(!facts.mapping->thisComputer);
    QVERIFY(facts.error.isEmpty());
    QVERIFY(!facts.log.isEmpty());
    QVERIFY(ssdp.m_lastSearch.startsWith("M-SEARCH * HTTP/1.1\r\n"));
    QVERIFY(ssdp.m_lastSearch.contains(
        "\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"));
    QVERIFY(ssdp.m_lastSearch.contains("\r\nMX: 1\r\n"));
    QCOMPARE(device.m_actions,
             (QStringList{u"GetExternalIPAddress"_s, u"GetSpecificPortMappingEntry"_s}));
    // The gateway answered at once: no waiting out the search, nor NAT-PMP.
    QVERIFY2(lookup.ms < settings.discoveryMs, qPrintable(QString::number(lookup.ms)));
}

void TestHostileLan::readsThatThePortHasNoMapping()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const RouterFacts facts = timedLookup(client, 9000, ProbeProtocol::Udp).facts;
    QVERIFY(facts.found);
    QVERIFY(facts.mappingQueried);
    QVERIFY(!facts.mapping);
    QVERIFY(facts.error.isEmpty());
}

void TestHostileLan::takesAnEmptyMappingAnswerAsNoAnswer()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_emptyEntries = true;
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    // HTTP 200 with no values: neither a mapping (to "nobody at :0") nor "no mapping".
    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY2(facts.found, qPrintable(facts.log.join(u'\n')));
    QVERIFY(!facts.mapping);
    QVERIFY(!facts.mappingQueried);
    QVERIFY2(facts.error.contains(u"named no device"_s), qPrintable(facts.error));

    // A forward is not refused for it: the router is asked, and would refuse a taken port.
    const ForwardResult added = runForward(client, {8090, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    QVERIFY(!added.conflict);
    QVERIFY(device.m_actions.contains(u"AddPortMapping"_s));
    QCOMPARE(device.m_mappings[u"8090/TCP"_s].client, u"127.0.0.1"_s);

    // Nothing is removed unseen: the mapping might be another device's.
    const ForwardResult removed = runForward(client, {8090, ProbeProtocol::Tcp, 0}, true);
    QVERIFY(!removed.ok);
    QVERIFY(removed.error.contains(u"named no device"_s));
    QVERIFY(!device.m_actions.contains(u"DeletePortMapping"_s));
    QVERIFY(device.m_mappings.contains(u"8090/TCP"_s));
}

void TestHostileLan::keepsAMappingsDeviceOnlyAsAnAddress()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    for (const QString& notAnAddress : {u"\x1b[2J192.168.1.50"_s, u"192.168.1.50 (camera)"_s,
                                        u"dvr.lan"_s, u"192.168.1.50:80"_s, u"2001:db8::5"_s}) {
        device.m_mappings[u"8080/TCP"_s] = {notAnAddress, 80, u"Camera"_s, 0};
        const RouterFacts facts = timedLookup(client).facts;
        QVERIFY(facts.mappingQueried);
        QVERIFY2(facts.mapping, qPrintable(notAnAddress));
        QVERIFY2(facts.mapping->internalClient.isEmpty(),
                 qPrintable(facts.mapping->internalClient));
        QVERIFY(!facts.mapping->thisComputer);
        QCOMPARE(facts.mapping->internalPort, 80);
        QCOMPARE(facts.mapping->description, u"Camera"_s);
        QVERIFY(facts.log.join(u'\n').contains(u"no IPv4 address: taken as unknown"_s));
        QVERIFY(!facts.log.join(u'\n').contains(u'\x1b'));

        // A mapping to an unknown device is still somebody's: a forward leaves it alone.
        const ForwardResult added = runForward(client, {8080, ProbeProtocol::Tcp, 3600}, false);
        QVERIFY(!added.ok);
        QVERIFY(added.conflict);
        QVERIFY(added.mapping);
        QVERIFY(added.mapping->internalClient.isEmpty());
        QVERIFY2(!added.error.contains(notAnAddress), qPrintable(added.error));
        QVERIFY(!device.m_actions.contains(u"AddPortMapping"_s));
    }

    // A well-formed address is kept as the router wrote it.
    device.m_mappings[u"8080/TCP"_s] = {u" 192.168.1.50 "_s, 80, u"Camera"_s, 0};
    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY(facts.mapping);
    QCOMPARE(facts.mapping->internalClient, u"192.168.1.50"_s);
}

void TestHostileLan::acceptsARouterWithoutAUsableInternetAddress()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    // What miniupnpd says when its WAN address is a reserved one: no address at all.
    device.m_externalAddress.clear();
    RouterFacts facts = timedLookup(client).facts;
    QVERIFY(facts.found);
    QCOMPARE(facts.via, Via::Upnp);
    QVERIFY(facts.externalAddress.isEmpty());
    QVERIFY(!facts.canMap);
    QVERIFY(facts.mappingQueried);

    // A router behind another NAT that gives its private address.
    device.m_externalAddress = u"10.0.0.2"_s;
    facts = timedLookup(client).facts;
    QVERIFY(facts.found);
    QCOMPARE(facts.externalAddress, u"10.0.0.2"_s);
    QVERIFY(!facts.canMap);

    // Not an address at all: kept out of the facts.
    device.m_externalAddress = u"<b>\x1b[2Jsomething</b>"_s;
    facts = timedLookup(client).facts;
    QVERIFY(facts.found);
    QVERIFY(facts.externalAddress.isEmpty());
    QVERIFY(!facts.canMap);
}

void TestHostileLan::usesTheBestWanConnection_data()
{
    // The router lists a WANPPPConnection first and a WANIPConnection second.
    QTest::addColumn<QString>("pppStatus"); // empty: GetStatusInfo is not known
    QTest::addColumn<QString>("pppAddress");
    QTest::addColumn<QString>("ipStatus");
    QTest::addColumn<QString>("ipAddress");
    QTest::addColumn<QString>("expected"); // the service used: "PPP" or "IP"

    const QString up = u"Connected"_s;
    const QString down = u"Disconnected"_s;
    const QString pppPublic = u"203.0.114.9"_s;
    const QString ipPublic = u"203.0.114.7"_s;
    QTest::newRow("PPP down, IP connected") << down << u"0.0.0.0"_s << up << ipPublic << u"IP"_s;
    QTest::newRow("PPP on a reserved address, IP public")
        << up << u"10.0.0.2"_s << up << ipPublic << u"IP"_s;
    QTest::newRow("PPP gives no address, IP public")
        << up << QString() << up << ipPublic << u"IP"_s;
    QTest::newRow("both connected and public: the first listed")
        << up << pppPublic << up << ipPublic << u"PPP"_s;
    QTest::newRow("PPP connected, IP down") << up << pppPublic << down << ipPublic << u"PPP"_s;
    QTest::newRow("PPP on a reserved address, IP down: connected first")
        << up << u"100.64.0.9"_s << down << ipPublic << u"PPP"_s;
    QTest::newRow("neither tells its status: the first listed")
        << QString() << pppPublic << QString() << ipPublic << u"PPP"_s;
}

void TestHostileLan::usesTheBestWanConnection()
{
    QFETCH(QString, pppStatus);
    QFETCH(QString, pppAddress);
    QFETCH(QString, ipStatus);
    QFETCH(QString, ipAddress);
    QFETCH(QString, expected);

    FakeDevice device(FakeDevice::Part::Igd);
    device.m_ppp = true;
    device.m_pppStatus = pppStatus;
    device.m_pppExternalAddress = pppAddress;
    device.m_status = ipStatus;
    device.m_externalAddress = ipAddress;
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY2(facts.found, qPrintable(facts.log.join(u'\n')));
    QCOMPARE(facts.externalAddress, expected == u"PPP"_s ? pppAddress : ipAddress);
    // The port's mapping was asked of the chosen service.
    const qsizetype entry = device.m_actions.indexOf(u"GetSpecificPortMappingEntry"_s);
    QVERIFY(entry >= 0);
    QCOMPARE(device.m_services[entry], expected);

    // And a forward goes through it too.
    const ForwardResult added = runForward(client, {8085, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    const qsizetype add = device.m_actions.indexOf(u"AddPortMapping"_s);
    QVERIFY(add >= 0);
    QCOMPARE(device.m_services[add], expected);
}

void TestHostileLan::forwardsAndRemovesAMapping()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    // With no lookup before: the forward searches by itself.
    const ForwardResult added = runForward(client, {9000, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    QVERIFY(!added.conflict);
    QVERIFY(!added.permanentOnly);
    QVERIFY(added.mapping);
    QCOMPARE(added.mapping->internalClient, u"127.0.0.1"_s);
    QCOMPARE(added.mapping->internalPort, 9000);
    QCOMPARE(added.mapping->leaseSeconds, 3600);
    QVERIFY(added.mapping->thisComputer);
    QVERIFY(!added.log.isEmpty());
    QVERIFY(device.m_mappings.contains(u"9000/TCP"_s));
    QCOMPARE(device.m_mappings[u"9000/TCP"_s].client, u"127.0.0.1"_s);
    QCOMPARE(device.m_mappings[u"9000/TCP"_s].description, u"Quillmere"_s);
    QCOMPARE(device.m_mappings[u"9000/TCP"_s].lease, 3600);

    const RouterFacts facts = timedLookup(client, 9000).facts;
    QVERIFY(facts.mapping);
    QVERIFY(facts.mapping->thisComputer);
    QCOMPARE(facts.mapping->description, u"Quillmere"_s);

    // A removal is followed by asking again: the mapping is seen gone.
    const ForwardResult removed = runForward(client, {9000, ProbeProtocol::Tcp, 0}, true);
    QVERIFY2(removed.ok, qPrintable(removed.error));
    QVERIFY(removed.seenGone);
    QVERIFY(!device.m_mappings.contains(u"9000/TCP"_s));
    QCOMPARE(device.m_actions.mid(device.m_actions.size() - 2),
             (QStringList{u"DeletePortMapping"_s, u"GetSpecificPortMappingEntry"_s}));

    // Removing what is not there is no failure, and asks nothing to be deleted.
    const int actions = int(device.m_actions.size());
    QVERIFY(runForward(client, {9000, ProbeProtocol::Tcp, 0}, true).ok);
    QCOMPARE(device.m_actions.size(), actions + 1);
    QCOMPARE(device.m_actions.last(), u"GetSpecificPortMappingEntry"_s);
}

// A router port other than the checked one: the mapping is made, read and removed under the
// external port, and goes to the checked port here.
void TestHostileLan::forwardsAnotherExternalPort()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const ForwardResult added = runForward(client, {9000, ProbeProtocol::Tcp, 3600, 50123}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    QCOMPARE(added.externalPort, 50123);
    QVERIFY(!device.m_mappings.contains(u"9000/TCP"_s));
    QVERIFY(device.m_mappings.contains(u"50123/TCP"_s));
    QCOMPARE(device.m_mappings[u"50123/TCP"_s].internalPort, 9000);
    QCOMPARE(describeForward(added, 9000, ProbeProtocol::Tcp, false),
             u"external port 50123/tcp now goes to this computer's port 9000 (127.0.0.1), lease "
             u"3600 s"_s);

    // Another device's mapping of the external port is left alone.
    device.m_mappings[u"50124/TCP"_s] = {u"192.168.1.20"_s, 22, u"ssh"_s, 0};
    const ForwardResult refused =
        runForward(client, {9000, ProbeProtocol::Tcp, 3600, 50124}, false);
    QVERIFY(!refused.ok);
    QVERIFY(refused.conflict);
    QCOMPARE(device.m_mappings[u"50124/TCP"_s].internalPort, 22);

    const ForwardResult removed = runForward(client, {9000, ProbeProtocol::Tcp, 0, 50123}, true);
    QVERIFY2(removed.ok, qPrintable(removed.error));
    QVERIFY(removed.seenGone);
    QVERIFY(!device.m_mappings.contains(u"50123/TCP"_s));
    QCOMPARE(describeForward(removed, 9000, ProbeProtocol::Tcp, true),
             u"external port 50123/tcp no longer goes to this computer"_s);
}

// A router that answers a removal and keeps the mapping has not removed it: asked again, it
// still lists it, and the removal is a failure.
void TestHostileLan::removalSeenNotDone()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_keepsDeleted = true;
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));
    QVERIFY(runForward(client, {50200, ProbeProtocol::Tcp, 120}, false).ok);
    const ForwardResult removed = runForward(client, {50200, ProbeProtocol::Tcp, 0}, true);
    QVERIFY(!removed.ok);
    QVERIFY(!removed.seenGone);
    QCOMPARE(removed.error, u"the router still lists the mapping after removing it"_s);
    QVERIFY(device.m_mappings.contains(u"50200/TCP"_s));
}

void TestHostileLan::neverTakesAnotherDevicesPort()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_mappings[u"8080/UDP"_s] = {u"192.168.1.50"_s, 8080, u"Game console"_s, 600};
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const ForwardResult added = runForward(client, {8080, ProbeProtocol::Udp, 3600}, false);
    QVERIFY(!added.ok);
    QVERIFY(added.conflict);
    QVERIFY(added.mapping);
    QCOMPARE(added.mapping->internalClient, u"192.168.1.50"_s);
    QCOMPARE(added.mapping->description, u"Game console"_s);
    QVERIFY(!added.mapping->thisComputer);
    QVERIFY(!device.m_actions.contains(u"AddPortMapping"_s));

    const ForwardResult removed = runForward(client, {8080, ProbeProtocol::Udp, 0}, true);
    QVERIFY(!removed.ok);
    QVERIFY(removed.error.contains(u"192.168.1.50"_s));
    QVERIFY(!device.m_actions.contains(u"DeletePortMapping"_s));
    QCOMPARE(device.m_mappings[u"8080/UDP"_s].client, u"192.168.1.50"_s);
}

void TestHostileLan::reportsAConflictTheRouterFinds()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_refuseWith718 = true;
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const ForwardResult added = runForward(client, {8081, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY(!added.ok);
    QVERIFY(added.conflict);
    QVERIFY(added.error.contains(u"718"_s));
    QVERIFY(device.m_mappings.isEmpty());
}

void TestHostileLan::retriesWithAPermanentLease()
{
    FakeDevice device(FakeDevice::Part::Igd);
    device.m_permanentOnly = true;
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const ForwardResult added = runForward(client, {8082, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error));
    QVERIFY(added.permanentOnly);
    QVERIFY(added.mapping);
    QCOMPARE(added.mapping->leaseSeconds, 0);
    QCOMPARE(device.m_mappings[u"8082/TCP"_s].lease, 0);
    QCOMPARE(device.m_actions.count(u"AddPortMapping"_s), 2);
}

void TestHostileLan::hostileDevices_data()
{
    QTest::addColumn<FakeDevice::Part>("part");
    QTest::addColumn<bool>("fromOtherSender"); // the SSDP reply comes from 127.0.0.2
    QTest::addColumn<QString>("expected");     // in the error or the log

    QTest::newRow("huge description") << FakeDevice::Part::Huge << false << u"larger than"_s;
    QTest::newRow("trickle") << FakeDevice::Part::Slow << false << u"no complete reply"_s;
    QTest::newRow("redirect") << FakeDevice::Part::Redirect << false << u"not followed"_s;
    QTest::newRow("garbage") << FakeDevice::Part::Garbage << false << u"no WANIPConnection"_s;
    QTest::newRow("control URL elsewhere")
        << FakeDevice::Part::ControlElsewhere << false << u"on another host"_s;
    QTest::newRow("LOCATION on another host")
        << FakeDevice::Part::Igd << true << u"not on the sender"_s;
}

void TestHostileLan::hostileDevices()
{
    QFETCH(FakeDevice::Part, part);
    QFETCH(bool, fromOtherSender);
    QFETCH(QString, expected);

    FakeDevice device(part);
    FakeSsdp ssdp(fromOtherSender ? kOtherLoopback : kLoopback);
    ssdp.m_location = device.location();
    Silence natpmp;
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), natpmp.port());
    settings.ssdpAddress = fromOtherSender ? kOtherLoopback.toString() : kLoopback.toString();
    RouterClient client(makeSystemRouterBackend(settings));

    const Timed lookup = timedLookup(client);
    qInfo("lookup took %lld ms", lookup.ms);
    const QString all = lookup.facts.error + u'\n' + lookup.facts.log.join(u'\n');
    QVERIFY2(!lookup.facts.found, qPrintable(all));
    QVERIFY2(all.contains(expected), qPrintable(all));
    QVERIFY2(lookup.ms <= 2 * lookupBoundMs(settings), qPrintable(QString::number(lookup.ms)));
    if (fromOtherSender)
        QCOMPARE(device.m_connections, 0);
    QVERIFY(device.m_actions.isEmpty());

    // A forward through such a device fails as plainly, within the same bound.
    const ForwardResult added = runForward(client, {8080, ProbeProtocol::Tcp, 60}, false);
    QVERIFY(!added.ok);
    QVERIFY(!added.error.isEmpty());
    QVERIFY(device.m_actions.isEmpty());
}

void TestHostileLan::endsQuicklyWithNothingOnTheLan()
{
    FakeSsdp ssdp; // takes the searches, answers none
    Silence natpmp;
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), natpmp.port());
    settings.discoveryMs = SystemRouterSettings{}.discoveryMs;
    settings.fetchMs = SystemRouterSettings{}.fetchMs;
    RouterClient client(makeSystemRouterBackend(settings));

    // The first hops run beside the search, towards loopback.
    const Timed lookup = timedLookup(client, 8080, ProbeProtocol::Tcp, u"127.0.0.1"_s);
    qInfo("lookup with nothing on the LAN took %lld ms", lookup.ms);
    QVERIFY(!lookup.facts.found);
    QCOMPARE(lookup.facts.via, Via::None);
    QVERIFY(!lookup.facts.log.isEmpty());
    QVERIFY2(lookup.ms < kNoRouterMs, qPrintable(QString::number(lookup.ms)));
    // With no answer the search went out a second time, in case the first was lost.
    QTRY_COMPARE(ssdp.m_searches, 2);
}

void TestHostileLan::findsTheRouterThroughJunkReplies()
{
    FakeDevice device(FakeDevice::Part::Igd);
    FakeSsdp ssdp;
    ssdp.m_location = device.location();
    // Every search draws 100 junk replies from one host on the LAN, and 20 from each of four
    // more, before the router's answer.
    ssdp.addJunkSender(kOtherLoopback, 100);
    for (const char* other : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"})
        ssdp.addJunkSender(QHostAddress(QString::fromLatin1(other)), 20);
    Silence natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const Timed lookup = timedLookup(client);
    const QString all = lookup.facts.error + u'\n' + lookup.facts.log.join(u'\n');
    QVERIFY2(lookup.facts.found, qPrintable(all));
    QCOMPARE(lookup.facts.via, Via::Upnp);
    QCOMPARE(lookup.facts.externalAddress, u"203.0.114.7"_s);
    // The log names some of the junk, not all of it.
    QVERIFY2(all.contains(u"more replies ignored"_s), qPrintable(all));
    QVERIFY2(lookup.facts.log.size() < 40, qPrintable(QString::number(lookup.facts.log.size())));
}

void TestHostileLan::goesAtOnceMidLookup()
{
    FakeSsdp ssdp; // takes the searches, answers none: the search runs its full time
    Silence natpmp;
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), natpmp.port());
    settings.discoveryMs = SystemRouterSettings{}.discoveryMs;
    auto client = std::make_unique<RouterClient>(makeSystemRouterBackend(settings));
    QSignalSpy lookedUp(client.get(), &RouterClient::lookedUp);
    client->lookup({8080, ProbeProtocol::Tcp, u"127.0.0.1"_s});
    QTRY_VERIFY(ssdp.m_searches >= 1);

    QElapsedTimer clock;
    clock.start();
    client.reset();
    const qint64 ms = clock.elapsed();
    qInfo("destroying a RouterClient mid-lookup took %lld ms", ms);
    QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
    QCoreApplication::processEvents();
    QCOMPARE(lookedUp.size(), 0);
}

void TestHostileLan::readsNatpmp()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY2(facts.found, qPrintable(facts.log.join(u'\n')));
    QCOMPARE(facts.via, Via::Natpmp);
    QCOMPARE(facts.address, u"127.0.0.1"_s);
    QCOMPARE(facts.localAddress, u"127.0.0.1"_s);
    QCOMPARE(facts.externalAddress, u"203.0.114.7"_s);
    QVERIFY(facts.canMap);
    QVERIFY(!facts.mappingQueried);
    QVERIFY(!facts.mapping);
    // Its public address request went out (beside PCP's ANNOUNCE, which the same port takes).
    QVERIFY(natpmp.m_requests.contains(QByteArray(2, '\0')));
}

void TestHostileLan::readsNatpmpNetworkFailure()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    natpmp.m_result = 3;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY(facts.found);
    QCOMPARE(facts.via, Via::Natpmp);
    QVERIFY(facts.externalAddress.isEmpty());
    QVERIFY(!facts.canMap);
    QVERIFY(facts.error.contains(u"network failure"_s));
}

void TestHostileLan::forwardsOverNatpmp()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    // After a lookup found NAT-PMP, a forward goes straight to it: no second search.
    QCOMPARE(timedLookup(client).facts.via, Via::Natpmp);
    const qsizetype lookupRequests = natpmp.m_requests.size();

    // "Until removed" is the longest lifetime NAT-PMP has; the router shortens it.
    const ForwardResult added = runForward(client, {8443, ProbeProtocol::Tcp, 0}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    QVERIFY(added.mapping);
    QCOMPARE(added.mapping->internalClient, u"127.0.0.1"_s);
    QCOMPARE(added.mapping->internalPort, 8443);
    QCOMPARE(added.mapping->leaseSeconds, 7200);
    QVERIFY(added.log.join(u'\n').contains(u"longest"_s));
    const QByteArray request = natpmp.m_requests.last();
    QCOMPARE(request.size(), 12);
    QCOMPARE(quint8(request[1]), 2); // TCP
    QCOMPARE(qFromBigEndian<quint16>(request.constData() + 4), 8443);
    QCOMPARE(qFromBigEndian<quint16>(request.constData() + 6), 8443);
    QCOMPARE(qFromBigEndian<quint32>(request.constData() + 8), 0xffffffffu);
    for (qsizetype i = lookupRequests; i < natpmp.m_requests.size(); ++i)
        QCOMPARE(quint8(natpmp.m_requests[i][1]), 2);

    // A removal names the private port, with 0 for the public port and the lifetime.
    const ForwardResult removed = runForward(client, {8443, ProbeProtocol::Tcp, 0}, true);
    QVERIFY2(removed.ok, qPrintable(removed.error));
    QCOMPARE(qFromBigEndian<quint16>(natpmp.m_requests.last().constData() + 4), 8443);
    QCOMPARE(qFromBigEndian<quint16>(natpmp.m_requests.last().constData() + 6), 0);
    QCOMPARE(qFromBigEndian<quint32>(natpmp.m_requests.last().constData() + 8), 0u);
}

// NAT-PMP names the external port as the suggested public port, and takes only that one.
void TestHostileLan::forwardsAnotherExternalPortOverNatpmp()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));
    const ForwardResult added = runForward(client, {8443, ProbeProtocol::Tcp, 3600, 50125}, false);
    QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
    QCOMPARE(added.externalPort, 50125);
    const QByteArray request = natpmp.m_requests.last();
    QCOMPARE(qFromBigEndian<quint16>(request.constData() + 4), 8443);
    QCOMPARE(qFromBigEndian<quint16>(request.constData() + 6), 50125);

    // Another public port than asked for is a conflict, and the stand-in is taken back.
    natpmp.m_publicPortOffset = 1;
    const ForwardResult other = runForward(client, {8444, ProbeProtocol::Tcp, 3600, 50126}, false);
    QVERIFY(!other.ok);
    QVERIFY(other.conflict);
    QVERIFY(other.error.contains(u"50127"_s));
}

void TestHostileLan::reportsAConflictOverNatpmp()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    natpmp.m_publicPortOffset = 1;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const ForwardResult added = runForward(client, {5000, ProbeProtocol::Udp, 3600}, false);
    QVERIFY(!added.ok);
    QVERIFY(added.conflict);
    QVERIFY(added.error.contains(u"5001"_s));
    // The stand-in mapping was taken back: a removal of the private port, with 0 for the public
    // port and the lifetime.
    const QByteArray last = natpmp.m_requests.last();
    QCOMPARE(last.size(), 12);
    QCOMPARE(quint8(last[1]), 1); // UDP
    QCOMPARE(qFromBigEndian<quint16>(last.constData() + 4), 5000);
    QCOMPARE(qFromBigEndian<quint16>(last.constData() + 6), 0);
    QCOMPARE(qFromBigEndian<quint32>(last.constData() + 8), 0u);
}

// PCP beside NAT-PMP on the gateway's one port: the lookup says PCP, its version and epoch,
// and takes the external address from NAT-PMP's answer.
void TestHostileLan::readsPcp()
{
    Silence ssdp;
    FakePcp pcp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), pcp.port())));

    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY2(facts.found, qPrintable(facts.log.join(u'\n')));
    QCOMPARE(facts.via, Via::Pcp);
    QCOMPARE(viaWord(facts.via), QLatin1StringView("pcp"));
    QVERIFY(facts.pcp);
    QVERIFY(facts.pcp->present);
    QCOMPARE(facts.pcp->version, 2);
    QCOMPARE(facts.pcp->epoch, std::optional<quint32>(4242));
    QCOMPARE(facts.address, u"127.0.0.1"_s);
    QCOMPARE(facts.externalAddress, u"203.0.114.7"_s);
    QVERIFY(facts.canMap);
    QVERIFY(describeRouter(facts, 8080, ProbeProtocol::Tcp).contains(u"over PCP"_s));
    // The ANNOUNCE: version 2, opcode 0, this computer's address in the IPv4-mapped form.
    QVERIFY(!pcp.m_requests.isEmpty());
    const QByteArray announce = pcp.m_requests.first();
    QCOMPARE(announce.size(), 24);
    QCOMPARE(quint8(announce[0]), 2);
    QCOMPARE(quint8(announce[1]), 0);
    QCOMPARE(announce.mid(8, 16), QByteArray::fromHex("00000000000000000000ffff7f000001"));
}

// A NAT-PMP server answers PCP's version with its own UNSUPP_VERSION: NAT-PMP is used.
void TestHostileLan::fallsBackToNatpmpWithoutPcp()
{
    Silence ssdp;
    FakeNatpmp natpmp;
    RouterClient client(makeSystemRouterBackend(loopbackSettings(ssdp.port(), natpmp.port())));

    const RouterFacts facts = timedLookup(client).facts;
    QCOMPARE(facts.via, Via::Natpmp);
    QVERIFY(facts.pcp);
    QVERIFY(!facts.pcp->present);
    QVERIFY(facts.log.join(u'\n').contains(u"UNSUPP_VERSION"_s));
    // The ANNOUNCE went to it, beside NAT-PMP's own request.
    QVERIFY(natpmp.m_requests.contains(QByteArray(2, '\0')));
    QVERIFY(std::any_of(natpmp.m_requests.begin(), natpmp.m_requests.end(),
                        [](const QByteArray& r) { return r.size() == 24 && r[0] == 2; }));

    // A forward then goes over NAT-PMP.
    const ForwardResult added = runForward(client, {8443, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error));
    QCOMPARE(natpmp.m_requests.last().size(), 12);
}

// Nothing answers PCP (nor anything else): the lookup keeps to its bound. The same bound, and
// the same check of it, as the lookup with nothing on the LAN.
void TestHostileLan::pcpProbeKeepsTheLookupWithinItsBound()
{
    Silence ssdp;
    Silence gateway;
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), gateway.port());
    settings.discoveryMs = SystemRouterSettings{}.discoveryMs;
    RouterClient client(makeSystemRouterBackend(settings));

    const Timed lookup = timedLookup(client);
    qInfo("lookup with a silent PCP gateway took %lld ms", lookup.ms);
    QVERIFY(!lookup.facts.found);
    QVERIFY(lookup.facts.pcp);
    QVERIFY(!lookup.facts.pcp->present);
    QVERIFY(lookup.facts.log.join(u'\n').contains(u"PCP: no answer"_s));
    QVERIFY2(lookup.ms < kNoRouterMs, qPrintable(QString::number(lookup.ms)));
    // The ANNOUNCE was sent (and sent again within the search: the first may be lost).
    const QList<QByteArray> received = gateway.received();
    QVERIFY(std::count_if(received.begin(), received.end(), [](const QByteArray& r) {
                return r.size() == 24 && r[0] == 2 && r[1] == 0;
            }) >= 2);
}

void TestHostileLan::forwardsOverPcpAndRemovesInALaterRun()
{
    QTemporaryDir state;
    Silence ssdp;
    FakePcp pcp;
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), pcp.port());
    settings.mappingStorePath = state.filePath(u"quillmere/mappings.json"_s);
    QByteArray nonce;
    {
        RouterClient client(makeSystemRouterBackend(settings));
        QCOMPARE(timedLookup(client).facts.via, Via::Pcp);
        // "Until removed" is the longest lifetime there is; the router shortens it.
        const ForwardResult added = runForward(client, {8443, ProbeProtocol::Udp, 0}, false);
        QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
        QVERIFY(!added.pcpResult || *added.pcpResult == 0);
        QVERIFY(added.mapping);
        QCOMPARE(added.mapping->internalClient, u"127.0.0.1"_s);
        QCOMPARE(added.mapping->internalPort, 8443);
        QCOMPARE(added.mapping->leaseSeconds, 7200);
        const QByteArray map = pcp.m_requests.last();
        QCOMPARE(map.size(), 60);
        QCOMPARE(quint8(map[1]), 1); // MAP
        QCOMPARE(qFromBigEndian<quint32>(map.constData() + 4), 0xffffffffu);
        QCOMPARE(quint8(map[36]), 17);                                 // UDP
        QCOMPARE(qFromBigEndian<quint16>(map.constData() + 40), 8443); // internal
        QCOMPARE(qFromBigEndian<quint16>(map.constData() + 42), 8443); // suggested external
        QCOMPARE(map.mid(44, 16), QByteArray::fromHex("00000000000000000000ffff00000000"));
        nonce = map.mid(24, 12);
        QVERIFY(nonce != QByteArray(12, '\0'));
    }
    // Another mapping's nonce differs.
    {
        RouterClient client(makeSystemRouterBackend(settings));
        QVERIFY(runForward(client, {8444, ProbeProtocol::Udp, 600}, false).ok);
        QVERIFY(pcp.m_requests.last().mid(24, 12) != nonce);
    }
    const MappingLoad stored = MappingStore(settings.mappingStorePath).load();
    QCOMPARE(stored.mappings.size(), 2);
    QCOMPARE(stored.mappings.first().nonce, nonce);
    QCOMPARE(stored.mappings.first().via, u"pcp"_s);
    QCOMPARE(stored.mappings.first().protocol, u"udp"_s);
    QCOMPARE(stored.mappings.first().externalPort, 8443);

    // A later run (a new backend, no lookup) removes it with the stored nonce.
    RouterClient later(makeSystemRouterBackend(settings));
    const ForwardResult removed = runForward(later, {8443, ProbeProtocol::Udp, 0}, true);
    QVERIFY2(removed.ok, qPrintable(removed.error + u'\n' + removed.log.join(u'\n')));
    const QByteArray remove = pcp.m_requests.last();
    QCOMPARE(qFromBigEndian<quint32>(remove.constData() + 4), 0u);
    QCOMPARE(remove.mid(24, 12), nonce);
    QCOMPARE(qFromBigEndian<quint16>(remove.constData() + 40), 8443);
    QVERIFY(!pcp.m_nonces.contains(u"17/8443"_s));
    QCOMPARE(MappingStore(settings.mappingStorePath).load().mappings.size(), 1);

    // One made with another external port is found by the port here too.
    QVERIFY(runForward(later, {8445, ProbeProtocol::Udp, 600, 50200}, false).ok);
    const QByteArray other = pcp.m_requests.last().mid(24, 12);
    QVERIFY(runForward(later, {8445, ProbeProtocol::Udp, 0}, true).ok);
    QCOMPARE(pcp.m_requests.last().mid(24, 12), other);
    QCOMPARE(qFromBigEndian<quint32>(pcp.m_requests.last().constData() + 4), 0u);
    QCOMPARE(MappingStore(settings.mappingStorePath).load().mappings.size(), 1);

    // With no nonce kept there is nothing to send: a clear message, and no request.
    const qsizetype sent = pcp.m_requests.size();
    const ForwardResult unknown = runForward(later, {9999, ProbeProtocol::Tcp, 0}, true);
    QVERIFY(!unknown.ok);
    QVERIFY2(unknown.error.contains(u"no nonce is kept for TCP port 9999"_s),
             qPrintable(unknown.error));
    QCOMPARE(pcp.m_requests.size(), sent);
}

void TestHostileLan::namesPcpRefusals_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("NOT_AUTHORIZED") << 2 << u"NOT_AUTHORIZED"_s;
    QTest::newRow("NO_RESOURCES") << 8 << u"NO_RESOURCES"_s;
    QTest::newRow("ADDRESS_MISMATCH") << 12 << u"ADDRESS_MISMATCH"_s;
    QTest::newRow("CANNOT_PROVIDE_EXTERNAL") << 11 << u"CANNOT_PROVIDE_EXTERNAL"_s;
    QTest::newRow("USER_EX_QUOTA") << 10 << u"USER_EX_QUOTA"_s;
    QTest::newRow("undefined") << 77 << u"RESULT_77"_s;
}

void TestHostileLan::namesPcpRefusals()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    PcpLan lan;
    lan.pcp.m_mapResult = quint8(code);
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    const ForwardResult added = runForward(client, {8080, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY(!added.ok);
    QCOMPARE(added.pcpResult, std::optional<int>(code));
    QVERIFY2(added.error.startsWith(u"PCP: "_s + name), qPrintable(added.error));
    // Nothing was made, so nothing is kept.
    QVERIFY(MappingStore(settings.mappingStorePath).load().missing);
}

// Another nonce than the mapping's is refused by the router; the stored one stays for a retry.
void TestHostileLan::keepsTheNonceWhenTheRouterRefusesTheDelete()
{
    PcpLan lan;
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    QVERIFY(runForward(client, {8080, ProbeProtocol::Tcp, 3600}, false).ok);
    // The router's nonce for the mapping changes (another client took it over).
    lan.pcp.m_nonces[u"6/8080"_s] = QByteArray(12, 'x');

    const ForwardResult removed = runForward(client, {8080, ProbeProtocol::Tcp, 0}, true);
    QVERIFY(!removed.ok);
    QCOMPARE(removed.pcpResult, std::optional<int>(2));
    QVERIFY2(removed.error.contains(u"NOT_AUTHORIZED"_s), qPrintable(removed.error));
    QCOMPARE(MappingStore(settings.mappingStorePath).load().mappings.size(), 1);
}

void TestHostileLan::takesOnlyThePcpReplyThatEchoesTheNonce()
{
    PcpLan lan;
    lan.pcp.m_strayReplyFirst = true;
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    const ForwardResult added = runForward(client, {8080, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY2(added.ok, qPrintable(added.error));
    QVERIFY(added.log.join(u'\n').contains(u"dropped: a reply with another nonce"_s));
}

void TestHostileLan::takesBackAnotherPortOverPcp()
{
    PcpLan lan;
    lan.pcp.m_externalPortOffset = 1;
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    const ForwardResult added = runForward(client, {5000, ProbeProtocol::Tcp, 3600}, false);
    QVERIFY(!added.ok);
    QVERIFY(added.conflict);
    QVERIFY(added.error.contains(u"5001"_s));
    // The stand-in was deleted with its own nonce, and nothing was kept.
    const QByteArray made = lan.pcp.m_requests.at(lan.pcp.m_requests.size() - 2);
    const QByteArray deleted = lan.pcp.m_requests.last();
    QCOMPARE(qFromBigEndian<quint32>(deleted.constData() + 4), 0u);
    QCOMPARE(deleted.mid(24, 12), made.mid(24, 12));
    QVERIFY(lan.pcp.m_nonces.isEmpty());
    QVERIFY(MappingStore(settings.mappingStorePath).load().missing);
}

void TestHostileLan::forwardsOverTheProtocolAskedFor()
{
    PcpLan lan;
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    QCOMPARE(timedLookup(client).facts.via, Via::Pcp);

    ForwardRequest request{8080, ProbeProtocol::Tcp, 3600};
    request.via = Via::Upnp;
    const ForwardResult upnp = runForward(client, request, false);
    QVERIFY(!upnp.ok);
    QVERIFY2(upnp.error.contains(u"did not answer UPnP"_s), qPrintable(upnp.error));

    request.via = Via::Pcp;
    const qsizetype before = lan.pcp.m_requests.size();
    QVERIFY(runForward(client, request, false).ok);
    QCOMPARE(lan.pcp.m_requests.size(), before + 1);
    QCOMPARE(quint8(lan.pcp.m_requests.last()[1]), 1);
}

void TestHostileLan::takesHttpUrlsOnIpv6Literals()
{
    const auto url = parseHttpUrl("http://[2001:db8:1::1]:5000/rootDesc.xml");
    QVERIFY(url);
    QCOMPARE(url->host, QHostAddress(u"2001:db8:1::1"_s));
    QCOMPARE(url->port, 5000);
    QCOMPARE(url->path, QByteArray("/rootDesc.xml"));
    QCOMPARE(url->toString(), u"http://[2001:db8:1::1]:5000/rootDesc.xml"_s);
    QCOMPARE(parseHttpUrl("http://[::1]")->port, 80);

    // A link-local address needs its interface, and keeps it.
    const auto linkLocal = parseHttpUrl("http://[fe80::1%25eth0]:5000/d.xml");
    QVERIFY(linkLocal);
    QCOMPARE(linkLocal->host.scopeId(), u"eth0"_s);
    QCOMPARE(linkLocal->hostText(), u"[fe80::1%25eth0]"_s);

    for (const char* bad :
         {"http://[2001:db8::1%25eth0]/", // a zone on an address that has none
          "http://[fe80::1%eth0]/", "http://[fe80::1%25]/", "http://[fe80::1%25a/b]/",
          "http://[fe80::1%25eth0\r\nX]/", "http://[::1/", "http://[zz::1]/", "http://[::1]x/",
          "http://[::1]:/", "http://[::1]:65536/", "http://[router.lan]/", "http://[1.2.3.4]/",
          "http://[::1]/a b"})
        QVERIFY2(!parseHttpUrl(bad), bad);
}

void TestHostileLan::believesIpv6RepliesOnlyOnTheSendersLink()
{
    QString why;
    const QByteArray onSender =
        "HTTP/1.1 200 OK\r\nLOCATION: http://[::1]:5000/rootDesc.xml\r\n\r\n";
    const auto url = acceptSsdp6Reply(onSender, kLoopback6, 0, &why);
    QVERIFY2(url, qPrintable(why));
    QCOMPARE(url->host, kLoopback6);
    QCOMPARE(url->port, 5000);

    // An address on no link of this computer's (a documentation prefix).
    const QByteArray far =
        "HTTP/1.1 200 OK\r\nLOCATION: http://[2001:db8:ffff::1]:5000/rootDesc.xml\r\n\r\n";
    QVERIFY(!acceptSsdp6Reply(far, kLoopback6, 0, &why));
    QVERIFY2(why.contains(u"not on the sender's link"_s), qPrintable(why));
    // A sender on no link of this computer's.
    QVERIFY(!acceptSsdp6Reply(far, QHostAddress(u"2001:db8:ffff::1"_s), 0, &why));
    QVERIFY2(why.contains(u"not on the link"_s), qPrintable(why));
    // A link-local LOCATION that is not the sender's own.
    QHostAddress sender(u"fe80::1"_s);
    sender.setScopeId(u"1"_s);
    const QByteArray otherLinkLocal =
        "HTTP/1.1 200 OK\r\nLOCATION: http://[fe80::2%251]:5000/rootDesc.xml\r\n\r\n";
    QVERIFY(!acceptSsdp6Reply(otherLinkLocal, sender, 1, &why));
    QVERIFY2(why.contains(u"not on the sender"_s), qPrintable(why));
    // The sender's own link-local address: taken, on the interface searched.
    const QByteArray ownLinkLocal =
        "HTTP/1.1 200 OK\r\nLOCATION: http://[fe80::1%251]:5000/rootDesc.xml\r\n\r\n";
    const auto linkLocal = acceptSsdp6Reply(ownLinkLocal, sender, 1, &why);
    QVERIFY2(linkLocal, qPrintable(why));
    QCOMPARE(linkLocal->host.scopeId(), u"1"_s);
    // An IPv4 LOCATION, a multicast one, a name, two LOCATIONs, no HTTP.
    for (const QByteArray& bad :
         {QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:5000/d.xml\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://[ff02::c]:5000/d.xml\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://localhost/d.xml\r\n\r\n"),
          QByteArray("HTTP/1.1 200 OK\r\nLOCATION: http://[::1]/a\r\nLOCATION: "
                     "http://[::1]/b\r\n\r\n"),
          QByteArray("NOTIFY * HTTP/1.1\r\nLOCATION: http://[::1]/d.xml\r\n\r\n")})
        QVERIFY2(!acceptSsdp6Reply(bad, kLoopback6, 0, &why), bad.constData());
}

namespace {

// An IGDv2 on ::1 that the search over IPv6 finds, and no IPv4 gateway.
struct Ipv6Lan
{
    Ipv6Lan()
        : ssdp6(kLoopback6)
        , device(FakeDevice::Part::Igd, kLoopback6)
    {
        device.m_firewall = true;
        ssdp6.m_location = device.location();
    }
    SystemRouterSettings settings() const
    {
        SystemRouterSettings settings = loopbackSettings(ssdp4.port(), natpmp.port());
        settings.ssdp6Address = u"::1"_s;
        settings.ssdp6Port = ssdp6.port();
        // On loopback the address a pinhole is for is ::1, this computer's own.
        settings.pinholeAddress = [](const QHostAddress&) { return u"::1"_s; };
        settings.pinholeStore = makeMemoryPinholeStore();
        return settings;
    }

    Silence ssdp4;
    Silence natpmp;
    FakeSsdp ssdp6;
    FakeDevice device;
};

} // namespace

void TestHostileLan::readsTheIpv6FirewallBesideTheIgd()
{
    Ipv6Lan lan;
    RouterClient client(makeSystemRouterBackend(lan.settings()));
    RouterFacts facts = timedLookup(client).facts;
    QVERIFY(facts.ipv6);
    QVERIFY(facts.ipv6->pinholeAllowed);
    QCOMPARE(facts.ipv6->via, Via::Upnp);
    QVERIFY(!facts.ipv6->pinhole);
    QVERIFY(lan.ssdp6.m_lastSearch.contains("HOST: [::1]:"));
    QVERIFY(lan.device.m_actions.contains(u"GetFirewallStatus"_s));

    // A firewall that takes no pinholes says so.
    lan.device.m_pinholesAllowed = false;
    facts = timedLookup(client).facts;
    QVERIFY(facts.ipv6);
    QVERIFY(!facts.ipv6->pinholeAllowed);

    // No search over IPv6 answered: nothing is said of the IPv6 firewall.
    lan.ssdp6.m_location.clear();
    facts = timedLookup(client).facts;
    QVERIFY(!facts.ipv6);
}

void TestHostileLan::opensAndClosesAPinhole()
{
    Ipv6Lan lan;
    RouterClient client(makeSystemRouterBackend(lan.settings()));
    ForwardRequest request{8080, ProbeProtocol::Udp, 0};
    request.ipv6 = true;

    const ForwardResult added = runForward(client, request, false);
    QVERIFY2(added.ok, qPrintable(added.error));
    QCOMPARE(added.kind, ForwardKind::Pinhole);
    QCOMPARE(added.via, Via::Upnp);
    QVERIFY(added.pinhole);
    QCOMPARE(added.pinhole->uniqueId, u"7"_s);
    QCOMPARE(added.pinhole->internalAddress, u"::1"_s);
    // IGDv2 has no pinhole without an end: its longest was asked for.
    QCOMPARE(added.pinhole->leaseSeconds, 86400);
    QCOMPARE(lan.device.m_pinholes.value(u"7"_s), u"::1 8080 17"_s);
    QVERIFY(describeForward(added, 8080, ProbeProtocol::Udp, false)
                .startsWith(u"the IPv6 pinhole for port 8080/udp is open (over UPnP)"_s));

    // The next lookup names it.
    const RouterFacts facts = timedLookup(client, 8080, ProbeProtocol::Udp).facts;
    QVERIFY(facts.ipv6 && facts.ipv6->pinhole);
    QCOMPARE(facts.ipv6->pinhole->uniqueId, u"7"_s);

    const ForwardResult removed = runForward(client, request, true);
    QVERIFY2(removed.ok, qPrintable(removed.error));
    QCOMPARE(removed.kind, ForwardKind::Pinhole);
    QVERIFY(removed.seenGone);
    QVERIFY(lan.device.m_pinholes.isEmpty());
    QVERIFY(lan.device.m_actions.contains(u"DeletePinhole"_s));

    // Nothing known to remove any more: said so, and the router is not asked.
    lan.device.m_actions.clear();
    const ForwardResult again = runForward(client, request, true);
    QVERIFY(!again.ok);
    QVERIFY2(again.error.contains(u"no pinhole this computer made"_s), qPrintable(again.error));
    QVERIFY(!lan.device.m_actions.contains(u"DeletePinhole"_s));
}

void TestHostileLan::neverOpensAPinholeForAnotherComputer()
{
    Ipv6Lan lan;
    SystemRouterSettings settings = lan.settings();
    for (const QString& other : {u"2001:db8:ffff::99"_s, u"fe80::99"_s, u"192.0.2.1"_s}) {
        settings.pinholeAddress = [other](const QHostAddress&) { return other; };
        RouterClient client(makeSystemRouterBackend(settings));
        ForwardRequest request{8080, ProbeProtocol::Tcp, 3600};
        request.ipv6 = true;
        lan.device.m_actions.clear();
        const ForwardResult added = runForward(client, request, false);
        QVERIFY(!added.ok);
        QVERIFY2(!added.error.isEmpty(), qPrintable(other));
        QVERIFY2(!lan.device.m_actions.contains(u"AddPinhole"_s), qPrintable(other));
        QVERIFY(lan.device.m_pinholes.isEmpty());
    }
    // The client refuses it by itself too, whoever calls it.
    QStringList log;
    UpnpClient upnp(500, 64 * 1024, &log);
    IgdService service{kLoopback6, *parseHttpUrl(lan.device.location()),
                       *parseHttpUrl("http://[::1]:1/ctl/IP6FCtl"),
                       kFirewallControlType.toByteArray()};
    PinholeClient pinholes(upnp, service, 500);
    const PinholeAdded added = pinholes.add(u"2001:db8:ffff::99"_s, 8080, ProbeProtocol::Tcp, 60);
    QVERIFY(!added.ok);
    QVERIFY(added.error.contains(u"not this computer's"_s));
    QVERIFY(!log.join(u'\n').contains(u"UPnP AddPinhole("_s));
}

void TestHostileLan::removesAPinholeInALaterRun()
{
    Ipv6Lan lan;
    QTemporaryDir state;
    QVERIFY(state.isValid());
    const QString path = state.filePath(u"quillmere/mappings.json"_s);
    ForwardRequest request{25565, ProbeProtocol::Tcp, 3600};
    request.ipv6 = true;
    {
        SystemRouterSettings settings = lan.settings();
        settings.pinholeStore = makeMappingPinholeStore(path);
        RouterClient client(makeSystemRouterBackend(settings));
        const ForwardResult added = runForward(client, request, false);
        QVERIFY2(added.ok, qPrintable(added.error));
    }
    // Kept for its owner only.
    QCOMPARE(QFile(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                          QFileDevice::WriteGroup | QFileDevice::WriteOther),
             QFileDevice::Permissions());
    QCOMPARE(lan.device.m_pinholes.size(), 1);
    {
        // The backend's own store: the mapping store the PCP nonces are kept in.
        SystemRouterSettings settings = lan.settings();
        settings.pinholeStore = nullptr;
        settings.mappingStorePath = path;
        RouterClient client(makeSystemRouterBackend(settings));
        const ForwardResult removed = runForward(client, request, true);
        QVERIFY2(removed.ok, qPrintable(removed.error));
        QCOMPARE(removed.pinhole->uniqueId, u"7"_s);
    }
    QVERIFY(lan.device.m_pinholes.isEmpty());

    // A damaged file holds nothing: a clear refusal, never a crash.
    QFile damaged(path);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{\"format\": 1, \"mappings\": [{\"via\": \"upnp-pinhole\", \"uniqueId\":");
    damaged.close();
    SystemRouterSettings settings = lan.settings();
    settings.pinholeStore = makeMappingPinholeStore(path);
    RouterClient client(makeSystemRouterBackend(settings));
    const ForwardResult removed = runForward(client, request, true);
    QVERIFY(!removed.ok);
    QVERIFY2(removed.error.contains(u"no pinhole this computer made"_s), qPrintable(removed.error));
    QVERIFY2(removed.error.contains(u"damaged"_s), qPrintable(removed.error));
}

void TestHostileLan::refusesAFirewallControlOnAnotherHost()
{
    Ipv6Lan lan;
    lan.device.m_firewallControl = "http://[2001:db8:ffff::1]:5000/ctl/IP6FCtl";
    RouterClient client(makeSystemRouterBackend(lan.settings()));
    const RouterFacts facts = timedLookup(client).facts;
    QVERIFY(!facts.ipv6);
    QVERIFY2(facts.log.join(u'\n').contains(u"is on another host; refused"_s),
             qPrintable(facts.log.join(u'\n')));
    QVERIFY(!lan.device.m_actions.contains(u"GetFirewallStatus"_s));
}

// Without an IGDv2 firewall control, a pinhole is a PCP MAP over IPv6 for this computer's
// address; its nonce is kept, and the delete later uses it.
void TestHostileLan::opensAndClosesAPinholeOverPcp()
{
    FakePcp pcp(kLoopback6);
    Silence ssdp;
    Silence natpmp;
    QTemporaryDir state;
    QVERIFY(state.isValid());
    SystemRouterSettings settings = loopbackSettings(ssdp.port(), natpmp.port());
    settings.pcp6Gateway = u"::1"_s;
    settings.pcpPort = pcp.port();
    settings.pinholeAddress = [](const QHostAddress&) { return u"::1"_s; };
    settings.mappingStorePath = state.filePath(u"mappings.json"_s);
    ForwardRequest request{8080, ProbeProtocol::Udp, 600};
    request.ipv6 = true;
    {
        RouterClient client(makeSystemRouterBackend(settings));
        const ForwardResult added = runForward(client, request, false);
        QVERIFY2(added.ok, qPrintable(added.error + u'\n' + added.log.join(u'\n')));
        QCOMPARE(added.kind, ForwardKind::Pinhole);
        QCOMPARE(added.via, Via::Pcp);
        QVERIFY(added.pinhole);
        QCOMPARE(added.pinhole->nonce.size(), 12);
        QVERIFY(added.pinhole->uniqueId.isEmpty());
        QCOMPARE(added.pinhole->internalAddress, u"::1"_s);
        QCOMPARE(pcp.m_requests.size(), 1);
        const QByteArray map = pcp.m_requests.last();
        QCOMPARE(quint8(map[1]), 1);                             // MAP
        QCOMPARE(map.mid(8, 16), QByteArray(15, '\0') + '\x01'); // the client's address: ::1
        QCOMPARE(quint8(map[36]), 17);                           // UDP
        QCOMPARE(qFromBigEndian<quint16>(map.constData() + 40), 8080);
        QCOMPARE(map.mid(24, 12), added.pinhole->nonce);
    }
    // A later run removes it with the nonce kept in the mapping store.
    RouterClient client(makeSystemRouterBackend(settings));
    const ForwardResult removed = runForward(client, request, true);
    QVERIFY2(removed.ok, qPrintable(removed.error));
    QCOMPARE(removed.via, Via::Pcp);
    const QByteArray deleted = pcp.m_requests.last();
    QCOMPARE(qFromBigEndian<quint32>(deleted.constData() + 4), 0u); // lifetime 0: delete
    QCOMPARE(deleted.mid(24, 12), pcp.m_requests.first().mid(24, 12));
    QVERIFY(pcp.m_nonces.isEmpty());
    QVERIFY(MappingStore(settings.mappingStorePath).load().mappings.isEmpty());
}

// The search over IPv6 goes out on the interface of the default IPv6 route, and the router on
// it (its link-local address) is the preferred answer.
void TestHostileLan::findsTheDefaultIpv6Route()
{
    const QByteArray zero(32, '0');
    const auto line = [&](const QByteArray& destination, const char* length, const QByteArray& hop,
                          const char* metric, const char* flags,
                          const char* interface) -> QByteArray {
        return destination + ' ' + length + ' ' + zero + " 00 " + hop + ' ' + metric +
               " 00000001 00000000 " + flags + "     " + interface + '\n';
    };
    const QByteArray routerOnEth = "fe800000000000000000000000000001";
    const QByteArray routerOnWlan = "fe800000000000000000000000000002";
    QByteArray table;
    table += line("20010db8000000000000000000000000", "40", zero, "00000100", "00000001", "eth0");
    table += line(zero, "00", routerOnEth, "00000400", "00000003", "eth0");
    table += line(zero, "00", routerOnWlan, "00000100", "00000003", "wlan0");
    table += line(zero, "00", zero, "00000010", "00000001", "tun0");        // no router
    table += line(zero, "00", routerOnEth, "00000001", "00000002", "eth1"); // not up
    table += line(zero, "00", zero, "ffffffff", "00200200", "lo");          // unreachable
    const Ipv6DefaultRoute route = defaultIpv6Route(table);
    QCOMPARE(route.interfaceName, u"wlan0"_s);
    QHostAddress expected(u"fe80::2"_s);
    expected.setScopeId(u"wlan0"_s);
    QCOMPARE(route.gateway, expected);
    QCOMPARE(route.gateway.scopeId(), u"wlan0"_s);

    QVERIFY(defaultIpv6Route({}).interfaceName.isEmpty());
    QVERIFY(defaultIpv6Route("garbage\n\n00 11 22\n").interfaceName.isEmpty());
}

// A damaged store of nonces: the removal says so, and nothing is sent.
void TestHostileLan::saysWhyANonceCannotBeRead()
{
    PcpLan lan;
    const SystemRouterSettings settings = lan.settings();
    QFile damaged(settings.mappingStorePath);
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{\"format\": 1, \"mappings\": [{\"via\"");
    damaged.close();
    RouterClient client(makeSystemRouterBackend(settings));
    QCOMPARE(timedLookup(client).facts.via, Via::Pcp);
    const qsizetype sent = lan.pcp.m_requests.size();
    const ForwardResult removed = runForward(client, {8080, ProbeProtocol::Tcp, 0}, true);
    QVERIFY(!removed.ok);
    QVERIFY2(removed.error.contains(u"damaged"_s) &&
                 removed.error.contains(settings.mappingStorePath),
             qPrintable(removed.error));
    QCOMPARE(lan.pcp.m_requests.size(), sent);
}

// MAP for an IPv6 address (a pinhole): the request goes from that address, names it as the
// client, and suggests the IPv6 "any" external address.
void TestHostileLan::mapsAnIpv6Address()
{
    QUdpSocket server;
    if (!server.bind(QHostAddress::LocalHostIPv6, 0))
        QSKIP("no IPv6 loopback here");
    QStringList log;
    PcpClient pcp(QHostAddress::LocalHostIPv6, server.localPort(), &log);
    PcpMapRequest request;
    request.protocol = ProbeProtocol::Udp;
    request.internalPort = 3074;
    request.internalAddress = QHostAddress::LocalHostIPv6;
    request.nonce = PcpClient::randomNonce();
    request.lifetime = 600;
    // map() blocks, so it runs on a thread of its own while the server answers from the event
    // loop.
    QByteArray received;
    connect(&server, &QUdpSocket::readyRead, &server, [&] {
        const QNetworkDatagram datagram = server.receiveDatagram(2048);
        received = datagram.data();
        QByteArray reply = received;
        reply[1] = char(0x81);
        reply[3] = 0;
        qToBigEndian<quint32>(300, reply.data() + 4);
        qToBigEndian<quint32>(5, reply.data() + 8);
        reply.replace(12, 12, QByteArray(12, '\0'));
        reply.replace(44, 16, QByteArray::fromHex("20010db8000000000000000000000042"));
        server.writeDatagram(datagram.makeReply(reply));
    });
    PcpMapReply reply;
    std::thread worker([&] { reply = pcp.map(request, deadlineIn(2000)); });
    QTRY_VERIFY(!received.isEmpty());
    worker.join();
    QVERIFY2(reply.ok(), qPrintable(reply.error + u'\n' + log.join(u'\n')));
    QCOMPARE(received.size(), 60);
    QCOMPARE(received.mid(8, 16), QByteArray(15, '\0') + '\x01'); // client ::1
    QCOMPARE(quint8(received[36]), 17);
    QCOMPARE(received.mid(44, 16), QByteArray(16, '\0')); // any IPv6 address
    QCOMPARE(reply.internalAddress, QHostAddress(QHostAddress::LocalHostIPv6));
    QCOMPARE(reply.externalAddress, QHostAddress(u"2001:db8::42"_s));
    QCOMPARE(reply.lifetime, 300u);
}

// The next lookups carry the last MAP's answer for the diagnosis: a mapping on a public address,
// or a refusal. A mapping on a reserved address (a NAT behind the carrier's) is left out.
void TestHostileLan::remembersWhatAPcpMapSaysOfTheOuterNat()
{
    PcpLan lan;
    const SystemRouterSettings settings = lan.settings();
    RouterClient client(makeSystemRouterBackend(settings));
    QVERIFY(!timedLookup(client).facts.pcpMapResult);

    lan.pcp.m_externalAddress = 0x64400702; // 100.64.7.2
    QVERIFY(runForward(client, {8080, ProbeProtocol::Tcp, 3600}, false).ok);
    QVERIFY(!timedLookup(client).facts.pcpMapResult);

    lan.pcp.m_externalAddress = 0xcb007207; // 203.0.114.7
    QVERIFY(runForward(client, {8081, ProbeProtocol::Tcp, 3600}, false).ok);
    QCOMPARE(timedLookup(client).facts.pcpMapResult, std::optional<int>(0));

    lan.pcp.m_mapResult = 8;
    QVERIFY(!runForward(client, {8082, ProbeProtocol::Tcp, 3600}, false).ok);
    QCOMPARE(timedLookup(client).facts.pcpMapResult, std::optional<int>(8));
}

void TestHostileLan::hostileDevicesOverIpv6_data()
{
    QTest::addColumn<FakeDevice::Part>("part");
    QTest::addColumn<QString>("expected"); // in the log

    QTest::newRow("huge description") << FakeDevice::Part::Huge << u"larger than"_s;
    QTest::newRow("trickle") << FakeDevice::Part::Slow << u"no complete reply"_s;
    QTest::newRow("redirect") << FakeDevice::Part::Redirect << u"not followed"_s;
    QTest::newRow("garbage") << FakeDevice::Part::Garbage << u"no WANIPv6FirewallControl"_s;
}

// The search over IPv6 reads what a device serves within the same bounds as over IPv4: nothing
// is taken from a device that serves too much, too slowly, elsewhere or garbage (the time the
// lookup took is printed), and a pinhole is not asked of it.
void TestHostileLan::hostileDevicesOverIpv6()
{
    QFETCH(FakeDevice::Part, part);
    QFETCH(QString, expected);

    FakeDevice device(part, kLoopback6);
    FakeSsdp ssdp6(kLoopback6);
    ssdp6.m_location = device.location();
    Silence ssdp4;
    Silence natpmp;
    SystemRouterSettings settings = loopbackSettings(ssdp4.port(), natpmp.port());
    settings.ssdp6Address = u"::1"_s;
    settings.ssdp6Port = ssdp6.port();
    settings.pinholeAddress = [](const QHostAddress&) { return u"::1"_s; };
    settings.pinholeStore = makeMemoryPinholeStore();
    RouterClient client(makeSystemRouterBackend(settings));

    const Timed lookup = timedLookup(client);
    qInfo("lookup took %lld ms", lookup.ms);
    const QString all = lookup.facts.log.join(u'\n');
    QVERIFY2(!lookup.facts.ipv6, qPrintable(all));
    QVERIFY2(all.contains(expected), qPrintable(all));
    QVERIFY(device.m_actions.isEmpty());

    ForwardRequest request{8080, ProbeProtocol::Tcp, 60};
    request.ipv6 = true;
    const ForwardResult added = runForward(client, request, false);
    QVERIFY(!added.ok);
    QVERIFY(!added.error.isEmpty());
    QVERIFY(device.m_actions.isEmpty());
}

QTEST_GUILESS_MAIN(TestHostileLan)
#include "tst_hostilelan.moc"
