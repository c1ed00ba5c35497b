#include "router/natpmp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

QString natpmpErrorText(int code)
{
    switch (code) {
    case NATPMP_ERR_NOGATEWAYSUPPORT:
        return u"no NAT-PMP at the gateway"_s;
    case NATPMP_ERR_UNSUPPORTEDVERSION:
        return u"the gateway does not speak NAT-PMP version 0"_s;
    case NATPMP_ERR_UNSUPPORTEDOPCODE:
        return u"the gateway does not support that request"_s;
    case NATPMP_ERR_NOTAUTHORIZED:
        return u"not authorized (NAT-PMP turned off in the router?)"_s;
    case NATPMP_ERR_NETWORKFAILURE:
        return u"network failure: the router has no usable internet address"_s;
    case NATPMP_ERR_OUTOFRESOURCES:
        return u"the router is out of resources"_s;
    case NATPMP_ERR_UNDEFINEDERROR:
        return u"undefined error from the router"_s;
    case NATPMP_ERR_RECVFROM:
        return u"cannot read: "_s + QString::fromLocal8Bit(std::strerror(errno));
    case NATPMP_ERR_SENDERR:
        return u"cannot send: "_s + QString::fromLocal8Bit(std::strerror(errno));
    default:
        return u"libnatpmp error "_s + QString::number(code);
    }
}

// A result code the gateway itself sent (as opposed to a local failure or silence).
bool fromGateway(int code)
{
    return code == NATPMP_ERR_UNSUPPORTEDVERSION || code == NATPMP_ERR_UNSUPPORTEDOPCODE ||
           code == NATPMP_ERR_NOTAUTHORIZED || code == NATPMP_ERR_NETWORKFAILURE ||
           code == NATPMP_ERR_OUTOFRESOURCES || code == NATPMP_ERR_UNDEFINEDERROR;
}

} // namespace

NatpmpClient::NatpmpClient(const QString& gateway, quint16 port, QStringList* log)
    : m_port(port)
    , m_log(log)
{
    in_addr_t forced = 0;
    if (!gateway.isEmpty()) {
        bool ok = false;
        const quint32 address = QHostAddress(gateway).toIPv4Address(&ok);
        if (!ok) {
            m_log->append(u"NAT-PMP: gateway \""_s + gateway + u"\" is no IPv4 address"_s);
            return;
        }
        forced = htonl(address);
    }
    const int status = initnatpmp(&m_natpmp, gateway.isEmpty() ? 0 : 1, forced);
    if (status != 0) {
        m_log->append(status == NATPMP_ERR_CANNOTGETGATEWAY
                          ? u"NAT-PMP: no default gateway"_s
                          : u"NAT-PMP: cannot start ("_s + natpmpErrorText(status) + u')');
        return;
    }
    m_open = true;
    m_gateway = QHostAddress(ntohl(m_natpmp.gateway));
    if (m_port != NATPMP_PORT) {
        // libnatpmp always talks to port 5351; tests have their gateway elsewhere.
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_port);
        to.sin_addr.s_addr = m_natpmp.gateway;
        if (::connect(m_natpmp.s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
            m_log->append(u"NAT-PMP: cannot reach "_s + m_gateway.toString());
            closenatpmp(&m_natpmp);
            m_open = false;
        }
    }
}

NatpmpClient::~NatpmpClient()
{
    if (m_open)
        closenatpmp(&m_natpmp);
}

NatpmpReply NatpmpClient::publicAddress(Deadline until)
{
    if (!m_open)
        return {};
    m_log->append(u"NAT-PMP public address request to "_s + m_gateway.toString());
    const int sent = sendpublicaddressrequest(&m_natpmp);
    if (sent < 0) {
        NatpmpReply reply;
        reply.result = sent;
        reply.error = natpmpErrorText(sent);
        m_log->append(u"NAT-PMP: "_s + reply.error);
        return reply;
    }
    NatpmpReply reply = await(until, NATPMP_RESPTYPE_PUBLICADDRESS);
    if (reply.answered && reply.result == 0)
        m_log->append(u"NAT-PMP public address: "_s + reply.publicAddress);
    return reply;
}

