// Recordings through the service on virtual amplifiers that count their frames, read back
// with kav4-cli's pattern check. Started and stopped again and again on one session, as the
// record button does (the device reset and its data dropped before each start), while other
// threads keep the machine busy: every file must hold consecutive frames from its first one
// on. Stopped just after the amplifier dropped bytes: the loss is marked in the files and in
// the recording's lab book, although the library sizes it only after the stop was asked for.
//
// Recordings played back through a session: the consumers get the very codes and values the
// live run gave the recording's frames, from any frame sought; a loss the recording marks
// reaches them as a gap at its frame; a pause hands out nothing. Read without the producer, as
// kav4-cli analyse reads them, they are the same values. Zaps over two amplifiers as one.
// (The session's other commands, its consumers and teardown: the window's and docks' journeys.)

#include "acquisition/datahook.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "recording/filesamplesource.h"
#include "recording/labbookfiles.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"
#include "tools/patternverifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

// Rows read through a hook until `count` are there, raw words or values.
template <typename T> std::vector<T> rowsOf(DataHook& hook, size_t count, size_t width) {
    std::vector<T> rows, read;
    const auto more = [&] {
        if constexpr (std::is_same_v<T, uint16_t>)
            return readRawData(hook, read, false, 0);
        else
            return readValues(hook, read, false, 0, 0);
    };
    while (rows.size() < count * width && more() && !read.empty())
        rows.insert(rows.end(), read.begin(), read.end());
    rows.resize(std::min(rows.size(), count * width));
    return rows;
}

// Virtual amplifiers in pattern mode, a session on them and a recording service on it.
class PatternRecording : public testing::Test {
  protected:
    void TearDown() override {
        raw.reset(); // hooks go before their ring
        values.reset();
        session.reset();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    // Connects `ids` at the rate of index `rateIndex` (else the default one), makes the service
    // record into a fresh `folder` of the home, and starts the session.
    void open(const char* models, const std::vector<std::string>& ids, const QString& folder,
              const QString& name, int rateIndex = -1, LabbookFiles* labbook = nullptr) {
        std::string error;
        bus = kav4sim::installSimulation(models, error);
        ASSERT_TRUE(bus) << error;
        for (const std::string& id : ids)
            bus->amplifier(id)->setPatternMode(true);
        kv4cl::ErrorCodes_t result = kv4cl::ErrorDeviceNotConnected;
        session = DeviceSession::open(ids, result);
        ASSERT_EQ(result, kv4cl::Success);
        ASSERT_TRUE(session);
        if (rateIndex >= 0) {
            ASSERT_EQ(kv4cl::setSamplingRate(uint16_t(rateIndex)), kv4cl::Success);
        }
        ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
        plan.path = QDir::homePath() + folder;
        plan.name = name;
        ASSERT_TRUE(QDir(plan.path).removeRecursively() && QDir().mkpath(plan.path));
        recorder = new RecordingService(*session);
        recorder->setPlan(&plan);
        if (labbook) recorder->setLabbook(labbook);
        session->seedRanges();
        session->onSamplingRateChanged(rate, rate);
        session->start();
    }
    // Opens `path` to play it back as fast as its readers go, from `from`, through fresh hooks
    // for codes and values; session->start() plays.
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
    }

    std::shared_ptr<kav4sim::SimulatedBus> bus;
    std::unique_ptr<DeviceSession> session;
    std::unique_ptr<DataHook> raw, values;
    kv4cl::Measurement_t rate;
    RecordingPlan plan;
    LabbookFiles labbook;                 // the recorder's, when given it
    RecordingService* recorder = nullptr; // the session's
};

TEST_F(PatternRecording, EveryRecordingOfASessionHoldsConsecutiveFramesFromItsFirstOn) {
    // At 5 kHz, a recording of 1000 frames lasts 0.2 s.
    plan.settings.unlimitedRecording = true;
    ASSERT_NO_FATAL_FAILURE(open("cedar", {"VCEDAR01"}, "/record starts/", "run", 1)); // 5 kHz

    // Two threads that never yield, on a machine of two cores.
    std::vector<std::jthread> load;
    for (int t = 0; t < 2; t++)
        load.emplace_back([](std::stop_token stop) {
            volatile uint64_t spins = 0;
            while (!stop.stop_requested())
                spins = spins + 1;
        });
    constexpr int rounds = 40;
    constexpr qint64 frames = 1000, frameBytes = 5 * 4; // four currents, then the voltage
    for (int r = 0; r < rounds && !testing::Test::HasFailure(); r++) {
        kv4cl::resetDevice();
        kv4cl::flushData(true);
        ASSERT_TRUE(recorder->start());
        const QString file = plan.folder() + "run_000.dat";
        EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo(file).size() >= frames * frameBytes; }, 20000))
            << r;
        // The file grows just after the library has parsed a batch: the next start is moved
        // across the batches' period, as a user's click falls anywhere in it.
        QTest::qWait(r * 7 % 50);
        recorder->stop();
    }
    load.clear(); // stops and joins them

    for (int r = 0; r < rounds; r++) {
        const std::string name = r == 0 ? "run" : "run_" + std::to_string(r);
        const kav4cli::PatternReport report =
            kav4cli::verifyDat(kav4cli::datFiles(plan.path.toStdString() + name + "/", "run"), {4, 0, 1, 1},
                               kav4cli::datColumns(4, 0, 1), {});
        EXPECT_EQ(report.fault, "") << name;
        EXPECT_GE(report.frames, uint64_t(frames)) << name;
    }
}

