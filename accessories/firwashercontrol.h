#pragma once
// The washer of the Fir multi-well system, as users run it: one spin box per preset speed and
// a button beside it that sends the four speeds and turns the stir bar once at that preset.
// Every 500 ms the spin boxes show the speeds the washer reports, except while one of them has
// the keyboard focus, so that an edit is not overwritten.

#include <QDockWidget>

#include <array>

class QSpinBox;
class QTimer;

class FirWasherControl : public QDockWidget {
  public:
    explicit FirWasherControl(QWidget* parent = nullptr);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void refresh();
    void rotate(int preset);

    std::array<QSpinBox*, 4> speedSpinBoxes{};
    QTimer* refreshTimer;
};
