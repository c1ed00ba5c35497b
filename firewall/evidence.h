#pragma once

// Whether the check's probe reached this computer and was dropped or rejected here, judged from
// the kernel's counters read around the check and from how the server says its probe ended.

#include "common/probeprotocol.h"
#include "firewall/counters.h"
#include "wire/checkwire.h"

#include <QString>

#include <optional>

namespace quillmere::firewall {

// The counters at one moment, with the moment (a monotonic clock, in milliseconds).
struct CounterReading
{
    IpCounters counters;
    qint64 atMs = 0;
};

struct EvidenceInput
{
    // The check began (the baseline starts), its request went out (the probe may come from now
    // on: the wait starts) and its verdict stood (the wait ends). Any may be missing.
    std::optional<CounterReading> baselineStart;
    std::optional<CounterReading> waitStart;
    std::optional<CounterReading> waitEnd;
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    bool arrivedHere = false;            // the probe reached Quillmere's socket
    bool listening = false;              // Quillmere's own socket held the port during the wait
    bool gotResult = false;              // the server answered with a result
    std::optional<wire::ProbeEnd> probe; // how the server says its TCP probe ended
};

struct ProbeEvidence
{
    std::optional<bool> blocks; // nullopt: cannot tell
    bool rejected = false;      // blocked with an answer (reset, ICMP), not silently dropped
    QString line;               // one line for a person
    // From the counters, when all three readings were there.
    std::optional<quint64> vanished; // datagrams that went no further during the wait
    double expected = 0;             // how many other traffic explains, from the baseline
};

// The chance that a Poisson count with mean `mean` reaches `count` or more.
double poissonTail(double mean, quint64 count);

ProbeEvidence judgeEvidence(const EvidenceInput& input);

} // namespace quillmere::firewall
