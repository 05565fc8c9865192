#pragma once
// The ring of sample rows between the producer and the hooks: four planes indexed alike
// (raw words and their values, filtered and unfiltered), the index of the next row to write,
// and the lock and wait condition that guard them. The producer owns the one ring of a
// connection and hands it to every hook it makes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class SampleRing {
  public:
    static constexpr uint32_t rowCount = uint32_t{1} << 18;
    static constexpr uint32_t rowMask = rowCount - 1;

    // The four planes of one row.
    struct Row {
        uint16_t* filteredRaw;
        double* filteredValues;
        uint16_t* unfilteredRaw;
        double* unfilteredValues;
    };

    // rowWidth: voltage, current and gp channels together.
    explicit SampleRing(uint32_t rowWidth);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    uint32_t rowWidth() const { return width; }

    // Whether a reader at readIndex has more than minRows rows before writeIndex. A reader
    // more than half a ring behind counts as having too few: the writer is lapping it.
    static bool hasMoreThan(uint32_t readIndex, uint32_t writeIndex, uint32_t minRows);

    // Guards everything below; the producer holds it while it fetches and stores rows, so
    // readers only ever see complete rows.
    std::mutex mutex;

    uint32_t writeIndex() const { return uint32_t(rowsWritten()) & rowMask; }
    // Rows written since the ring was made: the producer's running count, which any thread
    // may read without the mutex (a tag takes it as the frame being acquired).
    uint64_t rowsWritten() const { return written.load(std::memory_order_relaxed); }
    // The row at the write index, for the producer to fill; commitRow() makes it readable.
    Row nextRow();
    void commitRow() { written.store(rowsWritten() + 1, std::memory_order_relaxed); }
    void wakeReaders() { dataAvailable.notify_all(); }
    // Waits for wakeReaders(), at most 100 ms, so that a reader rechecks at least that often.
    // `lock` holds the mutex.
    void waitForData(std::unique_lock<std::mutex>& lock) {
        dataAvailable.wait_for(lock, std::chrono::milliseconds(100));
    }

    // Set once the producer's loop has ended; waiting readers return with what there is.
    bool producerStopped() const { return stopped; }
    void setProducerStopped();

    const uint16_t* rawPlane(bool filtered) const;
    const double* valuePlane(bool filtered) const;

  private:
    const uint32_t width;
    // Not zeroed: nobody reads a row before it is written, and untouched pages cost nothing.
    const std::unique_ptr<uint16_t[]> filteredRaw;
    const std::unique_ptr<double[]> filteredValues;
    const std::unique_ptr<uint16_t[]> unfilteredRaw;
    const std::unique_ptr<double[]> unfilteredValues;
    std::condition_variable dataAvailable;
    std::atomic<uint64_t> written = 0; // only the producer changes it
    bool stopped = false;
};
