#pragma once
// The lab book's files: the main lab book, which continues across runs, and while recording
// the recording's own lab book beside its data. Entries are stamped with the time of day and
// the time since the recording started. The lab book dock shows and writes through these;
// a program without windows writes through them alone.

#include "recording/labbookevent.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

// Whatever keeps the lab book while something records: the lab book dock in the window, the
// files alone without windows.
class LabbookKeeper {
  public:
    virtual ~LabbookKeeper() = default;
    // Takes the entry over, stamps it and writes it.
    virtual void note(LabbookEvent* event) = 0;
    // recordingFileName: the recording's folder and its name (cell/cell); its lab book is
    // that + "_lab_book.txt".
    virtual void startRecording(const QString& recordingFileName) = 0;
    virtual void stopRecording() = 0;
};

class LabbookFiles : public LabbookKeeper {
  public:
    LabbookFiles() = default;
    // Notes the end of a recording still running and closes the files.
    ~LabbookFiles() override;
    LabbookFiles(const LabbookFiles&) = delete;
    LabbookFiles& operator=(const LabbookFiles&) = delete;

    // Home + "/KAV4/Labbooks/".
    static QString folder();
    // Continues the newest main lab book of the folder, its lines so far in `previousLines`,
    // or starts one for today; false when it cannot be opened.
    bool openNewest(QStringList& previousLines);
    // Starts a new main lab book under the next free name of the day; false as above.
    bool openNew();
    // The main file's name, without folder and ".txt".
    QString mainFileName() const { return mainName; }

    // Sets the entry's times to now.
    void stamp(LabbookEvent& event) const;
    // Writes the entry's line to the main lab book and, while recording, to the recording's.
    void write(const LabbookEvent& event);
    void note(LabbookEvent* event) override;
    void startRecording(const QString& recordingFileName) override;
    void stopRecording() override;
    bool recording() const { return recordingOn; }

  private:
    // A lab book file whose write failures are reported once, not per line.
    class Output {
      public:
        bool open(const QString& path, QIODevice::OpenMode mode);
        void close() { file.close(); }
        void write(const QString& text);

      private:
        QFile file;
        bool failureReported = false;
    };

    bool openMainFile(const QString& name, QIODevice::OpenMode mode);

    Output mainFile;
    QString mainName;
    Output recordingFile;
    bool recordingOn = false;
    QDateTime recordingStart;
};
