#pragma once
// The base of every online analysis's worker: a consumer thread that reads 50 ms of frames
// per cycle into an accumulation buffer and lets the subclass's analyze() take what it needs.
//
// An analysis may run for one current channel at a time or for several: the first channel
// started starts the thread, further starts and stops are queued and applied by the thread
// before it analyses the next rows, and stopping the last channel stops the thread. Range and
// rate changes arrive as pending values (see DeviceDataConsumer); the thread applies them
// before its next analysis and resets every channel's results, since results mixing two
// ranges or two rates mean nothing.
//
// Locks: the channel requests; the pending rate and ranges (the base's); the results, which
// analyze() and resetAnalysis() hold and through which a widget copies results; the stop
// handshake is the base's.

#include "acquisition/devicedataconsumer.h"

#include <QMutex>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class AnalysisConsumer : public DeviceDataConsumer {
    Q_OBJECT

  public:
    explicit AnalysisConsumer(DeviceDataProducer* producer);
    using DeviceDataConsumer::onResetConsuming;
    // Subclasses stop the thread in their own destructors, as their analyze() runs in it.
    ~AnalysisConsumer() override;

    // Qt hands the queued copy of a result to the receiving thread through its own event queue,
    // whose locks ThreadSanitizer cannot see: a consumer emits its result holding a mutex, and a
    // receiver in another thread calls this before it reads the copy.
    void takeHandOver() { std::lock_guard lock(handOver); }

    // Frames read per cycle at the applied rate (50 ms); for tests and the widgets.
    int chunkFrames() const { return readChunk; }

    // How many results the consumer has published for the channel: one consumer notifies the
    // docks of every channel, and a dock draws only when its own channel's count has moved.
    // From any thread.
    uint64_t resultsPublished(int channelIdx) const {
        return validChannel(channelIdx) ? published[size_t(channelIdx)].load(std::memory_order_acquire) : 0;
    }

    // Rows of the ring that have gone through analyze(), counted as the producer's
    // rowsProduced() counts them: a caller that plays a recording through the analysis knows
    // from it when every frame was taken. From any thread.
    uint64_t rowsAnalysed() const { return analysedRows.load(std::memory_order_acquire); }

    // Rows handed in by a caller instead of read from the ring: a recording analysed as fast as
    // the analysis goes, without the producer. Called before the first channel starts, it keeps
    // the consumer's thread from starting; feed() then analyses the channels started.
    void feedByCaller() { fedByCaller = true; }
    // In one thread of the caller's, as the consumer's own thread analyses the rows it reads:
    // `count` rows of values (voltage, current, gp channels), the next after those fed before,
    // or after frames that were lost with `afterGap`.
    void feed(const double* rows, size_t count, bool afterGap);

  signals:
    void analyzing(bool on);
    // Emitted from the consumer's thread each time rowsAnalysed() has moved.
    void analysed();

  public slots:
    void onStartConsuming() override;
    void onStopConsuming() override;
    // Per current channel: the first start starts the thread, the last stop stops it.
    virtual void onStartConsuming(int currentChannelIdx);
    virtual void onResetConsuming(int currentChannelIdx);
    virtual void onStopConsuming(int currentChannelIdx);

  protected:
    bool validChannel(int channelIdx) const { return channelIdx >= 0 && channelIdx < currentChannelsNum; }
    // Sizes the subclass's arrays from the channel counts, then resetAnalysis(all).
    virtual void allocateBuffers() = 0;
    // Takes the result lock and resets `channelIdx` (the current channel count: all); the
    // subclass picks resetSingle() or resetEachChannel().
    virtual void resetAnalysis(int channelIdx) = 0;
    virtual void resetChannel(int channelIdx) = 0;
    // Takes the result lock, consumes frames from `accumulated` and emits results.
    virtual void analyze() = 0;
    // Frames were lost between those analysed so far and the next (the source lost them, or
    // the ring lapped this consumer): an analysis that counts on consecutive frames starts
    // its stretch over. In the consumer's thread; takes the result lock.
    virtual void framesMissing() {}

    // In analyze(), for each channel with a new result, before the result signal.
    void markPublished(int channelIdx) {
        published[size_t(channelIdx)].fetch_add(1, std::memory_order_release);
    }

    // resetChannel once with the index as given.
    void resetSingle(int channelIdx);
    // resetChannel for the one channel, or for every current channel when the index is the
    // channel count (or beyond).
    void resetEachChannel(int channelIdx);

    void run() override;

    // Frames read and not yet consumed, interleaved: voltage, current, then gp channels.
    std::vector<double> accumulated;
    // During analyze(): the ring's row that follows the last frame of `accumulated`.
    uint64_t accumulatedEnd = 0;
    // Frames in 50 ms at the applied rate; 0 while the rate is unknown (read what comes).
    int readChunk = 0;
    // Brings a sample of the channel's range to the base unit (A, V, ...).
    double voltageMultiplier = 1.0;
    std::vector<double> currentMultipliers;
    std::vector<double> gpMultipliers;
    // In the thread: the channels the analysis runs for.
    std::vector<bool> activeChannels;

    QMutex resultMutex;
    // Held while a result is emitted with its copy: see takeHandOver().
    std::mutex handOver;

  private:
    // Before the first rows: buffers sized and every setting taken over.
    void prepareRun();
    // At the top of a cycle: the queued starts and stops.
    void applyChannelRequests();
    void applyChanges(const Changes& changes);
    // The rows from `begin` to `end` after those accumulated; `endRow` counts the row after them.
    void analyseRows(const double* begin, const double* end, uint64_t endRow);

    std::vector<double> readBuffer;
    std::unique_ptr<std::atomic<uint64_t>[]> published;
    std::atomic<uint64_t> analysedRows = 0;

    // The channels asked for from the GUI thread, and what the thread has yet to take over.
    QMutex requestMutex;
    std::vector<bool> wantedChannels;
    int wantedCount = 0;
    std::vector<int> pendingStarts;
    std::vector<int> pendingStops;
    bool requestsPending = false;

    bool fedByCaller = false;
    uint64_t rowsFed = 0; // the caller's thread
};
