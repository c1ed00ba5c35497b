// The kernel's counter files, /proc/net/snmp and /proc/net/snmp6, as the firewall evidence reads
// them, and the judgement built on them.
//
// Input: a file's text; both parsers read it. Whatever they make of it must hold together: an
// IPv6 file's Ip6InReceives is worked out here again from the lines, nothing vanishes between a
// reading and itself, no more vanishes than arrived, and the chance the judgement uses stays a
// chance.

#include "firewall/evidence.h"
#include "fuzz/fuzzcheck.h"

#include <charconv>
#include <optional>
#include <string_view>

using namespace quillmere::firewall;

namespace {

// The last "Ip6InReceives N" line's N, split at spaces and tabs the way the file is.
std::optional<quint64> ip6Receives(std::string_view text)
{
    std::optional<quint64> found;
    for (std::string_view line : quillmere::fuzz::split(text, '\n')) {
        std::vector<std::string_view> words;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
                ++i;
            const std::size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                ++i;
            if (i > start)
                words.push_back(line.substr(start, i - start));
        }
        if (words.size() != 2 || words[0] != "Ip6InReceives")
            continue;
        const std::string_view number = words[1];
        if (number.empty() || number.size() > 20 ||
            number.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        quint64 value = 0;
        const auto end = number.data() + number.size();
        const auto [at, error] = std::from_chars(number.data(), end, value);
        if (error == std::errc() && at == end)
            found = value;
    }
    return found;
}

void checkReading(const IpCounters& counters)
{
    FUZZ_CHECK(vanishedBetween(counters, counters) == 0);
    FUZZ_CHECK(vanishedBetween(IpCounters(), counters) <= counters.inReceives);
    FUZZ_CHECK(vanishedBetween(counters, IpCounters()) == 0);
    const double tail =
        poissonTail(double(counters.inDelivers % 1000) / 7.0, counters.inReceives % 2000);
    FUZZ_CHECK(tail >= 0.0 && tail <= 1.0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text = quillmere::fuzz::bytes(data, size);
    const QByteArrayView view(text.data(), qsizetype(text.size()));

    const auto v4 = parseSnmp(view);
    if (v4) {
        FUZZ_CHECK(text.find("Ip:") != std::string_view::npos);
        checkReading(*v4);
    }
    const auto v6 = parseSnmp6(view);
    FUZZ_CHECK(v6.has_value() == ip6Receives(text).has_value());
    if (v6) {
        FUZZ_CHECK(v6->inReceives == *ip6Receives(text));
        checkReading(*v6);
    }
    if (v4 && v6) {
        EvidenceInput input;
        input.baselineStart = CounterReading{*v4, 0};
        input.waitStart = CounterReading{*v6, qint64(size % 500)};
        input.waitEnd = CounterReading{*v4, qint64(size)};
        input.gotResult = true;
        const ProbeEvidence evidence = judgeEvidence(input);
        FUZZ_CHECK(!evidence.line.isEmpty());
        FUZZ_CHECK(evidence.blocks != true || evidence.vanished.value_or(0) > 0);
    }
    return 0;
}
