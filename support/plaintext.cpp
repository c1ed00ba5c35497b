#include "support/plaintext.h"

namespace quillmere {

using namespace Qt::StringLiterals;

QString plainToolTip(const QString& text)
{
    if (text.isEmpty())
        return {}; // no tooltip at all
    return u"<p style=\"white-space:pre-wrap\">"_s + text.toHtmlEscaped() + u"</p>"_s;
}

} // namespace quillmere
