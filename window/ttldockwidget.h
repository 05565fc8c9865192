#pragma once
// The "TTL" dock: a train of pulses on the amplifier's TTL output, with the pulse duration, the
// period, the delay before the first pulse and the number of pulses, each bounded by what the
// library reports for the model. The main window shows it only for models with a TTL output.

#include <QDockWidget>

class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;

class TtlDockWidget : public QDockWidget {
    Q_OBJECT

  public:
    // Floats: a tool window, kept out of the working layout.
    explicit TtlDockWidget(QWidget* parent = nullptr);

  private:
    // Sends the train; a refusal leaves its reason in the status line.
    void start();

    QDoubleSpinBox* durationSpinBox;
    QDoubleSpinBox* periodSpinBox;
    QDoubleSpinBox* delaySpinBox;
    QSpinBox* pulsesSpinBox;
    QPushButton* startButton;
    QLabel* statusLine;
};
