#pragma once
// Cells of known Cm, Rm and Rs on the four channels of a virtual amplifier running a
// protocol, with the resistance and capacitance estimation consumers told the rate and ranges
// as the main window tells them.

#include "tests/analysis/consumersonamplifier.h"

#include "analysis/cestimationconsumer.h"
#include "analysis/restimationconsumer.h"

#include <cmath>
#include <memory>

namespace kv4test {

struct RcCell {
    double cm, rm, rs, cp; // F, Ohm, Ohm, F
};

inline kav4sim::CellParameters rcCell(const RcCell& c) {
    kav4sim::CellParameters cell = noisyCell(1e-12);
    cell.membraneCapacitance = c.cm;
    cell.membraneResistance = c.rm;
    cell.seriesResistance = c.rs;
    cell.fastCapacitance = c.cp;
    return cell;
}

// One cell per channel: small and large membranes, leaky and tight, series resistances
// from 5 to 20 MOhm, with and without fast capacitance.
inline const RcCell cells[4] = {
    {20e-12, 1e9, 10e6, 0.0},
    {50e-12, 5e9, 5e6, 3e-12},
    {10e-12, 1e9, 20e6, 0.0},
    {30e-12, 2e9, 5e6, 1e-12},
};

// The settled currents of the levels of a step differ by dV / (Rm + Rs).
inline double seenResistance(const RcCell& c) {
    return c.rm + c.rs;
}

// A triangle of period `period` (s) at `hz`, whose ramps are each measured after its first tenth for four
// tenths. The command is a staircase of one step per sample and each sample the current at the step's end;
// with a = Rm / (Rm + Rs), the membrane's time constant tau = Cm (Rm || Rs) and x = dt / tau, on a ramp of
// slope s the current settles at
//   Cm a^2 x / (e^x - 1) s + Cp s + V / (Rm + Rs)
// (Cm a^2 s for a smooth ramp, x -> 0). Between the two ramps' stretches the estimate sees
// Cm a^2 x / (e^x - 1) + Cp, less what the leak adds: the stretches' mean voltages differ by
// (1 - 2f) of the swing, f being the stretch's mean position on its ramp, which gives
// (1 - 2f) T / (2 (Rm + Rs)) for ramps of T.
inline double seenCapacitance(const RcCell& c, double period, double hz) {
    const double ramp = period / 2 * hz;
    const double f = (std::floor(ramp / 10) + (std::floor(4 * ramp / 10) + 1.0) / 2.0) / ramp;
    const double a = c.rm / (c.rm + c.rs);
    const double x = 1.0 / hz / (c.cm * c.rm * c.rs / (c.rm + c.rs));
    const double leak = (1.0 - 2.0 * f) * (period / 2) / (2.0 * (c.rm + c.rs));
    return c.cm * a * a * x / std::expm1(x) + c.cp - leak;
}

class RcOnAmplifier : public ConsumersOnAmplifier {
  protected:
    void TearDown() override {
        rEstimation.reset();
        cEstimation.reset();
        ConsumersOnAmplifier::TearDown();
    }
    // The cells, then the protocol, then both consumers on a running producer.
    void run(const RcCell (&cells)[4], const std::string& protocol,
             const std::map<std::string, double>& values) {
        ASSERT_NO_FATAL_FAILURE(placeCells(cells));
        ASSERT_NO_FATAL_FAILURE(startProtocol(protocol, values));
        ASSERT_NO_FATAL_FAILURE(startConsumers());
    }
    void placeCells(const RcCell (&cells)[4]) {
        for (uint16_t ch = 0; ch < 4; ch++)
            amplifier().setCell(ch, rcCell(cells[ch]));
        // 2 nA: room for the fastest ramps' capacitive currents.
        ASSERT_EQ(kv4cl::setCurrentRange(1, 4), kv4cl::Success);
    }
    void startConsumers() {
        producer = std::make_unique<DeviceDataProducer>(source);
        rEstimation = std::make_unique<REstimationConsumer>(producer.get());
        cEstimation = std::make_unique<CEstimationConsumer>(producer.get());
        for (AnalysisConsumer* consumer :
             {(AnalysisConsumer*)rEstimation.get(), (AnalysisConsumer*)cEstimation.get()}) {
            ASSERT_NO_FATAL_FAILURE(tellRate(consumer));
            kv4cl::RangedMeasurement_t range;
            ASSERT_EQ(kv4cl::getVoltageRange(range), kv4cl::Success);
            consumer->onVoltageRangeChanged(range);
            for (uint16_t ch = 0; ch < 4; ch++) {
                ASSERT_EQ(kv4cl::getCurrentRange(range, ch), kv4cl::Success);
                consumer->onCurrentRangeChanged(range, ch);
            }
        }
        producer->start();
    }
    std::unique_ptr<REstimationConsumer> rEstimation;
    std::unique_ptr<CEstimationConsumer> cEstimation;
};

} // namespace kv4test
