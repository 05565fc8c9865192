#include "analysis/spectrum/spectrumwidget.h"

#include "analysis/framework/analysis.h"
#include "analysis/framework/resultformat.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QLayout>

#include <algorithm>
#include <cmath>

namespace {

void setLogScale(QCPAxis* axis, bool on) {
    axis->setScaleType(on ? QCPAxis::stLogarithmic : QCPAxis::stLinear);
    axis->setTicker(on ? QSharedPointer<QCPAxisTicker>(new QCPAxisTickerLog)
                       : QSharedPointer<QCPAxisTicker>::create());
}

// The range of the positive values only, for a log axis; the whole range otherwise.
QCPRange valueRange(const QList<double>& values, bool positiveOnly) {
    QCPRange range(0.0, 0.0);
    bool first = true;
    for (double v : values) {
        if (!std::isfinite(v) || (positiveOnly && v <= 0.0)) continue;
        if (first) range = QCPRange(v, v), first = false;
        range.expand(v);
    }
    return range;
}

} // namespace

SpectrumWidget::SpectrumWidget(const ChannelCounts& channels, int currentChannelIdx, QWidget* parent)
    : AnalysisDock(channels, currentChannelIdx, {ExportTool}, parent) {
    analysisTitle = spectrumTitle(currentChannelIdx);
    setWindowTitle(analysisTitle);
    setMinimumSize(320, 240);

    auto* controls = new QWidget(plotFrame());
    auto* grid = new QGridLayout(controls);
    grid->setContentsMargins(4, 4, 4, 4);
    auto* timeLabel = new QLabel("Minimum integration time", controls);
    integrationTime = new QDoubleSpinBox(controls);
    integrationTime->setRange(1.0, 20.0);
    integrationTime->setSingleStep(0.5);
    integrationTime->setValue(2.0);
    timeLabel->setBuddy(integrationTime);
    auto* binsLabel = new QLabel("FFT bins", controls);
    fftBins = new QComboBox(controls);
    fftBins->addItems({"512", "1024", "2048", "4096", "8192", "16384", "32768"});
    binsLabel->setBuddy(fftBins);
    logX = new QCheckBox("Log X-axis", controls);
    logY = new QCheckBox("Log Y-axis", controls);
    squared = new QCheckBox("Squared", controls);
    squared->setChecked(true);
    // Three short rows, so that the dock keeps its minimum width.
    grid->addWidget(timeLabel, 0, 0, 1, 2);
    grid->addWidget(integrationTime, 0, 2);
    grid->addWidget(new QLabel("s", controls), 0, 3);
    grid->addWidget(binsLabel, 1, 0, 1, 2);
    grid->addWidget(fftBins, 1, 2);
    grid->addWidget(logX, 2, 0);
    grid->addWidget(logY, 2, 1);
    grid->addWidget(squared, 2, 2);
    grid->setColumnStretch(4, 1);
    plotFrame()->layout()->addWidget(controls);

    spectrumPlot = new AnalysisPlot(plotFrame());
    spectrumPlot->xAxis->setLabel("Hz");
    spectrumPlot->setCursorsVisible(false);
    spectrumCurve = std::make_unique<Curve>();
    spectrumCurve->attach(spectrumPlot->xAxis, spectrumPlot->yAxis);
    plotFrame()->layout()->addWidget(spectrumPlot);

    connect(fftBins, &QComboBox::currentIndexChanged, this, &SpectrumWidget::onApplyParameters);
    connect(integrationTime, &QDoubleSpinBox::editingFinished, this, &SpectrumWidget::onApplyParameters);
    connect(logX, &QCheckBox::clicked, this, &SpectrumWidget::onLogAxisRequest);
    connect(logY, &QCheckBox::clicked, this, &SpectrumWidget::onLogAxisRequest);
    connect(squared, &QCheckBox::clicked, this, &SpectrumWidget::onSquaredRequest);
}

SpectrumWidget::~SpectrumWidget() = default;

void SpectrumWidget::setConsumer(SpectrumConsumer* consumer) {
    AnalysisDock::setConsumer(consumer);
    connect(this, &SpectrumWidget::setOptions, consumer, &SpectrumConsumer::onSetOptions);
    onApplyParameters();
}

void SpectrumWidget::onApplyParameters() {
    SpectrumConsumer::Options_t options{fftBins->currentText().toInt(),
                                        {integrationTime->value(), kv4cl::UnitPfxNone, "s"}};
    emit setOptions(currentChannelIdx, options);
}

void SpectrumWidget::onLogAxisRequest() {
    if (logX->isChecked() != xIsLog) setLogScale(spectrumPlot->xAxis, xIsLog = logX->isChecked());
    if (logY->isChecked() != yIsLog) setLogScale(spectrumPlot->yAxis, yIsLog = logY->isChecked());
    if (!shown.frequencies.isEmpty() && spectrumPlot->zoomStack().isEmpty()) {
        spectrumPlot->xAxis->setRange(valueRange(shown.frequencies, xIsLog));
        spectrumPlot->yAxis->setRange(valueRange(shown.values, yIsLog));
    }
    spectrumPlot->replot();
}

void SpectrumWidget::redraw() {
    const SpectrumRecord record = consumer()->channelResult(currentChannelIdx);
    shown = ::spectrumCurve(record, squared->isChecked());
    spectrumPlot->yAxis->setLabel(shown.unitLabel);
    spectrumCurve->setRawSamples(shown.frequencies.constData(), shown.values.constData(),
                                 int(shown.frequencies.size()));
    spectrumCurve->updateData();
    if (spectrumPlot->zoomStack().isEmpty()) {
        spectrumPlot->xAxis->setRange(valueRange(shown.frequencies, xIsLog));
        spectrumPlot->yAxis->setRange(valueRange(shown.values, yIsLog));
    }
    // Samples that were not numbers (a saturated or overflowed channel) drop their blocks. Set
    // only when it changes: the text queues a replot of its own.
    const QString invalid = record.invalidSamples > 0
                                ? QString("%1 samples were not numbers").arg(record.invalidSamples)
                                : QString();
    if (spectrumPlot->topLeftText() != invalid) spectrumPlot->setTopLeftText(invalid);
    spectrumPlot->replot();
    toolAction(ExportTool)->setEnabled(true);
}

QString SpectrumWidget::exportData() {
    return spectrumCsv(currentChannelIdx, shown, separator);
}

Analysis spectrumAnalysis() {
    return analysisOf<SpectrumConsumer, SpectrumWidget>({.key = "spectrum",
                                                         .title = "Spectrum",
                                                         .placement = AnalysisPlacement::PerChannel,
                                                         .filterLabel = "Spectrum",
                                                         .filterKey = "Spectrum"});
}
