// The Elm, Birch and Alder models: their message layouts against golden bytes, and the previous
// generation's packets.

#include "commlib/models/alder.h"
#include "commlib/models/birch.h"
#include "commlib/models/elm.h"
#include "tests/commlib/models/modeltest.h"

namespace kv4test {
namespace {

using namespace kv4cl;

// The packets of the current generation are parsed as the reference model's (one engine reads
// them): what differs is in the tables, the messages' bytes and the previous generation's packets.
class Families : public ModelBus {
  protected:
    // Connects, wakes the device and checks the model's reset pulse, its power-on message and
    // its configuration.
    MessageDispatcher& connectAndCheckStart(const std::string& serial, const Golden& golden) {
        MessageDispatcher& m = connectModel(serial);
        const std::vector<Message> w = wakeAndWaitForWrites(serial, 3);
        EXPECT_EQ(w, (std::vector<Message>{golden.bytes("reset"), golden.bytes("power-on"),
                                           golden.bytes("configured")}));
        return m;
    }
};

TEST_F(Families, ElmEncodesOversamplingAndItsStimulusFilter) {
    const Golden golden("elm.golden");
    auto m = standalone<MessageDispatcher_Elm>();
    EXPECT_EQ(m->txMessage, golden.bytes("power-on"));
    ASSERT_EQ(m->initializeDevice(), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("configured"));
    ASSERT_EQ(m->setCurrentRange(1, 0, false), Success);
    ASSERT_EQ(m->setSamplingRate(6, false), Success);
    ASSERT_EQ(m->setOversamplingRatio(3, false), Success);
    ASSERT_EQ(m->setVoltageStimulusLpf(0, false), Success);
    ASSERT_EQ(m->selectProtocol(3, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 2, {-0.5, UnitPfxMilli, "V"}, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 0, {0.5, UnitPfxNone, "s"}, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolAdimensional, 1, {511, UnitPfxNone, ""}, false), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("settings"));
    EXPECT_EQ(m->samplingRate.value, 1600.0) << "200 kHz times 8";
    EXPECT_EQ(m->samplingRate.prefix, UnitPfxKilo);
    EXPECT_EQ(m->setOversamplingRatio(4, false), ErrorValueOutOfRange);
    addDevice("ELM1", {.version = 11, .subversion = 1, .firmware = 3});
    connectAndCheckStart("ELM1", golden);
}

TEST_F(Families, BirchHasARangeCoderPerChannelAndChannelSwitches) {
    const Golden golden("birch.golden");
    auto m = standalone<MessageDispatcher_Birchb_V01>();
    EXPECT_EQ(m->txMessage, golden.bytes("power-on"));
    ASSERT_EQ(m->initializeDevice(), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("configured"));
    ASSERT_EQ(m->setCurrentRange(2, 1, false), Success);
    ASSERT_EQ(m->setCurrentRange(3, 0, false), Success);
    ASSERT_EQ(m->setSamplingRate(4, false), Success);
    ASSERT_EQ(m->setChannelSwitchA(0, false, false), Success);
    ASSERT_EQ(m->selectProtocol(7, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 3, {3e7, UnitPfxMilli, "s"}, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 4, {250, UnitPfxMilli, "V"}, false), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("settings"));
    EXPECT_EQ(m->setCurrentRange(0, 3, false), ErrorValueOutOfRange);
    addDevice("BIRCH1", {.version = 6, .subversion = 1, .firmware = 2});
    connectAndCheckStart("BIRCH1", golden);
}

TEST_F(Families, AlderEncodesIntoItsLongerMessageAndStreamsCalibratedVoltages) {
    const Golden golden("alder.golden");
    auto m = standalone<MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02>();
    EXPECT_EQ(m->txMessage, golden.bytes("power-on"));
    ASSERT_EQ(m->initializeDevice(), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("configured"));
    ASSERT_EQ(m->setCurrentRange(2, 0, false), Success);
    ASSERT_EQ(m->setSamplingRate(4, false), Success);
    ASSERT_EQ(m->selectProtocol(2, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 0, {-500, UnitPfxMilli, "V"}, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 1, {15, UnitPfxMilli, "s"}, false), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("settings"));
    EXPECT_EQ(m->setSamplingRate(5, false), ErrorValueOutOfRange) << "no 100 kHz on this generation";
    EXPECT_EQ(m->setInsertionPulse({10, UnitPfxMilli, "V"}, {10, UnitPfxMilli, "s"}),
              ErrorFeatureNotImplemented);

    // The voltages it streams carry the calibration offset.
    auto device = addDevice("ALDER1", {.version = 9, .subversion = 1, .firmware = 2});
    device->setEepromWord(123, 0xFFEC); // -20 voltage steps
    expectGoldenReceive(connectAndCheckStart("ALDER1", golden), "ALDER1", golden);
}

} // namespace
} // namespace kv4test
