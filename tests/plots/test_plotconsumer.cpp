// The gap-free plot consumer on a real producer fed with scripted rows: where the rows land,
// range changes, the trigger, the baselines and the stop. The sweep's points and their times at
// every rate: the window's time base test.

#include "plots/gapfreeplotconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QMutexLocker>
#include <QTimer>

#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace {

using Word = std::function<uint16_t(uint32_t row)>;

const kv4cl::RangedMeasurement_t twoNano{-2.0, 2.0, 2.0 / 32768, kv4cl::UnitPfxNano, "A"};
const kv4cl::RangedMeasurement_t twoHundredPico{-200.0, 200.0, 200.0 / 32768, kv4cl::UnitPfxPico, "A"};
const kv4cl::RangedMeasurement_t twoMicro{-2.0, 2.0, 2.0 / 32768, kv4cl::UnitPfxMicro, "A"};

// One voltage, two current and one gp channel; row k carries word(k) in each, which the
// source turns into word / 2, word x 1, word x 2 and word x 100.
class PlotConsumerTest : public testing::Test {
  protected:
    enum Channel { Voltage, Current0, Current1, Gp }; // their indices in the row

    PlotConsumerTest() {
        QObject::connect(
            &consumer, &GapFreePlotConsumer::setPlotData, &consumer,
            [this](double*, QList<double*>* v, QList<double*>* c, QList<double*>* g, int size) {
                buffers = {v->at(0), c->at(0), c->at(1), g->at(0)};
                points = size;
            },
            Qt::DirectConnection);
        producer.start();
    }

    void configure(double rate, double duration) {
        consumer.onSamplingRateChanged({rate, kv4cl::UnitPfxNone, "Hz"}, {rate, kv4cl::UnitPfxNone, "Hz"});
        consumer.onDurationChanged({duration, kv4cl::UnitPfxNone, "s"});
    }

    static kv4test::ScriptedSource::Poll poll(uint32_t first, uint32_t rows, const Word& word) {
        kv4test::ScriptedSource::Poll p;
        for (uint32_t k = first; k < first + rows; k++)
            p.filtered.insert(p.filtered.end(), 4, word(k));
        p.unfiltered = p.filtered;
        return p;
    }

    // Runs the consumer over rows 0..rows-1 and stops it, which takes in what had arrived.
    void runOver(uint32_t rows, const Word& word) {
        consumer.onStartConsuming();
        if (rows > 0) {
            source.add(poll(0, rows, word));
            std::vector<uint16_t> stored;
            readRawData(*probe, stored, true, rows - 1); // returns once the producer has them all
        }
        consumer.onStopConsuming();
    }

    std::vector<double> shown(Channel c) {
        QMutexLocker lock(&consumer.displayMutex());
        return std::vector<double>(buffers[c], buffers[c] + points);
    }

    // A sweep showing scale x word(k) for k = from..to-1, and nothing after.
    std::vector<double> sweepOf(const Word& word, uint32_t from, uint32_t to, double scale = 1.0) const {
        std::vector<double> values(size_t(points), 0.0);
        for (uint32_t k = from; k < to; k++)
            values[k - from] = scale * word(k);
        return values;
    }

    kv4test::ScriptedSource source{1, 2, 1};
    DeviceDataProducer producer{source};
    std::unique_ptr<DataHook> probe = producer.getDataHook();
    GapFreePlotConsumer consumer{&producer};
    std::vector<double*> buffers;
    int points = -1;
};

TEST_F(PlotConsumerTest, SweepWrapsWithTheEnvelopeAlternatingMaximaAndMinima) {
    configure(8200, 1.0); // decimation 2: two points per four rows, 4100 points
    // Within each group of four rows the second is the highest, the third the lowest.
    const Word word = [](uint32_t k) {
        static constexpr uint16_t order[] = {1, 3, 0, 2};
        return uint16_t(k / 4 * 4 + order[k % 4]);
    };
    runOver(8240, word); // a full sweep and 20 points more
    ASSERT_EQ(points, 4100);
    std::vector<double> expected(4100);
    for (uint32_t p = 0; p < 4120; p++)
        expected[p % 4100] = p / 2 * 4 + (p % 2 == 0 ? 3 : 0);
    EXPECT_EQ(shown(Current0), expected);
    for (double& v : expected)
        v *= 100;
    EXPECT_EQ(shown(Gp), expected);
}

