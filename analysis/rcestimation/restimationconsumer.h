#pragma once
// The resistance estimation's worker: while a protocol of three constant levels runs, it
// finds the pair of consecutive levels with the largest step and, for every current channel,
// compares the settled current at both (the third of each level after its first half),
// averaged over a few periods: R = dV / dI.
//
// Voltages are compared exactly: a protocol level is one digital value. A voltage that is
// none of the levels found starts the search over.

#include "analysis/rcestimation/estimationconsumer.h"

#include <QList>
#include <QMetaType>

#include <array>

class REstimationConsumer : public EstimationConsumer {
    Q_OBJECT

  public:
    struct Result_t {
        QList<double> resistances; // Ohm, one per current channel, NaN where none
        // Per channel: a sample summed sat within three steps of its range's edge, so that
        // the resistance is the range's, not the cell's (a ruptured cell reads 500 MOhm on
        // 200 pA at a 100 mV step).
        QList<bool> saturated;
    };

    explicit REstimationConsumer(DeviceDataProducer* producer);
    ~REstimationConsumer() override;

  signals:
    void result(REstimationConsumer::Result_t res);

  protected:
    void allocateBuffers() override;
    void step(const double* frame) override;

  private:
    bool isLevel(double v) const { return v == levels[0] || v == levels[1] || v == levels[2]; }
    // The level's frames: after `half` skipped, `third` summed into `sums`; then `next`.
    void measure(const double* frame, double level, int half, int third, std::vector<double>& sums, int next);
    void finishPeriod();

    double remembered = 0.0;
    std::array<double, 3> levels{};
    std::array<int, 3> durations{};
    int stepIndex = 0;
    double largestStep = 0.0;
    double lowLevel = 0.0;
    double highLevel = 0.0;
    double deltaV = 0.0;
    int lowHalf = 0, lowThird = 0, highHalf = 0, highThird = 0;
    int seen = 0;   // frames of the level so far
    int summed = 0; // of them summed
    std::vector<double> lowSums;
    std::vector<double> highSums;
    std::vector<bool> saturatedSums; // per channel, over the same periods as the sums
    int repetitionsDone = 0;
};

Q_DECLARE_METATYPE(REstimationConsumer::Result_t)
