// The public functions on the virtual bus: detection, device information, connection
// checks, and parallel devices acting as one (channel numbering, forwarding, merged data
// and the drift compensation between their clocks).

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"
#include "simulator/simulation.h"
#include "tests/commlib/core/testmodel.h"

#include <cmath>
#include <limits>
#include <tuple>

namespace kv4test {
namespace {

using namespace kv4cl;
using kav4sim::FtdiCall;
using kav4sim::VirtualDevice;

TEST(NotConnected, EveryFunctionAnswersDeviceNotConnected) {
    uint32_t v = 7, c = 7, g = 7;
    EXPECT_EQ(getChannelCounts(v, c, g), ErrorDeviceNotConnected);
    EXPECT_EQ(setCurrentRange(0, 0), ErrorDeviceNotConnected);
    DataStatus_t status;
    EXPECT_EQ(getDataStatus(status), ErrorDeviceNotConnected);
    uint32_t read = 5;
    uint16_t* buffer = nullptr;
    uint16_t* unfiltered = nullptr;
    EXPECT_EQ(readSamples(16, read, buffer, unfiltered), ErrorDeviceNotConnected);
    std::vector<FramesLost_t> lost(1);
    EXPECT_EQ(readFramesLost(lost), ErrorDeviceNotConnected);
    EXPECT_TRUE(lost.empty()) << "nothing stale is left in the caller's vector";
    double value = 0.0;
    EXPECT_EQ(currentFromRaw(100, 0, value), ErrorDeviceNotConnected);
    bool available = true;
    EXPECT_EQ(hasResetDenoiser(available), ErrorDeviceNotConnected);
    EXPECT_EQ(resetDriftEstimator(), ErrorDeviceNotConnected);
    std::vector<std::string> ids;
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    EXPECT_EQ(getConnectedDevicesInfo(ids, versions, subversions, firmwares), ErrorDeviceNotConnected);
    EXPECT_EQ(disconnect(), ErrorDeviceNotConnected);
}

// ---- Detection, device information and connection checks -----------------------------------------

using Detection = DispatcherTest;

TEST_F(Detection, ListsEachDeviceOnceSortedAndLeavesNoIdsWhenThereAreNone) {
    const auto detect = [](std::vector<std::string> expected) {
        std::vector<std::string> ids = {"stale"};
        const ErrorCodes_t result = detectDevices(ids);
        EXPECT_EQ(ids, expected);
        return result;
    };
    EXPECT_EQ(detect({}), ErrorNoDevicesDetected);
    addDevice("KB902");
    addDevice("KB117");
    addDevice("KA555");
    EXPECT_EQ(detect({"KA555", "KB117", "KB902"}), Success) << "without the channel letter";
    bus->device("KB117")->failCalls(FtdiCall::ListDevices);
    EXPECT_EQ(detect({}), ErrorDevicesDetectionFailed);
}

TEST_F(Detection, DeviceInfoComesFromTheIdentityWordsOrIsZeroWhenUnreadable) {
    // Word 116 holds version and subversion, word 117 the firmware version.
    auto device = std::make_shared<VirtualDevice>("EE100");
    device->setEepromWord(116, 0x0905);
    device->setEepromWord(117, 0x0203);
    bus->addDevice(device);
    addDevice("EE200", 9, 5, 77)->failCalls(FtdiCall::OpenEx);
    addDevice("EE300", 9, 5, 77)->failCalls(FtdiCall::ReadEE);
    const std::tuple<std::string, uint8_t, uint8_t, uint32_t> rows[] = {
        {"EE100", 9, 5, 0x0203}, {"EE200", 0, 0, 0}, {"EE300", 0, 0, 0}, {"NOSUCH", 0, 0, 0}};
    for (const auto& [id, expectedVersion, expectedSubversion, expectedFirmware] : rows) {
        uint8_t version = 0xAA, subversion = 0xAA;
        uint32_t firmware = 0xAAAA;
        EXPECT_EQ(getDeviceInfo(id, version, subversion, firmware), Success) << id;
        EXPECT_EQ(std::tuple(version, subversion, firmware),
                  std::tuple(expectedVersion, expectedSubversion, expectedFirmware))
            << id;
    }
    EXPECT_EQ(bus->openHandles(), 0u) << "the EEPROM channel is closed again";
}

TEST_F(Detection, ConnectRefusesEmptyUnknownAndMixedDevices) {
    EXPECT_EQ(kv4cl::connect({}), ErrorDeviceTypeNotControllable);

    // An identity without a catalogue row: a single device, or two of one type, are not controllable.
    addDevice("AA001", 5, 2, 77);
    addDevice("AA002", 5, 2, 77);
    EXPECT_EQ(kv4cl::connect({"AA001"}), ErrorDeviceTypeNotControllable);
    EXPECT_EQ(kv4cl::connect({"AA001", "AA002"}), ErrorDeviceTypeNotControllable);

    // Each field of the identity on its own makes a different type, wherever the odd one is.
    addDevice("VV001", 6, 2, 77);
    addDevice("SV001", 5, 3, 77);
    addDevice("FW001", 5, 2, 78);
    for (const std::string other : {"VV001", "SV001", "FW001"}) {
        EXPECT_EQ(kv4cl::connect({"AA001", other}), ErrorDifferentDeviceTypes) << other;
        EXPECT_EQ(kv4cl::connect({"AA001", "AA002", other}), ErrorDifferentDeviceTypes) << other;
        uint32_t v = 0, c = 0, g = 0;
        EXPECT_EQ(getChannelCounts(v, c, g), ErrorDeviceNotConnected) << "nothing connected after " << other;
    }
    EXPECT_EQ(bus->openHandles(), 0u);
}

// ---- Parallel devices ---------------------------------------------------------------------------------

class ParallelDevices : public DispatcherTest {
  protected:
    void TearDown() override {
        // The list holds the dispatchers: they must stop before the bus goes.
        kv4cl::disconnect();
        DispatcherTest::TearDown();
    }

