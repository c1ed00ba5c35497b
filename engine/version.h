#pragma once

#include <QString>

namespace quillmere {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionRevision = 39;

// "1.0.39": the three numbers in plain decimal joined by dots.
QString versionText();

// Title of every message box the program shows.
inline constexpr char16_t kAppTitle[] = u"Quillmere";

} // namespace quillmere
