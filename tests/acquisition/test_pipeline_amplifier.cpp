// The pipeline end to end: a virtual reference amplifier (one voltage and four current
// channels) through the library into the producer and out through hooks.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/support/amplifiertest.h"

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <thread>

namespace {

constexpr uint32_t width = 5;
constexpr uint16_t tenKiloHertz = 2; // the sampling rate's index

// In pattern mode frame n carries n & 0xFFFF in the voltage word and current word 0,
// n >> 16 in current word 1 and n + c in current word c >= 2.
uint32_t frameNumber(const uint16_t* row) {
    return uint32_t(row[1]) | uint32_t(row[2]) << 16;
}

// Whether `words` holds consecutive, well-formed pattern frames.
testing::AssertionResult consecutiveFrames(const std::vector<uint16_t>& words) {
    const uint32_t first = frameNumber(words.data());
    for (size_t k = 0; k < words.size() / width; k++) {
        const uint16_t* row = words.data() + k * width;
        const uint32_t n = first + uint32_t(k);
        if (frameNumber(row) != n || row[0] != uint16_t(n) || row[3] != uint16_t(n + 2) ||
            row[4] != uint16_t(n + 3))
            return testing::AssertionFailure() << "row " << k << " is not frame " << n;
    }
    return testing::AssertionSuccess();
}

using kv4test::SimulatedAmplifiers;

// Appends raw rows read from `hook` until it holds at least `rows` rows.
void collect(DataHook& hook, std::vector<uint16_t>& words, size_t rows, bool filtered, uint32_t minRows) {
    std::vector<uint16_t> read;
    while (words.size() < rows * width) {
        readRawData(hook, read, filtered, minRows);
        words.insert(words.end(), read.begin(), read.end());
    }
}

TEST_F(SimulatedAmplifiers, HooksReadingAtDifferentPacesEachGetEveryFrameInOrder) {
    ASSERT_NO_FATAL_FAILURE(connect("cedar"));
    ASSERT_EQ(kv4cl::setSamplingRate(tenKiloHertz), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(
        waitForCommand([](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == tenKiloHertz; }));
    amplifier().setPatternMode(true);
    ASSERT_NO_FATAL_FAILURE(settle()); // what was made before the pattern goes
    LibrarySampleSource source;
    DeviceDataProducer producer(source); // it reads from the library: gone before the disconnection
    ASSERT_EQ(producer.channelCounts().total(), width);
    const size_t rows = 50000;
    std::unique_ptr<DataHook> fast = producer.getDataHook();
    std::unique_ptr<DataHook> slow = producer.getDataHook();
    std::vector<uint16_t> fastWords, slowWords, lateWords;
    producer.start();
    std::thread fastReader([&] { collect(*fast, fastWords, rows, true, 0); });
    collect(*slow, slowWords, 5000, false, 0);
    // A hook made while the producer runs sees only the rows written after it was made.
    std::unique_ptr<DataHook> late = producer.getDataHook();
    const uint64_t before = late->row;
    collect(*late, lateWords, 5000, true, 0);
    collect(*slow, slowWords, rows, false, 8000);
    fastReader.join();

    EXPECT_TRUE(consecutiveFrames(fastWords));
    EXPECT_TRUE(consecutiveFrames(slowWords));
    EXPECT_TRUE(consecutiveFrames(lateWords));
    EXPECT_EQ(frameNumber(slowWords.data()), frameNumber(fastWords.data())) << "both start at the same row";
    EXPECT_EQ(frameNumber(lateWords.data()), frameNumber(fastWords.data()) + before);
}

// The meter on a virtual amplifier sampling in real time at its slowest rate, under the two
// things that happen in the window: a start long after the producer was made, with the
// device's rows waiting in the library, and a GUI thread too busy to serve the meter's timer
// on time. Both block this (the GUI) thread, as building the window or drawing would.
TEST_F(SimulatedAmplifiers, TheMeasuredRateIsTheRealRateAfterALateStartOrABusyGuiThread) {
    ASSERT_NO_FATAL_FAILURE(connect("cedar"));
    bus->clock()->setTimeScale(1.0);
    ASSERT_EQ(kv4cl::setSamplingRate(0), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(
        waitForCommand([](const kav4sim::DecodedCommand& c) { return c.samplingRateIdx == 0; }));
    ASSERT_NO_FATAL_FAILURE(settle());
    kv4cl::Measurement_t real;
    ASSERT_EQ(kv4cl::getSamplingRate(real), kv4cl::Success);
    const double hz = real.getNoPrefixValue();

    LibrarySampleSource source;
    DeviceDataProducer producer(source);
    QSignalSpy rates(&producer, &DeviceDataProducer::bitRateComputed);
    QThread::msleep(1500); // a late start
    producer.start();
    // A report made before the first rows came says 0, rightly; from the first rows on, every
    // report must be the rate, within the granularity of the library's deliveries.
    const auto firstRows = [&] {
        while (!rates.isEmpty() && rates.front().at(0).toDouble() == 0.0)
            rates.removeFirst();
        return !rates.isEmpty();
    };
    ASSERT_TRUE(QTest::qWaitFor(firstRows, 5000));
    QThread::msleep(900); // a busy GUI thread
    while (rates.size() < 3)
        ASSERT_TRUE(rates.wait(5000));
    for (const QList<QVariant>& report : rates)
        EXPECT_NEAR(report.at(0).toDouble(), hz, 0.1 * hz);
    producer.onStopProducing();
    ASSERT_TRUE(rates.wait(5000));
    EXPECT_EQ(rates.last().at(0).toDouble(), 0.0) << "a stopped producer delivers nothing";
}

} // namespace
