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
#include <QSignalSpy>
#include <QTimer>

#include <thread>
#include <vector>

namespace {

using kv4test::ScriptedSource;
using Poll = ScriptedSource::Poll;

kv4cl::DataStatus_t overflow() {
    kv4cl::DataStatus_t flags;
    flags.wordOverflow = true;
    return flags;
}

kv4cl::DataStatus_t suggesting(bool up, bool down) {
    kv4cl::DataStatus_t flags;
    flags.rangeUpSuggested = up;
    flags.rangeDownSuggested = down;
    return flags;
}

// Reads exactly `count` rows from the hook (the test knows that many arrive).
void readRows(DataHook& hook, uint32_t count) {
    std::vector<uint16_t> rows;
    ASSERT_TRUE(readRawData(hook, rows, true, count - 1));
    ASSERT_EQ(rows.size() / hook.ring.rowWidth(), count);
}

// After the queued start of a hold-off: the one single-shot timer the producer has running.
QTimer* runningHoldOff(DeviceDataProducer& producer) {
    QCoreApplication::sendPostedEvents();
    QTimer* running = nullptr;
    for (QTimer* timer : producer.findChildren<QTimer*>()) {
        if (!timer->isSingleShot() || !timer->isActive()) continue;
        EXPECT_EQ(running, nullptr) << "a second hold-off runs";
        EXPECT_EQ(timer->interval(), 1000);
        running = timer;
    }
    return running;
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
    source.add(first);
    source.add(failed);
    source.add(shortRead);
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

TEST(Producer, AnnouncesASaturatedFrontEndOncePerHoldOff) {
    ScriptedSource source(1, 3, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    QSignalSpy saturation(&producer, &DeviceDataProducer::frontEndSaturation);
    QSignalSpy holdOff(&producer, &DeviceDataProducer::startSaturationTimer);
    source.add(source.rows(0, 1, overflow()), 50);
    source.add(source.rows(0, 1));
    producer.start();
    readRows(*hook, 51);
    EXPECT_EQ(saturation.count(), 1) << "fifty polls with the flag, one notice";
    EXPECT_EQ(holdOff.count(), 1);

    // The notice comes back once the hold-off has run out.
    QTimer* timer = runningHoldOff(producer);
    ASSERT_NE(timer, nullptr);
    QSignalSpy expired(timer, &QTimer::timeout);
    ASSERT_TRUE(expired.wait(5000));
    source.add(source.rows(0, 1, overflow()), 5);
    source.add(source.rows(0, 1));
    readRows(*hook, 6);
    EXPECT_EQ(saturation.count(), 2);
}

TEST(Producer, RequestsARangeChangeOnlyWhenEnabledAndOncePerHoldOff) {
    ScriptedSource source(1, 3, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    QSignalSpy requests(&producer, &DeviceDataProducer::frontEndCurrentRangeChange);
    source.add(source.rows(0, 1, suggesting(true, false)), 10);
    source.add(source.rows(0, 1));
    producer.start();
    readRows(*hook, 11);
    EXPECT_EQ(requests.count(), 0) << "automatic range change is off";

    producer.onEnableCurrentRangeChange(true);
    source.add(source.rows(0, 1, suggesting(false, true)), 10);
    source.add(source.rows(0, 1));
    readRows(*hook, 11);
    ASSERT_EQ(requests.count(), 1);
    EXPECT_EQ(requests.at(0).at(0).toInt(), -1);

    QTimer* timer = runningHoldOff(producer);
    ASSERT_NE(timer, nullptr);
    QSignalSpy expired(timer, &QTimer::timeout);
    ASSERT_TRUE(expired.wait(5000));
    source.add(source.rows(0, 1, suggesting(true, true)), 3);
    source.add(source.rows(0, 1));
    readRows(*hook, 4);
    ASSERT_EQ(requests.count(), 2);
    EXPECT_EQ(requests.at(1).at(0).toInt(), +1) << "up wins over down";
}

TEST(Producer, ReportsEachLostConnectionOnceAndItsReturn) {
    ScriptedSource source(1, 1, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    QSignalSpy lost(&producer, &DeviceDataProducer::connectionLost);
    QSignalSpy back(&producer, &DeviceDataProducer::connectionReEstablished);
    Poll failing;
    failing.status = kv4cl::ErrorDeviceCommunicationFailed;
    Poll otherError;
    otherError.status = kv4cl::ErrorUnknown;
    source.add(failing, 3);
    source.add(source.rows(0, 1));
    source.add(failing);
    source.add(otherError); // not the end of the outage
    source.add(failing);
    source.add(source.rows(1, 1));
    source.add(source.rows(2, 1));
    producer.start();
    readRows(*hook, 3);
    EXPECT_EQ(lost.count(), 2);
    EXPECT_EQ(back.count(), 2);
}

TEST(Producer, StopReleasesWaitingReadersWithTheRowsWritten) {
    ScriptedSource source(1, 1, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> probe = producer.getDataHook();
    std::unique_ptr<DataHook> early = producer.getDataHook();
    source.add(source.rows(0, 5));
    producer.start();
    readRows(*probe, 5);
    std::unique_ptr<DataHook> late = producer.getDataHook();

    std::vector<uint16_t> fewer;
    std::vector<uint16_t> none{1};
    std::thread wantsMore([&] { readRawData(*early, fewer, true, 100); });
    std::thread wantsAny([&] { readRawData(*late, none, true, 0); });
    producer.onStopProducing();
    wantsMore.join();
    wantsAny.join();
    EXPECT_EQ(fewer, (std::vector<uint16_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4})) << "fewer rows than asked for";
    EXPECT_TRUE(none.empty());
}

TEST(Producer, StopsWhenAskedBeforeItsLoopRanOrBeforeItWasStarted) {
    ScriptedSource source(1, 1, 0);
    for (int i = 0; i < 20; i++) {
        DeviceDataProducer producer(source);
        producer.start();
        producer.onStopProducing(); // may come before run() begins
        EXPECT_TRUE(producer.wait());
    }
    DeviceDataProducer neverStarted(source);
    std::unique_ptr<DataHook> hook = neverStarted.getDataHook();
    std::vector<uint16_t> rows{1};
    std::thread reader([&] { readRawData(*hook, rows, true, 0); });
    neverStarted.onStopProducing();
    reader.join();
    EXPECT_TRUE(rows.empty());
}

} // namespace

namespace {

kv4cl::FramesLost_t gap(uint64_t frames, uint64_t framesAfter) {
    kv4cl::FramesLost_t loss;
    loss.frames = frames;
    loss.framesAfter = framesAfter;
    return loss;
}

std::vector<std::pair<quint64, quint64>> reported(const QSignalSpy& spy) {
    std::vector<std::pair<quint64, quint64>> out;
    for (const QList<QVariant>& args : spy)
        out.emplace_back(args.at(0).toULongLong(), args.at(1).toULongLong());
    return out;
}

TEST(Producer, ReportsEachGapOfTheLibraryAtTheRowAfterIt) {
    struct Case {
        const char* name;
        std::vector<uint32_t> rowsPerPoll;
        std::vector<std::vector<kv4cl::FramesLost_t>> lossesPerPoll;
        std::vector<std::pair<quint64, quint64>> expected; // row, frames
    };
    const Case cases[] = {
        {"no loss", {10, 10}, {{}, {}}, {}},
        {"in the middle of a read", {10, 20}, {{}, {gap(5, 12)}}, {{18, 5}}},
        {"two in one read, oldest first", {30}, {{gap(100, 25), gap(1, 3)}}, {{5, 100}, {27, 1}}},
        {"at the end of a read, then reported late",
         {10, 10, 10},
         {{gap(4, 0)}, {}, {gap(9, 15)}},
         {{10, 4}, {15, 9}}},
        {"after a read that brought nothing", {10, 0}, {{}, {gap(2, 0)}}, {{10, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSource source(1, 1, 0);
        DeviceDataProducer producer(source);
        QSignalSpy lost(&producer, &DeviceDataProducer::framesLost);
        std::unique_ptr<DataHook> hook = producer.getDataHook();
        hook->keepGaps = true;
        uint32_t total = 0;
        for (size_t p = 0; p < c.rowsPerPoll.size(); p++) {
            Poll poll = source.rows(uint16_t(total), c.rowsPerPoll[p]);
            poll.losses = c.lossesPerPoll[p];
            source.add(poll);
            total += c.rowsPerPoll[p];
        }
        source.add(source.rows(uint16_t(total), 1)); // after which every report was made
        producer.start();
        readRows(*hook, total + 1);
        EXPECT_EQ(reported(lost), c.expected);
        uint64_t sum = 0;
        std::vector<std::pair<quint64, quint64>> seen;
        for (const SampleRing::Gap& g : hook->gaps) {
            seen.emplace_back(g.row, g.frames);
            sum += g.frames;
        }
        EXPECT_EQ(seen, c.expected) << "the hook finds each gap where the signal put it";
        EXPECT_EQ(producer.framesLostTotal(), sum);
    }
}

TEST(Producer, ReportsTheRowsOfALappedHookAsLost) {
    ScriptedSource source(1, 0, 0);
    DeviceDataProducer producer(source);
    QSignalSpy lost(&producer, &DeviceDataProducer::framesLost);
    std::unique_ptr<DataHook> slow = producer.getDataHook();
    std::unique_ptr<DataHook> probe = producer.getDataHook();
    const uint32_t chunk = SampleRing::rowCount / 4;
    producer.start();
    for (uint32_t k = 0; k < 5; k++) { // a ring and a quarter, which the probe keeps up with
        source.add(source.rows(uint16_t(k), chunk));
        readRows(*probe, chunk);
    }
    Poll withGap = source.rows(7, 10);
    withGap.losses = {gap(3, 10)};
    source.add(withGap);
    source.add(source.rows(8, 1));
    readRows(*probe, 11);
    ASSERT_EQ(reported(lost), (std::vector<std::pair<quint64, quint64>>{{5 * chunk, 3}}));

    std::vector<uint16_t> rows;
    ASSERT_TRUE(readRawData(*slow, rows, true, 0));
    EXPECT_EQ(rows.size(), SampleRing::rowCount);
    const uint64_t skipped = chunk + 11;
    EXPECT_EQ(rows.front(), 1 + 11) << "the oldest row kept: row 11 of the second chunk";
    EXPECT_EQ(reported(lost), (std::vector<std::pair<quint64, quint64>>{{5 * chunk, 3}, {skipped, skipped}}));
    EXPECT_EQ(producer.framesLostTotal(), 3 + skipped);
}

TEST(Producer, SaysWhySamplesWentMissingOncePerSpellOfTheLibrarysFlags) {
    ScriptedSource source(1, 1, 0);
    DeviceDataProducer producer(source);
    std::unique_ptr<DataHook> hook = producer.getDataHook();
    kv4test::WarningCapture console;
    kv4cl::DataStatus_t broken;
    broken.dataLost = true;
    kv4cl::DataStatus_t overrun;
    overrun.bufferOverflow = true;
    kv4cl::DataStatus_t both = broken;
    both.bufferOverflow = true;
    for (const kv4cl::DataStatus_t& flags : {broken, broken, {}, broken, overrun, both, overrun, {}})
        source.add(source.rows(0, 1, flags));
    producer.start();
    readRows(*hook, 8);
    EXPECT_EQ(console.count("data stream broke"), 3) << console.warnings.join("\n").toStdString();
    EXPECT_EQ(console.count("sample buffer overran"), 1);
}

} // namespace
