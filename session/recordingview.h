#pragma once

#include "engine/checkview.h"

#include <QString>

#include <array>

namespace quillmere::session {

// The view a session's engine shows its results through: it keeps every label's text and
// colour for the report and hands everything on to the front end's view, when there is one.
// Without one it stands for the port field and the protocol buttons itself.
class RecordingView final : public CheckView
{
public:
    explicit RecordingView(CheckView* front = nullptr)
        : m_front(front)
    {}

    // For a view without a front end: the port and protocol the check reads.
    void setInput(const QString& portText, bool tcp);
    void clear();

    QString portText() const override;
    void setPortText(const QString& text) override;
    bool isTcpSelected() const override;
    void setResultText(ResultLabel label, const QString& text) override;
    void setResultColour(ResultLabel label, TextColour colour) override;
    void showMessageBox(const QString& text, MessageIcon icon) override;

    const std::array<QString, 4>& texts() const { return m_texts; }
    const std::array<TextColour, 4>& colours() const { return m_colours; }

private:
    CheckView* m_front;
    QString m_portText;
    bool m_tcp = true;
    std::array<QString, 4> m_texts;
    std::array<TextColour, 4> m_colours{};
};

} // namespace quillmere::session
