#include "router/routerclient.h"

#include <QMetaObject>
#include <QMetaType>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quillmere::router {

// One worker thread runs the backend's calls in the order they were made. Each result goes back
// to the client's own thread as a queued call with the client as its context, so a result that
// comes after the client is gone is dropped with it.
struct RouterClient::Worker
{
    std::unique_ptr<RouterBackend> backend;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue; // guarded by mutex
    bool stopping = false;                   // guarded by mutex
    std::thread thread;
    int pending = 0; // calls made and not yet reported; the client's thread only

    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping)
                    return;
                job = std::move(queue.front());
                queue.pop_front();
            }
            job();
        }
    }

    void post(std::function<void()> job)
    {
        ++pending;
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(job));
        }
        wake.notify_one();
    }
};

RouterClient::RouterClient(std::unique_ptr<RouterBackend> backend, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_unique<Worker>())
{
    qRegisterMetaType<RouterFacts>();
    qRegisterMetaType<ForwardResult>();
    m_worker->backend = std::move(backend);
    m_worker->thread = std::thread([worker = m_worker.get()] { worker->run(); });
}

RouterClient::~RouterClient()
{
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
        m_worker->queue.clear(); // calls not yet started are dropped
    }
    m_worker->wake.notify_one();
    m_worker->thread.join(); // a call still running is bounded
}

void RouterClient::lookup(const LookupRequest& request)
{
    m_worker->post([this, request] {
        RouterFacts facts = m_worker->backend->lookup(request);
        QMetaObject::invokeMethod(
            this,
            [this, facts = std::move(facts)] {
                --m_worker->pending;
                Q_EMIT lookedUp(facts);
            },
            Qt::QueuedConnection);
    });
}

void RouterClient::forward(const ForwardRequest& request)
{
    m_worker->post([this, request] {
        ForwardResult result = m_worker->backend->forward(request);
        QMetaObject::invokeMethod(
            this,
            [this, result = std::move(result)] {
                --m_worker->pending;
                Q_EMIT forwarded(result);
            },
            Qt::QueuedConnection);
    });
}

void RouterClient::unforward(const ForwardRequest& request)
{
    m_worker->post([this, request] {
        ForwardResult result = m_worker->backend->unforward(request);
        QMetaObject::invokeMethod(
            this,
            [this, result = std::move(result)] {
                --m_worker->pending;
                Q_EMIT unforwarded(result);
            },
            Qt::QueuedConnection);
    });
}

bool RouterClient::busy() const
{
    return m_worker->pending > 0;
}

} // namespace quillmere::router
