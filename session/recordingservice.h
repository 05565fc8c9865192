#pragma once
// Recording on a device session, the same for the window and for kav4-cli: the DAT and the ABF
// writer, which record what the plan describes (the record settings dialog's in the window),
// the channels switched in and out of the next recording, starting and stopping, the
// recording's own lab book beside its data, and a line in the lab book for every loss a writer
// found in its files.
//
// The writers are filed with the session, which hands them the rate and range changes and the
// filtered-data choice and deletes them when it stops; the service is the session's child and
// goes with it. Everything here runs in the GUI thread; what the writers tell from their own
// threads arrives queued.

#include <QObject>
#include <QString>

#include <array>

class DataWriterConsumer;
class DeviceSession;
class LabbookKeeper;
class RecordingPlan;

class RecordingService : public QObject {
    Q_OBJECT

  public:
    explicit RecordingService(DeviceSession& session);

    // What the next recording is and where it goes; unset, nothing records.
    void setPlan(RecordingPlan* recordingPlan);
    // Where the recording's lab book and its loss notes go; unset, nowhere.
    void setLabbook(LabbookKeeper* keeper) { labbook = keeper; }
    // Whether a writer runs: true as soon as start() returned, before recording() arrives.
    bool isRecording() const;

  signals:
    void recording(bool on);
    // A file was opened: its name relative to the recording path, without extension.
    void newRecordFile(QString name);
    // A writer could not open or write a file: what happened and what was kept.
    void failed(QString text);

  public slots:
    // Finishes a running recording, then starts the one the plan describes; false when none
    // started (the writer warned why, or the plan is unset).
    bool start();
    // The writer takes in what had arrived and closes its files.
    void stop();
    // A current channel in or out of the next recording; the index of the channel count
    // (current and gp channels together) means every current channel. Gp channels have no
    // switch: they are always recorded.
    void switchChannel(int channelIdx, bool on);
    // A tag at the frame being acquired, then its text, for the writer that recorded last.
    void markTagTime();
    void saveTagString(QString text);

  private:
    void onRecording(DataWriterConsumer* writer, bool on);

    // In the plan's format order: DAT, then ABF. Deleted by the session.
    std::array<DataWriterConsumer*, 2> writers{};
    DataWriterConsumer* lastWriter = nullptr;
    RecordingPlan* plan = nullptr;
    LabbookKeeper* labbook = nullptr;
    int currentChannels = 0;
    int gpChannels = 0;
};
