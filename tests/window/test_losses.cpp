// Samples lost between the amplifier and the file, as the user meets them: a virtual amplifier
// in pattern mode makes one of its faults during a recording started and stopped from the
// protocol dock. The frames missing from the recorded pattern are the truth: the acquisition
// info dock must count exactly them, the lab book must note each once with the frame's index
// in the recording, and an ABF recording must mark each where the pattern resumes (a tag
// there, read back by Neo).

#include "commlib/api/kv4cl.h"
#include "recording/labbookevent.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/childprocess.h"
#include "tests/support/connectedwindow.h"
#include "tests/support/labelcolor.h"
#include "window/acquisitioninfodockwidget.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSettings>
#include <QTest>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

namespace {

enum class Fault { None, DropBytes, Stall, DeviceOverflow };

struct Case {
    const char* name;
    Fault fault;
    bool abf;
    int size = 0;           // bytes, or milliseconds
    size_t bufferBytes = 0; // the device's buffer; 0 keeps its default
};

// Frames missing before frame `at` of the file.
struct Gap {
    uint64_t at;
    uint64_t frames;
    bool operator==(const Gap&) const = default;
};

void PrintTo(const Gap& g, std::ostream* os) {
    *os << "{" << g.frames << " before frame " << g.at << "}";
}

// The gaps in a count of which `bits` low bits are known, frame after frame.
std::vector<Gap> gapsIn(const std::vector<uint32_t>& counts, uint32_t mask) {
    std::vector<Gap> gaps;
    for (size_t i = 1; i < counts.size(); i++) {
        const uint32_t step = (counts[i] - counts[i - 1]) & mask;
        EXPECT_GE(step, 1u) << "frame " << i << " repeats its predecessor";
        if (step > 1) gaps.push_back({i, step - 1});
    }
    return gaps;
}

const char* const python = "/usr/bin/python3";

// The first channel's raw words and the tags (sample, text) of an ABF file.
const char* const abfScript = R"(
import ast, json, sys
from neo.io import AxonIO
from neo.rawio import AxonRawIO

raw = AxonRawIO(filename=sys.argv[1])
raw.parse_header()
words = raw.get_analogsignal_chunk(0, 0, None, None, 0, [0])[:, 0]
rate = raw.get_signal_sampling_rate(0)
tags = []
for event in AxonIO(filename=sys.argv[1]).read_block().segments[0].events:
    for time, comment in zip(event.times.rescale('s').magnitude, event.annotations['comments']):
        comment = str(comment.decode('ascii') if isinstance(comment, bytes) else comment)
        if comment[:2] in ("b'", 'b"'):
            comment = ast.literal_eval(comment).decode('ascii')
        tags.append({'sample': int(round(float(time) * rate)), 'text': comment.rstrip()})
print(json.dumps({'words': [int(w) & 0xFFFF for w in words], 'tags': tags}))
)";

