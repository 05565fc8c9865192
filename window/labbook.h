#pragma once
// The lab book: a time-stamped record of the working day. Entries arrive as LabbookEvent
// objects (owned from then on) and go to the view, to the main lab book, which continues
// across runs, and, while recording, to the recording's own lab book beside its data.
//
// Return on an empty note line marks the moment; the next note is written with that moment's
// time. All work runs in the GUI thread; producers elsewhere send their entries queued.

#include "recording/labbookevent.h"
#include "recording/labbookfiles.h"

#include <QDockWidget>

#include <memory>
#include <optional>

class QLineEdit;
class QPushButton;
class QTextEdit;

class Labbook : public QDockWidget, public LabbookKeeper {
    Q_OBJECT

  public:
    // Opens the newest main lab book of the folder, or a new one for today.
    explicit Labbook(QWidget* parent = nullptr);
    // Writes a pending mark and closes the files.
    ~Labbook() override;

    // Home + "/KAV4/Labbooks/".
    static QString folder() { return LabbookFiles::folder(); }
    // The main file's name, without folder and ".txt".
    QString mainFileName() const { return files.mainFileName(); }
    // Notes and marks carry the temperature while one is known.
    void setTemperature(std::optional<double> celsius) { temperature = celsius; }

    void note(LabbookEvent* event) override { onReceiveEvent(event); }
    void startRecording(const QString& recordingFileName) override;
    // A marked moment still waiting for its note is written first.
    void stopRecording() override;

  public slots:
    void onReceiveEvent(LabbookEvent* event);

  private slots:
    void onNewFileRequest();

  private:
    void onNoteEntered();
    // Shows the main file's name, or warns and hides the dock when it could not be opened.
    void showMainFile(bool opened);
    void writeEntry(const LabbookEvent& event);
    void appendToView(const QString& line);
    void showPending();

    QTextEdit* view;
    QLineEdit* noteLine;
    QPushButton* fileButton;

    LabbookFiles files;
    std::unique_ptr<LabbookEventPlaceholder> pendingPlaceholder;
    int emptyNoteCount = 0;
    std::optional<double> temperature;
};
