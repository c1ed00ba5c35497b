#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class RouterWindow;
}

namespace quillmere {

struct ThemeContext;

// frmRouter: what the router on the LAN says about the checked port, why the port is or is not
// open, and the offer to forward it to this computer. Opened from "Router..." beside
// "Check Me"; every text in it came from the router or the check server and is plain text.
class RouterWindow : public QWidget
{
    Q_OBJECT

public:
    RouterWindow(ThemeContext& theme, QWidget* owner);
    ~RouterWindow() override;

    // The router's facts and the diagnosis, each a paragraph of plain text.
    void showFinding(const QString& facts, const QString& diagnosis);
    // Whether "Forward this port to this computer" can be pressed now.
    void setForwardEnabled(bool enabled);
    // What the last forward came to, or empty.
    void showForwardResult(const QString& text);

Q_SIGNALS:
    void forwardRequested();

private:
    std::unique_ptr<Ui::RouterWindow> m_ui;
};

} // namespace quillmere
