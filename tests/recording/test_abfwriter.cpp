// The ABF writer on a real producer fed with scripted rows, beside a virtual amplifier that
// gives the header its model. Its files are read back by an independent reader, Neo, which
// must find the values, units, channel names, rate, sweeps and tags that went in.

#include "acquisition/samplering.h"
#include "recording/abfdatawriterconsumer.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/recording/fulldisk.h"
#include "tests/recording/writerfixture.h"
#include "tests/support/childprocess.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <functional>
#include <memory>
#include <vector>

namespace {

const char* const python = "/usr/bin/python3";

// Prints, per file, per segment: every channel with its name, unit, rate, start and values,
// and the tags with their times and texts.
const char* const readerScript = R"(
import ast, json, sys
from neo.io import AxonIO

def text(comment):
    if isinstance(comment, bytes):
        comment = comment.decode('ascii')
    comment = str(comment)
    # Neo hands the comment over as the text of a bytes object.
    if comment[:2] in ("b'", 'b"'):
        comment = ast.literal_eval(comment).decode('ascii')
    return comment.rstrip()

files = []
for path in sys.argv[1:]:
    segments = []
    for segment in AxonIO(filename=path).read_block().segments:
        channels = []
        for signal in segment.analogsignals:
            for c in range(signal.shape[1]):
                channels.append({
                    'name': str(signal.array_annotations['channel_names'][c]),
                    'unit': signal.units.dimensionality.string,
                    'rate': float(signal.sampling_rate.rescale('Hz').magnitude),
                    'start': float(signal.t_start.rescale('s').magnitude),
                    'values': [float(v) for v in signal.magnitude[:, c]]})
        tags = []
        for event in segment.events:
            for time, comment in zip(event.times.rescale('s').magnitude, event.annotations['comments']):
                tags.append({'time': float(time), 'text': text(comment)})
        segments.append({'channels': channels, 'tags': tags})
    files.append(segments)
print(json.dumps(files))
)";

// Why Neo cannot be used here, or empty when it can.
QString neoMissing() {
    if (!QFile::exists(python)) return QString(python) + " is missing";
    const kv4test::ProgramRun probe = kv4test::runProgram(python, {"-c", "import neo.io"});
    if (!probe.succeeded()) return "python3-neo is missing: " + QString::fromUtf8(probe.err);
    return {};
}

// A channel of a file as Neo reads it.
struct Channel {
    QString name;
    QString unit;
    double rate = 0;
    double start = 0;
    std::vector<double> values;
};

struct Tag {
    double time;
    QString text;
};

struct Segment {
    std::vector<Channel> channels;
    std::vector<Tag> tags;
};

using File = std::vector<Segment>;

// The words of the scripted rows: the extremes first, then a spread over the whole range.
uint16_t word(uint32_t row, uint32_t column) {
    static const uint16_t extremes[] = {0x8000, 0x7FFF, 0x0000, 0xFFFF};
    if (row < 4) return extremes[row];
    return uint16_t(row * 7919u * (column + 1) + column * 12345u);
}

class AbfWriterTest : public kv4test::WriterFixture<AbfDataWriterConsumer> {
  protected:
    // One voltage, three current and one gp channel; each with a range of its own, the
    // steps not all exact in binary; the gp range unipolar, as a TTL level's.
    const kv4cl::RangedMeasurement_t voltageRange{-1000.0, 1000.0, 0.0305, kv4cl::UnitPfxMilli, "V"};
    const std::vector<kv4cl::RangedMeasurement_t> currentRanges{
        {-200.0, 200.0, 0.0061, kv4cl::UnitPfxPico, "A"},
        {-8.0, 8.0, 0.25, kv4cl::UnitPfxNano, "A"},
        {-2.0, 2.0, 1.0 / 16384, kv4cl::UnitPfxMicro, "A"}};
    const kv4cl::RangedMeasurement_t gpRange{0.0, 5.0, 5.0 / 65535, kv4cl::UnitPfxNone, "V"};

