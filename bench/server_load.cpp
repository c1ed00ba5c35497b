// server_load: keeps a number of check requests in flight against a check server (or any HTTP
// server), one connection per request, and reports the rate and the latency.
//
// Each request connects, sends the request Quillmere sends (quillmere::wire::checkRequest),
// reads to end of file and records the time from the start of the connect to the end of file.
// The port named in the request is a probe target this program provides on loopback:
//
//   refused  a bound socket that does not listen, so the server's probe is refused at once;
//   hold     a listening socket with a backlog of 0 whose queue is full and never accepted from,
//            so the kernel drops the probe's SYNs and the probe hangs until the server gives up;
//   N        port N, for targets provided elsewhere.
//
// Usage:
//   server_load HOST:PORT [--connections C] [--duration SECONDS | --count N] [--threads T]
//               [--probe refused|hold|N] [--host NAME] [--expect-done] [--timeout SECONDS]
//               [--deadline SECONDS] [--save-reply FILE] [--ramp SECONDS]
//
// --ramp spreads the first requests of the connections evenly over that many seconds rather
// than opening them all at once, so that a run of many held checks measures the server holding
// them, not the queue in front of its accept loop. Latency is still counted from each request's
// own connect.
//
// The report ends with one line that starts with "RESULT" and holds key=value pairs, for scripts.
// The exit status is 0 when the run completed (whatever the figures), 1 when it could not run,
// 64 when the command line was wrong.

#include "wire/checkwire.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

constexpr std::size_t kReplyCap = 1 << 20; // bytes of each reply kept for the checks

struct Options
{
    std::string host;
    std::string port;
    std::string hostHeader;
    std::size_t connections = 64;
    double duration = 10.0;
    std::optional<std::uint64_t> count;
    unsigned threads = 1;
    std::string probe = "refused";
    bool expectDone = false;
    double timeout = 30.0;
    std::optional<double> deadline;
    std::string saveReply;
    double ramp = 0.0;
};

[[noreturn]] void usage(std::string_view problem)
{
    if (!problem.empty())
        std::cerr << "server_load: " << problem << '\n';
    (problem.empty() ? std::cout : std::cerr)
        << "usage: server_load HOST:PORT [--connections C] [--duration SECONDS | --count N]\n"
           "                   [--threads T] [--probe refused|hold|PORT] [--host NAME]\n"
           "                   [--expect-done] [--timeout SECONDS] [--deadline SECONDS]\n"
           "                   [--save-reply FILE] [--ramp SECONDS]\n";
    std::exit(problem.empty() ? 0 : 64);
}

template <typename T>
T parseNumber(std::string_view text, std::string_view what)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        usage(std::string("bad ").append(what).append(": ").append(text));
    return value;
}

double parseSeconds(std::string_view text, std::string_view what)
{
    // std::from_chars for double is in GCC 12's library; stay with strtod for older ones too.
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || !(value >= 0.0))
        usage(std::string("bad ").append(what).append(": ").append(text));
    return value;
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    bool haveTarget = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= args.size())
                usage(std::string(a).append(" needs a value"));
            return args[++i];
        };
        if (a == "--connections" || a == "-c")
            o.connections = parseNumber<std::size_t>(value(), "connection count");
        else if (a == "--duration" || a == "-d")
            o.duration = parseSeconds(value(), "duration");
        else if (a == "--count" || a == "-n")
            o.count = parseNumber<std::uint64_t>(value(), "count");
        else if (a == "--threads" || a == "-t")
            o.threads = parseNumber<unsigned>(value(), "thread count");
        else if (a == "--probe")
            o.probe = value();
        else if (a == "--host")
            o.hostHeader = value();
        else if (a == "--expect-done")
            o.expectDone = true;
        else if (a == "--timeout")
            o.timeout = parseSeconds(value(), "time-out");
        else if (a == "--deadline")
            o.deadline = parseSeconds(value(), "deadline");
        else if (a == "--save-reply")
            o.saveReply = value();
        else if (a == "--ramp")
            o.ramp = parseSeconds(value(), "ramp");
        else if (a == "--help" || a == "-h")
            usage("");
        else if (!a.starts_with('-') && !haveTarget) {
            const auto colon = a.rfind(':');
            if (colon == std::string_view::npos || colon == 0 || colon + 1 == a.size())
                usage("the target must be HOST:PORT");
            o.host = a.substr(0, colon);
            o.port = a.substr(colon + 1);
            if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
                o.host = o.host.substr(1, o.host.size() - 2);
            haveTarget = true;
        } else
            usage(std::string("unknown argument: ").append(a));
    }
    if (!haveTarget)
        usage("no target");
    if (o.connections == 0 || o.threads == 0)
        usage("connections and threads must be at least 1");
    if (o.count && *o.count == 0)
        usage("count must be at least 1");
    if (o.probe != "refused" && o.probe != "hold")
        parseNumber<unsigned short>(o.probe, "probe port");
    if (o.hostHeader.empty())
        o.hostHeader = o.host;
    return o;
}

