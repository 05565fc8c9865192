#include "commlib/models/cedar.h"

#include "commlib/models/sharedtables.h"

#include <cmath>

namespace kv4CommLib {

using namespace kv4cl;

namespace {
const ProtocolLayout cedarProtocols = {.index = {.byte = 4, .bit = 2},
                                       .start = {.byte = 4, .bit = 6},
                                       .vhold = {.byte = 7},
                                       .vpulse = {.byte = 17},
                                       .vstep = {.byte = 21},
                                       .vamp = {.byte = 41},
                                       .vfinal = {.byte = 47},
                                       .vinit = {.byte = 49},
                                       .thold = {.byte = 23},
                                       .tpulse = {.byte = 27},
                                       .tstep = {.byte = 33},
                                       .tramp = {.byte = 43},
                                       .tperiod = {.byte = 41, .bit = 2},
                                       .n = {.byte = 37},
                                       .nr = {.byte = 39}};
} // namespace

MessageDispatcher_Cedarn_V01::MessageDispatcher_Cedarn_V01(const std::string& deviceId)
    : MessageDispatcher(deviceId) {
    describeStream(*this, {.currentChannels = 4, .infoBytes = 8, .txMessageBytes = 51});
    headerTemplate = makeHeaderTemplate("Cedar", 4, false);

    currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(2.0, UnitPfxNano, "A"),
                     symmetricRange(20.0, UnitPfxNano, "A"), symmetricRange(200.0, UnitPfxNano, "A")};
    defaultCurrentRangeIdx = 0;
    currentRangeCoders.push_back(mappedField(1, 1, 3, {0, 2, 3, 7}));

    voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};
    defaultVoltageRangeIdx = 0;
    voltageRangeCoder = bitField(0, 0, 1);

    setSamplingRates(*this, familyRates);
    defaultSamplingRateIdx = 0;
    samplingRateCoder = mappedField(2, 3, 4, {0, 1, 2, 3, 8, 9, 10});

    // Chosen with the front panel; the message has no field for them.
    voltageStimulusLpfs = {{100.0, UnitPfxNone, "Hz"}, {10.0, UnitPfxKilo, "Hz"}};
    defaultVoltageStimulusLpfIdx = 1;

    denoiserAvailable = true;
    denoiserTemplateMax = 512;

    addReferenceProtocols(*this, cedarProtocols);
    addInsertionPulse(*this, cedarProtocols, {.byte = 6, .bit = 4});

    // The two further per-channel masks are offered as named switches, one bit per channel.
    // The input lines of byte 5 are active low.
    for (uint8_t ch = 0; ch < 4; ch++) {
        switchNames.push_back("Test signal, channel " + std::to_string(ch + 1));
        switchDefaults.push_back(false);
        switchCoders.push_back(bitField(3, ch, 1));
    }
    for (uint8_t ch = 0; ch < 4; ch++) {
        switchNames.push_back("Input connected, channel " + std::to_string(ch + 1));
        switchDefaults.push_back(true);
        switchCoders.push_back(std::make_unique<BoolNegatedArrayCoder>(BoolCoder::pack(5, ch, 1)));
    }
    switchBankACoder = bitField(6, 0, 4); // channel on/off
    switchBankBCoder = bitField(3, 5, 4);
    resetCoder = bitField(1, 0, 1);

    // Power-on values besides the start marker.
    txMessage[1] = 0x20;
    txMessage[2] = 0x03;
    txMessage[6] = 0x0F; // all four channels on
}

ErrorCodes_t MessageDispatcher_Cedarn_V01::initializeDevice() {
    // The denoiser period depends on the rate, so the rate comes before the base selects the ranges.
    setSamplingRate(defaultSamplingRateIdx, false);
    setChannelSwitchA(currentChannelsNum, true, true);
    setChannelSwitchB(currentChannelsNum, false, true);
    // The input switches default to on: the base sets the negated mask of byte 5 for all channels.
    return MessageDispatcher::initializeDevice();
}

ErrorCodes_t MessageDispatcher_Cedarn_V01::validateProtocolValues(const ProtocolValues& candidate,
                                                                  std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

void MessageDispatcher_Cedarn_V01::currentRangeChanged() {
    // The front end's reset artefact repeats every `period` samples: more samples per reset at
    // higher rates, four times more on the three low ranges. At the lowest rates the denoiser
    // stays suspended.
    const uint16_t range = selectedCurrentRangeIdx.empty() ? 0 : selectedCurrentRangeIdx[0];
    const bool lowRange = range < 3;
    uint32_t period = 1;
    bool suspended = true;
    if (selectedSamplingRateIdx == 3 && lowRange) {
        period = 2 * oversamplingRatio;
        suspended = false;
    } else if (selectedSamplingRateIdx > 3) {
        const uint32_t k =
            uint32_t(std::lround(baseSamplingRate.getNoPrefixValue() / 50000.0)) * oversamplingRatio;
        period = k * (lowRange ? 128 : 32);
        suspended = false;
    }
    configureDenoiser(period, 2.0 / (1024.0 / (lowRange ? 4 : 1) + 2.0), suspended);
}

MessageDispatcher_Cedarn_V00::MessageDispatcher_Cedarn_V00(const std::string& deviceId)
    : MessageDispatcher_Cedarn_V01(deviceId) {
    setSamplingRates(*this, std::span(familyRates).first(6));
    insertionPulse = PulseControls{};
}

} // namespace kv4CommLib
