// The histogram and spectrum end to end: virtual cells with known noise and sinusoid, through
// the library and the producer, into the records the widgets copy; then their docks driven as
// the user drives them, in a window on a virtual amplifier: Start, the Gaussian fit against the
// cell, the region of interest at both window sizes, the FFT bins and the integration time, and
// what each shows and exports; results drawn once however many arrive together.

#include "tests/analysis/consumersonamplifier.h"
#include "tests/analysis/dockdriver.h"

#include "analysis/histogram/histogramwidget.h"
#include "analysis/spectrum/spectrumwidget.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QSemaphore>
#include <QSignalSpy>

#include <algorithm>
#include <numeric>

namespace {

using namespace kv4test;

// Then a new current range: both analyses start over in its unit, the histogram over its span.
TEST_F(ConsumersOnAmplifier, SpectrumOfWhiteNoiseIsItsDensityASinusoidPeaksInItsBinAndARangeRelabels) {
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
    kv4test::Results results(spectrum.get()), histograms(histogram.get());
    spectrum->onStartConsuming(0);
    spectrum->onStartConsuming(1); // queued behind the first
    histogram->onStartConsuming(0);
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
    EXPECT_NEAR(plateau / predicted, 1.0, 0.05) << "plateau " << plateau << " pA^2/Hz against " << predicted;

    const auto peak = std::max_element(line.spectrum.begin(), line.spectrum.begin() + n / 2);
    const long bin = long(peak - line.spectrum.begin()) + 1;
    EXPECT_EQ(bin, std::lround(frequency / (fs / n))) << "peak at " << line.frequencies[size_t(bin - 1)];
    // The density integrates to the variance: the line's power A^2/2 plus the noise.
    const double power = std::accumulate(line.spectrum.begin(), line.spectrum.begin() + n / 2, 0.0) * fs / n;
    const double expected = std::pow(amplitude * 1e12, 2) / 2 + 1.0;
    EXPECT_NEAR(power / expected, 1.0, 0.05) << "power " << power << " pA^2 against " << expected;

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
        ASSERT_NO_FATAL_FAILURE(waitFor(results, results.count() + 1));
    EXPECT_EQ(spectrum->channelResult(0).unitLabel, "nA");
}

using W = AnalysisWidget;

constexpr int waitMs = 20000;

class DocksOnAmplifier : public ConsumersOnAmplifier {
  protected:
    QMainWindow window;
};

QCPBars* barsOf(const HistogramWidget& dock) {
    return qobject_cast<QCPBars*>(dock.plot()->plottable(0));
}

// The counts, a Gaussian fit against the cell's holding current and noise, the export over the
// whole range; then, at both window sizes, limited to the region between the cursors the bins
// spread over it, the cursors stay on their ends, and a cursor dragged outwards bins over the
// new region.
TEST_F(DocksOnAmplifier, HistogramShowsTheCountsFitsAGaussianExportsAndBinsBetweenTheCursors) {
    amplifier().setCell(2, noisyCell(20e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    HistogramWidget dock(2);
    dock.setConsumer(histogram.get());
    ASSERT_NO_FATAL_FAILURE(showDocked(window, dock));
    click(dock, W::StartTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return barsOf(dock)->dataCount() == 200; }, waitMs));
    EXPECT_EQ(dock.plot()->xAxis->label(), "pA");
    EXPECT_TRUE(dock.toolButton(W::ExportTool)->isEnabled());

    // Counts grow from result to result: the fit waits for some 40000 samples.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return sumOf(*barsOf(dock)->data()) >= 8 * std::round(hz() * 0.5); }, waitMs));
    click(dock, W::GaussianFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.fitCount() == 1; }, waitMs));
    EXPECT_EQ(dock.fitCurve(0).dataSize(), 200);
    EXPECT_FALSE(dock.toolButton(W::GaussianFitTool)->isEnabled()) << "until the next result";
    const auto text = [&dock](int row, int column) { return cellText(dock.fitTable(), row, column); };
    EXPECT_EQ(text(1, 0), "I gauss");
    const kav4sim::CellParameters cell = amplifier().cell(2);
    const double mean = holding / (cell.membraneResistance + cell.seriesResistance) * 1e12;
    EXPECT_NEAR(labelValue(text(1, 1), "A") * 1e12, mean, 0.01 * mean) << text(1, 1).toStdString();
    EXPECT_NEAR(labelValue(text(1, 2), "A") * 1e12, 20.0, 0.6) << text(1, 2).toStdString();
    // The fit stays through the next result, which allows another.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.toolButton(W::GaussianFitTool)->isEnabled(); }, waitMs));
    EXPECT_EQ(dock.fitCount(), 1);

    const QStringList csv = lines(dock.exportData());
    ASSERT_EQ(csv.size(), 202);
    EXPECT_EQ(csv[0], "Channel:,3");
    EXPECT_EQ(csv[1], "Current [pA],Samples");
    EXPECT_NEAR(csv[2].split(',').value(0).toDouble(), -199.0, 1e-6) << "the middle of bin 0";

    AnalysisPlot* plot = dock.plot();
    const auto binned = [&dock] {
        const QCPBars* bars = barsOf(dock);
        if (bars->dataCount() != 200) return QCPRange(0, 0);
        return QCPRange(bars->data()->at(0)->key - bars->width() / 2,
                        bars->data()->at(199)->key + bars->width() / 2);
    };
    const auto same = [](const QCPRange& a, const QCPRange& b) {
        const double tolerance = 1e-6 * b.size();
        return std::abs(a.lower - b.lower) < tolerance && std::abs(a.upper - b.upper) < tolerance;
    };
    const auto cursorLines = [plot] {
        QList<double> xs;
        for (int i = 0; i < plot->itemCount(); i++)
            if (auto* line = qobject_cast<QCPItemStraightLine*>(plot->item(i)))
                xs.append(line->point1->coords().x());
        std::sort(xs.begin(), xs.end());
        return xs;
    };
    for (const QSize size : {QSize(1366, 768), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        window.resize(size);
        // Over the whole range, -200 to 200 pA.
        ASSERT_TRUE(QTest::qWaitFor([&] { return std::abs(binned().lower + 200.0) < 0.1; }, waitMs));

        click(dock, W::LimitToRoiTool);
        const QCPRange roi = plot->cursorsRange();
        ASSERT_TRUE(QTest::qWaitFor([&] { return same(binned(), roi); }, waitMs));
        ASSERT_EQ(cursorLines().size(), 2);
        EXPECT_TRUE(same({cursorLines()[0], cursorLines()[1]}, roi)) << "drawn where they are";
        EXPECT_TRUE(plot->xAxis->range().contains(roi.lower) && plot->xAxis->range().contains(roi.upper))
            << "both in sight";

        const int y = plot->axisRect()->rect().center().y();
        const QPoint grab(qRound(plot->xAxis->coordToPixel(roi.upper)), y);
        const QPoint drop(qRound(plot->xAxis->coordToPixel(roi.upper + roi.size() / 16)), y);
        QTest::mousePress(plot, Qt::LeftButton, {}, grab);
        QTest::mouseMove(plot, drop);
        QTest::mouseRelease(plot, Qt::LeftButton, {}, drop);
        const QCPRange dragged = plot->cursorsRange();
        EXPECT_NEAR(dragged.upper, roi.upper + roi.size() / 16,
                    2 * plot->xAxis->range().size() / plot->axisRect()->width());
        EXPECT_NEAR(dragged.lower, roi.lower, 1e-9 * roi.size());
        ASSERT_TRUE(QTest::qWaitFor([&] { return same(binned(), dragged); }, waitMs));
        click(dock, W::LimitToRoiTool); // off: the whole range again
    }
    click(dock, W::StopTool);
    EXPECT_FALSE(histogram->isRunning());
}

