#include "acquisition/datahook.h"

#include <algorithm>

namespace {

// With the ring's mutex held by `lock`: the rows available to `hook` once the read may go on.
// A hook that the writer lapped moves on to the oldest row in the ring, which `lap` tells with
// the rows it missed.
struct Lap {
    uint64_t row = 0;
    uint64_t skipped = 0;
};
uint32_t waitForRows(DataHook& hook, uint32_t minRows, std::unique_lock<std::mutex>& lock, Lap& lap) {
    SampleRing& ring = hook.ring;
    while (ring.rowsWritten() - hook.row <= minRows && !ring.producerStopped() && !hook.released)
        ring.waitForData(lock);
    const uint64_t waiting = ring.rowsWritten() - hook.row;
    const uint64_t skipped = waiting > SampleRing::rowCount ? waiting - SampleRing::rowCount : 0;
    if (skipped > 0) {
        hook.row += skipped;
        hook.readIndex = uint32_t(hook.row) & SampleRing::rowMask;
        hook.rowsMissed += skipped;
        const uint64_t sourceFrames = ring.passGaps(hook.gapFramesSeen, hook.row, nullptr);
        if (hook.keepGaps) hook.gaps.push_back({hook.row, skipped + sourceFrames, skipped});
        lap = {hook.row, skipped};
    }
    return uint32_t(waiting - skipped);
}

// Without the ring's mutex: tells the ring's owner of a lap.
void reportLap(const DataHook& hook, const Lap& lap) {
    if (lap.skipped > 0 && hook.ring.lapReport) hook.ring.lapReport(lap.row, lap.skipped);
}

// Copies `rows` rows from the hook's read index, in at most two runs around the ring's end.
template <typename T> void copyRows(DataHook& hook, const T* plane, uint32_t rows, std::vector<T>& data) {
    const size_t width = hook.ring.rowWidth();
    data.resize(rows * width);
    const uint32_t first = std::min(rows, SampleRing::rowCount - hook.readIndex);
    std::copy_n(plane + hook.readIndex * width, first * width, data.data());
    std::copy_n(plane, (rows - first) * width, data.data() + first * width);
    hook.readIndex = (hook.readIndex + rows) & SampleRing::rowMask;
    hook.row += rows;
    hook.ring.passGaps(hook.gapFramesSeen, hook.row, hook.keepGaps ? &hook.gaps : nullptr);
}

// Reads whole buckets of 2 * decimation rows out of `rows` as maxima and minima.
void copyEnvelope(DataHook& hook, const double* plane, uint32_t rows, uint32_t decimation,
                  std::vector<double>& data) {
    const size_t width = hook.ring.rowWidth();
    const uint32_t bucketRows = 2 * decimation;
    const uint32_t buckets = rows / bucketRows;
    data.resize(2 * buckets * width);
    uint32_t r = hook.readIndex;
    for (uint32_t b = 0; b < buckets; b++) {
        double* maxima = data.data() + 2 * b * width;
        double* minima = maxima + width;
        const double* row = plane + r * width;
        std::copy_n(row, width, maxima);
        std::copy_n(row, width, minima);
        for (uint32_t k = 1; k < bucketRows; k++) {
            r = (r + 1) & SampleRing::rowMask;
            row = plane + r * width;
            for (size_t c = 0; c < width; c++) {
                if (row[c] > maxima[c])
                    maxima[c] = row[c];
                else if (row[c] < minima[c])
                    minima[c] = row[c];
            }
        }
        r = (r + 1) & SampleRing::rowMask;
    }
    hook.readIndex = r;
    hook.row += uint64_t(buckets) * bucketRows;
    hook.ring.passGaps(hook.gapFramesSeen, hook.row, hook.keepGaps ? &hook.gaps : nullptr);
}
} // namespace

bool readRawData(DataHook& hook, std::vector<uint16_t>& data, bool useFiltered, uint32_t minRows) {
    Lap lap;
    {
        std::unique_lock lock(hook.ring.mutex);
        copyRows(hook, hook.ring.rawPlane(useFiltered), waitForRows(hook, minRows, lock, lap), data);
    }
    reportLap(hook, lap);
    return true;
}

bool readValues(DataHook& hook, std::vector<double>& data, bool useFiltered, uint32_t decimation,
                uint32_t minRows) {
    Lap lap;
    {
        std::unique_lock lock(hook.ring.mutex);
        const uint32_t rows = waitForRows(hook, minRows, lock, lap);
        const double* plane = hook.ring.valuePlane(useFiltered);
        if (decimation < 2)
            copyRows(hook, plane, rows, data);
        else
            copyEnvelope(hook, plane, rows, decimation, data);
    }
    reportLap(hook, lap);
    return true;
}

void awaitBreakSized(DataHook& hook) {
    std::unique_lock lock(hook.ring.mutex);
    hook.ring.waitForBreakSized(lock);
    hook.ring.passGaps(hook.gapFramesSeen, hook.row, hook.keepGaps ? &hook.gaps : nullptr);
}

void releaseReads(DataHook& hook) {
    std::lock_guard lock(hook.ring.mutex);
    hook.released = true;
    hook.ring.wakeReaders();
}

FloatRows peekFloats(DataHook& hook, bool useFiltered, uint32_t minRows, uint32_t maxRows) {
    Lap lap;
    FloatRows peeked;
    {
        std::unique_lock lock(hook.ring.mutex);
        peeked.count =
            std::min({maxRows, waitForRows(hook, minRows, lock, lap), SampleRing::rowCount - hook.readIndex});
        peeked.rows = hook.ring.floatPlane(useFiltered) + size_t(hook.readIndex) * hook.ring.rowWidth();
    }
    reportLap(hook, lap);
    return peeked;
}

bool takePeeked(DataHook& hook, uint32_t count) {
    std::lock_guard lock(hook.ring.mutex);
    // The producer fills a row under the mutex: the oldest row stands until a full ring
    // more has been written.
    if (hook.ring.rowsWritten() - hook.row > SampleRing::rowCount) return false;
    hook.readIndex = (hook.readIndex + count) & SampleRing::rowMask;
    hook.row += count;
    hook.ring.passGaps(hook.gapFramesSeen, hook.row, hook.keepGaps ? &hook.gaps : nullptr);
    return true;
}