    void attachAll() {
        ASSERT_EQ(deviceList().attach(std::move(dispatchers)), Success);
        dispatchers.clear(); // owned by the list now
    }
};

TEST_F(ParallelDevices, ChannelsAreNumberedAcrossDevices) {
    TestModel& d0 = addConnected();
    TestModel& d1 = addConnected();
    attachAll();

    uint32_t v = 0, c = 0, g = 7;
    ASSERT_EQ(getChannelCounts(v, c, g), Success);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(c, 8u);
    EXPECT_EQ(g, 0u);

    // The total is "all channels": each device gets its own "all" index.
    EXPECT_EQ(setCurrentRange(1, 8), Success);
    EXPECT_EQ(d0.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 1, 1, 1}));
    EXPECT_EQ(d1.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 1, 1, 1}));

    EXPECT_EQ(setCurrentRange(2, 5), Success);
    EXPECT_EQ(d0.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 1, 1, 1}));
    EXPECT_EQ(d1.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 2, 1, 1}));

    EXPECT_EQ(setCurrentRange(3, 9), ErrorValueOutOfRange);
    EXPECT_EQ(d0.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 1, 1, 1}));
    EXPECT_EQ(d1.selectedCurrentRangeIdx, (std::vector<uint16_t>{1, 2, 1, 1}));

    // Conversions use the owning device's resolution: 2 nA or 20 nA full scale over 32767.
    double value = 0.0;
    ASSERT_EQ(currentFromRaw(1000, 5, value), Success);
    EXPECT_DOUBLE_EQ(value, 1000 * (20.0 / 32767.0));
    ASSERT_EQ(currentFromRaw(1000, 1, value), Success);
    EXPECT_DOUBLE_EQ(value, 1000 * (2.0 / 32767.0));
    ASSERT_EQ(currentFromRaw(-1000, 4, value), Success);
    EXPECT_DOUBLE_EQ(value, -1000 * (2.0 / 32767.0));
    EXPECT_EQ(currentFromRaw(1000, 8, value), ErrorValueOutOfRange);

    EXPECT_EQ(kv4cl::connect({"TM000"}), ErrorDeviceAlreadyConnected);

    EXPECT_EQ(kv4cl::disconnect(), Success);
    EXPECT_EQ(getChannelCounts(v, c, g), ErrorDeviceNotConnected);
    EXPECT_EQ(bus->openHandles(), 0u) << "every device was disconnected";
}

