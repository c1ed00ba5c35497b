#pragma once

// Shared by the command's tests.

#include <QRegularExpression>
#include <QString>

namespace quillmere::test {

using namespace Qt::StringLiterals;

// Every scripted server in these tests is on loopback, so plain output that holds a check's
// result lines also holds the note that such a result cannot speak for the router. Checks that
// it is there exactly once, right after the line before it (the external address, a message or
// a service line), and takes it out, so that the tests read the check's own lines.
inline bool takeLoopbackNote(QString& out)
{
    static const QRegularExpression note(
        u"^Note: The check server 127\\.0\\.0\\.1:\\d+ is on this computer or your local "
        u"network, so this result cannot speak for your router\\. Name a server on the internet "
        u"with --server or QUILLMERE_CHECK_SERVER\\.\\n"_s,
        QRegularExpression::MultilineOption);
    static const QRegularExpression before(u"^(External IP|Message|Service): [^\\n]*\\n\\z"_s,
                                           QRegularExpression::MultilineOption);
    auto matches = note.globalMatch(out);
    if (!matches.hasNext())
        return false;
    const QRegularExpressionMatch match = matches.next();
    if (matches.hasNext() || !before.match(out.left(match.capturedStart())).hasMatch())
        return false;
    out.remove(match.capturedStart(), match.capturedLength());
    return true;
}

} // namespace quillmere::test
