#include "analysis/ivgraph/ivgraphconsumer.h"

#include "analysis/framework/csvformat.h"

#include <QMutexLocker>

#include <cmath>
#include <limits>

namespace {

// Beyond this many levels a range is not one a device has; it gets a single level.
constexpr double maxLevels = 1 << 22;

// NaN for a prefix no table holds, as the base does: points in an unknown unit show as such.
double multiplier(const kv4cl::RangedMeasurement_t& range) {
    if (range.prefix < 0 || range.prefix >= kv4cl::UnitPfxNum) return std::nan("");
    return kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
}

QString unitLabel(const kv4cl::RangedMeasurement_t& range) {
    if (range.prefix < 0 || range.prefix >= kv4cl::UnitPfxNum) return QString::fromStdString(range.unit);
    return QString::fromStdString(range.label());
}

double startValue(int mode) {
    constexpr double largest = std::numeric_limits<double>::max();
    return mode == IvGraphConsumer::MaximumMode   ? -largest
           : mode == IvGraphConsumer::MinimumMode ? largest
                                                  : 0.0;
}

} // namespace

IvGraphConsumer::IvGraphConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer), records(size_t(currentChannelsNum)) {}

IvGraphConsumer::~IvGraphConsumer() {
    onStopConsuming();
}

IvGraphConsumer::Record IvGraphConsumer::channelResult(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    if (!validChannel(channelIdx)) return {};
    Record copy = records[size_t(channelIdx)];
    // Lists of its own, copied under the lock: lists shared with the record could be changed
    // in place by this thread once the caller's copy went, unordered with the caller's reads.
    copy.counts.detach();
    copy.voltageSums.detach();
    copy.currentValues.detach();
    copy.pointIndex.detach();
    copy.points.detach();
    return copy;
}

void IvGraphConsumer::onTransientIgnoreChanged(int currentChannelIdx, double transientIgnoredMs) {
    QMutexLocker lock(&resultMutex);
    if (!validChannel(currentChannelIdx)) return;
    records[size_t(currentChannelIdx)].transientIgnore = transientIgnoredMs * 0.001;
    resetChannel(currentChannelIdx);
}

void IvGraphConsumer::onModeChanged(int currentChannelIdx, int modeIdx) {
    QMutexLocker lock(&resultMutex);
    if (!validChannel(currentChannelIdx)) return;
    records[size_t(currentChannelIdx)].mode = modeIdx;
    resetChannel(currentChannelIdx);
}

void IvGraphConsumer::allocateBuffers() {
    accumulated.clear();
    resetAnalysis(currentChannelsNum);
}

void IvGraphConsumer::resetAnalysis(int channelIdx) {
    resetEachChannel(channelIdx);
}

void IvGraphConsumer::resetChannel(int channelIdx) {
    // The GUI thread resets a channel too (transient, mode): the applied ranges and rate are
    // read under the base's lock, which the thread holds only while it takes them over.
    kv4cl::RangedMeasurement_t voltage;
    kv4cl::RangedMeasurement_t current;
    double rate;
    {
        QMutexLocker lock(&mutex);
        voltage = voltageRange;
        if (size_t(channelIdx) < currentRanges.size()) current = currentRanges[size_t(channelIdx)];
        rate = samplingRate;
    }

    const double steps = (voltage.max - voltage.min) / voltage.step;
    const bool grid = voltage.step > 0.0 && std::isfinite(steps) && steps >= 0.0 && steps < maxLevels;
    pointCount = grid ? int(std::round(steps)) + 1 : 1;
    gridOrigin = grid ? voltage.min : 0.0;
    inverseStep = grid ? 1.0 / voltage.step : 0.0;
    if (met.size() < size_t(pointCount)) met.resize(size_t(pointCount), false);

    Record& r = records[size_t(channelIdx)];
    r.counts.fill(0, pointCount);
    r.voltageSums.fill(0.0, pointCount);
    r.currentValues.fill(startValue(r.mode), pointCount);
    r.pointIndex.fill(-1, pointCount);
    r.points.clear();
    r.voltageUnitLabel = unitLabel(voltage);
    r.currentUnitLabel = unitLabel(current);
    r.voltageMultiplier = multiplier(voltage);
    r.currentMultiplier = multiplier(current);
    const double samples = std::round(rate * r.transientIgnore);
    r.transientSamples =
        std::isfinite(samples) && samples > 0.0 ? int(std::min(samples, double(INT_MAX))) : 0;
    r.lastLevel = INT_MIN;
    r.samplesInLevel = 0;
}

void IvGraphConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0 || voltageChannelsNum == 0) return;
    const size_t frames = accumulated.size() / width;

    for (int c = 0; c < currentChannelsNum; c++) {
        if (!activeChannels[size_t(c)]) continue;
        Record& r = records[size_t(c)];
        const int levels = int(r.counts.size());
        if (levels == 0) continue;
        touched.clear();
        const double* frame = accumulated.data();
        for (size_t f = 0; f < frames; f++, frame += width) {
            const double v = frame[0];
            if (!std::isfinite(v)) continue; // no level to put it on
            // Voltages beyond the range fall on its first or last level.
            const double position = std::floor((v - gridOrigin) * inverseStep);
            const int level = position <= 0.0                  ? 0
                              : position >= double(levels - 1) ? levels - 1
                                                               : int(position);
            if (level != r.lastLevel) {
                r.lastLevel = level;
                r.samplesInLevel = 0;
            } else if (r.samplesInLevel < INT_MAX) {
                r.samplesInLevel++;
            }
            if (r.samplesInLevel < r.transientSamples) continue;
            // A saturated or overflowed current would spoil the level's point for good.
            const double i = frame[voltageChannelsNum + c];
            if (!std::isfinite(i)) continue;

            const auto l = qsizetype(level);
            r.counts[l]++;
            r.voltageSums[l] += v;
            double& value = r.currentValues[l];
            if (r.mode == MaximumMode)
                value = std::max(value, i);
            else if (r.mode == MinimumMode)
                value = std::min(value, i);
            else
                value += i;
            if (!met[size_t(level)]) {
                met[size_t(level)] = true;
                touched.push_back(level);
            }
        }

        // New levels get their points in the order they were met.
        for (int level : touched) {
            met[size_t(level)] = false;
            const auto l = qsizetype(level);
            const double n = r.counts[l];
            const QPointF point(r.voltageSums[l] / n,
                                r.mode == AverageMode ? r.currentValues[l] / n : r.currentValues[l]);
            if (r.pointIndex[l] < 0) {
                r.pointIndex[l] = int(r.points.size());
                r.points.append(point);
            } else {
                r.points[r.pointIndex[l]] = point;
            }
        }
    }
    accumulated.erase(accumulated.begin(), accumulated.begin() + std::ptrdiff_t(frames * width));
    emit result();
}

// The level after the gap may have begun inside it: its transient is skipped again.
void IvGraphConsumer::framesMissing() {
    QMutexLocker lock(&resultMutex);
    for (Record& r : records) {
        r.lastLevel = INT_MIN;
        r.samplesInLevel = 0;
    }
}

QString ivGraphTitle(int currentChannelIdx) {
    return QString("I/V Graph - channel %1").arg(currentChannelIdx + 1);
}

QString ivGraphCsv(int currentChannelIdx, const QString& voltageLabel, const QString& currentLabel,
                   const std::vector<IvSeries>& series, const std::vector<IvFit>& fits,
                   const QString& separator) {
    const QString& s = separator;
    QString text = csvLine({"Channel:", QString::number(currentChannelIdx + 1)}, s);
    QStringList titles, heads;
    qsizetype longest = 0;
    for (const IvSeries& one : series) {
        titles << one.title << "";
        heads << csvHeader("Voltage", voltageLabel) << csvHeader("Current", currentLabel);
        longest = std::max(longest, one.x.size());
    }
    text += csvLine(titles, s) + csvLine(heads, s);
    for (qsizetype i = 0; i < longest; i++) {
        QStringList row;
        for (const IvSeries& one : series)
            row << (i < one.x.size() ? csvNumber(one.x[i]) : QString())
                << (i < one.y.size() ? csvNumber(one.y[i]) : QString());
        text += csvLine(row, s);
    }
    // Each fit under a header of its own: the units suit its values.
    for (const IvFit& fit : fits) {
        QStringList names{"Fit"}, values{fit.title};
        for (const IvFitParameter& p : fit.parameters) {
            const kv4cl::Measurement_t shown = kv4cl::withFittingPrefix(p.value);
            names << csvHeader(p.name, QString::fromStdString(shown.label()));
            values << csvNumber(shown.value);
        }
        text += csvLine(names, s) + csvLine(values, s);
    }
    return text;
}

std::vector<IvFitParameter> ivLinearFitParameters(const LinearFitModel& model, double voltageMultiplier,
                                                  double currentMultiplier) {
    const bool valid = model.slope != 0.0 && std::isfinite(model.slope) && std::isfinite(model.offset);
    const double reversal = valid ? -model.offset / model.slope * voltageMultiplier : std::nan("");
    return {{"conductance", {model.slope * currentMultiplier / voltageMultiplier, kv4cl::UnitPfxNone, "S"}},
            {"current offset", {model.offset * currentMultiplier, kv4cl::UnitPfxNone, "A"}},
            {"reversal potential", {reversal, kv4cl::UnitPfxNone, "V"}}};
}
