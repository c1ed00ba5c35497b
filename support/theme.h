#pragma once

#include <QColor>
#include <QPointer>
#include <QSize>
#include <QWidget>

#include <optional>

namespace quillmere {

// Colours of the program's theme, as 24-bit values with red in the low byte.
inline constexpr quint32 kThemeBackColor = 0x62C2E9; // RGB(233, 194, 98)
inline constexpr quint32 kTextBoxBackColor = 0xFFFFFF;
inline constexpr quint32 kCaptionTextColor = 0x000000;
inline constexpr int kTwipsPerPixel = 15;

// A 24-bit colour value with red in the low byte, as a QColor.
QColor colorFromBgr(quint32 bgr);

// What the theming pass shares across the program's windows.
struct ThemeContext
{
    // The theme colour; 0 until the first window has been themed.
    quint32 ThemeBackColor = 0;
    // The main window: never moved by the pass, and the source of every other window's icon.
    QPointer<QWidget> mainWindow;
    // The screen size in pixels; the primary screen's when not set.
    std::optional<QSize> screenSize;
};

// The kinds of control the theming pass tells apart.
enum class ControlKind {
    CommandButton,
    OptionButton,
    CheckBox,
    Frame,
    Label,
    TextBox,
    ListBox,
    Other
};
ControlKind controlKind(const QWidget& widget);

// Gives `window` the program's colours: the window and its buttons, option buttons, check boxes,
// frames and labels take the theme colour, text and list boxes white, option and check box
// captions black. Every window but the main one also takes the main window's icon and is
// centred on each axis on which it reaches off the screen. Calling it again changes nothing.
void ApplyTheme(QWidget& window, ThemeContext& context);

} // namespace quillmere
