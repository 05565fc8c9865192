#include "analysis/eventdetection/eventdetectionwidget.h"

#include "analysis/compute/datafitter.h"
#include "analysis/framework/analysis.h"
#include "analysis/framework/currentlimitbox.h"
#include "analysis/framework/resultformat.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"
#include "plots/histogramcurve.h"
#include "recording/labbookevent.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr int fitPoints = 200;
constexpr int pointsStyle = 5; // Curve: dots without a line

const QStringList fitColours = {"Red",           "LightSalmon", "SteelBlue", "Yellow", "Fuchsia", "PaleGreen",
                                "PaleTurquoise", "Cornsilk",    "HotPink",   "Peru",   "Maroon"};

kv4cl::Measurement_t seconds(double value, const char* unit = "s") {
    return {value, kv4cl::UnitPfxNone, unit};
}

QDoubleSpinBox* spinBox(double min, double max, double value, QWidget* parent) {
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(min, max);
    box->setSingleStep(0.1);
    box->setDecimals(1);
    box->setValue(value);
    return box;
}

void showBins(AnalysisPlot* plot, HistogramCurve* bars, const EventHistogram& histogram) {
    bars->setBins(histogram.lowerEdge, histogram.binWidth, histogram.counts);
    plot->xAxis->setLabel(histogram.unitLabel);
    if (plot->zoomStack().isEmpty() && !histogram.counts.isEmpty()) {
        plot->xAxis->setRange(histogram.lowerEdge,
                              histogram.lowerEdge + histogram.binCount * histogram.binWidth);
        const int highest = *std::max_element(histogram.counts.begin(), histogram.counts.end());
        plot->yAxis->setRange(0.0, std::max(1.0, highest * 1.05));
    }
}

} // namespace

