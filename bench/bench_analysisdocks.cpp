// Whether the analyses can hold the window up: the real main window on a virtual Dogwood 32 at
// 100 kHz, with the noise report and, on each of the 32 current channels, the histogram, the
// spectrum and the event detection opened from the Analysis menu and started (97 docks), as a
// user opens them. Two kinds of data: the virtual cells, and the amplifier's pattern mode, a
// count that sweeps each channel's whole range (flat histograms, thresholds crossed over and
// over), which keeps every analysis as busy as it gets. Each case warms up, then measures:
//   gui_gap_ms       the longest time the GUI thread's event loop did not come round, over a
//                    10 ms timer's period; target < 100
//   cpu_per_data_s   CPU seconds of the process per second of data, less what the virtual
//                    amplifier's generator spent
//   growth_MB        resident memory at the end over that at the end of the warm-up; target
//                    about 0
// Printed besides: the longest single GUI event, and the CPU by thread. Run it on an idle
// machine. BENCH_MEASURE_SECONDS sets the time measured (15 s by default).

#include "bench/windowload.h"

#include "acquisition/devicedataproducer.h"
#include "analysis/framework/analysiswidget.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

using namespace kav4bench;

constexpr int warmUpMs = 5000;
const int measuringMs = measureMs(15);

struct Figures : Running {
    int docks = 0;
    double warmMB = 0.0;
    double load = 0.0;
    std::string error;
};

// The docks of the noise report and of every channel's histogram, spectrum and event detection.
bool measured(const AnalysisWidget& dock) {
    const QString name = dock.objectName();
    return name == "noiseReportWidget" || name.startsWith("histogramWidget") ||
           name.startsWith("spectrumWidget") || name.startsWith("eventDetectionWidget");
}

Figures measure(bool pattern) {
    Figures f;
    QSettings().clear();
    std::string error;
    const std::shared_ptr<kav4sim::SimulatedBus> bus = kav4sim::installSimulation("dogwood32", error);
    if (!bus) return failure<Figures>(error);
    kav4sim::VirtualAmplifier* amplifier = bus->amplifier("VDOGWOOD3201");
    if (!amplifier) return failure<Figures>("no virtual Dogwood 32");
    amplifier->setPatternMode(pattern);
    const auto generator = std::make_shared<std::atomic<double>>(0.0);
    countGeneratorTime(*amplifier, generator);

    {
        MainWindow window;
        window.resize(1920, 1080);
        window.show();
        auto* combo = window.findChild<QComboBox*>("deviceComboBox");
        if (!QTest::qWaitForWindowExposed(&window) ||
            !QTest::qWaitFor([&] { return combo->count() == 1; }, 10000))
            return failure<Figures>("the amplifier was not listed");
        QSignalSpy restored(&window, &MainWindow::layoutRestored);
        window.findChild<QPushButton*>("connectButton")->click();
        if (!window.isConnected() || !restored.wait(10000)) return failure<Figures>("no connection");
        QAbstractButton* highest = buttonCalled(&window, "100 kHz");
        if (!highest) return failure<Figures>("no 100 kHz button");
        QTest::mouseClick(highest, Qt::LeftButton);
        kv4cl::Measurement_t rate;
        if (kv4cl::getSamplingRate(rate) != kv4cl::Success || rate.getNoPrefixValue() < 90e3)
            return failure<Figures>("the rate was not taken");

        // Each dock as its menu entry opens it, then its Start button.
        for (AnalysisWidget* dock : window.findChildren<AnalysisWidget*>()) {
            if (!measured(*dock)) continue;
            dock->toggleViewAction()->trigger();
            QTest::mouseClick(dock->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
            f.docks++;
        }
        QTest::qWait(warmUpMs);
        f.warmMB = residentMB();

        static_cast<Running&>(f) =
            measureRunning(*window.producer(), rate.getNoPrefixValue(), *generator, measuringMs);
        f.load = load();
        window.findChild<QPushButton*>("connectButton")->click();
    }
    kv4CommLib::installFtdiDriver(nullptr);
    return f;
}

void BM_AnalysisDocksOnDogwood32(benchmark::State& state) {
    const bool pattern = state.range(0) != 0;
    Figures f;
    for (auto _ : state) {
        f = measure(pattern);
        if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
        state.SetIterationTime(measuringMs / 1000.0);
    }
    state.counters["gui_gap_ms"] = f.longestGapMs;
    state.counters["cpu_per_data_s"] = f.cpuPerDataSecond;
    state.counters["growth_MB"] = f.endMB - f.warmMB;
    std::printf("%d analysis docks on a Dogwood 32 at 100 kHz, %s: longest GUI-loop gap %.0f ms; %.3f CPU s "
                "per s of data (generator apart); resident %.0f MB after %d s, %.0f MB at the end (growth "
                "%+.0f MB over %d s); load %.2f\n",
                f.docks, pattern ? "pattern mode (busy data)" : "the virtual cells", f.longestGapMs,
                f.cpuPerDataSecond, f.warmMB, warmUpMs / 1000, f.endMB, f.endMB - f.warmMB,
                measuringMs / 1000, f.load);
    std::printf("  longest GUI event %.0f ms (type %s); CPU s per s of data by thread:", f.longestEventMs,
                qPrintable(f.longestEvent));
    for (const auto& [name, seconds] : f.threads)
        std::printf(" %s %.3f,", name.c_str(), seconds);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_AnalysisDocksOnDogwood32)
    ->ArgName("pattern")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return kav4bench::runWindowBenchmarks(argc, argv);
}
