#pragma once
// Polls the library for the attached devices every two seconds, in a thread of its own,
// and reports when the list changes. Idle while a device set is connected.

#include <QObject>
#include <QThread>
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

// A detector in a thread of its own, as the main window runs it. The detector is deleted in that
// thread as the thread ends, where its timer runs. Qt orders a thread's start and end behind its
// own locks, out of ThreadSanitizer's sight, so both also pass standard ones here.
class DetectorThread {
  public:
    DetectorThread();
    // Quits the thread and waits for it: the detector is gone once this returns.
    ~DetectorThread();

    DeviceDetector* detector() const { return owned; }
    // Returns once the thread's event loop takes calls: what is posted to it afterwards comes
    // after the loop was made.
    void start();

  private:
    QThread thread;
    DeviceDetector* owned = new DeviceDetector;
    // The thread passes it as it ends, the owner after wait().
    std::mutex end;
};
