// The sample ring and the reads through hooks, on rows written directly into the ring.

#include "acquisition/datahook.h"
#include "acquisition/samplering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// Appends rows whose values the tests can tell apart: in row n, channel c holds raw word
// n + c filtered and n + c + 7 unfiltered, value 4n + c filtered and -(4n + c) unfiltered,
// in both the double and the float planes.
void writeNumberedRows(SampleRing& ring, uint32_t first, uint32_t count) {
    std::lock_guard lock(ring.mutex);
    for (uint32_t n = first; n < first + count; n++) {
        const SampleRing::Row row = ring.nextRow();
        for (uint32_t c = 0; c < ring.rowWidth(); c++) {
            row.filteredRaw[c] = uint16_t(n + c);
            row.unfilteredRaw[c] = uint16_t(n + c + 7);
            row.filteredValues[c] = 4.0 * n + c;
            row.unfilteredValues[c] = -(4.0 * n + c);
            row.filteredFloats[c] = float(row.filteredValues[c]);
            row.unfilteredFloats[c] = float(row.unfilteredValues[c]);
        }
        ring.commitRow();
    }
    ring.wakeReaders();
}

// Appends rows of the given values, the same in every plane.
void writeRows(SampleRing& ring, const std::vector<std::vector<double>>& rows) {
    std::lock_guard lock(ring.mutex);
    for (const std::vector<double>& values : rows) {
        const SampleRing::Row row = ring.nextRow();
        std::copy(values.begin(), values.end(), row.filteredValues);
        std::copy(values.begin(), values.end(), row.unfilteredValues);
        ring.commitRow();
    }
    ring.wakeReaders();
}

// Reads whatever waits, raw, as values (decimation 0 or an envelope) or taken in place, and
// returns the rows.
size_t readAll(DataHook& hook, int how) {
    std::vector<uint16_t> raw;
    std::vector<double> values;
    if (how == 0) {
        readRawData(hook, raw, true, 0);
        return raw.size() / hook.ring.rowWidth();
    }
    if (how == 3) {
        // Up to the ring's end, then from its start.
        size_t rows = 0;
        do {
            const uint32_t count = peekFloats(hook, true, 0, SampleRing::rowCount).count;
            if (!takePeeked(hook, count)) return rows;
            rows += count;
        } while (hook.ring.rowsWritten() > hook.row);
        return rows;
    }
    readValues(hook, values, false, how == 1 ? 0 : 2, 0);
    return values.size() / hook.ring.rowWidth() * (how == 1 ? 1 : 2);
}

