#pragma once
// Records in the raw ".dat" format: a flat sequence of frames, one per sample, each holding as
// little-endian 32-bit floats the active current channels, the active gp channels and then
// every voltage channel. What a reader needs besides (rate, range, channel selection) stands
// in the ".kdh" header beside it. DAT recordings keep no tags.

#include "recording/datawriterconsumer.h"

#include <QFile>

#include <array>
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
    // Converts `count` input values, whole samples, and writes them; false when the file
    // does not take them.
    bool writeFrames(const double* values, int64_t count);

    static constexpr size_t outputSize = 4096; // floats per write

    std::vector<double> readBuffer;
    std::array<float, outputSize> outputBuffer{};
    // Per written value, its place within an input sample.
    std::vector<int32_t> frameLayout;
    std::unique_ptr<QFile> file;
    int64_t framesInFile = 0;
};
