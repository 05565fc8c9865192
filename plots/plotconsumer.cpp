#include "plots/plotconsumer.h"

#include "commlib/api/kv4cl.h"

#include <QElapsedTimer>
#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr qint64 publicationIntervalMs = 100;
// A read waits for this much data.
constexpr double readSeconds = 0.05;

} // namespace

PlotConsumer::PlotConsumer(DeviceDataProducer* producer)
    : DeviceDataConsumer(producer), bufferStorage(size_t(totalChannelsNum) * bufferSize),
      lossMarks(bufferSize), bufferPrefixes(size_t(totalChannelsNum), kv4cl::UnitPfxNone),
      timeValues(bufferSize), preTrigger(ringSize), ringRow(size_t(totalChannelsNum)),
      baselineSums(size_t(currentChannelsNum + gpChannelsNum)) {
    lateRows.setInterval(int(publicationIntervalMs));
    connect(&lateRows, &QTimer::timeout, this, [this] {
        if (unpublished.exchange(false)) emit plotDataUpdated();
    });
    for (int32_t c = 0; c < totalChannelsNum; c++) {
        double* buffer = bufferStorage.data() + size_t(c) * bufferSize;
        channelBuffers.push_back(buffer);
        auto* curve = new Curve(0, 1.0);
        if (c < voltageChannelsNum) {
            voltageBuffers.append(buffer);
            voltageCurveList.append(curve);
        } else if (c < voltageChannelsNum + currentChannelsNum) {
            currentBuffers.append(buffer);
            currentCurveList.append(curve);
        } else {
            gpBuffers.append(buffer);
            gpCurveList.append(curve);
        }
    }
}

PlotConsumer::~PlotConsumer() {
    qDeleteAll(voltageCurveList);
    qDeleteAll(currentCurveList);
    qDeleteAll(gpCurveList);
}

void PlotConsumer::onStartConsuming() {
    startConsuming();
    lateRows.start();
}

void PlotConsumer::onStopConsuming() {
    stopConsuming();
    lateRows.stop();
}

void PlotConsumer::onTriggerEnabled(plots::TriggerType_t type, double x, double y, int ch) {
    {
        QMutexLocker lock(&mutex);
        averagingChanged = true; // the mean starts over with the new sweeps
    }
    QMutexLocker lock(&triggerMutex);
    triggerType = type;
    triggerPosition = duration > 0.0 ? std::clamp(x / duration, 0.0, 1.0) : 0.0;
    triggerLevel = y;
    triggerChannel = ch;
    preTriggerCount = preTriggerValues();
    preTriggerFilled = false;
    // The pre-trigger stretch comes from the rows scanned from now on, not from an older search.
    ringIndex = 0;
    // A running sweep completes before the search begins.
    triggerState = isRunning() ? Free : Waiting;
}

void PlotConsumer::onTriggerDisabled() {
    {
        QMutexLocker lock(&mutex);
        averagingChanged = true; // the mean starts over with the new sweeps
    }
    QMutexLocker lock(&triggerMutex);
    triggerChannel = -1;
    triggerType = plots::TriggerNone;
    triggerPosition = 0.0;
    triggerLevel = 0.0;
    preTriggerCount = 0;
    preTriggerFilled = false;
}

void PlotConsumer::onAverageSweeps(bool on) {
    QMutexLocker lock(&mutex);
    pendingAveraging = on;
    averagingChanged = true;
}

void PlotConsumer::onOverlaySweeps(bool on) {
    QMutexLocker lock(&mutex);
    pendingOverlay = on;
    overlayChanged = true;
}

void PlotConsumer::onDurationChanged(kv4cl::Measurement_t span) {
    QMutexLocker lock(&mutex);
    pendingDuration = span.getNoPrefixValue();
    durationChanged = true;
}

