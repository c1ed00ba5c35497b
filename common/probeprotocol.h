#pragma once

#include "wire/checkwire.h"

#include <QLatin1StringView>

namespace quillmere {

// Which transport a check probes. Here rather than in the engine so that code which only needs
// to name a protocol (the local port holders, the router client) does not have to link QtNetwork
// or the engine.
enum class ProbeProtocol { Tcp = 0, Udp = 1 };

// "tcp" or "udp", always lower case: the words of the check request.
inline QLatin1StringView protocolWord(ProbeProtocol protocol)
{
    const std::string_view word = protocol == ProbeProtocol::Tcp ? wire::kTcpWord : wire::kUdpWord;
    return QLatin1StringView(word.data(), qsizetype(word.size()));
}

} // namespace quillmere
