#pragma once

#include <QString>

class QApplication;

namespace quillmere {

// The look every window of the program shares: one widget style on every platform, so that
// the theme's colours show the same everywhere, and the design's font, "MS Sans Serif" 8.25 pt,
// with the closest fonts the system has standing in for it.
void setUpApplicationLook(QApplication& app);

// The uninstaller that lies beside the program.
QString uninstallerPath(const QString& programFolder);

} // namespace quillmere
