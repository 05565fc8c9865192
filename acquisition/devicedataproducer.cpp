#include "acquisition/devicedataproducer.h"

#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <utility>

DeviceDataProducer::DeviceDataProducer(SampleSource& source, QObject* parent)
    : QThread(parent), source(source), counts(readChannelCounts(source)),
      gpNames(readGpNames(source, counts.gp)), ring(counts.total()) {
    ring.lapReport = [this](uint64_t row, uint64_t rows) { reportLoss(row, rows); };
    connect(&bitRateTimer, &QTimer::timeout, this, &DeviceDataProducer::onComputeBitRate);
    // Queued: emitted in the producer's thread, the timers are started in the GUI thread.
    connect(this, &DeviceDataProducer::startSaturationTimer, this, &DeviceDataProducer::onStartSaturationTmr,
            Qt::QueuedConnection);
    connect(&saturationTimer, &QTimer::timeout, this, &DeviceDataProducer::onSaturationCheck);
    connect(this, &DeviceDataProducer::startCurrentRangeChangeTimer, this,
            &DeviceDataProducer::onStartCurrentRangeChangeTmr, Qt::QueuedConnection);
    connect(&rangeChangeTimer, &QTimer::timeout, this, &DeviceDataProducer::onCurrentRangeChangeCheck);

    saturationTimer.setSingleShot(true);
    saturationTimer.setInterval(holdOffMs);
    rangeChangeTimer.setSingleShot(true);
    rangeChangeTimer.setInterval(holdOffMs);
    bitRateTimer.start(meterIntervalSeconds * 1000);
}

DeviceDataProducer::~DeviceDataProducer() {
    bitRateTimer.stop();
    onStopProducing();
    wait();
}

DeviceDataProducer::ChannelCounts DeviceDataProducer::readChannelCounts(SampleSource& source) {
    ChannelCounts c;
    if (source.getChannelCounts(c.voltage, c.current, c.gp) != kv4cl::Success) return {};
    return c;
}

QStringList DeviceDataProducer::readGpNames(SampleSource& source, uint32_t gpChannels) {
    const std::vector<std::string> names = source.gpChannelNames();
    QStringList list;
    for (uint32_t g = 0; g < gpChannels; g++)
        list << (g < names.size() ? QString::fromStdString(names[g]) : QString("GP%1").arg(g + 1));
    return list;
}

std::unique_ptr<DataHook> DeviceDataProducer::getDataHook() {
    std::lock_guard lock(ring.mutex);
    return std::make_unique<DataHook>(ring, ring.rowsWritten());
}

void DeviceDataProducer::onStopProducing() {
    std::unique_lock lock(runMutex);
    stopRequested = true;
    runChanged.notify_all();
    if (isRunning()) {
        runChanged.wait(lock, [this] { return loopEnded; });
        return;
    }
    lock.unlock();
    // Never started (or already ended): readers must not wait for rows that will not come.
    std::lock_guard ringLock(ring.mutex);
    ring.setProducerStopped();
}

void DeviceDataProducer::onEnableCurrentRangeChange(bool flag) {
    QMutexLocker lock(&rangeChangeMutex);
    rangeChangeEnabled = flag;
}

