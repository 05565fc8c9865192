#pragma once
// What the analysis benchmarks share: a connection warmed up, the ranges handed to a consumer
// as the main window hands them, and the CPU time of one consumer's thread per second of data.

#include "bench/virtualload.h"
#include "bench/writerload.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"
#include "analysis/framework/analysisconsumer.h"

#include <QSemaphore>

#include <benchmark/benchmark.h>

#include <pthread.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace kav4bench {

// The page faults of the first passes through the library's and the pipeline's rings are
// paid once per connection with a quick counting pattern, before anything is measured.
inline void warmUp(kav4bench::VirtualLoad& load) {
    bool lost = false;
    load.amplifier->setPatternMode(true);
    kv4cl::flushData(true);
    kav4bench::acquire(0x400000, load.wordsPerFrame, lost);
}

// The ranges the device holds, as the main window gives them to every consumer.
inline void seedRanges(DeviceDataConsumer& consumer, const DeviceDataProducer& producer) {
    for (uint16_t c = 0; c < producer.channelCounts().current; c++) {
        kv4cl::RangedMeasurement_t range;
        kv4cl::getCurrentRange(range, c);
        consumer.onCurrentRangeChanged(range, c);
    }
}

// The consumer's CPU seconds per second of data over 20 s of data, all current channels on.
inline double consumerCost(kav4bench::VirtualLoad& load, AnalysisConsumer& consumer,
                           DeviceDataProducer& producer, DataHook& writer, benchmark::State& state) {
    clockid_t consumerClock{};
    QSemaphore clockKnown;
    QObject::connect(
        &consumer, &QThread::started, &consumer,
        [&] {
            pthread_getcpuclockid(pthread_self(), &consumerClock);
            clockKnown.release();
        },
        Qt::DirectConnection);
    const kv4cl::Measurement_t rate{load.rate, kv4cl::UnitPfxNone, "Hz"};
    consumer.onSamplingRateChanged(rate, rate);
    seedRanges(consumer, producer);
    producer.start();
    consumer.onStartConsuming();
    clockKnown.acquire();
    readAsWriter(writer, SampleRing::rowCount + uint64_t(load.rate * 0.2));
    load.amplifier->setPatternMode(false);
    readAsWriter(writer, uint64_t(load.rate * 3)); // past the first average of the spectrum

    const double seconds = 20.0;
    double spent = 0.0;
    for (auto _ : state) {
        const double start = cpuSeconds(consumerClock);
        readAsWriter(writer, uint64_t(seconds * load.rate));
        spent = cpuSeconds(consumerClock) - start;
        state.SetIterationTime(spent);
    }
    producer.onStopProducing();
    consumer.onStopConsuming();
    state.counters["data_s"] = seconds;
    state.counters["cpu_per_data_s"] = spent / seconds;
    return spent / seconds;
}

// The cost of a consumer that emits `result`, on a producer started now, set up by `setUp`;
// printed with the count of its results.
template <typename Consumer>
void resultingConsumerCost(benchmark::State& state, kav4bench::VirtualLoad& load, const char* what,
                           const std::function<void(Consumer&)>& setUp) {
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> writer = producer.getDataHook();
    Consumer consumer(&producer);
    setUp(consumer);
    int results = 0;
    QObject::connect(
        &consumer, &Consumer::result, &consumer, [&] { results++; }, Qt::DirectConnection);
    const double cost = consumerCost(load, consumer, producer, *writer, state);
    state.counters["results"] = results;
    std::printf(
        "%s, 32 channels (Dogwood 32) at %g kHz, %d results: %.4f CPU s per s of data (target < 0.02)\n",
        what, load.rate / 1000, results, cost);
    std::fflush(stdout);
}

} // namespace kav4bench