    void SetUp() override {
        const QString missing = neoMissing();
        if (!missing.isEmpty()) GTEST_SKIP() << missing.toStdString();
        connectTo("cedar");
        if (HasFatalFailure()) return;
        prepare(3, 1);
        plan.format = 1;
        use(std::make_unique<AbfDataWriterConsumer>(producer.get()));
        setRate(3000);
        producer->start();
    }
    // The writer with the channels' ranges.
    void use(std::unique_ptr<AbfDataWriterConsumer> newWriter) {
        WriterFixture::use(std::move(newWriter));
        writer->onVoltageRangeChanged(voltageRange);
        for (int i = 0; i < 3; i++)
            writer->onCurrentRangeChanged(currentRanges[size_t(i)], i);
        writer->onGpRangeChanged(gpRange, 0);
    }

    void setRate(double rate) {
        this->rate = rate;
        const kv4cl::Measurement_t hz{rate, kv4cl::UnitPfxNone, "Hz"};
        writer->onSamplingRateChanged(hz, hz);
    }

    // In seconds at the rate set.
    void setDurations(double record, double chunk, double sweep) {
        limit(record * rate, chunk * rate, sweep * rate);
    }

    // Rows first.. reach the ring in one poll, so that the writer takes them in one read,
    // with the gaps the library reports after it; returns once the producer has stored them.
    void feed(uint32_t first, uint32_t count, std::vector<kv4cl::FramesLost_t> losses = {}) const {
        kv4test::ScriptedSource::Poll poll;
        poll.losses = std::move(losses);
        for (uint32_t k = first; k < first + count; k++)
            for (uint32_t c = 0; c < source->width(); c++) {
                poll.filtered.push_back(word(k, c));
                poll.unfiltered.push_back(word(k, c));
            }
        source->add(poll);
        std::vector<uint16_t> stored;
        readRawData(*probe, stored, true, count - 1);
    }

