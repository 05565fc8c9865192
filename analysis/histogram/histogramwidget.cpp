#include "analysis/histogram/histogramwidget.h"

#include "analysis/compute/datafitter.h"
#include "analysis/framework/analysis.h"
#include "analysis/framework/resultformat.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"
#include "plots/histogramcurve.h"

#include <QAction>
#include <QLayout>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>

namespace {

constexpr int fitPoints = 200;

} // namespace

const QStringList HistogramWidget::fitColours = {"Red",     "LightSalmon", "SteelBlue",     "Yellow",
                                                 "Fuchsia", "PaleGreen",   "PaleTurquoise", "Cornsilk",
                                                 "HotPink", "Peru",        "Maroon"};

HistogramWidget::HistogramWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent)
    : AnalysisDock(channels, currentChannelIdx, {LimitToRoiTool, ExportTool, GaussianFitTool, ViewFitTool},
                   parent) {
    analysisTitle = histogramTitle(currentChannelIdx);
    setWindowTitle(analysisTitle);
    setMinimumSize(320, 240);

    histogramPlot = new AnalysisPlot(plotFrame());
    histogramPlot->yAxis->setLabel("samples");
    histogramPlot->setCursorsVisible(false);
    bars = new HistogramCurve(histogramPlot->xAxis, histogramPlot->yAxis);
    plotFrame()->layout()->addWidget(histogramPlot);

    fitter = new GaussianDataFitter(this);
    connect(fitter, &GaussianDataFitter::fitted, this, &HistogramWidget::onCurrentFitted,
            Qt::QueuedConnection);
    // A region dragged anew while the histogram is limited to it: bin over the new one.
    connect(histogramPlot, &AnalysisPlot::cursorsMoved, this, [this] {
        if (toolButton(LimitToRoiTool)->isChecked()) onLimitToRoi(true);
    });

    toolButton(LimitToRoiTool)->setToolTip("Compute histogram on selected region of interest");
}

HistogramWidget::~HistogramWidget() = default;

const Curve& HistogramWidget::fitCurve(int index) const {
    return *fits.at(size_t(index))->curve;
}

void HistogramWidget::redraw() {
    shown = consumer()->channelResult(currentChannelIdx);
    if (shown.counts.isEmpty()) return;
    toolAction(GaussianFitTool)->setEnabled(true);
    bars->setBins(shown.lowerEdge, shown.binWidth, shown.counts);
    histogramPlot->xAxis->setLabel(shown.unitLabel);
    const QCPRange binned(shown.lowerEdge, shown.lowerEdge + shown.binCount * shown.binWidth);
    if (histogramPlot->zoomStack().isEmpty()) {
        // Limited, with a margin: the cursors at the ends of the bins stay in sight, to be
        // dragged either way.
        const double margin = shown.limited ? binned.size() / 8 : 0.0;
        histogramPlot->xAxis->setRange(binned.lower - margin, binned.upper + margin);
        const int highest = *std::max_element(shown.counts.begin(), shown.counts.end());
        histogramPlot->yAxis->setRange(0.0, std::max(1.0, highest * 1.05));
    }
    if (shown.limited) histogramPlot->pinCursors(binned);
    // Samples that were not numbers (a saturated or overflowed channel) are in no bin. Set
    // only when it changes: the text queues a replot of its own.
    const QString invalid = shown.invalidSamples > 0
                                ? QString("%1 samples were not numbers").arg(shown.invalidSamples)
                                : QString();
    if (histogramPlot->topLeftText() != invalid) histogramPlot->setTopLeftText(invalid);
    // A fit made stays over the histogram that grows on.
    histogramPlot->replot();
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
}

void HistogramWidget::clearFits() {
    fits.clear(); // each curve leaves the plot as it goes
    fitRows = 0;
    fitTable()->clearContents();
    fitTable()->setRowCount(6);
}

void HistogramWidget::onLimitToRoi(bool flag) {
    histogramPlot->setCursorsVisible(flag);
    // Limited, the cursors mark the range binned, which the next result spreads over the axis;
    // otherwise they follow the axis from where they are.
    const QCPRange roi = histogramPlot->cursorsRange();
    if (flag)
        histogramPlot->pinCursors(roi);
    else
        histogramPlot->unpinCursors();
    if (!consumer()) return;
    if (flag)
        consumer()->setLimits(currentChannelIdx, roi.lower, roi.upper);
    else
        consumer()->clearLimits(currentChannelIdx);
}

void HistogramWidget::onGaussianFit() {
    if (shown.counts.isEmpty() || fitter->isRunning()) return;
    clearFits(); // the new fit replaces the one of a histogram gone by
    fitter->loadHistogram(shown.lowerEdge, shown.binWidth, shown.counts);
    fitter->fit();
}

void HistogramWidget::onCurrentFitted(const GaussianFitModel& model) {
    fitter->takeHandOver();
    auto fit = std::make_unique<Fit>();
    if (!fitter->fittedCurve(model, fitPoints, fit->x, fit->y)) return;
    fit->curve = std::make_unique<Curve>(0, 2.0, QColor(fitColours[int(fits.size()) % fitColours.size()]));
    fit->curve->setRawSamples(fit->x.constData(), fit->y.constData(), int(fit->x.size()));
    fit->curve->attach(histogramPlot->xAxis, histogramPlot->yAxis);
    const QString title = fitLabel("I gauss", model.converged);
    fit->curve->graph()->setName(title);
    fits.push_back(std::move(fit));
    toolAction(GaussianFitTool)->setEnabled(false);
    histogramPlot->replot();

    QTableWidget* table = fitTable();
    if (fitRows + 2 > table->rowCount()) table->setRowCount(table->rowCount() + 2);
    const QStringList rows[] = {{"", "mean", "std"},
                                {title, resultText({model.mean, kv4cl::UnitPfx_t(shown.prefix), "A"}),
                                 resultText({model.standardDeviation, kv4cl::UnitPfx_t(shown.prefix), "A"})}};
    for (const QStringList& row : rows) {
        for (int column = 0; column < row.size(); column++)
            if (!row[column].isEmpty()) table->setItem(fitRows, column, new QTableWidgetItem(row[column]));
        fitRows++;
    }
}

QString HistogramWidget::exportData() {
    return histogramCsv(currentChannelIdx, shown, separator);
}

Analysis histogramAnalysis() {
    return analysisOf<HistogramConsumer, HistogramWidget>({.key = "histogram",
                                                           .title = "Histogram",
                                                           .placement = AnalysisPlacement::PerChannel,
                                                           .filterLabel = "Histogram",
                                                           .filterKey = "Histogram"});
}
