#pragma once

// The RFC 5780 behaviour discovery itself, run on the calling thread in an event loop of its own.
// NatClient runs it on its worker thread; the tests run it directly too.

#include "nat/natfacts.h"

#include <QObject>

#include <mutex>

namespace quillmere::nat {

// The retransmission schedule of RFC 5389 (RTO 500 ms doubling, 7 sends, a last wait of 16 RTO),
// scaled down so that the whole run stays within `total`: each request goes out at 0, rto, 3 rto,
// 7 rto, ... (`sends` times) and is given up `lastWait` after the last send.
struct Timing
{
    int rto = 100;      // ms
    int sends = 4;      // sends per request
    int lastWait = 700; // ms after the last send
    int tcpWait = 800;  // ms for the STUN request over TCP that tells blocked UDP from no server
    int total = 3000;   // ms for the whole run, the name's lookup included
};

// Lets another thread end a run early. The run attaches its event loop while it runs.
class Cancel
{
public:
    void cancel();
    bool cancelled() const;
    // Attaches `loop`; false when cancelled already.
    bool attach(QObject* loop);
    void detach();

private:
    mutable std::mutex m_mutex;
    QObject* m_loop = nullptr; // guarded by m_mutex
    bool m_cancelled = false;  // guarded by m_mutex
};

// Runs the tests against request.host:request.port and returns what they found, within
// timing.total (and at once after cancel.cancel()). Needs no event loop of the caller's.
NatFacts runDiscovery(const NatRequest& request, Cancel& cancel, const Timing& timing = {});

} // namespace quillmere::nat