    // Feeds rows of at most one pass and waits until the writer has them on disk.
    void feedAndWait(uint32_t first, uint32_t count) const {
        feed(first, count);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return headerFrames({path + "cell/cell_CH001_000.abf"}) ==
                       std::vector<int64_t>{first + count};
            },
            5000));
    }

    // The values that rows first.. hold in column `column` of the row (0 the voltage, then
    // the current channels and the gp channel), as the file should give them back.
    std::vector<double> expected(uint32_t first, uint32_t count, uint32_t column) const {
        std::vector<double> values;
        for (uint32_t k = first; k < first + count; k++) {
            const uint16_t w = word(k, column);
            if (column == 0)
                values.push_back(int16_t(w) * voltageRange.step);
            else if (column <= 3)
                values.push_back(int16_t(w) * currentRanges[column - 1].step);
            else // offset binary from the range's minimum
                values.push_back(gpRange.min + w * gpRange.step);
        }
        return values;
    }

    static void expectValues(const Channel& channel, const std::vector<double>& values, double step) {
        ASSERT_EQ(channel.values.size(), values.size()) << channel.name.toStdString();
        for (size_t k = 0; k < values.size(); k++)
            ASSERT_NEAR(channel.values[k], values[k], step) << channel.name.toStdString() << " sample " << k;
    }

    // The files of the recording folder, read by Neo; empty with a failure when it cannot.
    static std::vector<File> read(const QStringList& names) {
        QStringList arguments{"-c", readerScript};
        for (const QString& name : names)
            arguments << name;
        const kv4test::ProgramRun neo = kv4test::runProgram(python, arguments);
        const QByteArray& output = neo.out;
        EXPECT_TRUE(neo.succeeded()) << neo.err.toStdString();
        std::vector<File> files;
        for (const QJsonValue& file : QJsonDocument::fromJson(output).array()) {
            File segments;
            for (const QJsonValue& s : file.toArray()) {
                Segment segment;
                for (const QJsonValue& c : s["channels"].toArray()) {
                    Channel channel{c["name"].toString(),
                                    c["unit"].toString(),
                                    c["rate"].toDouble(),
                                    c["start"].toDouble(),
                                    {}};
                    for (const QJsonValue& v : c["values"].toArray())
                        channel.values.push_back(v.toDouble());
                    segment.channels.push_back(channel);
                }
                for (const QJsonValue& t : s["tags"].toArray())
                    segment.tags.push_back({t["time"].toDouble(), t["text"].toString()});
                segments.push_back(segment);
            }
            files.push_back(segments);
        }
        EXPECT_EQ(files.size(), size_t(names.size()));
        return files;
    }

    QString recordFile(int channel, int counter) const {
        return path + QString("cell/cell_CH%1_%2.abf")
                          .arg(channel, 3, 10, QChar('0'))
                          .arg(counter, 3, 10, QChar('0'));
    }

    // Records 2500 samples in chunks of 1000 after `spoil` has made the second chunk fail, and
    // checks that the first chunk's files are whole; returns the box shown.
    QString recordWithSpoiledSecondChunk(const std::function<bool()>& spoil) {
        setRate(100);
        setDurations(25, 10, 0);
        writer->onStartConsuming();
        EXPECT_TRUE(spoil());
        feed(0, 2600);
        EXPECT_TRUE(writer->wait(QDeadlineTimer(10000)));
        closeNextBox();
        EXPECT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && boxes.size() == 1; }, 5000));
        const std::vector<File> read = this->read({recordFile(1, 0), recordFile(4, 0)});
        if (read.size() == 2 && read[0].size() == 1 && read[1].size() == 1) {
            expectValues(read[0][0].channels[0], expected(0, 1000, 1), currentRanges[0].step);
            expectValues(read[1][0].channels[0], expected(0, 1000, 4), gpRange.step);
        } else {
            ADD_FAILURE() << "the first chunk cannot be read";
        }
        return boxes.empty() ? QString() : boxes[0];
    }

    // The frames each file's header counts so far; -1 for a file without a header.
    static std::vector<int64_t> headerFrames(const QStringList& names) {
        std::vector<int64_t> frames;
        for (const QString& name : names) {
            QFile file(name);
            // The data section's entry of the section map: its count of 16-bit values.
            const QByteArray head = file.open(QIODevice::ReadOnly) ? file.read(252) : QByteArray();
            frames.push_back(head.size() == 252 && head.startsWith("ABF2")
                                 ? qFromLittleEndian<qint64>(head.constData() + 244) / 2
                                 : -1);
        }
        return frames;
    }

    double rate = 0;
};

TEST_F(AbfWriterTest, EachActiveChannelGetsAFileWithItsValuesNameUnitAndTheVoltage) {
    writer->setChannelActive(1, false);
    writer->onStartConsuming();
    ASSERT_TRUE(writer->isRunning());
    feed(0, 1000);
    feed(1000, 3000); // more than a pass
    writer->onStopConsuming();

    EXPECT_EQ(QDir(path + "cell").entryList(QDir::Files),
              (QStringList{"cell.kdh", "cell_CH001_000.abf", "cell_CH003_000.abf", "cell_CH004_000.abf"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2; }, 5000));
    EXPECT_EQ(files, std::vector<QString>{"cell/cell_CH001_000"});

    const std::vector<File> read = this->read({recordFile(1, 0), recordFile(3, 0), recordFile(4, 0)});
    ASSERT_EQ(read.size(), 3u);
    const struct {
        uint32_t column;
        const char* name;
        const char* unit;
        double step;
    } channels[] = {{1, "I1", "pA", currentRanges[0].step},
                    {3, "I3", "uA", currentRanges[2].step},
                    {4, "GP1", "V", gpRange.step}};
    for (size_t f = 0; f < 3; f++) {
        ASSERT_EQ(read[f].size(), 1u) << "one segment, gap-free";
        const Segment& segment = read[f][0];
        ASSERT_EQ(segment.channels.size(), 2u);
        EXPECT_EQ(segment.channels[0].name, channels[f].name);
        EXPECT_EQ(segment.channels[0].unit, channels[f].unit);
        EXPECT_EQ(segment.channels[1].name, "V");
        EXPECT_EQ(segment.channels[1].unit, "mV");
        for (const Channel& channel : segment.channels)
            EXPECT_NEAR(channel.rate, rate, rate * 1e-6);
        expectValues(segment.channels[0], expected(0, 4000, channels[f].column), channels[f].step);
        expectValues(segment.channels[1], expected(0, 4000, 0), voltageRange.step);
        EXPECT_TRUE(segment.tags.empty());
    }
}