EventDetectionWidget::EventDetectionWidget(const ChannelCounts& channels, int currentChannelIdx,
                                           QWidget* parent)
    : AnalysisDock(channels, currentChannelIdx,
                   {LimitToRoiTool, LabbookTool, ExportTool, GaussianFitTool, ViewFitTool}, parent) {
    analysisTitle = eventDetectionTitle(currentChannelIdx);
    setWindowTitle(analysisTitle);
    setMinimumSize(320, 240);

    auto* content = new QWidget(plotFrame());
    const kv4cl::RangedMeasurement_t range =
        currentRanges.empty() ? kv4cl::RangedMeasurement_t{} : currentRanges[size_t(currentChannelIdx)];
    threshold1 = new CurrentLimitBox(content);
    threshold2 = new CurrentLimitBox(content);
    for (CurrentLimitBox* box : {threshold1, threshold2})
        box->setRange(range);
    threshold1->setValue(range.max * 0.25);
    threshold2->setValue(range.max / 10);
    minDwell = spinBox(0.0, 10000.0, 0.0, content);
    maxDwell = spinBox(0.0, 10000.0, 200.0, content);
    baselineTau = spinBox(0.01, 1000.0, 0.1, content);
    // With one decimal the box would round its minimum of 10 ms to 0, a tau that means nothing.
    baselineTau->setDecimals(2);
    baselineTau->setMinimum(0.01);
    baselineTau->setToolTip("Time constant of the baseline filter: after a step in the current the baseline\n"
                            "has moved 63 % of the way to the new level in this time.");
    apply = new QPushButton("Apply parameters", content);
    auto* help = new QLabel(content);
    help->setPixmap(
        QPixmap(":/imgs/help icon.png").scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    help->setToolTip("Detect current events. A valid event starts when the current\n"
                     "surpasses Threshold 1 and then goes below Threshold 2\n"
                     "in a time in the range [Min dwell time; Max dwell time].\n"
                     "The thresholds are computed with respect to the current baseline.\n"
                     "The baseline is tracked with a first order filter with time constant Baseline tau.\n"
                     "Set Threshold 1 negative to detect negative events (below baseline).");
    auto* controls = new QGridLayout;
    const QString currentUnit = QString::fromStdString(range.label());
    const struct {
        const char* label;
        QDoubleSpinBox* box;
        QString unit;
    } rows[] = {{"Threshold 1:", threshold1, currentUnit},
                {"Threshold 2:", threshold2, currentUnit},
                {"Min dwell time:", minDwell, "ms"},
                {"Max dwell time:", maxDwell, "ms"},
                {"Baseline tau:", baselineTau, "s"}};
    for (int row = 0; row < 5; row++) {
        auto* label = new QLabel(rows[row].label, content);
        label->setBuddy(rows[row].box);
        auto* unit = new QLabel(rows[row].unit, content);
        if (row < 2) thresholdUnits.append(unit);
        controls->addWidget(label, row, 0);
        controls->addWidget(rows[row].box, row, 1);
        controls->addWidget(unit, row, 2);
    }
    controls->addWidget(apply, 5, 0, 1, 2);
    controls->addWidget(help, 5, 2);
    // Dwell times of a channel with one open and one closed state are exponential; two
    // components for a channel with two of either.
    components = new QSpinBox(content);
    components->setRange(1, ExponentialFitModel::maxComponents);
    auto* componentsLabel = new QLabel("Exponentials:", content);
    componentsLabel->setBuddy(components);
    exponentialFit = new QPushButton("Exponential fit", content);
    exponentialFit->setToolTip(
        "Fit the open and the closed times' histograms with a sum of exponentials:\n"
        "their time constants and weights (the share of the events) go to the fit table.");
    exponentialFit->setEnabled(false);
    controls->addWidget(componentsLabel, 6, 0);
    controls->addWidget(components, 6, 1);
    controls->addWidget(exponentialFit, 7, 0, 1, 2);

    auto* results = new QFrame(content);
    results->setFrameShape(QFrame::StyledPanel);
    auto* values = new QGridLayout(results);
    eventsValue = new QLabel(results);
    dwellValue = new QLabel(results);
    gapValue = new QLabel(results);
    rateValue = new QLabel(results);
    const std::pair<const char*, QLabel*> readOuts[] = {{"Detected events:", eventsValue},
                                                        {"Average dwell time:", dwellValue},
                                                        {"Average inter time event:", gapValue},
                                                        {"Average event rate:", rateValue}};
    for (int row = 0; row < 4; row++) {
        auto* label = new QLabel(readOuts[row].first, results);
        label->setBuddy(readOuts[row].second);
        values->addWidget(label, row, 0);
        values->addWidget(readOuts[row].second, row, 1);
    }
    values->setColumnStretch(1, 1);
    values->setRowStretch(4, 1);

    const auto makePlot = [content](const QString& yTitle) {
        auto* plot = new AnalysisPlot(content);
        plot->yAxis->setLabel(yTitle);
        plot->setCursorsVisible(false);
        plot->setMinimumSize(160, 120);
        return plot;
    };
    dwellHistogramPlot = makePlot("events");
    amplitudeHistogramPlot = makePlot("events");
    eventsPlot = makePlot("ms");
    closedHistogramPlot = makePlot("closed times");
    dwellBars = new HistogramCurve(dwellHistogramPlot->xAxis, dwellHistogramPlot->yAxis);
    amplitudeBars = new HistogramCurve(amplitudeHistogramPlot->xAxis, amplitudeHistogramPlot->yAxis);
    closedBars = new HistogramCurve(closedHistogramPlot->xAxis, closedHistogramPlot->yAxis);
    scatter = std::make_unique<Curve>(pointsStyle, 3.0, QColor("SteelBlue"));
    scatter->attach(eventsPlot->xAxis, eventsPlot->yAxis);

    auto* top = new QHBoxLayout;
    top->addLayout(controls);
    top->addWidget(results, 1);
    auto* histograms = new QHBoxLayout;
    histograms->addWidget(dwellHistogramPlot);
    histograms->addWidget(amplitudeHistogramPlot);
    histograms->addWidget(closedHistogramPlot);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addLayout(histograms, 1);
    layout->addWidget(eventsPlot, 1);
    plotFrame()->layout()->addWidget(content);

    timeFitter = new GaussianDataFitter(this);
    currentFitter = new GaussianDataFitter(this);
    connect(timeFitter, &GaussianDataFitter::fitted, this, &EventDetectionWidget::onTimeFitted,
            Qt::QueuedConnection);
    connect(currentFitter, &GaussianDataFitter::fitted, this, &EventDetectionWidget::onCurrentFitted,
            Qt::QueuedConnection);
    openFitter = new ExponentialDataFitter(this);
    closedFitter = new ExponentialDataFitter(this);
    connect(openFitter, &ExponentialDataFitter::fitted, this, &EventDetectionWidget::onOpenFitted,
            Qt::QueuedConnection);
    connect(closedFitter, &ExponentialDataFitter::fitted, this, &EventDetectionWidget::onClosedFitted,
            Qt::QueuedConnection);
    connect(exponentialFit, &QPushButton::clicked, this, &EventDetectionWidget::onExponentialFit);
    connect(apply, &QPushButton::clicked, this, &EventDetectionWidget::onApplyParameters);
    connect(this, &AnalysisWidget::stopConsuming, this, [this] { markReadOuts(staleAfterStop); });
    // A region dragged anew on either histogram: the fits made on the old one no longer hold.
    for (AnalysisPlot* plot : {dwellHistogramPlot, amplitudeHistogramPlot, closedHistogramPlot})
        connect(plot, &AnalysisPlot::cursorsMoved, this, [this] {
            if (toolButton(LimitToRoiTool)->isChecked()) clearFits();
        });

    toolButton(LimitToRoiTool)->setToolTip("Compute data fits only on selected region of interest");
}

EventDetectionWidget::~EventDetectionWidget() {
    for (DataFitter* fitter :
         std::initializer_list<DataFitter*>{timeFitter, currentFitter, openFitter, closedFitter})
        fitter->join();
}

const Curve& EventDetectionWidget::fitCurve(int index) const {
    return *fits.at(size_t(index))->curve;
}

void EventDetectionWidget::setConsumer(EventDetectionConsumer* consumer) {
    AnalysisDock::setConsumer(consumer);
    connect(this, &EventDetectionWidget::setOptions, consumer, &EventDetectionConsumer::onSetOptions);
    onApplyParameters(); // the consumer starts with what the boxes show
}

void EventDetectionWidget::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    AnalysisWidget::onCurrentRangeChanged(range, channelIdx);
    if (channelIdx != currentChannelIdx && channelIdx != currentChannelsNum) return;
    // The thresholds keep their meaning in the new unit, within the new range.
    for (CurrentLimitBox* box : {threshold1, threshold2})
        box->setRange(range);
    for (QLabel* unit : thresholdUnits)
        unit->setText(QString::fromStdString(range.label()));
}

