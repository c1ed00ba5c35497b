#pragma once

#include "engine/checkprotocol.h"
#include "engine/checkview.h"

#include <QString>
#include <QTextStream>

namespace quillmere::cli {

// The front end of one check in a terminal: keeps the port text, the protocol and the label
// texts the engine shows.
class ConsoleView final : public CheckView
{
public:
    ConsoleView(QString portText, ProbeProtocol protocol, QTextStream& err);

    QString portText() const override { return m_portText; }
    void setPortText(const QString& text) override;
    bool isTcpSelected() const override { return m_protocol == ProbeProtocol::Tcp; }
    void setResultText(ResultLabel label, const QString& text) override;
    void setResultColour(ResultLabel label, TextColour colour) override;
    void showMessageBox(const QString& text, MessageIcon icon) override;

    const QString& text(ResultLabel label) const { return m_texts[index(label)]; }
    TextColour colour(ResultLabel label) const { return m_colours[index(label)]; }

private:
    static int index(ResultLabel label) { return int(label); }

    QString m_portText;
    ProbeProtocol m_protocol;
    QTextStream& m_err;
    QString m_texts[4];
    TextColour m_colours[4] = {};
};

} // namespace quillmere::cli
