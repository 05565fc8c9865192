// The I-V graph's consumer on a scripted source: the levels, the transient skip and the three
// modes. (End to end on cells of known parameters: test_ivgraphwidget.cpp.)

#include "analysis/ivgraph/ivgraphconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <QDeadlineTimer>
#include <QSemaphore>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>
#include <vector>

namespace {

using kv4test::ScriptedSource;

const kv4cl::Measurement_t tenKiloHertz{10.0, kv4cl::UnitPfxKilo, "Hz"};

// Wakes on every result of the consumer until a condition on its records holds.
class ResultWaiter {
  public:
    explicit ResultWaiter(IvGraphConsumer& consumer) {
        QObject::connect(&consumer, &IvGraphConsumer::result, [this] { results.release(); });
    }
    // False when it still fails after 20 s.
    bool until(const std::function<bool()>& done) {
        const QDeadlineTimer deadline(20000);
        while (!done())
            if (!results.tryAcquire(1, int(deadline.remainingTime()))) return done();
        return true;
    }

  private:
    QSemaphore results;
};

// One voltage channel (raw / 2, in mV), two current channels (raw x (c + 1), in pA) and a gp
// channel between frames, so that a wrong frame width shows in every value.
struct ScriptedRig {
    ScriptedRig() : source(1, 2, 1), producer(source), consumer(&producer), waiter(consumer) {
        producer.start();
        consumer.onSamplingRateChanged(tenKiloHertz, tenKiloHertz);
        consumer.onVoltageRangeChanged({-500.0, 500.0, 0.5, kv4cl::UnitPfxMilli, "V"});
        consumer.onCurrentRangeChanged({-2000.0, 2000.0, 0.1, kv4cl::UnitPfxPico, "A"}, 2);
    }
    ~ScriptedRig() { consumer.onStopConsuming(); } // before the waiter goes

    // `frames` frames at the voltage word `raw`, with current words from `current(k)`, and
    // `lost` frames lost before them.
    void level(int16_t raw, int frames, const std::function<int16_t(int)>& current, uint64_t lost = 0) {
        ScriptedSource::Poll poll;
        if (lost > 0) poll.losses.push_back({.frames = lost, .framesAfter = uint64_t(frames)});
        for (int k = 0; k < frames; k++) {
            const int16_t i = current(k);
            for (int16_t word : {raw, i, i, int16_t(7)})
                poll.filtered.push_back(uint16_t(word));
        }
        poll.unfiltered = poll.filtered;
        source.add(poll);
    }
    // A read waits for 50 ms of rows (500 at 10 kHz): this many rows after the ones a test
    // looks at make sure that those are all read.
    void pad() {
        level(100, 600, [](int) { return int16_t(0); });
    }