void EventDetectionWidget::onApplyParameters() {
    EventDetectionConsumer::Options_t options;
    options.dwellRange = {minDwell->value(), maxDwell->value(), 1.0, kv4cl::UnitPfxMilli, "s"};
    options.threshold1 = threshold1->measurement();
    options.threshold2 = threshold2->measurement();
    options.baselineTau = seconds(baselineTau->value());
    emit setOptions(currentChannelIdx, options);
    markReadOuts(staleAfterSettings);
}

void EventDetectionWidget::markReadOuts(const QString& why) {
    for (QLabel* value : {eventsValue, dwellValue, gapValue, rateValue})
        markStale(value, value->text().isEmpty() ? QString() : why);
}

void EventDetectionWidget::redraw() {
    shown = consumer()->channelResult(currentChannelIdx);
    showBins(dwellHistogramPlot, dwellBars, shown.dwellHistogram);
    showBins(amplitudeHistogramPlot, amplitudeBars, shown.amplitudeHistogram);
    showBins(closedHistogramPlot, closedBars, shown.closedHistogram);
    // A plot's graph takes its points in the order of x: the events are sorted by amplitude.
    std::vector<std::pair<double, double>> points(size_t(shown.amplitudes.size()));
    for (size_t i = 0; i < points.size(); i++)
        points[i] = {shown.amplitudes[qsizetype(i)], shown.dwells[qsizetype(i)]};
    std::sort(points.begin(), points.end());
    scatterX.resize(qsizetype(points.size()));
    scatterY.resize(qsizetype(points.size()));
    for (size_t i = 0; i < points.size(); i++)
        std::tie(scatterX[qsizetype(i)], scatterY[qsizetype(i)]) = points[i];
    scatter->setRawSamples(scatterX.constData(), scatterY.constData(), int(scatterX.size()));
    scatter->updateData();
    eventsPlot->xAxis->setLabel(shown.amplitudeHistogram.unitLabel);
    eventsPlot->yAxis->setLabel(shown.dwellHistogram.unitLabel);
    if (eventsPlot->zoomStack().isEmpty()) {
        // A margin, so that the outermost events are drawn whole.
        eventsPlot->rescaleAxes();
        eventsPlot->xAxis->scaleRange(1.1);
        eventsPlot->yAxis->scaleRange(1.1);
    }
    // The fits made stay over the histograms that grow on.
    for (AnalysisPlot* plot : {dwellHistogramPlot, amplitudeHistogramPlot, closedHistogramPlot, eventsPlot})
        plot->replot();

    eventsValue->setText(QString::number(shown.eventCount));
    dwellValue->setText(resultText(seconds(shown.averageDwell)));
    gapValue->setText(resultText(seconds(shown.averageGap)));
    // With a single event there is no gap yet: the rate is 1 / dwell.
    rateValue->setText(resultText(seconds(1.0 / (shown.averageDwell + shown.averageGap), "Hz")));
    markReadOuts(QString());
    for (Tool t : {LabbookTool, ExportTool, GaussianFitTool})
        toolAction(t)->setEnabled(true);
    exponentialFit->setEnabled(true);
}

