#include "analysis/ivgraph/ivgraphwidget.h"

#include "analysis/compute/datafitter.h"
#include "analysis/framework/analysis.h"
#include "analysis/framework/resultformat.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"
#include "recording/labbookevent.h"

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QTableWidget>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr int sigmoidPoints = 50;
// Styles of Curve: discs without a line for the points, lines for the fits.
constexpr int pointsStyle = 5;
constexpr int lineStyle = 0;
constexpr int sigmoidStyle = 4;

kv4cl::Measurement_t bare(double value, const char* unit) {
    return {value, kv4cl::UnitPfxNone, unit};
}

QLabel* labelFor(const QString& text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setBuddy(buddy);
    return label;
}

} // namespace

const QStringList IvGraphWidget::colours = {"Red",     "LightSalmon", "SteelBlue",     "Yellow",
                                            "Fuchsia", "PaleGreen",   "PaleTurquoise", "Cornsilk",
                                            "HotPink", "Peru",        "Maroon"};

IvGraphWidget::IvGraphWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent)
    : AnalysisDock(channels, currentChannelIdx,
                   {LimitToRoiTool, ExportTool, LinearFitTool, BoltzmannFitTool, ViewFitTool}, parent) {
    analysisTitle = ivGraphTitle(currentChannelIdx);
    setWindowTitle(analysisTitle);
    setMinimumSize(320, 240);

    auto* content = new QWidget(plotFrame());
    auto* controls = new QGridLayout;
    transient = new QDoubleSpinBox(content);
    transient->setRange(0.0, 10000.0);
    transient->setValue(0.0);
    transient->setSingleStep(0.1);
    transient->setDecimals(1);
    newData = new QComboBox(content);
    newData->addItems({"Replace", "Append"});
    mode = new QComboBox(content);
    mode->addItems({"Average value", "Maximum value", "Minimum value"});
    auto* help = new QLabel(content);
    help->setPixmap(
        QPixmap(":/imgs/help icon.png").scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    help->setToolTip("Average value: the current coordinate corresponds to the average value\n"
                     "Maximum value: the current coordinate corresponds to the highest value\n"
                     "Minimum value: the current coordinate corresponds to the lowest value\n");
    controls->addWidget(labelFor("Ignore transient:", transient, content), 0, 0);
    controls->addWidget(transient, 0, 1);
    controls->addWidget(new QLabel("ms", content), 0, 2);
    controls->addWidget(labelFor("New data:", newData, content), 1, 0);
    controls->addWidget(newData, 1, 1);
    controls->addWidget(labelFor("Current value:", mode, content), 2, 0);
    controls->addWidget(mode, 2, 1);
    controls->addWidget(help, 2, 2);

    auto* results = new QFrame(content);
    results->setToolTip("Perform linear fit to estimate these parameters");
    results->setFrameShape(QFrame::StyledPanel);
    auto* values = new QGridLayout(results);
    conductanceValue = new QLabel(results);
    offsetValue = new QLabel(results);
    reversalValue = new QLabel(results);
    const std::pair<const char*, QLabel*> rows[] = {{"Conductance:", conductanceValue},
                                                    {"Current offset:", offsetValue},
                                                    {"Reversal potential:", reversalValue}};
    for (int row = 0; row < 3; row++) {
        values->addWidget(labelFor(rows[row].first, rows[row].second, results), row, 0);
        values->addWidget(rows[row].second, row, 1);
    }
    values->setColumnStretch(1, 1);

    ivPlot = new AnalysisPlot(content);
    ivPlot->legend->setVisible(true);
    // Curves of a membrane rise to the right: the lower right corner stays clear longest.
    ivPlot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignBottom | Qt::AlignRight);
    ivPlot->setCursorsVisible(false);

    auto* top = new QHBoxLayout;
    top->addLayout(controls);
    top->addWidget(results, 1);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(ivPlot, 1);
    plotFrame()->layout()->addWidget(content);

    linearFitter = new LinearDataFitter(this);
    sigmoidFitter = new BoltzmannSigmoidDataFitter(this);
    connect(linearFitter, &LinearDataFitter::fitted, this,
            qOverload<const LinearFitModel&>(&IvGraphWidget::onFitted), Qt::QueuedConnection);
    connect(sigmoidFitter, &BoltzmannSigmoidDataFitter::fitted, this,
            qOverload<const BoltzmannSigmoidFitModel&>(&IvGraphWidget::onFitted), Qt::QueuedConnection);
    refresh.setSingleShot(true);
    refresh.setInterval(500);
    connect(&refresh, &QTimer::timeout, this, &IvGraphWidget::onUpdatePlot);
    // A region dragged anew: the fits made on the old one no longer hold.
    connect(ivPlot, &AnalysisPlot::cursorsMoved, this, [this] {
        if (limitToRoi) onLimitToRoi(true);
    });

    toolButton(LimitToRoiTool)->setToolTip("Compute data fits only on selected region of interest");
}

