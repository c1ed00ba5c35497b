#include "support/shell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <QWidget>

namespace quillmere {

int OpenDocument(const QString& path, const QString& parameters)
{
    if (path.isEmpty())
        return 0;
    const QFileInfo file(path);
    if (!file.exists())
        return kShellFileNotFound;
    if (file.isFile() && file.isExecutable()) {
        const bool started = QProcess::startDetached(
            file.absoluteFilePath(), QProcess::splitCommand(parameters), file.absolutePath());
        return started ? kShellOk : kShellAccessDenied;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absoluteFilePath()))
               ? kShellOk
               : kShellNoAssociation;
}

void SetTopMost(QWidget& window)
{
    const bool wasVisible = window.isVisible();
    window.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Changing a window's flags hides it; show it again where it was.
    if (wasVisible)
        window.show();
}

} // namespace quillmere