TEST_F(PatternRecording, APlayedBackRecordingGivesTheConsumersTheLiveCodesAndValuesFromAnyFrame) {
    // Fir in pattern mode: eight currents, a gp channel whose word counts over its whole range, one
    // voltage; unfiltered data recorded.
    plan.settings.unlimitedRecording = true;
    ASSERT_NO_FATAL_FAILURE(open("fir", {"VFIR01"}, "/replay/", "cell"));
    const DeviceDataProducer::ChannelCounts counts = session->features().channels;
    const size_t width = counts.total();
    raw = session->producer()->getDataHook();
    values = session->producer()->getDataHook();
    const uint64_t firstRow = raw->row;
    ASSERT_TRUE(recorder->start());
    const QString dat = plan.folder() + "cell_000.dat";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(dat).size() >= 3000 * qint64(width * 4); }, 10000));
    QSignalSpy stopped(recorder, &RecordingService::recording);
    recorder->stop();
    ASSERT_TRUE(stopped.wait(5000));
    const int64_t recorded = QFileInfo(dat).size() / qint64(width * 4);
    // Every row from before the recording's start to past its end, as the consumers had them.
    const size_t liveRows = size_t(session->producer()->rowsProduced() - firstRow);
    const std::vector<uint16_t> liveRaw = rowsOf<uint16_t>(*raw, liveRows, width);
    const std::vector<double> liveValues = rowsOf<double>(*values, liveRows, width);

    // Where the recording starts among the live rows: its first frames' values, as floats in
    // the file's order (currents, gp, voltage).
    QFile file(dat);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(qint64(8 * width * 4));
    const auto* fileFloats = reinterpret_cast<const float*>(head.constData());
    const auto matches = [&](size_t row) {
        for (size_t f = 0; f < 8; f++)
            for (size_t c = 0; c < width; c++) {
                const size_t live =
                    c < width - counts.voltage ? c + counts.voltage : c - (width - counts.voltage);
                if (float(liveValues[(row + f) * width + live]) != fileFloats[f * width + c]) return false;
            }
        return true;
    };
    size_t start = 0;
    while (start + size_t(recorded) <= liveRows && !matches(start))
        start++;
    ASSERT_LE(start + size_t(recorded), liveRows) << "the recorded frames among the live rows";

    for (const int64_t from : {int64_t{0}, recorded / 3}) {
        SCOPED_TRACE(from);
        ASSERT_NO_FATAL_FAILURE(play(plan.folder() + "cell.kdh", from));
        const size_t n = size_t(recorded - from);
        const size_t first = (start + size_t(from)) * width;
        // As kav4-cli analyse reads them, without the producer.
        std::vector<double> direct;
        ASSERT_TRUE(session->replay()->readValues(from, int64_t(n), direct));
        EXPECT_TRUE(std::equal(direct.begin(), direct.end(), liveValues.begin() + first));
        session->start();
        EXPECT_EQ(session->features().channels.total(), width);
        const std::vector<uint16_t> codes = rowsOf<uint16_t>(*raw, n, width);
        const std::vector<double> played = rowsOf<double>(*values, n, width);
        ASSERT_EQ(codes.size(), n * width);
        EXPECT_TRUE(std::equal(codes.begin(), codes.end(), liveRaw.begin() + first));
        EXPECT_TRUE(std::equal(played.begin(), played.end(), liveValues.begin() + first));
        EXPECT_EQ(session->replay()->position(), recorded);
    }
}

// Zaps destroy membranes: over two amplifiers as one, the last channel is the second one's last,
// and one past it zaps every channel of both.
TEST_F(PatternRecording, AZapReachesItsChannelOverTheSetAndOnePastTheLastZapsEvery) {
    ASSERT_NO_FATAL_FAILURE(open("dogwood16,dogwood16", {"VDOGWOOD1601", "VDOGWOOD1602"}, "/zap/", "cell"));
    const kav4sim::VirtualAmplifier& second = *bus->amplifier("VDOGWOOD1602");
    const auto zaps = [&](size_t first, size_t last) {
        return second.waitForCommand(
            [&](const kav4sim::DecodedCommand& c) { return c.zaps.at(0) == first && c.zaps.at(15) == last; },
            std::chrono::seconds(5));
    };
    session->zap(31);
    EXPECT_TRUE(zaps(0, 1));
    session->zap(32);
    EXPECT_TRUE(zaps(1, 2));
}

