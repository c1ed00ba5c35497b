#include "router/routerclient.h"

namespace quillmere::router {

// Not written yet: runs each call on the calling thread.
struct RouterClient::Worker
{
    std::unique_ptr<RouterBackend> backend;
};

RouterClient::RouterClient(std::unique_ptr<RouterBackend> backend, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_unique<Worker>())
{
    m_worker->backend = std::move(backend);
}

RouterClient::~RouterClient() = default;

void RouterClient::lookup(const LookupRequest& request)
{
    Q_EMIT lookedUp(m_worker->backend->lookup(request));
}

void RouterClient::forward(const ForwardRequest& request)
{
    Q_EMIT forwarded(m_worker->backend->forward(request));
}

void RouterClient::unforward(const ForwardRequest& request)
{
    Q_EMIT unforwarded(m_worker->backend->unforward(request));
}

bool RouterClient::busy() const
{
    return false;
}

} // namespace quillmere::router
