#pragma once

// This computer's firewall as quillmere-check prints it: the `Firewall:` line (escaped like
// every text from the system) and the "firewall" object of the JSON.

#include "firewall/firewallfacts.h"

#include <QJsonValue>
#include <QString>

#include <optional>

namespace quillmere::cli {

// "Firewall: ufw blocks the port: <evidence>. To open it: sudo ufw allow 25565/tcp"
QString firewallLine(const firewall::FirewallFacts& facts);
// {"found", "blocks", "evidence", "fix"}; null when the firewall was not looked at.
QJsonValue firewallJson(const std::optional<firewall::FirewallFacts>& facts);

} // namespace quillmere::cli
