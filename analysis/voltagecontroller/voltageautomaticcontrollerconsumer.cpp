#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

namespace {

int framesIn(const kv4cl::Measurement_t& time, double rate) {
    const double frames = std::round(time.getNoPrefixValue() * rate);
    return std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

} // namespace

VoltageAutomaticControllerConsumer::VoltageAutomaticControllerConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer) {
    qRegisterMetaType<VoltageAutomaticControllerConsumer::Result_t>();
}

VoltageAutomaticControllerConsumer::~VoltageAutomaticControllerConsumer() {
    onStopConsuming();
}

void VoltageAutomaticControllerConsumer::onChannelChanged(int currentChannelIdx) {
    QMutexLocker lock(&resultMutex);
    channel = currentChannelIdx;
    settingsChanged = true;
}

void VoltageAutomaticControllerConsumer::set(kv4cl::Measurement_t& field, const kv4cl::Measurement_t& value) {
    QMutexLocker lock(&resultMutex);
    field = value;
    settingsChanged = true;
}

void VoltageAutomaticControllerConsumer::onHighThCurrentChanged(kv4cl::Measurement_t value) {
    set(highThreshold, value);
}

void VoltageAutomaticControllerConsumer::onHighThDurationChanged(kv4cl::Measurement_t value) {
    set(highDuration, value);
}

void VoltageAutomaticControllerConsumer::onLowThCurrentChanged(kv4cl::Measurement_t value) {
    set(lowThreshold, value);
}

void VoltageAutomaticControllerConsumer::onLowThDurationChanged(kv4cl::Measurement_t value) {
    set(lowDuration, value);
}

void VoltageAutomaticControllerConsumer::onResetTimeChanged(kv4cl::Measurement_t value) {
    set(resetTime, value);
}

void VoltageAutomaticControllerConsumer::allocateBuffers() {
    const size_t channels = size_t(currentChannelsNum);
    highLevel.assign(channels, 0.0);
    lowLevel.assign(channels, 0.0);
    holdUntil.assign(channels, 0);
    highCount.assign(channels, 0);
    lowCount.assign(channels, 0);
    resetAnalysis(currentChannelsNum);
}

void VoltageAutomaticControllerConsumer::resetAnalysis(int channelIdx) {
    resetSingle(channelIdx);
}

void VoltageAutomaticControllerConsumer::resetChannel(int) {
    accumulated.clear();
    settingsChanged = false;
    for (size_t c = 0; c < highLevel.size(); c++) {
        const kv4cl::UnitPfx_t prefix = currentRanges[c].prefix;
        highLevel[c] = highThreshold.value * kv4cl::prefixFactor(highThreshold.prefix, prefix);
        lowLevel[c] = lowThreshold.value * kv4cl::prefixFactor(lowThreshold.prefix, prefix);
    }
    highFrames = framesIn(highDuration, samplingRate);
    lowFrames = framesIn(lowDuration, samplingRate);
    resetFrames = framesIn(resetTime, samplingRate);
    restarted = true;
    std::fill(highCount.begin(), highCount.end(), 0);
    std::fill(lowCount.begin(), lowCount.end(), 0);
}

void VoltageAutomaticControllerConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    if (settingsChanged) resetChannel(currentChannelsNum); // what was read waits no longer
    const size_t width = size_t(totalChannelsNum);
    if (width == 0 || highLevel.empty()) return;
    const size_t frames = accumulated.size() / width;
    const uint64_t firstRow = accumulatedEnd - frames;
    if (restarted) std::fill(holdUntil.begin(), holdUntil.end(), firstRow + uint64_t(resetFrames));
    restarted = false;
    const bool all = channel < 0 || channel >= currentChannelsNum;
    const size_t first = all ? 0 : size_t(channel);
    const size_t last = all ? highLevel.size() : first + 1;
    const double* frame = accumulated.data() + voltageChannelsNum;
    // A rule acts on the frames acquired from now on, after those this read has yet to reach.
    const uint64_t acting = std::max(producer->rowsProduced(), accumulatedEnd) + uint64_t(resetFrames);
    for (size_t f = 0; f < frames; f++, frame += width)
        for (size_t c = first; c < last; c++) {
            if (firstRow + f < holdUntil[c]) continue;
            const double x = frame[c];
            // A count already beyond the duration that grows again: the current stayed longer.
            if (x > highLevel[c]) {
                if (highCount[c]++ > highFrames) {
                    highCount[c] = 0;
                    holdUntil[c] = acting;
                    emit result({true, int(c)});
                }
            } else {
                highCount[c] = 0;
            }
            if (x < lowLevel[c]) {
                if (lowCount[c]++ > lowFrames) {
                    lowCount[c] = 0;
                    holdUntil[c] = acting;
                    emit result({false, int(c)});
                }
            } else {
                lowCount[c] = 0;
            }
        }
    accumulated.clear();
}
