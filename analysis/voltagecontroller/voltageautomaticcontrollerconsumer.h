#pragma once
// The voltage automatic controller's worker: watches one current channel or all of them for a
// current above a high threshold (or below a low one) for longer than a set time, and reports
// the channel and the rule so that the widget applies the rule's voltage. After each reset a
// channel is left alone for the reset time, and after each report for the reset time from the
// frame being acquired then: the worker may lag behind the acquisition, and the frames it has
// yet to see were measured before the rule acted.

#include "analysis/framework/analysisconsumer.h"

#include <QMetaType>

class VoltageAutomaticControllerConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Result_t {
        bool high = true; // the high threshold was crossed, else the low one
        int channel = 0;
    };

    explicit VoltageAutomaticControllerConsumer(DeviceDataProducer* producer);
    ~VoltageAutomaticControllerConsumer() override;

  signals:
    void result(VoltageAutomaticControllerConsumer::Result_t res);

  public slots:
    // Each is taken over before the next frames are watched, every channel starting over.
    // The channel count (or more) watches every channel.
    void onChannelChanged(int currentChannelIdx);
    void onHighThCurrentChanged(kv4cl::Measurement_t value);
    void onHighThDurationChanged(kv4cl::Measurement_t value);
    void onLowThCurrentChanged(kv4cl::Measurement_t value);
    void onLowThDurationChanged(kv4cl::Measurement_t value);
    void onResetTimeChanged(kv4cl::Measurement_t value);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    void set(kv4cl::Measurement_t& field, const kv4cl::Measurement_t& value);

    // Set from the GUI thread under the result lock.
    int channel = 0;
    // Out of reach: nothing fires until the widget sends its values.
    kv4cl::Measurement_t highThreshold{1e9, kv4cl::UnitPfxNone, "A"};
    kv4cl::Measurement_t lowThreshold{-1e9, kv4cl::UnitPfxNone, "A"};
    kv4cl::Measurement_t highDuration{0.0, kv4cl::UnitPfxNone, "s"};
    kv4cl::Measurement_t lowDuration{0.0, kv4cl::UnitPfxNone, "s"};
    kv4cl::Measurement_t resetTime{0.0, kv4cl::UnitPfxNone, "s"};
    bool settingsChanged = false;

    std::vector<double> highLevel; // per current channel, in its range's unit
    std::vector<double> lowLevel;
    int highFrames = 0;
    int lowFrames = 0;
    int resetFrames = 0;
    std::vector<uint64_t> holdUntil; // per current channel: the ring's row it is watched from again
    bool restarted = true;           // the reset time counts from the next frame analysed
    std::vector<int> highCount;
    std::vector<int> lowCount;
};

Q_DECLARE_METATYPE(VoltageAutomaticControllerConsumer::Result_t)
