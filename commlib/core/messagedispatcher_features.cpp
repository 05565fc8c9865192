// The optional features of MessageDispatcher: voltage reference, LEDs, custom values,
// reference pulse trains, fast capacitance compensation, voltage offsets, the
// fast-pulses protocol, digital offset compensation, zap and the TTL output. A model has a feature when it
// fills its table; otherwise the setter answers ErrorFeatureNotImplemented.

#include "commlib/core/messagedispatcher.h"

#include <cstdio>

namespace kv4CommLib {

using namespace kv4cl;

namespace {
// "[-500,500]mV": the limits as a message shows them.
std::string limitsText(const RangedMeasurement& r) {
    char text[96];
    std::snprintf(text, sizeof text, "[%g,%g]%s", r.min, r.max, r.label().c_str());
    return text;
}
} // namespace

ErrorCodes_t MessageDispatcher::setVoltageReferenceRange(uint16_t rangeIdx, bool apply) {
    if (voltageReferenceRanges.empty()) return ErrorFeatureNotImplemented;
    if (rangeIdx >= voltageReferenceRanges.size()) return ErrorValueOutOfRange;
    selectedVoltageReferenceRangeIdx = rangeIdx;
    if (voltageReferenceRangeCoder) voltageReferenceRangeCoder->encode(rangeIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setVoltageReference(const Measurement& value, bool apply) {
    if (voltageReferenceCoders.empty() || voltageReferenceRanges.empty()) return ErrorFeatureNotImplemented;
    const uint16_t r = selectedVoltageReferenceRangeIdx;
    const RangedMeasurement& range = voltageReferenceRanges[r];
    if (!range.includes(value)) return ErrorValueOutOfRange;
    voltageReferenceCoders[r < voltageReferenceCoders.size() ? r : 0]->encode(
        value.converted(range.prefix).value, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setVoltageReferenceLpf(uint16_t filterIdx, bool apply) {
    if (voltageReferenceLpfs.empty()) return ErrorFeatureNotImplemented;
    if (filterIdx >= voltageReferenceLpfs.size()) return ErrorValueOutOfRange;
    if (voltageReferenceLpfCoder) voltageReferenceLpfCoder->encode(filterIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setLed(uint16_t ledIdx, bool on) {
    if (ledCoders.empty()) return ErrorFeatureNotImplemented;
    if (ledIdx >= ledCoders.size()) return ErrorValueOutOfRange;
    ledCoders[ledIdx]->encode(on, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setCustomDouble(uint16_t doubleIdx, double value) {
    if (customDoubleCoders.empty()) return ErrorFeatureNotImplemented;
    if (doubleIdx >= customDoubleCoders.size()) return ErrorValueOutOfRange;
    customDoubleCoders[doubleIdx]->encode(value, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setReferencePulseTrain(const Measurement& voltage,
                                                       const Measurement& duration, const Measurement& period,
                                                       uint16_t count) {
    const PulseTrainControls& train = referencePulseTrain;
    if (!train.available() || !referencePulse.available()) return ErrorFeatureNotImplemented;
    if (count < 1 || count > train.maxCount) return ErrorValueOutOfRange;
    if (referencePulse.voltageCoder)
        referencePulse.voltageCoder->encode(voltage.converted(referencePulse.voltageRange.prefix).value,
                                            txMessage);
    if (referencePulse.durationCoder)
        referencePulse.durationCoder->encode(duration.converted(referencePulse.durationRange.prefix).value,
                                             txMessage);
    if (train.periodCoder)
        train.periodCoder->encode(period.converted(train.periodRange.prefix).value, txMessage);
    if (train.countCoder) train.countCoder->encode(count, txMessage);
    strobe(*train.startCoder);
    return Success;
}

ErrorCodes_t MessageDispatcher::overrideReferencePulse(bool on) {
    if (!referencePulseTrain.overrideCoder) return ErrorFeatureNotImplemented;
    referencePulseTrain.overrideCoder->encode(on, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::selectCompensationChannel(uint16_t channelIdx) {
    if (!cFast.available()) return ErrorFeatureNotImplemented;
    if (channelIdx > currentChannelsNum) return ErrorValueOutOfRange;
    selectedCompensationChannel = channelIdx;
    return Success;
}

ErrorCodes_t MessageDispatcher::setCFast(const Measurement& value, bool enabled) {
    if (!cFast.available()) return ErrorFeatureNotImplemented;
    const RangedMeasurement& range = cFast.control.range;
    const Measurement v = value.converted(range.prefix);
    if (v.value < range.min || v.value > range.max) return ErrorValueOutOfRange;
    const uint16_t ch = selectedCompensationChannel;
    if (cFast.channelCoder) cFast.channelCoder->encode(ch, txMessage);
    const double applied = cFast.valueCoder->encode(v.value, txMessage);
    if (cFast.enableCoder) cFast.enableCoder->encode(enabled, txMessage);
    for (uint16_t i = 0; i < currentChannelsNum; i++) {
        if (ch != currentChannelsNum && i != ch) continue;
        cFastValues[i] = {applied, range.prefix, range.unit};
        cFastEnabled[i] = enabled;
    }
    if (cFast.strobeCoder)
        strobe(*cFast.strobeCoder);
    else
        sendMessage();
    return Success;
}

std::vector<uint8_t> MessageDispatcher::readInfoBytes() {
    std::lock_guard lock(dataMutex);
    return infoBytes;
}

ErrorCodes_t MessageDispatcher::getVoltageOffsets(std::vector<Measurement>& offsets) {
    if (!voltageOffsets.available()) return ErrorFeatureNotImplemented;
    const RangedMeasurement& range = voltageOffsets.range;
    offsets.assign(currentChannelsNum, {0.0, range.prefix, range.unit});
    const std::vector<uint8_t> info = readInfoBytes();
    for (uint16_t c = 0; c < currentChannelsNum; c++) {
        const size_t i = voltageOffsets.infoByteOffset + 2 * size_t(c);
        if (i + 1 >= info.size()) break;
        offsets[c].value = int16_t(info[i] << 8 | info[i + 1]) * range.step;
    }
    return Success;
}

ErrorCodes_t MessageDispatcher::checkVoltageOffset(uint16_t channelIdx, const Measurement& offset,
                                                   std::string& message) {
    if (!voltageOffsets.available()) return ErrorFeatureNotImplemented;
    if (channelIdx >= currentChannelsNum) return ErrorValueOutOfRange;
    const RangedMeasurement& range = voltageOffsets.range;
    if (!range.includes(offset)) {
        message = "Offset\nmust be within " + limitsText(range);
        return ErrorValueOutOfRange;
    }
    // The offset adds to the holding voltage, which must stay inside the protocol limits.
    const auto& voltages = protocolParameters[ProtocolVoltage];
    if (!voltages.values.empty() && protocolVoltageValidity.unit == offset.unit) {
        Measurement sum = voltages.values[0].converted(protocolVoltageValidity.prefix);
        sum.value += offset.converted(protocolVoltageValidity.prefix).value;
        if (!protocolVoltageValidity.includes(sum)) {
            message = "Vhold+offset\nmust be within " + limitsText(protocolVoltageValidity);
            return ErrorValueOutOfRange;
        }
    }
    message = "Valid offset";
    return Success;
}

ErrorCodes_t MessageDispatcher::checkProtocolParameter(ProtocolFamily family, uint32_t paramIdx,
                                                       const Measurement& value, std::string& message) const {
    if (protocolNames.empty()) return ErrorFeatureNotImplemented;
    const ProtocolParameters& params = protocolParameters[family];
    if (paramIdx >= params.ranges.size()) return ErrorValueOutOfRange;
    if (!params.ranges[paramIdx].includes(value)) {
        message = params.names[paramIdx] + "\nmust be within " + limitsText(params.ranges[paramIdx]);
        return ErrorInvalidProtocolParameters;
    }
    message = "Valid parameter";
    return Success;
}

ErrorCodes_t MessageDispatcher::validateProtocol(std::string& message) const {
    ProtocolValues set{.protocolIdx = selectedProtocolIdx, .values = {}};
    for (size_t f = 0; f < ProtocolFamiliesNum; f++)
        set.values[f] = protocolParameters[f].values;
    return validateProtocolValues(set, message);
}

ErrorCodes_t MessageDispatcher::setVoltageOffset(uint16_t channelIdx, const Measurement& offset) {
    if (!voltageOffsets.available()) return ErrorFeatureNotImplemented;
    if (channelIdx > currentChannelsNum || !voltageOffsets.range.includes(offset))
        return ErrorValueOutOfRange;
    if (voltageOffsets.channelCoder) voltageOffsets.channelCoder->encode(channelIdx, txMessage);
    voltageOffsets.valueCoder->encode(offset.converted(voltageOffsets.range.prefix).value, txMessage);
    if (voltageOffsets.strobeCoder)
        strobe(*voltageOffsets.strobeCoder);
    else
        sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::startVoltageOffsetRamp(uint16_t channelIdx, const Measurement& initial,
                                                       const Measurement& final,
                                                       const Measurement& duration) {
    const VoltageOffsetControls& o = voltageOffsets;
    if (!o.available() || !o.rampStrobeCoder) return ErrorFeatureNotImplemented;
    if (channelIdx > currentChannelsNum || !o.range.includes(initial) || !o.range.includes(final) ||
        !o.rampDurationRange.includes(duration))
        return ErrorValueOutOfRange;
    if (o.channelCoder) o.channelCoder->encode(channelIdx, txMessage);
    o.rampInitialCoder->encode(initial.converted(o.range.prefix).value, txMessage);
    o.rampFinalCoder->encode(final.converted(o.range.prefix).value, txMessage);
    o.rampDurationCoder->encode(duration.converted(o.rampDurationRange.prefix).value, txMessage);
    strobe(*o.rampStrobeCoder);
    return Success;
}

ErrorCodes_t MessageDispatcher::setFastPulses(FastPulsesField field, uint16_t row, const Measurement& value) {
    FastPulsesControls& fp = fastPulses;
    if (!fp.available()) return ErrorFeatureNotImplemented;
    if (field >= FastPulsesFieldsNum) return ErrorValueOutOfRange;
    const bool segment = field == SegmentVoltage || field == SegmentDuration;
    if (row >= (segment ? fp.segments : fp.pulses)) return ErrorValueOutOfRange;
    if ((field == PulsePeriod || field == PulseCount) && fp.maxPulseCount == 0)
        return ErrorFeatureNotImplemented;
    const RangedMeasurement& range = fp.ranges[field];
    if (!range.includes(value)) return ErrorValueOutOfRange;
    fp.values[field][row] = value.converted(range.prefix);

    // The device latches whole rows: every field of the row goes out with the row index.
    const FastPulsesField first = segment ? SegmentVoltage : PulseVoltage;
    const FastPulsesField last = segment ? SegmentDuration : PulseCount;
    for (int f = first; f <= last; f++) {
        if (fp.coders[f] && row < fp.values[f].size())
            fp.coders[f]->encode(fp.values[f][row].value, txMessage);
    }
    fp.rowCoder->encode(segment ? row : fp.segments + row, txMessage);
    if (fp.strobeCoder)
        strobe(*fp.strobeCoder);
    else
        sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::digitalOffsetCompensation(uint16_t channelIdx, bool on) {
    const DigitalOffsetCompensationControls& doc = digitalOffsetCompensationControls;
    if (!doc.available()) return ErrorFeatureNotImplemented;
    if (channelIdx > currentChannelsNum) return ErrorValueOutOfRange;
    if (doc.channelCoder) doc.channelCoder->encode(channelIdx, txMessage);
    if (doc.enableCoder) doc.enableCoder->encode(on, txMessage);
    strobe(*doc.strobeCoder);
    return Success;
}

ErrorCodes_t MessageDispatcher::setDigitalOffsetCompensationAutostop(bool on) {
    const DigitalOffsetCompensationControls& doc = digitalOffsetCompensationControls;
    if (!doc.available() || !doc.autostopCoder) return ErrorFeatureNotImplemented;
    doc.autostopCoder->encode(on, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::getDigitalOffsetCompensationStates(std::vector<bool>& running) {
    const DigitalOffsetCompensationControls& doc = digitalOffsetCompensationControls;
    if (!doc.available()) return ErrorFeatureNotImplemented;
    const std::vector<uint8_t> info = readInfoBytes();
    running.assign(currentChannelsNum, false);
    for (uint16_t c = 0; c < currentChannelsNum; c++) {
        const size_t at = doc.infoByteOffset + c / 8u;
        running[c] = at < info.size() && (info[at] >> (c % 8) & 1);
    }
    return Success;
}

ErrorCodes_t MessageDispatcher::zap(uint16_t channelIdx) {
    if (!zapControls.available()) return ErrorFeatureNotImplemented;
    if (channelIdx > currentChannelsNum) return ErrorValueOutOfRange;
    if (zapControls.channelCoder) zapControls.channelCoder->encode(channelIdx, txMessage);
    strobe(*zapControls.strobeCoder);
    return Success;
}

ErrorCodes_t MessageDispatcher::startTtlPulses(const Measurement& duration, const Measurement& period,
                                               const Measurement& delay, uint16_t pulses) {
    const TtlOutputControls& ttl = ttlOutput;
    if (!ttl.available()) return ErrorFeatureNotImplemented;
    const auto within = [](const RangedMeasurement& range, const Measurement& m) {
        return m.unit == range.unit && range.includes(m);
    };
    if (!within(ttl.durationRange, duration) || !within(ttl.periodRange, period) ||
        !within(ttl.delayRange, delay) || pulses < 1 || pulses > ttl.maxPulses)
        return ErrorValueOutOfRange;
    // A pulse must end before the next one starts.
    if (duration.getNoPrefixValue() >= period.getNoPrefixValue()) return ErrorValueOutOfRange;
    ttl.durationCoder->encode(duration.converted(ttl.durationRange.prefix).value, txMessage);
    ttl.periodCoder->encode(period.converted(ttl.periodRange.prefix).value, txMessage);
    ttl.delayCoder->encode(delay.converted(ttl.delayRange.prefix).value, txMessage);
    ttl.pulsesCoder->encode(pulses, txMessage);
    strobe(*ttl.startCoder);
    return Success;
}

} // namespace kv4CommLib
