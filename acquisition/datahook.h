#pragma once
// A consumer's read cursor into the sample ring, and the two reads through it. Any number of
// hooks read one ring, each at its own pace; a hook starts at the ring's write index, so it
// sees only rows written after it was made. A consumer that falls more than a ring behind
// is lapped: its next read goes on at the oldest row still in the ring, and the rows it
// skipped are counted as lost, on the hook and through the ring's lap report.

#include "acquisition/samplering.h"

#include <cstdint>
#include <vector>

class DataHook {
  public:
    // row: the ring's count of rows written when the hook starts.
    // With the ring's mutex held.
    DataHook(SampleRing& ring, uint64_t row)
        : ring(ring), readIndex(uint32_t(row) & SampleRing::rowMask), row(row),
          gapFramesSeen(ring.gapFramesAdded()) {
        ring.addReader(this->row);
    }
    // Takes the ring's mutex: the hook goes before its ring.
    virtual ~DataHook() {
        std::lock_guard lock(ring.mutex);
        ring.removeReader(row);
    }
    DataHook(const DataHook&) = delete;
    DataHook& operator=(const DataHook&) = delete;

    SampleRing& ring;
    // The next ring row this hook reads. Guarded by the ring's mutex, as are `row` and
    // `released`; the hook's own reader may read them without it.
    uint32_t readIndex;
    // The same row counted since the ring was made, as its count of rows written is.
    uint64_t row;
    // Set by releaseReads(): reads no longer wait.
    bool released = false;
    // With keepGaps set, the gaps before the rows read so far, each at the first row after
    // it, that the consumer has not taken yet: frames the source lost, and rows skipped when
    // lapped (with the source's gaps among them; rows that this hook's row count passed,
    // which a consumer counting its rows must skip too). Reads append; the consumer clears.
    bool keepGaps = false;
    std::vector<SampleRing::Gap> gaps;
    // Rows skipped since the hook started because the writer lapped it.
    uint64_t rowsMissed = 0;
    // For the ring's passGaps().
    uint64_t gapFramesSeen;
};

// Waits until the source has sized the break it said last (the producer wakes the readers
// when it adds the gap), then passes the gaps before the rows read: those in what a consumer
// read before it finishes. Returns at once when no break waits for its size.
void awaitBreakSized(DataHook& hook);

// Both reads wait until more than minRows rows are waiting (for minRows 0: at least one),
// the producer has stopped or the hook was released; a read cut short returns what there
// is, possibly nothing. They return true.

// Every waiting row, raw words (row after row), filtered or not.
bool readRawData(DataHook& hook, std::vector<uint16_t>& data, bool useFiltered, uint32_t minRows);

// Every waiting row, values, with decimation 0 or 1. With decimation d >= 2, a minimum and
// maximum envelope: per whole bucket of 2d rows a row of maxima and then a row of minima;
// rows short of a whole bucket stay for the next read.
bool readValues(DataHook& hook, std::vector<double>& data, bool useFiltered, uint32_t decimation,
                uint32_t minRows);

// Makes a read that waits on `hook` return now, and later ones at once: a consumer that is
// being stopped must not wait for data that may never come.
void releaseReads(DataHook& hook);

// Rows of 32-bit floats where they lie in the ring.
struct FloatRows {
    const float* rows = nullptr;
    uint32_t count = 0;
};

// Waits as the reads do, then points at most maxRows of the waiting rows' values as 32-bit
// floats, voltage channels last, where they lie in the ring (up to its end), without taking
// them: a consumer writes or copies them from there without holding up the producer, then
// takes them with takePeeked(). The producer does not wait for it and may overwrite them.
FloatRows peekFloats(DataHook& hook, bool useFiltered, uint32_t minRows, uint32_t maxRows);

// Takes the `count` rows that peekFloats() pointed at, unless the producer has begun to
// overwrite them since: then they may hold newer rows, and it returns false with the hook
// where it was, so that its next read skips what was lost as a lapped read does.
bool takePeeked(DataHook& hook, uint32_t count);
