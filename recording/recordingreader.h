#pragma once
// A recording read back in place: its files are mapped, never loaded whole, so that an hour
// of many channels opens at once. Two kinds are read:
// - DAT: the ".kdh" header and its ".dat" chunk files beside it ("NAME.kdh", "NAME_000.dat",
//   "NAME_001.dat"...), losses from the recording's lab book ("NAME_lab_book.txt");
// - ABF version 2, int16 or float32, gap-free or episodic. One of this program's files per
//   channel ("NAME_CH001_000.abf": a channel and the voltage) opens with the recording's other
//   channel files and chunks as one recording: each channel once, the voltage once;
// - ABF version 1 of other programs, int16, gap-free or episodic (its tags are not read).
// Opening any file of a recording, or its header, opens the whole of it. Frames run across chunk files and
// sweeps as one sequence; tags and sweep starts are times counted in frames from the start (the same as the
// sequence's frames while no sweeps have gaps between them).

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class RecordingReader {
  public:
    enum class Kind { Voltage, Current, Other };
    struct Channel {
        QString name;
        QString unit;
        double rate = 0.0; // Hz, as sampled
        Kind kind = Kind::Other;
        // Where the file tells how its values came from signed 16-bit codes: value = code x
        // step + zero; step 0 where it does not.
        double step = 0.0;
        double zero = 0.0;
    };
    struct Sweep {
        int64_t start = 0;  // frame of time at which it starts
        int64_t frames = 0; // held in the files
    };
    struct Tag {
        int64_t frame = 0;
        QString text;
    };
    struct Loss {
        int64_t frame = 0; // the frame after the gap
        int64_t frames = 0;
    };

    // The recording that `path` belongs to, or null with `error` saying what is wrong and where.
    static std::unique_ptr<RecordingReader> open(const QString& path, QString& error);

    // Values of every channel in their units, frame by frame; false (and nothing written) when
    // the frames asked for are not all there.
    bool read(int64_t firstFrame, int64_t count, float* out) const;

    QString format; // "DAT" or "ABF"
    std::vector<Channel> channels;
    int64_t frames = 0; // per channel
    std::vector<Sweep> sweeps;
    std::vector<Tag> tags;
    std::vector<Loss> losses;
    QDateTime start; // invalid when unknown
    QStringList files;
    // What was read around: trailing bytes of a part frame, channel files of unequal length.
    QStringList notes;

  private:
    // Where channel values lie in a mapped file: value = raw * scale + offset.
    struct Source {
        const uchar* data = nullptr;
        int stride = 0; // bytes per frame
        bool isFloat = false;
        double scale = 1.0;
        double offset = 0.0;
    };
    // A stretch of frames held by one set of files, a source per channel.
    struct Piece {
        int64_t first = 0;
        int64_t frames = 0;
        std::vector<Source> sources;
    };

    static Kind kindOf(const QString& unit);
    bool openDat(const QString& path, QString& error);
    bool openAbf(const QString& path, QString& error);
    // Maps a whole file; null with `error` set when it cannot be read.
    const uchar* map(const QString& path, qint64& size, QString& error);

    std::vector<std::unique_ptr<QFile>> mapped;
    std::vector<Piece> pieces;
};
