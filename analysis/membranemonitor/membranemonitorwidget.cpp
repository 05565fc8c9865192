#include "analysis/membranemonitor/membranemonitorwidget.h"

#include "acquisition/valuelabel.h"
#include "analysis/framework/analysis.h"
#include "analysis/framework/currentlimitbox.h"
#include "plots/plottab.h"
#include "recording/labbookevent.h"

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QDoubleSpinBox* spinBox(QWidget* parent, const char* suffix, double min, double max) {
    auto* box = new QDoubleSpinBox(parent);
    box->setSuffix(suffix);
    box->setRange(min, max);
    box->setValue(min > 0.0 ? min : 0.0);
    return box;
}

} // namespace

// Always every channel at once.
MembraneMonitorWidget::MembraneMonitorWidget(const ChannelCounts& channels, QWidget* parent)
    : AnalysisDock(channels, int(channels.current), {}, parent) {
    analysisTitle = "Membrane Monitor";
    setWindowTitle(analysisTitle);

    QWidget* frame = plotFrame();
    auto* layout = static_cast<QVBoxLayout*>(frame->layout());
    layout->addWidget(new QLabel("Click play button to start\nmonitoring membrane ruptures.", frame));
    saturation = new QCheckBox("Switch off on saturation", frame);
    saturation->setChecked(true);
    layout->addWidget(saturation);
    auto* form = new QFormLayout;
    minCurrent = new CurrentLimitBox(frame);
    maxCurrent = new CurrentLimitBox(frame);
    showLimitRange();
    minTime = spinBox(frame, " ms", 1.0, 1e6);
    form->addRow("min I", minCurrent);
    form->addRow("max I", maxCurrent);
    form->addRow("min T", minTime);
    layout->addLayout(form);
    layout->addWidget(new QLabel(
        "Switched off channels are not monitored.\nThe icons below show the state of each channel.", frame));

    // Columns of eight icons, each over its channel's name.
    auto* grid = new QGridLayout;
    for (int c = 0; c < currentChannelsNum; c++) {
        auto* icon = new QLabel(frame);
        icon->setAlignment(Qt::AlignCenter);
        auto* name = new QLabel(QString("Ch%1").arg(c + 1), frame);
        name->setAlignment(Qt::AlignCenter);
        grid->addWidget(icon, 2 * (c / 8), c % 8);
        grid->addWidget(name, 2 * (c / 8) + 1, c % 8);
        icons.push_back(icon);
    }
    monitored.assign(size_t(currentChannelsNum), false);
    saturatedRanges.assign(size_t(currentChannelsNum), QString());
    for (int c = 0; c < currentChannelsNum; c++)
        onSetIconStatus(c, true, false);
    layout->addLayout(grid);
    notice = new QLabel(frame);
    notice->setWordWrap(true);
    layout->addWidget(notice);
    layout->addStretch();
    onOpenOnSaturation(true);

    connect(saturation, &QCheckBox::toggled, this, &MembraneMonitorWidget::onOpenOnSaturation);
    connect(minCurrent, &QDoubleSpinBox::valueChanged, this, &MembraneMonitorWidget::onRangeSet);
    connect(maxCurrent, &QDoubleSpinBox::valueChanged, this, &MembraneMonitorWidget::onRangeSet);
    connect(minTime, &QDoubleSpinBox::valueChanged, this, &MembraneMonitorWidget::onDurationSet);
    connect(this, &AnalysisWidget::startConsuming, this, [this] { emit membraneMonitorEnabled(true); });
    connect(this, &AnalysisWidget::stopConsuming, this, [this] { emit membraneMonitorEnabled(false); });
}

void MembraneMonitorWidget::setConsumer(MembraneMonitorConsumer* consumer) {
    AnalysisDock::setConsumer(consumer);
    connect(this, &MembraneMonitorWidget::setOptions, consumer, &MembraneMonitorConsumer::onSetOptions);
    consumer->onSetOptions(options());
}

void MembraneMonitorWidget::watch(PlotTab* plotTab) {
    for (int c = 0; c < plotTab->currentChannels(); c++)
        onSetIconStatus(c, plotTab->isSwitchedOn(c), false);
    connect(plotTab, &PlotTab::monitorMembraneStateChanged, this, &MembraneMonitorWidget::onSetIconStatus);
    connect(this, &MembraneMonitorWidget::membraneMonitorEnabled, plotTab,
            &PlotTab::onMembraneMonitorEnabled);
    connect(this, &MembraneMonitorWidget::switchChannelOn, plotTab, &PlotTab::onSwitchChannelOn);
}

