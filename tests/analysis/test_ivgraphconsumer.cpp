// The I-V graph's consumer: on a scripted source, the levels, the transient skip and the three
// modes; through a virtual amplifier end to end, the conductance and reversal potential of
// cells of known parameters.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/simulator/amplifiertest.h"

#include "analysis/datafitter.h"
#include "analysis/ivgraphconsumer.h"
#include "app/pipeline/librarysamplesource.h"
#include "tests/app/pipeline/scriptedsource.h"

#include <QDeadlineTimer>
#include <QSemaphore>
#include <QSignalSpy>

#include <cmath>
#include <functional>
#include <vector>

namespace {

using kav4sim::CellParameters;
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

    // `frames` frames at the voltage word `raw`, with current words from `current(k)`.
    void level(int16_t raw, int frames, const std::function<int16_t(int)>& current) {
        ScriptedSource::Poll poll;
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
    const struct {
        double transientMs;
        int mode;
        std::vector<double> ys; // channel 0, levels 10, -20, 30 mV in that order
        std::vector<int> counts;
    } cases[] = {
        // 5 ms at 10 kHz: the first 50 frames of every visit of a level go.
        {5.0, IvGraphConsumer::AverageMode, {-5, -20, 7}, {100, 50, 50}},
        // All currents of the -20 mV level are negative: its maximum is the least negative.
        {5.0, IvGraphConsumer::MaximumMode, {-3, -10, 9}, {100, 50, 50}},
        {5.0, IvGraphConsumer::MinimumMode, {-7, -30, 5}, {100, 50, 50}},
        {0.0, IvGraphConsumer::AverageMode, {-2.5, -10, 3.5}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MaximumMode, {400, 400, 400}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MinimumMode, {-400, -400, -400}, {200, 100, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.transientMs << " ms, mode " << c.mode);
        ScriptedRig rig;
        IvGraphConsumer& consumer = rig.consumer;
        for (int channel : {0, 1}) {
            consumer.onTransientIgnoreChanged(channel, c.transientMs);
            consumer.onModeChanged(channel, c.mode);
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
        const int edgeCount = c.transientMs > 0 ? 100 : 150;
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
                EXPECT_DOUBLE_EQ(r.points[p].y(), c.ys[size_t(p)] * (channel + 1)) << "point " << p;
                // Levels of 0.5 mV from -500 mV.
                const int index = int((xs[p] + 500) * 2);
                EXPECT_EQ(r.counts[index], c.counts[size_t(p)]) << "point " << p;
                EXPECT_EQ(r.pointIndex[index], p);
            }
            EXPECT_EQ(r.counts.size(), 2001);
            EXPECT_EQ(r.counts.last(), edgeCount);
            EXPECT_DOUBLE_EQ(r.points[3].y(), 1.0 * (channel + 1));
            EXPECT_DOUBLE_EQ(r.points[4].y(), 2.0 * (channel + 1));
            EXPECT_EQ(r.voltageUnitLabel, "mV");
            EXPECT_EQ(r.currentUnitLabel, "pA");
            EXPECT_DOUBLE_EQ(r.voltageMultiplier, 1e-3);
            EXPECT_DOUBLE_EQ(r.currentMultiplier, 1e-12);
            EXPECT_EQ(r.transientSamples, int(c.transientMs * 10));
        }
    }
}

TEST(IvGraphOnScript, ATransientOrModeChangeStartsOnlyThatChannelOver) {
    ScriptedRig rig;
    IvGraphConsumer& consumer = rig.consumer;
    consumer.onStartConsuming(0);
    consumer.onStartConsuming(1);
    rig.level(20, 600, [](int) { return int16_t(3); });
    ASSERT_TRUE(rig.waiter.until([&] { return consumer.channelResult(0).points.size() == 1; }));
    ASSERT_TRUE(rig.waiter.until([&] { return consumer.channelResult(1).points.size() == 1; }));

    const std::vector<std::function<void()>> changes = {[&] { consumer.onTransientIgnoreChanged(0, 2.5); },
                                                        [&] { consumer.onModeChanged(0, 2); }};
    for (const auto& change : changes) {
        change();
        const IvGraphConsumer::Record r = consumer.channelResult(0);
        EXPECT_TRUE(r.points.isEmpty());
        EXPECT_EQ(r.counts.count(0), r.counts.size()) << "every sum starts over";
        EXPECT_EQ(consumer.channelResult(1).points.size(), 1) << "the other channel keeps its points";
    }
    const IvGraphConsumer::Record r = consumer.channelResult(0);
    EXPECT_EQ(r.mode, 2);
    EXPECT_DOUBLE_EQ(r.transientIgnore, 0.0025);
    EXPECT_EQ(r.currentValues.first(), std::numeric_limits<double>::max()) << "a minimum starts at the top";
    consumer.onStopConsuming();
}

// Through the library from a virtual Dogwood 16 (sixteen current channels and a gp channel):
// a step protocol over cells of known resistances, conductance and reversal potential.
class IvGraphOnAmplifier : public kv4test::SimulatedAmplifiers {
  protected:
    void TearDown() override {
        consumer.reset();
        producer.reset(); // it reads from the library: before the disconnection
        SimulatedAmplifiers::TearDown();
    }

