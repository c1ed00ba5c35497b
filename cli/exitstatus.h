#pragma once

#include "engine/verdict.h"
#include "engine/verdictwords.h"

namespace quillmere::cli {

// Exit statuses of quillmere-check.
enum ExitStatus : int {
    kExitOpenHere = 0,
    kExitOpenElsewhere = 1,
    kExitNotOpen = 2,
    kExitNoResult = 3,
    kExitPortLocked = 4,
    kExitForwardFailed = 5, // --forward or --unforward could not be done
    kExitUnforwarded = 0,   // --unforward removed the mapping
    kExitForwarded = 0,     // --forward --external-port made the mapping over UDP (not checked)
    kExitReachable = 0,     // --service: a service accepted the server's connection
    kExitNotReachable = 2,  // --service: nothing accepted it
    kExitUnconfirmable = 6, // --service over UDP: sent, but a silent service cannot be confirmed
    kExitUsage = 64,
    kExitNatDone = 0,     // --nat without PORT: a STUN server answered
    kExitNatNoAnswer = 4, // --nat without PORT: no STUN server answered
};

// The exit status of a settled verdict, and of what a --service check found.
int exitStatusOf(VerdictKind kind);
int serviceExitStatus(ServiceReach reach);

} // namespace quillmere::cli
