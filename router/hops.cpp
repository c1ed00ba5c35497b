#include "router/hops.h"

namespace quillmere::router {

QList<Hop> probeFirstHops(const QString& /*host*/, int /*maxHops*/, int /*timeoutMs*/)
{
    return {}; // not written yet
}

} // namespace quillmere::router
