#pragma once
// The I-V graph's worker: per current channel, one point per voltage level of the voltage
// range's grid, at the mean voltage measured on that level and at the average, largest or
// smallest current measured there, after skipping a transient at the start of each level.
// Points stay in the units of the ranges (mV, pA...) and in the order their levels first
// appeared; the sums run until the channel is reset.

#include "analysis/compute/fitmodels.h"
#include "analysis/framework/analysisconsumer.h"

#include <QList>
#include <QPointF>
#include <QString>

#include <climits>

class IvGraphConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    enum Mode { AverageMode = 0, MaximumMode = 1, MinimumMode = 2 };

    struct Record {
        double transientIgnore = 0.0; // s
        int mode = AverageMode;
        QList<int> counts;           // per level
        QList<double> voltageSums;   // per level
        QList<double> currentValues; // per level: the sum, the largest or the smallest
        QList<int> pointIndex;       // per level: index in points, -1 while it has none
        QList<QPointF> points;
        QString voltageUnitLabel;
        QString currentUnitLabel;
        double voltageMultiplier = 1.0; // from the range's unit to the bare unit
        double currentMultiplier = 1.0;
        int transientSamples = 0;
        int lastLevel = INT_MIN;
        int samplesInLevel = 0;
    };

    explicit IvGraphConsumer(DeviceDataProducer* producer);
    ~IvGraphConsumer() override;

    // A copy, taken under the result lock.
    Record channelResult(int channelIdx);

  signals:
    // New points for the active channels; fetch them with channelResult().
    void result();

  public slots:
    // Each starts the channel over.
    void onTransientIgnoreChanged(int currentChannelIdx, double transientIgnoredMs);
    void onModeChanged(int currentChannelIdx, int modeIdx);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;
    void framesMissing() override;

  private:
    std::vector<Record> records;
    // The voltage levels: the range's grid, in the range's unit.
    double gridOrigin = 0.0;
    double inverseStep = 1.0;
    int pointCount = 1;
    // Levels of the running analysis in the order they were first met; `met` marks them.
    std::vector<int> touched;
    std::vector<bool> met;
};

// The I-V export, as the dock writes it: the series of points side by side, voltage and current
// in the units of the axes' labels, then each fit's parameters in their bare units.
struct IvSeries {
    QString title;
    QList<double> x, y;
};
struct IvFitParameter {
    QString name;
    kv4cl::Measurement_t value;
};
struct IvFit {
    QString title;
    std::vector<IvFitParameter> parameters;
};
QString ivGraphTitle(int currentChannelIdx);
QString ivGraphCsv(int currentChannelIdx, const QString& voltageLabel, const QString& currentLabel,
                   const std::vector<IvSeries>& series, const std::vector<IvFit>& fits,
                   const QString& separator);
// A line fitted to points in the ranges' units, as conductance, current offset and reversal
// potential (NaN when the line is flat).
std::vector<IvFitParameter> ivLinearFitParameters(const LinearFitModel& model, double voltageMultiplier,
                                                  double currentMultiplier);
