// The consumer base: the changes it is told of wait until its thread applies them. Its start
// and stop run in every writer's and analysis's tests.

#include "acquisition/devicedataconsumer.h"
#include "tests/acquisition/scriptedsource.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class Consumer : public DeviceDataConsumer {
  public:
    using DeviceDataConsumer::applyPendingChanges;
    using DeviceDataConsumer::Changes;
    using DeviceDataConsumer::currentRanges;
    using DeviceDataConsumer::DeviceDataConsumer;
    using DeviceDataConsumer::gpRanges;
    using DeviceDataConsumer::samplingRate;

    void onStartConsuming() override {}
    void onStopConsuming() override {}

  protected:
    void run() override {}
};

TEST(Consumer, TakesOverPendingChangesOnlyWhenItAppliesThem) {
    kv4test::ScriptedSource source(1, 3, 2);
    DeviceDataProducer producer(source);
    Consumer consumer(&producer);
    const auto maxima = [](const std::vector<kv4cl::RangedMeasurement_t>& ranges) {
        std::vector<double> out;
        for (const kv4cl::RangedMeasurement_t& range : ranges)
            out.push_back(range.max);
        return out;
    };
    const kv4cl::RangedMeasurement_t two{-2.0, 2.0, 2.0 / 32768, kv4cl::UnitPfxNano, "A"};
    const kv4cl::RangedMeasurement_t twenty{-20.0, 20.0, 20.0 / 32768, kv4cl::UnitPfxNano, "A"};

    consumer.onSamplingRateChanged({100.0, kv4cl::UnitPfxKilo, "Hz"}, {50.0, kv4cl::UnitPfxKilo, "Hz"});
    consumer.onCurrentRangeChanged(two, 1);
    consumer.onCurrentRangeChanged(twenty, -1); // ignored
    consumer.onCurrentRangeChanged(twenty, 4);  // ignored: past "every channel"
    EXPECT_EQ(consumer.samplingRate, 1.0) << "not before the consumer applies it";
    Consumer::Changes changes = consumer.applyPendingChanges();
    EXPECT_EQ((std::vector<bool>{changes.samplingRate, changes.currentRanges, changes.voltageRange,
                                 changes.gpRanges}),
              (std::vector<bool>{true, true, false, false}));
    EXPECT_EQ(consumer.samplingRate, 50000.0) << "the real rate";
    EXPECT_EQ(maxima(consumer.currentRanges), (std::vector<double>{1, 2, 1}));

    consumer.onCurrentRangeChanged(twenty, 3); // the channel count: every channel
    consumer.onGpRangeChanged(two, 1);
    changes = consumer.applyPendingChanges();
    EXPECT_FALSE(changes.samplingRate) << "applied once";
    EXPECT_EQ(maxima(consumer.currentRanges), (std::vector<double>{20, 20, 20}));
    EXPECT_EQ(maxima(consumer.gpRanges), (std::vector<double>{1, 2}));

    consumer.onCurrentRangeChanged(two, 5);
    EXPECT_FALSE(consumer.applyPendingChanges().currentRanges) << "an index out of range changes nothing";
}

} // namespace
