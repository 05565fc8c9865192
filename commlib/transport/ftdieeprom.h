#pragma once
// Identity of one device, read from its FTDI EEPROM through channel A.

#include "commlib/transport/ftdidriver.h"

#include <cstdint>
#include <string>

namespace kv4CommLib {

class FtdiEeprom {
  public:
    explicit FtdiEeprom(std::string deviceId);
    virtual ~FtdiEeprom();
    FtdiEeprom(const FtdiEeprom&) = delete;
    FtdiEeprom& operator=(const FtdiEeprom&) = delete;

    virtual bool openChannel(char letter);
    virtual bool closeChannel();
    virtual bool readAll() = 0;
    virtual bool readIdentity() = 0;
    virtual bool readCalibrationWord() = 0;

    std::string deviceId;
    std::string openedChannel;
    uint32_t deviceVersion = 0;
    uint32_t deviceSubversion = 0;
    uint32_t firmwareVersion = 0;
    uint16_t calibrationWord = 0;
    bool open = false;
    FT_HANDLE handle = nullptr;

  protected:
    bool readWord(DWORD offset, uint16_t& value);
};

// The 56-word EEPROM layout: identity in words 116 and 117, calibration in 123.
// Construction reads everything and closes the channel again.
class FtdiEeprom56 : public FtdiEeprom {
  public:
    explicit FtdiEeprom56(std::string deviceId);
    bool readAll() override;
    bool readIdentity() override;
    bool readCalibrationWord() override;
};

} // namespace kv4CommLib
