// RouterClient runs a backend's calls off the calling thread, one at a time in the order they
// were made, reports each through its signals on the calling thread, and goes at once, without
// waiting for a running call: it cancels it and leaves it, and the backend, to the worker thread.

#include "router/lan.h"
#include "router/routerclient.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace quillmere;
using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace {

// What the scripted backend saw; shared with the test, which outlives the backend.
struct Record
{
    std::mutex mutex;
    std::condition_variable changed;
    QList<QThread*> threads;
    QStringList calls;
    int running = 0;
    int mostAtOnce = 0;
    bool gateOpen = true; // a call waits until this is true (at most gateMs)
    int gateMs = 10000;
    int workMs = 0; // then does this much bounded "work"
    std::atomic<bool> destroyed{false};
    std::atomic<bool> allFinishedAtDestruction{false};
    std::atomic<bool> cancelled{false};
    std::atomic<QThread*> destroyedOn{nullptr};
    std::atomic<int> started{0};
    std::atomic<int> finished{0};

    void openGate()
    {
        {
            std::lock_guard lock(mutex);
            gateOpen = true;
        }
        changed.notify_all();
    }
};

class ScriptedBackend final : public RouterBackend
{
public:
    explicit ScriptedBackend(std::shared_ptr<Record> record)
        : m_record(std::move(record))
    {}
    ~ScriptedBackend() override
    {
        std::lock_guard lock(m_record->mutex);
        m_record->allFinishedAtDestruction = m_record->started == m_record->finished;
        m_record->destroyedOn = QThread::currentThread();
        m_record->destroyed = true;
    }

    // Noted only: this backend goes on blocking until its gate opens, like one that cannot cut
    // a call short.
    void cancel() override { m_record->cancelled = true; }

    RouterFacts lookup(const LookupRequest& request) override
    {
        enter(u"lookup "_s + QString::number(request.port));
        RouterFacts facts;
        facts.found = true;
        facts.address = u"lookup "_s + QString::number(request.port);
        leave();
        return facts;
    }
    ForwardResult forward(const ForwardRequest& request) override
    {
        enter(u"forward "_s + QString::number(request.port));
        ForwardResult result;
        result.ok = true;
        result.error = u"forward "_s + QString::number(request.port);
        leave();
        return result;
    }
    ForwardResult unforward(const ForwardRequest& request) override
    {
        enter(u"unforward "_s + QString::number(request.port));
        ForwardResult result;
        result.ok = true;
        result.error = u"unforward "_s + QString::number(request.port);
        leave();
        return result;
    }

private:
    void enter(const QString& call)
    {
        ++m_record->started;
        std::unique_lock lock(m_record->mutex);
        m_record->threads << QThread::currentThread();
        m_record->calls << call;
        m_record->mostAtOnce = std::max(m_record->mostAtOnce, ++m_record->running);
        m_record->changed.wait_for(lock, std::chrono::milliseconds(m_record->gateMs),
                                   [this] { return m_record->gateOpen; });
        if (m_record->workMs > 0)
            m_record->changed.wait_for(lock, std::chrono::milliseconds(m_record->workMs),
                                       [] { return false; });
    }
    void leave()
    {
        {
            std::lock_guard lock(m_record->mutex);
            --m_record->running;
        }
        ++m_record->finished;
    }

    std::shared_ptr<Record> m_record;
};

} // namespace

class TestRouterClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runsCallsOffTheCallingThread();
    void reportsResultsInOrderOneCallAtATime();
    void staysResponsiveWhileACallRuns();
    void goesAtOnceWhileACallBlocks();
    void resultsCrossQueuedConnections();
    void defaultRouteInterface_data();
    void defaultRouteInterface();
};

void TestRouterClient::runsCallsOffTheCallingThread()
{
    auto record = std::make_shared<Record>();
    RouterClient client(std::make_unique<ScriptedBackend>(record));
    QSignalSpy lookedUp(&client, &RouterClient::lookedUp);
    QThread* deliveredOn = nullptr;
    connect(&client, &RouterClient::lookedUp, this,
            [&](const RouterFacts&) { deliveredOn = QThread::currentThread(); });

    QVERIFY(!client.busy());
    client.lookup({8080, ProbeProtocol::Tcp, {}});
    QVERIFY(client.busy());
    QVERIFY(lookedUp.wait());
    QVERIFY(!client.busy());

    const auto facts = lookedUp.first().first().value<RouterFacts>();
    QCOMPARE(facts.address, u"lookup 8080"_s);
    QCOMPARE(record->threads.size(), 1);
    QVERIFY(record->threads.first() != QThread::currentThread());
    QCOMPARE(deliveredOn, QThread::currentThread());
}

