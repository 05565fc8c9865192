#pragma once
// Records in the raw ".dat" format: a flat sequence of frames, one per sample, each holding as
// little-endian 32-bit floats the active current channels, the active gp channels and then
// every voltage channel. What a reader needs besides (rate, range, channel selection) stands
// in the ".kdh" header beside it. DAT recordings keep no tags; samples lost before a frame are
// noted in the lab book with the frame's index in its file.

#include "recording/blockwriter.h"
#include "recording/datawriterconsumer.h"

#include <QFile>

#include <memory>
#include <vector>

class DatDataWriterConsumer : public DataWriterConsumer {
    Q_OBJECT

  public:
    explicit DatDataWriterConsumer(DeviceDataProducer* producer);
    ~DatDataWriterConsumer() override;

  public slots:
    void onMarkTagTime() override {}
    void onSaveTagString(QString) override {}

  protected:
    void run() override;
    bool openRecordFile() override;
    void closeRecordFile() override;

  private:
    // A run of channels that lie side by side both in the ring's float rows and in the file's
    // frames.
    struct Run {
        int32_t from; // within a ring row
        int32_t count;
    };

    // Every channel recorded: the ring's float rows are the file's frames, written from where
    // they lie, at most a block's worth. False once the recording has to end.
    bool writeRows();
    // Some channels off: the waiting rows' active channels gathered into `block` as frames,
    // at most a block's worth, queued for the block writer. False once the recording has to end.
    bool writeGathered(float* block);
    // Queues `count` whole frames from `frames` for the file.
    void writeFrames(const float* frames, int64_t count);
    // Waits until at most `queued` blocks are left to write; when one failed, warns, cuts the
    // file back to the frames written whole and returns false.
    bool settle(size_t queued);

    static constexpr size_t blockSize = size_t{1} << 18; // floats: 1 MiB per write
    static constexpr size_t blockCount = 4;

    // Converted in turn, each once the last block written from it is in the file.
    std::vector<float> blocks;
    std::vector<Run> runs;
    int32_t frameWidth = 0; // floats
    std::unique_ptr<QFile> file;
    qint64 fileStart = 0; // the block writer's bytes written when the file opened
    BlockWriter blockWriter;
};