TEST_F(DocksOnAmplifier, SpectrumTakesItsOptionsFromTheControlsAndShowsTheDensityOrItsRoot) {
    const double sigma = 10e-12;
    amplifier().setCell(1, noisyCell(sigma));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    SpectrumWidget dock(1);
    dock.setConsumer(spectrum.get());
    ASSERT_NO_FATAL_FAILURE(showDocked(window, dock));
    auto* time = labelled<QDoubleSpinBox>(dock, "Minimum integration time");
    auto* bins = labelled<QComboBox>(dock, "FFT bins");
    auto* squared = withText<QCheckBox>(dock, "Squared");
    ASSERT_TRUE(time && bins && squared);
    EXPECT_EQ(spectrum->channelResult(1).fftSize, 512) << "the consumer starts with the dock's defaults";
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 2.0);

    // The user picks 1024 bins and one second.
    bins->setFocus();
    QTest::keyClick(bins, Qt::Key_Down);
    EXPECT_EQ(spectrum->channelResult(1).fftSize, 1024);
    type(time, "1");
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 2.0) << "not before the editing ends";
    QTest::keyClick(time, Qt::Key_Return);
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 1.0);

    click(dock, W::StartTool);
    const Curve& curve = dock.curve();
    ASSERT_TRUE(QTest::qWaitFor([&] { return curve.graph()->dataCount() == 512; }, waitMs));
    const double fs = hz();
    EXPECT_DOUBLE_EQ(curve.graph()->data()->at(0)->key, fs / 1024);
    EXPECT_EQ(dock.plot()->yAxis->label(), QString("pA") + QChar(0x00B2) + "/Hz");
    const auto meanValue = [&curve] { return sumOf(*curve.graph()->data()) / curve.graph()->dataCount(); };
    const double density = 2 * std::pow(sigma * 1e12, 2) / fs;
    EXPECT_NEAR(meanValue() / density, 1.0, 0.1) << "squared: the density";

    QTest::mouseClick(squared, Qt::LeftButton);
    const QString rootLabel = QString("pA/") + QChar(0x221A) + "Hz";
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.plot()->yAxis->label() == rootLabel; }, waitMs));
    // Averaged over ten blocks, the root's mean is within a few percent of the root of the mean.
    EXPECT_NEAR(meanValue() / std::sqrt(density), 1.0, 0.1) << "not squared: the root";

    const QStringList csv = lines(dock.exportData());
    ASSERT_EQ(csv.size(), 514);
    EXPECT_EQ(csv[0], "Current Channel:,2");
    EXPECT_EQ(csv[1], "Frequency [Hz],Current Squared Module [" + rootLabel + "]");
    EXPECT_NEAR(csv[2].split(',').value(0).toDouble(), fs / 1024, 1e-3);
    click(dock, W::StopTool);
    EXPECT_FALSE(spectrum->isRunning());
}

