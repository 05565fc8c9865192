#pragma once
// The base of every consumer of acquired data (the live plot, the file writers, the online
// analyses): a thread of its own that blocks on its hook into the sample ring, takes what has
// arrived and processes it.
//
// A subclass implements run() as a loop that ends once stopRequested() holds, and its
// onStartConsuming() and onStopConsuming() around startConsuming() and stopConsuming().
// Range and rate changes arrive in the GUI thread and are only stored as pending; the
// consumer's thread takes them over with applyPendingChanges() before its next read, so the
// GUI never touches what the thread is working with. A subclass whose run() uses members of
// its own stops the thread in its destructor.

#include "acquisition/datahook.h"
#include "acquisition/devicedataproducer.h"

#include "commlib/types/kv4cltypes.h"

#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class DeviceDataConsumer : public QThread {
    Q_OBJECT

  public:
    // The keys of the filter preferences' choices (filtered or raw data) that the plot and the
    // writers follow; each analysis has its own in its entry of the list of analyses.
    static inline const QString plotFilterKey = "Plot";
    static inline const QString abfFilterKey = "AbfRecording";
    static inline const QString datFilterKey = "DatRecording";

    explicit DeviceDataConsumer(DeviceDataProducer* producer);
    // Stops the thread if it runs, waiting without a time limit.
    ~DeviceDataConsumer() override;

  public slots:
    virtual void onStartConsuming() = 0;
    virtual void onStopConsuming() = 0;
    // Starts over with a hook at the ring's present write index.
    virtual void onResetConsuming();
    // The changes are stored as pending.
    virtual void onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate,
                                       kv4cl::Measurement_t samplingRate);
    virtual void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    // channelIdx equal to the channel count means every channel; other indices out of range
    // are ignored.
    virtual void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    virtual void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onSetFilteredData(bool flag);

    // The gp channels' names, in the order of their values.
    const QStringList& gpChannelNames() const;

  protected:
    // What applyPendingChanges() took over.
    struct Changes {
        bool samplingRate = false;
        bool voltageRange = false;
        bool currentRanges = false;
        bool gpRanges = false;
    };

    // For onStartConsuming(): takes a hook and starts the thread, unless it runs already.
    void startConsuming();
    // For onStopConsuming(): asks run() to end, lets its read return at once, waits without
    // a time limit for the thread to end and drops the hook.
    void stopConsuming();
    // For run(): true once a stop was asked.
    bool stopRequested() const { return stopFlag; }
    // For run(): whether the next read takes filtered data.
    bool filteredDataChosen();
    // In the consumer's thread: makes the pending changes the applied ones.
    Changes applyPendingChanges();

    DeviceDataProducer* const producer;
    // Null while not consuming.
    std::unique_ptr<DataHook> hook;
    const int32_t voltageChannelsNum;
    const int32_t currentChannelsNum;
    const int32_t gpChannelsNum;
    const int32_t totalChannelsNum;

    // A read returns only when more than this many rows are waiting; set before the start.
    uint32_t minRows = 0;

    // Guards the flags and the pending and applied values below.
    QMutex mutex;
    bool useFilteredData = false;
    bool samplingRateChanged = false;
    bool voltageRangeChanged = false;
    bool currentRangeChanged = false;
    bool gpRangeChanged = false;

    double pendingSamplingRate = 1.0; // Hz
    double samplingRate = 1.0;
    kv4cl::RangedMeasurement_t pendingVoltageRange;
    kv4cl::RangedMeasurement_t voltageRange;
    std::vector<kv4cl::RangedMeasurement_t> pendingCurrentRanges; // one per current channel
    std::vector<kv4cl::RangedMeasurement_t> currentRanges;
    std::vector<kv4cl::RangedMeasurement_t> pendingGpRanges; // one per gp channel
    std::vector<kv4cl::RangedMeasurement_t> gpRanges;

  private:
    std::atomic<bool> stopFlag = false;
    // QThread::wait() learns that the thread ended inside Qt, where ThreadSanitizer cannot see
    // it; the thread passes this mutex as it ends (after its other finished slots) and
    // stopConsuming() after wait(), so that the order of all the thread did and what the caller
    // does next (releasing the hook, destroying the consumer) is one the tool sees.
    std::mutex threadEndMutex;
    QMetaObject::Connection threadEndHandOver;
};
