// What the whole program costs with "All" over one, two and three Dogwood 32 (32, 64 and 96
// current channels) at the highest rate, the plots shown and a DAT recording running: the
// real main window, driven as a user drives it, on virtual amplifiers that stream in real
// time. Each case connects, picks the rate, starts recording, warms up, then measures; the
// figures of two and three amplifiers are printed as ratios to those of one, measured in the
// same run (the single amplifier is measured first, once). Figures:
//   cpu_per_data_s   CPU seconds of the process per second of data, less what the virtual
//                    amplifiers' generators spent; target < 0.75 for three amplifiers
//   peak_MB          the most memory resident since the case began (connection included)
//   growth_MB        resident memory at the end over that at the end of the warm-up; target
//                    about 0 (memory flat after the warm-up)
//   gui_gap_ms       the longest time the GUI thread's event loop did not come round, over
//                    a 10 ms timer's period; target < 100
//   frames_lost      frames the producer counted lost while measuring; target 0
// Printed besides: the longest single GUI event (its type and receiver), and the CPU by thread
// (the receive threads, unnamed, less the generators). Run it on an idle machine: the virtual
// amplifiers keep real time and their generators take about 0.2 of a core each, so a loaded
// machine shows as lost frames and long gaps. The load average is printed beside the figures.
// BENCH_MEASURE_SECONDS=600 measures ten minutes instead of fifteen seconds. BENCH_PATTERN=1
// puts the amplifiers in pattern mode, whose generators cost a fraction of the cells': on two
// cores the cells' generators alone take a third of the machine, which the program then lacks.

#include "bench/windowload.h"

#include "acquisition/devicedataproducer.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "window/mainwindow.h"

#include <QComboBox>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
    double startMB = 0.0;     // before the window
    double connectedMB = 0.0; // connected, before recording
    double warmMB = 0.0;      // at the end of the warm-up
    double peakMB = 0.0;
    double load = 0.0;
    std::string error;
};

Figures measure(int amplifiers) {
    Figures f;
    resetPeak();
    f.startMB = residentMB();
    QTemporaryDir records;
    QSettings settings;
    settings.clear();
    settings.setValue("Protocol/Settings/recordPath", records.path() + "/");
    settings.setValue("Protocol/Settings/recordName", "run");
    settings.setValue("Protocol/Settings/recordFormat", 0);

    std::string models = "dogwood32";
    for (int k = 1; k < amplifiers; k++)
        models += ",dogwood32";
    std::string error;
    const std::shared_ptr<kav4sim::SimulatedBus> bus = kav4sim::installSimulation(models, error);
    if (!bus) return failure<Figures>(error);
    // The generators run in the receive threads, inside the driver's calls: their thread time
    // is taken out.
    const auto generator = std::make_shared<std::atomic<double>>(0.0);
    for (int k = 1; k <= amplifiers; k++) {
        kav4sim::VirtualAmplifier* amplifier =
            bus->amplifier(QString("VDOGWOOD32%1").arg(k, 2, 10, QChar('0')).toStdString());
        if (!amplifier) return failure<Figures>("no virtual Dogwood 32");
        amplifier->setPatternMode(qEnvironmentVariableIsSet("BENCH_PATTERN"));
        countGeneratorTime(*amplifier, generator);
    }

    {
        MainWindow window;
        window.resize(1920, 1080);
        window.show();
        auto* combo = window.findChild<QComboBox*>("deviceComboBox");
        const int entries = amplifiers == 1 ? 1 : amplifiers + 1;
        if (!QTest::qWaitForWindowExposed(&window) ||
            !QTest::qWaitFor([&] { return combo->count() == entries; }, 10000))
            return failure<Figures>("the amplifiers were not listed");
        QSignalSpy restored(&window, &MainWindow::layoutRestored);
        combo->setCurrentText(amplifiers == 1 ? "VDOGWOOD3201" : "All");
        window.findChild<QPushButton*>("connectButton")->click();
        if (!window.isConnected() || !restored.wait(10000)) return failure<Figures>("no connection");
        QAbstractButton* highest = buttonCalled(&window, "100 kHz");
        if (!highest) return failure<Figures>("no 100 kHz button");
        QTest::mouseClick(highest, Qt::LeftButton);
        kv4cl::Measurement_t rate;
        if (kv4cl::getSamplingRate(rate) != kv4cl::Success || rate.getNoPrefixValue() < 90e3)
            return failure<Figures>("the rate was not taken");
        // Until the sample ring has gone round once: what is resident then stays.
        QTest::qWait(3000);
        f.connectedMB = residentMB();

        QAbstractButton* record = buttonCalled(&window, "Start recording");
        QAbstractButton* stop = buttonCalled(&window, "Stop recording");
        if (!record || !stop) return failure<Figures>("no recording buttons");
        record->click();
        const QString file = records.path() + "/run/run_000.dat";
        if (!QTest::qWaitFor([&] { return QFileInfo(file).size() > 0; }, 10000))
            return failure<Figures>("the recording did not start");
        QTest::qWait(warmUpMs);
        f.warmMB = residentMB();

        static_cast<Running&>(f) =
            measureRunning(*window.producer(), rate.getNoPrefixValue(), *generator, measuringMs);
        f.peakMB = peakMB();
        f.load = load();

        stop->click();
        window.findChild<QPushButton*>("connectButton")->click();
    }
    kv4CommLib::installFtdiDriver(nullptr);
    return f;
}

