#include "recording/blockwriter.h"

#include <utility>

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
        // A short write is retried, so that a failure comes with its cause.
        qint64 done = 0;
        for (qint64 w = 0; done < block.bytes; done += w)
            if ((w = block.file->write(block.data + done, block.bytes - done)) <= 0) break;
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
