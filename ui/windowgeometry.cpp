#include "ui/windowgeometry.h"

#include "support/theme.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QMenuBar>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

int twipsToPixels(double twips)
{
    return int(std::lround(twips / kTwipsPerPixel));
}

} // namespace

WindowGeometry::WindowGeometry(QMainWindow& window, Ui::MainWindow& ui)
    : QObject(&window)
    , m_window(window)
    , m_ui(ui)
{
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
        m_previousFocusWindow = m_focusWindow;
        m_focusWindow = focus;
    });
}

QSize WindowGeometry::nonClientSize() const
{
    // Frame and title bar as the window system draws them. Without a window manager there is
    // none: count the design's title bar (the outer height 581 pixels over a 535-pixel client
    // area and the menu bar), so that the client area keeps its designed minimum height.
    const QSize frame = m_window.frameGeometry().size() - m_window.geometry().size();
    if (frame.width() > 0 || frame.height() > 0)
        return frame;
    return QSize(0, std::max(0, 581 - 535 - m_window.menuBar()->sizeHint().height()));
}

void WindowGeometry::resizeLayout()
{
    const QSize nonClient = nonClientSize();
    double width = (m_window.geometry().width() + nonClient.width()) * kTwipsPerPixel;
    double height = (m_window.geometry().height() + nonClient.height()) * kTwipsPerPixel;

    // The minimum size, enforced by the window system where it can.
    const QSize minimum(twipsToPixels(kMinWidthTwips) - nonClient.width(),
                        twipsToPixels(kMinHeightTwips) - nonClient.height());
    if (m_window.minimumSize() != minimum)
        m_window.setMinimumSize(minimum);
    if (width < kMinWidthTwips || height < kMinHeightTwips) {
        if (!m_window.isMinimized())
            m_window.resize(std::max(m_window.geometry().width(), minimum.width()),
                            std::max(m_window.geometry().height(), minimum.height()));
        width = std::max<double>(width, kMinWidthTwips);
        height = std::max<double>(height, kMinHeightTwips);
    }

    QWidget* line = m_ui.Line1;
    line->resize(std::max(0, twipsToPixels(width) - line->x()), line->height());
    m_ui.imgBG->resize(twipsToPixels(width), m_ui.imgBG->height());
    m_ui.shaWhite->resize(m_ui.shaWhite->width(), twipsToPixels(height));

    const QRect border = m_ui.shaBorder4->geometry();
    const double browserHeight = height - (border.y() + border.height()) * kTwipsPerPixel - 800;
    QWidget* browser = m_ui.WebBrowser1;
    browser->setGeometry(twipsToPixels(50), browser->y(), twipsToPixels(width - 150),
                         browserHeight > 0 ? twipsToPixels(browserHeight) : browser->height());
}

void WindowGeometry::activated()
{
    // Counts on the first activation and when activation comes from another window of this
    // program (the log window), not from another program or from a message box.
    // The window that had the focus before: the activation may arrive before or after the
    // application reports the new focus window.
    QWindow* before =
        m_focusWindow != m_window.windowHandle() ? m_focusWindow : m_previousFocusWindow;
    bool fromOwnWindow = false;
    if (before && before != m_window.windowHandle()) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowHandle() == before)
                fromOwnWindow = !qobject_cast<QDialog*>(widget);
        }
    }
    if (m_activatedOnce && !fromOwnWindow)
        return;
    m_activatedOnce = true;
    m_window.move(m_window.pos().x(), twipsToPixels(kActivatedTopTwips));
}

} // namespace quillmere
