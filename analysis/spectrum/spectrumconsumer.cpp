#include "analysis/spectrum/spectrumconsumer.h"

#include "analysis/framework/csvformat.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

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

SpectrumCurve spectrumCurve(const SpectrumRecord& record, bool squared) {
    const int n = record.halfSize;
    SpectrumCurve curve{QList<double>(record.frequencies.begin(), record.frequencies.begin() + n),
                        QList<double>(record.spectrum.begin(), record.spectrum.begin() + n),
                        {}};
    if (squared) {
        curve.unitLabel = record.unitLabel + QChar(0x00B2) + "/Hz";
    } else {
        for (double& v : curve.values)
            v = std::sqrt(v);
        curve.unitLabel = record.unitLabel + "/" + QChar(0x221A) + "Hz";
    }
    return curve;
}

QString spectrumTitle(int currentChannelIdx) {
    return QString("Spectrum - channel %1").arg(currentChannelIdx + 1);
}

QString spectrumCsv(int currentChannelIdx, const SpectrumCurve& curve, const QString& separator) {
    QString text = csvLine({"Current Channel:", QString::number(currentChannelIdx + 1)}, separator);
    text += csvLine({csvHeader("Frequency", "Hz"), csvHeader("Current Squared Module", curve.unitLabel)},
                    separator);
    for (qsizetype i = 0; i < curve.frequencies.size(); i++)
        text += csvLine({csvNumber(curve.frequencies[i]), csvNumber(curve.values[i])}, separator);
    return text;
}
