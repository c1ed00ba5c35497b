#pragma once

#include <QObject>
#include <QTextStream>
#include <QTimer>

#include <functional>

namespace quillmere::cli {

// The line on stderr that says what a command waits for, redrawn five times a second while
// shown; only where stderr is a terminal (`enabled`).
class ProgressLine : public QObject
{
    Q_OBJECT

public:
    // `status`: the text to show, already escaped; empty for none.
    ProgressLine(QTextStream& err, bool enabled, std::function<QString()> status,
                 QObject* parent = nullptr);

    void show();
    void clear();

private:
    void update();

    QTextStream& m_err;
    bool m_enabled;
    std::function<QString()> m_status;
    QTimer m_timer;
    bool m_shown = false;
};

} // namespace quillmere::cli
