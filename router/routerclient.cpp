#include "router/routerclient.h"

#include <QMetaObject>
#include <QMetaType>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quillmere::router {

// One worker thread runs the backend's calls in the order they were made. The worker's state,
// the backend included, is shared by the client and the thread: when the client goes, it drops
// the calls not yet started, cancels the backend and leaves the thread to end the running call
// by itself, without waiting for it. The thread then destroys the backend as the last owner.
//
// Each result goes back to the client's own thread as a queued call with the client as its
// context, posted only while the client lives (checked under the mutex the destructor takes),
// so a result that comes after the client is gone is dropped with it.
struct RouterClient::Worker
{
    std::unique_ptr<RouterBackend> backend; // set before the thread starts; the thread's only
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void(RouterBackend&)>> queue; // guarded by mutex
    bool stopping = false;                                 // guarded by mutex
    RouterClient* client = nullptr;                        // guarded by mutex; null once gone

    void run()
    {
        for (;;) {
            std::function<void(RouterBackend&)> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping)
                    return;
                job = std::move(queue.front());
                queue.pop_front();
            }
            job(*backend);
        }
    }

    // Runs `deliver` on the client's thread, when the client is still there.
    void report(std::function<void(RouterClient&)> deliver)
    {
        const std::lock_guard lock(mutex);
        if (!client)
            return;
        RouterClient* target = client;
        QMetaObject::invokeMethod(
            target, [target, deliver = std::move(deliver)] { deliver(*target); },
            Qt::QueuedConnection);
    }
};

RouterClient::RouterClient(std::unique_ptr<RouterBackend> backend, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_shared<Worker>())
{
    qRegisterMetaType<RouterFacts>();
    qRegisterMetaType<ForwardResult>();
    m_worker->backend = std::move(backend);
    m_worker->client = this;
    std::thread([worker = m_worker] { worker->run(); }).detach();
}

RouterClient::~RouterClient()
{
    {
        const std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
        m_worker->queue.clear(); // calls not yet started are dropped
        m_worker->client = nullptr;
    }
    m_worker->wake.notify_one();
    // The backend lives as long as the thread holds the worker: it cannot go under this call.
    m_worker->backend->cancel();
}

void RouterClient::post(std::function<void(RouterBackend&)> job)
{
    ++m_pending;
    {
        const std::lock_guard lock(m_worker->mutex);
        m_worker->queue.push_back(std::move(job));
    }
    m_worker->wake.notify_one();
}

// The jobs hold the worker by a plain pointer: they run on its thread, which owns it.
void RouterClient::lookup(const LookupRequest& request)
{
    Worker* worker = m_worker.get();
    post([worker, request](RouterBackend& backend) {
        worker->report([facts = backend.lookup(request)](RouterClient& client) {
            --client.m_pending;
            Q_EMIT client.lookedUp(facts);
        });
    });
}

void RouterClient::forward(const ForwardRequest& request)
{
    Worker* worker = m_worker.get();
    post([worker, request](RouterBackend& backend) {
        worker->report([result = backend.forward(request)](RouterClient& client) {
            --client.m_pending;
            Q_EMIT client.forwarded(result);
        });
    });
}

void RouterClient::unforward(const ForwardRequest& request)
{
    Worker* worker = m_worker.get();
    post([worker, request](RouterBackend& backend) {
        worker->report([result = backend.unforward(request)](RouterClient& client) {
            --client.m_pending;
            Q_EMIT client.unforwarded(result);
        });
    });
}

bool RouterClient::busy() const
{
    return m_pending > 0;
}

} // namespace quillmere::router
