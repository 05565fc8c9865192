// The detector of one channel on crafted traces whose events are known sample by sample.

#include "analysis/compute/eventdetectionrecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

const kv4cl::RangedMeasurement_t range200pA{-200.0, 200.0, 400.0 / 65536, kv4cl::UnitPfxPico, "A"};
constexpr double fs = 10000.0;

kv4cl::RangedMeasurement_t dwellWindow(double minMs, double maxMs) {
    return {minMs, maxMs, 1.0, kv4cl::UnitPfxMilli, "s"};
}

// A trace of `level` with pulses of `height` above it: {start frame, frames}.
struct Pulse {
    int start;
    int frames;
};
std::vector<double> trace(int length, double level, double height, const std::vector<Pulse>& pulses) {
    std::vector<double> x(size_t(length), level);
    for (const Pulse& p : pulses)
        for (int i = p.start; i < p.start + p.frames; i++)
            x[size_t(i)] = level + height;
    return x;
}

EventDetectionRecord detector(double t1, double t2, double minMs = 0.0, double maxMs = 200.0,
                              double tau = 0.1) {
    EventDetectionRecord r;
    EXPECT_TRUE(r.setOptions(dwellWindow(minMs, maxMs), t1, t2, tau));
    r.reset(fs, range200pA);
    return r;
}

int total(const EventHistogram& h) {
    return std::accumulate(h.counts.begin(), h.counts.end(), 0);
}

// "Baseline tau" is the time constant of the baseline: after a step of the current smaller
// than threshold 1, the baseline's distance to the new level is exp(-t / tau) of the step.
// A window's histogram counts what falls outside it in its edge bins, each bin from its lower
// edge on; a window of one value counts that value in its first bin.
TEST(EventDetectionRecord, AWindowsHistogramHoldsEveryValueInItsBin) {
    EventHistogram h;
    h.binCount = 4;
    h.layOut(10.0, 18.0, "ms"); // bins of 2 ms
    for (const double value : {-1e300, 9.0, 10.0, 11.99, 12.0, 15.0, 17.99, 18.0, 1e300})
        h.add(value);
    EXPECT_EQ(h.counts, (QList<int>{4, 1, 1, 3}));
    h.layOut(5.0, 5.0, "ms");
    for (const double value : {4.0, 5.0, 6.0})
        h.add(value);
    EXPECT_EQ(h.counts, (QList<int>{2, 0, 0, 1}));
}

TEST(EventDetectionRecord, BaselineFilterAndFrameCountsFollowRateAndOptions) {
    // rate, baseline tau, dwell window in ms, then in frames
    const std::tuple<double, double, double, double, int, int> cases[] = {
        {10000.0, 0.1, 0.0, 200.0, 0, 2000},
        {10000.0, 0.01, 0.25, 10.0, 3, 100},
        {1220.703125, 0.05, 0.0, 200.0, 0, 244},
        {200000.0, 0.01, 1.0, 2.0, 200, 400},
    };
    for (const auto& [rate, tau, minMs, maxMs, minFrames, maxFrames] : cases) {
        SCOPED_TRACE(rate);
        EventDetectionRecord r;
        ASSERT_TRUE(r.setOptions(dwellWindow(minMs, maxMs), -100.0, -20.0, tau));
        r.reset(rate, range200pA);
        const double before = 0.0, after = 50.0;
        r.add(&before, 1);
        for (int k = 1; k <= int(3 * tau * rate); k++) {
            r.add(&after, 1);
            ASSERT_NEAR(50.0 - r.baseline, 50.0 * std::exp(-k / rate / tau), 1e-9)
                << "at " << k / rate << " s";
        }
        EXPECT_DOUBLE_EQ(r.samplePeriod, 1000.0 / rate) << "one frame in ms";
        EXPECT_EQ(r.minDwellFrames, minFrames);
        EXPECT_EQ(r.maxDwellFrames, maxFrames);
        EXPECT_EQ(r.dwellHistogram.counts.size(), 200);
        EXPECT_DOUBLE_EQ(r.dwellHistogram.lowerEdge, minMs);
        EXPECT_DOUBLE_EQ(r.dwellHistogram.binWidth, (maxMs - minMs) / 200);
        EXPECT_EQ(r.dwellHistogram.unitLabel, "ms");
        EXPECT_DOUBLE_EQ(r.amplitudeHistogram.lowerEdge, 20.0) << "from |threshold 2|";
        EXPECT_DOUBLE_EQ(r.amplitudeHistogram.binWidth, (200.0 - 20.0) / 200);
        EXPECT_EQ(r.amplitudeHistogram.unitLabel, "pA");
    }
}

