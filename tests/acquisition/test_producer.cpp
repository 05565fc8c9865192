// The producer on scripted polls: what it stores, what it announces and how it stops.
//
// Signals emitted in the producer's thread are counted by QSignalSpy there; a test reads a
// count only once a hook has read rows of a later poll (which the ring's mutex orders after
// everything the producer did for the earlier polls) or after the producer has stopped.

#include "acquisition/devicedataproducer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/support/warningcapture.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>

#include <memory>
#include <thread>
#include <vector>

namespace {

using kv4test::ScriptedSource;
using Poll = ScriptedSource::Poll;
using Reports = std::vector<std::pair<quint64, quint64>>; // row, frames

kv4cl::DataStatus_t flags(bool overflow, bool up, bool down) {
    return {.wordOverflow = overflow, .rangeUpSuggested = up, .rangeDownSuggested = down};
}

kv4cl::FramesLost_t gap(uint64_t frames, uint64_t framesAfter) {
    return {frames, framesAfter};
}

// Reads exactly `count` rows from the hook (the test knows that many arrive).
void readRows(DataHook& hook, uint32_t count) {
    std::vector<uint16_t> rows;
    ASSERT_TRUE(readRawData(hook, rows, true, count - 1));
    ASSERT_EQ(rows.size() / hook.ring.rowWidth(), count);
}

TEST(Producer, StoresEveryWordAndItsValueThroughTheConversionOfItsGroup) {
    ScriptedSource source(1, 2, 2);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hooks[6];
    for (auto& hook : hooks)
        hook = producer.getDataHook();
    Poll first; // voltage, current 0, current 1, gp 0, gp 1; some words the filters left alone
    first.filtered = {10, 20, 30, 40, 50, uint16_t(-10), 1, 2, 3, 4};
    first.unfiltered = {10, 21, 30, 41, 50, uint16_t(-12), 1, 6, 3, 8};
    Poll failed = source.rows(500, 3);
    failed.read = kv4cl::ErrorUnknown;
    Poll shortRead = source.rows(9, 1);
    shortRead.read = kv4cl::WarningNotEnoughData;
    for (const Poll& poll : {first, failed, shortRead})
        source.add(poll);
    producer.start();

    std::vector<uint16_t> raw;
    std::vector<double> values;
    ASSERT_TRUE(readRawData(*hooks[0], raw, true, 2));
    EXPECT_EQ(raw, (std::vector<uint16_t>{10, 20, 30, 40, 50, uint16_t(-10), 1, 2, 3, 4, 9, 9, 9, 9, 9}))
        << "the failed read's rows are not stored, the short read's are";
    ASSERT_TRUE(readRawData(*hooks[1], raw, false, 2));
    EXPECT_EQ(raw, (std::vector<uint16_t>{10, 21, 30, 41, 50, uint16_t(-12), 1, 6, 3, 8, 1009, 1009, 1009,
                                          1009, 1009}));
    // Voltage raw / 2; current channel i raw * (i + 1); gp channel g raw * 100 + g.
    const std::vector<double> filteredValues{5, 20, 60, 4000, 5001, -5, 1, 4, 300, 401, 4.5, 9, 18, 900, 901};
    const std::vector<double> unfilteredValues{5,   21,  60,    4100, 5001, -6,     1,     12,
                                               300, 801, 504.5, 1009, 2018, 100900, 100901};
    ASSERT_TRUE(readValues(*hooks[2], values, true, 0, 2));
    EXPECT_EQ(values, filteredValues);
    ASSERT_TRUE(readValues(*hooks[3], values, false, 1, 2));
    EXPECT_EQ(values, unfilteredValues);
    // The same values as 32-bit floats, each of its own plane and channel, the voltage last as
    // in a file's frame.
    for (const bool filtered : {true, false}) {
        std::vector<float> floats, expected;
        const FloatRows rows = peekFloats(*hooks[filtered ? 4 : 5], filtered, 2, 3);
        floats.assign(rows.rows, rows.rows + rows.count * source.width());
        const std::vector<double>& values = filtered ? filteredValues : unfilteredValues;
        for (size_t row = 0; row < values.size(); row += 5)
            for (size_t c : {1, 2, 3, 4, 0})
                expected.push_back(float(values[row + c]));
        EXPECT_EQ(floats, expected) << (filtered ? "filtered" : "unfiltered");
    }
}

// Waits until both hold-offs, single-shot timers that the producer starts in this thread, have
// run out.
void waitForTheHoldOffs(DeviceDataProducer& producer) {
    QCoreApplication::sendPostedEvents();
    std::vector<std::unique_ptr<QSignalSpy>> expiries;
    for (QTimer* timer : producer.findChildren<QTimer*>()) {
        if (!timer->isSingleShot() || !timer->isActive()) continue;
        EXPECT_EQ(timer->interval(), 1000);
        expiries.push_back(std::make_unique<QSignalSpy>(timer, &QTimer::timeout));
    }
    ASSERT_EQ(expiries.size(), 2u);
    for (const auto& expiry : expiries)
        ASSERT_TRUE(expiry->count() > 0 || expiry->wait(5000));
}

TEST(Producer, AnnouncesSaturationAndRequestsRangeChangesOncePerHoldOff) {
    ScriptedSource source(1, 3, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    QSignalSpy saturation(&producer, &DeviceDataProducer::frontEndSaturation);
    QSignalSpy requests(&producer, &DeviceDataProducer::frontEndCurrentRangeChange);
    // `count` polls with these flags, then one without.
    const auto polls = [&](const kv4cl::DataStatus_t& status, size_t count) {
        source.add(source.rows(0, 1, status), count);
        source.add(source.rows(0, 1));
        readRows(*hook, uint32_t(count + 1));
    };
    producer.start();
    polls(flags(true, true, false), 10);
    EXPECT_EQ(saturation.count(), 1) << "ten polls with the flag, one notice";
    EXPECT_EQ(requests.count(), 0) << "automatic range change is off";

    producer.onEnableCurrentRangeChange(true);
    polls(flags(true, false, true), 10);
    EXPECT_EQ(saturation.count(), 1) << "its hold-off runs";
    ASSERT_EQ(requests.count(), 1);
    EXPECT_EQ(requests.at(0).at(0).toInt(), -1);

    // Both come back once their hold-offs have run out.
    ASSERT_NO_FATAL_FAILURE(waitForTheHoldOffs(producer));
    polls(flags(true, true, true), 3);
    EXPECT_EQ(saturation.count(), 2);
    ASSERT_EQ(requests.count(), 2);
    EXPECT_EQ(requests.at(1).at(0).toInt(), +1) << "up wins over down";
}

TEST(Producer, TellsOfEachOutageAndEachSpellOfTheLibrarysLossFlagsOnce) {
    ScriptedSource source(1, 1, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    QSignalSpy lost(&producer, &DeviceDataProducer::connectionLost);
    QSignalSpy back(&producer, &DeviceDataProducer::connectionReEstablished);
    kv4test::WarningCapture console;
    Poll failing, otherError;
    failing.status = kv4cl::ErrorDeviceCommunicationFailed;
    otherError.status = kv4cl::ErrorUnknown;
    const kv4cl::DataStatus_t broken{.dataLost = true}, overrun{.bufferOverflow = true},
        both{.bufferOverflow = true, .dataLost = true};
    source.add(failing, 3);
    for (const kv4cl::DataStatus_t& status : {broken, broken, {}, broken, overrun})
        source.add(source.rows(0, 1, status));
    for (const Poll& poll : {failing, otherError, failing}) // the error is not the end of the outage
        source.add(poll);
    for (const kv4cl::DataStatus_t& status : {both, overrun, {}})
        source.add(source.rows(0, 1, status));
    producer.start();
    readRows(*hook, 8);
    EXPECT_EQ(lost.count(), 2);
    EXPECT_EQ(back.count(), 2);
    EXPECT_EQ(console.count("data stream broke"), 3) << console.warnings.join("\n").toStdString();
    EXPECT_EQ(console.count("sample buffer overran"), 1);
}

Reports reported(const QSignalSpy& spy) {
    Reports out;
    for (const QList<QVariant>& args : spy)
        out.emplace_back(args.at(0).toULongLong(), args.at(1).toULongLong());
    return out;
}

TEST(Producer, ReportsEachLossAtTheRowAfterItAndTheRowsOfALappedHook) {
    ScriptedSource source(1, 0, 0);
    DeviceDataProducer producer(source);
    QSignalSpy lost(&producer, &DeviceDataProducer::framesLost);
    std::unique_ptr<DataHook> probe = producer.getDataHook();
    probe->keepGaps = true;
    std::unique_ptr<DataHook> slow = producer.getDataHook();
    const auto poll = [&](uint32_t first, uint32_t count, std::vector<kv4cl::FramesLost_t> losses) {
        source.add(source.rows(uint16_t(first), count, {}, std::move(losses)));
    };
    // Within a read, two in one read (oldest first), at the end of a read, after a read that
    // brought nothing, and one said to lie before an earlier one: kept after it, in order.
    poll(0, 10, {});
    poll(10, 20, {gap(5, 12), gap(1, 3)});
    poll(30, 10, {gap(4, 0)});
    poll(40, 0, {gap(2, 0)});
    poll(40, 1, {gap(9, 5)});
    poll(41, 1, {}); // after which every report was made
    producer.start();
    readRows(*probe, 42);
    const Reports gaps{{18, 5}, {27, 1}, {40, 4}, {40, 2}, {40, 9}};
    EXPECT_EQ(reported(lost), gaps);
    Reports found;
    for (const SampleRing::Gap& g : probe->gaps)
        found.emplace_back(g.row, g.frames);
    EXPECT_EQ(found, gaps) << "the hook finds each gap where the signal put it";

    // A ring more, which the probe keeps up with: the slow hook is lapped by 42 rows.
    const uint32_t quarter = SampleRing::rowCount / 4;
    for (uint32_t k = 0; k < 4; k++) {
        poll(42 + k * quarter, quarter, {});
        readRows(*probe, quarter);
    }
    std::vector<uint16_t> rows;
    ASSERT_TRUE(readRawData(*slow, rows, true, 0));
    ASSERT_EQ(rows.size(), SampleRing::rowCount);
    EXPECT_EQ(rows.front(), 42) << "the oldest row kept";
    EXPECT_EQ(reported(lost).back(), (std::pair<quint64, quint64>{42, 42}));
    EXPECT_EQ(lost.count(), 6);
    EXPECT_EQ(producer.framesLostTotal(), 21u + 42);
}

// The library tells of a break at once and of its size up to a second later: a writer that
// finishes meanwhile waits for the gap, which may lie among the rows it already read.
TEST(Producer, AReaderAboutToFinishWaitsForABreakToBeSizedOrTheProducerToStop) {
    for (const bool stops : {false, true}) {
        SCOPED_TRACE(stops ? "the producer stops" : "the gap arrives");
        ScriptedSource source(1, 0, 0);
        DeviceDataProducer producer(source);
        std::unique_ptr<DataHook> probe = producer.getDataHook();
        probe->keepGaps = true;
        source.add(source.rows(0, 10, {.dataLost = true}));
        if (!stops) {
            Poll nothing; // while the library still sizes it, for a fifth of a second at least
            nothing.status = kv4cl::WarningNoDataAvailable;
            source.add(nothing, 200);
            source.add(source.rows(10, 5, {}, {gap(3, 8)}));
        }
        producer.start();
        std::vector<uint16_t> rows; // the ten before the gap's news, or more on a busy machine
        ASSERT_TRUE(readRawData(*probe, rows, true, 9));
        QElapsedTimer clock;
        clock.start();
        if (stops) producer.onStopProducing();
        awaitBreakSized(*probe);
        ASSERT_EQ(probe->gaps.size(), stops ? 0u : 1u);
        if (stops)
            EXPECT_LT(clock.elapsed(), 1000) << "no wait for a size that cannot come";
        else
            EXPECT_EQ(probe->gaps[0].row, 7u);
        producer.onStopProducing();
    }
}

TEST(Producer, StopReleasesWaitingReadersWithTheRowsWritten) {
    ScriptedSource source(1, 1, 0);
    for (int i = 0; i < 20; i++) {
        DeviceDataProducer producer(source);
        producer.start();
        producer.onStopProducing(); // may come before its loop began
        EXPECT_TRUE(producer.wait());
    }
    // Stopped while running, and without ever having been started.
    for (const bool started : {true, false}) {
        SCOPED_TRACE(started ? "running" : "never started");
        DeviceDataProducer producer(source);
        std::unique_ptr<DataHook> early = producer.getDataHook();
        if (started) {
            std::unique_ptr<DataHook> probe = producer.getDataHook();
            source.add(source.rows(0, 5));
            producer.start();
            readRows(*probe, 5);
        }
        std::unique_ptr<DataHook> late = producer.getDataHook();
        std::vector<uint16_t> fewer, none{1};
        std::thread wantsMore([&] { readRawData(*early, fewer, true, 100); });
        std::thread wantsAny([&] { readRawData(*late, none, true, 0); });
        producer.onStopProducing();
        wantsMore.join();
        wantsAny.join();
        const std::vector<uint16_t> written{0, 0, 1, 1, 2, 2, 3, 3, 4, 4};
        EXPECT_EQ(fewer, started ? written : std::vector<uint16_t>{}) << "fewer rows than asked for";
        EXPECT_TRUE(none.empty());
    }
}

} // namespace
