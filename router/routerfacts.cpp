#include "router/routerfacts.h"

namespace quillmere::router {

QLatin1StringView viaWord(Via via)
{
    switch (via) {
    case Via::Upnp:
        return QLatin1StringView("upnp");
    case Via::Natpmp:
        return QLatin1StringView("natpmp");
    case Via::Pcp:
        return QLatin1StringView("pcp");
    case Via::None:
        break;
    }
    return QLatin1StringView();
}

} // namespace quillmere::router
