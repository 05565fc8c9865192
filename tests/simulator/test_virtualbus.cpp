#include "simulator/virtualbus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace kav4sim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Log = std::vector<std::string>;

namespace {

Bytes iota(size_t n, uint8_t first = 0) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// Counts bytes modulo 251; `produced` tells how many it made in total.
VirtualDevice::ByteSource counter(std::shared_ptr<uint64_t> produced) {
    return [produced](Bytes& out, size_t n) {
        for (size_t i = 0; i < n; ++i)
            out.push_back(static_cast<uint8_t>((*produced)++ % 251));
    };
}

// Lets simulated time pass: with a large time scale a short spin is a long while.
void await(const SimulatedClock& clock, double seconds) {
    const double until = clock.seconds() + seconds;
    while (clock.seconds() < until) {
    }
}

struct BusTest : testing::Test {
    VirtualBus bus;
    std::shared_ptr<VirtualDevice> one = std::make_shared<VirtualDevice>("KV100");
    std::shared_ptr<VirtualDevice> two = std::make_shared<VirtualDevice>("KV200");

    void SetUp() override {
        bus.addDevice(one);
        bus.addDevice(two);
    }
    FT_STATUS openEx(const char* name, FT_HANDLE* h) {
        return bus.FT_OpenEx(const_cast<char*>(name), FT_OPEN_BY_SERIAL_NUMBER, h);
    }
    FT_HANDLE open(const char* name) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(openEx(name, &h), FT_OK) << name;
        return h;
    }
    DWORD count() {
        DWORD n = 0;
        EXPECT_EQ(bus.FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        return n;
    }
    std::string serialAt(uintptr_t index, FT_STATUS expected = FT_OK) {
        char buf[64] = {};
        EXPECT_EQ(bus.FT_ListDevices(reinterpret_cast<void*>(index), buf, FT_LIST_BY_INDEX), expected);
        return buf;
    }
    DWORD queued(FT_HANDLE h) {
        DWORD n = 0;
        EXPECT_EQ(bus.FT_GetQueueStatus(h, &n), FT_OK);
        return n;
    }
    Bytes read(FT_HANDLE h, DWORD n) {
        Bytes out(n);
        DWORD got = 0;
        EXPECT_EQ(bus.FT_Read(h, out.data(), n, &got), FT_OK);
        out.resize(got);
        return out;
    }
    DWORD write(FT_HANDLE h, Bytes bytes) {
        DWORD written = 0;
        EXPECT_EQ(bus.FT_Write(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written), FT_OK);
        return written;
    }
};

} // namespace

