// The DAT writer on a real producer fed with scripted rows, beside a virtual amplifier that
// gives the header its model: frames and channel selection, the limits and chunks, the
// header, the losses it announces for the lab book (a DAT file holds no marks) and what
// happens when a file cannot be written.

#include "acquisition/valuelabel.h"
#include "recording/datdatawriterconsumer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/recording/fulldisk.h"
#include "tests/recording/writerfixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Frames = std::vector<float>;

// A DAT writer that reads only once more than `rows` rows wait, and whose data files call
// `more` with the bytes of each write before it, as a producer faster than the disk brings
// more rows meanwhile.
class SlowWriter : public DatDataWriterConsumer {
  public:
    SlowWriter(DeviceDataProducer* producer, uint32_t rows, std::function<void(qint64)> more = {})
        : DatDataWriterConsumer(producer), more(std::move(more)) {
        minRows = rows;
    }

  protected:
    std::unique_ptr<QFile> newDataFile() const override {
        return more ? std::make_unique<File>(more) : std::make_unique<QFile>();
    }

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
    // What the frames of rows first.. hold with the given current and gp channels active: the
    // source turns word w, a signed 16-bit number, into w x (i + 1) on current channel i, the
    // unsigned w x 100 + g on gp channel g and w / 2 on the voltage.
    static Frames expected(uint32_t first, uint32_t count, const std::vector<int>& currents = {0, 1, 2, 3},
                           bool filtered = false, const std::vector<int>& gps = {}) {
        Frames frames;
        for (uint32_t k = first; k < first + count; k++) {
            // Unfiltered words are 1000 higher.
            const auto unsignedWord = uint16_t(k + (filtered ? 0 : 1000));
            const double word = int16_t(unsignedWord);
            for (int i : currents)
                frames.push_back(float(word * (i + 1)));
            for (int g : gps)
                frames.push_back(float(unsignedWord * 100.0 + g));
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

    // Where the first frame of `written` differs from `wanted`, or "none".
    static std::string firstDifference(const Frames& written, const Frames& wanted, size_t width) {
        if (written.size() != wanted.size()) return "sizes differ";
        const auto at =
            size_t(std::mismatch(written.begin(), written.end(), wanted.begin()).first - written.begin());
        return at == written.size() ? "none" : "frame " + std::to_string(at / width);
    }
};

TEST_F(DatWriterTest, TheHeaderTellsTheModelRangeRateStartChannelsAndTheFilterOfFilteredData) {
    kv4cl::RangedMeasurement_t range;
    ASSERT_EQ(kv4cl::getCurrentRange(range, 0), kv4cl::Success);
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    const kv4cl::Measurement_t cutoff{rate.value / 8, rate.prefix, rate.unit};
    writer->onCurrentRangeChanged(range, 4);
    writer->onVoltageRangeChanged({-500.0, 500.0, 0.1, kv4cl::UnitPfxMilli, "V"});
    writer->setChannelActive(2, false);
    // The filter is named only when the data recorded went through it.
    const struct {
        bool filterOn;
        bool lowPass;
        bool filteredData;
        QString line;
    } cases[] = {{true, true, true, "Digital filter: low pass, cut-off " + valueLabel(cutoff) + "\n"},
                 {true, false, true, "Digital filter: high pass, cut-off " + valueLabel(cutoff) + "\n"},
                 {true, true, false, ""},
                 {false, true, true, ""}};
    for (const auto& c : cases) {
        ASSERT_EQ(kv4cl::setDigitalFilter(cutoff, c.lowPass, c.filterOn), kv4cl::Success);
        writer->onSetFilteredData(c.filteredData);
        const QDateTime before = QDateTime::currentDateTime();
        writer->onStartConsuming();
        writer->onStopConsuming();
        QString header = text(plan.folder() + "cell.kdh");
        const QRegularExpressionMatch start = QRegularExpression("start time: (.+)\n").match(header);
        ASSERT_TRUE(start.hasMatch()) << header.toStdString();
        // Two-digit years read as the 1900s.
        const QDateTime at = QDateTime::fromString(start.captured(1), "dd/MM/yy hh:mm:ss.zzz").addYears(100);
        EXPECT_TRUE(at >= before && at <= QDateTime::currentDateTime()) << start.captured(1).toStdString();
        header.replace(start.captured(1), "START");
        EXPECT_EQ(header,
                  "KDH Version: 2.0\n\nCorvane Cedar\nChannels: 4\n\nData header file\n\nAmplifier Setup\n"
                  "Range: " +
                      valueLabel(range) + "\nSampling frequency (SR): " + valueLabel(rate) +
                      "\nSampling rate [Hz]: " + QString::number(rate.getNoPrefixValue(), 'g', 17) +
                      "\nFinal Bandwidth: SR/2 (no filter)\n" + c.line +
                      "\nAcquisition start time: START\n\nActive channels:  1 2 4\n"
                      "Columns: Ch1 [pA]; Ch2 [pA]; Ch4 [pA]; V1 [mV]\n" +
                      QString("Column scales: %1 0; %1 0; %1 0; 0.1 0\n")
                          .arg(range.step, 0, 'g', QLocale::FloatingPointShortest));
    }
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

TEST_F(DatWriterTest, AStopTakesInWhatHadArrivedWhileMoreKeepsComing) {
    // Each write of frames of 20 bytes returns once the producer has stored one row more than
    // it writes, the first 180,000 more: the writer never catches up.
    const std::unique_ptr<DataHook> stored = producer->getDataHook();
    uint32_t next = 1000;
    std::vector<uint16_t> words;
    use(std::make_unique<SlowWriter>(producer.get(), 0, [&](qint64 bytes) {
        const auto rows = uint32_t(bytes / 20 + (next == 1000 ? 180000 : 1));
        source->add(source->rows(uint16_t(next), rows));
        next += rows;
        while (stored->row < next)
            readRawData(*stored, words, true, 0);
    }));
    writer->onStartConsuming();
    source->add(source->rows(0, 1000));
    const QString file = path + "cell/cell_000.dat";
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() > 4 * (1 << 20); }, 10000));
    writer->onStopConsuming();
    EXPECT_FALSE(writer->isRunning());
    const qint64 size = QFileInfo(file).size();
    EXPECT_EQ(size % 20, 0) << "whole frames only";
    EXPECT_EQ(frames(file), expected(0, uint32_t(size / 20)));
}

