#include "ui/logmirror.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>

namespace quillmere {

LogMirror::LogMirror(std::function<const QString&()> source, QObject* parent)
    : QObject(parent)
    , m_source(std::move(source))
{}

void LogMirror::setBox(QPlainTextEdit* box)
{
    if (m_box)
        m_box->document()->disconnect(this);
    m_box = box;
    m_rewrite = true;
    if (box) {
        // The box is rewritten from the log whenever the user has changed it, so an undo
        // history would only hold copies of the log.
        box->setUndoRedoEnabled(false);
        connect(box->document(), &QTextDocument::contentsChanged, this, [this] {
            if (!m_writing)
                m_rewrite = true;
        });
    }
}

void LogMirror::setTrailer(const QString& text)
{
    if (text == m_trailer)
        return;
    m_trailer = text;
    m_trailerChanged = true;
    logAppended();
}

void LogMirror::logReset()
{
    m_rewrite = true;
}

void LogMirror::logAppended()
{
    if (m_scheduled || !m_box)
        return;
    m_scheduled = true;
    const qint64 since = m_sinceUpdate.isValid() ? m_sinceUpdate.elapsed() : kMinIntervalMs;
    QTimer::singleShot(int(std::max<qint64>(0, kMinIntervalMs - since)), this, &LogMirror::flush);
}

void LogMirror::flush()
{
    m_scheduled = false;
    if (!m_box)
        return;
    const QString& log = m_source();
    QTextDocument* document = m_box->document();
    m_writing = true;
    if (m_rewrite || log.size() < m_shown) {
        m_box->setPlainText(log);
        m_trailerChars = 0;
        m_trailerChanged = !m_trailer.isEmpty();
    } else if (log.size() > m_shown) {
        // The log's new tail goes in front of the trailer.
        QTextCursor at(document);
        at.setPosition(document->characterCount() - 1 - m_trailerChars);
        at.insertText(log.sliced(m_shown));
    }
    if (m_trailerChanged) {
        QTextCursor trailer(document);
        trailer.setPosition(document->characterCount() - 1 - m_trailerChars);
        trailer.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        const int before = document->characterCount() - trailer.selectedText().size();
        trailer.removeSelectedText();
        trailer.insertText(m_trailer);
        m_trailerChars = document->characterCount() - before;
        m_trailerChanged = false;
    }
    m_writing = false;
    m_shown = log.size();
    m_rewrite = false;
    ++m_updates;
    m_sinceUpdate.start();
    m_box->moveCursor(QTextCursor::End);
    m_box->ensureCursorVisible();
}

} // namespace quillmere
