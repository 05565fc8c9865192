#pragma once
// Writes a file a block at a time on a thread of its own, so that the next block can be made
// ready while the system takes the one before: a writer then goes as fast as the slower of
// the two steps, instead of at the sum of their times. One block is in flight at most.

#include <QFile>

#include <condition_variable>
#include <mutex>
#include <thread>

class BlockWriter {
  public:
    BlockWriter();
    // Finishes the block in flight.
    ~BlockWriter();
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Starts writing `bytes` bytes from `data` to `file`, after finish(); neither may be
    // touched until finish() returns.
    void start(QFile& file, const char* data, qint64 bytes);
    // Waits for the block in flight, if any; false when it was not written whole, the
    // file's error telling why.
    bool finish();

  private:
    void loop();

    std::mutex mutex;
    std::condition_variable changed;
    QFile* file = nullptr; // set while a block is in flight
    const char* data = nullptr;
    qint64 bytes = 0;
    bool whole = true; // of the last block
    bool quit = false;
    std::thread thread; // last: starts once the members above are there
};
