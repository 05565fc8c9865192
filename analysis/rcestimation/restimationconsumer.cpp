#include "analysis/rcestimation/restimationconsumer.h"

#include <algorithm>
#include <cmath>

REstimationConsumer::REstimationConsumer(DeviceDataProducer* producer) : EstimationConsumer(producer, 3) {
    qRegisterMetaType<REstimationConsumer::Result_t>();
}

REstimationConsumer::~REstimationConsumer() {
    onStopConsuming();
}

void REstimationConsumer::allocateBuffers() {
    lowSums.assign(size_t(currentChannelsNum), 0.0);
    highSums.assign(size_t(currentChannelsNum), 0.0);
    saturatedSums.assign(size_t(currentChannelsNum), false);
    resetAnalysis(currentChannelsNum);
}

void REstimationConsumer::step(const double* frame) {
    const double v = frame[0];
    switch (phase) {
    case 0:
        remembered = v;
        repetitionsDone = 0;
        phase = 1;
        return;
    case 1:
        if (v == remembered) return;
        levels = {v, v, v};
        durations = {1, 0, 0};
        phase = 2;
        return;
    case 2:
    case 3: {
        const int k = phase - 2; // the level being counted
        if (v == levels[size_t(k)]) {
            durations[size_t(k)]++;
            return;
        }
        levels[size_t(k + 1)] = v;
        durations[size_t(k + 1)] = 1;
        const double size = std::abs(v - levels[size_t(k)]);
        if (k == 0 || size > largestStep) {
            largestStep = size;
            stepIndex = k;
        }
        phase++;
        return;
    }
    case 4: {
        if (v == levels[2]) {
            durations[2]++;
            return;
        }
        if (std::abs(levels[0] - levels[2]) > largestStep) {
            largestStep = std::abs(levels[0] - levels[2]);
            stepIndex = 2;
        }
        const size_t low = size_t(stepIndex), high = size_t((stepIndex + 1) % 3);
        lowLevel = levels[low];
        highLevel = levels[high];
        deltaV = (highLevel - lowLevel) * voltageMultiplier;
        lowHalf = durations[low] / 2;
        lowThird = durations[low] / 3;
        highHalf = durations[high] / 2;
        highThird = durations[high] / 3;
        std::fill(lowSums.begin(), lowSums.end(), 0.0);
        std::fill(highSums.begin(), highSums.end(), 0.0);
        std::fill(saturatedSums.begin(), saturatedSums.end(), false);
        if (lowThird < 1 || highThird < 1) {
            phase = 0;
            step(frame);
            return;
        }
        // From V3 back to V1: this frame is the low level's first.
        phase = stepIndex == 0 ? 6 : 5;
        seen = summed = 0;
        step(frame);
        return;
    }
    case 5:
    case 8: {
        const double level = phase == 5 ? lowLevel : highLevel;
        if (v == level) {
            phase++;
            seen = summed = 0;
            step(frame);
        } else if (!isLevel(v)) {
            phase = 0;
            step(frame);
        }
        return;
    }
    case 6:
    case 7:
        measure(frame, lowLevel, lowHalf, lowThird, lowSums, 8);
        return;
    case 9:
    case 10:
        measure(frame, highLevel, highHalf, highThird, highSums, 5);
        if (phase == 5) finishPeriod();
        return;
    default: // 11: one result given, idle until reset
        return;
    }
}

void REstimationConsumer::measure(const double* frame, double level, int half, int third,
                                  std::vector<double>& sums, int next) {
    if (frame[0] != level) {
        phase = 0;
        step(frame);
        return;
    }
    if (++seen <= half) return;
    const double* current = frame + voltageChannelsNum;
    for (size_t c = 0; c < sums.size(); c++) {
        sums[c] += current[c];
        const kv4cl::RangedMeasurement_t& range = currentRanges[c];
        if (current[c] >= range.max - 3.0 * range.step || current[c] <= range.min + 3.0 * range.step)
            saturatedSums[c] = true;
    }
    if (++summed == third) phase = next;
}

void REstimationConsumer::finishPeriod() {
    if (++repetitionsDone < repetitions) return;
    Result_t res;
    for (size_t c = 0; c < lowSums.size(); c++) {
        // Over the periods summed, which a change of repetitions under way makes more than asked.
        const double low = lowSums[c] / (repetitionsDone * lowThird);
        const double high = highSums[c] / (repetitionsDone * highThird);
        double r = std::nan("");
        if ((high > low && deltaV > 0) || (low > high && deltaV < 0))
            r = deltaV / ((high - low) * currentMultipliers[c]);
        res.resistances.append(r < 0 ? std::nan("") : r);
    }
    res.saturated = QList<bool>(saturatedSums.begin(), saturatedSums.end());
    std::fill(lowSums.begin(), lowSums.end(), 0.0);
    std::fill(highSums.begin(), highSums.end(), 0.0);
    std::fill(saturatedSums.begin(), saturatedSums.end(), false);
    repetitionsDone = 0;
    resultGiven();
    std::lock_guard handingOver(handOver);
    emit result(res);
}
