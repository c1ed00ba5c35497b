#include "ui/versionmode.h"

#include "engine/version.h"

#include <QDir>
#include <QSaveFile>

#include <cstring>

namespace quillmere {

using namespace Qt::StringLiterals;

bool isVersionMode(int argc, const char* const* argv)
{
    return argc == 2 && std::strcmp(argv[1], "VERSION") == 0;
}

bool writeVersionFile(const QString& folder)
{
    QSaveFile file(QDir(folder).filePath(u"version.log"_s));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(versionText().toLatin1() + "\r\n");
    return file.commit();
}

} // namespace quillmere
