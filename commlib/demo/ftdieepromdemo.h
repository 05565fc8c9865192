#pragma once
// The identity of the demo device: a software EEPROM that touches no hardware.

#include "commlib/transport/ftdieeprom.h"

#include <string>

namespace kv4CommLib {

// The device id that stands for the demo device, recognised before any FTDI access.
inline const std::string demoDeviceId = "Elm Demo";

class FtdiEepromDemo : public FtdiEeprom {
  public:
    explicit FtdiEepromDemo(std::string deviceId);
    bool readAll() override;
    bool readIdentity() override;
    bool readCalibrationWord() override;
};

} // namespace kv4CommLib
