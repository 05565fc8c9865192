#include "analysis/noisereport/noisereportconsumer.h"

#include "analysis/framework/csvformat.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

NoiseReportConsumer::NoiseReportConsumer(DeviceDataProducer* producer) : AnalysisConsumer(producer) {
    qRegisterMetaType<NoiseReportConsumer::Result_t>();
}

NoiseReportConsumer::~NoiseReportConsumer() {
    onStopConsuming();
}

void NoiseReportConsumer::onWindowChanged(double seconds) {
    QMutexLocker lock(&resultMutex);
    window = seconds;
    windowChanged = true;
}

void NoiseReportConsumer::allocateBuffers() {
    sums.assign(size_t(totalChannelsNum), 0.0);
    squares.assign(size_t(totalChannelsNum), 0.0);
    resetAnalysis(currentChannelsNum);
}

void NoiseReportConsumer::resetAnalysis(int channelIdx) {
    resetSingle(channelIdx);
}

void NoiseReportConsumer::resetChannel(int) {
    // Every channel is measured over the same frames: the window starts over for all.
    accumulated.clear();
    windowChanged = false;
    const double frames = std::round(samplingRate * window);
    minimumFrames = std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

void NoiseReportConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    if (windowChanged) resetChannel(currentChannelsNum);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0) return;
    const size_t frames = accumulated.size() / width;
    // Windows of exactly the window's frames, wherever the reads happened to end, so that a
    // recording gives the same results however it is read; while the rate is unknown, what came.
    const size_t window = minimumFrames > 0 ? size_t(minimumFrames) : frames;
    size_t done = 0;
    for (; window > 0 && frames - done >= window; done += window)
        report(accumulated.data() + done * width, window);
    accumulated.erase(accumulated.begin(), accumulated.begin() + std::ptrdiff_t(done * width));
}

void NoiseReportConsumer::report(const double* sample, size_t frames) {
    const size_t width = size_t(totalChannelsNum);
    // Sums of the deviations from the window's first frame: a channel far from zero (a monitor's
    // offset) would otherwise lose its small deviations to the rounding of large squares. A first
    // sample that is not a number is no reference: an infinite one must show in the mean.
    std::vector<double> shift(sample, sample + width);
    for (double& s : shift)
        if (!std::isfinite(s)) s = 0.0;
    std::fill(sums.begin(), sums.end(), 0.0);
    std::fill(squares.begin(), squares.end(), 0.0);
    for (size_t f = 0; f < frames; f++)
        for (size_t c = 0; c < width; c++, sample++) {
            const double d = *sample - shift[c];
            sums[c] += d;
            squares[c] += d * d;
        }

    // A non-finite sample (a saturated or overflowed channel) makes its channel's results
    // NaN or infinite, which the widget shows as such, never as a plausible number.
    Result_t res;
    const auto fill = [&](size_t first, int count, const std::vector<double>& multipliers,
                          QList<double>& means, QList<double>& stds) {
        for (int k = 0; k < count; k++) {
            const size_t c = first + size_t(k);
            const double mean = sums[c] / double(frames);
            // What rounding leaves below zero is zero; NaN stays NaN.
            const double variance = std::max((squares[c] - mean * sums[c]) / double(frames), 0.0);
            const double m = multipliers[size_t(k)];
            means.append((shift[c] + mean) * m);
            stds.append(std::sqrt(variance) * m);
        }
    };
    const std::vector<double> voltageMultipliers(size_t(voltageChannelsNum), voltageMultiplier);
    fill(0, voltageChannelsNum, voltageMultipliers, res.voltageMeans, res.voltageStds);
    fill(size_t(voltageChannelsNum), currentChannelsNum, currentMultipliers, res.currentMeans,
         res.currentStds);
    fill(size_t(voltageChannelsNum + currentChannelsNum), gpChannelsNum, gpMultipliers, res.gpMeans,
         res.gpStds);
    std::lock_guard handingOver(handOver);
    emit result(res);
}

QString noiseReportCsv(const NoiseReportConsumer::Result_t& result,
                       const kv4cl::RangedMeasurement_t& voltageRange,
                       const std::vector<kv4cl::RangedMeasurement_t>& currentRanges,
                       const std::vector<kv4cl::RangedMeasurement_t>& gpRanges, const QStringList& gpNames,
                       const QString& separator) {
    QString text;
    // Rows numbered from `number` + 1; a column in one unit, the range's, each value brought to it.
    const auto section = [&](const QString& channel, const QString& mean, const QString& std,
                             const QList<double>& means, const QList<double>& stds, qsizetype first,
                             qsizetype count, int number, const kv4cl::RangedMeasurement_t& range) {
        const QString unit = QString::fromStdString(range.label());
        const auto inRange = [&](double value) {
            return csvNumber(
                kv4cl::Measurement_t{value, kv4cl::UnitPfxNone, range.unit}.converted(range.prefix).value);
        };
        text += csvLine({channel, csvHeader(mean, unit), csvHeader(std, unit)}, separator);
        for (qsizetype row = first; row < first + count; row++)
            text += csvLine({QString::number(++number), inRange(means[row]), inRange(stds[row])}, separator);
    };
    if (!result.voltageMeans.isEmpty())
        section("Channel", "Mean voltage", "Voltage std", result.voltageMeans, result.voltageStds, 0,
                result.voltageMeans.size(), 0, voltageRange);
    if (!result.currentMeans.isEmpty() && !currentRanges.empty())
        section("Channel", "Mean current", "Current std", result.currentMeans, result.currentStds, 0,
                result.currentMeans.size(), 0, currentRanges.front());
    for (qsizetype g = 0; g < result.gpMeans.size() && size_t(g) < gpRanges.size() && g < gpNames.size(); g++)
        section(gpNames[g], "Mean value", "Value std", result.gpMeans, result.gpStds, g, 1, int(g),
                gpRanges[size_t(g)]);
    return text;
}
