#include "session/report.h"

namespace quillmere::session {

using namespace Qt::StringLiterals;

VerdictKind CheckResult::kind() const
{
    if (portLocked || !verdict)
        return VerdictKind::Pending;
    return verdict->kind();
}

ServiceReach CheckResult::reach() const
{
    if (portLocked || !verdict)
        return ServiceReach::Pending;
    return serviceReach(*verdict);
}

QString CheckResult::addressText() const
{
    if (verdict && verdict->externalAddress)
        return *verdict->externalAddress;
    return u"address unknown"_s;
}

} // namespace quillmere::session
