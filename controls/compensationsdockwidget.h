#pragma once
// The "Compensations" dock: the fast capacitance (CFast) compensation of each current channel,
// set with a knob and switched on and off with the group's check button, for models that
// offer it. Each channel keeps its value, remembered between runs under
// "Compensations/cFast<channel>"; the capacitance estimation hands its values in through
// onCompensateCFast when the user applies them. A recording starts with a tag that holds every
// channel's state.

#include "commlib/types/kv4cltypes.h"

#include <QDial>
#include <QDockWidget>
#include <QGroupBox>

#include <cstdint>
#include <map>
#include <vector>

#include "widgets/lcddisplay.h"

class ActivationButton;
class QComboBox;
class QLabel;

// A knob over a range of values in steps: arrows and the wheel move one step, page keys
// and the wheel with shift held a twentieth of the range. The wheel acts only with focus, which
// a click gives without changing the value; once focused, a click or a drag moves it freely.
class CompensationKnob : public QDial {
    Q_OBJECT

  public:
    explicit CompensationKnob(QWidget* parent = nullptr);

    void setScale(double min, double max, double step);
    double scaledValue() const;
    // Put on the nearest step within the bounds.
    void setScaledValue(double value);

  signals:
    void valueChanged(double value);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    bool selecting = false; // from the press that gave the focus to its release
    double lowest = 0.0;
    double step = 1.0;
    int wheelRemainder = 0; // eighths of a degree short of a notch
};

// The value with the given decimals, zero padded; "OFF" for the off value or a NaN, "Err"
// above the maximum.
class CompensationDisplay : public LcdDisplay {
    Q_OBJECT

  public:
    explicit CompensationDisplay(QWidget* parent = nullptr);

    void setOffValue(double value) { offValue = value; }
    void setMaximum(double value) { maximum = value; }
    void setDecimals(int value) { decimals = value; }
    void showValue(double value);
    QString text() const { return shown; }

  private:
    double offValue = -1.0;
    double maximum = 0.0;
    int decimals = 0;
    QString shown;
};

// A group box with a check button that switches its compensation on and off.
class CompensationsGroupBox : public QGroupBox {
    Q_OBJECT

  public:
    explicit CompensationsGroupBox(const QString& title, QWidget* parent = nullptr);

    bool isChecked() const;
    // Without a signal.
    void setChecked(bool flag);
    ActivationButton* checkButton() const { return button; }

  signals:
    void activateCompensation(bool flag);

  private:
    ActivationButton* button;
};

class CompensationsDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    explicit CompensationsDockWidget(QWidget* parent = nullptr);

  signals:
    void markTagTime(int tagTime);
    void saveTagString(QString tagString);

  public slots:
    // An estimate of the capacitance the channel's current still shows: it adds to the
    // compensation in force, which it switches on. A sum beyond the control's range changes
    // nothing and is said in the dock until the channel's value is set again.
    void onCompensateCFast(int channelIdx, kv4cl::Measurement_t cp);
    void onConfigurationChanged();
    void onChannelSelected(int channelIdx);
    void onRecording(bool flag);

  private:
    // Sends the knob and the check button to the selected channel (every channel for "All Ch.").
    void apply();
    void configure();
    void showSelected();
    void showRefusals();

    int channelsNum = 0;
    bool available = false;
    kv4cl::CompensationControl_t control;
    std::vector<double> values; // per channel, in the control's prefix
    std::vector<uint8_t> active;
    int selected = 0;

    QComboBox* channelCombo = nullptr;
    CompensationsGroupBox* group = nullptr;
    CompensationKnob* knob = nullptr;
    CompensationDisplay* display = nullptr;
    QLabel* unitLabel = nullptr;
    std::map<int, double> refusals; // per channel, the sum it could not take
    QLabel* refusalLabel = nullptr;
};
