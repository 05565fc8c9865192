#include "commlib/models/dogwood.h"

#include "commlib/models/sharedtables.h"

#include <cmath>
#include <span>

namespace kv4CommLib {

using namespace kv4cl;

namespace {

template <typename Coder>
std::unique_ptr<DoubleCoder> realField(uint16_t byte, uint8_t bit, uint8_t width, const RangedMeasurement& r,
                                       double min) {
    return std::make_unique<Coder>(DoubleCoder::Config{.byteOffset = byte,
                                                       .bitOffset = bit,
                                                       .bitsNum = width,
                                                       .word = 0,
                                                       .resolution = r.step,
                                                       .minValue = min,
                                                       .maxValue = r.max});
}
// Signed quantities: sign and magnitude, bounded by the range.
std::unique_ptr<DoubleCoder> signedField(uint16_t byte, uint8_t width, const RangedMeasurement& r) {
    return realField<DoubleSignAbsCoder>(byte, 0, width, r, r.min);
}
// Positive quantities: the code counts steps from zero, so the device needs no offset.
std::unique_ptr<DoubleCoder> countField(uint16_t byte, uint8_t width, const RangedMeasurement& r) {
    return realField<DoubleOffsetBinaryCoder>(byte, 0, width, r, 0.0);
}

// What the two Dogwoods share: the stream, the ranges, the clock and the protocols.
void describeDogwood(MessageDispatcher& m, const StreamLayout& stream, const ProtocolLayout& protocols) {
    describeStream(m, stream);
    // Many channels at 100 kHz: the data channel runs in synchronous FIFO mode.
    m.syncFifo = true;
    m.rxChannel = 'A';
    m.txChannel = 'A';
    m.spiChannel = 'B';
    m.calibrationMemoryAvailable = true;

    m.currentRanges = {symmetricRange(200.0, UnitPfxPico, "A"), symmetricRange(2.0, UnitPfxNano, "A"),
                       symmetricRange(20.0, UnitPfxNano, "A"), symmetricRange(200.0, UnitPfxNano, "A")};
    m.voltageRanges = {{-500.0, 500.0, 0.015625, UnitPfxMilli, "V"},
                       {-2000.0, 2000.0, 0.0625, UnitPfxMilli, "V"}};
    m.voltageStimulusLpfs = {{100.0, UnitPfxKilo, "Hz"}, {10.0, UnitPfxKilo, "Hz"}, {1.0, UnitPfxKilo, "Hz"}};
    m.defaultVoltageStimulusLpfIdx = 0;
    setSamplingRates(m, std::span(familyRates).first(6));
    m.samplingRateCoder = mappedField(2, 0, 4, {0, 1, 2, 3, 8, 9});
    m.denoiserAvailable = true;
    m.denoiserTemplateMax = 512;
    // Byte 0 starts with the voltage range and its filter, byte 1 with the two reset stages.
    m.voltageRangeCoder = bitField(0, 0, 1);
    m.voltageStimulusLpfCoder = bitField(0, 1, 2);
    m.resetCoder = bitField(1, 0, 1);
    m.secondResetCoder = bitField(1, 1, 1);
    addReferenceProtocols(m, protocols);
}

// Every 2.56 ms the front end resets; below 10 kHz that is too few samples to learn from.
void dogwoodDenoiser(MessageDispatcher& m) {
    const bool suspended = m.selectedSamplingRateIdx < 2;
    const double samples = m.samplingRate.getNoPrefixValue() * 2.56e-3;
    m.configureDenoiser(suspended ? 1 : uint32_t(std::lround(samples)), 2.0 / (256.0 + 2.0), suspended);
}

// Byte map of the sixteen-channel message (87 bytes):
//   0 voltage range, stimulus filter, reference range, reference filter, gp range
//   1 reset, front-end reset, protocol start, insertion pulse, reference pulse, train start, override
//   2 sampling rate, auxiliary switch, headstage gain, zap strobe (bit 6)
//   3 protocol index, trigger input
//   4-8 current range per channel (2 bits each); in byte 8 bits 4-6 digital offset compensation
//       enable, strobe and autostop
//   9-11 channels on; in byte 11 bits 2-6 the digital offset compensation channel
//   12-14 bank B; in byte 14 bits 2-6 the zap channel
//   15 LEDs and custom flags                              16-18 CFast channel, enable, strobe, value
//   19-22 custom values                                   23-24 reference voltage
//   25-56 protocol parameters                             57-66 voltage offset and ramp
//   67-74 reference pulse and train                       75-86 fast-pulses row
const ProtocolLayout dogwood16Protocols =
    compactProtocolLayout({.byte = 3, .bit = 0}, {.byte = 1, .bit = 2}, 25);

} // namespace

MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01::MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01(
    const std::string& deviceId)
    : MessageDispatcher(deviceId) {
    // Info bytes: the offsets in force (0-31), then the device's status: 32-33 the channels whose
    // digital offset compensation runs, one bit each.
    describeDogwood(*this, {.currentChannels = 16, .gpChannels = 1, .infoBytes = 40, .txMessageBytes = 87},
                    dogwood16Protocols);
    headerTemplate = makeHeaderTemplate("Dogwood", 16, false);

    for (uint8_t ch = 0; ch < 16; ch++)
        currentRangeCoders.push_back(bitField(uint16_t(4 + 2 * ch / 7), uint8_t(2 * ch % 7), 2));
    voltageFilterAvailability = {3, 1}; // the reference filter is bypassed on the wide range

    gpRanges = {{{-2000.0, 2000.0, 4000.0 / 65535.0, UnitPfxMilli, "V"},
                 {-10.0, 10.0, 20.0 / 65535.0, UnitPfxNone, "V"}}};
    defaultGpRangeIdx = {0};
    gpNames = {"Vref monitor"};
    voltageReferenceMonitorGp = 0;
    gpRangeCoders.push_back(bitField(0, 5, 1));

    voltageReferenceRanges = {{-500.0, 500.0, 0.5, UnitPfxMilli, "V"},
                              {-2000.0, 2000.0, 2.0, UnitPfxMilli, "V"}};
    voltageReferenceRangeCoder = bitField(0, 3, 1);
    for (const RangedMeasurement& r : voltageReferenceRanges)
        voltageReferenceCoders.push_back(signedField(23, 11, r));
    voltageReferenceLpfs = {{10.0, UnitPfxNone, "Hz"}, {1.0, UnitPfxKilo, "Hz"}};
    voltageReferenceLpfCoder = bitField(0, 4, 1);

    singleSwitchCoder = bitField(2, 4, 1);
    switchBankACoder = bitField(9, 0, 16);
    switchBankBCoder = bitField(12, 0, 16);

    ledColors = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFBF00};
    for (uint8_t i = 0; i < 4; i++)
        ledCoders.push_back(bitField(15, i, 1));
    switchNames = {"Grounded input", "Calibration resistor", "Fan"};
    switchDefaults = {false, false, true};
    for (uint8_t i = 0; i < 3; i++)
        switchCoders.push_back(bitField(15, uint8_t(4 + i), 1));
    choiceNames = {"Headstage gain", "Trigger input"};
    choiceOptions = {{"Low", "High"}, {"Rising edge", "Falling edge", "Disabled"}};
    choiceDefaults = {0, 2};
    choiceCoders.push_back(bitField(2, 5, 1));
    choiceCoders.push_back(bitField(3, 4, 2));
    customDoubleNames = {"Reference trim", "Bath temperature"};
    customDoubleRanges = {{-10.0, 10.0, 0.02, UnitPfxMilli, "V"}, {15.0, 40.0, 0.1, UnitPfxNone, "°C"}};
    customDoubleDefaults = {0.0, 25.0};
    customDoubleCoders.push_back(realField<DoubleTwosCompCoder>(19, 0, 10, customDoubleRanges[0], -10.0));
    customDoubleCoders.push_back(realField<DoubleOffsetBinaryCoder>(21, 0, 10, customDoubleRanges[1], 15.0));
    digitalTriggerAvailable = true;

