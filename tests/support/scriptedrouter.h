#pragma once

// A router for the tests of the front ends: it answers what the test scripts, records what it
// was asked, and can take its time (cut short when the client goes and cancels it). It runs on
// the router client's worker thread, so what a test reads back goes through a mutex.

#include "router/boundedcall.h"
#include "router/routerbackend.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThread>

#include <chrono>
#include <functional>

namespace quillmere::test {

class ScriptedRouter final : public router::RouterBackend
{
public:
    struct Script
    {
        router::RouterFacts facts;
        router::ForwardResult forward;
        router::ForwardResult unforward;
        int delayMs = 0; // each call takes this long
    };

    // What the router was asked, shared with the test (the backend itself is owned by the
    // client under test).
    struct Record
    {
        QMutex mutex;
        QList<router::LookupRequest> lookups;
        QList<router::ForwardRequest> forwards;
        QList<router::ForwardRequest> unforwards;
        QList<QThread*> threads;

        int lookupCount()
        {
            QMutexLocker lock(&mutex);
            return int(lookups.size());
        }
        int forwardCount()
        {
            QMutexLocker lock(&mutex);
            return int(forwards.size());
        }
    };

    ScriptedRouter(Script script, std::shared_ptr<Record> record)
        : m_script(std::move(script))
        , m_record(std::move(record))
    {}

    router::RouterFacts lookup(const router::LookupRequest& request) override
    {
        called([&] { m_record->lookups.append(request); });
        return m_script.facts;
    }
    router::ForwardResult forward(const router::ForwardRequest& request) override
    {
        called([&] { m_record->forwards.append(request); });
        return m_script.forward;
    }
    router::ForwardResult unforward(const router::ForwardRequest& request) override
    {
        called([&] { m_record->unforwards.append(request); });
        return m_script.unforward;
    }
    void cancel() override { m_cancel.cancel(); }

private:
    void called(const std::function<void()>& note)
    {
        {
            QMutexLocker lock(&m_record->mutex);
            note();
            m_record->threads.append(QThread::currentThread());
        }
        if (m_script.delayMs > 0) // the router taking its time
            m_cancel.sleepUntil(std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(m_script.delayMs));
    }

    Script m_script;
    router::CancelToken m_cancel;
    std::shared_ptr<Record> m_record;
};

} // namespace quillmere::test
