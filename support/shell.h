#pragma once

#include <QString>

class QWidget;

namespace quillmere {

// Results of OpenDocument, in the shell's convention: above 32 when the request was taken,
// 32 or less when it was not, 0 when it could not be made at all.
inline constexpr int kShellOk = 42;
inline constexpr int kShellFileNotFound = 2;
inline constexpr int kShellAccessDenied = 5;
inline constexpr int kShellNoAssociation = 31;

// Opens a document or starts a program the way the desktop's shell would: a program (an
// executable file) is started with `parameters` in its own folder, any other file is handed to
// the desktop's default application. Returns without waiting for what it started.
int OpenDocument(const QString& path, const QString& parameters);

// Keeps `window` above every window that is not itself kept on top, without moving or
// resizing it.
void SetTopMost(QWidget& window);

} // namespace quillmere
