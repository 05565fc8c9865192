#include "window/devicedetector.h"

#include "commlib/api/kv4cl.h"

#include <future>

DeviceDetector::DeviceDetector(QObject* parent) : QObject(parent), timer(this) {
    connect(&timer, &QTimer::timeout, this, &DeviceDetector::detectDevices);
}

// Started here, in the detector's own thread: a timer started before the move would be handed
// over by an event that is lost if the thread ends before running it.
void DeviceDetector::onStartDetecting() {
    detecting = true;
    timer.start(2000);
    // At start-up and after a disconnection the list is shown at once, not two seconds later.
    detectDevices();
}

void DeviceDetector::onStopDetecting() {
    detecting = false;
    timer.stop();
}

void DeviceDetector::detectDevices() {
    if (!detecting) return;
    const kv4cl::ErrorCodes_t result = kv4cl::detectDevices(reading);
    // A failed query leaves the list shown as it was.
    if (result != kv4cl::Success && result != kv4cl::ErrorNoDevicesDetected) return;
    if (reading == reported) return;
    reported = reading;
    std::lock_guard lock(handOver);
    emit devicesListChanged(reported);
}

DetectorThread::DetectorThread() {
    owned->moveToThread(&thread);
    QObject::connect(
        &thread, &QThread::finished, &thread,
        [this] {
            std::lock_guard lock(end);
            delete owned;
            owned = nullptr;
        },
        Qt::DirectConnection);
}

DetectorThread::~DetectorThread() {
    // Held while quitting, so that what the owner did with the detector and the thread (the
    // quit's wake-up included) comes before the thread's end and the detector's deletion.
    {
        std::lock_guard lock(end);
        thread.quit();
    }
    thread.wait();
    std::lock_guard lock(end);
    delete owned; // still here if the thread never ran
}

void DetectorThread::start() {
    std::promise<void> started;
    QObject::connect(
        &thread, &QThread::started, &thread, [&started] { started.set_value(); },
        Qt::ConnectionType(Qt::DirectConnection | Qt::SingleShotConnection));
    thread.start();
    started.get_future().wait();
}
