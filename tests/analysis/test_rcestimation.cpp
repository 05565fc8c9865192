// Resistance and capacitance estimation end to end: cells of known Cm, Rm and Rs on a
// virtual amplifier running a step or a triangular protocol, through the library and the
// producer into the consumers' results, against what the circuit gives.

#include "tests/analysis/rconamplifier.h"

#include <cmath>

namespace {

using namespace kv4test;

// Levels 0, +40 mV, -40 mV of 20 ms each: the largest step is +40 to -40 mV, where the
// settled currents differ by 80 mV / (Rm + Rs). With 0.25 pA of noise the estimate's own scatter
// on the 5 GOhm cell is about 0.1% (0.4% with 1 pA, too close to the 1% checked).
TEST_F(RcOnAmplifier, ResistanceOfAStepIsRmPlusRsOnEveryChannel) {
    ASSERT_NO_FATAL_FAILURE(run(cells, "Square wave",
                                {{"Vhold", 0.0}, {"Vpulse", 40.0}, {"Thold", 20.0}, {"Tpulse", 20.0}},
                                0.25e-12));
    QSignalSpy results(rEstimation.get(), &REstimationConsumer::result);
    kv4test::Results arrived(rEstimation.get());
    rEstimation->onStartConsuming();
    ASSERT_NO_FATAL_FAILURE(waitFor(arrived, 1));
    // The spy recorded in the consumer's thread, within its hand-over.
    rEstimation->takeHandOver();
    const auto res = results.at(0).at(0).value<REstimationConsumer::Result_t>();
    ASSERT_EQ(res.resistances.size(), 4);
    for (int ch = 0; ch < 4; ch++) {
        SCOPED_TRACE(ch);
        const double truth = seenResistance(cells[ch]);
        EXPECT_NEAR(res.resistances[ch] / truth, 1.0, 0.01)
            << res.resistances[ch] << " Ohm, Rm + Rs " << truth;
    }
}

// The same cells read the same capacitance, the one the circuit presents (see
// seenCapacitance), on two models from the lowest rate to the highest: with the protocol's
// default period of 100 ms (+-2 V/s), and a 20 ms one (+-10 V/s). Before each sample was the
// mean current over its period, the 30 pF cells read a fifth of that at 1.22 kHz; before the
// ramps were measured over stretches symmetric about their middles, the 100 MOhm leak took
// 20 % off.
struct Row {
    const char* model;
    uint16_t rateIdx;
    double periodMs;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.model << ", rate " << row.rateIdx << ", " << row.periodMs << " ms";
}

class CapacitanceAtRates : public RcOnAmplifier, public testing::WithParamInterface<Row> {
  public:
    CapacitanceAtRates() {
        model = GetParam().model;
        rateIdx = GetParam().rateIdx;
    }
};

TEST_P(CapacitanceAtRates, IsWhatTheCircuitPresentsWithinTwoPercentOnEveryChannel) {
    bus->clock()->setTimeScale(timeScaleFor(timeScale));
    ASSERT_NO_FATAL_FAILURE(
        run(cells, "Triangular", {{"Vhold", 0.0}, {"Vamp", 50.0}, {"TPeriod", GetParam().periodMs}}, 1e-12));
    QSignalSpy results(cEstimation.get(), &CEstimationConsumer::result);
    kv4test::Results arrived(cEstimation.get());
    cEstimation->onStartConsuming();
    ASSERT_NO_FATAL_FAILURE(waitFor(arrived, 1));
    cEstimation->takeHandOver();
    EXPECT_EQ(producer->framesLostTotal(), 0u);
    const auto res = results.at(0).at(0).value<CEstimationConsumer::Result_t>();
    ASSERT_EQ(res.capacitances.size(), qsizetype(currentChannels));
    for (int ch = 0; ch < 4; ch++) {
        SCOPED_TRACE(ch);
        const double expected = seenCapacitance(cells[ch]);
        EXPECT_NEAR(res.capacitances[ch] / expected, 1.0, 0.02)
            << res.capacitances[ch] * 1e12 << " pF, expected " << expected * 1e12 << " (Cm "
            << cells[ch].cm * 1e12 << ", Rm " << cells[ch].rm * 1e-6 << " MOhm) at " << hz() << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(LowestAndHighestRates, CapacitanceAtRates,
                         testing::Values(Row{"cedar", 0, 100.0}, Row{"cedar", 6, 100.0},
                                         Row{"cedar", 2, 20.0}, Row{"dogwood16", 0, 100.0},
                                         Row{"dogwood16", 5, 100.0}),
                         [](const testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.model) + "_rate" +
                                    std::to_string(info.param.rateIdx) + "_" +
                                    std::to_string(int(info.param.periodMs)) + "ms";
                         });

} // namespace