void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---------------------------------------------------------------------------------------------
// Probe targets

class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd_(fd)
    {}
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct SocketAddress
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

SocketAddress loopback(bool v6, unsigned short port)
{
    SocketAddress a;
    if (v6) {
        sockaddr_in6 s{};
        s.sin6_family = AF_INET6;
        s.sin6_addr = in6addr_loopback;
        s.sin6_port = htons(port);
        std::memcpy(&a.storage, &s, sizeof s);
        a.length = sizeof s;
    } else {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        s.sin_port = htons(port);
        std::memcpy(&a.storage, &s, sizeof s);
        a.length = sizeof s;
    }
    return a;
}

unsigned short portOf(int fd)
{
    SocketAddress a;
    a.length = sizeof a.storage;
    if (getsockname(fd, a.get(), &a.length) != 0)
        return 0;
    if (a.storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(a.get())->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(a.get())->sin_port);
}

std::string errnoText(std::string_view what)
{
    return std::string(what).append(": ").append(std::strerror(errno));
}

Fd boundSocket(bool v6)
{
    Fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        throw std::runtime_error(errnoText("socket"));
    const SocketAddress a = loopback(v6, 0);
    if (::bind(fd.get(), a.get(), a.length) != 0)
        throw std::runtime_error(errnoText("bind"));
    return fd;
}

// Starts a non-blocking connect to the port and waits up to waitMs for it to complete. Returns
// the socket when it connected, an empty Fd when it was still pending (the attempt is dropped).
std::optional<Fd> connectWithin(bool v6, unsigned short port, int waitMs)
{
    Fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        throw std::runtime_error(errnoText("socket"));
    const SocketAddress a = loopback(v6, port);
    if (::connect(fd.get(), a.get(), a.length) == 0)
        return fd;
    if (errno != EINPROGRESS)
        throw std::runtime_error(errnoText("connect to the probe target"));
    pollfd p{fd.get(), POLLOUT, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready == 0)
        return std::nullopt;
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
        errno = soError;
        throw std::runtime_error(errnoText("connect to the probe target"));
    }
    return fd;
}

// Keeps the probe target's sockets open for the whole run.
struct ProbeTarget
{
    unsigned short port = 0;
    std::string description;
    std::vector<Fd> sockets;
};

ProbeTarget refusingTarget(bool v6)
{
    // Bound, so no one else gets the port, but not listening: a SYN to it is answered with RST.
    ProbeTarget t;
    t.sockets.push_back(boundSocket(v6));
    t.port = portOf(t.sockets.back().get());
    t.description = "refused at once (bound, not listening)";
    return t;
}

ProbeTarget holdingTarget(bool v6)
{
    ProbeTarget t;
    Fd listener = boundSocket(v6);
    if (::listen(listener.get(), 0) != 0)
        throw std::runtime_error(errnoText("listen"));
    t.port = portOf(listener.get());
    t.sockets.push_back(std::move(listener));
    // Fill the accept queue: connect until a connect no longer completes.
    int filled = 0;
    for (; filled < 16; ++filled) {
        auto fd = connectWithin(v6, t.port, 300);
        if (!fd)
            break;
        t.sockets.push_back(std::move(*fd));
    }
    // Make sure a fresh connect really hangs rather than being refused or accepted.
    const auto started = Clock::now();
    if (connectWithin(v6, t.port, 1500))
        throw std::runtime_error("a connect to the holding probe target completed; it would not "
                                 "make probes time out on this machine");
    const double waited = std::chrono::duration<double>(Clock::now() - started).count();
    std::ostringstream text;
    text.precision(2);
    text << std::fixed << "connects hang (backlog 0, " << filled
         << " queued connection(s); a test connect was still pending after " << waited << " s)";
    t.description = text.str();
    return t;
}

// ---------------------------------------------------------------------------------------------
// The load

enum class Outcome { Ok, ConnectFailed, IoError, TimedOut, BadStatus, NoDone, Count_ };

constexpr std::array<std::string_view, static_cast<std::size_t>(Outcome::Count_)> kOutcomeKeys = {
    "ok", "connect_failed", "io_error", "timed_out", "not_200", "no_done"};

