// The phase machines of the resistance and capacitance estimations on frames written by the
// test: which levels and which frames of each ramp or level they measure, and what they refuse.
// Each frame is one voltage and two current channels; the second channel reads twice the first.
// Frames that must not be measured carry a current that would spoil the result. (Continuous
// results: the RC dock's journey.)

#include "acquisition/devicedataproducer.h"
#include "analysis/rcestimation/cestimationconsumer.h"
#include "analysis/rcestimation/restimationconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using kv4test::ScriptedSource;
using Frames = std::vector<std::pair<double, double>>;

constexpr double spoiler = 30000.0;
constexpr double rate = 1000.0; // Hz

// Runs the consumer's analysis on the frames directly, in the test's thread.
template <typename Consumer> class Probe : public Consumer {
  public:
    explicit Probe(DeviceDataProducer* producer) : Consumer(producer) {
        this->samplingRate = rate;
        this->allocateBuffers();
    }
    // Frames of (voltage in V, current of the first channel in A).
    void feed(const Frames& frames) {
        for (const auto& [v, i] : frames)
            this->accumulated.insert(this->accumulated.end(), {v, i, 2 * i});
        this->analyze();
    }
};

// A table's row: the frames fed at once, the results they give, and in the first the first
// channel's value (NaN: not a number, as for the second channel); the second channel's is
// `second` times it.
struct Case {
    std::string name;
    Frames frames;
    int results;
    double expected;
    double tolerance = 1e-9;
};

class EstimationFrames : public testing::Test {
  protected:
    template <typename Consumer> void expect(const Case& k, double second) {
        SCOPED_TRACE(k.name);
        Probe<Consumer> consumer(&producer);
        QSignalSpy results(&consumer, &Consumer::result);
        consumer.feed(k.frames);
        ASSERT_EQ(results.count(), k.results);
        if (k.results == 0) return;
        const auto res = results.at(0).at(0).template value<typename Consumer::Result_t>();
        QList<double> values;
        if constexpr (requires { res.resistances; })
            values = res.resistances;
        else
            values = res.capacitances;
        ASSERT_EQ(values.size(), 2);
        for (int ch : {0, 1}) {
            if (std::isnan(k.expected))
                EXPECT_TRUE(std::isnan(values[ch])) << values[ch];
            else
                EXPECT_NEAR(values[ch] / k.expected, ch ? second : 1.0, k.tolerance) << "channel " << ch;
        }
    }

    ScriptedSource source{1, 2, 0};
    DeviceDataProducer producer{source};
};

// Three levels repeated; the test marks the frames the estimate must average on the pair
// with the largest step: the low level's at 0 A, the high level's at `highCurrent`.
struct LevelsCase {
    double levels[3];    // V
    int durations[3];    // frames
    int low;             // the level before the largest step
    int skip[3], sum[3]; // per level: frames skipped, then summed (where measured)
};

Frames levelPeriods(const LevelsCase& c, int periods, double highCurrent) {
    const int high = (c.low + 1) % 3;
    Frames frames;
    for (int p = 0; p < periods; p++)
        for (int l = 0; l < 3; l++)
            for (int k = 0; k < c.durations[l]; k++) {
                const bool measured = (l == c.low || l == high) && k >= c.skip[l] && k < c.skip[l] + c.sum[l];
                frames.emplace_back(c.levels[l], !measured ? spoiler : l == high ? highCurrent : 0.0);
            }
    return frames;
}

TEST_F(EstimationFrames, ResistanceIsMeasuredOnTheLargestStepAfterHalfOfEachLevelForAThird) {
    // 2 MOhm on the measured frames: the current at the high level is deltaV / R.
    const auto measured = [](const LevelsCase& c) {
        return levelPeriods(c, 10, (c.levels[(c.low + 1) % 3] - c.levels[c.low]) / 2e6);
    };
    // Many periods of levels (V, A, frames), more than the half second analysed at once.
    const auto periods = [](std::vector<std::tuple<double, double, int>> levels) {
        Frames frames;
        while (frames.size() < 3000)
            for (const auto& [v, i, n] : levels)
                frames.insert(frames.end(), size_t(n), {v, i});
        return frames;
    };
    const Case cases[] = {
        // a square -50, +50, -50 with a middle level: the +50 to -50 mV step; 10 ms at 10 kHz
        // (100 frames) skips 50 and sums 33
        {"square with a middle level",
         measured({{0.0, 0.05, -0.05}, {100, 100, 100}, 1, {0, 50, 50}, {0, 33, 33}}), 1, 2e6},
        {"largest step first", measured({{-0.08, 0.08, 0.04}, {61, 7, 90}, 0, {30, 3, 0}, {20, 2, 0}}), 1,
         2e6},
        {"two levels", periods({{0.0, 0.0, 50}, {0.05, 1e-9, 50}}), 0, 0.0},
        {"a current that does not move", periods({{0.0, 1e-9, 30}, {0.05, 1e-9, 30}, {-0.05, 1e-9, 30}}), 1,
         std::nan("")},
        {"a current against the voltage", periods({{0.0, 0.0, 30}, {0.05, -1e-9, 30}, {-0.05, 1e-9, 30}}), 1,
         std::nan("")},
    };
    for (const Case& c : cases)
        expect<REstimationConsumer>(c, 0.5);
}

