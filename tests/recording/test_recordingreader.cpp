// Recordings read back: made by the DAT writer from scripted rows whose words are known, read
// across their chunk files as one sequence (the ABF writer's: its own test); files of other
// programs against what Neo reads in them; broken files refused with what is wrong and where.

#include "recording/datdatawriterconsumer.h"
#include "recording/labbookevent.h"
#include "recording/recordingreader.h"
#include "tests/recording/writerfixture.h"
#include "tests/support/childprocess.h"

#include <QDateTime>
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
    EXPECT_EQ(error, "");
    return reader;
}

std::vector<float> readAll(const RecordingReader& reader) {
    std::vector<float> values(size_t(reader.frames) * reader.channels.size());
    EXPECT_TRUE(reader.read(0, reader.frames, values.data()));
    return values;
}

// What a recording holds besides its values, a line each: "channel NAME [UNIT] RATE",
// "sweep START+FRAMES", "tag FRAME: TEXT", "loss FRAMES before FRAME".
QString outline(const RecordingReader& r) {
    QStringList lines;
    for (const RecordingReader::Channel& c : r.channels)
        lines << QString("channel %1 [%2] %3").arg(c.name, c.unit, QString::number(c.rate, 'g', 10));
    for (const RecordingReader::Sweep& s : r.sweeps)
        lines << QString("sweep %1+%2").arg(s.start).arg(s.frames);
    for (const RecordingReader::Tag& t : r.tags)
        lines << QString("tag %1: %2").arg(t.frame).arg(t.text);
    for (const RecordingReader::Loss& l : r.losses)
        lines << QString("loss %1 before %2").arg(l.frames).arg(l.frame);
    return lines.join('\n');
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

class DatReadBack : public kv4test::WriterFixture<DatDataWriterConsumer> {};

// Fir: eight current channels and a gp channel, in chunks of 400 frames. The source turns word w
// into w x (i + 1) on current channel i, w x 100 + g on gp channel g (unsigned) and w / 2 on the
// voltage. Then the recording broken in turn: each refused saying what and where.
TEST_F(DatReadBack, ChunksAsOneWithTheExactRateStartAndLabBookLossAndBrokenOnesRefused) {
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
    // A loss as the program notes it in the recording's lab book: 12 frames before frame 34 of
    // the second chunk.
    const QString kdh = plan.folder() + "cell.kdh", dat = plan.folder() + "cell_000.dat";
    ASSERT_TRUE(write(plan.folder() + "cell_lab_book.txt",
                      LabbookEventSamplesLost(12, 1000, "cell_001.dat", 34).lineText().toUtf8() + "\n"));

    std::unique_ptr<RecordingReader> reader = openOrFail(plan.folder() + "cell_001.dat");
    ASSERT_TRUE(reader);
    EXPECT_EQ(std::pair(reader->format, reader->files.size()), std::pair(QString("DAT"), qsizetype(3)));
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    const QByteArray header = contents(kdh);
    const QRegularExpressionMatch columns = QRegularExpression("\nColumns: (.*)\n").match(header);
    QString wanted;
    for (QString column : columns.captured(1).split("; "))
        wanted += "channel " + column + " " + QString::number(rate.getNoPrefixValue(), 'g', 10) + "\n";
    EXPECT_EQ(outline(*reader), wanted + "sweep 0+1000\nloss 12 before 434");
    EXPECT_TRUE(reader->start >= before && reader->start <= QDateTime::currentDateTime());

    const std::vector<float> values = readAll(*reader);
    ASSERT_EQ(values.size(), 1000u * 10);
    for (uint32_t f = 0; f < 1000; f++) {
        std::vector<float> frame;
        for (uint32_t i = 0; i < 8; i++)
            frame.push_back(float(int16_t(spreadWord(f, 1 + i)) * (i + 1.0)));
        frame.push_back(float(spreadWord(f, 9) * 100.0));
        frame.push_back(float(int16_t(spreadWord(f, 0)) / 2.0));
        ASSERT_EQ(std::vector<float>(values.begin() + f * 10, values.begin() + f * 10 + 10), frame) << f;
    }
    // A stretch across two chunks is the same frames; one past the end is refused.
    std::vector<float> across(20 * 10);
    ASSERT_TRUE(reader->read(390, 20, across.data()));
    EXPECT_EQ(across, std::vector<float>(values.begin() + 3900, values.begin() + 4100));
    EXPECT_FALSE(reader->read(990, 11, across.data()));

    // A header of before the exact line: the rate of its label, cut to 8 characters.
    ASSERT_TRUE(write(kdh, QByteArray(header).replace("Sampling rate [Hz]:", "Before:")));
    ASSERT_TRUE(reader = openOrFail(kdh));
    EXPECT_NEAR(reader->channels[0].rate, rate.getNoPrefixValue(), rate.getNoPrefixValue() * 1e-6);

    // Two floats of a part frame after the first chunk's 400 frames of ten columns.
    const QByteArray data = contents(dat);
    ASSERT_TRUE(write(dat, data + QByteArray(8, '\0')));
    ASSERT_TRUE(reader = openOrFail(kdh));
    EXPECT_EQ(reader->frames, 1000);
    EXPECT_EQ(reader->notes,
              QStringList{"cell_000.dat: 8 bytes after the last whole frame (40 bytes) are left out"});

    // A foreign ABF file broken in turn, then the DAT recording.
    const QString abf = path + "foreign.abf";
    const QByteArray abfBytes = contents(KAV4_TEST_DATA "/2018_12_15_0000.abf");
    // An ABF version 1 file: ADCs 5 and 7 in its frames, five sweeps in a synch array.
    const QByteArray abf1Bytes = contents(KAV4_TEST_DATA "/File_axon_3.abf");
    const auto patched = [&](int at, const QByteArray& with, const QByteArray& bytes) {
        return QByteArray(bytes).replace(at, with.size(), with);
    };
    const struct {
        QString file;
        QByteArray content; // empty: the file is removed
        QString open;
        QString error; // a regular expression
    } cases[] = {
        {abf, {}, abf, "foreign.abf: no such file"},
        {abf, abfBytes.left(300), abf,
         "foreign.abf: truncated: 300 bytes, where the ABF header alone takes 512"},
        {abf, patched(0, "RIFF", abfBytes), abf,
         "foreign.abf: .*signature at byte 0 is neither \"ABF2\" nor \"ABF \""},
        // The data section's count of values (at byte 244) larger than the file.
        {abf, patched(244, QByteArray("\x00\x00\x00\x01", 4), abfBytes), abf,
         "foreign.abf: the data section \\(from byte [0-9]+, 16777216 entries of 2 bytes, section map byte "
         "236\\) runs past the end of the file, which has 180224 bytes"},
        {abf, abf1Bytes.left(2000), abf,
         "foreign.abf: truncated: 2000 bytes, where the ABF version 1 header alone takes 2048"},
        {abf, patched(410, QByteArray("\x10\x00", 2), abf1Bytes), abf,
         "foreign.abf: ADC 16 at byte 410 for channel 0, where 0 to 15 are read"},
        {abf, patched(10, QByteArray("\x00\x00\x00\x01", 4), abf1Bytes), abf,
         "foreign.abf: the data \\(from block 16 at byte 40, 16777216 samples at byte 10\\) do not lie "
         "between the header's 2048 bytes and the end of the file, at byte 421888"},
        {abf, patched(96, QByteArray("\x04", 1), abf1Bytes), abf,
         "foreign.abf: the synch array \\(from byte 421376\\) counts 82576 frames, the data section 103220"},
        {abf, patched(950, QByteArray(4, '\0'), abf1Bytes), abf,
         "foreign.abf: ADC 7 has a zero scale: its gains \\(bytes 758, 1078\\), scale factor \\(byte 950\\)"},
        {dat, {}, kdh, "cell.kdh: its data files \\(cell_000.dat...\\) are missing"},
        {kdh, {}, dat, "cell_000.dat: no header cell.kdh beside it"},
        {kdh, QByteArray(header).replace("Columns:", "Column:"), dat, "cell.kdh: no \"Columns:\" line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error.toStdString());
        ASSERT_TRUE(write(abf, abfBytes) && write(kdh, header) && write(dat, data));
        ASSERT_TRUE(c.content.isEmpty() ? QFile::remove(c.file) : write(c.file, c.content));
        QString error;
        EXPECT_FALSE(RecordingReader::open(c.open, error));
        EXPECT_TRUE(QRegularExpression(c.error).match(error).hasMatch()) << error.toStdString();
    }
}

// What Neo reads in a file, as outline() puts it, and its values frame by frame; tags timed as the
// file's synch time unit says (Neo's own tag times ignore it). This Neo drops the blanks of names.
const char* const neoScript = R"(
import json, sys
from neo.io import AxonIO
from neo.rawio import AxonRawIO

raw = AxonRawIO(filename=sys.argv[1])
raw.parse_header()
info = raw._axon_info
unit = (info['protocol'] if 'protocol' in info else info)['fSynchTimeUnit']
segments = AxonIO(filename=sys.argv[1]).read_block(signal_group_mode='split-all').segments
first = segments[0].analogsignals
rate = float(first[0].sampling_rate.rescale('Hz').magnitude)
lines = ['channel %s [%s] %.10g' % (s.name, s.units.dimensionality.string, rate) for s in first]
lines += ['sweep %d+%d' % (round(float(g.t_start.rescale('s').magnitude) * rate), g.analogsignals[0].shape[0])
          for g in segments]
lines += ['tag %d: %s' % (round(t['lTagTime'] * unit / 1e6 * rate) if unit else t['lTagTime'] // len(first),
                          t['sComment'].decode('latin-1').strip()) for t in raw._axon_info['listTag']]
values = [float(v) for g in segments for f in zip(*[s.magnitude[:, 0] for s in g.analogsignals]) for v in f]
print(json.dumps({'outline': '\n'.join(lines), 'values': values}))
)";

TEST(ForeignAbf, ChannelsUnitsRateSweepsTagsAndValuesAreNeos) {
    const QString python = "/usr/bin/python3";
    const kv4test::ProgramRun probe = kv4test::runProgram(python, {"-c", "import neo.io"});
    if (!probe.succeeded()) GTEST_SKIP() << "python3-neo is missing: " << probe.err.toStdString();
    for (const char* name :
         {"2018_11_16_sh_0006.abf", "2018_12_15_0000.abf", "File_axon_7.abf", "File_axon_3.abf"}) {
        SCOPED_TRACE(name);
        const QString path = QString(KAV4_TEST_DATA "/") + name;
        const kv4test::ProgramRun neo = kv4test::runProgram(python, {"-c", neoScript, path});
        ASSERT_TRUE(neo.succeeded()) << neo.err.toStdString();
        const QJsonObject truth = QJsonDocument::fromJson(neo.out).object();
        const std::unique_ptr<RecordingReader> reader = openOrFail(path);
        ASSERT_TRUE(reader);
        EXPECT_EQ(outline(*reader).remove(' '), truth["outline"].toString().remove(' '));
        const std::vector<float> values = readAll(*reader);
        const QJsonArray wanted = truth["values"].toArray();
        ASSERT_EQ(values.size(), size_t(wanted.size()));
        for (size_t k = 0; k < values.size(); k++)
            ASSERT_NEAR(values[k], wanted[qsizetype(k)].toDouble(), 1e-5 * (1 + std::abs(values[k]))) << k;
    }
}

// An ABF version 1 file whose header tells neither a date, a valid time nor a channel name, nor
// a synch array: its episodes of 2400 frames back to back, and the codes as the dump shows them
// (-4535 at its first frame, -4463 at its last) in steps of 10 V / (0.01 V/pA x 32768).
TEST(ForeignAbf, Version1WithoutDateNamesOrSynchArray) {
    const std::unique_ptr<RecordingReader> reader = openOrFail(KAV4_TEST_DATA "/invalidDate-abf1.abf");
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->start.isValid());
    QString sweeps;
    for (int s = 0; s < 50; s++)
        sweeps += QString("\nsweep %1+2400").arg(s * 2400);
    EXPECT_EQ(outline(*reader), "channel  [pA] 20000" + sweeps);
    const std::vector<float> values = readAll(*reader);
    ASSERT_EQ(values.size(), 120000u);
    const double step = 10.0 / (0.01 * 32768);
    EXPECT_FLOAT_EQ(values.front(), float(-4535 * step));
    EXPECT_FLOAT_EQ(values.back(), float(-4463 * step));
}

} // namespace
