#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

#include <QPlainTextEdit>

namespace quillmere {

// Keeps a text box of the log window showing the whole of one exchange log, with the caret
// after its last character, from the first entry appended while the box is attached.
//
// A burst of entries costs one update: appends only mark the box stale and the copy happens
// once per pass of the event loop, and no more often than every kMinIntervalMs, so a reply that
// arrives in a thousand pieces does not repaint the box a thousand times. An update adds just the
// new tail when the box still holds exactly the log's earlier text; after a reset of the log, or
// once the user has typed into the box, the whole log is written again.
class LogMirror : public QObject
{
public:
    static constexpr int kMinIntervalMs = 25;

    explicit LogMirror(std::function<const QString&()> source, QObject* parent = nullptr);

    // The box to keep up to date, or nullptr. A new box stays as it is until the next entry.
    void setBox(QPlainTextEdit* box);

    // The log started afresh: the next update rewrites the box.
    void logReset();
    // An entry was appended: update the box in the next pass of the event loop.
    void logAppended();
    // Brings the box up to date now.
    void flush();

    // Text shown after the log, as a section of its own (the router's exchange below the check
    // server's). The log grows in front of it; a new trailer replaces the old one at the next
    // update. Empty: none.
    void setTrailer(const QString& text);

    // An update is waiting for its turn.
    bool isPending() const { return m_scheduled; }
    // How many times the box has been written (for measurements).
    int updateCount() const { return m_updates; }

private:
    std::function<const QString&()> m_source;
    QPointer<QPlainTextEdit> m_box;
    qsizetype m_shown = 0;
    QString m_trailer;
    int m_trailerChars = 0; // characters the shown trailer takes in the box's document
    bool m_trailerChanged = false;
    bool m_rewrite = true;
    bool m_scheduled = false;
    bool m_writing = false;
    int m_updates = 0;
    QElapsedTimer m_sinceUpdate;
};

} // namespace quillmere