NatpmpReply NatpmpClient::map(ProbeProtocol protocol, quint16 privatePort, quint16 publicPort,
                              quint32 lifetime, Deadline until)
{
    if (!m_open)
        return {};
    const bool udp = protocol == ProbeProtocol::Udp;
    m_log->append(u"NAT-PMP "_s + (udp ? u"UDP"_s : u"TCP"_s) + u" mapping request to "_s +
                  m_gateway.toString() + u": private port "_s + QString::number(privatePort) +
                  u", public port "_s + QString::number(publicPort) + u", lifetime "_s +
                  QString::number(lifetime) + u" s"_s);
    const int sent =
        sendnewportmappingrequest(&m_natpmp, udp ? NATPMP_PROTOCOL_UDP : NATPMP_PROTOCOL_TCP,
                                  privatePort, publicPort, lifetime);
    if (sent < 0) {
        NatpmpReply reply;
        reply.result = sent;
        reply.error = natpmpErrorText(sent);
        m_log->append(u"NAT-PMP: "_s + reply.error);
        return reply;
    }
    NatpmpReply reply =
        await(until, udp ? NATPMP_RESPTYPE_UDPPORTMAPPING : NATPMP_RESPTYPE_TCPPORTMAPPING);
    if (reply.answered && reply.result == 0)
        m_log->append(u"NAT-PMP mapping: private port "_s + QString::number(reply.privatePort) +
                      u", public port "_s + QString::number(reply.mappedPort) + u", lifetime "_s +
                      QString::number(reply.lifetime) + u" s"_s);
    return reply;
}

NatpmpReply NatpmpClient::await(Deadline until, int expectedType)
{
    NatpmpReply reply;
    for (;;) {
        int wait = msLeft(until);
        if (m_cancel && m_cancel->load()) {
            reply.error = u"no longer needed"_s;
            m_log->append(u"NAT-PMP: not waited for (UPnP answered)"_s);
            return reply;
        }
        if (wait <= 0) {
            reply.error = u"no answer"_s;
            m_log->append(u"NAT-PMP: no answer from "_s + m_gateway.toString());
            return reply;
        }
        timeval retry{};
        if (getnatpmprequesttimeout(&m_natpmp, &retry) == 0) {
            const qint64 retryMs = qint64(retry.tv_sec) * 1000 + retry.tv_usec / 1000;
            wait = int(std::clamp<qint64>(retryMs, 0, wait));
        }
        if (m_cancel)
            wait = std::min(wait, 50);
        pollfd entry{m_natpmp.s, POLLIN, 0};
        if (::poll(&entry, 1, wait) < 0 && errno != EINTR) {
            reply.error = u"poll failed"_s;
            return reply;
        }
        natpmpresp_t response{};
        const int status = readnatpmpresponseorretry(&m_natpmp, &response);
        if (status == NATPMP_TRYAGAIN || status == NATPMP_ERR_WRONGPACKETSOURCE)
            continue;
        if (status != 0) {
            reply.result = status;
            reply.answered = fromGateway(status);
            reply.error = natpmpErrorText(status);
            m_log->append(u"NAT-PMP: "_s + reply.error);
            return reply;
        }
        if (response.type != expectedType) {
            reply.result = NATPMP_ERR_UNSUPPORTEDOPCODE;
            reply.answered = true;
            reply.error = u"an answer of another kind"_s;
            m_log->append(u"NAT-PMP: "_s + reply.error);
            return reply;
        }
        reply.answered = true;
        if (expectedType == NATPMP_RESPTYPE_PUBLICADDRESS) {
            const quint32 address = ntohl(response.pnu.publicaddress.addr.s_addr);
            if (address != 0)
                reply.publicAddress = QHostAddress(address).toString();
        } else {
            reply.privatePort = response.pnu.newportmapping.privateport;
            reply.mappedPort = response.pnu.newportmapping.mappedpublicport;
            reply.lifetime = response.pnu.newportmapping.lifetime;
        }
        return reply;
    }
}

} // namespace quillmere::router
