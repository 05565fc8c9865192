#include "analysis/eventdetection/eventdetectionconsumer.h"

#include "analysis/framework/csvformat.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

EventDetectionConsumer::EventDetectionConsumer(DeviceDataProducer* producer)
    : AnalysisConsumer(producer), records(size_t(currentChannelsNum)), options(size_t(currentChannelsNum)),
      recordRanges(currentRanges), recordRate(samplingRate) {
    for (size_t c = 0; c < records.size(); c++)
        resetChannel(int(c));
}

EventDetectionConsumer::~EventDetectionConsumer() {
    onStopConsuming();
}

EventDetectionRecord EventDetectionConsumer::channelResult(int channelIdx) {
    QMutexLocker lock(&resultMutex);
    return validChannel(channelIdx) ? records[size_t(channelIdx)] : EventDetectionRecord{};
}

void EventDetectionConsumer::onSetOptions(int currentChannelIdx, Options_t& newOptions) {
    if (!validChannel(currentChannelIdx)) return;
    const auto c = size_t(currentChannelIdx);
    for (const kv4cl::Measurement_t* m :
         {&newOptions.threshold1, &newOptions.threshold2, &newOptions.baselineTau})
        if (!kv4cl::isUsable(*m)) return;
    QMutexLocker lock(&resultMutex);
    const kv4cl::UnitPfx_t prefix = recordRanges[c].prefix;
    EventDetectionRecord& record = records[c];
    if (!record.setOptions(newOptions.dwellRange, newOptions.threshold1.converted(prefix).value,
                           newOptions.threshold2.converted(prefix).value,
                           newOptions.baselineTau.getNoPrefixValue()))
        return;
    options[c] = newOptions;
    resetChannel(currentChannelIdx);
}

void EventDetectionConsumer::allocateBuffers() {
    {
        QMutexLocker lock(&resultMutex);
        for (EventDetectionRecord& record : records) {
            record.dwellHistogram.binCount = EventHistogram::defaultBinCount;
            record.amplitudeHistogram.binCount = EventHistogram::defaultBinCount;
        }
    }
    accumulated.clear();
    resetAnalysis(currentChannelsNum);
}

void EventDetectionConsumer::resetAnalysis(int channelIdx) {
    {
        QMutexLocker lock(&resultMutex);
        recordRanges = currentRanges;
        recordRate = samplingRate;
    }
    resetEachChannel(channelIdx);
}

void EventDetectionConsumer::resetChannel(int channelIdx) {
    const auto c = size_t(channelIdx);
    EventDetectionRecord& record = records[c];
    const kv4cl::UnitPfx_t prefix = recordRanges[c].prefix;
    // The thresholds as given, in the channel's range now.
    record.setOptions(record.dwellRange, options[c].threshold1.converted(prefix).value,
                      options[c].threshold2.converted(prefix).value, record.baselineTau);
    record.reset(recordRate, recordRanges[c]);
    const double frames = std::round(recordRate * 0.5);
    minimumFrames = std::isfinite(frames) && frames > 0.0 ? int(std::min(frames, 1e9)) : 0;
}

void EventDetectionConsumer::analyze() {
    QMutexLocker lock(&resultMutex);
    const size_t width = size_t(totalChannelsNum);
    if (width == 0) return;
    const size_t frames = accumulated.size() / width;
    if (frames == 0 || frames < size_t(minimumFrames)) return;
    // Channel by channel a block of frames at a time, so that each block is read from memory
    // once rather than once per channel; each channel's detector carries on across blocks.
    std::vector<int> accepted(records.size(), 0);
    const double* first = accumulated.data() + voltageChannelsNum;
    for (size_t f = 0; f < frames; f += blockFrames)
        for (size_t c = 0; c < records.size(); c++)
            if (activeChannels[c])
                accepted[c] +=
                    records[c].add(first + f * width + c, std::min(blockFrames, frames - f), width);
    // Only whole frames were taken: a partial one stays for the next cycle.
    accumulated.erase(accumulated.begin(), accumulated.begin() + std::ptrdiff_t(frames * width));
    bool any = false;
    for (size_t c = 0; c < records.size(); c++)
        if (accepted[c] > 0) {
            markPublished(int(c));
            any = true;
        }
    if (any) emit result();
}

QList<int> exponentialOrder(const ExponentialFitModel& model) {
    QList<int> order;
    for (int i = 0; i < model.components; i++)
        order << i;
    std::sort(order.begin(), order.end(),
              [&model](int a, int b) { return model.timeConstants[a] < model.timeConstants[b]; });
    return order;
}

QString eventDetectionTitle(int currentChannelIdx) {
    return QString("Event detection - channel %1").arg(currentChannelIdx + 1);
}

QString eventDetectionCsv(int currentChannelIdx, const EventDetectionRecord& shown,
                          const QList<std::pair<QString, ExponentialFitModel>>& fits,
                          const QString& separator) {
    QString text;
    const QString& s = separator;
    text += csvLine({"Channel:", QString::number(currentChannelIdx + 1)}, s);
    const struct {
        const char* name;
        const EventHistogram& histogram;
    } histograms[] = {{"Dwell time", shown.dwellHistogram},
                      {"Dwell amplitude", shown.amplitudeHistogram},
                      {"Closed time", shown.closedHistogram}};
    for (const auto& h : histograms) {
        text += csvLine({csvHeader(h.name, h.histogram.unitLabel), "Events"}, s);
        for (int i = 0; i < h.histogram.counts.size(); i++)
            text += csvLine({csvNumber(h.histogram.lowerEdge + (i + 0.5) * h.histogram.binWidth),
                             QString::number(h.histogram.counts[i])},
                            s);
    }
    text += csvLine({csvHeader("Dwell amplitude", shown.amplitudeHistogram.unitLabel),
                     csvHeader("Dwell time", shown.dwellHistogram.unitLabel)},
                    s);
    for (int i = 0; i < shown.amplitudes.size(); i++)
        text += csvLine({csvNumber(shown.amplitudes[i]), csvNumber(shown.dwells[i])}, s);
    for (const auto& [title, model] : fits) {
        QStringList header{"Fit"}, values{title};
        for (int i : exponentialOrder(model)) {
            const int n = int(header.size() + 1) / 2;
            header << csvHeader(QString("tau %1").arg(n), shown.dwellHistogram.unitLabel)
                   << csvHeader(QString("weight %1").arg(n), "");
            values << csvNumber(model.timeConstants[i]) << csvNumber(model.weight(i));
        }
        text += csvLine(header, s) + csvLine(values, s);
    }
    return text;
}
