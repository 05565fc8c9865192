// Recordings read back: made by the writers from scripted rows whose words are known, read
// across their chunk files and sweeps as one sequence; files of other programs against what Neo
// reads in them; broken files refused with what is wrong and where.

#include "recording/abfdatawriterconsumer.h"
#include "recording/datdatawriterconsumer.h"
#include "recording/labbookevent.h"
#include "recording/recordingreader.h"
#include "tests/recording/writerfixture.h"
#include "tests/support/childprocess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

#include <memory>
#include <vector>

namespace {

// Words that cover both signs and the whole range, different in every column.
uint16_t spreadWord(uint32_t row, uint32_t column) {
    return uint16_t(row * 7919u * (column + 1) + column * 12345u);
}

std::unique_ptr<RecordingReader> openOrFail(const QString& path) {
    QString error;
    std::unique_ptr<RecordingReader> reader = RecordingReader::open(path, error);
    EXPECT_TRUE(reader) << error.toStdString();
    EXPECT_EQ(error, "");
    return reader;
}

std::vector<float> readAll(const RecordingReader& reader) {
    std::vector<float> values(size_t(reader.frames) * reader.channels.size());
    EXPECT_TRUE(reader.read(0, reader.frames, values.data()));
    return values;
}

QStringList names(const RecordingReader& reader) {
    QStringList found;
    for (const RecordingReader::Channel& c : reader.channels)
        found << c.name + " [" + c.unit + "]";
    return found;
}

bool replaceIn(const QString& path, const QByteArray& from, const QByteArray& to) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray bytes = file.readAll();
    file.close();
    return bytes.contains(from) && file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes.replace(from, to)) == bytes.size();
}

class DatReadBack : public kv4test::WriterFixture<DatDataWriterConsumer> {};

// Fir: eight current channels and a gp channel, in chunks of 400 frames. The source turns word w
// into w x (i + 1) on current channel i, w x 100 + g on gp channel g (unsigned) and w / 2 on the
// voltage.
TEST_F(DatReadBack, EveryValueOfEveryChunkWithTheExactRateStartAndTheLabBooksLoss) {
    connectTo("fir");
    ASSERT_FALSE(HasFatalFailure());
    prepare(8, 1);
    word = spreadWord;
    limit(0, 400);
    use(std::make_unique<DatDataWriterConsumer>(producer.get()));
    producer->start();
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    writer->onStartConsuming();
    feed(0, 1000);
    writer->onStopConsuming();
    const QString folder = plan.folder();
    // A loss as the program notes it in the recording's lab book: 12 frames before frame 34 of
    // the second chunk.
    QFile labbook(folder + "cell_lab_book.txt");
    ASSERT_TRUE(labbook.open(QIODevice::WriteOnly));
    labbook.write("_Started recording: now\n" +
                  LabbookEventSamplesLost(12, 1000, "cell_001.dat", 34).lineText().toUtf8() + "\n");
    labbook.close();

    const std::unique_ptr<RecordingReader> reader = openOrFail(folder + "cell_001.dat");
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->format, "DAT");
    EXPECT_EQ(reader->files.size(), 3);
    QStringList columns;
    for (int c = 1; c <= 8; c++)
        columns << QString("Ch%1").arg(c);
    columns << producer->gpChannelNames()[0] << "V1";
    QStringList found;
    for (const RecordingReader::Channel& c : reader->channels)
        found << c.name;
    EXPECT_EQ(found, columns);
    // Each with the unit the header gives it.
    QFile header(folder + "cell.kdh");
    ASSERT_TRUE(header.open(QIODevice::ReadOnly));
    EXPECT_TRUE(header.readAll().contains("\nColumns: " + names(*reader).join("; ").toUtf8() + "\n"));
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    for (const RecordingReader::Channel& c : reader->channels)
        EXPECT_EQ(c.rate, rate.getNoPrefixValue());
    EXPECT_TRUE(reader->start >= before && reader->start <= QDateTime::currentDateTime())
        << reader->start.toString().toStdString();
    ASSERT_EQ(reader->frames, 1000);
    EXPECT_EQ(reader->sweeps.size(), 1u);
    ASSERT_EQ(reader->losses.size(), 1u);
    EXPECT_EQ(std::pair(reader->losses[0].frame, reader->losses[0].frames),
              std::pair(int64_t(434), int64_t(12)));

    const std::vector<float> values = readAll(*reader);
    for (uint32_t f = 0; f < 1000; f++) {
        std::vector<float> wanted;
        for (uint32_t i = 0; i < 8; i++)
            wanted.push_back(float(int16_t(spreadWord(f, 1 + i)) * (i + 1.0)));
        wanted.push_back(float(spreadWord(f, 9) * 100.0));
        wanted.push_back(float(int16_t(spreadWord(f, 0)) / 2.0));
        ASSERT_EQ(std::vector<float>(values.begin() + f * 10, values.begin() + f * 10 + 10), wanted)
            << "frame " << f;
    }
    // A stretch across two chunks reads as the same frames.
    std::vector<float> across(20 * 10);
    ASSERT_TRUE(reader->read(390, 20, across.data()));
    EXPECT_EQ(across, std::vector<float>(values.begin() + 3900, values.begin() + 4100));
    EXPECT_FALSE(reader->read(990, 11, across.data()));

    // A header of before the exact line: the rate from its label, cut to 8 characters.
    ASSERT_TRUE(replaceIn(folder + "cell.kdh", "Sampling rate [Hz]:", "Something else:"));
    const std::unique_ptr<RecordingReader> older = openOrFail(folder + "cell.kdh");
    ASSERT_TRUE(older);
    EXPECT_NEAR(older->channels[0].rate, rate.getNoPrefixValue(), rate.getNoPrefixValue() * 1e-6);
}

