#include "server/accesslog.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <poll.h>
#include <unistd.h>

namespace quillmere::server {

namespace {
// No more than a pipe takes at once without blocking once poll() says it is writable.
constexpr std::size_t kChunk = 4096;
constexpr auto kRetry = std::chrono::milliseconds(50);
} // namespace

std::string accessLogTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    std::array<char, 40> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &parts);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ", int(millis));
    return std::string(text.data(), length) + fraction.data();
}

AccessLog::AccessLog(const boost::asio::any_io_executor& executor, int descriptor,
                     std::size_t backlogLimit)
    : m_executor(executor)
    , m_retry(executor)
    , m_descriptor(descriptor)
    , m_limit(backlogLimit)
{}

AccessLog::~AccessLog()
{
    // At the end the program may wait a little for a slow reader, but not for ever.
    const std::lock_guard lock(m_lock);
    for (int rounds = 0; rounds < 20 && !m_pending.empty() && !m_broken; ++rounds) {
        pollfd ready{m_descriptor, POLLOUT, 0};
        if (::poll(&ready, 1, 50) > 0)
            flush();
    }
}

std::size_t AccessLog::dropped() const
{
    const std::lock_guard lock(m_lock);
    return m_dropped;
}

std::size_t AccessLog::backlog() const
{
    const std::lock_guard lock(m_lock);
    return m_pending.size();
}

void AccessLog::write(std::string_view line)
{
    const std::lock_guard lock(m_lock);
    if (m_broken)
        return;
    if (m_pending.size() + line.size() + 1 > m_limit) {
        ++m_dropped;
        return;
    }
    if (m_dropped != m_droppedReported) {
        m_pending.append("access log: ")
            .append(std::to_string(m_dropped - m_droppedReported))
            .append(" lines dropped, the reader did not keep up\n");
        m_droppedReported = m_dropped;
    }
    m_pending.append(line).append("\n");
    schedule();
}

void AccessLog::finish()
{
    const std::lock_guard lock(m_lock);
    m_finished = true;
    m_retry.cancel();
}

void AccessLog::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    boost::asio::post(m_executor, [this] {
        const std::lock_guard lock(m_lock);
        m_scheduled = false;
        flush();
    });
}

// Called with the lock held, on the log's executor.
void AccessLog::flush()
{
    while (!m_pending.empty() && !m_broken) {
        pollfd ready{m_descriptor, POLLOUT, 0};
        if (::poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLOUT)) {
            if (ready.revents & (POLLERR | POLLHUP | POLLNVAL))
                m_broken = true;
            break;
        }
        const ssize_t written =
            ::write(m_descriptor, m_pending.data(), std::min(m_pending.size(), kChunk));
        if (written > 0) {
            m_pending.erase(0, std::size_t(written));
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            m_broken = true; // nobody reads it any more (EPIPE, closed descriptor)
        } else {
            break;
        }
    }
    if (m_broken) {
        m_pending.clear();
        return;
    }
    if (!m_pending.empty() && !m_scheduled && !m_finished) {
        m_retry.expires_after(kRetry);
        m_retry.async_wait([this](const boost::system::error_code& error) {
            if (error)
                return;
            const std::lock_guard lock(m_lock);
            flush();
        });
    }
}

} // namespace quillmere::server
