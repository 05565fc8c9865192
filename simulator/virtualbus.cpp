#include "simulator/virtualbus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace kav4sim {

namespace {

// What a free-running source keeps queued when the device buffer is unlimited.
constexpr size_t freeRunningFill = size_t{1} << 20;
// Generators are asked for at most this much at once, so that a long gap between polls
// never needs the whole backlog in memory before the overflow trims it.
constexpr size_t sourceChunk = size_t{1} << 20;

constexpr uint8_t spiWriteEnable = 0x06;
constexpr uint8_t spiReadData = 0x03;
constexpr uint8_t spiWriteData = 0x02;
constexpr uint8_t spiReadStatus = 0x05;

std::string args(std::initializer_list<unsigned long> values) {
    std::string out;
    for (unsigned long v : values) {
        out += ' ';
        out += std::to_string(v);
    }
    return out;
}

// Bytes due `seconds` after the start at `pace`; none before the start.
uint64_t dueBytes(double pace, double seconds) {
    return seconds <= 0 ? 0 : static_cast<uint64_t>(std::floor(pace * seconds));
}

} // namespace

VirtualDevice::VirtualDevice(std::string serial, std::shared_ptr<SimulatedClock> clock)
    : serial(std::move(serial)), simClock(clock ? std::move(clock) : std::make_shared<SimulatedClock>()) {
    spi.fill(0xFF);
}

void VirtualDevice::setEepromWord(uint32_t offset, uint16_t value) {
    std::lock_guard lock(mutex);
    eeprom[offset] = value;
}

uint16_t VirtualDevice::eepromWord(uint32_t offset) const {
    std::lock_guard lock(mutex);
    const auto it = eeprom.find(offset);
    return it == eeprom.end() ? 0xFFFF : it->second;
}

void VirtualDevice::setIdentity(uint8_t version, uint8_t subversion, uint16_t firmware) {
    std::lock_guard lock(mutex);
    eeprom[116] = static_cast<uint16_t>(version << 8 | subversion);
    eeprom[117] = firmware;
}

void VirtualDevice::feed(char letter, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex);
    Interface& itf = iface(letter);
    double start = simClock->seconds();
    // A paced stream is serial: bytes fed while earlier ones are still arriving queue up
    // behind them instead of arriving in parallel.
    if (itf.pace > 0 && !itf.fed.empty()) {
        const Fed& last = itf.fed.back();
        start = std::max(start, last.start + static_cast<double>(last.bytes.size()) / itf.pace);
    }
    itf.fed.push_back({start, bytes, 0});
    itf.fedPending += bytes.size();
}

void VirtualDevice::setPace(char letter, double bytesPerSecond) {
    std::lock_guard lock(mutex);
    Interface& itf = iface(letter);
    const double now = simClock->seconds();
    if (itf.source) refill(itf, now);
    itf.pace = bytesPerSecond;
    itf.sourceStart = now;
    itf.sourceBase = itf.sourceProduced;
}

void VirtualDevice::setSource(char letter, ByteSource source, ByteSkipper skipper) {
    std::lock_guard lock(mutex);
    Interface& itf = iface(letter);
    itf.source = std::move(source);
    itf.skipper = std::move(skipper);
    itf.sourceStart = simClock->seconds();
    itf.sourceBase = 0;
    itf.sourceProduced = 0;
}

VirtualDevice::ByteSource VirtualDevice::source(char letter) const {
    std::lock_guard lock(mutex);
    return iface(letter).source;
}

VirtualDevice::ByteSkipper VirtualDevice::skipper(char letter) const {
    std::lock_guard lock(mutex);
    return iface(letter).skipper;
}

VirtualDevice::PaceStart VirtualDevice::paceStart(char letter) const {
    std::lock_guard lock(mutex);
    const Interface& itf = iface(letter);
    return {itf.sourceStart, itf.sourceBase};
}

void VirtualDevice::setRxCapacity(char letter, size_t bytes) {
    std::lock_guard lock(mutex);
    iface(letter).capacity = bytes;
}

std::vector<std::vector<uint8_t>> VirtualDevice::writes(char letter) const {
    std::lock_guard lock(mutex);
    return iface(letter).writes;
}

void VirtualDevice::setWriteSink(char letter, WriteSink sink) {
    std::lock_guard sinkLock(sinkMutex);
    std::lock_guard lock(mutex);
    iface(letter).writeSink = std::move(sink);
}

