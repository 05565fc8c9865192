// What the noise report's consumer costs on the thirty-two-channel model at its highest rate,
// its virtual amplifier streaming as fast as it is read through the library and the producer:
// the consumer's own thread (50 ms reads from the sample ring, sums and squares of every
// channel, a result every half second). A writer-like hook counts the rows that arrive; only
// the consumer's thread is measured.
// Figure, measured in the same run:
//   cpu_per_data_s  CPU seconds of the consumer's thread per second of data; target < 0.02

#include "bench/virtualload.h"
#include "bench/writerload.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"
#include "analysis/noisereport/noisereportconsumer.h"

#include <QSemaphore>

#include <benchmark/benchmark.h>

#include <pthread.h>

#include <cstdio>

namespace {

using kav4bench::cpuSeconds;
using kav4bench::readAsWriter;

void BM_NoiseReportConsumer(benchmark::State& state) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());

    // The first passes through the library's frame rings and the sample ring pay their page
    // faults once per connection; a counting pattern makes them quick.
    bool lost = false;
    load.amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    kav4bench::acquire(0x400000, load.wordsPerFrame, lost);
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> writer = producer.getDataHook();
    NoiseReportConsumer consumer(&producer);

    // The consumer's thread reports its CPU clock with its first result.
    clockid_t consumerClock{};
    QSemaphore clockKnown;
    bool first = true;
    QObject::connect(
        &consumer, &NoiseReportConsumer::result, &consumer,
        [&] {
            if (!std::exchange(first, false)) return;
            pthread_getcpuclockid(pthread_self(), &consumerClock);
            clockKnown.release();
        },
        Qt::DirectConnection);
    const kv4cl::Measurement_t rate{load.rate, kv4cl::UnitPfxNone, "Hz"};
    consumer.onSamplingRateChanged(rate, rate);

    producer.start();
    consumer.onStartConsuming();
    readAsWriter(*writer, SampleRing::rowCount + uint64_t(load.rate * 0.2));
    load.amplifier->setPatternMode(false);
    clockKnown.acquire();
    readAsWriter(*writer, uint64_t(load.rate * 0.2));

    const double seconds = 20.0;
    double spent = 0.0;
    for (auto _ : state) {
        const double start = cpuSeconds(consumerClock);
        readAsWriter(*writer, uint64_t(seconds * load.rate));
        spent = cpuSeconds(consumerClock) - start;
        state.SetIterationTime(spent);
    }
    producer.onStopProducing();
    consumer.onStopConsuming();

    state.counters["data_s"] = seconds;
    state.counters["cpu_per_data_s"] = spent / seconds;
    std::printf("noise report consumer, 32 channels (Dogwood 32) at %g kHz: %.4f CPU s per s of data "
                "(target < 0.02)\n",
                load.rate / 1000, spent / seconds);
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_NoiseReportConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
