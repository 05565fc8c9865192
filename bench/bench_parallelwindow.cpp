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
// BENCH_MEASURE_SECONDS=600 measures ten minutes instead of fifteen seconds.

#include "app/mainwindow.h"
#include "app/pipeline/devicedataproducer.h"
#include "app/startup.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/temporaryhome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

constexpr int warmUpMs = 5000;
const int measureMs = qEnvironmentVariableIsSet("BENCH_MEASURE_SECONDS")
                          ? qEnvironmentVariableIntValue("BENCH_MEASURE_SECONDS") * 1000
                          : 15000;
constexpr int tickMs = 10;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double residentMB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1e6;
}

// The most resident since the last resetPeak(), from the kernel's own count.
double peakMB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1e3;
    return 0.0;
}

void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double load() {
    double l = 0.0;
    getloadavg(&l, 1);
    return l;
}

// The GUI thread's longest single event while `timing` is set: what holds the loop up.
class TimedApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!timing || depth > 0) return QApplication::notify(receiver, event);
        depth++;
        QElapsedTimer clock;
        clock.start();
        const QString what =
            QString("%1 to %2").arg(int(event->type())).arg(receiver->metaObject()->className());
        const bool result = QApplication::notify(receiver, event);
        if (const qint64 ns = clock.nsecsElapsed(); ns > longestNs) {
            longestNs = ns;
            longestWhat = what;
        }
        depth--;
        return result;
    }
    bool timing = false;
    qint64 longestNs = 0;
    QString longestWhat;

  private:
    int depth = 0;
};

// CPU seconds of every thread of the process by its name (the GUI thread under "GUI"; threads
// of one name together).
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> spent;
    const double tick = double(sysconf(_SC_CLK_TCK));
    for (const QString& tid : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream comm(("/proc/self/task/" + tid + "/comm").toStdString());
        std::string name;
        std::getline(comm, name);
        std::ifstream stat(("/proc/self/task/" + tid + "/stat").toStdString());
        std::string line;
        std::getline(stat, line);
        // Fields after the name in parentheses: state is the 3rd, utime and stime the 14th and 15th.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        double user = 0.0, system = 0.0;
        for (int k = 3; k <= 15 && rest >> field; k++)
            if (k == 14)
                user = std::atof(field.c_str());
            else if (k == 15)
                system = std::atof(field.c_str());
        spent[tid.toLongLong() == getpid() ? "GUI" : name] += (user + system) / tick;
    }
    return spent;
}

struct Figures {
    double cpuPerDataSecond = 0.0;
    double generatorPerDataSecond = 0.0;
    double startMB = 0.0;     // before the window
    double connectedMB = 0.0; // connected, before recording
    double warmMB = 0.0;      // at the end of the warm-up
    double endMB = 0.0;
    double peakMB = 0.0;
    double longestGapMs = 0.0;
    uint64_t framesLost = 0;
    double longestEventMs = 0.0;
    QString longestEvent = {};
    // CPU seconds per second of data by thread; the receive threads' less the generators.
    std::map<std::string, double> threads = {};
    double load = 0.0;
    std::string error;
};

