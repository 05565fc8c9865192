// Recordings played back through a session: the consumers get the very codes and values the
// live run gave the recording's frames (a virtual amplifier with current and gp channels,
// recorded to DAT); a seek goes on at the frame asked for; a pause hands out nothing; a loss the
// recording's lab book notes reaches the consumers as a gap; a foreign file's float values come
// back within half a step of its scale.

#include "acquisition/datahook.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "recording/labbookevent.h"
#include "recording/recordingplan.h"
#include "recording/recordingreader.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// Rows read through a hook until `count` are there, raw words or values.
std::vector<uint16_t> rawRows(DataHook& hook, size_t count, size_t width) {
    std::vector<uint16_t> rows, read;
    while (rows.size() < count * width && readRawData(hook, read, false, 0) && !read.empty())
        rows.insert(rows.end(), read.begin(), read.end());
    rows.resize(std::min(rows.size(), count * width));
    return rows;
}
std::vector<double> valueRows(DataHook& hook, size_t count, size_t width) {
    std::vector<double> rows, read;
    while (rows.size() < count * width && readValues(hook, read, false, 0, 0) && !read.empty())
        rows.insert(rows.end(), read.begin(), read.end());
    rows.resize(std::min(rows.size(), count * width));
    return rows;
}

class Replay : public testing::Test {
  protected:
    void TearDown() override {
        // Hooks go before their ring.
        raw.reset();
        values.reset();
        session.reset();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    // Plays `path` back as fast as its readers go, through fresh hooks for codes and values.
    void play(const QString& path, int64_t from = 0) {
        raw.reset();
        values.reset();
        session.reset();
        QString error;
        session = DeviceSession::openRecording(path, error);
        ASSERT_TRUE(session) << error.toStdString();
        raw = session->producer()->getDataHook();
        values = session->producer()->getDataHook();
        session->replay()->setSpeed(0);
        session->replay()->seek(from);
        session->replay()->play();
        session->start();
    }

    QTemporaryDir home;
    std::unique_ptr<DeviceSession> session;
    std::unique_ptr<DataHook> raw, values;
};

TEST_F(Replay, ADatRecordingGivesTheConsumersTheLiveCodesAndValuesFromAnyFrame) {
    // Fir: eight currents, a gp channel, one voltage; unfiltered data recorded.
    std::string simError;
    std::shared_ptr<kav4sim::SimulatedBus> bus = kav4sim::installSimulation("fir", simError);
    ASSERT_TRUE(bus) << simError;
    kv4cl::ErrorCodes_t result = kv4cl::ErrorDeviceNotConnected;
    session = DeviceSession::open({"VFIR01"}, result);
    ASSERT_TRUE(session);
    const DeviceDataProducer::ChannelCounts counts = session->features().channels;
    const size_t width = counts.total();
    RecordingPlan plan;
    plan.path = home.path() + "/";
    plan.name = "cell";
    plan.settings.unlimitedRecording = true;
    auto* recorder = new RecordingService(*session);
    recorder->setPlan(&plan);
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
    raw = session->producer()->getDataHook();
    values = session->producer()->getDataHook();
    session->seedRanges();
    session->onSamplingRateChanged(rate, rate);
    session->start();
    ASSERT_TRUE(recorder->start());
    const QString dat = plan.folder() + "cell_000.dat";
    const qint64 frames = 3000;
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(dat).size() >= frames * qint64(width * 4); }, 10000));
    QSignalSpy stopped(recorder, &RecordingService::recording);
    recorder->stop();
    ASSERT_TRUE(stopped.wait(5000));
    const int64_t recorded = QFileInfo(dat).size() / qint64(width * 4);
    // Every row from before the recording's start to past its end, as the consumers had them.
    const size_t liveRows = size_t(session->producer()->rowsProduced());
    const std::vector<uint16_t> liveRaw = rawRows(*raw, liveRows, width);
    const std::vector<double> liveValues = valueRows(*values, liveRows, width);
    raw.reset();
    values.reset();
    session.reset();

    // Where the recording starts among the live rows: its first frames' values, as floats in
    // the file's order (currents, gp, voltage).
    QFile file(dat);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(qint64(8 * width * 4));
    const auto* fileFloats = reinterpret_cast<const float*>(head.constData());
    const auto liveAsFile = [&](size_t row, size_t column) {
        const size_t c =
            column < width - counts.voltage ? column + counts.voltage : column - (width - counts.voltage);
        return float(liveValues[row * width + c]);
    };
    size_t start = 0;
    const auto matches = [&](size_t row) {
        for (size_t f = 0; f < 8; f++)
            for (size_t c = 0; c < width; c++)
                if (liveAsFile(row + f, c) != fileFloats[f * width + c]) return false;
        return true;
    };
    while (start + size_t(recorded) <= liveRows / 1 && !matches(start))
        start++;
    ASSERT_LE(start + size_t(recorded), liveRows) << "the recorded frames among the live rows";

    const QString kdh = plan.folder() + "cell.kdh";
    for (const int64_t from : {int64_t{0}, recorded / 3}) {
        SCOPED_TRACE(from);
        ASSERT_NO_FATAL_FAILURE(play(kdh, from));
        EXPECT_EQ(session->features().channels.total(), width);
        const size_t n = size_t(recorded - from);
        const std::vector<uint16_t> codes = rawRows(*raw, n, width);
        const std::vector<double> played = valueRows(*values, n, width);
        ASSERT_EQ(codes.size(), n * width);
        const size_t first = (start + size_t(from)) * width;
        EXPECT_TRUE(std::equal(codes.begin(), codes.end(), liveRaw.begin() + first));
        EXPECT_TRUE(std::equal(played.begin(), played.end(), liveValues.begin() + first));
        EXPECT_EQ(session->replay()->position(), recorded);
    }

    // Paused, nothing is handed out; a loss noted in the lab book arrives as a gap before its frame.
    QFile labbook(plan.folder() + "cell_lab_book.txt");
    ASSERT_TRUE(labbook.open(QIODevice::WriteOnly | QIODevice::Append));
    labbook.write(
        LabbookEventSamplesLost(7, rate.getNoPrefixValue(), "cell_000.dat", 100).lineText().toUtf8() + "\n");
    labbook.close();
    ASSERT_NO_FATAL_FAILURE(play(kdh, 90));
    QSignalSpy lost(session->producer(), &DeviceDataProducer::framesLost);
    ASSERT_TRUE(lost.wait(5000));
    session->replay()->pause();
    kv4cl::DataStatus_t status;
    EXPECT_EQ(session->replay()->getDataStatus(status), kv4cl::WarningNoDataAvailable);
    EXPECT_EQ(status.availableFrames, 0u);
    EXPECT_EQ(lost.at(0).at(1).toULongLong(), 7u);
    EXPECT_EQ(lost.at(0).at(0).toULongLong(), 10u) << "before the tenth row played";
}