TEST_F(AbfWriterTest, SweepsAreSegmentsBackToBackAShortLastOneFilledUpAndTagged) {
    setDurations(0, 0, 0.05); // 150 samples
    writer->onStartConsuming();
    feed(0, 400);
    writer->onStopConsuming();

    const std::vector<File> read = this->read({recordFile(4, 0)});
    ASSERT_EQ(read.size(), 1u);
    ASSERT_EQ(read[0].size(), 3u);
    for (size_t s = 0; s < 3; s++) {
        const Segment& segment = read[0][s];
        ASSERT_EQ(segment.channels.size(), 2u);
        EXPECT_NEAR(segment.channels[0].start, s * 150 / rate, 1e-6);
        // Every reader cuts sweeps of the header's length: the last one's is the same.
        const uint32_t written = s < 2 ? 150 : 100;
        for (uint32_t column : {4u, 0u}) {
            std::vector<double> values = expected(uint32_t(s) * 150, written, column);
            values.resize(150, values.back());
            expectValues(segment.channels[column == 0 ? 1 : 0], values,
                         column == 0 ? voltageRange.step : gpRange.step);
        }
        ASSERT_EQ(segment.tags.size(), 1u) << "every segment lists the file's tags";
        EXPECT_NEAR(segment.tags[0].time, 400 / rate, 1e-6);
        EXPECT_EQ(segment.tags[0].text, "Stopped here; sweep 3 padded with its last sample");
    }
}

TEST_F(AbfWriterTest, TagsLandAtTheSampleOfTheirMarkWithTheirTexts) {
    writer->onStartConsuming();
    writer->onMarkTagTime();
    writer->onSaveTagString("first");
    feedAndWait(0, 300);
    writer->onMarkTagTime();
    const QString longText = QString("0123456789").repeated(8);
    writer->onSaveTagString(longText);
    feedAndWait(300, 200);
    writer->onMarkTagTime();
    writer->onSaveTagString("__INVALIDTAG__"); // stays pending: saved as empty at the next mark
    writer->onMarkTagTime();                   // and this one at the closing
    feed(500, 100);
    writer->onStopConsuming();

    const std::vector<File> read = this->read({recordFile(1, 0), recordFile(4, 0)});
    ASSERT_EQ(read.size(), 2u);
    for (const File& file : read) {
        ASSERT_EQ(file.size(), 1u);
        const std::vector<Tag>& tags = file[0].tags;
        QStringList found;
        for (const Tag& tag : tags)
            found << QString("%1 s: %2").arg(tag.time).arg(tag.text);
        ASSERT_EQ(tags.size(), 5u) << found.join(", ").toStdString();
        const double times[] = {0, 300 / rate, 300 / rate, 500 / rate, 500 / rate};
        const QString texts[] = {"first", longText.left(56), longText.mid(56), "Empty tag 1", "Empty tag 2"};
        for (size_t t = 0; t < 5; t++) {
            EXPECT_NEAR(tags[t].time, times[t], 1e-6) << t;
            EXPECT_EQ(tags[t].text, texts[t]);
        }
        EXPECT_EQ(file[0].channels[0].values.size(), 600u);
    }
}

// A writer that reads only once more than `rows` rows wait: it lags behind by design.
class LaggingWriter : public AbfDataWriterConsumer {
  public:
    LaggingWriter(DeviceDataProducer* producer, uint32_t rows) : AbfDataWriterConsumer(producer) {
        minRows = rows;
    }
};

kv4cl::FramesLost_t gap(uint64_t frames, uint64_t framesAfter) {
    kv4cl::FramesLost_t loss;
    loss.frames = frames;
    loss.framesAfter = framesAfter;
    return loss;
}