class AbfReadBack : public kv4test::WriterFixture<AbfDataWriterConsumer> {};

// Three current channels and a gp channel of ranges of their own, in sweeps of 100 frames and
// chunks of 500, a tag and a loss: one recording of 1200 frames.
TEST_F(AbfReadBack, ChannelFilesAndChunksAreOneRecordingWithItsSweepsTagAndLoss) {
    connectTo("fir");
    ASSERT_FALSE(HasFatalFailure());
    prepare(3, 1);
    word = spreadWord;
    plan.format = 1;
    limit(0, 500, 100);
    use(std::make_unique<AbfDataWriterConsumer>(producer.get()), 2500);
    const kv4cl::RangedMeasurement_t ranges[] = {{-1000.0, 1000.0, 0.0305, kv4cl::UnitPfxMilli, "V"},
                                                 {-200.0, 200.0, 0.0061, kv4cl::UnitPfxPico, "A"},
                                                 {-8.0, 8.0, 0.25, kv4cl::UnitPfxNano, "A"},
                                                 {-2.0, 2.0, 1.0 / 16384, kv4cl::UnitPfxMicro, "A"},
                                                 {0.0, 5.0, 5.0 / 65535, kv4cl::UnitPfxNone, "V"}};
    writer->onVoltageRangeChanged(ranges[0]);
    for (int i = 0; i < 3; i++)
        writer->onCurrentRangeChanged(ranges[1 + i], i);
    writer->onGpRangeChanged(ranges[4], 0);
    producer->start();
    writer->onStartConsuming();
    feed(0, 300);
    writer->onMarkTagTime();
    writer->onSaveTagString("stim on");
    feed(300, 300);
    feed(600, 400, {gap(7, 100)}); // before row 900
    feed(1000, 200);
    writer->onStopConsuming();

    const std::unique_ptr<RecordingReader> reader = openOrFail(plan.folder() + "cell_CH004_001.abf");
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->format, "ABF");
    EXPECT_EQ(reader->files.size(), 12) << "four channel files in three chunks";
    EXPECT_EQ(names(*reader), (QStringList{"I1 [pA]", "I2 [nA]", "I3 [uA]",
                                           producer->gpChannelNames()[0] + " [V]", "V [mV]"}));
    for (const RecordingReader::Channel& c : reader->channels)
        EXPECT_EQ(c.rate, 2500.0);
    ASSERT_EQ(reader->frames, 1200);
    ASSERT_EQ(reader->sweeps.size(), 12u);
    for (int64_t s = 0; s < 12; s++)
        EXPECT_EQ(std::pair(reader->sweeps[size_t(s)].start, reader->sweeps[size_t(s)].frames),
                  std::pair(100 * s, int64_t(100)));
    ASSERT_EQ(reader->tags.size(), 2u);
    EXPECT_EQ(std::pair(reader->tags[0].frame, reader->tags[0].text),
              std::pair(int64_t(300), QString("stim on")));
    EXPECT_EQ(reader->tags[1].frame, 900);
    ASSERT_EQ(reader->losses.size(), 1u);
    EXPECT_EQ(std::pair(reader->losses[0].frame, reader->losses[0].frames),
              std::pair(int64_t(900), int64_t(7)));
    EXPECT_TRUE(reader->start.isValid());

    // Current and voltage words are counts of the range's step; a gp word counts up from its minimum.
    const std::vector<float> values = readAll(*reader);
    const uint32_t columns[] = {1, 2, 3, 4, 0};
    for (uint32_t f = 0; f < 1200; f++)
        for (uint32_t c = 0; c < 5; c++) {
            const uint16_t w = spreadWord(f, columns[c]);
            const kv4cl::RangedMeasurement_t& range = ranges[columns[c]];
            const double wanted = c == 3 ? range.min + w * range.step : int16_t(w) * range.step;
            ASSERT_NEAR(values[f * 5 + c], wanted, range.step / 100) << "frame " << f << " channel " << c;
        }
}

