// The connected device set on virtual amplifiers: its features, the consumers it feeds and
// seeds, the order it tears down in, and the device commands, on the sets where faults hide
// (a gp channel, channels of a second and third amplifier, the multi-well model).

#include "acquisition/devicedataconsumer.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "session/devicesession.h"
#include "session/offsetcompensationwatch.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"

#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

using kav4sim::DecodedCommand;
using kv4cl::RangedMeasurement_t;

// Reads every row until stopped and keeps what it was told, untouched by its thread.
class Probe : public DeviceDataConsumer {
  public:
    struct Told {
        double rate = 0.0;
        RangedMeasurement_t voltage;
        std::vector<RangedMeasurement_t> currents, gps;
        bool filtered = false;
    };
    Probe(DeviceDataProducer* producer, bool& producerEndedFirst)
        : DeviceDataConsumer(producer), producerEndedFirst(producerEndedFirst) {}
    ~Probe() override {
        producerEndedFirst = producer->isFinished();
        onStopConsuming();
    }
    void onStartConsuming() override { startConsuming(); }
    void onStopConsuming() override { stopConsuming(); }
    Told told() {
        QMutexLocker lock(&mutex);
        return {pendingSamplingRate, pendingVoltageRange, pendingCurrentRanges, pendingGpRanges,
                useFilteredData};
    }
    int width() const { return totalChannelsNum; }
    std::atomic<uint64_t> rows = 0;

  protected:
    void run() override {
        std::vector<uint16_t> data;
        while (!stopRequested())
            if (readRawData(*hook, data, filteredDataChosen(), 0))
                rows += data.size() / size_t(totalChannelsNum);
    }

  private:
    bool& producerEndedFirst;
};

bool same(const RangedMeasurement_t& a, const RangedMeasurement_t& b) {
    return a.min == b.min && a.max == b.max && a.step == b.step && a.prefix == b.prefix && a.unit == b.unit;
}

struct Set {
    const char* models;
    std::vector<std::string> ids;
    std::vector<uint32_t> channels; // voltage, current, gp
    std::vector<bool> features;     // offset compensation, zap, washer, temperature, TTL output
};

const Set sets[] = {
    {"dogwood16", {"VDOGWOOD1601"}, {1, 16, 1}, {1, 1, 0, 0, 0}},
    {"dogwood16,dogwood16", {"VDOGWOOD1601", "VDOGWOOD1602"}, {1, 32, 2}, {1, 1, 0, 0, 0}},
    {"cedar,cedar,cedar", {"VCEDAR01", "VCEDAR02", "VCEDAR03"}, {1, 12, 0}, {0, 0, 0, 0, 0}},
    {"fir", {"VFIR01"}, {1, 8, 1}, {0, 0, 1, 1, 1}},
};

