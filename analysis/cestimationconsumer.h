#pragma once
// The capacitance estimation's worker: while a triangular protocol runs, it finds the two
// ramps of one period and, for every current channel, the mean current over the same stretch
// of each ramp (after a tenth of it, for four tenths), averaged over a number of periods. A
// capacitor driven by a triangle steps its current by C times the sum of the two slopes
// between the ramps: C = dI / (dV/dt rising + |dV/dt| falling).
//
// A repeated voltage value continues a ramp (a ramp slower than one step of the converter per
// frame); only a move the other way turns it.

#include "analysis/analysisconsumer.h"

#include <QList>
#include <QMetaType>

class CEstimationConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Result_t {
        QList<double> capacitances; // F, one per current channel, NaN where none
    };

    explicit CEstimationConsumer(DeviceDataProducer* producer);
    ~CEstimationConsumer() override;

    // From the GUI thread. Continuous: a result every `repetitions` periods; otherwise one
    // result, then idle until reset (a start resets).
    void setContinuous(bool on);
    // From the GUI thread: the periods averaged into a result, from the period under way on.
    void setRepetitions(int periods);

  signals:
    void result(CEstimationConsumer::Result_t res);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    void step(const double* frame);
    // One frame of a ramp: after `skip` frames, `measure` are summed into `sums`.
    void measure(const double* frame, int skip, int count, std::vector<double>& sums);
    void finishPeriod();

    bool continuous = false;
    int repetitions = 10;
    int minimumFrames = 0;

    int phase = 0;
    double previous = 0.0;
    int direction = 0; // +1 rising, -1 falling
    int frames = 0;    // of the ramp so far
    int firstDuration = 0, secondDuration = 0;
    int firstSkip = 0, firstMeasure = 0, secondSkip = 0, secondMeasure = 0;
    double stretchStart = 0.0; // the voltage where the measured stretch of the ramp began
    // Over the periods done:
    double firstExtremes = 0.0, secondExtremes = 0.0;
    double firstDurations = 0.0, secondDurations = 0.0;
    std::vector<double> firstSums;
    std::vector<double> secondSums;
    int periodsDone = 0;
};

Q_DECLARE_METATYPE(CEstimationConsumer::Result_t)
