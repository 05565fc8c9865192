// The virtual libusb through libusb's own interface: the bridges' descriptors, the vendor
// requests, bulk packets with their status bytes and the latency timer, transfers with timeouts,
// synchronous and asynchronous, and the faults of the bus underneath.

#include "simulator/virtualbus.h"
#include "simulator/virtuallibusb/virtualusb.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <numeric>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kav4sim::FtdiCall;
using kav4sim::VirtualBus;
using kav4sim::VirtualDevice;

constexpr uint8_t vendorOut = uint8_t(LIBUSB_REQUEST_TYPE_VENDOR) | uint8_t(LIBUSB_RECIPIENT_DEVICE);
constexpr uint8_t vendorIn = vendorOut | uint8_t(LIBUSB_ENDPOINT_IN);
constexpr unsigned char inB = 0x83, outB = 0x04;

class VirtualUsb : public testing::Test {
  protected:
    void SetUp() override {
        kav4usb::attachBus(bus);
        ASSERT_EQ(libusb_init(&context), 0);
    }
    void TearDown() override {
        if (handle) libusb_close(handle);
        libusb_exit(context);
        kav4usb::attachBus(nullptr);
    }
    std::vector<libusb_device*> devices() {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context, &list);
        EXPECT_GE(n, 0);
        std::vector<libusb_device*> out(list, list + std::max<ssize_t>(n, 0));
        for (libusb_device* d : out)
            libusb_ref_device(d);
        libusb_free_device_list(list, 1);
        return out;
    }
    // The first bridge opened, interface B claimed.
    void openB() {
        const auto found = devices();
        ASSERT_FALSE(found.empty());
        ASSERT_EQ(libusb_open(found[0], &handle), 0);
        for (libusb_device* d : found)
            libusb_unref_device(d);
        ASSERT_EQ(libusb_claim_interface(handle, 1), 0);
    }
    int bulkIn(std::vector<uint8_t>& data, int length, unsigned timeout = 0) {
        data.assign(size_t(length), 0);
        int actual = 0;
        const int result = libusb_bulk_transfer(handle, inB, data.data(), length, &actual, timeout);
        data.resize(size_t(actual));
        return result;
    }

    std::shared_ptr<VirtualBus> bus = std::make_shared<VirtualBus>();
    std::shared_ptr<VirtualDevice> device = [this] {
        auto d = std::make_shared<VirtualDevice>("AMP01");
        bus->addDevice(d);
        return d;
    }();
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
};

TEST_F(VirtualUsb, BridgesShowTheDescriptorsThatNameTheirChip) {
    const struct {
        bool quad;
        uint16_t product, release;
        int interfaces;
    } cases[] = {{false, 0x6010, 0x0700, 2}, {true, 0x6011, 0x0800, 4}};
    for (const auto& c : cases) {
        kav4usb::setQuadBridge("AMP01", c.quad);
        const auto found = devices();
        ASSERT_EQ(found.size(), 1u);
        libusb_device_descriptor desc;
        ASSERT_EQ(libusb_get_device_descriptor(found[0], &desc), 0);
        EXPECT_EQ(desc.idVendor, 0x0403);
        EXPECT_EQ(desc.idProduct, c.product);
        EXPECT_EQ(desc.bcdDevice, c.release);
        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(found[0], 0, &config), 0);
        ASSERT_EQ(config->bNumInterfaces, c.interfaces);
        for (int i = 0; i < c.interfaces; i++) {
            const libusb_interface_descriptor& s = config->interface[i].altsetting[0];
            ASSERT_EQ(s.bNumEndpoints, 2);
            EXPECT_EQ(s.endpoint[0].bEndpointAddress, 0x81 + 2 * i) << "IN of interface " << i;
            EXPECT_EQ(s.endpoint[1].bEndpointAddress, 2 + 2 * i) << "OUT of interface " << i;
            EXPECT_EQ(s.endpoint[0].wMaxPacketSize, 512);
        }
        libusb_free_config_descriptor(config);
        libusb_device_handle* h = nullptr;
        ASSERT_EQ(libusb_open(found[0], &h), 0);
        unsigned char serial[32] = {};
        EXPECT_EQ(libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, serial, sizeof serial), 5);
        EXPECT_STREQ(reinterpret_cast<char*>(serial), "AMP01");
        libusb_close(h);
        for (libusb_device* d : found)
            libusb_unref_device(d);
    }
    kav4usb::setQuadBridge("AMP01", false);
}

