#pragma once

#include "wire/version.h"

#include <QString>

namespace quillmere {

// "1.0.39", as set in the build.
inline QString versionText()
{
    return QString::fromLatin1(kVersion);
}

// Title of every message box the program shows.
inline constexpr char16_t kAppTitle[] = u"Quillmere";

} // namespace quillmere
