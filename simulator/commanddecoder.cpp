#include "simulator/commanddecoder.h"

#include "simulator/stimulus.h"

#include <algorithm>
#include <bit>

namespace kav4sim {

using namespace kv4CommLib;

namespace {

uint32_t lowBits(unsigned bits) {
    return bits >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << bits) - 1;
}

double toSi(double value, kv4cl::UnitPfx_t prefix) {
    return value * kv4cl::prefixFactor(prefix, kv4cl::UnitPfxNone);
}

// The fast-pulses fields by their row parameters in stimulus.h.
constexpr std::pair<const char*, const char*> fastPulsesFields[FastPulsesFieldsNum] = {
    {"Segment", "voltage"}, {"Segment", "duration"}, {"Pulse", "voltage"}, {"Pulse", "wait"},
    {"Pulse", "duration"},  {"Pulse", "period"},     {"Pulse", "count"}};

std::string rowParameter(int field, size_t row) {
    return Stimulus::rowParameter(fastPulsesFields[field].first, row, fastPulsesFields[field].second);
}

bool isSegmentField(int field) {
    return field == SegmentVoltage || field == SegmentDuration;
}

std::optional<uint32_t> indexOf(const std::vector<uint32_t>& codes, uint64_t code) {
    for (size_t i = 0; i < codes.size(); i++)
        if (codes[i] == code) return uint32_t(i);
    return std::nullopt;
}

} // namespace

CommandDecoder::CommandDecoder(const MessageDispatcher& model)
    : model(model), washerModel(dynamic_cast<const MessageDispatcher_Fir_V01*>(&model)) {
    current.currentRangeIdx.assign(model.currentChannelsNum, model.defaultCurrentRangeIdx);
    current.gpRangeIdx = model.defaultGpRangeIdx;
    current.gpRangeIdx.resize(model.gpChannelsNum, 0);
    current.voltageRangeIdx = model.defaultVoltageRangeIdx;
    current.samplingRateIdx = model.defaultSamplingRateIdx;
    current.oversamplingRatioIdx = model.defaultOversamplingRatioIdx;
    if (model.switchBankACoder) current.switchBankA.assign(model.currentChannelsNum, false);
    if (model.switchBankBCoder) current.switchBankB.assign(model.currentChannelsNum, false);
    current.protocolIdx = model.defaultProtocolIdx;
    for (const ProtocolParameters& family : model.protocolParameters)
        for (size_t i = 0; i < family.names.size() && i < family.defaults.size(); i++)
            current.protocolParameters[family.names[i]] = family.defaults[i].getNoPrefixValue();
    const uint16_t channels = model.currentChannelsNum;
    const RangedMeasurement& cFastRange = model.cFast.control.range;
    current.cFast.assign(channels, toSi(model.cFast.control.defaultValue, cFastRange.prefix));
    current.cFastEnabled.assign(channels, false);
    if (model.voltageOffsets.available()) current.voltageOffsets.assign(channels, {});
    if (model.digitalOffsetCompensationControls.available()) current.offsetCompensation.assign(channels, {});
    if (model.zapControls.available()) current.zaps.assign(channels, 0);
    if (model.fastPulses.available())
        for (int f = 0; f < FastPulsesFieldsNum; f++)
            for (size_t row = 0;
                 model.fastPulses.coders[f] &&
                 row < (isSegmentField(f) ? model.fastPulses.segments : model.fastPulses.pulses);
                 row++)
                current.fastPulses[rowParameter(f, row)] = 0.0;
    current.leds.assign(model.ledCoders.size(), false);
    current.switches.assign(model.switchCoders.size(), false);
    current.choices.assign(model.choiceCoders.size(), 0);
    current.customDoubles.assign(model.customDoubleCoders.size(), 0.0);
    current.voltageReferenceRangeIdx = model.defaultVoltageReferenceRangeIdx;
    current.voltageReferenceLpfIdx = model.defaultVoltageReferenceLpfIdx;
    // The power-on state is a setting, not a command received: nothing is counted for it.
    if (model.txMessage.size() == model.txMessageBytes) apply(model.txMessage);
    current.protocolStarts = current.resets = current.messages = 0;
    current.insertionPulse.count = current.referencePulse.count = current.referencePulseTrain.count = 0;
    current.cFastLatches = current.fastPulsesLatches = current.washer.count = 0;
    for (DecodedCommand::OffsetOrder& order : current.voltageOffsets)
        order.count = 0;
    for (DecodedCommand::CompensationOrder& order : current.offsetCompensation)
        order.count = 0;
    std::fill(current.zaps.begin(), current.zaps.end(), 0);
    current.ttl.count = 0;
}

