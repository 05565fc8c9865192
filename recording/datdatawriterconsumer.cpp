#include "recording/datdatawriterconsumer.h"

#include "app/pipeline/samplering.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

// Frames are stored as they lie in memory.
static_assert(std::endian::native == std::endian::little);

DatDataWriterConsumer::DatDataWriterConsumer(DeviceDataProducer* producer)
    : DataWriterConsumer(producer, 0, ".dat", ""), blocks(2 * blockSize) {}

DatDataWriterConsumer::~DatDataWriterConsumer() {
    stopConsuming();
}

bool DatDataWriterConsumer::openRecordFile() {
    QString path;
    if (!beginRecordFile(path)) return false;
    file = newDataFile();
    file->setFileName(path);
    framesInFile = 0;
    // Blocks of whole frames; unbuffered, a failure shows at the block that failed, while
    // the frames before it are known.
    return file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

void DatDataWriterConsumer::closeRecordFile() {
    if (!file) return;
    finishWrite();
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
    for (int32_t i = 0; i < activeChannels.size(); i++)
        if (activeChannels[i]) add(voltageChannelsNum + i);
    for (int32_t v = 0; v < voltageChannelsNum; v++)
        add(v);
    frameWidth = valuesPerSampleWritten;

    initRecordFile();
    // A stop still takes in what had arrived before it, and no more: a producer faster than
    // the disk would otherwise keep the recording going.
    std::optional<uint64_t> stopRow;
    for (bool going = true, second = false; going; second = !second) {
        if (!stopRow && stopRequested()) stopRow = producer->rowsProduced();
        if (stopRow && hook->row >= *stopRow) break;
        float* const block = blocks.data() + (second ? blockSize : 0);
        const uint32_t rows = takeFrames(block);
        going = storeBlock(int64_t(rows) * totalChannelsNum, [&](int64_t first, int64_t count) {
            // A file's last block is waited for: its failure must end the recording before
            // a further chunk opens.
            const bool fillsFile = valuesConsumed + count == fileLimit;
            return writeFrames(block + first / totalChannelsNum * frameWidth, count / totalChannelsNum) &&
                   (!fillsFile || finishWrite());
        });
    }
    closeRecordFile();
}

uint32_t DatDataWriterConsumer::takeFrames(float* block) {
    const uint32_t blockFrames = uint32_t(blockSize / size_t(frameWidth));
    float* out = block;
    // In place, under the ring's lock: converting costs no more than the copy it saves.
    return takeValues(*hook, filteredDataChosen(), minRows, blockFrames,
                      [&](const double* rows, uint32_t count) {
                          for (uint32_t r = 0; r < count; r++, rows += totalChannelsNum)
                              for (const Run& run : runs)
                                  out = std::transform(rows + run.from, rows + run.from + run.count, out,
                                                       [](double value) { return float(value); });
                      });
}

bool DatDataWriterConsumer::writeFrames(const float* frames, int64_t count) {
    if (!finishWrite()) return false;
    if (count == 0) return true;
    framesInFlight = count;
    blockWriter.start(*file, reinterpret_cast<const char*>(frames),
                      count * frameWidth * qint64(sizeof(float)));
    return true;
}

bool DatDataWriterConsumer::finishWrite() {
    const int64_t frames = std::exchange(framesInFlight, 0);
    if (blockWriter.finish()) {
        framesInFile += frames;
        return true;
    }
    warnWriteFailure(file->fileName(), file->error(), file->errorString());
    // A reader takes the file as frames from its start: a part of one goes.
    file->resize(framesInFile * frameWidth * qint64(sizeof(float)));
    return false;
}
