#pragma once
// The modal warning shown while the connection to the amplifiers is lost. When the
// connection comes back it counts down from 9 and then closes and asks for a device reset;
// the user can give up at any time with "Disconnect".

#include <QDialog>
#include <QTimer>

class QLabel;
#include "recording/labbookevent.h"

class ConnectionLostDialog : public QDialog {
    Q_OBJECT

  public:
    enum State { Idle = 0, Lost = 1, CountingDown = 2 };

    explicit ConnectionLostDialog(QWidget* parent = nullptr);

    State state() const { return currentState; }
    QString countdownText() const;
    bool countdownVisible() const;

  signals:
    void disconnectDevice();
    void resetDevice();
    void labbookEvent(LabbookEvent* event);

  public slots:
    // Runs the dialog modally until the connection is back and counted down, or the user
    // disconnects; notices that arrive meanwhile are handled inside that loop.
    void onConnectionLost();
    void onConnectionReEstablished();

  private slots:
    void onTimerTimeout();

  private:
    static constexpr int countdownStart = 9;

    State currentState = Idle;
    QTimer timer{this};
    int32_t countdown = countdownStart;
    QLabel* countdownLabel;
};
