#include "simulator/virtuallibusb/virtualusb.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

using namespace kv4CommLib;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t vendorId = 0x0403;
constexpr uint16_t dualProduct = 0x6010, dualRelease = 0x0700;
constexpr uint16_t quadProduct = 0x6011, quadRelease = 0x0800;
constexpr int packetSize = 512; // high-speed bulk
constexpr int packetData = packetSize - 2;
// The two bytes that open every IN packet: modem status (CTS, DSR) and line status
// (transmitter empty).
constexpr uint8_t modemStatus = 0x31, lineStatus = 0x60;

// Vendor requests of the bridge.
enum : uint8_t {
    requestReset = 0x00,
    requestModemControl = 0x01,
    requestFlowControl = 0x02,
    requestBaudRate = 0x03,
    requestData = 0x04,
    requestModemStatus = 0x05,
    requestSetLatency = 0x09,
    requestGetLatency = 0x0A,
    requestBitMode = 0x0B,
    requestReadEeprom = 0x90,
    requestWriteEeprom = 0x91,
};
constexpr uint16_t resetFlushOut = 1; // what the host sent and the chip has not yet passed on
constexpr uint16_t resetFlushIn = 2;  // what the chip holds for the host
constexpr uint8_t bitModeMpsse = 0x02;
// The calibration memory's chip select is wired to ADBUS5, active low.
constexpr uint8_t memoryChipSelect = 0x20;

struct Global {
    std::mutex mutex;
    std::shared_ptr<FtdiDriver> bus;
    std::map<std::string, uint8_t> addresses; // kept across listings, as a hub keeps ports
    std::set<std::string> quad;
};

Global& global() {
    static Global g;
    return g;
}

std::shared_ptr<FtdiDriver> bus() {
    std::lock_guard lock(global().mutex);
    return global().bus;
}

// Chip serial numbers in listing order: the bus lists interfaces, "<serial><letter>".
int listSerials(std::vector<std::string>& serials) {
    const std::shared_ptr<FtdiDriver> b = bus();
    if (!b) return 0;
    DWORD count = 0;
    if (b->FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return LIBUSB_ERROR_IO;
    for (DWORD i = 0; i < count; i++) {
        char name[64] = {};
        if (b->FT_ListDevices(reinterpret_cast<void*>(uintptr_t(i)), name, FT_LIST_BY_INDEX) != FT_OK)
            return LIBUSB_ERROR_IO;
        std::string serial(name);
        if (serial.empty()) continue;
        serial.pop_back();
        if (std::find(serials.begin(), serials.end(), serial) == serials.end()) serials.push_back(serial);
    }
    return 0;
}

bool onBus(const std::string& serial) {
    std::vector<std::string> serials;
    return listSerials(serials) == 0 && std::find(serials.begin(), serials.end(), serial) != serials.end();
}

} // namespace

struct libusb_context {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<libusb_transfer*, Clock::time_point> pending; // submitted and not finished, with when
    std::deque<libusb_transfer*> finished;                 // waiting for their callbacks
};

struct libusb_device {
    libusb_context* context;
    std::string serial;
    uint8_t address;
    bool quad;
    std::atomic<int> references{1};
};

namespace {

// One interface as a handle holds it: the bus's channel and the state the chip keeps for it.
struct Interface {
    FT_HANDLE channel = nullptr;
    unsigned latencyMs = 16; // the chip's default
    bool mpsse = false;
    uint8_t lowPins = 0xFF, lowDirection = 0;
    std::deque<uint8_t> mpsseReplies;
};

} // namespace

struct libusb_device_handle {
    libusb_device* device;
    std::mutex mutex; // guards the interfaces' state
    std::array<Interface, 4> interfaces;
};

