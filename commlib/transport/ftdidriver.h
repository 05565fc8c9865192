#pragma once
// The only door from the library to the USB bridge: one method per vendor D2XX and
// MPSSE function the transport uses, with the vendor's names, arguments and status
// codes. Implementations: the virtual bus (simulator/) and, for real amplifiers, the driver on
// libftdi1 (libftdidriver.h).
// One driver is installed at start-up and serves the whole process.

#include <cstdint>
#include <memory>

namespace kv4CommLib {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using UCHAR = uint8_t;
using USHORT = uint16_t;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE,
    FT_DEVICE_NOT_FOUND,
    FT_DEVICE_NOT_OPENED,
    FT_IO_ERROR,
    FT_INSUFFICIENT_RESOURCES,
    FT_INVALID_PARAMETER,
    FT_INVALID_BAUD_RATE,
    FT_DEVICE_NOT_OPENED_FOR_ERASE,
    FT_DEVICE_NOT_OPENED_FOR_WRITE,
    FT_FAILED_TO_WRITE_DEVICE,
    FT_EEPROM_READ_FAILED,
    FT_EEPROM_WRITE_FAILED,
    FT_EEPROM_ERASE_FAILED,
    FT_EEPROM_NOT_PRESENT,
    FT_EEPROM_NOT_PROGRAMMED,
    FT_INVALID_ARGS,
    FT_NOT_SUPPORTED,
    FT_OTHER_ERROR,
};

constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_PURGE_RX = 1;
constexpr DWORD FT_PURGE_TX = 2;
constexpr USHORT FT_FLOW_RTS_CTS = 0x0100;
constexpr UCHAR FT_BITMODE_RESET = 0x00;
constexpr UCHAR FT_BITMODE_SYNC_FIFO = 0x40;

// MPSSE SPI transfer options.
constexpr DWORD SPI_TRANSFER_OPTIONS_SIZE_IN_BYTES = 0x00;
constexpr DWORD SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE = 0x02;
constexpr DWORD SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE = 0x04;

struct FT_DEVICE_LIST_INFO_NODE {
    DWORD Flags = 0;
    DWORD Type = 0;
    DWORD ID = 0;
    DWORD LocId = 0;
    char SerialNumber[16] = {};
    char Description[64] = {};
    FT_HANDLE ftHandle = nullptr;
};

struct ChannelConfig {
    DWORD ClockRate = 0;
    UCHAR LatencyTimer = 0;
    DWORD configOptions = 0;
    DWORD Pin = 0;
    USHORT reserved = 0;
};

class FtdiDriver {
  public:
    virtual ~FtdiDriver() = default;

    // D2XX. FT_ListDevices: with FT_LIST_NUMBER_ONLY arg1 is a DWORD* count; with
    // FT_LIST_BY_INDEX arg1 is the index (cast to a pointer) and arg2 a char buffer of 64.
    virtual FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) = 0;
    virtual FT_STATUS FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) = 0;
    virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR timer) = 0;
    virtual FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) = 0;
    virtual FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) = 0;
    virtual FT_STATUS FT_Purge(FT_HANDLE handle, DWORD mask) = 0;
    virtual FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) = 0;
    virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) = 0;
    virtual FT_STATUS FT_ReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value) = 0;
    virtual FT_STATUS FT_WriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value) = 0;

    // MPSSE (SPI).
    virtual void Init_libMPSSE() = 0;
    virtual void Cleanup_libMPSSE() = 0;
    virtual FT_STATUS SPI_GetNumChannels(DWORD* numChannels) = 0;
    virtual FT_STATUS SPI_GetChannelInfo(DWORD index, FT_DEVICE_LIST_INFO_NODE* info) = 0;
    virtual FT_STATUS SPI_OpenChannel(DWORD index, FT_HANDLE* handle) = 0;
    virtual FT_STATUS SPI_InitChannel(FT_HANDLE handle, ChannelConfig* config) = 0;
    virtual FT_STATUS SPI_CloseChannel(FT_HANDLE handle) = 0;
    virtual FT_STATUS SPI_Read(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                               DWORD options) = 0;
    virtual FT_STATUS SPI_Write(FT_HANDLE handle, UCHAR* buffer, DWORD sizeToTransfer, DWORD* sizeTransferred,
                                DWORD options) = 0;
    virtual FT_STATUS FT_WriteGPIO(FT_HANDLE handle, UCHAR dir, UCHAR value) = 0;
};

// The process-wide driver. Until one is installed, a driver that sees no devices answers.
FtdiDriver& ftdiDriver();
void installFtdiDriver(std::shared_ptr<FtdiDriver> driver);

} // namespace kv4CommLib
