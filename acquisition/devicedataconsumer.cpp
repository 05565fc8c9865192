#include "acquisition/devicedataconsumer.h"

#include <QMutexLocker>

#include <utility>

namespace {

// Sets the range of channel `index`, or of every channel when index equals the count.
bool storeRange(std::vector<kv4cl::RangedMeasurement_t>& ranges, const kv4cl::RangedMeasurement_t& range,
                int index) {
    if (index < 0 || size_t(index) > ranges.size()) return false;
    if (size_t(index) == ranges.size())
        ranges.assign(ranges.size(), range);
    else
        ranges[size_t(index)] = range;
    return true;
}

} // namespace

DeviceDataConsumer::DeviceDataConsumer(DeviceDataProducer* producer)
    : producer(producer), voltageChannelsNum(int32_t(producer->channelCounts().voltage)),
      currentChannelsNum(int32_t(producer->channelCounts().current)),
      gpChannelsNum(int32_t(producer->channelCounts().gp)),
      totalChannelsNum(int32_t(producer->channelCounts().total())), pendingVoltageRange{0.0, 1.0, 1.0,
                                                                                        kv4cl::UnitPfxNone,
                                                                                        "V"},
      voltageRange(pendingVoltageRange),
      pendingCurrentRanges(size_t(currentChannelsNum), {0.0, 1.0, 1.0, kv4cl::UnitPfxNone, "A"}),
      currentRanges(pendingCurrentRanges),
      pendingGpRanges(size_t(gpChannelsNum), {0.0, 1.0, 1.0, kv4cl::UnitPfxNone, ""}),
      gpRanges(pendingGpRanges) {}

const QStringList& DeviceDataConsumer::gpChannelNames() const {
    return producer->gpChannelNames();
}

DeviceDataConsumer::~DeviceDataConsumer() {
    stopConsuming();
}

void DeviceDataConsumer::onResetConsuming() {
    onStopConsuming();
    onStartConsuming();
}

void DeviceDataConsumer::onSamplingRateChanged(kv4cl::Measurement_t, kv4cl::Measurement_t rate) {
    QMutexLocker lock(&mutex);
    pendingSamplingRate = rate.getNoPrefixValue();
    samplingRateChanged = true;
}

void DeviceDataConsumer::onVoltageRangeChanged(kv4cl::RangedMeasurement_t range) {
    QMutexLocker lock(&mutex);
    pendingVoltageRange = std::move(range);
    voltageRangeChanged = true;
}

void DeviceDataConsumer::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    QMutexLocker lock(&mutex);
    if (storeRange(pendingCurrentRanges, range, channelIdx)) currentRangeChanged = true;
}

void DeviceDataConsumer::onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    QMutexLocker lock(&mutex);
    if (storeRange(pendingGpRanges, range, channelIdx)) gpRangeChanged = true;
}

void DeviceDataConsumer::onSetFilteredData(bool flag) {
    QMutexLocker lock(&mutex);
    useFilteredData = flag;
}

void DeviceDataConsumer::startConsuming() {
    if (isRunning()) return;
    // Connected at the first start, after the subclasses' constructors have made theirs, so that
    // it is the last of the thread's own code to run.
    if (!threadEndHandOver)
        threadEndHandOver = connect(
            this, &QThread::finished, this, [this] { std::lock_guard lock(threadEndMutex); },
            Qt::DirectConnection);
    stopFlag = false;
    hook = producer->getDataHook();
    start();
}

void DeviceDataConsumer::stopConsuming() {
    stopFlag = true;
    if (hook) releaseReads(*hook);
    wait();
    { std::lock_guard lock(threadEndMutex); }
    hook.reset();
}

DeviceDataConsumer::Changes DeviceDataConsumer::applyPendingChanges() {
    QMutexLocker lock(&mutex);
    Changes changes;
    if (std::exchange(samplingRateChanged, false)) {
        samplingRate = pendingSamplingRate;
        changes.samplingRate = true;
    }
    if (std::exchange(voltageRangeChanged, false)) {
        voltageRange = pendingVoltageRange;
        changes.voltageRange = true;
    }
    if (std::exchange(currentRangeChanged, false)) {
        currentRanges = pendingCurrentRanges;
        changes.currentRanges = true;
    }
    if (std::exchange(gpRangeChanged, false)) {
        gpRanges = pendingGpRanges;
        changes.gpRanges = true;
    }
    return changes;
}

bool DeviceDataConsumer::filteredDataChosen() {
    QMutexLocker lock(&mutex);
    return useFilteredData;
}
