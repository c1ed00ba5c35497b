#include "cli/logentries.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

void LogEntryEnds::noteAppend(QStringView text)
{
    if (!m_ends.isEmpty() && text.size() < m_ends.constLast())
        m_ends.clear(); // started afresh without a word: no earlier end still holds
    const qsizetype previous = m_ends.isEmpty() ? 0 : m_ends.constLast();
    if (text.size() <= previous)
        return;
    if (text.size() > m_limit) {
        // The kept part of the entry, CR LF, the notice, CR LF.
        const QString noticeEntry = ExchangeLog::limitNotice(m_limit) + u"\r\n"_s;
        const qsizetype keptEnd = text.size() - noticeEntry.size();
        if (keptEnd >= previous + 2 && text.endsWith(noticeEntry))
            m_ends.append(keptEnd);
    }
    m_ends.append(text.size());
}

} // namespace quillmere::cli