class Losses : public kv4test::WindowTest, public testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        if (GetParam().abf && !QFile::exists(python)) GTEST_SKIP() << python << " is missing";
        folder = QDir::homePath() + "/losses/";
        ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QSettings settings;
        settings.setValue("Protocol/Settings/recordPath", folder);
        settings.setValue("Protocol/Settings/recordName", "run");
        settings.setValue("Protocol/Settings/recordFormat", GetParam().abf ? 1 : 0);
        open("cedar", 1);
        connectTo("VCEDAR01");
        amplifier = simulation->amplifier("VCEDAR01");
        amplifier->setPatternMode(true);
        if (GetParam().bufferBytes > 0) amplifier->setBufferBytes(GetParam().bufferBytes);
        QAbstractButton* fiveKiloHertz = button("controlsDw", "5 kHz");
        ASSERT_NE(fiveKiloHertz, nullptr);
        QTest::mouseClick(fiveKiloHertz, Qt::LeftButton);
        kv4cl::Measurement_t real;
        ASSERT_EQ(kv4cl::getSamplingRate(real), kv4cl::Success);
        rate = real.getNoPrefixValue();
    }

    QString dataFile() const {
        return folder + (GetParam().abf ? "run/run_CH001_000.abf" : "run/run_000.dat");
    }
    // Waits until the recording's file holds at least `frames` frames.
    void waitForFrames(qint64 frames) const {
        // DAT frames are five floats; an ABF frame two words after a header of a few blocks.
        const qint64 bytes = GetParam().abf ? 8192 + frames * 4 : frames * 20;
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(dataFile()).size() >= bytes; }, 20000));
    }

    void makeFault(const Case& c) const {
        switch (c.fault) {
        case Fault::None:
            break;
        case Fault::DropBytes:
            amplifier->dropBytes(size_t(c.size));
            break;
        case Fault::Stall:
            // The fault is the time the device keeps quiet.
            amplifier->stall(true);
            QTest::qWait(c.size);
            amplifier->stall(false);
            break;
        case Fault::DeviceOverflow:
            // The host stops reading: the device's buffer fills and loses its oldest bytes.
            amplifier->device().zeroReads(INT_MAX);
            QTest::qWait(c.size);
            amplifier->device().zeroReads(0);
            break;
        }
    }

    // The pattern counts of the file, and for ABF the tags, with `mask` the bits they hold.
    std::vector<uint32_t> recordedCounts(uint32_t& mask,
                                         std::vector<std::pair<int64_t, QString>>& tags) const {
        std::vector<uint32_t> counts;
        if (GetParam().abf) {
            const kv4test::ProgramRun neo = kv4test::runProgram(python, {"-c", abfScript, dataFile()});
            EXPECT_TRUE(neo.succeeded()) << neo.err.toStdString();
            const QJsonObject read = QJsonDocument::fromJson(neo.out).object();
            for (const QJsonValue& w : read["words"].toArray())
                counts.push_back(uint32_t(w.toInt()));
            for (const QJsonValue& t : read["tags"].toArray())
                tags.emplace_back(t["sample"].toInteger(), t["text"].toString());
            mask = 0xFFFF; // current word 0 holds the count's low bits
            return counts;
        }
        // Four currents, then the voltage: words back from values by the library's own steps.
        double zero[2] = {};
        double one[2] = {};
        for (uint16_t c = 0; c < 2; c++) {
            EXPECT_EQ(kv4cl::currentFromRaw(0, c, zero[c]), kv4cl::Success);
            EXPECT_EQ(kv4cl::currentFromRaw(1, c, one[c]), kv4cl::Success);
        }
        QFile file(dataFile());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto* values = reinterpret_cast<const float*>(bytes.constData());
        for (qsizetype k = 0; k < bytes.size() / 20; k++) {
            uint32_t count = 0;
            for (int c = 1; c >= 0; c--) {
                const double word = std::round((values[k * 5 + c] - zero[c]) / (one[c] - zero[c]));
                count = count << 16 | uint16_t(int16_t(word));
            }
            counts.push_back(count);
        }
        mask = 0xFFFFFFFF;
        return counts;
    }

    QString folder;
    kav4sim::VirtualAmplifier* amplifier = nullptr;
    double rate = 0;
};

