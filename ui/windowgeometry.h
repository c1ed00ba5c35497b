#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>

class QMainWindow;
class QWindow;

namespace Ui {
class MainWindow;
}

namespace quillmere {

// The main window's size and place in twips, as the form was designed: its minimum size, the
// rule, picture, white column and help pane stretched to the window, and the top edge brought
// back to 200 twips on the first activation and whenever activation returns from another window
// of the program.
class WindowGeometry : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMinWidthTwips = 11700;
    static constexpr int kMinHeightTwips = 8715;
    static constexpr int kActivatedTopTwips = 200;

    WindowGeometry(QMainWindow& window, Ui::MainWindow& ui);

    void resizeLayout();
    // The window was activated.
    void activated();

private:
    QSize nonClientSize() const;

    QMainWindow& m_window;
    Ui::MainWindow& m_ui;
    bool m_activatedOnce = false;
    QPointer<QWindow> m_focusWindow;
    QPointer<QWindow> m_previousFocusWindow;
};

} // namespace quillmere
