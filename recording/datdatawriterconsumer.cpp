#include "recording/datdatawriterconsumer.h"

#include "acquisition/samplering.h"

#include <algorithm>
#include <bit>
#include <optional>

// Frames are stored as they lie in memory.
static_assert(std::endian::native == std::endian::little);

DatDataWriterConsumer::DatDataWriterConsumer(DeviceDataProducer* producer)
    : DataWriterConsumer(producer, 0, ".dat", ""), blocks(blockCount * blockSize) {}

DatDataWriterConsumer::~DatDataWriterConsumer() {
    stopConsuming();
}

bool DatDataWriterConsumer::openRecordFile() {
    QString path;
    if (!beginRecordFile(path)) return false;
    file = newDataFile();
    file->setFileName(path);
    fileStart = blockWriter.bytesWritten();
    // Blocks of whole frames; unbuffered, a failure shows at the block that failed, while
    // the frames before it are known.
    return file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

void DatDataWriterConsumer::closeRecordFile() {
    if (!file) return;
    settle(0);
    file->close();
}

void DatDataWriterConsumer::run() {
    runs.clear();
    const auto add = [this](int32_t channel) {
        if (!runs.empty() && runs.back().from + runs.back().count == channel)
            runs.back().count++;
        else
            runs.push_back({channel, 1});
    };
    // The ring's float rows hold the current and gp channels, then the voltage channels.
    for (int32_t i = 0; i < activeChannels.size(); i++)
        if (activeChannels[i]) add(i);
    for (int32_t v = 0; v < voltageChannelsNum; v++)
        add(currentChannelsNum + gpChannelsNum + v);
    frameWidth = valuesPerSampleWritten;

    initRecordFile();
    // A stop still takes in what had arrived before it, and no more: a producer faster than
    // the disk would otherwise keep the recording going.
    std::optional<uint64_t> stopRow;
    for (size_t next = 0;; next = (next + 1) % blockCount) {
        if (!stopRow && stopRequested()) stopRow = producer->rowsProduced();
        if (stopRow && hook->row >= *stopRow) break;
        if (!(frameWidth == totalChannelsNum ? writeRows() : writeGathered(blocks.data() + next * blockSize)))
            break;
    }
    takeLateLosses();
    closeRecordFile();
}

bool DatDataWriterConsumer::writeRows() {
    // At most the frames the present file has room for: what is written is in its file.
    const int64_t room = (fileLimit - valuesConsumed) / totalChannelsNum;
    const FloatRows rows = peekFloats(*hook, filteredDataChosen(), minRows,
                                      uint32_t(std::min<int64_t>(int64_t(blockSize) / frameWidth, room)));
    const qint64 start = file->pos();
    const qint64 bytes = qint64(rows.count) * frameWidth * qint64(sizeof(float));
    if (writeWhole(*file, reinterpret_cast<const char*>(rows.rows), bytes) < bytes) {
        warnWriteFailure(file->fileName(), file->error(), file->errorString());
        file->resize(start); // whole frames only
        return false;
    }
    if (!takePeeked(*hook, rows.count)) {
        // The producer lapped the rows while they were being written: they go, and the next
        // read counts them lost.
        file->resize(start);
        return true;
    }
    return storeBlock(int64_t(rows.count) * totalChannelsNum, [](int64_t, int64_t) { return true; });
}

bool DatDataWriterConsumer::writeGathered(float* block) {
    if (!settle(blockCount - 1)) return false;
    const FloatRows rows =
        peekFloats(*hook, filteredDataChosen(), minRows, uint32_t(blockSize / size_t(frameWidth)));
    float* out = block;
    const float* row = rows.rows;
    for (uint32_t r = 0; r < rows.count; r++, row += totalChannelsNum)
        for (const Run& run : runs) {
            // A loop, not a call per run: runs are short.
            const float* from = row + run.from;
            for (int32_t k = 0; k < run.count; k++)
                out[k] = from[k];
            out += run.count;
        }
    // Rows the producer lapped while they were copied go, and the next read counts them lost.
    if (!takePeeked(*hook, rows.count)) return true;
    return storeBlock(int64_t(rows.count) * totalChannelsNum, [&](int64_t first, int64_t count) {
        writeFrames(block + first / totalChannelsNum * frameWidth, count / totalChannelsNum);
        // A file's last block is waited for: its failure must end the recording before a
        // further chunk opens.
        return valuesConsumed + count < fileLimit || settle(0);
    });
}

void DatDataWriterConsumer::writeFrames(const float* frames, int64_t count) {
    if (count > 0)
        blockWriter.start(*file, reinterpret_cast<const char*>(frames),
                          count * frameWidth * qint64(sizeof(float)));
}

bool DatDataWriterConsumer::settle(size_t queued) {
    if (blockWriter.wait(queued)) return true;
    warnWriteFailure(file->fileName(), file->error(), file->errorString());
    // A reader takes the file as frames from its start: a part of one goes. Blocks hold whole
    // frames.
    file->resize(blockWriter.bytesWritten() - fileStart);
    return false;
}
