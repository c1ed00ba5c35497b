#pragma once

// The first hops towards a host, found the way tracepath finds them: UDP datagrams with a small
// time to live, and the ICMP "time exceeded" errors that come back, read from the socket's error
// queue (IP_RECVERR). It needs no privileges. Blocking and bounded: call it off the GUI thread.

#include "router/boundedcall.h"
#include "router/routerfacts.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <functional>

namespace quillmere::router {

// Hops 1..maxHops towards `host` (a name or an address), in order of their time to live; a hop
// that did not answer is left out. Returns within `timeoutMs` in all, name lookup included.
//
// The last hop is the host itself when its "port unreachable" came back (the way ends there);
// towards this computer's own address that is hop 1. Nothing past the end of the way is kept,
// and neither is a router that answered with another "unreachable": it is no hop to the host.
// A cancelled `cancel` ends the name lookup's wait at once. Linux only (elsewhere: empty).
QList<Hop> probeFirstHops(const QString& host, int maxHops, int timeoutMs,
                          const CancelToken& cancel = CancelToken());

namespace hops_detail {

// Looks `host` up by `lookup`, which may block as long as it likes: it runs as a BoundedCall, and
// the answer is dropped when it comes after `timeoutMs` or after `cancel` was cancelled (the
// thread is left to finish by itself; the system resolver ends it within its own time-outs). An
// address literal needs no lookup, and a name that is no host name (a label longer than 63
// characters, spaces, ...) is refused without one. Null when there is no answer in time. An IPv4
// address is preferred.
using Lookup = std::function<QList<QHostAddress>(const QString& host)>;
QHostAddress resolveWithin(const QString& host, int timeoutMs, const Lookup& lookup,
                           const CancelToken& cancel = CancelToken());

// The system resolver (getaddrinfo).
QList<QHostAddress> systemLookup(const QString& host);

// Whether `host` is written like a host name: dot-separated labels of letters, digits, '-' and
// '_', 1..63 characters each, 253 in all.
bool isHostName(const QString& host);

} // namespace hops_detail

} // namespace quillmere::router
