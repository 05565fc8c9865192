#pragma once
// An in-process FTDI bus. Tests and tools place virtual devices on it; the library
// reaches them through the same driver interface as real hardware and cannot tell
// the difference. Every device shows two interfaces, "<serial>A" and "<serial>B".

#include "commlib/transport/ftdidriver.h"
#include "simulator/simulatedclock.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kav4sim {

using namespace kv4CommLib;

// Driver calls that can be made to fail on demand.
enum class FtdiCall {
    ListDevices,
    OpenEx,
    Close,
    SetBitMode,
    SetLatencyTimer,
    SetUSBParameters,
    SetFlowControl,
    Purge,
    GetQueueStatus,
    Read,
    Write,
    ReadEE,
    WriteEE,
    SpiOpenChannel,
    SpiInitChannel,
    SpiRead,
    SpiWrite,
    WriteGPIO,
};

class VirtualBus;

class VirtualDevice {
  public:
    // Produces the next n bytes of a stream (appended to out; fewer when bytes went missing).
    using ByteSource = std::function<void(std::vector<uint8_t>& out, size_t n)>;
    // Told to pass over the next n bytes of its stream, which would be lost anyway (the device
    // is stalled or gone, or the buffer is certain to overflow): the generator moves its clock
    // on without making them.
    using ByteSkipper = std::function<void(size_t n)>;
    // Sees the bytes of one write.
    using WriteSink = std::function<void(const std::vector<uint8_t>& bytes)>;

    // Devices given one clock share one timeline; without, the device has a clock of its own.
    explicit VirtualDevice(std::string serial, std::shared_ptr<SimulatedClock> clock = nullptr);

    const std::string serial;
    const std::shared_ptr<SimulatedClock>& clock() const { return simClock; }

    // EEPROM words; unset words read as 0xFFFF like an erased EEPROM.
    void setEepromWord(uint32_t offset, uint16_t value);
    uint16_t eepromWord(uint32_t offset) const;
    // Words 116 (version << 8 | subversion) and 117 (firmware).
    void setIdentity(uint8_t version, uint8_t subversion, uint16_t firmware);

    // Receive stream of one interface. Fed bytes are delivered at once, or at
    // bytesPerSecond (simulated seconds) from the moment they were fed when a pace is set.
    void feed(char letter, const std::vector<uint8_t>& bytes);
    // A generator's schedule goes on from where the old pace left it: what fell due under the
    // old pace is made first.
    void setPace(char letter, double bytesPerSecond);
    // A generator instead of fed bytes: with a pace it produces bytes as simulated time
    // passes; without (free-running) it keeps the device buffer full.
    void setSource(char letter, ByteSource source, ByteSkipper skipper = nullptr);
    ByteSource source(char letter) const;
    ByteSkipper skipper(char letter) const;
    // When the generator's current pace took effect (simulated seconds) and how many bytes it
    // had made by then: byte k of its stream is due at seconds + (k + 1 - bytes) / pace.
    struct PaceStart {
        double seconds = 0.0;
        uint64_t bytes = 0;
    };
    PaceStart paceStart(char letter) const;
    // Device buffer size; 0 means unlimited. When full, the oldest bytes are lost.
    void setRxCapacity(char letter, size_t bytes);

    // Everything written to an interface, one entry per successful FT_Write call.
    std::vector<std::vector<uint8_t>> writes(char letter) const;
    // Sees every write after it was recorded, outside the device's lock (so it may call the
    // device). Calls are serialised; replacing the sink waits for a call in progress.
    void setWriteSink(char letter, WriteSink sink);
    // Blocks until at least n writes were recorded on the interface; false on timeout.
    bool waitForWrites(char letter, size_t n, std::chrono::milliseconds timeout);
    // Blocks until the interface's fed bytes were all read and the thread that read them called
    // FT_GetQueueStatus once more afterwards (it finished the pass that took them; another
    // thread's look at the queue says nothing of that pass).
    bool waitUntilDrained(char letter, std::chrono::milliseconds timeout);
    // Blocks until bytes are read from the interface after the call began; false on timeout.
    bool waitForNextRead(char letter, std::chrono::milliseconds timeout);
    // Number of FT_Purge calls on the interface with the given mask bit set.
    int purges(char letter, DWORD mask) const;
    // Blocks until the interface saw at least n purges with that mask bit; false on timeout.
    bool waitForPurges(char letter, DWORD mask, int n, std::chrono::milliseconds timeout);
    // Calls in order, e.g. "OpenEx B", "SetBitMode B 0 64", "SetUSBParameters B 4096 4096".
    std::vector<std::string> callLog() const;
    void clearCallLog();

    // Faults. count < 0: until cleared with count 0.
    void failCalls(FtdiCall call, int count = -1);
    // The next `count` writes accept only `accepted` bytes.
    void shortWrites(int accepted, int count);
    // The next `count` reads return 0 bytes with FT_OK.
    void zeroReads(int count);
    // While stalled no byte arrives, as if the device stopped sending.
    void stall(bool on);
    // An unplugged device is not listed and every call on its handles fails.
    void unplug();
    void replug();
    bool pluggedIn() const;

    // The calibration memory reached in SPI mode (2 KiB, erased to 0xFF).
    std::array<uint8_t, 2048> spiMemory() const;
    void setSpiMemory(const std::array<uint8_t, 2048>& contents);
    // Status reads that report "write in progress" after each page write.
    void setSpiBusyPolls(int polls);

