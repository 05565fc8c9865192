#include "commlib/transport/ftdieeprom.h"

#include "commlib/transport/ftdiwrappers.h"

#include <utility>

namespace kv4CommLib {

namespace {
constexpr DWORD identityWord = 116; // version << 8 | subversion
constexpr DWORD firmwareWord = 117;
constexpr DWORD calibrationWordOffset = 123;
} // namespace

FtdiEeprom::FtdiEeprom(std::string deviceId) : deviceId(std::move(deviceId)) {}

FtdiEeprom::~FtdiEeprom() {
    FtdiEeprom::closeChannel();
}

bool FtdiEeprom::openChannel(char letter) {
    if (open) return true;
    const std::string channel = deviceId + letter;
    FT_HANDLE opened = nullptr;
    open = ftOpenEx(channel, &opened) == FT_OK;
    if (open) {
        handle = opened;
        openedChannel = channel;
    }
    return open;
}

bool FtdiEeprom::closeChannel() {
    if (!open) return true;
    open = ftClose(handle) != FT_OK;
    if (!open) handle = nullptr;
    return !open;
}

bool FtdiEeprom::readWord(DWORD offset, uint16_t& value) {
    WORD word = 0;
    if (!open || ftReadEE(handle, offset, &word) != FT_OK) return false;
    value = word;
    return true;
}

FtdiEeprom56::FtdiEeprom56(std::string deviceId) : FtdiEeprom(std::move(deviceId)) {
    FtdiEeprom56::readAll();
}

bool FtdiEeprom56::readAll() {
    if (!openChannel('A')) return false;
    const bool read = readIdentity() && readCalibrationWord();
    return closeChannel() && read;
}

// The fields change only when both words were read, so a failed read leaves them at 0.
bool FtdiEeprom56::readIdentity() {
    uint16_t identity = 0;
    uint16_t firmware = 0;
    if (!readWord(identityWord, identity) || !readWord(firmwareWord, firmware)) return false;
    deviceVersion = identity >> 8;
    deviceSubversion = identity & 0xFF;
    firmwareVersion = firmware;
    return true;
}

bool FtdiEeprom56::readCalibrationWord() {
    return readWord(calibrationWordOffset, calibrationWord);
}

} // namespace kv4CommLib