namespace {

int interfaceCount(const libusb_device* device) {
    return device->quad ? 4 : 2;
}

// A failed bus call: the device left the bus, or the endpoint stalls.
int failure(const libusb_device_handle* handle) {
    return onBus(handle->device->serial) ? LIBUSB_ERROR_PIPE : LIBUSB_ERROR_NO_DEVICE;
}

// The interface that a vendor request's index names (1 for A...), or the first claimed one for
// requests that concern the whole chip.
Interface* requestInterface(libusb_device_handle* handle, uint16_t index, bool wholeChip) {
    if (wholeChip) {
        for (Interface& itf : handle->interfaces)
            if (itf.channel) return &itf;
        return nullptr;
    }
    const unsigned n = index & 0xFF;
    if (n < 1 || n > handle->interfaces.size()) return nullptr;
    Interface& itf = handle->interfaces[n - 1];
    return itf.channel ? &itf : nullptr;
}

int controlRequest(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                   uint16_t index, unsigned char* data, uint16_t length) {
    if ((requestType & 0x60) != LIBUSB_REQUEST_TYPE_VENDOR) return LIBUSB_ERROR_PIPE;
    const std::shared_ptr<FtdiDriver> b = bus();
    if (!b || !onBus(handle->device->serial)) return LIBUSB_ERROR_NO_DEVICE;
    const bool wholeChip = request == requestReadEeprom || request == requestWriteEeprom;
    std::lock_guard lock(handle->mutex);
    Interface* itf = requestInterface(handle, index, wholeChip);
    if (!itf) return LIBUSB_ERROR_PIPE;
    FT_STATUS status = FT_OK;
    int transferred = 0;
    switch (request) {
    case requestReset:
        if (value == resetFlushIn) status = b->FT_Purge(itf->channel, FT_PURGE_RX);
        if (value == resetFlushOut) status = b->FT_Purge(itf->channel, FT_PURGE_TX);
        break;
    case requestModemControl:
    case requestBaudRate:
    case requestData:
        break;
    case requestFlowControl:
        status = b->FT_SetFlowControl(itf->channel, index & 0xFF00, value & 0xFF, value >> 8);
        break;
    case requestSetLatency:
        status = b->FT_SetLatencyTimer(itf->channel, value & 0xFF);
        if (status == FT_OK) itf->latencyMs = std::max(1u, unsigned(value & 0xFF));
        break;
    case requestGetLatency:
        if (length < 1) return LIBUSB_ERROR_OVERFLOW;
        data[0] = uint8_t(itf->latencyMs);
        transferred = 1;
        break;
    case requestModemStatus:
        if (length < 2) return LIBUSB_ERROR_OVERFLOW;
        data[0] = modemStatus;
        data[1] = lineStatus;
        transferred = 2;
        break;
    case requestBitMode:
        status = b->FT_SetBitMode(itf->channel, value & 0xFF, value >> 8);
        if (status == FT_OK) {
            itf->mpsse = (value >> 8) == bitModeMpsse;
            itf->mpsseReplies.clear();
        }
        break;
    case requestReadEeprom: {
        if (length < 2) return LIBUSB_ERROR_OVERFLOW;
        WORD word = 0;
        status = b->FT_ReadEE(itf->channel, index, &word);
        data[0] = uint8_t(word);
        data[1] = uint8_t(word >> 8);
        transferred = 2;
        break;
    }
    case requestWriteEeprom:
        status = b->FT_WriteEE(itf->channel, index, value);
        break;
    default:
        return LIBUSB_ERROR_PIPE; // the chip stalls what it does not know
    }
    return status == FT_OK ? transferred : failure(handle);
}

// The MPSSE commands of a write: pins, clock set-up, and SPI bytes out and in (mode 0, MSB
// first) on the calibration memory. A command the engine does not know is answered with 0xFA
// and the command, and ends the write's processing, as the engine does.
int mpsseWrite(FtdiDriver& b, Interface& itf, const uint8_t* data, int length) {
    DWORD done = 0;
    const auto chipSelected = [&] {
        return (itf.lowDirection & memoryChipSelect) && !(itf.lowPins & memoryChipSelect);
    };
    int i = 0;
    while (i < length) {
        const uint8_t op = data[i];
        const auto need = [&](int n) { return i + n <= length; };
        FT_STATUS status = FT_OK;
        if (op == 0x80 && need(3)) {
            const bool before = chipSelected();
            itf.lowPins = data[i + 1];
            itf.lowDirection = data[i + 2];
            if (chipSelected() != before)
                status = b.SPI_Write(itf.channel, nullptr, 0, &done,
                                     before ? SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE
                                            : SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE);
            i += 3;
        } else if (op == 0x82 && need(3)) {
            status = b.FT_WriteGPIO(itf.channel, data[i + 2], data[i + 1]);
            i += 3;
        } else if (op == 0x86 && need(3)) {
            i += 3; // clock divisor
        } else if (op == 0x8A || op == 0x8B || op == 0x8C || op == 0x8D || op == 0x96 || op == 0x97 ||
                   op == 0x84 || op == 0x85 || op == 0x87) {
            i += 1; // clock and loopback settings, send immediate
        } else if (op == 0x11 && need(3)) {
            const int n = (data[i + 1] | data[i + 2] << 8) + 1;
            if (!need(3 + n)) return LIBUSB_ERROR_IO;
            std::vector<uint8_t> bytes(data + i + 3, data + i + 3 + n);
            status = b.SPI_Write(itf.channel, bytes.data(), DWORD(n), &done, 0);
            i += 3 + n;
        } else if (op == 0x20 && need(3)) {
            const int n = (data[i + 1] | data[i + 2] << 8) + 1;
            std::vector<uint8_t> bytes(size_t(n), 0);
            status = b.SPI_Read(itf.channel, bytes.data(), DWORD(n), &done, 0);
            itf.mpsseReplies.insert(itf.mpsseReplies.end(), bytes.begin(), bytes.end());
            i += 3;
        } else {
            itf.mpsseReplies.push_back(0xFA);
            itf.mpsseReplies.push_back(op);
            break;
        }
        if (status != FT_OK) return -1;
    }
    return length;
}

struct BulkResult {
    bool done = false;
    int error = 0; // a LIBUSB_ERROR when done and failed
    int actual = 0;
};

int interfaceOfEndpoint(unsigned char endpoint) {
    const int number = endpoint & 0x7F;
    return endpoint & LIBUSB_ENDPOINT_IN ? (number - 1) / 2 : number / 2 - 1;
}

// One attempt at a bulk transfer. An IN transfer is answered at once while whole packets of
// data wait; otherwise when the chip's latency timer runs out (`latencyOver`), with what there
// is, or only the two status bytes.
BulkResult bulkAttempt(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                       bool latencyOver) {
    const int n = interfaceOfEndpoint(endpoint);
    if (n < 0 || n >= interfaceCount(handle->device)) return {true, LIBUSB_ERROR_NOT_FOUND, 0};
    const std::shared_ptr<FtdiDriver> b = bus();
    if (!b) return {true, LIBUSB_ERROR_NO_DEVICE, 0};
    std::unique_lock lock(handle->mutex);
    Interface& itf = handle->interfaces[size_t(n)];
    if (!itf.channel) return {true, LIBUSB_ERROR_NOT_FOUND, 0};
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        if (itf.mpsse) {
            const int written = mpsseWrite(*b, itf, data, length);
            if (written < 0) return {true, failure(handle), 0};
            return {true, 0, written};
        }
        DWORD written = 0;
        if (b->FT_Write(itf.channel, data, DWORD(length), &written) != FT_OK)
            return {true, failure(handle), 0};
        return {true, 0, int(written)};
    }
    if (length < 2) return {true, LIBUSB_ERROR_OVERFLOW, 0};
    const int packets = std::max(1, length / packetSize);
    const int room = std::min(packets * packetData, length - 2 * packets);
    std::vector<uint8_t> payload;
    if (itf.mpsse) {
        const size_t k = std::min(itf.mpsseReplies.size(), size_t(room));
        if (k == 0 && !latencyOver) return {};
        payload.assign(itf.mpsseReplies.begin(), itf.mpsseReplies.begin() + long(k));
        itf.mpsseReplies.erase(itf.mpsseReplies.begin(), itf.mpsseReplies.begin() + long(k));
    } else {
        DWORD queued = 0;
        if (b->FT_GetQueueStatus(itf.channel, &queued) != FT_OK) return {true, failure(handle), 0};
        if (queued < DWORD(packetData) && !latencyOver) return {};
        DWORD take = std::min<DWORD>(queued, DWORD(room));
        if (queued >= DWORD(packetData) && !latencyOver) take -= take % packetData; // whole packets only
        payload.resize(take);
        DWORD got = 0;
        if (take > 0 && b->FT_Read(itf.channel, payload.data(), take, &got) != FT_OK)
            return {true, failure(handle), 0};
        payload.resize(got);
    }
    int out = 0;
    size_t from = 0;
    do {
        data[out++] = modemStatus;
        data[out++] = lineStatus;
        const size_t k = std::min(payload.size() - from, size_t(packetData));
        if (k > 0) std::memcpy(data + out, payload.data() + from, k);
        out += int(k);
        from += k;
    } while (from < payload.size());
    return {true, 0, out};
}

