// The ABF writer on a real producer fed with scripted rows, beside a virtual amplifier that
// gives the header its model. Its files are read back by an independent reader, Neo, which
// must find the values, units, channel names, rate, sweeps and tags that went in; and by the
// program's own reader, which must take its chunks' channel files as one recording.

#include "acquisition/samplering.h"
#include "recording/abfdatawriterconsumer.h"
#include "recording/recordingreader.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/recording/fulldisk.h"
#include "tests/recording/writerfixture.h"
#include "tests/support/childprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QtEndian>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace {

const char* const python = "/usr/bin/python3";

// Prints, per file, per segment: every channel with its name, unit, rate, start and values,
// and the tags with their times and texts.
const char* const readerScript = R"(
import ast, json, sys
from neo.io import AxonIO

def text(comment):
    comment = comment.decode('ascii') if isinstance(comment, bytes) else str(comment)
    # Neo hands the comment over as the text of a bytes object.
    if comment[:2] in ("b'", 'b"'):
        comment = ast.literal_eval(comment).decode('ascii')
    return comment.rstrip()

print(json.dumps([[{
    'channels': [{'name': str(s.array_annotations['channel_names'][c]),
                  'unit': s.units.dimensionality.string,
                  'rate': float(s.sampling_rate.rescale('Hz').magnitude),
                  'start': float(s.t_start.rescale('s').magnitude),
                  'values': [float(v) for v in s.magnitude[:, c]]}
                 for s in segment.analogsignals for c in range(s.shape[1])],
    'tags': [{'time': float(t), 'text': text(c)} for e in segment.events
             for t, c in zip(e.times.rescale('s').magnitude, e.annotations['comments'])]}
    for segment in AxonIO(filename=path).read_block().segments] for path in sys.argv[1:]]))
)";

// The words of the scripted rows: the extremes first, then a spread over the whole range.
uint16_t abfWord(uint32_t row, uint32_t column) {
    static const uint16_t extremes[] = {0x8000, 0x7FFF, 0x0000, 0xFFFF};
    if (row < 4) return extremes[row];
    return uint16_t(row * 7919u * (column + 1) + column * 12345u);
}

