// What the main window costs the GUI thread while it tracks: one poll of the engine's readings
// (25 a second while the engine searches, about 12 while it is locked) with the repaint that
// follows it, on Qt's offscreen platform, without an engine.
// The readings are those of a 112 BPM piece in 4/4: lamps that fade continuously, a level that
// moves, a tempo readout that flickers between neighbouring tenths, a confidence that wanders.
// Multiply the time per poll by the polls a second for the share of a core the window takes; in the
// running program a poll costs several times more, its caches cold after 40 to 90 ms of other work.
//
//   build-rel/bench/bench_window
#include <benchmark/benchmark.h>

#include "MainWindow.h"
#include "QLumacore.h"
#include "Resources.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>

namespace {

QLumacore::Readings readingsAt(long poll) {
    const double t = poll * 0.040;
    QLumacore::Readings r;
    r.beat = t * 112.0 / 60.0;
    r.bar = r.beat / 4.0;
    r.tatum = r.beat * 2.0;
    r.level = -14.0 + 6.0 * std::sin(poll * 0.7);
    r.nonBeatyness = r.level;
    r.bpm = 112.0 + 0.07 * std::sin(poll * 0.23);
    r.beatsPerBar = 4;
    r.confidence = 0.8 + 0.1 * std::sin(poll * 0.05);
    r.state = QLumacore::TrackState::Locked;
    return r;
}

void BM_PollAndRepaint(benchmark::State& state) {
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    auto* bridge = new QLumacore;
    MainWindow window(bridge);
    bridge->stopProcessing(); // the polls come from here
    window.show();
    long poll = 0;
    for (; poll < 50; ++poll) { // settle the layout and the first full paint
        bridge->publish(readingsAt(poll));
        QApplication::processEvents();
    }
    for (auto _ : state) {
        bridge->publish(readingsAt(poll++));
        QApplication::processEvents();
    }
    // Per cent of one core at 25 polls a second.
    state.counters["core_pct"] = benchmark::Counter(static_cast<double>(state.iterations()) / 2500.0,
                                                    benchmark::Counter::Flags(benchmark::Counter::kIsRate |
                                                                              benchmark::Counter::kInvert));
}
BENCHMARK(BM_PollAndRepaint)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    beatlumeInitResources();
    beatlumeInstallStyleSheet(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