struct LateLoss {
    const char* models;
    std::vector<std::string> ids;
    int format; // as the plan's: 0 DAT, 1 ABF
};

class LateLossTest : public PatternRecording, public testing::WithParamInterface<LateLoss> {};

TEST_P(LateLossTest, ALossJustBeforeTheStopIsMarkedInTheFilesAndTheRecordingsLabbook) {
    const LateLoss& set = GetParam();
    plan.format = set.format;
    QStringList previous;
    ASSERT_TRUE(labbook.openNewest(previous));
    ASSERT_NO_FATAL_FAILURE(open(set.models, set.ids, "/late loss/", "cell", -1, &labbook));

    ASSERT_TRUE(recorder->start());
    DeviceDataProducer& producer = *session->producer();
    // The rows from the recording's first on, read here too: each frame's first word is the low
    // half of the amplifier's frame counter, which jumps where the stream broke.
    auto rows = producer.getDataHook();
    const uint32_t width = session->features().channels.total();
    uint64_t read = 0;
    uint16_t last = 0;
    bool broke = false;
    std::vector<uint16_t> words;
    const auto readUntil = [&](const std::function<bool()>& done) {
        return QTest::qWaitFor(
            [&] {
                if (producer.rowsProduced() > rows->row) { // rows wait: the read returns at once
                    readRawData(*rows, words, false, 0);
                    for (size_t at = 0; at < words.size(); at += width, read++) {
                        broke = broke || (read > 0 && words[at] != uint16_t(last + 1));
                        last = words[at];
                    }
                }
                return done();
            },
            10000);
    };
    // A second into the recording, bytes go missing; the stop follows as soon as frames after the
    // break are in, well before the library has seen enough of the stream to say how many frames
    // went.
    ASSERT_TRUE(readUntil([&] { return read > uint64_t(rate.getNoPrefixValue()); }));
    ASSERT_FALSE(broke);
    kav4sim::VirtualAmplifier& amplifier = *bus->amplifier(set.ids.front());
    amplifier.dropBytes(3 * amplifier.model().packetBytes + amplifier.model().packetBytes / 2);
    ASSERT_TRUE(readUntil([&] { return broke; }));
    QSignalSpy stopped(recorder, &RecordingService::recording);
    recorder->stop();
    ASSERT_TRUE(stopped.wait(5000)); // the lab book's lines are written as it arrives

    const DeviceDataProducer::ChannelCounts& channels = session->features().channels;
    const std::string folder = plan.folder().toStdString();
    const kav4cli::FrameLayout layout{channels.current, channels.gp, set.format == 0 ? channels.voltage : 1,
                                      set.ids.size()};
    const std::vector<kav4cli::LabbookLoss> noted = kav4cli::labbookLosses(folder + "cell_lab_book.txt");
    const kav4cli::PatternReport report =
        set.format == 0
            ? kav4cli::verifyDat(kav4cli::datFiles(folder, "cell"), layout,
                                 kav4cli::datColumns(channels.current, channels.gp, channels.voltage), noted)
            : kav4cli::verifyAbf(kav4cli::abfFiles(folder, "cell", layout.currents + layout.gps), layout);
    EXPECT_EQ(report.fault, "");
    EXPECT_EQ(report.losses, 1u);
    EXPECT_GT(report.lostFrames, 0u);
    ASSERT_EQ(noted.size(), 1u) << "one line in the recording's lab book";
    EXPECT_EQ(noted[0].file, set.format == 0 ? "cell_000.dat" : "cell_CH*_000.abf");
    if (set.format == 1) {
        std::string error;
        EXPECT_EQ(kav4cli::abfLosses(folder + "cell_CH001_000.abf", error), std::vector{noted[0].loss})
            << "the lab book's line where the file's tag is" << error;
    }

    // Played back, the loss reaches the consumers as a gap before its frame; paused, nothing
    // more is handed out. The live session's hook goes before its session does.
    rows.reset();
    ASSERT_NO_FATAL_FAILURE(play(plan.folder() + "cell.kdh"));
    QSignalSpy lost(session->producer(), &DeviceDataProducer::framesLost);
    session->start();
    ASSERT_TRUE(lost.wait(5000));
    session->replay()->pause();
    kv4cl::DataStatus_t status;
    EXPECT_EQ(session->replay()->getDataStatus(status), kv4cl::WarningNoDataAvailable);
    EXPECT_EQ(status.availableFrames, 0u);
    EXPECT_EQ(lost.at(0).at(0).toULongLong(), noted[0].loss.frame);
    EXPECT_EQ(lost.at(0).at(1).toULongLong(), noted[0].loss.frames);
}

INSTANTIATE_TEST_SUITE_P(Sets, LateLossTest,
                         testing::Values(LateLoss{"fir", {"VFIR01"}, 1},
                                         LateLoss{"dogwood16", {"VDOGWOOD1601"}, 0}),
                         [](const auto& info) {
                             return std::string(info.param.format == 0 ? "Dogwood16Dat" : "FirAbf");
                         });

} // namespace
