#pragma once

// A check session's report as quillmere-check prints it: the text lines (everything from the
// network escaped) and the parts of its JSON that are the command's own.

#include "cli/arguments.h"
#include "cli/logentries.h"
#include "cli/routeroutput.h"
#include "session/checksession.h"

#include <QJsonObject>
#include <QJsonValue>
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

// "Control port: ...", escaped, with the command that maps the control port to PORT when it got
// through; empty when the control port was not checked.
QString controlPortLine(const session::Report& report);
// "Inside your network: ...", escaped; empty when the connection was not tried.
QString hairpinLine(const session::Report& report);
// null, or {"port", "open", "removed"}.
QJsonValue controlPortJson(const session::Report& report);
// {"result": "works" | "refused" | "timed-out" | null, "lanAddress": "address:port" | null};
// the result is null when the connection was not tried.
QJsonValue hairpinJson(const session::Report& report);

// "NAT: ...", escaped; empty when the STUN tests did not run.
QString natLine(const session::Report& report);
// null when the STUN tests did not run, else {"server", "mapping", "filtering", "portPreserved",
// "externalAddress", "type", "nintendo", "limits"}, each null where it was not told.
QJsonValue natJson(const session::Report& report);

} // namespace quillmere::cli
