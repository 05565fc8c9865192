#include "commlib/transport/spimemory.h"

#include "commlib/transport/ftdiwrappers.h"

#include <cstring>
#include <mutex>

namespace kv4CommLib {

namespace {
constexpr UCHAR cmdRead = 0x03;
constexpr UCHAR cmdWrite = 0x02;
constexpr UCHAR cmdWriteEnable = 0x06;
constexpr UCHAR cmdReadStatus = 0x05;
constexpr UCHAR statusWriteInProgress = 0x01;
// GPIO pins 0 and 3 as outputs (mask 9): low while the channel is held, high on release.
constexpr UCHAR gpioDirection = 9;
constexpr UCHAR gpioIdle = 9;
constexpr UCHAR gpioActive = 0;
constexpr DWORD csStart = SPI_TRANSFER_OPTIONS_CHIPSELECT_ENABLE;
constexpr DWORD csEnd = SPI_TRANSFER_OPTIONS_CHIPSELECT_DISABLE;
} // namespace

bool CalibrationMemory::openChannel(const std::string& serialWithLetter) {
    FtdiDriver& driver = ftdiDriver();
    // The channel search must not interleave with D2XX listing or opening.
    std::lock_guard<std::mutex> lock(ftdiGlobalMutex);
    DWORD channels = 0;
    if (driver.SPI_GetNumChannels(&channels) != FT_OK) return false;
    for (DWORD i = 0; i < channels; ++i) {
        FT_DEVICE_LIST_INFO_NODE info;
        if (driver.SPI_GetChannelInfo(i, &info) != FT_OK) continue;
        if (serialWithLetter !=
            std::string(info.SerialNumber, strnlen(info.SerialNumber, sizeof info.SerialNumber)))
            continue;
        FT_HANDLE opened = nullptr;
        if (driver.SPI_OpenChannel(i, &opened) != FT_OK) return false;
        handle = opened;
        return true;
    }
    return false;
}

bool CalibrationMemory::open(const std::string& serialWithLetter) {
    if (spiOpen) return true;
    FtdiDriver& driver = ftdiDriver();
    driver.Init_libMPSSE();
    if (!openChannel(serialWithLetter)) {
        driver.Cleanup_libMPSSE();
        return false;
    }
    ChannelConfig config{clockRate, latencyTimer, configOptions, pinConfiguration, 0};
    if (driver.SPI_InitChannel(handle, &config) != FT_OK ||
        driver.FT_WriteGPIO(handle, gpioDirection, gpioActive) != FT_OK) {
        driver.SPI_CloseChannel(handle);
        driver.Cleanup_libMPSSE();
        handle = nullptr;
        return false;
    }
    spiOpen = true;
    return true;
}

void CalibrationMemory::close() {
    if (!spiOpen) return;
    FtdiDriver& driver = ftdiDriver();
    driver.FT_WriteGPIO(handle, gpioDirection, gpioIdle);
    driver.SPI_CloseChannel(handle);
    driver.Cleanup_libMPSSE();
    handle = nullptr;
    spiOpen = false;
}

bool CalibrationMemory::sendAddressed(UCHAR instruction, uint32_t address) {
    command[0] = instruction;
    command[1] = static_cast<UCHAR>(address >> 8);
    command[2] = static_cast<UCHAR>(address);
    DWORD done = 0;
    return ftdiDriver().SPI_Write(handle, command, 3, &done, csStart) == FT_OK;
}

bool CalibrationMemory::read(uint32_t address, uint8_t* buffer, uint32_t n) {
    if (!spiOpen || address >= capacity) return false;
    DWORD done = 0;
    return sendAddressed(cmdRead, address) && ftdiDriver().SPI_Read(handle, buffer, n, &done, csEnd) == FT_OK;
}

bool CalibrationMemory::write(uint32_t address, const uint8_t* buffer, uint32_t n) {
    if (!spiOpen || address > capacity || n > capacity - address) return false;
    FtdiDriver& driver = ftdiDriver();
    DWORD done = 0;
    command[0] = cmdWriteEnable;
    if (driver.SPI_Write(handle, command, 1, &done, csStart | csEnd) != FT_OK) return false;
    // The vendor signature lacks const; the data are only sent.
    if (!sendAddressed(cmdWrite, address) ||
        driver.SPI_Write(handle, const_cast<uint8_t*>(buffer), n, &done, csEnd) != FT_OK)
        return false;
    // The memory ignores further commands until its internal write cycle ends.
    UCHAR status = 0;
    do {
        command[0] = cmdReadStatus;
        if (driver.SPI_Write(handle, command, 1, &done, csStart) != FT_OK ||
            driver.SPI_Read(handle, &status, 1, &done, csEnd) != FT_OK)
            return false;
    } while (status & statusWriteInProgress);
    return true;
}

} // namespace kv4CommLib
