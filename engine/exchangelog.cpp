#include "engine/exchangelog.h"

#include <algorithm>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {
constexpr QStringView kLineEnd = u"\r\n";
}

void ExchangeLog::reset(const QString& initial)
{
    m_text = initial;
    m_full = false;
    ++m_revision;
}

bool ExchangeLog::append(QStringView entry)
{
    if (m_full)
        return false;
    ++m_revision;
    const qsizetype room = m_limit - m_text.size() - kLineEnd.size();
    if (entry.size() <= room) {
        m_text += entry;
        m_text += kLineEnd;
        return true;
    }
    // Keep what fits of this entry, then say plainly that the rest is gone.
    m_text += entry.first(std::max<qsizetype>(room, 0));
    m_text += kLineEnd;
    m_text += limitNotice(m_limit);
    m_text += kLineEnd;
    m_full = true;
    return true;
}

QString ExchangeLog::limitNotice(qsizetype limit)
{
    return u"LOG: limit of "_s + QString::number(limit) +
           u" characters reached; later data is not recorded"_s;
}

} // namespace quillmere