// A writer that reads only once more than `rows` rows wait, and whose files hold at most
// `samples` samples, as if they were full.
class SlowWriter : public AbfDataWriterConsumer {
  public:
    SlowWriter(DeviceDataProducer* producer, uint32_t rows, int64_t samples = AbfFile::maxSamples)
        : AbfDataWriterConsumer(producer) {
        minRows = rows;
        maxFileSamples = samples;
    }
};

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
    const double steps[5] = {voltageRange.step, currentRanges[0].step, currentRanges[1].step,
                             currentRanges[2].step, gpRange.step};

    void SetUp() override {
        if (!QFile::exists(python)) GTEST_SKIP() << python << " is missing";
        const kv4test::ProgramRun probe = kv4test::runProgram(python, {"-c", "import neo.io"});
        if (!probe.succeeded()) GTEST_SKIP() << "python3-neo is missing: " << probe.err.toStdString();
        connectTo("cedar");
        if (HasFatalFailure()) return;
        prepare(3, 1);
        word = abfWord;
        plan.format = 1;
        use(std::make_unique<AbfDataWriterConsumer>(producer.get()));
        producer->start();
    }
    // The writer with the channels' ranges, at `hz`.
    void use(std::unique_ptr<AbfDataWriterConsumer> newWriter, double hz = 3000) {
        WriterFixture::use(std::move(newWriter), hz);
        rate = hz;
        writer->onVoltageRangeChanged(voltageRange);
        for (int i = 0; i < 3; i++)
            writer->onCurrentRangeChanged(currentRanges[size_t(i)], i);
        writer->onGpRangeChanged(gpRange, 0);
    }

    // The values that rows first.. hold in column `column` of the row (0 the voltage, then
    // the current channels and the gp channel), as the file should give them back.
    std::vector<double> expected(uint32_t first, uint32_t count, uint32_t column) const {
        std::vector<double> values;
        for (uint32_t k = first; k < first + count; k++) {
            const uint16_t w = abfWord(k, column);
            // gp words are offset binary from the range's minimum
            values.push_back(column < 4 ? int16_t(w) * steps[column] : gpRange.min + w * gpRange.step);
        }
        return values;
    }

    // That a channel as Neo read it holds the values of rows first.. of column `column`.
    void expectValues(const QJsonValue& channel, uint32_t first, uint32_t count, uint32_t column) const {
        const std::vector<double> values = expected(first, count, column);
        const QJsonArray read = channel["values"].toArray();
        ASSERT_EQ(size_t(read.size()), values.size()) << channel["name"].toString().toStdString();
        for (size_t k = 0; k < values.size(); k++)
            ASSERT_NEAR(read[qsizetype(k)].toDouble(), values[k], steps[column])
                << channel["name"].toString().toStdString() << " sample " << k;
    }

    // The files, read by Neo; empty with a failure when it cannot.
    static QJsonArray read(const QStringList& names) {
        const kv4test::ProgramRun neo = kv4test::runProgram(python, QStringList{"-c", readerScript} + names);
        EXPECT_TRUE(neo.succeeded()) << neo.err.toStdString();
        const QJsonArray files = QJsonDocument::fromJson(neo.out).array();
        EXPECT_EQ(files.size(), names.size());
        return files;
    }

    // A segment's tags, each as "sample: text".
    QStringList tags(const QJsonValue& segment) const {
        QStringList found;
        for (const QJsonValue& tag : segment["tags"].toArray())
            found << QString("%1: %2").arg(qRound(tag["time"].toDouble() * rate)).arg(tag["text"].toString());
        return found;
    }

    QString recordFile(int channel, int counter) const {
        return plan.folder() +
               QString("cell_CH%1_%2.abf").arg(channel, 3, 10, QChar('0')).arg(counter, 3, 10, QChar('0'));
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
    bool waitForHeaders(const QStringList& names, int64_t frames) {
        return QTest::qWaitFor(
            [&] { return headerFrames(names) == std::vector<int64_t>(size_t(names.size()), frames); }, 10000);
    }

    double rate = 0;
};

TEST_F(AbfWriterTest, SweepsAreSegmentsBackToBackAShortLastOneFilledUpAndTagged) {
    limit(0, 0, 150);
    writer->onStartConsuming();
    feed(0, 400);
    const QStringList names = {recordFile(1, 0), recordFile(2, 0), recordFile(3, 0), recordFile(4, 0)};
    ASSERT_TRUE(waitForHeaders(names, 400));
    // Files cut short as a crash leaves them, the header as last brought up to date, then half
    // a frame, open with the frames written; as one sweep, which they cannot tell yet.
    QStringList cut;
    for (const QString& name : names) {
        cut << QString(name).replace(".abf", "_cut.abf");
        ASSERT_TRUE(QFile::copy(name, cut.back()));
        QFile file(cut.back());
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("\x12\x34", 2);
    }
    writer->onStopConsuming();
    const QJsonArray cutRead = this->read(cut);
    ASSERT_EQ(cutRead.size(), 4);
    for (uint32_t f = 0; f < 4; f++) {
        ASSERT_EQ(cutRead[f].toArray().size(), 1);
        expectValues(cutRead[f][0]["channels"][0], 0, 400, f + 1);
        expectValues(cutRead[f][0]["channels"][1], 0, 400, 0);
    }

    const QJsonArray read = this->read({recordFile(4, 0)});
    ASSERT_EQ(read.size(), 1);
    ASSERT_EQ(read[0].toArray().size(), 3);
    for (qsizetype s = 0; s < 3; s++) {
        const QJsonValue segment = read[0][s];
        ASSERT_EQ(segment["channels"].toArray().size(), 2);
        EXPECT_NEAR(segment["channels"][0]["start"].toDouble(), s * 150 / rate, 1e-6);
        // Every reader cuts sweeps of the header's length: the last one's is the same.
        const uint32_t written = s < 2 ? 150 : 100;
        for (const uint32_t column : {4u, 0u}) {
            std::vector<double> values = expected(uint32_t(s) * 150, written, column);
            values.resize(150, values.back());
            const QJsonArray found = segment["channels"][column == 0 ? 1 : 0]["values"].toArray();
            ASSERT_EQ(found.size(), 150);
            for (qsizetype k = 0; k < 150; k++)
                ASSERT_NEAR(found[k].toDouble(), values[size_t(k)], steps[column]) << s << " " << k;
        }
        EXPECT_EQ(tags(segment), QStringList{"400: Stopped here; sweep 3 padded with its last sample"})
            << "every segment lists the file's tags";
    }
}

