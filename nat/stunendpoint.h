#pragma once

// A STUN endpoint and the Qt address it names, both ways.

#include "stun/stunmessage.h"

#include <QHostAddress>

namespace quillmere::nat {

QHostAddress hostAddress(const stun::Endpoint& endpoint);
stun::Endpoint stunEndpoint(const QHostAddress& address, quint16 port);

} // namespace quillmere::nat