constexpr std::array<std::string_view, static_cast<std::size_t>(Outcome::Count_)> kOutcomeNames = {
    "ok", "connect failed", "read/write error", "timed out", "status not 200", "no \"-done-\""};

struct Stats
{
    std::vector<std::int64_t> latencyNs; // of the ok replies
    std::array<std::uint64_t, static_cast<std::size_t>(Outcome::Count_)> outcomes{};
    std::uint64_t replyBytes = 0;
    Clock::time_point lastFinish{};
    std::string firstError;
};

struct Shared
{
    const Options& options;
    std::string request;
    tcp::endpoint endpoint;
    Clock::time_point endAt;
    std::atomic<std::uint64_t> remaining{0}; // with --count
    std::atomic<bool> saved{false};

    explicit Shared(const Options& o)
        : options(o)
    {}

    // Takes a ticket for one more request, or says the run is over.
    bool takeTicket()
    {
        if (options.count) {
            std::uint64_t left = remaining.load(std::memory_order_relaxed);
            while (left > 0)
                if (remaining.compare_exchange_weak(left, left - 1, std::memory_order_relaxed))
                    return true;
            return false;
        }
        return Clock::now() < endAt;
    }
};

bool containsNoCase(std::string_view haystack, std::string_view needle)
{
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != haystack.end();
}

bool statusIs200(std::string_view reply)
{
    // "HTTP/1.x 200 ..."
    return reply.size() >= 12 && reply.starts_with("HTTP/1.") && reply.substr(8, 4) == " 200";
}

class Slot;

// One event loop and its connections. Time-outs are found by a sweep over the connections ten
// times a second rather than by a timer per request, which would cost a timer update per request.
struct Worker
{
    asio::io_context io{1};
    Stats stats;
    std::vector<std::unique_ptr<Slot>> slots;
    asio::steady_timer sweepTimer{io};
    asio::steady_timer rampTimer{io};
    std::size_t started = 0; // slots started so far, with --ramp
    std::size_t active = 0;
    bool sweeping = false;

    void armSweep(const Options& options);
    // Starts the slots whose turn has come since `begin`, then waits for the next ones.
    void rampUp(Clock::time_point begin, double seconds);
};

class Slot
{
public:
    Slot(Worker& worker, Shared& shared)
        : worker_(worker)
        , shared_(shared)
        , stats_(worker.stats)
        , socket_(worker.io)
    {}

    void start()
    {
        if (!shared_.takeTicket())
            return;
        active_ = true;
        ++worker_.active;
        timedOut_ = false;
        reply_.clear();
        started_ = Clock::now();
        worker_.armSweep(shared_.options);
        socket_.async_connect(shared_.endpoint, [this](const error_code& ec) { connected(ec); });
    }

    // Closes the connection when the request started before the limit; the pending operation
    // then ends with an error and the request counts as timed out.
    void expireIfStartedBefore(Clock::time_point limit)
    {
        if (active_ && !timedOut_ && started_ < limit) {
            timedOut_ = true;
            error_code ignored;
            socket_.close(ignored);
        }
    }

private:
    void connected(const error_code& ec)
    {
        if (ec)
            return finish(timedOut_ ? Outcome::TimedOut : Outcome::ConnectFailed, ec);
        asio::async_write(socket_, asio::buffer(shared_.request),
                          [this](const error_code& e, std::size_t) { written(e); });
    }

    void written(const error_code& ec)
    {
        if (ec)
            return finish(timedOut_ ? Outcome::TimedOut : Outcome::IoError, ec);
        read();
    }

    void read()
    {
        socket_.async_read_some(asio::buffer(buffer_),
                                [this](const error_code& ec, std::size_t n) { received(ec, n); });
    }

    void received(const error_code& ec, std::size_t n)
    {
        if (n > 0) {
            stats_.replyBytes += n;
            if (reply_.size() < kReplyCap)
                reply_.append(buffer_.data(), std::min(n, kReplyCap - reply_.size()));
        }
        if (!ec)
            return read();
        if (ec != asio::error::eof)
            return finish(timedOut_ ? Outcome::TimedOut : Outcome::IoError, ec);
        if (!statusIs200(reply_))
            return finish(Outcome::BadStatus, ec);
        if (shared_.options.expectDone && !containsNoCase(reply_, quillmere::wire::kDone))
            return finish(Outcome::NoDone, ec);
        finish(Outcome::Ok, ec);
    }

