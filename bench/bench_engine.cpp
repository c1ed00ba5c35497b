// What the verdict costs over a large server log, and what appending log entries costs.
//
// Sizes are in characters; each character of a log is one byte received from the network, so
// the bytes/second figures are bytes of received text searched per second.

#include "bench/nullview.h"
#include "engine/checkengine.h"
#include "engine/exchangelog.h"
#include "engine/verdict.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

using bench::NullView;

// A reply body of `characters` characters that holds no marker, as one arrival.
QString replyEntry(qsizetype characters, bool markers)
{
    const QString line = u"Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do "
                         u"eiusmod tempor incididunt ut labore.\r\n"_s;
    const QString tail = markers ? u"-tcpopen- -ping ok -ip:192.0.2.1- -done-\n"_s : QString();
    QString body;
    body.reserve(characters);
    while (body.size() + line.size() + tail.size() <= characters)
        body += line;
    body += QString(characters - body.size() - tail.size(), u'.');
    body += tail;
    return u"HTTP: Begin data arrived: "_s + QString::number(body.size()) + u"\r\n"_s + body;
}

// A whole server log: version line, connect line, the reply, the close line.
QString serverLog(qsizetype characters, bool markers)
{
    ExchangeLog log(characters * 2);
    log.reset(CheckEngine::versionLine());
    log.append(u"HTTP: Connect to: 127.0.0.1:80");
    log.append(replyEntry(characters, markers));
    log.append(u"HTTP: Close ok");
    return log.text();
}

const QString kProbeLog = u"Data arrived on local port: 5000\r\nDunmoor port probe\r\n"_s;

void sizes(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"chars", "markers"});
    benchmark->ArgsProduct({{256 << 10, 1 << 20, 4 << 20}, {1, 0}});
}

// decideVerdict alone. With the markers at the end the TCP checks find each one there; without
// them every search runs to the end of the log and the verdict is row 2.
void BM_DecideVerdict(benchmark::State& state)
{
    const bool markers = state.range(1) != 0;
    const QString log = serverLog(state.range(0), markers);
    const QString listener = markers ? kProbeLog : QString();
    for (auto _ : state)
        benchmark::DoNotOptimize(decideVerdict(log, listener, ProbeProtocol::Tcp, false));
    state.SetBytesProcessed(state.iterations() * log.size());
    state.counters["row"] = int(decideVerdict(log, listener, ProbeProtocol::Tcp, false).outcome);
}
BENCHMARK(BM_DecideVerdict)->Apply(sizes)->Unit(benchmark::kMicrosecond);

// EvaluateResult through an engine whose logs hold one reply of the benchmark's size. With
// `newEntry`, a listener entry arrives before each run, so the logs are searched again; without
// it the runs repeat over the same logs, as the "another device" re-check does every 5 ms while
// it waits for the probe.
void evaluateResult(benchmark::State& state, bool newEntry)
{
    const bool markers = state.range(1) != 0;
    NullView view;
    CheckEngine engine(view, CheckServerAddress{u"127.0.0.1"_s, 80});
    engine.setLogLimit(state.range(0) * 2);
    engine.AddLogHTTP(replyEntry(state.range(0), markers));
    if (markers)
        engine.AddLogWS(u"Dunmoor port probe"_s);
    for (auto _ : state) {
        if (newEntry)
            engine.AddLogWS(QString());
        engine.EvaluateResult();
    }
    if (newEntry)
        state.SetBytesProcessed(state.iterations() * engine.httpLogText().size());
    state.counters["row"] = engine.lastVerdict() ? int(engine.lastVerdict()->outcome) : 0;
}

void BM_EvaluateResult(benchmark::State& state)
{
    evaluateResult(state, false);
}
BENCHMARK(BM_EvaluateResult)->Apply(sizes)->Unit(benchmark::kMicrosecond);

void BM_EvaluateResultAfterEntry(benchmark::State& state)
{
    evaluateResult(state, true);
}
BENCHMARK(BM_EvaluateResultAfterEntry)->Apply(sizes)->Unit(benchmark::kMicrosecond);

constexpr int kEntries = 10000;

// One reply arrival of 64 characters, as the server log records it.
QString typicalEntry()
{
    return u"HTTP: Begin data arrived: 64\r\n"_s + QString(64, u'x');
}

// Appending 10,000 entries to a fresh log.
void BM_ExchangeLogAppend(benchmark::State& state)
{
    const QString entry = typicalEntry();
    for (auto _ : state) {
        ExchangeLog log;
        log.reset(CheckEngine::versionLine());
        for (int i = 0; i < kEntries; ++i)
            log.append(entry);
        benchmark::DoNotOptimize(log.text().size());
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_ExchangeLogAppend)->Unit(benchmark::kMillisecond);

// The same through AddLogHTTP of an engine, which also signals every append.
void BM_EngineAddLogHTTP(benchmark::State& state)
{
    const QString entry = typicalEntry();
    NullView view;
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = std::make_unique<CheckEngine>(view, CheckServerAddress{u"127.0.0.1"_s, 80});
        state.ResumeTiming();
        for (int i = 0; i < kEntries; ++i)
            engine->AddLogHTTP(entry);
        benchmark::DoNotOptimize(engine->httpLogText().size());
        state.PauseTiming();
        engine.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_EngineAddLogHTTP)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char* argv[])
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The engine's timers and sockets want an application object.
    QCoreApplication app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
