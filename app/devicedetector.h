#pragma once
// Polls the library for the attached devices every two seconds, in a thread of its own,
// and reports when the list changes. Idle while a device set is connected.

#include <QObject>
#include <QTimer>

#include <mutex>
#include <string>
#include <vector>

class DeviceDetector : public QObject {
    Q_OBJECT

  public:
    explicit DeviceDetector(QObject* parent = nullptr);

    // Qt hands the queued copy of a list to the receiving thread through its own event queue,
    // whose locks ThreadSanitizer cannot see: the detector emits holding a mutex, and a receiver
    // in another thread calls this before it reads the copy, so that the tool sees the order.
    void takeHandOver() { std::lock_guard lock(handOver); }

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
    std::mutex handOver;
};
