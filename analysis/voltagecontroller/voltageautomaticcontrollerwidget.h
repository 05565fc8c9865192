#pragma once
// The voltage automatic controller's dock: which channel to watch ("all" or one), and the
// rules: above a current for a time apply a voltage, below another current for a time apply
// another, and optionally restore what ran before after a time. The thresholds and times go to
// the worker, the rest to the rule (VoltageController), which acts on the stimulus.

#include "analysis/framework/analysiswidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"

class CurrentLimitBox;
class QCheckBox;
class QComboBox;
class SteppedSpinBox;
class StimulusService;
class VoltageController;

class VoltageAutomaticControllerWidget : public AnalysisWidget {
    Q_OBJECT

  public:
    explicit VoltageAutomaticControllerWidget(const ChannelCounts& channels, QWidget* parent = nullptr);

    void setConsumer(VoltageAutomaticControllerConsumer* consumer);
    // What carries the voltages out.
    void setStimulus(StimulusService* stimulus);

    struct Rule {
        QCheckBox* check;
        CurrentLimitBox* current;
        SteppedSpinBox* time;
        SteppedSpinBox* voltage;
    };
    QComboBox* channelBox() const { return channel; }
    const Rule& highRule() const { return high; }
    const Rule& lowRule() const { return low; }
    QCheckBox* restoreBox() const { return restore; }
    SteppedSpinBox* restoreTimeBox() const { return restoreTime; }

  signals:
    void channelChanged(int channelIdx);
    void highCurrentChanged(kv4cl::Measurement_t current);
    void highDurationChanged(kv4cl::Measurement_t time);
    void lowCurrentChanged(kv4cl::Measurement_t current);
    void lowDurationChanged(kv4cl::Measurement_t time);
    void resetTimeChanged(kv4cl::Measurement_t time);

  public slots:
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) override;

  private:
    Rule makeRule(const QString& text, bool isHigh);
    // The range of the channel watched, or of the first when all are.
    void showCurrentRange();
    void sendAll();
    void sendCurrent(bool isHigh);
    // What the boxes show, to the rule.
    void sendRules();

    QComboBox* channel;
    Rule high;
    Rule low;
    QCheckBox* restore;
    SteppedSpinBox* restoreTime;
    VoltageController* controller;
};
