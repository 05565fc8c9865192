// What the membrane monitor and the voltage automatic controller cost on the thirty-two-channel
// model at its highest rate, every channel watched, the virtual amplifier streaming as fast as
// it is read through the library and the producer. Only the consumer's thread is measured (its
// 50 ms reads from the sample ring and the counting of every sample); the producer and the
// generator are not. The cells stay within the limits and thresholds, so that every sample
// goes through the whole count and nothing resets it.
// Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds of the consumer's thread per second of data; target < 0.02

#include "bench/analysisload.h"

#include "analysis/membranemonitor/membranemonitorconsumer.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"

#include <benchmark/benchmark.h>

#include <functional>

namespace {

template <typename Consumer>
void watcherCost(benchmark::State& state, const char* what, const std::function<void(Consumer&)>& setUp) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    kav4sim::CellParameters cell;
    cell.channelConductance = 0.0;
    cell.noiseRms = 2e-12;
    load.amplifier->setCell(uint16_t(load.amplifier->model().currentChannelsNum), cell);
    kav4bench::warmUp(load);
    kav4bench::resultingConsumerCost(state, load, what, setUp);
}

void BM_MembraneMonitorConsumer(benchmark::State& state) {
    watcherCost<MembraneMonitorConsumer>(state, "membrane monitor consumer", [](MembraneMonitorConsumer& c) {
        MembraneMonitorConsumer::Options_t options;
        options.minimumTime = {10.0, kv4cl::UnitPfxMilli, "s"};
        c.onSetOptions(options);
        for (int ch = 0; ch < 32; ch++)
            c.onChannelStatusChanged(ch, true, true);
    });
}

void BM_VoltageAutomaticControllerConsumer(benchmark::State& state) {
    watcherCost<VoltageAutomaticControllerConsumer>(
        state, "voltage automatic controller consumer", [](VoltageAutomaticControllerConsumer& c) {
            c.onChannelChanged(32); // all
            c.onHighThCurrentChanged({1.0, kv4cl::UnitPfxNano, "A"});
            c.onLowThCurrentChanged({-1.0, kv4cl::UnitPfxNano, "A"});
            c.onHighThDurationChanged({10.0, kv4cl::UnitPfxMilli, "s"});
            c.onLowThDurationChanged({10.0, kv4cl::UnitPfxMilli, "s"});
            c.onResetTimeChanged({100.0, kv4cl::UnitPfxMilli, "s"});
        });
}

} // namespace

BENCHMARK(BM_MembraneMonitorConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoltageAutomaticControllerConsumer)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
