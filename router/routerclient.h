#pragma once

// Runs RouterBackend calls off the calling thread and reports on it: the window and
// quillmere-check stay responsive however long the router takes (within the backend's bounds).

#include "router/routerbackend.h"

#include <QObject>

#include <functional>
#include <memory>

namespace quillmere::router {

class RouterClient : public QObject
{
    Q_OBJECT

public:
    explicit RouterClient(std::unique_ptr<RouterBackend> backend, QObject* parent = nullptr);
    // Returns at once: calls not yet started are dropped, a running one is cancelled and left to
    // end on the worker thread, which then destroys the backend. No signal comes after this.
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
    void post(std::function<void(RouterBackend&)> job);

    std::shared_ptr<Worker> m_worker; // shared with the worker thread
    int m_pending = 0;                // calls made and not yet reported
};

} // namespace quillmere::router
