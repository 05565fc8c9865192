#include "analysis/framework/analysisconsumer.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

namespace {

// The ring holds 2^18 frames; one read never asks for more than a quarter of them.
constexpr int maxChunk = 1 << 16;

// From the range's prefixed unit to its bare unit; NaN for a prefix no table holds, so that
// results in an unknown unit show as missing rather than wrong.
double multiplier(const kv4cl::RangedMeasurement_t& range) {
    if (range.prefix < 0 || range.prefix >= kv4cl::UnitPfxNum) return std::nan("");
    return kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
}

void removeIndex(std::vector<int>& list, int index) {
    list.erase(std::remove(list.begin(), list.end(), index), list.end());
}

void appendOnce(std::vector<int>& list, int index) {
    if (std::find(list.begin(), list.end(), index) == list.end()) list.push_back(index);
}

} // namespace

AnalysisConsumer::AnalysisConsumer(DeviceDataProducer* producer)
    : DeviceDataConsumer(producer), currentMultipliers(size_t(currentChannelsNum), 1.0),
      gpMultipliers(size_t(gpChannelsNum), 1.0), activeChannels(size_t(currentChannelsNum), false),
      published(new std::atomic<uint64_t>[size_t(currentChannelsNum)]()),
      wantedChannels(size_t(currentChannelsNum), false) {
    readBuffer.reserve(size_t(totalChannelsNum) * SampleRing::rowCount);
    connect(this, &QThread::started, this, [this] { emit analyzing(true); });
    connect(this, &QThread::finished, this, [this] { emit analyzing(false); });
}

AnalysisConsumer::~AnalysisConsumer() = default;

void AnalysisConsumer::onStartConsuming() {
    if (isRunning()) return;
    {
        QMutexLocker lock(&requestMutex);
        if (wantedCount == 0) { // the whole consumer: every channel
            wantedChannels.assign(wantedChannels.size(), true);
            wantedCount = currentChannelsNum;
        }
        activeChannels = wantedChannels;
        pendingStarts.clear();
        pendingStops.clear();
        requestsPending = false;
    }
    if (!fedByCaller) startConsuming();
}

void AnalysisConsumer::onStopConsuming() {
    stopConsuming();
    QMutexLocker lock(&requestMutex);
    wantedChannels.assign(wantedChannels.size(), false);
    wantedCount = 0;
}

void AnalysisConsumer::onStartConsuming(int currentChannelIdx) {
    if (!validChannel(currentChannelIdx)) return;
    const auto idx = size_t(currentChannelIdx);
    {
        QMutexLocker lock(&requestMutex);
        if (wantedCount > 0) {
            if (wantedChannels[idx]) return;
            wantedChannels[idx] = true;
            wantedCount++;
            removeIndex(pendingStops, currentChannelIdx);
            appendOnce(pendingStarts, currentChannelIdx);
            requestsPending = true;
            return;
        }
        wantedChannels.assign(wantedChannels.size(), false);
        wantedChannels[idx] = true;
        wantedCount = 1;
    }
    onStartConsuming();
}

void AnalysisConsumer::onStopConsuming(int currentChannelIdx) {
    if (!validChannel(currentChannelIdx)) return;
    const auto idx = size_t(currentChannelIdx);
    {
        QMutexLocker lock(&requestMutex);
        if (!wantedChannels[idx]) return;
        if (wantedCount > 1) {
            wantedChannels[idx] = false;
            wantedCount--;
            removeIndex(pendingStarts, currentChannelIdx);
            appendOnce(pendingStops, currentChannelIdx);
            requestsPending = true;
            return;
        }
    }
    onStopConsuming(); // the last channel
}

void AnalysisConsumer::onResetConsuming(int currentChannelIdx) {
    onStopConsuming(currentChannelIdx);
    onStartConsuming(currentChannelIdx);
}

void AnalysisConsumer::resetSingle(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    resetChannel(channelIdx);
}

