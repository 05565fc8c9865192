// The transmit path end to end: what reaches the device's command channel, when, and
// how failures of the driver are handled.

#include "tests/commlib/core/testmodel.h"

#include <future>

namespace kv4test {
namespace {

using namespace kv4cl;
using Message = std::vector<uint8_t>;

class Transmit : public DispatcherTest {
  protected:
    TestModel& connectAndWake() {
        TestModel& m = addConnected();
        devices[0]->feed('B', {0x00}); // any byte tells the transmit side the device is alive
        EXPECT_TRUE(devices[0]->waitForWrites('B', connectMessages, 10s));
        return m;
    }
    std::vector<Message> writes() const { return devices[0]->writes('B'); }
    // Sends one more message (a harmless spare bit) and waits until `total` messages, this
    // one included, are on the wire.
    void sendMarker(TestModel& m, bool bit, size_t total) {
        ASSERT_EQ(m.setRawBit(spare, 0, bit), Success);
        ASSERT_TRUE(devices[0]->waitForWrites('B', total, 10s));
    }
    // The reset's two stages of two messages each, both switch banks, then the configuration.
    static constexpr size_t connectMessages = 7;
    static constexpr uint16_t spare = 12; // a byte the model leaves free
};

TEST_F(Transmit, FullQueueBlocksTheCallerUntilTheDeviceTakesAMessage) {
    TestModel& m = addConnected(); // no data yet: nothing leaves the queue
    for (size_t i = connectMessages; i < MessageDispatcher::txQueueSlots; i++)
        ASSERT_EQ(m.setRawBit(spare, 0, i % 2), Success);
    auto blocked = std::async(std::launch::async, [&] { return m.setRawBit(spare, 1, true); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout) << "the 257th message must wait";

    devices[0]->feed('B', {0x00});
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), Success);
    ASSERT_TRUE(devices[0]->waitForWrites('B', MessageDispatcher::txQueueSlots + 1, 10s));
    // Bit 0 left set by message 255, bit 1 set by the blocked caller.
    EXPECT_EQ(writes().back()[spare], 0x03) << "the last message queued is the last sent";
}

TEST_F(Transmit, DisconnectReleasesACallerBlockedOnAFullQueue) {
    TestModel& m = addConnected();
    for (size_t i = connectMessages; i < MessageDispatcher::txQueueSlots; i++)
        m.setRawBit(spare, 0, true);
    auto blocked = std::async(std::launch::async, [&] { return m.setRawBit(spare, 0, false); });
    EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(m.disconnect(), Success);
    EXPECT_EQ(blocked.wait_for(10s), std::future_status::ready);
}

TEST_F(Transmit, FailedWritesAreRetriedAndAMessageIsDroppedAfterTenAttempts) {
    TestModel& m = connectAndWake();
    devices[0]->failCalls(kav4sim::FtdiCall::Write, 9);
    sendMarker(m, true, connectMessages + 1);
    EXPECT_EQ(writes().size(), connectMessages + 1) << "the tenth attempt gets through";
    EXPECT_EQ(writes().back()[spare], 1);

    devices[0]->failCalls(kav4sim::FtdiCall::Write, 10);
    ASSERT_EQ(m.setRawBit(spare, 0, false), Success); // lost after ten failures
    sendMarker(m, true, connectMessages + 2);
    const std::vector<Message> w = writes();
    ASSERT_EQ(w.size(), connectMessages + 2) << "the next message is tried afresh";
    EXPECT_EQ(w.back()[spare], 1);
}

TEST_F(Transmit, ShortWriteIsPurgedAndSentAgainWhole) {
    TestModel& m = connectAndWake();
    devices[0]->failCalls(kav4sim::FtdiCall::Purge, 0);
    const int purgesBefore = devices[0]->purges('B', FT_PURGE_TX);
    devices[0]->shortWrites(10, 1);
    const size_t before = writes().size();
    ASSERT_EQ(m.setRawBit(spare, 3, true), Success);
    ASSERT_TRUE(devices[0]->waitForWrites('B', before + 2, 10s));
    const std::vector<Message> w = writes();
    EXPECT_EQ(w[before].size(), 10u);
    EXPECT_EQ(w[before + 1].size(), 51u);
    EXPECT_EQ(w[before + 1][spare], 0x08);
    EXPECT_EQ(devices[0]->purges('B', FT_PURGE_TX), purgesBefore + 1);
}

TEST_F(Transmit, HoldResetKeepsTheBitUntilReleased) {
    TestModel& m = connectAndWake();
    const size_t before = writes().size();
    ASSERT_EQ(m.holdReset(true), Success);
    sendMarker(m, true, before + 1);
    ASSERT_EQ(m.holdReset(false), Success);
    ASSERT_TRUE(devices[0]->waitForWrites('B', before + 3, 10s));
    const std::vector<Message> w = writes();
    ASSERT_EQ(w.size(), before + 3);
    EXPECT_EQ(w[before][1] & 1, 1) << "held while other settings go out";
    EXPECT_EQ(w[before + 1][1] & 1, 0);
    EXPECT_EQ(w[before + 1][TestModel::secondResetByte], 1) << "release pulses the second stage";
    EXPECT_EQ(w[before + 2][TestModel::secondResetByte], 0);
}

TEST_F(Transmit, VanishedDeviceNeitherHangsNorLosesReceivedData) {
    TestModel& m = connectAndWake();
    deliver(0, patternPackets(0, 5, 0, true));
    devices[0]->unplug();
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(m.setRawBit(spare, 0, i % 2), Success);
    DataStatus_t s;
    EXPECT_EQ(m.getStatus(s), Success);
    EXPECT_EQ(s.availableFrames, 80u) << "frames received before the loss stay readable";
    EXPECT_EQ(m.disconnect(), Success);
    EXPECT_EQ(bus->openHandles(), 0u);
}

TEST_F(Transmit, CalibrationMemoryIsReachedInSpiModeOnly) {
    TestModel& m = connectAndWake();
    std::vector<uint32_t> values;
    EXPECT_EQ(m.readCalibration(values, {0}, {2}), ErrorEepromNotConnected);

    std::array<uint8_t, 2048> memory{};
    memory[2045] = 0x12;
    memory[2046] = 0x34;
    memory[2047] = 0x56;
    devices[0]->setSpiMemory(memory);
    ASSERT_EQ(m.setSpiMode(true), Success);
    EXPECT_EQ(bus->openHandles(), 1u) << "the data channel is given up for the SPI channel";
    ASSERT_EQ(m.readCalibration(values, {2045, 2047, 0}, {2, 1, 4}), Success);
    EXPECT_EQ(values, (std::vector<uint32_t>{0x1234, 0x56, 0}));

    devices[0]->clearCallLog();
    ASSERT_EQ(m.writeCalibration({0x1234, 0xABCD}, {2045, 100}, {2, 2}), Success);
    const auto after = devices[0]->spiMemory();
    EXPECT_EQ(after[100], 0xAB);
    EXPECT_EQ(after[101], 0xCD);
    EXPECT_EQ(after[2045], 0x12);
    EXPECT_EQ(m.readCalibration(values, {0}, {5}), ErrorValueOutOfRange);

    const size_t before = writes().size();
    devices[0]->failCalls(kav4sim::FtdiCall::Purge, 0); // opening the channel again purges it
    ASSERT_EQ(m.setSpiMode(false), Success);
    devices[0]->feed('B', {0x00});
    ASSERT_TRUE(devices[0]->waitForWrites('B', before + 5, 10s)) << "reset pulses and the current settings";
    EXPECT_EQ(m.readCalibration(values, {0}, {1}), ErrorEepromNotConnected);
}

} // namespace
} // namespace kv4test
