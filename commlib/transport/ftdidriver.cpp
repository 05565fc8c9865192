#include "commlib/transport/ftdidriver.h"

#include <utility>

namespace kv4CommLib {

namespace {

// Answers as a system without any FTDI device, so the library runs (and finds
// nothing) when no backend was installed.
class NullDriver : public FtdiDriver {
  public:
    FT_STATUS FT_ListDevices(void* arg1, void*, DWORD flags) override {
        if (flags != FT_LIST_NUMBER_ONLY) return FT_DEVICE_NOT_FOUND;
        *static_cast<DWORD*>(arg1) = 0;
        return FT_OK;
    }
    FT_STATUS FT_OpenEx(void*, DWORD, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, UCHAR, UCHAR) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_SetUSBParameters(FT_HANDLE, DWORD, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_SetFlowControl(FT_HANDLE, USHORT, UCHAR, UCHAR) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_Purge(FT_HANDLE, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_GetQueueStatus(FT_HANDLE, DWORD*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_Read(FT_HANDLE, void*, DWORD, DWORD*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_Write(FT_HANDLE, void*, DWORD, DWORD*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_ReadEE(FT_HANDLE, DWORD, WORD*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_WriteEE(FT_HANDLE, DWORD, WORD) override { return FT_DEVICE_NOT_FOUND; }

    void Init_libMPSSE() override {}
    void Cleanup_libMPSSE() override {}
    FT_STATUS SPI_GetNumChannels(DWORD*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_GetChannelInfo(DWORD, FT_DEVICE_LIST_INFO_NODE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_OpenChannel(DWORD, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_InitChannel(FT_HANDLE, ChannelConfig*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_CloseChannel(FT_HANDLE) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_Read(FT_HANDLE, UCHAR*, DWORD, DWORD*, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS SPI_Write(FT_HANDLE, UCHAR*, DWORD, DWORD*, DWORD) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_WriteGPIO(FT_HANDLE, UCHAR, UCHAR) override { return FT_DEVICE_NOT_FOUND; }
};

// Replaced only at start-up, before any thread uses it, so it needs no lock.
std::shared_ptr<FtdiDriver>& installedDriver() {
    static std::shared_ptr<FtdiDriver> driver = std::make_shared<NullDriver>();
    return driver;
}

} // namespace

FtdiDriver& ftdiDriver() {
    return *installedDriver();
}

// A null pointer puts the driver that sees no devices back in place.
void installFtdiDriver(std::shared_ptr<FtdiDriver> driver) {
    installedDriver() = driver ? std::move(driver) : std::make_shared<NullDriver>();
}

} // namespace kv4CommLib