void VirtualDevice::deliverWrite(char letter, std::vector<uint8_t> bytes) {
    std::lock_guard sinkLock(sinkMutex);
    WriteSink sink;
    {
        std::lock_guard lock(mutex);
        sink = iface(letter).writeSink;
    }
    if (sink) sink(bytes);
}

bool VirtualDevice::waitForWrites(char letter, size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    const Interface& itf = iface(letter);
    return changed.wait_for(lock, timeout, [&] { return itf.writes.size() >= n; });
}

bool VirtualDevice::waitUntilDrained(char letter, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    const Interface& itf = iface(letter);
    return changed.wait_for(lock, timeout, [&] { return itf.fedPending == 0 && itf.readerPolls > 0; });
}

bool VirtualDevice::waitForNextRead(char letter, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    const Interface& itf = iface(letter);
    const uint64_t seen = itf.reads;
    return changed.wait_for(lock, timeout, [&] { return itf.reads > seen; });
}

int VirtualDevice::purges(char letter, DWORD mask) const {
    std::lock_guard lock(mutex);
    const auto& counts = iface(letter).purges;
    const auto it = counts.find(mask);
    return it == counts.end() ? 0 : it->second;
}

bool VirtualDevice::waitForPurges(char letter, DWORD mask, int n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    const auto& counts = iface(letter).purges;
    return changed.wait_for(lock, timeout, [&] {
        const auto it = counts.find(mask);
        return it != counts.end() && it->second >= n;
    });
}

std::vector<std::string> VirtualDevice::callLog() const {
    std::lock_guard lock(mutex);
    return calls;
}

void VirtualDevice::clearCallLog() {
    std::lock_guard lock(mutex);
    calls.clear();
}

void VirtualDevice::failCalls(FtdiCall call, int count) {
    std::lock_guard lock(mutex);
    faults[call] = count;
}

void VirtualDevice::shortWrites(int accepted, int count) {
    std::lock_guard lock(mutex);
    shortWriteBytes = accepted;
    shortWriteCount = count;
}

void VirtualDevice::zeroReads(int count) {
    std::lock_guard lock(mutex);
    zeroReadCount = count;
}

void VirtualDevice::stall(bool on) {
    std::lock_guard lock(mutex);
    // Settle what arrived under the old state, so the change takes effect exactly now.
    const double now = simClock->seconds();
    refill(ifaceA, now);
    refill(ifaceB, now);
    stalled = on;
}

void VirtualDevice::unplug() {
    {
        std::lock_guard lock(mutex);
        plugged = false;
        // The device's FIFO and the driver's buffer go with it.
        for (Interface* itf : {&ifaceA, &ifaceB}) {
            itf->queue.clear();
            itf->fed.clear();
            itf->fedPending = 0;
        }
    }
    changed.notify_all();
}

void VirtualDevice::replug() {
    std::lock_guard lock(mutex);
    // Whatever a paced source produced while unplugged is lost.
    const double now = simClock->seconds();
    refill(ifaceA, now);
    refill(ifaceB, now);
    plugged = true;
}

bool VirtualDevice::pluggedIn() const {
    std::lock_guard lock(mutex);
    return plugged;
}

std::array<uint8_t, 2048> VirtualDevice::spiMemory() const {
    std::lock_guard lock(mutex);
    return spi;
}

void VirtualDevice::setSpiMemory(const std::array<uint8_t, 2048>& contents) {
    std::lock_guard lock(mutex);
    spi = contents;
}

void VirtualDevice::setSpiBusyPolls(int polls) {
    std::lock_guard lock(mutex);
    spiBusyPolls = polls;
}

VirtualDevice::Interface& VirtualDevice::iface(char letter) {
    return const_cast<Interface&>(std::as_const(*this).iface(letter));
}

const VirtualDevice::Interface& VirtualDevice::iface(char letter) const {
    if (letter == 'A') return ifaceA;
    if (letter == 'B') return ifaceB;
    throw std::invalid_argument(std::string("no interface ") + letter);
}

void VirtualDevice::append(Interface& itf, const uint8_t* bytes, size_t n) {
    itf.queue.insert(itf.queue.end(), bytes, bytes + n);
    if (itf.capacity > 0 && itf.queue.size() > itf.capacity) {
        const size_t lost = itf.queue.size() - itf.capacity;
        itf.queue.erase(itf.queue.begin(), itf.queue.begin() + static_cast<std::ptrdiff_t>(lost));
        itf.fedPending -= std::min(lost, itf.fedPending);
    }
}

