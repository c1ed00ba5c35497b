#include "ui/application.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QStyleFactory>
#include <QWidget>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

const QString kDesignFamily = u"MS Sans Serif"_s;

// The first installed face of the design font or those nearest to it.
QString standInFamily()
{
    const QStringList installed = QFontDatabase::families();
    for (const QString& family : {kDesignFamily, u"Microsoft Sans Serif"_s, u"Liberation Sans"_s,
                                  u"Arial"_s, u"Helvetica"_s}) {
        // fontconfig answers for any name; only a face that really carries it counts.
        if (installed.contains(family) && !QFontDatabase::isBitmapScalable(family) &&
            QFontDatabase::isSmoothlyScalable(family))
            return family;
    }
    return QFont().defaultFamily();
}

QFont designFont(QFont font)
{
    if (font.family() == kDesignFamily)
        font.setFamily(standInFamily());
    if (font.pointSizeF() == 8)
        font.setPointSizeF(8.25);
    else if (font.pointSizeF() == 10)
        font.setPointSizeF(9.75);
    return font;
}

} // namespace

void setUpApplicationLook(QApplication& app)
{
    if (QStyle* style = QStyleFactory::create(u"Fusion"_s))
        app.setStyle(style);
    QFont font(kDesignFamily);
    font.setPointSizeF(8);
    app.setFont(designFont(font));
}

void applyDesignFonts(QWidget& root)
{
    QList<QWidget*> widgets = root.findChildren<QWidget*>();
    widgets.prepend(&root);
    for (QWidget* widget : widgets) {
        if (widget->testAttribute(Qt::WA_SetFont))
            widget->setFont(designFont(widget->font()));
    }
}

void fitStaticLabels(QWidget& root)
{
    for (QLabel* label : root.findChildren<QLabel*>()) {
        if (!label->wordWrap() || label->text().isEmpty())
            continue;
        QFont font = label->font();
        auto fits = [&] {
            const QRect needed = QFontMetrics(font).boundingRect(
                label->contentsRect(), int(label->alignment()) | Qt::TextWordWrap, label->text());
            return needed.height() <= label->contentsRect().height();
        };
        while (!fits() && font.pointSizeF() > 7)
            font.setPointSizeF(font.pointSizeF() - 0.25);
        if (font != label->font())
            label->setFont(font);
    }
}

QString uninstallerPath(const QString& programFolder)
{
#ifdef Q_OS_WIN
    return programFolder + u"\\uninst.exe"_s;
#else
    return QDir(programFolder).filePath(u"quillmere-uninstall"_s);
#endif
}

bool asksRouter(const QStringList& arguments)
{
    return !arguments.mid(1).contains(kNoRouterOption.toString());
}

} // namespace quillmere