    ScriptedSource source;
    DeviceDataProducer producer;
    IvGraphConsumer consumer;
    ResultWaiter waiter;
};

// Each level: 50 frames of a transient swinging +-400, then 50 alternating between lo and hi.
struct Level {
    int16_t raw;
    int16_t lo, hi;
};
const Level script[] = {{20, -7, -3}, {-40, -30, -10}, {60, 5, 9}, {20, -7, -3}};

TEST(IvGraphOnScript, PointsPerLevelAfterTheTransientInEachMode) {
    // The transient in ms, the mode, channel 0's points and counts at 10, -20 and 30 mV
    const std::tuple<double, int, std::vector<double>, std::vector<int>> cases[] = {
        // 5 ms at 10 kHz: the first 50 frames of every visit of a level go.
        {5.0, IvGraphConsumer::AverageMode, {-5, -20, 7}, {100, 50, 50}},
        // All currents of the -20 mV level are negative: its maximum is the least negative.
        {5.0, IvGraphConsumer::MaximumMode, {-3, -10, 9}, {100, 50, 50}},
        {5.0, IvGraphConsumer::MinimumMode, {-7, -30, 5}, {100, 50, 50}},
        {0.0, IvGraphConsumer::AverageMode, {-2.5, -10, 3.5}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MaximumMode, {400, 400, 400}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MinimumMode, {-400, -400, -400}, {200, 100, 100}},
    };
    for (const auto& [transientMs, mode, ys, counts] : cases) {
        SCOPED_TRACE(testing::Message() << transientMs << " ms, mode " << mode);
        ScriptedRig rig;
        IvGraphConsumer& consumer = rig.consumer;
        for (int channel : {0, 1}) {
            consumer.onTransientIgnoreChanged(channel, transientMs);
            consumer.onModeChanged(channel, mode);
        }
        consumer.onStartConsuming();
        for (const Level& l : script)
            rig.level(l.raw, 100, [&](int k) {
                return k < 50 ? int16_t(k % 2 ? 400 : -400) : k % 2 ? l.hi : l.lo;
            });
        // Beyond both ends of the range: the last and the first level, at their own mean voltage.
        rig.level(1200, 150, [](int) { return int16_t(1); });
        rig.level(-1100, 150, [](int) { return int16_t(2); });
        rig.pad();
        const int edgeCount = transientMs > 0 ? 100 : 150;
        ASSERT_TRUE(rig.waiter.until([&] {
            const IvGraphConsumer::Record r = consumer.channelResult(1);
            return r.points.size() == 6 && r.counts.first() == edgeCount;
        }));
        consumer.onStopConsuming();

        for (int channel : {0, 1}) {
            SCOPED_TRACE(channel);
            const IvGraphConsumer::Record r = consumer.channelResult(channel);
            ASSERT_EQ(r.points.size(), 6) << "one point per level, the repeated level once";
            const double xs[] = {10, -20, 30, 600, -550};
            for (int p = 0; p < 5; p++)
                EXPECT_DOUBLE_EQ(r.points[p].x(), xs[p]) << "point " << p << ": in order of first appearance";
            for (int p = 0; p < 3; p++) {
                EXPECT_DOUBLE_EQ(r.points[p].y(), ys[size_t(p)] * (channel + 1)) << "point " << p;
                // Levels of 0.5 mV from -500 mV.
                const int index = int((xs[p] + 500) * 2);
                EXPECT_EQ(r.counts[index], counts[size_t(p)]) << "point " << p;
                EXPECT_EQ(r.pointIndex[index], p);
            }
            EXPECT_EQ(r.counts.size(), 2001);
            EXPECT_EQ(r.counts.last(), edgeCount);
            EXPECT_DOUBLE_EQ(r.points[3].y(), 1.0 * (channel + 1));
            EXPECT_DOUBLE_EQ(r.points[4].y(), 2.0 * (channel + 1));
        }
    }
}

// Frames lost between two stretches of one level: other levels may have come and gone in the
// gap, so the frames after it skip the transient again. A transient or mode change starts only
// that channel over.
TEST(IvGraphOnScript, FramesLostStartTheTransientOverAndAChangeStartsOnlyThatChannelOver) {
    ScriptedRig rig;
    IvGraphConsumer& consumer = rig.consumer;
    consumer.onTransientIgnoreChanged(0, 5.0);
    consumer.onStartConsuming(0);
    consumer.onStartConsuming(1);
    const auto visit = [](int k) { return k < 50 ? int16_t(k % 2 ? 400 : -400) : int16_t(-5); };
    rig.level(20, 100, visit);
    rig.level(20, 100, visit, 300);
    rig.pad();
    for (int channel : {0, 1})
        ASSERT_TRUE(rig.waiter.until([&] { return consumer.channelResult(channel).points.size() == 2; }));
    const IvGraphConsumer::Record lost = consumer.channelResult(0);
    EXPECT_EQ(lost.counts[1020], 100); // 10 mV, in levels of 0.5 mV from -500 mV
    EXPECT_DOUBLE_EQ(lost.points[0].y(), -5.0);

    const std::vector<std::function<void()>> changes = {[&] { consumer.onTransientIgnoreChanged(0, 2.5); },
                                                        [&] { consumer.onModeChanged(0, 2); }};
    for (const auto& change : changes) {
        change();
        const IvGraphConsumer::Record r = consumer.channelResult(0);
        EXPECT_TRUE(r.points.isEmpty());
        EXPECT_EQ(r.counts.count(0), r.counts.size()) << "every sum starts over";
        EXPECT_EQ(consumer.channelResult(1).points.size(), 2) << "the other channel keeps its points";
    }
    const IvGraphConsumer::Record r = consumer.channelResult(0);
    EXPECT_EQ(r.mode, 2);
    EXPECT_DOUBLE_EQ(r.transientIgnore, 0.0025);
    EXPECT_EQ(r.currentValues.first(), std::numeric_limits<double>::max()) << "a minimum starts at the top";
    consumer.onStopConsuming();
}

} // namespace