    cFast.control.range = {0.0, 20.0, 0.02, UnitPfxPico, "F"};
    cFast.control.defaultValue = 0.0;
    cFast.control.decimals = 2;
    cFast.control.name = "CFast";
    cFast.channelCoder = bitField(16, 0, 5);
    cFast.enableCoder = bitField(16, 5, 1);
    cFast.strobeCoder = bitField(16, 6, 1);
    cFast.valueCoder = countField(17, 10, cFast.control.range);

    VoltageOffsetControls& o = voltageOffsets;
    o.range = {-500.0, 500.0, 0.5, UnitPfxMilli, "V"};
    o.rampDurationRange = {1.0, 1.0e6, 1.0, UnitPfxMilli, "s"};
    o.channelCoder = bitField(57, 0, 5);
    o.strobeCoder = bitField(57, 5, 1);
    o.rampStrobeCoder = bitField(57, 6, 1);
    o.valueCoder = signedField(58, 11, o.range);
    o.rampInitialCoder = signedField(60, 11, o.range);
    o.rampFinalCoder = signedField(62, 11, o.range);
    o.rampDurationCoder = countField(64, 21, o.rampDurationRange);
    o.infoByteOffset = 0;

    addInsertionPulse(*this, dogwood16Protocols, {.byte = 1, .bit = 3});
    referencePulse.voltageRange = {-500.0, 500.0, 0.5, UnitPfxMilli, "V"};
    referencePulse.durationRange = {0.01, 100.0, 0.01, UnitPfxMilli, "s"};
    referencePulse.voltageCoder = signedField(67, 11, referencePulse.voltageRange);
    referencePulse.durationCoder = countField(69, 14, referencePulse.durationRange);
    referencePulse.pulseCoder = bitField(1, 4, 1);
    referencePulseTrain.periodRange = {0.02, 160.0, 0.01, UnitPfxMilli, "s"};
    referencePulseTrain.maxCount = 1000;
    referencePulseTrain.periodCoder = countField(71, 14, referencePulseTrain.periodRange);
    referencePulseTrain.countCoder = bitField(73, 0, 10);
    referencePulseTrain.startCoder = bitField(1, 5, 1);
    referencePulseTrain.overrideCoder = bitField(1, 6, 1);

