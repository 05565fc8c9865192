#pragma once
// Cedar: four current channels, current generation. The reference model of the family.

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcher_Cedarn_V01 : public MessageDispatcher {
  public:
    explicit MessageDispatcher_Cedarn_V01(const std::string& deviceId);
    ErrorCodes_t initializeDevice() override;
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
    // Sets the reset denoiser for the selected rate and the range of channel 0.
    void currentRangeChanged() override;
};

// The first firmware: no 200 kHz rate and no insertion pulse yet.
class MessageDispatcher_Cedarn_V00 : public MessageDispatcher_Cedarn_V01 {
  public:
    explicit MessageDispatcher_Cedarn_V00(const std::string& deviceId);
};

} // namespace kv4CommLib
