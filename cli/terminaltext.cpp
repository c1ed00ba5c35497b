#include "cli/terminaltext.h"

namespace quillmere::cli {

using namespace Qt::StringLiterals;

QString escapeForTerminal(QStringView text, bool keepLineBreaks)
{
    QString escaped;
    escaped.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0);
        if (!control || (keepLineBreaks && (u == u'\r' || u == u'\n' || u == u'\t'))) {
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

} // namespace quillmere::cli
