#pragma once
// Birch: two current channels, current generation.

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcher_Birchb_V01 : public MessageDispatcher {
  public:
    explicit MessageDispatcher_Birchb_V01(const std::string& deviceId);
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
};

} // namespace kv4CommLib
