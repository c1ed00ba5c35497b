#pragma once

// A STUN server on loopback for the tests, that plays the NAT in front of its client: it listens
// on two addresses (127.0.0.1 and 127.0.0.2) and two ports, reports the mapped address a NAT of
// the chosen behaviour would give, and answers a change request (or not) as a NAT of the chosen
// filtering would let the answer through (or not). Never sends outside loopback.

#include "stun/stunmessage.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <QUdpSocket>

#include <array>
#include <memory>
#include <optional>

namespace quillmere::nat::testing {

enum class PlayedMapping {
    Real,                    // the client's own address and port, as with no NAT
    Independent,             // one external port per client port
    AddressDependent,        // a new external port per server address
    AddressAndPortDependent, // a new external port per server address and port
};

// Which answers to change requests get through to the client.
enum class PlayedFiltering {
    Independent,             // from the other address and port, and from the other port
    AddressDependent,        // from the other port only
    AddressAndPortDependent, // neither
};

// What the responder says of its other address.
enum class OtherAddress {
    Two,         // 127.0.0.2 and the second port: the four pairs serve RFC 5780
    OnePort,     // 127.0.0.1 and the second port: one address, the port change only
    None,        // no OTHER-ADDRESS; change requests are answered from where they came
    UnnamedPort, // no OTHER-ADDRESS, yet a change of port is served from the second port (a
                 // change of address is refused with 420)
    OtherFamily, // [::1] and the second port (a listener there records what arrives)
    Itself,      // its own primary address and port
};

struct Script
{
    PlayedMapping mapping = PlayedMapping::Independent;
    PlayedFiltering filtering = PlayedFiltering::Independent;
    OtherAddress other = OtherAddress::Two;
    bool silent = false;        // no answer over UDP at all
    bool silentOnOther = false; // no answer on the other address (tests II and III)
    bool preservePort = false;  // with Independent: the external port is the client's port
    // The external ports handed out in turn to new mappings (the last one repeats + 1).
    QList<int> externalPorts{40000, 40001, 40002};
    bool junkFirst = false;    // before each answer: bytes that are no STUN message
    bool wrongIdFirst = false; // before each answer: the answer with another transaction id
    bool refuseChange = false; // answer change requests with error 420
    bool tcp = false;          // answer Binding requests over TCP on the primary pair
};

struct Received
{
    int socket = 0; // 0: primary, 1: primary address other port, 2: other address primary port,
                    // 3: other address and port
    QHostAddress from;
    quint16 fromPort = 0;
    bool changeIp = false;
    bool changePort = false;
};

class StunResponder : public QObject
{
public:
    explicit StunResponder(Script script, QObject* parent = nullptr);

    bool listening() const { return m_listening; }
    quint16 port() const { return m_ports[0]; }
    quint16 otherPort() const { return m_ports[1]; }
    const QList<Received>& received() const { return m_received; }
    // Requests that arrived on [::1] (OtherAddress::OtherFamily only).
    int receivedOnOtherFamily() const { return m_otherFamilyCount; }
    int tcpAnswers() const { return m_tcpAnswers; }
    static inline const QHostAddress kExternal{QStringLiteral("203.0.113.7")};

private:
    void read(int index);
    stun::Endpoint mappedFor(int socketIndex, const QHostAddress& from, quint16 fromPort);
    void answer(int fromSocket, const QByteArray& bytes, const QHostAddress& to, quint16 toPort);

    Script m_script;
    bool m_listening = false;
    std::array<quint16, 2> m_ports{};
    std::array<std::unique_ptr<QUdpSocket>, 4> m_sockets;
    std::unique_ptr<QUdpSocket> m_otherFamily;
    int m_otherFamilyCount = 0;
    std::unique_ptr<QTcpServer> m_tcp;
    int m_tcpAnswers = 0;
    QList<Received> m_received;
    QMap<QString, int> m_mappings; // key of a mapping -> its external port
};

} // namespace quillmere::nat::testing