// What Neo reads in each file: channels with units and rates, segments with their starts and
// values, and the tags, timed as the file's synch time unit says (Neo's own tag times ignore it).
const char* const neoScript = R"(
import json, sys
from neo.io import AxonIO
from neo.rawio import AxonRawIO

raw = AxonRawIO(filename=sys.argv[1])
raw.parse_header()
info = raw._axon_info
unit = info['protocol']['fSynchTimeUnit']
block = AxonIO(filename=sys.argv[1]).read_block(signal_group_mode='split-all')
first = block.segments[0].analogsignals
rate = float(first[0].sampling_rate.rescale('Hz').magnitude)
print(json.dumps({
    'channels': [{'name': str(s.name), 'unit': s.units.dimensionality.string, 'rate': rate} for s in first],
    'sweeps': [{'start': float(seg.t_start.rescale('s').magnitude), 'frames': int(seg.analogsignals[0].shape[0]),
                'values': [[float(v) for v in s.magnitude[:, 0]] for s in seg.analogsignals]}
               for seg in block.segments],
    'tags': [{'time': t['lTagTime'] * unit / 1e6 if unit else t['lTagTime'] / rate / len(first),
              'text': t['sComment'].decode('latin-1').strip()} for t in info['listTag']]}))
)";

TEST(ForeignAbf, ChannelsUnitsRateSweepsTagsAndValuesAreNeos) {
    const QString python = "/usr/bin/python3";
    const kv4test::ProgramRun probe = kv4test::runProgram(python, {"-c", "import neo.io"});
    if (!probe.succeeded()) GTEST_SKIP() << "python3-neo is missing: " << probe.err.toStdString();
    for (const char* name : {"2018_11_16_sh_0006.abf", "2018_12_15_0000.abf", "File_axon_7.abf"}) {
        SCOPED_TRACE(name);
        const QString path = QString(KAV4_TEST_DATA "/") + name;
        const kv4test::ProgramRun neo = kv4test::runProgram(python, {"-c", neoScript, path});
        ASSERT_TRUE(neo.succeeded()) << neo.err.toStdString();
        const QJsonObject truth = QJsonDocument::fromJson(neo.out).object();
        const std::unique_ptr<RecordingReader> reader = openOrFail(path);
        ASSERT_TRUE(reader);

        const QJsonArray channels = truth["channels"].toArray();
        ASSERT_EQ(reader->channels.size(), size_t(channels.size()));
        for (qsizetype c = 0; c < channels.size(); c++) {
            const RecordingReader::Channel& channel = reader->channels[size_t(c)];
            // This Neo drops the blanks of names ("IN 0").
            EXPECT_EQ(QString(channel.name).remove(' '), channels[c]["name"].toString());
            EXPECT_EQ(channel.unit, channels[c]["unit"].toString());
            EXPECT_NEAR(channel.rate, channels[c]["rate"].toDouble(), channel.rate * 1e-8);
        }
        const double rate = reader->channels[0].rate;
        const QJsonArray sweeps = truth["sweeps"].toArray();
        ASSERT_EQ(reader->sweeps.size(), size_t(sweeps.size()));
        const std::vector<float> values = readAll(*reader);
        int64_t frame = 0;
        for (qsizetype s = 0; s < sweeps.size(); s++) {
            const RecordingReader::Sweep& sweep = reader->sweeps[size_t(s)];
            EXPECT_NEAR(double(sweep.start) / rate, sweeps[s]["start"].toDouble(), 1.0 / rate)
                << "sweep " << s;
            ASSERT_EQ(sweep.frames, sweeps[s]["frames"].toInt()) << "sweep " << s;
            const QJsonArray traces = sweeps[s]["values"].toArray();
            for (qsizetype c = 0; c < traces.size(); c++)
                for (int64_t k = 0; k < sweep.frames; k++) {
                    const double wanted = traces[c][k].toDouble();
                    ASSERT_NEAR(values[size_t((frame + k) * traces.size() + c)], wanted,
                                1e-5 * (1 + std::abs(wanted)))
                        << "sweep " << s << " channel " << c << " frame " << k;
                }
            frame += sweep.frames;
        }
        EXPECT_EQ(frame, reader->frames);
        const QJsonArray tags = truth["tags"].toArray();
        ASSERT_EQ(reader->tags.size(), size_t(tags.size()));
        for (qsizetype t = 0; t < tags.size(); t++) {
            EXPECT_NEAR(double(reader->tags[size_t(t)].frame) / rate, tags[t]["time"].toDouble(), 1.0 / rate);
            EXPECT_EQ(reader->tags[size_t(t)].text, tags[t]["text"].toString());
        }
    }
}