    FastPulsesControls& fp = fastPulses;
    fp.protocolIdx = 15;
    fp.segments = 8;
    fp.pulses = 8;
    fp.maxPulseCount = 1000;
    fp.ranges[SegmentVoltage] = fp.ranges[PulseVoltage] = {-500.0, 500.0, 0.5, UnitPfxMilli, "V"};
    fp.ranges[SegmentDuration] = fp.ranges[PulseWait] = {0.0, 1.0e6, 0.5, UnitPfxMilli, "s"};
    fp.ranges[PulseDuration] = {1.0, 16000.0, 1.0, UnitPfxMicro, "s"};
    fp.ranges[PulsePeriod] = {2.0, 16000.0, 1.0, UnitPfxMicro, "s"};
    fp.ranges[PulseCount] = {1.0, 1000.0, 1.0, UnitPfxNone, ""};
    // Segments and pulses share the voltage field, and a segment's duration the pulse's wait field.
    fp.coders[SegmentVoltage] = signedField(76, 11, fp.ranges[SegmentVoltage]);
    fp.coders[PulseVoltage] = signedField(76, 11, fp.ranges[PulseVoltage]);
    fp.coders[SegmentDuration] = countField(78, 21, fp.ranges[SegmentDuration]);
    fp.coders[PulseWait] = countField(78, 21, fp.ranges[PulseWait]);
    fp.coders[PulseDuration] = countField(81, 14, fp.ranges[PulseDuration]);
    fp.coders[PulsePeriod] = countField(83, 14, fp.ranges[PulsePeriod]);
    fp.coders[PulseCount] = countField(85, 10, fp.ranges[PulseCount]);
    fp.rowCoder = bitField(75, 0, 4);
    fp.strobeCoder = bitField(75, 4, 1);

    DigitalOffsetCompensationControls& doc = digitalOffsetCompensationControls;
    doc.channelCoder = bitField(11, 2, 5);
    doc.enableCoder = bitField(8, 4, 1);
    doc.strobeCoder = bitField(8, 5, 1);
    doc.autostopCoder = bitField(8, 6, 1);
    doc.infoByteOffset = 32;
    zapControls.channelCoder = bitField(14, 2, 5);
    zapControls.strobeCoder = bitField(2, 6, 1);
}

ErrorCodes_t
MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01::validateProtocolValues(const ProtocolValues& candidate,
                                                                     std::string& message) const {
    if (fastPulses.available() && candidate.protocolIdx == fastPulses.protocolIdx) {
        message = "Valid protocol"; // the editor checks its two waveforms itself
        return Success;
    }
    return validateReferenceProtocol(*this, candidate, message);
}

void MessageDispatcher_DogwoodHC_PCBV01_GK06f_V01::currentRangeChanged() {
    dogwoodDenoiser(*this);
}

// Byte map of the thirty-two-channel message (49 bytes):
//   0 voltage range, stimulus filter    1 reset, front-end reset, protocol start, insertion pulse
//   2 sampling rate, current range      3 protocol index
//   4-8 channels on, 9-13 bank B        14-45 protocol parameters
//   46 digital offset compensation channel (6 bits), enable     47 zap channel (6 bits), strobe
//   48 digital offset compensation strobe, autostop
// Info bytes 0-3: the channels whose digital offset compensation runs, one bit each.
namespace {
const ProtocolLayout dogwood32Protocols =
    compactProtocolLayout({.byte = 3, .bit = 0}, {.byte = 1, .bit = 2}, 14);
}

MessageDispatcher_Dogwood32_V01::MessageDispatcher_Dogwood32_V01(const std::string& deviceId)
    : MessageDispatcher(deviceId) {
    describeDogwood(*this, {.currentChannels = 32, .infoBytes = 8, .txMessageBytes = 49}, dogwood32Protocols);
    headerTemplate = makeHeaderTemplate("Dogwood 32", 32, false);

    currentRangeCoders.push_back(bitField(2, 4, 2)); // one range for every channel
    switchBankACoder = bitField(4, 0, 32);
    switchBankBCoder = bitField(9, 0, 32);
    addInsertionPulse(*this, dogwood32Protocols, {.byte = 1, .bit = 3});
    DigitalOffsetCompensationControls& doc = digitalOffsetCompensationControls;
    doc.channelCoder = bitField(46, 0, 6);
    doc.enableCoder = bitField(46, 6, 1);
    doc.strobeCoder = bitField(48, 0, 1);
    doc.autostopCoder = bitField(48, 1, 1);
    doc.infoByteOffset = 0;
    zapControls.channelCoder = bitField(47, 0, 6);
    zapControls.strobeCoder = bitField(47, 6, 1);
}

ErrorCodes_t MessageDispatcher_Dogwood32_V01::validateProtocolValues(const ProtocolValues& candidate,
                                                                     std::string& message) const {
    return validateReferenceProtocol(*this, candidate, message);
}

void MessageDispatcher_Dogwood32_V01::currentRangeChanged() {
    dogwoodDenoiser(*this);
}

} // namespace kv4CommLib
