#pragma once
// The noise report's worker: the mean and the standard deviation of every channel (voltage,
// current and gp) over consecutive windows of the length set (half a second unless told), in
// the channels' base units.

#include "analysis/framework/analysisconsumer.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <vector>

class NoiseReportConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Result_t {
        QList<double> voltageMeans;
        QList<double> voltageStds;
        QList<double> currentMeans;
        QList<double> currentStds;
        QList<double> gpMeans;
        QList<double> gpStds;
    };

    explicit NoiseReportConsumer(DeviceDataProducer* producer);
    ~NoiseReportConsumer() override;

  signals:
    void result(NoiseReportConsumer::Result_t res);

  public slots:
    // The window a result covers; the window under way starts over.
    void onWindowChanged(double seconds);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    // The result of the `frames` frames from `sample` on, emitted with the result lock held.
    void report(const double* sample, size_t frames);

    std::vector<double> sums; // one per channel of a frame
    std::vector<double> squares;
    int minimumFrames = 0;
    double window = 0.5;        // s
    bool windowChanged = false; // under the result lock, as the window
};

Q_DECLARE_METATYPE(NoiseReportConsumer::Result_t)

// The title of the dock and of its CSV files.
inline const QString noiseReportTitle = "Noise Report";

// The body of the CSV the dock exports for `result`: a section of the voltage channels, one of
// the current channels and one per gp channel (named by `gpNames`), a row per channel with its
// mean and standard deviation in the unit of the section's range (the first current channel's
// for every current channel).
QString noiseReportCsv(const NoiseReportConsumer::Result_t& result,
                       const kv4cl::RangedMeasurement_t& voltageRange,
                       const std::vector<kv4cl::RangedMeasurement_t>& currentRanges,
                       const std::vector<kv4cl::RangedMeasurement_t>& gpRanges, const QStringList& gpNames,
                       const QString& separator);
