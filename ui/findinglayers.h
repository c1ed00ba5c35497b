#pragma once

// What the findings window shows beyond the router: this computer, the path from the internet,
// and the way in from the LAN, each from the session's report as it stands; and the NAT type
// from what a discovery found.

#include "ui/routerwindow.h"

#include <QString>

namespace quillmere {

namespace session {
struct Report;
}

// Fills the sections for this computer, the path and inside the network from `report`: a step's
// result, that it runs, or why it was not run. `computerNote`, when there is one, follows what
// was found of this computer's firewall (what came of "Allow in firewall").
void showFindingLayers(RouterWindow& window, const session::Report& report,
                       const QString& computerNote = {});

// The NAT type section's words for what a discovery found: the type, what it means and what
// would change it (nat::natWords), then the details a line each: mapping, filtering, whether the
// port was kept, the external address, the server asked, and what could not be told.
RouterWindow::NatSection natSection(const nat::NatFacts& facts);

} // namespace quillmere