void PlotConsumer::run() {
    // What the library holds from before the start is not shown.
    kv4cl::flushData(false);
    hook->keepGaps = true;
    std::vector<size_t> lossRows;
    QElapsedTimer clock;
    clock.start();
    qint64 lastPublication = 0;
    // A stop still takes in what had arrived before it, so the plots end on the latest rows.
    for (bool last = false; !last;) {
        last = stopRequested();
        // Before the read, so that it is decimated as the sweep it lands in expects.
        applyChanges();
        const bool filtered = filteredDataChosen();
        const uint64_t firstRow = hook->row;
        readValues(*hook, readData, filtered, uint32_t(decimation), minRows);
        // A bucket of 2d rows gives a row of maxima and one of minima: row r is read as r / d.
        lossRows.clear();
        for (const SampleRing::Gap& gap : hook->gaps)
            lossRows.push_back(
                size_t((gap.row - std::min(gap.row, firstRow)) / uint64_t(std::max(decimation, 1))));
        hook->gaps.clear();
        writeRead(readData, lossRows);
        if (!readData.empty()) unpublished = true;
        if (clock.elapsed() - lastPublication > publicationIntervalMs) {
            publish();
            lastPublication = clock.elapsed();
        }
    }
    emit plotDataUpdated();
}

void PlotConsumer::applyChanges() {
    bool newDuration;
    double takenDuration;
    bool newAveraging;
    bool newOverlay;
    {
        QMutexLocker lock(&mutex);
        newDuration = std::exchange(durationChanged, false);
        takenDuration = pendingDuration;
        newAveraging = std::exchange(averagingChanged, false);
        averaging = pendingAveraging;
        newOverlay = std::exchange(overlayChanged, false);
        overlaying = pendingOverlay;
    }
    const Changes changes = applyPendingChanges();
    // Sweeps are overlaid, as averaged, only with like ones.
    if (newOverlay || newAveraging || newDuration || changes.samplingRate || changes.voltageRange ||
        changes.currentRanges || changes.gpRanges)
        forgetKeptSweeps();
    // A mean is of like sweeps: a new layout, trigger or range starts it over.
    if (newAveraging || newDuration || changes.samplingRate || changes.voltageRange ||
        changes.currentRanges || changes.gpRanges) {
        sweepAside.assign(averaging ? bufferStorage.size() : 0, 0.0);
        sweepSums.assign(averaging ? bufferStorage.size() : 0, 0.0);
        averagedSweeps = 0;
        if (averaging) {
            // The first sweep of the mean starts at a trigger, when one is set, as every later one does.
            writePosition = 0;
            QMutexLocker trigger(&triggerMutex);
            if (triggerType != plots::TriggerNone) {
                triggerState = Waiting;
                ringIndex = 0;
                preTriggerFilled = false;
            }
        }
    }
    if (newDuration || changes.samplingRate) {
        layOutSweep(newDuration ? takenDuration : duration);
        sweepLaidOut(timeValues.data(), &voltageBuffers, &currentBuffers, &gpBuffers, sweepPoints);
        emit durationUpdated(duration);
    }

    if (!changes.voltageRange && !changes.currentRanges && !changes.gpRanges) return;
    rescaleBuffers();
    std::lock_guard lock(handOver);
    if (changes.voltageRange) emit voltageRangeUpdated(voltageRange);
    if (changes.currentRanges)
        for (int32_t i = 0; i < currentChannelsNum; i++)
            emit currentRangeUpdated(currentRanges[size_t(i)], i);
    if (changes.gpRanges)
        for (int32_t i = 0; i < gpChannelsNum; i++)
            emit gpRangeUpdated(gpRanges[size_t(i)], i);
}

void PlotConsumer::layOutSweep(double sweepDuration) {
    const int64_t rows = std::max<int64_t>(0, std::llround(samplingRate * sweepDuration));
    minRows = uint32_t(std::llround(samplingRate * readSeconds));
    const auto d = int32_t((rows - 1) / bufferSize + 1);
    const auto points = int32_t(rows / d);
    {
        QMutexLocker display(&displayLock);
        for (int32_t i = 0; i < points; i++)
            timeValues[size_t(i)] = double(i) * d / samplingRate;
    }
    decimation = d;
    writePosition = 0;
    {
        QMutexLocker display(&displayLock);
        std::fill(lossMarks.begin(), lossMarks.end(), 0);
    }
    QMutexLocker trigger(&triggerMutex);
    duration = sweepDuration;
    sweepPoints = points;
    if (triggerType != plots::TriggerNone) preTriggerCount = preTriggerValues();
}

