#pragma once
// One connected device set, from the library's connection to its disconnection, or one
// recording played back through the same producer and consumers: the device's
// features read once, the producer and its thread, every consumer of its data, and the
// commands the window's menus and docks send to the device. The window and kav4-cli compose
// their views over it; it knows nothing of widgets.
//
// Consumers are filed with a filter key, the name under which the filter preferences choose
// filtered or raw data for them. Rate and range changes reach every filed consumer, each
// applying them in its own thread. The order that keeps every reader safe is built in:
// stop() ends the producer's loop, then stops and deletes the consumers, then the producer;
// the library is disconnected last, when the session is deleted, so that what the caller
// deletes between the two (docks holding a consumer) may still talk to the device.

#include "acquisition/devicedataproducer.h"
#include "acquisition/librarysamplesource.h"
#include "recording/filesamplesource.h"

#include "commlib/types/kv4cltypes.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class DeviceDataConsumer;
class OffsetCompensationWatch;
class StimulusService;

class DeviceSession : public QObject {
    Q_OBJECT

  public:
    // What the connected model has, as the library reports it at connection.
    struct Features {
        DeviceDataProducer::ChannelCounts channels;
        bool channelSwitch = false;     // bank A: channels switched in and out
        bool stimulusSelection = false; // bank B: the channel that gets the stimulus
        bool digitalOffsetCompensation = false;
        bool offsetCompensationAutostop = false;
        bool zap = false;
        bool resetDenoiser = false;
        bool protocols = false;
        bool voltageOffsets = false;
        bool cFast = false;
        bool washer = false;
        bool temperatureController = false;
        bool ttlOutput = false;
        // Several devices acquired as one.
        bool parallel = false;
        // "version.subversion.firmware" of the first device; empty when the library does not say.
        QString model;
    };

    // Connects the devices with these ids; null, with the library's code in `result`, when it
    // refuses. The producer is made but not started.
    static std::unique_ptr<DeviceSession> open(const std::vector<std::string>& ids,
                                               kv4cl::ErrorCodes_t& result);
    // The recording that `path` belongs to, played back (paused at its start); null with
    // `error` saying what is wrong with the file. Its features are its channels alone; the
    // device commands do nothing.
    static std::unique_ptr<DeviceSession> openRecording(const QString& path, QString& error);
    // stop(), then disconnects the library when connected.
    ~DeviceSession() override;

    // The recording played back; null on a connected device set.
    FileSampleSource* replay() const { return replaySource; }

    const Features& features() const { return deviceFeatures; }
    // Null once stopped.
    DeviceDataProducer* producer() const { return dataProducer.get(); }
    // On models with digital offset compensation; null on the others.
    OffsetCompensationWatch* offsetCompensation() const { return offsetWatch; }
    // The voltage stimulus, on models with protocols; null on the others. It goes with the
    // session, after whatever the caller deleted over it.
    StimulusService* stimulus() const { return stimulusService; }

    // Files a consumer of the producer; the session owns it from here on and deletes it in stop().
    void add(DeviceDataConsumer* consumer, const QString& filterKey);
    // Every consumer filed so far, in the order filed.
    std::vector<DeviceDataConsumer*> consumers() const;
    // Every filed consumer takes the device's present voltage, current and gp ranges. The rate
    // is announced by whoever offers the rate choice, through onSamplingRateChanged, as every
    // later change is: one time base for all. A recording played back has no choice: its
    // ranges and rate are announced here.
    void seedRanges();
    // Starts the producer's thread.
    void start();
    // Ends the acquisition in the order above; the library stays connected. Idempotent.
    void stop();

  public slots:
    void onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate, kv4cl::Measurement_t samplingRate);
    void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    // The consumers filed under the key read filtered data, or raw data.
    void setFilteredData(const QString& filterKey, bool filtered);

    // Device commands. A channel index equal to the current channel count means every channel.
    void resetDevice();
    // Restarts several devices together from a held reset, with their buffers and drift
    // estimate cleared.
    void synchronize();
    void setDenoiserEnabled(bool on);
    void setOffsetCompensationAutostop(bool on);
    void selectStimulusChannel(int channelIdx, bool on);
    void zap(int channelIdx);

  private:
    // A connected device set (source null: the library's), or a recording.
    DeviceSession(bool parallel, std::unique_ptr<FileSampleSource> recording);

    Features deviceFeatures;
    std::unique_ptr<SampleSource> sampleSource;
    FileSampleSource* replaySource = nullptr;
    std::unique_ptr<DeviceDataProducer> dataProducer;
    std::vector<std::pair<DeviceDataConsumer*, QString>> filed;
    OffsetCompensationWatch* offsetWatch = nullptr;
    StimulusService* stimulusService = nullptr;
};