TEST_F(BusTest, ListsTwoInterfacesPerDevice) {
    EXPECT_EQ(count(), 4u);
    EXPECT_EQ(serialAt(0) + serialAt(1) + serialAt(2) + serialAt(3), "KV100AKV100BKV200AKV200B");
    serialAt(4, FT_DEVICE_NOT_FOUND);
    char buf[64];
    EXPECT_EQ(bus.FT_ListDevices(nullptr, buf, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_STREQ(buf, "KV100A");
    DWORD n = 0;
    EXPECT_EQ(bus.FT_ListDevices(&n, nullptr, 0x2), FT_INVALID_PARAMETER);
}

TEST_F(BusTest, OpenCloseAndHandleReuse) {
    FT_HANDLE a = open("KV100A");
    FT_HANDLE b = open("KV100B");
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(openEx("KV100A", &h), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(openEx("KV300A", &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(openEx("KV100C", &h), FT_DEVICE_NOT_FOUND);

    EXPECT_EQ(bus.FT_Close(a), FT_OK);
    EXPECT_EQ(bus.FT_Close(a), FT_INVALID_HANDLE);
    EXPECT_EQ(bus.FT_SetLatencyTimer(a, 2), FT_INVALID_HANDLE);
    EXPECT_EQ(bus.openHandles(), 1u);
    EXPECT_EQ(open("KV100A"), a) << "the freed handle value is handed out again";
    EXPECT_EQ(one->callLog(), (Log{"OpenEx A", "OpenEx B", "OpenEx A", "Close A", "OpenEx A"}));
}

TEST_F(BusTest, EepromWordsThroughEitherInterface) {
    one->setIdentity(3, 7, 0x0205);
    one->setEepromWord(123, 0xFFF6);
    auto word = [&](FT_HANDLE h, DWORD offset) {
        WORD w = 0;
        EXPECT_EQ(bus.FT_ReadEE(h, offset, &w), FT_OK);
        return w;
    };
    FT_HANDLE b = open("KV100B");
    EXPECT_EQ(word(b, 116), 0x0307);
    EXPECT_EQ(word(b, 117), 0x0205);
    EXPECT_EQ(word(b, 123), 0xFFF6);
    EXPECT_EQ(word(b, 5), 0xFFFF);
    EXPECT_EQ(one->eepromWord(123), 0xFFF6) << "what the device says is what it holds";
    EXPECT_EQ(one->eepromWord(5), 0xFFFF);
    EXPECT_EQ(word(open("KV200A"), 116), 0xFFFF) << "each device has its own EEPROM";
}

TEST_F(BusTest, FedBytesArriveInOrderPerInterface) {
    FT_HANDLE a = open("KV100A");
    FT_HANDLE b = open("KV100B");
    one->feed('A', iota(5, 1));
    one->feed('A', iota(3, 10));
    one->feed('B', {0xEE});
    EXPECT_EQ(queued(a), 8u);
    EXPECT_EQ(read(a, 6), (Bytes{1, 2, 3, 4, 5, 10}));
    EXPECT_EQ(read(a, 100), (Bytes{11, 12}));
    EXPECT_TRUE(read(a, 4).empty());
    EXPECT_EQ(read(b, 4), (Bytes{0xEE}));
}

TEST_F(BusTest, PacedBytesArriveProgressively) {
    FT_HANDLE a = open("KV100A");
    one->setPace('A', 100000);
    const auto bytes = iota(10'000'000);
    one->feed('A', bytes);
    EXPECT_LT(queued(a), 5'000'000u) << "100 s of data cannot be there at once";
    // The first bytes come through eventually, and they are the start of what was fed.
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (got.size() < 1000 && std::chrono::steady_clock::now() < deadline) {
        const auto part = read(a, 1000 - static_cast<DWORD>(got.size()));
        got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(got.size(), 1000u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
}

TEST_F(BusTest, StallHoldsFedBytesButLosesGeneratedOnes) {
    FT_HANDLE a = open("KV100A");
    FT_HANDLE b = open("KV100B");
    auto produced = std::make_shared<uint64_t>(0);
    // Stalled before the source starts, so no byte can fall due outside the stall.
    one->stall(true);
    one->setPace('A', 200000);
    one->setSource('A', counter(produced));
    one->feed('B', iota(10));
    one->clock()->setTimeScale(100);
    await(*one->clock(), 0.021); // at least 4000 bytes fall due meanwhile
    EXPECT_EQ(queued(a), 0u);
    EXPECT_EQ(queued(b), 0u);
    one->stall(false);
    EXPECT_GE(*produced, 4000u);
    // What arrives now continues the stream, but the stalled part never shows up.
    const auto got = read(a, 1u << 20);
    for (size_t i = 1; i < got.size(); ++i)
        ASSERT_EQ(got[i], (got[i - 1] + 1) % 251);
    const DWORD rest = queued(a);
    EXPECT_LT(got.size() + rest, *produced);
    EXPECT_EQ(read(b, 20), iota(10));
}

TEST_F(BusTest, FreeRunningSourceKeepsTheBufferFull) {
    FT_HANDLE a = open("KV100A");
    FT_HANDLE b = open("KV100B");
    auto produced = std::make_shared<uint64_t>(0);
    one->setSource('A', counter(produced));
    EXPECT_EQ(queued(a), 1u << 20);
    const auto first = read(a, 1000);
    ASSERT_EQ(first.size(), 1000u);
    for (size_t i = 0; i < first.size(); ++i)
        ASSERT_EQ(first[i], i % 251);
    EXPECT_EQ(queued(a), 1u << 20);
    EXPECT_EQ(*produced, (1u << 20) + 1000) << "topped up by exactly what was read";

    one->setRxCapacity('B', 4096);
    one->setSource('B', counter(std::make_shared<uint64_t>(0)));
    read(b, 96);
    EXPECT_EQ(queued(b), 4096u);
}

TEST_F(BusTest, OverflowDropsTheOldestBytes) {
    FT_HANDLE a = open("KV100A");
    one->setRxCapacity('A', 6);
    one->feed('A', iota(3, 1));
    EXPECT_EQ(queued(a), 3u);
    one->feed('A', iota(5, 4));
    EXPECT_EQ(read(a, 10), (Bytes{3, 4, 5, 6, 7, 8}));
    one->feed('A', iota(20, 100));
    EXPECT_EQ(read(a, 10), iota(6, 114));
    // Lost bytes are not waited for; drained once the reader has looked again.
    EXPECT_FALSE(one->waitUntilDrained('A', 0ms));
    EXPECT_EQ(queued(a), 0u);
    EXPECT_TRUE(one->waitUntilDrained('A', 0ms));
}

TEST_F(BusTest, PurgeEmptiesReceiveSideOnly) {
    FT_HANDLE a = open("KV100A");
    one->feed('A', iota(8));
    EXPECT_EQ(queued(a), 8u);
    EXPECT_EQ(bus.FT_Purge(a, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(queued(a), 8u);
    EXPECT_EQ(bus.FT_Purge(a, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(queued(a), 0u);
    // Bytes still on their way from the device go too.
    one->setPace('A', 10);
    one->feed('A', iota(1000));
    EXPECT_FALSE(one->waitUntilDrained('A', 0ms));
    EXPECT_EQ(bus.FT_Purge(a, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(queued(a), 0u);
    EXPECT_TRUE(one->waitUntilDrained('A', 0ms));

    EXPECT_EQ(one->purges('A', FT_PURGE_RX), 2);
    EXPECT_EQ(one->purges('A', FT_PURGE_TX), 2);
    EXPECT_EQ(one->callLog(), (Log{"OpenEx A", "Purge A 2", "Purge A 3", "Purge A 1"}));
}

TEST_F(BusTest, WritesShortWritesAndZeroReads) {
    FT_HANDLE b = open("KV100B");
    EXPECT_EQ(write(b, {1, 2, 3}), 3u);
    one->shortWrites(2, 1);
    EXPECT_EQ(write(b, {4, 5, 6, 7}), 2u);
    EXPECT_EQ(write(b, {8, 9}), 2u);
    EXPECT_EQ(one->writes('B'), (std::vector<Bytes>{{1, 2, 3}, {4, 5}, {8, 9}}));
    EXPECT_TRUE(one->writes('A').empty());

    one->feed('B', iota(4));
    one->zeroReads(2);
    EXPECT_TRUE(read(b, 4).empty());
    EXPECT_TRUE(read(b, 4).empty());
    EXPECT_EQ(queued(b), 4u);
    EXPECT_EQ(read(b, 4), iota(4));
}

TEST_F(BusTest, FailedCallsCountDownAndAreLogged) {
    FT_HANDLE b = open("KV100B");
    one->failCalls(FtdiCall::SetLatencyTimer, 2);
    EXPECT_EQ(bus.FT_SetLatencyTimer(b, 2), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_SetLatencyTimer(b, 2), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_SetLatencyTimer(b, 2), FT_OK);
    EXPECT_EQ(bus.FT_SetBitMode(b, 0, FT_BITMODE_SYNC_FIFO), FT_OK);
    EXPECT_EQ(bus.FT_SetUSBParameters(b, 4096, 4096), FT_OK);
    EXPECT_EQ(bus.FT_SetFlowControl(b, FT_FLOW_RTS_CTS, 0, 0), FT_OK);
    EXPECT_EQ(one->callLog(),
              (Log{"OpenEx B", "SetLatencyTimer B 2", "SetLatencyTimer B 2", "SetLatencyTimer B 2",
                   "SetBitMode B 0 64", "SetUSBParameters B 4096 4096", "SetFlowControl B 256 0 0"}));

    one->failCalls(FtdiCall::Read);
    one->feed('B', {1});
    DWORD got = 7;
    uint8_t buf[4];
    EXPECT_EQ(bus.FT_Read(b, buf, 4, &got), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_Read(b, buf, 4, &got), FT_IO_ERROR);
    EXPECT_EQ(got, 0u);
    one->failCalls(FtdiCall::Read, 0);
    EXPECT_EQ(read(b, 4), (Bytes{1}));

    one->failCalls(FtdiCall::Close, 1);
    EXPECT_EQ(bus.FT_Close(b), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_Close(b), FT_OK);
    // A listing fault on any device fails the whole listing.
    two->failCalls(FtdiCall::ListDevices, 1);
    DWORD n;
    EXPECT_EQ(bus.FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_IO_ERROR);
    EXPECT_EQ(count(), 4u);
}

TEST_F(BusTest, UnplugAndReplug) {
    FT_HANDLE a = open("KV100A");
    one->feed('A', iota(4));
    one->unplug();
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(serialAt(0), "KV200A");
    DWORD n = 0;
    EXPECT_EQ(bus.FT_GetQueueStatus(a, &n), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_SetLatencyTimer(a, 2), FT_IO_ERROR);
    FT_HANDLE h;
    EXPECT_EQ(openEx("KV100B", &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(bus.FT_Close(a), FT_OK);
    EXPECT_EQ(bus.openHandles(), 0u);

    one->replug();
    EXPECT_EQ(count(), 4u);
    a = open("KV100A");
    EXPECT_EQ(queued(a), 0u) << "what the device held was lost with it";
    one->feed('A', {9});
    EXPECT_EQ(read(a, 4), (Bytes{9}));
    // Taken off the bus: like an unplug for its handles.
    bus.removeDevice("KV100");
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(bus.FT_GetQueueStatus(a, &n), FT_IO_ERROR);
    EXPECT_EQ(bus.FT_Close(a), FT_OK);
}

TEST_F(BusTest, SpiChannelsAndEepromCommands) {
    DWORD channels = 0;
    EXPECT_EQ(bus.SPI_GetNumChannels(&channels), FT_OK);
    EXPECT_EQ(channels, 4u);
    FT_DEVICE_LIST_INFO_NODE info;
    EXPECT_EQ(bus.SPI_GetChannelInfo(2, &info), FT_OK);
    EXPECT_STREQ(info.SerialNumber, "KV200A");
    EXPECT_EQ(bus.SPI_GetChannelInfo(4, &info), FT_DEVICE_NOT_FOUND);

    FT_HANDLE d2xx = open("KV200A");
    FT_HANDLE h = nullptr;
    EXPECT_EQ(bus.SPI_OpenChannel(2, &h), FT_DEVICE_NOT_OPENED);
    ASSERT_EQ(bus.FT_Close(d2xx), FT_OK);
    ASSERT_EQ(bus.SPI_OpenChannel(2, &h), FT_OK);
    EXPECT_EQ(openEx("KV200A", &d2xx), FT_DEVICE_NOT_OPENED);
    ChannelConfig config{3000000, 1, 40, 8995, 0};
    EXPECT_EQ(bus.SPI_InitChannel(h, &config), FT_OK);
    EXPECT_EQ(bus.FT_WriteGPIO(h, 9, 0), FT_OK);

    constexpr DWORD start = SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE;
    constexpr DWORD end = SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE;
    DWORD done = 0;
    auto transfer = [&](Bytes command, Bytes data, bool writing) {
        EXPECT_EQ(bus.SPI_Write(h, command.data(), static_cast<DWORD>(command.size()), &done, start), FT_OK);
        const auto n = static_cast<DWORD>(data.size());
        EXPECT_EQ(writing ? bus.SPI_Write(h, data.data(), n, &done, end)
                          : bus.SPI_Read(h, data.data(), n, &done, end),
                  FT_OK);
        EXPECT_EQ(done, n);
        return data;
    };
    auto status = [&] { return transfer({0x05}, {0}, false)[0]; };

    transfer({0x02, 0x00, 0x10}, {0xA1, 0xA2}, true);
    EXPECT_EQ(two->spiMemory()[0x10], 0xFF) << "ignored without write enable";
    two->setSpiBusyPolls(2);
    uint8_t wren = 0x06;
    EXPECT_EQ(bus.SPI_Write(h, &wren, 1, &done, start | end), FT_OK);
    EXPECT_EQ(status(), 0x02);
    transfer({0x02, 0x07, 0xFE}, {0x11, 0x22, 0x33, 0x44}, true); // wraps to address 0
    EXPECT_EQ(status(), 0x01);
    EXPECT_EQ(status(), 0x01);
    EXPECT_EQ(status(), 0x00) << "write enable is cleared by the write";
    const auto mem = two->spiMemory();
    EXPECT_EQ((Bytes{mem[2045], mem[2046], mem[2047], mem[0], mem[1], mem[2]}),
              (Bytes{0xFF, 0x11, 0x22, 0x33, 0x44, 0xFF}));
    EXPECT_EQ(transfer({0x03, 0x07, 0xFF}, Bytes(3), false), (Bytes{0x22, 0x33, 0x44}));

    two->failCalls(FtdiCall::SpiWrite, 1);
    EXPECT_EQ(bus.SPI_Write(h, &wren, 1, &done, start), FT_IO_ERROR);
    EXPECT_EQ(bus.SPI_CloseChannel(h), FT_OK);
    EXPECT_EQ(bus.SPI_CloseChannel(h), FT_INVALID_HANDLE);
    EXPECT_EQ(two->callLog(), (Log{"OpenEx A", "SpiOpen A", "Close A", "SpiOpen A", "OpenEx A",
                                   "SpiInit A 3000000 1 40 8995", "GPIO A 9 0", "SpiClose A"}));
}

TEST_F(BusTest, WaitsReturnWhenAnotherThreadCatchesUp) {
    FT_HANDLE a = open("KV100A");
    FT_HANDLE b = open("KV100B");
    one->setPace('A', 1'000'000);
    one->feed('A', iota(20000));
    EXPECT_FALSE(one->waitUntilDrained('A', 0ms));
    EXPECT_FALSE(one->waitForWrites('B', 1, 0ms));

    size_t total = 0;
    std::thread rx([&] {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        DWORD q = 0, got = 0;
        Bytes buf(4096);
        while (total < 20000 && std::chrono::steady_clock::now() < deadline)
            if (bus.FT_GetQueueStatus(a, &q) == FT_OK && bus.FT_Read(a, buf.data(), 4096, &got) == FT_OK)
                total += got;
        bus.FT_GetQueueStatus(a, &q); // the pass that finds nothing left
    });
    std::thread tx([&] {
        for (uint8_t i = 0; i < 3; ++i)
            write(b, {i});
    });
    EXPECT_TRUE(one->waitUntilDrained('A', 60s));
    EXPECT_TRUE(one->waitForWrites('B', 3, 60s));
    rx.join();
    tx.join();
    EXPECT_EQ(total, 20000u);
    EXPECT_EQ(one->writes('B'), (std::vector<Bytes>{{0}, {1}, {2}}));
}

TEST_F(BusTest, PaceChangesContinueTheSchedule) {
    FT_HANDLE a = open("KV100A");
    auto produced = std::make_shared<uint64_t>(0);
    one->clock()->setTimeScale(1e4);
    one->setPace('A', 1000);
    one->setSource('A', counter(produced));
    await(*one->clock(), 1.0);
    // What fell due under the old pace is made before the new one takes over, and the new one
    // counts on from there.
    const double before = one->clock()->seconds();
    one->setPace('A', 5000);
    const VirtualDevice::PaceStart start = one->paceStart('A');
    EXPECT_GE(*produced, 1000u);
    EXPECT_EQ(start.bytes, *produced);
    EXPECT_GE(start.seconds, before);
    EXPECT_LE(start.seconds, one->clock()->seconds());
    const auto got = read(a, 1u << 20);
    ASSERT_EQ(got.size(), *produced);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], i % 251);
}

TEST_F(BusTest, SkipperPassesOverBytesThatWouldBeLost) {
    FT_HANDLE a = open("KV100A");
    auto produced = std::make_shared<uint64_t>(0);
    auto skipped = std::make_shared<uint64_t>(0);
    one->clock()->setTimeScale(1e4);
    one->setRxCapacity('A', 100);
    one->setPace('A', 10000);
    one->setSource('A', counter(produced), [produced, skipped](size_t n) {
        *skipped += n;
        *produced += n; // the stream moves on as if the bytes were made
    });
    await(*one->clock(), 1.0);
    // Ten thousand bytes fell due into a buffer of a hundred: only the newest hundred are made.
    EXPECT_EQ(queued(a), 100u);
    EXPECT_GE(*skipped, 9900u);
    const auto newest = read(a, 1000);
    ASSERT_EQ(newest.size(), 100u);
    for (size_t i = 0; i < newest.size(); ++i)
        ASSERT_EQ(newest[i], (*produced - 100 + i) % 251) << i;

    // Stalled, nothing new is made at all; what was queued before still comes.
    one->stall(true);
    read(a, 1000);
    const uint64_t made = *produced - *skipped;
    const uint64_t skippedBefore = *skipped;
    await(*one->clock(), 0.5);
    EXPECT_EQ(queued(a), 0u);
    EXPECT_EQ(*produced - *skipped, made);
    EXPECT_GE(*skipped - skippedBefore, 5000u);
}

TEST_F(BusTest, WritesReachTheSinkOutsideTheDeviceLock) {
    FT_HANDLE b = open("KV100B");
    std::vector<std::pair<Bytes, size_t>> seen;
    // The sink may call the device: it runs outside the device's lock.
    one->setWriteSink('B', [&](const Bytes& bytes) { seen.emplace_back(bytes, one->writes('B').size()); });
    write(b, {1, 2, 3});
    one->shortWrites(1, 1);
    write(b, {4, 5});
    EXPECT_EQ(seen, (std::vector<std::pair<Bytes, size_t>>{{{1, 2, 3}, 1}, {{4}, 2}}))
        << "what was accepted, after it was recorded";
    one->setWriteSink('B', nullptr);
    write(b, {6});
    EXPECT_EQ(seen.size(), 2u);
}

TEST(SimulatedClockTest, ScaleChangesKeepTimeContinuous) {
    SimulatedClock clock(1e6);
    const double before = clock.seconds();
    clock.setTimeScale(1.0);
    const double after = clock.seconds();
    EXPECT_GE(after, before) << "time never runs backwards";
    EXPECT_EQ(clock.timeScale(), 1.0);
    EXPECT_THROW(clock.setTimeScale(0.0), std::invalid_argument);
    EXPECT_THROW(SimulatedClock(-1.0), std::invalid_argument);
}