TEST_F(DatWriterTest, RowsOverwrittenWhileTheyWereWrittenAreTakenBackAndCountedLost) {
    // Every channel recorded: frames are written from the ring. During the first write the
    // producer stores a ring and 500 rows more: the 1000 rows being written, and 500 after
    // them, are gone. The file must go on with the rows after them, the loss announced.
    bool lapped = false;
    use(std::make_unique<SlowWriter>(producer.get(), 0,
                                     [&](qint64) {
                                         if (std::exchange(lapped, true)) return;
                                         // Fed in two halves, each waited for through a hook of this thread's
                                         // own.
                                         const std::unique_ptr<DataHook> stored = producer->getDataHook();
                                         std::vector<uint16_t> words;
                                         for (const uint32_t first : {0u, SampleRing::rowCount / 2}) {
                                             const uint32_t count = first == 0
                                                                        ? SampleRing::rowCount / 2
                                                                        : SampleRing::rowCount / 2 + 500;
                                             source->add(source->rows(uint16_t(20000 + first), count));
                                             readRawData(*stored, words, true, count - 1);
                                         }
                                     }),
        1000);
    writer->onStartConsuming();
    feed(0, 1000);
    const QString file = path + "cell/cell_000.dat";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() >= SampleRing::rowCount * 20; }, 10000));
    writer->onStopConsuming();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(firstDifference(frames(file), expected(20500, SampleRing::rowCount), 5), "none");
    EXPECT_EQ(announced, std::vector<QString>{"1500 before frame 0 of cell_000.dat at 1000 Hz"});
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
        feed(fed, poll);
        // The writer keeps up before more comes, or the ring would lap it.
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() == (fed + poll) * 16; }, 10000))
            << QFileInfo(file).size();
    }
    writer->onStopConsuming();
    EXPECT_EQ(firstDifference(frames(file), expected(0, total, {0, 2, 3}, true), 4), "none");
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
        warnings.clear();
        writer->onStartConsuming();
        const QString folder = plan.folder();
        const QString file = folder + "cell_000.dat";
        if (c.first > 0) {
            feed(0, c.first);
            ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() == c.first * 20; }, 5000));
        }
        feed(c.first, 2600 - c.first);
        ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
        // The warnings were queued before the end of the recording.
        ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2; }, 5000));
        ASSERT_EQ(warnings.size(), 1u);

        EXPECT_TRUE(warnings[0].startsWith("Couldn't write the recording file in " +
                                           QDir::toNativeSeparators(QDir(folder).absolutePath()) +
                                           ": no space left on the device."))
            << warnings[0].toStdString();
        const qint64 size = QFileInfo(file).size();
        EXPECT_EQ(size % 20, 0) << "whole frames only";
        EXPECT_GE(size, c.first * 20) << "what was written before stays";
        EXPECT_EQ(frames(file), expected(0, uint32_t(size / 20)));
        EXPECT_FALSE(QFile::exists(folder + "cell_001.dat"));
        EXPECT_TRUE(text(folder + "cell.kdh").startsWith("KDH Version: 2.0\n"));
        dropWriter();
    }
}

