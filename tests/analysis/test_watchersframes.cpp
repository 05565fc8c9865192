// The membrane monitor and the voltage automatic controller on frames written by the test:
// on which frame each detects, what it never detects, and how long each waits afterwards.
// Two current channels at 10 kHz in a picoampere range.

#include "acquisition/devicedataproducer.h"
#include "analysis/membranemonitor/membranemonitorconsumer.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/analysis/watcherprobe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kv4test::Detection;
using kv4test::WatcherProbe;
using Frames = std::vector<std::vector<double>>;

constexpr double rate = 10000.0;
const kv4cl::RangedMeasurement_t picoRange{-2000.0, 2000.0, 0.5, kv4cl::UnitPfxPico, "A"};

// `quiet` frames at `rest`, then per channel its own level for `length` frames, then `rest`
// again for `after` frames.
Frames excursion(int quiet, std::vector<double> levels, int length, int after, double rest = 0.0) {
    Frames frames(size_t(quiet), std::vector<double>(levels.size(), rest));
    frames.insert(frames.end(), size_t(length), levels);
    frames.insert(frames.end(), size_t(after), std::vector<double>(levels.size(), rest));
    return frames;
}

class WatchersFrames : public testing::Test {
  protected:
    kv4test::ScriptedSource source{1, 2, 0};
    DeviceDataProducer producer{source};
};

// The user's limits +-0.5 nA, ignored when saturation is watched instead.
struct MonitorCase {
    std::string name;
    Frames frames;
    std::vector<Detection> expected;
    bool saturation = false;
    double minTimeMs = 10;
    bool checked = true, enabled = true; // channel 1 switched on, monitoring enabled
};

TEST_F(WatchersFrames, MembraneMonitorDetectsOnTheFrameAfterTheCountExceedsTheMinimumTime) {
    // min T 10 ms at 10 kHz: 100 frames. An excursion starting at frame 20 is detected on
    // frame 20 + 100 + 1, the frame after the count exceeded 100; 101 frames beyond are not.
    const double step = picoRange.step, top = picoRange.max - 3 * step, bottom = picoRange.min + 3 * step;
    Frames twice = excursion(20, {600, 0}, 102, 3);
    const Frames again = excursion(0, {600, 0}, 102, 0);
    twice.insert(twice.end(), again.begin(), again.end());
    const MonitorCase cases[] = {
        {"above the user's limit", excursion(20, {600, 0}, 102, 5), {{0, 121}}},
        {"below the user's limit", excursion(20, {0, -501}, 102, 5), {{1, 121}}},
        {"101 frames beyond are not a rupture", excursion(20, {600, -600}, 101, 200), {}},
        {"on the limit is within it", excursion(20, {500, -500}, 300, 0), {}},
        {"min T rounds to frames: 2.04 ms is 20", excursion(5, {600, 0}, 30, 0), {{0, 26}}, false, 2.04},
        {"three steps from the range's top", excursion(20, {top, 0}, 300, 0), {}, true},
        {"within 3 steps of the top", excursion(20, {top + step, 0}, 102, 0), {{0, 121, true, true}}, true},
        {"within 3 of the bottom", excursion(20, {0, bottom - 0.1}, 102, 0), {{1, 121, true, true}}, true},
        {"the user's limit at the edge", excursion(20, {0, picoRange.min}, 102, 5), {{1, 121, true, true}}},
        {"the user's limits are not the saturation's", excursion(20, {600, -600}, 300, 0), {}, true},
        // Both rupture together: the first found at 121 holds every channel off one min T
        // more, so the second needs 2 x 100 + 1 further frames.
        {"a detection holds every channel off", excursion(20, {600, 600}, 322, 0), {{0, 121}, {1, 322}}},
        {"a second excursion after the hold-off", twice, {{0, 121}, {0, 226}}},
        {"a channel switched off is not watched", excursion(20, {0, 600}, 102, 5), {}, false, 10, false},
        {"nor one whose monitoring is disabled", excursion(20, {0, 600}, 102, 5), {}, false, 10, true, false},
    };
    for (const MonitorCase& c : cases) {
        SCOPED_TRACE(c.name);
        WatcherProbe<MembraneMonitorConsumer> monitor(&producer);
        MembraneMonitorConsumer::Options_t options;
        options.switchOffOnSaturation = c.saturation;
        options.currentLimits = {-0.5, 0.5, 1.0, kv4cl::UnitPfxNano, "A"};
        options.minimumTime = {c.minTimeMs, kv4cl::UnitPfxMilli, "s"};
        monitor.onSetOptions(options);
        monitor.onChannelStatusChanged(0, true, true);
        monitor.onChannelStatusChanged(1, c.checked, c.enabled);
        monitor.prepare(rate, picoRange);
        monitor.feed(c.frames);
        EXPECT_EQ(monitor.detections(), c.expected);
    }
}

// High 1 nA for 10 ms, low -1 nA for 10 ms, reset 1 ms, on every channel unless a case says
// otherwise.
struct ControllerCase {
    std::string name;
    Frames frames;
    std::vector<Detection> expected;
    int channel = 2; // 2: all
    double lowMs = 10;
};

TEST_F(WatchersFrames, VoltageControllerFiresOnTheFrameAfterTheCountExceedsTheDuration) {
    // 10 ms at 10 kHz: 100 frames. The reset time holds every channel off from the start and
    // after each action; 1 ms is 10 frames.
    const ControllerCase cases[] = {
        {"high threshold", excursion(20, {1001, 0}, 102, 5), {{0, 121, true}}},
        {"low threshold", excursion(20, {0, -1001}, 52, 5), {{1, 71, false}}, 2, 5},
        {"101 frames above do not fire", excursion(20, {1001, 1001}, 101, 100), {}},
        {"the chosen channel alone", excursion(20, {1500, 1500}, 102, 0), {{1, 121, true}}, 1},
        {"the other channel ignored", excursion(20, {0, 1500}, 300, 0), {}, 0},
        // Above from the first frame: the first 10 frames are not watched, so 10 + 101.
        {"held off after the start", excursion(0, {1500, 0}, 112, 0), {{0, 111, true}}},
        // After firing at 121 the channel rests 10 frames, then counts again from 0.
        {"held off after an action", excursion(20, {1500, 0}, 300, 0), {{0, 121, true}, {0, 233, true}}},
    };
    for (const ControllerCase& c : cases) {
        SCOPED_TRACE(c.name);
        WatcherProbe<VoltageAutomaticControllerConsumer> controller(&producer);
        controller.onChannelChanged(c.channel);
        // Each in a unit of its own: every value is converted.
        controller.onHighThCurrentChanged({1.0, kv4cl::UnitPfxNano, "A"});
        controller.onLowThCurrentChanged({-1000.0, kv4cl::UnitPfxPico, "A"});
        controller.onHighThDurationChanged({10.0, kv4cl::UnitPfxMilli, "s"});
        controller.onLowThDurationChanged({c.lowMs / 1000, kv4cl::UnitPfxNone, "s"});
        controller.onResetTimeChanged({1.0, kv4cl::UnitPfxMilli, "s"});
        controller.prepare(rate, picoRange);
        controller.feed(c.frames);
        EXPECT_EQ(controller.detections(), c.expected);
    }
}

TEST_F(WatchersFrames, VoltageControllerFiresOnNothingUntilToldItsThresholds) {
    WatcherProbe<VoltageAutomaticControllerConsumer> controller(&producer);
    controller.prepare(rate, picoRange);
    controller.feed(excursion(0, {picoRange.max, picoRange.min}, 1000, 0));
    EXPECT_TRUE(controller.detections().empty());
}

} // namespace
