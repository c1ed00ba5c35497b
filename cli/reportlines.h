#pragma once

// A check session's report as quillmere-check prints it: the text lines (everything from the
// network escaped) and the parts of its JSON that are the command's own.

#include "cli/arguments.h"
#include "cli/logentries.h"
#include "cli/routeroutput.h"
#include "session/checksession.h"

#include <QJsonObject>
#include <QString>

namespace quillmere::cli {

// What the session is to run for these options.
session::SessionOptions sessionOptions(const CheckOptions& options);

ForwardOutcome outcomeOf(const session::ForwardStep& step);
// {"heldBy": text, "processes": [{"pid", "name", "localAddress"}, ...]}
QJsonObject holdersJson(const service::PortHolders& holders, const QString& text);
// `heading` and the log, one entry a line, escaped.
QString logLines(const QString& heading, const QString& log, const LogEntryEnds& entries);

// Status:, Info:, Ping:, External IP:, Message:, Service: and Note: of the first family's check.
QString resultLines(const session::Report& report);
// IPv6: and, when only IPv6 is open, its Note:.
QString ipv6Lines(const session::Report& report);

} // namespace quillmere::cli
