#pragma once

// What the findings window shows beyond the router: this computer, the path from the internet,
// and the way in from the LAN, each from the session's report as it stands.

#include <QString>

namespace quillmere {

class RouterWindow;

namespace session {
struct Report;
}

// Fills the sections for this computer, the path and inside the network from `report`: a step's
// result, that it runs, or why it was not run. `computerNote`, when there is one, follows what
// was found of this computer's firewall (what came of "Allow in firewall").
void showFindingLayers(RouterWindow& window, const session::Report& report,
                       const QString& computerNote = {});

} // namespace quillmere
