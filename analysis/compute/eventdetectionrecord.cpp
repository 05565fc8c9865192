#include "analysis/compute/eventdetectionrecord.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

QString unitOf(const kv4cl::UnitPfx_t prefix, const std::string& unit) {
    const bool known = kv4cl::knownPrefix(prefix);
    return QString::fromStdString((known ? std::string(kv4cl::unitPrefixes[prefix]) : "?") + unit);
}

int roundedFrames(double frames) {
    const double r = std::round(frames);
    return std::isfinite(r) && r > 0.0 ? int(std::min(r, 2e9)) : 0;
}

} // namespace

void EventHistogram::layOut(double lower, double upper, const QString& unit) {
    lowerEdge = lower;
    binWidth = (upper - lower) / binCount;
    inverseBinWidth = 1.0 / binWidth;
    counts = QList<int>(binCount, 0);
    unitLabel = unit;
}

void EventHistogram::add(double value) {
    if (counts.size() != binCount) return;
    // Compared as doubles before any conversion: nothing outside int is cast, and a bin of no
    // width (a window of one value) puts its value in the first bin.
    const double position = (value - lowerEdge) * inverseBinWidth;
    const int bin = !(position >= 1.0) ? 0 : position >= binCount ? binCount - 1 : int(position);
    counts[bin]++;
}

void EventHistogram::addWidening(double value) {
    if (counts.size() != binCount || !std::isfinite(value)) return;
    while (value >= lowerEdge + binCount * binWidth) {
        for (int i = 0; i < binCount / 2; i++)
            counts[i] = counts[2 * i] + counts[2 * i + 1];
        std::fill(counts.begin() + binCount / 2, counts.end(), 0);
        binWidth *= 2.0;
        inverseBinWidth *= 0.5;
    }
    add(value);
}

bool EventDetectionRecord::setOptions(const kv4cl::RangedMeasurement_t& dwell, double start, double end,
                                      double tauSeconds) {
    if (!kv4cl::knownPrefix(dwell.prefix) || !std::isfinite(dwell.min) || !std::isfinite(dwell.max) ||
        dwell.min < 0.0 || dwell.min > dwell.max || !std::isfinite(start) || !std::isfinite(end) ||
        !(tauSeconds > 0.0) || !std::isfinite(tauSeconds))
        return false;
    dwellRange = dwell;
    threshold1 = start;
    threshold2 = end;
    positive = start > 0.0;
    baselineTau = tauSeconds;
    return true;
}

void EventDetectionRecord::reset(double rate, const kv4cl::RangedMeasurement_t& currentRange) {
    samplingRate = rate;
    samplePeriod = 1.0 / (rate * kv4cl::prefixFactor(dwellRange.prefix, kv4cl::UnitPfxNone));
    minDwellFrames = roundedFrames(dwellRange.min / samplePeriod);
    maxDwellFrames = roundedFrames(dwellRange.max / samplePeriod);
    // The filter's step response after k frames is 1 - (1 - alpha)^k: with this alpha it is
    // 1 - exp(-t / tau), tau being the time constant the user gave.
    alpha = -std::expm1(-1.0 / (rate * baselineTau));

    dwellHistogram.layOut(dwellRange.min, dwellRange.max, unitOf(dwellRange.prefix, dwellRange.unit));
    // Edges half a frame off whole frames: no gap lies on one, where rounding would choose.
    closedHistogram.layOut(-0.5 * samplePeriod, (closedHistogram.binCount - 0.5) * samplePeriod,
                           dwellHistogram.unitLabel);
    // Amplitudes are binned by their size, see add().
    amplitudeHistogram.layOut(std::abs(threshold2), currentRange.max,
                              unitOf(currentRange.prefix, currentRange.unit));
    amplitudes.clear();
    dwells.clear();
    eventCount = 0;
    totalDwell = totalGap = averageDwell = averageGap = 0.0;
    baselineReady = false;
    baseline = eventBaseline = eventSum = 0.0;
    inEvent = false;
    settling = false;
    eventFrames = 0;
    gapFrames = 0;
    closedFrames = -1;
}

int EventDetectionRecord::add(const double* samples, size_t count, size_t stride) {
    if (!(samplingRate > 0.0)) return 0;
    // Written once for both directions: a sample and a level compare as sign x sample against
    // sign x level, the sign being -1 for events below the baseline. Multiplying by -1 is
    // exact, so each comparison is exactly the one written for that direction.
    const double sign = positive ? 1.0 : -1.0;
    const double start = threshold1, end = threshold2, a = alpha;
    const int longest = maxDwellFrames;
    // Locals for the state the loop updates at every sample.
    double level = baseline;
    bool open = inEvent;
    bool waiting = settling;
    int frames = eventFrames;
    double sum = eventSum;
    int64_t gap = gapFrames;
    int64_t closed = closedFrames;
    int accepted = 0;
    size_t i = 0;
    if (!baselineReady && count > 0) {
        level = samples[0];
        baselineReady = true;
        gap++;
        i = 1;
    }
    for (; i < count; i++) {
        const double x = samples[i * stride];
        if (waiting) {
            waiting = !(sign * x < sign * (level + end));
            gap++;
            level += (x - level) * a;
            continue;
        }
        if (!open) {
            // The frame that opens an event belongs to the event: fed to the baseline, it
            // would pull it towards the event by alpha times the amplitude, every event,
            // and with short gaps between events that adds up to amplitudes read low.
            if (sign * x > sign * (level + start)) {
                if (closed > 0) closedHistogram.addWidening(double(closed) * samplePeriod);
                open = true;
                frames = 1;
                eventBaseline = level;
                sum = x;
            } else {
                gap++;
                if (closed > 0) closed++;
                level += (x - level) * a;
            }
            continue;
        }
        if (frames <= longest && sign * x >= sign * (eventBaseline + end)) {
            frames++;
            sum += x;
            continue;
        }
        // The event closes: back within threshold 2, or longer than the window.
        open = false;
        closed = frames > longest ? -1 : 1;
        if (frames > longest) {
            // Too long to be an event of the kind asked for: neither it nor its tail counts.
            // Should the current have moved to a new level for good, the baseline follows it
            // from here, and detection resumes once it has.
            gap += frames + 1;
            waiting = true;
        } else if (frames < minDwellFrames) {
            gap += frames + 1;
        } else {
            const double dwell = frames * samplePeriod;
            const double amplitude = sum / frames - eventBaseline;
            dwellHistogram.add(dwell);
            // The histogram runs from |threshold 2| upwards: it is laid out for sizes. Events
            // below the baseline have negative amplitudes, which would all pile into its first
            // bin; what a user wants to see and fit there is how large the events are, so it
            // counts the size, and the list keeps the sign.
            amplitudeHistogram.add(std::abs(amplitude));
            amplitudes.append(amplitude);
            dwells.append(dwell);
            if (amplitudes.size() > listedEvents) { // constant time: the list keeps room at its front
                amplitudes.removeFirst();
                dwells.removeFirst();
            }
            eventCount++;
            if (eventCount > 1) totalGap += double(gap) / samplingRate;
            totalDwell += frames / samplingRate;
            gap = 1;
            accepted++;
        }
        level += (x - level) * a;
    }
    baseline = level;
    inEvent = open;
    settling = waiting;
    eventFrames = frames;
    eventSum = sum;
    gapFrames = gap;
    closedFrames = closed;
    if (accepted > 0) {
        if (eventCount > 1) averageGap = totalGap / (eventCount - 1);
        averageDwell = totalDwell / eventCount;
    }
    return accepted;
}