    void finish(Outcome outcome, const error_code& ec)
    {
        const auto now = Clock::now();
        active_ = false;
        --worker_.active;
        error_code ignored;
        socket_.close(ignored);
        ++stats_.outcomes[static_cast<std::size_t>(outcome)];
        stats_.lastFinish = std::max(stats_.lastFinish, now);
        if (outcome == Outcome::Ok) {
            stats_.latencyNs.push_back(
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_).count());
            if (!shared_.options.saveReply.empty() && !shared_.saved.exchange(true)) {
                std::ofstream out(shared_.options.saveReply, std::ios::binary);
                out << reply_;
            }
        } else if (stats_.firstError.empty()) {
            stats_.firstError = std::string(kOutcomeNames[static_cast<std::size_t>(outcome)]);
            if (outcome != Outcome::BadStatus && outcome != Outcome::NoDone)
                stats_.firstError.append(": ").append(ec.message());
            else
                stats_.firstError.append(": ").append(
                    reply_.substr(0, std::min<std::size_t>(reply_.find('\n'), 80)));
        }
        start();
    }

    Worker& worker_;
    Shared& shared_;
    Stats& stats_;
    tcp::socket socket_;
    std::array<char, 4096> buffer_{};
    std::string reply_;
    Clock::time_point started_{};
    bool active_ = false;
    bool timedOut_ = false;
};

void Worker::armSweep(const Options& options)
{
    if (sweeping || options.timeout <= 0)
        return;
    sweeping = true;
    sweepTimer.expires_after(std::chrono::milliseconds(100));
    sweepTimer.async_wait([this, &options](const error_code&) {
        sweeping = false;
        const auto limit = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.timeout));
        for (auto& slot : slots)
            slot->expireIfStartedBefore(limit);
        if (active > 0)
            armSweep(options);
    });
}

void Worker::rampUp(Clock::time_point begin, double seconds)
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    const auto due = std::min(
        slots.size(),
        static_cast<std::size_t>(std::ceil(elapsed / seconds * static_cast<double>(slots.size()))));
    while (started < due)
        slots[started++]->start();
    if (started == slots.size())
        return;
    rampTimer.expires_after(std::chrono::milliseconds(2));
    rampTimer.async_wait([this, begin, seconds](const error_code& ec) {
        if (!ec)
            rampUp(begin, seconds);
    });
}

double ms(std::int64_t ns)
{
    return static_cast<double>(ns) / 1e6;
}