// Chunks of 2000 samples asked for, in files that hold 1000: a recording longer than a file
// holds goes on in chunks of a file each. Each active channel gets its files, with its values,
// name and unit and the voltage's. At a rate whose interval, 51.2 us, a float does not hold.
TEST_F(AbfWriterTest, EachActiveChannelsChunksHoldTheirFramesWithTheTagsAndLossesAtTheirPlaces) {
    use(std::make_unique<SlowWriter>(producer.get(), 2100, 1000), 19531.25);
    limit(2500, 2000);
    writer->setChannelActive(1, false); // no files of its own
    writer->onStartConsuming();
    // Every tag is marked, and every loss reported, before the writer has written a frame:
    // each goes by the frame being acquired, or the frame after the gap.
    writer->onMarkTagTime();
    writer->onSaveTagString("start");
    feed(0, 1200, {gap(5, 1150), gap(3, 200)}); // before rows 50 and 1000
    writer->onMarkTagTime();
    const QString longText = QString("0123456789").repeated(8); // more than a tag holds
    writer->onSaveTagString(longText);
    feed(1200, 900, {gap(4, 1000), gap(1, 400)}); // before rows 1100 and 1700
    writer->onMarkTagTime();
    writer->onSaveTagString("__INVALIDTAG__"); // stays pending: saved as empty at the next mark
    writer->onMarkTagTime();                   // and this one at the end
    feed(2100, 500);
    waitUntilFinished(2);

    QStringList written = {"cell.kdh"};
    for (const int channel : {1, 3, 4})
        for (const int chunk : {0, 1, 2})
            written << QFileInfo(recordFile(channel, chunk)).fileName();
    EXPECT_EQ(QDir(plan.folder()).entryList(QDir::Files), written);
    EXPECT_EQ(files,
              (std::vector<QString>{"cell/cell_CH001_000", "cell/cell_CH001_001", "cell/cell_CH001_002"}));
    const QJsonArray read = this->read(
        {recordFile(1, 0), recordFile(1, 1), recordFile(1, 2), recordFile(3, 0), recordFile(4, 0)});
    ASSERT_EQ(read.size(), 5);
    const QStringList chunkTags[] = {{"0: start", "50: Lost 5 samples per channel (0.256 ms)"},
                                     {"0: Lost 3 samples per channel (0.1536 ms)",
                                      "100: Lost 4 samples per channel (0.2048 ms)",
                                      "200: " + longText.left(56), "200: " + longText.mid(56),
                                      "700: Lost 1 sample per channel (0.0512 ms)"},
                                     {"100: Empty tag 1", "100: Empty tag 2"}};
    for (qsizetype c = 0; c < 3; c++) {
        ASSERT_EQ(read[c].toArray().size(), 1);
        EXPECT_EQ(tags(read[c][0]), chunkTags[c]) << "chunk " << c;
        expectValues(read[c][0]["channels"][0], 1000 * uint32_t(c), c < 2 ? 1000 : 500, 1);
    }
    // Each file with its channel's name, unit and values, and the voltage's.
    const struct {
        qsizetype file;
        uint32_t column;
        const char* name;
        const char* unit;
    } channels[] = {{0, 1, "I1", "pA"}, {3, 3, "I3", "uA"}, {4, 4, "GP1", "V"}};
    for (const auto& c : channels) {
        ASSERT_EQ(read[c.file][0]["channels"].toArray().size(), 2);
        const QJsonValue signal = read[c.file][0]["channels"][0], voltage = read[c.file][0]["channels"][1];
        EXPECT_EQ(signal["name"].toString(), c.name);
        EXPECT_EQ(signal["unit"].toString(), c.unit);
        EXPECT_EQ(voltage["name"].toString(), "V");
        EXPECT_EQ(voltage["unit"].toString(), "mV");
        for (const QJsonValue& channel : {signal, voltage})
            EXPECT_NEAR(channel["rate"].toDouble(), rate, rate * 1e-6);
        expectValues(signal, 0, 1000, c.column);
        expectValues(voltage, 0, 1000, 0);
    }

    // The program's reader, opened by any of the files or by the header: every channel once, the
    // voltage last, a sweep per chunk, the tags and losses at the recording's frames, and every value.
    for (const QString& opened : {recordFile(4, 1), plan.folder() + "cell.kdh"}) {
        SCOPED_TRACE(opened.toStdString());
        QString error;
        const std::unique_ptr<RecordingReader> reader = RecordingReader::open(opened, error);
        ASSERT_TRUE(reader) << error.toStdString();
        EXPECT_EQ(std::pair(reader->format, reader->files.size()), std::pair(QString("ABF"), qsizetype(9)));
        QStringList found;
        for (const RecordingReader::Channel& c : reader->channels)
            found << QString("%1 [%2] %3").arg(c.name, c.unit, QString::number(c.rate, 'g', 10));
        for (const RecordingReader::Sweep& s : reader->sweeps)
            found << QString("sweep %1+%2").arg(s.start).arg(s.frames);
        for (const RecordingReader::Tag& t : reader->tags)
            found << QString("%1: %2").arg(t.frame).arg(t.text);
        for (const RecordingReader::Loss& l : reader->losses)
            found << QString("%1 lost before %2").arg(l.frames).arg(l.frame);
        QStringList wanted = {"I1 [pA] 19531.25", "I3 [uA] 19531.25", "GP1 [V] 19531.25", "V [mV] 19531.25",
                              "sweep 0+1000",     "sweep 1000+1000",  "sweep 2000+500"};
        for (qsizetype c = 0; c < 3; c++)
            for (const QString& tag : chunkTags[c])
                wanted << QString("%1:%2")
                              .arg(tag.section(':', 0, 0).toInt() + 1000 * c)
                              .arg(tag.section(':', 1));
        wanted << "5 lost before 50"
               << "3 lost before 1000"
               << "4 lost before 1100"
               << "1 lost before 1700";
        EXPECT_EQ(found, wanted);
        std::vector<float> values(2500 * 4);
        ASSERT_TRUE(reader->read(0, 2500, values.data()));
        const uint32_t columns[] = {1, 3, 4, 0};
        for (uint32_t c = 0; c < 4; c++) {
            const std::vector<double> column = expected(0, 2500, columns[c]);
            for (uint32_t f = 0; f < 2500; f++)
                ASSERT_NEAR(values[f * 4 + c], column[f], steps[columns[c]] / 100)
                    << "frame " << f << " column " << c;
        }
    }
}