void VirtualDevice::refill(Interface& itf, double now) {
    const bool live = plugged && !stalled;
    // Fed bytes wait out a stall; they are not lost.
    while (live && !itf.fed.empty()) {
        Fed& f = itf.fed.front();
        size_t visible = f.bytes.size();
        if (itf.pace > 0)
            visible = static_cast<size_t>(std::min<uint64_t>(visible, dueBytes(itf.pace, now - f.start)));
        if (visible > f.moved) append(itf, f.bytes.data() + f.moved, visible - f.moved);
        f.moved = std::max(f.moved, visible);
        if (f.moved < f.bytes.size()) break;
        itf.fed.pop_front();
    }
    if (!itf.source) return;
    uint64_t n = 0;
    if (itf.pace > 0) {
        // The generator's clock runs on while nobody listens: what it makes then is lost.
        const uint64_t due = itf.sourceBase + dueBytes(itf.pace, now - itf.sourceStart);
        n = due > itf.sourceProduced ? due - itf.sourceProduced : 0;
    } else if (live) {
        const size_t target = itf.capacity > 0 ? itf.capacity : freeRunningFill;
        n = target > itf.queue.size() ? target - itf.queue.size() : 0;
    }
    itf.sourceProduced += n;
    if (itf.skipper && n > 0) {
        if (!live) {
            itf.skipper(n);
            return;
        }
        if (itf.capacity > 0 && n > itf.capacity) {
            // Everything queued and the oldest of the new bytes would be pushed out at once.
            itf.skipper(n - itf.capacity);
            itf.fedPending -= std::min(itf.queue.size(), itf.fedPending);
            itf.queue.clear();
            n = itf.capacity;
        }
    }
    std::vector<uint8_t> chunk;
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, sourceChunk));
        chunk.clear();
        itf.source(chunk, k);
        if (live) append(itf, chunk.data(), chunk.size());
        n -= k;
    }
}

bool VirtualDevice::consumeFault(FtdiCall call) {
    const auto it = faults.find(call);
    if (it == faults.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
}

void VirtualDevice::log(std::string entry) {
    calls.push_back(std::move(entry));
}

// A 25-series SPI EEPROM: the first byte after chip select is the command, reads and
// writes carry a two-byte address, data follows.
void VirtualDevice::spiTransfer(uint8_t* data, DWORD n, DWORD options, bool writing) {
    if (options & SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE) spiCommand.clear();
    for (DWORD i = 0; i < n; ++i) {
        const uint8_t command = spiCommand.empty() ? 0 : spiCommand[0];
        const bool addressed = spiCommand.size() == 3;
        if (writing) {
            if (addressed && command == spiWriteData) {
                if (spiWriteEnabled) spi[spiAddress] = data[i];
                spiAddress = (spiAddress + 1) % spi.size();
            } else if (!addressed) {
                spiCommand.push_back(data[i]);
                if (spiCommand.size() == 1 && data[i] == spiWriteEnable) spiWriteEnabled = true;
                if (spiCommand.size() == 3) spiAddress = ((spiCommand[1] << 8) | spiCommand[2]) % spi.size();
            }
        } else if (addressed && command == spiReadData) {
            data[i] = spi[spiAddress];
            spiAddress = (spiAddress + 1) % spi.size();
        } else if (command == spiReadStatus) {
            data[i] = static_cast<uint8_t>((spiBusyLeft > 0 ? 0x01 : 0) | (spiWriteEnabled ? 0x02 : 0));
            if (spiBusyLeft > 0) --spiBusyLeft;
        } else {
            data[i] = 0xFF; // nobody drives the line
        }
    }
    if (options & SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE) {
        if (!spiCommand.empty() && spiCommand[0] == spiWriteData && spiWriteEnabled) {
            spiWriteEnabled = false;
            spiBusyLeft = spiBusyPolls;
        }
        spiCommand.clear();
    }
}

void VirtualBus::addDevice(std::shared_ptr<VirtualDevice> device) {
    std::lock_guard lock(mutex);
    devices.push_back(std::move(device));
}

void VirtualBus::removeDevice(const std::string& serial) {
    std::lock_guard lock(mutex);
    std::erase_if(devices, [&](const auto& d) { return d->serial == serial; });
}

std::shared_ptr<VirtualDevice> VirtualBus::device(const std::string& serial) const {
    std::lock_guard lock(mutex);
    for (const auto& d : devices)
        if (d->serial == serial) return d;
    return nullptr;
}

size_t VirtualBus::openHandles() const {
    std::lock_guard lock(mutex);
    return handles.size();
}

std::vector<std::pair<std::shared_ptr<VirtualDevice>, char>> VirtualBus::interfaces() const {
    std::vector<std::pair<std::shared_ptr<VirtualDevice>, char>> out;
    for (const auto& d : devices) {
        if (!d->pluggedIn()) continue;
        out.emplace_back(d, 'A');
        out.emplace_back(d, 'B');
    }
    return out;
}

FT_STATUS VirtualBus::lookup(FT_HANDLE handle, Open& out) const {
    const auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end()) return FT_INVALID_HANDLE;
    out = it->second;
    const bool onBus = std::find(devices.begin(), devices.end(), out.device) != devices.end();
    return onBus ? FT_OK : FT_IO_ERROR;
}

