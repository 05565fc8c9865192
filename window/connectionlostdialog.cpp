#include "window/connectionlostdialog.h"

#include "recording/labbookevent.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

ConnectionLostDialog::ConnectionLostDialog(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint), countdownLabel(new QLabel("Back in")) {
    setWindowTitle("Warning");
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        new QLabel("The connection is momentarily lost.\nIf the connection doesn't recover\nby "
                   "itself shortly please click\ndisconnect, close KAV4 and unplug the\ndevice."));
    auto* row = new QHBoxLayout;
    row->addStretch();
    countdownLabel->hide();
    row->addWidget(countdownLabel);
    auto* disconnectButton = new QPushButton("Disconnect");
    disconnectButton->setDefault(true);
    connect(disconnectButton, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(disconnectButton);
    layout->addLayout(row);

    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &ConnectionLostDialog::onTimerTimeout);
}

QString ConnectionLostDialog::countdownText() const {
    return countdownLabel->text();
}

bool ConnectionLostDialog::countdownVisible() const {
    return !countdownLabel->isHidden();
}

void ConnectionLostDialog::onConnectionLost() {
    switch (currentState) {
    case Idle:
        currentState = Lost;
        emit labbookEvent(new LabbookEventWrittenNote("USB connection lost"));
        if (exec() == QDialog::Accepted) {
            // The user gave up: whatever the connection does now, the countdown must not reset.
            timer.stop();
            countdownLabel->hide();
            countdownLabel->setText("Back in");
            currentState = Idle;
            emit disconnectDevice();
        }
        break;
    case CountingDown:
        currentState = Lost;
        countdownLabel->hide();
        timer.stop();
        break;
    case Lost:
        break;
    }
}

void ConnectionLostDialog::onConnectionReEstablished() {
    currentState = CountingDown;
    countdownLabel->show();
    countdown = countdownStart;
    countdownLabel->setText(QString("Back in %1").arg(countdown));
    timer.start();
}

void ConnectionLostDialog::onTimerTimeout() {
    if (countdown < 1) {
        timer.stop();
        reject();
        countdownLabel->hide();
        countdownLabel->setText("Back in");
        emit resetDevice();
        currentState = Idle;
    } else {
        countdown--;
        countdownLabel->setText(QString("Back in %1").arg(countdown));
    }
}
