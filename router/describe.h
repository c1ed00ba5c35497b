#pragma once

// The router's facts and a forward's result as one line of text for a person: the same words
// in the window and in quillmere-check. The texts from the router are quoted as they came;
// the front end shows them as plain text or escapes them for a terminal.

#include "router/routerfacts.h"

#include <QString>

namespace quillmere::router {

// "192.168.1.1 over UPnP, internet address 203.0.113.7; port 8080/tcp goes to 192.168.1.20:8080
// (dvr.lan, "Camera"), lease 3600 s", or "none answered UPnP or NAT-PMP".
QString describeRouter(const RouterFacts& facts, int port, ProbeProtocol protocol);

// "port 8080/tcp now goes to this computer (192.168.1.10), lease 3600 s", or what went wrong.
// A mapping of another router port (ForwardResult::externalPort) says "external port 50123/tcp
// now goes to this computer's port 8080 (...)".
QString describeForward(const ForwardResult& result, int port, ProbeProtocol protocol,
                        bool removing);

// The router's exchange as a section for the log window: a heading line and `log`, CR LF
// after each line.
QString routerLogSection(const RouterFacts& facts);

} // namespace quillmere::router
