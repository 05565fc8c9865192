#include "analysis/rcestimation/cestimationconsumer.h"

#include <algorithm>
#include <cmath>

CEstimationConsumer::CEstimationConsumer(DeviceDataProducer* producer) : EstimationConsumer(producer, 10) {
    qRegisterMetaType<CEstimationConsumer::Result_t>();
}

CEstimationConsumer::~CEstimationConsumer() {
    onStopConsuming();
}

void CEstimationConsumer::RampSums::clear() {
    frames = v = vv = 0.0;
    std::fill(i.begin(), i.end(), 0.0);
    std::fill(iv.begin(), iv.end(), 0.0);
}

void CEstimationConsumer::RampSums::add(double voltage, const double* currents) {
    frames++;
    v += voltage;
    vv += voltage * voltage;
    for (size_t c = 0; c < i.size(); c++) {
        i[c] += currents[c];
        iv[c] += currents[c] * voltage;
    }
}

void CEstimationConsumer::allocateBuffers() {
    for (RampSums* sums : {&firstSums, &secondSums}) {
        sums->i.assign(size_t(currentChannelsNum), 0.0);
        sums->iv.assign(size_t(currentChannelsNum), 0.0);
    }
    resetAnalysis(currentChannelsNum);
}

void CEstimationConsumer::step(const double* frame) {
    const double v = frame[0];
    const bool turned = (direction > 0 && v < previous) || (direction < 0 && v > previous);
    const double extreme = previous; // where the ramp turned, when it did
    previous = v;
    if (turned) direction = -direction;
    switch (phase) {
    case 0:
        phase = 1;
        return;
    case 1:
        if (v != extreme) {
            direction = v > extreme ? 1 : -1;
            phase = 2;
        }
        return;
    case 2:
        if (turned) {
            frames = 1;
            phase = 3;
        }
        return;
    case 3:
    case 4:
        if (!turned) {
            frames++;
            return;
        }
        if (phase == 3) {
            firstDuration = frames;
            frames = 1;
            phase = 4;
            return;
        }
        secondDuration = frames;
        frames = 1; // this frame is the first ramp's first again
        firstSkip = firstDuration / 10;
        secondSkip = secondDuration / 10;
        firstSums.clear();
        secondSums.clear();
        firstExtremes = secondExtremes = firstDurations = secondDurations = 0.0;
        periodsDone = 0;
        // A ramp's first frame is its turn, which is never measured: the stretch of a ramp
        // starts at its second frame at the earliest.
        phase = firstSkip < 2 || secondSkip < 2 ? 0 : 5;
        return;
    case 5:
    case 8:
        if (turned) {
            phase = 0; // the ramp ended before its measured stretch did
            return;
        }
        frames++;
        if (phase == 5)
            measure(frame, firstSkip, firstDuration, firstSums);
        else
            measure(frame, secondSkip, secondDuration, secondSums);
        return;
    case 7:
    case 10:
        if (!turned) {
            frames++;
            return;
        }
        // A ramp much longer or shorter than the one first counted: the protocol changed
        // under the estimation (a step protocol's tail, say), so the search starts over.
        if (std::abs(frames - (phase == 7 ? firstDuration : secondDuration)) >
            (phase == 7 ? firstDuration : secondDuration) / 10) {
            phase = 0;
            return;
        }
        if (phase == 7) {
            firstExtremes += extreme;
            firstDurations += frames;
            phase = 8;
        } else {
            secondExtremes += extreme;
            secondDurations += frames;
            phase = 5;
            finishPeriod();
        }
        frames = 1;
        return;
    default: // 11: one result given, idle until reset
        return;
    }
}

void CEstimationConsumer::measure(const double* frame, int skip, int duration, RampSums& sums) {
    if (frames < skip) return;
    if (frames == skip) stretchStart = frame[0];
    sums.add(frame[0], frame + voltageChannelsNum);
    if (frames < duration - skip) return;
    // A voltage that did not move over the stretch is a level, not a ramp: a step protocol's,
    // such as the resistance estimation's square wave still arriving after the switch to the
    // triangle. Its periods are as regular as a triangle's, so the search starts over.
    phase = frame[0] == stretchStart ? 0 : phase + 2;
}

void CEstimationConsumer::finishPeriod() {
    if (++periodsDone < repetitions) return;
    Result_t res;
    const double dV = (secondExtremes - firstExtremes) * voltageMultiplier;
    const double factor =
        firstDurations * secondDurations / ((firstDurations + secondDurations) * dV) / samplingRate;
    const RampSums& a = firstSums;
    const RampSums& b = secondSums;
    const double meanVa = a.v / a.frames;
    const double meanVb = b.v / b.frames;
    // Sums of squares about each ramp's own mean: the ramps' steps of current stay out of
    // the leak's slope.
    const double vSpread = (a.vv - a.v * meanVa) + (b.vv - b.v * meanVb);
    for (size_t c = 0; c < a.i.size(); c++) {
        const double meanIa = a.i[c] / a.frames;
        const double meanIb = b.i[c] / b.frames;
        const double leak =
            vSpread > 0 ? ((a.iv[c] - a.v * meanIa) + (b.iv[c] - b.v * meanIb)) / vSpread : 0.0;
        const double step = meanIb - meanIa - leak * (meanVb - meanVa);
        const double cap = dV == 0.0 ? std::nan("") : step * currentMultipliers[c] * factor;
        res.capacitances.append(cap < 0 ? std::nan("") : cap);
    }
    firstSums.clear();
    secondSums.clear();
    firstExtremes = secondExtremes = firstDurations = secondDurations = 0.0;
    periodsDone = 0;
    resultGiven();
    std::lock_guard handingOver(handOver);
    emit result(res);
}
