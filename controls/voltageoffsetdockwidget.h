#pragma once
// The "Voltage offsets" dock, a view over the stimulus's offsets: a voltage offset per current
// channel added to its stimulus, set as a constant ("Constant" tab) or ramped from an initial
// to a final value over a duration ("Ramp" tab), and the offsets the amplifier reports in
// force, read back every 500 ms. Built after a connection, for a model with voltage offsets.
//
// Constant offsets are judged by the library as they are typed, with the reason of a refusal
// above the rows, and set when the edit is finished.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>

#include <cstdint>
#include <vector>

class QLabel;
class SteppedSpinBox;
class StimulusService;

class VoltageOffsetDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    explicit VoltageOffsetDockWidget(StimulusService& stimulus, QWidget* parent = nullptr);
    ~VoltageOffsetDockWidget() override;

  private:
    QWidget* buildConstantTab();
    QWidget* buildRampTab();
    void refresh();

    StimulusService& stimulus;
    std::vector<SteppedSpinBox*> manual; // per current channel
    std::vector<QLabel*> inForce;        // per current channel
    QLabel* messageLabel;
};
