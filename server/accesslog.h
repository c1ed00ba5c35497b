#pragma once

// The access log: lines go out on a descriptor (stdout) without ever holding up the event loop.
// Lines written during one pass of the loop leave together; a reader that does not keep up
// gets the backlog later, up to a bound, and a line saying how many were dropped beyond it.
// Any event loop may write; the writing to the descriptor happens on the log's own executor.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace quillmere::server {

// The time an access log line starts with: UTC to the millisecond, as 2026-01-31T23:59:59.123Z.
std::string accessLogTime();

class AccessLog
{
public:
    AccessLog(const boost::asio::any_io_executor& executor, int descriptor,
              std::size_t backlogLimit = std::size_t(1) << 20);
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    void write(std::string_view line);

    // No more retries on the event loop, so that it can run dry; the destructor makes a last,
    // short attempt at the backlog. Call it on the log's executor.
    void finish();

    std::size_t dropped() const;
    std::size_t backlog() const;

private:
    void schedule();
    void flush();

    boost::asio::any_io_executor m_executor;
    boost::asio::steady_timer m_retry;
    int m_descriptor;
    std::size_t m_limit;
    mutable std::mutex m_lock; // over the pending lines and the counts
    std::string m_pending;
    std::size_t m_dropped = 0;
    std::size_t m_droppedReported = 0;
    bool m_scheduled = false;
    bool m_broken = false;
    bool m_finished = false;
};

} // namespace quillmere::server
