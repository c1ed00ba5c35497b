// Prints the first hops towards a host, for tests/netns/first_hops.sh: one line "hop TTL ADDRESS"
// for each hop, then "elapsed_ms N" for the whole probe.
//
// Usage: quillmere-hopsprobe HOST MAX_HOPS TIMEOUT_MS

#include "router/hops.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HOST MAX_HOPS TIMEOUT_MS\n", argv[0]);
        return 64;
    }
    const QString host = QString::fromLocal8Bit(argv[1]);
    const int maxHops = std::atoi(argv[2]);
    const int timeoutMs = std::atoi(argv[3]);
    const auto started = std::chrono::steady_clock::now();
    const QList<quillmere::router::Hop> hops =
        quillmere::router::probeFirstHops(host, maxHops, timeoutMs);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    for (const quillmere::router::Hop& hop : hops)
        std::printf("hop %d %s\n", hop.ttl, qPrintable(hop.address));
    std::printf("elapsed_ms %lld\n", static_cast<long long>(elapsed.count()));
    return 0;
}