class DeviceSessionTest : public ::testing::TestWithParam<Set> {
  protected:
    void SetUp() override {
        std::string error;
        bus = kav4sim::installSimulation(GetParam().models, error);
        ASSERT_TRUE(bus) << error;
        kv4cl::ErrorCodes_t result = kv4cl::ErrorDeviceNotConnected;
        session = DeviceSession::open(GetParam().ids, result);
        ASSERT_EQ(result, kv4cl::Success);
        ASSERT_TRUE(session);
    }
    void TearDown() override {
        session.reset();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    std::shared_ptr<kav4sim::SimulatedBus> bus;
    std::unique_ptr<DeviceSession> session;
};

TEST_P(DeviceSessionTest, CommandsReachTheDevicesItFeedsAndSeedsItsConsumersAndTearsDownInOrder) {
    const Set& set = GetParam();
    const DeviceSession::Features& f = session->features();
    EXPECT_EQ((std::vector<uint32_t>{f.channels.voltage, f.channels.current, f.channels.gp}), set.channels);
    EXPECT_EQ((std::vector<bool>{f.digitalOffsetCompensation, f.zap, f.washer, f.temperatureController,
                                 f.ttlOutput}),
              set.features);
    EXPECT_EQ(session->offsetCompensation() != nullptr, f.digitalOffsetCompensation);
    EXPECT_EQ(f.parallel, set.ids.size() > 1);

    // Commands reach the last amplifier of the set.
    const kav4sim::VirtualAmplifier& a = *bus->amplifier(set.ids.back());
    const auto reaches = [&](const std::function<bool(const DecodedCommand&)>& done) {
        return a.waitForCommand(done, std::chrono::seconds(5));
    };
    const uint64_t resets = a.command().resets;
    session->resetDevice();
    EXPECT_TRUE(reaches([&](const DecodedCommand& c) { return c.resets > resets; }));
    // Channel indices run over the whole set: the last channel is the last amplifier's.
    const int lastChannel = int(f.channels.current) - 1;
    const size_t lastOnDevice = size_t(lastChannel) % (f.channels.current / set.ids.size());
    if (f.stimulusSelection) {
        session->selectStimulusChannel(lastChannel, true);
        EXPECT_TRUE(reaches([&](const DecodedCommand& c) { return c.switchBankB.at(lastOnDevice); }));
    }
    if (f.zap) {
        session->zap(lastChannel);
        EXPECT_TRUE(reaches([&](const DecodedCommand& c) { return c.zaps.at(lastOnDevice) == 1; }));
        session->zap(int(f.channels.current)); // every channel
        EXPECT_TRUE(reaches(
            [&](const DecodedCommand& c) { return c.zaps.at(0) == 1 && c.zaps.at(lastOnDevice) == 2; }));
    }
    if (OffsetCompensationWatch* watch = session->offsetCompensation()) {
        watch->order(lastChannel, true);
        EXPECT_TRUE(
            reaches([&](const DecodedCommand& c) { return c.offsetCompensation.at(lastOnDevice).on; }));
    }
    if (f.offsetCompensationAutostop) {
        session->setOffsetCompensationAutostop(true);
        EXPECT_TRUE(reaches([](const DecodedCommand& c) { return c.offsetCompensationAutostop; }));
    }

    // The last current channel and the last gp channel leave their default ranges.
    const auto lastCurrent = uint16_t(f.channels.current - 1);
    std::vector<RangedMeasurement_t> currentRanges;
    uint16_t defaultCurrent = 0;
    ASSERT_EQ(kv4cl::getCurrentRanges(currentRanges, defaultCurrent), kv4cl::Success);
    const auto otherCurrent = uint16_t(defaultCurrent == 0 ? 1 : 0);
    ASSERT_EQ(kv4cl::setCurrentRange(otherCurrent, lastCurrent), kv4cl::Success);
    std::vector<std::vector<RangedMeasurement_t>> gpRanges;
    std::vector<uint16_t> gpDefaults;
    std::vector<std::string> gpNames;
    if (f.channels.gp > 0) {
        ASSERT_EQ(kv4cl::getGpRanges(gpRanges, gpDefaults, gpNames), kv4cl::Success);
    }
    const bool gpChoice = f.channels.gp > 0 && gpRanges.back().size() > 1;
    if (gpChoice) {
        ASSERT_EQ(kv4cl::setGpRange(uint16_t(gpDefaults.back() == 0 ? 1 : 0), uint16_t(f.channels.gp - 1)),
                  kv4cl::Success);
    }

    bool firstEndedFirst = false, secondEndedFirst = false;
    QPointer<Probe> first = new Probe(session->producer(), firstEndedFirst);
    QPointer<Probe> second = new Probe(session->producer(), secondEndedFirst);
    session->add(first, "raw");
    session->add(second, "filtered");
    ASSERT_EQ(session->consumers().size(), 2u);
    session->seedRanges();
    for (Probe* probe : {first.data(), second.data()}) {
        const Probe::Told told = probe->told();
        ASSERT_EQ(told.currents.size(), f.channels.current);
        EXPECT_TRUE(same(told.currents[lastCurrent], currentRanges[otherCurrent]));
        EXPECT_TRUE(same(told.currents[0], currentRanges[defaultCurrent]));
        ASSERT_EQ(told.gps.size(), f.channels.gp);
        if (gpChoice) {
            EXPECT_TRUE(same(told.gps.back(), gpRanges.back()[gpDefaults.back() == 0 ? 1 : 0]));
        }
        RangedMeasurement_t voltage;
        ASSERT_EQ(kv4cl::getVoltageRange(voltage), kv4cl::Success);
        EXPECT_TRUE(same(told.voltage, voltage));
    }

    // Changes reach every consumer; the filter choice only those filed under its key.
    session->onSamplingRateChanged({10.0, kv4cl::UnitPfxKilo, "Hz"}, {20.0, kv4cl::UnitPfxKilo, "Hz"});
    session->onCurrentRangeChanged(currentRanges[defaultCurrent], int(lastCurrent));
    session->setFilteredData("filtered", true);
    for (Probe* probe : {first.data(), second.data()}) {
        const Probe::Told told = probe->told();
        EXPECT_EQ(told.rate, 20000.0);
        EXPECT_TRUE(same(told.currents[lastCurrent], currentRanges[defaultCurrent]));
        EXPECT_EQ(told.filtered, probe == second);
    }

    // Rows of every channel of the set arrive.
    first->onStartConsuming();
    session->start();
    EXPECT_EQ(first->width(), int(f.channels.total()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return first->rows > 100; }, 5000));

    session->stop();
    EXPECT_TRUE(first.isNull() && second.isNull()) << "consumers deleted";
    EXPECT_TRUE(firstEndedFirst && secondEndedFirst) << "the producer's loop ended before";
    EXPECT_EQ(session->producer(), nullptr);
    uint32_t v = 0, c = 0, g = 0;
    EXPECT_EQ(kv4cl::getChannelCounts(v, c, g), kv4cl::Success) << "still connected";
    session.reset();
    EXPECT_EQ(kv4cl::getChannelCounts(v, c, g), kv4cl::ErrorDeviceNotConnected);
    std::vector<std::string> free;
    EXPECT_EQ(kv4cl::detectDevices(free), kv4cl::Success);
    EXPECT_EQ(free, set.ids) << "every device free again";
}

INSTANTIATE_TEST_SUITE_P(Sets, DeviceSessionTest, testing::ValuesIn(sets), [](const auto& info) {
    std::string name = info.param.models;
    std::replace(name.begin(), name.end(), ',', '_');
    return name;
});

} // namespace