QAbstractButton* buttonCalled(QWidget* window, const QString& text) {
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (b->text() == text || b->toolTip() == text || b->toolTip().startsWith(text + " (")) return b;
    return nullptr;
}

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
    if (!bus) return {.error = error};
    // The generators run in the receive threads, inside the driver's calls: their thread time
    // is taken out.
    const auto generator = std::make_shared<std::atomic<double>>(0.0);
    for (int k = 1; k <= amplifiers; k++) {
        kav4sim::VirtualAmplifier* amplifier =
            bus->amplifier(QString("VDOGWOOD32%1").arg(k, 2, 10, QChar('0')).toStdString());
        if (!amplifier) return {.error = "no virtual Dogwood 32"};
        kav4sim::VirtualDevice& device = amplifier->device();
        const char rx = amplifier->model().rxChannel;
        device.setSource(
            rx,
            [source = device.source(rx), generator](std::vector<uint8_t>& out, size_t n) {
                const double start = threadCpuSeconds();
                source(out, n);
                generator->store(*generator + threadCpuSeconds() - start);
            },
            device.skipper(rx));
    }

    {
        MainWindow window;
        window.resize(1920, 1080);
        window.show();
        auto* combo = window.findChild<QComboBox*>("deviceComboBox");
        const int entries = amplifiers == 1 ? 1 : amplifiers + 1;
        if (!QTest::qWaitForWindowExposed(&window) ||
            !QTest::qWaitFor([&] { return combo->count() == entries; }, 10000))
            return {.error = "the amplifiers were not listed"};
        QSignalSpy restored(&window, &MainWindow::layoutRestored);
        combo->setCurrentText(amplifiers == 1 ? "VDOGWOOD3201" : "All");
        window.findChild<QPushButton*>("connectButton")->click();
        if (!window.isConnected() || !restored.wait(10000)) return {.error = "no connection"};
        QAbstractButton* highest = buttonCalled(&window, "100 kHz");
        if (!highest) return {.error = "no 100 kHz button"};
        QTest::mouseClick(highest, Qt::LeftButton);
        kv4cl::Measurement_t rate;
        if (kv4cl::getSamplingRate(rate) != kv4cl::Success || rate.getNoPrefixValue() < 90e3)
            return {.error = "the rate was not taken"};
        // Until the sample ring has gone round once: what is resident then stays.
        QTest::qWait(3000);
        f.connectedMB = residentMB();

        QAbstractButton* record = buttonCalled(&window, "Start recording");
        QAbstractButton* stop = buttonCalled(&window, "Stop recording");
        if (!record || !stop) return {.error = "no recording buttons"};
        record->click();
        const QString file = records.path() + "/run/run_000.dat";
        if (!QTest::qWaitFor([&] { return QFileInfo(file).size() > 0; }, 10000))
            return {.error = "the recording did not start"};
        QTest::qWait(warmUpMs);
        f.warmMB = residentMB();

        // The GUI loop's gaps and the memory, at every tick of a timer of the GUI thread.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, longest = 0;
        double highestMB = f.warmMB;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
            highestMB = std::max(highestMB, residentMB());
        });
        DeviceDataProducer* producer = window.producer();
        const uint64_t lostBefore = producer->framesLostTotal();
        const uint64_t rowsBefore = producer->rowsProduced();
        const double generatorBefore = *generator;
        const std::map<std::string, double> threadsBefore = threadCpu();
        auto* application = static_cast<TimedApplication*>(qApp);
        application->longestNs = 0;
        application->timing = true;
        const double cpuBefore = cpuSeconds();
        tick.start(tickMs);
        last = clock.nsecsElapsed();
        QTest::qWait(measureMs);
        tick.stop();
        application->timing = false;
        const double dataSeconds = double(producer->rowsProduced() - rowsBefore) / rate.getNoPrefixValue();
        const double generatorSpent = *generator - generatorBefore;
        f.cpuPerDataSecond = (cpuSeconds() - cpuBefore - generatorSpent) / dataSeconds;
        f.generatorPerDataSecond = generatorSpent / dataSeconds;
        f.framesLost = producer->framesLostTotal() - lostBefore;
        f.longestGapMs = double(longest) / 1e6 - tickMs;
        f.longestEventMs = double(application->longestNs) / 1e6;
        f.longestEvent = application->longestWhat;
        for (const auto& [name, seconds] : threadCpu())
            if (const double spent = seconds - (threadsBefore.count(name) ? threadsBefore.at(name) : 0.0);
                spent > 0.0)
                f.threads[name] = spent / dataSeconds;
        // The receive threads carry the process's own name.
        f.threads["kav4 (receive)"] =
            std::exchange(f.threads["bench_parallelw"], 0.0) - f.generatorPerDataSecond;
        f.threads.erase("bench_parallelw");
        f.endMB = std::max(highestMB, residentMB());
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
        state.SetIterationTime(measureMs / 1000.0);
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
                f.connectedMB, f.warmMB, warmUpMs / 1000, f.endMB, f.endMB - f.warmMB, measureMs / 1000,
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

// The window's settings and folders go to a temporary home.
int main(int argc, char** argv) {
    const kv4test::TemporaryHome home;
    if (home.path().empty()) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    registerQueuedTypes();
    QApplication::setOrganizationName("KAV4 bench");
    QApplication::setApplicationName("KAV4 bench");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(home.path()));
    createWorkingFolders();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
