#include "router/diagnosis.h"

namespace quillmere::router {

QLatin1StringView findingCode(Finding finding)
{
    switch (finding) {
    case Finding::ForwardedHere:
        return QLatin1StringView("forwarded-here");
    case Finding::ForwardedElsewhere:
        return QLatin1StringView("forwarded-elsewhere");
    case Finding::NotForwarded:
        return QLatin1StringView("not-forwarded");
    case Finding::ForwardedButBlocked:
        return QLatin1StringView("forwarded-but-blocked");
    case Finding::CarrierNat:
        return QLatin1StringView("carrier-nat");
    case Finding::DoubleNat:
        return QLatin1StringView("double-nat");
    case Finding::AnotherNat:
        return QLatin1StringView("another-nat");
    case Finding::NoRouter:
        return QLatin1StringView("no-router");
    case Finding::NoCheckResult:
        break;
    }
    return QLatin1StringView("no-check-result");
}

Diagnosis diagnose(const CheckFacts& /*check*/, const RouterFacts& /*router*/)
{
    return {}; // not written yet
}

} // namespace quillmere::router