unsigned latencyOf(libusb_device_handle* handle, unsigned char endpoint) {
    const int n = interfaceOfEndpoint(endpoint);
    std::lock_guard lock(handle->mutex);
    return n >= 0 && n < 4 ? handle->interfaces[size_t(n)].latencyMs : 16;
}

libusb_context& defaultContext() {
    static libusb_context context;
    return context;
}

libusb_context& contextOf(libusb_context* ctx) {
    return ctx ? *ctx : defaultContext();
}

// Moves the pending transfers that can finish now, or whose time ran out, to `finished`;
// returns when the next one is due. Caller holds the context's mutex.
Clock::time_point advance(libusb_context& ctx) {
    Clock::time_point next = Clock::time_point::max();
    const Clock::time_point now = Clock::now();
    for (auto it = ctx.pending.begin(); it != ctx.pending.end();) {
        libusb_transfer* t = it->first;
        const Clock::time_point latency =
            it->second + std::chrono::milliseconds(latencyOf(t->dev_handle, t->endpoint));
        const Clock::time_point timeout =
            t->timeout ? it->second + std::chrono::milliseconds(t->timeout) : Clock::time_point::max();
        const BulkResult r =
            now >= timeout ? BulkResult{true, LIBUSB_ERROR_TIMEOUT, 0}
                           : bulkAttempt(t->dev_handle, t->endpoint, t->buffer, t->length, now >= latency);
        if (!r.done) {
            next = std::min({next, latency, timeout});
            ++it;
            continue;
        }
        t->actual_length = r.actual;
        t->status = r.error == 0                        ? LIBUSB_TRANSFER_COMPLETED
                    : r.error == LIBUSB_ERROR_TIMEOUT   ? LIBUSB_TRANSFER_TIMED_OUT
                    : r.error == LIBUSB_ERROR_PIPE      ? LIBUSB_TRANSFER_STALL
                    : r.error == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                                        : LIBUSB_TRANSFER_ERROR;
        ctx.finished.push_back(t);
        it = ctx.pending.erase(it);
    }
    return next;
}

} // namespace