    LibrarySampleSource source;
    std::unique_ptr<DeviceDataProducer> producer;
    std::unique_ptr<IvGraphConsumer> consumer;
};

TEST_F(IvGraphOnAmplifier, TheLinearFitGivesTheCellsConductanceAndReversalPotential) {
    ASSERT_NO_FATAL_FAILURE(connect("dogwood16"));
    // Channel 0: a passive membrane behind the series resistance.
    CellParameters passive = kv4test::quietCell();
    passive.membraneResistance = 1e9;
    passive.seriesResistance = 10e6;
    passive.noiseRms = 1e-12;
    // Channel 1: an ion channel that stays open, on a membrane that hardly leaks, so that the
    // current crosses zero at E.
    CellParameters openChannel = passive;
    openChannel.membraneResistance = 1e12;
    openChannel.channelConductance = 1e-9;
    openChannel.reversalPotential = 23e-3;
    openChannel.meanOpenTime = 1e9;
    openChannel.meanClosedTime = 1e-12;
    amplifier().setCell(0, passive);
    amplifier().setCell(1, openChannel);
    ASSERT_EQ(kv4cl::setSamplingRate(2), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(startProtocol(
        "Variable Amplitude",
        {{"Vhold", 0}, {"Vpulse", -70}, {"Vstep", 20}, {"Thold", 20}, {"Tpulse", 20}, {"N", 8}, {"NR", 0}}));

    producer = std::make_unique<DeviceDataProducer>(source);
    ASSERT_EQ(producer->channelCounts().gp, 1u);
    consumer = std::make_unique<IvGraphConsumer>(producer.get());
    ResultWaiter waiter(*consumer);
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    consumer->onSamplingRateChanged(rate, rate);
    kv4cl::RangedMeasurement_t range;
    ASSERT_EQ(kv4cl::getVoltageRange(range), kv4cl::Success);
    consumer->onVoltageRangeChanged(range);
    for (uint16_t c = 0; c < 16; c++) {
        ASSERT_EQ(kv4cl::getCurrentRange(range, c), kv4cl::Success);
        consumer->onCurrentRangeChanged(range, c);
    }
    // The membrane charges within a fraction of a millisecond; the fast capacitance at once.
    for (int c : {0, 1})
        consumer->onTransientIgnoreChanged(c, 2.0);
    producer->start();
    consumer->onStartConsuming();

    // Nine levels, -70 to 70 mV and the holding 0 mV, each seen in three sweeps at least.
    const int enough = int(3 * 18e-3 * rate.getNoPrefixValue());
    ASSERT_TRUE(waiter.until([&] {
        for (int c : {0, 1}) {
            const IvGraphConsumer::Record r = consumer->channelResult(c);
            if (r.points.size() < 9) return false;
            for (int n : r.counts)
                if (n > 0 && n < enough) return false;
        }
        return true;
    })) <<
        [&] {
            std::string s;
            for (int c : {0, 1}) {
                const IvGraphConsumer::Record r = consumer->channelResult(c);
                s += "channel " + std::to_string(c) + ":";
                for (const QPointF& p : r.points) {
                    const int level = int(std::floor((p.x() + 500) * 64));
                    s += " (" + std::to_string(p.x()) + " mV, " + std::to_string(p.y()) + ", " +
                         std::to_string(level < r.counts.size() ? r.counts[level] : -1) + ")";
                }
                s += "\n";
            }
            return s;
        }();
    consumer->onStopConsuming();

    LinearDataFitter fitter;
    QSignalSpy fitted(&fitter, &LinearDataFitter::fitted);
    const auto fit = [&](int channel, IvGraphConsumer::Record& r) -> LinearFitModel {
        r = consumer->channelResult(channel);
        EXPECT_EQ(r.points.size(), 9) << "channel " << channel;
        fitter.loadPoints(r.points);
        fitter.fit();
        fitter.join(); // the spy takes the result in the fitter's thread, before it ends
        if (fitted.isEmpty()) {
            ADD_FAILURE() << "no fit";
            return {};
        }
        return fitted.takeLast().at(0).value<LinearFitModel>();
    };

    IvGraphConsumer::Record r;
    const LinearFitModel passiveLine = fit(0, r);
    const double conductance = passiveLine.slope * r.currentMultiplier / r.voltageMultiplier;
    const double expected = 1.0 / (passive.membraneResistance + passive.seriesResistance);
    EXPECT_NEAR(conductance / expected, 1.0, 0.02)
        << "slope " << conductance * 1e9 << " nS, 1/(Rm+Rs) " << expected * 1e9 << " nS";

    const LinearFitModel openLine = fit(1, r);
    const double reversal = -openLine.offset / openLine.slope * r.voltageMultiplier;
    EXPECT_NEAR(reversal, openChannel.reversalPotential, 2e-3)
        << "zero crossing at " << reversal * 1e3 << " mV, E " << openChannel.reversalPotential * 1e3 << " mV";
}

} // namespace
