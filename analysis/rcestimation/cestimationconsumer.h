#pragma once
// The capacitance estimation's worker: while a triangular protocol runs, it finds the two
// ramps of one period and, for every current channel, the mean current over the middle of
// each ramp (all but a tenth at either end), averaged over a number of periods. A capacitor
// driven by a triangle steps its current by C times the sum of the two slopes between the
// ramps: C = dI / (dV/dt rising + |dV/dt| falling).
//
// The membrane's leak adds V / R to both ramps. Stretches symmetric about the ramps' middles
// see the same mean voltage, so that it cancels; what a staircase of whole samples leaves
// between the two means (a fraction of a step, more where a ramp bends at a rounded quarter)
// is taken off with the leak conductance the ramps show themselves, the slope of current
// against voltage along them.
//
// A repeated voltage value continues a ramp (a ramp slower than one step of the converter per
// frame); only a move the other way turns it.

#include "analysis/rcestimation/estimationconsumer.h"

#include <QList>
#include <QMetaType>

class CEstimationConsumer : public EstimationConsumer {
    Q_OBJECT

  public:
    struct Result_t {
        QList<double> capacitances; // F, one per current channel, NaN where none
    };

    explicit CEstimationConsumer(DeviceDataProducer* producer);
    ~CEstimationConsumer() override;

  signals:
    void result(CEstimationConsumer::Result_t res);

  protected:
    void allocateBuffers() override;
    void step(const double* frame) override;

  private:
    // What the measured stretches of one ramp gathered over the periods done: frames, the
    // voltage and its square, and per current channel the current and current times voltage.
    struct RampSums {
        double frames = 0.0, v = 0.0, vv = 0.0;
        std::vector<double> i, iv;
        void clear();
        void add(double voltage, const double* currents);
    };

    // One frame of a ramp of `duration` frames, counted from the extreme it left (frame 0):
    // frames `skip` to `duration - skip` are summed into `sums`.
    void measure(const double* frame, int skip, int duration, RampSums& sums);
    void finishPeriod();

    double previous = 0.0;
    int direction = 0; // +1 rising, -1 falling
    int frames = 0;    // of the ramp so far
    int firstDuration = 0, secondDuration = 0;
    int firstSkip = 0, secondSkip = 0;
    double stretchStart = 0.0; // the voltage where the measured stretch of the ramp began
    // Over the periods done:
    double firstExtremes = 0.0, secondExtremes = 0.0;
    double firstDurations = 0.0, secondDurations = 0.0;
    RampSums firstSums;
    RampSums secondSums;
    int periodsDone = 0;
};

Q_DECLARE_METATYPE(CEstimationConsumer::Result_t)
