#include "app/pipeline/samplering.h"

namespace {
constexpr size_t planeSize(uint32_t width) {
    return size_t(SampleRing::rowCount) * width;
}
} // namespace

SampleRing::SampleRing(uint32_t rowWidth)
    : width(rowWidth), filteredRaw(std::make_unique_for_overwrite<uint16_t[]>(planeSize(rowWidth))),
      filteredValues(std::make_unique_for_overwrite<double[]>(planeSize(rowWidth))),
      unfilteredRaw(std::make_unique_for_overwrite<uint16_t[]>(planeSize(rowWidth))),
      unfilteredValues(std::make_unique_for_overwrite<double[]>(planeSize(rowWidth))) {}

bool SampleRing::hasMoreThan(uint32_t readIndex, uint32_t writeIndex, uint32_t minRows) {
    // (r - w + m) mod size lies above half the ring exactly when m < (w - r) mod size < m + half.
    return ((readIndex - writeIndex + minRows) & rowMask) > rowCount / 2;
}

SampleRing::Row SampleRing::nextRow() {
    const size_t at = size_t(writeIndex()) * width;
    return {filteredRaw.get() + at, filteredValues.get() + at, unfilteredRaw.get() + at,
            unfilteredValues.get() + at};
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
