#include "analysis/compute/spectrumrecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::vector<double> whiteNoise(size_t count, double sigma, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<double> x(count);
    for (double& v : x)
        v = normal(rng);
    return x;
}

std::vector<double> sinusoid(size_t count, double amplitude, double f, double fs, double offset = 0.0) {
    std::vector<double> x(count);
    for (size_t i = 0; i < count; i++)
        x[i] = offset + amplitude * std::sin(2.0 * std::numbers::pi * f * double(i) / fs + 0.3);
    return x;
}

// Feeds in uneven chunks, so that blocks straddle the calls; returns the results published.
int feed(SpectrumRecord& s, const std::vector<double>& x, size_t chunk = 1237) {
    int published = 0;
    for (size_t i = 0; i < x.size(); i += chunk)
        published += s.add(x.data() + i, std::min(chunk, x.size() - i));
    return published;
}

SpectrumRecord make(int n, double fs, double seconds) {
    SpectrumRecord s;
    EXPECT_TRUE(s.setOptions(n, seconds));
    s.reset(fs, "pA");
    return s;
}

TEST(SpectrumRecord, WhiteNoiseGivesTheOneSidedDensity) {
    const std::tuple<int, double, double, int> rows[] = {{1024, 10000.0, 2.0, 20},
                                                         {512, 1220.703125, 2.0, 5},
                                                         {4096, 50000.0, 1.0, 13},
                                                         {32768, 100000.0, 2.0, 7}};
    const double sigma = 2.0;
    for (const auto& [n, fs, seconds, averages] : rows) {
        SCOPED_TRACE(testing::Message() << "N " << n << " fs " << fs);
        SpectrumRecord s = make(n, fs, seconds);
        ASSERT_EQ(s.averages, averages);
        ASSERT_EQ(feed(s, whiteNoise(size_t(n) * averages, sigma, unsigned(n))), 1);
        // Each block's bins hold E|X_k|^2 = N sigma^2; M blocks are summed, then scaled.
        const double nm = double(n) * averages;
        const double expected = 2.0 * nm * sigma * sigma / ((nm - 1.0) * fs);
        const double level =
            std::accumulate(s.spectrum.begin(), s.spectrum.begin() + s.halfSize, 0.0) / s.halfSize;
        EXPECT_NEAR(level / expected, 1.0, 0.05) << level << " pA²/Hz, expected " << expected;
        EXPECT_DOUBLE_EQ(s.frequencies[0], fs / n);
        EXPECT_DOUBLE_EQ(s.frequencies[size_t(s.halfSize - 1)], fs / 2);
    }
}

TEST(SpectrumRecord, SinusoidPeaksInItsBinWithItsPower) {
    // N, fs, f, amplitude, and whether a whole number of periods fills a block: all its power
    // in one bin
    const std::tuple<int, double, double, double, bool> rows[] = {
        {1024, 10000.0, 100 * 10000.0 / 1024, 3.0, true},
        {2048, 20000.0, 2000.0, 1.5, false},
        {8192, 100000.0, 100000.0 * 1000 / 8192, 0.5, true},
        {512, 5000.0, 777.0, 4.0, false}};
    for (const auto& [n, fs, f, amplitude, onBin] : rows) {
        SCOPED_TRACE(testing::Message() << f << " Hz");
        SpectrumRecord s = make(n, fs, 0.5);
        // The offset sits in the DC bin, which the spectrum leaves out.
        ASSERT_EQ(feed(s, sinusoid(size_t(n) * s.averages, amplitude, f, fs, 7.0)), 1);
        const auto peak = std::max_element(s.spectrum.begin(), s.spectrum.begin() + s.halfSize);
        EXPECT_EQ(peak - s.spectrum.begin(), std::lround(f * n / fs) - 1);
        if (!onBin) continue;
        // |X_k| = a N / 2 in each of the M blocks, scaled by 2 / ((N M - 1) fs).
        const double nm = double(n) * s.averages;
        const double expected = 2.0 / ((nm - 1.0) * fs) * s.averages * std::pow(amplitude * n / 2, 2);
        EXPECT_NEAR(*peak / expected, 1.0, 1e-9) << *peak << ", expected " << expected;
        EXPECT_LT(s.spectrum[0], 1e-12 * expected) << "the offset leaked into the first bin";
    }
}

TEST(SpectrumRecord, PublishesEveryMBlocksAndRestartsTheAverage) {
    const std::tuple<double, double, int, int> rows[] = {
        {10000.0, 2.0, 1024, 20}, {10000.0, 0.2, 512, 4}, {100000.0, 1.0, 32768, 4}, {1000.0, 1.0, 4096, 1}};
    for (const auto& [fs, seconds, n, averages] : rows)
        EXPECT_EQ(make(n, fs, seconds).averages, averages) << fs << " Hz, N " << n;

    // fs = 10 kHz, T = 0.2 s, N = 512: four blocks per result. f = 50 bins.
    SpectrumRecord s = make(512, 10000.0, 0.2);
    const double f = 50 * 10000.0 / 512;
    const std::vector<double> loud = sinusoid(4 * 512, 2.0, f, 10000.0);
    const std::vector<double> quiet = sinusoid(4 * 512, 1.0, f, 10000.0);
    EXPECT_EQ(s.add(loud.data(), loud.size() - 1), 0) << "a result before the fourth block was full";
    EXPECT_EQ(s.blocksDone, 3);
    EXPECT_EQ(s.add(loud.data() + loud.size() - 1, 1), 1);
    const double loudPeak = s.spectrum[49];
    EXPECT_EQ(feed(s, quiet), 1);
    EXPECT_NEAR(s.spectrum[49] / loudPeak, 0.25, 1e-9) << "the second average kept the first's blocks";
    // Two averages in one call publish twice.
    std::vector<double> both = loud;
    both.insert(both.end(), quiet.begin(), quiet.end());
    EXPECT_EQ(s.add(both.data(), both.size()), 2);
}

