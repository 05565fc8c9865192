#pragma once
// The base of the file writers: a consumer that, while the user records, stores every
// acquired sample on disk. It owns what the formats share: the start with its format check
// and file opening, the limits (total length, chunks, sweeps) counted in input values, the
// KDH text header written beside the data, the channel selection and the tag timing.
//
// The recording service starts and stops every writer alike; only the writer whose format the
// plan selects records. A recording ends when stopped, when its last file is full, or when a
// further chunk cannot be opened; recording(false) tells which ever it was.

#include "acquisition/devicedataconsumer.h"
#include "recording/recordsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class RecordingPlan;

// The digital filter that recorded data went through.
struct DigitalFilter {
    kv4cl::Measurement_t cutoff;
    bool lowPass;
};

// The model's KDH template with its placeholders filled. activeChannels holds one byte per
// current and gp channel, current channels first. Without an oversampling ratio (a model
// without oversampling) the oversampling placeholders stay as they are. A filter is named on
// a line after the bandwidth's, which tells only the analog side. The rate's label is followed
// by a line with the exact rate in Hz. The last lines name the columns of the data files in
// their order, each with its unit ("Ch1 [pA]"), and the codes each column's values came from
// ("step zero": value = signed code x step + zero), so that a reader needs to know nothing of
// the model and can replay the codes.
QString kdhHeader(QString text, const kv4cl::RangedMeasurement_t& currentRange,
                  const kv4cl::Measurement_t& samplingRate, const QDateTime& time,
                  const QByteArray& activeChannels, std::optional<uint16_t> oversamplingRatio,
                  const std::optional<DigitalFilter>& filter, const QStringList& columns,
                  const QStringList& scales);

class DataWriterConsumer : public DeviceDataConsumer {
    Q_OBJECT

  public:
    // writerFormat is the dialog's format code this writer records; suffix goes between the
    // file's name and its counter.
    DataWriterConsumer(DeviceDataProducer* producer, int writerFormat, const QString& dataExtension,
                       const QString& suffix);

    // What to record and where: the dialog's plan in the program, a plan of its own without
    // windows.
    void setRecordingPlan(RecordingPlan* recordingPlan) { plan = recordingPlan; }
    // channelIdx counts the current channels, then the gp channels; the choice applies from
    // the next start.
    void setChannelActive(int channelIdx, bool active);

  signals:
    // A file was opened: its name relative to the recording path, without extension.
    void newRecordFile(QString name);
    void recording(bool on);
    // `samples` samples per channel (at `samplingRate` Hz) are missing before the frame of
    // index `frame` in the recording's file `file` (a name without folder): for formats that
    // cannot mark it in the file. From the writer's thread; values only, so that nothing is
    // lost in a queue that is never delivered.
    void lossInFile(quint64 samples, double samplingRate, QString file, quint64 frame);
    // A file could not be opened or written: what happened and what was kept, for the user.
    // From the writer's thread.
    void failed(QString text);

  public slots:
    // Finishes a running recording, then starts one if this writer's format is selected.
    void onStartConsuming() override;
    void onStopConsuming() override;
    // Stamps a tag with the frame being acquired.
    virtual void onMarkTagTime();
    virtual void onSaveTagString(QString tagString);

  protected:
    // Opens the next file of the recording (the first while continuation is false) with its
    // header and emits newRecordFile; false when it cannot be written.
    virtual bool openRecordFile() = 0;
    // Starts the count of a file; in the writer's thread, after each opening.
    virtual void initRecordFile();
    virtual void closeRecordFile() = 0;

    // For openRecordFile(): names the next file, writes the header beside it (creating the
    // recording's folder) and announces the file; false when the header cannot be written.
    bool beginRecordFile(QString& path);
    // For run(), after each read: hands a block of `count` input values to `write` a part at
    // a time, each ending at the present file's limit, and moves on to the next chunk when a
    // file is full. False once the recording has to end: the last file is full, a chunk
    // cannot be opened or `write` failed. The gaps the read found go to markLosses() first.
    bool storeBlock(int64_t count, const std::function<bool(int64_t first, int64_t count)>& write);
    // Marks in the recording the gaps that a read found before its rows are stored, each at
    // the producer's row after it. By default, for a format that holds no marks, each is
    // announced with lossInFile once the frame after it is in a file.
    virtual void markLosses(const std::vector<SampleRing::Gap>& gaps);
    // For run(), before the last file closes: the library sizes a break only once it has seen
    // more of the stream, so a loss in what was recorded may still be on its way when the
    // recording stops. Waits for it, then marks it as the reads do.
    void takeLateLosses();
    // In the writer's thread: the index of the recording's frame that holds the producer's
    // row `row`; a row before the recording, or one a lap skipped, gives the frame after it.
    uint64_t frameOfRow(uint64_t row) const;
    void warn(const QString& text) { emit failed(text); }
    // Warns that a data file took no more data, saying why and where.
    void warnWriteFailure(const QString& path, QFileDevice::FileError error, const QString& errorString);
    // A data file, not yet named or open; a test puts a disk of its own behind it.
    virtual std::unique_ptr<QFile> newDataFile() const { return std::make_unique<QFile>(); }

    const int writerFormat;
    const QString dataExtension;
    const QString suffix;
    RecordingPlan* plan = nullptr;
    bool continuation = false; // the file opened next is a further chunk
    // Samples one file of the format can hold (-1: no limit); a longer recording goes on in
    // chunk files.
    int64_t maxFileSamples = -1;

    // Of the running recording, copied at its start.
    QByteArray activeChannels;
    int32_t valuesPerSampleWritten = 0;
    RecordSettings recordSettings;

    // Limits and the present file's count, in input values (samples x all channels); only
    // the writer's thread touches them while it runs.
    int64_t totalLimit = -1; // -1: none
    int64_t chunkLimit = -1; // -1: no chunks
    int64_t sweepValues = -1;
    int64_t remainingValues = -1; // of the total limit, for the files not opened yet
    int64_t valuesConsumed = 0;
    int64_t fileLimit = 0;
    bool moreChunks = false;
    bool switching = false; // from a full chunk to the next
    // The recording's frames before the present file's first.
    uint64_t fileFirstFrame = 0;

    // Guarded by the base's mutex.
    QDateTime fileStartTime;
    // Tags come from the GUI thread, stamped with the frame being acquired when marked: the
    // writer may be seconds behind, even in an earlier chunk.
    uint64_t tagRow = 0;
    bool tagPending = false;
    int32_t tagCounter = 1;

  private:
    bool writeHeader();
    // The recorded channels in the data file's order, with their units, and the scales of the
    // codes their values came from ("step zero").
    void fileColumns(QStringList& columns, QStringList& scales);

    // Of the running recording, in the writer's thread: the producer's row of its first
    // frame, and the laps, each with the row it went on at and the rows it skipped.
    uint64_t recordingFirstRow = 0;
    std::vector<std::pair<uint64_t, uint64_t>> laps;
    // Losses not announced yet, each with the recording's frame after it and its size, and
    // the name of the present file.
    std::vector<std::pair<uint64_t, uint64_t>> unannounced;
    QString fileName;

    // Keeps the laps among the gaps the last read found and marks them all.
    void takeGaps();
    // Announces the losses before frames in the files so far.
    void announceLosses();

    QByteArray pendingActiveChannels;
    int32_t pendingValuesPerSample;
};
