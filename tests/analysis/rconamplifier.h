#pragma once
// Cells of known Cm, Rm and Rs on the four channels of a virtual amplifier running a
// protocol, with the resistance and capacitance estimation consumers told the rate and ranges
// as the main window tells them.

#include "tests/analysis/consumersonamplifier.h"

#include "analysis/rcestimation/cestimationconsumer.h"
#include "analysis/rcestimation/restimationconsumer.h"

#include <memory>
#include <tuple>

namespace kv4test {

// What the resistance and capacitance estimations should find for a cell of known Cm, Rm, Rs
// and Cp on a virtual amplifier.
struct RcCell {
    double cm, rm, rs, cp; // F, Ohm, Ohm, F
};

// The settled currents of the levels of a step differ by dV / (Rm + Rs).
inline double seenResistance(const RcCell& c) {
    return c.rm + c.rs;
}

// The capacitance the circuit presents to a ramp: once the membrane has caught up with a ramp
// of slope s, the current is (Cm a^2 + Cp) s + V / (Rm + Rs), with a = Rm / (Rm + Rs) the
// share of the command that reaches the membrane. Each sample being the mean current over its
// period, this holds at every sampling rate; the leak's V / (Rm + Rs) is the estimate's to
// cancel.
inline double seenCapacitance(const RcCell& c) {
    const double a = c.rm / (c.rm + c.rs);
    return c.cm * a * a + c.cp;
}

// One cell per channel: small and large membranes, Rm from 100 MOhm (a leak of 0.5 nA at
// 50 mV) to 5 GOhm, series resistances of 5 and 10 MOhm, with and without fast capacitance.
inline const RcCell cells[4] = {
    {20e-12, 1e9, 10e6, 0.0},
    {50e-12, 5e9, 5e6, 3e-12},
    {30e-12, 100e6, 5e6, 5e-12},
    {30e-12, 2e9, 5e6, 1e-12},
};

class RcOnAmplifier : public ConsumersOnAmplifier {
  protected:
    void TearDown() override {
        rEstimation.reset();
        cEstimation.reset();
        ConsumersOnAmplifier::TearDown();
    }
    void placeCells(const RcCell (&cells)[4], double noiseRms) {
        for (uint16_t ch = 0; ch < 4; ch++) {
            kav4sim::CellParameters cell = noisyCell(noiseRms);
            std::tie(cell.membraneCapacitance, cell.membraneResistance, cell.seriesResistance,
                     cell.fastCapacitance) =
                std::tuple(cells[ch].cm, cells[ch].rm, cells[ch].rs, cells[ch].cp);
            amplifier().setCell(ch, cell);
        }
        // 2 nA: room for the fastest ramps' capacitive currents.
        ASSERT_EQ(kv4cl::setCurrentRange(1, uint16_t(currentChannels)), kv4cl::Success);
    }
    void startConsumers() {
        producer = std::make_unique<DeviceDataProducer>(source);
        rEstimation = std::make_unique<REstimationConsumer>(producer.get());
        cEstimation = std::make_unique<CEstimationConsumer>(producer.get());
        ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
        ASSERT_NO_FATAL_FAILURE(seed(*rEstimation));
        ASSERT_NO_FATAL_FAILURE(seed(*cEstimation));
        producer->start();
    }
    std::unique_ptr<REstimationConsumer> rEstimation;
    std::unique_ptr<CEstimationConsumer> cEstimation;
};

} // namespace kv4test