IvGraphWidget::~IvGraphWidget() {
    linearFitter->join();
    sigmoidFitter->join();
}

void IvGraphWidget::setConsumer(IvGraphConsumer* consumer) {
    AnalysisDock::setConsumer(consumer);
    // Every start opens a series: the thread's, and this channel's on a thread that runs
    // already for another one.
    connect(consumer, &AnalysisConsumer::analyzing, this, [this](bool on) {
        if (on) newSeriesPending = true;
    });
    connect(this, &AnalysisWidget::startConsuming, this, [this] { newSeriesPending = true; });
    connect(transient, &QDoubleSpinBox::valueChanged, this, [this](double ms) {
        this->consumer()->onTransientIgnoreChanged(currentChannelIdx, ms);
        fitReadOutsStale();
    });
    connect(mode, &QComboBox::currentIndexChanged, this, [this](int index) {
        this->consumer()->onModeChanged(currentChannelIdx, index);
        fitReadOutsStale();
    });
}

void IvGraphWidget::fitReadOutsStale() {
    // The points start over: the last fit was made on others.
    for (QLabel* value : {conductanceValue, offsetValue, reversalValue})
        if (!value->text().isEmpty()) markStale(value, staleAfterSettings);
}

void IvGraphWidget::onResult() {
    // One consumer serves the docks of every channel: only a running one redraws.
    if (!toolButton(StartTool)->isChecked()) return;
    if (!refresh.isActive()) refresh.start();
}

IvGraphWidget::Series& IvGraphWidget::addSeries(std::vector<std::unique_ptr<Series>>& list,
                                                const QString& title, int style, const QColor& color) {
    auto series = std::make_unique<Series>();
    series->title = title;
    series->curve = std::make_unique<Curve>(style, 2.0, color);
    series->curve->attach(ivPlot->xAxis, ivPlot->yAxis);
    series->curve->graph()->setName(title);
    list.push_back(std::move(series));
    return *list.back();
}

