// The histogram and spectrum docks driven as the user drives them, in a window on a virtual
// amplifier whose cells have known noise: Start, the Gaussian fit against the cell, the region
// of interest at both window sizes, the FFT bins and the integration time, and what each shows.
// (The records against known noise and sinusoids: their own tests; the spectrum's export against
// a recorded cell: the command line's analyse.)

#include "tests/analysis/consumersonamplifier.h"
#include "tests/analysis/dockdriver.h"

#include "analysis/histogram/histogramwidget.h"
#include "analysis/spectrum/spectrumwidget.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>

#include <cmath>

namespace {

using namespace kv4test;

using W = AnalysisWidget;

constexpr int waitMs = 20000;

class DocksOnAmplifier : public ConsumersOnAmplifier {
  protected:
    QMainWindow window;
};

QCPBars* barsOf(const HistogramWidget& dock) {
    return qobject_cast<QCPBars*>(dock.plot()->plottable(0));
}

// The counts, a Gaussian fit against the cell's holding current and noise, the export; then, at
// both window sizes, limited to the region between the cursors the bins spread over it, and a
// cursor dragged outwards bins over the new region.
TEST_F(DocksOnAmplifier, HistogramShowsTheCountsFitsAGaussianExportsAndBinsBetweenTheCursors) {
    amplifier().setCell(2, noisyCell(20e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    HistogramWidget dock(producer->channelCounts(), 2);
    dock.setConsumer(histogram.get());
    ASSERT_NO_FATAL_FAILURE(showDocked(window, dock));
    click(dock, W::StartTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return barsOf(dock)->dataCount() == 200; }, waitMs));

    // Counts grow from result to result: the fit waits for some 40000 samples.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return sumOf(*barsOf(dock)->data()) >= 8 * std::round(hz() * 0.5); }, waitMs));
    click(dock, W::GaussianFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.fitCount() == 1; }, waitMs));
    const auto text = [&dock](int row, int column) { return cellText(dock.fitTable(), row, column); };
    const kav4sim::CellParameters cell = amplifier().cell(2);
    const double mean = holding / (cell.membraneResistance + cell.seriesResistance) * 1e12;
    EXPECT_NEAR(labelValue(text(1, 1), "A") * 1e12, mean, 0.01 * mean) << text(1, 1).toStdString();
    EXPECT_NEAR(labelValue(text(1, 2), "A") * 1e12, 20.0, 0.6) << text(1, 2).toStdString();
    // The export: every bin by its middle, over the whole range.
    const QStringList csv = lines(dock.exportData());
    ASSERT_EQ(csv.size(), 202);
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
    for (const QSize size : {QSize(1366, 768), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        window.resize(size);
        // Over the whole range, -200 to 200 pA.
        ASSERT_TRUE(QTest::qWaitFor([&] { return std::abs(binned().lower + 200.0) < 0.1; }, waitMs));

        click(dock, W::LimitToRoiTool);
        const QCPRange roi = plot->cursorsRange();
        ASSERT_TRUE(QTest::qWaitFor([&] { return same(binned(), roi); }, waitMs));

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
    SpectrumWidget dock(producer->channelCounts(), 1);
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
    QTest::keyClick(time, Qt::Key_Return);
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 1.0);

    click(dock, W::StartTool);
    const Curve& curve = dock.curve();
    ASSERT_TRUE(QTest::qWaitFor([&] { return curve.graph()->dataCount() == 512; }, waitMs));
    const double fs = hz();
    EXPECT_DOUBLE_EQ(curve.graph()->data()->at(0)->key, fs / 1024);
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
    EXPECT_EQ(csv[1], "Frequency [Hz],Current Squared Module [" + rootLabel + "]");
    click(dock, W::StopTool);
    EXPECT_FALSE(spectrum->isRunning());
}

} // namespace