size_t CommandDecoder::write(const std::vector<uint8_t>& bytes) {
    size_t decoded = 0;
    for (const uint8_t byte : bytes) {
        if (byte & 0x80)
            partial.assign(1, byte);
        else if (!partial.empty())
            partial.push_back(byte);
        if (!partial.empty() && partial.size() == model.txMessageBytes) {
            apply(partial);
            partial.clear();
            decoded++;
        }
    }
    return decoded;
}

void CommandDecoder::apply(const std::vector<uint8_t>& m) {
    DecodedCommand& s = current;
    // A code that names no entry of the table leaves the setting as it was.
    const auto select = [&](const BoolCoder* coder, size_t entries, uint16_t& into) {
        if (!coder) return;
        const std::optional<uint32_t> value = decodeBool(*coder, m);
        if (value && *value < entries) into = uint16_t(*value);
    };
    const auto bit = [&](const BoolCoder* coder, bool previous) {
        return coder ? decodeBool(*coder, m).value_or(0) != 0 : previous;
    };
    const auto bank = [&](const BoolCoder* coder, std::vector<bool>& into) {
        if (!coder) return;
        const uint32_t mask = decodeBool(*coder, m).value_or(0);
        for (size_t ch = 0; ch < into.size(); ch++)
            into[ch] = ch < 32 && (mask >> ch & 1);
    };
    const auto edge = [](bool now, bool& level, uint64_t& count) {
        if (now && !level) count++;
        level = now;
    };
    const auto pulse = [&](const PulseControls& controls, DecodedCommand::Pulse& into) {
        if (!controls.available()) return;
        if (controls.voltageCoder)
            into.voltage = toSi(decodeDouble(*controls.voltageCoder, m), controls.voltageRange.prefix);
        if (controls.durationCoder)
            into.duration = toSi(decodeDouble(*controls.durationCoder, m), controls.durationRange.prefix);
        edge(bit(controls.pulseCoder.get(), into.bit), into.bit, into.count);
    };

    const auto& rangeCoders = model.currentRangeCoders;
    for (size_t ch = 0; ch < s.currentRangeIdx.size() && !rangeCoders.empty(); ch++)
        select(rangeCoders[ch < rangeCoders.size() ? ch : 0].get(), model.currentRanges.size(),
               s.currentRangeIdx[ch]);
    for (size_t g = 0; g < s.gpRangeIdx.size() && g < model.gpRangeCoders.size() && g < model.gpRanges.size();
         g++)
        select(model.gpRangeCoders[g].get(), model.gpRanges[g].size(), s.gpRangeIdx[g]);
    select(model.voltageRangeCoder.get(), model.voltageRanges.size(), s.voltageRangeIdx);
    select(model.samplingRateCoder.get(), model.realSamplingRates.size(), s.samplingRateIdx);
    if (model.oversamplingAvailable)
        select(model.oversamplingCoder.get(), model.oversamplingRatios.size(), s.oversamplingRatioIdx);
    bank(model.switchBankACoder.get(), s.switchBankA);
    bank(model.switchBankBCoder.get(), s.switchBankB);
    s.singleSwitch = bit(model.singleSwitchCoder.get(), s.singleSwitch);
    // The fast-pulses protocol has an index of its own beyond the named ones.
    if (model.protocolCoder) {
        const std::optional<uint32_t> protocol = decodeBool(*model.protocolCoder, m);
        const bool fastPulses = model.fastPulses.available() && protocol == model.fastPulses.protocolIdx;
        if (protocol && (*protocol < model.protocolNames.size() || fastPulses))
            s.protocolIdx = uint16_t(*protocol);
    }
    for (const ProtocolParameters& family : model.protocolParameters)
        for (size_t i = 0; i < family.names.size() && i < family.coders.size() && i < family.ranges.size();
             i++)
            s.protocolParameters[family.names[i]] =
                toSi(decodeDouble(*family.coders[i], m), family.ranges[i].prefix);
    edge(bit(model.protocolStartCoder.get(), s.protocolStartBit), s.protocolStartBit, s.protocolStarts);
    edge(bit(model.resetCoder.get(), s.resetBit), s.resetBit, s.resets);
    pulse(model.insertionPulse, s.insertionPulse);
    pulse(model.referencePulse, s.referencePulse);
    if (const PulseTrainControls& train = model.referencePulseTrain; train.available()) {
        if (train.periodCoder)
            s.referencePulseTrain.period =
                toSi(decodeDouble(*train.periodCoder, m), train.periodRange.prefix);
        if (train.countCoder) s.referencePulseTrain.pulses = decodeBool(*train.countCoder, m).value_or(0);
        if (fires(train.startCoder.get(), m)) s.referencePulseTrain.count++;
    }
    s.referenceOverride = bit(model.referencePulseTrain.overrideCoder.get(), s.referenceOverride);

    for (size_t i = 0; i < s.leds.size(); i++)
        s.leds[i] = bit(model.ledCoders[i].get(), s.leds[i]);
    for (size_t i = 0; i < s.switches.size(); i++)
        s.switches[i] = bit(model.switchCoders[i].get(), s.switches[i]);
    for (size_t i = 0; i < s.choices.size() && i < model.choiceOptions.size(); i++)
        select(model.choiceCoders[i].get(), model.choiceOptions[i].size(), s.choices[i]);
    for (size_t i = 0; i < s.customDoubles.size(); i++) {
        const double value = decodeDouble(*model.customDoubleCoders[i], m);
        s.customDoubles[i] =
            i < model.customDoubleRanges.size() ? toSi(value, model.customDoubleRanges[i].prefix) : value;
    }
    const auto& references = model.voltageReferenceRanges;
    select(model.voltageReferenceRangeCoder.get(), references.size(), s.voltageReferenceRangeIdx);
    if (!model.voltageReferenceCoders.empty() && s.voltageReferenceRangeIdx < references.size()) {
        const uint16_t r = s.voltageReferenceRangeIdx;
        const auto& coder = model.voltageReferenceCoders[r < model.voltageReferenceCoders.size() ? r : 0];
        s.voltageReference = toSi(decodeDouble(*coder, m), references[r].prefix);
    }
    select(model.voltageReferenceLpfCoder.get(), model.voltageReferenceLpfs.size(), s.voltageReferenceLpfIdx);

    applyLatches(m);
    s.messages++;
}

