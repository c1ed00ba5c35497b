#include "tests/nat/stunresponder.h"

#include "nat/stunendpoint.h"

#include <QNetworkDatagram>
#include <QTcpSocket>

#include <span>

namespace quillmere::nat::testing {

namespace {

const QHostAddress kPrimary(QHostAddress::LocalHost);
const QHostAddress kSecond(QStringLiteral("127.0.0.2"));

QByteArray bytesOf(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

std::optional<stun::Message> parse(const QByteArray& data)
{
    return stun::parseMessage(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size())));
}

} // namespace

StunResponder::StunResponder(Script script, QObject* parent)
    : QObject(parent)
    , m_script(std::move(script))
{
    // Four sockets on two addresses and two ports, the same two ports on both addresses: a port
    // free on 127.0.0.1 may be taken on 127.0.0.2, so try again with new ones then.
    for (int attempt = 0; attempt < 20 && !m_listening; ++attempt) {
        for (auto& socket : m_sockets)
            socket = std::make_unique<QUdpSocket>();
        if (!m_sockets[0]->bind(kPrimary, 0, QAbstractSocket::DontShareAddress) ||
            !m_sockets[1]->bind(kPrimary, 0, QAbstractSocket::DontShareAddress))
            continue;
        m_ports = {m_sockets[0]->localPort(), m_sockets[1]->localPort()};
        m_listening = m_sockets[2]->bind(kSecond, m_ports[0], QAbstractSocket::DontShareAddress) &&
                      m_sockets[3]->bind(kSecond, m_ports[1], QAbstractSocket::DontShareAddress);
    }
    if (!m_listening)
        return;
    for (int i = 0; i < 4; ++i)
        connect(m_sockets[std::size_t(i)].get(), &QUdpSocket::readyRead, this,
                [this, i] { read(i); });
    if (m_script.other == OtherAddress::OtherFamily) {
        m_otherFamily = std::make_unique<QUdpSocket>();
        m_listening = m_otherFamily->bind(QHostAddress::LocalHostIPv6, m_ports[1],
                                          QAbstractSocket::DontShareAddress);
        connect(m_otherFamily.get(), &QUdpSocket::readyRead, this, [this] {
            while (m_otherFamily->hasPendingDatagrams()) {
                m_otherFamily->receiveDatagram();
                ++m_otherFamilyCount;
            }
        });
    }
    if (m_script.tcp) {
        m_tcp = std::make_unique<QTcpServer>();
        m_listening = m_tcp->listen(kPrimary, m_ports[0]);
        connect(m_tcp.get(), &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* connection = m_tcp->nextPendingConnection()) {
                connection->setParent(this);
                connect(connection, &QTcpSocket::readyRead, this, [this, connection] {
                    if (connection->bytesAvailable() < 20)
                        return;
                    const auto request = parse(connection->readAll());
                    if (!request || request->kind != stun::MessageKind::Request)
                        return;
                    connection->write(bytesOf(stun::bindingSuccess(
                        request->transaction,
                        stunEndpoint(connection->peerAddress(), connection->peerPort()),
                        std::nullopt, std::nullopt)));
                    ++m_tcpAnswers;
                });
            }
        });
    }
}

stun::Endpoint StunResponder::mappedFor(int socketIndex, const QHostAddress& from, quint16 fromPort)
{
    if (m_script.mapping == PlayedMapping::Real)
        return stunEndpoint(from, fromPort);
    if (m_script.mapping == PlayedMapping::Independent && m_script.preservePort)
        return stunEndpoint(kExternal, fromPort);
    QString key = from.toString() + u':' + QString::number(fromPort);
    if (m_script.mapping == PlayedMapping::AddressDependent)
        key += u'>' + QString::number(socketIndex / 2);
    else if (m_script.mapping == PlayedMapping::AddressAndPortDependent)
        key += u'>' + QString::number(socketIndex);
    auto found = m_mappings.constFind(key);
    if (found == m_mappings.constEnd()) {
        const qsizetype n = m_mappings.size();
        const int port =
            n < m_script.externalPorts.size()
                ? m_script.externalPorts.at(n)
                : m_script.externalPorts.last() + int(n - m_script.externalPorts.size()) + 1;
        found = m_mappings.insert(key, port);
    }
    return stunEndpoint(kExternal, quint16(*found));
}

