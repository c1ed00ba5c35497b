#pragma once

namespace quillmere {

// Which transport a check probes. Here rather than in the engine so that code which only needs
// to name a protocol (the local port holders, for one) does not have to link QtNetwork.
enum class ProbeProtocol { Tcp = 0, Udp = 1 };

} // namespace quillmere
