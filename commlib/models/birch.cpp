#include "commlib/models/birch.h"

#include "commlib/models/sharedtables.h"

namespace kv4CommLib {

using namespace kv4cl;

MessageDispatcher_Birchb_V01::MessageDispatcher_Birchb_V01(const std::string& deviceId)
    : MessageDispatcher(deviceId) {
    describeStream(*this, {.currentChannels = 2, .infoBytes = 8, .txMessageBytes = 36});
    headerTemplate = makeHeaderTemplate("Birch", 2, false);

    currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(2.0, UnitPfxNano, "A"),
                     symmetricRange(20.0, UnitPfxNano, "A"), symmetricRange(200.0, UnitPfxNano, "A")};
    // Each channel has its own range.
    currentRangeCoders.push_back(bitField(1, 1, 2));
    currentRangeCoders.push_back(bitField(1, 3, 2));

    voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};

    setSamplingRates(*this, familyRates);
    samplingRateCoder = mappedField(2, 0, 4, {0, 1, 2, 3, 8, 9, 10});

    const ProtocolLayout protocols = compactProtocolLayout({.byte = 3, .bit = 0}, {.byte = 3, .bit = 4}, 4);
    addReferenceProtocols(*this, protocols);
    addInsertionPulse(*this, protocols, {.byte = 3, .bit = 5});
    switchBankACoder = bitField(2, 4, 2); // channel on/off
    resetCoder = bitField(1, 0, 1);

    txMessage[2] = 0x30; // both channels on
}

ErrorCodes_t MessageDispatcher_Birchb_V01::validateProtocolValues(const ProtocolValues& candidate,
                                                                  std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

} // namespace kv4CommLib
