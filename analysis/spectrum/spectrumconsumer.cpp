#include "analysis/spectrum/spectrumconsumer.h"

#include <QMutexLocker>

#include <algorithm>

namespace {

QString unitLabel(const kv4cl::RangedMeasurement_t& range) {
    const bool known = range.prefix >= 0 && range.prefix < kv4cl::UnitPfxNum;
    return QString::fromStdString((known ? std::string(kv4cl::unitPrefixes[range.prefix]) : "?") +
                                  range.unit);
}

} // namespace

SpectrumConsumer::SpectrumConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer), records(size_t(currentChannelsNum)), recordRate(samplingRate),
      unitLabels(size_t(currentChannelsNum)) {
    for (size_t c = 0; c < records.size(); c++) {
        unitLabels[c] = unitLabel(currentRanges[c]);
        records[c].reset(recordRate, unitLabels[c]);
    }
}

SpectrumConsumer::~SpectrumConsumer() {
    onStopConsuming();
}

SpectrumRecord SpectrumConsumer::channelResult(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    return validChannel(channelIdx) ? records[size_t(channelIdx)] : SpectrumRecord{};
}

void SpectrumConsumer::onSetOptions(int currentChannelsIdx, Options_t& options) {
    if (!validChannel(currentChannelsIdx)) return;
    const kv4cl::Measurement_t& t = options.minimumIntegrationTime;
    if (t.prefix < 0 || t.prefix >= kv4cl::UnitPfxNum) return;
    QMutexLocker lock(&resultMutex);
    if (records[size_t(currentChannelsIdx)].setOptions(options.fftBins, t.getNoPrefixValue()))
        resetChannel(currentChannelsIdx);
}

void SpectrumConsumer::allocateBuffers() {
    // The records hold their buffers at the largest size since construction.
    accumulated.clear();
    resetAnalysis(currentChannelsNum);
}

void SpectrumConsumer::resetAnalysis(int channelIdx) {
    {
        QMutexLocker lock(&resultMutex);
        recordRate = samplingRate;
        for (size_t c = 0; c < unitLabels.size(); c++)
            unitLabels[c] = unitLabel(currentRanges[c]);
    }
    resetEachChannel(channelIdx);
}

void SpectrumConsumer::resetChannel(int channelIdx) {
    records[size_t(channelIdx)].reset(recordRate, unitLabels[size_t(channelIdx)]);
}

void SpectrumConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0) return;
    const size_t frames = accumulated.size() / width;
    const double* first = accumulated.data() + voltageChannelsNum;
    // A block of frames at a time, so that each is read from memory once rather than per
    // channel; each channel still gets its samples in order.
    std::vector<int> results(records.size(), 0);
    for (size_t f = 0; f < frames; f += blockFrames)
        for (size_t c = 0; c < records.size(); c++)
            if (activeChannels[c])
                results[c] += records[c].add(first + f * width + c, std::min(blockFrames, frames - f), width);
    accumulated.clear();
    bool any = false;
    for (size_t c = 0; c < records.size(); c++)
        if (results[c] > 0) {
            markPublished(int(c));
            any = true;
        }
    if (any) emit result();
}
