// FTDI EEPROM words read and written through the library on virtual amplifiers: the reference
// model streams on channel B, so the EEPROM call opens channel A for itself; the Dogwood model
// streams on channel A, so the call must share the open handle.

#include "tests/support/amplifiertest.h"

using namespace kv4test;
using kav4sim::FtdiCall;
using kv4cl::Success;

namespace {

class EepromWords : public SimulatedAmplifiers, public testing::WithParamInterface<const char*> {
  protected:
    kav4sim::VirtualDevice& device() { return amplifier().device(); }
};

class EepromWordAccess : public SimulatedAmplifiers {};

TEST_P(EepromWords, WrittenWordsReadBackAndDriverFailuresAnswerTheEepromCodes) {
    connect(GetParam());
    const size_t handles = bus->openHandles();
    for (const auto& [address, word] : {std::pair<uint32_t, uint16_t>{0, 0x1234}, {127, 0xBEEF}}) {
        ASSERT_EQ(kv4cl::writeEepromWord(address, word), Success) << address;
        EXPECT_EQ(device().eepromWord(address), word);
        uint16_t read = 0;
        ASSERT_EQ(kv4cl::readEepromWord(address, read), Success) << address;
        EXPECT_EQ(read, word);
    }
    // Addresses past the EEPROM are refused.
    uint16_t value = 7;
    EXPECT_EQ(kv4cl::readEepromWord(128, value), kv4cl::ErrorValueOutOfRange);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(kv4cl::writeEepromWord(128, 0), kv4cl::ErrorValueOutOfRange);
    EXPECT_EQ(device().eepromWord(128), 0xFFFF);

    device().failCalls(FtdiCall::ReadEE, 1);
    EXPECT_EQ(kv4cl::readEepromWord(0, value), kv4cl::ErrorEepromReadFailed);
    device().failCalls(FtdiCall::WriteEE, 1);
    EXPECT_EQ(kv4cl::writeEepromWord(0, 0xAAAA), kv4cl::ErrorEepromConnectionFailed);
    EXPECT_EQ(device().eepromWord(0), 0x1234);
    EXPECT_EQ(bus->openHandles(), handles) << "a handle opened for a call is closed after it, failed or not";
    // The faults were one-shot: the device answers again.
    ASSERT_EQ(kv4cl::readEepromWord(0, value), Success);
    EXPECT_EQ(value, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(Channels, EepromWords, testing::Values("cedar", "dogwood16"));

TEST_F(EepromWordAccess, EepromChannelThatCannotBeOpenedOrClosedIsReported) {
    connect("cedar");
    kav4sim::VirtualDevice& device = amplifier().device();
    device.failCalls(FtdiCall::OpenEx, 1);
    uint16_t value = 0;
    EXPECT_EQ(kv4cl::readEepromWord(0, value), kv4cl::ErrorEepromReadFailed);
    device.failCalls(FtdiCall::Close, 1);
    EXPECT_EQ(kv4cl::writeEepromWord(0, 0x0102), kv4cl::ErrorEepromDisconnectionFailed);
    EXPECT_EQ(device.eepromWord(0), 0x0102) << "the write itself went through";
}

TEST_F(EepromWordAccess, RewrittenIdentityIsWhatTheNextIdentityReadFinds) {
    connect("cedar");
    uint8_t version = 0, subversion = 0;
    uint32_t firmware = 0;
    ASSERT_EQ(kv4cl::getDeviceInfo(ids[0], version, subversion, firmware), Success);
    ASSERT_EQ(kv4cl::writeEepromWord(117, uint16_t(firmware + 1)), Success);
    uint32_t rewritten = 0;
    ASSERT_EQ(kv4cl::getDeviceInfo(ids[0], version, subversion, rewritten), Success);
    EXPECT_EQ(rewritten, firmware + 1);
}

} // namespace
