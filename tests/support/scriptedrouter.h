#pragma once

// A router for the tests of the front ends: it answers what the test scripts, records what it
// was asked, and can take its time (cut short when the client goes and cancels it). It runs on
// the router client's worker thread, so what a test reads back goes through a mutex.

#include "router/boundedcall.h"
#include "router/routerbackend.h"

#include <QMap>
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
        // A router with a table of mappings (Record::mappings, which a test may fill first):
        // when set, a lookup reads the port's mapping from the table, a forward that is ok adds
        // to it and a removal that is ok takes from it, as a router does.
        bool keepsMappings = false;
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
        // With Script::keepsMappings: the router's mappings by external port.
        QMap<int, router::Mapping> mappings;

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
        int unforwardCount()
        {
            QMutexLocker lock(&mutex);
            return int(unforwards.size());
        }
        QList<int> mappedPorts()
        {
            QMutexLocker lock(&mutex);
            return mappings.keys();
        }
    };

    ScriptedRouter(Script script, std::shared_ptr<Record> record)
        : m_script(std::move(script))
        , m_record(std::move(record))
    {}

    router::RouterFacts lookup(const router::LookupRequest& request) override
    {
        called([&] { m_record->lookups.append(request); });
        router::RouterFacts facts = m_script.facts;
        if (m_script.keepsMappings) {
            QMutexLocker lock(&m_record->mutex);
            facts.mapping.reset();
            if (const auto found = m_record->mappings.constFind(request.port);
                found != m_record->mappings.cend())
                facts.mapping = *found;
        }
        return facts;
    }
    router::ForwardResult forward(const router::ForwardRequest& request) override
    {
        called([&] { m_record->forwards.append(request); });
        router::ForwardResult result = m_script.forward;
        if (m_script.keepsMappings && result.ok) {
            QMutexLocker lock(&m_record->mutex);
            router::Mapping mapping{
                m_script.facts.localAddress, request.port, QStringLiteral("Quillmere"),
                request.leaseSeconds,        {},           true};
            m_record->mappings.insert(request.external(), mapping);
            result.mapping = mapping;
            result.externalPort = request.externalPort == 0 ? 0 : request.external();
        }
        return result;
    }
    router::ForwardResult unforward(const router::ForwardRequest& request) override
    {
        called([&] { m_record->unforwards.append(request); });
        router::ForwardResult result = m_script.unforward;
        if (m_script.keepsMappings && result.ok) {
            QMutexLocker lock(&m_record->mutex);
            m_record->mappings.remove(request.external());
            result.seenGone = true;
        }
        return result;
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
