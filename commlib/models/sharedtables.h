#pragma once
// Tables that several models share: the recording-header template, the sampling clock of
// the family and the eight stimulus protocols of the reference model with their parameters,
// coders and checks. A model only says where its message holds each protocol field.

#include "commlib/core/messagedispatcher.h"

#include <initializer_list>
#include <memory>
#include <span>
#include <string>

namespace kv4CommLib {

// "KDH Version: 2.0" ... with "Corvane <model>" on line 3 and the channel count on line 4;
// models with oversampling carry one more line after the bandwidth line.
std::string makeHeaderTemplate(const std::string& model, int channels, bool oversampling);

// The stream and message sizes of a model: one voltage word, the current words and any
// general-purpose words per sample, 16 samples per packet behind the sync word (and, in the
// current generation, the info pair); a command message of txMessageBytes, all zero but the
// start marker.
struct StreamLayout {
    bool previousGeneration = false;
    uint16_t currentChannels = 0;
    uint16_t gpChannels = 0;
    uint16_t infoBytes = 0;
    uint16_t txMessageBytes = 0;
};
void describeStream(MessageDispatcher& m, const StreamLayout& layout);

// A symmetric range whose step is one code of a signed 16-bit word.
RangedMeasurement symmetricRange(double max, kv4cl::UnitPfx_t prefix, const std::string& unit);

inline std::unique_ptr<BoolArrayCoder> bitField(uint16_t byte, uint8_t bit, uint8_t width) {
    return std::make_unique<BoolArrayCoder>(BoolCoder::pack(byte, bit, width));
}
std::unique_ptr<BoolRandomArrayCoder> mappedField(uint16_t byte, uint8_t bit, uint8_t width,
                                                  std::initializer_list<uint32_t> codes);

struct SamplingRateRow {
    double nominalKHz; // shown to the user
    double realKHz;    // what the clock divider really gives
    double periodUs;
};

// The current-generation clock: the four slow rates divide a 2.5 MHz clock by powers of two.
inline constexpr SamplingRateRow familyRates[] = {
    {.nominalKHz = 1.25, .realKHz = 1.220703125, .periodUs = 819.2},
    {.nominalKHz = 5.0, .realKHz = 4.8828125, .periodUs = 204.8},
    {.nominalKHz = 10.0, .realKHz = 9.765625, .periodUs = 102.4},
    {.nominalKHz = 20.0, .realKHz = 19.53125, .periodUs = 51.2},
    {.nominalKHz = 50.0, .realKHz = 50.0, .periodUs = 20.0},
    {.nominalKHz = 100.0, .realKHz = 100.0, .periodUs = 10.0},
    {.nominalKHz = 200.0, .realKHz = 200.0, .periodUs = 5.0},
};
void setSamplingRates(MessageDispatcher& m, std::span<const SamplingRateRow> rows);

struct FieldAt {
    uint16_t byte = 0;
    uint8_t bit = 0;
};

// Where a model's transmit message holds the protocol index, the start bit and each parameter.
struct ProtocolLayout {
    FieldAt index, start;
    FieldAt vhold, vpulse, vstep, vamp, vfinal, vinit;
    FieldAt thold, tpulse, tstep, tramp, tperiod;
    FieldAt n, nr;
};

// The 32-byte parameter block of the models designed after the reference: from firstByte,
// Vhold, Vpulse, Vstep, Vamp sharing its field with TPeriod, Thold, Tpulse, Tstep, Tramp, N,
// NR, Vfinal, Vinit.
ProtocolLayout compactProtocolLayout(FieldAt index, FieldAt start, uint16_t firstByte);

// The eight protocols, the parameter families with their coders, the validity ranges.
void addReferenceProtocols(MessageDispatcher& m, const ProtocolLayout& at);

// The insertion pulse of the models that have a pulse bit. They have no voltage or duration
// field of its own: the device reads the pulse from the Vpulse and Tpulse fields, which the
// holding protocol selected before the pulse does not use.
void addInsertionPulse(MessageDispatcher& m, const ProtocolLayout& at, FieldAt pulseBit);

// Protocol validation of the models with the reference protocols: the first failing rule of
// the candidate's protocol, in the order the device checks them.
ErrorCodes_t validateReferenceProtocol(const MessageDispatcher& m, const ProtocolValues& candidate,
                                       std::string& message);

} // namespace kv4CommLib
