#pragma once
// The membrane monitor's dock: the limits (each range's edges, or the user's, typed in the
// unit and to the resolution of the finest range in use), the minimum time, and an icon per
// current channel telling whether it is switched off, switched on, or watched. Start enables
// monitoring on the plot tab's channel switches; a rupture switches its channel off there and
// is written in the lab book, saying so when the current saturated its range.

#include "analysis/framework/analysiswidget.h"
#include "analysis/membranemonitor/membranemonitorconsumer.h"

#include <vector>

class CurrentLimitBox;
class PlotTab;
class QCheckBox;
class QDoubleSpinBox;
class QLabel;

class MembraneMonitorWidget : public AnalysisDock<MembraneMonitorWidget, MembraneMonitorConsumer> {
    Q_OBJECT

  public:
    explicit MembraneMonitorWidget(const ChannelCounts& channels, QWidget* parent = nullptr);

    void setConsumer(MembraneMonitorConsumer* consumer);
    // Watches the plot tab's channel switches and switches them off.
    void watch(PlotTab* plotTab);
    QCheckBox* saturationBox() const { return saturation; }
    CurrentLimitBox* minCurrentBox() const { return minCurrent; }
    CurrentLimitBox* maxCurrentBox() const { return maxCurrent; }
    QDoubleSpinBox* minTimeBox() const { return minTime; }
    QLabel* icon(int channelIdx) const { return icons[size_t(channelIdx)]; }
    // Says which channel was last switched off on a saturated current.
    QLabel* saturationNotice() const { return notice; }

  signals:
    void setOptions(const MembraneMonitorConsumer::Options_t& options);
    // For the plot tab: its switches watch the channels while on.
    void membraneMonitorEnabled(bool enable);
    void switchChannelOn(int channelIdx, bool on);

  public slots:
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) override;
    void onSetIconStatus(int channelIdx, bool checked, bool enabled);
    void onResult(MembraneMonitorConsumer::Result_t res);
    void onOpenOnSaturation(bool flag);
    void onRangeSet();
    void onDurationSet();

  private:
    MembraneMonitorConsumer::Options_t options() const;
    // The limit boxes take the finest range of the channels.
    void showLimitRange();

    QCheckBox* saturation;
    CurrentLimitBox* minCurrent;
    CurrentLimitBox* maxCurrent;
    QDoubleSpinBox* minTime;
    QLabel* notice;
    std::vector<QLabel*> icons;
    std::vector<bool> monitored;
    std::vector<QString> saturatedRanges; // per channel switched off on a saturated current
};
