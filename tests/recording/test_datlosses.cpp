// Samples lost before a DAT recording's frames, on a real producer fed with scripted rows and
// gaps: a DAT file holds no marks, so the writer announces each loss with the file and the
// index of the frame after the gap, for the recording's lab book.

#include "acquisition/samplering.h"
#include "recording/datdatawriterconsumer.h"
#include "tests/recording/writerfixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

kv4cl::FramesLost_t gap(uint64_t frames, uint64_t framesAfter) {
    kv4cl::FramesLost_t loss;
    loss.frames = frames;
    loss.framesAfter = framesAfter;
    return loss;
}

// A loss as announced: its size, the file and the index of the frame after it there.
struct Announced {
    quint64 samples;
    QString file;
    quint64 frame;
    double rate = 0; // Hz; checked separately
    bool operator==(const Announced& o) const {
        return samples == o.samples && file == o.file && frame == o.frame;
    }
};

void PrintTo(const Announced& a, std::ostream* os) {
    *os << "{" << a.samples << " before frame " << a.frame << " of " << a.file.toStdString() << "}";
}

// A writer that reads only once more than `rows` rows wait: it lags behind by design.
class LaggingWriter : public DatDataWriterConsumer {
  public:
    LaggingWriter(DeviceDataProducer* producer, uint32_t rows) : DatDataWriterConsumer(producer) {
        minRows = rows;
    }
};

class DatLosses : public kv4test::WriterFixture<DatDataWriterConsumer> {
  protected:
    void SetUp() override {
        connectTo("cedar");
        if (HasFatalFailure()) return;
        prepare(4, 0);
        producer->start();
    }

    // The writer, recording at `rate` for `duration` seconds (0: no limit) in chunks of `chunk`.
    void record(std::unique_ptr<DatDataWriterConsumer> newWriter, double rate, double duration,
                double chunk) {
        use(std::move(newWriter));
        const kv4cl::Measurement_t hz{rate, kv4cl::UnitPfxNone, "Hz"};
        writer->onSamplingRateChanged(hz, hz);
        limit(duration * rate, chunk * rate);
        QObject::connect(writer.get(), &DataWriterConsumer::lossInFile, &receiver,
                         [this](quint64 samples, double announcedRate, const QString& file, quint64 frame) {
                             announced.push_back({samples, file, frame, announcedRate});
                         });
        writer->onStartConsuming();
    }

    // Rows first.. in one poll, with the gaps the library reports after it; returns once the
    // producer has stored them.
    void feed(uint32_t first, uint32_t count, std::vector<kv4cl::FramesLost_t> losses = {}) {
        kv4test::ScriptedSource::Poll poll = source->rows(uint16_t(first), count);
        poll.losses = std::move(losses);
        source->add(poll);
        std::vector<uint16_t> stored;
        readRawData(*probe, stored, true, count - 1);
    }

    std::vector<Announced> announced;
};

TEST_F(DatLosses, ALossAtTheEndOfAChunkBelongsToTheNext) {
    record(std::make_unique<DatDataWriterConsumer>(producer.get()), 100, 25, 10); // chunks of 1000 frames
    // Before rows 50 and 1000, and before the row that comes with the next poll.
    feed(0, 1200, {gap(5, 1150), gap(3, 200), gap(6, 0)});
    feed(1200, 1400, {gap(2, 900), gap(4, 500)}); // before rows 1700 and 2100
    waitUntilFinished(2);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(announced, (std::vector<Announced>{{5, "cell_000.dat", 50},
                                                 {3, "cell_001.dat", 0},
                                                 {6, "cell_001.dat", 200},
                                                 {2, "cell_001.dat", 700},
                                                 {4, "cell_002.dat", 100}}));
    for (const Announced& a : announced)
        EXPECT_EQ(a.rate, 100.0) << "the recording's rate, for the loss's duration";
}

TEST_F(DatLosses, AWriterThatFellARingBehindAnnouncesTheRowsItSkipped) {
    record(std::make_unique<LaggingWriter>(producer.get(), SampleRing::rowCount + 100), 1000, 0, 0);
    feed(0, 50, {gap(9, 20)}); // before row 30, which the writer never gets
    feed(50, SampleRing::rowCount + 100, {gap(6, SampleRing::rowCount)}); // before row 150
    ASSERT_TRUE(QTest::qWaitFor([&] { return !announced.empty(); }, 10000));
    writer->onStopConsuming();
    QCoreApplication::sendPostedEvents();
    // 150 rows skipped, with the 9 frames lost among them; the 6 lost before row 150 follow.
    EXPECT_EQ(announced, (std::vector<Announced>{{159, "cell_000.dat", 0}, {6, "cell_000.dat", 0}}));
}

} // namespace
