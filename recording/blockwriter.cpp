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

void BlockWriter::start(QFile& toFile, const char* from, qint64 count) {
    std::lock_guard lock(mutex);
    file = &toFile;
    data = from;
    bytes = count;
    changed.notify_all();
}

bool BlockWriter::finish() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return !file; });
    return std::exchange(whole, true);
}

void BlockWriter::loop() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return file || quit; });
        if (!file) return; // a block still in flight is written first
        QFile* const to = file;
        const char* const from = data;
        const qint64 count = bytes;
        lock.unlock();
        // A short write is retried, so that a failure comes with its cause.
        qint64 written = 0;
        for (qint64 w = 0; written < count; written += w)
            if ((w = to->write(from + written, count - written)) <= 0) break;
        lock.lock();
        whole = written == count;
        file = nullptr;
        changed.notify_all();
    }
}
