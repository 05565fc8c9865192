#include "acquisition/samplering.h"

#include <algorithm>

namespace {
constexpr size_t planeSize(uint32_t width) {
    return size_t(SampleRing::rowCount) * width;
}
} // namespace

SampleRing::SampleRing(uint32_t rowWidth)
    : width(rowWidth), filteredRaw(std::make_unique_for_overwrite<uint16_t[]>(planeSize(rowWidth))),
      filteredValues(std::make_unique_for_overwrite<double[]>(planeSize(rowWidth))),
      unfilteredRaw(std::make_unique_for_overwrite<uint16_t[]>(planeSize(rowWidth))),
      unfilteredValues(std::make_unique_for_overwrite<double[]>(planeSize(rowWidth))),
      filteredFloats(std::make_unique_for_overwrite<float[]>(planeSize(rowWidth))),
      unfilteredFloats(std::make_unique_for_overwrite<float[]>(planeSize(rowWidth))) {}

uint64_t SampleRing::addGap(uint64_t row, uint64_t frames) {
    if (frames == 0) return row;
    // A hook reads at most a ring behind the writer; older gaps lie in rows it skips.
    while (!gaps.empty() && gaps.front().gap.row + rowCount < rowsWritten())
        gaps.pop_front();
    // Kept in order of rows, which the reads rely on.
    if (!gaps.empty()) row = std::max(row, gaps.back().gap.row);
    gaps.push_back({{row, frames, 0}, gapFrames});
    gapFrames += frames;
    breakSizedBy = {};
    return row;
}

void SampleRing::waitForBreakSized(std::unique_lock<std::mutex>& lock) {
    dataAvailable.wait_until(lock, breakSizedBy,
                             [this] { return stopped || breakSizedBy <= std::chrono::steady_clock::now(); });
}

uint64_t SampleRing::passGaps(uint64_t& seen, uint64_t row, std::vector<Gap>* passed) const {
    uint64_t stop = gapFrames;
    for (const KeptGap& kept : gaps) {
        if (kept.gap.row >= row) {
            stop = kept.framesBefore;
            break;
        }
        if (passed && kept.framesBefore >= seen) passed->push_back(kept.gap);
    }
    const uint64_t frames = stop > seen ? stop - seen : 0;
    seen = std::max(seen, stop);
    return frames;
}
SampleRing::Row SampleRing::nextRow() {
    const size_t at = size_t(writeIndex()) * width;
    return {.filteredRaw = filteredRaw.get() + at,
            .filteredValues = filteredValues.get() + at,
            .unfilteredRaw = unfilteredRaw.get() + at,
            .unfilteredValues = unfilteredValues.get() + at,
            .filteredFloats = filteredFloats.get() + at,
            .unfilteredFloats = unfilteredFloats.get() + at};
}

void SampleRing::setProducerStopped() {
    stopped = true;
    dataAvailable.notify_all();
}

const uint16_t* SampleRing::rawPlane(bool filtered) const {
    return filtered ? filteredRaw.get() : unfilteredRaw.get();
}

const double* SampleRing::valuePlane(bool filtered) const {
    return filtered ? filteredValues.get() : unfilteredValues.get();
}

const float* SampleRing::floatPlane(bool filtered) const {
    return filtered ? filteredFloats.get() : unfilteredFloats.get();
}

uint64_t SampleRing::backlog() const {
    uint64_t slowest = rowsWritten();
    for (const uint64_t* row : readerRows)
        slowest = std::min(slowest, *row);
    return rowsWritten() - slowest;
}
