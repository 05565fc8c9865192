#pragma once
// The "All channels controls" dock: buttons that act on every channel at once, and the
// insertion and reference pulses with their amplitudes and durations. A button is there
// only when the connected model has its feature.

#include "commlib/types/kv4cltypes.h"

#include <QDockWidget>

class QBoxLayout;
class QToolButton;
class SteppedSpinBox;

class AllChannelsControlsDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    explicit AllChannelsControlsDockWidget(QWidget* parent = nullptr);

    // Whether any channel compensates its offset, as the amplifier reports: the button shows
    // it, and a click then stops every channel.
    void showDigitalOffsetCompensation(bool on);

  signals:
    void baselineTracking(bool on);
    void selectStimulusChannel(bool on);
    void digitalOffsetCompensation(bool on);
    void zap();
    void switchChannelsOn(bool on);
    void hideSwitchedOffChannels(bool hide);

  private:
    QToolButton* addButton(QBoxLayout* row, const QString& icon, const QString& toolTip, bool checkable);
    // A labelled spin box bound to `range`, added to `row`.
    SteppedSpinBox* addSpinBox(QBoxLayout* row, const QString& label,
                               const kv4cl::RangedMeasurement_t& range);
    void buildSwitches(QBoxLayout* row);
    void buildPulses(QBoxLayout* layout);

    QToolButton* compensate = nullptr; // on models with digital offset compensation
};
