#pragma once

// One finding from what the check saw from outside and what the router says from inside: why a
// port is or is not open, and what to do next. A pure function, so every combination can be
// tried without a network.

#include "engine/verdict.h"
#include "router/routerfacts.h"

#include <QLatin1StringView>
#include <QString>
#include <QStringList>

namespace quillmere::router {

enum class Finding {
    ForwardedHere,       // "forwarded-here"
    ForwardedElsewhere,  // "forwarded-elsewhere"
    NotForwarded,        // "not-forwarded"
    ForwardedButBlocked, // "forwarded-but-blocked"
    CarrierNat,          // "carrier-nat"
    DoubleNat,           // "double-nat"
    AnotherNat,          // "another-nat"
    NoRouter,            // "no-router"
    NoCheckResult,       // "no-check-result": the check server gave no result to judge by
};

// The code scripts read: "forwarded-here", "carrier-nat", ...
QLatin1StringView findingCode(Finding finding);

// What the check from outside saw.
struct CheckFacts
{
    VerdictKind verdict = VerdictKind::NoResult;
    QString externalAddress; // the address the server saw (and probed); empty when unknown
    bool pingOk = false;
    QStringList localAddresses; // this computer's own addresses
};

struct Diagnosis
{
    Finding finding = Finding::NoRouter;
    QString headline; // one sentence: what is the case
    QString nextStep; // one or two sentences a person can follow

    QString text() const { return headline + u' ' + nextStep; }
};

Diagnosis diagnose(const CheckFacts& check, const RouterFacts& router);

} // namespace quillmere::router
