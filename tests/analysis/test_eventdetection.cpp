// Event detection end to end: ion channels of known conductance and mean open and closed
// times on a virtual amplifier, through the library and the producer, into the records the
// dock copies; the statistics against what the two-state model predicts.

#include "tests/analysis/consumersonamplifier.h"

#include "analysis/eventdetectionconsumer.h"

#include <cmath>

namespace {

using kv4test::ConsumersOnAmplifier;
using kv4test::holding;

// One channel of the cell: everything but the channel fast next to the samples, so that each
// sample shows the channel's state as the two-state chain has it at that instant.
struct ChannelCase {
    double conductance;   // S
    double reversal;      // V
    double open, closed;  // s, means
    double noise;         // A rms
    double startFraction; // threshold 1 as a fraction of the expected amplitude
    double endFraction;   // threshold 2
};

kav4sim::CellParameters channelCell(const ChannelCase& c) {
    kav4sim::CellParameters cell = kv4test::noisyCell(c.noise);
    cell.seriesResistance = 1e6; // with Cm, a 5 us membrane: settled within a sample
    cell.membraneCapacitance = 5e-12;
    cell.membraneResistance = 10e9;
    cell.channelConductance = c.conductance;
    cell.reversalPotential = c.reversal;
    cell.meanOpenTime = c.open;
    cell.meanClosedTime = c.closed;
    return cell;
}

// The two-state chain seen at the frames, dt apart: an opening is a run of open frames. With
// k the sum of both rates and q = 1 - exp(-k dt) the chance that the state at one frame is
// forgotten at the next, a run of open frames ends with probability pClosed q per frame and a
// run of closed ones with pOpen q; events come at pOpen pClosed q per frame.
struct Expected {
    double dwell, gap, rate;
};
Expected twoStateModel(const ChannelCase& c, double fs) {
    const double dt = 1.0 / fs;
    const double pOpen = c.open / (c.open + c.closed);
    const double q = 1.0 - std::exp(-(1.0 / c.open + 1.0 / c.closed) * dt);
    return {dt / ((1.0 - pOpen) * q), dt / (pOpen * q), pOpen * (1.0 - pOpen) * q / dt};
}

class EventsOnAmplifier : public ConsumersOnAmplifier {
  protected:
    void TearDown() override {
        detection.reset();
        ConsumersOnAmplifier::TearDown();
    }
    void startDetecting() {
        ASSERT_NO_FATAL_FAILURE(startProducing());
        detection = std::make_unique<EventDetectionConsumer>(producer.get());
        ASSERT_NO_FATAL_FAILURE(tellRate(detection.get()));
        for (uint16_t ch = 0; ch < 4; ch++) {
            kv4cl::RangedMeasurement_t range;
            ASSERT_EQ(kv4cl::getCurrentRange(range, ch), kv4cl::Success);
            detection->onCurrentRangeChanged(range, ch);
        }
    }
    std::unique_ptr<EventDetectionConsumer> detection;
};

// Three channels of one amplifier at once, each its own cell: events up and down, fast and
// slow kinetics, small and large currents, thresholds set from each expected amplitude.
TEST_F(EventsOnAmplifier, CountsDwellsAndAmplitudesMatchTheTwoStateModelOfEachChannel) {
    const ChannelCase cases[] = {
        {100e-12, 0.0, 5e-3, 20e-3, 0.2e-12, 0.5, 0.2},    // +5 pA up from the baseline
        {50e-12, 0.150, 2e-3, 25e-3, 0.2e-12, 0.5, 0.2},   // -5 pA: events below the baseline
        {300e-12, -0.050, 10e-3, 40e-3, 1e-12, 0.4, 0.15}, // +30 pA, slow
    };
    constexpr int channels = 3;
    for (int c = 0; c < channels; c++)
        amplifier().setCell(uint16_t(c), channelCell(cases[c]));
    // Minutes of simulated time in a few seconds, with room in the device's buffer for a
    // reader held up by a busy machine.
    bus->clock()->setTimeScale(50.0);
    amplifier().setBufferBytes(size_t{32} << 20);
    ASSERT_NO_FATAL_FAILURE(startDetecting());
    QSignalSpy results(detection.get(), &EventDetectionConsumer::result);
    for (int c = 0; c < channels; c++) {
        const double amplitude = cases[c].conductance * (holding - cases[c].reversal) * 1e12; // pA
        EventDetectionConsumer::Options_t options;
        options.threshold1 = {amplitude * cases[c].startFraction, kv4cl::UnitPfxPico, "A"};
        // Given in fA: read in the channel's range all the same.
        options.threshold2 = {amplitude * cases[c].endFraction * 1000, kv4cl::UnitPfxFemto, "A"};
        options.dwellRange = {0.0, 500.0, 1.0, kv4cl::UnitPfxMilli, "s"};
        detection->onSetOptions(c, options);
        detection->onStartConsuming(c);
    }

    // Enough events in every channel for the averages to lie within 1.1% (one standard error)
    // of the truth: dwell times are exponential, so the error of their mean is 1/sqrt(n).
    const int wanted = 8000;
    const auto fewest = [&] {
        int n = wanted;
        for (int c = 0; c < channels; c++)
            n = std::min(n, detection->channelResult(c).eventCount);
        return n;
    };
    while (fewest() < wanted)
        ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
    EXPECT_EQ(producer->framesLostTotal(), 0u) << "a lost frame would split or join events";

    for (int c = 0; c < channels; c++) {
        SCOPED_TRACE(c);
        const ChannelCase& cc = cases[c];
        const EventDetectionRecord r = detection->channelResult(c);
        const Expected expected = twoStateModel(cc, hz());
        const double rate = 1.0 / (r.averageDwell + r.averageGap);
        EXPECT_NEAR(r.averageDwell / expected.dwell, 1.0, 0.05)
            << "mean dwell " << r.averageDwell * 1e3 << " ms, expected " << expected.dwell * 1e3;
        EXPECT_NEAR(rate / expected.rate, 1.0, 0.05)
            << "rate " << rate << " /s, expected " << expected.rate << " (" << r.eventCount << " events)";
        EXPECT_NEAR(r.averageGap / expected.gap, 1.0, 0.05)
            << "mean gap " << r.averageGap * 1e3 << " ms, expected " << expected.gap * 1e3;

        const double truth = cc.conductance * (holding - cc.reversal) * 1e12; // pA
        double sum = 0.0;
        for (double a : r.amplitudes)
            sum += a;
        const double mean = sum / double(r.amplitudes.size());
        EXPECT_NEAR(mean / truth, 1.0, 0.02) << "amplitude " << mean << " pA, g (V - E) = " << truth;
        EXPECT_EQ(r.positive, truth > 0);
        // The histogram counts sizes: the mode lies at |g (V - E)|.
        const EventHistogram& h = r.amplitudeHistogram;
        const auto mode = std::max_element(h.counts.begin(), h.counts.end()) - h.counts.begin();
        EXPECT_NEAR(h.lowerEdge + (double(mode) + 0.5) * h.binWidth, std::abs(truth), 2 * h.binWidth);
        EXPECT_EQ(std::accumulate(h.counts.begin(), h.counts.end(), 0), r.eventCount);
    }
    EXPECT_EQ(detection->channelResult(3).eventCount, 0) << "a channel that does not run";
}

} // namespace
