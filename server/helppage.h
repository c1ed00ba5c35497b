#pragma once

#include <string_view>

namespace quillmere::server {

// The help page the desktop program ships, built into the server.
std::string_view helpPage();

} // namespace quillmere::server
