#pragma once
// The acquisition thread of a connection. It polls the library for frames, converts every
// word into a value of its range's unit and writes raw words and values, filtered and
// unfiltered, into the sample ring, then wakes the hooks waiting there. Alongside it watches
// the status flags: a saturated front end and a suggested current range change are each
// announced at most once per second, a lost and regained connection once per outage. A
// meter reports every second how many rows per channel arrived. Every frame lost on the way
// to a consumer is reported: those the library never handed out, and the rows of a hook that
// the ring's writer lapped.
//
// The object lives in the GUI thread, where its timers and slots run; only run() runs in the
// producer's thread, so the notifier signals reach GUI slots queued. The producer goes
// through its life once: a stopped producer does not start again.

#include "acquisition/datahook.h"
#include "acquisition/samplering.h"
#include "acquisition/samplesource.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class DeviceDataProducer : public QThread {
    Q_OBJECT

  public:
    struct ChannelCounts {
        uint32_t voltage = 0;
        uint32_t current = 0;
        uint32_t gp = 0;
        uint32_t total() const { return voltage + current + gp; }
    };

    // In the GUI thread, once connected: reads the channel counts, sizes the ring for them
    // and starts the meter. `source` must outlive the producer.
    explicit DeviceDataProducer(SampleSource& source, QObject* parent = nullptr);
    // Stops the loop if it runs, waiting without a time limit.
    ~DeviceDataProducer() override;

    const ChannelCounts& channelCounts() const { return counts; }
    // Every gp channel's name, in frame order: the source's, or "GP" and its number.
    const QStringList& gpChannelNames() const { return gpNames; }
    // A hook that reads the rows written from now on.
    std::unique_ptr<DataHook> getDataHook();
    // Rows stored so far, from any thread: the number of the frame being acquired, as the
    // hooks count their rows.
    uint64_t rowsProduced() const { return ring.rowsWritten(); }
    // Frames reported by framesLost() since the producer was made, from any thread.
    uint64_t framesLostTotal() const { return lostTotal.load(std::memory_order_relaxed); }

  signals:
    // Rows per second per channel over the last measuring interval.
    void bitRateComputed(double rate);
    void startSaturationTimer();
    void frontEndSaturation();
    void startCurrentRangeChangeTimer();
    // +1 for the next larger current range, -1 for the next smaller.
    void frontEndCurrentRangeChange(int rangeChange);
    void connectionLost();
    void connectionReEstablished();
    // `frames` frames (samples per channel) are missing before the row counted `row`, as
    // rowsProduced() and the hooks count rows: the library lost them, or a hook was lapped
    // and skipped them. Emitted in the producer's thread, or in the lapped reader's.
    void framesLost(quint64 row, quint64 frames);

  public slots:
    // Ends the loop and returns once it has ended; readers waiting on the ring return with
    // what there is.
    void onStopProducing();
    // The automatic current range switch: requests are emitted only while it is on.
    void onEnableCurrentRangeChange(bool flag);

  private slots:
    void onComputeBitRate();
    void onStartSaturationTmr();
    void onSaturationCheck();
    void onStartCurrentRangeChangeTmr();
    void onCurrentRangeChangeCheck();

  protected:
    void run() override;

  private:
    static constexpr int meterIntervalSeconds = 1;
    static constexpr int holdOffMs = 1000;

    static ChannelCounts readChannelCounts(SampleSource& source);
    static QStringList readGpNames(SampleSource& source, uint32_t gpChannels);
    // With the ring's mutex held.
    void storeRows(uint32_t rows, const uint16_t* filtered, const uint16_t* unfiltered);
    void countAndNotify(uint32_t rows, const kv4cl::DataStatus_t& status);
    // With the ring's mutex held, after a read: the library's gaps into the ring and `gaps`.
    void takeLosses(std::vector<SampleRing::Gap>& gaps);
    void reportLoss(uint64_t row, uint64_t frames);
    // Says on the console why samples went missing, from the library's flags; the counts
    // come from readFramesLost.
    void noteLossFlags(const kv4cl::DataStatus_t& status);
    // Sleeps between polls, cut short by a stop.
    void pause(unsigned long ms);

    SampleSource& source;
    const ChannelCounts counts;
    const QStringList gpNames;
    SampleRing ring;
    std::vector<kv4cl::FramesLost_t> losses; // the producer's thread only
    std::atomic<uint64_t> lostTotal = 0;
    bool dataLostFlagged = false; // the producer's thread only
    bool overflowFlagged = false;
    bool infoIndexStuckFlagged = false;

    // The stop handshake: the stopper sets stopRequested and waits on runChanged until the
    // loop reports loopEnded; the loop's pauses wait on runChanged too, so a stop ends them.
    std::mutex runMutex;
    std::condition_variable runChanged;
    bool stopRequested = false;
    bool loopEnded = false;

    // The meter times the rows itself: its timer fires late whenever the GUI thread is busy,
    // and the rows that waited in the library before the first read came at no known time.
    QTimer bitRateTimer{this};
    QMutex meterMutex;
    QElapsedTimer meterClock; // started at the first read that delivered rows
    qint64 meterMarkNs = 0;   // the clock's reading at the start of the interval
    int64_t rowsCount = 0;    // rows since then

    QTimer saturationTimer{this};
    QMutex saturationMutex;
    bool saturationArmed = true;

    QTimer rangeChangeTimer{this};
    QMutex rangeChangeMutex;
    bool rangeChangeArmed = true;
    bool rangeChangeEnabled = false;
};