void TestRouterClient::reportsResultsInOrderOneCallAtATime()
{
    auto record = std::make_shared<Record>();
    record->gateOpen = false; // all four are queued before the first runs
    RouterClient client(std::make_unique<ScriptedBackend>(record));
    QStringList order;
    connect(&client, &RouterClient::lookedUp, this,
            [&](const RouterFacts& facts) { order << facts.address; });
    connect(&client, &RouterClient::forwarded, this,
            [&](const ForwardResult& result) { order << result.error; });
    connect(&client, &RouterClient::unforwarded, this,
            [&](const ForwardResult& result) { order << result.error; });

    client.lookup({1, ProbeProtocol::Tcp, {}});
    client.forward({2, ProbeProtocol::Udp, 3600});
    client.unforward({3, ProbeProtocol::Tcp, 0});
    client.lookup({4, ProbeProtocol::Udp, {}});
    record->openGate();

    const QStringList expected = {u"lookup 1"_s, u"forward 2"_s, u"unforward 3"_s, u"lookup 4"_s};
    QTRY_COMPARE(order, expected);
    QCOMPARE(record->calls, expected);
    QCOMPARE(record->mostAtOnce, 1);
    QVERIFY(!client.busy());
}

void TestRouterClient::staysResponsiveWhileACallRuns()
{
    auto record = std::make_shared<Record>();
    record->gateOpen = false;
    RouterClient client(std::make_unique<ScriptedBackend>(record));
    QSignalSpy lookedUp(&client, &RouterClient::lookedUp);

    // The call can only end once the timer has ticked five times on this thread: the thread
    // must go on running its events while the backend works.
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [&] {
        if (++ticks == 5)
            record->openGate();
    });
    timer.start();
    client.lookup({8080, ProbeProtocol::Tcp, {}});
    QVERIFY(lookedUp.wait(10000));
    QVERIFY(ticks >= 5);
}

void TestRouterClient::goesAtOnceWhileACallBlocks()
{
    auto record = std::make_shared<Record>();
    record->gateOpen = false; // the call blocks until the test opens the gate
    auto client = std::make_unique<RouterClient>(std::make_unique<ScriptedBackend>(record));
    bool reported = false;
    connect(client.get(), &RouterClient::lookedUp, this,
            [&](const RouterFacts&) { reported = true; });
    client->lookup({1, ProbeProtocol::Tcp, {}});
    client->lookup({2, ProbeProtocol::Tcp, {}}); // queued: dropped with the client
    QTRY_COMPARE(record->started.load(), 1);

    QElapsedTimer clock;
    clock.start();
    client.reset();
    const qint64 ms = clock.elapsed();
    qInfo("destroying a RouterClient while its backend blocks took %lld ms", ms);
    // It did not wait: the call is still blocked, and its backend is still there.
    QCOMPARE(record->finished.load(), 0);
    QVERIFY(!record->destroyed);
    QVERIFY(record->cancelled);
    QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));

    // The call ends on the worker thread, which then destroys the backend; the queued call
    // never runs, and the result is dropped.
    record->openGate();
    QTRY_VERIFY(record->destroyed);
    QVERIFY(record->allFinishedAtDestruction);
    QVERIFY(record->destroyedOn.load() != QThread::currentThread());
    QCOMPARE(record->finished.load(), 1);
    QCOMPARE(record->calls, QStringList{u"lookup 1"_s});
    QCoreApplication::processEvents();
    QVERIFY(!reported);
}

void TestRouterClient::resultsCrossQueuedConnections()
{
    auto record = std::make_shared<Record>();
    RouterClient client(std::make_unique<ScriptedBackend>(record));
    QObject receiver;
    QString got;
    connect(
        &client, &RouterClient::forwarded, &receiver,
        [&](const ForwardResult& result) { got = result.error; }, Qt::QueuedConnection);
    client.forward({7, ProbeProtocol::Tcp, 60});
    QTRY_COMPARE(got, u"forward 7"_s);
}

void TestRouterClient::defaultRouteInterface_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QString>("interface");
    const QByteArray head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU"
                            "\tWindow\tIRTT\n";
    QTest::newRow("one default")
        << head + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                  "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        << u"eth0"_s;
    QTest::newRow("lowest metric wins")
        << head + "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                  "eth1\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        << u"eth1"_s;
    QTest::newRow("a route that is down")
        << head + "eth0\t00000000\t0101A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
                  "wg0\t00000000\t00000000\t0001\t0\t0\t50\t00000000\t0\t0\t0\n"
        << u"wg0"_s;
    QTest::newRow("no default")
        << head + "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        << QString();
    QTest::newRow("a default with a mask is no default")
        << head + "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t000000FF\t0\t0\t0\n"
        << QString();
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("short lines") << head + "eth0\t00000000\n" << QString();
}

// The default route's interface, read from the text of /proc/net/route.
void TestRouterClient::defaultRouteInterface()
{
    QFETCH(QByteArray, table);
    QFETCH(QString, interface);
    QCOMPARE(quillmere::router::defaultRouteInterface(table), interface);
}

QTEST_GUILESS_MAIN(TestRouterClient)
#include "tst_routerclient.moc"
