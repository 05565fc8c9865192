#pragma once
// The frequency analysis's worker: per current channel that runs, the power density (PSD)
// of its samples, averaged over the blocks of the integration time and published each time
// an average is complete. The result signal carries nothing; the widget copies the
// channel's record with channelResult().

#include "analysis/compute/spectrumrecord.h"
#include "analysis/framework/analysisconsumer.h"

#include <QList>
#include <QMetaType>
#include <QString>

#include <vector>

class SpectrumConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Options_t {
        int fftBins = 512; // N
        kv4cl::Measurement_t minimumIntegrationTime{2.0, kv4cl::UnitPfxNone, "s"};
    };

    explicit SpectrumConsumer(DeviceDataProducer* producer);
    ~SpectrumConsumer() override;

    // A copy of the channel's record, taken under the result lock.
    SpectrumRecord channelResult(int channelIdx);

  signals:
    void result();

  public slots:
    // From the GUI thread: the channel's N and T; its average starts over. Sizes that are
    // not offered and times that are not positive change nothing.
    void onSetOptions(int currentChannelsIdx, SpectrumConsumer::Options_t& options);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    // Frames analysed together: a block of the widest frames stays within the cache.
    static constexpr size_t blockFrames = 1024;

    // Under the result lock. The rate and the unit labels the records are laid out with are
    // the thread's applied ones, copied so that options set from the GUI thread read them.
    std::vector<SpectrumRecord> records;
    double recordRate = 1.0;
    std::vector<QString> unitLabels;
};

Q_DECLARE_METATYPE(SpectrumConsumer::Options_t)

// A record as its dock shows and exports it: its bins up to half the rate, with the density or
// its square root, and the unit of those values.
struct SpectrumCurve {
    QList<double> frequencies; // Hz
    QList<double> values;
    QString unitLabel; // "pA²/Hz" or "pA/√Hz"
};
SpectrumCurve spectrumCurve(const SpectrumRecord& record, bool squared);

// The title of a channel's dock and of its CSV files; channels counted from 0.
QString spectrumTitle(int currentChannelIdx);
// The body of the CSV the dock exports: the channel (counted from 1), then frequency and value
// a row.
QString spectrumCsv(int currentChannelIdx, const SpectrumCurve& curve, const QString& separator);
