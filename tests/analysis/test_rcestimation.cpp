// Capacitance estimation end to end: cells of known Cm, Rm and Rs on a virtual amplifier
// running a triangular protocol, through the library and the producer into the consumer's
// results, against what the circuit gives. (The resistance of the same cells on a step: the RC
// dock's journey in test_rcestimationwidget.cpp.)

#include "tests/analysis/rconamplifier.h"

#include <cmath>

namespace {

using namespace kv4test;

// The cells read the capacitance the circuit presents (see seenCapacitance), on two models from
// the lowest rate to the highest: with the protocol's default period of 100 ms (+-2 V/s), and a
// 20 ms one (+-10 V/s). Before each sample was the mean current over its period, the 30 pF
// cells read a fifth of that at 1.22 kHz; before the ramps were measured over stretches
// symmetric about their middles, the 100 MOhm leak took 20 % off.
struct Row {
    const char* model;
    uint16_t rateIdx;
    double periodMs;
};

class CapacitanceAtRates : public RcOnAmplifier, public testing::WithParamInterface<Row> {
  public:
    CapacitanceAtRates() {
        model = GetParam().model;
        rateIdx = GetParam().rateIdx;
    }
};

TEST_P(CapacitanceAtRates, IsWhatTheCircuitPresentsWithinTwoPercentOnEveryChannel) {
    bus->clock()->setTimeScale(timeScaleFor(timeScale));
    ASSERT_NO_FATAL_FAILURE(placeCells(cells, 1e-12));
    ASSERT_NO_FATAL_FAILURE(
        startProtocol("Triangular", {{"Vhold", 0.0}, {"Vamp", 50.0}, {"TPeriod", GetParam().periodMs}}));
    ASSERT_NO_FATAL_FAILURE(startConsumers());
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
