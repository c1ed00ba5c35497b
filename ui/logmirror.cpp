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
    m_writing = true;
    if (m_rewrite || log.size() < m_shown) {
        m_box->setPlainText(log);
    } else if (log.size() > m_shown) {
        QTextCursor end(m_box->document());
        end.movePosition(QTextCursor::End);
        end.insertText(log.sliced(m_shown));
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
