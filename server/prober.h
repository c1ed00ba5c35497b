#pragma once

// The probe of a client's port: a TCP connection that carries a short payload, or one UDP
// datagram. Both payloads carry the probe word and the check's token, and are no larger than the
// shortest request that can ask for them.

#include "server/addresses.h"
#include "server/icmperror.h"
#include "server/metrics.h"
#include "server/replies.h"
#include "wire/checkwire.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::server {

// A fresh token for one check: wire::kTokenDigits lower-case hex digits from the system's
// random source.
std::string newCheckToken();

// The payload of both probes: "quillmere dunmoor TOKEN" and a line end.
std::string probePayload(std::string_view token);

// How a TCP probe ended: the outcome the reply and the log have always told, and the finer
// account of it. A refusal is a TCP reset; an ICMP error (a port unreachable among them, which
// the system reports as a refusal too) is `Unreachable` with the ICMP message that said so.
struct TcpProbe
{
    ProbeOutcome outcome = ProbeOutcome::Unreachable;
    wire::ProbeEnd end = wire::ProbeEnd::Unreachable;
    std::optional<IcmpError> icmp;
};

// The probe end for an outcome, and the ICMP error the socket's error queue held, if any.
wire::ProbeEnd probeEndOf(ProbeOutcome outcome, const std::optional<IcmpError>& icmp);

// Connects within `timeout` (with fewer SYN retries than the system's default), sends the
// payload and closes. An ICMP error ends the connect at once, and is read from the socket's
// error queue. The time the address took to accept or refuse goes into `connectTimes` when
// given. Never throws.
boost::asio::awaitable<TcpProbe> probeTcp(boost::asio::any_io_executor executor, Address address,
                                          std::uint16_t port, std::chrono::milliseconds timeout,
                                          std::string payload, Histogram* connectTimes = nullptr);

// Sends `payload` as one datagram. Never throws.
ProbeOutcome probeUdp(const boost::asio::any_io_executor& executor, const Address& address,
                      std::uint16_t port, std::string_view payload);

} // namespace quillmere::server
