#include "version.h"

namespace quillmere {

QString versionText()
{
    return QString::number(kVersionMajor) + u'.' + QString::number(kVersionMinor) + u'.' +
           QString::number(kVersionRevision);
}

} // namespace quillmere