TEST_F(AbfWriterTest, TagsAndLossesLandAtTheirFramesInTheChunkThatHoldsThem) {
    use(std::make_unique<LaggingWriter>(producer.get(), 2100));
    setRate(100);
    setDurations(25, 10, 0); // 2500 samples in chunks of 1000; a sample is 10 ms
    writer->onStartConsuming();
    // Every tag is marked, and every loss reported, before the writer has written a frame:
    // each goes by the frame being acquired, or the frame after the gap.
    writer->onMarkTagTime();
    writer->onSaveTagString("start");
    feed(0, 1200, {gap(5, 1150), gap(3, 200)}); // before rows 50 and 1000
    writer->onMarkTagTime();
    writer->onSaveTagString("in the second");
    feed(1200, 900, {gap(4, 1000), gap(1, 400)}); // before rows 1100 and 1700
    writer->onMarkTagTime();
    writer->onSaveTagString("__INVALIDTAG__"); // still waiting for its text at the end
    feed(2100, 500);
    waitUntilFinished(2);

    const std::vector<File> read = this->read({recordFile(1, 0), recordFile(1, 1), recordFile(1, 2)});
    ASSERT_EQ(read.size(), 3u);
    const std::vector<std::vector<std::pair<double, QString>>> tags = {
        {{0, "start"}, {50 / rate, "Lost 5 samples per channel (50 ms)"}},
        {{0, "Lost 3 samples per channel (30 ms)"},
         {100 / rate, "Lost 4 samples per channel (40 ms)"},
         {200 / rate, "in the second"},
         {700 / rate, "Lost 1 sample per channel (10 ms)"}},
        {{100 / rate, "Empty tag 1"}}};
    for (size_t c = 0; c < 3; c++) {
        ASSERT_EQ(read[c].size(), 1u);
        ASSERT_EQ(read[c][0].tags.size(), tags[c].size()) << "chunk " << c;
        for (size_t t = 0; t < tags[c].size(); t++) {
            EXPECT_NEAR(read[c][0].tags[t].time, tags[c][t].first, 1e-6) << "chunk " << c;
            EXPECT_EQ(read[c][0].tags[t].text, tags[c][t].second);
        }
    }
}

TEST_F(AbfWriterTest, AWriterThatFellARingBehindTagsTheSamplesItSkipped) {
    use(std::make_unique<LaggingWriter>(producer.get(), SampleRing::rowCount + 100));
    setRate(1000);
    for (int k = 1; k < 4; k++)
        writer->setChannelActive(k, false);
    writer->onStartConsuming();
    feed(0, 500);
    writer->onMarkTagTime(); // at row 500
    writer->onSaveTagString("skipped");
    feed(500, SampleRing::rowCount - 350); // 150 rows more than the ring holds
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return headerFrames({recordFile(1, 0)}) == std::vector<int64_t>{SampleRing::rowCount}; },
        10000));
    writer->onStopConsuming();

    const std::vector<File> read = this->read({recordFile(1, 0)});
    ASSERT_EQ(read.size(), 1u);
    ASSERT_EQ(read[0].size(), 1u);
    const Segment& segment = read[0][0];
    expectValues(segment.channels[0], expected(150, SampleRing::rowCount, 1), currentRanges[0].step);
    ASSERT_EQ(segment.tags.size(), 2u);
    EXPECT_EQ(segment.tags[0].time, 0.0);
    EXPECT_EQ(segment.tags[0].text, "Lost 150 samples per channel (150 ms)");
    EXPECT_NEAR(segment.tags[1].time, 350 / rate, 1e-6) << "the file begins 150 rows later";
    EXPECT_EQ(segment.tags[1].text, "skipped");
}