namespace kav4usb {

void attachBus(std::shared_ptr<FtdiDriver> driver) {
    std::lock_guard lock(global().mutex);
    global().bus = std::move(driver);
}

void setQuadBridge(const std::string& serial, bool quad) {
    std::lock_guard lock(global().mutex);
    if (quad)
        global().quad.insert(serial);
    else
        global().quad.erase(serial);
}

} // namespace kav4usb

extern "C" {

int libusb_init(libusb_context** ctx) {
    if (ctx) *ctx = new libusb_context;
    return 0;
}

void libusb_exit(libusb_context* ctx) {
    delete ctx;
}

ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    std::vector<std::string> serials;
    if (const int error = listSerials(serials); error != 0) return error;
    auto** devices = static_cast<libusb_device**>(std::calloc(serials.size() + 1, sizeof(libusb_device*)));
    std::lock_guard lock(global().mutex);
    for (size_t i = 0; i < serials.size(); i++) {
        auto [at, added] = global().addresses.emplace(serials[i], uint8_t(global().addresses.size() + 1));
        devices[i] =
            new libusb_device{&contextOf(ctx), serials[i], at->second, global().quad.count(serials[i]) > 0};
    }
    *list = devices;
    return ssize_t(serials.size());
}

libusb_device* libusb_ref_device(libusb_device* dev) {
    dev->references++;
    return dev;
}

void libusb_unref_device(libusb_device* dev) {
    if (dev && --dev->references == 0) delete dev;
}

void libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list) return;
    if (unref_devices)
        for (libusb_device** d = list; *d; d++)
            libusb_unref_device(*d);
    std::free(list);
}

uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* dev) {
    return dev->address;
}

int libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    *desc = {};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = vendorId;
    desc->idProduct = dev->quad ? quadProduct : dualProduct;
    desc->bcdDevice = dev->quad ? quadRelease : dualRelease;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return 0;
}