void DeviceDataProducer::run() {
    bool connectionLostMark = false;
    for (;;) {
        {
            std::lock_guard lock(runMutex);
            if (stopRequested) break;
        }
        kv4cl::DataStatus_t status;
        uint32_t rows = 0;
        bool stored = false;
        bool lost = false;
        bool regained = false;
        std::vector<SampleRing::Gap> gaps;
        kv4cl::ErrorCodes_t statusResult;
        {
            std::lock_guard lock(ring.mutex);
            statusResult = source.getDataStatus(status);
            if (statusResult == kv4cl::Success) {
                uint16_t* filtered = nullptr;
                uint16_t* unfiltered = nullptr;
                const kv4cl::ErrorCodes_t readResult =
                    source.readSamples(status.availableFrames, rows, filtered, unfiltered);
                regained = std::exchange(connectionLostMark, false);
                if (readResult == kv4cl::Success || readResult == kv4cl::WarningNotEnoughData) {
                    storeRows(rows, filtered, unfiltered);
                    stored = true;
                }
                takeLosses(gaps);
                if (status.dataLost && gaps.empty()) ring.noteBreak();
                if (stored || !gaps.empty()) ring.wakeReaders();
            } else if (statusResult == kv4cl::ErrorDeviceCommunicationFailed) {
                lost = !std::exchange(connectionLostMark, true);
            }
        }
        // Emitted without the ring's mutex: a receiver may well ask for a hook.
        if (regained) emit connectionReEstablished();
        if (lost) emit connectionLost();
        for (const SampleRing::Gap& gap : gaps)
            reportLoss(gap.row, gap.frames);
        if (statusResult == kv4cl::Success) noteLossFlags(status);
        if (stored) {
            countAndNotify(rows, status);
            continue;
        }
        // No data (the usual case when idle), a failed read, or a lost device, which is
        // given more time before the next try.
        pause(statusResult == kv4cl::ErrorDeviceCommunicationFailed ? 101 : 1);
    }

    {
        std::lock_guard lock(ring.mutex);
        ring.setProducerStopped();
    }
    std::lock_guard lock(runMutex);
    loopEnded = true;
    runChanged.notify_all();
}

namespace {

// Converts a word of both planes. A word that the filters left as it was has the same value in
// both, and is converted once: the library's conversion calls are the costliest part of a row.
template <typename Convert>
void convertPair(uint16_t filtered, uint16_t unfiltered, double& filteredValue, double& unfilteredValue,
                 Convert&& convert) {
    convert(filtered, filteredValue);
    if (unfiltered == filtered)
        unfilteredValue = filteredValue;
    else
        convert(unfiltered, unfilteredValue);
}

} // namespace

void DeviceDataProducer::storeRows(uint32_t rows, const uint16_t* filtered, const uint16_t* unfiltered) {
    const uint32_t width = counts.total();
    for (uint32_t r = 0; r < rows; r++, filtered += width, unfiltered += width) {
        const SampleRing::Row row = ring.nextRow();
        std::copy_n(filtered, width, row.filteredRaw);
        std::copy_n(unfiltered, width, row.unfilteredRaw);
        uint32_t c = 0;
        for (; c < counts.voltage; c++)
            convertPair(filtered[c], unfiltered[c], row.filteredValues[c], row.unfilteredValues[c],
                        [&](uint16_t raw, double& value) { source.voltageFromRaw(int16_t(raw), value); });
        for (uint16_t i = 0; i < counts.current; i++, c++)
            convertPair(filtered[c], unfiltered[c], row.filteredValues[c], row.unfilteredValues[c],
                        [&](uint16_t raw, double& value) { source.currentFromRaw(int16_t(raw), i, value); });
        for (uint16_t g = 0; g < counts.gp; g++, c++)
            convertPair(filtered[c], unfiltered[c], row.filteredValues[c], row.unfilteredValues[c],
                        [&](uint16_t raw, double& value) { source.gpFromRaw(raw, g, value); });
        // While the row is at hand, and in a file frame's order: the file writer's reads then
        // cost half the memory traffic, and a row with every channel recorded is its frame.
        const auto toFloats = [&](const double* values, float* floats) {
            const auto toFloat = [](double value) { return float(value); };
            floats = std::transform(values + counts.voltage, values + width, floats, toFloat);
            std::transform(values, values + counts.voltage, floats, toFloat);
        };
        toFloats(row.filteredValues, row.filteredFloats);
        toFloats(row.unfilteredValues, row.unfilteredFloats);
        ring.commitRow();
    }
}