TEST_F(ParallelDevices, StatusReportsTheSmallestCountAndEveryFlag) {
    // Three devices, so that the smallest count and the only flags belong to neither end of the list.
    addConnected();
    addConnected();
    addConnected();
    attachAll();

    DataStatus_t status;
    EXPECT_EQ(getDataStatus(status), WarningNoDataAvailable);
    EXPECT_EQ(status.availableFrames, 0u);

    deliver(0, patternPackets(0, 20, 0, true));
    deliver(2, patternPackets(0, 12, 0, true));
    EXPECT_EQ(getDataStatus(status), WarningNoDataAvailable) << "the middle device has nothing yet";
    EXPECT_EQ(status.availableFrames, 0u);

    // Current words 0x7FFE and 0x7FFF: an extreme code in every sample, so the device reports a
    // word overflow and suggests a higher range (range 0 is selected).
    deliver(1, patternPackets(0, 7, 0x7FFB, true));
    ASSERT_EQ(getDataStatus(status), Success);
    EXPECT_EQ(status.availableFrames, 7u * 16u);
    EXPECT_TRUE(status.wordOverflow);
    EXPECT_TRUE(status.rangeUpSuggested);
    EXPECT_FALSE(status.rangeDownSuggested);
    EXPECT_FALSE(status.bufferOverflow);
    EXPECT_FALSE(status.dataLost);
    EXPECT_FALSE(status.spareFlag);

    uint32_t read = 9;
    uint16_t* buffer = nullptr;
    uint16_t* unfiltered = nullptr;
    EXPECT_EQ(readSamples(0, read, buffer, unfiltered), WarningNoDataAvailable);
    EXPECT_EQ(read, 0u);
    ASSERT_EQ(getDataStatus(status), Success);
    EXPECT_EQ(status.availableFrames, 7u * 16u) << "a read of nothing consumes nothing";
}

// Two devices whose queues always hold more than a read asks (each read's status says so). The
// drift estimate of a device that is ahead grows about as 5e-12 k^2 over the first k reads, and
// the device gives one extra frame once about 1/estimate frames were read since its last one: the
// first comes near k^3 = 2e11 / n, some 580 reads for n = 1024, then ever more often; 1450 reads
// see three or four. An extra frame is taken from the device and dropped, never handed out.
// (With n = 4096, three would take 2.8M frames per device.)
TEST_F(ParallelDevices, MergedStreamWithDriftCompensation) {
    constexpr uint32_t n = 1024, reads = 1450, packets = 100000; // 1.6M frames per device
    addConnected();
    addConnected();
    attachAll();
    ASSERT_EQ(setDigitalFilter({100.0, UnitPfxNone, "Hz"}, true, true), Success);
    uint32_t next[2] = {0, 0x50000 + 123};
    devices[0]->feed('B', patternPackets(next[0], packets, 0x0A00));
    devices[1]->feed('B', patternPackets(next[1], packets, 0x0B00));
    ASSERT_TRUE(devices[0]->waitUntilDrained('B', 20s));
    ASSERT_TRUE(devices[1]->waitUntilDrained('B', 20s));

    std::vector<uint32_t> skips[2];
    bool smoothed[2] = {false, false};
    for (uint32_t r = 1; r <= reads; r++) {
        DataStatus_t status;
        ASSERT_EQ(getDataStatus(status), Success) << "read " << r;
        ASSERT_GT(status.availableFrames, n + 1) << "read " << r;
        uint32_t got = 0;
        uint16_t* filtered = nullptr;
        uint16_t* w = nullptr;
        ASSERT_EQ(readSamples(n, got, filtered, w), Success) << "read " << r;
        ASSERT_EQ(got, n) << "read " << r;
        // Nine words: device 0's voltage and currents, device 1's currents; the unfiltered
        // currents are the counting pattern, which the filter (on) smooths in the other buffer.
        for (uint32_t f = 0; f < n; f++, w += 9, filtered += 9) {
            for (int d = 0; d < 2; d++) {
                const uint16_t* c = w + 1 + 4 * d;
                const uint32_t frame = c[1] | uint32_t(c[0]) << 16;
                const bool skipped = f == 0 && r > 1 && frame == next[d] + 1;
                if (skipped) skips[d].push_back(r - 1);
                ASSERT_EQ(frame, next[d] + skipped) << "device " << d << ", read " << r << ", frame " << f;
                ASSERT_EQ(c[2], d ? 0x0B03 : 0x0A03);
                ASSERT_EQ(c[3], d ? 0x0B04 : 0x0A04);
                smoothed[d] |= filtered[2 + 4 * d] != c[1];
                next[d] = frame + 1;
            }
            ASSERT_EQ(w[0], uint16_t(next[0] - 1)) << "device 0's voltage word";
            ASSERT_EQ(filtered[0], w[0]) << "the filter leaves the voltage alone";
        }
    }
    EXPECT_TRUE(smoothed[0] && smoothed[1]) << "the filtered buffer holds unfiltered currents";
    EXPECT_EQ(skips[0], skips[1]) << "equal availability, equal compensation";
    ASSERT_GE(skips[0].size(), 3u);
    EXPECT_GE(skips[0].front(), 400u);
    EXPECT_LE(skips[0].front(), 800u);
    for (size_t i = 2; i < skips[0].size(); i++)
        EXPECT_LE(skips[0][i] - skips[0][i - 1], skips[0][i - 1] - skips[0][i - 2])
            << "the estimate keeps rising while the queues stay ahead";
}