bool CommandDecoder::fires(const BoolCoder* strobe, const std::vector<uint8_t>& m) {
    return !strobe || decodeBool(*strobe, m).value_or(0) != 0;
}

std::pair<uint16_t, uint16_t> CommandDecoder::addressed(const BoolCoder* channel,
                                                        const std::vector<uint8_t>& m) const {
    const uint16_t channels = model.currentChannelsNum;
    if (!channel) return {0, channels};
    const uint32_t ch = decodeBool(*channel, m).value_or(channels + 1);
    if (ch == channels) return {0, channels};
    if (ch > channels) return {0, 0};
    return {uint16_t(ch), uint16_t(ch + 1)};
}

void CommandDecoder::applyLatches(const std::vector<uint8_t>& m) {
    DecodedCommand& s = current;
    const auto si = [&](const std::unique_ptr<DoubleCoder>& coder, const RangedMeasurement& range) {
        return toSi(decodeDouble(*coder, m), range.prefix);
    };

    const CompensationControls& cFast = model.cFast;
    if (cFast.available() && fires(cFast.strobeCoder.get(), m)) {
        const double value = si(cFast.valueCoder, cFast.control.range);
        // Without an enable bit the value is in force as sent.
        const bool enabled = !cFast.enableCoder || decodeBool(*cFast.enableCoder, m).value_or(0) != 0;
        const auto [first, end] = addressed(cFast.channelCoder.get(), m);
        for (uint16_t ch = first; ch < end; ch++) {
            s.cFast[ch] = value;
            s.cFastEnabled[ch] = enabled;
        }
        s.cFastLatches++;
    }

    const VoltageOffsetControls& o = model.voltageOffsets;
    const auto order = [&](double from, double to, double duration) {
        const auto [first, end] = addressed(o.channelCoder.get(), m);
        for (uint16_t ch = first; ch < end; ch++)
            s.voltageOffsets[ch] = {from, to, duration, s.voltageOffsets[ch].count + 1};
    };
    if (o.available() && fires(o.strobeCoder.get(), m)) {
        const double value = si(o.valueCoder, o.range);
        order(value, value, 0.0);
    }
    if (o.available() && o.rampStrobeCoder && fires(o.rampStrobeCoder.get(), m))
        order(si(o.rampInitialCoder, o.range), si(o.rampFinalCoder, o.range),
              si(o.rampDurationCoder, o.rampDurationRange));

    // Rows 0 .. segments-1 are the segments, then the pulses; the two share fields.
    const FastPulsesControls& fp = model.fastPulses;
    if (fp.available() && fires(fp.strobeCoder.get(), m)) {
        const uint32_t row = decodeBool(*fp.rowCoder, m).value_or(fp.segments + fp.pulses);
        const bool segment = row < fp.segments;
        const size_t index = segment ? row : row - fp.segments;
        if (segment || index < fp.pulses) {
            for (int f = 0; f < FastPulsesFieldsNum; f++)
                if (isSegmentField(f) == segment && fp.coders[f])
                    s.fastPulses[rowParameter(f, index)] = si(fp.coders[f], fp.ranges[f]);
            s.fastPulsesLatches++;
        }
    }

    const DigitalOffsetCompensationControls& doc = model.digitalOffsetCompensationControls;
    if (doc.available()) {
        if (doc.autostopCoder)
            s.offsetCompensationAutostop = decodeBool(*doc.autostopCoder, m).value_or(0) != 0;
        if (fires(doc.strobeCoder.get(), m)) {
            const bool on = !doc.enableCoder || decodeBool(*doc.enableCoder, m).value_or(0) != 0;
            const auto [first, end] = addressed(doc.channelCoder.get(), m);
            for (uint16_t ch = first; ch < end; ch++)
                s.offsetCompensation[ch] = {on, s.offsetCompensation[ch].count + 1};
        }
    }
    if (model.zapControls.available() && fires(model.zapControls.strobeCoder.get(), m)) {
        const auto [first, end] = addressed(model.zapControls.channelCoder.get(), m);
        for (uint16_t ch = first; ch < end; ch++)
            s.zaps[ch]++;
    }
    const TtlOutputControls& ttl = model.ttlOutput;
    if (ttl.available() && fires(ttl.startCoder.get(), m)) {
        s.ttl.duration = si(ttl.durationCoder, ttl.durationRange);
        s.ttl.period = si(ttl.periodCoder, ttl.periodRange);
        s.ttl.delay = si(ttl.delayCoder, ttl.delayRange);
        s.ttl.pulses = decodeBool(*ttl.pulsesCoder, m).value_or(0);
        s.ttl.count++;
    }

    if (washerModel) {
        const MessageDispatcher_Fir_V01& w = *washerModel;
        if (fires(w.washerStrobeCoder.get(), m)) {
            s.washer.command = uint8_t(decodeBool(*w.washerCommandCoder, m).value_or(0));
            s.washer.preset = uint16_t(decodeBool(*w.washerPresetCoder, m).value_or(0));
            // Eight-bit two's complement: the speeds are signed.
            for (size_t i = 0; i < s.washer.speeds.size() && i < w.washerSpeedCoders.size(); i++)
                s.washer.speeds[i] = int8_t(uint8_t(decodeBool(*w.washerSpeedCoders[i], m).value_or(0)));
            s.washer.count++;
        }
    }
}

