#pragma once

// Runs RouterBackend calls off the calling thread and reports on it: the window and
// quillmere-check stay responsive however long the router takes (within the backend's bounds).

#include "router/routerbackend.h"

#include <QObject>

#include <memory>

namespace quillmere::router {

class RouterClient : public QObject
{
    Q_OBJECT

public:
    explicit RouterClient(std::unique_ptr<RouterBackend> backend, QObject* parent = nullptr);
    // Waits for a call still running: each is bounded.
    ~RouterClient() override;

    // One call at a time: a call made while another runs is queued behind it.
    void lookup(const LookupRequest& request);
    void forward(const ForwardRequest& request);
    void unforward(const ForwardRequest& request);

    bool busy() const;

Q_SIGNALS:
    void lookedUp(const quillmere::router::RouterFacts& facts);
    void forwarded(const quillmere::router::ForwardResult& result);
    void unforwarded(const quillmere::router::ForwardResult& result);

private:
    struct Worker;
    std::unique_ptr<Worker> m_worker;
};

} // namespace quillmere::router
