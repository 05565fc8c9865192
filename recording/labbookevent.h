#pragma once
// Lab book entries. Whoever has something to note (the user, an analysis, the connection
// watch) builds an entry and hands it over with a labbookEvent(LabbookEvent*) signal; the
// lab book takes ownership, stamps the times and writes the entry's line.

#include "commlib/types/kv4cltypes.h"

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <initializer_list>
#include <utility>

class LabbookEvent {
  public:
    enum Type : uint32_t {
        TypePlaceholder = 0,
        TypeWrittenNote = 1,
        TypeMembraneMonitor = 2,
        TypeNoiseReport = 3,
        TypeRCEstimation = 4,
        TypeEventsDetection = 6,
        TypeIVGraph = 7,
        TypeSamplesLost = 8,
        TypeVoltageController = 9,
    };

    explicit LabbookEvent(uint32_t type = TypePlaceholder) : type(type) {}
    virtual ~LabbookEvent() = default;

    // The whole entry as written to the lab book files.
    virtual QString lineText() const;
    // Brings the entry's measurements to readable prefixes, once.
    virtual void prepareValues() {}

    uint32_t type;
    QString time;                            // "hh:mm:ss.zzz", set on arrival
    QString recordingTime = "Not Recording"; // since the recording started, set on arrival
    QString separator = ", ";
    bool valuesPrepared = false;

  protected:
    // Brings each measurement to its fitting prefix, the first time only.
    void prepare(std::initializer_list<kv4cl::Measurement_t*> values);
};
Q_DECLARE_METATYPE(LabbookEvent*)

// A loss as a scientist reads it: "1200 samples per channel (12 ms)"; the duration is left
// out while the rate (Hz) is not known.
QString lostSamplesText(uint64_t samples, double samplingRate);

// Samples that never reached the program, or one of its consumers. With a file: the
// recording's file that misses them and the index (from 0) of the frame there that follows
// the gap.
class LabbookEventSamplesLost : public LabbookEvent {
  public:
    LabbookEventSamplesLost(uint64_t samples, double samplingRate, QString file = {}, uint64_t frame = 0)
        : LabbookEvent(TypeSamplesLost), samples(samples), samplingRate(samplingRate), file(std::move(file)),
          frame(frame) {}
    QString lineText() const override;

    uint64_t samples; // per channel
    double samplingRate;
    QString file;
    uint64_t frame;
};

// A moment marked without text yet; the next note takes its time.
class LabbookEventPlaceholder : public LabbookEvent {
  public:
    LabbookEventPlaceholder() : LabbookEvent(TypePlaceholder) {}
    QString lineText() const override;

    bool hasTemperature = false;
    double temperature = 0.0; // degrees Celsius

  protected:
    explicit LabbookEventPlaceholder(uint32_t type) : LabbookEvent(type) {}
    QString noteLine(const QString& text) const;
};

class LabbookEventWrittenNote : public LabbookEventPlaceholder {
  public:
    explicit LabbookEventWrittenNote(QString text)
        : LabbookEventPlaceholder(TypeWrittenNote), text(std::move(text)) {}
    QString lineText() const override { return noteLine(text); }

    QString text;
};

// The membrane monitor switched a channel off, perhaps on a current that saturated its range
// (whose samples then tell nothing of the cell).
class LabbookEventMembraneMonitor : public LabbookEvent {
  public:
    explicit LabbookEventMembraneMonitor(int channel, bool saturated = false)
        : LabbookEvent(TypeMembraneMonitor), channel(channel), saturated(saturated) {}
    QString lineText() const override;

    int channel; // 1-based
    bool saturated;
};

class LabbookEventNoiseReport : public LabbookEvent {
  public:
    LabbookEventNoiseReport(int channel, kv4cl::Measurement_t meanCurrent, kv4cl::Measurement_t currentRms)
        : LabbookEvent(TypeNoiseReport), channel(channel), meanCurrent(std::move(meanCurrent)),
          currentRms(std::move(currentRms)) {}
    QString lineText() const override;
    void prepareValues() override { prepare({&meanCurrent, &currentRms}); }

    int channel; // 1-based
    kv4cl::Measurement_t meanCurrent;
    kv4cl::Measurement_t currentRms;
};

// A negative resistance or capacitance is an estimate that failed: it is shown as "-". A
// resistance computed from samples that saturated their range is the range's, and says so.
class LabbookEventRCEstimation : public LabbookEvent {
  public:
    LabbookEventRCEstimation(int channel, kv4cl::Measurement_t resistance, kv4cl::Measurement_t capacitance,
                             bool resistanceSaturated = false)
        : LabbookEvent(TypeRCEstimation), channel(channel), resistance(std::move(resistance)),
          capacitance(std::move(capacitance)), resistanceSaturated(resistanceSaturated) {}
    QString lineText() const override;
    void prepareValues() override { prepare({&resistance, &capacitance}); }

    int channel; // 1-based
    kv4cl::Measurement_t resistance;
    kv4cl::Measurement_t capacitance;
    bool resistanceSaturated;
};

class LabbookEventEventsDetection : public LabbookEvent {
  public:
    LabbookEventEventsDetection(int channel, kv4cl::Measurement_t averageDwellTime,
                                kv4cl::Measurement_t averageInterEventTime, kv4cl::Measurement_t eventsRate)
        : LabbookEvent(TypeEventsDetection), channel(channel), averageDwellTime(std::move(averageDwellTime)),
          averageInterEventTime(std::move(averageInterEventTime)), eventsRate(std::move(eventsRate)) {}
    QString lineText() const override;
    void prepareValues() override { prepare({&averageDwellTime, &averageInterEventTime, &eventsRate}); }

    int channel; // 1-based
    kv4cl::Measurement_t averageDwellTime;
    kv4cl::Measurement_t averageInterEventTime;
    kv4cl::Measurement_t eventsRate;
};

// The voltage automatic controller acted on a channel: what it did ("I > 100 pA for 10 ms:
// applied", "Restored") and the voltage it set, if it set one (else NaN).
class LabbookEventVoltageController : public LabbookEvent {
  public:
    LabbookEventVoltageController(int channel, QString action, kv4cl::Measurement_t voltage)
        : LabbookEvent(TypeVoltageController), channel(channel), action(std::move(action)),
          voltage(std::move(voltage)) {}
    QString lineText() const override;
    void prepareValues() override { prepare({&voltage}); }

    int channel; // 1-based
    QString action;
    kv4cl::Measurement_t voltage;
};

// A linear fit of the I-V curve; the values of an invalid fit are shown as "-".
class LabbookEventIVGraph : public LabbookEvent {
  public:
    LabbookEventIVGraph(int channel, kv4cl::Measurement_t conductance, kv4cl::Measurement_t currentOffset,
                        bool fitValid, kv4cl::Measurement_t reversePotential)
        : LabbookEvent(TypeIVGraph), channel(channel), conductance(std::move(conductance)),
          currentOffset(std::move(currentOffset)), reversePotential(std::move(reversePotential)),
          fitValid(fitValid) {}
    QString lineText() const override;
    void prepareValues() override { prepare({&conductance, &currentOffset, &reversePotential}); }

    int channel; // 1-based
    kv4cl::Measurement_t conductance;
    kv4cl::Measurement_t currentOffset;
    kv4cl::Measurement_t reversePotential;
    bool fitValid;
};
