// A recording played back through the analyses as kav4-cli analyse plays it: 20 s of thirty-two
// current channels and the voltage at 100 kHz, written here as a DAT recording, through the
// noise report and every channel's spectrum, as fast as they take the frames. Then a recording
// of an hour of the same channels (a sparse file) opened up to its first frames in the ring.
// Figures, measured in the same run:
//   times_real_time  seconds of data analysed per second of the replay; target >= 50
//   per_cpu_s        seconds of data analysed per CPU second of the process (every thread)
//                    over the same time: what the replay asks of the machine, whatever else
//                    runs on it
//   open_s           seconds from the header's name to the first frames read; target < 1

#include "session/devicesession.h"
#include "tools/acquisitionsettings.h"
#include "tools/analysecommand.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int currents = 32;
constexpr int columns = currents + 1;
constexpr double rate = 100000.0;
constexpr double currentStep = 200.0 / 32768; // pA: the ±200 pA range
constexpr double voltageStep = 0.0625;        // mV

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The header of a DAT recording NAME with its chunk NAME_000.dat.
void writeHeader(const std::string& base) {
    std::ofstream kdh(base + ".kdh");
    kdh << "KDH Version: 2.0\n\nBenchmark\nChannels: " << currents << "\n\nData header file\n\n"
        << "Sampling rate [Hz]: " << rate << "\n\nColumns: ";
    for (int c = 1; c <= currents; c++)
        kdh << "Ch" << c << " [pA]; ";
    kdh << "V1 [mV]\nColumn scales: ";
    for (int c = 1; c <= currents; c++)
        kdh << currentStep << " 0; ";
    kdh << voltageStep << " 0\n";
}

// `seconds` of noise of some 5 pA on every current channel at -50 mV, as codes of the ranges.
void writeData(const std::string& base, double seconds) {
    std::ofstream dat(base + "_000.dat", std::ios::binary);
    const int64_t frames = int64_t(seconds * rate), block = 65536;
    std::vector<float> values(size_t(block) * columns);
    uint32_t state = 2463534242u;
    for (int64_t done = 0; done < frames; done += block) {
        const int64_t count = std::min(block, frames - done);
        for (int64_t f = 0; f < count; f++) {
            for (int c = 0; c < currents; c++) {
                state ^= state << 13, state ^= state >> 17, state ^= state << 5;
                // The sum of two uniform codes of ±1024 steps: some 5 pA RMS.
                const int code = int(state & 1023) + int((state >> 10) & 1023) - 1023;
                values[size_t(f * columns + c)] = float(code * currentStep);
            }
            values[size_t(f * columns + currents)] = float(-800 * voltageStep);
        }
        dat.write(reinterpret_cast<const char*>(values.data()),
                  std::streamsize(count * columns * sizeof(float)));
    }
}

void BM_ReplayThroughNoiseAndSpectrum(benchmark::State& state) {
    QTemporaryDir folder;
    const std::string base = folder.path().toStdString() + "/bench";
    const double seconds = 20.0;
    writeHeader(base);
    writeData(base, seconds);

    kav4cli::AnalyseRequest request;
    request.file = base + ".kdh";
    request.noise = true;
    request.spectrum = true;
    request.csv = folder.path().toStdString() + "/analysis.csv";
    kav4cli::AnalyseReport report;
    double cpu = 0.0;
    for (auto _ : state) {
        // The process's clock also counts the opening and the CSV, which take next to nothing.
        const double start = processCpuSeconds();
        try {
            report = kav4cli::analyse(request);
        } catch (const kav4cli::Failure& failure) {
            return state.SkipWithError(failure.text.c_str());
        }
        cpu = processCpuSeconds() - start;
        state.SetIterationTime(report.elapsedSeconds);
    }
    const double ratio = report.dataSeconds / report.elapsedSeconds, perCpu = report.dataSeconds / cpu;
    state.counters["times_real_time"] = ratio;
    state.counters["per_cpu_s"] = perCpu;
    std::printf("replay of %g s of %d current channels at %g kHz through the noise report and %d spectra: "
                "%.1f times real time (target >= 50), %.1f s of data per CPU second\n",
                report.dataSeconds, currents, rate / 1000, currents, ratio, perCpu);
    std::fflush(stdout);
}

void BM_OpenAnHourToItsFirstFrames(benchmark::State& state) {
    QTemporaryDir folder;
    const std::string base = folder.path().toStdString() + "/hour";
    writeHeader(base);
    // An hour of frames that take no room on disk: they read as zeros.
    const auto bytes = uintmax_t(3600 * rate) * columns * sizeof(float);
    std::ofstream(base + "_000.dat").close();
    std::filesystem::resize_file(base + "_000.dat", bytes);

    double spent = 0.0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        QString error;
        const std::unique_ptr<DeviceSession> session =
            DeviceSession::openRecording(QString::fromStdString(base + ".kdh"), error);
        if (!session) return state.SkipWithError(error.toUtf8().constData());
        std::unique_ptr<DataHook> hook = session->producer()->getDataHook();
        session->replay()->setSpeed(0);
        session->replay()->play();
        session->start();
        std::vector<uint16_t> words;
        readRawData(*hook, words, false, 0);
        spent = double(clock.nsecsElapsed()) / 1e9;
        if (words.empty()) return state.SkipWithError("no frame read");
        state.SetIterationTime(spent);
        hook.reset(); // before its ring
    }
    state.counters["open_s"] = spent;
    std::printf("an hour of %d current channels at %g kHz (%.1f GB) opened and its first frames read in "
                "%.3f s (target < 1)\n",
                currents, rate / 1000, double(bytes) / 1e9, spent);
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_ReplayThroughNoiseAndSpectrum)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenAnHourToItsFirstFrames)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