FT_STATUS VirtualBus::access(FT_HANDLE handle, FtdiCall call, const char* name, const std::string& arguments,
                             const Work& work, Open* opened) {
    Open open;
    {
        std::lock_guard lock(mutex);
        if (const FT_STATUS s = lookup(handle, open); s != FT_OK) return s;
    }
    if (opened) *opened = open;
    VirtualDevice& d = *open.device;
    FT_STATUS status;
    {
        std::lock_guard lock(d.mutex);
        if (!d.plugged) return FT_IO_ERROR;
        if (name) d.log(name + std::string(" ") + open.letter + arguments);
        status = d.consumeFault(call) ? FT_IO_ERROR : work(d, d.iface(open.letter));
    }
    d.changed.notify_all();
    return status;
}

FT_STATUS VirtualBus::openInterface(const std::shared_ptr<VirtualDevice>& device, char letter, bool spi,
                                    FtdiCall call, FT_HANDLE* handle) {
    std::lock_guard lock(device->mutex);
    if (!device->plugged) return FT_DEVICE_NOT_FOUND;
    device->log((spi ? "SpiOpen " : "OpenEx ") + std::string(1, letter));
    if (device->consumeFault(call)) return FT_IO_ERROR;
    VirtualDevice::Interface& itf = device->iface(letter);
    if (itf.open) return FT_DEVICE_NOT_OPENED;
    itf.open = true;
    uintptr_t value = 1;
    while (handles.count(value))
        ++value;
    handles[value] = {device, letter, spi};
    *handle = reinterpret_cast<FT_HANDLE>(value);
    return FT_OK;
}

FT_STATUS VirtualBus::closeHandle(FT_HANDLE handle, const char* name, std::optional<FtdiCall> call) {
    std::lock_guard lock(mutex);
    Open open;
    const FT_STATUS found = lookup(handle, open);
    if (found == FT_INVALID_HANDLE) return found;
    VirtualDevice& d = *open.device;
    {
        std::lock_guard deviceLock(d.mutex);
        // A device that is gone still lets its handles be closed, as the driver does.
        if (found == FT_OK && d.plugged) {
            d.log(name + std::string(" ") + open.letter);
            if (call && d.consumeFault(*call)) return FT_IO_ERROR;
        }
        d.iface(open.letter).open = false;
    }
    handles.erase(reinterpret_cast<uintptr_t>(handle));
    return FT_OK;
}

FT_STATUS VirtualBus::FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
    // The serial-number selector may accompany FT_LIST_BY_INDEX; serials are what we list anyway.
    const bool byIndex = (flags & ~FT_OPEN_BY_SERIAL_NUMBER) == FT_LIST_BY_INDEX;
    if ((flags != FT_LIST_NUMBER_ONLY && !byIndex) || (!byIndex && !arg1) || (byIndex && !arg2))
        return FT_INVALID_PARAMETER;
    std::lock_guard lock(mutex);
    const auto list = interfaces();
    bool fail = false;
    for (const auto& d : devices) {
        std::lock_guard deviceLock(d->mutex);
        fail = d->consumeFault(FtdiCall::ListDevices) || fail;
    }
    if (fail) return FT_IO_ERROR;
    if (!byIndex) {
        *static_cast<DWORD*>(arg1) = static_cast<DWORD>(list.size());
        return FT_OK;
    }
    const auto index = reinterpret_cast<uintptr_t>(arg1);
    if (index >= list.size()) return FT_DEVICE_NOT_FOUND;
    std::snprintf(static_cast<char*>(arg2), 64, "%s%c", list[index].first->serial.c_str(),
                  list[index].second);
    return FT_OK;
}

