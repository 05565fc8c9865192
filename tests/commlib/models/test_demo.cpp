// The demo device: reached by its id through the public functions, without any USB access,
// with the real Elm's tables and no data.

#include "commlib/demo/fakeelm.h"
#include "tests/commlib/models/modeltest.h"

namespace kv4test {
namespace {

using namespace kv4cl;

class Demo : public ModelBus {
  protected:
    void SetUp() override {
        ModelBus::SetUp();
        // A device on the bus under the demo's very name: any FTDI access would show in its log.
        decoy = addDevice("Elm Demo", {.version = 4, .subversion = 3, .firmware = 129});
    }
    MessageDispatcher_fake_Elm& connectDemo() {
        EXPECT_EQ(kv4cl::connect({"Elm Demo"}), Success);
        return dynamic_cast<MessageDispatcher_fake_Elm&>(deviceList().first());
    }
    void expectNoUsbAccess() {
        EXPECT_TRUE(decoy->callLog().empty()) << decoy->callLog().front();
        EXPECT_EQ(bus->openHandles(), 0u);
    }
    std::shared_ptr<kav4sim::VirtualDevice> decoy;
};

TEST_F(Demo, DeviceInfoComesFromTheSoftwareEeprom) {
    uint8_t version = 0, subversion = 0;
    uint32_t firmware = 0;
    ASSERT_EQ(getDeviceInfo("Elm Demo", version, subversion, firmware), Success);
    EXPECT_EQ(version, 253);
    EXPECT_EQ(subversion, 3);
    EXPECT_EQ(firmware, 129u);
    EXPECT_EQ(int16_t(makeEeprom("Elm Demo")->calibrationWord), 1650);
    expectNoUsbAccess();
    // Only the whole id is the demo's.
    ASSERT_EQ(getDeviceInfo("Elm Demo ", version, subversion, firmware), Success);
    EXPECT_EQ(version, 0);
}

// Connected by its id alone, with the real Elm's tables, never any data, setters that never wait
// for a transmitter however many there are, and no mixing with devices on USB.
TEST_F(Demo, ConnectsWithoutTransportNeverHasDataAndDoesNotMixWithRealDevices) {
    addDevice("ELM1", {.version = 11, .subversion = 1, .firmware = 3});
    EXPECT_EQ(kv4cl::connect({"Elm Demo", "ELM1"}), ErrorDifferentDeviceTypes);
    EXPECT_EQ(kv4cl::connect({"ELM1", "Elm Demo"}), ErrorDifferentDeviceTypes);
    EXPECT_TRUE(deviceList().empty());

    MessageDispatcher_fake_Elm& demo = connectDemo();
    std::vector<RangedMeasurement_t> ranges;
    uint16_t defaultIdx = 9;
    ASSERT_EQ(getCurrentRanges(ranges, defaultIdx), Success);
    EXPECT_EQ(ranges.size(), 2u) << "the real Elm's tables";
    std::vector<Measurement_t> rates;
    ASSERT_EQ(getRealSamplingRates(rates), Success);
    ASSERT_EQ(rates.size(), 4u);
    EXPECT_EQ(rates[0].value, 1.25) << "exact demo rates";
    DataStatus_t status;
    EXPECT_EQ(getDataStatus(status), WarningNoDataAvailable);
    EXPECT_EQ(status.availableFrames, 0u);
    uint32_t read = 7;
    uint16_t* buffer = nullptr;
    uint16_t* unfiltered = nullptr;
    readSamples(16, read, buffer, unfiltered);
    EXPECT_EQ(read, 0u);

    // Far more messages than the queue holds; the last one set decides the message.
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(setCurrentRange(uint16_t(i % 2), 0), Success) << i;
        ASSERT_EQ(setSamplingRate(uint16_t(i % 4)), Success) << i;
    }
    EXPECT_EQ(demo.txMessage[1], 0x02) << "range 1 at byte 1 bit 1";
    EXPECT_EQ(demo.txMessage[2], 0x03) << "rate 3 at byte 2";
    EXPECT_EQ(setSamplingRate(4), ErrorValueOutOfRange);
    EXPECT_EQ(setCurrentRange(2, 0), ErrorValueOutOfRange);

    EXPECT_EQ(kv4cl::connect({"Elm Demo"}), ErrorDeviceAlreadyConnected);
    EXPECT_EQ(kv4cl::disconnect(), Success);
    EXPECT_EQ(kv4cl::disconnect(), ErrorDeviceNotConnected);
    expectNoUsbAccess();
}

} // namespace
} // namespace kv4test