void StunResponder::answer(int fromSocket, const QByteArray& bytes, const QHostAddress& to,
                           quint16 toPort)
{
    m_sockets[std::size_t(fromSocket)]->writeDatagram(bytes, to, toPort);
}

void StunResponder::read(int index)
{
    QUdpSocket& socket = *m_sockets[std::size_t(index)];
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket.receiveDatagram();
        const auto request = parse(datagram.data());
        if (!request || request->kind != stun::MessageKind::Request ||
            request->method != stun::kBinding)
            continue;
        const QHostAddress from = datagram.senderAddress();
        const quint16 fromPort = quint16(datagram.senderPort());
        m_received.append(Received{index, from, fromPort, request->changeIp, request->changePort});
        if (m_script.silent || (m_script.silentOnOther && index >= 2))
            continue;

        int replyFrom = index;
        const bool change = request->changeIp || request->changePort;
        if (change && (m_script.refuseChange ||
                       (m_script.other == OtherAddress::UnnamedPort && request->changeIp))) {
            answer(index, bytesOf(stun::bindingError(request->transaction, 420)), from, fromPort);
            continue;
        }
        if (change && m_script.other == OtherAddress::Two) {
            replyFrom = index ^ (request->changeIp ? 2 : 0) ^ (request->changePort ? 1 : 0);
        } else if (change && (m_script.other == OtherAddress::OnePort ||
                              m_script.other == OtherAddress::UnnamedPort)) {
            // One address: the port change only, whatever else is asked.
            replyFrom = index ^ 1;
        }
        // The NAT's filter, played here: an answer from another address gets through
        // endpoint-independent filtering only, one from another port of the same address
        // address-dependent filtering too.
        const bool otherAddress = (replyFrom / 2) != (index / 2);
        const bool otherPort = (replyFrom % 2) != (index % 2);
        if (otherAddress && m_script.filtering != PlayedFiltering::Independent)
            continue;
        if (otherPort && m_script.filtering == PlayedFiltering::AddressAndPortDependent)
            continue;

        std::optional<stun::Endpoint> other;
        switch (m_script.other) {
        case OtherAddress::Two:
            other = stunEndpoint(kSecond, m_ports[1]);
            break;
        case OtherAddress::OnePort:
            other = stunEndpoint(kPrimary, m_ports[1]);
            break;
        case OtherAddress::None:
        case OtherAddress::UnnamedPort:
            break;
        case OtherAddress::OtherFamily:
            other = stunEndpoint(QHostAddress::LocalHostIPv6, m_ports[1]);
            break;
        case OtherAddress::Itself:
            other = stunEndpoint(kPrimary, m_ports[0]);
            break;
        }
        const QUdpSocket& sender = *m_sockets[std::size_t(replyFrom)];
        const stun::Endpoint origin = stunEndpoint(sender.localAddress(), sender.localPort());
        const stun::Endpoint mapped = mappedFor(index, from, fromPort);
        if (m_script.junkFirst)
            answer(replyFrom, QByteArrayLiteral("not a STUN message at all"), from, fromPort);
        if (m_script.wrongIdFirst) {
            stun::TransactionId wrong = request->transaction;
            wrong[0] ^= 0xff;
            answer(replyFrom,
                   bytesOf(stun::bindingSuccess(
                       wrong, stunEndpoint(QHostAddress(QStringLiteral("198.51.100.99")), 9), other,
                       origin)),
                   from, fromPort);
        }
        answer(replyFrom,
               bytesOf(stun::bindingSuccess(request->transaction, mapped, other, origin)), from,
               fromPort);
    }
}

} // namespace quillmere::nat::testing
