#pragma once
// The event detection analysis's worker: per current channel that runs, the detector of its
// record fed every sample, half a second at a time; a result is announced when a cycle
// accepted an event. The result signal carries nothing; the widget copies the channel's
// record with channelResult().

#include "analysis/compute/eventdetectionrecord.h"
#include "analysis/compute/fitmodels.h"
#include "analysis/framework/analysisconsumer.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <utility>
#include <vector>

class EventDetectionConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Options_t {
        // min and max dwell time
        kv4cl::RangedMeasurement_t dwellRange{0.0, 200.0, 1.0, kv4cl::UnitPfxMilli, "s"};
        // Relative to the baseline; their prefix need not be the range's.
        kv4cl::Measurement_t threshold1{-100.0, kv4cl::UnitPfxPico, "A"};
        kv4cl::Measurement_t threshold2{-20.0, kv4cl::UnitPfxPico, "A"};
        kv4cl::Measurement_t baselineTau{0.1, kv4cl::UnitPfxNone, "s"};
    };

    explicit EventDetectionConsumer(DeviceDataProducer* producer);
    ~EventDetectionConsumer() override;

    // A copy of the channel's record, taken under the result lock.
    EventDetectionRecord channelResult(int channelIdx);

  signals:
    void result();

  public slots:
    // From the GUI thread: the channel's options; its detection starts over. Options that are
    // not numbers, a reversed window or a tau that is not positive change nothing.
    void onSetOptions(int currentChannelIdx, EventDetectionConsumer::Options_t& options);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    // Frames analysed together: a block of the widest frames stays within the cache.
    static constexpr size_t blockFrames = 1024;

    // Under the result lock. The thresholds are kept as given and read in the channel's
    // range at each reset, so that a range change keeps their meaning. The rate and ranges
    // are the thread's applied ones, copied so that options set from the GUI thread read them.
    std::vector<EventDetectionRecord> records;
    std::vector<Options_t> options;
    std::vector<kv4cl::RangedMeasurement_t> recordRanges;
    double recordRate = 0.0;
    int minimumFrames = 0;
};

Q_DECLARE_METATYPE(EventDetectionConsumer::Options_t)

// The components of an exponential fit, the faster first, so that rows read alike from fit to
// fit.
QList<int> exponentialOrder(const ExponentialFitModel& model);

// The title of a channel's dock and of its CSV files; channels counted from 0.
QString eventDetectionTitle(int currentChannelIdx);
// The body of the CSV the dock exports: the channel (counted from 1), the dwell time, dwell
// amplitude and closed time histograms, each event's amplitude and dwell, then each of the
// exponential `fits` of the dwell times (title, model).
QString eventDetectionCsv(int currentChannelIdx, const EventDetectionRecord& record,
                          const QList<std::pair<QString, ExponentialFitModel>>& fits,
                          const QString& separator);
