// The libftdi1 driver, with the system's libftdi1 running on the virtual libusb: what the
// library asks of the driver reaches the virtual devices as it reaches them on the virtual bus.
// Streams, purges, writes and a bridge pulled while streaming are driven by the suites that run
// a second time through this driver.

#include "commlib/transport/ftdiwrappers.h"
#include "commlib/transport/libftdidriver.h"
#include "simulator/virtualbus.h"
#include "simulator/virtuallibusb/virtualusb.h"

#include <ftdi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kv4CommLib;
using kav4sim::VirtualBus;
using kav4sim::VirtualDevice;

class Libftdi : public testing::Test {
  protected:
    void SetUp() override {
        kav4usb::attachBus(bus);
        driver = makeLibftdiDriver();
    }
    void TearDown() override {
        driver.reset();
        kav4usb::attachBus(nullptr);
    }
    std::shared_ptr<VirtualDevice> add(const std::string& serial) {
        auto device = std::make_shared<VirtualDevice>(serial);
        bus->addDevice(device);
        return device;
    }
    FT_HANDLE open(const std::string& name) {
        FT_HANDLE handle = nullptr;
        std::string n = name;
        EXPECT_EQ(driver->FT_OpenEx(n.data(), FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK) << name;
        return handle;
    }
    std::vector<std::string> listed() {
        DWORD count = 0;
        EXPECT_EQ(driver->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        std::vector<std::string> names;
        for (DWORD i = 0; i < count; i++) {
            char name[64] = {};
            EXPECT_EQ(driver->FT_ListDevices(reinterpret_cast<void*>(uintptr_t(i)), name, FT_LIST_BY_INDEX),
                      FT_OK);
            names.push_back(name);
        }
        return names;
    }
    std::shared_ptr<VirtualBus> bus = std::make_shared<VirtualBus>();
    std::shared_ptr<FtdiDriver> driver;
};

TEST_F(Libftdi, ListsEveryInterfaceOfDualAndQuadBridges) {
    EXPECT_TRUE(listed().empty());
    add("AMP01");
    add("AMP02");
    kav4usb::setQuadBridge("AMP02", true);
    EXPECT_EQ(listed(),
              (std::vector<std::string>{"AMP01A", "AMP01B", "AMP02A", "AMP02B", "AMP02C", "AMP02D"}));
    kav4usb::setQuadBridge("AMP02", false);
    FT_DEVICE_LIST_INFO_NODE info;
    ASSERT_EQ(driver->SPI_GetChannelInfo(3, &info), FT_OK);
    EXPECT_STREQ(info.SerialNumber, "AMP02B");
    EXPECT_STREQ(info.Description, "KAV4 amplifier B");
    EXPECT_EQ(driver->SPI_GetChannelInfo(4, &info), FT_DEVICE_NOT_FOUND);
}

// Failures of the driver calls reach the library's answers in the suites that run through this
// driver a second time (detection, identities, EEPROM words).
TEST_F(Libftdi, OpensByChannelOnceAndPassesTheConfiguration) {
    auto device = add("AMP01");
    const FT_HANDLE b = open("AMP01B");
    ASSERT_NE(b, nullptr);
    FT_HANDLE again = nullptr;
    std::string name = "AMP01B";
    EXPECT_EQ(driver->FT_OpenEx(name.data(), FT_OPEN_BY_SERIAL_NUMBER, &again), FT_DEVICE_NOT_OPENED)
        << "a channel is opened once";
    device->clearCallLog();
    EXPECT_EQ(driver->FT_SetBitMode(b, 0, FT_BITMODE_RESET), FT_OK);
    EXPECT_EQ(driver->FT_SetBitMode(b, 0, FT_BITMODE_SYNC_FIFO), FT_OK);
    EXPECT_EQ(driver->FT_SetLatencyTimer(b, 2), FT_OK);
    EXPECT_EQ(driver->FT_SetUSBParameters(b, 65536, 65536), FT_OK);
    EXPECT_EQ(driver->FT_SetFlowControl(b, FT_FLOW_RTS_CTS, 0, 0), FT_OK);
    EXPECT_EQ(driver->FT_Purge(b, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(device->callLog(),
              (std::vector<std::string>{"SetBitMode B 0 0", "SetBitMode B 0 64", "SetLatencyTimer B 2",
                                        "SetFlowControl B 256 0 0", "Purge B 2", "Purge B 1"}));

    EXPECT_EQ(driver->FT_Close(b), FT_OK);
    EXPECT_EQ(bus->openHandles(), 0u);
}

// The bridge checks the words it configures itself from against the checksum in the last of
// them, and starts with its defaults when they differ. libftdi1's own decoder judges the EEPROM
// after each write.
bool checksumHolds(const std::string& serial) {
    ftdi_context* ftdi = ftdi_new();
    ftdi_set_interface(ftdi, INTERFACE_B); // the driver holds A
    const bool holds = ftdi_usb_open_desc(ftdi, 0x0403, 0x6010, nullptr, serial.c_str()) == 0 &&
                       ftdi_read_eeprom(ftdi) == 0 && ftdi_eeprom_decode(ftdi, 0) == 0;
    ftdi_usb_close(ftdi);
    ftdi_free(ftdi);
    return holds;
}

TEST_F(Libftdi, ReadsAndWritesEepromWordsKeepingTheChecksum) {
    auto device = add("AMP01");
    // A programmed 93C56: a configuration and its checksum, the identity in the user area.
    uint16_t checksum = 0xAAAA;
    for (uint32_t w = 0; w < 127; w++) {
        const uint16_t word = w == 116 ? uint16_t(12 << 8 | 5) : uint16_t(w * 0x0101 + 0x40);
        device->setEepromWord(w, word);
        checksum = uint16_t(checksum ^ word);
        checksum = uint16_t(checksum << 1 | checksum >> 15);
    }
    device->setEepromWord(127, checksum);
    ASSERT_TRUE(checksumHolds("AMP01"));
    const FT_HANDLE a = open("AMP01A");
    WORD word = 0;
    ASSERT_EQ(driver->FT_ReadEE(a, 116, &word), FT_OK);
    EXPECT_EQ(word, 12 << 8 | 5);
    for (DWORD offset : {DWORD(116), DWORD(123), DWORD(3)}) {
        ASSERT_EQ(driver->FT_WriteEE(a, offset, 0xFFF6), FT_OK) << offset;
        ASSERT_EQ(driver->FT_ReadEE(a, offset, &word), FT_OK);
        EXPECT_EQ(word, 0xFFF6) << offset;
        EXPECT_TRUE(checksumHolds("AMP01")) << offset;
    }
    EXPECT_EQ(driver->FT_WriteEE(a, 128, 0), FT_EEPROM_WRITE_FAILED) << "past the EEPROM";
    EXPECT_EQ(driver->FT_Close(a), FT_OK);
}

} // namespace
