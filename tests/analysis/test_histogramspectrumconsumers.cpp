// The histogram and spectrum consumers end to end: virtual cells with known noise, holding
// current and sinusoid, through the library and the producer, into the records the widgets
// copy.

#include "tests/analysis/consumersonamplifier.h"

#include <numeric>
#include <tuple>

namespace {

using kv4test::ConsumersOnAmplifier;
using kv4test::holding;
using kv4test::noisyCell;
using kv4test::tenKiloHertz;

int64_t total(const HistogramRecord& record) {
    return std::accumulate(record.counts.begin(), record.counts.end(), int64_t(0));
}

TEST_F(ConsumersOnAmplifier, HistogramCountsTheChannelBinsBetweenItsLimitsAndStartsOverOnARateChange) {
    const double sigma = 20e-12;
    amplifier().setCell(2, noisyCell(sigma));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    kv4test::Results results(histogram.get());
    histogram->onStartConsuming(2);
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 8));
    const HistogramRecord record = histogram->channelResult(2);
    ASSERT_EQ(record.unitLabel, "pA");
    ASSERT_EQ(record.counts.size(), 200);
    EXPECT_GE(total(record), int64_t(8 * std::round(hz() * 0.5))) << "counts grow from result to result";
    EXPECT_EQ(total(histogram->channelResult(1)), 0) << "a channel that does not run counts nothing";

    // (The Gaussian fit of these counts against the cell: the histogram dock's journey.)
    const kav4sim::CellParameters cell = amplifier().cell(2);
    const double mean = holding / (cell.membraneResistance + cell.seriesResistance) * 1e12; // pA

    // Limits narrower than the signal: everything beyond them lands in the edge bins.
    histogram->setLimits(2, mean + 10, mean - 10);
    results.clear();
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 2));
    const HistogramRecord limited = histogram->channelResult(2);
    EXPECT_DOUBLE_EQ(limited.lowerEdge, mean - 10);
    EXPECT_DOUBLE_EQ(limited.binWidth, 0.1);
    // Half a sigma each side: 30.9% of a Gaussian lies beyond, plus the edge bin's own share.
    for (const int edge : {limited.counts.first(), limited.counts.last()})
        EXPECT_NEAR(double(edge) / double(total(limited)), 0.3085 + 0.002, 0.02) << "share beyond a limit";

    // A new rate: the counts start over rather than mixing two rates. A slower one, so that the
    // first counts after the new start cannot outgrow the old ones however late the consumer is.
    const int64_t before = total(histogram->channelResult(2));
    ASSERT_EQ(kv4cl::setSamplingRate(tenKiloHertz - 1), kv4cl::Success);
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    histogram->onSamplingRateChanged(rate, rate);
    bool startedOver = false;
    for (int k = 1; k <= 20 && !startedOver; k++) {
        ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
        startedOver = total(histogram->channelResult(2)) < before;
    }
    EXPECT_TRUE(startedOver) << "the counts never started over";
}

TEST_F(ConsumersOnAmplifier, SpectrumOfWhiteNoiseIsItsOneSidedDensityAndASinusoidPeaksInItsBin) {
    const double sigma = 10e-12, amplitude = 20e-12, frequency = 1000.0;
    amplifier().setCell(0, noisyCell(sigma));
    kav4sim::CellParameters sine = noisyCell(1e-12);
    sine.sineAmplitude = amplitude;
    sine.sineFrequency = frequency;
    amplifier().setCell(1, sine);
    ASSERT_NO_FATAL_FAILURE(startProducing());
    const int n = 1024;
    SpectrumConsumer::Options_t options{n, {2000.0, kv4cl::UnitPfxMilli, "s"}};
    for (const int channel : {0, 1})
        spectrum->onSetOptions(channel, options);
    kv4test::Results results(spectrum.get());
    spectrum->onStartConsuming(0);
    spectrum->onStartConsuming(1); // queued behind the first
    SpectrumRecord noise, line;
    for (int k = 0; k < 50 && !(noise.spectrum[0] > 0 && line.spectrum[0] > 0); k++) {
        ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
        noise = spectrum->channelResult(0);
        line = spectrum->channelResult(1);
    }

    const double fs = hz();
    ASSERT_EQ(noise.averages, int(std::ceil(fs * 2.0 / n))) << "T given in ms";
    ASSERT_EQ(noise.unitLabel, "pA");
    // White noise of variance s^2 has the one-sided density 2 s^2 / fs at every frequency.
    const double predicted = 2 * std::pow(sigma * 1e12, 2) / fs; // pA^2/Hz
    const double plateau =
        std::accumulate(noise.spectrum.begin(), noise.spectrum.begin() + n / 2, 0.0) / (n / 2);
    EXPECT_NEAR(plateau / predicted, 1.0, 0.05) << "plateau " << plateau << " pA^2/Hz against " << predicted
                                                << ", off by " << (plateau / predicted - 1) * 100 << "%";

    const auto peak = std::max_element(line.spectrum.begin(), line.spectrum.begin() + n / 2);
    const long bin = long(peak - line.spectrum.begin()) + 1;
    EXPECT_EQ(bin, std::lround(frequency / (fs / n)))
        << "peak at " << line.frequencies[size_t(bin - 1)] << " Hz";
    // The density integrates to the variance: the line's power A^2/2 plus the noise.
    const double power = std::accumulate(line.spectrum.begin(), line.spectrum.begin() + n / 2, 0.0) * fs / n;
    const double expected = std::pow(amplitude * 1e12, 2) / 2 + 1.0;
    EXPECT_NEAR(power / expected, 1.0, 0.05) << "power " << power << " pA^2 against " << expected;
}