TEST_F(PlotConsumerTest, ANanoToPicoChangeRescalesThatChannelAndReportsEveryCurrentChannel) {
    consumer.onCurrentRangeChanged(twoNano, 2); // every channel
    configure(1000, 1.0);
    const Word word = [](uint32_t k) { return uint16_t(k + 1); };
    runOver(100, word);
    std::vector<std::pair<int, kv4cl::UnitPfx_t>> reports;
    QObject::connect(
        &consumer, &PlotConsumer::currentRangeUpdated, &consumer,
        [&](kv4cl::RangedMeasurement_t range, int ch) { reports.emplace_back(ch, range.prefix); },
        Qt::DirectConnection);
    consumer.onCurrentRangeChanged(twoHundredPico, 0);
    runOver(0, {});
    EXPECT_EQ(shown(Current0), sweepOf(word, 0, 100, 1000.0));
    EXPECT_EQ(shown(Current1), sweepOf(word, 0, 100, 2.0));
    EXPECT_EQ(shown(Voltage), sweepOf(word, 0, 100, 0.5));
    EXPECT_EQ(reports, (std::vector<std::pair<int, kv4cl::UnitPfx_t>>{{0, kv4cl::UnitPfxPico},
                                                                      {1, kv4cl::UnitPfxNano}}));
}

// Five frames lost before row 40 are marked at its point, until the next sweep writes over it.
TEST_F(PlotConsumerTest, ALossIsMarkedWhereTheRowAfterItLandsUntilASweepWritesOverIt) {
    configure(1000, 0.1); // 100 points, one per row
    const Word word = [](uint32_t k) { return uint16_t(k); };
    kv4test::ScriptedSource::Poll rows = poll(0, 60, word);
    rows.losses = {{.frames = 5, .framesAfter = 20}};
    consumer.onStartConsuming();
    source.add(rows);
    std::vector<uint16_t> stored;
    readRawData(*probe, stored, true, 59);
    consumer.onStopConsuming();
    const auto marks = [&] {
        QMutexLocker lock(&consumer.displayMutex());
        return consumer.lossTimes();
    };
    EXPECT_EQ(marks(), std::vector<double>{0.04});
    runOver(60, word); // points 60 to 99, then 0 to 19 of the next sweep
    EXPECT_EQ(marks(), std::vector<double>{0.04});
    runOver(30, word);
    EXPECT_EQ(marks(), std::vector<double>{});
}

class PlotConsumerTrigger : public PlotConsumerTest {
  protected:
    void SetUp() override {
        configure(1000, 1.0); // 1000 points, one per row
        runOver(0, {});
    }
};

TEST_F(PlotConsumerTrigger, AnEdgeFiresOnlyOnceTheSignalHasBeenOnTheOtherSideOfItsLevel) {
    struct Case {
        plots::TriggerType_t type;
        uint16_t beyond, arming, firing, after; // row 0-9, 10-14, 15, and from 16 on (+ k)
    };
    for (const Case& c :
         {Case{plots::TriggerRise, 500, 50, 150, 200}, Case{plots::TriggerFall, 50, 500, 90, 300}}) {
        SCOPED_TRACE(c.type);
        const Word word = [&](uint32_t k) {
            return uint16_t(k < 10 ? c.beyond : k < 15 ? c.arming : k == 15 ? c.firing : c.after + k);
        };
        configure(1000, 1.0); // back to the sweep's start
        consumer.onTriggerEnabled(c.type, 0.0, 100.0, Current0);
        runOver(100, word);
        // Position 0: no pre-trigger rows, the sweep starts right after the crossing.
        EXPECT_EQ(shown(Current0), sweepOf(word, 16, 100));
    }
}

TEST_F(PlotConsumerTrigger, PutsTheCrossingAtItsPositionAndHoldsAFullSweep) {
    consumer.onTriggerEnabled(plots::TriggerRise, 0.25, 100.0, Current0);
    // Below the level until row 400, which crosses it; never below again.
    const Word word = [](uint32_t k) { return uint16_t(k < 400 ? k % 90 : k == 400 ? 200 : 1000 + k); };
    runOver(1400, word);
    // 250 pre-trigger rows ending with the crossing, then the rows up to the full sweep; the
    // rows after it cross no more and leave the display as it is.
    const std::vector<double> sweep = shown(Current0);
    EXPECT_EQ(sweep, sweepOf(word, 151, 1151));
    EXPECT_LT(sweep[248], 100.0);
    EXPECT_EQ(sweep[249], 200.0);
}