uint32_t PlotConsumer::preTriggerValues() const {
    return uint32_t(std::llround(sweepPoints * triggerPosition)) * uint32_t(totalChannelsNum);
}

kv4cl::UnitPfx_t PlotConsumer::rangePrefix(int32_t channel) const {
    if (channel < voltageChannelsNum) return voltageRange.prefix;
    channel -= voltageChannelsNum;
    if (channel < currentChannelsNum) return currentRanges[size_t(channel)].prefix;
    return gpRanges[size_t(channel - currentChannelsNum)].prefix;
}

void PlotConsumer::rescaleBuffers() {
    std::vector<double> factors(size_t(totalChannelsNum), 1.0);
    {
        QMutexLocker display(&displayLock);
        for (int32_t c = 0; c < totalChannelsNum; c++) {
            const kv4cl::UnitPfx_t prefix = rangePrefix(c);
            const double factor = kv4cl::prefixFactor(bufferPrefixes[size_t(c)], prefix);
            factors[size_t(c)] = factor;
            bufferPrefixes[size_t(c)] = prefix;
            if (factor == 1.0) continue;
            double* buffer = channelBuffers[size_t(c)];
            std::transform(buffer, buffer + sweepPoints, buffer, [factor](double v) { return v * factor; });
        }
    }
    QMutexLocker trigger(&triggerMutex);
    if (triggerChannel >= 0 && triggerChannel < totalChannelsNum)
        triggerLevel *= factors[size_t(triggerChannel)];
}

std::vector<double> PlotConsumer::lossTimes() const {
    std::vector<double> times;
    for (int32_t i = 0; i < sweepPoints; i++)
        if (lossMarks[size_t(i)]) times.push_back(timeValues[size_t(i)]);
    return times;
}

void PlotConsumer::writeRead(const std::vector<double>& data, const std::vector<size_t>& lossRows) {
    std::fill(baselineSums.begin(), baselineSums.end(), 0.0);
    accumulatedRows = 0;
    if (sweepPoints == 0) return;

    QMutexLocker display(&displayLock);
    size_t nextLoss = 0;
    const double* row = data.data();
    const double* const end = row + data.size();
    while (row < end) {
        row = awaitTrigger(row, end);
        bool rearmed = false;
        for (; row < end && !rearmed; row += totalChannelsNum) {
            // A loss in rows the trigger passed over is not marked.
            const auto index = size_t(row - data.data()) / size_t(totalChannelsNum);
            while (nextLoss < lossRows.size() && lossRows[nextLoss] < index)
                nextLoss++;
            const bool lossBefore = nextLoss < lossRows.size() && lossRows[nextLoss] == index;
            rearmed = writeRow(row, lossBefore) && rearmTrigger();
        }
    }
}

const double* PlotConsumer::awaitTrigger(const double* row, const double* end) {
    QMutexLocker lock(&triggerMutex);
    while (triggerType != plots::TriggerNone && triggerState <= Armed && row < end) {
        for (; row < end && triggerState != Fired; row += totalChannelsNum)
            scanRow(row);
        if (triggerState == Fired) {
            triggerState = Free;
            writePreTrigger();
        }
    }
    return row;
}

void PlotConsumer::scanRow(const double* row) {
    for (int32_t c = 0; c < totalChannelsNum; c++) {
        preTrigger[ringIndex] = row[c];
        ringIndex = (ringIndex + 1) & ringMask;
    }
    if (triggerChannel < 0 || triggerChannel >= totalChannelsNum) return;
    const double value = row[triggerChannel];
    const bool rising = triggerType == plots::TriggerRise;
    if (!preTriggerFilled)
        preTriggerFilled = ringIndex >= preTriggerCount;
    else if (triggerState == Waiting && (rising ? value < triggerLevel : value > triggerLevel))
        triggerState = Armed;
    else if (triggerState == Armed && (rising ? value >= triggerLevel : value <= triggerLevel))
        triggerState = Fired;
}