TEST_F(VirtualUsb, VendorRequestsReachTheChannelOfTheirInterface) {
    openB();
    device->setEepromWord(116, 0x0C05);
    const struct {
        uint8_t request;
        uint16_t value, index;
        const char* logged; // nullptr: nothing reaches the bus
    } requests[] = {
        {0x0B, 0x4000, 2, "SetBitMode B 0 64"},
        {0x09, 2, 2, "SetLatencyTimer B 2"},
        {0x02, 0, 0x0102, "SetFlowControl B 256 0 0"},
        {0x00, 2, 2, "Purge B 1"},
        {0x00, 1, 2, "Purge B 2"},
        {0x03, 0x4138, 2, nullptr},
    };
    for (const auto& r : requests) {
        device->clearCallLog();
        EXPECT_EQ(libusb_control_transfer(handle, vendorOut, r.request, r.value, r.index, nullptr, 0, 100),
                  0);
        EXPECT_EQ(device->callLog(),
                  r.logged ? std::vector<std::string>{r.logged} : std::vector<std::string>{})
            << "request " << int(r.request);
    }
    unsigned char word[2] = {};
    ASSERT_EQ(libusb_control_transfer(handle, vendorIn, 0x90, 0, 116, word, 2, 100), 2);
    EXPECT_EQ(word[0] | word[1] << 8, 0x0C05);
    EXPECT_EQ(libusb_control_transfer(handle, vendorOut, 0x91, 0x1234, 200, nullptr, 0, 100), 0);
    EXPECT_EQ(device->eepromWord(200), 0x1234);
    EXPECT_EQ(libusb_control_transfer(handle, vendorOut, 0x09, 2, 1, nullptr, 0, 100), LIBUSB_ERROR_PIPE)
        << "interface A is not claimed by this handle";
    EXPECT_EQ(libusb_control_transfer(handle, vendorOut, 0x42, 0, 2, nullptr, 0, 100), LIBUSB_ERROR_PIPE)
        << "an unknown request stalls";
}

TEST_F(VirtualUsb, BulkInLeadsEveryPacketWithTheStatusBytes) {
    openB();
    std::vector<uint8_t> data;
    // Nothing waiting: the chip answers when its latency timer runs out, with the status alone.
    ASSERT_EQ(bulkIn(data, 4096), 0);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x31, 0x60}));

    std::vector<uint8_t> stream(1200);
    std::iota(stream.begin(), stream.end(), uint8_t(0));
    device->feed('B', stream);
    ASSERT_EQ(bulkIn(data, 4096), 0);
    ASSERT_EQ(data.size(), 1024u) << "the two whole packets at once";
    ASSERT_EQ(bulkIn(data, 4096), 0);
    ASSERT_EQ(data.size(), 182u) << "the rest when the latency timer runs out";
    // Packets of 510 data bytes: status at 0 and 512 of the first read, then the tail.
    device->feed('B', stream);
    std::vector<uint8_t> first, second;
    ASSERT_EQ(bulkIn(first, 4096), 0);
    ASSERT_EQ(bulkIn(second, 4096), 0);
    std::vector<uint8_t> joined;
    for (const auto* part : {&first, &second})
        for (size_t p = 0; p < part->size(); p += 512) {
            EXPECT_EQ((*part)[p], 0x31);
            EXPECT_EQ((*part)[p + 1], 0x60);
            joined.insert(joined.end(), part->begin() + long(p) + 2,
                          part->begin() + long(std::min(p + 512, part->size())));
        }
    EXPECT_EQ(joined, stream);

    const std::vector<uint8_t> command = {1, 2, 3};
    int actual = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, outB, const_cast<uint8_t*>(command.data()), 3, &actual, 100), 0);
    EXPECT_EQ(actual, 3);
    EXPECT_EQ(device->writes('B').back(), command);
}

