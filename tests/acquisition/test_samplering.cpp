// The sample ring and the reads through hooks, on rows written directly into the ring.

#include "acquisition/datahook.h"
#include "acquisition/samplering.h"

#include <gtest/gtest.h>

#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Reports = std::vector<std::pair<uint64_t, uint64_t>>; // row, rows

// Appends rows whose values the tests can tell apart: in row n, channel c holds raw word n + c
// and the value 4n + c, as a double and as a float.
void writeNumberedRows(SampleRing& ring, uint32_t first, uint32_t count) {
    std::lock_guard lock(ring.mutex);
    for (uint32_t n = first; n < first + count; n++) {
        const SampleRing::Row row = ring.nextRow();
        for (uint32_t c = 0; c < ring.rowWidth(); c++) {
            row.filteredRaw[c] = uint16_t(n + c);
            row.filteredValues[c] = 4.0 * n + c;
            row.filteredFloats[c] = float(row.filteredValues[c]);
        }
        ring.commitRow();
    }
    ring.wakeReaders();
}

size_t readRaw(DataHook& hook) {
    std::vector<uint16_t> raw;
    readRawData(hook, raw, true, 0);
    return raw.size() / hook.ring.rowWidth();
}

// The gaps a hook found: row, frames, rows skipped.
using Gaps = std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>;
Gaps gapsOf(const DataHook& hook) {
    Gaps out;
    for (const SampleRing::Gap& g : hook.gaps)
        out.emplace_back(g.row, g.frames, g.rowsSkipped);
    return out;
}

void addGap(SampleRing& ring, uint64_t row, uint64_t frames) {
    std::lock_guard lock(ring.mutex);
    ring.addGap(row, frames);
}

TEST(DataHookReads, AHookLappedByTheWriterGoesOnAtTheOldestRowAndCountsWhatItMissed) {
    // A full ring behind is not yet a lap; one row more is, for a read and for rows peeked before.
    for (const uint32_t ahead : {SampleRing::rowCount, SampleRing::rowCount + 1}) {
        const uint32_t skipped = ahead - SampleRing::rowCount;
        SCOPED_TRACE(skipped);
        SampleRing ring(1);
        Reports reported;
        ring.lapReport = [&](uint64_t row, uint64_t rows) { reported.emplace_back(row, rows); };
        DataHook reader(ring, 0);
        DataHook peeker(ring, 0);
        writeNumberedRows(ring, 0, 100);
        const FloatRows peeked = peekFloats(peeker, true, 0, 1000);
        ASSERT_EQ(peeked.count, 100u);
        writeNumberedRows(ring, 100, ahead - 100);

        // Every row of the ring, from the oldest on and across the ring's end.
        std::vector<uint16_t> raw;
        readRawData(reader, raw, true, 0);
        ASSERT_EQ(raw.size(), SampleRing::rowCount);
        for (uint32_t k = 0; k < raw.size(); k++)
            ASSERT_EQ(raw[k], uint16_t(skipped + k)) << k;
        EXPECT_EQ(reader.row, ahead);
        EXPECT_EQ(reader.rowsMissed, skipped);
        // Rows the producer began to overwrite are not taken; the next peek skips them.
        EXPECT_EQ(takePeeked(peeker, peeked.count), skipped == 0);
        EXPECT_EQ(peekFloats(peeker, true, 0, 1).rows[0], 4.0f * (skipped ? 1 : 100));
        EXPECT_EQ(reported, (skipped ? Reports{{1, 1}, {1, 1}} : Reports{}));
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
    addGap(ring, 40, 7);
    EXPECT_EQ(readRaw(early), 60u);
    EXPECT_EQ(gapsOf(early), (Gaps{{40, 7, 0}}));
    early.gaps.clear();

    writeNumberedRows(ring, 60, 40);
    addGap(ring, 100, 3); // before the next row to come
    EXPECT_EQ(readRaw(early), 40u);
    EXPECT_TRUE(early.gaps.empty()) << "the gap before row 100 lies after the last row read";
    DataHook late(ring, ring.rowsWritten()); // made after both gaps
    late.keepGaps = true;

    // A gap reported after the rows before it were read still reaches the hook.
    addGap(ring, 100, 2);
    writeNumberedRows(ring, 100, 10);
    std::vector<double> values;
    readValues(early, values, true, 0, 0);
    EXPECT_EQ(values.size(), 20u);
    EXPECT_EQ(gapsOf(early), (Gaps{{100, 3, 0}, {100, 2, 0}}));

    // The late hook started after the first two gaps: it sees only the third.
    EXPECT_EQ(readRaw(late), 10u);
    EXPECT_EQ(gapsOf(late), (Gaps{{100, 2, 0}}));

    readRaw(quiet);
    EXPECT_TRUE(quiet.gaps.empty());

    // Lapped past all three gaps: one gap at the row it goes on at, with the rows it skipped
    // and the source's frames among them, even those the ring no longer keeps.
    writeNumberedRows(ring, 110, SampleRing::rowCount);
    addGap(ring, ring.rowsWritten(), 1); // drops the kept gaps of row 100 and before
    writeNumberedRows(ring, 110 + SampleRing::rowCount, 1);
    EXPECT_EQ(readRaw(lapped), SampleRing::rowCount);
    EXPECT_EQ(gapsOf(lapped), (Gaps{{111, 111 + 7 + 3 + 2, 111}, {110 + SampleRing::rowCount, 1, 0}}));
    EXPECT_EQ(lapped.rowsMissed, 111u);
}

} // namespace
