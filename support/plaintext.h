#pragma once

#include <QString>

namespace quillmere {

// A tooltip that shows `text` exactly as it is. Qt takes a tooltip that looks like markup as
// rich text, so text from the network or the LAN could bring fonts, images and links into one;
// this one is rich text whose only content is `text`, escaped, with its line breaks kept.
QString plainToolTip(const QString& text);

} // namespace quillmere
