#include "session/recordingservice.h"

#include "recording/abfdatawriterconsumer.h"
#include "recording/datdatawriterconsumer.h"
#include "recording/labbookfiles.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"

#include <algorithm>

RecordingService::RecordingService(DeviceSession& session)
    : QObject(&session), currentChannels(int(session.features().channels.current)),
      gpChannels(int(session.features().channels.gp)) {
    DeviceDataProducer* producer = session.producer();
    writers = {new DatDataWriterConsumer(producer), new AbfDataWriterConsumer(producer)};
    session.add(writers[0], DeviceDataConsumer::datFilterKey);
    session.add(writers[1], DeviceDataConsumer::abfFilterKey);
    // From the writer's thread, or from this one for a recording's first file. The writer
    // (living in this thread) is the context: what it said and this thread has not taken yet
    // goes with it when the session deletes it, before the lab book goes.
    for (DataWriterConsumer* writer : writers) {
        connect(writer, &DataWriterConsumer::recording, writer,
                [this, writer](bool on) { onRecording(writer, on); });
        connect(writer, &DataWriterConsumer::newRecordFile, writer,
                [this](const QString& name) { emit newRecordFile(name); });
        connect(writer, &DataWriterConsumer::failed, writer,
                [this](const QString& text) { emit failed(text); });
        // DAT files hold no marks, and ABF tags are seen only in the file: every loss gets a
        // line with its file and frame.
        connect(writer, &DataWriterConsumer::lossInFile, writer,
                [this](quint64 samples, double rate, const QString& file, quint64 frame) {
                    if (labbook) labbook->note(new LabbookEventSamplesLost(samples, rate, file, frame));
                });
    }
}

void RecordingService::setPlan(RecordingPlan* recordingPlan) {
    plan = recordingPlan;
    for (DataWriterConsumer* writer : writers)
        writer->setRecordingPlan(plan);
}

bool RecordingService::start() {
    // Each writer finishes its recording; only the one of the plan's format starts another.
    bool started = false;
    for (DataWriterConsumer* writer : writers) {
        writer->onStartConsuming();
        started = started || writer->isRunning();
    }
    return started;
}

bool RecordingService::isRecording() const {
    return std::any_of(writers.begin(), writers.end(),
                       [](const DataWriterConsumer* writer) { return writer->isRunning(); });
}

void RecordingService::stop() {
    for (DataWriterConsumer* writer : writers)
        writer->onStopConsuming();
}

void RecordingService::switchChannel(int channelIdx, bool on) {
    for (int c = 0; c < currentChannels; c++)
        if (channelIdx == currentChannels + gpChannels || c == channelIdx)
            for (DataWriterConsumer* writer : writers)
                writer->setChannelActive(c, on);
}

void RecordingService::markTagTime() {
    if (lastWriter) lastWriter->onMarkTagTime();
}

void RecordingService::saveTagString(QString text) {
    if (lastWriter) lastWriter->onSaveTagString(text);
}

void RecordingService::onRecording(DataWriterConsumer* writer, bool on) {
    lastWriter = writer;
    emit recording(on);
    if (!labbook || !plan) return;
    // The recording's own lab book goes in its folder, named after the recording.
    if (on)
        labbook->startRecording(plan->folder() + plan->recordName());
    else
        labbook->stopRecording();
}
