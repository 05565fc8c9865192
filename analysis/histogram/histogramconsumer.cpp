#include "analysis/histogram/histogramconsumer.h"

#include "analysis/framework/csvformat.h"

#include <QMutexLocker>

#include <algorithm>

#include <cmath>

HistogramConsumer::HistogramConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer), records(size_t(currentChannelsNum)), recordRanges(currentRanges) {
    for (size_t c = 0; c < records.size(); c++)
        records[c].reset(recordRanges[c]);
}

HistogramConsumer::~HistogramConsumer() {
    onStopConsuming();
}

void HistogramConsumer::setLimits(int channelIdx, double min, double max) {
    if (!validChannel(channelIdx)) return;
    QMutexLocker lock(&resultMutex);
    records[size_t(channelIdx)].setLimits(recordRanges[size_t(channelIdx)], min, max);
}

void HistogramConsumer::clearLimits(int channelIdx) {
    if (!validChannel(channelIdx)) return;
    QMutexLocker lock(&resultMutex);
    records[size_t(channelIdx)].clearLimits(recordRanges[size_t(channelIdx)]);
}

HistogramRecord HistogramConsumer::channelResult(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    if (!validChannel(channelIdx)) return {};
    HistogramRecord copy = records[size_t(channelIdx)];
    // Bins of its own, copied under the lock: bins shared with the record would be copied by
    // the caller's first change outside it, while this thread may be counting into them.
    copy.counts.detach();
    return copy;
}

void HistogramConsumer::allocateBuffers() {
    {
        QMutexLocker lock(&resultMutex);
        for (HistogramRecord& record : records)
            record.binCount = HistogramRecord::defaultBinCount;
    }
    accumulated.clear();
    resetAnalysis(currentChannelsNum);
}

void HistogramConsumer::resetAnalysis(int channelIdx) {
    {
        QMutexLocker lock(&resultMutex);
        recordRanges = currentRanges;
    }
    resetEachChannel(channelIdx);
}

void HistogramConsumer::resetChannel(int channelIdx) {
    records[size_t(channelIdx)].reset(recordRanges[size_t(channelIdx)]);
    const double frames = std::round(samplingRate * 0.5);
    minimumFrames = std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

void HistogramConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0) return;
    // Whole half seconds, wherever the reads happened to end, so that a recording gives the same
    // histogram however it is read; while the rate is unknown, what came.
    const size_t waiting = accumulated.size() / width;
    const size_t frames =
        minimumFrames > 0 ? waiting / size_t(minimumFrames) * size_t(minimumFrames) : waiting;
    if (frames == 0) return;
    // Half a second of frames is larger than the caches: the channels are binned a block of
    // frames at a time, so that each block is read from memory once rather than per channel.
    const double* first = accumulated.data() + voltageChannelsNum;
    for (size_t f = 0; f < frames; f += blockFrames)
        for (size_t c = 0; c < records.size(); c++)
            if (activeChannels[c])
                records[c].add(first + f * width + c, std::min(blockFrames, frames - f), width);
    accumulated.erase(accumulated.begin(), accumulated.begin() + std::ptrdiff_t(frames * width));
    for (size_t c = 0; c < records.size(); c++)
        if (activeChannels[c]) markPublished(int(c));
    emit result();
}

QString histogramTitle(int currentChannelIdx) {
    return QString("Histogram - channel %1").arg(currentChannelIdx + 1);
}

QString histogramCsv(int currentChannelIdx, const HistogramRecord& record, const QString& separator) {
    QString text = csvLine({"Channel:", QString::number(currentChannelIdx + 1)}, separator);
    text += csvLine({csvHeader("Current", record.unitLabel), "Samples"}, separator);
    for (qsizetype i = 0; i < record.counts.size(); i++) {
        const double lower = record.lowerEdge + double(i) * record.binWidth;
        text +=
            csvLine({csvNumber((lower + (lower + record.binWidth)) * 0.5), QString::number(record.counts[i])},
                    separator);
    }
    return text;
}