TEST_F(AbfWriterTest, AWriterThatFellARingBehindTagsTheSamplesItSkipped) {
    use(std::make_unique<SlowWriter>(producer.get(), SampleRing::rowCount + 100), 1000);
    for (int k = 1; k < 4; k++)
        writer->setChannelActive(k, false);
    writer->onStartConsuming();
    feed(0, 500);
    writer->onMarkTagTime(); // at row 500
    writer->onSaveTagString("skipped");
    feed(500, SampleRing::rowCount - 350); // 150 rows more than the ring holds
    ASSERT_TRUE(waitForHeaders({recordFile(1, 0)}, SampleRing::rowCount));
    writer->onStopConsuming();

    const QJsonArray read = this->read({recordFile(1, 0)});
    ASSERT_EQ(read.size(), 1);
    ASSERT_EQ(read[0].toArray().size(), 1);
    expectValues(read[0][0]["channels"][0], 150, SampleRing::rowCount, 1);
    // The file begins 150 rows later.
    EXPECT_EQ(tags(read[0][0]), (QStringList{"0: Lost 150 samples per channel (150 ms)", "350: skipped"}));
}

// A full disk or a chunk that cannot be opened ends the recording with a warning; every file
// it leaves opens with the same whole frames, and no chunk is left empty.
TEST_F(AbfWriterTest, AFailureEndsTheRecordingAndEveryFileOpensWithTheSameWholeFrames) {
    if (!kv4test::FullDisk::available()) GTEST_SKIP() << "no /dev/full to fail writes as a full disk";
    const QString noSpace = "Couldn't write the recording file in %1: no space left on the device.";
    const struct {
        const char* name;
        uint32_t chunk;
        uint32_t first;  // frames written before the failure
        qint64 room;     // bytes left then; -1: a folder where a file of the next chunk goes
        uint32_t frames; // of the files left; 0: at least `first`
        QString box;
    } cases[] = {
        {"the disk full within the next pass in the first file", 0, 1000, 6000, 0, noSpace},
        {"the disk full within the next pass in the second file", 0, 1000, 10000, 0, noSpace},
        {"the disk full at once", 0, 1000, 0, 0, noSpace},
        // The last frame still fits in a block the file has.
        {"the disk full at a chunk's end", 1000, 999, 0, 1000, noSpace},
        {"a chunk that cannot be opened", 1000, 999, -1, 1000, "Couldn't open the recording file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const kv4test::FullDisk disk(1 << 20);
        use(std::make_unique<kv4test::WriterOnDisk<AbfDataWriterConsumer>>(producer.get(), disk));
        limit(c.chunk ? 2500 : 0, c.chunk);
        states.clear();
        warnings.clear();
        writer->onStartConsuming();
        const QStringList names = {recordFile(1, 0), recordFile(2, 0), recordFile(3, 0), recordFile(4, 0)};
        feed(0, c.first);
        ASSERT_TRUE(waitForHeaders(names, c.first));
        if (c.room < 0) {
            ASSERT_TRUE(QDir().mkdir(recordFile(3, 1)));
        } else {
            disk.leaveRoom(c.room);
        }
        feed(c.first, 3000);
        ASSERT_TRUE(writer->wait(QDeadlineTimer(10000)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return states.size() == 2 && warnings.size() == 1; }, 5000));

        EXPECT_TRUE(warnings[0].startsWith(
            QString(c.box).replace("%1", QDir::toNativeSeparators(plan.folder().chopped(1)))))
            << warnings[0].toStdString();
        // The chunk's files opened before the one that failed are removed.
        EXPECT_EQ(QDir(plan.folder()).entryList({"*.abf"}, QDir::Files),
                  (QStringList{"cell_CH001_000.abf", "cell_CH002_000.abf", "cell_CH003_000.abf",
                               "cell_CH004_000.abf"}));
        const QJsonArray read = this->read(names);
        ASSERT_EQ(read.size(), 4);
        const auto frames = uint32_t(read[0][0]["channels"][0]["values"].toArray().size());
        if (c.frames) {
            EXPECT_EQ(frames, c.frames);
        }
        EXPECT_GE(frames, c.first) << "what was written before stays";
        for (qsizetype f = 0; f < 4; f++) {
            ASSERT_EQ(read[f].toArray().size(), 1);
            expectValues(read[f][0]["channels"][0], 0, frames, uint32_t(f) + 1);
            expectValues(read[f][0]["channels"][1], 0, frames, 0);
        }
        dropWriter();
    }
}

} // namespace
