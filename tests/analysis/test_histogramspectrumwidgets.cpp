// The histogram and spectrum docks driven as the user drives them, in a 1366 x 768 window on
// a virtual amplifier: Start, the Gaussian fit, the region of interest, the FFT bins, the
// integration time and the axis boxes, and what each shows and exports.

#include "tests/analysis/consumersonamplifier.h"
#include "tests/analysis/dockdriver.h"

#include "analysis/histogramwidget.h"
#include "analysis/spectrumwidget.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QTableWidget>

#include <numeric>

namespace {

using namespace kv4test;

constexpr int waitMs = 20000;

class DocksOnAmplifier : public ConsumersOnAmplifier {
  protected:
    QMainWindow window;
};

QCPBars* barsOf(const HistogramWidget& dock) {
    return qobject_cast<QCPBars*>(dock.plot()->plottable(0));
}

QStringList lines(const QString& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

TEST_F(DocksOnAmplifier, HistogramShowsTheCountsFitsAGaussianAndBinsOverTheRegionOfInterest) {
    amplifier().setCell(2, noisyCell(20e-12));
    ASSERT_NO_FATAL_FAILURE(startProducing());
    HistogramWidget dock(2);
    dock.setConsumer(histogram.get());
    ASSERT_NO_FATAL_FAILURE(showDocked(window, dock));
    EXPECT_EQ(dock.windowTitle(), "Histogram - channel 3");
    EXPECT_EQ(dock.minimumSize(), QSize(320, 240));
    EXPECT_EQ(dock.toolButton(AnalysisWidget::LimitToRoiTool)->toolTip(),
              "Compute histogram on selected region of interest");
    using W = AnalysisWidget;
    ASSERT_NO_FATAL_FAILURE(expectToolbar(dock,
                                          {W::StartTool, W::ResetTool, W::StopTool, W::LimitToRoiTool,
                                           W::ExportTool, W::GaussianFitTool, W::ViewFitTool},
                                          {W::ResetTool, W::StopTool, W::ExportTool, W::GaussianFitTool},
                                          {true, true, false}));

    click(dock, W::StartTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return barsOf(dock)->dataCount() == 200; }, waitMs));
    EXPECT_EQ(dock.plot()->xAxis->label(), "pA");
    EXPECT_EQ(dock.plot()->yAxis->label(), "samples");
    EXPECT_TRUE(dock.toolButton(W::GaussianFitTool)->isEnabled());
    EXPECT_TRUE(dock.toolButton(W::ExportTool)->isEnabled());

