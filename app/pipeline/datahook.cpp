#include "app/pipeline/datahook.h"

#include <algorithm>

namespace {

// With the ring's mutex held by `lock`: the rows available to `hook` once the read may go on.
uint32_t waitForRows(const DataHook& hook, uint32_t minRows, std::unique_lock<std::mutex>& lock) {
    SampleRing& ring = hook.ring;
    while (!SampleRing::hasMoreThan(hook.readIndex, ring.writeIndex(), minRows) && !ring.producerStopped() &&
           !hook.released)
        ring.waitForData(lock);
    return (ring.writeIndex() - hook.readIndex) & SampleRing::rowMask;
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
}

} // namespace

bool readRawData(DataHook& hook, std::vector<uint16_t>& data, bool useFiltered, uint32_t minRows) {
    std::unique_lock lock(hook.ring.mutex);
    copyRows(hook, hook.ring.rawPlane(useFiltered), waitForRows(hook, minRows, lock), data);
    return true;
}

bool readValues(DataHook& hook, std::vector<double>& data, bool useFiltered, uint32_t decimation,
                uint32_t minRows) {
    SampleRing& ring = hook.ring;
    std::unique_lock lock(ring.mutex);
    const uint32_t rows = waitForRows(hook, minRows, lock);
    const double* plane = ring.valuePlane(useFiltered);
    if (decimation < 2) {
        copyRows(hook, plane, rows, data);
        return true;
    }

    const size_t width = ring.rowWidth();
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
    return true;
}

void releaseReads(DataHook& hook) {
    std::lock_guard lock(hook.ring.mutex);
    hook.released = true;
    hook.ring.wakeReaders();
}
