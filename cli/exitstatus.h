#pragma once

namespace quillmere::cli {

// Exit statuses of quillmere-check.
enum ExitStatus : int {
    kExitOpenHere = 0,
    kExitOpenElsewhere = 1,
    kExitNotOpen = 2,
    kExitNoResult = 3,
    kExitPortLocked = 4,
    kExitUsage = 64,
};

} // namespace quillmere::cli
