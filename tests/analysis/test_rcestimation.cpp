// Resistance and capacitance estimation end to end: cells of known Cm, Rm and Rs on a
// virtual amplifier running a step or a triangular protocol, through the library and the
// producer into the consumers' results, against what the circuit gives.

#include "tests/analysis/rconamplifier.h"

#include <cmath>

namespace {

using namespace kv4test;

// One cell per channel: small and large membranes, leaky and tight, series resistances
// from 5 to 20 MOhm, with and without fast capacitance.
const RcCell cells[4] = {
    {20e-12, 1e9, 10e6, 0.0},
    {50e-12, 5e9, 5e6, 3e-12},
    {10e-12, 1e9, 20e6, 0.0},
    {30e-12, 2e9, 5e6, 1e-12},
};

// Levels 0, +40 mV, -40 mV of 20 ms each: the largest step is +40 to -40 mV, where the
// settled currents differ by 80 mV / (Rm + Rs).
TEST_F(RcOnAmplifier, ResistanceOfAStepIsRmPlusRsOnEveryChannel) {
    ASSERT_NO_FATAL_FAILURE(
        run(cells, "Square wave", {{"Vhold", 0.0}, {"Vpulse", 40.0}, {"Thold", 20.0}, {"Tpulse", 20.0}}));
    QSignalSpy results(rEstimation.get(), &REstimationConsumer::result);
    rEstimation->onStartConsuming();
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 1));
    const auto res = results.at(0).at(0).value<REstimationConsumer::Result_t>();
    ASSERT_EQ(res.resistances.size(), 4);
    for (int ch = 0; ch < 4; ch++) {
        SCOPED_TRACE(ch);
        const double truth = cells[ch].rm + cells[ch].rs;
        EXPECT_NEAR(res.resistances[ch] / truth, 1.0, 0.01)
            << res.resistances[ch] << " Ohm, Rm + Rs " << truth;
    }
}

// A 20 ms triangle of +-50 mV (10 V/s): ramps of about 98 frames at the amplifier's real
// rate, each measured after its first tenth for four tenths. The command is a staircase of
// one step per sample and each sample the current at the step's end; with a = Rm / (Rm + Rs),
// the membrane's time constant tau = Cm (Rm || Rs) and x = dt / tau, on a ramp of slope s the
// current settles at
//   Cm a^2 x / (e^x - 1) s + Cp s + V / (Rm + Rs)
// (Cm a^2 s for a smooth ramp, x -> 0). Between the two ramps' stretches the estimate sees
// Cm a^2 x / (e^x - 1) + Cp, less what the leak adds: the stretches' mean voltages differ by
// (1 - 2f) of the swing, f being the stretch's mean position on its ramp, which gives
// (1 - 2f) T / (2 (Rm + Rs)) for ramps of T.
TEST_F(RcOnAmplifier, CapacitanceOfATriangleIsCmSeenThroughRsAndRmOnEveryChannel) {
    const double period = 0.020;
    ASSERT_NO_FATAL_FAILURE(
        run(cells, "Triangular", {{"Vhold", 0.0}, {"Vamp", 50.0}, {"TPeriod", period * 1e3}}));
    QSignalSpy results(cEstimation.get(), &CEstimationConsumer::result);
    cEstimation->onStartConsuming();
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 1));
    const auto res = results.at(0).at(0).value<CEstimationConsumer::Result_t>();
    ASSERT_EQ(res.capacitances.size(), 4);
    const double ramp = period / 2 * hz();
    const double f = (std::floor(ramp / 10) + (std::floor(4 * ramp / 10) + 1.0) / 2.0) / ramp;
    const double seconds = period / 2;
    for (int ch = 0; ch < 4; ch++) {
        SCOPED_TRACE(ch);
        const RcCell& c = cells[ch];
        const double a = c.rm / (c.rm + c.rs);
        const double x = 1.0 / hz() / (c.cm * c.rm * c.rs / (c.rm + c.rs));
        const double seen = c.cm * a * a * x / std::expm1(x) + c.cp;
        const double leak = (1.0 - 2.0 * f) * seconds / (2.0 * (c.rm + c.rs));
        EXPECT_NEAR(res.capacitances[ch] / (seen - leak), 1.0, 0.02)
            << res.capacitances[ch] * 1e12 << " pF, expected " << (seen - leak) * 1e12 << " (Cm "
            << c.cm * 1e12 << ")";
    }
}

} // namespace
