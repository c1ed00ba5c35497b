#pragma once

#include <QList>
#include <QString>
#include <QStringView>

namespace quillmere::cli {

// Text from the network printed on a plain-text line: control characters are written as
// escapes (\r, \n, \t, \xHH) so that a reply can neither break the one-line-per-fact layout
// nor send commands to a terminal.
QString escapeForTerminal(QStringView text, bool keepLineBreaks = false);

} // namespace quillmere::cli