namespace {
// One allocation for the whole configuration, freed through its first member.
struct Configuration {
    libusb_config_descriptor config;
    libusb_interface interfaces[4];
    libusb_interface_descriptor settings[4];
    libusb_endpoint_descriptor endpoints[8];
};
} // namespace

int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                 libusb_config_descriptor** config) {
    if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
    auto* c = new Configuration{};
    const int n = interfaceCount(dev);
    c->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    c->config.bDescriptorType = LIBUSB_DT_CONFIG;
    c->config.wTotalLength =
        uint16_t(LIBUSB_DT_CONFIG_SIZE + n * (LIBUSB_DT_INTERFACE_SIZE + 2 * LIBUSB_DT_ENDPOINT_SIZE));
    c->config.bNumInterfaces = uint8_t(n);
    c->config.bConfigurationValue = 1;
    c->config.bmAttributes = 0x80;
    c->config.MaxPower = 50; // 100 mA
    c->config.interface = c->interfaces;
    for (int i = 0; i < n; i++) {
        libusb_endpoint_descriptor* ep = &c->endpoints[2 * i];
        for (int k = 0; k < 2; k++) {
            ep[k].bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep[k].bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep[k].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep[k].wMaxPacketSize = packetSize;
        }
        ep[0].bEndpointAddress = uint8_t(LIBUSB_ENDPOINT_IN | (2 * i + 1));
        ep[1].bEndpointAddress = uint8_t(2 * i + 2);
        libusb_interface_descriptor& s = c->settings[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = uint8_t(i);
        s.bNumEndpoints = 2;
        s.bInterfaceClass = s.bInterfaceSubClass = s.bInterfaceProtocol = 0xFF;
        s.iInterface = 2;
        s.endpoint = ep;
        c->interfaces[i] = {&s, 1};
    }
    *config = &c->config;
    return 0;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    delete reinterpret_cast<Configuration*>(config);
}

int libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (!onBus(dev->serial)) return LIBUSB_ERROR_NO_DEVICE;
    *dev_handle = new libusb_device_handle{libusb_ref_device(dev), {}, {}};
    return 0;
}

int libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (interface_number < 0 || interface_number >= interfaceCount(dev_handle->device))
        return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard lock(dev_handle->mutex);
    Interface& itf = dev_handle->interfaces[size_t(interface_number)];
    if (!itf.channel) return LIBUSB_ERROR_NOT_FOUND;
    const std::shared_ptr<FtdiDriver> b = bus();
    if (b) b->FT_Close(itf.channel);
    itf = {};
    return 0;
}

void libusb_close(libusb_device_handle* dev_handle) {
    if (!dev_handle) return;
    for (int i = 0; i < interfaceCount(dev_handle->device); i++)
        libusb_release_interface(dev_handle, i);
    libusb_unref_device(dev_handle->device);
    delete dev_handle;
}

int libusb_get_configuration(libusb_device_handle*, int* config) {
    *config = 1;
    return 0;
}

int libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    if (!onBus(dev_handle->device->serial)) return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 || configuration == -1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

// No kernel driver ever holds a virtual device.
int libusb_detach_kernel_driver(libusb_device_handle*, int) {
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
    return 0;
}

int libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    if (interface_number < 0 || interface_number >= interfaceCount(dev_handle->device))
        return LIBUSB_ERROR_NOT_FOUND;
    const std::shared_ptr<FtdiDriver> b = bus();
    if (!b) return LIBUSB_ERROR_NO_DEVICE;
    std::lock_guard lock(dev_handle->mutex);
    Interface& itf = dev_handle->interfaces[size_t(interface_number)];
    if (itf.channel) return 0;
    std::string name = dev_handle->device->serial + char('A' + interface_number);
    const FT_STATUS status = b->FT_OpenEx(name.data(), FT_OPEN_BY_SERIAL_NUMBER, &itf.channel);
    if (status == FT_OK) return 0;
    itf.channel = nullptr;
    if (status == FT_DEVICE_NOT_OPENED) return LIBUSB_ERROR_BUSY;
    return onBus(dev_handle->device->serial) ? LIBUSB_ERROR_IO : LIBUSB_ERROR_NO_DEVICE;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                       unsigned char* data, int length) {
    if (!onBus(dev_handle->device->serial)) return LIBUSB_ERROR_NO_DEVICE;
    std::string text;
    switch (desc_index) {
    case 1:
        text = "Corvane S.R.L.";
        break;
    case 2:
        text = "KAV4 amplifier";
        break;
    case 3:
        text = dev_handle->device->serial;
        break;
    default:
        return LIBUSB_ERROR_PIPE;
    }
    if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    const int n = std::min(int(text.size()), length - 1);
    std::memcpy(data, text.data(), size_t(n));
    data[n] = 0;
    return n;
}

int libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                            uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                            unsigned int) {
    return controlRequest(dev_handle, request_type, bRequest, wValue, wIndex, data, wLength);
}

int libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                         int length, int* actual_length, unsigned int timeout) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point latency = start + std::chrono::milliseconds(latencyOf(dev_handle, endpoint));
    const Clock::time_point deadline =
        timeout ? start + std::chrono::milliseconds(timeout) : Clock::time_point::max();
    if (actual_length) *actual_length = 0;
    BulkResult r = bulkAttempt(dev_handle, endpoint, data, length, false);
    if (!r.done) {
        // The chip answers when its latency timer runs out, unless the caller gives up first:
        // this wait is the chip's timer, nothing else could end it sooner.
        std::this_thread::sleep_until(std::min(latency, deadline));
        r = Clock::now() >= latency ? bulkAttempt(dev_handle, endpoint, data, length, true)
                                    : BulkResult{true, LIBUSB_ERROR_TIMEOUT, 0};
    }
    if (actual_length) *actual_length = r.actual;
    return r.error;
}

libusb_transfer* libusb_alloc_transfer(int iso_packets) {
    return static_cast<libusb_transfer*>(
        std::calloc(1, sizeof(libusb_transfer) +
                           size_t(std::max(iso_packets, 0)) * sizeof(libusb_iso_packet_descriptor)));
}

void libusb_free_transfer(libusb_transfer* transfer) {
    if (!transfer) return;
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(transfer->buffer);
    std::free(transfer);
}

int libusb_submit_transfer(libusb_transfer* transfer) {
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
    if (!onBus(transfer->dev_handle->device->serial)) return LIBUSB_ERROR_NO_DEVICE;
    libusb_context& ctx = *transfer->dev_handle->device->context;
    {
        std::lock_guard lock(ctx.mutex);
        if (ctx.pending.count(transfer)) return LIBUSB_ERROR_BUSY;
        ctx.pending[transfer] = Clock::now();
    }
    ctx.changed.notify_all();
    return 0;
}

int libusb_cancel_transfer(libusb_transfer* transfer) {
    libusb_context& ctx = *transfer->dev_handle->device->context;
    {
        std::lock_guard lock(ctx.mutex);
        if (!ctx.pending.erase(transfer)) return LIBUSB_ERROR_NOT_FOUND;
        transfer->status = LIBUSB_TRANSFER_CANCELLED;
        transfer->actual_length = 0;
        ctx.finished.push_back(transfer);
    }
    ctx.changed.notify_all();
    return 0;
}

// Waits until a transfer finishes, one falls due, or the time given runs out; then calls the
// callbacks of the finished ones in this thread.
int libusb_handle_events_timeout_completed(libusb_context* ctx, timeval* tv, int* completed) {
    libusb_context& c = contextOf(ctx);
    const Clock::time_point until =
        Clock::now() + (tv ? std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
                           : std::chrono::hours(24));
    std::deque<libusb_transfer*> done;
    {
        std::unique_lock lock(c.mutex);
        for (;;) {
            if (completed && *completed) return 0;
            const Clock::time_point next = advance(c);
            if (!c.finished.empty() || Clock::now() >= until) break;
            c.changed.wait_until(lock, std::min(next, until));
        }
        done.swap(c.finished);
    }
    for (libusb_transfer* t : done) {
        const bool freeAfter = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
        if (t->callback) t->callback(t);
        if (freeAfter) libusb_free_transfer(t);
    }
    // Another thread may be waiting for a flag these callbacks set.
    if (!done.empty()) c.changed.notify_all();
    return 0;
}

int libusb_handle_events_timeout(libusb_context* ctx, timeval* tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

} // extern "C"
