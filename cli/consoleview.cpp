#include "cli/consoleview.h"

#include "cli/terminaltext.h"
#include "engine/porttext.h"

namespace quillmere::cli {

ConsoleView::ConsoleView(QString portText, ProbeProtocol protocol, QTextStream& err)
    : m_portText(std::move(portText))
    , m_protocol(protocol)
    , m_err(err)
{}

void ConsoleView::setPortText(const QString& text)
{
    m_portText = normalisedPortText(text);
}

void ConsoleView::setResultText(ResultLabel label, const QString& text)
{
    m_texts[index(label)] = text;
}

void ConsoleView::setResultColour(ResultLabel label, TextColour colour)
{
    m_colours[index(label)] = colour;
}

void ConsoleView::showMessageBox(const QString& text, MessageIcon icon)
{
    // The server's message is printed with the result; anything else the engine would show in
    // a box is said at once.
    if (icon == MessageIcon::None)
        m_err << escapeForTerminal(text) << Qt::endl;
}

} // namespace quillmere::cli
