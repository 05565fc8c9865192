#include "analysis/rcestimation/estimationconsumer.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

EstimationConsumer::EstimationConsumer(DeviceDataProducer* producer, int repetitions)
    : AnalysisConsumer(producer), repetitions(repetitions) {}

void EstimationConsumer::setContinuous(bool on) {
    QMutexLocker lock(&resultMutex);
    continuous = on;
}

void EstimationConsumer::setRepetitions(int periods) {
    QMutexLocker lock(&resultMutex);
    repetitions = std::max(periods, 1);
}

void EstimationConsumer::resetAnalysis(int channelIdx) {
    resetSingle(channelIdx);
}

void EstimationConsumer::resetChannel(int) {
    // Every channel is measured on the same frames: the search starts over for all.
    accumulated.clear();
    phase = 0;
    const double frames = std::round(samplingRate * 0.5);
    minimumFrames = std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

void EstimationConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0) return;
    const size_t frames = accumulated.size() / width;
    if (frames == 0 || frames < size_t(minimumFrames)) return;
    if (phase != idle)
        for (size_t f = 0; f < frames; f++)
            step(accumulated.data() + f * width);
    accumulated.erase(accumulated.begin(), accumulated.begin() + std::ptrdiff_t(frames * width));
}
