#pragma once

#include "cli/arguments.h"
#include "cli/consoleview.h"
#include "engine/checkengine.h"
#include "engine/verdict.h"

#include <QString>
#include <QStringView>

namespace quillmere::cli {

// The word --json gives for a settled verdict.
QString jsonVerdictName(VerdictKind kind);
// The word --json gives when the port could not be opened.
inline constexpr QStringView kJsonPortLocked = u"port-locked";

// The one JSON object --json prints, indented and ending in a line end. It carries the exact
// texts, control characters and all: JSON escapes them itself.
QString checkJson(const CheckEngine& engine, const ConsoleView& view, const CheckOptions& options,
                  const QString& verdictName, int exitStatus);

} // namespace quillmere::cli