// One 1 ms pulse of 150 pA at 10 kHz on a flat level, each direction against each sign of
// threshold 1: only the direction the sign asks for is an event.
TEST(EventDetectionRecord, TheSignOfThreshold1ChoosesTheDirectionOfTheEvents) {
    const std::tuple<double, double, double, double, int> cases[] = {
        {0.0, -150.0, -100.0, -20.0, 1},  // a dip below a baseline of 0
        {0.0, 150.0, 100.0, 20.0, 1},     // a positive threshold: comparisons reversed
        {0.0, 150.0, -100.0, -20.0, 0},   // up, but looking down
        {0.0, -150.0, 100.0, 20.0, 0},    // down, but looking up
        {50.0, -150.0, -100.0, -20.0, 1}, // thresholds are from the baseline, not from 0
        {-30.0, 150.0, 100.0, 20.0, 1},   {0.0, -90.0, -100.0, -20.0, 0}, // not beyond threshold 1
    };
    for (const auto& [level, height, t1, t2, events] : cases) {
        SCOPED_TRACE(testing::Message() << level << " " << height << " " << t1);
        EventDetectionRecord r = detector(t1, t2);
        const std::vector<double> x = trace(300, level, height, {{100, 10}});
        EXPECT_EQ(r.add(x.data(), x.size()), events);
        ASSERT_EQ(r.eventCount, events);
        EXPECT_EQ(r.positive, t1 > 0);
        if (events == 0) continue;
        EXPECT_DOUBLE_EQ(r.dwells[0], 1.0) << "10 frames of 0.1 ms";
        EXPECT_DOUBLE_EQ(r.averageDwell, 1e-3);
        EXPECT_DOUBLE_EQ(r.amplitudes[0], height) << "the mean of the event less the baseline it left";
        EXPECT_EQ(r.dwellHistogram.counts[1], 1) << "1 ms in 1 ms bins from 0: bin 1";
        // The histogram counts the size: 150 pA in 0.9 pA bins from 20 pA.
        EXPECT_EQ(r.amplitudeHistogram.counts[int((150.0 - 20.0) / 0.9)], 1);
        EXPECT_DOUBLE_EQ(r.averageGap, 0.0) << "a single event has no gap";
    }
}

