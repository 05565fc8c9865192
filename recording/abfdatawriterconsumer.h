#pragma once
// Records in the Axon Binary Format: one file per active current or gp channel, each holding
// per sample two 16-bit words, the channel's own and the voltage, scaled by the ranges of the
// file's start. Sweeps cut the files into fixed-length episodes, and tags are kept with their
// texts at the frame that was being acquired when they were marked, in the file that holds it.
// Samples lost before a frame, by the library or by a writer that fell behind, are tagged at
// that frame ("Lost 1200 samples per channel (12 ms)").

#include "recording/abffile.h"
#include "recording/datawriterconsumer.h"

#include <memory>
#include <vector>

class AbfDataWriterConsumer : public DataWriterConsumer {
    Q_OBJECT

  public:
    explicit AbfDataWriterConsumer(DeviceDataProducer* producer);
    ~AbfDataWriterConsumer() override;

  public slots:
    // A tag still waiting for its text is saved as "Empty tag <n>" first.
    void onMarkTagTime() override;
    // Gives the marked tag its text, unless the text is "__INVALIDTAG__".
    void onSaveTagString(QString tagString) override;

  protected:
    void run() override;
    bool openRecordFile() override;
    void initRecordFile() override;
    void closeRecordFile() override;
    // As tags at the frames after the gaps.
    void markLosses(const std::vector<SampleRing::Gap>& gaps) override;

  private:
    // Converts `count` raw words, whole samples, into every file; false when one does not
    // take them.
    bool writeSamples(const uint16_t* words, int64_t count);
    // With the mutex held.
    void saveTag(const QString& text);

    // Samples per write into each file (64 KiB): 8 KiB writes cost the writer a third more CPU.
    static constexpr size_t passSamples = 16384;

    std::vector<uint16_t> readBuffer;
    std::vector<qint16_le> outputBuffer; // one pass of one file
    // One per current and gp channel, current channels first; null for a channel not recorded.
    std::vector<std::unique_ptr<AbfFile>> files;

    // Saved tags not yet in a file, at the producer's numbers of their rows; guarded by the
    // base's mutex, as tags come from the GUI thread.
    struct MarkedTag {
        uint64_t row;
        QString text;
    };
    std::vector<MarkedTag> tags;
};
