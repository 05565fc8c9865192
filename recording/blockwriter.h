#pragma once
// Writes files a block at a time, in order, on a thread of its own, so that the next blocks
// can be made ready while the system takes the ones before: a writer then goes as fast as the
// slower of the two steps, instead of at the sum of their times. A few blocks queued keep
// both sides busy over the moments either one waits to be woken.

#include <QFile>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Writes `bytes` bytes from `data`, a short write retried so that a failure comes with its
// cause in the file's error; the bytes written.
qint64 writeWhole(QFile& file, const char* data, qint64 bytes);

class BlockWriter {
  public:
    BlockWriter();
    // Writes what is queued first.
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Queues `bytes` bytes from `data` for `file`, after the blocks queued before; neither
    // may be touched until the block has left the queue (see wait()).
    void start(QFile& file, const char* data, qint64 bytes);
    // Waits until at most `queued` blocks are left; false when a block was not written whole
    // since the last call, the file's error telling why, and the blocks after it dropped.
    bool wait(size_t queued);
    // The bytes of the blocks written whole so far.
    qint64 bytesWritten();

  private:
    struct Block {
        QFile* file;
        const char* data;
        qint64 bytes;
    };

    void loop();

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Block> queue; // the first one is being written
    qint64 written = 0;
    bool failed = false;
    bool quit = false;
    std::thread thread; // last: starts once the members above are there
};
