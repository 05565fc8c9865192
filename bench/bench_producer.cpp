// What the acquisition pipeline costs on the thirty-two-channel model at 100 kHz, its virtual
// amplifier streaming as fast as it is read: the library, the producer converting every word
// into the sample ring, and two hooks reading as consumers do, a plot-like one (minimum and
// maximum envelope, 100 ms at a time) and a writer-like one (raw rows); plain, and with the
// digital filter and the reset denoiser on. The amplifier's own generator runs in the receive
// thread (inside the driver calls); its thread CPU time is taken out, as in bench_virtual.
// Figure, measured in the same run:
//   cpu_per_data_s  CPU seconds of everything but the generator per second of data;
//                   target < 0.10

#include "bench/virtualload.h"
#include "bench/writerload.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace {

using kav4bench::acquire;
using kav4bench::cpuSeconds;
using kav4bench::readAsWriter;

void BM_PipelineOnVirtualAmplifier(benchmark::State& state) {
    const bool filtered = state.range(0) != 0;
    kav4bench::VirtualLoad load(12, 5, 1, filtered); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    bool lost = false;

    // The first passes through the library's frame rings and the sample ring pay their page
    // faults once per connection; a counting pattern makes them quick. Measured is the steady
    // state after them.
    load.amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    acquire(0x400000, load.wordsPerFrame, lost);
    LibrarySampleSource source;
    {
        DeviceDataProducer producer(source);
        std::unique_ptr<DataHook> plot = producer.getDataHook();
        std::unique_ptr<DataHook> writer = producer.getDataHook();
        std::atomic<bool> plotting = true;
        std::thread plotter([&] {
            // 100 ms of rows a read, 1000 envelope points a second.
            std::vector<double> envelope;
            while (plotting) {
                readValues(*plot, envelope, true, uint32_t(load.rate / 2000), uint32_t(load.rate / 10));
                benchmark::DoNotOptimize(envelope.data());
            }
        });
        producer.start();
        readAsWriter(*writer, SampleRing::rowCount + uint64_t(load.rate * 0.2));
        load.amplifier->setPatternMode(false);
        readAsWriter(*writer, uint64_t(load.rate * 0.2));

        const double seconds = 20.0;
        double pipeline = 0.0, generator = 0.0;
        for (auto _ : state) {
            const double generatorBefore = load.generatorSeconds();
            const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            readAsWriter(*writer, uint64_t(seconds * load.rate));
            generator = load.generatorSeconds() - generatorBefore;
            pipeline = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start - generator;
            state.SetIterationTime(pipeline);
        }
        plotting = false;
        producer.onStopProducing();
        plotter.join();

        state.counters["data_s"] = seconds;
        state.counters["cpu_per_data_s"] = pipeline / seconds;
        std::printf("pipeline on a virtual amplifier, 32 channels (Dogwood 32) at %g kHz%s, a plot-like "
                    "and a writer-like hook: %.4f CPU s per s of data (target < 0.10); the amplifier "
                    "itself %.3f CPU s per s of data\n",
                    load.rate / 1000, filtered ? ", 10 kHz low-pass and denoiser" : "", pipeline / seconds,
                    generator / seconds);
        std::fflush(stdout);
    }
}

} // namespace

BENCHMARK(BM_PipelineOnVirtualAmplifier)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
