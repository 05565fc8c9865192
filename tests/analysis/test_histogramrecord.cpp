#include "analysis/compute/histogramrecord.h"

#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <vector>

namespace {

const kv4cl::RangedMeasurement_t range200pA{-200.0, 200.0, 400.0 / 65536, kv4cl::UnitPfxPico, "A"};
const kv4cl::RangedMeasurement_t range2nA{-2.0, 2.0, 4.0 / 65536, kv4cl::UnitPfxNano, "A"};

int total(const HistogramRecord& h) {
    return std::accumulate(h.counts.begin(), h.counts.end(), 0);
}

// (The counts of a cell's noise against its truth: the histogram consumer's and dock's tests.)
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
        EXPECT_EQ(h.unitLabel, "pA");
        EXPECT_EQ(total(h), row.bin < 0 ? 0 : 3) << row.x;
        EXPECT_EQ(h.invalidSamples, row.bin < 0 ? 3 : 0) << row.x;
        if (row.bin >= 0) {
            EXPECT_EQ(h.counts[row.bin], 3) << row.x << " pA should be in bin " << row.bin;
        }
        h.reset(range200pA);
        EXPECT_EQ(total(h) + h.invalidSamples, 0) << "reset kept counts";
    }
}

TEST(HistogramRecord, LimitsNarrowTheBinsAndOutsidersFillTheEdges) {
    // One channel of interleaved three-channel frames: column 1 holds the signal.
    const std::vector<double> frames = {9, -30, 9, 9, 0.05, 9, 9, 30, 9, 9, 5.0, 9};
    HistogramRecord h;
    h.reset(range200pA);
    ASSERT_TRUE(h.setLimits(range200pA, 10.0, -10.0)); // either order
    EXPECT_DOUBLE_EQ(h.lowerEdge, -10.0);
    EXPECT_DOUBLE_EQ(h.binWidth, 0.1);
    h.add(frames.data() + 1, 4, 3);
    EXPECT_EQ(total(h), 4);
    EXPECT_EQ((std::vector{h.counts[0], h.counts[100], h.counts[150], h.counts[199]}), std::vector(4, 1));

    // The limits stay in picoamperes when the range moves to nanoamperes.
    h.reset(range2nA);
    EXPECT_TRUE(h.limited);
    EXPECT_DOUBLE_EQ(h.lowerEdge, -0.01);
    EXPECT_DOUBLE_EQ(h.binWidth, 0.0001);
    EXPECT_EQ(h.unitLabel, "nA");
    EXPECT_EQ(total(h), 0);

    for (double bad :
         {-0.005, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(h.setLimits(range2nA, -0.005, bad)) << bad;
    EXPECT_DOUBLE_EQ(h.lowerEdge, -0.01) << "a refused interval changed the bins";

    h.clearLimits(range2nA);
    EXPECT_FALSE(h.limited);
    EXPECT_DOUBLE_EQ(h.lowerEdge, -2.0);
    EXPECT_DOUBLE_EQ(h.binWidth, 0.02);
}

} // namespace
