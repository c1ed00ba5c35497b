#include "support/theme.h"

#include "common/textcolour.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextBrowser>
#include <QTextEdit>

#include <cmath>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

void setColour(QWidget& widget, QPalette::ColorRole role, const QColor& colour)
{
    QPalette palette = widget.palette();
    palette.setColor(role, colour);
    widget.setPalette(palette);
}

// Option buttons, check boxes and frames are opaque: their colour shows over the picture.
// Buttons fill with the Button role, other widgets with Window.
void setOpaqueBackground(QWidget& widget, const QColor& colour)
{
    setColour(widget, QPalette::Window, colour);
    setColour(widget, widget.backgroundRole(), colour);
    widget.setAutoFillBackground(true);
}

QSize screenSize(const ThemeContext& context)
{
    if (context.screenSize)
        return *context.screenSize;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->geometry().size();
    return QSize();
}

// Centres one axis when the window starts before the screen or ends beyond it. A window that
// ends exactly at the screen's edge stays.
std::optional<int> keepOnScreen(int startTwips, int lengthTwips, int screenTwips)
{
    if (startTwips < 0 || float(startTwips) + float(lengthTwips) > float(screenTwips)) {
        const double centred = screenTwips / 2.0 - lengthTwips / 2.0;
        return int(std::lround(centred / kTwipsPerPixel));
    }
    return std::nullopt;
}

} // namespace

QColor colorFromBgr(quint32 bgr)
{
    const Rgb rgb = rgbFromBgr(bgr);
    return QColor(rgb.red, rgb.green, rgb.blue);
}

ControlKind controlKind(const QWidget& widget)
{
    if (qobject_cast<const QPushButton*>(&widget))
        return ControlKind::CommandButton;
    if (qobject_cast<const QRadioButton*>(&widget))
        return ControlKind::OptionButton;
    if (qobject_cast<const QCheckBox*>(&widget))
        return ControlKind::CheckBox;
    if (qobject_cast<const QGroupBox*>(&widget))
        return ControlKind::Frame;
    if (qobject_cast<const QLabel*>(&widget))
        return ControlKind::Label;
    // The embedded browser is a text edit underneath, but not a text box.
    if (qobject_cast<const QTextBrowser*>(&widget))
        return ControlKind::Other;
    if (qobject_cast<const QLineEdit*>(&widget) || qobject_cast<const QPlainTextEdit*>(&widget) ||
        qobject_cast<const QTextEdit*>(&widget))
        return ControlKind::TextBox;
    if (qobject_cast<const QListView*>(&widget))
        return ControlKind::ListBox;
    return ControlKind::Other;
}

void ApplyTheme(QWidget& window, ThemeContext& context)
{
    context.ThemeBackColor = kThemeBackColor;
    const QColor back = colorFromBgr(context.ThemeBackColor);
    const QColor white = colorFromBgr(kTextBoxBackColor);
    const QColor black = colorFromBgr(kCaptionTextColor);

    setColour(window, QPalette::Window, back);
    window.setAutoFillBackground(true);

    const QString name = window.objectName();
    if (name != u"frmMain"_s && name != u"frmMainOrvelle"_s) {
        if (context.mainWindow)
            window.setWindowIcon(context.mainWindow->windowIcon());
        // A window's position and size include its frame.
        const QSize screen = screenSize(context) * kTwipsPerPixel;
        const QRect frame = window.frameGeometry();
        QPoint target = frame.topLeft();
        if (const auto x = keepOnScreen(frame.x() * kTwipsPerPixel, frame.width() * kTwipsPerPixel,
                                        screen.width()))
            target.setX(*x);
        if (const auto y = keepOnScreen(frame.y() * kTwipsPerPixel, frame.height() * kTwipsPerPixel,
                                        screen.height()))
            target.setY(*y);
        if (target != frame.topLeft())
            window.move(target);
    }

    const QList<QWidget*> controls = window.findChildren<QWidget*>();
    for (QWidget* control : controls) {
        switch (controlKind(*control)) {
        case ControlKind::CommandButton:
            setColour(*control, QPalette::Button, back);
            break;
        case ControlKind::OptionButton:
        case ControlKind::CheckBox:
            setOpaqueBackground(*control, back);
            setColour(*control, QPalette::WindowText, black);
            break;
        case ControlKind::Frame:
            setOpaqueBackground(*control, back);
            break;
        case ControlKind::Label:
            // Transparent labels keep showing what lies behind them.
            setColour(*control, QPalette::Window, back);
            break;
        case ControlKind::TextBox:
        case ControlKind::ListBox:
            setColour(*control, QPalette::Base, white);
            break;
        case ControlKind::Other:
            break;
        }
    }
}

} // namespace quillmere