MembraneMonitorConsumer::Options_t MembraneMonitorWidget::options() const {
    MembraneMonitorConsumer::Options_t o;
    o.switchOffOnSaturation = saturation->isChecked();
    const kv4cl::Measurement_t unit = minCurrent->measurement();
    o.currentLimits = {minCurrent->value(), maxCurrent->value(), 1.0, unit.prefix, unit.unit};
    o.minimumTime = {minTime->value(), kv4cl::UnitPfxMilli, "s"};
    return o;
}

void MembraneMonitorWidget::showLimitRange() {
    if (currentRanges.empty()) return;
    const auto finest =
        std::min_element(currentRanges.begin(), currentRanges.end(), [](const auto& a, const auto& b) {
            return a.max * kv4cl::prefixFactor(a.prefix, kv4cl::UnitPfxNone) <
                   b.max * kv4cl::prefixFactor(b.prefix, kv4cl::UnitPfxNone);
        });
    for (CurrentLimitBox* box : {minCurrent, maxCurrent}) {
        const QSignalBlocker quiet(box); // one message for both
        box->setRange(*finest);
        box->setSuffix(" " + QString::fromStdString(finest->label()));
    }
}

void MembraneMonitorWidget::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    AnalysisWidget::onCurrentRangeChanged(range, channelIdx);
    showLimitRange();
    emit setOptions(options());
}

void MembraneMonitorWidget::onOpenOnSaturation(bool flag) {
    // The user's limits mean nothing while the ranges' edges are the limits.
    minCurrent->setEnabled(!flag);
    maxCurrent->setEnabled(!flag);
    emit setOptions(options());
}

void MembraneMonitorWidget::onRangeSet() {
    emit setOptions(options());
}

void MembraneMonitorWidget::onDurationSet() {
    emit setOptions(options());
}

void MembraneMonitorWidget::onSetIconStatus(int channelIdx, bool checked, bool enabled) {
    if (channelIdx < 0 || channelIdx >= currentChannelsNum) return;
    monitored[size_t(channelIdx)] = checked && enabled;
    QLabel* icon = icons[size_t(channelIdx)];
    const char* image = !checked  ? ":/imgs/warning icon.png"
                        : enabled ? ":/imgs/data monitor.png"
                                  : ":/imgs/power on.png";
    icon->setPixmap(QIcon(image).pixmap(24, 24));
    QString& saturated = saturatedRanges[size_t(channelIdx)];
    if (checked) saturated.clear(); // on again: a new cell, or the same one seen anew
    icon->setToolTip(!checked  ? "Channel switched off." + saturated
                     : enabled ? "Monitoring for membrane rupture enabled."
                               : "Channel switched on.");
    if (consumer()) consumer()->onChannelStatusChanged(channelIdx, checked, enabled);
}

void MembraneMonitorWidget::onResult(MembraneMonitorConsumer::Result_t res) {
    if (res.channel < 0 || res.channel >= currentChannelsNum || !monitored[size_t(res.channel)]) return;
    if (res.saturated) {
        const QString range = valueLabel(currentRanges[size_t(res.channel)]);
        saturatedRanges[size_t(res.channel)] = "\nIts current saturated the " + range + " range.";
        // What such a channel shows (a resistance of the range, not of the cell) is no reading.
        notice->setText(QString("Ch%1 switched off: its current saturated the %2 range; its samples "
                                "since show the range's edge, not the cell.")
                            .arg(res.channel + 1)
                            .arg(range));
    }
    emit switchChannelOn(res.channel, false);
    emit labbookEvent(new LabbookEventMembraneMonitor(res.channel + 1, res.saturated));
}

Analysis membraneMonitorAnalysis() {
    return analysisOf<MembraneMonitorConsumer, MembraneMonitorWidget>(
        {.key = "membraneMonitor",
         .title = "Membrane Monitor",
         .placement = AnalysisPlacement::Floating,
         .filterLabel = "Membrane monitor",
         .filterKey = "MembraneMonitor"});
}
