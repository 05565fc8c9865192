#include "analysis/membranemonitor/membranemonitorconsumer.h"

#include <QMutexLocker>

#include <cmath>

namespace {

// Seconds times the rate, rounded half away from zero; 0 for what is no count of frames.
int framesIn(double seconds, double rate) {
    const double frames = std::round(seconds * rate);
    return std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

} // namespace

MembraneMonitorConsumer::MembraneMonitorConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer), monitored(size_t(currentChannelsNum), false) {
    qRegisterMetaType<MembraneMonitorConsumer::Result_t>();
    qRegisterMetaType<MembraneMonitorConsumer::Options_t>();
    options.minimumTime = options.minimumTime.converted(kv4cl::UnitPfxNone);
}

MembraneMonitorConsumer::~MembraneMonitorConsumer() {
    onStopConsuming();
}

void MembraneMonitorConsumer::onSetOptions(const Options_t& newOptions) {
    QMutexLocker lock(&resultMutex);
    options = newOptions;
    options.minimumTime = newOptions.minimumTime.converted(kv4cl::UnitPfxNone);
    optionsChanged = true;
}

void MembraneMonitorConsumer::onChannelStatusChanged(int channelIdx, bool checked, bool enabled) {
    if (!validChannel(channelIdx)) return;
    QMutexLocker lock(&resultMutex);
    monitored[size_t(channelIdx)] = checked && enabled;
}

void MembraneMonitorConsumer::allocateBuffers() {
    const size_t channels = size_t(currentChannelsNum);
    upper.assign(channels, 0.0);
    lower.assign(channels, 0.0);
    saturationUpper.assign(channels, 0.0);
    saturationLower.assign(channels, 0.0);
    aboveCounts.assign(channels, 0);
    belowCounts.assign(channels, 0);
    resetAnalysis(currentChannelsNum);
}

void MembraneMonitorConsumer::resetAnalysis(int channelIdx) {
    resetSingle(channelIdx);
}

void MembraneMonitorConsumer::resetChannel(int) {
    accumulated.clear();
    optionsChanged = false;
    for (size_t c = 0; c < upper.size(); c++) {
        const kv4cl::RangedMeasurement_t& range = currentRanges[c];
        saturationLower[c] = range.min + 3.0 * range.step;
        saturationUpper[c] = range.max - 3.0 * range.step;
        if (options.switchOffOnSaturation) {
            lower[c] = saturationLower[c];
            upper[c] = saturationUpper[c];
        } else {
            const double factor = kv4cl::prefixFactor(options.currentLimits.prefix, range.prefix);
            lower[c] = options.currentLimits.min * factor;
            upper[c] = options.currentLimits.max * factor;
        }
    }
    minimumFrames = framesIn(options.minimumTime.value, samplingRate);
    std::fill(aboveCounts.begin(), aboveCounts.end(), 0);
    std::fill(belowCounts.begin(), belowCounts.end(), 0);
}

void MembraneMonitorConsumer::detected(int channelIdx, bool saturated) {
    // Every channel waits one minimum time before the next detection: the switch that follows
    // disturbs its neighbours.
    std::fill(aboveCounts.begin(), aboveCounts.end(), -minimumFrames);
    std::fill(belowCounts.begin(), belowCounts.end(), -minimumFrames);
    emit result({channelIdx, saturated});
}

void MembraneMonitorConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    if (optionsChanged) resetChannel(currentChannelsNum); // what was read waits no longer
    const size_t width = size_t(totalChannelsNum);
    if (width == 0 || upper.empty()) return;
    const size_t frames = accumulated.size() / width;
    const double* frame = accumulated.data() + voltageChannelsNum;
    for (size_t f = 0; f < frames; f++, frame += width)
        for (size_t c = 0; c < upper.size(); c++) {
            if (!monitored[c]) continue;
            const double x = frame[c];
            // A count already beyond the minimum that grows again: the excursion lasted longer.
            const bool saturated = x >= saturationUpper[c] || x <= saturationLower[c];
            if (x > upper[c]) {
                if (aboveCounts[c]++ > minimumFrames) detected(int(c), saturated);
            } else {
                aboveCounts[c] = 0;
            }
            if (x < lower[c]) {
                if (belowCounts[c]++ > minimumFrames) detected(int(c), saturated);
            } else {
                belowCounts[c] = 0;
            }
        }
    accumulated.clear();
}
