// Recordings started and stopped again and again on one session, as the record button does
// (the device reset and its data dropped before each start), on a virtual amplifier that
// counts its frames while other threads keep the machine busy: every file must hold
// consecutive frames from its first one on. Each start races with the device's stream and with
// the writer taking its place in the sample ring.

#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "recording/recordingplan.h"
#include "session/devicesession.h"
#include "session/recordingservice.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"
#include "tools/patternverifier.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(RecordingService, EveryRecordingOfASessionHoldsConsecutiveFramesFromItsFirstOn) {
    std::string error;
    const auto bus = kav4sim::installSimulation("cedar", error);
    ASSERT_TRUE(bus) << error;
    bus->amplifier("VCEDAR01")->setPatternMode(true);
    kv4cl::ErrorCodes_t result = kv4cl::ErrorDeviceNotConnected;
    std::unique_ptr<DeviceSession> session = DeviceSession::open({"VCEDAR01"}, result);
    ASSERT_TRUE(session);
    // At 5 kHz, a recording of 1000 frames lasts 0.2 s.
    std::vector<kv4cl::Measurement_t> rates;
    uint16_t defaultRate = 0;
    ASSERT_EQ(kv4cl::getSamplingRates(rates, defaultRate), kv4cl::Success);
    const auto fiveKilohertz = std::find_if(rates.begin(), rates.end(),
                                            [](const auto& r) { return r.getNoPrefixValue() == 5000.0; });
    ASSERT_NE(fiveKilohertz, rates.end());
    ASSERT_EQ(kv4cl::setSamplingRate(uint16_t(fiveKilohertz - rates.begin())), kv4cl::Success);
    kv4cl::Measurement_t rate;
    ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);

    RecordingPlan plan;
    plan.path = QDir::homePath() + "/record starts/";
    plan.name = "run";
    plan.settings.unlimitedRecording = true;
    ASSERT_TRUE(QDir(plan.path).removeRecursively() && QDir().mkpath(plan.path));
    auto* recorder = new RecordingService(*session);
    recorder->setPlan(&plan);
    session->seedRanges();
    session->onSamplingRateChanged(rate, rate);
    session->start();

    // Two threads that never yield, on a machine of two cores.
    std::atomic<bool> busy{true};
    std::vector<std::thread> load;
    for (int t = 0; t < 2; t++)
        load.emplace_back([&busy] {
            volatile uint64_t spins = 0;
            while (busy.load(std::memory_order_relaxed))
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
    busy = false;
    for (std::thread& t : load)
        t.join();

    const std::vector<kav4cli::DatColumn> columns = kav4cli::datColumns(4, 0, 1);
    for (int r = 0; r < rounds; r++) {
        const std::string name = r == 0 ? "run" : "run_" + std::to_string(r);
        const std::string where = plan.path.toStdString() + name + "/";
        const kav4cli::PatternReport report =
            kav4cli::verifyDat(kav4cli::datFiles(where, "run"), {4, 0, 1, 1}, columns, {});
        EXPECT_EQ(report.fault, "") << name;
        EXPECT_GE(report.frames, uint64_t(frames)) << name;
    }
    session.reset();
    kv4CommLib::installFtdiDriver(nullptr);
}

} // namespace
