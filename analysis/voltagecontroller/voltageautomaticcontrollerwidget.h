#pragma once
// The voltage automatic controller's dock: which channel to watch ("all" or one), and the
// rules: above a current for a time apply a voltage, below another current for a time apply
// another, and optionally restore what ran before after a time. Voltages go to the channel
// that fired as its voltage offset where the model has offsets, else to every channel as the
// holding protocol through the stimulus dock, whose protocol is kept in "temp.txt" meanwhile.
// Every action and every restore is written in the lab book.

#include "analysis/framework/analysiswidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"

#include <QPointer>

#include <vector>

class CurrentLimitBox;
class ProtocolDockWidget;
class QCheckBox;
class QComboBox;
class QTimer;
class SteppedSpinBox;
class VoltageOffsetDockWidget;

class VoltageAutomaticControllerWidget : public AnalysisWidget {
    Q_OBJECT

  public:
    explicit VoltageAutomaticControllerWidget(QWidget* parent = nullptr);

    void setConsumer(AnalysisConsumer* consumer) override;
    // What carries the voltages out; either may be absent.
    void setControls(ProtocolDockWidget* protocolDock, VoltageOffsetDockWidget* offsetDock);
    QString exportName() const override { return "voltageAutomaticController"; }
    QString exportData() override { return {}; }

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
    // The file the running protocol is kept in while a voltage is applied through the stimulus dock.
    static QString protocolFile();

  signals:
    void channelChanged(int channelIdx);
    void highCurrentChanged(kv4cl::Measurement_t current);
    void highDurationChanged(kv4cl::Measurement_t time);
    void lowCurrentChanged(kv4cl::Measurement_t current);
    void lowDurationChanged(kv4cl::Measurement_t time);
    void resetTimeChanged(kv4cl::Measurement_t time);

  public slots:
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) override;
    void onResult(VoltageAutomaticControllerConsumer::Result_t res);
    void onLimitToRoi(bool) override {}
    void onSaveToLabbook() override {}
    void onLinearFit() override {}
    void onBoltzmannSigmoidFit() override {}
    void onGaussianFit() override {}

  private:
    Rule makeRule(const QString& text, bool isHigh);
    // The range of the channel watched, or of the first when all are.
    void showCurrentRange();
    void sendAll();
    void sendCurrent(bool isHigh);
    void restoreChannel(int channelIdx);
    void restoreProtocol();

    QComboBox* channel;
    Rule high;
    Rule low;
    QCheckBox* restore;
    SteppedSpinBox* restoreTime;
    QPointer<ProtocolDockWidget> protocolDock;
    QPointer<VoltageOffsetDockWidget> offsetDock;
    std::vector<QTimer*> channelTimers; // per current channel, restoring its offset
    std::vector<kv4cl::Measurement_t> rememberedOffsets;
    QTimer* protocolTimer;
    int protocolChannel = 0; // whose rule replaced the protocol that the timer restores
};
