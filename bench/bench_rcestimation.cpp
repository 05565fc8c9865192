// What the resistance and capacitance estimation consumers cost on the thirty-two-channel
// model at its highest rate, continuously, on the step and the triangular protocols they
// expect, the virtual amplifier streaming as fast as it is read through the library and the
// producer. Only the consumer's thread is measured (its 50 ms reads from the sample ring and
// the phase machine); the producer and the generator are not.
// Figures, measured in the same run:
//   cpu_per_data_s  CPU seconds of the consumer's thread per second of data; target < 0.02

#include "bench/analysisload.h"

#include "analysis/rcestimation/cestimationconsumer.h"
#include "analysis/rcestimation/restimationconsumer.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace {

// Selects the named protocol with these parameters (by name, in their units) and starts it.
bool runProtocol(const std::string& name, const std::map<std::string, double>& values) {
    std::vector<std::string> names, images;
    std::vector<std::vector<uint16_t>> v, t, sl, f, a;
    if (kv4cl::getProtocolList(names, images, v, t, sl, f, a) != kv4cl::Success) return false;
    const auto at = std::find(names.begin(), names.end(), name);
    if (at == names.end()) return false;
    const auto set = [&](auto get, auto put) {
        std::vector<std::string> params;
        std::vector<kv4cl::RangedMeasurement_t> ranges;
        std::vector<kv4cl::Measurement_t> defaults;
        if (get(params, ranges, defaults) != kv4cl::Success) return;
        for (size_t i = 0; i < params.size(); i++)
            if (values.count(params[i]))
                put(uint16_t(i),
                    kv4cl::Measurement_t{values.at(params[i]), ranges[i].prefix, ranges[i].unit});
    };
    set(kv4cl::getProtocolVoltage, kv4cl::setProtocolVoltage);
    set(kv4cl::getProtocolTime, kv4cl::setProtocolTime);
    return kv4cl::selectProtocol(uint16_t(at - names.begin())) == kv4cl::Success &&
           kv4cl::applyProtocol() == kv4cl::Success;
}

template <typename Consumer>
void estimationCost(benchmark::State& state, const char* what, const std::string& protocol,
                    const std::map<std::string, double>& values) {
    kav4bench::VirtualLoad load(12, 5, 1, false); // Dogwood 32
    if (!load.error.empty()) return state.SkipWithError(load.error.c_str());
    kav4sim::CellParameters cell;
    cell.channelConductance = 0.0;
    cell.noiseRms = 0.5e-12;
    cell.resetArtefact = 0.0;
    load.amplifier->setCell(uint16_t(load.amplifier->model().currentChannelsNum), cell);
    kav4bench::warmUp(load);
    if (!runProtocol(protocol, values)) return state.SkipWithError("protocol not started");
    kav4bench::resultingConsumerCost<Consumer>(state, load, what, [](Consumer& c) { c.setContinuous(true); });
}

void BM_REstimationConsumer(benchmark::State& state) {
    estimationCost<REstimationConsumer>(
        state, "resistance estimation consumer", "Square wave",
        {{"Vhold", 0.0}, {"Vpulse", 40.0}, {"Thold", 20.0}, {"Tpulse", 20.0}});
}

void BM_CEstimationConsumer(benchmark::State& state) {
    estimationCost<CEstimationConsumer>(state, "capacitance estimation consumer", "Triangular",
                                        {{"Vhold", 0.0}, {"Vamp", 50.0}, {"TPeriod", 20.0}});
}

} // namespace

BENCHMARK(BM_REstimationConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CEstimationConsumer)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