TEST_F(DatWriterTest, RecordsOnlyWhereAndWhenItMay) {
    // Names that would leave the folder record under the default name.
    const QString records = path + "records/deep/";
    ASSERT_TRUE(QDir().mkpath(records));
    plan.path = records;
    const QString names[] = {"../../escaped", "..", "a/b", "/tmp/kav4-absolute", "", "back\\slash"};
    QStringList folders;
    for (int k = 0; k < int(std::size(names)); k++) {
        SCOPED_TRACE(names[k].toStdString());
        plan.name = names[k];
        writer->onStartConsuming();
        feed(uint32_t(10 * k), 10);
        writer->onStopConsuming();
        folders << (k == 0 ? "file" : "file_" + QString::number(k));
        EXPECT_EQ(frames(records + folders.last() + "/file_000.dat"), expected(10 * k, 10));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 12 && files.size() == 6; }, 5000));
    // With ABF selected the DAT writer records nothing.
    plan.format = 1;
    writer->onStartConsuming();
    EXPECT_FALSE(writer->isRunning());
    const auto entries = [](const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    };
    EXPECT_EQ(entries(path), QStringList{"records"}) << "nothing beside the recording folder";
    EXPECT_EQ(entries(path + "records"), QStringList{"deep"});
    EXPECT_EQ(entries(records), folders) << "nothing but the recordings within it";
    EXPECT_FALSE(QFileInfo::exists("/tmp/kav4-absolute"));

    // A recording path that is a file warns and starts nothing.
    plan.format = 0;
    plan.path = path + "records/deep/file/file_000.dat/";
    writer->onStartConsuming();
    EXPECT_EQ(warnings, std::vector<QString>{"Couldn't open the recording file"});
    EXPECT_FALSE(writer->isRunning());
    QCoreApplication::processEvents();
    EXPECT_EQ(states.size(), 12u) << "no recording began or ended";
    EXPECT_EQ(files.size(), 6u);
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
        std::vector<int> currents, gps;
        for (int k = 0; k < 4; k++)
            if (c.active[size_t(k)]) (k < 2 ? currents : gps).push_back(k % 2);
        folders.push_back(folders.empty() ? QString("cell") : QString("cell_%1").arg(folders.size()));
        EXPECT_EQ(frames(path + folders.back() + "/cell_000.dat"),
                  expected(first, 20, currents, c.filtered, gps));
        first += 20;
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 8; }, 5000));
    EXPECT_EQ(states, (std::vector<bool>{true, false, true, false, true, false, true, false}));
    ASSERT_EQ(files.size(), folders.size());
    for (size_t k = 0; k < files.size(); k++)
        EXPECT_EQ(files[k], folders[k] + "/cell_000");
}

using DatLosses = DatWriterTest;

// A limited recording in chunks: it ends by itself with exactly its samples, in numbered
// files, each loss announced with the file that holds the frame after it.
TEST_F(DatLosses, ALossAtTheEndOfAChunkBelongsToTheNext) {
    use(std::make_unique<DatDataWriterConsumer>(producer.get()), 100);
    limit(2500, 1000);
    writer->onStartConsuming();
    // Before rows 50 and 1000, and before the row that comes with the next poll.
    feed(0, 1200, {gap(5, 1150), gap(3, 200), gap(6, 0)});
    feed(1200, 1400, {gap(2, 900), gap(4, 500)}); // before rows 1700 and 2100
    waitUntilFinished(2);
    EXPECT_EQ(frames(path + "cell/cell_000.dat"), expected(0, 1000));
    EXPECT_EQ(frames(path + "cell/cell_001.dat"), expected(1000, 1000));
    EXPECT_EQ(frames(path + "cell/cell_002.dat"), expected(2000, 500));
    EXPECT_FALSE(QFile::exists(path + "cell/cell_003.dat"));
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
    EXPECT_EQ(files, (std::vector<QString>{"cell/cell_000", "cell/cell_001", "cell/cell_002"}));
    EXPECT_EQ(announced, (std::vector<QString>{"5 before frame 50 of cell_000.dat at 100 Hz",
                                               "3 before frame 0 of cell_001.dat at 100 Hz",
                                               "6 before frame 200 of cell_001.dat at 100 Hz",
                                               "2 before frame 700 of cell_001.dat at 100 Hz",
                                               "4 before frame 100 of cell_002.dat at 100 Hz"}));
}

TEST_F(DatLosses, AWriterThatFellARingBehindAnnouncesTheRowsItSkipped) {
    use(std::make_unique<SlowWriter>(producer.get(), SampleRing::rowCount + 100), 1000);
    writer->onStartConsuming();
    feed(0, 50, {gap(9, 20)}); // before row 30, which the writer never gets
    feed(50, SampleRing::rowCount + 100, {gap(6, SampleRing::rowCount)}); // before row 150
    ASSERT_TRUE(QTest::qWaitFor([&] { return !announced.empty(); }, 10000));
    writer->onStopConsuming();
    QCoreApplication::sendPostedEvents();
    // 150 rows skipped, with the 9 frames lost among them; the 6 lost before row 150 follow.
    EXPECT_EQ(announced, (std::vector<QString>{"159 before frame 0 of cell_000.dat at 1000 Hz",
                                               "6 before frame 0 of cell_000.dat at 1000 Hz"}));
}

} // namespace