// Pulses of 10 and 20 frames 50 frames apart, with others the dwell window turns away: the
// gap is every frame between accepted events, rejected ones included.
// The closed times run from the end of any event to the start of the next: a short event
// ends one, a long one leaves the next unknown.
TEST(EventDetectionRecord, DwellWindowRejectsShortAndLongEventsAndTheirTimeCountsAsGap) {
    using Pulses = std::vector<Pulse>;
    using Ms = std::vector<double>;
    // name, pulses, dwell window (ms), the dwells accepted (ms), the average gap (s), the closed
    // times in increasing order (ms)
    const std::tuple<const char*, Pulses, double, double, Ms, double, Ms> cases[] = {
        {"two accepted", {{100, 10}, {160, 20}}, 0.0, 200.0, {1.0, 2.0}, 50 / fs, {5.0}},
        {"a short one between", {{100, 10}, {130, 3}, {160, 20}}, 0.5, 200, {1, 2}, 50 / fs, {2, 2.7}},
        {"a long one between", {{100, 10}, {120, 30}, {170, 20}}, 0.0, 2.5, {1.0, 2.0}, 60 / fs, {1.0}},
        {"the window's edges are in", {{100, 10}, {160, 20}}, 1.0, 2.0, {1.0, 2.0}, 50 / fs, {5.0}},
        {"three events", {{100, 10}, {160, 20}, {200, 5}}, 0, 200, {1, 2, 0.5}, (50 + 20) / fs / 2, {2, 5}},
        {"nothing in the window", {{100, 10}, {160, 20}}, 3.0, 200.0, {}, 0.0, {5.0}},
        // Beyond the 200 bins of a frame: bins of two frames.
        {"a long closed time", {{10, 5}, {300, 5}}, 0.0, 200.0, {0.5, 0.5}, 285 / fs, {28.5}},
    };
    for (const auto& [name, pulses, minMs, maxMs, dwells, averageGap, expected] : cases) {
        SCOPED_TRACE(name);
        EventDetectionRecord r = detector(-100.0, -20.0, minMs, maxMs);
        const std::vector<double> x = trace(400, 0.0, -150.0, pulses);
        r.add(x.data(), x.size());
        ASSERT_EQ(r.eventCount, int(dwells.size()));
        for (size_t i = 0; i < dwells.size(); i++)
            EXPECT_NEAR(r.dwells[qsizetype(i)], dwells[i], 1e-12) << i;
        EXPECT_EQ(total(r.dwellHistogram), r.eventCount);
        EXPECT_NEAR(r.averageGap, averageGap, 1e-12);
        const EventHistogram& h = r.closedHistogram;
        EXPECT_NEAR(h.binWidth, (expected.back() < 20.0 ? 0.1 : 0.2), 1e-12);
        std::vector<double> closed; // in increasing order, as the bins are
        for (int i = 0; i < h.counts.size(); i++)
            closed.insert(closed.end(), size_t(h.counts[i]), h.lowerEdge + (i + 0.5) * h.binWidth);
        ASSERT_EQ(closed.size(), expected.size());
        for (size_t i = 0; i < closed.size(); i++)
            EXPECT_NEAR(closed[i], expected[i], h.binWidth / 2) << i;
        if (!dwells.empty()) {
            EXPECT_NEAR(r.averageDwell,
                        std::accumulate(dwells.begin(), dwells.end(), 0.0) * 1e-3 / dwells.size(), 1e-12);
        }
    }
}

// What a cycle leaves open (an event, a gap, the baseline) goes on in the next, and one
// channel of interleaved frames reads as the channel alone.
TEST(EventDetectionRecord, ChunksAndInterleavedFramesGiveTheSameEventsAsOneTrace) {
    std::vector<double> x = trace(3000, 10.0, 80.0, {{500, 37}, {900, 3}, {1200, 250}, {2000, 1}});
    // A drifting baseline with some noise-like wiggle, so that the filter state matters.
    for (size_t i = 0; i < x.size(); i++)
        x[i] += 0.01 * double(i) + 2.0 * std::sin(double(i) * 0.7);
    EventDetectionRecord whole = detector(50.0, 20.0, 0.0, 20.0, 0.05);
    whole.add(x.data(), x.size());
    ASSERT_EQ(whole.eventCount, 3) << "the 25 ms one is too long";

    for (size_t chunk : {size_t(1), size_t(7), size_t(1024)}) {
        SCOPED_TRACE(chunk);
        EventDetectionRecord pieces = detector(50.0, 20.0, 0.0, 20.0, 0.05);
        for (size_t i = 0; i < x.size(); i += chunk)
            pieces.add(x.data() + i, std::min(chunk, x.size() - i));
        EXPECT_EQ(std::tie(pieces.amplitudes, pieces.dwells, pieces.averageGap, pieces.baseline),
                  std::tie(whole.amplitudes, whole.dwells, whole.averageGap, whole.baseline));
    }
    // Three channels per frame, the detector on the middle one; the others hold nonsense.
    std::vector<double> frames(x.size() * 3, -1e6);
    for (size_t i = 0; i < x.size(); i++)
        frames[i * 3 + 1] = x[i];
    EventDetectionRecord strided = detector(50.0, 20.0, 0.0, 20.0, 0.05);
    strided.add(frames.data() + 1, x.size(), 3);
    EXPECT_EQ(strided.amplitudes, whole.amplitudes);
    EXPECT_EQ(strided.dwells, whole.dwells);
}

