// Recordings through the service on virtual amplifiers that count their frames, read back
// with kav4-cli's pattern check. Started and stopped again and again on one session, as the
// record button does (the device reset and its data dropped before each start), while other
// threads keep the machine busy: every file must hold consecutive frames from its first one
// on. Stopped just after the amplifier dropped bytes: the loss is marked in the files and in
// the recording's lab book, although the library sizes it only after the stop was asked for.

#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "recording/labbookfiles.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"
#include "tools/patternverifier.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// A session of virtual amplifiers in pattern mode, and a recording service on it.
class PatternRecording : public testing::Test {
  protected:
    void TearDown() override {
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

    std::shared_ptr<kav4sim::SimulatedBus> bus;
    std::unique_ptr<DeviceSession> session;
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
    const DeviceDataProducer& producer = *session->producer();
    const auto past = [&](uint64_t rows) {
        return QTest::qWaitFor([&] { return producer.rowsProduced() > rows; }, 10000);
    };
    // A tenth of a second in, bytes go missing; the stop follows a tenth of a second later,
    // well before the library has seen enough of the stream to say how many frames went.
    const auto tenth = uint64_t(rate.getNoPrefixValue() / 10);
    ASSERT_TRUE(past(tenth));
    kav4sim::VirtualAmplifier& amplifier = *bus->amplifier(set.ids.front());
    amplifier.dropBytes(3 * amplifier.model().packetBytes + amplifier.model().packetBytes / 2);
    ASSERT_TRUE(past(producer.rowsProduced() + tenth));
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
}

INSTANTIATE_TEST_SUITE_P(Sets, LateLossTest,
                         testing::Values(LateLoss{"fir", {"VFIR01"}, 1},
                                         LateLoss{"dogwood16", {"VDOGWOOD1601"}, 0}),
                         [](const auto& info) {
                             return std::string(info.param.format == 0 ? "Dogwood16Dat" : "FirAbf");
                         });

} // namespace
