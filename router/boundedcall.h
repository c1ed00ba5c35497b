#pragma once

// Blocking work the router client cannot cut short (a name lookup in the system resolver, the
// first-hops probe) run so that its caller waits no longer than it chooses: the work runs on a
// detached thread of its own, and the caller takes its outcome when it comes by a deadline, or
// gives up at the deadline or as soon as a CancelToken is cancelled. What the thread touches is
// its own copy of the work and a shared state held by shared_ptr, so a thread that outlives its
// caller (or the whole RouterClient) never touches anything freed.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace quillmere::router {

// Asks the waits that were given it to end now, from any thread. Copies share one state: cancel
// one and every copy is cancelled, for good.
class CancelToken
{
public:
    CancelToken()
        : m_state(std::make_shared<State>())
    {}

    void cancel()
    {
        {
            const std::lock_guard lock(m_state->mutex);
            m_state->cancelled = true;
        }
        m_state->changed.notify_all();
    }

    bool isCancelled() const
    {
        const std::lock_guard lock(m_state->mutex);
        return m_state->cancelled;
    }

    // Waits until `until`, or less when the token is cancelled first. True when cancelled.
    template <typename Clock, typename Duration>
    bool sleepUntil(std::chrono::time_point<Clock, Duration> until) const
    {
        std::unique_lock lock(m_state->mutex);
        return m_state->changed.wait_until(lock, until, [&] { return m_state->cancelled; });
    }

    struct State
    {
        std::mutex mutex;
        std::condition_variable changed; // cancelled, or a call's outcome came
        bool cancelled = false;          // guarded by mutex
    };
    // For callWithin, which waits on the same mutex and condition variable.
    const std::shared_ptr<State>& state() const { return m_state; }

private:
    std::shared_ptr<State> m_state;
};

// Runs `work` on a detached thread from the moment it is made; wait() takes its outcome when it
// comes by a deadline, and gives nullopt when it does not, when the token is (or gets)
// cancelled, or when no thread could be started. Past that the thread is left to end by itself:
// `work` must be bounded on its own (the system resolver's time-outs, a probe's deadline).
// `work` is moved into the thread, so what it captures must be values or shared_ptrs, never
// references to the caller's locals. The BoundedCall itself may go before the thread ends.
template <typename T>
class BoundedCall
{
public:
    template <typename Work>
    BoundedCall(Work work, const CancelToken& cancel)
        : m_sync(cancel.state())
        , m_outcome(std::make_shared<std::optional<T>>())
    {
        {
            const std::lock_guard lock(m_sync->mutex);
            if (m_sync->cancelled)
                return;
        }
        try {
            // The outcome is guarded by the token's mutex, so one condition variable wakes the
            // caller for either.
            std::thread([sync = m_sync, outcome = m_outcome, work = std::move(work)]() mutable {
                T value = work();
                {
                    const std::lock_guard lock(sync->mutex);
                    *outcome = std::move(value);
                }
                sync->changed.notify_all();
            }).detach();
            m_started = true;
        } catch (const std::system_error&) {
        }
    }

    // Whether the thread runs (it does not when the token was cancelled before, or when no
    // thread could be had).
    bool started() const { return m_started; }

    template <typename Clock, typename Duration>
    std::optional<T> wait(std::chrono::time_point<Clock, Duration> until)
    {
        if (!m_started)
            return std::nullopt;
        std::unique_lock lock(m_sync->mutex);
        m_sync->changed.wait_until(lock, until,
                                   [&] { return m_outcome->has_value() || m_sync->cancelled; });
        if (m_sync->cancelled)
            return std::nullopt;
        return *m_outcome;
    }

private:
    std::shared_ptr<CancelToken::State> m_sync;
    std::shared_ptr<std::optional<T>> m_outcome;
    bool m_started = false;
};

// Runs `work` as a BoundedCall and waits for it at most `timeoutMs`.
template <typename Work>
auto callWithinMs(Work work, int timeoutMs, const CancelToken& cancel = CancelToken())
    -> std::optional<std::invoke_result_t<Work&>>
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    BoundedCall<std::invoke_result_t<Work&>> call(std::move(work), cancel);
    return call.wait(until);
}

} // namespace quillmere::router