void DeviceDataProducer::takeLosses(std::vector<SampleRing::Gap>& gaps) {
    if (source.readFramesLost(losses) != kv4cl::Success) return;
    const uint64_t written = ring.rowsWritten();
    for (const kv4cl::FramesLost_t& loss : losses) {
        const uint64_t row = ring.addGap(written - std::min(loss.framesAfter, written), loss.frames);
        gaps.push_back({row, loss.frames, 0});
    }
}

void DeviceDataProducer::noteLossFlags(const kv4cl::DataStatus_t& status) {
    // Once per spell of polls that raise the flag: a reader that stays too slow raises it each time.
    if (status.dataLost && !dataLostFlagged)
        qWarning("The amplifier's data stream broke: samples were lost on the way to the program");
    if (status.bufferOverflow && !overflowFlagged)
        qWarning("The library's sample buffer overran: the program read too slowly and samples were lost");
    if (status.infoIndexStuck && !infoIndexStuckFlagged)
        qWarning("The amplifier's packets carry an info index that no longer moves: samples lost on the "
                 "way may go uncounted");
    dataLostFlagged = status.dataLost;
    overflowFlagged = status.bufferOverflow;
    infoIndexStuckFlagged = status.infoIndexStuck;
}

void DeviceDataProducer::reportLoss(uint64_t row, uint64_t frames) {
    if (frames == 0) return;
    lostTotal.fetch_add(frames, std::memory_order_relaxed);
    emit framesLost(row, frames);
}

void DeviceDataProducer::countAndNotify(uint32_t rows, const kv4cl::DataStatus_t& status) {
    {
        QMutexLocker lock(&meterMutex);
        if (meterClock.isValid())
            rowsCount += rows;
        else
            meterClock.start();
    }
    bool saturated = false;
    {
        QMutexLocker lock(&saturationMutex);
        saturated = status.wordOverflow && std::exchange(saturationArmed, false);
    }
    if (saturated) {
        emit frontEndSaturation();
        emit startSaturationTimer();
    }
    int rangeChange = 0;
    {
        QMutexLocker lock(&rangeChangeMutex);
        if (rangeChangeArmed && rangeChangeEnabled &&
            (status.rangeUpSuggested || status.rangeDownSuggested)) {
            rangeChange = status.rangeUpSuggested ? 1 : -1;
            rangeChangeArmed = false;
        }
    }
    if (rangeChange != 0) {
        emit frontEndCurrentRangeChange(rangeChange);
        emit startCurrentRangeChangeTimer();
    }
}

void DeviceDataProducer::pause(unsigned long ms) {
    std::unique_lock lock(runMutex);
    if (!stopRequested) runChanged.wait_for(lock, std::chrono::milliseconds(ms));
}

void DeviceDataProducer::onComputeBitRate() {
    int64_t rows = 0;
    qint64 intervalNs = 0;
    {
        QMutexLocker lock(&meterMutex);
        if (meterClock.isValid()) {
            const qint64 now = meterClock.nsecsElapsed();
            // Too short an interval after the first rows would measure the deliveries' grain.
            if (now - meterMarkNs < meterIntervalSeconds * 500'000'000LL) return;
            rows = std::exchange(rowsCount, 0);
            intervalNs = now - std::exchange(meterMarkNs, now);
        }
    }
    emit bitRateComputed(intervalNs > 0 ? double(rows) * 1e9 / double(intervalNs) : 0.0);
}

void DeviceDataProducer::onStartSaturationTmr() {
    saturationTimer.start();
}

void DeviceDataProducer::onSaturationCheck() {
    QMutexLocker lock(&saturationMutex);
    saturationArmed = true;
}

void DeviceDataProducer::onStartCurrentRangeChangeTmr() {
    rangeChangeTimer.start();
}

void DeviceDataProducer::onCurrentRangeChangeCheck() {
    QMutexLocker lock(&rangeChangeMutex);
    rangeChangeArmed = true;
}
