#pragma once
// Previous-generation devices: sync word 0xFFFF0000, no info bytes, current words in
// offset code and a voltage offset taken from the calibration word.

#include "commlib/core/messagedispatcher.h"

namespace kv4CommLib {

class MessageDispatcherLegacyKav3 : public MessageDispatcher {
  public:
    using MessageDispatcher::MessageDispatcher;
    uint16_t legacyVoltageOffset = 0;

  protected:
    void parsePackets(uint32_t count) override;
};

} // namespace kv4CommLib
