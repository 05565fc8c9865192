#include "commlib/core/messagedispatcherlegacykav3.h"

namespace kv4CommLib {

void MessageDispatcherLegacyKav3::parsePackets(uint32_t count) {
    parsePacketBatch(count, false, legacyVoltageOffset, 0x8000);
}

} // namespace kv4CommLib
