#include "widgets/timerdisplay.h"

#include <utility>

TimerDisplay::TimerDisplay(QWidget* parent, QString format)
    : LcdDisplay(parent), timeFormat(std::move(format)) {
    setDigitCount(int(timeFormat.size()));
    connect(&ticker, &QTimer::timeout, this, &TimerDisplay::onUpdateTimer);
    show(QTime(0, 0));
}

void TimerDisplay::show(QTime time) {
    shown = time;
    display(time.toString(timeFormat));
}

void TimerDisplay::onStartTimer(bool countUp, QTime startTime) {
    ascending = countUp;
    paused = false;
    show(startTime);
    ticker.start(secondMs);
}

void TimerDisplay::onStartTimer(bool countUp) {
    onStartTimer(countUp, QTime(0, 0));
}

void TimerDisplay::onStartTimer() {
    onStartTimer(true);
}

void TimerDisplay::onRestartTimer() {
    if (!paused) {
        onStartTimer();
        return;
    }
    paused = false;
    // The first tick only completes the second that the pause interrupted.
    ticker.start(pausedRemainderMs);
}

void TimerDisplay::onStopTimer(bool pauseFlag) {
    // Only a running count has a second to finish later.
    paused = pauseFlag && ticker.isActive();
    if (paused) pausedRemainderMs = ticker.remainingTime();
    ticker.stop();
}

void TimerDisplay::onStopTimer() {
    onStopTimer(false);
}

void TimerDisplay::onUpdateTimer() {
    if (ticker.isActive() && ticker.interval() != secondMs) ticker.start(secondMs);
    show(shown.addSecs(ascending ? 1 : -1));
}