    // Counts grow from result to result: the fit waits for some 40000 samples.
    const auto samples = [&dock] {
        double sum = 0;
        for (auto it = barsOf(dock)->data()->constBegin(); it != barsOf(dock)->data()->constEnd(); ++it)
            sum += it->value;
        return sum;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return samples() >= 8 * std::round(hz() * 0.5); }, waitMs));
    click(dock, W::GaussianFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.fitCount() == 1; }, waitMs));
    EXPECT_EQ(dock.fitCurve(0).color(), QColor("Red"));
    EXPECT_EQ(dock.fitCurve(0).dataSize(), 200);
    EXPECT_EQ(dock.fitCurve(0).graph()->name(), "I gauss");
    EXPECT_FALSE(dock.toolButton(W::GaussianFitTool)->isEnabled()) << "until the next result";
    const QTableWidget* table = dock.fitTable();
    const auto text = [table](int row, int column) {
        return table->item(row, column) ? table->item(row, column)->text() : QString("<empty>");
    };
    EXPECT_EQ(text(0, 1), "mean");
    EXPECT_EQ(text(0, 2), "std");
    EXPECT_EQ(text(1, 0), "I gauss");
    const kav4sim::CellParameters cell = amplifier().cell(2);
    const double mean = holding / (cell.membraneResistance + cell.seriesResistance) * 1e12;
    EXPECT_NEAR(labelValue(text(1, 1), "A") * 1e12, mean, 0.01 * mean) << text(1, 1).toStdString();
    EXPECT_NEAR(labelValue(text(1, 2), "A") * 1e12, 20.0, 0.6) << text(1, 2).toStdString();
    click(dock, W::ViewFitTool);
    EXPECT_TRUE(dock.fitFrame()->isVisible());
    click(dock, W::ViewFitTool);

    // The fit stays through the next result, which allows another.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.toolButton(W::GaussianFitTool)->isEnabled(); }, waitMs));
    EXPECT_EQ(dock.fitCount(), 1);
    EXPECT_EQ(text(1, 0), "I gauss");

    // Limited to the region between the cursors, the bars span it.
    click(dock, W::LimitToRoiTool);
    const QCPRange roi = dock.plot()->cursorsRange();
    ASSERT_LT(roi.lower, roi.upper);
    const double width = roi.size() / 200;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return barsOf(dock)->dataCount() == 200 &&
                   std::abs(barsOf(dock)->data()->at(0)->key - (roi.lower + width / 2)) < width * 1e-6;
        },
        waitMs))
        << "bars from " << barsOf(dock)->data()->at(0)->key << " instead of " << roi.lower + width / 2;

    const QStringList csv = lines(dock.exportData());
    ASSERT_EQ(csv.size(), 202);
    EXPECT_EQ(csv[0], "Channel:,3");
    EXPECT_EQ(csv[1], "Current [pA],Samples");
    const QStringList first = csv[2].split(',');
    ASSERT_EQ(first.size(), 2);
    EXPECT_NEAR(first[0].toDouble(), roi.lower + width / 2, width * 1e-4) << "the middle of bin 0";

    click(dock, W::LimitToRoiTool); // off: over the whole range again
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return std::abs(barsOf(dock)->data()->at(0)->key + 199.0) < 0.1; }, waitMs))
        << "bars from " << barsOf(dock)->data()->at(0)->key;
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
    EXPECT_EQ(dock.windowTitle(), "Spectrum - channel 2");
    EXPECT_EQ(dock.minimumSize(), QSize(320, 240));
    using W = AnalysisWidget;
    ASSERT_NO_FATAL_FAILURE(expectToolbar(dock, {W::StartTool, W::ResetTool, W::StopTool, W::ExportTool},
                                          {W::ResetTool, W::StopTool, W::ExportTool}, {true, false, false}));

    auto* time = labelled<QDoubleSpinBox>(dock, "Minimum integration time");
    auto* bins = labelled<QComboBox>(dock, "FFT bins");
    auto* logX = withText<QCheckBox>(dock, "Log X-axis");
    auto* logY = withText<QCheckBox>(dock, "Log Y-axis");
    auto* squared = withText<QCheckBox>(dock, "Squared");
    ASSERT_TRUE(time && bins && logX && logY && squared);
    EXPECT_EQ(time->minimum(), 1.0);
    EXPECT_EQ(time->maximum(), 20.0);
    EXPECT_EQ(time->value(), 2.0);
    EXPECT_EQ(time->singleStep(), 0.5);
    QStringList items;
    for (int i = 0; i < bins->count(); i++)
        items << bins->itemText(i);
    EXPECT_EQ(items, QStringList({"512", "1024", "2048", "4096", "8192", "16384", "32768"}));
    EXPECT_EQ(bins->currentText(), "512");
    EXPECT_FALSE(logX->isChecked());
    EXPECT_FALSE(logY->isChecked());
    EXPECT_TRUE(squared->isChecked());
    EXPECT_EQ(spectrum->channelResult(1).fftSize, 512) << "the consumer starts with the dock's defaults";
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 2.0);

    // The user picks 1024 bins and one second.
    bins->setFocus();
    QTest::keyClick(bins, Qt::Key_Down);
    EXPECT_EQ(spectrum->channelResult(1).fftSize, 1024);
    time->setFocus();
    time->selectAll();
    QTest::keyClicks(time, "1");
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 2.0) << "not before the editing ends";
    QTest::keyClick(time, Qt::Key_Return);
    EXPECT_EQ(spectrum->channelResult(1).minimumIntegrationTime, 1.0);

    click(dock, W::StartTool);
    const Curve& curve = dock.curve();
    ASSERT_TRUE(QTest::qWaitFor([&] { return curve.graph()->dataCount() == 512; }, waitMs));
    const double fs = hz();
    EXPECT_DOUBLE_EQ(curve.graph()->data()->at(0)->key, fs / 1024);
    EXPECT_EQ(dock.plot()->xAxis->label(), "Hz");
    EXPECT_EQ(dock.plot()->yAxis->label(), QString("pA") + QChar(0x00B2) + "/Hz");
    const auto meanValue = [&curve] {
        double sum = 0;
        for (auto it = curve.graph()->data()->constBegin(); it != curve.graph()->data()->constEnd(); ++it)
            sum += it->value;
        return sum / curve.graph()->dataCount();
    };
    const double density = 2 * std::pow(sigma * 1e12, 2) / fs;
    EXPECT_NEAR(meanValue() / density, 1.0, 0.1) << "squared: the density";

    QTest::mouseClick(squared, Qt::LeftButton);
    const QString rootLabel = QString("pA/") + QChar(0x221A) + "Hz";
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.plot()->yAxis->label() == rootLabel; }, waitMs));
    // Averaged over ten blocks, the root's mean is within a few percent of the root of the mean.
    EXPECT_NEAR(meanValue() / std::sqrt(density), 1.0, 0.1) << "not squared: the root";

    const struct {
        QCheckBox* box;
        QCPAxis* axis;
    } boxes[] = {{logX, dock.plot()->xAxis}, {logY, dock.plot()->yAxis}};
    for (const auto& b : boxes) {
        QTest::mouseClick(b.box, Qt::LeftButton);
        EXPECT_EQ(b.axis->scaleType(), QCPAxis::stLogarithmic) << b.box->text().toStdString();
    }
    for (const auto& b : boxes) {
        QTest::mouseClick(b.box, Qt::LeftButton);
        EXPECT_EQ(b.axis->scaleType(), QCPAxis::stLinear) << b.box->text().toStdString();
    }

    const QStringList csv = lines(dock.exportData());
    ASSERT_EQ(csv.size(), 514);
    EXPECT_EQ(csv[0], "Current Channel:,2");
    EXPECT_EQ(csv[1], "Frequency [Hz],Current Squared Module [" + rootLabel + "]");
    EXPECT_NEAR(csv[2].split(',').value(0).toDouble(), fs / 1024, 1e-3);
    click(dock, W::StopTool);
    EXPECT_FALSE(spectrum->isRunning());
}

} // namespace
