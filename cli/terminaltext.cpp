#include "cli/terminaltext.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

namespace {

// Whether a terminal must not get this code point as it is: controls (C0, DEL, C1), format
// characters (the bidirectional overrides and isolates, zero-width joiners, tags, ...) and the
// line and paragraph separators, which reorder, hide or break what a line shows.
bool needsEscape(char32_t u)
{
    if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
        return true;
    switch (QChar::category(u)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QString hex(char32_t u, int digits)
{
    return QString::number(u, 16).rightJustified(digits, u'0');
}

} // namespace

QString escapeForTerminal(QStringView text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        char32_t u = unit;
        qsizetype units = 1;
        if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            u = QChar::surrogateToUcs4(unit, text[i + 1].unicode());
            units = 2;
        }
        // A surrogate on its own is no character: it cannot even be written as UTF-8, so it
        // is shown as the escape of its code unit, like a format character.
        if (!needsEscape(u)) {
            escaped += text.sliced(i, units);
        } else if (u == u'\r') {
            escaped += u"\\r";
        } else if (u == u'\n') {
            escaped += u"\\n";
        } else if (u == u'\t') {
            escaped += u"\\t";
        } else if (u < 0xA0) {
            escaped += u"\\x"_s + hex(u, 2);
        } else if (u <= 0xFFFF) {
            escaped += u"\\u"_s + hex(u, 4);
        } else {
            escaped += u"\\U"_s + hex(u, 8);
        }
        i += units - 1;
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
