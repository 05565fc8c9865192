#pragma once
// The membrane monitor's worker: watches every monitored current channel for a membrane
// rupture, a current beyond its upper or lower limit for longer than a minimum time, and
// reports the channel so that it can be switched off. The limits are either each range's
// edges (less three steps, where a saturated channel sits) or the user's, in nA.

#include "analysis/framework/analysisconsumer.h"

#include <QMetaType>

class MembraneMonitorConsumer : public AnalysisConsumer {
    Q_OBJECT

  public:
    struct Options_t {
        bool switchOffOnSaturation = true;
        kv4cl::RangedMeasurement_t currentLimits{0.0, 0.0, 1.0, kv4cl::UnitPfxNano, "A"};
        kv4cl::Measurement_t minimumTime{1.0, kv4cl::UnitPfxMilli, "s"};
    };
    struct Result_t {
        int channel = -1; // the channel to switch off
        // The current that tripped it sat at its range's edge: what it read was the range,
        // not the cell.
        bool saturated = false;
    };

    explicit MembraneMonitorConsumer(DeviceDataProducer* producer);
    ~MembraneMonitorConsumer() override;

  signals:
    void result(MembraneMonitorConsumer::Result_t res);

  public slots:
    // Taken over before the next frames are watched, every channel starting over.
    void onSetOptions(const MembraneMonitorConsumer::Options_t& options);
    // A channel is watched while it is switched on (checked) and monitoring is enabled.
    void onChannelStatusChanged(int channelIdx, bool checked, bool enabled);

  protected:
    void allocateBuffers() override;
    void resetAnalysis(int channelIdx) override;
    void resetChannel(int channelIdx) override;
    void analyze() override;

  private:
    void detected(int channelIdx, bool saturated);

    Options_t options; // minimumTime in seconds
    bool optionsChanged = false;
    std::vector<bool> monitored; // per current channel, set from the GUI thread
    std::vector<double> upper;   // per current channel, in its range's unit
    std::vector<double> lower;
    std::vector<double> saturationUpper; // within three steps of the range's edges
    std::vector<double> saturationLower;
    std::vector<int> aboveCounts; // consecutive frames beyond each limit
    std::vector<int> belowCounts;
    int minimumFrames = 0;
};

Q_DECLARE_METATYPE(MembraneMonitorConsumer::Result_t)
Q_DECLARE_METATYPE(MembraneMonitorConsumer::Options_t)
