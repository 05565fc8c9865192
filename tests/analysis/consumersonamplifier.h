#pragma once
// A virtual amplifier (the reference model, one voltage and four current channels at 10 kHz,
// unless a test's row chooses another model or rate) holding a constant voltage over cells
// chosen by the test, with a producer and the histogram and spectrum consumers told the rate
// and ranges as the main window tells them.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/support/amplifiertest.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"
#include "analysis/histogram/histogramconsumer.h"
#include "analysis/spectrum/spectrumconsumer.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace kv4test {

// Counts a consumer's result signal as it arrives in this thread, queued. (A QSignalSpy
// records in the emitting thread, and this one would read its list unordered with that.)
class Results {
  public:
    template <typename Consumer> explicit Results(Consumer* consumer) {
        // Past the consumer's hand-over, which orders the copy of a result that came with it.
        QObject::connect(
            consumer, &Consumer::result, &receiver,
            [this, consumer] {
                consumer->takeHandOver();
                arrived++;
            },
            Qt::QueuedConnection);
    }
    int count() const { return arrived; }

  private:
    QObject receiver;
    int arrived = 0;
};

inline constexpr double holding = 0.05; // V

// A cell with white noise of `rms` amperes and nothing else that moves: no ion channel, no
// reset glitch, a constant holding voltage.
inline kav4sim::CellParameters noisyCell(double rms) {
    kav4sim::CellParameters cell = quietCell();
    cell.noiseRms = rms;
    return cell;
}

// Tells a consumer the rate and the ranges that the connected device holds, as the main window
// seeds its consumers.
inline void seed(DeviceDataConsumer& consumer) {
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    consumer.onSamplingRateChanged(rate, rate);
    kv4cl::RangedMeasurement_t range;
    ASSERT_EQ(kv4cl::getVoltageRange(range), kv4cl::Success);
    consumer.onVoltageRangeChanged(range);
    uint32_t voltageChannels = 0, currentChannels = 0, gpChannels = 0;
    ASSERT_EQ(kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels), kv4cl::Success);
    for (uint16_t ch = 0; ch < currentChannels; ch++) {
        ASSERT_EQ(kv4cl::getCurrentRange(range, ch), kv4cl::Success);
        consumer.onCurrentRangeChanged(range, ch);
    }
}

class ConsumersOnAmplifier : public SimulatedAmplifiers {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(connect(model));
        ASSERT_EQ(kv4cl::setSamplingRate(rateIdx), kv4cl::Success);
        ASSERT_NO_FATAL_FAILURE(waitForCommand(
            [this](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == rateIdx; }));
        uint32_t voltageChannels = 0, gpChannels = 0;
        ASSERT_EQ(kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels), kv4cl::Success);
        amplifier().setCell(uint16_t(currentChannels), noisyCell(0.0));
    }
    void TearDown() override {
        histogram.reset();
        spectrum.reset();
        producer.reset(); // it reads from the library: before the disconnection
        SimulatedAmplifiers::TearDown();
    }

    // Holds the voltage, then starts the producer with both consumers told the rate and
    // ranges, as the main window does.
    void startProducing() {
        ASSERT_NO_FATAL_FAILURE(startProtocol("Constant", {{"Vhold", holding * 1000}}));
        producer = std::make_unique<DeviceDataProducer>(source);
        histogram = std::make_unique<HistogramConsumer>(producer.get());
        spectrum = std::make_unique<SpectrumConsumer>(producer.get());
        ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
        ASSERT_NO_FATAL_FAILURE(seed(*histogram));
        ASSERT_NO_FATAL_FAILURE(seed(*spectrum));
        producer->start();
    }

    // Waits until `results` has counted `count`.
    static void waitFor(const Results& results, int count) {
        while (results.count() < count) {
            const int before = results.count();
            ASSERT_TRUE(QTest::qWaitFor([&] { return results.count() > before; }, 10000))
                << "no result for 10 s after " << before;
        }
    }
    double hz() const { return rate.getNoPrefixValue(); }
    // Simulated time runs this many times faster than the wall clock, as fast as the machine
    // makes `channels` of samples at the model's rate with room to spare.
    double timeScaleFor(double fastest) const {
        return std::min(fastest, 2e6 / (samplingRate() * double(currentChannels)));
    }

    // What SetUp connects; a parametrised test's row sets them in its constructor.
    std::string model = "cedar";
    uint16_t rateIdx = 2; // 10 kHz
    uint32_t currentChannels = 0;

    LibrarySampleSource source;
    std::unique_ptr<DeviceDataProducer> producer;
    std::unique_ptr<HistogramConsumer> histogram;
    std::unique_ptr<SpectrumConsumer> spectrum;
    kv4cl::Measurement_t rate;
};

} // namespace kv4test
