#include "server/metrics.h"

#include <algorithm>
#include <cstdio>

namespace quillmere::server {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

struct CheckKind
{
    std::string_view protocol;
    std::string_view outcome;
};
constexpr std::array<CheckKind, 6> kCheckKinds{{{"tcp", "open"},
                                                {"tcp", "closed"},
                                                {"tcp", "timeout"},
                                                {"tcp", "unreachable"},
                                                {"udp", "sent"},
                                                {"udp", "unreachable"}}};

struct RefusalKind
{
    std::string_view reason; // the access log's outcome word
    std::string_view status;
};
constexpr std::array<RefusalKind, 4> kRefusalKinds{
    {{"bad-request", "400"}, {"refused", "403"}, {"rate-limited", "429"}, {"busy", "503"}}};

// The STUN listener's outcomes (stunOutcomeWord).
constexpr std::array<std::string_view, 5> kStunOutcomes{"answered", "error", "malformed",
                                                        "unserved", "rate-limited"};

// Seconds as the exposition writes them: no exponent, no trailing zeros.
std::string seconds(double value)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.6f", value);
    std::string result(text.data());
    while (result.back() == '0')
        result.pop_back();
    if (result.back() == '.')
        result.pop_back();
    return result;
}

void header(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value)
{
    out.append(name);
    if (!labels.empty())
        out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
}

} // namespace

Histogram::Histogram(std::initializer_list<double> bounds)
    : m_boundCount(std::min(bounds.size(), kMaxBounds))
{
    std::copy_n(bounds.begin(), m_boundCount, m_bounds.begin());
}

void Histogram::observe(std::chrono::steady_clock::duration duration)
{
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    const double value = double(micros) / 1e6;
    const auto bucket = std::lower_bound(m_bounds.begin(), m_bounds.begin() + m_boundCount, value) -
                        m_bounds.begin();
    m_buckets[std::size_t(bucket)].fetch_add(1, kRelaxed);
    m_sumMicroseconds.fetch_add(std::uint64_t(std::max<std::int64_t>(micros, 0)), kRelaxed);
}

void Histogram::write(std::string& out, std::string_view name, std::string_view labels) const
{
    const std::string bucket = std::string(name) + "_bucket";
    const std::string prefix = labels.empty() ? std::string() : std::string(labels) + ",";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= m_boundCount; ++i) {
        cumulative += m_buckets[i].load(kRelaxed);
        const std::string le = i < m_boundCount ? seconds(m_bounds[i]) : "+Inf";
        sample(out, bucket, prefix + "le=\"" + le + "\"", std::to_string(cumulative));
    }
    // The count is the +Inf bucket, so that the two agree however the counts move meanwhile.
    const double sum = double(m_sumMicroseconds.load(kRelaxed)) / 1e6;
    sample(out, std::string(name) + "_sum", labels, seconds(sum));
    sample(out, std::string(name) + "_count", labels, std::to_string(cumulative));
}

Metrics::Metrics()
    : m_tcpDurations{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2, 2.5, 5, 10, 30}
    , m_udpDurations{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2, 2.5, 5, 10, 30}
    , m_connectTimes{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5}
{}

static_assert(kCheckKinds.size() == std::tuple_size_v<Metrics::CheckCounts>);
static_assert(kRefusalKinds.size() == std::tuple_size_v<Metrics::RefusalCounts>);

void Metrics::requestEnded(std::string_view protocol, std::string_view outcome,
                           std::chrono::steady_clock::duration elapsed)
{
    for (std::size_t i = 0; i < kRefusalKinds.size(); ++i) {
        if (kRefusalKinds[i].reason == outcome) {
            m_refusals[i].fetch_add(1, kRelaxed);
            return;
        }
    }
    for (std::size_t i = 0; i < kCheckKinds.size(); ++i) {
        if (kCheckKinds[i].protocol == protocol && kCheckKinds[i].outcome == outcome) {
            m_checksDone[i].fetch_add(1, kRelaxed);
            (protocol == "tcp" ? m_tcpDurations : m_udpDurations).observe(elapsed);
            return;
        }
    }
}

static_assert(kStunOutcomes.size() == std::tuple_size_v<Metrics::StunCounts>);

void Metrics::stunRequestEnded(std::string_view outcome)
{
    for (std::size_t i = 0; i < kStunOutcomes.size(); ++i) {
        if (kStunOutcomes[i] == outcome) {
            m_stunRequests[i].fetch_add(1, kRelaxed);
            return;
        }
    }
}

void Metrics::setPingMethods(std::string_view ipv4, std::string_view ipv6)
{
    m_pingV4 = ipv4;
    m_pingV6 = ipv6;
}

std::string Metrics::exposition() const
{
    std::string out;
    out.reserve(6144);
    header(out, "quillmere_checks_total", "counter",
           "Checks run, by protocol and what became of the probe.");
    for (std::size_t i = 0; i < kCheckKinds.size(); ++i)
        sample(out, "quillmere_checks_total",
               "protocol=\"" + std::string(kCheckKinds[i].protocol) + "\",outcome=\"" +
                   std::string(kCheckKinds[i].outcome) + "\"",
               std::to_string(m_checksDone[i].load(kRelaxed)));

    header(out, "quillmere_refusals_total", "counter",
           "Check requests answered without a check, by reason and HTTP status.");
    for (std::size_t i = 0; i < kRefusalKinds.size(); ++i)
        sample(out, "quillmere_refusals_total",
               "reason=\"" + std::string(kRefusalKinds[i].reason) + "\",status=\"" +
                   std::string(kRefusalKinds[i].status) + "\"",
               std::to_string(m_refusals[i].load(kRelaxed)));

    header(out, "quillmere_checks_in_flight", "gauge", "Checks admitted and not yet answered.");
    sample(out, "quillmere_checks_in_flight", {}, std::to_string(m_checks.load(kRelaxed)));
    header(out, "quillmere_connections_open", "gauge",
           "Client connections open on the check listeners.");
    sample(out, "quillmere_connections_open", {}, std::to_string(m_connections.load(kRelaxed)));

    header(out, "quillmere_check_duration_seconds", "histogram",
           "Time from accepting a check's connection to its answer, by protocol.");
    m_tcpDurations.write(out, "quillmere_check_duration_seconds", "protocol=\"tcp\"");
    m_udpDurations.write(out, "quillmere_check_duration_seconds", "protocol=\"udp\"");
    header(out, "quillmere_probe_connect_seconds", "histogram",
           "Time from a TCP probe's first SYN to the client's answer, accepted or refused.");
    m_connectTimes.write(out, "quillmere_probe_connect_seconds");

    header(out, "quillmere_stun_requests_total", "counter",
           "STUN datagrams received, by what became of them.");
    for (std::size_t i = 0; i < kStunOutcomes.size(); ++i)
        sample(out, "quillmere_stun_requests_total",
               "outcome=\"" + std::string(kStunOutcomes[i]) + "\"",
               std::to_string(m_stunRequests[i].load(kRelaxed)));

    header(out, "quillmere_ping_method", "gauge",
           "How the server pings each address family: 1 for the method in use.");
    for (const auto& [family, method] : {std::pair{std::string_view("ipv4"), m_pingV4},
                                         std::pair{std::string_view("ipv6"), m_pingV6}}) {
        for (const std::string_view candidate : {"datagram", "raw", "none"})
            sample(out, "quillmere_ping_method",
                   "family=\"" + std::string(family) + "\",method=\"" + std::string(candidate) +
                       "\"",
                   candidate == method ? "1" : "0");
    }
    return out;
}

} // namespace quillmere::server