void EventDetectionWidget::clearFits() {
    fits.clear(); // each curve leaves its plot as it goes
    exponentialFits.clear();
    fitRows = 0;
    fitTable()->clearContents();
    fitTable()->setRowCount(6);
    for (AnalysisPlot* plot : {dwellHistogramPlot, amplitudeHistogramPlot, closedHistogramPlot})
        plot->replot();
}

void EventDetectionWidget::onLimitToRoi(bool flag) {
    for (AnalysisPlot* plot : {dwellHistogramPlot, amplitudeHistogramPlot, closedHistogramPlot}) {
        plot->setCursorsVisible(flag);
        plot->replot();
    }
}

bool EventDetectionWidget::fitting() const {
    return timeFitter->isRunning() || currentFitter->isRunning() || openFitter->isRunning() ||
           closedFitter->isRunning();
}

void EventDetectionWidget::loadBins(DataFitter* fitter, const EventHistogram& h, const AnalysisPlot* plot) {
    if (!toolButton(LimitToRoiTool)->isChecked()) {
        fitter->loadHistogram(h.lowerEdge, h.binWidth, h.counts);
        return;
    }
    // Only the bins whose middle lies between the plot's cursors.
    const QCPRange roi = plot->cursorsRange();
    QList<QPointF> points;
    for (int i = 0; i < h.counts.size(); i++) {
        const double middle = h.lowerEdge + (i + 0.5) * h.binWidth;
        if (middle >= roi.lower && middle <= roi.upper) points.append({middle, double(h.counts[i])});
    }
    fitter->loadPoints(points);
}

void EventDetectionWidget::onGaussianFit() {
    if (shown.eventCount == 0 || fitting()) return;
    clearFits(); // the new fits replace those of histograms gone by
    const struct {
        GaussianDataFitter* fitter;
        const EventHistogram& histogram;
        AnalysisPlot* plot;
    } loads[] = {{timeFitter, shown.dwellHistogram, dwellHistogramPlot},
                 {currentFitter, shown.amplitudeHistogram, amplitudeHistogramPlot}};
    for (const auto& load : loads) {
        loadBins(load.fitter, load.histogram, load.plot);
        load.fitter->fit();
    }
    toolAction(GaussianFitTool)->setEnabled(false); // until the next result
}

void EventDetectionWidget::onExponentialFit() {
    // The closed times start with the second event.
    if (shown.eventCount < 2 || fitting()) return;
    clearFits();
    for (ExponentialDataFitter* fitter : {openFitter, closedFitter})
        fitter->setComponents(components->value());
    loadBins(openFitter, shown.dwellHistogram, dwellHistogramPlot);
    loadBins(closedFitter, shown.closedHistogram, closedHistogramPlot);
    openFitter->fit();
    closedFitter->fit();
    exponentialFit->setEnabled(false); // until the next result
}

void EventDetectionWidget::onOpenFitted(const ExponentialFitModel& model) {
    openFitter->takeHandOver();
    addExponentialFit(openFitter, dwellHistogramPlot, model, "Open exp");
}

void EventDetectionWidget::onClosedFitted(const ExponentialFitModel& model) {
    closedFitter->takeHandOver();
    addExponentialFit(closedFitter, closedHistogramPlot, model, "Closed exp");
}

