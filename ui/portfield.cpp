#include "ui/portfield.h"

#include "engine/porttext.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <optional>

namespace quillmere {

namespace {

// Keys that edit or move rather than type. Platforms differ in the text they send with them
// (X11 sends DEL with Delete, macOS sends characters from its private function-key range), so
// they are recognised by key, never by text.
bool typesNothing(int key)
{
    switch (key) {
    case Qt::Key_Delete:
    case Qt::Key_Insert:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Clear:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    default:
        return key >= Qt::Key_F1 && key <= Qt::Key_F35;
    }
}

// The character a key press would type, as the key filter sees it: control characters for
// Backspace, Enter, Escape and Ctrl+letter; nothing for keys that type nothing, which then reach
// the field untouched.
std::optional<int> characterCode(const QKeyEvent& event)
{
    if (typesNothing(event.key()))
        return std::nullopt;
    switch (event.key()) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Escape:
        return 27;
    default:
        break;
    }
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if ((modifiers & Qt::ControlModifier) && !(modifiers & Qt::AltModifier) &&
        event.key() >= Qt::Key_A && event.key() <= Qt::Key_Z)
        return event.key() - Qt::Key_A + 1;
    const QString text = event.text();
    if (text.isEmpty())
        return std::nullopt;
    return text.front().unicode();
}

} // namespace

PortField::PortField(QLineEdit& field, std::function<void()> reveal, QObject* parent)
    : QObject(parent)
    , m_field(field)
    , m_reveal(std::move(reveal))
{
    m_field.installEventFilter(this);
    connect(&m_field, &QLineEdit::textChanged, this, &PortField::textChanged);
}

bool PortField::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != &m_field)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (typesNothing(key->key()) && !key->text().isEmpty()) {
            // The field gets the key without the text, so that it cannot insert it either.
            QKeyEvent bare(key->type(), key->key(), key->modifiers(), QString(),
                           key->isAutoRepeat(), quint16(key->count()));
            QCoreApplication::sendEvent(&m_field, &bare);
            return true;
        }
        const auto code = characterCode(*key);
        if (!code)
            return false;
        int keyCode = *code;
        keyPress(keyCode);
        return keyCode == 0; // a discarded keystroke never reaches the field
    }
    if (event->type() == QEvent::InputMethod) {
        // Text composed by an input method goes through the same filter, character by
        // character.
        auto* input = static_cast<QInputMethodEvent*>(event);
        const QString commit = input->commitString();
        if (commit.isEmpty())
            return false;
        QString kept;
        for (QChar c : commit) {
            int keyCode = c.unicode();
            keyPress(keyCode);
            if (keyCode != 0)
                kept += c;
        }
        if (kept == commit)
            return false;
        QInputMethodEvent filtered(input->preeditString(), input->attributes());
        filtered.setCommitString(kept, input->replacementStart(), input->replacementLength());
        QCoreApplication::sendEvent(&m_field, &filtered);
        return true;
    }
    return false;
}

void PortField::keyPress(int& keyCode)
{
    if (keyCode == 8)
        return;
    if (keyCode == kRevealSecond && m_lastKey == kRevealFirst)
        m_reveal();
    m_lastKey = qint16(keyCode);
    static constexpr QStringView kDigits = u"0123456789";
    if (keyCode <= 0 || keyCode > 0xFFFF || !kDigits.contains(QChar(char16_t(keyCode))))
        keyCode = 0;
}

void PortField::textChanged()
{
    const QString text = m_field.text();
    if (const auto replacement = cappedPortText(text)) {
        m_field.setText(*replacement);
        m_field.setCursorPosition(int(replacement->size()));
    }
}

} // namespace quillmere
