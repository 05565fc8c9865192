#pragma once
// A clock read-out that counts up or down once a second. A pause keeps what was left of the
// running second, so that pausing and resuming does not lose or gain time.

#include "widgets/lcddisplay.h"

#include <QTime>
#include <QTimer>

class TimerDisplay : public LcdDisplay {
    Q_OBJECT

  public:
    // format: how the time reads, as QTime::toString takes it.
    explicit TimerDisplay(QWidget* parent = nullptr, QString format = "hh:mm:ss");
    QTime time() const { return shown; }

  public slots:
    void onStartTimer(bool ascending, QTime startTime);
    void onStartTimer(bool ascending);
    void onStartTimer();
    void onRestartTimer();
    void onStopTimer(bool pauseFlag);
    void onStopTimer();
    void onUpdateTimer();

  private:
    void show(QTime time);

    const QString timeFormat;
    static constexpr int secondMs = 1000;
    QTimer ticker;
    QTime shown;
    bool ascending = true;
    bool paused = false;
    int pausedRemainderMs = 0;
};
