#pragma once
// What the benchmarks of the whole main window share: the process's CPU and memory, the CPU by
// thread, the GUI loop's longest gap and longest single event, the generators' time taken out
// of the virtual amplifiers' receive threads, and the buttons a user clicks found by their text.
// Such a benchmark has its own main (runWindowBenchmarks): the window's settings and folders go
// to a temporary home.

#include "acquisition/devicedataproducer.h"
#include "app/startup.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/temporaryhome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace kav4bench {

inline double clockSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

inline double residentMB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1e6;
}

// The most resident since the last resetPeak(), from the kernel's own count.
inline double peakMB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1e3;
    return 0.0;
}

inline void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

inline double load() {
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
inline std::map<std::string, double> threadCpu() {
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

// CPU seconds per `dataSeconds` by thread since `before`; the receive threads, which carry the
// benchmark's own name (cut to 15 characters), less `generatorSeconds`.
inline std::map<std::string, double> threadCpuSince(const std::map<std::string, double>& before,
                                                    double dataSeconds, double generatorSeconds) {
    std::map<std::string, double> spent;
    for (const auto& [name, seconds] : threadCpu())
        if (const double s = seconds - (before.count(name) ? before.at(name) : 0.0); s > 0.0)
            spent[name] = s / dataSeconds;
    const std::string own = QCoreApplication::applicationFilePath().section('/', -1).left(15).toStdString();
    if (spent.count(own)) spent["kav4 (receive)"] = spent[own] - generatorSeconds / dataSeconds;
    spent.erase(own);
    return spent;
}

// The generator of a virtual amplifier runs in the receive thread, inside the driver's calls:
// its thread time is added to `spent`, so that the benchmark can take it out.
inline void countGeneratorTime(kav4sim::VirtualAmplifier& amplifier,
                               const std::shared_ptr<std::atomic<double>>& spent) {
    kav4sim::VirtualDevice& device = amplifier.device();
    const char rx = amplifier.model().rxChannel;
    device.setSource(
        rx,
        [source = device.source(rx), spent](std::vector<uint8_t>& out, size_t n) {
            const double start = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
            source(out, n);
            spent->store(*spent + clockSeconds(CLOCK_THREAD_CPUTIME_ID) - start);
        },
        device.skipper(rx));
}

// The longest time the GUI thread's event loop did not come round, over a 10 ms timer's period,
// and the most memory resident, both seen at every tick between start() and stop().
class GuiGaps {
  public:
    static constexpr int tickMs = 10;
    GuiGaps() {
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
            highestMB = std::max(highestMB, residentMB());
        });
    }
    void start() {
        highestMB = residentMB();
        clock.start();
        last = 0;
        longest = 0;
        tick.start(tickMs);
    }
    void stop() { tick.stop(); }
    double longestMs() const { return double(longest) / 1e6 - tickMs; }
    double highestMB = 0.0;

  private:
    QElapsedTimer clock;
    QTimer tick;
    qint64 last = 0, longest = 0;
};

// What the window costs while it runs for `ms`: CPU per second of data less the generators' (and
// theirs apart), the frames lost, the longest GUI gap and event, the CPU by thread and the most
// memory resident. A benchmark's figures derive from it.
struct Running {
    double cpuPerDataSecond = 0.0;
    double generatorPerDataSecond = 0.0;
    uint64_t framesLost = 0;
    double longestGapMs = 0.0;
    double longestEventMs = 0.0;
    QString longestEvent = {};
    // CPU seconds per second of data by thread; the receive threads' less the generators.
    std::map<std::string, double> threads = {};
    double endMB = 0.0;
};

// A benchmark's figures when it could not run: the reason alone.
template <typename Figures> Figures failure(std::string why) {
    Figures f;
    f.error = std::move(why);
    return f;
}

inline Running measureRunning(DeviceDataProducer& producer, double rate, const std::atomic<double>& generator,
                              int ms) {
    Running r;
    GuiGaps gaps;
    const uint64_t lostBefore = producer.framesLostTotal();
    const uint64_t rowsBefore = producer.rowsProduced();
    const double generatorBefore = generator;
    const std::map<std::string, double> threadsBefore = threadCpu();
    auto* application = static_cast<TimedApplication*>(qApp);
    application->longestNs = 0;
    application->timing = true;
    const double cpuBefore = clockSeconds(CLOCK_PROCESS_CPUTIME_ID);
    gaps.start();
    QTest::qWait(ms);
    gaps.stop();
    application->timing = false;
    const double dataSeconds = double(producer.rowsProduced() - rowsBefore) / rate;
    const double generatorSpent = generator - generatorBefore;
    r.cpuPerDataSecond = (clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore - generatorSpent) / dataSeconds;
    r.generatorPerDataSecond = generatorSpent / dataSeconds;
    r.framesLost = producer.framesLostTotal() - lostBefore;
    r.longestGapMs = gaps.longestMs();
    r.longestEventMs = double(application->longestNs) / 1e6;
    r.longestEvent = application->longestWhat;
    r.threads = threadCpuSince(threadsBefore, dataSeconds, generatorSpent);
    r.endMB = std::max(gaps.highestMB, residentMB());
    return r;
}

inline QAbstractButton* buttonCalled(QWidget* window, const QString& text) {
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (b->text() == text || b->toolTip() == text || b->toolTip().startsWith(text + " (")) return b;
    return nullptr;
}

// Seconds to measure: BENCH_MEASURE_SECONDS, else `otherwise`.
inline int measureMs(int otherwise) {
    return (qEnvironmentVariableIsSet("BENCH_MEASURE_SECONDS")
                ? qEnvironmentVariableIntValue("BENCH_MEASURE_SECONDS")
                : otherwise) *
           1000;
}

inline int runWindowBenchmarks(int argc, char** argv) {
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

} // namespace kav4bench
