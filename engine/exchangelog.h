#pragma once

#include <QString>
#include <QStringView>

namespace quillmere {

// One of the two exchange logs: a growing text of entries, each ended by CR LF. Received bytes
// are stored one character per byte, so the log is the exact record of what arrived.
//
// The log is bounded. A peer that sends without end would otherwise grow it until memory runs
// out; once the bound is reached the log keeps what fits, records one notice line and drops
// everything after it, while the check goes on to its verdict.
class ExchangeLog
{
public:
    static constexpr qsizetype kDefaultLimit = 1024 * 1024;

    explicit ExchangeLog(qsizetype limit = kDefaultLimit)
        : m_limit(limit)
    {}

    // Starts the log afresh with `initial` (no line end is added).
    void reset(const QString& initial = QString());

    // Appends `entry` and CR LF. Returns false when the log was already full and nothing was
    // added.
    bool append(QStringView entry);

    const QString& text() const { return m_text; }
    // Changes whenever the text does; never repeats for one log.
    quint64 revision() const { return m_revision; }
    bool isFull() const { return m_full; }
    qsizetype limit() const { return m_limit; }
    void setLimit(qsizetype limit) { m_limit = limit; }

    // The line written once when the bound is reached.
    static QString limitNotice(qsizetype limit);

private:
    QString m_text;
    quint64 m_revision = 0;
    qsizetype m_limit;
    bool m_full = false;
};

} // namespace quillmere