TEST(DataHookReads, ALappedHookGoesOnAtTheOldestRowAndCountsTheRowsItMissed) {
    struct Case {
        const char* name;
        uint32_t ahead; // rows written past the hook before it reads
        int how;        // 0 raw, 1 values, 2 envelope of decimation 2, 3 taken in place
        uint64_t skipped;
    };
    const Case cases[] = {
        {"a full ring is not a lap", SampleRing::rowCount, 0, 0},
        {"one row more, raw", SampleRing::rowCount + 1, 0, 1},
        {"one row more, values", SampleRing::rowCount + 1, 1, 1},
        {"one row more, taken in place", SampleRing::rowCount + 1, 3, 1},
        {"over two rings, envelope", 2 * SampleRing::rowCount + 12, 2, SampleRing::rowCount + 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SampleRing ring(1);
        std::vector<std::pair<uint64_t, uint64_t>> reported;
        ring.lapReport = [&](uint64_t row, uint64_t rows) { reported.emplace_back(row, rows); };
        writeNumberedRows(ring, 0, 1000);
        DataHook hook(ring, ring.rowsWritten());
        hook.keepGaps = true;
        writeNumberedRows(ring, 1000, c.ahead);

        std::vector<uint16_t> first;
        if (c.how == 0) {
            readRawData(hook, first, true, 0);
        } else {
            ASSERT_EQ(readAll(hook, c.how), SampleRing::rowCount);
        }
        EXPECT_EQ(hook.row, 1000 + c.ahead);
        EXPECT_EQ(hook.rowsMissed, c.skipped);
        if (c.how == 0) {
            ASSERT_EQ(first.size(), SampleRing::rowCount) << "every row of the ring is read";
            EXPECT_EQ(first.front(), uint16_t(1000 + c.skipped)) << "from the oldest row";
            EXPECT_EQ(first.back(), uint16_t(1000 + c.ahead - 1));
        }
        if (c.skipped == 0) {
            EXPECT_TRUE(reported.empty());
            EXPECT_TRUE(hook.gaps.empty());
            continue;
        }
        const uint64_t resumed = 1000 + c.skipped;
        EXPECT_EQ(reported, (std::vector<std::pair<uint64_t, uint64_t>>{{resumed, c.skipped}}));
        ASSERT_EQ(hook.gaps.size(), 1u);
        EXPECT_EQ(hook.gaps[0].row, resumed);
        EXPECT_EQ(hook.gaps[0].frames, c.skipped);
        EXPECT_EQ(hook.gaps[0].rowsSkipped, c.skipped);

        // Caught up, the hook reads on without loss.
        writeNumberedRows(ring, 1000 + c.ahead, 5);
        EXPECT_EQ(readAll(hook, 0), 5u);
        EXPECT_EQ(reported.size(), 1u);
        EXPECT_EQ(hook.rowsMissed, c.skipped);
    }
}

TEST(DataHookReads, PeekedRowsThatTheProducerBeganToOverwriteAreNotTakenButSkipped) {
    for (const uint32_t more : {SampleRing::rowCount - 100, SampleRing::rowCount - 99}) {
        const bool lapped = more + 100 > SampleRing::rowCount;
        SCOPED_TRACE(lapped ? "the oldest peeked row overwritten" : "a full ring written, none overwritten");
        SampleRing ring(1);
        std::vector<std::pair<uint64_t, uint64_t>> reported;
        ring.lapReport = [&](uint64_t row, uint64_t rows) { reported.emplace_back(row, rows); };
        DataHook hook(ring, 0);
        writeNumberedRows(ring, 0, 100);
        const FloatRows peeked = peekFloats(hook, true, 0, 1000);
        ASSERT_EQ(peeked.count, 100u);
        EXPECT_EQ(peeked.rows[99], 4.0f * 99);
        writeNumberedRows(ring, 100, more);
        EXPECT_EQ(takePeeked(hook, peeked.count), !lapped);
        EXPECT_EQ(hook.row, lapped ? 0u : 100u);
        // The next peek goes on at the oldest row left.
        const FloatRows next = peekFloats(hook, true, 0, 1);
        EXPECT_EQ(next.rows[0], 4.0f * (lapped ? 1 : 100));
        EXPECT_EQ(reported, (lapped ? std::vector<std::pair<uint64_t, uint64_t>>{{1, 1}}
                                    : std::vector<std::pair<uint64_t, uint64_t>>{}));
    }
}

TEST(DataHookReads, EachHookLearnsOfTheSourcesGapsInTheRowsItReads) {
    SampleRing ring(2);
    DataHook early(ring, 0);
    early.keepGaps = true;
    DataHook lapped(ring, 0);
    lapped.keepGaps = true;
    DataHook quiet(ring, 0); // keeps no gaps
    writeNumberedRows(ring, 0, 60);
    {
        std::lock_guard lock(ring.mutex);
        ring.addGap(40, 7);
    }
    EXPECT_EQ(readAll(early, 0), 60u);
    ASSERT_EQ(early.gaps.size(), 1u);
    EXPECT_EQ(early.gaps[0].row, 40u);
    EXPECT_EQ(early.gaps[0].frames, 7u);
    early.gaps.clear();

    writeNumberedRows(ring, 60, 40);
    {
        std::lock_guard lock(ring.mutex);
        ring.addGap(100, 3); // before the next row to come
    }
    EXPECT_EQ(readAll(early, 0), 40u);
    EXPECT_TRUE(early.gaps.empty()) << "the gap before row 100 lies after the last row read";
    DataHook late(ring, ring.rowsWritten()); // made after both gaps
    late.keepGaps = true;

    // A gap reported after the rows before it were read still reaches the hook.
    {
        std::lock_guard lock(ring.mutex);
        ring.addGap(100, 2);
    }
    writeNumberedRows(ring, 100, 10);
    EXPECT_EQ(readAll(early, 1), 10u);
    ASSERT_EQ(early.gaps.size(), 2u);
    EXPECT_EQ(early.gaps[0].row, 100u);
    EXPECT_EQ(early.gaps[0].frames, 3u);
    EXPECT_EQ(early.gaps[1].frames, 2u);

    // The late hook started after the first two gaps: it sees only the third.
    EXPECT_EQ(readAll(late, 0), 10u);
    ASSERT_EQ(late.gaps.size(), 1u);
    EXPECT_EQ(late.gaps[0].frames, 2u);

    readAll(quiet, 0);
    EXPECT_TRUE(quiet.gaps.empty());

    // Lapped past all three gaps: one gap at the row it goes on at, with the rows it skipped
    // and the source's frames among them, even those the ring no longer keeps.
    writeNumberedRows(ring, 110, SampleRing::rowCount);
    {
        std::lock_guard lock(ring.mutex);
        ring.addGap(ring.rowsWritten(), 1); // drops the kept gaps of row 100 and before
    }
    writeNumberedRows(ring, 110 + SampleRing::rowCount, 1);
    EXPECT_EQ(readAll(lapped, 0), SampleRing::rowCount);
    ASSERT_EQ(lapped.gaps.size(), 2u);
    EXPECT_EQ(lapped.gaps[0].row, 111u);
    EXPECT_EQ(lapped.gaps[0].frames, 111u + 7 + 3 + 2);
    EXPECT_EQ(lapped.gaps[0].rowsSkipped, 111u);
    EXPECT_EQ(lapped.gaps[1].rowsSkipped, 0u);
    EXPECT_EQ(lapped.gaps[1].row, 110u + SampleRing::rowCount);
    EXPECT_EQ(lapped.gaps[1].frames, 1u);
    EXPECT_EQ(lapped.rowsMissed, 111u);
}

TEST(DataHookReads, TwoHooksAtDifferentPacesGetEveryRowInOrderAcrossTheRingsEnd) {
    const uint32_t width = 3;
    SampleRing ring(width);
    DataHook fast(ring, ring.writeIndex());
    DataHook slow(ring, ring.writeIndex());
    DataHook taker(ring, ring.writeIndex()); // takes values in place, at most `most` at a time
    const uint32_t chunk = 7000;
    const uint32_t most = 3000;
    const uint32_t total = 300000; // more than the ring holds, so the hooks cross its end
    std::vector<uint16_t> raw;
    std::vector<double> values;
    uint32_t fastRows = 0;
    uint32_t slowRows = 0;
    uint32_t takenRows = 0;
    size_t peeks = 0;
    const auto take = [&] {
        const FloatRows rows = peekFloats(taker, true, 0, most);
        peeks++;
        for (uint32_t k = 0; k < rows.count; k++)
            for (uint32_t c = 0; c < width; c++)
                EXPECT_EQ(rows.rows[k * width + c], float(4 * (takenRows + k) + c))
                    << "row " << takenRows + k;
        EXPECT_TRUE(takePeeked(taker, rows.count));
        takenRows += rows.count;
    };
    for (uint32_t written = 0; written < total;) {
        const uint32_t n = std::min(chunk, total - written);
        writeNumberedRows(ring, written, n);
        written += n;
        // Exactly `n` rows wait: a minimum of n - 1 lets the read through.
        ASSERT_TRUE(readRawData(fast, raw, true, n - 1));
        ASSERT_EQ(raw.size(), size_t(n) * width);
        for (uint32_t k = 0; k < n; k++, fastRows++)
            for (uint32_t c = 0; c < width; c++)
                ASSERT_EQ(raw[k * width + c], uint16_t(fastRows + c)) << "row " << fastRows;
        // Rows are counted on past the ring's end, by the ring and by its hooks alike.
        ASSERT_EQ(ring.rowsWritten(), written);
        ASSERT_EQ(fast.row, fastRows);
        while (taker.row < written)
            take();
        ASSERT_EQ(taker.row, written);
        // The slow hook reads every sixth chunk, unfiltered values.
        if ((written / chunk) % 6 != 0 && written != total) continue;
        ASSERT_TRUE(readValues(slow, values, false, 1, 0));
        ASSERT_EQ(values.size(), size_t(written - slowRows) * width);
        for (size_t k = 0; k < values.size() / width; k++, slowRows++)
            for (uint32_t c = 0; c < width; c++)
                ASSERT_EQ(values[k * width + c], -(4.0 * slowRows + c)) << "row " << slowRows;
    }
    EXPECT_EQ(fastRows, total);
    EXPECT_EQ(slowRows, total);
    EXPECT_EQ(slow.row, total);
    EXPECT_EQ(takenRows, total);
    // 42 chunks peeked in three parts each, the last 6000 rows in two, and one part more where
    // the ring's end (row 262144, within chunk 37) cuts a peek short.
    EXPECT_EQ(peeks, 42u * 3 + 2 + 1);
    const DataHook late(ring, ring.rowsWritten());
    EXPECT_EQ(late.readIndex, total % SampleRing::rowCount);
}

TEST(DataHookReads, TheEnvelopeKeepsTheExtremesOfEachBucketOfTwiceTheDecimation) {
    SampleRing ring(2);
    DataHook hook(ring, ring.writeIndex());
    // Decimation 3: buckets of six rows. Channel 1 falls through the first bucket, so its
    // maximum there is the first row's.
    writeRows(ring, {{3, -1},
                     {7, -2},
                     {1, -3},
                     {5, -4},
                     {2, -5},
                     {6, -6}, // bucket 1
                     {0, 10},
                     {-4, 20},
                     {9, 30},
                     {9, 40},
                     {-4, 50},
                     {8, 60}, // bucket 2
                     {11, 70},
                     {12, 80}}); // left over
    std::vector<double> out;
    ASSERT_TRUE(readValues(hook, out, true, 3, 0));
    EXPECT_EQ(out, (std::vector<double>{7, -1, 1, -6, 9, 60, -4, 10}));
    EXPECT_EQ(hook.row, 12u) << "the rows of whole buckets are read";
    ASSERT_TRUE(readValues(hook, out, false, 0, 0));
    EXPECT_EQ(out, (std::vector<double>{11, 70, 12, 80})) << "the two rows short of a bucket stay";

    // Fewer rows than a bucket: nothing is taken.
    writeRows(ring, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}});
    ASSERT_TRUE(readValues(hook, out, true, 3, 0));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(readValues(hook, out, true, 1, 0));
    EXPECT_EQ(out.size(), 10u);
}

TEST(DataHookReads, AValueEqualToAnExtremeLeavesIt) {
    // Zeros of opposite signs compare equal, so which one an extreme holds shows whether an
    // equal value replaced it.
    SampleRing ring(2);
    DataHook hook(ring, ring.writeIndex());
    writeRows(ring, {{0.0, -0.0}, {-0.0, 0.0}, {-0.0, 0.0}, {-0.0, 0.0}});
    std::vector<double> out;
    ASSERT_TRUE(readValues(hook, out, true, 2, 0));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_FALSE(std::signbit(out[0])) << "maximum, channel 0";
    EXPECT_TRUE(std::signbit(out[1])) << "maximum, channel 1";
    EXPECT_FALSE(std::signbit(out[2])) << "minimum, channel 0";
    EXPECT_TRUE(std::signbit(out[3])) << "minimum, channel 1";
}

} // namespace
