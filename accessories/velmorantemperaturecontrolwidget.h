#pragma once
// The temperature controller's dock: the chamber temperature, the set temperature and the
// regulation switch while the controller answers, a message while it does not, hidden while no
// controller has been seen. The logic (VelmoranTemperatureControlLogic) decides which.

#include <QDockWidget>

class QCheckBox;
class QDoubleSpinBox;
class QLabel;

class VelmoranTemperatureControlWidget : public QDockWidget {
    Q_OBJECT

  public:
    enum Visibility_t { Hidden = 0, Connected = 1, NotConnected = 2 };
    Q_ENUM(Visibility_t)

    explicit VelmoranTemperatureControlWidget(QWidget* parent = nullptr);
    // The state last set; the dock layout restored at connection may have shown the dock anyway.
    Visibility_t visibility() const { return state; }

  signals:
    void channelChanged(int channelIdx);
    void setTemperatureChanged(double temperature);
    void temperatureControlStateChanged(bool active);

  public slots:
    void onVisibilitySet(VelmoranTemperatureControlWidget::Visibility_t state);
    void onTemperatureRead(double temperature);
    void onEnableControls(double temperature);
    void onDisableControls();
    void onSetTemperatureLimits(int min, int max);
    void onEnableVisibilityChange(bool state);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* controls;
    QLabel* temperatureLabel;
    QDoubleSpinBox* setTemperatureSpinBox;
    QCheckBox* activeCheckBox;
    QLabel* message;
    Visibility_t state = Hidden;
    bool visibilityChangeEnabled = false;
};
