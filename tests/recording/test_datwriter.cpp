// The DAT writer on a real producer fed with scripted rows, beside a virtual amplifier that
// gives the header its model: frames and channel selection, the limits and chunks, the
// format check, the header and what happens when a file cannot be written.

#include "acquisition/valuelabel.h"
#include "recording/datdatawriterconsumer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/recording/fulldisk.h"
#include "tests/recording/writerfixture.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Frames = std::vector<float>;

// A DAT writer whose disk hands the producer more rows at each write than it writes frames,
// as a producer faster than the disk would.
class WriterBehind : public DatDataWriterConsumer {
  public:
    // more(bytes) brings the rows.
    WriterBehind(DeviceDataProducer* producer, std::function<void(qint64)> more)
        : DatDataWriterConsumer(producer), more(std::move(more)) {}

  protected:
    std::unique_ptr<QFile> newDataFile() const override { return std::make_unique<File>(more); }

  private:
    class File : public QFile {
      public:
        explicit File(std::function<void(qint64)> more) : more(std::move(more)) {}

      protected:
        qint64 writeData(const char* data, qint64 length) override {
            more(length);
            return QFile::writeData(data, length);
        }

      private:
        const std::function<void(qint64)> more;
    };

    const std::function<void(qint64)> more;
};

class DatWriterTest : public kv4test::WriterFixture<DatDataWriterConsumer> {
  protected:
    void SetUp() override { open("cedar", 4); }
    void open(const char* model, uint32_t currentChannels, uint32_t gpChannels = 0) {
        connectTo(model);
        if (HasFatalFailure()) return;
        prepare(currentChannels, gpChannels);
        use(std::make_unique<DatDataWriterConsumer>(producer.get()));
        producer->start();
    }

    // Rows numbered first.. reach the ring; returns once the producer has stored them all.
    void feed(uint16_t first, uint32_t count) {
        source->add(source->rows(first, count));
        std::vector<uint16_t> stored;
        readRawData(*probe, stored, true, count - 1);
    }

    // What the frames of rows first.. hold with the given current channels active: the
    // source turns word w, a signed 16-bit number, into w x (i + 1) on current channel i and
    // w / 2 on the voltage.
    static Frames expected(uint32_t first, uint32_t count, const std::vector<int>& currents,
                           bool filtered = false) {
        Frames frames;
        for (uint32_t k = first; k < first + count; k++) {
            // Unfiltered words are 1000 higher.
            const double word = int16_t(uint16_t(k + (filtered ? 0 : 1000)));
            for (int i : currents)
                frames.push_back(float(word * (i + 1)));
            frames.push_back(float(word / 2));
        }
        return frames;
    }

    static Frames frames(const QString& file) {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) return {};
        const QByteArray bytes = f.readAll();
        Frames values(size_t(bytes.size()) / 4);
        for (size_t k = 0; k < values.size(); k++)
            values[k] = qFromLittleEndian<float>(bytes.constData() + 4 * k);
        return values;
    }

    static QString text(const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};

TEST_F(DatWriterTest, NamesThatWouldLeaveTheFolderRecordUnderTheDefaultName) {
    const QString records = path + "records/deep/";
    ASSERT_TRUE(QDir().mkpath(records));
    plan.path = records;
    const QString names[] = {"../../escaped", "..", "a/b", "/tmp/kav4-absolute", "", "back\\slash"};
    QStringList folders;
    for (int k = 0; k < int(std::size(names)); k++) {
        SCOPED_TRACE(names[k].toStdString());
        plan.name = names[k];
        writer->onStartConsuming();
        feed(uint16_t(10 * k), 10);
        writer->onStopConsuming();
        folders << (k == 0 ? "file" : "file_" + QString::number(k));
        EXPECT_EQ(frames(records + folders.last() + "/file_000.dat"), expected(10 * k, 10, {0, 1, 2, 3}));
    }
    const auto entries = [](const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    };
    EXPECT_EQ(entries(path), QStringList{"records"}) << "nothing beside the recording folder";
    EXPECT_EQ(entries(path + "records"), QStringList{"deep"});
    EXPECT_EQ(entries(records), folders) << "nothing but the recordings within it";
    EXPECT_FALSE(QFileInfo::exists("/tmp/kav4-absolute"));
}

