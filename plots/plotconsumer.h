#pragma once
// What the live plots show: the consumer reads the converted values through its hook as a
// minimum and maximum envelope, sized so that a sweep never has more than 8,192 points per
// channel, and writes them into one buffer per channel in sweep fashion, left to right and
// back to the start when the sweep is full. It keeps the buffers in the unit prefix of each
// channel's range, implements the oscilloscope trigger with its pre-trigger stretch and
// reports the mean of the current and gp channels once per completed sweep. Frames lost before
// a row are marked at the point the row lands on, until a later sweep writes over it. Averaging, the
// buffers show the mean of the sweeps completed since it was switched on (or since the
// sweep, the trigger or a range changed), each new sweep written aside until it is complete.
// Overlaying, the last sweeps completed (under the same conditions) are kept, to be drawn
// behind the one being written.
//
// The display lock: the buffers, the time vector and the curves are written in the consumer's
// thread and drawn in the GUI thread. The consumer holds displayMutex() while it writes the
// rows of one read, rescales the buffers or lays the sweep out anew, and never while it
// emits; the plot tab holds it while it copies the buffers into its curves
// (Curve::updateData). A sweep may be shown partly written.
//
// Lock order: the display mutex before the trigger mutex; the consumer never holds the base's
// mutex (pending changes) together with either.

#include "acquisition/devicedataconsumer.h"
#include "plots/curve.h"
#include "plots/triggertype.h"