  private:
    friend class VirtualBus;
    struct Fed {
        double start; // simulated seconds when its first byte is due
        std::vector<uint8_t> bytes;
        size_t moved = 0; // bytes already in the queue
    };
    struct Interface {
        std::deque<uint8_t> queue; // bytes the driver can hand out now
        std::deque<Fed> fed;
        size_t fedPending = 0; // fed bytes not yet read
        double pace = 0.0;
        ByteSource source;
        ByteSkipper skipper;
        double sourceStart = 0.0;    // when the current pace took effect
        uint64_t sourceBase = 0;     // bytes made before that
        uint64_t sourceProduced = 0; // bytes made (or skipped) since the source was set
        size_t capacity = 0;
        std::vector<std::vector<uint8_t>> writes;
        WriteSink writeSink;
        uint64_t reads = 0; // FT_Read calls that took bytes
        std::map<DWORD, int> purges;
        std::thread::id reader;   // of the last read that took bytes
        uint64_t readerPolls = 0; // its FT_GetQueueStatus calls since (anyone's before a read)
        bool open = false;
    };
    Interface& iface(char letter);
    const Interface& iface(char letter) const;
    void refill(Interface& itf, double now); // moves due bytes into the queue
    void deliverWrite(char letter, std::vector<uint8_t> bytes);
    void append(Interface& itf, const uint8_t* bytes, size_t n);
    bool consumeFault(FtdiCall call); // true when this call must fail
    void log(std::string entry);
    void spiTransfer(uint8_t* data, DWORD n, DWORD options, bool writing);

    const std::shared_ptr<SimulatedClock> simClock;
    mutable std::mutex mutex;
    std::mutex sinkMutex; // serialises write-sink calls; taken before `mutex`
    std::condition_variable changed;
    std::map<uint32_t, uint16_t> eeprom;
    Interface ifaceA, ifaceB;
    std::map<FtdiCall, int> faults;
    int shortWriteBytes = 0;
    int shortWriteCount = 0;
    int zeroReadCount = 0;
    bool stalled = false;
    bool plugged = true;
    std::vector<std::string> calls;
    std::array<uint8_t, 2048> spi{};
    int spiBusyPolls = 0;
    int spiBusyLeft = 0;
    bool spiWriteEnabled = false;
    std::vector<uint8_t> spiCommand; // bytes of the transfer since chip select
    uint32_t spiAddress = 0;
};

class VirtualBus : public FtdiDriver {
  public:
    void addDevice(std::shared_ptr<VirtualDevice> device);
    void removeDevice(const std::string& serial);
    std::shared_ptr<VirtualDevice> device(const std::string& serial) const;
    // Handles currently open (D2XX and SPI).
    size_t openHandles() const;

    FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) override;
    FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) override;
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) override;
    FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) override;
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) override;
    FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) override;
    FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) override;
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) override;
    FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) override;
    FT_STATUS FT_ReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value) override;
    FT_STATUS FT_WriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value) override;

    void Init_libMPSSE() override;
    void Cleanup_libMPSSE() override;
    FT_STATUS SPI_GetNumChannels(DWORD* numChannels) override;
    FT_STATUS SPI_GetChannelInfo(DWORD index, FT_DEVICE_LIST_INFO_NODE* info) override;
    FT_STATUS SPI_OpenChannel(DWORD index, FT_HANDLE* handle) override;
    FT_STATUS SPI_InitChannel(FT_HANDLE handle, ChannelConfig* config) override;
    FT_STATUS SPI_CloseChannel(FT_HANDLE handle) override;
    FT_STATUS SPI_Read(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                       DWORD options) override;
    FT_STATUS SPI_Write(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                        DWORD options) override;
    FT_STATUS FT_WriteGPIO(FT_HANDLE handle, UCHAR dir, UCHAR value) override;

  private:
    struct Open {
        std::shared_ptr<VirtualDevice> device;
        char letter;
        bool spi;
    };
    using Work = std::function<FT_STATUS(VirtualDevice&, VirtualDevice::Interface&)>;
    // Plugged interfaces in listing order: (device, letter). Caller holds the mutex.
    std::vector<std::pair<std::shared_ptr<VirtualDevice>, char>> interfaces() const;
    // Caller holds the mutex. FT_INVALID_HANDLE for unknown handles, FT_IO_ERROR when the
    // device left the bus.
    FT_STATUS lookup(FT_HANDLE handle, Open& out) const;
    // Runs one per-handle call on the device: logs it (when named), applies faults. `opened`
    // receives the handle's device and interface.
    FT_STATUS access(FT_HANDLE handle, FtdiCall call, const char* name, const std::string& args,
                     const Work& work, Open* opened = nullptr);
    FT_STATUS openInterface(const std::shared_ptr<VirtualDevice>& device, char letter, bool spi,
                            FtdiCall call, FT_HANDLE* handle);
    // FT_Close and SPI_CloseChannel; only FT_Close can be made to fail.
    FT_STATUS closeHandle(FT_HANDLE handle, const char* name, std::optional<FtdiCall> call);

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<VirtualDevice>> devices;
    std::map<uintptr_t, Open> handles; // the lowest free value is reused, as drivers do
};

} // namespace kav4sim
