#pragma once

// The probe of a client's port: a TCP connection that carries a short payload, or one UDP
// datagram. Both payloads contain the probe word and are smaller than the request that asked
// for them.

#include "server/addresses.h"
#include "server/replies.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <string_view>

namespace quillmere::server {

// The payload of both probes.
std::string_view probePayload();

// Connects within `timeout` (with fewer SYN retries than the system's default), sends the
// payload and closes. Never throws.
boost::asio::awaitable<ProbeOutcome> probeTcp(boost::asio::any_io_executor executor,
                                              Address address, std::uint16_t port,
                                              std::chrono::milliseconds timeout);

// Sends one datagram. Never throws.
ProbeOutcome probeUdp(const boost::asio::any_io_executor& executor, const Address& address,
                      std::uint16_t port);

} // namespace quillmere::server
