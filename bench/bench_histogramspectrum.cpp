// What the histogram and spectrum consumers cost on the thirty-two-channel model at its
// highest rate, every current channel analysed, the virtual amplifier streaming as fast as
// it is read through the library and the producer: each consumer's own thread (50 ms reads
// from the sample ring, the binning or the FFTs of N = 32768 and their averages). A
// writer-like hook counts the rows that arrive; only the consumer's thread is measured.
// Then all the analyses at once with the live plot, the amplifier in real time: whether the
// producer keeps up for a minute of data.
// Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds of the consumer's thread per second of data; targets < 0.02
//                   (histogram), < 0.05 (spectrum)
//   rows_short      rows the producer stored short of what the device made; 0 when it keeps up

#include "bench/analysisload.h"
#include "bench/virtualload.h"
#include "bench/writerload.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"
#include "analysis/histogram/histogramconsumer.h"
#include "analysis/noisereport/noisereportconsumer.h"
#include "analysis/spectrum/spectrumconsumer.h"
#include "plots/gapfreeplotconsumer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>

namespace {

using kav4bench::consumerCost;
using kav4bench::seedRanges;
using kav4bench::warmUp;

void BM_HistogramConsumer(benchmark::State& state) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    warmUp(load);
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> writer = producer.getDataHook();
    HistogramConsumer consumer(&producer);
    const double cost = consumerCost(load, consumer, producer, *writer, state);
    std::printf("histogram consumer, 32 channels (Dogwood 32) at %g kHz: %.4f CPU s per s of data "
                "(target < 0.02)\n",
                load.rate / 1000, cost);
    std::fflush(stdout);
}

void BM_SpectrumConsumer(benchmark::State& state) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    warmUp(load);
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> writer = producer.getDataHook();
    SpectrumConsumer consumer(&producer);
    SpectrumConsumer::Options_t options{32768, {2.0, kv4cl::UnitPfxNone, "s"}};
    for (int c = 0; c < int(producer.channelCounts().current); c++)
        consumer.onSetOptions(c, options);
    const double cost = consumerCost(load, consumer, producer, *writer, state);
    std::printf("spectrum consumer, N = 32768, 32 channels (Dogwood 32) at %g kHz: %.4f CPU s per s of data "
                "(target < 0.05)\n",
                load.rate / 1000, cost);
    std::fflush(stdout);
}

// The noise report, the histogram and the spectrum on every channel with the live plot, the
// amplifier sending in real time: the producer must store every row the device makes.
void BM_AnalysesWithPlotKeepUp(benchmark::State& state) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    warmUp(load);
    load.amplifier->setPatternMode(false);
    load.amplifier->setFreeRunning(false);
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    NoiseReportConsumer noise(&producer);
    HistogramConsumer histogram(&producer);
    SpectrumConsumer spectrum(&producer);
    GapFreePlotConsumer plot(&producer);
    SpectrumConsumer::Options_t options{32768, {2.0, kv4cl::UnitPfxNone, "s"}};
    for (int c = 0; c < int(producer.channelCounts().current); c++)
        spectrum.onSetOptions(c, options);
    const kv4cl::Measurement_t rate{load.rate, kv4cl::UnitPfxNone, "Hz"};
    for (DeviceDataConsumer* consumer :
         std::initializer_list<DeviceDataConsumer*>{&noise, &histogram, &spectrum, &plot}) {
        consumer->onSamplingRateChanged(rate, rate);
        seedRanges(*consumer, producer);
    }
    plot.onDurationChanged({1.0, kv4cl::UnitPfxNone, "s"});
    kv4cl::flushData(true);
    producer.start();
    for (DeviceDataConsumer* consumer :
         std::initializer_list<DeviceDataConsumer*>{&noise, &histogram, &spectrum, &plot})
        consumer->onStartConsuming();

    // Results counted as they are made, to see that every analysis kept pace too.
    std::atomic<int> noiseResults = 0, histogramResults = 0, spectrumResults = 0;
    QObject::connect(
        &noise, &NoiseReportConsumer::result, &noise, [&] { noiseResults++; }, Qt::DirectConnection);
    QObject::connect(
        &histogram, &HistogramConsumer::result, &histogram, [&] { histogramResults++; },
        Qt::DirectConnection);
    QObject::connect(
        &spectrum, &SpectrumConsumer::result, &spectrum, [&] { spectrumResults++; }, Qt::DirectConnection);

    // Rows stored against the rows the device made by its own clock over a minute; the
    // producer's lag behind the device is about the same at both ends.
    const double seconds = 60.0;
    const auto deviceSeconds = [&load] { return load.amplifier->device().clock()->seconds(); };
    QThread::sleep(1);
    const double from = deviceSeconds();
    const uint64_t before = producer.rowsProduced();
    const int noiseFrom = noiseResults, histogramFrom = histogramResults, spectrumFrom = spectrumResults;
    double shortBy = 0.0;
    for (auto _ : state) {
        QThread::sleep((unsigned long)seconds);
        const double made = (deviceSeconds() - from) * load.amplifier->frameRate();
        shortBy = made - double(producer.rowsProduced() - before);
        state.SetIterationTime(seconds);
    }
    for (DeviceDataConsumer* consumer :
         std::initializer_list<DeviceDataConsumer*>{&noise, &histogram, &spectrum, &plot})
        consumer->onStopConsuming();
    producer.onStopProducing();
    state.counters["rows_short"] = shortBy;
    std::printf(
        "noise report, histogram, spectrum (N = 32768) and live plot, 32 channels at %g kHz in real "
        "time for %g s: producer %.0f rows (%.3f s) short of the device (target: within its polling lag, "
        "under 0.1 s); results: noise report %d, histogram %d, spectrum %d (due about %d, %d, %d)\n",
        load.rate / 1000, seconds, shortBy, shortBy / load.rate, noiseResults - noiseFrom,
        histogramResults - histogramFrom, spectrumResults - spectrumFrom, int(seconds * 2), int(seconds * 2),
        int(seconds / (std::ceil(load.rate * 2 / 32768) * 32768 / load.rate)));
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_HistogramConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpectrumConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnalysesWithPlotKeepUp)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