TEST_F(ConsumersOnAmplifier, SpectrumOptionsLayOutTheChannelsRecord) {
    amplifier().setCell(3, noisyCell(5e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    kv4test::Results results(spectrum.get());
    spectrum->onStartConsuming(3);
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 1)); // the thread has taken the rate over
    const double fs = hz();
    const std::tuple<int, kv4cl::Measurement_t, int> cases[] = {
        {32768, {1.0, kv4cl::UnitPfxNone, "s"}, 1},
        {1024, {2.0, kv4cl::UnitPfxNone, "s"}, int(std::ceil(fs * 2 / 1024))},
        {512, {20000.0, kv4cl::UnitPfxMilli, "s"}, int(std::ceil(fs * 20 / 512))},
        {4096, {0.0, kv4cl::UnitPfxNone, "s"}, int(std::ceil(fs * 20 / 512))}, // refused: unchanged
        {1000, {1.0, kv4cl::UnitPfxNone, "s"}, int(std::ceil(fs * 20 / 512))}, // not offered
    };
    for (const auto& [size, t, averages] : cases) {
        SCOPED_TRACE(size);
        SpectrumConsumer::Options_t options{size, t};
        spectrum->onSetOptions(3, options);
        const SpectrumRecord record = spectrum->channelResult(3);
        const int n = record.fftSize;
        EXPECT_EQ(record.averages, averages);
        EXPECT_EQ(record.halfSize, n / 2);
        EXPECT_DOUBLE_EQ(record.frequencies[0], fs / n) << "the first point is fs/N";
        EXPECT_DOUBLE_EQ(record.frequencies[size_t(n / 2 - 1)], fs / 2) << "the last is fs/2";
        EXPECT_DOUBLE_EQ(record.scale, 2.0 / ((double(n) * record.averages - 1) * fs));
    }
    // N = 32768, one block per result: the whole half spectrum arrives.
    SpectrumConsumer::Options_t largest{32768, {1.0, kv4cl::UnitPfxNone, "s"}};
    spectrum->onSetOptions(3, largest);
    SpectrumRecord record;
    for (int k = 0; k < 50 && !(record.spectrum[16383] > 0); k++) {
        ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
        record = spectrum->channelResult(3);
    }
    EXPECT_EQ(record.fftSize, 32768);
    EXPECT_EQ(std::count(record.spectrum.begin(), record.spectrum.end(), 0.0), 0)
        << "all 16384 points computed";
}

// A new current range: both analyses start over in its unit, the histogram over its span.
TEST_F(ConsumersOnAmplifier, ARangeChangeRelabelsBothRecordsAndStartsThemOver) {
    amplifier().setCell(0, noisyCell(50e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    kv4test::Results histograms(histogram.get()), spectra(spectrum.get());
    histogram->onStartConsuming(0);
    spectrum->onStartConsuming(0);
    ASSERT_NO_FATAL_FAILURE(waitFor(histograms, 1));
    ASSERT_EQ(kv4cl::setCurrentRange(1, 4), kv4cl::Success);
    kv4cl::RangedMeasurement_t range;
    ASSERT_EQ(kv4cl::getCurrentRange(range, 0), kv4cl::Success);
    ASSERT_EQ(range.prefix, kv4cl::UnitPfxNano) << "the second range is in nA";
    histogram->onCurrentRangeChanged(range, 4);
    spectrum->onCurrentRangeChanged(range, 4);
    for (int k = 0; k < 20 && histogram->channelResult(0).unitLabel != "nA"; k++)
        ASSERT_NO_FATAL_FAILURE(waitFor(histograms, histograms.count() + 1));
    const HistogramRecord record = histogram->channelResult(0);
    EXPECT_EQ(record.unitLabel, "nA");
    EXPECT_DOUBLE_EQ(record.lowerEdge, range.min);
    EXPECT_DOUBLE_EQ(record.binWidth, (range.max - range.min) / 200);
    for (int k = 0; k < 20 && spectrum->channelResult(0).unitLabel != "nA"; k++)
        ASSERT_NO_FATAL_FAILURE(waitFor(spectra, spectra.count() + 1));
    EXPECT_EQ(spectrum->channelResult(0).unitLabel, "nA");
}

} // namespace
