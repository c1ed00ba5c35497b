#include "firewall/evidence.h"

#include <cmath>

namespace quillmere::firewall {

using namespace Qt::StringLiterals;

double poissonTail(double mean, quint64 count)
{
    if (count == 0)
        return 1.0;
    if (mean <= 0)
        return 0.0;
    // Far beyond the mean the sum below would only add rounding: the tail is nil.
    if (double(count) > mean + 12.0 * std::sqrt(mean) + 30.0)
        return 0.0;
    double term = std::exp(-mean); // P(N = 0)
    double below = term;
    for (quint64 k = 1; k < count; ++k) {
        term *= mean / double(k);
        below += term;
    }
    return std::max(0.0, 1.0 - below);
}

namespace {

// The wait's vanished datagrams are taken for the probe when other traffic, at the baseline's
// rate, would give as many with at most this chance.
constexpr double kChance = 0.01;

// The most datagrams one probe leaves here: a TCP SYN and its retransmissions over a check's
// wait (1, 3, 7 and 15 s after the first), or a UDP probe and a few repeats. More vanished
// datagrams than that mean other traffic vanished too, such as a LAN's multicast (SSDP NOTIFY
// from a router or a TV, to a group nobody here joined, counts as received and goes nowhere) in
// a burst the short baseline could not see coming.
constexpr quint64 kMostProbeDatagrams = 5;

QString datagrams(quint64 count)
{
    return QString::number(count) + (count == 1 ? u" datagram"_s : u" datagrams"_s);
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', ms < 1000 ? 2 : 1) + u" s"_s;
}

} // namespace

// How the counters are read. A probe that reaches this computer raises IP InReceives. If it then
// reaches a socket, InDelivers (and TCP InSegs or UDP InDatagrams) rise with it and Quillmere's
// listener sees it. If a packet filter drops or rejects it in its input (or prerouting) hook, no
// counter but InReceives moves: vanishedBetween() counts exactly those, the datagrams that were
// neither delivered nor forwarded nor dropped for a reason the kernel counts. Counting what
// vanished rather than comparing InReceives with InDelivers and InSegs one by one keeps the
// check's own HTTP exchange out of it: its segments arrive during the wait but are delivered, so
// they cancel, and so does everything else this computer receives and delivers meanwhile.
//
// Other traffic that the filter drops does not cancel: a LAN's broadcasts, scans from the
// internet. Its rate is measured over the baseline, the short window from the start of the check
// to the moment its request goes out (no probe can come before), and scaled to the wait. The
// vanished datagrams of the wait then count as the probe only when other traffic at that rate
// would give as many with a chance of 1% or less (a Poisson tail). When the baseline saw none,
// a single vanished datagram is enough; a busy filter needs many more, and past what the probe
// can give the answer is "cannot tell". No vanished datagram at all is the plain opposite: the
// probe did not reach this computer, or was not dropped here. (A filter on the netdev ingress
// hook, or an XDP program, drops before IP counts anything: such a drop stays unseen.)
//
// A probe that the server says was refused (a TCP reset) or unreachable (an ICMP error) while
// Quillmere's socket listened on the port was rejected by this computer, since the listener
// would have taken it; unless the counters saw nothing arrive at all, in which case something
// on the way answered for this computer.
ProbeEvidence judgeEvidence(const EvidenceInput& input)
{
    ProbeEvidence evidence;
    if (input.arrivedHere) {
        evidence.blocks = false;
        evidence.line = u"the probe reached Quillmere's listener: nothing on this computer "
                        u"blocks it"_s;
        return evidence;
    }
    if (!input.gotResult) {
        evidence.line = u"the check gave no result to judge by"_s;
        return evidence;
    }
    if (input.probe == wire::ProbeEnd::Connected) {
        evidence.blocks = false;
        evidence.line = u"the server's probe connected, but not to this computer: another device "
                        u"took it"_s;
        return evidence;
    }

    const bool haveCounters = input.baselineStart && input.waitStart && input.waitEnd;
    std::optional<quint64> baseline;
    qint64 baselineMs = 0;
    qint64 waitMs = 0;
    if (haveCounters) {
        baseline = vanishedBetween(input.baselineStart->counters, input.waitStart->counters);
        evidence.vanished = vanishedBetween(input.waitStart->counters, input.waitEnd->counters);
        baselineMs = std::max<qint64>(input.waitStart->atMs - input.baselineStart->atMs, 1);
        waitMs = std::max<qint64>(input.waitEnd->atMs - input.waitStart->atMs, 0);
        evidence.expected = double(*baseline) * double(waitMs) / double(baselineMs);
    }
    const QString expectedText =
        haveCounters ? u" (other traffic, at its rate in the "_s + seconds(baselineMs) +
                           u" before the request, explains "_s +
                           QString::number(evidence.expected, 'f', 1) + u')'
                     : QString();

    const bool answered =
        input.probe == wire::ProbeEnd::Refused || input.probe == wire::ProbeEnd::Unreachable;
    if (answered && input.listening && input.protocol == ProbeProtocol::Tcp) {
        const QString how = input.probe == wire::ProbeEnd::Refused
                                ? u"refused (a TCP reset)"_s
                                : u"answered unreachable (an ICMP error)"_s;
        if (evidence.vanished == quint64(0)) {
            evidence.blocks = false;
            evidence.line = u"the server's probe was "_s + how +
                            u", but nothing arrived here meanwhile that went no further: "
                            u"something before this computer answered for it"_s;
            return evidence;
        }
        evidence.blocks = true;
        evidence.rejected = true;
        evidence.line = u"the server's probe was "_s + how +
                        u" while Quillmere listened on the port: this computer rejected it"_s;
        if (evidence.vanished)
            evidence.line += u" ("_s + datagrams(*evidence.vanished) +
                             u" arrived during the check and went no further)"_s;
        return evidence;
    }

    if (!haveCounters) {
        evidence.line = u"the kernel's counters (/proc/net/snmp) could not be read"_s;
        return evidence;
    }
    const quint64 vanished = *evidence.vanished;
    if (vanished == 0) {
        evidence.blocks = false;
        evidence.line = u"nothing arrived during the check that this computer dropped: the probe "
                        u"did not get this far"_s;
        return evidence;
    }
    if (poissonTail(evidence.expected, vanished) > kChance) {
        evidence.line = datagrams(vanished) +
                        u" arrived during the check and went no further, but "
                        u"other traffic explains as many"_s +
                        expectedText + u": cannot tell whether the probe was among them"_s;
        return evidence;
    }
    if (vanished > kMostProbeDatagrams) {
        evidence.line = datagrams(vanished) +
                        u" arrived during the check and went no further, more than one probe "
                        u"gives: other traffic vanished too (a LAN's multicast, say), so it "
                        u"cannot tell whether the probe was among them"_s;
        return evidence;
    }
    evidence.blocks = true;
    evidence.line = datagrams(vanished) + u" arrived during the check and went no further"_s +
                    expectedText + u": the probe arrived and this computer dropped it"_s;
    return evidence;
}

} // namespace quillmere::firewall
