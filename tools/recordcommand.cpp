#include "tools/recordcommand.h"

#include "recording/labbookfiles.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "simulator/simulatedbus.h"
#include "tools/clisupport.h"
#include "tools/patternverifier.h"

#include "commlib/api/kv4cl.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace kav4cli {

namespace {

// Ctrl+C reaches the event loop through a pipe: a signal handler may do little more. A second
// one ends the program at once, files unfinished, for a stop that does not end.
int interruptPipe[2] = {-1, -1};
volatile sig_atomic_t interrupts = 0;

void onInterrupt(int number) {
    const bool again = interrupts != 0;
    interrupts = 1;
    if (again) {
        signal(number, SIG_DFL);
        raise(number);
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(interruptPipe[1], &byte, 1);
}

double megabytes(const QString& folder) {
    qint64 bytes = 0;
    for (const QFileInfo& file : QDir(folder).entryInfoList({"*.dat", "*.abf"}, QDir::Files))
        bytes += file.size();
    return double(bytes) / 1e6;
}

// The virtual amplifiers' faults, one after the other.
class FaultInjector {
  public:
    explicit FaultInjector(kav4sim::VirtualAmplifier& amplifier) : amplifier(amplifier) {}

    // Starts the next fault; a stall and a small buffer last `holdMs`.
    void injectNext(QObject* context, int holdMs) {
        const size_t packet = amplifier.model().packetBytes;
        switch (count++ % 3) {
        case 0: // a few packets and a part of one
            amplifier.dropBytes(3 * packet + packet / 2);
            break;
        case 1:
            amplifier.stall(true);
            QTimer::singleShot(holdMs, context, [this] { amplifier.stall(false); });
            break;
        case 2: // the device's buffer holds less than arrives between two reads
            amplifier.setBufferBytes(packet);
            QTimer::singleShot(holdMs, context, [this] {
                amplifier.setBufferBytes(kav4sim::VirtualAmplifier::defaultBufferBytes);
            });
            break;
        }
    }
    int injected() const { return count; }

  private:
    kav4sim::VirtualAmplifier& amplifier;
    int count = 0;
};

} // namespace

int record(const RecordRequest& request, kav4sim::SimulatedBus* bus) {
    std::vector<kav4sim::VirtualAmplifier*> amplifiers;
    if (request.verifyPattern || request.faultSeconds > 0) {
        for (const std::string& id : request.ids) {
            kav4sim::VirtualAmplifier* amplifier = bus ? bus->amplifier(id) : nullptr;
            if (!amplifier)
                throw Failure(std::string(request.verifyPattern ? "--verify-pattern" : "--inject-faults") +
                              " needs virtual amplifiers; " + id + " is not one");
            amplifiers.push_back(amplifier);
        }
    }
    // Before the connection, so that every frame the library hands out counts.
    if (request.verifyPattern)
        for (kav4sim::VirtualAmplifier* amplifier : amplifiers)
            amplifier->setPatternMode(true);

    int argc = 1;
    char name[] = "kav4-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    kv4cl::ErrorCodes_t connected = kv4cl::Success;
    const std::unique_ptr<DeviceSession> session = DeviceSession::open(request.ids, connected);
    check(connected, "connect");
    applySettings(request.settings);
    DeviceDataProducer& producer = *session->producer();
    const DeviceDataProducer::ChannelCounts& channels = session->features().channels;
    kv4cl::Measurement_t rate;
    check(kv4cl::getSamplingRate(rate), "sampling rate");
    const double hertz = rate.getNoPrefixValue();

    const QString folder = QString::fromStdString(request.folder);
    if (!QDir().mkpath(folder)) throw Failure("cannot make the folder " + request.folder);
    RecordingPlan plan;
    plan.format = request.format;
    plan.path = QDir(folder).absolutePath() + "/";
    plan.name = RecordingPlan::defaultName;
    plan.settings.unlimitedRecording = false;
    plan.settings.recordLength = std::max(1.0, std::round(request.seconds * hertz));

    // The session's; the ranges and the rate as the program's controls hand them over at the start.
    auto* recorder = new RecordingService(*session);
    recorder->setPlan(&plan);
    session->seedRanges();
    session->onSamplingRateChanged(rate, rate);

    // The lab book, as the program keeps it: the session's, and the recording's own beside it.
    LabbookFiles labbook;
    QStringList previousLines;
    if (!labbook.openNewest(previousLines))
        std::fprintf(stderr, "kav4-cli: cannot open the lab book in %s\n",
                     qPrintable(LabbookFiles::folder()));
    recorder->setLabbook(&labbook);
    QObject::connect(recorder, &RecordingService::recording, &application, [&](bool on) {
        if (!on) application.quit();
    });
    QObject::connect(recorder, &RecordingService::failed, &application,
                     [](const QString& text) { std::fprintf(stderr, "kav4-cli: %s\n", qPrintable(text)); });

    QElapsedTimer clock;
    // Progress for a person watching; piped or redirected output holds the results alone.
    const bool showProgress = isatty(STDOUT_FILENO);
    // Every loss goes in the lab book once, as in the program: while recording the service notes
    // it with the file and the frame.
    QObject::connect(&producer, &DeviceDataProducer::framesLost, &application, [&](quint64, quint64 frames) {
        if (!recorder->isRecording()) labbook.note(new LabbookEventSamplesLost(frames, hertz));
        // Told as it happens, below a progress line.
        std::fprintf(stderr, "%skav4-cli: %llu frames lost %.1f s into the recording\n",
                     showProgress ? "\n" : "", static_cast<unsigned long long>(frames),
                     double(clock.elapsed()) / 1000.0);
    });
    if (pipe(interruptPipe) != 0) throw Failure("cannot watch for Ctrl+C");
    QSocketNotifier interrupts(interruptPipe[0], QSocketNotifier::Read);
    bool interrupted = false;
    QObject::connect(&interrupts, &QSocketNotifier::activated, &application, [&] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = read(interruptPipe[0], &byte, 1);
        interrupted = true;
        // The writer takes in what had arrived and closes its files.
        recorder->stop();
    });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    uint64_t firstRow = 0;
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &application, [&] {
        std::printf("\r%7.1f s / %.1f s  %llu frames  %.1f MB  %llu frames lost ",
                    double(clock.elapsed()) / 1000.0, request.seconds,
                    static_cast<unsigned long long>(producer.rowsProduced() - firstRow),
                    megabytes(plan.folder()), static_cast<unsigned long long>(producer.framesLostTotal()));
        std::fflush(stdout);
    });

    std::unique_ptr<FaultInjector> faults;
    QTimer faultTimer;
    if (request.faultSeconds > 0) {
        faults = std::make_unique<FaultInjector>(*amplifiers.front());
        QObject::connect(&faultTimer, &QTimer::timeout, &application, [&] {
            // Not at the very end, so that the loss is in the files before they close.
            if (double(clock.elapsed()) / 1000.0 + 2.0 < request.seconds)
                faults->injectNext(&application, 200);
        });
    }

    producer.start();
    clock.start();
    firstRow = producer.rowsProduced();
    if (!recorder->start()) throw Failure("cannot write the recording in " + request.folder);
    if (showProgress) progress.start(500);
    if (faults) faultTimer.start(int(request.faultSeconds * 1000));
    application.exec();
    progress.stop();
    faultTimer.stop();
    signal(SIGINT, SIG_DFL);
    recorder->stop();
    producer.onStopProducing();
    const uint64_t lost = producer.framesLostTotal();
    if (showProgress) std::printf("\n");

    // What the files hold.
    const std::string recordFolder = plan.folder().toStdString(),
                      recordName = plan.recordName().toStdString();
    const FrameLayout layout{channels.current, channels.gp, request.format == 0 ? channels.voltage : 1,
                             request.ids.size()};
    uint64_t frames = 0;
    const std::vector<std::string> dat = datFiles(recordFolder, recordName);
    const auto abf = abfFiles(recordFolder, recordName, channels.current + channels.gp);
    for (const std::string& file : dat)
        frames += std::filesystem::file_size(file) / (layout.width() * sizeof(float));
    for (const auto& chunk : abf)
        frames += abfFrameCount(chunk.front());
    std::printf("recorded: %llu frames (%.2f s at %s) in %s, %.1f MB%s\n",
                static_cast<unsigned long long>(frames), double(frames) / hertz,
                formatMeasurement(rate).c_str(), recordFolder.c_str(), megabytes(plan.folder()),
                interrupted ? ", stopped by Ctrl+C" : "");
    std::printf("frames lost: %llu\n", static_cast<unsigned long long>(lost));
    // What the recording cost, before any reading back.
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const double dataSeconds = double(frames) / hertz;
    std::printf("cpu: %.2f s for %.2f s of data, %.4f s per second; peak memory %.0f MB\n", cpu, dataSeconds,
                dataSeconds > 0 ? cpu / dataSeconds : 0.0, double(usage.ru_maxrss) / 1024.0);
    if (faults) std::printf("faults injected: %d\n", faults->injected());

    if (request.verifyPattern) {
        const PatternReport report =
            request.format == 0
                ? verifyDat(dat, layout, datColumns(channels.current, channels.gp, channels.voltage),
                            labbookLosses(recordFolder + recordName + "_lab_book.txt"))
                : verifyAbf(abf, layout);
        if (!report.fault.empty()) {
            std::printf("pattern: %llu frames read back, then a fault\n",
                        static_cast<unsigned long long>(report.frames));
            std::fprintf(stderr, "kav4-cli: pattern: %s\n", report.fault.c_str());
            return 1;
        }
        std::printf("pattern: %llu frames read back, %s\n", static_cast<unsigned long long>(report.frames),
                    report.losses == 0 ? "contiguous"
                                       : (std::to_string(report.lostFrames) + " frames lost in " +
                                          std::to_string(report.losses) +
                                          (report.losses == 1 ? " gap, marked" : " gaps, each marked"))
                                             .c_str());
        if (report.frames != frames) {
            std::fprintf(stderr, "kav4-cli: pattern: the files hold %llu frames, %llu were read\n",
                         static_cast<unsigned long long>(frames),
                         static_cast<unsigned long long>(report.frames));
            return 1;
        }
        if (report.lostFrames != lost) {
            std::fprintf(stderr, "kav4-cli: pattern: %llu frames counted lost, the files account for %llu\n",
                         static_cast<unsigned long long>(lost),
                         static_cast<unsigned long long>(report.lostFrames));
            return 1;
        }
    }
    if (frames == 0) {
        std::fprintf(stderr, "kav4-cli: no frame recorded\n");
        return 1;
    }
    // A writer that stops by itself before its length could not write on (it said why).
    if (!interrupted && double(frames) < plan.settings.recordLength) {
        std::fprintf(stderr, "kav4-cli: the recording ended after %llu of %.0f frames\n",
                     static_cast<unsigned long long>(frames), plan.settings.recordLength);
        return 1;
    }
    return lost == 0 ? exitRecorded : exitFramesLost;
}

} // namespace kav4cli