void IvGraphWidget::onUpdatePlot() {
    if (!consumer()) return;
    const IvGraphConsumer::Record record = consumer()->channelResult(currentChannelIdx);
    if (std::exchange(newSeriesPending, false)) {
        toolAction(LinearFitTool)->setEnabled(true);
        toolAction(BoltzmannFitTool)->setEnabled(true);
        const bool replace = newData->currentIndex() == 0;
        if (replace) {
            dataCurves.clear(); // each curve leaves the plot as it goes
            clearFits();
            // The read-outs were of the series replaced.
            for (QLabel* value : {conductanceValue, offsetValue, reversalValue})
                value->clear();
        }
        if (dataCurves.empty()) {
            voltageMultiplier = record.voltageMultiplier;
            currentMultiplier = record.currentMultiplier;
            ivPlot->xAxis->setLabel(record.voltageUnitLabel);
            ivPlot->yAxis->setLabel(record.currentUnitLabel);
        }
        const QString title = recording ? seriesName
                              : replace ? QString("Series 1")
                                        : QString("Series %1").arg(dataCurves.size() + 1);
        addSeries(dataCurves, title, pointsStyle, QColor(colours[int(dataCurves.size()) % colours.size()]));
    }
    if (dataCurves.empty()) return;

    // A series measured on another current range is brought to the unit on the axis.
    const double ratio = record.currentMultiplier / currentMultiplier;
    const double scale = ratio < 0.75 || ratio > 1.5 ? ratio : 1.0;
    Series& series = *dataCurves.back();
    series.x.clear();
    series.y.clear();
    for (const QPointF& point : record.points) {
        series.x.append(point.x());
        series.y.append(point.y() * scale);
    }
    // The plot draws the points by voltage.
    std::vector<int> order(size_t(series.x.size()));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) { return series.x[a] < series.x[b]; });
    series.shownX.clear();
    series.shownY.clear();
    for (int i : order) {
        series.shownX.append(series.x[i]);
        series.shownY.append(series.y[i]);
    }
    series.curve->setRawSamples(series.shownX.constData(), series.shownY.constData(),
                                int(series.shownX.size()));
    series.curve->updateData();
    rescale();
    ivPlot->replot();
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
}

void IvGraphWidget::rescale() {
    if (!ivPlot->zoomStack().isEmpty()) return; // the user's zoom stays
    QCPRange xs, ys;
    bool any = false;
    for (const auto* list : {&dataCurves, &fitCurves})
        for (const auto& series : *list)
            for (int i = 0; i < series->shownX.size(); i++) {
                const double x = series->shownX[i], y = series->shownY[i];
                if (!std::isfinite(x) || !std::isfinite(y)) continue;
                if (!any) {
                    xs = {x, x};
                    ys = {y, y};
                    any = true;
                }
                xs.expand(x);
                ys.expand(y);
            }
    if (!any) return;
    const auto widened = [](QCPRange r) {
        const double margin = r.size() > 0 ? r.size() * 0.05 : std::max(1.0, std::abs(r.lower) * 0.05);
        return QCPRange(r.lower - margin, r.upper + margin);
    };
    ivPlot->xAxis->setRange(widened(xs));
    ivPlot->yAxis->setRange(widened(ys));
}

void IvGraphWidget::clearFits() {
    fitCurves.clear();
    fitRows = 0;
    fitTable()->clearContents();
    fitTable()->setRowCount(6);
}

void IvGraphWidget::onLimitToRoi(bool flag) {
    limitToRoi = flag;
    ivPlot->setCursorsVisible(flag);
    fitCurves.clear();
    toolAction(LinearFitTool)->setEnabled(!dataCurves.empty());
    toolAction(BoltzmannFitTool)->setEnabled(!dataCurves.empty());
    ivPlot->replot();
}

bool IvGraphWidget::loadLastSeries(DataFitter& fitter, const QString& name) {
    if (dataCurves.empty()) return false;
    // The fit before may still be ending its thread: its points are not to be replaced under it.
    fitter.join();
    const Series& series = *dataCurves.back();
    const QCPRange roi = ivPlot->cursorsRange();
    QList<QPointF> points;
    for (int i = 0; i < series.x.size(); i++)
        if (!limitToRoi || roi.contains(series.x[i])) points.append({series.x[i], series.y[i]});
    fitter.loadPoints(points);
    if (!fitter.enoughPoints()) {
        ivPlot->setTopLeftText(QString("%1 fit: %2 points needed, %3 %4")
                                   .arg(name)
                                   .arg(fitter.parameterCount())
                                   .arg(fitter.count())
                                   .arg(limitToRoi ? "in the region of interest" : "available"));
        ivPlot->replot();
        return false;
    }
    ivPlot->setTopLeftText(QString());
    return true;
}

void IvGraphWidget::onLinearFit() {
    if (loadLastSeries(*linearFitter, "Linear")) linearFitter->fit();
}

void IvGraphWidget::onBoltzmannSigmoidFit() {
    if (loadLastSeries(*sigmoidFitter, "Boltzmann sigmoid")) sigmoidFitter->fit();
}