void AnalysisConsumer::resetEachChannel(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    if (channelIdx >= currentChannelsNum) {
        for (int c = 0; c < currentChannelsNum; c++)
            resetChannel(c);
    } else {
        resetChannel(channelIdx);
    }
}

void AnalysisConsumer::applyChannelRequests() {
    QMutexLocker lock(&requestMutex);
    if (!std::exchange(requestsPending, false)) return;
    for (int idx : pendingStops)
        activeChannels[size_t(idx)] = false;
    for (int idx : pendingStarts)
        if (!activeChannels[size_t(idx)]) {
            activeChannels[size_t(idx)] = true;
            resetAnalysis(idx);
        }
    pendingStarts.clear();
    pendingStops.clear();
}

void AnalysisConsumer::applyChanges(const Changes& changes) {
    if (changes.samplingRate) {
        const double frames = samplingRate * 0.05;
        readChunk =
            std::isfinite(frames) && frames > 0.0 ? int(std::min(std::round(frames), double(maxChunk))) : 0;
    }
    if (changes.voltageRange) voltageMultiplier = multiplier(voltageRange);
    if (changes.currentRanges)
        for (size_t c = 0; c < currentMultipliers.size(); c++)
            currentMultipliers[c] = multiplier(currentRanges[c]);
    if (changes.gpRanges)
        for (size_t g = 0; g < gpMultipliers.size(); g++)
            gpMultipliers[g] = multiplier(gpRanges[g]);
    if (changes.samplingRate || changes.voltageRange || changes.currentRanges || changes.gpRanges)
        resetAnalysis(currentChannelsNum);
}

void AnalysisConsumer::prepareRun() {
    accumulated.clear();
    allocateBuffers();
    // What was applied before this run, and what is pending now.
    applyPendingChanges();
    applyChanges({.samplingRate = true, .voltageRange = true, .currentRanges = true, .gpRanges = true});
}

void AnalysisConsumer::analyseRows(const double* begin, const double* end, uint64_t endRow) {
    accumulated.insert(accumulated.end(), begin, end);
    accumulatedEnd = endRow;
    analyze();
}

void AnalysisConsumer::feed(const double* rows, size_t count, bool afterGap) {
    if (rowsFed == 0) prepareRun();
    applyChannelRequests();
    applyChanges(applyPendingChanges());
    if (afterGap) framesMissing();
    rowsFed += count;
    analyseRows(rows, rows + count * size_t(totalChannelsNum), rowsFed);
    analysedRows.store(rowsFed, std::memory_order_release);
}

void AnalysisConsumer::run() {
    hook->keepGaps = true;
    prepareRun();
    while (!stopRequested()) {
        readValues(*hook, readBuffer, filteredDataChosen(), 0, uint32_t(std::max(readChunk, 1) - 1));
        if (stopRequested()) break;
        // Requests and changes made while the read waited take effect before these rows are
        // analysed.
        applyChannelRequests();
        applyChanges(applyPendingChanges());
        // The rows before each gap are analysed before the analysis learns of it.
        const size_t width = size_t(totalChannelsNum);
        const uint64_t rowsRead = width > 0 ? readBuffer.size() / width : 0;
        const uint64_t firstRow = hook->row - rowsRead;
        size_t done = 0;
        for (const SampleRing::Gap& gap : hook->gaps) {
            const size_t at = size_t(std::clamp(gap.row, firstRow, hook->row) - firstRow) * width;
            if (at > done) {
                analyseRows(readBuffer.data() + done, readBuffer.data() + at, firstRow + at / width);
                done = at;
            }
            framesMissing();
        }
        hook->gaps.clear();
        if (done < readBuffer.size())
            analyseRows(readBuffer.data() + done, readBuffer.data() + readBuffer.size(), hook->row);
        if (rowsRead > 0) {
            analysedRows.store(hook->row, std::memory_order_release);
            emit analysed();
        }
    }
}
