#pragma once

#include "engine/checkview.h"

namespace quillmere::bench {

// A front end that shows nothing, for measuring the engine alone.
class NullView final : public CheckView
{
public:
    QString portText() const override { return QStringLiteral("5000"); }
    void setPortText(const QString&) override {}
    bool isTcpSelected() const override { return true; }
    void setResultText(ResultLabel, const QString&) override {}
    void setResultColour(ResultLabel, TextColour) override {}
    void showMessageBox(const QString&, MessageIcon) override {}
};

} // namespace quillmere::bench