FT_STATUS VirtualBus::FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) {
    if (!arg || !handle || flags != FT_OPEN_BY_SERIAL_NUMBER) return FT_INVALID_PARAMETER;
    const std::string name = static_cast<const char*>(arg);
    std::lock_guard lock(mutex);
    if (name.size() < 2 || (name.back() != 'A' && name.back() != 'B')) return FT_DEVICE_NOT_FOUND;
    const std::string serial = name.substr(0, name.size() - 1);
    for (const auto& d : devices)
        if (d->serial == serial) return openInterface(d, name.back(), false, FtdiCall::OpenEx, handle);
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS VirtualBus::FT_Close(FT_HANDLE handle) {
    return closeHandle(handle, "Close", FtdiCall::Close);
}

FT_STATUS VirtualBus::FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
    return access(handle, FtdiCall::SetBitMode, "SetBitMode", args({mask, mode}),
                  [](auto&, auto&) { return FT_OK; });
}

FT_STATUS VirtualBus::FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
    return access(handle, FtdiCall::SetLatencyTimer, "SetLatencyTimer", args({timer}),
                  [](auto&, auto&) { return FT_OK; });
}

FT_STATUS VirtualBus::FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) {
    return access(handle, FtdiCall::SetUSBParameters, "SetUSBParameters", args({inSize, outSize}),
                  [](auto&, auto&) { return FT_OK; });
}

FT_STATUS VirtualBus::FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) {
    return access(handle, FtdiCall::SetFlowControl, "SetFlowControl", args({flow, xon, xoff}),
                  [](auto&, auto&) { return FT_OK; });
}

FT_STATUS VirtualBus::FT_Purge(FT_HANDLE handle, DWORD mask) {
    return access(handle, FtdiCall::Purge, "Purge", args({mask}),
                  [mask](auto&, VirtualDevice::Interface& itf) {
                      for (DWORD bit : {FT_PURGE_RX, FT_PURGE_TX})
                          if (mask & bit) ++itf.purges[bit];
                      if (mask & FT_PURGE_RX) {
                          // Both the driver's buffer and what the device still held.
                          itf.queue.clear();
                          itf.fed.clear();
                          itf.fedPending = 0;
                      }
                      return FT_OK;
                  });
}

FT_STATUS VirtualBus::FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
    if (!rxBytes) return FT_INVALID_PARAMETER;
    *rxBytes = 0;
    return access(handle, FtdiCall::GetQueueStatus, nullptr, {},
                  [rxBytes](VirtualDevice& d, VirtualDevice::Interface& itf) {
                      d.refill(itf, d.simClock->seconds());
                      *rxBytes = static_cast<DWORD>(itf.queue.size());
                      if (itf.reader == std::thread::id{} || itf.reader == std::this_thread::get_id())
                          ++itf.readerPolls;
                      return FT_OK;
                  });
}

FT_STATUS VirtualBus::FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
    if (!bytesRead || (!buffer && bytesToRead > 0)) return FT_INVALID_PARAMETER;
    *bytesRead = 0;
    return access(handle, FtdiCall::Read, nullptr, {}, [&](VirtualDevice& d, VirtualDevice::Interface& itf) {
        d.refill(itf, d.simClock->seconds());
        if (d.zeroReadCount > 0) {
            --d.zeroReadCount;
            return FT_OK;
        }
        const size_t n = std::min<size_t>(bytesToRead, itf.queue.size());
        const auto end = itf.queue.begin() + static_cast<std::ptrdiff_t>(n);
        std::copy(itf.queue.begin(), end, static_cast<uint8_t*>(buffer));
        itf.queue.erase(itf.queue.begin(), end);
        itf.fedPending -= std::min(n, itf.fedPending);
        if (n > 0) {
            itf.reader = std::this_thread::get_id();
            itf.readerPolls = 0;
            ++itf.reads;
        }
        *bytesRead = static_cast<DWORD>(n);
        return FT_OK;
    });
}

FT_STATUS VirtualBus::FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
    if (!bytesWritten || (!buffer && bytesToWrite > 0)) return FT_INVALID_PARAMETER;
    *bytesWritten = 0;
    Open open;
    const FT_STATUS status = access(
        handle, FtdiCall::Write, nullptr, {},
        [&](VirtualDevice& d, VirtualDevice::Interface& itf) {
            DWORD n = bytesToWrite;
            if (d.shortWriteCount > 0) {
                --d.shortWriteCount;
                n = std::min<DWORD>(n, static_cast<DWORD>(std::max(d.shortWriteBytes, 0)));
            }
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            itf.writes.emplace_back(bytes, bytes + n);
            *bytesWritten = n;
            return FT_OK;
        },
        &open);
    if (status == FT_OK && *bytesWritten > 0) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        open.device->deliverWrite(open.letter, std::vector<uint8_t>(bytes, bytes + *bytesWritten));
    }
    return status;
}

