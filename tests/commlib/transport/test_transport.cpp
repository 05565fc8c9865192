#include "commlib/transport/ftdiwrappers.h"
#include "commlib/transport/spimemory.h"
#include "simulator/virtualbus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <tuple>
#include <vector>

using namespace kv4CommLib;
using kav4sim::FtdiCall;
using kav4sim::VirtualBus;
using kav4sim::VirtualDevice;

namespace {

const std::string serial = "KV4T0001";

// The virtual bus, counting how often SPI data is read: the device cannot show it.
class ProbeBus : public VirtualBus {
  public:
    FT_STATUS SPI_Read(FT_HANDLE handle, UCHAR* buffer, DWORD n, DWORD* read, DWORD options) override {
        ++spiReads;
        return VirtualBus::SPI_Read(handle, buffer, n, read, options);
    }
    int spiReads = 0;
};

class TransportTest : public testing::Test {
  protected:
    void SetUp() override {
        installFtdiDriver(bus);
        bus->addDevice(device);
    }
    void TearDown() override { installFtdiDriver(nullptr); }

    // Every model streams and is commanded on one channel.
    FtdiTransport transport(char channel, bool fifo) {
        FtdiTransport t;
        t.deviceId = serial;
        t.rxChannel = channel;
        t.txChannel = channel;
        t.syncFifo = fifo;
        return t;
    }

    std::shared_ptr<ProbeBus> bus = std::make_shared<ProbeBus>();
    std::shared_ptr<VirtualDevice> device = std::make_shared<VirtualDevice>(serial);
};

// Each configuration step in its order, with the values the bridge needs for each mode; a failing
// step closes what was opened and leaves no handle lock behind.
TEST_F(TransportTest, OpenConfiguresInOrderAndAFailingStepClosesTheChannel) {
    FtdiTransport plain = transport('B', false);
    ASSERT_EQ(plain.open(), kv4cl::Success);
    EXPECT_EQ(device->callLog(), (std::vector<std::string>{"OpenEx B", "SetLatencyTimer B 2",
                                                           "SetUSBParameters B 4096 4096", "Purge B 3"}));
    EXPECT_EQ(plain.commandHandle, plain.dataHandle);
    EXPECT_EQ(plain.close(), kv4cl::Success);
    EXPECT_EQ(plain.commandHandle, nullptr);

    device->clearCallLog();
    FtdiTransport fifo = transport('A', true);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(fifo.open(), kv4cl::Success);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    EXPECT_EQ(device->callLog(),
              (std::vector<std::string>{"OpenEx A", "SetBitMode A 0 0", "SetBitMode A 0 64",
                                        "SetLatencyTimer A 2", "SetUSBParameters A 65536 65536",
                                        "SetFlowControl A 256 0 0", "Purge A 3"}));
    EXPECT_EQ(fifo.close(), kv4cl::Success);
    EXPECT_EQ(bus->openHandles(), 0u);

    const std::tuple<bool, FtdiCall, ErrorCodes_t> faults[] = {
        {false, FtdiCall::OpenEx, kv4cl::ErrorDeviceConnectionFailed},
        {false, FtdiCall::SetLatencyTimer, kv4cl::ErrorFtdiConfigurationFailed},
        {false, FtdiCall::SetUSBParameters, kv4cl::ErrorFtdiConfigurationFailed},
        {false, FtdiCall::Purge, kv4cl::ErrorFtdiConfigurationFailed},
        {true, FtdiCall::SetBitMode, kv4cl::ErrorFtdiConfigurationFailed},
        {true, FtdiCall::SetFlowControl, kv4cl::ErrorFtdiConfigurationFailed},
        {true, FtdiCall::Purge, kv4cl::ErrorFtdiConfigurationFailed}};
    for (const auto& [withFifo, call, expected] : faults) {
        SCOPED_TRACE(device->callLog().size());
        FtdiTransport t = transport('B', withFifo);
        const size_t mutexes = handleMutexCount();
        device->failCalls(call, 1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(t.open(), expected);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  call == FtdiCall::SetBitMode ? "FT_SetBitMode FAILED\n" : "");
        EXPECT_FALSE(t.isOpen());
        EXPECT_EQ(bus->openHandles(), 0u);
        EXPECT_EQ(handleMutexCount(), mutexes);
    }
}

// The calibration memory on the SPI channel: opening and closing drive the channel, accesses stay
// within the 2 KiB, a write polls until the memory is ready, and nothing stays open after a
// failing open.
TEST_F(TransportTest, CalibrationMemoryOnTheSpiChannel) {
    CalibrationMemory memory;
    EXPECT_FALSE(memory.open("KV4T9999A"));
    for (FtdiCall call : {FtdiCall::SpiOpenChannel, FtdiCall::SpiInitChannel, FtdiCall::WriteGPIO}) {
        device->failCalls(call, 1);
        EXPECT_FALSE(memory.open(serial + "A"));
        EXPECT_FALSE(memory.isOpen());
        EXPECT_EQ(bus->openHandles(), 0u);
    }
    device->clearCallLog();
    ASSERT_TRUE(memory.open(serial + "A"));
    EXPECT_EQ(device->callLog(),
              (std::vector<std::string>{"SpiOpen A", "SpiInit A 3000000 1 40 8995", "GPIO A 9 0"}));

    std::array<uint8_t, 2048> contents;
    for (size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<uint8_t>(i / 7); // differs across the high address byte
    device->setSpiMemory(contents);
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(memory.write(0x234, data, 4));
    uint8_t back[6] = {};
    ASSERT_TRUE(memory.read(0x233, back, 6));
    EXPECT_EQ(std::vector<uint8_t>(back, back + 6),
              (std::vector<uint8_t>{contents[0x233], 0xDE, 0xAD, 0xBE, 0xEF, contents[0x238]}));
    EXPECT_FALSE(memory.read(2048, back, 1));
    EXPECT_FALSE(memory.write(2047, data, 2));
    EXPECT_EQ(device->spiMemory()[2047], contents[2047]);
    EXPECT_TRUE(memory.write(2046, data, 2));
    EXPECT_TRUE(memory.read(2047, back, 1));
    EXPECT_EQ(back[0], 0xAD);

    device->setSpiBusyPolls(3);
    const int reads = bus->spiReads;
    ASSERT_TRUE(memory.write(10, data, 1));
    EXPECT_EQ(bus->spiReads - reads, 4); // three busy answers, then the ready one
    // A device that stops answering ends the wait instead of spinning forever.
    device->setSpiBusyPolls(1000000);
    device->failCalls(FtdiCall::SpiRead);
    EXPECT_FALSE(memory.write(20, data, 1));
    device->failCalls(FtdiCall::SpiRead, 0);
    device->failCalls(FtdiCall::SpiWrite, 1);
    EXPECT_FALSE(memory.write(30, data, 1));
    EXPECT_EQ(device->spiMemory()[30], contents[30]);

    memory.close();
    const auto log = device->callLog();
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"GPIO A 9 9", "SpiClose A"}));
    EXPECT_EQ(bus->openHandles(), 0u);
    EXPECT_FALSE(memory.read(0, back, 1));
}

} // namespace
