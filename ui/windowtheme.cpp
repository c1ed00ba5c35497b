#include "ui/windowtheme.h"

#include "support/theme.h"
#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

namespace quillmere {

namespace {

void colourMenus(QMainWindow& window, Ui::MainWindow& ui)
{
    const QColor back = colorFromBgr(kMenuBackColor);
    auto paint = [&back](QWidget& widget) {
        QPalette palette = widget.palette();
        palette.setColor(QPalette::Window, back);
        palette.setColor(QPalette::Button, back);
        palette.setColor(QPalette::Base, back);
        widget.setPalette(palette);
        widget.setAutoFillBackground(true);
    };
    paint(*window.menuBar());
    // Both drop-down menus and any menus below them.
    for (QMenu* menu : {ui.mnuFile, ui.mnuOptions}) {
        paint(*menu);
        for (QMenu* sub : menu->findChildren<QMenu*>())
            paint(*sub);
    }
}

} // namespace

void paintMainWindow(QMainWindow& window, Ui::MainWindow& ui, ThemeContext& theme)
{
    ApplyTheme(window, theme);

    const QColor panel = colorFromBgr(theme.ThemeBackColor);
    for (ShapeWidget* band : {ui.shaBack1, ui.shaBack2, ui.shaBack3, ui.shaBack4})
        band->setFillColor(panel);

    colourMenus(window, ui);
}

} // namespace quillmere
