#pragma once

// The router's part of what quillmere-check prints: the Router:, Diagnosis: and Forward: lines
// (escaped, as everything from the LAN is) and their JSON values (exact texts).

#include "engine/checkprotocol.h"
#include "router/routerfacts.h"
#include "session/diagnosis.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillmere::cli {

// What became of --forward or --unforward.
struct ForwardOutcome
{
    bool asked = false;    // the router was asked to add or remove the mapping
    bool removing = false; // --unforward
    router::ForwardResult result;
    QString text; // one line for a person: router::describeForward, or why the router was not asked
};

// "Router: 192.168.1.1 over UPnP, ...", the router's texts escaped; a mapping's device that is
// not an address is "unknown".
QString routerLine(const router::RouterFacts& facts, int port, ProbeProtocol protocol);
// "Diagnosis: headline next step", escaped; the finding's code when the diagnosis has no text.
QString diagnosisLine(const router::Diagnosis& diagnosis);
// "Forward: what became of it", escaped; a device that is not an address is "unknown".
QString forwardLine(const ForwardOutcome& outcome);
// `heading` ("--- Router Log ---") on a line, then each line of `log` escaped and ended by CR LF
// like the exchange logs' entries.
QString routerLogLines(const QString& heading, const QStringList& log);

// null, or {"found", "via", "address", "localAddress", "externalAddress", "canMap",
// "mappingQueried", "mapping", "hops", "error", "text", "log"}.
QJsonValue routerJson(const std::optional<router::RouterFacts>& facts, int port,
                      ProbeProtocol protocol);
// null, or {"code", "text", "headline", "nextStep"}.
QJsonValue diagnosisJson(const std::optional<router::Diagnosis>& diagnosis);
// null, or {"kind": "mapping" | "pinhole", "via", "pinhole", "ok", "asked", "removing", "error",
// "conflict", "permanentOnly", "mapping", "text", "log"}.
QJsonValue forwardJson(const std::optional<ForwardOutcome>& outcome);
// The router's IPv6 firewall: null when nothing answered over IPv6, or {"pinholeAllowed", "via",
// "pinhole": {"uniqueId" | "nonce", "leaseSeconds", "internalAddress"} | null}.
QJsonValue ipv6RouterJson(const std::optional<router::RouterFacts>& facts);
QJsonValue pinholeJson(const std::optional<router::Pinhole>& pinhole);

} // namespace quillmere::cli
