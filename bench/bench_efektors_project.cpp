// The worst project file the loader accepts: as many efektors as a project may hold (and, for
// scale, 16), all in the selected scene (the port search sees every one), each a curve of the
// most nodes a curve may have, so that every curve's spline is solved at its largest. Also one
// such spline alone.
// Qt's offscreen platform; the efektors run without an engine.
//
//   build-rel/bench/bench_efektors_project
#include <benchmark/benchmark.h>

#include "BrazierCurve.h"
#include "EfektorList.h"
#include "ProjectFile.h"
#include "spline.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>

namespace {

QByteArray worstProject(int efektors) {
    QByteArray curve = "2\n0\nCurve\n1\n7\n0\n0\n0\n0\n0\n0\n0\n" + QByteArray::number(BrazierCurve::maxNodes) + "\n";
    for (int i = 0; i < BrazierCurve::maxNodes; ++i)
        curve += QByteArray::number(i * 9) + "\n" + QByteArray::number(100 + (i * 37) % 300) + "\n0\n";
    curve += "END_EFEKTOR\n";
    QByteArray file = "Save format version: 1\n" + QByteArray::number(efektors) + "\n0\n";
    for (int i = 0; i < efektors && file.size() + curve.size() <= ProjectFile::maxFileBytes; ++i)
        file += curve;
    return file;
}

void BM_LoadWorstProject(benchmark::State& state) {
    QTemporaryDir folder;
    const QString path = folder.filePath("worst.bep");
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(worstProject(static_cast<int>(state.range(0)))) < 0) {
        state.SkipWithError("cannot write the project file");
        return;
    }
    out.close();
    for (auto _ : state) {
        EfektorList list(nullptr, nullptr, nullptr);
        QStringList report;
        if (!list.loadProjectFrom(path, &report))
            state.SkipWithError("the project did not load");
        int loaded = 0;
        for (int s = 0; s < EfektorList::sceneCount; ++s)
            loaded += static_cast<int>(list.scene(s).size());
        state.counters["efektors"] = loaded;
    }
}
BENCHMARK(BM_LoadWorstProject)->Arg(16)->Arg(ProjectFile::maxEfektors)->Unit(benchmark::kSecond)->Iterations(1);

void BM_LongestCurveSpline(benchmark::State& state) {
    magnet::math::Spline spline;
    for (int i = 0; i < BrazierCurve::maxNodes; ++i)
        spline.addPoint(9.0 * i, std::sin(i * 0.1));
    for (auto _ : state) {
        spline.setType(magnet::math::Spline::CUBIC); // marks it stale
        spline.generate();
        benchmark::DoNotOptimize(spline.intervals().data());
    }
}
BENCHMARK(BM_LongestCurveSpline)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