// Nearest-rank percentile of sorted values.
std::int64_t percentile(const std::vector<std::int64_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto rank =
        static_cast<std::int64_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[static_cast<std::size_t>(
        std::clamp<std::int64_t>(rank - 1, 0, static_cast<std::int64_t>(sorted.size()) - 1))];
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parseOptions(argc, argv);
    raiseFileLimit();
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);

    try {
        asio::io_context resolverContext;
        tcp::resolver resolver(resolverContext);
        Shared shared(options);
        const auto resolved = resolver.resolve(options.host, options.port);
        if (resolved.empty())
            throw std::runtime_error("cannot resolve " + options.host);
        shared.endpoint = resolved.begin()->endpoint();
        const bool v6 = shared.endpoint.address().is_v6();

        ProbeTarget probe;
        if (options.probe == "refused")
            probe = refusingTarget(v6);
        else if (options.probe == "hold")
            probe = holdingTarget(v6);
        else {
            probe.port = parseNumber<unsigned short>(options.probe, "probe port");
            probe.description = "given on the command line";
        }
        shared.request = quillmere::wire::checkRequest(
            std::to_string(probe.port), quillmere::wire::kTcpWord, options.hostHeader);

        const std::size_t threads = std::min<std::size_t>(options.threads, options.connections);
        std::size_t connections = options.connections;
        if (options.count)
            connections =
                static_cast<std::size_t>(std::min<std::uint64_t>(connections, *options.count));

        std::cout << "target            " << options.host << ':' << options.port << '\n'
                  << "probe port        " << probe.port << ": " << probe.description << '\n'
                  << "connections       " << connections << " in flight, " << threads
                  << " thread(s), file limit " << files.rlim_cur << '\n';
        if (options.count)
            std::cout << "requests          " << *options.count << '\n';
        else
            std::cout << "duration          " << options.duration << " s\n";
        std::cout.flush();

        std::vector<std::unique_ptr<Worker>> workers;
        for (std::size_t i = 0; i < threads; ++i)
            workers.push_back(std::make_unique<Worker>());
        for (std::size_t i = 0; i < connections; ++i) {
            Worker& w = *workers[i % threads];
            w.slots.push_back(std::make_unique<Slot>(w, shared));
        }

        const double cpuBefore = cpuSeconds();
        const auto begin = Clock::now();
        shared.endAt = begin + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options.duration));
        shared.remaining = options.count.value_or(0);
        for (auto& w : workers) {
            if (options.ramp > 0) {
                w->rampUp(begin, options.ramp);
                continue;
            }
            for (auto& s : w->slots)
                s->start();
        }
        std::vector<std::thread> pool;
        for (std::size_t i = 1; i < workers.size(); ++i)
            pool.emplace_back([&w = *workers[i]] { w.io.run(); });
        workers[0]->io.run();
        for (auto& t : pool)
            t.join();
        const double cpu = cpuSeconds() - cpuBefore;

        Stats all;
        all.lastFinish = begin;
        for (auto& w : workers) {
            const Stats& s = w->stats;
            all.latencyNs.insert(all.latencyNs.end(), s.latencyNs.begin(), s.latencyNs.end());
            for (std::size_t i = 0; i < all.outcomes.size(); ++i)
                all.outcomes[i] += s.outcomes[i];
            all.replyBytes += s.replyBytes;
            all.lastFinish = std::max(all.lastFinish, s.lastFinish);
            if (all.firstError.empty())
                all.firstError = s.firstError;
        }
        std::sort(all.latencyNs.begin(), all.latencyNs.end());
        const double elapsed = std::chrono::duration<double>(all.lastFinish - begin).count();
        std::uint64_t total = 0;
        for (auto n : all.outcomes)
            total += n;
        const std::uint64_t ok = all.outcomes[0];
        const std::uint64_t errors = total - ok;
        const double rate = elapsed > 0 ? static_cast<double>(ok) / elapsed : 0.0;
        const std::int64_t p50 = percentile(all.latencyNs, 50);
        const std::int64_t p99 = percentile(all.latencyNs, 99);
        const std::int64_t max = all.latencyNs.empty() ? 0 : all.latencyNs.back();
        std::uint64_t withinDeadline = 0;
        if (options.deadline) {
            const auto limit = static_cast<std::int64_t>(*options.deadline * 1e9);
            withinDeadline = static_cast<std::uint64_t>(
                std::upper_bound(all.latencyNs.begin(), all.latencyNs.end(), limit) -
                all.latencyNs.begin());
        }

        char line[256];
        std::snprintf(line, sizeof line, "%.2f s, %llu requests, %llu ok, %llu errors\n", elapsed,
                      static_cast<unsigned long long>(total), static_cast<unsigned long long>(ok),
                      static_cast<unsigned long long>(errors));
        std::cout << "elapsed           " << line;
        std::snprintf(line, sizeof line, "%.0f ok replies/s\n", rate);
        std::cout << "rate              " << line;
        std::snprintf(line, sizeof line,
                      "p50 %.2f ms, p99 %.2f ms, max %.2f ms (ok replies, connect to EOF)\n",
                      ms(p50), ms(p99), ms(max));
        std::cout << "latency           " << line;
        if (ok > 0) {
            std::snprintf(line, sizeof line, "%.0f bytes on average\n",
                          static_cast<double>(all.replyBytes) / static_cast<double>(total));
            std::cout << "reply size        " << line;
        }
        if (options.deadline) {
            std::snprintf(line, sizeof line, "%llu of %llu requests answered within %.2f s\n",
                          static_cast<unsigned long long>(withinDeadline),
                          static_cast<unsigned long long>(total), *options.deadline);
            std::cout << "deadline          " << line;
        }
        for (std::size_t i = 1; i < all.outcomes.size(); ++i)
            if (all.outcomes[i] > 0)
                std::cout << "error             " << kOutcomeNames[i] << ": " << all.outcomes[i]
                          << '\n';
        if (!all.firstError.empty())
            std::cout << "first error       " << all.firstError << '\n';
        std::snprintf(line, sizeof line, "%.2f s (%.0f %% of one core)\n", cpu,
                      elapsed > 0 ? 100.0 * cpu / elapsed : 0.0);
        std::cout << "load tool CPU     " << line;

        std::snprintf(line, sizeof line,
                      "RESULT requests=%llu ok=%llu errors=%llu elapsed_s=%.3f rate=%.1f "
                      "p50_ms=%.3f p99_ms=%.3f max_ms=%.3f cpu_s=%.2f",
                      static_cast<unsigned long long>(total), static_cast<unsigned long long>(ok),
                      static_cast<unsigned long long>(errors), elapsed, rate, ms(p50), ms(p99),
                      ms(max), cpu);
        std::cout << line;
        for (std::size_t i = 1; i < all.outcomes.size(); ++i)
            std::cout << ' ' << kOutcomeKeys[i] << '=' << all.outcomes[i];
        if (options.deadline)
            std::cout << " within_deadline=" << withinDeadline;
        std::cout << '\n';
    } catch (const std::exception& e) {
        std::cerr << "server_load: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
