#pragma once

#include "cli/arguments.h"
#include "cli/consoleview.h"
#include "engine/checkengine.h"
#include "engine/verdict.h"
#include "engine/verdictwords.h"

#include <QJsonObject>
#include <QString>
#include <QStringView>

namespace quillmere::cli {

// The word --json gives for a settled verdict.
QString jsonVerdictName(VerdictKind kind);
// The word --json gives for what a --service check found.
QString jsonServiceName(ServiceReach reach);
// The word --json gives when the port could not be opened.
inline constexpr QStringView kJsonPortLocked = u"port-locked";

// The check's part of the one JSON object --json prints. It carries the exact texts, control
// characters and all: JSON escapes them itself. "error" is why the connection to the check
// server failed, "refused" the server's refusal ({status, retryAfter}); each null otherwise.
QJsonObject checkJson(const CheckEngine& engine, const ConsoleView& view,
                      const CheckOptions& options, const QString& verdictName, int exitStatus);

// `object` as --json prints it: indented, ending in a line end.
QString jsonText(const QJsonObject& object);

} // namespace quillmere::cli