FT_STATUS VirtualBus::FT_ReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value) {
    if (!value) return FT_INVALID_PARAMETER;
    return access(handle, FtdiCall::ReadEE, nullptr, {}, [&](VirtualDevice& d, auto&) {
        const auto it = d.eeprom.find(wordOffset);
        *value = it == d.eeprom.end() ? 0xFFFF : it->second;
        return FT_OK;
    });
}

FT_STATUS VirtualBus::FT_WriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value) {
    return access(handle, FtdiCall::WriteEE, nullptr, {}, [&](VirtualDevice& d, auto&) {
        d.eeprom[wordOffset] = value;
        return FT_OK;
    });
}

// The MPSSE library keeps no state of its own that the bus would need.
void VirtualBus::Init_libMPSSE() {}
void VirtualBus::Cleanup_libMPSSE() {}

FT_STATUS VirtualBus::SPI_GetNumChannels(DWORD* numChannels) {
    if (!numChannels) return FT_INVALID_PARAMETER;
    std::lock_guard lock(mutex);
    *numChannels = static_cast<DWORD>(interfaces().size());
    return FT_OK;
}

FT_STATUS VirtualBus::SPI_GetChannelInfo(DWORD index, FT_DEVICE_LIST_INFO_NODE* info) {
    if (!info) return FT_INVALID_PARAMETER;
    std::lock_guard lock(mutex);
    const auto list = interfaces();
    if (index >= list.size()) return FT_DEVICE_NOT_FOUND;
    *info = {};
    std::snprintf(info->SerialNumber, sizeof info->SerialNumber, "%s%c", list[index].first->serial.c_str(),
                  list[index].second);
    return FT_OK;
}

FT_STATUS VirtualBus::SPI_OpenChannel(DWORD index, FT_HANDLE* handle) {
    if (!handle) return FT_INVALID_PARAMETER;
    std::lock_guard lock(mutex);
    const auto list = interfaces();
    if (index >= list.size()) return FT_DEVICE_NOT_FOUND;
    return openInterface(list[index].first, list[index].second, true, FtdiCall::SpiOpenChannel, handle);
}

FT_STATUS VirtualBus::SPI_InitChannel(FT_HANDLE handle, ChannelConfig* config) {
    if (!config) return FT_INVALID_PARAMETER;
    return access(handle, FtdiCall::SpiInitChannel, "SpiInit",
                  args({config->ClockRate, config->LatencyTimer, config->configOptions, config->Pin}),
                  [](auto&, auto&) { return FT_OK; });
}

FT_STATUS VirtualBus::SPI_CloseChannel(FT_HANDLE handle) {
    return closeHandle(handle, "SpiClose", std::nullopt);
}

FT_STATUS VirtualBus::SPI_Read(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                               DWORD options) {
    if (!sizeTransferred || (!buffer && sizeToTransfer > 0)) return FT_INVALID_PARAMETER;
    *sizeTransferred = 0;
    return access(handle, FtdiCall::SpiRead, nullptr, {}, [&](VirtualDevice& d, auto&) {
        d.spiTransfer(buffer, sizeToTransfer, options, false);
        *sizeTransferred = sizeToTransfer;
        return FT_OK;
    });
}

FT_STATUS VirtualBus::SPI_Write(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                                DWORD options) {
    if (!sizeTransferred || (!buffer && sizeToTransfer > 0)) return FT_INVALID_PARAMETER;
    *sizeTransferred = 0;
    return access(handle, FtdiCall::SpiWrite, nullptr, {}, [&](VirtualDevice& d, auto&) {
        d.spiTransfer(buffer, sizeToTransfer, options, true);
        *sizeTransferred = sizeToTransfer;
        return FT_OK;
    });
}

FT_STATUS VirtualBus::FT_WriteGPIO(FT_HANDLE handle, UCHAR dir, UCHAR value) {
    return access(handle, FtdiCall::WriteGPIO, "GPIO", args({dir, value}),
                  [](auto&, auto&) { return FT_OK; });
}

} // namespace kav4sim