// Every 150 rows a step from 10 to 110 at row 75, each period 3 lower or higher in turn: six
// triggered sweeps averaged show the step without the offsets, which any one sweep has.
TEST_F(PlotConsumerTrigger, AveragedSweepsShowTheMeanOfThoseCompletedFromTheirTriggers) {
    configure(1000, 0.1); // 100 points
    const Word word = [](uint32_t k) { return uint16_t((k % 150 < 75 ? 10 : 110) + (k / 150 % 2 ? 3 : -3)); };
    consumer.onTriggerEnabled(plots::TriggerRise, 0.0, 60.0, Current0);
    consumer.onAverageSweeps(true);
    runOver(1000, word); // sweeps from the steps of periods 0 to 5; the seventh is not complete
    EXPECT_EQ(consumer.sweepsAveraged(), 6);
    const std::vector<double> mean = shown(Current0);
    EXPECT_EQ(std::set<double>(mean.begin(), mean.end()), (std::set<double>{10.0, 110.0}));
    EXPECT_EQ(std::pair(mean.front(), mean.back()), std::pair(110.0, 10.0));
}

TEST_F(PlotConsumerTrigger, LevelFollowsThePrefixOfItsOwnChannel) {
    consumer.onCurrentRangeChanged(twoNano, 2);
    runOver(0, {});
    consumer.onTriggerEnabled(plots::TriggerRise, 0.0, 10.0, Current0); // 10 nA
    consumer.onCurrentRangeChanged(twoHundredPico, 0);                  // the level becomes 10000 pA
    consumer.onCurrentRangeChanged(twoMicro, 1); // changed last, but not the trigger's channel
    const Word word = [](uint32_t k) {
        static constexpr uint16_t words[] = {50, 2, 20, 5, 20000, 7, 8, 9};
        return words[k];
    };
    runOver(8, word);
    EXPECT_EQ(shown(Current0), sweepOf(word, 5, 8));
}

TEST_F(PlotConsumerTest, BaselinesComeAfterACompletedSweepAsTheMeanOfTheLastRead) {
    configure(1000, 1.0); // 1000 rows a sweep, reads of more than 50 rows
    // Pairs of rows one below and one above a middle word: 5 for the first 200 rows, 7 after.
    const Word word = [](uint32_t k) { return uint16_t((k < 200 ? 5 : 7) + (k % 2 == 0 ? -1 : 1)); };
    uint32_t fed = 0;
    QTimer feeder; // 20 rows every 10 ms, as an amplifier would send them
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        source.add(poll(fed, 20, word));
        fed += 20;
    });
    QEventLoop loop;
    std::vector<QList<double>> received;
    QObject::connect(&consumer, &PlotConsumer::baselinesAvailable, &loop,
                     [&](const QList<double>& baselines) {
                         consumer.takeHandOver();
                         received.push_back(baselines);
                         EXPECT_LE(received.size(), fed / 1000) << "more often than sweeps were completed";
                         if (received.size() == 3) loop.quit();
                     });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit); // a failure, not a pace

    consumer.onStartConsuming();
    feeder.start(10);
    loop.exec();
    consumer.onStopConsuming();
    ASSERT_EQ(received.size(), 3u);
    for (const QList<double>& baselines : received)
        EXPECT_EQ(baselines, (QList<double>{7.0, 14.0, 700.0}));
}

TEST_F(PlotConsumerTest, StopReleasesAThreadWaitingForData) {
    int published = 0;
    const QMetaObject::Connection counting = QObject::connect(
        &consumer, &PlotConsumer::plotDataUpdated, &consumer, [&] { published++; }, Qt::DirectConnection);
    consumer.onStartConsuming(); // the producer runs, but nothing comes
    consumer.onStopConsuming();
    EXPECT_TRUE(consumer.isFinished());
    EXPECT_GE(published, 1) << "the thread publishes as it ends";
    // The count lives on this stack: the run the destructor stops publishes after the test.
    QObject::disconnect(counting);
    consumer.onStartConsuming(); // the destructor stops it
}

} // namespace
