#pragma once

#include <QtGlobal>

class QMainWindow;

namespace Ui {
class MainWindow;
}

namespace quillmere {

struct ThemeContext;

// The menus' background colour, RGB(240, 205, 126).
inline constexpr quint32 kMenuBackColor = 0x7ECDF0;

// Paints the main window in the theme: the theme's colours, the bands behind the side panels'
// headings in the theme's back colour, and the menu bar and its menus in kMenuBackColor.
void paintMainWindow(QMainWindow& window, Ui::MainWindow& ui, ThemeContext& theme);

} // namespace quillmere
