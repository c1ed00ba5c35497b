// The first-hops probe towards this computer's own addresses, and its bounded name lookup with
// a lookup that takes as long as the test wants. Nothing leaves this computer: the way through
// routers is tried in network namespaces by tests/netns/first_hops.sh.

#include "router/hops.h"

#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QTest>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace quillmere::router;
using namespace Qt::StringLiterals;

namespace quillmere::router {
// For QCOMPARE's messages.
char* toString(const Hop& hop)
{
    return QTest::toString(QString::number(hop.ttl) + u' ' + hop.address);
}
} // namespace quillmere::router

namespace {

// A lookup that blocks until the test lets it go, and tells when it has ended.
struct HeldLookup
{
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool started = false;
    bool ended = false;
    QList<QHostAddress> answer;

    void release()
    {
        const std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitStarted(int ms)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return started; });
    }
    bool waitEnded(int ms)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended; });
    }
};

hops_detail::Lookup heldLookup(const std::shared_ptr<HeldLookup>& held)
{
    return [held](const QString&) {
        std::unique_lock lock(held->mutex);
        held->started = true;
        held->changed.notify_all();
        held->changed.wait(lock, [&] { return held->released; });
        held->ended = true;
        held->changed.notify_all();
        return held->answer;
    };
}

} // namespace

class TestHops : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void loopbackIsReachedAtHopOne();
    void ownAddressIsReachedAtHopOne();
    void ipv6LoopbackIsReachedAtHopOne();
    void nothingAskedNothingSent();
    void badNameGivesNoHops();
    void hostNames_data();
    void hostNames();
    void literalNeedsNoLookup();
    void slowLookupIsDroppedAtTheBound();
    void lookupPrefersIpv4();
    void cancelEndsTheWait();
};

// Linux answers a datagram to a closed port of its own with "port unreachable" at once, from the
// address it was sent to: the way ends at hop 1, and nothing is waited for.
void TestHops::loopbackIsReachedAtHopOne()
{
    QElapsedTimer timer;
    timer.start();
    const QList<Hop> hops = probeFirstHops(u"127.0.0.1"_s, 3, 2000);
    const qint64 took = timer.elapsed();
#ifdef __linux__
    QCOMPARE(hops, (QList<Hop>{{1, u"127.0.0.1"_s}}));
    QVERIFY2(took < 1000, qPrintable(u"took %1 ms"_s.arg(took)));
#else
    QVERIFY(hops.isEmpty());
#endif
}

void TestHops::ownAddressIsReachedAtHopOne()
{
#ifndef __linux__
    QSKIP("the probe is Linux only");
#endif
    QHostAddress own;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            own = address;
    if (own.isNull())
        QSKIP("no IPv4 address besides loopback");
    QElapsedTimer timer;
    timer.start();
    const QList<Hop> hops = probeFirstHops(own.toString(), 3, 2000);
    QCOMPARE(hops, (QList<Hop>{{1, own.toString()}}));
    QVERIFY(timer.elapsed() < 1000);
}

void TestHops::ipv6LoopbackIsReachedAtHopOne()
{
#ifndef __linux__
    QSKIP("the probe is Linux only");
#endif
    bool hasIpv6Loopback = false;
    for (const QHostAddress& address : QNetworkInterface::allAddresses())
        hasIpv6Loopback |= address == QHostAddress(QHostAddress::LocalHostIPv6);
    if (!hasIpv6Loopback)
        QSKIP("no ::1 here");
    QElapsedTimer timer;
    timer.start();
    const QList<Hop> hops = probeFirstHops(u"[::1]"_s, 3, 2000);
    QCOMPARE(hops, (QList<Hop>{{1, u"::1"_s}}));
    QVERIFY(timer.elapsed() < 1000);
}

void TestHops::nothingAskedNothingSent()
{
    QVERIFY(probeFirstHops(u"127.0.0.1"_s, 0, 1000).isEmpty());
    QVERIFY(probeFirstHops(u"127.0.0.1"_s, 3, 0).isEmpty());
    QVERIFY(probeFirstHops(QString(), 3, 1000).isEmpty());
}

// A name that is no host name never reaches the resolver (so the test sends no DNS query) and
// gives no hops, at once.
void TestHops::badNameGivesNoHops()
{
    QElapsedTimer timer;
    timer.start();
    QVERIFY(probeFirstHops(QString(64, u'x') + u".invalid"_s, 3, 500).isEmpty());
    QVERIFY(probeFirstHops(u"no such host"_s, 3, 500).isEmpty());
    QVERIFY(probeFirstHops(u"bad..name"_s, 3, 500).isEmpty());
    QVERIFY(timer.elapsed() < 500);
}