// The baseline follows a slow level and stays where it was while an event is open. A level
// that moves for good beyond threshold 1 is one long departure: it is no event, the baseline
// follows it, and events from the new level are found.
TEST(EventDetectionRecord, BaselineTracksTheLevelFreezesDuringEventsAndFollowsANewLevel) {
    EventDetectionRecord r = detector(-100.0, -20.0, 0.0, 200.0, 0.01); // alpha about 0.02
    std::vector<double> x(5000, 0.0);
    for (size_t i = 1000; i < x.size(); i++)
        x[i] = 60.0; // a step smaller than threshold 1: the baseline moves to it
    for (size_t i = 4000; i < 4100; i++)
        x[i] = 60.0 - 150.0; // then a 10 ms dip of 150 pA from there
    r.add(x.data(), 4000);
    EXPECT_NEAR(r.baseline, 60.0, 1e-6);
    r.add(x.data() + 4000, 50);
    ASSERT_TRUE(r.inEvent);
    EXPECT_NEAR(r.baseline, 60.0, 1e-6) << "the opening frame belongs to the event";
    r.add(x.data() + 4050, 950);
    ASSERT_EQ(r.eventCount, 1);
    EXPECT_NEAR(r.amplitudes[0], -150.0, 1e-6);
    EXPECT_NEAR(r.dwells[0], 10.0, 1e-9);

    EventDetectionRecord moved = detector(-100.0, -20.0, 0.0, 5.0, 0.01);
    std::vector<double> y = trace(4000, 0.0, -150.0, {{1000, 3000}});
    for (size_t i = 3000; i < 3020; i++)
        y[i] = -300.0; // 2 ms, 150 pA below the new level
    moved.add(y.data(), y.size());
    ASSERT_EQ(moved.eventCount, 1);
    EXPECT_NEAR(moved.amplitudes[0], -150.0, 0.5);
    EXPECT_NEAR(moved.dwells[0], 2.0, 1e-9);
    EXPECT_NEAR(moved.baseline, -150.0, 1e-3);
}

TEST(EventDetectionRecord, OptionsThatMeanNothingAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::tuple<kv4cl::RangedMeasurement_t, double, double, double> cases[] = {
        {dwellWindow(0, 200), nan, -20, 0.1},
        {dwellWindow(0, 200), -100, std::numeric_limits<double>::infinity(), 0.1},
        {dwellWindow(0, 200), -100, -20, 0.0},
        {dwellWindow(0, 200), -100, -20, -1.0},
        {dwellWindow(5, 1), -100, -20, 0.1},
        {dwellWindow(-1, 1), -100, -20, 0.1},
        {dwellWindow(0, nan), -100, -20, 0.1},
        {{0, 200, 1, kv4cl::UnitPfx_t(42), "s"}, -100, -20, 0.1},
    };
    for (const auto& [dwell, t1, t2, tau] : cases) {
        EventDetectionRecord r = detector(30.0, 10.0, 1.0, 50.0, 2.0);
        EXPECT_FALSE(r.setOptions(dwell, t1, t2, tau));
        EXPECT_EQ(std::tuple(r.threshold1, r.threshold2, r.baselineTau, r.dwellRange.max, r.positive),
                  std::tuple(30.0, 10.0, 2.0, 50.0, true));
    }
}

// A busy channel lists only its latest events; the counts and the histograms take them all.
TEST(EventDetectionRecord, OnlyTheLatestEventsAreListed) {
    const int events = int(EventDetectionRecord::listedEvents) + 50;
    std::vector<Pulse> pulses;
    for (int k = 0; k < events; k++)
        pulses.push_back({20 + 20 * k, 5 + k % 3});
    EventDetectionRecord r = detector(50.0, 10.0);
    const std::vector<double> x = trace(20 * events + 40, 0.0, 100.0, pulses);
    EXPECT_EQ(r.add(x.data(), x.size()), events);
    EXPECT_EQ(r.eventCount, events);
    EXPECT_EQ(total(r.dwellHistogram), events);
    ASSERT_EQ(r.dwells.size(), EventDetectionRecord::listedEvents);
    ASSERT_EQ(r.amplitudes.size(), EventDetectionRecord::listedEvents);
    EXPECT_EQ(r.dwells.first(), (5 + 50 % 3) * r.samplePeriod) << "the 51st event first";
    EXPECT_EQ(r.dwells.last(), (5 + (events - 1) % 3) * r.samplePeriod) << "the last event last";
}

} // namespace
