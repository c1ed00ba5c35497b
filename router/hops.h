#pragma once

// The first hops towards a host, found the way tracepath finds them: UDP datagrams with a small
// time to live, and the ICMP "time exceeded" errors that come back, read from the socket's error
// queue (IP_RECVERR). It needs no privileges. Blocking and bounded: call it off the GUI thread.

#include "router/routerfacts.h"

#include <QList>
#include <QString>

namespace quillmere::router {

// Hops 1..maxHops towards `host` (a name or an address), in order of their time to live; a hop
// that did not answer is left out. Returns within `timeoutMs` in all, name lookup included.
QList<Hop> probeFirstHops(const QString& host, int maxHops, int timeoutMs);

} // namespace quillmere::router