// Three results arrive while the window is busy elsewhere: each running dock of the consumer
// draws once, the latest, and the notifications left behind draw nothing more.
TEST_F(DocksOnAmplifier, ResultsThatArriveTogetherAreDrawnOnce) {
    amplifier().setCell(2, noisyCell(20e-12));
    amplifier().setCell(3, noisyCell(5e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    HistogramWidget dock(2), other(3);
    for (HistogramWidget* d : {&dock, &other})
        d->setConsumer(histogram.get());
    window.addDockWidget(Qt::RightDockWidgetArea, &other);
    ASSERT_NO_FATAL_FAILURE(showDocked(window, dock));
    QCoreApplication::sendPostedEvents(); // the replots the docks queued as they were made
    QSignalSpy drawn(dock.plot(), &QCustomPlot::afterReplot);
    QSignalSpy otherDrawn(other.plot(), &QCustomPlot::afterReplot);

    // Counted in the consumer's thread, so that this one can leave the notifications queued.
    QSemaphore published;
    QObject::connect(
        histogram.get(), &HistogramConsumer::result, histogram.get(), [&published] { published.release(); },
        Qt::DirectConnection);
    click(dock, W::StartTool);
    click(other, W::StartTool);
    ASSERT_TRUE(published.tryAcquire(3, waitMs));
    histogram->onStopConsuming(); // the records stay as the last result left them
    ASSERT_TRUE(QTest::qWaitFor([&] { return drawn.count() > 0 && otherDrawn.count() > 0; }, waitMs));
    QTest::qWait(3 * AnalysisWidget::redrawPeriodMs);
    EXPECT_EQ(drawn.count(), 1);
    EXPECT_EQ(otherDrawn.count(), 1);
    for (HistogramWidget* d : {&dock, &other}) {
        const QList<int> counts = histogram->channelResult(d == &dock ? 2 : 3).counts;
        QList<int> shown;
        for (auto it = barsOf(*d)->data()->constBegin(); it != barsOf(*d)->data()->constEnd(); ++it)
            shown.append(int(it->value));
        EXPECT_EQ(shown, counts) << "the latest result";
    }
    EXPECT_GE(sumOf(*barsOf(dock)->data()), 3 * std::round(hz() * 0.5)) << "three results' samples";
}

} // namespace