IvGraphWidget::Series& IvGraphWidget::addFit(const QString& suffix, int style,
                                             std::vector<IvFitParameter> parameters) {
    const Series& data = *dataCurves.back();
    Series& fit = addSeries(fitCurves, data.title + suffix, style, data.curve->color());
    fit.parameters = std::move(parameters);
    QTableWidget* table = fitTable();
    if (fitRows + 2 > table->rowCount()) table->setRowCount(fitRows + 2);
    table->setItem(fitRows + 1, 0, new QTableWidgetItem(fit.title));
    for (size_t k = 0; k < fit.parameters.size(); k++) {
        const int column = int(k) + 1;
        if (column >= table->columnCount()) table->setColumnCount(column + 1);
        table->setItem(fitRows, column, new QTableWidgetItem(fit.parameters[k].name));
        table->setItem(fitRows + 1, column, new QTableWidgetItem(resultText(fit.parameters[k].value)));
    }
    fitRows += 2;
    return fit;
}

void IvGraphWidget::onFitted(const LinearFitModel& model) {
    linearFitter->takeHandOver();
    if (dataCurves.empty()) return;
    const std::vector<IvFitParameter> parameters =
        ivLinearFitParameters(model, voltageMultiplier, currentMultiplier);
    const bool valid = std::isfinite(parameters[2].value.value);
    Series& fit = addFit(", lin", lineStyle, parameters);
    linearFitter->fittedCurve(model, 2, fit.shownX, fit.shownY);
    fit.x = fit.shownX;
    fit.y = fit.shownY;
    fit.curve->setRawSamples(fit.shownX.constData(), fit.shownY.constData(), int(fit.shownX.size()));
    fit.curve->updateData();

    QLabel* const readOuts[] = {conductanceValue, offsetValue, reversalValue};
    for (size_t k = 0; k < 3; k++) {
        readOuts[k]->setText(resultText(fit.parameters[k].value));
        markStale(readOuts[k], QString());
    }
    emit labbookEvent(new LabbookEventIVGraph(currentChannelIdx + 1, parameters[0].value, parameters[1].value,
                                              valid, parameters[2].value));
    ivPlot->replot();
}

void IvGraphWidget::onFitted(const BoltzmannSigmoidFitModel& model) {
    sigmoidFitter->takeHandOver();
    if (dataCurves.empty()) return;
    Series& fit =
        addFit(fitLabel(", sig", model.converged), sigmoidStyle,
               {{"min activation", bare(model.minActivation * currentMultiplier, "A")},
                {"max activation", bare(model.maxActivation * currentMultiplier, "A")},
                {"half activation voltage", bare(model.halfActivationVoltage * voltageMultiplier, "V")},
                {"inverse slope", bare(model.inverseSlope * voltageMultiplier, "V")}});
    sigmoidFitter->fittedCurve(model, sigmoidPoints, fit.shownX, fit.shownY);
    fit.x = fit.shownX;
    fit.y = fit.shownY;
    fit.curve->setRawSamples(fit.shownX.constData(), fit.shownY.constData(), int(fit.shownX.size()));
    fit.curve->updateData();
    ivPlot->replot();
}

QString IvGraphWidget::exportData() {
    std::vector<IvSeries> series;
    for (const auto& one : dataCurves)
        series.push_back({one->title, one->x, one->y});
    std::vector<IvFit> fits;
    for (const auto& fit : fitCurves)
        fits.push_back({fit->title, fit->parameters});
    return ivGraphCsv(currentChannelIdx, ivPlot->xAxis->label(), ivPlot->yAxis->label(), series, fits,
                      separator);
}

Analysis ivGraphAnalysis() {
    return analysisOf<IvGraphConsumer, IvGraphWidget>({.key = "ivGraph",
                                                       .title = "I/V Graph",
                                                       .placement = AnalysisPlacement::PerChannel,
                                                       .filterLabel = "I/V graph",
                                                       .filterKey = "IVGraph"});
}
