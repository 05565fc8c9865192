// The generic setters and their bookkeeping, on the reference model not connected: every
// setter writes the transmit message, which is checked byte by byte.

#include "tests/support/enginemodel.h"

#include <gtest/gtest.h>

namespace kv4test {
namespace {

using namespace kv4cl;

class Setters : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(m.initBuffers(), Success); }
    TestModel m{"TM"};
};

TEST_F(Setters, CurrentRangeForOneChannelAllChannelsAndOutside) {
    EXPECT_EQ(m.setCurrentRange(2, 1, false), Success);
    EXPECT_EQ(m.selectedCurrentRangeIdx, (std::vector<uint16_t>{0, 2, 0, 0}));
    EXPECT_DOUBLE_EQ(m.convertCurrent(1, 1), 20.0 / 32767.0);
    EXPECT_EQ(m.selectedCurrentRanges[1].prefix, UnitPfxNano);
    EXPECT_DOUBLE_EQ(m.convertCurrent(1, 0), 200.0 / 32767.0) << "the default range stays on the others";
    // Range index 2 maps to code 3 in bits 1-3 of byte 1 (initial 0x20): 0x20 | 3 << 1.
    EXPECT_EQ(m.txMessage[1], 0x26);

    m.rangeChanges = 0;
    EXPECT_EQ(m.setCurrentRange(3, 4, false), Success);
    EXPECT_EQ(m.selectedCurrentRangeIdx, (std::vector<uint16_t>{3, 3, 3, 3}));
    EXPECT_EQ(m.rangeChanges, 1) << "the denoiser restarts once for all channels";
    EXPECT_EQ(m.txMessage[1], 0x20 | 7 << 1);
    EXPECT_EQ(m.selectedCurrentRange, 3u);

    EXPECT_EQ(m.setCurrentRange(0, 5, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setCurrentRange(4, 0, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.txMessage[1], 0x20 | 7 << 1) << "a refused setting leaves the message alone";
}

TEST_F(Setters, SamplingRateSetsTheRealRateCodeAndReceivePacing) {
    EXPECT_EQ(m.setSamplingRate(4, false), Success);
    // Rate index 4 maps to code 8 in bits 3-6 of byte 2 (initial 0x03).
    EXPECT_EQ(m.txMessage[2], 0x03 | 8 << 3);
    EXPECT_EQ(m.setSamplingRate(0, false), Success);
    EXPECT_DOUBLE_EQ(m.samplingRate.value, 1.220703125) << "the real rate, not the nominal 1.25 kHz";
    EXPECT_DOUBLE_EQ(m.samplingPeriod.value, 819.2);
    // 50 ms at 1220.7 Hz is 61 samples: 4 packets; 2048 bytes would be 13 packets, more than 50 ms.
    EXPECT_EQ(m.maxPackets.load(), 4u);
    EXPECT_EQ(m.minPackets.load(), 4u);
    EXPECT_EQ(m.maxWaits.load(), 3u);
    EXPECT_EQ(m.waitMicroseconds.load(), 52429u); // 64 samples / 1220.703125 Hz = 52428.8 us

    EXPECT_EQ(m.setSamplingRate(6, false), Success);
    EXPECT_EQ(m.maxPackets.load(), 625u); // 10000 samples
    EXPECT_EQ(m.minPackets.load(), 13u);  // ceil(2048 / 166)
    EXPECT_EQ(m.maxWaits.load(), 625u / 13 + 2);
    EXPECT_EQ(m.waitMicroseconds.load(), 1040u); // 208 samples at 200 kHz

    EXPECT_EQ(m.setSamplingRate(7, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setOversamplingRatio(0, false), ErrorFeatureNotImplemented);
}

// Refused cutoffs keep the previous setting; a rate too slow for the cutoff turns the filter into a
// pass-through until a fast enough rate comes back.
TEST_F(Setters, DigitalFilterCutoffMustLieBelowHalfTheRate) {
    ASSERT_EQ(m.setSamplingRate(2, false), Success); // 9.765625 kHz
    EXPECT_EQ(m.setDigitalFilter({4.8828125, UnitPfxKilo, "Hz"}, true, true), ErrorValueOutOfRange);
    EXPECT_EQ(m.setDigitalFilter({4882.8, UnitPfxNone, "Hz"}, true, true), Success)
        << "prefixes are reconciled";
    EXPECT_EQ(m.setDigitalFilter({0.0, UnitPfxNone, "Hz"}, true, true), ErrorValueOutOfRange);
    EXPECT_EQ(m.setDigitalFilter({-1.0, UnitPfxNone, "Hz"}, true, true), ErrorValueOutOfRange);
    EXPECT_TRUE(m.filterEnabled) << "a refused cutoff keeps the previous setting";
    EXPECT_EQ(m.setDigitalFilter({1.0, UnitPfxMega, "Hz"}, false, false), Success)
        << "anything goes when disabled";
    EXPECT_DOUBLE_EQ(m.b0, 1.0);
    EXPECT_DOUBLE_EQ(m.a1, 0.0);

    ASSERT_EQ(m.setSamplingRate(6, false), Success);
    ASSERT_EQ(m.setDigitalFilter({10.0, UnitPfxKilo, "Hz"}, true, true), Success);
    EXPECT_NE(m.a1, 0.0);
    ASSERT_EQ(m.setSamplingRate(1, false), Success); // 4.88 kHz
    EXPECT_DOUBLE_EQ(m.b0, 1.0);
    EXPECT_DOUBLE_EQ(m.b1, 0.0);
    EXPECT_DOUBLE_EQ(m.a2, 0.0);
    ASSERT_EQ(m.setSamplingRate(6, false), Success);
    EXPECT_NE(m.a1, 0.0) << "the filter comes back with a fast enough rate";
}

TEST_F(Setters, RawBitsAndFieldsTouchOnlyTheirBits) {
    const std::vector<uint8_t> before = m.txMessage;
    EXPECT_EQ(m.setRawBit(10, 6, true), Success);
    EXPECT_EQ(m.txMessage[10], 0x40);
    EXPECT_EQ(m.setRawBit(10, 6, false), Success);
    EXPECT_EQ(m.txMessage, before);
    EXPECT_EQ(m.setRawField(12, 0xFF), Success);
    EXPECT_EQ(m.txMessage[12], 0x7F) << "bit 7 belongs to the start marker only";
    EXPECT_EQ(m.setRawBit(10, 7, true), ErrorValueOutOfRange);
    EXPECT_EQ(m.setRawBit(51, 0, true), ErrorValueOutOfRange);
    EXPECT_EQ(m.setRawField(51, 1), ErrorValueOutOfRange);
}

// The models' goldens show each setting's bytes; here what is refused.
TEST_F(Setters, IndicesPastTheTablesAndFeaturesTheModelLacksAreRefused) {
    EXPECT_EQ(m.setProtocolVoltage(6, {0.0, UnitPfxMilli, "V"}, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setProtocolParameter(ProtocolSlope, 0, {0.0, UnitPfxMilli, "V/ms"}, false),
              ErrorValueOutOfRange);
    EXPECT_EQ(m.selectProtocol(uint16_t(m.protocolNames.size()), false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setChoice(0, 0), ErrorFeatureNotImplemented);
    EXPECT_EQ(m.setGpRange(0, 0, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setReferencePulse({1, UnitPfxMilli, "V"}, {1, UnitPfxMilli, "s"}),
              ErrorFeatureNotImplemented);
    EXPECT_EQ(m.setSpiMode(true), ErrorDeviceNotConnected);
    EXPECT_EQ(m.setChannelSwitchB(5, true, false), ErrorValueOutOfRange);
    EXPECT_EQ(m.setSingleSwitch(true, false), ErrorFeatureNotImplemented);

    TestModel plain{"TM2"};
    plain.denoiserAvailable = false;
    plain.calibrationMemoryAvailable = false;
    ASSERT_EQ(plain.initBuffers(), Success);
    EXPECT_EQ(plain.setDenoiserEnabled(true), ErrorFeatureNotImplemented);
    EXPECT_EQ(plain.setSpiMode(true), ErrorEepromNotConnected);
    std::vector<uint32_t> values;
    EXPECT_EQ(plain.readCalibration(values, {0}, {1}), ErrorEepromNotConnected);
}

} // namespace
} // namespace kv4test
