#pragma once
// Ion channels of known kinetics on a virtual amplifier, and an event detection consumer told
// the rate and ranges as the main window tells it.

#include "tests/analysis/consumersonamplifier.h"

#include "analysis/eventdetection/eventdetectionconsumer.h"

#include <chrono>
#include <cmath>
#include <memory>

namespace kv4test {

// One channel of the cell: everything but the channel fast next to the samples, so that each
// sample shows the share of its period that the channel was open.
struct ChannelCase {
    double conductance;   // S
    double reversal;      // V
    double open, closed;  // s, means
    double noise;         // A rms
    double startFraction; // threshold 1 as a fraction of the expected amplitude
    double endFraction;   // threshold 2
};

inline kav4sim::CellParameters channelCell(const ChannelCase& c) {
    kav4sim::CellParameters cell = noisyCell(c.noise);
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
// run of closed ones with pOpen q; events come at pOpen pClosed q per frame. (Samples that
// are means over their periods, read with thresholds at a half and a fifth of the amplitude,
// make an event about 0.3 frame longer than the instants show: 1.5 % of the shortest mean
// dwell tested, 20 frames.)
struct Expected {
    double dwell, gap, rate;
};
inline Expected twoStateModel(const ChannelCase& c, double fs) {
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
    // Minutes of simulated time in a few seconds, with room in the device's buffer for a
    // reader held up by a busy machine.
    void startDetecting() {
        bus->clock()->setTimeScale(timeScaleFor(50.0));
        amplifier().setBufferBytes(size_t{32} << 20);
        ASSERT_NO_FATAL_FAILURE(startProducing());
        detection = std::make_unique<EventDetectionConsumer>(producer.get());
        ASSERT_NO_FATAL_FAILURE(seed(*detection));
    }
    // The three cases' cells on the first three channels, each detecting with its thresholds at
    // its fractions of g (V - E) and the window and tau given, until each channel has found
    // `wanted` events (within two minutes: a result comes with every 50 ms of data that held an event
    // on any channel, so a channel finding none would keep the wait going for ever).
    void detectUntil(const ChannelCase (&cases)[3], EventDetectionConsumer::Options_t options, int wanted) {
        Results results(detection.get());
        for (int c = 0; c < 3; c++) {
            const double amplitude = cases[c].conductance * (holding - cases[c].reversal) * 1e12; // pA
            options.threshold1 = {amplitude * cases[c].startFraction, kv4cl::UnitPfxPico, "A"};
            // Given in fA: read in the channel's range all the same.
            options.threshold2 = {amplitude * cases[c].endFraction * 1000, kv4cl::UnitPfxFemto, "A"};
            detection->onSetOptions(c, options);
            detection->onStartConsuming(c);
        }
        const auto fewest = [&] {
            int n = wanted;
            for (int c = 0; c < 3; c++)
                n = std::min(n, detection->channelResult(c).eventCount);
            return n;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (fewest() < wanted) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "events on the channel with fewest: " << fewest();
            ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
        }
    }
    std::unique_ptr<EventDetectionConsumer> detection;
};

} // namespace kv4test
