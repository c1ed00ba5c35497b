#include "application.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QStyleFactory>

namespace quillmere {

using namespace Qt::StringLiterals;

void setUpApplicationLook(QApplication& app)
{
    if (QStyle* style = QStyleFactory::create(u"Fusion"_s))
        app.setStyle(style);
    QFont::insertSubstitutions(u"MS Sans Serif"_s, {u"Microsoft Sans Serif"_s, u"Liberation Sans"_s,
                                                    u"Arial"_s, u"Helvetica"_s, u"DejaVu Sans"_s});
    QFont font(u"MS Sans Serif"_s);
    font.setPointSizeF(8.25);
    app.setFont(font);
}

QString uninstallerPath(const QString& programFolder)
{
#ifdef Q_OS_WIN
    return programFolder + u"\\uninst.exe"_s;
#else
    return QDir(programFolder).filePath(u"quillmere-uninstall"_s);
#endif
}

} // namespace quillmere
