#include "analysis/compute/histogramrecord.h"

#include <gtest/gtest.h>

#include <limits>
#include <numeric>

namespace {

const kv4cl::RangedMeasurement_t range200pA{-200.0, 200.0, 400.0 / 65536, kv4cl::UnitPfxPico, "A"};

int total(const HistogramRecord& h) {
    return std::accumulate(h.counts.begin(), h.counts.end(), 0);
}

// (The counts of a cell's noise against its truth, and the bins between the cursors: the
// histogram dock's journey.)
TEST(HistogramRecord, EachSampleLandsInItsBinOutsidersInTheEdgeBinsNotANumberInNone) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double x;
        int bin; // -1: in no bin
    } rows[] = {{-200.0, 0}, {-198.01, 0},  {-198.0, 1},  {0.0, 100},
                {1.99, 100}, {199.99, 199}, {200.0, 199}, {250.0, 199},
                {-250.0, 0}, {1e300, 199},  {-1e300, 0},  {inf, 199},
                {-inf, 0},   {-2e9, 0},     {3e9, 199},   {std::numeric_limits<double>::quiet_NaN(), -1}};
    for (const auto& row : rows) {
        HistogramRecord h;
        h.reset(range200pA);
        const double constant[] = {row.x, row.x, row.x};
        h.add(constant, 2);
        h.add(constant + 2, 1); // counts grow from call to call
        EXPECT_EQ(total(h), row.bin < 0 ? 0 : 3) << row.x;
        EXPECT_EQ(h.invalidSamples, row.bin < 0 ? 3 : 0) << row.x;
        if (row.bin >= 0) {
            EXPECT_EQ(h.counts[row.bin], 3) << row.x << " pA should be in bin " << row.bin;
        }
        h.reset(range200pA);
        EXPECT_EQ(total(h) + h.invalidSamples, 0) << "reset kept counts";
    }
}

} // namespace
