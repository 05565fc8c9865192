// The consumer base: its stop handshake and its pending changes.

#include "acquisition/devicedataconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <gtest/gtest.h>

#include <QSemaphore>

#include <atomic>
#include <vector>

namespace {

using kv4test::ScriptedSource;

// Reads raw rows until asked to stop, counting them and keeping the first word.
class CountingConsumer : public DeviceDataConsumer {
  public:
    using DeviceDataConsumer::applyPendingChanges;
    using DeviceDataConsumer::Changes;
    using DeviceDataConsumer::currentRanges;
    using DeviceDataConsumer::DeviceDataConsumer;
    using DeviceDataConsumer::gpRanges;
    using DeviceDataConsumer::samplingRate;
    using DeviceDataConsumer::voltageRange;
    ~CountingConsumer() override { onStopConsuming(); }

    void onStartConsuming() override { startConsuming(); }
    void onStopConsuming() override { stopConsuming(); }
    bool consuming() const { return hook != nullptr; }

    std::atomic<uint64_t> rowsRead = 0;
    std::atomic<int> firstWord = -1;
    QSemaphore consumed; // released once per row read

  protected:
    void run() override {
        std::vector<uint16_t> rows;
        while (!stopRequested()) {
            readRawData(*hook, rows, true, minRows);
            if (rows.empty()) continue;
            if (rowsRead == 0) firstWord = rows[0];
            const auto n = int(rows.size() / size_t(totalChannelsNum));
            rowsRead += uint64_t(n);
            consumed.release(n);
        }
    }
};

TEST(Consumer, StopsWhileItsReadWaitsForDataThatDoesNotCome) {
    ScriptedSource source(1, 2, 0);
    DeviceDataProducer producer(source);
    producer.start(); // running, but the source has nothing
    CountingConsumer consumer(&producer);
    consumer.onStartConsuming();
    EXPECT_TRUE(consumer.consuming());
    consumer.onStopConsuming();
    EXPECT_TRUE(consumer.isFinished());
    EXPECT_FALSE(consumer.consuming());

    // A reset starts over at the present rows: the three rows written while it was stopped
    // are not read, the two written after are.
    std::unique_ptr<DataHook> probe = producer.getDataHook(); // to know when rows are in
    std::vector<uint16_t> rows;
    source.add(source.rows(0, 3));
    readRawData(*probe, rows, true, 2);
    consumer.onResetConsuming();
    source.add(source.rows(3, 2));
    consumer.consumed.acquire(2);
    consumer.onStopConsuming();
    EXPECT_EQ(consumer.rowsRead, 2u);
    EXPECT_EQ(consumer.firstWord, 3);
}

TEST(Consumer, TakesOverPendingChangesOnlyWhenItAppliesThem) {
    ScriptedSource source(1, 3, 2);
    DeviceDataProducer producer(source);
    CountingConsumer consumer(&producer);
    const kv4cl::RangedMeasurement_t twoNano{-2.0, 2.0, 2.0 / 32768, kv4cl::UnitPfxNano, "A"};
    const kv4cl::RangedMeasurement_t twentyNano{-20.0, 20.0, 20.0 / 32768, kv4cl::UnitPfxNano, "A"};
    const auto units = [](const std::vector<kv4cl::RangedMeasurement_t>& ranges) {
        std::vector<std::string> maxima;
        for (const auto& r : ranges)
            maxima.push_back(std::to_string(r.max) + kv4cl::unitPrefixes[r.prefix] + r.unit);
        return maxima;
    };
    ASSERT_EQ(units(consumer.currentRanges), (std::vector<std::string>(3, "1.000000A")));
    EXPECT_EQ(consumer.voltageRange.unit, "V");
    EXPECT_EQ(units(consumer.gpRanges), (std::vector<std::string>(2, "1.000000")));

    consumer.onSamplingRateChanged({100.0, kv4cl::UnitPfxKilo, "Hz"}, {50.0, kv4cl::UnitPfxKilo, "Hz"});
    consumer.onCurrentRangeChanged(twoNano, 1);
    consumer.onCurrentRangeChanged(twoNano, -1);   // ignored
    consumer.onCurrentRangeChanged(twentyNano, 4); // ignored: past "all"
    EXPECT_EQ(consumer.samplingRate, 1.0) << "not before the consumer applies it";
    CountingConsumer::Changes changes = consumer.applyPendingChanges();
    EXPECT_TRUE(changes.samplingRate);
    EXPECT_TRUE(changes.currentRanges);
    EXPECT_FALSE(changes.voltageRange);
    EXPECT_FALSE(changes.gpRanges);
    EXPECT_EQ(consumer.samplingRate, 50000.0);
    EXPECT_EQ(units(consumer.currentRanges),
              (std::vector<std::string>{"1.000000A", "2.000000nA", "1.000000A"}));

    consumer.onCurrentRangeChanged(twentyNano, 3); // the channel count: every channel
    consumer.onGpRangeChanged(twoNano, 1);
    changes = consumer.applyPendingChanges();
    EXPECT_FALSE(changes.samplingRate) << "applied once";
    EXPECT_EQ(units(consumer.currentRanges), (std::vector<std::string>(3, "20.000000nA")));
    EXPECT_EQ(units(consumer.gpRanges), (std::vector<std::string>{"1.000000", "2.000000nA"}));

    consumer.onCurrentRangeChanged(twoNano, 5);
    EXPECT_FALSE(consumer.applyPendingChanges().currentRanges) << "an index out of range changes nothing";
}

} // namespace
