#pragma once

// Which form of reply a client asks for through its Accept headers. The page a person or the
// program reads is the default; a script that lists application/json gets JSON instead.

#include <string>
#include <vector>

namespace quillmere::server {

// A qvalue in thousandths: "1" is 1000, "0.5" is 500.
using Quality = unsigned;

// True when the Accept values (every Accept field, in order) list application/json with a
// weight above 0 and no heavier text/html. Media types and parameter names are matched in any
// letter case; elements that cannot be read (a weight that is not a qvalue, say) are skipped.
bool prefersJson(const std::vector<std::string>& acceptValues);

} // namespace quillmere::server
