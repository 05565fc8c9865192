#include "analysis/compute/histogramrecord.h"

#include <cmath>
#include <utility>

void HistogramRecord::reset(const kv4cl::RangedMeasurement_t& currentRange) {
    // Limits set before a range change keep their own prefix; read them in the new one.
    const kv4cl::RangedMeasurement_t interval =
        limited ? limits.converted(currentRange.prefix) : currentRange;
    lowerEdge = interval.min;
    binWidth = (interval.max - interval.min) / binCount;
    inverseBinWidth = 1.0 / binWidth;
    counts = QList<int>(binCount, 0);
    invalidSamples = 0;
    unitLabel =
        QString::fromStdString(std::string(kv4cl::unitPrefixes[currentRange.prefix]) + currentRange.unit);
    prefix = currentRange.prefix;
}

bool HistogramRecord::setLimits(const kv4cl::RangedMeasurement_t& currentRange, double min, double max) {
    if (min > max) std::swap(min, max);
    if (!std::isfinite(min) || !std::isfinite(max) || !(min < max)) return false;
    limits = currentRange;
    limits.min = min;
    limits.max = max;
    limited = true;
    reset(currentRange);
    return true;
}

void HistogramRecord::clearLimits(const kv4cl::RangedMeasurement_t& currentRange) {
    limited = false;
    reset(currentRange);
}

void HistogramRecord::add(const double* samples, size_t count, size_t stride) {
    if (counts.size() != binCount) return; // not laid out yet
    // Members copied to locals: a store into the counts could alias them, and reloading them
    // after every count would chain each sample to the one before.
    int* bins = counts.data();
    const int bincount = binCount;
    const int last = bincount - 1;
    const double lower = lowerEdge;
    const double scale = inverseBinWidth;
    int64_t invalid = 0;
    for (size_t i = 0; i < count; i++) {
        const double position = (samples[i * stride] - lower) * scale;
        if (std::isnan(position)) {
            invalid++;
            continue;
        }
        // Compared as doubles before any conversion, so that no value outside int is cast;
        // from 1 up the truncation is the floor.
        const int bin = position < 1.0 ? 0 : position >= bincount ? last : int(position);
        bins[bin]++;
    }
    invalidSamples += invalid;
}