TEST_F(DatWriterTest, TheHeaderTellsTheModelRangeRateAndStart) {
    kv4cl::RangedMeasurement_t range;
    ASSERT_EQ(kv4cl::getCurrentRange(range, 0), kv4cl::Success);
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    const QDateTime before = QDateTime::currentDateTime();
    writer->onStartConsuming();
    writer->onStopConsuming();

    const QStringList lines = text(path + "cell/cell.kdh").split('\n');
    ASSERT_EQ(lines.size(), 17) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], "KDH Version: 2.0");
    EXPECT_EQ(lines[2], "Corvane Cedar");
    EXPECT_EQ(lines[3], "Channels: 4");
    EXPECT_EQ(lines[8], "Range: " + valueLabel(range));
    EXPECT_EQ(lines[9], "Sampling frequency (SR): " + valueLabel(rate));
    const QString startPrefix = "Acquisition start time: ";
    ASSERT_TRUE(lines[12].startsWith(startPrefix));
    const QDateTime start = QDateTime::fromString(lines[12].mid(startPrefix.size()), "dd/MM/yy hh:mm:ss.zzz");
    ASSERT_TRUE(start.isValid()) << lines[12].toStdString();
    // Two-digit years read as the 1900s.
    EXPECT_GE(start.addYears(100), before);
    EXPECT_LE(start.addYears(100), QDateTime::currentDateTime());
    EXPECT_EQ(lines[14], "Active channels:  1 2 3 4");
}

TEST_F(DatWriterTest, TheHeaderNamesTheDigitalFilterOfFilteredData) {
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    const kv4cl::Measurement_t cutoff{rate.value / 8, rate.prefix, rate.unit};
    const QString bandwidth = "Final Bandwidth: SR/2 (no filter)\n";
    const struct {
        bool filterOn;
        bool lowPass;
        bool filteredData;
        QString line; // after the bandwidth's; empty for none
    } cases[] = {{true, true, true, "Digital filter: low pass, cut-off " + valueLabel(cutoff) + "\n"},
                 {true, false, true, "Digital filter: high pass, cut-off " + valueLabel(cutoff) + "\n"},
                 {true, true, false, ""},
                 {false, true, true, ""}};
    for (const auto& c : cases) {
        ASSERT_EQ(kv4cl::setDigitalFilter(cutoff, c.lowPass, c.filterOn), kv4cl::Success);
        writer->onSetFilteredData(c.filteredData);
        writer->onStartConsuming();
        writer->onStopConsuming();
        const QString header = text(plan.folder() + "cell.kdh");
        const qsizetype at = header.indexOf(bandwidth);
        ASSERT_GE(at, 0) << header.toStdString();
        const QString next = header.mid(at + bandwidth.size());
        EXPECT_EQ(header.count("Digital filter"), c.line.isEmpty() ? 0 : 1) << header.toStdString();
        EXPECT_TRUE(next.startsWith(c.line.isEmpty() ? "\nAcquisition start time: " : c.line))
            << header.toStdString();
    }
}

TEST_F(DatWriterTest, ALimitedRecordingEndsByItselfWithExactlyItsSamples) {
    limit(2500);
    writer->onStartConsuming();
    source->add(source->rows(0, 3000));
    waitUntilFinished(2);
    EXPECT_EQ(frames(path + "cell/cell_000.dat"), expected(0, 2500, {0, 1, 2, 3}));
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
}

TEST_F(DatWriterTest, ChunksContinueTheRecordingInNumberedFilesWithTheHeaderRewritten) {
    limit(2500, 1000);
    writer->onStartConsuming();
    {
        QFile header(path + "cell/cell.kdh");
        ASSERT_TRUE(header.open(QIODevice::WriteOnly | QIODevice::Truncate));
        header.write("stale");
    }
    source->add(source->rows(0, 2600));
    waitUntilFinished(2);

    EXPECT_EQ(frames(path + "cell/cell_000.dat"), expected(0, 1000, {0, 1, 2, 3}));
    EXPECT_EQ(frames(path + "cell/cell_001.dat"), expected(1000, 1000, {0, 1, 2, 3}));
    EXPECT_EQ(frames(path + "cell/cell_002.dat"), expected(2000, 500, {0, 1, 2, 3}));
    EXPECT_FALSE(QFile::exists(path + "cell/cell_003.dat"));
    EXPECT_TRUE(text(path + "cell/cell.kdh").startsWith("KDH Version: 2.0\n"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return files.size() == 3; }, 5000));
    EXPECT_EQ(files, (std::vector<QString>{"cell/cell_000", "cell/cell_001", "cell/cell_002"}));
}