void EventDetectionWidget::addExponentialFit(ExponentialDataFitter* fitter, AnalysisPlot* plot,
                                             const ExponentialFitModel& model, const QString& name) {
    const QString title = fitLabel(name, model.converged);
    if (!drawFit(fitter, plot, model, title)) return;
    exponentialFits.append({title, model});
    QStringList header{""}, values{title};
    for (int i : exponentialOrder(model)) {
        const int n = int(header.size() + 1) / 2;
        header << QString("tau %1").arg(n) << QString("weight %1").arg(n);
        values << resultText({model.timeConstants[i], shown.dwellRange.prefix, shown.dwellRange.unit})
               << QString::number(model.weight(i), 'f', 3);
    }
    QTableWidget* table = fitTable();
    if (fitRows + 2 > table->rowCount()) table->setRowCount(table->rowCount() + 2);
    for (const QStringList& row : {header, values}) {
        for (int column = 0; column < row.size(); column++)
            if (!row[column].isEmpty()) table->setItem(fitRows, column, new QTableWidgetItem(row[column]));
        fitRows++;
    }
}

bool EventDetectionWidget::drawFit(const DataFitter* fitter, AnalysisPlot* plot, const IFitModel& model,
                                   const QString& title) {
    auto fit = std::make_unique<Fit>();
    if (!fitter->fittedCurve(model, fitPoints, fit->x, fit->y)) return false;
    fit->curve = std::make_unique<Curve>(0, 2.0, QColor(fitColours[int(fits.size()) % fitColours.size()]));
    fit->curve->setRawSamples(fit->x.constData(), fit->y.constData(), int(fit->x.size()));
    fit->curve->attach(plot->xAxis, plot->yAxis);
    fit->curve->graph()->setName(title);
    fits.push_back(std::move(fit));
    plot->replot();
    return true;
}

void EventDetectionWidget::onTimeFitted(const GaussianFitModel& model) {
    timeFitter->takeHandOver();
    const kv4cl::RangedMeasurement_t& dwell = shown.dwellRange;
    addFit(timeFitter, dwellHistogramPlot, model, "D gauss", {0.0, dwell.prefix, dwell.unit});
}

void EventDetectionWidget::onCurrentFitted(const GaussianFitModel& model) {
    currentFitter->takeHandOver();
    const kv4cl::RangedMeasurement_t& current = currentRanges[size_t(currentChannelIdx)];
    addFit(currentFitter, amplitudeHistogramPlot, model, "A gauss", {0.0, current.prefix, current.unit});
}

void EventDetectionWidget::addFit(GaussianDataFitter* fitter, AnalysisPlot* plot,
                                  const GaussianFitModel& model, const QString& name,
                                  const kv4cl::Measurement_t& unit) {
    const QString title = fitLabel(name, model.converged);
    if (!drawFit(fitter, plot, model, title)) return;

    QTableWidget* table = fitTable();
    if (fitRows + 2 > table->rowCount()) table->setRowCount(table->rowCount() + 2);
    const QStringList rows[] = {{"", "mean", "std"},
                                {title, resultText({model.mean, unit.prefix, unit.unit}),
                                 resultText({model.standardDeviation, unit.prefix, unit.unit})}};
    for (const QStringList& row : rows) {
        for (int column = 0; column < row.size(); column++)
            if (!row[column].isEmpty()) table->setItem(fitRows, column, new QTableWidgetItem(row[column]));
        fitRows++;
    }
}

void EventDetectionWidget::onSaveToLabbook() {
    emit labbookEvent(new LabbookEventEventsDetection(
        currentChannelIdx + 1, seconds(shown.averageDwell), seconds(shown.averageGap),
        seconds(1.0 / (shown.averageDwell + shown.averageGap), "Hz")));
}

QString EventDetectionWidget::exportData() {
    return eventDetectionCsv(currentChannelIdx, shown, exponentialFits, separator);
}

Analysis eventDetectionAnalysis() {
    return analysisOf<EventDetectionConsumer, EventDetectionWidget>(
        {.key = "eventDetection",
         .title = "Event detection",
         .placement = AnalysisPlacement::PerChannel,
         .filterLabel = "Event detection",
         .filterKey = "EventDetection"});
}
