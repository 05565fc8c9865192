#pragma once
// Alder: one current channel, previous generation.

#include "commlib/core/messagedispatcherlegacykav3.h"

namespace kv4CommLib {

class MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02 : public MessageDispatcherLegacyKav3 {
  public:
    explicit MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02(const std::string& deviceId);
    // Takes the voltage offset from the EEPROM's calibration word.
    ErrorCodes_t connect(std::unique_ptr<FtdiEeprom> eeprom) override;
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
};

} // namespace kv4CommLib