TEST_F(DatWriterTest, AStopTakesInWhatHadArrivedWhileMoreKeepsComing) {
    // Each write of frames of 20 bytes returns once the producer has stored one row more than
    // it writes, the first 180,000 more: the writer never catches up.
    const std::unique_ptr<DataHook> stored = producer->getDataHook();
    uint16_t next = 1000;
    uint64_t added = 1000;
    std::vector<uint16_t> words;
    const auto more = [&](qint64 bytes) {
        const auto rows = uint32_t(bytes / 20 + (added == 1000 ? 180000 : 1));
        source->add(source->rows(next, rows));
        next += rows;
        added += rows;
        while (stored->row < added)
            readRawData(*stored, words, true, 0);
    };
    use(std::make_unique<WriterBehind>(producer.get(), more));
    writer->onStartConsuming();
    source->add(source->rows(0, 1000));
    const QString file = path + "cell/cell_000.dat";
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() > 4 * (1 << 20); }, 10000));
    writer->onStopConsuming();
    EXPECT_FALSE(writer->isRunning());
    const qint64 size = QFileInfo(file).size();
    EXPECT_EQ(size % 20, 0) << "whole frames only";
    EXPECT_EQ(frames(file), expected(0, uint32_t(size / 20), {0, 1, 2, 3}));
}

TEST_F(DatWriterTest, RowsOverwrittenWhileTheyWereWrittenAreTakenBackAndCountedLost) {
    // Every channel recorded: frames are written from the ring. During the first write the
    // producer stores a ring and 500 rows more: the 1000 rows being written, and 500 after
    // them, are gone. The file must go on with the rows after them, the loss announced.
    bool lapped = false;
    use(std::make_unique<WriterBehind>(producer.get(), [&](qint64) {
        if (std::exchange(lapped, true)) return;
        // Fed in two halves, each waited for through a hook of this thread's own.
        const std::unique_ptr<DataHook> stored = producer->getDataHook();
        std::vector<uint16_t> words;
        for (const uint32_t first : {0u, SampleRing::rowCount / 2}) {
            const uint32_t count = first == 0 ? SampleRing::rowCount / 2 : SampleRing::rowCount / 2 + 500;
            source->add(source->rows(uint16_t(20000 + first), count));
            readRawData(*stored, words, true, count - 1);
        }
    }));
    std::vector<std::pair<quint64, quint64>> announced; // samples, frame
    QObject::connect(writer.get(), &DataWriterConsumer::lossInFile, &receiver,
                     [&](quint64 samples, double, const QString&, quint64 frame) {
                         announced.emplace_back(samples, frame);
                     });
    writer->onStartConsuming();
    feed(0, 1000);
    const QString file = path + "cell/cell_000.dat";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() >= SampleRing::rowCount * 20; }, 10000));
    writer->onStopConsuming();
    QCoreApplication::sendPostedEvents();
    const Frames written = frames(file), wanted = expected(20500, SampleRing::rowCount, {0, 1, 2, 3});
    ASSERT_EQ(written.size(), wanted.size());
    EXPECT_TRUE(written == wanted) << "first wrong value in frame "
                                   << (std::mismatch(written.begin(), written.end(), wanted.begin()).first -
                                       written.begin()) /
                                          5;
    EXPECT_EQ(announced, (std::vector<std::pair<quint64, quint64>>{{1500, 0}}));
}

TEST_F(DatWriterTest, AChunkThatCannotBeOpenedEndsTheRecordingAndKeepsWhatWasWritten) {
    limit(2500, 1000);
    writer->onStartConsuming();
    ASSERT_TRUE(QDir().mkdir(path + "cell/cell_001.dat")); // a folder where the file should go
    source->add(source->rows(0, 2600));
    ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
    closeNextBox();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && boxes.size() == 1; }, 5000));
    EXPECT_EQ(boxes[0], "Warning: Couldn't open the recording file");
    EXPECT_EQ(frames(path + "cell/cell_000.dat"), expected(0, 1000, {0, 1, 2, 3}));
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
}