void PlotConsumer::writePreTrigger() {
    const auto width = uint32_t(totalChannelsNum);
    // The stretch ends with the row in which the trigger fired.
    uint32_t index = (ringIndex - preTriggerCount) & ringMask;
    for (uint32_t rows = preTriggerCount / width; rows > 0; rows--) {
        for (uint32_t c = 0; c < width; c++)
            ringRow[c] = preTrigger[(index + c) & ringMask];
        index = (index + width) & ringMask;
        if (writeRow(ringRow.data())) {
            triggerState = Waiting;
            break;
        }
    }
    ringIndex = 0;
    preTriggerFilled = false;
}

bool PlotConsumer::rearmTrigger() {
    QMutexLocker lock(&triggerMutex);
    if (triggerType == plots::TriggerNone) return false;
    triggerState = Waiting;
    return true;
}

bool PlotConsumer::writeRow(const double* row, bool lossBefore) {
    lossMarks[size_t(writePosition)] = lossBefore && !averaging;
    for (int32_t c = 0; c < totalChannelsNum; c++)
        (averaging ? sweepAside.data() + size_t(c) * bufferSize : channelBuffers[size_t(c)])[writePosition] =
            row[c];
    for (int32_t c = voltageChannelsNum; c < totalChannelsNum; c++)
        baselineSums[size_t(c - voltageChannelsNum)] += row[c];
    accumulatedRows++;
    if (++writePosition < sweepPoints) return false;
    writePosition = 0;
    sweepCompleted = true;
    if (averaging) addToMean();
    if (overlaying) keepSweep();
    return true;
}

void PlotConsumer::keepSweep() {
    const size_t sweepValues = size_t(totalChannelsNum) * bufferSize;
    if (keptStorage.size() != sweepValues * sweepsKeptMax)
        keptStorage.assign(sweepValues * sweepsKeptMax, 0.0);
    // While averaging the buffers hold the mean; the sweep itself is the one written aside.
    const double* sweep = averaging ? sweepAside.data() : bufferStorage.data();
    double* kept = keptStorage.data() + size_t(keptNext) * sweepValues;
    for (int32_t c = 0; c < totalChannelsNum; c++)
        std::copy_n(sweep + size_t(c) * bufferSize, sweepPoints, kept + size_t(c) * bufferSize);
    keptNext = (keptNext + 1) % sweepsKeptMax;
    keptCount = std::min(keptCount + 1, sweepsKeptMax);
    keptSweepPoints = sweepPoints;
    keptChanges++;
}

void PlotConsumer::forgetKeptSweeps() {
    QMutexLocker display(&displayLock);
    if (!overlaying) std::vector<double>().swap(keptStorage);
    keptCount = keptNext = 0;
    keptChanges++;
}

const double* PlotConsumer::keptSweep(int k, int32_t channel) const {
    const int slot = (keptNext - keptCount + k + sweepsKeptMax) % sweepsKeptMax;
    return keptStorage.data() + (size_t(slot) * size_t(totalChannelsNum) + size_t(channel)) * bufferSize;
}

void PlotConsumer::addToMean() {
    const int count = ++averagedSweeps;
    for (int32_t c = 0; c < totalChannelsNum; c++) {
        const size_t offset = size_t(c) * bufferSize;
        for (int32_t i = 0; i < sweepPoints; i++) {
            sweepSums[offset + size_t(i)] += sweepAside[offset + size_t(i)];
            channelBuffers[size_t(c)][i] = sweepSums[offset + size_t(i)] / count;
        }
    }
}

void PlotConsumer::publish() {
    if (accumulatedRows > 0 && sweepCompleted) {
        QList<double> means;
        means.reserve(qsizetype(baselineSums.size()));
        for (double sum : baselineSums)
            means.append(sum / accumulatedRows);
        std::lock_guard lock(handOver);
        emit baselinesAvailable(means);
    }
    sweepCompleted = false;
    unpublished = false;
    emit plotDataUpdated();
}
