#pragma once

#include "engine/exchangelog.h"

#include <QList>
#include <QStringView>

namespace quillmere::cli {

// Where the entries of one exchange log end.
//
// ExchangeLog ends every entry with CR LF, but it records received bytes as they arrived, so an
// entry's data may hold CR LF of its own: the ends cannot be read back from the text. They are
// noted as the engine appends instead. Each append ends one entry, at the log's new end, save
// the one that reaches the log's bound: it adds the part of its entry that fits and the limit
// notice, two entries at once. That append is the only one that takes the log past its bound,
// so it is told apart by the log's size, not by any text a peer could send.
class LogEntryEnds
{
public:
    // `limit`: the bound the log was given (ExchangeLog::limit()).
    explicit LogEntryEnds(qsizetype limit = ExchangeLog::kDefaultLimit)
        : m_limit(limit)
    {}

    // The log started afresh.
    void clear() { m_ends.clear(); }
    // The log after one append, as it now stands.
    void noteAppend(QStringView text);

    // Offsets just past each entry's CR LF, ascending.
    const QList<qsizetype>& ends() const { return m_ends; }

private:
    qsizetype m_limit;
    QList<qsizetype> m_ends;
};

} // namespace quillmere::cli