TEST_F(DatWriterTest, ALongRecordingHoldsEveryFrameInOrderAcrossBlocksAndTheRingsEnd) {
    // Channel 2 off: each frame takes channel 1, channels 3 and 4, then the voltage, from
    // three places in a row.
    writer->setChannelActive(1, false);
    writer->onSetFilteredData(true);
    writer->onStartConsuming();
    const QString file = path + "cell/cell_000.dat";
    const uint32_t poll = 60000, total = 300000; // frames of 16 bytes; a ring holds 262144
    for (uint32_t fed = 0; fed < total; fed += poll) {
        feed(uint16_t(fed), poll);
        // The writer keeps up before more comes, or the ring would lap it.
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() == (fed + poll) * 16; }, 10000))
            << QFileInfo(file).size();
    }
    writer->onStopConsuming();
    const Frames written = frames(file), wanted = expected(0, total, {0, 2, 3}, true);
    ASSERT_EQ(written.size(), wanted.size());
    const size_t at =
        size_t(std::mismatch(written.begin(), written.end(), wanted.begin()).first - written.begin());
    EXPECT_EQ(at, written.size()) << "first wrong value in frame " << at / 4;
}

TEST_F(DatWriterTest, AFullDiskLeavesWholeFramesAndSaysWhereSpaceRanOut) {
    if (!kv4test::FullDisk::available()) GTEST_SKIP() << "no /dev/full to fail writes as a full disk";
    const struct {
        const char* name;
        double chunk;   // frames
        qint64 room;    // frames of 20 bytes
        uint32_t first; // frames fed, and written, before the rest
    } cases[] = {
        {"within a file, after whole blocks", 0, 1000 * 20 + 5100, 1000},
        // Its failure ends the recording: no further chunk opens.
        {"in the block that fills a chunk", 1000, 1000 * 20 - 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        limit(2500, c.chunk);
        const kv4test::FullDisk disk(c.room);
        use(std::make_unique<kv4test::WriterOnDisk<DatDataWriterConsumer>>(producer.get(), disk));
        states.clear();
        boxes.clear();
        writer->onStartConsuming();
        const QString folder = plan.folder();
        const QString file = folder + "cell_000.dat";
        if (c.first > 0) {
            feed(0, c.first);
            ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() == c.first * 20; }, 5000));
        }
        // Every box is closed as it shows, so that a second warning counts instead of waiting.
        QTimer closer;
        closer.callOnTimeout([&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxes.push_back(box->windowTitle() + ": " + box->text());
                box->done(QMessageBox::Ok);
            }
        });
        closer.start(1);
        feed(uint16_t(c.first), 2600 - c.first);
        ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
        // The warnings were queued before the end of the recording.
        ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2; }, 5000));
        ASSERT_EQ(boxes.size(), 1u);

        EXPECT_TRUE(boxes[0].startsWith("Warning: Couldn't write the recording file in " +
                                        QDir::toNativeSeparators(QDir(folder).absolutePath()) +
                                        ": no space left on the device."))
            << boxes[0].toStdString();
        const qint64 size = QFileInfo(file).size();
        EXPECT_EQ(size % 20, 0) << "whole frames only";
        EXPECT_GE(size, c.first * 20) << "what was written before stays";
        EXPECT_EQ(frames(file), expected(0, uint32_t(size / 20), {0, 1, 2, 3}));
        EXPECT_FALSE(QFile::exists(folder + "cell_001.dat"));
        EXPECT_TRUE(text(folder + "cell.kdh").startsWith("KDH Version: 2.0\n"));
        dropWriter();
    }
}

TEST_F(DatWriterTest, WithAbfSelectedItOnlyStopsItsRecording) {
    writer->onStartConsuming();
    ASSERT_TRUE(writer->isRunning());
    plan.format = 1;
    writer->onStartConsuming();
    EXPECT_FALSE(writer->isRunning());
    EXPECT_EQ(QDir(path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"cell"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2; }, 5000));
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
    EXPECT_EQ(files.size(), 1u);
}

TEST_F(DatWriterTest, AnUnwritableRecordingPathWarnsAndStartsNothing) {
    {
        QFile plain(path + "plain");
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    }
    plan.path = path + "plain/";
    closeNextBox();
    writer->onStartConsuming();
    EXPECT_EQ(boxes, std::vector<QString>{"Warning: Couldn't open the recording file"});
    EXPECT_FALSE(writer->isRunning());
    QCoreApplication::processEvents();
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(files.empty());
}

