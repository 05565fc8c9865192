#include "analysis/noisereportwidget.h"

#include "app/widgets/copyabletable.h"
#include "app/widgets/valuelabel.h"
#include "recording/labbookevent.h"

#include "commlib/api/kv4cl.h"

#include <QAction>
#include <QFrame>
#include <QHeaderView>
#include <QLayout>
#include <QPointer>
#include <QTextStream>

#include <cmath>

namespace {

QString cellText(const kv4cl::Measurement_t& value) {
    if (std::isnan(value.value)) return "-";
    if (std::isinf(value.value))
        return QString(value.value > 0 ? "inf " : "-inf ") + QString::fromStdString(value.unit);
    return measurementDisplay(value);
}

// The value in the range's prefix, and the heading's "[prefix unit]".
double inRange(const kv4cl::Measurement_t& value, const kv4cl::RangedMeasurement_t& range) {
    return value.converted(range.prefix).value;
}
QString unitOf(const kv4cl::RangedMeasurement_t& range) {
    return "[" + QString::fromStdString(kv4cl::Measurement_t{0.0, range.prefix, range.unit}.label()) + "]:";
}

} // namespace

// Always every channel at once.
NoiseReportWidget::NoiseReportWidget(QWidget* parent) : AnalysisWidget(0, parent) {
    currentChannelIdx = currentChannelsNum;
    analysisTitle = "Noise Report";
    setWindowTitle(analysisTitle);
    values = new CopyableTable(plotFrame());
    installEventFilter(values);
    plotFrame()->layout()->addWidget(values);

    for (Tool t :
         {LimitToRoiTool, ViewDataTool, LinearFitTool, BoltzmannFitTool, GaussianFitTool, ViewFitTool})
        toolAction(t)->setVisible(false);
    separatorAction(2)->setVisible(false);
    toolAction(LabbookTool)->setEnabled(false);
    toolAction(ExportTool)->setEnabled(false);
}

void NoiseReportWidget::setChannelsNumber(int voltageChannels, int currentChannels, int gpChannels) {
    voltageChannelsNum = voltageChannels;
    currentChannelsNum = currentChannels;
    currentChannelIdx = currentChannels;
    gpChannelsNum = gpChannels;
    currentRanges.resize(size_t(currentChannels));
    gpRanges.resize(size_t(gpChannels));
    std::vector<std::vector<kv4cl::RangedMeasurement_t>> ranges;
    std::vector<uint16_t> defaults;
    std::vector<std::string> names;
    kv4cl::getGpRanges(ranges, defaults, names);
    gpNames.clear();
    for (int g = 0; g < gpChannels; g++)
        gpNames << (size_t(g) < names.size() ? QString::fromStdString(names[size_t(g)])
                                             : QString("GP %1").arg(g + 1));

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

void NoiseReportWidget::setConsumer(AnalysisConsumer* analysisConsumer) {
    AnalysisWidget::setConsumer(analysisConsumer);
    // The copy is read after the consumer's hand-over (a consumer already gone has ended its
    // thread, which orders it).
    const QPointer<NoiseReportConsumer> from = static_cast<NoiseReportConsumer*>(analysisConsumer);
    connect(
        from, &NoiseReportConsumer::result, this,
        [this, from](const NoiseReportConsumer::Result_t& res) {
            if (from) from->takeHandOver();
            onResult(res);
        },
        Qt::QueuedConnection);
}

void NoiseReportWidget::onResult(NoiseReportConsumer::Result_t res) {
    const auto unit = [this](int row) -> std::string {
        if (row < voltageChannelsNum) return voltageRange.unit;
        if (row < voltageChannelsNum + currentChannelsNum)
            return currentRanges[size_t(row - voltageChannelsNum)].unit;
        return gpRanges[size_t(row - voltageChannelsNum - currentChannelsNum)].unit;
    };
    const QList<double> allMeans = res.voltageMeans + res.currentMeans + res.gpMeans;
    const QList<double> allStds = res.voltageStds + res.currentStds + res.gpStds;
    const int rows = std::min(int(means.size()), int(allMeans.size()));
    for (int row = 0; row < rows; row++) {
        means[size_t(row)] = {allMeans[row], kv4cl::UnitPfxNone, unit(row)};
        stds[size_t(row)] = {allStds[row], kv4cl::UnitPfxNone, unit(row)};
        values->setItem(row, 0, new QTableWidgetItem(cellText(means[size_t(row)])));
        values->setItem(row, 1, new QTableWidgetItem(cellText(stds[size_t(row)])));
    }
    toolAction(LabbookTool)->setEnabled(true);
    toolAction(ExportTool)->setEnabled(true);
}

QString NoiseReportWidget::exportData() {
    QString text;
    QTextStream out(&text);
    const QString& s = separator;
    const auto rowsOf = [&](int first, int count, const auto& rangeOf) {
        for (int k = 0; k < count; k++) {
            const kv4cl::RangedMeasurement_t& range = rangeOf(k);
            out << k + 1 << s << inRange(means[size_t(first + k)], range) << s
                << inRange(stds[size_t(first + k)], range) << "\n";
        }
    };
    if (voltageChannelsNum > 0) {
        out << "Channel:" << s << "Mean voltage " << unitOf(voltageRange) << s << "Voltage std "
            << unitOf(voltageRange) << "\n";
        rowsOf(0, voltageChannelsNum, [&](int) -> const kv4cl::RangedMeasurement_t& { return voltageRange; });
    }
    if (currentChannelsNum > 0) {
        const kv4cl::RangedMeasurement_t& range = currentRanges.front();
        out << "Channel:" << s << "Mean current " << unitOf(range) << s << "Current std " << unitOf(range)
            << "\n";
        rowsOf(voltageChannelsNum, currentChannelsNum,
               [&](int k) -> const kv4cl::RangedMeasurement_t& { return currentRanges[size_t(k)]; });
    }
    for (int g = 0; g < gpChannelsNum; g++) {
        const kv4cl::RangedMeasurement_t& range = gpRanges[size_t(g)];
        out << gpNames[g] << ":" << s << "Mean value " << unitOf(range) << s << "Value std " << unitOf(range)
            << "\n";
        const size_t row = size_t(voltageChannelsNum + currentChannelsNum + g);
        out << g + 1 << s << inRange(means[row], range) << s << inRange(stds[row], range) << "\n";
    }
    return text;
}

void NoiseReportWidget::onSaveToLabbook() {
    for (int c = 0; c < currentChannelsNum; c++) {
        const size_t row = size_t(voltageChannelsNum + c);
        emit labbookEvent(new LabbookEventNoiseReport(c + 1, means[row], stds[row]));
    }
}
