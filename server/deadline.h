#pragma once

// A deadline for the operations on one socket: when it passes, the socket is closed, which ends
// whatever operation waits on it (it completes with operation_aborted). Cheaper than racing
// each operation against a timer of its own, which matters at thousands of checks a second.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>

namespace quillmere::server {

template <typename Socket>
class Deadline
{
public:
    // The deadline must not outlive the socket.
    Deadline(const boost::asio::any_io_executor& executor, Socket& socket)
        : m_timer(executor)
        , m_socket(socket)
        , m_state(std::make_shared<State>())
    {}
    ~Deadline() { ++m_state->generation; }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // Starts (or restarts) the count; `expired()` is reset.
    void arm(std::chrono::steady_clock::duration timeout)
    {
        const unsigned generation = ++m_state->generation;
        m_state->expired = false;
        m_timer.expires_after(timeout);
        // An expiry can already be on its way when the deadline is re-armed, disarmed or
        // destroyed; the generation tells such a late one to leave the socket alone.
        m_timer.async_wait([state = m_state, generation,
                            socket = &m_socket](const boost::system::error_code& error) {
            if (error || state->generation != generation)
                return;
            state->expired = true;
            boost::system::error_code ignored;
            socket->close(ignored);
        });
    }

    void disarm()
    {
        ++m_state->generation;
        m_timer.cancel();
    }

    bool expired() const { return m_state->expired; }

private:
    struct State
    {
        unsigned generation = 0;
        bool expired = false;
    };

    boost::asio::steady_timer m_timer;
    Socket& m_socket;
    std::shared_ptr<State> m_state;
};

} // namespace quillmere::server