// Rows of two current and two gp channels.
class DatGpChannelsTest : public DatWriterTest {
  protected:
    void SetUp() override { open("cedar", 2, 2); }
};

TEST_F(DatGpChannelsTest, FramesHoldTheActiveCurrentThenGpChannelsThenTheVoltage) {
    struct Case {
        const char* name;
        std::vector<bool> active; // current channels, then gp channels
        bool filtered;
    };
    const Case cases[] = {
        {"every channel, whole rows", {true, true, true, true}, false},
        {"a current channel off", {false, true, true, true}, true},
        {"a gp channel off", {true, true, true, false}, false},
        {"gp channels only", {false, false, true, true}, true},
    };
    uint16_t first = 0;
    std::vector<QString> folders;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int k = 0; k < 4; k++)
            writer->setChannelActive(k, c.active[size_t(k)]);
        writer->onSetFilteredData(c.filtered);
        writer->onStartConsuming();
        // Switched during a recording, a channel is switched for the next one only.
        for (int k = 0; k < 4; k++)
            writer->setChannelActive(k, !c.active[size_t(k)]);
        feed(first, 20);
        writer->onStopConsuming();
        // Unfiltered words are 1000 higher.
        Frames wanted;
        for (uint16_t row = first; row < first + 20; row++) {
            const uint16_t word = row + (c.filtered ? 0 : 1000);
            for (int i = 0; i < 2; i++)
                if (c.active[size_t(i)]) wanted.push_back(float(int16_t(word) * (i + 1.0)));
            for (int g = 0; g < 2; g++)
                if (c.active[size_t(2 + g)]) wanted.push_back(float(word * 100.0 + g));
            wanted.push_back(float(int16_t(word) / 2.0));
        }
        folders.push_back(folders.empty() ? QString("cell") : QString("cell_%1").arg(folders.size()));
        EXPECT_EQ(frames(path + folders.back() + "/cell_000.dat"), wanted);
        first += 20;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 8; }, 5000));
    EXPECT_EQ(states, (std::vector<bool>{true, false, true, false, true, false, true, false}));
    ASSERT_EQ(files.size(), folders.size());
    for (size_t k = 0; k < files.size(); k++)
        EXPECT_EQ(files[k], folders[k] + "/cell_000");
}

// A model with oversampling, whose template has the oversampling line.
class OversamplingHeaderTest : public DatWriterTest {
  protected:
    void SetUp() override { open("elm", 1); }
};

TEST_F(OversamplingHeaderTest, TheRatioIsFilledInFromTheModel) {
    uint16_t ratio = 0;
    ASSERT_EQ(kv4cl::getOversamplingRatio(ratio), kv4cl::Success);
    writer->onStartConsuming();
    writer->onStopConsuming();
    const QString header = text(path + "cell/cell.kdh");
    EXPECT_TRUE(header.contains(QString("\nOversampling x%1: enabled\n").arg(ratio))) << header.toStdString();
    EXPECT_FALSE(header.contains('%'));
}

TEST_F(OversamplingHeaderTest, WithoutARatioItsPlaceholdersStay) {
    std::string model;
    ASSERT_EQ(kv4cl::getHeaderTemplate(model), kv4cl::Success);
    const QString header =
        kdhHeader(QString::fromStdString(model), {-200.0, 200.0, 0.1, kv4cl::UnitPfxPico, "A"},
                  {1.25, kv4cl::UnitPfxKilo, "Hz"}, QDateTime(QDate(2026, 3, 5), QTime(14, 3, 7, 20)),
                  QByteArray("\1\0\1", 3), std::nullopt, std::nullopt, {"Ch1 [pA]", "Ch3 [pA]", "V1 [mV]"});
    EXPECT_EQ(header, "KDH Version: 2.0\n\nCorvane Elm\nChannels: 1\n\nData header file\n\nAmplifier Setup\n"
                      "Range: 200 pA\nSampling frequency (SR): 1.25 kHz\nFinal Bandwidth: SR/2 (no filter)\n"
                      "Oversampling x%oversamplingRatio%: %oversamplingFlag%\n\n"
                      "Acquisition start time: 05/03/26 14:03:07.020\n\nActive channels:  1 3\n"
                      "Columns: Ch1 [pA]; Ch3 [pA]; V1 [mV]\n");
}

} // namespace
