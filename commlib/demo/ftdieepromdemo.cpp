#include "commlib/demo/ftdieepromdemo.h"

#include <utility>

namespace kv4CommLib {

FtdiEepromDemo::FtdiEepromDemo(std::string deviceId) : FtdiEeprom(std::move(deviceId)) {
    FtdiEepromDemo::readAll();
}

bool FtdiEepromDemo::readAll() {
    return readIdentity() && readCalibrationWord();
}

bool FtdiEepromDemo::readIdentity() {
    deviceVersion = 253;
    deviceSubversion = 3;
    firmwareVersion = 129;
    return true;
}

bool FtdiEepromDemo::readCalibrationWord() {
    calibrationWord = 1650;
    return true;
}

} // namespace kv4CommLib
