#pragma once
// The histogram of one current channel: equal bins over the channel's current range, or over
// limits the user chose, counting samples until the next reset. The consumer holds one per
// channel under its result lock; the widget gets copies.

#include "commlib/types/kv4cltypes.h"

#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

struct HistogramRecord {
    static constexpr int defaultBinCount = 200;

    kv4cl::RangedMeasurement_t limits; // used when limited; keeps the prefix it was given in
    bool limited = false;
    double inverseBinWidth = 0.0;
    int binCount = defaultBinCount;
    double lowerEdge = 0.0; // in the range's prefixed unit
    double binWidth = 0.0;
    QList<int> counts;
    QString unitLabel;
    int prefix = kv4cl::UnitPfxNone;
    // Samples that were not numbers: they belong to no bin, and putting them in one would
    // show a peak that the current never had.
    int64_t invalidSamples = 0;

    // Zeroes the counts and lays the bins over the limits when limited, otherwise over
    // currentRange; labels come from currentRange, and the limits are read in its prefix.
    void reset(const kv4cl::RangedMeasurement_t& currentRange);
    // Bins over [min, max] (either order), in the prefix of currentRange, and resets. Returns
    // false and changes nothing when the interval is empty or not finite.
    bool setLimits(const kv4cl::RangedMeasurement_t& currentRange, double min, double max);
    void clearLimits(const kv4cl::RangedMeasurement_t& currentRange);

    // Counts `count` samples spaced `stride` values apart (one channel of interleaved frames).
    // Samples beyond the interval, infinities included, go to the first or last bin.
    void add(const double* samples, size_t count, size_t stride = 1);
};
