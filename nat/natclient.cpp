#include "nat/discovery.h"
#include "nat/natfacts.h"

#include <QMetaObject>
#include <QMetaType>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace quillmere::nat {

// One worker thread runs the discoveries in the order they were asked for. Its state is shared
// by the client and the thread: when the client goes, it drops the runs not yet started, cancels
// the running one and leaves the thread to end it by itself, without waiting for it.
//
// Each result goes back to the client's thread as a queued call with the client as its context,
// posted only while the client lives (checked under the mutex the destructor takes), so a result
// that comes after the client is gone is dropped with it.
struct NatClient::Worker
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<NatRequest> queue; // guarded by mutex
    bool stopping = false;        // guarded by mutex
    NatClient* client = nullptr;  // guarded by mutex; null once gone
    Cancel cancel;                // the running discovery's

    void run()
    {
        for (;;) {
            NatRequest request;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (stopping)
                    return;
                request = std::move(queue.front());
                queue.pop_front();
            }
            report(runDiscovery(request, cancel));
        }
    }

    void report(NatFacts facts)
    {
        const std::lock_guard lock(mutex);
        if (!client)
            return;
        NatClient* target = client;
        QMetaObject::invokeMethod(
            target,
            [target, facts = std::move(facts)] {
                --target->m_pending;
                Q_EMIT target->discovered(facts);
            },
            Qt::QueuedConnection);
    }
};

NatClient::NatClient(QObject* parent)
    : QObject(parent)
    , m_worker(std::make_shared<Worker>())
{
    qRegisterMetaType<NatFacts>();
    m_worker->client = this;
    std::thread([worker = m_worker] { worker->run(); }).detach();
}

NatClient::~NatClient()
{
    {
        const std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
        m_worker->queue.clear(); // runs not yet started are dropped
        m_worker->client = nullptr;
    }
    m_worker->wake.notify_one();
    m_worker->cancel.cancel();
}

void NatClient::discover(const NatRequest& request)
{
    ++m_pending;
    {
        const std::lock_guard lock(m_worker->mutex);
        m_worker->queue.push_back(request);
    }
    m_worker->wake.notify_one();
}

bool NatClient::busy() const
{
    return m_pending > 0;
}

} // namespace quillmere::nat
