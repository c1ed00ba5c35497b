#include "cli/terminaltext.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

QString escapeForTerminal(QStringView text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0);
        if (!control) {
            escaped += c;
        } else if (u == u'\r') {
            escaped += u"\\r";
        } else if (u == u'\n') {
            escaped += u"\\n";
        } else if (u == u'\t') {
            escaped += u"\\t";
        } else {
            escaped += u"\\x"_s + QString::number(u, 16).rightJustified(2, u'0');
        }
    }
    return escaped;
}

QString escapeLogForTerminal(QStringView log, const QList<qsizetype>& entryEnds)
{
    constexpr QStringView lineEnd = u"\r\n";
    QString printed;
    printed.reserve(log.size());
    qsizetype start = 0;
    for (const qsizetype end : entryEnds) {
        if (end - lineEnd.size() < start || end > log.size() ||
            log.sliced(end - lineEnd.size(), lineEnd.size()) != lineEnd)
            continue; // not an end of this text: its CR LF, if any, stays an escape
        printed += escapeForTerminal(log.sliced(start, end - lineEnd.size() - start));
        printed += lineEnd;
        start = end;
    }
    if (start < log.size()) {
        printed += escapeForTerminal(log.sliced(start));
        printed += lineEnd;
    }
    return printed;
}

} // namespace quillmere::cli
