#include "commlib/models/fir.h"

#include "commlib/models/sharedtables.h"

#include <span>

namespace kv4CommLib {

using namespace kv4cl;

namespace {
// Byte map of the 44-byte message:
//   0 voltage range          1 reset, front-end reset, protocol start, insertion pulse
//   2 sampling rate, current range (all channels)   3 protocol index
//   4-5 channels on          6-37 protocol parameters
//   38 washer command, preset, strobe               39-43 the four preset speeds, 8 bits each
//   44-45 TTL pulse duration (us)    46-48 TTL period (0.1 ms steps)    49-51 TTL delay (us)
//   52-53 TTL pulse count (10 bits), then the TTL start strobe (byte 53 bit 3)
// The TTL output's level streams as the gp channel "TTL out" (0 or 5 V).
const ProtocolLayout firProtocols = compactProtocolLayout({.byte = 3, .bit = 0}, {.byte = 1, .bit = 2}, 6);
} // namespace

MessageDispatcher_Fir_V01::MessageDispatcher_Fir_V01(const std::string& deviceId)
    : MessageDispatcher(deviceId) {
    describeStream(*this, {.currentChannels = 8, .gpChannels = 1, .infoBytes = 8, .txMessageBytes = 54});
    headerTemplate = makeHeaderTemplate("Fir", 8, false);

    currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(2.0, UnitPfxNano, "A"),
                     symmetricRange(20.0, UnitPfxNano, "A")};
    currentRangeCoders.push_back(bitField(2, 4, 2));
    voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};
    voltageRangeCoder = bitField(0, 0, 1);
    setSamplingRates(*this, std::span(familyRates).first(5));
    samplingRateCoder = mappedField(2, 0, 4, {0, 1, 2, 3, 8});
    resetCoder = bitField(1, 0, 1);
    secondResetCoder = bitField(1, 1, 1);
    switchBankACoder = bitField(4, 0, 8);
    addReferenceProtocols(*this, firProtocols);
    addInsertionPulse(*this, firProtocols, {.byte = 1, .bit = 3});

    washerSpeedRange = {-100.0, 100.0, 1.0, UnitPfxNone, "%"};
    washerCommandCoder = bitField(38, 0, 3);
    washerPresetCoder = bitField(38, 3, 2);
    washerStrobeCoder = bitField(38, 5, 1);
    for (uint8_t i = 0; i < washerPresets; i++)
        washerSpeedCoders.push_back(bitField(uint16_t(39 + 8 * i / 7), uint8_t(8 * i % 7), 8));

    gpRanges = {{{0.0, 5.0, 5.0 / 65535.0, UnitPfxNone, "V"}}};
    defaultGpRangeIdx = {0};
    gpNames = {"TTL out"};
    TtlOutputControls& ttl = ttlOutput;
    ttl.durationRange = {1.0, 10000.0, 1.0, UnitPfxMicro, "s"};
    ttl.periodRange = {0.1, 10000.0, 0.1, UnitPfxMilli, "s"};
    ttl.delayRange = {0.0, 1.0e6, 1.0, UnitPfxMicro, "s"};
    ttl.maxPulses = 1000;
    ttl.durationCoder =
        std::make_unique<DoubleOffsetBinaryCoder>(DoubleCoder::Config{.byteOffset = 44,
                                                                      .bitOffset = 0,
                                                                      .bitsNum = 14,
                                                                      .word = 0,
                                                                      .resolution = 1.0,
                                                                      .minValue = 0.0,
                                                                      .maxValue = ttl.durationRange.max});
    ttl.periodCoder =
        std::make_unique<DoubleOffsetBinaryCoder>(DoubleCoder::Config{.byteOffset = 46,
                                                                      .bitOffset = 0,
                                                                      .bitsNum = 17,
                                                                      .word = 0,
                                                                      .resolution = 0.1,
                                                                      .minValue = 0.0,
                                                                      .maxValue = ttl.periodRange.max});
    ttl.delayCoder =
        std::make_unique<DoubleOffsetBinaryCoder>(DoubleCoder::Config{.byteOffset = 49,
                                                                      .bitOffset = 0,
                                                                      .bitsNum = 20,
                                                                      .word = 0,
                                                                      .resolution = 1.0,
                                                                      .minValue = 0.0,
                                                                      .maxValue = ttl.delayRange.max});
    ttl.pulsesCoder = bitField(52, 0, 10);
    ttl.startCoder = bitField(53, 3, 1);
    ttl.gpChannel = 0;
    temperatureControllerOption = true;

    txMessage[4] = 0x7F; // every channel on at power-up
    txMessage[5] = 0x01;
}

ErrorCodes_t MessageDispatcher_Fir_V01::validateProtocolValues(const ProtocolValues& candidate,
                                                               std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

ErrorCodes_t MessageDispatcher_Fir_V01::getWasherSpeedRange(RangedMeasurement& range) {
    range = washerSpeedRange;
    return Success;
}

ErrorCodes_t MessageDispatcher_Fir_V01::getWasherPresetSpeeds(std::vector<int8_t>& speeds) {
    const std::vector<uint8_t> info = readInfoBytes();
    speeds.assign(info.begin() + washerInfoByte + 1, info.begin() + washerInfoByte + 1 + washerPresets);
    return Success;
}

ErrorCodes_t MessageDispatcher_Fir_V01::getWasherStatus(int8_t& errorCode, std::vector<int8_t>& speeds) {
    errorCode = int8_t(readInfoBytes()[washerInfoByte]);
    return getWasherPresetSpeeds(speeds);
}

ErrorCodes_t MessageDispatcher_Fir_V01::setWasherPresetSpeeds(const std::vector<int8_t>& speeds) {
    if (speeds.size() != size_t(washerPresets)) return ErrorValueOutOfRange;
    for (int i = 0; i < washerPresets; i++) {
        if (speeds[i] < washerSpeedRange.min || speeds[i] > washerSpeedRange.max) return ErrorValueOutOfRange;
    }
    // Two's complement in eight bits: the device reads the bytes as signed.
    for (int i = 0; i < washerPresets; i++)
        washerSpeedCoders[i]->encode(uint8_t(speeds[i]), txMessage);
    return sendWasherCommand(WasherSetSpeeds);
}

ErrorCodes_t MessageDispatcher_Fir_V01::startWasher(uint16_t presetIdx) {
    if (presetIdx >= washerPresets) return ErrorValueOutOfRange;
    washerPresetCoder->encode(presetIdx, txMessage);
    return sendWasherCommand(WasherStart);
}

ErrorCodes_t MessageDispatcher_Fir_V01::resetWasherError() {
    return sendWasherCommand(WasherResetError);
}

ErrorCodes_t MessageDispatcher_Fir_V01::updateWasherState() {
    return sendWasherCommand(WasherReportStatus);
}

ErrorCodes_t MessageDispatcher_Fir_V01::updateWasherPresetSpeeds() {
    return sendWasherCommand(WasherReportSpeeds);
}

ErrorCodes_t MessageDispatcher_Fir_V01::sendWasherCommand(WasherCommand command) {
    washerCommandCoder->encode(command, txMessage);
    strobe(*washerStrobeCoder);
    // Later messages must not repeat the command.
    washerCommandCoder->encode(WasherIdle, txMessage);
    return Success;
}

} // namespace kv4CommLib
