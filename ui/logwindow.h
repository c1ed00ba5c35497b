#pragma once

#include <QWidget>

#include <memory>

class QPlainTextEdit;

namespace Ui {
class LogWindow;
}

namespace quillmere {

struct ThemeContext;

// frmLogs: the two exchange logs side by side, above all other windows. Each opening is a new
// window; closing it destroys it. `logWindowOpen` is true from its load until it closes.
class LogWindow : public QWidget
{
    Q_OBJECT

public:
    LogWindow(ThemeContext& theme, bool& logWindowOpen);
    ~LogWindow() override;

    QPlainTextEdit* httpBox() const;
    QPlainTextEdit* listenerBox() const;

Q_SIGNALS:
    // "Close" was pressed: the main window unticks its check box, which closes this window.
    void closePressed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void cmdCloseClick();

    std::unique_ptr<Ui::LogWindow> m_ui;
    bool& logWindowOpen;
};

} // namespace quillmere
