#pragma once

#include <QString>

namespace quillmere {

// True when the program was started with exactly one argument, "VERSION" (case-sensitive).
bool isVersionMode(int argc, const char* const* argv);

// Writes the version ("1.0.39" and CR LF) to version.log in `folder`, replacing any older file.
// Returns false when the file could not be written.
bool writeVersionFile(const QString& folder);

} // namespace quillmere
