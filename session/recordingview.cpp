#include "session/recordingview.h"

namespace quillmere::session {

void RecordingView::setInput(const QString& portText, bool tcp)
{
    m_portText = portText;
    m_tcp = tcp;
}

void RecordingView::clear()
{
    m_texts = {};
    m_colours = {};
}

QString RecordingView::portText() const
{
    return m_front ? m_front->portText() : m_portText;
}

void RecordingView::setPortText(const QString& text)
{
    if (m_front)
        m_front->setPortText(text);
    else
        m_portText = text;
}

bool RecordingView::isTcpSelected() const
{
    return m_front ? m_front->isTcpSelected() : m_tcp;
}

void RecordingView::setResultText(ResultLabel label, const QString& text)
{
    m_texts[std::size_t(label)] = text;
    if (m_front)
        m_front->setResultText(label, text);
}

void RecordingView::setResultColour(ResultLabel label, TextColour colour)
{
    m_colours[std::size_t(label)] = colour;
    if (m_front)
        m_front->setResultColour(label, colour);
}

void RecordingView::showMessageBox(const QString& text, MessageIcon icon)
{
    if (m_front)
        m_front->showMessageBox(text, icon);
}

} // namespace quillmere::session
