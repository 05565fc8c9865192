#include "recording/datdatawriterconsumer.h"

#include "app/pipeline/samplering.h"

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
        if (!settle(blockCount - 1)) break;
        float* const block = blocks.data() + next * blockSize;
        const uint32_t rows = takeFrames(block);
        const bool going = storeBlock(int64_t(rows) * totalChannelsNum, [&](int64_t first, int64_t count) {
            writeFrames(block + first / totalChannelsNum * frameWidth, count / totalChannelsNum);
            // A file's last block is waited for: its failure must end the recording before
            // a further chunk opens.
            return valuesConsumed + count < fileLimit || settle(0);
        });
        if (!going) break;
    }
    closeRecordFile();
}

uint32_t DatDataWriterConsumer::takeFrames(float* block) {
    const uint32_t blockFrames = uint32_t(blockSize / size_t(frameWidth));
    float* out = block;
    // Straight from the ring's floats into the block, under the ring's lock: no copy first.
    return takeFloats(*hook, filteredDataChosen(), minRows, blockFrames,
                      [&](const float* rows, uint32_t count) {
                          // Every channel recorded: the rows are the frames.
                          if (frameWidth == totalChannelsNum) {
                              out = std::copy_n(rows, size_t(count) * size_t(frameWidth), out);
                              return;
                          }
                          for (uint32_t r = 0; r < count; r++, rows += totalChannelsNum)
                              for (const Run& run : runs) {
                                  // A loop, not a call per run: runs are short.
                                  const float* from = rows + run.from;
                                  for (int32_t k = 0; k < run.count; k++)
                                      out[k] = from[k];
                                  out += run.count;
                              }
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
