#pragma once
// The membrane monitor's dock: the limits (each range's edges, or the user's in nA), the
// minimum time, and an icon per current channel telling whether it is switched off, switched
// on, or watched. Start enables monitoring on the plot tab's channel switches; a rupture
// switches its channel off there and is written in the lab book.

#include "analysis/analysiswidget.h"
#include "analysis/membranemonitorconsumer.h"

#include <vector>

class QCheckBox;
class QDoubleSpinBox;
class QLabel;

class MembraneMonitorWidget : public AnalysisWidget {
    Q_OBJECT

  public:
    explicit MembraneMonitorWidget(QWidget* parent = nullptr);

    void setConsumer(AnalysisConsumer* consumer) override;
    QString exportName() const override { return "membraneMonitor"; }
    QString exportData() override { return {}; }
    QCheckBox* saturationBox() const { return saturation; }
    QDoubleSpinBox* minCurrentBox() const { return minCurrent; }
    QDoubleSpinBox* maxCurrentBox() const { return maxCurrent; }
    QDoubleSpinBox* minTimeBox() const { return minTime; }
    QLabel* icon(int channelIdx) const { return icons[size_t(channelIdx)]; }

  signals:
    void setOptions(const MembraneMonitorConsumer::Options_t& options);
    // For the plot tab: its switches watch the channels while on.
    void membraneMonitorEnabled(bool enable);
    void switchChannelOn(int channelIdx, bool on);

  public slots:
    void onSetIconStatus(int channelIdx, bool checked, bool enabled);
    void onResult(MembraneMonitorConsumer::Result_t res);
    void onOpenOnSaturation(bool flag);
    void onRangeSet();
    void onDurationSet();
    void onLimitToRoi(bool) override {}
    void onSaveToLabbook() override {}
    void onLinearFit() override {}
    void onBoltzmannSigmoidFit() override {}
    void onGaussianFit() override {}

  private:
    MembraneMonitorConsumer::Options_t options() const;

    QCheckBox* saturation;
    QDoubleSpinBox* minCurrent;
    QDoubleSpinBox* maxCurrent;
    QDoubleSpinBox* minTime;
    std::vector<QLabel*> icons;
    std::vector<bool> monitored;
};
