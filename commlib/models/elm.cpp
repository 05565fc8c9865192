#include "commlib/models/elm.h"

#include "commlib/models/sharedtables.h"

namespace kv4CommLib {

using namespace kv4cl;

MessageDispatcher_Elm::MessageDispatcher_Elm(const std::string& deviceId) : MessageDispatcher(deviceId) {
    describeStream(*this, {.currentChannels = 1, .infoBytes = 4, .txMessageBytes = 36});
    headerTemplate = makeHeaderTemplate("Elm", 1, true);

    currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(20.0, UnitPfxNano, "A")};
    currentRangeCoders.push_back(bitField(1, 1, 1));

    voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};

    setSamplingRates(*this, familyRates);
    defaultSamplingRateIdx = 2;
    samplingRateCoder = bitField(2, 0, 3);
    oversamplingRatios = {1, 2, 4, 8};
    oversamplingAvailable = true;
    oversamplingCoder = bitField(2, 4, 2);

    voltageStimulusLpfs = {{100.0, UnitPfxNone, "Hz"}, {10.0, UnitPfxKilo, "Hz"}};
    defaultVoltageStimulusLpfIdx = 1;
    voltageStimulusLpfCoder = bitField(3, 0, 1);

    const ProtocolLayout protocols = compactProtocolLayout({.byte = 3, .bit = 2}, {.byte = 3, .bit = 1}, 4);
    addReferenceProtocols(*this, protocols);
    addInsertionPulse(*this, protocols, {.byte = 3, .bit = 6});
    resetCoder = bitField(1, 0, 1);
}

ErrorCodes_t MessageDispatcher_Elm::validateProtocolValues(const ProtocolValues& candidate,
                                                           std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

} // namespace kv4CommLib