uint32_t CommandDecoder::readField(const CommandCoder& coder, const std::vector<uint8_t>& message) {
    // The inverse of the coders' write: each byte holds up to 7 bits of the code, low bits first.
    uint64_t code = 0;
    unsigned shift = 0;
    for (size_t i = 0; i < coder.bytesNum; i++) {
        const size_t at = size_t(coder.byteOffset) + i;
        const uint8_t byte = at < message.size() ? message[at] : 0;
        code |= uint64_t((byte & coder.byteMasks[i]) >> coder.byteBitOffsets[i]) << shift;
        shift += 7u - coder.byteBitOffsets[i];
    }
    return uint32_t(code & lowBits(coder.bitsNum));
}

std::optional<uint32_t> CommandDecoder::decodeBool(const BoolCoder& coder,
                                                   const std::vector<uint8_t>& message) {
    if (const auto* ensemble = dynamic_cast<const EnsembleCoder*>(&coder)) {
        uint64_t code = 0;
        unsigned shift = 0;
        for (const auto& part : ensemble->coders) {
            const std::optional<uint32_t> value = decodeBool(*part, message);
            if (!value) return std::nullopt;
            code |= uint64_t(*value) << shift;
            shift += part->bitsNum;
        }
        return indexOf(ensemble->values, code);
    }
    const uint32_t field = readField(coder, message);
    if (const auto* mapped = dynamic_cast<const BoolRandomArrayCoder*>(&coder))
        return indexOf(mapped->valueMap, field);
    if (dynamic_cast<const BoolNegatedArrayCoder*>(&coder)) return ~field & lowBits(coder.bitsNum);
    if (dynamic_cast<const BoolOneHotCoder*>(&coder)) {
        if (std::popcount(field) != 1) return std::nullopt;
        return uint32_t(std::countr_zero(field));
    }
    return field;
}

double CommandDecoder::decodeDouble(const DoubleCoder& coder, const std::vector<uint8_t>& message) {
    const uint32_t field = readField(coder, message);
    const unsigned bits = coder.bitsNum;
    if (dynamic_cast<const DoubleOffsetBinaryCoder*>(&coder))
        return field * coder.resolution + coder.minValue;
    if (dynamic_cast<const DoubleSignAbsCoder*>(&coder)) {
        const double magnitude = (field & lowBits(bits - 1)) * coder.resolution;
        return (field >> (bits - 1) & 1) ? -magnitude : magnitude;
    }
    // Two's complement: the top bit of the field is the sign.
    int64_t code = field;
    if (bits > 0 && bits < 32 && (field >> (bits - 1) & 1)) code -= int64_t(1) << bits;
    if (bits >= 32) code = int32_t(field);
    return double(code) * coder.resolution;
}

} // namespace kav4sim