#include <QList>
#include <QMutex>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class PlotConsumer : public DeviceDataConsumer {
    Q_OBJECT

  public:
    // The points of a sweep, per channel, at most.
    static constexpr int bufferSize = 8192;

    explicit PlotConsumer(DeviceDataProducer* producer);
    // Deletes the curves; the subclass has stopped the thread.
    ~PlotConsumer() override;

    // One curve per channel of the group, showing that channel's buffer once the plot tab has
    // attached it (setRawSamples with the data of setPlotData).
    const QList<Curve*>& voltageCurves() const { return voltageCurveList; }
    const QList<Curve*>& currentCurves() const { return currentCurveList; }
    const QList<Curve*>& gpCurves() const { return gpCurveList; }
    // See the display lock above.
    QMutex& displayMutex() { return displayLock; }
    // With displayMutex() held: the times in the sweep of the points that frames were lost before.
    std::vector<double> lossTimes() const;
    // Sweeps in the mean shown while averaging; 0 otherwise.
    int sweepsAveraged() const { return averagedSweeps.load(std::memory_order_relaxed); }
    // The sweeps kept while overlaying, at most.
    static constexpr int sweepsKeptMax = 8;
    // With displayMutex() held: the sweeps kept (0 unless overlaying), channel `channel` (its
    // index in the sample row) of sweep `k`, oldest first, as keptPoints() values against
    // sweepTimes(), and a count that moves on whenever they change.
    int sweepsKept() const { return keptCount; }
    const double* keptSweep(int k, int32_t channel) const;
    int keptPoints() const { return keptSweepPoints; }
    const double* sweepTimes() const { return timeValues.data(); }
    uint64_t keptGeneration() const { return keptChanges; }
    // Qt hands the queued copies of a range or of the baselines to the receiving thread through
    // its own event queue, whose locks ThreadSanitizer cannot see: the consumer emits them
    // holding a mutex, and a receiver in another thread calls this before it reads a copy.
    void takeHandOver() { std::lock_guard lock(handOver); }

  signals:
    void voltageRangeUpdated(kv4cl::RangedMeasurement_t range);
    void currentRangeUpdated(kv4cl::RangedMeasurement_t range, int channelIdx);
    void gpRangeUpdated(kv4cl::RangedMeasurement_t range, int channelIdx);
    void durationUpdated(double duration);
    // New rows are in the buffers, at most every 100 ms, and once more when the thread ends.
    // Rows of a read that came sooner are told by the consumer's timer in the GUI thread, so
    // that the last rows before a pause of the data are shown too.
    void plotDataUpdated();
    // One mean per current channel, then one per gp channel, over the rows of the last read;
    // only after a sweep has completed since the last publication.
    void baselinesAvailable(QList<double> baselines);

  public slots:
    void onStartConsuming() override;
    void onStopConsuming() override;
    // x: the trigger's time in the sweep (s); y: its level in the unit of the channel's range;
    // ch: the channel's index in the sample row.
    void onTriggerEnabled(plots::TriggerType_t type, double x, double y, int ch);
    void onTriggerDisabled();
    // The time a sweep spans.
    void onDurationChanged(kv4cl::Measurement_t span);
    // Shows the mean of the sweeps from now on, or each sweep as it comes.
    void onAverageSweeps(bool on);
    // Keeps the last sweeps completed from now on, or none.
    void onOverlaySweeps(bool on);

  protected:
    // In the consumer's thread, after the sweep was laid out anew: hands the plots the time
    // vector, the three buffer lists and the number of points.
    virtual void sweepLaidOut(double* timeValues, QList<double*>* voltageValues,
                              QList<double*>* currentValues, QList<double*>* gpValues, int dataSize) = 0;

    void run() override;

  private:
    enum TriggerState { Waiting = 0, Armed = 1, Fired = 2, Free = 3 };
    static constexpr uint32_t ringSize = uint32_t{1} << 20;
    static constexpr uint32_t ringMask = ringSize - 1;

    void applyChanges();
    void layOutSweep(double sweepDuration);
    // Brings every buffer and the trigger level to the prefix of its channel's applied range.
    void rescaleBuffers();
    kv4cl::UnitPfx_t rangePrefix(int32_t channel) const;
    // The sweep and trigger walk over the rows of one read; lossRows: the indices of its rows
    // that frames were lost before, in order.
    void writeRead(const std::vector<double>& data, const std::vector<size_t>& lossRows);
    // Returns where free writing goes on: `end` while the trigger is still awaited.
    const double* awaitTrigger(const double* row, const double* end);
    void scanRow(const double* row);
    void writePreTrigger();
    // After a full sweep: true when a trigger is set, which is then awaited anew.
    bool rearmTrigger();
    uint32_t preTriggerValues() const;
    // True when the row completed the sweep.
    bool writeRow(const double* row, bool lossBefore = false);
    // The sweep just completed into the mean shown.
    void addToMean();
    // The sweep just completed among those kept; display lock held.
    void keepSweep();
    void forgetKeptSweeps();
    void publish();

    // Set in the consumer's thread when rows were written and not told yet; the timer tells them.
    std::atomic<bool> unpublished = false;
    QTimer lateRows{this};

    QList<Curve*> voltageCurveList;
    QList<Curve*> currentCurveList;
    QList<Curve*> gpCurveList;
    QMutex displayLock;
    std::mutex handOver;
    // The buffers of every channel, bufferSize values each, in one block; the lists point
    // into it, group by group, and channelBuffers in the order of the sample row.
    std::vector<double> bufferStorage;
    QList<double*> voltageBuffers;
    QList<double*> currentBuffers;
    QList<double*> gpBuffers;
    std::vector<double*> channelBuffers;
    // Per point of the sweep: frames were lost before it. Under the display lock.
    std::vector<char> lossMarks;
    // The prefix each channel's buffer holds its values in.
    std::vector<kv4cl::UnitPfx_t> bufferPrefixes;
    std::vector<double> timeValues;
    std::vector<double> readData;

    // Guarded by the base's mutex.
    double pendingDuration = 0.0; // s
    bool durationChanged = false;
    bool pendingAveraging = false;
    bool averagingChanged = false; // or the trigger: the mean starts over
    bool pendingOverlay = false;
    bool overlayChanged = false;

    // The consumer's thread only: the sweep being written while averaging, and the sums of
    // those completed, bufferSize values a channel each.
    bool averaging = false;
    std::vector<double> sweepAside;
    std::vector<double> sweepSums;
    std::atomic<int> averagedSweeps = 0;
    bool overlaying = false;
    // Under the display lock: sweepsKeptMax sweeps of every channel, bufferSize values each,
    // the newest at keptNext - 1.
    std::vector<double> keptStorage;
    int keptCount = 0;
    int keptNext = 0;
    int keptSweepPoints = 0;
    uint64_t keptChanges = 0;

    // Written in the consumer's thread under the trigger mutex, under which onTriggerEnabled
    // reads them.
    double duration = 0.0; // s
    int32_t sweepPoints = 0;

    int32_t writePosition = 0;
    int32_t decimation = 1;

    // Guarded by the trigger mutex.
    QMutex triggerMutex;
    std::vector<double> preTrigger; // ringSize values
    uint32_t ringIndex = 0;
    plots::TriggerType_t triggerType = plots::TriggerNone;
    double triggerPosition = 0.0; // fraction of the sweep
    double triggerLevel = 0.0;
    int32_t triggerChannel = -1;
    uint32_t preTriggerCount = 0; // values
    bool preTriggerFilled = false;
    TriggerState triggerState = Free;
    std::vector<double> ringRow; // a row taken out of the ring

    // Over the rows of the last read: per current channel, then per gp channel.
    std::vector<double> baselineSums;
    uint32_t accumulatedRows = 0;
    bool sweepCompleted = false;
};
