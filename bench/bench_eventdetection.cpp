// What the event detection consumer costs on the thirty-two-channel model at its highest
// rate, every current channel analysed, each channel's cell opening an ion channel some forty
// times a second, the virtual amplifier streaming as fast as it is read through the library
// and the producer. Only the consumer's thread is measured (its 50 ms reads from the sample
// ring and the detectors); the producer and the generator are not.
// Figure, measured in the same run:
//   cpu_per_data_s  CPU seconds of the consumer's thread per second of data; target < 0.03

#include "bench/analysisload.h"

#include "acquisition/librarysamplesource.h"
#include "analysis/eventdetection/eventdetectionconsumer.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

void BM_EventDetectionConsumer(benchmark::State& state) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    // Events of 5 pA at the holding voltage of 0, 5 ms open and 20 ms closed, in 0.5 pA of noise.
    kav4sim::CellParameters cell;
    cell.channelConductance = 50e-12;
    cell.reversalPotential = -0.1;
    cell.noiseRms = 0.5e-12;
    cell.resetArtefact = 0.0;
    load.amplifier->setCell(uint16_t(load.amplifier->model().currentChannelsNum), cell);
    kav4bench::warmUp(load);
    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> writer = producer.getDataHook();
    EventDetectionConsumer consumer(&producer);
    EventDetectionConsumer::Options_t options;
    options.threshold1 = {2.5, kv4cl::UnitPfxPico, "A"};
    options.threshold2 = {1.0, kv4cl::UnitPfxPico, "A"};
    for (int c = 0; c < int(producer.channelCounts().current); c++)
        consumer.onSetOptions(c, options);
    const double cost = kav4bench::consumerCost(load, consumer, producer, *writer, state);
    int events = 0;
    for (int c = 0; c < int(producer.channelCounts().current); c++)
        events += consumer.channelResult(c).eventCount;
    state.counters["events"] = events;
    std::printf(
        "event detection consumer, 32 channels (Dogwood 32) at %g kHz, %d events: %.4f CPU s per s of "
        "data (target < 0.03)\n",
        load.rate / 1000, events, cost);
    std::fflush(stdout);
}

} // namespace

BENCHMARK(BM_EventDetectionConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
