#pragma once

#include <QString>

class QApplication;
class QWidget;

namespace quillmere {

// The look every window of the program shares: one widget style on every platform, so that
// the theme's colours show the same everywhere, and the design's font.
void setUpApplicationLook(QApplication& app);

// The forms name the design font, "MS Sans Serif", in whole points. This gives every widget of
// `root` that sets its own font the installed face that stands in for it, at the design's
// sizes (8.25 and 9.75 points).
void applyDesignFonts(QWidget& root);

// The notes of a window are laid out for the design font. Where a word-wrapped label's text
// needs more height than its box with the face that stands in for that font, its font shrinks
// in quarter points until the text fits, rather than losing its last words.
void fitStaticLabels(QWidget& root);

// The uninstaller that lies beside the program.
QString uninstallerPath(const QString& programFolder);

// The command-line option that leaves the router on the LAN alone: no SSDP search, no NAT-PMP
// request, no first-hops probe (a check against a server on this computer, for one, cannot
// speak for the router anyway).
inline constexpr QStringView kNoRouterOption = u"--no-router";

// Whether the window asks the router beside its checks: unless `arguments` (the program's,
// its name first) hold --no-router.
bool asksRouter(const QStringList& arguments);

} // namespace quillmere
