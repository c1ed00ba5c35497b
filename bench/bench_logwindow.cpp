// The log window while a large reply arrives: 1 MiB in 1,000 arrivals, each in its own pass of
// the event loop, with the window open. Measured as the program does it (one update per pass,
// adding only the new tail) and, as the baseline, the whole log copied into the box at every
// entry.

#include "bench/nullview.h"
#include "engine/checkengine.h"
#include "ui/logmirror.h"

#include <QApplication>
#include <QPlainTextEdit>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

constexpr int kArrivals = 1000;
constexpr int kPieceBytes = 1024;

using bench::NullView;

// One arrival as the check-server client logs it: its header line, then 1 KiB of reply text in
// lines of 64 characters.
QString arrival(int index)
{
    QString text;
    text.reserve(kPieceBytes + 40);
    text += u"HTTP: Begin data arrived: "_s + QString::number(kPieceBytes) + u"\r\n"_s;
    for (int line = 0; line < kPieceBytes / 64; ++line)
        text += QString(62, QChar(u'a' + (index + line) % 26)) + u"\r\n"_s;
    return text;
}

// An engine and a shown log box of the log window's size.
struct Scene
{
    Scene()
    {
        box.setLineWrapMode(QPlainTextEdit::NoWrap);
        box.resize(393, 141);
        box.show();
    }
    NullView view;
    CheckEngine engine{view, CheckServerAddress{u"127.0.0.1"_s, 1}};
    QPlainTextEdit box;
};

// The arrivals as the program mirrors them; returns the mirror's update count once the box
// shows the whole log.
int mirrorArrivals(Scene& scene, bool passPerArrival)
{
    LogMirror mirror([&scene]() -> const QString& { return scene.engine.httpLogText(); });
    mirror.setBox(&scene.box);
    QObject::connect(&scene.engine, &CheckEngine::httpLogAppended, &mirror,
                     &LogMirror::logAppended);
    for (int i = 0; i < kArrivals; ++i) {
        scene.engine.AddLogHTTP(arrival(i));
        if (passPerArrival)
            QCoreApplication::processEvents();
    }
    while (mirror.isPending())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return mirror.updateCount();
}

void BM_LogWindow_1MiBIn1000Arrivals(benchmark::State& state)
{
    for (auto _ : state) {
        Scene scene;
        state.counters["updates"] = mirrorArrivals(scene, true);
        if (scene.box.blockCount() != scene.engine.httpLogText().count(u'\n') + 1)
            state.SkipWithError("the box does not show the whole log");
        state.counters["log_KiB"] = double(scene.engine.httpLogText().size()) / 1024;
    }
}
BENCHMARK(BM_LogWindow_1MiBIn1000Arrivals)->Unit(benchmark::kMillisecond)->Iterations(3);

// The baseline: the whole log written into the box at every entry.
void BM_LogWindow_1MiBIn1000Arrivals_WholeCopyEachEntry(benchmark::State& state)
{
    for (auto _ : state) {
        Scene scene;
        QObject::connect(&scene.engine, &CheckEngine::httpLogAppended, &scene.box, [&scene] {
            scene.box.setPlainText(scene.engine.httpLogText());
            scene.box.moveCursor(QTextCursor::End);
        });
        for (int i = 0; i < kArrivals; ++i) {
            scene.engine.AddLogHTTP(arrival(i));
            QCoreApplication::processEvents();
        }
        benchmark::DoNotOptimize(scene.box.blockCount());
    }
}
BENCHMARK(BM_LogWindow_1MiBIn1000Arrivals_WholeCopyEachEntry)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 1,000 entries in one pass of the event loop: one update.
void BM_LogWindow_BurstInOnePass(benchmark::State& state)
{
    for (auto _ : state) {
        Scene scene;
        state.counters["updates"] = mirrorArrivals(scene, false);
    }
}
BENCHMARK(BM_LogWindow_BurstInOnePass)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