TEST_P(Losses, EachIsCountedInTheDockNotedInTheLabBookAndMarkedInTheRecording) {
    const Case& c = GetParam();
    auto* label = dock("acquisitionInfoDw")->findChild<QLabel*>("samplesLostLabel");
    auto* labbookView = dock("labbook")->findChild<QTextEdit*>();
    QAbstractButton* record = button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
    QAbstractButton* stop = button("protocolDw", "Stop recording");
    ASSERT_TRUE(label && labbookView && record && stop);
    // The session's lab book goes on from the cases before.
    const qsizetype notedBefore = labbookView->toPlainText().count("Samples lost, ");

    record->click();
    waitForFrames(1000);
    makeFault(c);
    if (c.fault != Fault::None) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return label->text() != "Samples lost: 0"; }, 10000));
    }
    // The pattern well past the fault, then the recording ends.
    const qint64 after = QFileInfo(dataFile()).size();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(dataFile()).size() >= after + 20000; }, 20000));
    stop->click();
    // The writer has ended with the click; what it and the producer sent is delivered now.
    QCoreApplication::sendPostedEvents();

    uint32_t mask = 0;
    std::vector<std::pair<int64_t, QString>> tags;
    const std::vector<uint32_t> counts = recordedCounts(mask, tags);
    ASSERT_GT(counts.size(), 1000u);
    const std::vector<Gap> gaps = gapsIn(counts, mask);
    EXPECT_EQ(gaps.empty(), c.fault == Fault::None) << "the fault shows in the pattern, and only it";

    uint64_t lost = 0;
    for (const Gap& gap : gaps)
        lost += gap.frames;
    // The dock as the user reads it.
    const QString shown = label->text();
    if (lost == 0) {
        EXPECT_EQ(shown, "Samples lost: 0");
        EXPECT_EQ(kv4test::renderedTextColor(*label), "green");
    } else {
        EXPECT_TRUE(shown.startsWith(QString("Samples lost: %1, last at ").arg(lost))) << shown.toStdString();
        EXPECT_EQ(kv4test::renderedTextColor(*label), "red");
    }

    const QString recordingLabbook = folder + "run/run_lab_book.txt";
    QFile labbookFile(recordingLabbook);
    ASSERT_TRUE(labbookFile.open(QIODevice::ReadOnly)) << recordingLabbook.toStdString();
    const QString labbookText = QString::fromUtf8(labbookFile.readAll());
    std::vector<Gap> marked;
    std::vector<Gap> noted;
    for (const QString& line : labbookText.split('\n')) {
        const qsizetype at = line.indexOf("Samples lost, ");
        if (at < 0) continue;
        const QString entry = line.mid(at);
        // "Samples lost, N samples per channel (T ms)[, at frame index F of FILE]"
        const uint64_t frames = entry.section(' ', 2, 2).toULongLong();
        EXPECT_TRUE(entry.startsWith("Samples lost, " + lostSamplesText(frames, rate)))
            << entry.toStdString();
        const qsizetype index = entry.indexOf(", at frame index ");
        if (index < 0) {
            noted.push_back({0, frames});
            continue;
        }
        const QString file = c.abf ? " of run_CH*_000.abf" : " of run_000.dat";
        EXPECT_TRUE(entry.endsWith(file)) << entry.toStdString();
        marked.push_back({entry.mid(index).section(' ', 4, 4).toULongLong(), frames});
    }
    // One line per loss, in the window's lab book as in the recording's: a reader adding
    // them up counts each once.
    EXPECT_TRUE(noted.empty()) << "a loss noted without its frame";
    EXPECT_EQ(marked, gaps);
    EXPECT_EQ(labbookView->toPlainText().count("Samples lost, ") - notedBefore, qsizetype(gaps.size()));

    if (c.abf) {
        std::vector<Gap> taggedGaps;
        for (const auto& [sample, text] : tags) {
            const uint64_t frames = text.section(' ', 1, 1).toULongLong();
            EXPECT_EQ(text, "Lost " + lostSamplesText(frames, rate));
            taggedGaps.push_back({uint64_t(sample), frames});
        }
        EXPECT_EQ(taggedGaps, gaps);
    }
}

const Case cases[] = {
    {.name = "Dat_NoFault", .fault = Fault::None, .abf = false},
    {.name = "Abf_NoFault", .fault = Fault::None, .abf = true},
    // Cedar's packets are 166 bytes of 16 frames.
    {.name = "Dat_DroppedBytes", .fault = Fault::DropBytes, .abf = false, .size = 5 * 166 + 10},
    {.name = "Abf_DroppedBytes", .fault = Fault::DropBytes, .abf = true, .size = 5 * 166 + 10},
    {.name = "Dat_Stall", .fault = Fault::Stall, .abf = false, .size = 100},
    {.name = "Abf_Stall", .fault = Fault::Stall, .abf = true, .size = 100},
    {.name = "Dat_DeviceBufferOverflow",
     .fault = Fault::DeviceOverflow,
     .abf = false,
     .size = 300,
     .bufferBytes = 4096},
    {.name = "Abf_DeviceBufferOverflow",
     .fault = Fault::DeviceOverflow,
     .abf = true,
     .size = 300,
     .bufferBytes = 4096},
};

INSTANTIATE_TEST_SUITE_P(Faults, Losses, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
