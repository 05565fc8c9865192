// The demo device: reached by its id through the public functions, without any USB access,
// with the real Elm's tables and no data.

#include "commlib/demo/fakeelm.h"
#include "tests/commlib/models/modeltest.h"

namespace kv4test {
namespace {

using namespace kv4cl;

// Its identity from the software EEPROM, for the whole id only; connected by its id alone, with
// the real Elm's tables, never any data, setters that never wait for a transmitter however many
// there are, and no mixing with devices on USB. A device on the bus under the demo's very name
// shows any FTDI access in its log.
TEST_F(ModelBus, DemoNeedsNoUsbHasTheElmsTablesAndNoDataAndDoesNotMixWithRealDevices) {
    const auto decoy = addDevice("Elm Demo", {.version = 4, .subversion = 3, .firmware = 129});
    uint8_t version = 0, subversion = 0;
    uint32_t firmware = 0;
    ASSERT_EQ(getDeviceInfo("Elm Demo", version, subversion, firmware), Success);
    EXPECT_EQ(std::tuple(version, subversion, firmware), std::tuple(253, 3, 129u));
    EXPECT_EQ(int16_t(makeEeprom("Elm Demo")->calibrationWord), 1650);
    ASSERT_EQ(getDeviceInfo("Elm Demo ", version, subversion, firmware), Success);
    EXPECT_EQ(version, 0);

    addDevice("ELM1", {.version = 11, .subversion = 1, .firmware = 3});
    EXPECT_EQ(kv4cl::connect({"Elm Demo", "ELM1"}), ErrorDifferentDeviceTypes);
    EXPECT_EQ(kv4cl::connect({"ELM1", "Elm Demo"}), ErrorDifferentDeviceTypes);
    EXPECT_TRUE(deviceList().empty());

    ASSERT_EQ(kv4cl::connect({"Elm Demo"}), Success);
    auto& demo = dynamic_cast<MessageDispatcher_fake_Elm&>(deviceList().first());
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
    EXPECT_TRUE(decoy->callLog().empty()) << decoy->callLog().front();
    EXPECT_EQ(bus->openHandles(), 0u);
}

} // namespace
} // namespace kv4test