// The single amplifier's figures, measured once per run.
const Figures& single() {
    static const Figures figures = measure(1);
    return figures;
}

void BM_AllOverDogwood32InTheWindow(benchmark::State& state) {
    const int amplifiers = int(state.range(0));
    const Figures& one = single();
    if (!one.error.empty()) return state.SkipWithError(one.error.c_str());
    Figures f;
    for (auto _ : state) {
        f = amplifiers == 1 ? one : measure(amplifiers);
        if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
        state.SetIterationTime(measuringMs / 1000.0);
    }
    state.counters["cpu_per_data_s"] = f.cpuPerDataSecond;
    state.counters["peak_MB"] = f.peakMB;
    state.counters["growth_MB"] = f.endMB - f.warmMB;
    state.counters["gui_gap_ms"] = f.longestGapMs;
    state.counters["frames_lost"] = double(f.framesLost);
    std::printf("All over %d Dogwood 32 (%d current channels) at 100 kHz, plots shown, recording DAT: "
                "%.3f CPU s per s of data (generators %.3f apart), resident %.0f MB before the window, "
                "%.0f MB connected, %.0f MB after %d s of recording, %.0f MB at its end (growth %+.0f MB "
                "over %d s), peak %.0f MB; longest GUI-loop gap %.0f ms; %llu frames lost; load %.2f\n",
                amplifiers, 32 * amplifiers, f.cpuPerDataSecond, f.generatorPerDataSecond, f.startMB,
                f.connectedMB, f.warmMB, warmUpMs / 1000, f.endMB, f.endMB - f.warmMB, measuringMs / 1000,
                f.peakMB, f.longestGapMs, static_cast<unsigned long long>(f.framesLost), f.load);
    std::printf("  longest GUI event %.0f ms (type %s); CPU s per s of data by thread:", f.longestEventMs,
                qPrintable(f.longestEvent));
    for (const auto& [name, seconds] : f.threads)
        std::printf(" %s %.3f,", name.c_str(), seconds);
    std::printf("\n");
    if (amplifiers > 1) {
        state.counters["cpu_over_one"] = f.cpuPerDataSecond / one.cpuPerDataSecond;
        state.counters["peak_over_one"] = f.peakMB / one.peakMB;
        std::printf("  over one amplifier: CPU %.2f times, peak resident %.2f times, resident after the "
                    "warm-up %.2f times, GUI-loop gap %.2f times\n",
                    f.cpuPerDataSecond / one.cpuPerDataSecond, f.peakMB / one.peakMB, f.warmMB / one.warmMB,
                    f.longestGapMs / std::max(one.longestGapMs, 1.0));
    }
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_AllOverDogwood32InTheWindow)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    return kav4bench::runWindowBenchmarks(argc, argv);
}
