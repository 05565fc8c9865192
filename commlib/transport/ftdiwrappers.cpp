#include "commlib/transport/ftdiwrappers.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace kv4CommLib {

std::mutex ftdiGlobalMutex;

namespace {

std::mutex handleMapMutex;
std::map<FT_HANDLE, std::shared_ptr<std::mutex>> handleMutexes;

// Runs one driver call on a handle while holding that handle's mutex.
template <typename Call> FT_STATUS onHandle(FT_HANDLE handle, Call call) {
    const std::shared_ptr<std::mutex> mutex = handleMutex(handle);
    std::lock_guard<std::mutex> lock(*mutex);
    return call(ftdiDriver());
}

} // namespace

std::shared_ptr<std::mutex> handleMutex(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(handleMapMutex);
    std::shared_ptr<std::mutex>& mutex = handleMutexes[handle];
    if (!mutex) mutex = std::make_shared<std::mutex>();
    return mutex;
}

size_t handleMutexCount() {
    std::lock_guard<std::mutex> lock(handleMapMutex);
    return handleMutexes.size();
}

FT_STATUS ftOpenEx(const std::string& serialWithLetter, FT_HANDLE* handle) {
    std::string serial = serialWithLetter; // the driver takes a non-const pointer
    std::lock_guard<std::mutex> lock(ftdiGlobalMutex);
    return ftdiDriver().FT_OpenEx(serial.data(), FT_OPEN_BY_SERIAL_NUMBER, handle);
}

FT_STATUS ftClose(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(ftdiGlobalMutex);
    const FT_STATUS status = ftdiDriver().FT_Close(handle);
    // Dropped before the global lock is released, so a reopen that gets the same
    // handle value cannot meet the old mutex.
    if (status == FT_OK) {
        std::lock_guard<std::mutex> mapLock(handleMapMutex);
        handleMutexes.erase(handle);
    }
    return status;
}

FT_STATUS ftRead(FT_HANDLE handle, void* buffer, DWORD n, DWORD* read) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_Read(handle, buffer, n, read); });
}

FT_STATUS ftWrite(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written) {
    // The vendor signature lacks const; the driver only reads the buffer.
    return onHandle(handle,
                    [&](FtdiDriver& d) { return d.FT_Write(handle, const_cast<void*>(buffer), n, written); });
}

FT_STATUS ftGetQueueStatus(FT_HANDLE handle, DWORD* rxBytes) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_GetQueueStatus(handle, rxBytes); });
}

FT_STATUS ftPurge(FT_HANDLE handle, DWORD mask) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_Purge(handle, mask); });
}

FT_STATUS ftSetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_SetBitMode(handle, mask, mode); });
}

FT_STATUS ftSetLatencyTimer(FT_HANDLE handle, UCHAR timer) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_SetLatencyTimer(handle, timer); });
}

FT_STATUS ftSetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_SetUSBParameters(handle, inSize, outSize); });
}

FT_STATUS ftSetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_SetFlowControl(handle, flow, xon, xoff); });
}

FT_STATUS ftReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_ReadEE(handle, wordOffset, value); });
}

FT_STATUS ftWriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value) {
    return onHandle(handle, [&](FtdiDriver& d) { return d.FT_WriteEE(handle, wordOffset, value); });
}

bool listInterfaces(uint32_t& count) {
    DWORD n = 0;
    std::lock_guard<std::mutex> lock(ftdiGlobalMutex);
    if (ftdiDriver().FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return false;
    count = n;
    return true;
}

std::string serialOfInterface(uint32_t index, bool dropLetter) {
    char buffer[64] = {};
    {
        std::lock_guard<std::mutex> lock(ftdiGlobalMutex);
        if (ftdiDriver().FT_ListDevices(reinterpret_cast<void*>(static_cast<uintptr_t>(index)), buffer,
                                        FT_LIST_BY_INDEX) != FT_OK)
            return "";
    }
    std::string serial(buffer, strnlen(buffer, sizeof buffer));
    if (dropLetter && !serial.empty()) serial.pop_back();
    return serial;
}

namespace {

// Also printed, so the failure shows on a console even when the caller drops the error code.
bool setBitModeReported(FT_HANDLE handle, UCHAR mode) {
    if (ftSetBitMode(handle, 0, mode) == FT_OK) return true;
    std::fputs("FT_SetBitMode FAILED\n", stdout);
    return false;
}

} // namespace

ErrorCodes_t FtdiTransport::openChannelFor(char letter, FT_HANDLE& handle) {
    FT_HANDLE opened = nullptr;
    if (ftOpenEx(deviceId + letter, &opened) != FT_OK) return kv4cl::ErrorDeviceConnectionFailed;
    const auto fail = [opened] {
        ftClose(opened);
        return kv4cl::ErrorFtdiConfigurationFailed;
    };
    if (syncFifo) {
        if (!setBitModeReported(opened, FT_BITMODE_RESET)) return fail();
        // The bridge needs a moment between leaving a mode and entering the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!setBitModeReported(opened, FT_BITMODE_SYNC_FIFO)) return fail();
    }
    const DWORD usbBuffer = syncFifo ? 65536 : 4096;
    if (ftSetLatencyTimer(opened, 2) != FT_OK || ftSetUSBParameters(opened, usbBuffer, usbBuffer) != FT_OK ||
        (syncFifo && ftSetFlowControl(opened, FT_FLOW_RTS_CTS, 0, 0) != FT_OK) ||
        ftPurge(opened, FT_PURGE_RX | FT_PURGE_TX) != FT_OK)
        return fail();
    handle = opened;
    return kv4cl::Success;
}

ErrorCodes_t FtdiTransport::open() {
    const ErrorCodes_t data = openChannelFor(rxChannel, dataHandle);
    if (data != kv4cl::Success) return data;
    if (txChannel == rxChannel) {
        commandHandle = dataHandle;
        return kv4cl::Success;
    }
    const ErrorCodes_t command = openChannelFor(txChannel, commandHandle);
    if (command != kv4cl::Success) {
        ftClose(dataHandle);
        dataHandle = nullptr;
    }
    return command;
}

// Each handle is forgotten only once it is closed, so a failed close can be retried.
ErrorCodes_t FtdiTransport::close() {
    if (dataHandle) {
        if (ftClose(dataHandle) != FT_OK) return kv4cl::ErrorDeviceDisconnectionFailed;
        if (commandHandle == dataHandle) commandHandle = nullptr;
        dataHandle = nullptr;
    }
    if (commandHandle) {
        if (ftClose(commandHandle) != FT_OK) return kv4cl::ErrorDeviceDisconnectionFailed;
        commandHandle = nullptr;
    }
    return kv4cl::Success;
}

} // namespace kv4CommLib
