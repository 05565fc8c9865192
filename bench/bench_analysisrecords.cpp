// What the histogram and spectrum computations cost on a thirty-two-channel load at the
// Dogwood 32's highest real rate (100 kHz): interleaved frames of one voltage and 32 currents
// arrive in 50 ms chunks, as the analysis consumers hand them over, and every current channel
// has its own record reading its column. Only the records' work is measured, on this thread.
// Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds per second of data for the 32 channels together; targets
//                   < 0.05 for the spectrum at N = 32768, < 0.02 for the histogram

#include "analysis/compute/histogramrecord.h"
#include "analysis/compute/spectrumrecord.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

namespace {

constexpr int currentChannels = 32;
constexpr size_t rowWidth = currentChannels + 1;
constexpr double rate = 100000.0;
constexpr size_t chunkFrames = size_t(rate * 0.05);
constexpr double secondsOfData = 20.0;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Half a second of frames, noise of a few picoamperes around a small offset, replayed.
std::vector<double> frames() {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(3.0, 2.0);
    std::vector<double> f(size_t(rate * 0.5) * rowWidth);
    for (double& v : f)
        v = noise(rng);
    return f;
}

// Runs `work(chunk)` over secondsOfData of chunks; returns the CPU seconds it took.
template <typename Work> double timeChunks(const std::vector<double>& data, Work work) {
    const size_t chunksInData = data.size() / rowWidth / chunkFrames;
    const size_t chunks = size_t(secondsOfData / 0.05);
    const double start = threadCpuSeconds();
    for (size_t c = 0; c < chunks; c++)
        work(data.data() + (c % chunksInData) * chunkFrames * rowWidth);
    return threadCpuSeconds() - start;
}

void report(benchmark::State& state, const char* what, double cpu, double target) {
    state.SetIterationTime(cpu);
    state.counters["data_s"] = secondsOfData;
    state.counters["cpu_per_data_s"] = cpu / secondsOfData;
    std::printf("%s, 32 channels at %g kHz: %.4f CPU s per s of data (target < %g)\n", what, rate / 1000,
                cpu / secondsOfData, target);
    std::fflush(stdout);
}

void BM_Spectrum32768(benchmark::State& state) {
    const std::vector<double> data = frames();
    std::vector<SpectrumRecord> records(currentChannels);
    for (SpectrumRecord& r : records) {
        r.setOptions(32768, 2.0);
        r.reset(rate, "pA");
    }
    double cpu = 0.0;
    int results = 0;
    for (auto _ : state) {
        cpu = timeChunks(data, [&](const double* chunk) {
            for (int ch = 0; ch < currentChannels; ch++)
                results += records[size_t(ch)].add(chunk + 1 + ch, chunkFrames, rowWidth);
        });
    }
    // 20 s at 100 kHz is 61 blocks of 32768, 7 to an average: 8 results per channel.
    if (results != currentChannels * 8) return state.SkipWithError("not every average was published");
    report(state, "spectrum, N = 32768, T = 2 s", cpu, 0.05);
}

void BM_Histogram(benchmark::State& state) {
    const std::vector<double> data = frames();
    const kv4cl::RangedMeasurement_t range{-200.0, 200.0, 400.0 / 65536, kv4cl::UnitPfxPico, "A"};
    std::vector<HistogramRecord> records(currentChannels);
    for (HistogramRecord& r : records)
        r.reset(range);
    double cpu = 0.0;
    for (auto _ : state) {
        cpu = timeChunks(data, [&](const double* chunk) {
            for (int ch = 0; ch < currentChannels; ch++)
                records[size_t(ch)].add(chunk + 1 + ch, chunkFrames, rowWidth);
        });
    }
    int64_t counted = 0;
    for (int n : records[0].counts)
        counted += n;
    if (counted != int64_t(secondsOfData * rate)) return state.SkipWithError("samples went uncounted");
    report(state, "histogram, 200 bins", cpu, 0.02);
}

} // namespace

BENCHMARK(BM_Spectrum32768)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Histogram)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