// ---- Values that are no numbers -------------------------------------------------------------------

class HostileValues : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        bus = kav4sim::installSimulation("dogwood16", error);
        ASSERT_TRUE(bus) << error;
        ASSERT_EQ(kv4cl::connect({"VDOGWOOD1601"}), Success);
    }
    void TearDown() override {
        kv4cl::disconnect();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    std::shared_ptr<kav4sim::SimulatedBus> bus;
};

TEST_F(HostileValues, EverySetterRefusesNonFiniteValuesAndUnknownPrefixes) {
    using M = Measurement_t;
    using Setter = std::function<ErrorCodes_t(const M&)>;
    const Measurement_t mV{0.0, UnitPfxMilli, "V"};
    const Measurement_t ms{1.0, UnitPfxMilli, "s"};
    std::string message;
    // One row per entry point, and every argument of one that takes several.
    const std::vector<std::pair<const char*, Setter>> setters = {
        {"setDigitalFilter", [](const M& m) { return setDigitalFilter(m, true, true); }},
        {"setVoltageReference", [](const M& m) { return setVoltageReference(m); }},
        {"setCFast", [](const M& m) { return setCFast(m, true); }},
        {"checkVoltageOffset", [&](const M& m) { return checkVoltageOffset(0, m, message); }},
        {"setVoltageOffset", [](const M& m) { return setVoltageOffset(0, m); }},
        {"startVoltageOffsetRamp initial", [&](const M& m) { return startVoltageOffsetRamp(0, m, mV, ms); }},
        {"startVoltageOffsetRamp final", [&](const M& m) { return startVoltageOffsetRamp(0, mV, m, ms); }},
        {"startVoltageOffsetRamp duration", [&](const M& m) { return startVoltageOffsetRamp(0, mV, mV, m); }},
        {"setProtocolVoltage", [](const M& m) { return setProtocolVoltage(0, m); }},
        {"checkProtocolTime", [&](const M& m) { return checkProtocolTime(0, m, message); }},
        {"validateProtocol", [&](const M& m) { return validateProtocol(0, {m}, {}, {}, {}, {}, message); }},
        {"setFastPulsesSegmentVoltage", [](const M& m) { return setFastPulsesSegmentVoltage(0, m); }},
        {"setFastPulsesPulsePeriod", [](const M& m) { return setFastPulsesPulsePeriod(0, m); }},
        {"setInsertionPulse voltage", [&](const M& m) { return setInsertionPulse(m, ms); }},
        {"setInsertionPulse duration", [&](const M& m) { return setInsertionPulse(mV, m); }},
        {"setReferencePulse voltage", [&](const M& m) { return setReferencePulse(m, ms); }},
        {"setReferencePulseTrain period", [&](const M& m) { return setReferencePulseTrain(mV, ms, m, 1); }},
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Measurement_t> hostile = {
        {std::nan(""), UnitPfxMilli, "V"}, {-inf, UnitPfxNone, "s"}, {1.0, UnitPfxNum, "V"}};
    for (const auto& [name, set] : setters)
        for (const Measurement_t& m : hostile)
            EXPECT_EQ(set(m), ErrorValueOutOfRange) << name << " with " << m.value << " prefix " << m.prefix;

    std::vector<std::string> names;
    std::vector<RangedMeasurement_t> ranges;
    std::vector<Measurement_t> defaults;
    ASSERT_EQ(getProtocolVoltage(names, ranges, defaults), Success);
    EXPECT_EQ(setProtocolVoltage(0, defaults[0]), Success) << "a finite value still goes through";
    EXPECT_EQ(setCustomDouble(0, std::nan("")), ErrorValueOutOfRange);
}

} // namespace
} // namespace kv4test
