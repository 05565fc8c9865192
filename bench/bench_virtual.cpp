// What the library costs on a virtual amplifier that streams as fast as it is read: the
// reference model (four channels) at 200 kHz and the thirty-two-channel model at its highest
// rate, each through the public functions, plain and with the digital filter and the reset
// denoiser on. The amplifier's own generator runs in the receive thread (inside the driver
// calls); its thread CPU time is taken out. Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds of the library (receive thread, reading thread, driver calls)
//                   per second of data; target < 0.05 for the thirty-two-channel model
//   generator_per_data_s  what the virtual amplifier itself spent, for scale

#include "bench/virtualload.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

using kav4bench::acquire;
using kav4bench::cpuSeconds;

struct Model {
    const char* name;
    uint8_t version;
    uint8_t subversion;
    uint16_t firmware;
};
const Model cedar{"4 channels (Cedar)", 4, 3, 129};
const Model dogwood32{"32 channels (Dogwood 32)", 12, 5, 1};

void BM_LibraryOnVirtualAmplifier(benchmark::State& state, const Model& model) {
    const bool filtered = state.range(0) != 0;
    kav4bench::VirtualLoad load(model.version, model.subversion, model.firmware, filtered);
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());

    // The first pass through the frame rings pays their page faults once per connection; a
    // counting pattern makes it quick. Measured is the steady state after it.
    bool lost = false;
    load.amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    acquire(0x400000, load.wordsPerFrame, lost);
    load.amplifier->setPatternMode(false);
    acquire(uint64_t(load.rate * 0.2), load.wordsPerFrame, lost);
    lost = false;

    const double seconds = 20.0;
    double library = 0.0, generator = 0.0;
    for (auto _ : state) {
        const double generatorBefore = load.generatorSeconds();
        const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        acquire(uint64_t(seconds * load.rate), load.wordsPerFrame, lost);
        generator = load.generatorSeconds() - generatorBefore;
        library = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start - generator;
        state.SetIterationTime(library);
    }
    if (lost) return state.SkipWithError("frames were lost: the figures would be wrong");

    state.counters["data_s"] = seconds;
    state.counters["cpu_per_data_s"] = library / seconds;
    state.counters["generator_per_data_s"] = generator / seconds;
    std::printf("library on a virtual amplifier, %s at %g kHz%s: %.4f CPU s per s of data "
                "(target < 0.05 for 32 channels); the amplifier itself %.3f CPU s per s of data\n",
                model.name, load.rate / 1000, filtered ? ", 10 kHz low-pass and denoiser" : "",
                library / seconds, generator / seconds);
    std::fflush(stdout);
}

} // namespace

BENCHMARK_CAPTURE(BM_LibraryOnVirtualAmplifier, cedar, cedar)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LibraryOnVirtualAmplifier, dogwood32, dogwood32)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