TEST(SpectrumRecord, ChangingTheSizeKeepsTheBuffers) {
    SpectrumRecord s;
    const auto buffers = [&] {
        return std::tuple(s.input.data(), s.output.data(), s.powerSum.data(), s.spectrum.data(),
                          s.frequencies.data());
    };
    const auto first = buffers();
    const std::vector<double> x = whiteNoise(32768, 1.0, 3);
    for (int n : {512, 32768, 1024, 2048, 4096, 8192, 16384, 32768}) {
        ASSERT_TRUE(s.setOptions(n, 0.001)); // one block per result
        s.reset(50000.0, "nA");
        EXPECT_EQ(s.add(x.data(), size_t(n)), 1) << "N " << n;
        EXPECT_EQ(buffers(), first) << "N " << n;
    }
    EXPECT_EQ(s.shape, QList<int>{32768});
    EXPECT_EQ(s.halfSize, 16384);
    EXPECT_EQ(s.output.size(), 16385u);
    EXPECT_DOUBLE_EQ(s.frequencyStep, 50000.0 / 32768);
    EXPECT_DOUBLE_EQ(s.frequencies[16383], 25000.0);
    EXPECT_EQ(s.unitLabel, "nA");
    EXPECT_EQ(std::count(s.spectrum.begin(), s.spectrum.end(), 0.0), 0) << "all 16384 points computed";

    for (const auto& [n, seconds] : {std::pair{1000, 1.0},
                                     {65536, 1.0},
                                     {256, 1.0},
                                     {1024, 0.0},
                                     {1024, -1.0},
                                     {1024, std::numeric_limits<double>::infinity()}})
        EXPECT_FALSE(s.setOptions(n, seconds)) << n << ", " << seconds << " s";
    EXPECT_EQ(s.fftSize, 32768);
}

TEST(SpectrumRecord, NonFiniteSamplesDropTheirBlockOnly) {
    const std::vector<double> clean = whiteNoise(4 * 512, 1.0, 11);
    SpectrumRecord reference = make(512, 10000.0, 0.2);
    ASSERT_EQ(feed(reference, clean), 1);

    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double b : bad) {
        SpectrumRecord s = make(512, 10000.0, 0.2);
        std::vector<double> x = whiteNoise(300, 5.0, 12); // a partial block, then the bad sample
        x.push_back(b);
        x.insert(x.end(), clean.begin(), clean.end());
        ASSERT_EQ(feed(s, x, 700), 1) << b;
        EXPECT_EQ(s.invalidSamples, 1);
        EXPECT_TRUE(std::equal(s.spectrum.begin(), s.spectrum.begin() + 256, reference.spectrum.begin()))
            << "samples before " << b << " reached the result";
    }
}

TEST(SpectrumRecord, ReadsOneChannelOfInterleavedFrames) {
    const std::vector<double> x = whiteNoise(4 * 1024, 1.0, 5);
    std::vector<double> frames(x.size() * 3, 99.0);
    for (size_t i = 0; i < x.size(); i++)
        frames[3 * i + 2] = x[i];
    SpectrumRecord contiguous = make(1024, 20000.0, 0.2), strided = make(1024, 20000.0, 0.2);
    ASSERT_EQ(contiguous.add(x.data(), x.size()), 1);
    ASSERT_EQ(strided.add(frames.data() + 2, x.size(), 3), 1);
    EXPECT_TRUE(
        std::equal(contiguous.spectrum.begin(), contiguous.spectrum.begin() + 512, strided.spectrum.begin()));

    SpectrumRecord unset;
    EXPECT_EQ(unset.add(x.data(), x.size()), 0) << "a record without a rate published";
}

TEST(SpectrumRecord, ChannelsOnManyThreadsShareOnePlanPerSize) {
    // Every size planned for the first time by four threads at once, as consumers starting
    // together do; each thread must get the same plans and the same spectra as this one.
    const std::vector<double> x = whiteNoise(32768, 1.0, 9);
    const int sizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768};
    auto spectra = [&](std::vector<double>& out, std::vector<fftw_plan>& plans) {
        SpectrumRecord s;
        for (int n : sizes) {
            s.setOptions(n, 0.001);
            s.reset(100000.0, "pA");
            s.add(x.data(), size_t(n));
            out.insert(out.end(), s.spectrum.begin(), s.spectrum.begin() + s.halfSize);
            plans.push_back(realToComplexPlan(n));
        }
    };
    std::vector<double> results[4];
    std::vector<fftw_plan> plans[4];
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([&, t] { spectra(results[t], plans[t]); });
    }
    std::vector<double> reference;
    std::vector<fftw_plan> referencePlans;
    spectra(reference, referencePlans);
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(plans[t], referencePlans) << "thread " << t << " got plans of its own";
        EXPECT_EQ(results[t], reference) << "thread " << t;
    }
}

} // namespace
