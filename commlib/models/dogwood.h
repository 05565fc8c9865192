#pragma once
// Dogwood: sixteen current channels with the family's full set of options, and its
// thirty-two-channel sibling built for channel count.

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01 : public MessageDispatcher {
  public:
    explicit MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01(const std::string& deviceId);
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
    void currentRangeChanged() override;
};

class MessageDispatcher_Dogwood32_V01 : public MessageDispatcher {
  public:
    explicit MessageDispatcher_Dogwood32_V01(const std::string& deviceId);
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
    void currentRangeChanged() override;
};

} // namespace kv4CommLib
