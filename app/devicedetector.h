#pragma once
// Polls the library for the attached devices every two seconds, in a thread of its own,
// and reports when the list changes. Idle while a device set is connected.

#include <QObject>
#include <QTimer>

#include <string>
#include <vector>

class DeviceDetector : public QObject {
    Q_OBJECT

  public:
    explicit DeviceDetector(QObject* parent = nullptr);

  signals:
    void devicesListChanged(std::vector<std::string> devicesList);

  public slots:
    void onStartDetecting();
    void onStopDetecting();

  private slots:
    void detectDevices();

  private:
    bool detecting = false;
    std::vector<std::string> reported;
    std::vector<std::string> reading;
    QTimer timer;
};
