#pragma once
// A writer of ABF version 2 files as a recording needs them: two 16-bit channels sampled
// together (a measured signal and the voltage), gap-free or in fixed-length sweeps, with
// comment tags. The header comes first and is brought up to date as the samples are
// streamed behind it, so that a file cut short (a full disk, a crash) opens with what it
// holds; at the end it gets its final counts, the sweeps and the tags.
//
// Every string goes in as ASCII ("µ" as "u"): some readers fail on anything else.

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QUuid>
#include <QtEndian>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class AbfFile {
  public:
    struct Channel {
        QString name;
        QString unit;        // may be empty
        double lsb;          // value of one count, in the unit
        double offset = 0.0; // value of the stored count 0, in the unit
    };
    struct Setup {
        QDateTime start;
        QString creator;
        uint32_t creatorVersion; // major, minor, bugfix from the most significant byte down
        double samplingRate;     // Hz, per channel
        int64_t sweepSamples;    // per channel; 0 for gap-free
        Channel signal;
        Channel voltage;
    };
    struct Tag {
        int64_t sample; // per channel, from the file's start
        QString text;   // in as many tags of 56 characters as it needs
    };

    // Readers take the count of 16-bit values as a signed 32-bit number.
    static constexpr int64_t maxSamples = (int64_t{1} << 30) - 1; // per channel

    // `device` is the file to write, not yet named.
    explicit AbfFile(std::unique_ptr<QFile> device) : file(std::move(device)) {}

    // Creates the file, empty.
    bool open(const QString& path);
    // Starts the file's content with its header, counting no frames yet; called once,
    // before the samples.
    void begin(const Setup& fileSetup);
    // Appends `frames` frames of two little-endian words, signal first; false when the file
    // does not take them, with the file still ending after the last whole frame.
    bool write(const qint16_le* words, int64_t frames);
    // Brings the header up to date with the frames written, as gap-free data (the sweeps
    // are told at closing): a file cut short from now on opens with them.
    bool update();
    // Drops the frames after the first `count`.
    void truncate(int64_t count);
    int64_t frameCount() const { return frames; }
    // Writes the sweeps, the tags and the header, and closes; false if any write failed. A
    // short last sweep is filled up with its last sample and tagged. A file that failed
    // before its first frame is removed.
    bool close(std::vector<Tag> tags);
    // Closes and removes a file that holds nothing yet.
    void discard();
    // The first failure.
    QString errorString() const { return error; }
    QFileDevice::FileError errorCode() const { return errorKind; }
    QString path() const { return file->fileName(); }

  private:
    struct Section {
        uint32_t block = 0;
        uint32_t bytes = 0;
        int64_t count = 0;
    };

    // Sweeps only when the synch array is there to tell them.
    QByteArray headerBlocks(bool episodic) const;
    qint64 dataEnd() const;
    // Writes all of `bytes`, a short write retried so that a failure comes with its cause.
    bool writeAll(const QByteArray& bytes);
    void fail();

    std::unique_ptr<QFile> file;
    Setup setup;
    QUuid id;
    QByteArray strings;
    // String indices, 1-based; 0 for none.
    int32_t creatorIndex = 0, protocolIndex = 0, signalName = 0, signalUnit = 0, voltageName = 0,
            voltageUnit = 0;
    std::array<Section, 18> map{};
    uint32_t dataBlock = 0;
    int64_t frames = 0;
    QByteArray lastFrame{4, '\0'}; // the last frame written, two 16-bit words
    QString error;
    QFileDevice::FileError errorKind = QFileDevice::NoError;
};