TEST_F(AbfWriterTest, ChunksGoOnInNumberedFilesPerChannelUntilTheLimit) {
    setRate(100);
    setDurations(25, 10, 0); // 2500 samples in chunks of 1000
    writer->setChannelActive(2, false);
    writer->onStartConsuming();
    feed(0, 2600);
    waitUntilFinished(2);

    EXPECT_EQ(QDir(path + "cell").entryList({"*.abf"}, QDir::Files).size(), 9);
    EXPECT_FALSE(QFile::exists(recordFile(1, 3)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return files.size() == 3; }, 5000));
    EXPECT_EQ(files,
              (std::vector<QString>{"cell/cell_CH001_000", "cell/cell_CH001_001", "cell/cell_CH001_002"}));
    const std::vector<File> read = this->read({recordFile(2, 0), recordFile(2, 1), recordFile(2, 2)});
    ASSERT_EQ(read.size(), 3u);
    const uint32_t lengths[] = {1000, 1000, 500};
    for (uint32_t c = 0; c < 3; c++) {
        ASSERT_EQ(read[c].size(), 1u);
        EXPECT_EQ(read[c][0].channels[0].name, "I2");
        expectValues(read[c][0].channels[0], expected(1000 * c, lengths[c], 2), currentRanges[1].step);
    }
}

// A writer whose files hold only a few samples, as if they were full.
class SmallFilesWriter : public AbfDataWriterConsumer {
  public:
    explicit SmallFilesWriter(DeviceDataProducer* producer) : AbfDataWriterConsumer(producer) {
        maxFileSamples = 300;
    }
};

TEST_F(AbfWriterTest, ARecordingLongerThanAFileHoldsGoesOnInChunks) {
    use(std::make_unique<SmallFilesWriter>(producer.get()));
    writer->onStartConsuming();
    feed(0, 700);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(recordFile(1, 2)); }, 5000));
    writer->onStopConsuming();

    const std::vector<File> read = this->read({recordFile(1, 0), recordFile(1, 1), recordFile(1, 2)});
    ASSERT_EQ(read.size(), 3u);
    const uint32_t lengths[] = {300, 300, 100};
    for (uint32_t c = 0; c < 3; c++) {
        ASSERT_EQ(read[c].size(), 1u);
        expectValues(read[c][0].channels[0], expected(300 * c, lengths[c], 1), currentRanges[0].step);
    }
}

TEST_F(AbfWriterTest, AFullDiskLeavesEveryFileOpenWithTheSameWholeFrames) {
    if (!kv4test::FullDisk::available()) GTEST_SKIP() << "no /dev/full to fail writes as a full disk";
    // The room left once the first frames are on disk runs out within the next pass in the
    // first file, in the second, or at once.
    for (const qint64 room : {6000, 10000, 0}) {
        const kv4test::FullDisk disk(1 << 20);
        use(std::make_unique<kv4test::WriterOnDisk<AbfDataWriterConsumer>>(producer.get(), disk));
        setRate(rate);
        writer->setChannelActive(1, false);
        states.clear();
        boxes.clear();
        writer->onStartConsuming();
        const QStringList names = {plan.folder() + "cell_CH001_000.abf", plan.folder() + "cell_CH003_000.abf",
                                   plan.folder() + "cell_CH004_000.abf"};
        feed(0, 1000);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return headerFrames(names) == std::vector<int64_t>(3, 1000); }, 5000));
        disk.leaveRoom(room);
        feed(1000, 3000);
        ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
        closeNextBox();
        ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && boxes.size() == 1; }, 5000));

        const QString folder = QDir::toNativeSeparators(plan.folder().chopped(1));
        EXPECT_TRUE(boxes[0].startsWith("Warning: Couldn't write the recording file in " + folder +
                                        ": no space left on the device."))
            << boxes[0].toStdString();
        const std::vector<File> read = this->read(names);
        ASSERT_EQ(read.size(), 3u) << room;
        const size_t frames = read[0][0].channels[0].values.size();
        EXPECT_GE(frames, 1000u) << "what was written before stays";
        const uint32_t columns[] = {1, 3, 4};
        const double steps[] = {currentRanges[0].step, currentRanges[2].step, gpRange.step};
        for (size_t f = 0; f < 3; f++) {
            ASSERT_EQ(read[f].size(), 1u);
            ASSERT_EQ(read[f][0].channels.size(), 2u);
            expectValues(read[f][0].channels[0], expected(0, uint32_t(frames), columns[f]), steps[f]);
            expectValues(read[f][0].channels[1], expected(0, uint32_t(frames), 0), voltageRange.step);
        }
    }
}

