#include "app/devicedetector.h"

#include "commlib/api/kv4cl.h"

DeviceDetector::DeviceDetector(QObject* parent) : QObject(parent), timer(this) {
    connect(&timer, &QTimer::timeout, this, &DeviceDetector::detectDevices);
    timer.start(2000);
}

void DeviceDetector::onStartDetecting() {
    detecting = true;
    // At start-up and after a disconnection the list is shown at once, not two seconds later.
    detectDevices();
}

void DeviceDetector::onStopDetecting() {
    detecting = false;
}

void DeviceDetector::detectDevices() {
    if (!detecting) return;
    const kv4cl::ErrorCodes_t result = kv4cl::detectDevices(reading);
    // A failed query leaves the list shown as it was.
    if (result != kv4cl::Success && result != kv4cl::ErrorNoDevicesDetected) return;
    if (reading == reported) return;
    reported = reading;
    emit devicesListChanged(reported);
}
