#include "commlib/models/alder.h"

#include "commlib/models/sharedtables.h"

namespace kv4CommLib {

using namespace kv4cl;

MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02::
    MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02(const std::string& deviceId)
    : MessageDispatcherLegacyKav3(deviceId) {
    describeStream(*this, {.previousGeneration = true, .currentChannels = 1, .txMessageBytes = 49});
    headerTemplate = makeHeaderTemplate("Alder", 1, false);

    currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(2.0, UnitPfxNano, "A"),
                     symmetricRange(20.0, UnitPfxNano, "A")};
    currentRangeCoders.push_back(bitField(1, 1, 2));

    voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};

    // The previous generation stops at 50 kHz.
    setSamplingRates(*this, std::span(familyRates).first(5));
    samplingRateCoder = bitField(2, 0, 3);

    addReferenceProtocols(*this, compactProtocolLayout({.byte = 3, .bit = 0}, {.byte = 3, .bit = 4}, 4));
    resetCoder = bitField(1, 0, 1);
}

ErrorCodes_t
MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02::connect(std::unique_ptr<FtdiEeprom> deviceEeprom) {
    // Set before the receive thread starts: it subtracts the offset from every voltage word. The
    // word is signed; subtracting its 16 bits wraps the same way.
    if (!isConnected() && deviceEeprom) legacyVoltageOffset = deviceEeprom->calibrationWord;
    return MessageDispatcherLegacyKav3::connect(std::move(deviceEeprom));
}

ErrorCodes_t MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02::validateProtocolValues(
    const ProtocolValues& candidate, std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

} // namespace kv4CommLib