// Float values of another program's file (one current channel, no voltage): each comes back
// within half a step of the scale the file's ADC tells.
TEST_F(Replay, AForeignFilesFloatValuesComeBackWithinHalfAStep) {
    const QString path = KAV4_TEST_DATA "/File_axon_7.abf";
    QString error;
    const std::unique_ptr<RecordingReader> reader = RecordingReader::open(path, error);
    ASSERT_TRUE(reader) << error.toStdString();
    std::vector<float> truth(size_t(reader->frames));
    ASSERT_TRUE(reader->read(0, reader->frames, truth.data()));
    ASSERT_NO_FATAL_FAILURE(play(path));
    const DeviceDataProducer::ChannelCounts counts = session->features().channels;
    EXPECT_EQ(std::vector<uint32_t>({counts.voltage, counts.current, counts.gp}),
              std::vector<uint32_t>({0, 1, 0}));
    const double step = session->replay()->ranges().at(0).step;
    EXPECT_GT(step, 0.0);
    const std::vector<double> played = valueRows(*values, truth.size(), 1);
    ASSERT_EQ(played.size(), truth.size());
    double worst = 0.0;
    for (size_t f = 0; f < truth.size(); f++)
        worst = std::max(worst, std::abs(played[f] - truth[f]));
    EXPECT_LE(worst, step / 2 * 1.001);
    EXPECT_GT(worst, 0.0) << "float values between the codes";
}

} // namespace
