#pragma once
// Elm: one current channel, current generation, with oversampling.

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcher_Elm : public MessageDispatcher {
  public:
    explicit MessageDispatcher_Elm(const std::string& deviceId);
    ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate, std::string& message) const override;
};

} // namespace kv4CommLib
