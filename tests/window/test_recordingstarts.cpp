// Recordings started and stopped again and again from the protocol dock, as a user does, on a
// virtual amplifier that counts its frames, while other threads keep the machine busy: every
// file must hold consecutive frames from its first one on. Each start resets the device and
// drops the data acquired so far, which races with the device's stream and with the writer
// taking its place in the sample ring.

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

constexpr int rounds = 40;
constexpr qint64 framesPerRecording = 1000; // 0.2 s at 5 kHz
constexpr int frameFloats = 5;              // four currents, then the voltage

// A word's code from its value, by the library's own conversion of codes 0 and 1.
struct Decoder {
    double zero = 0.0;
    double step = 1.0;
    uint16_t code(float value) const { return uint16_t(int16_t(std::lround((double(value) - zero) / step))); }
};

// Whether the file holds whole pattern frames n0, n0 + 1, ... ; `frames` gets their count.
testing::AssertionResult consecutiveFrames(const QString& path, const std::vector<Decoder>& columns,
                                           qint64& frames) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return testing::AssertionFailure() << "cannot read " << path.toStdString();
    const QByteArray bytes = file.readAll();
    if (bytes.size() % (frameFloats * 4) != 0) return testing::AssertionFailure() << "a frame cut short";
    const auto* values = reinterpret_cast<const float*>(bytes.constData());
    frames = bytes.size() / (frameFloats * 4);
    uint32_t first = 0;
    for (qint64 k = 0; k < frames; k++) {
        const float* f = values + k * frameFloats;
        uint16_t code[frameFloats];
        for (int c = 0; c < frameFloats; c++)
            code[c] = columns[size_t(c)].code(f[c]);
        const uint32_t n = uint32_t(code[1]) << 16 | code[0];
        if (k == 0) first = n;
        if (code[2] != uint16_t(n + 2) || code[3] != uint16_t(n + 3) || code[4] != uint16_t(n))
            return testing::AssertionFailure() << "frame " << k << " is not a pattern frame";
        if (n != first + uint32_t(k))
            return testing::AssertionFailure() << "frame " << k << " is device frame " << n << ", "
                                               << int64_t(n) - int64_t(first + k) << " frames off";
    }
    return testing::AssertionSuccess();
}

class RecordingStarts : public kv4test::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        folder = QDir::homePath() + "/record starts/";
        ASSERT_TRUE(QDir(folder).removeRecursively() && QDir().mkpath(folder));
        QSettings settings;
        settings.setValue("Protocol/Settings/recordPath", folder);
        settings.setValue("Protocol/Settings/recordName", "run");
        settings.setValue("Protocol/Settings/recordFormat", 0);
        open("cedar", 1);
        connectTo("VCEDAR01");
        simulation->amplifier("VCEDAR01")->setPatternMode(true);
    }

    QString folder;
};

TEST_F(RecordingStarts, EveryRecordingHoldsConsecutiveFramesFromItsFirstOn) {
    QAbstractButton* fiveKiloHertz = button("controlsDw", "5 kHz");
    ASSERT_NE(fiveKiloHertz, nullptr);
    QTest::mouseClick(fiveKiloHertz, Qt::LeftButton);
    // Found before the first recording, which gives it the file's name as its tool tip.
    QAbstractButton* record = button("protocolDw", "Start recording (SHIFT + ENTER/RETURN)");
    QAbstractButton* stop = button("protocolDw", "Stop recording");
    ASSERT_TRUE(record && stop);

    std::vector<Decoder> columns(frameFloats);
    for (uint16_t c = 0; c < 4; c++) {
        double one = 0.0;
        ASSERT_EQ(kv4cl::currentFromRaw(0, c, columns[c].zero), kv4cl::Success);
        ASSERT_EQ(kv4cl::currentFromRaw(1, c, one), kv4cl::Success);
        columns[c].step = one - columns[c].zero;
    }
    double one = 0.0;
    ASSERT_EQ(kv4cl::voltageFromRaw(0, columns[4].zero), kv4cl::Success);
    ASSERT_EQ(kv4cl::voltageFromRaw(1, one), kv4cl::Success);
    columns[4].step = one - columns[4].zero;

    // Two threads that never yield, on a machine of two cores.
    std::atomic<bool> busy{true};
    std::vector<std::thread> load;
    for (int t = 0; t < 2; t++)
        load.emplace_back([&busy] {
            volatile uint64_t spins = 0;
            while (busy.load(std::memory_order_relaxed))
                spins = spins + 1;
        });
    QStringList files;
    for (int r = 0; r < rounds && !HasFailure(); r++) {
        const QString file = folder + (r == 0 ? QString("run/") : QString("run_%1/").arg(r)) + "run_000.dat";
        files << file;
        record->click();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return QFileInfo(file).size() >= framesPerRecording * frameFloats * 4; }, 20000))
            << file.toStdString();
        // The file grows just after the library has parsed a batch: the next start is moved
        // across the batches' period, as a user's click falls anywhere in it.
        QTest::qWait(r * 7 % 50);
        stop->click();
    }
    busy = false;
    for (std::thread& t : load)
        t.join();

    for (const QString& file : files) {
        qint64 frames = 0;
        EXPECT_TRUE(consecutiveFrames(file, columns, frames)) << file.toStdString();
        EXPECT_GE(frames, framesPerRecording) << file.toStdString();
    }
}

} // namespace
