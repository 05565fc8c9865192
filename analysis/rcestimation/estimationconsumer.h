#pragma once
// What the resistance and the capacitance estimations share: a phase machine that each frame
// steps through while a protocol of theirs runs, half a second of frames at a time, averaging
// a number of periods into a result; continuous, or one result and then idle until reset.

#include "analysis/framework/analysisconsumer.h"

class EstimationConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    EstimationConsumer(DeviceDataProducer* producer, int repetitions);

    // From the GUI thread. Continuous: a result every `repetitions` periods; otherwise one
    // result, then idle until reset (a start resets).
    void setContinuous(bool on);
    // From the GUI thread: the periods averaged into a result, from the period under way on.
    void setRepetitions(int periods);

  protected:
    // Phase 0 starts the search for the protocol; a result given, the machine goes on from
    // `nextPeriod` when continuous, else it idles.
    static constexpr int idle = 11;
    static constexpr int nextPeriod = 5;

    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;
    // Runs one frame through the phase machine; under the result lock.
    virtual void step(const double* frame) = 0;
    // After a result: the next period, or idle.
    void resultGiven() { phase = continuous ? nextPeriod : idle; }

    int repetitions;
    int phase = 0;

  private:
    bool continuous = false;
    int minimumFrames = 0;
};
