#pragma once
// The histogram analysis's worker: per current channel that runs, the samples of every frame
// counted into the channel's bins, half a second at a time. The result signal carries
// nothing; the widget copies the channel's record with channelResult().

#include "analysis/compute/histogramrecord.h"
#include "analysis/framework/analysisconsumer.h"

#include <QString>

#include <vector>

class HistogramConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    explicit HistogramConsumer(DeviceDataProducer* producer);
    ~HistogramConsumer() override;

    // From the GUI thread: bins the channel over [min, max] (in its range's prefixed unit),
    // or again over its range, and starts its counts over. An empty or non-finite interval
    // changes nothing.
    void setLimits(int channelIdx, double min, double max);
    void clearLimits(int channelIdx);
    // A copy of the channel's record, taken under the result lock.
    HistogramRecord channelResult(int channelIdx);

  signals:
    void result();

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    // Frames analysed together: a block of the widest frames stays within the cache.
    static constexpr size_t blockFrames = 1024;

    // Under the result lock.
    std::vector<HistogramRecord> records;
    // The ranges the records are laid over: the thread's applied ranges, copied under the
    // result lock so that limits set from the GUI thread read them safely.
    std::vector<kv4cl::RangedMeasurement_t> recordRanges;
    int minimumFrames = 0;
};

// The title of a channel's dock and of its CSV files; channels counted from 0.
QString histogramTitle(int currentChannelIdx);
// The body of the CSV the dock exports: the channel (counted from 1), then each bin's middle
// and count a row.
QString histogramCsv(int currentChannelIdx, const HistogramRecord& record, const QString& separator);
