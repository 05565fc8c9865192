#include "recording/blockwriter.h"

#include <utility>

qint64 writeWhole(QFile& file, const char* data, qint64 bytes) {
    qint64 done = 0;
    for (qint64 w = 0; done < bytes; done += w)
        if ((w = file.write(data + done, bytes - done)) <= 0) break;
    return done;
}

BlockWriter::BlockWriter() : thread([this] { loop(); }) {}

BlockWriter::~BlockWriter() {
    {
        std::lock_guard lock(mutex);
        quit = true;
        changed.notify_all();
    }
    thread.join();
}

void BlockWriter::start(QFile& file, const char* data, qint64 bytes) {
    std::lock_guard lock(mutex);
    queue.push_back({&file, data, bytes});
    changed.notify_all();
}

bool BlockWriter::wait(size_t queued) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return queue.size() <= queued; });
    return !std::exchange(failed, false);
}

qint64 BlockWriter::bytesWritten() {
    std::lock_guard lock(mutex);
    return written;
}

void BlockWriter::loop() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return !queue.empty() || quit; });
        if (queue.empty()) return; // what was queued is written first
        const Block block = queue.front();
        lock.unlock();
        const qint64 done = writeWhole(*block.file, block.data, block.bytes);
        lock.lock();
        queue.pop_front();
        if (done == block.bytes) {
            written += block.bytes;
        } else {
            // What follows a gap must not be written after it.
            failed = true;
            queue.clear();
        }
        changed.notify_all();
    }
}
