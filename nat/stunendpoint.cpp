#include "nat/stunendpoint.h"

#include <cstring>

namespace quillmere::nat {

QHostAddress hostAddress(const stun::Endpoint& endpoint)
{
    if (endpoint.ipv6)
        return QHostAddress(endpoint.address.data());
    return QHostAddress((quint32(endpoint.address[0]) << 24) |
                        (quint32(endpoint.address[1]) << 16) | (quint32(endpoint.address[2]) << 8) |
                        quint32(endpoint.address[3]));
}

stun::Endpoint stunEndpoint(const QHostAddress& address, quint16 port)
{
    stun::Endpoint result;
    result.port = port;
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(result.address.data(), &bytes, 16);
        result.ipv6 = true;
    } else {
        const quint32 value = address.toIPv4Address();
        result.address[0] = quint8(value >> 24);
        result.address[1] = quint8(value >> 16);
        result.address[2] = quint8(value >> 8);
        result.address[3] = quint8(value);
    }
    return result;
}

} // namespace quillmere::nat
