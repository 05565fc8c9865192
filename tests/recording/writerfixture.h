#pragma once
// A file writer on a real producer fed with scripted rows, beside a virtual amplifier that
// gives the header its model (settings cleared around each test), with a plan naming the
// recording "cell" in an empty folder of the test's own. The writer's signals are collected here.
// The losses the writer announces for the lab book are collected as
// "<samples> before frame <frame> of <file> at <rate> Hz".

#include "acquisition/datahook.h"
#include "acquisition/devicedataproducer.h"
#include "recording/datawriterconsumer.h"
#include "recording/recordingplan.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/support/connectedamplifier.h"

#include <QDeadlineTimer>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <ostream>
#include <vector>

// Readable failures for texts, file names and lists of them.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace kv4test {

template <typename Writer> class WriterFixture : public ConnectedAmplifier {
  protected:
    void TearDown() override {
        dropWriter();
        probe.reset();
        producer.reset();
        source.reset();
        ConnectedAmplifier::TearDown();
        QSettings().clear();
    }

    // model as the simulator names it, e.g. "cedar" for "VCEDAR01".
    void connectTo(const char* model) {
        QSettings().clear();
        connect(model);
    }

    // Rows of one voltage and these current and gp channels, recorded with no limit.
    void prepare(uint32_t currentChannels, uint32_t gpChannels) {
        source = std::make_unique<ScriptedSource>(1, currentChannels, gpChannels);
        producer = std::make_unique<DeviceDataProducer>(*source);
        probe = producer->getDataHook();
        plan.path = path;
        plan.name = "cell";
        limit(0);
    }

    // Samples in all, per chunk and per sweep; 0 for none.
    void limit(double samples, double chunk = 0, double sweep = 0) {
        RecordSettings& s = plan.settings;
        s.unlimitedRecording = samples == 0;
        s.recordLength = samples > 0 ? samples : -1;
        s.chunksEnabled = chunk > 0;
        s.chunkLength = chunk > 0 ? chunk : -1;
        s.sweepsEnabled = sweep > 0;
        s.sweepLength = sweep > 0 ? sweep : -1;
    }

    // The writer to record with, at `rate` Hz when given.
    void use(std::unique_ptr<Writer> newWriter, double rate = 0) {
        dropWriter();
        writer = std::move(newWriter);
        writer->setRecordingPlan(&plan);
        const kv4cl::Measurement_t hz{rate, kv4cl::UnitPfxNone, "Hz"};
        if (rate > 0) writer->onSamplingRateChanged(hz, hz);
        // Both signals may come from the writer's thread: they are collected in this one.
        QObject::connect(writer.get(), &DataWriterConsumer::recording, &receiver,
                         [this](bool on) { states.push_back(on); });
        QObject::connect(writer.get(), &DataWriterConsumer::newRecordFile, &receiver,
                         [this](const QString& name) { files.push_back(name); });
        QObject::connect(writer.get(), &DataWriterConsumer::failed, &receiver,
                         [this](const QString& text) { warnings.push_back(text); });
        QObject::connect(writer.get(), &DataWriterConsumer::lossInFile, &receiver,
                         [this](quint64 samples, double rate, const QString& file, quint64 frame) {
                             announced.push_back(QString("%1 before frame %2 of %3 at %4 Hz")
                                                     .arg(QString::number(samples), QString::number(frame),
                                                          file, QString::number(rate)));
                         });
    }

    // Rows first.. reach the ring in one poll, so that the writer takes them in one read, with
    // the gaps the library reports after it; returns once the producer has stored them. Their
    // words are word(row, column), by default the source's numbered rows.
    void feed(uint32_t first, uint32_t count, std::vector<kv4cl::FramesLost_t> losses = {}) const {
        ScriptedSource::Poll poll = source->rows(uint16_t(first), count);
        poll.losses = std::move(losses);
        for (uint32_t k = 0; word && k < count; k++)
            for (uint32_t c = 0; c < source->width(); c++)
                poll.filtered[k * source->width() + c] = poll.unfiltered[k * source->width() + c] =
                    word(first + k, c);
        source->add(poll);
        std::vector<uint16_t> stored;
        readRawData(*probe, stored, true, count - 1);
    }
    static kv4cl::FramesLost_t gap(uint64_t frames, uint64_t framesAfter) {
        kv4cl::FramesLost_t loss;
        loss.frames = frames;
        loss.framesAfter = framesAfter;
        return loss;
    }

    // Stopped before it is destroyed: the test's writers derive from the real ones, whose own
    // destructors would stop the thread only once the derived part is gone.
    void dropWriter() {
        if (writer) writer->onStopConsuming();
        writer.reset();
    }

    // Waits for the writer's thread to end by itself, and for its signals to arrive here.
    void waitUntilFinished(size_t count) {
        ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == count; }, 5000));
    }

    // A recording path of the test's own, with its trailing slash.
    QTemporaryDir folder;
    const QString path = folder.path() + "/";
    std::unique_ptr<ScriptedSource> source;
    std::unique_ptr<DeviceDataProducer> producer;
    std::unique_ptr<DataHook> probe;
    RecordingPlan plan;
    std::unique_ptr<Writer> writer;
    QObject receiver;
    std::vector<bool> states;
    std::vector<QString> files;
    std::vector<QString> warnings;
    std::vector<QString> announced;
    std::function<uint16_t(uint32_t row, uint32_t column)> word;
};

} // namespace kv4test
