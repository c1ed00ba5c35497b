#pragma once

#include <QList>
#include <QString>
#include <QStringView>

namespace quillmere::cli {

// Text from the network printed on a plain-text line: control characters are written as
// escapes (\r, \n, \t, \xHH), and so are format characters (Unicode category Cf: the
// bidirectional overrides and isolates, zero-width characters, tags), the line and paragraph
// separators U+2028 and U+2029 and surrogates that are not half of a pair (\uHHHH, or \UHHHHHHHH
// beyond the first plane), so that a reply can neither break the one-line-per-fact layout, nor
// reorder or hide what a line shows, nor send commands to a terminal.
QString escapeForTerminal(QStringView text);

// An exchange log for a terminal: every entry on a line of its own, ended by the CR LF that
// ended it in the log, and everything inside an entry escaped as above, CR and LF included, so
// that no peer can start or overwrite a line. `entryEnds` are the offsets just past each entry's
// CR LF, ascending (LogEntryEnds notes them). Text after the last end is printed as a line too.
QString escapeLogForTerminal(QStringView log, const QList<qsizetype>& entryEnds);

} // namespace quillmere::cli