// Broken files, each refused with what is wrong and where; a data file of a part frame at its
// end opens with its whole frames and a note.
TEST_F(DatReadBack, BrokenFilesAreRefusedSayingWhatAndWhere) {
    // Sources: a DAT recording of two current channels, and a copy of a foreign ABF file.
    connectTo("cedar");
    ASSERT_FALSE(HasFatalFailure());
    prepare(2, 0);
    use(std::make_unique<DatDataWriterConsumer>(producer.get()));
    producer->start();
    writer->onStartConsuming();
    feed(0, 100);
    writer->onStopConsuming();
    const QString dat = plan.folder() + "cell_000.dat", kdh = plan.folder() + "cell.kdh";
    const QString abf = path + "foreign.abf";
    ASSERT_TRUE(QFile::copy(KAV4_TEST_DATA "/2018_12_15_0000.abf", abf));
    QFile(abf).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const auto bytes = [](const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray abfBytes = bytes(abf), kdhBytes = bytes(kdh), datBytes = bytes(dat);
    const auto write = [](const QString& file, const QByteArray& content) {
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    };
    const auto patched = [](QByteArray content, int at, const QByteArray& with) {
        return content.replace(at, with.size(), with);
    };

    const struct {
        const char* what;
        QString file;
        QByteArray content; // empty: the file is removed
        QString open;
        QString error; // a regular expression
    } cases[] = {
        {"missing file", abf, {}, abf, "foreign.abf: no such file"},
        {"truncated header", abf, abfBytes.left(300), abf, "foreign.abf: truncated: 300 bytes.*512"},
        {"wrong signature", abf, patched(abfBytes, 0, "RIFF"), abf, "foreign.abf: .*signature at byte 0"},
        {"ABF version 1", abf, patched(abfBytes, 0, "ABF "), abf,
         "foreign.abf: ABF version 1 files are not read yet"},
        // The data section's count of values (at byte 244) made larger than the file.
        {"count past the end", abf, patched(abfBytes, 244, QByteArray("\x00\x00\x00\x01", 4)), abf,
         "foreign.abf: the data section \\(from byte [0-9]+, 16777216 entries of 2 bytes, section map byte "
         "236\\) "
         "runs past the end of the file, which has 180224 bytes"},
        {"data cut short", abf, abfBytes.left(abfBytes.size() - 4096), abf,
         "foreign.abf: the data section .*runs past the end"},
        {"header without data files",
         dat,
         {},
         kdh,
         "cell.kdh: its data files \\(cell_000.dat...\\) are missing"},
        {"data file without header", kdh, {}, dat, "cell_000.dat: no header cell.kdh beside it"},
        {"header without columns", kdh, QByteArray(kdhBytes).replace("Columns:", "Column:"), dat,
         "cell.kdh: no \"Columns:\" line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.content.isEmpty() ? QFile::remove(c.file) : write(c.file, c.content));
        QString error;
        EXPECT_FALSE(RecordingReader::open(c.open, error));
        EXPECT_TRUE(QRegularExpression(c.error).match(error).hasMatch()) << error.toStdString();
        ASSERT_TRUE(write(abf, abfBytes) && write(kdh, kdhBytes) && write(dat, datBytes));
    }

    // Two floats of a part frame after 100 frames of three columns.
    ASSERT_TRUE(write(dat, datBytes + QByteArray(8, '\0')));
    const std::unique_ptr<RecordingReader> reader = openOrFail(kdh);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->frames, 100);
    EXPECT_EQ(reader->notes,
              QStringList{"cell_000.dat: 8 bytes after the last whole frame (12 bytes) are left out"});
}

} // namespace
