#pragma once
// Locked access to the FTDI driver. Listing, opening and closing are serialised
// process-wide; calls on one handle are serialised per handle, so the receive
// thread, the transmit thread and configuration calls never overlap in the driver.

#include "commlib/transport/ftdidriver.h"
#include "commlib/types/kv4cltypes.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace kv4CommLib {

extern std::mutex ftdiGlobalMutex;

// The mutex of a handle, created on first use; a successful ftClose removes it.
std::shared_ptr<std::mutex> handleMutex(FT_HANDLE handle);
size_t handleMutexCount();

FT_STATUS ftOpenEx(const std::string& serialWithLetter, FT_HANDLE* handle);
FT_STATUS ftClose(FT_HANDLE handle);
FT_STATUS ftRead(FT_HANDLE handle, void* buffer, DWORD n, DWORD* read);
FT_STATUS ftWrite(FT_HANDLE handle, const void* buffer, DWORD n, DWORD* written);
FT_STATUS ftGetQueueStatus(FT_HANDLE handle, DWORD* rxBytes);
FT_STATUS ftPurge(FT_HANDLE handle, DWORD mask);
FT_STATUS ftSetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode);
FT_STATUS ftSetLatencyTimer(FT_HANDLE handle, UCHAR timer);
FT_STATUS ftSetUSBParameters(FT_HANDLE handle, DWORD inSize, DWORD outSize);
FT_STATUS ftSetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon, UCHAR xoff);
FT_STATUS ftReadEE(FT_HANDLE handle, DWORD wordOffset, WORD* value);
FT_STATUS ftWriteEE(FT_HANDLE handle, DWORD wordOffset, WORD value);

// Number of FTDI interfaces attached; false when the driver query fails.
bool listInterfaces(uint32_t& count);
// Serial number of one interface, "" on failure; dropLetter removes the channel letter.
std::string serialOfInterface(uint32_t index, bool dropLetter);

// The data and command channels of one device.
class FtdiTransport {
  public:
    std::string deviceId;
    char rxChannel = 'B';
    char txChannel = 'B';
    bool syncFifo = false;
    FT_HANDLE dataHandle = nullptr;
    FT_HANDLE commandHandle = nullptr; // equals dataHandle when one channel serves both

    // Opens and configures the data channel, and the command channel when it differs.
    // Returns ErrorDeviceConnectionFailed or ErrorFtdiConfigurationFailed on failure.
    ErrorCodes_t open();
    // ErrorDeviceDisconnectionFailed when a close fails.
    ErrorCodes_t close();
    bool isOpen() const { return dataHandle != nullptr; }
    // The open handle of a channel letter; null when neither channel is on that letter or closed.
    FT_HANDLE handleOf(char letter) const {
        return letter == rxChannel ? dataHandle : letter == txChannel ? commandHandle : nullptr;
    }

  private:
    ErrorCodes_t openChannelFor(char letter, FT_HANDLE& handle);
};

} // namespace kv4CommLib
