#include "cli/progressline.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

ProgressLine::ProgressLine(QTextStream& err, bool enabled, std::function<QString()> status,
                           QObject* parent)
    : QObject(parent)
    , m_err(err)
    , m_enabled(enabled)
    , m_status(std::move(status))
{
    m_timer.setInterval(200);
    connect(&m_timer, &QTimer::timeout, this, &ProgressLine::update);
}

void ProgressLine::show()
{
    if (!m_enabled)
        return;
    if (!m_timer.isActive())
        m_timer.start();
    update();
}

void ProgressLine::update()
{
    const QString status = m_status();
    if (status.isEmpty())
        return;
    m_err << u"\r\x1b[K"_s << status;
    m_err.flush();
    m_shown = true;
}

void ProgressLine::clear()
{
    m_timer.stop();
    if (m_shown) {
        m_err << u"\r\x1b[K"_s;
        m_err.flush();
        m_shown = false;
    }
}

} // namespace quillmere::cli