TEST_F(VirtualUsb, SynchronousTransfersTimeOutAndReportFaults) {
    openB();
    std::vector<uint8_t> data;
    // The chip's latency timer (16 ms until set) outlasts a 1 ms timeout.
    EXPECT_EQ(bulkIn(data, 512, 1), LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(data.empty());
    device->failCalls(FtdiCall::Read, 1);
    device->feed('B', std::vector<uint8_t>(600, 1));
    EXPECT_EQ(bulkIn(data, 512), LIBUSB_ERROR_PIPE) << "a failing endpoint stalls";
    device->unplug();
    EXPECT_EQ(bulkIn(data, 512), LIBUSB_ERROR_NO_DEVICE);
    int actual = 0;
    uint8_t byte = 0;
    EXPECT_EQ(libusb_bulk_transfer(handle, outB, &byte, 1, &actual, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_control_transfer(handle, vendorOut, 0x09, 2, 2, nullptr, 0, 100),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(devices().empty()) << "a vanished bridge is not listed";
}

TEST_F(VirtualUsb, AnInterfaceIsClaimedByOneHandle) {
    openB();
    const auto found = devices();
    libusb_device_handle* other = nullptr;
    ASSERT_EQ(libusb_open(found[0], &other), 0);
    EXPECT_EQ(libusb_claim_interface(other, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(other, 0), 0);
    EXPECT_EQ(libusb_claim_interface(other, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(bus->openHandles(), 2u);
    libusb_close(other);
    EXPECT_EQ(bus->openHandles(), 1u) << "closing a handle releases its interfaces";
    EXPECT_EQ(libusb_release_interface(handle, 1), 0);
    EXPECT_EQ(libusb_release_interface(handle, 1), LIBUSB_ERROR_NOT_FOUND);
    for (libusb_device* d : found)
        libusb_unref_device(d);
}

struct Completion {
    int calls = 0;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    int actual = -1;
};

void LIBUSB_CALL completed(libusb_transfer* transfer) {
    auto* c = static_cast<Completion*>(transfer->user_data);
    c->calls++;
    c->status = transfer->status;
    c->actual = transfer->actual_length;
}

TEST_F(VirtualUsb, AsynchronousTransfersCompleteInHandleEventsAndWakeIt) {
    openB();
    std::vector<uint8_t> buffer(4096);
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    const auto run = [&](unsigned char endpoint, int length, unsigned timeout, bool cancel) {
        Completion c;
        libusb_fill_bulk_transfer(transfer, handle, endpoint, buffer.data(), length, completed, &c, timeout);
        EXPECT_EQ(libusb_submit_transfer(transfer), 0);
        if (cancel) {
            EXPECT_EQ(libusb_cancel_transfer(transfer), 0);
        }
        // Far longer than any transfer here needs: handle_events must return on completion.
        timeval tv{60, 0};
        const auto start = std::chrono::steady_clock::now();
        while (c.calls == 0 && std::chrono::steady_clock::now() - start < 30s)
            EXPECT_EQ(libusb_handle_events_timeout_completed(context, &tv, nullptr), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "woken by the completion";
        EXPECT_EQ(c.calls, 1);
        return c;
    };
    device->feed('B', std::vector<uint8_t>(1020, 9));
    Completion c = run(inB, 4096, 0, false);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(c.actual, 1024);
    c = run(inB, 4096, 0, false);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(c.actual, 2) << "the status alone once the latency timer ran out";
    c = run(inB, 4096, 1, false);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_TIMED_OUT);
    c = run(inB, 4096, 0, true);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(libusb_cancel_transfer(transfer), LIBUSB_ERROR_NOT_FOUND) << "nothing left to cancel";
    buffer[0] = 0x77;
    c = run(outB, 1, 100, false);
    EXPECT_EQ(c.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(device->writes('B').back(), std::vector<uint8_t>{0x77});
    device->failCalls(FtdiCall::Write, 1);
    EXPECT_EQ(run(outB, 1, 100, false).status, LIBUSB_TRANSFER_STALL);
    device->unplug();
    EXPECT_EQ(libusb_submit_transfer(transfer), LIBUSB_ERROR_NO_DEVICE);
    libusb_free_transfer(transfer);

    // With nothing submitted the wait ends with its time, and a flag already set returns at once.
    timeval tv{0, 1000};
    int done = 1;
    EXPECT_EQ(libusb_handle_events_timeout_completed(context, &tv, &done), 0);
    EXPECT_EQ(libusb_handle_events_timeout(context, &tv), 0);
}

TEST_F(VirtualUsb, MpsseCommandsReachTheCalibrationMemory) {
    openB();
    std::array<uint8_t, 2048> memory{};
    memory[10] = 0xAB;
    memory[11] = 0xCD;
    device->setSpiMemory(memory);
    ASSERT_EQ(libusb_control_transfer(handle, vendorOut, 0x0B, 0x0200, 2, nullptr, 0, 100), 0);
    // Chip select (ADBUS5) low, read command and address out, two bytes in, chip select high;
    // then a command the engine does not know.
    std::vector<uint8_t> commands = {0x80, 0x00, 0x23, 0x11, 0x02, 0x00, 0x03, 0x00, 10,
                                     0x20, 0x01, 0x00, 0x80, 0x20, 0x23, 0x87, 0xAA};
    int actual = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, outB, commands.data(), int(commands.size()), &actual, 100), 0);
    std::vector<uint8_t> data;
    ASSERT_EQ(bulkIn(data, 512), 0);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x31, 0x60, 0xAB, 0xCD, 0xFA, 0xAA}));
}

} // namespace
