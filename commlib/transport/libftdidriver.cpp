#include "commlib/transport/libftdidriver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kv4CommLib {

namespace {

constexpr int vendorId = 0x0403;
struct Bridge {
    int product;
    int interfaces;
    DWORD type; // the vendor driver's device type code
};
constexpr Bridge bridges[] = {{.product = 0x6010, .interfaces = 2, .type = 6},
                              {.product = 0x6011, .interfaces = 4, .type = 7}};

// MPSSE commands (the engine's command set).
constexpr uint8_t mpsseSetLowPins = 0x80, mpsseSetHighPins = 0x82, mpsseClockDivisor = 0x86;
constexpr uint8_t mpsseNoClockDivideBy5 = 0x8A, mpsseNoThreePhase = 0x8D, mpsseNoAdaptiveClock = 0x97;
constexpr uint8_t mpsseLoopbackOff = 0x85, mpsseSendImmediate = 0x87;
constexpr uint8_t mpsseBytesOutFalling = 0x11, mpsseBytesInRising = 0x20; // SPI mode 0, MSB first
constexpr uint8_t pinClock = 0x01, pinDataOut = 0x02;
constexpr double mpsseBaseClock = 60e6;
constexpr auto readTimeout = std::chrono::seconds(1);
constexpr size_t packetData = 510;   // a high-speed bulk packet less the two status bytes
constexpr size_t checkedWords = 128; // the EEPROM words the bridge's checksum covers, its own last

// One opened interface; its address is the handle.
struct Port {
    ftdi_context* ftdi = nullptr;
    // Every libftdi call but writes holds it: reads and purges share libftdi's read buffer.
    std::mutex ftdiMutex;

    std::mutex mutex; // guards what follows
    std::condition_variable changed;
    std::vector<uint8_t> received;
    uint64_t purges = 0;
    unsigned chunk = 4096;
    bool reading = false, stop = false, failed = false, retry = false;
    std::thread reader;

    // MPSSE: the chip-select pin and its active level, the low pins' state.
    uint8_t chipSelect = 0x08;
    bool selectLow = true;
    uint8_t lowDirection = 0;
};

struct Interface {
    std::string name; // serial + letter
    std::string description;
    DWORD type = 0;
};

std::string text(const char* buffer) {
    return std::string(buffer, strnlen(buffer, 128));
}

// Calls `found` for every attached bridge (with its libusb device, opened by nothing) until it
// returns true. False when the bus cannot be searched.
template <typename Found> bool forEachBridge(ftdi_context* ftdi, Found found) {
    for (const Bridge& bridge : bridges) {
        ftdi_device_list* list = nullptr;
        if (ftdi_usb_find_all(ftdi, &list, vendorId, bridge.product) < 0) return false;
        bool done = false;
        for (ftdi_device_list* d = list; d && !done; d = d->next) {
            char description[128] = {}, serial[128] = {};
            // A bridge that does not answer (another program holds it, no permission) is skipped.
            if (ftdi_usb_get_strings(ftdi, d->dev, nullptr, 0, description, sizeof description, serial,
                                     sizeof serial) < 0)
                continue;
            done = found(d->dev, bridge, text(serial), text(description));
        }
        ftdi_list_free(&list);
        if (done) break;
    }
    return true;
}

// The interfaces of every attached bridge, in the order the library indexes them. A machine
// where USB cannot be reached at all has none.
FT_STATUS listInterfaces(std::vector<Interface>& out) {
    ftdi_context* ftdi = ftdi_new();
    if (!ftdi) return FT_OK;
    const bool searched = forEachBridge(ftdi, [&](libusb_device*, const Bridge& bridge,
                                                  const std::string& serial, const std::string& description) {
        for (int i = 0; i < bridge.interfaces; i++) {
            const char letter = char('A' + i);
            out.push_back({serial + letter, description + ' ' + letter, bridge.type});
        }
        return false;
    });
    ftdi_free(ftdi);
    return searched ? FT_OK : FT_IO_ERROR;
}

class LibftdiDriver : public FtdiDriver {
  public:
    FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) override {
        const bool byIndex = (flags & ~FT_OPEN_BY_SERIAL_NUMBER) == FT_LIST_BY_INDEX;
        if ((flags != FT_LIST_NUMBER_ONLY && !byIndex) || (!byIndex && !arg1) || (byIndex && !arg2))
            return FT_INVALID_PARAMETER;
        std::vector<Interface> found;
        if (const FT_STATUS status = listInterfaces(found); status != FT_OK) return status;
        if (!byIndex) {
            *static_cast<DWORD*>(arg1) = DWORD(found.size());
            return FT_OK;
        }
        const auto index = reinterpret_cast<uintptr_t>(arg1);
        if (index >= found.size()) return FT_DEVICE_NOT_FOUND;
        std::snprintf(static_cast<char*>(arg2), 64, "%s", found[index].name.c_str());
        return FT_OK;
    }

    FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) override {
        if (!arg || !handle || flags != FT_OPEN_BY_SERIAL_NUMBER) return FT_INVALID_PARAMETER;
        return open(static_cast<const char*>(arg), handle);
    }

    FT_STATUS FT_Close(FT_HANDLE handle) override {
        Port* port = take(handle);
        if (!port) return FT_INVALID_HANDLE;
        stopReading(*port);
        // A pulled bridge cannot be released, but its handle is gone all the same.
        ftdi_usb_close(port->ftdi);
        ftdi_free(port->ftdi);
        delete port;
        return FT_OK;
    }

    FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override {
        return call(handle, [&](Port& p) { return ftdi_set_bitmode(p.ftdi, mask, mode); });
    }

    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) override {
        return call(handle, [&](Port& p) { return ftdi_set_latency_timer(p.ftdi, timer); });
    }

    FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) override {
        return call(handle, [&](Port& p) {
            if (ftdi_read_data_set_chunksize(p.ftdi, inSize) < 0 ||
                ftdi_write_data_set_chunksize(p.ftdi, outSize) < 0)
                return -1;
            std::lock_guard lock(p.mutex);
            p.chunk = inSize;
            return 0;
        });
    }

    // The vendor's flow-control codes are the bridge's own (RTS/CTS 0x100, DTR/DSR 0x200,
    // XON/XOFF 0x400).
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) override {
        return call(handle, [&](Port& p) {
            return flow == SIO_XON_XOFF_HS ? ftdi_setflowctrl_xonxoff(p.ftdi, xon, xoff)
                                           : ftdi_setflowctrl(p.ftdi, flow);
        });
    }

    FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) override {
        return call(handle, [&](Port& p) {
            if ((mask & FT_PURGE_TX) && ftdi_tcoflush(p.ftdi) < 0) return -1;
            if (!(mask & FT_PURGE_RX)) return 0;
            const int flushed = ftdi_tciflush(p.ftdi);
            std::lock_guard lock(p.mutex);
            p.received.clear();
            p.purges++;
            p.changed.notify_all();
            return flushed;
        });
    }

    FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override {
        if (!rxBytes) return FT_INVALID_PARAMETER;
        *rxBytes = 0;
        Port* port = find(handle);
        if (!port) return FT_INVALID_HANDLE;
        wake(*port);
        std::lock_guard lock(port->mutex);
        // What arrived before a failure is handed out first.
        if (port->failed && port->received.empty()) return FT_IO_ERROR;
        *rxBytes = DWORD(port->received.size());
        return FT_OK;
    }

    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) override {
        if (!bytesRead || (!buffer && bytesToRead > 0)) return FT_INVALID_PARAMETER;
        *bytesRead = 0;
        Port* port = find(handle);
        if (!port) return FT_INVALID_HANDLE;
        wake(*port);
        // As the vendor's driver, a read waits for the bytes asked for, up to its timeout.
        std::unique_lock lock(port->mutex);
        port->changed.wait_for(lock, readTimeout, [&] {
            return (port->failed && !port->retry) || port->received.size() >= bytesToRead;
        });
        if (port->failed && port->received.empty()) return FT_IO_ERROR;
        const size_t n = std::min<size_t>(bytesToRead, port->received.size());
        std::memcpy(buffer, port->received.data(), n);
        port->received.erase(port->received.begin(), port->received.begin() + long(n));
        *bytesRead = DWORD(n);
        port->changed.notify_all();
        return FT_OK;
    }

    FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) override {
        if (!bytesWritten || (!buffer && bytesToWrite > 0)) return FT_INVALID_PARAMETER;
        *bytesWritten = 0;
        Port* port = find(handle);
        if (!port) return FT_INVALID_HANDLE;
        // Not under the port's lock: a command goes out while a read waits for the bridge.
        const int written =
            ftdi_write_data(port->ftdi, static_cast<const unsigned char*>(buffer), int(bytesToWrite));
        if (written < 0) return FT_IO_ERROR;
        *bytesWritten = DWORD(written);
        return FT_OK;
    }

    FT_STATUS FT_ReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value) override {
        if (!value) return FT_INVALID_PARAMETER;
        const FT_STATUS status = call(handle, [&](Port& p) {
            unsigned short word = 0;
            const int result = ftdi_read_eeprom_location(p.ftdi, int(wordOffset), &word);
            *value = word;
            return result;
        });
        return status == FT_IO_ERROR ? FT_EEPROM_READ_FAILED : status;
    }

    // The bridge configures itself from the EEPROM's first words only while the checksum in the
    // last of them holds, and starts with its defaults otherwise. libftdi1 writes a single word
    // only past them; a word among them is written here, by the vendor request libftdi1 itself
    // sends, with the checksum made anew when it held before (one that did not is left as it was).
    FT_STATUS FT_WriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value) override {
        const FT_STATUS status = call(handle, [&](Port& p) {
            if (wordOffset >= checkedWords) return ftdi_write_eeprom_location(p.ftdi, int(wordOffset), value);
            // The library's EEPROM is the 93C56 of the dual and quad bridges, words read one by one:
            // libftdi1's own reading guesses the chip's size from its contents.
            std::array<uint16_t, checkedWords> eeprom{};
            for (size_t i = 0; i < eeprom.size(); i++)
                if (ftdi_read_eeprom_location(p.ftdi, int(i), &eeprom[i]) < 0) return -1;
            auto checksum = [&] {
                uint16_t sum = 0xAAAA;
                for (size_t i = 0; i + 1 < checkedWords; i++) {
                    sum ^= eeprom[i];
                    sum = uint16_t(sum << 1 | sum >> 15);
                }
                return sum;
            };
            const bool held = checksum() == eeprom[checkedWords - 1];
            eeprom[wordOffset] = value;
            auto write = [&](size_t offset) {
                return libusb_control_transfer(p.ftdi->usb_dev, FTDI_DEVICE_OUT_REQTYPE,
                                               SIO_WRITE_EEPROM_REQUEST, eeprom[offset], uint16_t(offset),
                                               nullptr, 0, unsigned(p.ftdi->usb_write_timeout));
            };
            if (write(wordOffset) < 0) return -1;
            // The checksum itself, when asked for, is written as given.
            if (!held || wordOffset == checkedWords - 1) return 0;
            eeprom[checkedWords - 1] = checksum();
            return write(checkedWords - 1);
        });
        return status == FT_IO_ERROR ? FT_EEPROM_WRITE_FAILED : status;
    }

    // MPSSE. The channels are the bridges' interfaces.
    void Init_libMPSSE() override {}
    void Cleanup_libMPSSE() override {}

    FT_STATUS SPI_GetNumChannels(DWORD* numChannels) override {
        if (!numChannels) return FT_INVALID_PARAMETER;
        std::vector<Interface> found;
        const FT_STATUS status = listInterfaces(found);
        *numChannels = DWORD(found.size());
        return status;
    }

    FT_STATUS SPI_GetChannelInfo(DWORD index, FT_DEVICE_LIST_INFO_NODE* info) override {
        if (!info) return FT_INVALID_PARAMETER;
        std::vector<Interface> found;
        if (const FT_STATUS status = listInterfaces(found); status != FT_OK) return status;
        if (index >= found.size()) return FT_DEVICE_NOT_FOUND;
        *info = {};
        info->Type = found[index].type;
        std::snprintf(info->SerialNumber, sizeof info->SerialNumber, "%s", found[index].name.c_str());
        std::snprintf(info->Description, sizeof info->Description, "%s", found[index].description.c_str());
        return FT_OK;
    }

    FT_STATUS SPI_OpenChannel(DWORD index, FT_HANDLE* handle) override {
        if (!handle) return FT_INVALID_PARAMETER;
        std::vector<Interface> found;
        if (const FT_STATUS status = listInterfaces(found); status != FT_OK) return status;
        if (index >= found.size()) return FT_DEVICE_NOT_FOUND;
        return open(found[index].name, handle);
    }

    // configOptions: bits 0-1 the SPI mode (0 only here), bits 2-4 the chip-select pin
    // (ADBUS3 + n), bit 5 chip select active low.
    FT_STATUS SPI_InitChannel(FT_HANDLE handle, ChannelConfig* config) override {
        if (!config || config->ClockRate == 0 || (config->configOptions & 3) != 0)
            return FT_INVALID_PARAMETER;
        return call(handle, [&](Port& p) {
            p.chipSelect = uint8_t(1u << (3 + ((config->configOptions >> 2) & 7)));
            p.selectLow = config->configOptions & 0x20;
            p.lowDirection = pinClock | pinDataOut | p.chipSelect;
            const int divisor =
                std::clamp(int(mpsseBaseClock / (2.0 * config->ClockRate) + 0.5) - 1, 0, 0xFFFF);
            const uint8_t setup[] = {mpsseNoClockDivideBy5, mpsseNoAdaptiveClock, mpsseNoThreePhase,
                                     mpsseLoopbackOff,      mpsseClockDivisor,    uint8_t(divisor),
                                     uint8_t(divisor >> 8), mpsseSetLowPins,      lowPins(p, false),
                                     p.lowDirection};
            if (ftdi_set_bitmode(p.ftdi, 0, BITMODE_RESET) < 0 ||
                ftdi_set_bitmode(p.ftdi, 0, BITMODE_MPSSE) < 0 ||
                ftdi_set_latency_timer(p.ftdi, std::max<UCHAR>(config->LatencyTimer, 1)) < 0)
                return -1;
            ftdi_tcioflush(p.ftdi); // whatever the channel held before; a failure leaves nothing worse
            return ftdi_write_data(p.ftdi, setup, sizeof setup) == int(sizeof setup) ? 0 : -1;
        });
    }

    FT_STATUS SPI_CloseChannel(FT_HANDLE handle) override {
        if (Port* port = find(handle)) {
            std::lock_guard lock(port->ftdiMutex);
            ftdi_set_bitmode(port->ftdi, 0, BITMODE_RESET);
        }
        return FT_Close(handle);
    }

    FT_STATUS SPI_Read(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                       DWORD options) override {
        if (!sizeTransferred || (!buffer && sizeToTransfer > 0) || sizeToTransfer > 65536)
            return FT_INVALID_PARAMETER;
        *sizeTransferred = 0;
        return call(handle, [&](Port& p) {
            std::vector<uint8_t> command = framed(p, options, [&](std::vector<uint8_t>& c) {
                if (sizeToTransfer == 0) return;
                c.insert(c.end(), {mpsseBytesInRising, uint8_t(sizeToTransfer - 1),
                                   uint8_t((sizeToTransfer - 1) >> 8)});
            });
            command.push_back(mpsseSendImmediate);
            if (ftdi_write_data(p.ftdi, command.data(), int(command.size())) != int(command.size()))
                return -1;
            // Each read returns at the latest when the bridge's latency timer runs out.
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(p.ftdi->usb_read_timeout);
            while (*sizeTransferred < sizeToTransfer) {
                const int got =
                    ftdi_read_data(p.ftdi, buffer + *sizeTransferred, int(sizeToTransfer - *sizeTransferred));
                if (got < 0 || (got == 0 && std::chrono::steady_clock::now() > deadline)) return -1;
                *sizeTransferred += DWORD(got);
            }
            return 0;
        });
    }

    FT_STATUS SPI_Write(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                        DWORD options) override {
        if (!sizeTransferred || (!buffer && sizeToTransfer > 0) || sizeToTransfer > 65536)
            return FT_INVALID_PARAMETER;
        *sizeTransferred = 0;
        return call(handle, [&](Port& p) {
            const std::vector<uint8_t> command = framed(p, options, [&](std::vector<uint8_t>& c) {
                if (sizeToTransfer == 0) return;
                c.insert(c.end(), {mpsseBytesOutFalling, uint8_t(sizeToTransfer - 1),
                                   uint8_t((sizeToTransfer - 1) >> 8)});
                c.insert(c.end(), buffer, buffer + sizeToTransfer);
            });
            if (ftdi_write_data(p.ftdi, command.data(), int(command.size())) != int(command.size()))
                return -1;
            *sizeTransferred = sizeToTransfer;
            return 0;
        });
    }

    // The high pins (ACBUS).
    FT_STATUS FT_WriteGPIO(FT_HANDLE handle, UCHAR dir, UCHAR value) override {
        return call(handle, [&](Port& p) {
            const uint8_t command[] = {mpsseSetHighPins, value, dir};
            return ftdi_write_data(p.ftdi, command, sizeof command) == int(sizeof command) ? 0 : -1;
        });
    }

    ~LibftdiDriver() override {
        for (Port* port : std::set<Port*>(ports))
            FT_Close(port);
    }

  private:
    FT_STATUS open(const std::string& name, FT_HANDLE* handle) {
        if (name.size() < 2) return FT_DEVICE_NOT_FOUND;
        const std::string serial = name.substr(0, name.size() - 1);
        const int index = name.back() - 'A';
        ftdi_context* ftdi = ftdi_new();
        if (!ftdi) return FT_DEVICE_NOT_FOUND;
        int opened = 1; // nothing found
        forEachBridge(
            ftdi, [&](libusb_device* dev, const Bridge& bridge, const std::string& s, const std::string&) {
                if (s != serial || index < 0 || index >= bridge.interfaces) return false;
                opened = ftdi_set_interface(ftdi, ftdi_interface(INTERFACE_A + index));
                if (opened == 0) opened = ftdi_usb_open_dev(ftdi, dev);
                return true;
            });
        if (opened != 0) {
            ftdi_free(ftdi);
            // ftdi_usb_open_dev's -5: another handle has claimed the interface.
            return opened == 1 ? FT_DEVICE_NOT_FOUND : opened == -5 ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR;
        }
        auto* port = new Port;
        port->ftdi = ftdi;
        std::lock_guard lock(portsMutex);
        ports.insert(port);
        *handle = port;
        return FT_OK;
    }

    Port* find(FT_HANDLE handle) {
        std::lock_guard lock(portsMutex);
        const auto it = ports.find(static_cast<Port*>(handle));
        return it == ports.end() ? nullptr : *it;
    }

    Port* take(FT_HANDLE handle) {
        std::lock_guard lock(portsMutex);
        return ports.erase(static_cast<Port*>(handle)) ? static_cast<Port*>(handle) : nullptr;
    }

    // One libftdi call on a port: negative results are failures.
    template <typename Call> FT_STATUS call(FT_HANDLE handle, Call c) {
        Port* port = find(handle);
        if (!port) return FT_INVALID_HANDLE;
        std::lock_guard lock(port->ftdiMutex);
        return c(*port) < 0 ? FT_IO_ERROR : FT_OK;
    }

    // Starts the port's background read on first use. After a failed read (the bridge was
    // pulled) each call asks for one more try, so that a bridge that comes back streams on;
    // meanwhile the port reports the failure.
    static void wake(Port& port) {
        std::lock_guard lock(port.mutex);
        if (!port.reading) {
            port.reading = true;
            port.reader = std::thread([&port] { readLoop(port); });
        } else if (port.failed && !port.retry) {
            port.retry = true;
            port.changed.notify_all();
        }
    }

    static void readLoop(Port& port) {
        std::vector<uint8_t> chunk;
        std::unique_lock lock(port.mutex);
        while (!port.stop) {
            if (port.failed) {
                port.changed.wait(lock, [&] { return port.stop || port.retry; });
                if (port.stop) break;
            }
            // A full buffer holds the reads off until the library takes bytes: the bridge's own
            // buffer fills meanwhile, as with the vendor's driver.
            port.changed.wait(lock, [&] { return port.stop || port.received.size() < libftdiReceiveBuffer; });
            if (port.stop) break;
            chunk.resize(port.chunk);
            lock.unlock();
            int got;
            uint64_t purges;
            {
                // libftdi1 returns only once it has all it was asked for or a transfer brings
                // nothing: asked for one packet's data, or for what its last transfer left
                // over, it hands on each transfer's bytes at once, however slow the stream.
                std::lock_guard ftdiLock(port.ftdiMutex);
                // Counted once the read has libftdi to itself: a purge that ended while it
                // waited is behind it, and what it reads came after.
                lock.lock();
                purges = port.purges;
                lock.unlock();
                const size_t want =
                    std::clamp<size_t>(port.ftdi->readbuffer_remaining, packetData, chunk.size());
                got = ftdi_read_data(port.ftdi, chunk.data(), int(want));
            }
            lock.lock();
            port.retry = false;
            port.failed = got < 0;
            port.changed.notify_all();
            if (port.failed) continue;
            // Bytes read before a purge ended belong to what was purged.
            if (purges != port.purges || got == 0) continue;
            port.received.insert(port.received.end(), chunk.begin(), chunk.begin() + got);
        }
    }

    static void stopReading(Port& port) {
        {
            std::lock_guard lock(port.mutex);
            port.stop = true;
        }
        port.changed.notify_all();
        if (port.reader.joinable()) port.reader.join();
    }

    static uint8_t lowPins(const Port& p, bool selected) {
        return selected == p.selectLow ? 0 : p.chipSelect;
    }

    // An SPI transfer between the chip-select edges its options ask for.
    template <typename Body> static std::vector<uint8_t> framed(const Port& p, DWORD options, Body body) {
        std::vector<uint8_t> c;
        if (options & SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE)
            c.insert(c.end(), {mpsseSetLowPins, lowPins(p, true), p.lowDirection});
        body(c);
        if (options & SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE)
            c.insert(c.end(), {mpsseSetLowPins, lowPins(p, false), p.lowDirection});
        return c;
    }

    std::mutex portsMutex;
    std::set<Port*> ports;
};

} // namespace

std::shared_ptr<FtdiDriver> makeLibftdiDriver() {
    return std::make_shared<LibftdiDriver>();
}

} // namespace kv4CommLib