// Periods of ramps (frames, from, to in V), each ramp's frames numbered from 1 after the turn,
// carrying current(k, frames, voltage, slope).
Frames ramps(const std::vector<std::tuple<int, double, double>>& shape, int periods,
             const std::function<double(int, int, double, double)>& current) {
    Frames frames;
    for (int p = 0; p < periods; p++)
        for (const auto& [n, from, to] : shape)
            for (int k = 1; k <= n; k++) {
                const double v = from + (to - from) * k / n;
                frames.emplace_back(v, current(k, n, v, (to - from) / (n / rate)));
            }
    return frames;
}

// A triangle between 0 and `swing` volts, starting on a rising ramp: the frames of each ramp
// from a tenth of it to a tenth before its end (symmetric about its middle) carry the current
// of a capacitor `c` on that ramp, the others `other(slope)`.
Frames triangle(int rise, int fall, double swing, int periods, double c,
                const std::function<double(double)>& other) {
    return ramps({{rise, 0.0, swing}, {fall, swing, 0.0}}, periods, [&](int k, int n, double, double slope) {
        return k >= n / 10 && k <= n - n / 10 ? c * slope : other(slope);
    });
}

// A capacitor of 50 pF with a leak of 100 MOhm on a triangle whose rising ramp bends at its
// middle, as a staircase whose quarters were rounded to whole samples does (45 frames, then
// 55): the measured stretches' mean voltages differ by 3 mV, a leak current of 30 pA against
// the capacitor's step of 100 pA, taken off with the leak the ramps show.
Frames leakyBentTriangle(double c, int periods) {
    return ramps({{45, 0.0, 0.05}, {55, 0.05, 0.1}, {100, 0.1, 0.0}}, periods,
                 [c](int, int, double v, double slope) { return c * slope + v / 100e6; });
}

TEST_F(EstimationFrames, CapacitanceIsMeasuredOverTheMiddleOfEachRampLeavingATenthAtEitherEnd) {
    const double c = 50e-12;
    const auto capacitor = [c](double slope) { return c * slope; };
    const auto spoil = [](double) { return spoiler; };
    // A step protocol's tail before the triangle, as when the estimation switches protocols:
    // its levels look like ramps of other lengths and must not set the measured stretches.
    Frames switched;
    for (int p = 0; p < 3; p++)
        for (double v : {0.0, 0.04, -0.04})
            switched.insert(switched.end(), 40, {v, spoiler});
    for (const auto& frame : triangle(100, 100, 0.1, 16, c, spoil))
        switched.push_back(frame);
    // More periods of it than a result needs (its data came late): its levels are no ramps.
    Frames late;
    for (int p = 0; p < 12; p++)
        for (double v : {-0.04, 0.04})
            late.insert(late.end(), 100, {v, v > 0 ? spoiler : 0.0});
    for (const auto& frame : triangle(100, 100, 0.1, 16, c, spoil))
        late.push_back(frame);
    const Case cases[] = {
        // Equal ramps of 100 frames sum frames 10 to 90 of each.
        {"equal ramps of 100", triangle(100, 100, 0.1, 15, c, spoil), 1, c},
        {"short rise, long fall", triangle(60, 140, 0.05, 15, c, spoil), 1, c},
        {"flat voltage", Frames(5000, {0.01, 1e-9}), 0, 0.0},
        // A tenth of 19 frames is 1: the stretch would start on the turn, never measured.
        {"ramps too short to leave a frame after the turn", triangle(19, 19, 0.1, 200, c, capacitor), 0, 0.0},
        {"a leak along bent ramps", leakyBentTriangle(c, 15), 1, c, 0.005},
        {"current against the slope", triangle(100, 100, 0.1, 15, -c, capacitor), 1, std::nan("")},
        {"a step protocol before the triangle", switched, 1, c, 0.01},
        {"a step protocol for more periods than a result needs", late, 1, c, 0.01},
    };
    for (const Case& k : cases)
        expect<CEstimationConsumer>(k, 2.0);
}

} // namespace
