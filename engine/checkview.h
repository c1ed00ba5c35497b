#pragma once

#include "common/textcolour.h"

#include <QString>

namespace quillmere {

enum class ResultLabel { Status, Info, PingStatus, ExternalIP };

enum class MessageIcon { None, Critical };

// What the check engine needs of a front end: the port field, the protocol buttons, the four
// result labels and a modal message box. The main window, the command line and the tests each
// implement it.
class CheckView
{
public:
    // The port field's text, read afresh at every use.
    virtual QString portText() const = 0;
    // Writes the port field; the write goes through the field's own change handling.
    virtual void setPortText(const QString& text) = 0;
    // True while the "TCP" option is the selected one.
    virtual bool isTcpSelected() const = 0;

    // Result labels. Text that came from the network arrives here: show it as plain text.
    virtual void setResultText(ResultLabel label, const QString& text) = 0;
    virtual void setResultColour(ResultLabel label, TextColour colour) = 0;

    // A modal box with one OK button, titled with the program's name; returns once dismissed.
    // Events go on being delivered while it is open.
    virtual void showMessageBox(const QString& text, MessageIcon icon) = 0;

protected:
    ~CheckView() = default;
};

} // namespace quillmere