TEST_F(AbfWriterTest, ADiskFullAtAChunkSwitchKeepsTheFullChunksAndNoEmptyOne) {
    if (!kv4test::FullDisk::available()) GTEST_SKIP() << "no /dev/full to fail writes as a full disk";
    const kv4test::FullDisk disk(1 << 20);
    use(std::make_unique<kv4test::WriterOnDisk<AbfDataWriterConsumer>>(producer.get(), disk));
    setRate(100);
    setDurations(25, 10, 0); // chunks of 1000 samples
    writer->onStartConsuming();
    feed(0, 999);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return headerFrames({recordFile(1, 0)}) == std::vector<int64_t>{999}; }, 5000));
    disk.leaveRoom(0); // the last frame still fits in a block the file has
    feed(999, 1);
    feed(1000, 100);
    ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
    closeNextBox();
    ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && boxes.size() == 1; }, 5000));
    EXPECT_TRUE(boxes[0].contains(": no space left on the device.")) << boxes[0].toStdString();
    EXPECT_EQ(QDir(path + "cell").entryList({"*.abf"}, QDir::Files),
              (QStringList{"cell_CH001_000.abf", "cell_CH002_000.abf", "cell_CH003_000.abf",
                           "cell_CH004_000.abf"}));
    const std::vector<File> read = this->read({recordFile(1, 0), recordFile(4, 0)});
    ASSERT_EQ(read.size(), 2u);
    expectValues(read[0][0].channels[0], expected(0, 1000, 1), currentRanges[0].step);
    expectValues(read[1][0].channels[0], expected(0, 1000, 4), gpRange.step);
}

TEST_F(AbfWriterTest, FilesCutShortWithoutClosingOpenWithTheFramesWritten) {
    setDurations(0, 0, 0.05); // sweeps, which a cut file cannot tell yet: it reads as one
    // Within a first pass, and over several.
    for (const uint32_t rows : {700u, 2600u}) {
        writer->onStartConsuming();
        QStringList names;
        for (int channel = 1; channel <= 4; channel++)
            names << plan.folder() + QString("cell_CH%1_000.abf").arg(channel, 3, 10, QChar('0'));
        feed(0, rows);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return headerFrames(names) == std::vector<int64_t>(4, rows); }, 5000));
        // As a crash leaves them: the header as last brought up to date, then half a frame.
        QStringList cut;
        for (const QString& name : names) {
            cut << QString(name).replace(".abf", "_cut.abf");
            ASSERT_TRUE(QFile::copy(name, cut.back()));
            QFile file(cut.back());
            ASSERT_TRUE(file.open(QIODevice::Append));
            file.write("\x12\x34", 2);
        }
        writer->onStopConsuming();
        const std::vector<File> read = this->read(cut);
        ASSERT_EQ(read.size(), 4u);
        for (uint32_t f = 0; f < 4; f++) {
            ASSERT_EQ(read[f].size(), 1u) << rows;
            ASSERT_EQ(read[f][0].channels.size(), 2u);
            expectValues(read[f][0].channels[0], expected(0, rows, f + 1),
                         f < 3 ? currentRanges[f].step : gpRange.step);
            expectValues(read[f][0].channels[1], expected(0, rows, 0), voltageRange.step);
        }
    }
}

TEST_F(AbfWriterTest, AChunkThatCannotBeOpenedEndsTheRecordingAndKeepsTheFullFiles) {
    EXPECT_EQ(recordWithSpoiledSecondChunk([&] { return QDir().mkdir(recordFile(3, 1)); }),
              "Warning: Couldn't open the recording file");
    EXPECT_FALSE(QFile::exists(recordFile(1, 1))) << "the chunk's files opened before are removed";
}

} // namespace
