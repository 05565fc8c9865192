#pragma once
// The ring of sample rows between the producer and the hooks: six planes indexed alike (raw
// words, their values and the values as 32-bit floats, filtered and unfiltered), the index of
// the next row to write, the gaps where the source lost frames between rows, and the lock and
// wait condition that guard them. The producer owns the one ring of a connection and hands it
// to every hook it makes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class SampleRing {
  public:
    static constexpr uint32_t rowCount = uint32_t{1} << 18;
    static constexpr uint32_t rowMask = rowCount - 1;

    // The six planes of one row. The floats are the values in the form and order of a DAT
    // file's frame, the voltage channels last: the file writer reads 4 bytes a value instead
    // of 8, its limit being memory traffic, and writes whole rows as they lie when it records
    // them all.
    struct Row {
        uint16_t* filteredRaw;
        double* filteredValues;
        uint16_t* unfilteredRaw;
        double* unfilteredValues;
        float* filteredFloats;
        float* unfilteredFloats;
    };

    // rowWidth: voltage, current and gp channels together.
    explicit SampleRing(uint32_t rowWidth);
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    uint32_t rowWidth() const { return width; }

    // Frames missing before the row counted `row`: `frames` of them, of which the last
    // `rowsSkipped` are rows of the ring that a lapped hook skipped (the source's gaps skip none).
    struct Gap {
        uint64_t row;
        uint64_t frames;
        uint64_t rowsSkipped = 0;
    };

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

    // With the mutex held: the source lost `frames` frames before row `row` (at most the
    // count of rows written, and not before an earlier gap). Hooks that read across that
    // place learn of it. Returns the row where the gap is kept.
    uint64_t addGap(uint64_t row, uint64_t frames);
    // The frames of every gap added so far: where a new reader starts its `seen` count.
    uint64_t gapFramesAdded() const { return gapFrames; }
    // With the mutex held, for a reader that has passed the gaps holding the first `seen` of
    // the frames added: passes the gaps before row `row`, appends them to `passed` if given
    // and returns their frames, counting those of gaps already dropped (a reader that was
    // lapped skips them unseen).
    uint64_t passGaps(uint64_t& seen, uint64_t row, std::vector<Gap>* passed) const;
    // With the mutex held: the source said its stream broke. It tells how many frames were
    // lost only once it has seen enough of what follows, which takes up to about a second:
    // until the next gap is added, a reader that is about to finish may wait for it.
    void noteBreak() { breakSizedBy = std::chrono::steady_clock::now() + breakSizingTime; }
    // With `lock` holding the mutex: waits until the break said last is sized, the producer
    // stopped, or the time for sizing it has passed.
    void waitForBreakSized(std::unique_lock<std::mutex>& lock);
    // With the mutex held: the row counts of the hooks reading the ring, for backlog().
    void addReader(const uint64_t& row) { readerRows.push_back(&row); }
    void removeReader(const uint64_t& row) { std::erase(readerRows, &row); }
    // With the mutex held: the rows written that the slowest hook has not read yet.
    uint64_t backlog() const;

    // Called in a reader's thread, without the mutex, with the rows a read skipped because
    // the writer had lapped its hook, and the row it went on at. Set before any hook reads.
    std::function<void(uint64_t row, uint64_t rows)> lapReport;

    const uint16_t* rawPlane(bool filtered) const;
    const double* valuePlane(bool filtered) const;
    const float* floatPlane(bool filtered) const;

  private:
    const uint32_t width;
    // Not zeroed: nobody reads a row before it is written, and untouched pages cost nothing.
    const std::unique_ptr<uint16_t[]> filteredRaw;
    const std::unique_ptr<double[]> filteredValues;
    const std::unique_ptr<uint16_t[]> unfilteredRaw;
    const std::unique_ptr<double[]> unfilteredValues;
    const std::unique_ptr<float[]> filteredFloats;
    const std::unique_ptr<float[]> unfilteredFloats;
    std::condition_variable dataAvailable;
    std::atomic<uint64_t> written = 0; // only the producer changes it
    // Only the gaps that a hook that was not lapped can still reach, with the frames of
    // every gap before each.
    struct KeptGap {
        Gap gap;
        uint64_t framesBefore;
    };
    std::deque<KeptGap> gaps;
    std::vector<const uint64_t*> readerRows;
    uint64_t gapFrames = 0;
    static constexpr std::chrono::milliseconds breakSizingTime{1500};
    std::chrono::steady_clock::time_point breakSizedBy{}; // none pending when in the past
    bool stopped = false;
};
