#include "cli/exitstatus.h"

namespace quillmere::cli {

int exitStatusOf(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::OpenHere:
        return kExitOpenHere;
    case VerdictKind::OpenElsewhere:
        return kExitOpenElsewhere;
    case VerdictKind::NotOpen:
        return kExitNotOpen;
    case VerdictKind::NoResult:
    case VerdictKind::Pending:
        break;
    }
    return kExitNoResult;
}

int serviceExitStatus(ServiceReach reach)
{
    switch (reach) {
    case ServiceReach::Reachable:
        return kExitReachable;
    case ServiceReach::NotReachable:
        return kExitNotReachable;
    case ServiceReach::Unconfirmable:
        return kExitUnconfirmable;
    case ServiceReach::NoResult:
    case ServiceReach::Pending:
        break;
    }
    return kExitNoResult;
}

} // namespace quillmere::cli
