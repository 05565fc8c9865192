// The sample ring and the reads through hooks, on rows written directly into the ring.

#include "app/pipeline/datahook.h"
#include "app/pipeline/samplering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr uint32_t half = SampleRing::rowCount / 2;
constexpr uint32_t last = SampleRing::rowCount - 1;

// Appends rows whose values the tests can tell apart: in row n, channel c holds raw word
// n + c filtered and n + c + 7 unfiltered, value 4n + c filtered and -(4n + c) unfiltered.
void writeNumberedRows(SampleRing& ring, uint32_t first, uint32_t count) {
    std::lock_guard lock(ring.mutex);
    for (uint32_t n = first; n < first + count; n++) {
        const SampleRing::Row row = ring.nextRow();
        for (uint32_t c = 0; c < ring.rowWidth(); c++) {
            row.filteredRaw[c] = uint16_t(n + c);
            row.unfilteredRaw[c] = uint16_t(n + c + 7);
            row.filteredValues[c] = 4.0 * n + c;
            row.unfilteredValues[c] = -(4.0 * n + c);
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

TEST(SampleRing, AReaderGoesOnOnlyWithMoreThanItsMinimumAndLessThanHalfARing) {
    EXPECT_FALSE(SampleRing::hasMoreThan(5, 5, 0)) << "nothing waiting";
    EXPECT_TRUE(SampleRing::hasMoreThan(5, 6, 0));
    EXPECT_FALSE(SampleRing::hasMoreThan(5, 105, 100)) << "exactly the minimum is not enough";
    EXPECT_TRUE(SampleRing::hasMoreThan(5, 106, 100));
    // Around the ring's end: three rows, from the last two rows to row 0.
    EXPECT_TRUE(SampleRing::hasMoreThan(last - 1, 1, 2));
    EXPECT_FALSE(SampleRing::hasMoreThan(last - 1, 1, 3));
    // A reader half a ring behind is being lapped: it waits as if it had too little.
    EXPECT_TRUE(SampleRing::hasMoreThan(0, half - 1, 0));
    EXPECT_FALSE(SampleRing::hasMoreThan(0, half, 0));
    EXPECT_TRUE(SampleRing::hasMoreThan(10, 10 + 50 + half - 1, 50));
    EXPECT_FALSE(SampleRing::hasMoreThan(10, 10 + 50 + half, 50));
}

TEST(DataHookReads, TwoHooksAtDifferentPacesGetEveryRowInOrderAcrossTheRingsEnd) {
    const uint32_t width = 3;
    SampleRing ring(width);
    DataHook fast(ring, ring.writeIndex());
    DataHook slow(ring, ring.writeIndex());
    const uint32_t chunk = 7000;
    const uint32_t total = 300000; // more than the ring holds, so both hooks cross its end
    std::vector<uint16_t> raw;
    std::vector<double> values;
    uint32_t fastRows = 0;
    uint32_t slowRows = 0;
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
