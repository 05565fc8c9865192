#include "analysis/noisereport/noisereportwidget.h"

#include "analysis/framework/analysis.h"
#include "analysis/framework/resultformat.h"
#include "recording/labbookevent.h"
#include "widgets/copyabletable.h"

#include "commlib/types/kv4cltypes.h"

#include <QAction>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QSettings>

#include <cmath>

namespace {

constexpr double defaultWindow = 0.5; // s
constexpr double shortestWindow = 0.1;
constexpr double longestWindow = 600.0;

// Shown down to the resolution of the channel's range.
QString cellText(const kv4cl::Measurement_t& value, const kv4cl::RangedMeasurement_t& range) {
    if (std::isinf(value.value))
        return QString(value.value > 0 ? "inf " : "-inf ") + QString::fromStdString(value.unit);
    const double resolution = range.step * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
    return resultText(value, supportedDigits(value.value, resolution));
}

// The window kept in the settings; one edited into what the box does not take is dropped, with
// a warning once, and the default is used.
double storedWindow() {
    QSettings settings;
    const QVariant stored = settings.value(NoiseReportWidget::windowKey);
    if (!stored.isValid()) return defaultWindow;
    bool ok = false;
    const double seconds = stored.toDouble(&ok);
    if (ok && seconds >= shortestWindow && seconds <= longestWindow) return seconds;
    qWarning("The setting %s, \"%s\", is no window of %g to %g s: it is dropped and %g s is used",
             qPrintable(NoiseReportWidget::windowKey), qPrintable(stored.toString()), shortestWindow,
             longestWindow, defaultWindow);
    settings.remove(NoiseReportWidget::windowKey);
    return defaultWindow;
}

} // namespace

const QString NoiseReportWidget::windowKey = "Analysis/Online/Settings/noiseReportWindow";

// Always every channel at once.
NoiseReportWidget::NoiseReportWidget(const ChannelCounts& channels, QWidget* parent)
    : AnalysisDock(channels, int(channels.current), {LabbookTool, ExportTool}, parent) {
    analysisTitle = noiseReportTitle;
    setWindowTitle(analysisTitle);
    window = new QDoubleSpinBox(plotFrame());
    window->setRange(shortestWindow, longestWindow);
    window->setDecimals(1);
    window->setSuffix(" s");
    window->setValue(storedWindow());
    auto* windowLabel = new QLabel("Window:", plotFrame());
    windowLabel->setBuddy(window);
    auto* windowRow = new QHBoxLayout;
    windowRow->addWidget(windowLabel);
    windowRow->addWidget(window);
    windowRow->addStretch();
    static_cast<QBoxLayout*>(plotFrame()->layout())->addLayout(windowRow);
    values = new CopyableTable(plotFrame());
    installEventFilter(values);
    plotFrame()->layout()->addWidget(values);
    connect(window, &QDoubleSpinBox::valueChanged, this, [this](double seconds) {
        QSettings().setValue(windowKey, seconds);
        markStale(values, staleAfterSettings);
    });
    connect(this, &AnalysisWidget::stopConsuming, this, [this] { markStale(values, staleAfterStop); });
    setChannelsNumber(voltageChannelsNum, currentChannelsNum, gpChannelsNum);
}

void NoiseReportWidget::setChannelsNumber(int voltageChannels, int currentChannels, int gpChannels) {
    voltageChannelsNum = voltageChannels;
    currentChannelsNum = currentChannels;
    currentChannelIdx = currentChannels;
    gpChannelsNum = gpChannels;
    currentRanges.resize(size_t(currentChannels));
    gpRanges.resize(size_t(gpChannels));
    for (int g = int(gpNames.size()); g < gpChannels; g++)
        gpNames << QString("GP %1").arg(g + 1);
    gpNames = gpNames.mid(0, gpChannels);

    QStringList labels;
    for (int v = 0; v < voltageChannels; v++)
        labels << (voltageChannels == 1 ? QString("Vc") : QString("V Ch. %1").arg(v + 1));
    for (int c = 0; c < currentChannels; c++)
        labels << (currentChannels == 1 ? QString("I") : QString("I Ch. %1").arg(c + 1));
    labels << gpNames;

    const int rows = int(labels.size());
    means.assign(size_t(rows), kv4cl::Measurement_t{std::nan(""), kv4cl::UnitPfxNone, ""});
    stds = means;
    values->clear();
    values->setRowCount(rows);
    values->setColumnCount(2);
    values->setHorizontalHeaderLabels({"Average", "  RMS  "});
    values->setVerticalHeaderLabels(labels);
    values->verticalHeader()->setDefaultSectionSize(20);
}

void NoiseReportWidget::setConsumer(NoiseReportConsumer* consumer) {
    AnalysisDock::setConsumer(consumer);
    // The producer's names: each device's over several, a recording's own when one plays.
    gpNames = consumer->gpChannelNames();
    setChannelsNumber(voltageChannelsNum, currentChannelsNum, gpChannelsNum);
    connect(window, &QDoubleSpinBox::valueChanged, consumer, &NoiseReportConsumer::onWindowChanged);
    consumer->onWindowChanged(window->value());
}

void NoiseReportWidget::onResult(NoiseReportConsumer::Result_t res) {
    const auto rangeOf = [this](int row) -> const kv4cl::RangedMeasurement_t& {
        if (row < voltageChannelsNum) return voltageRange;
        if (row < voltageChannelsNum + currentChannelsNum)
            return currentRanges[size_t(row - voltageChannelsNum)];
        return gpRanges[size_t(row - voltageChannelsNum - currentChannelsNum)];
    };
    shown = res;
    const QList<double> allMeans = res.voltageMeans + res.currentMeans + res.gpMeans;
    const QList<double> allStds = res.voltageStds + res.currentStds + res.gpStds;
    const int rows = std::min(int(means.size()), int(allMeans.size()));
    for (int row = 0; row < rows; row++) {
        const kv4cl::RangedMeasurement_t& range = rangeOf(row);
        means[size_t(row)] = {allMeans[row], kv4cl::UnitPfxNone, range.unit};
        stds[size_t(row)] = {allStds[row], kv4cl::UnitPfxNone, range.unit};
        values->setItem(row, 0, new QTableWidgetItem(cellText(means[size_t(row)], range)));
        values->setItem(row, 1, new QTableWidgetItem(cellText(stds[size_t(row)], range)));
    }
    markStale(values, QString());
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
}

QString NoiseReportWidget::exportData() {
    return noiseReportCsv(shown, voltageRange, currentRanges, gpRanges, gpNames, separator);
}

void NoiseReportWidget::onSaveToLabbook() {
    for (int c = 0; c < currentChannelsNum; c++) {
        const size_t row = size_t(voltageChannelsNum + c);
        emit labbookEvent(new LabbookEventNoiseReport(c + 1, means[row], stds[row]));
    }
}

Analysis noiseReportAnalysis() {
    return analysisOf<NoiseReportConsumer, NoiseReportWidget>({.key = "noiseReport",
                                                               .title = noiseReportTitle,
                                                               .placement = AnalysisPlacement::Docked,
                                                               .filterLabel = "Noise report",
                                                               .filterKey = "NoiseReport"});
}
