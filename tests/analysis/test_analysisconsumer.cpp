// The analysis consumer base on a scripted source: per-channel starts and stops, the read
// chunk that follows the rate, the unit of each range, and the reset that every rate or range
// change brings before the next analysis.

#include "analysis/framework/analysisconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMutexLocker>
#include <QSemaphore>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace {

using kv4test::ScriptedSource;

// Logs its resets and analyses; each analysis takes every accumulated frame.
class LoggingConsumer : public AnalysisConsumer {
  public:
    using AnalysisConsumer::AnalysisConsumer;
    ~LoggingConsumer() override { onStopConsuming(); }

    struct Analysis {
        int chunk;
        size_t frames;
        std::vector<bool> active;
        std::vector<double> currentMultipliers;
    };

    // Blocks until the next analysis and returns it.
    Analysis next() {
        analysed.acquire();
        QMutexLocker lock(&logMutex);
        return analyses.back();
    }
    std::vector<std::string> takeLog() {
        QMutexLocker lock(&logMutex);
        return std::exchange(log, {});
    }

  protected:
    void allocateBuffers() override {
        logLine("allocate");
        resetAnalysis(currentChannelsNum);
    }
    void resetAnalysis(int channelIdx) override { resetEachChannel(channelIdx); }
    void resetChannel(int channelIdx) override { logLine("reset " + std::to_string(channelIdx)); }
    void analyze() override {
        QMutexLocker results(&resultMutex);
        const size_t frames = accumulated.size() / size_t(totalChannelsNum);
        accumulated.clear();
        {
            QMutexLocker lock(&logMutex);
            log.push_back("analyze");
            analyses.push_back({readChunk, frames, activeChannels, currentMultipliers});
        }
        analysed.release();
    }

  private:
    void logLine(const std::string& line) {
        QMutexLocker lock(&logMutex);
        log.push_back(line);
    }

    QMutex logMutex;
    std::vector<std::string> log;
    std::vector<Analysis> analyses;
    QSemaphore analysed;
};

class AnalysisConsumerTest : public testing::Test {
  protected:
    AnalysisConsumerTest() : source(1, 3, 1), producer(source), consumer(&producer) { producer.start(); }

    // Rows enough for one read at any chunk used here; the consumer analyses them.
    LoggingConsumer::Analysis feed(uint32_t rows = 200) {
        source.add(source.rows(1, rows));
        return consumer.next();
    }

    ScriptedSource source;
    DeviceDataProducer producer;
    LoggingConsumer consumer;
};

TEST_F(AnalysisConsumerTest, PerChannelStartsAreQueuedAndTheLastStopEndsTheThread) {
    std::vector<bool> analyzing;
    QObject::connect(&consumer, &AnalysisConsumer::analyzing, [&](bool on) { analyzing.push_back(on); });
    for (int channel : {-1, 3, 100})
        consumer.onStartConsuming(channel);
    EXPECT_FALSE(consumer.isRunning()) << "a channel out of range started it";
    consumer.onStartConsuming(1);
    ASSERT_TRUE(consumer.isRunning()) << "the first channel starts the thread";
    EXPECT_EQ(feed().active, (std::vector<bool>{false, true, false}));

    consumer.onStartConsuming(2);
    consumer.onStartConsuming(2); // a second request for the same channel changes nothing
    consumer.onStartConsuming(0);
    consumer.onStopConsuming(0); // started and stopped between two cycles: stays off
    consumer.takeLog();
    EXPECT_EQ(feed().active, (std::vector<bool>{false, true, true})) << "applied at the next cycle";
    EXPECT_EQ(consumer.takeLog(), (std::vector<std::string>{"reset 2", "analyze"}))
        << "only the new channel starts over";

    consumer.onStopConsuming(0); // not running for channel 0: nothing
    consumer.onStopConsuming(1);
    EXPECT_TRUE(consumer.isRunning()) << "one of two stopped: the thread goes on";
    EXPECT_EQ(feed().active, (std::vector<bool>{false, false, true}));

    consumer.onStopConsuming(2);
    EXPECT_FALSE(consumer.isRunning()) << "the last channel stopped the thread";
    consumer.onStopConsuming(2); // stopping a stopped consumer is harmless
    EXPECT_FALSE(consumer.isRunning());
    QCoreApplication::processEvents(); // the signals come from the thread's start and end
    EXPECT_EQ(analyzing, (std::vector<bool>{true, false}));
}

// A rate sets the read to 50 ms of it; a current range brings its channel's samples to the
// base unit; either starts every channel over before the next analysis.
TEST_F(AnalysisConsumerTest, ReadsFiftyMillisecondsOfTheRateAndStartsOverOnEveryRateOrRangeChange) {
    const kv4cl::Measurement_t unknown{std::nan(""), kv4cl::UnitPfxNone, "Hz"};
    // The rate told, or the range's prefix in its unit; the chunk read (0: whatever arrives); the
    // multiplier of channel 1 (NaN: no unit known, results show as missing).
    const std::tuple<kv4cl::Measurement_t, int, double> cases[] = {
        {{2000.0, kv4cl::UnitPfxNone, "Hz"}, 100, 1.0},
        {{1.25, kv4cl::UnitPfxKilo, "Hz"}, 63, 1.0}, // 62.5 rounds away from zero
        {unknown, 0, 1.0},
        {{2.0, kv4cl::UnitPfxNano, "A"}, 0, 1e-9},
        {{2.0, kv4cl::UnitPfx_t(42), "A"}, 0, std::nan("")},
    };
    consumer.onStartConsuming();
    feed();
    for (const auto& [rate, chunk, expected] : cases) {
        SCOPED_TRACE(rate.value);
        consumer.takeLog();
        if (rate.unit == "Hz")
            consumer.onSamplingRateChanged(rate, rate);
        else // at the last rate's chunk
            consumer.onCurrentRangeChanged({-rate.value, rate.value, 1e-4, rate.prefix, "A"}, 1);
        const LoggingConsumer::Analysis analysis = feed(1000);
        EXPECT_EQ(analysis.chunk, chunk);
        EXPECT_GE(analysis.frames, size_t(std::max(chunk, 1))) << "a read waits for a whole chunk";
        const double multiplier = analysis.currentMultipliers[1];
        EXPECT_TRUE(std::isnan(expected) ? std::isnan(multiplier) : multiplier == expected) << multiplier;
        EXPECT_DOUBLE_EQ(analysis.currentMultipliers[0], 1.0) << "the other channels keep theirs";
        EXPECT_EQ(consumer.takeLog(), (std::vector<std::string>{"reset 0", "reset 1", "reset 2", "analyze"}))
            << "every channel starts over before the next analysis";
    }
}

} // namespace