void TestHops::hostNames_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("ok");
    QTest::newRow("name") << u"checker.example.net"_s << true;
    QTest::newRow("trailing dot") << u"checker.example.net."_s << true;
    QTest::newRow("one label") << u"localhost"_s << true;
    QTest::newRow("label of 63") << QString(63, u'a') + u".net"_s << true;
    QTest::newRow("label of 64") << QString(64, u'a') + u".net"_s << false;
    QTest::newRow("too long") << QString(QString(60, u'a') + u'.').repeated(5) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("dot") << u"."_s << false;
    QTest::newRow("empty label") << u"a..b"_s << false;
    QTest::newRow("space") << u"a b"_s << false;
    QTest::newRow("control") << u"a\nb"_s << false;
    QTest::newRow("not ascii") << u"bücher.example"_s << false;
}

void TestHops::hostNames()
{
    QFETCH(QString, host);
    QFETCH(bool, ok);
    QCOMPARE(hops_detail::isHostName(host), ok);
}

void TestHops::literalNeedsNoLookup()
{
    auto held = std::make_shared<HeldLookup>();
    QCOMPARE(hops_detail::resolveWithin(u"192.0.2.7"_s, 100, heldLookup(held)),
             QHostAddress(u"192.0.2.7"_s));
    QCOMPARE(hops_detail::resolveWithin(u"[2001:db8::1]"_s, 100, heldLookup(held)),
             QHostAddress(u"2001:db8::1"_s));
    QCOMPARE(hops_detail::resolveWithin(u" 10.1.2.3 "_s, 100, heldLookup(held)),
             QHostAddress(u"10.1.2.3"_s));
    QVERIFY(!held->ended); // never called: it would still be waiting for release()
}

// A resolver that does not answer in time costs the caller no more than its bound; its thread
// ends by itself once the resolver answers, and nobody is left waiting for it.
void TestHops::slowLookupIsDroppedAtTheBound()
{
    auto held = std::make_shared<HeldLookup>();
    held->answer = {QHostAddress(u"192.0.2.1"_s)};
    QElapsedTimer timer;
    timer.start();
    const QHostAddress found =
        hops_detail::resolveWithin(u"checker.example.net"_s, 200, heldLookup(held));
    const qint64 took = timer.elapsed();
    QVERIFY(found.isNull());
    QVERIFY2(took >= 190 && took < 1000, qPrintable(u"took %1 ms"_s.arg(took)));
    held->release();
    QVERIFY(held->waitEnded(5000));
}

void TestHops::lookupPrefersIpv4()
{
    auto held = std::make_shared<HeldLookup>();
    held->answer = {QHostAddress(u"2001:db8::5"_s), QHostAddress(u"192.0.2.5"_s)};
    held->release();
    QCOMPARE(hops_detail::resolveWithin(u"checker.example.net"_s, 5000, heldLookup(held)),
             QHostAddress(u"192.0.2.5"_s));

    auto onlyV6 = std::make_shared<HeldLookup>();
    onlyV6->answer = {QHostAddress(u"2001:db8::5"_s)};
    onlyV6->release();
    QCOMPARE(hops_detail::resolveWithin(u"checker.example.net"_s, 5000, heldLookup(onlyV6)),
             QHostAddress(u"2001:db8::5"_s));

    auto none = std::make_shared<HeldLookup>();
    none->release();
    QVERIFY(hops_detail::resolveWithin(u"checker.example.net"_s, 5000, heldLookup(none)).isNull());
}

// A cancel (the router client going) ends the wait for a lookup that has not answered, long
// before its bound; the lookup's thread still ends by itself. A cancelled token starts nothing.
void TestHops::cancelEndsTheWait()
{
    auto held = std::make_shared<HeldLookup>();
    held->answer = {QHostAddress(u"192.0.2.1"_s)};
    CancelToken cancel;
    std::thread canceller([held, cancel]() mutable {
        if (held->waitStarted(10000))
            cancel.cancel();
    });
    const QHostAddress found =
        hops_detail::resolveWithin(u"checker.example.net"_s, 60000, heldLookup(held), cancel);
    canceller.join();
    QVERIFY(found.isNull());
    QVERIFY(cancel.isCancelled());
    {
        const std::lock_guard lock(held->mutex);
        QVERIFY(held->started);
        QVERIFY(!held->ended); // the wait ended on the cancel, not on an answer
    }
    held->release();
    QVERIFY(held->waitEnded(5000));

    auto unused = std::make_shared<HeldLookup>();
    unused->release();
    QVERIFY(hops_detail::resolveWithin(u"checker.example.net"_s, 5000, heldLookup(unused), cancel)
                .isNull());
    QVERIFY(!unused->waitStarted(0));
}

QTEST_GUILESS_MAIN(TestHops)
#include "tst_hops.moc"
