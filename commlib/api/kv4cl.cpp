#include "commlib/api/kv4cl.h"

#include "commlib/api/catalogue.h"
#include "commlib/api/devicelist.h"
#include "commlib/transport/ftdiwrappers.h"

#include <cmath>
#include <set>

namespace kv4cl {

using kv4CommLib::deviceList;
using kv4CommLib::MessageDispatcher;
using kv4CommLib::ProtocolFamily;

namespace {
// Values are checked once here, at the entry: no model sees NaN, an infinity or a prefix
// outside the table.
template <typename... M> bool usable(const M&... values) {
    return (isUsable(values) && ...);
}

bool usable(const std::vector<Measurement_t>& values) {
    for (const Measurement_t& m : values)
        if (!isUsable(m)) return false;
    return true;
}

// Nothing connected is the answer whatever the arguments; then unusable values are refused.
template <typename... M> ErrorCodes_t refuseUnusable(const M&... values) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    return usable(values...) ? Success : ErrorValueOutOfRange;
}

// Getters ask the first device: all connected devices are of one type.
template <typename F> ErrorCodes_t ask(F&& f) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    return f(deviceList().first());
}

template <typename F> ErrorCodes_t setOnAll(F&& f) {
    return deviceList().forEach(std::forward<F>(f));
}

ErrorCodes_t getFamily(ProtocolFamily family, std::vector<std::string>& names,
                       std::vector<RangedMeasurement_t>& ranges, std::vector<Measurement_t>& defaults) {
    return ask([&](MessageDispatcher& d) {
        const auto& params = d.protocolParameters[family];
        if (d.protocolNames.empty() || params.names.empty()) return ErrorFeatureNotImplemented;
        names = params.names;
        ranges = params.ranges;
        defaults = params.defaults;
        return Success;
    });
}

ErrorCodes_t setFamily(ProtocolFamily family, uint16_t paramIdx, const Measurement_t& value) {
    if (const ErrorCodes_t e = refuseUnusable(value); e != Success) return e;
    return setOnAll(
        [&](MessageDispatcher& d) { return d.setProtocolParameter(family, paramIdx, value, true); });
}

ErrorCodes_t checkFamily(ProtocolFamily family, uint16_t paramIdx, const Measurement_t& value,
                         std::string& message) {
    if (const ErrorCodes_t e = refuseUnusable(value); e != Success) return e;
    return ask(
        [&](MessageDispatcher& d) { return d.checkProtocolParameter(family, paramIdx, value, message); });
}
} // namespace

// ---- Detection and connection ----------------------------------------------------------------

ErrorCodes_t detectDevices(std::vector<std::string>& deviceIds) {
    deviceIds.clear();
    uint32_t count = 0;
    if (!kv4CommLib::listInterfaces(count)) return ErrorDevicesDetectionFailed;
    // A device is a dual-channel chip: fewer than two interfaces cannot be one.
    if (count < 2) return ErrorNoDevicesDetected;
    std::set<std::string> ids;
    for (uint32_t i = 0; i < count; i++) {
        const std::string id = kv4CommLib::serialOfInterface(i, true);
        if (!id.empty()) ids.insert(id);
    }
    deviceIds.assign(ids.begin(), ids.end());
    return Success;
}

ErrorCodes_t getDeviceInfo(const std::string& deviceId, uint8_t& deviceVersion, uint8_t& deviceSubversion,
                           uint32_t& firmwareVersion) {
    const std::unique_ptr<kv4CommLib::FtdiEeprom> eeprom = kv4CommLib::makeEeprom(deviceId);
    if (!eeprom) return ErrorEepromNotRecognized;
    deviceVersion = uint8_t(eeprom->deviceVersion);
    deviceSubversion = uint8_t(eeprom->deviceSubversion);
    firmwareVersion = eeprom->firmwareVersion;
    return Success;
}

ErrorCodes_t connect(const std::vector<std::string>& deviceIds) {
    return deviceList().connect(deviceIds);
}

ErrorCodes_t disconnect() {
    return deviceList().disconnect();
}

ErrorCodes_t getConnectedDevicesInfo(std::vector<std::string>& deviceIds,
                                     std::vector<uint8_t>& deviceVersions,
                                     std::vector<uint8_t>& deviceSubversions,
                                     std::vector<uint32_t>& firmwareVersions) {
    deviceIds.clear();
    deviceVersions.clear();
    deviceSubversions.clear();
    firmwareVersions.clear();
    return deviceList().forEach([&](MessageDispatcher& d) {
        const kv4CommLib::FtdiEeprom* identity = d.identity();
        if (!identity) return ErrorEepromNotConnected;
        deviceIds.push_back(d.deviceId);
        deviceVersions.push_back(uint8_t(identity->deviceVersion));
        deviceSubversions.push_back(uint8_t(identity->deviceSubversion));
        firmwareVersions.push_back(identity->firmwareVersion);
        return Success;
    });
}

// ---- Channel layout and device description ----------------------------------------------------

ErrorCodes_t getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels, uint32_t& gpChannels) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    voltageChannels = deviceList().voltageChannelsNum;
    currentChannels = deviceList().totalCurrentChannels;
    gpChannels = deviceList().totalGpChannels;
    return Success;
}

ErrorCodes_t getHeaderTemplate(std::string& header) {
    const uint32_t devices = deviceList().devicesNum;
    return ask([&](MessageDispatcher& d) {
        header = d.headerTemplate;
        // The template counts one device's channels; several devices record as one.
        const std::string key = "\nChannels: ";
        if (const size_t at = header.find(key); devices > 1 && at != std::string::npos) {
            const size_t from = at + key.size();
            const size_t to = header.find('\n', from);
            const unsigned long channels = std::stoul(header.substr(from, to - from));
            header.replace(from, to - from, std::to_string(channels * devices));
        }
        return Success;
    });
}

ErrorCodes_t getCurrentRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        ranges = d.currentRanges;
        defaultIdx = d.defaultCurrentRangeIdx;
        return Success;
    });
}

ErrorCodes_t getCurrentRange(RangedMeasurement_t& range, uint16_t channelIdx) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    if (channelIdx >= deviceList().totalCurrentChannels) return ErrorValueOutOfRange;
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        range = d.selectedCurrentRanges[local];
        return Success;
    });
}

ErrorCodes_t getVoltageRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageRanges.empty()) return ErrorFeatureNotImplemented;
        ranges = d.voltageRanges;
        defaultIdx = d.defaultVoltageRangeIdx;
        return Success;
    });
}

ErrorCodes_t getVoltageRange(RangedMeasurement_t& range) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageRanges.empty()) return ErrorFeatureNotImplemented;
        range = d.voltageRanges[d.selectedVoltageRangeIdx];
        return Success;
    });
}

ErrorCodes_t getGpRanges(std::vector<std::vector<RangedMeasurement_t>>& ranges,
                         std::vector<uint16_t>& defaultIdxs, std::vector<std::string>& names) {
    kv4CommLib::DeviceList& list = deviceList();
    return ask([&](MessageDispatcher& d) {
        if (d.gpChannelsNum == 0) return ErrorFeatureNotImplemented;
        ranges.clear();
        defaultIdxs.clear();
        names.clear();
        // One entry per GP channel across the devices; with several devices each name says
        // whose it is ("Vref monitor 2" is device 2's), counting from 1 as the user does.
        for (uint32_t device = 0; device < list.devicesNum; device++) {
            for (uint16_t g = 0; g < d.gpChannelsNum; g++) {
                ranges.push_back(g < d.gpRanges.size() ? d.gpRanges[g] : std::vector<RangedMeasurement_t>{});
                defaultIdxs.push_back(g < d.defaultGpRangeIdx.size() ? d.defaultGpRangeIdx[g] : 0);
                const std::string name = g < d.gpNames.size() ? d.gpNames[g] : "GP " + std::to_string(g + 1);
                names.push_back(list.devicesNum > 1 ? name + " " + std::to_string(device + 1) : name);
            }
        }
        return Success;
    });
}

ErrorCodes_t getGpRange(RangedMeasurement_t& range, uint16_t gpChannelIdx) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    if (deviceList().totalGpChannels == 0) return ErrorFeatureNotImplemented;
    return deviceList().forGpChannel(gpChannelIdx, [&](MessageDispatcher& d, uint16_t local) {
        if (local >= d.gpRanges.size()) return ErrorValueOutOfRange;
        range = d.gpRanges[local][d.selectedGpRangeIdx[local]];
        return Success;
    });
}

ErrorCodes_t getSamplingRates(std::vector<Measurement_t>& rates, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        rates = d.samplingRates;
        defaultIdx = d.defaultSamplingRateIdx;
        return Success;
    });
}

ErrorCodes_t getRealSamplingRates(std::vector<Measurement_t>& rates) {
    return ask([&](MessageDispatcher& d) {
        rates = d.realSamplingRates;
        return Success;
    });
}

ErrorCodes_t getSamplingRate(Measurement_t& rate) {
    return ask([&](MessageDispatcher& d) {
        rate = d.samplingRate;
        return Success;
    });
}

ErrorCodes_t getOversamplingRatios(std::vector<uint16_t>& ratios, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        if (!d.oversamplingAvailable) return ErrorFeatureNotImplemented;
        ratios = d.oversamplingRatios;
        defaultIdx = d.defaultOversamplingRatioIdx;
        return Success;
    });
}

ErrorCodes_t getVoltageStimulusLpfs(std::vector<Measurement_t>& filters, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageStimulusLpfs.empty()) return ErrorFeatureNotImplemented;
        filters = d.voltageStimulusLpfs;
        defaultIdx = d.defaultVoltageStimulusLpfIdx;
        return Success;
    });
}

ErrorCodes_t getOversamplingRatio(uint16_t& ratio) {
    return ask([&](MessageDispatcher& d) {
        if (!d.oversamplingAvailable) return ErrorFeatureNotImplemented;
        ratio = d.oversamplingRatio;
        return Success;
    });
}

ErrorCodes_t hasIndependentCurrentRanges(bool& independent) {
    return ask([&](MessageDispatcher& d) {
        independent = d.currentRangeCoders.size() > 1;
        return Success;
    });
}

ErrorCodes_t hasDigitalTrigger(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.digitalTriggerAvailable;
        return Success;
    });
}

// ---- Settings ---------------------------------------------------------------------------------

ErrorCodes_t setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx) {
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.setCurrentRange(rangeIdx, local, true);
    });
}

ErrorCodes_t setVoltageRange(uint16_t rangeIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setVoltageRange(rangeIdx, true); });
}

ErrorCodes_t setGpRange(uint16_t rangeIdx, uint16_t gpChannelIdx) {
    return deviceList().forGpChannel(gpChannelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.setGpRange(rangeIdx, local, true);
    });
}

ErrorCodes_t setSamplingRate(uint16_t rateIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setSamplingRate(rateIdx, true); });
}

ErrorCodes_t setOversamplingRatio(uint16_t ratioIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setOversamplingRatio(ratioIdx, true); });
}

ErrorCodes_t setVoltageStimulusLpf(uint16_t filterIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setVoltageStimulusLpf(filterIdx, true); });
}

ErrorCodes_t setDigitalFilter(const Measurement_t& cutoff, bool lowPass, bool enabled) {
    if (const ErrorCodes_t e = refuseUnusable(cutoff); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.setDigitalFilter(cutoff, lowPass, enabled); });
}

ErrorCodes_t getDigitalFilter(Measurement_t& cutoff, bool& lowPass, bool& inEffect) {
    return ask([&](MessageDispatcher& d) {
        Measurement_t half = d.samplingRate;
        half.value /= 2.0;
        cutoff = d.filterCutoff;
        lowPass = d.filterLowPass;
        inEffect = d.filterEnabled && cutoff.unit == half.unit && cutoff < half;
        return Success;
    });
}

ErrorCodes_t setDenoiserEnabled(bool enabled) {
    return setOnAll([&](MessageDispatcher& d) { return d.setDenoiserEnabled(enabled); });
}

ErrorCodes_t hasResetDenoiser(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.denoiserAvailable;
        return Success;
    });
}

ErrorCodes_t setChannelSwitchA(uint16_t channelIdx, bool on) {
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.setChannelSwitchA(local, on, true);
    });
}

ErrorCodes_t setChannelSwitchB(uint16_t channelIdx, bool on) {
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.setChannelSwitchB(local, on, true);
    });
}

ErrorCodes_t hasChannelSwitches(bool& bankA, bool& bankB) {
    return ask([&](MessageDispatcher& d) {
        bankA = d.hasSwitchBankA();
        bankB = d.hasSwitchBankB();
        return Success;
    });
}

ErrorCodes_t setSingleSwitch(bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.setSingleSwitch(on, true); });
}

ErrorCodes_t resetDevice() {
    return setOnAll([](MessageDispatcher& d) { return d.resetDevice(); });
}

ErrorCodes_t holdReset(bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.holdReset(on); });
}

// ---- Voltage reference ------------------------------------------------------------------------

ErrorCodes_t getVoltageReferenceRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageReferenceRanges.empty()) return ErrorFeatureNotImplemented;
        ranges = d.voltageReferenceRanges;
        defaultIdx = d.defaultVoltageReferenceRangeIdx;
        return Success;
    });
}

ErrorCodes_t setVoltageReferenceRange(uint16_t rangeIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setVoltageReferenceRange(rangeIdx, true); });
}

ErrorCodes_t setVoltageReference(const Measurement_t& value) {
    if (const ErrorCodes_t e = refuseUnusable(value); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.setVoltageReference(value, true); });
}

ErrorCodes_t getVoltageReferenceLpfs(std::vector<Measurement_t>& filters, uint16_t& defaultIdx) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageReferenceLpfs.empty()) return ErrorFeatureNotImplemented;
        filters = d.voltageReferenceLpfs;
        defaultIdx = d.defaultVoltageReferenceLpfIdx;
        return Success;
    });
}

ErrorCodes_t setVoltageReferenceLpf(uint16_t filterIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setVoltageReferenceLpf(filterIdx, true); });
}

ErrorCodes_t getVoltageFilterAvailability(std::vector<uint16_t>& codes) {
    return ask([&](MessageDispatcher& d) {
        if (d.voltageFilterAvailability.empty()) return ErrorFeatureNotImplemented;
        codes = d.voltageFilterAvailability;
        return Success;
    });
}

// ---- LEDs and custom values ---------------------------------------------------------------------

ErrorCodes_t getLeds(std::vector<uint32_t>& colors) {
    return ask([&](MessageDispatcher& d) {
        if (d.ledCoders.empty()) return ErrorFeatureNotImplemented;
        colors = d.ledColors;
        return Success;
    });
}

ErrorCodes_t setLed(uint16_t ledIdx, bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.setLed(ledIdx, on); });
}

ErrorCodes_t getCustomDoublesList(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                  std::vector<double>& defaults) {
    return ask([&](MessageDispatcher& d) {
        if (d.customDoubleCoders.empty()) return ErrorFeatureNotImplemented;
        names = d.customDoubleNames;
        ranges = d.customDoubleRanges;
        defaults = d.customDoubleDefaults;
        return Success;
    });
}

ErrorCodes_t setCustomDouble(uint16_t doubleIdx, double value) {
    if (deviceList().empty()) return ErrorDeviceNotConnected;
    if (!std::isfinite(value)) return ErrorValueOutOfRange;
    return setOnAll([&](MessageDispatcher& d) { return d.setCustomDouble(doubleIdx, value); });
}

// ---- Compensations ----------------------------------------------------------------------------

ErrorCodes_t getCFastControl(CompensationControl_t& control) {
    return ask([&](MessageDispatcher& d) {
        if (!d.cFast.available()) return ErrorCommandNotImplemented;
        control = d.cFast.control;
        return Success;
    });
}

ErrorCodes_t selectCompensationChannel(uint16_t channelIdx) {
    const ErrorCodes_t err = deviceList().forChannel(
        channelIdx, [](MessageDispatcher& d, uint16_t local) { return d.selectCompensationChannel(local); });
    if (err == Success) deviceList().compensationChannel = channelIdx;
    return err;
}

ErrorCodes_t setCFast(const Measurement_t& value, bool enabled) {
    if (const ErrorCodes_t e = refuseUnusable(value); e != Success) return e;
    return deviceList().forChannel(deviceList().compensationChannel, [&](MessageDispatcher& d, uint16_t) {
        return d.setCFast(value, enabled);
    });
}

// ---- Voltage offsets ------------------------------------------------------------------------------

ErrorCodes_t getVoltageOffsetControls(RangedMeasurement_t& offsetRange,
                                      RangedMeasurement_t& rampDurationRange) {
    return ask([&](MessageDispatcher& d) {
        if (!d.voltageOffsets.available()) return ErrorFeatureNotImplemented;
        offsetRange = d.voltageOffsets.range;
        rampDurationRange = d.voltageOffsets.rampDurationRange;
        return Success;
    });
}

ErrorCodes_t getVoltageOffsets(std::vector<Measurement_t>& offsets) {
    offsets.clear();
    return deviceList().forEach([&](MessageDispatcher& d) {
        std::vector<Measurement_t> own;
        const ErrorCodes_t err = d.getVoltageOffsets(own);
        offsets.insert(offsets.end(), own.begin(), own.end());
        return err;
    });
}

ErrorCodes_t checkVoltageOffset(uint16_t channelIdx, const Measurement_t& offset, std::string& message) {
    if (const ErrorCodes_t e = refuseUnusable(offset); e != Success) return e;
    if (!deviceList().empty() && channelIdx >= deviceList().totalCurrentChannels) return ErrorValueOutOfRange;
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.checkVoltageOffset(local, offset, message);
    });
}

ErrorCodes_t setVoltageOffset(uint16_t channelIdx, const Measurement_t& offset) {
    if (const ErrorCodes_t e = refuseUnusable(offset); e != Success) return e;
    return deviceList().forChannel(
        channelIdx, [&](MessageDispatcher& d, uint16_t local) { return d.setVoltageOffset(local, offset); });
}

ErrorCodes_t startVoltageOffsetRamp(uint16_t channelIdx, const Measurement_t& initial,
                                    const Measurement_t& final, const Measurement_t& duration) {
    if (const ErrorCodes_t e = refuseUnusable(initial, final, duration); e != Success) return e;
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.startVoltageOffsetRamp(local, initial, final, duration);
    });
}

// ---- Fast-pulses protocol ---------------------------------------------------------------------

ErrorCodes_t getFastPulsesWaveform1(uint16_t& segments, RangedMeasurement_t& voltageRange,
                                    RangedMeasurement_t& durationRange) {
    return ask([&](MessageDispatcher& d) {
        const auto& fp = d.fastPulses;
        if (!fp.available()) return ErrorFeatureNotImplemented;
        segments = fp.segments;
        voltageRange = fp.ranges[kv4CommLib::SegmentVoltage];
        durationRange = fp.ranges[kv4CommLib::SegmentDuration];
        return Success;
    });
}

ErrorCodes_t getFastPulsesWaveform2(uint16_t& pulses, RangedMeasurement_t& voltageRange,
                                    RangedMeasurement_t& waitRange, RangedMeasurement_t& durationRange,
                                    RangedMeasurement_t& periodRange, uint16_t& maxPulseCount) {
    return ask([&](MessageDispatcher& d) {
        const auto& fp = d.fastPulses;
        if (!fp.available()) return ErrorFeatureNotImplemented;
        pulses = fp.pulses;
        voltageRange = fp.ranges[kv4CommLib::PulseVoltage];
        waitRange = fp.ranges[kv4CommLib::PulseWait];
        durationRange = fp.ranges[kv4CommLib::PulseDuration];
        periodRange = fp.ranges[kv4CommLib::PulsePeriod];
        maxPulseCount = fp.maxPulseCount;
        return Success;
    });
}

ErrorCodes_t getFastPulsesProtocol(uint16_t& protocolIdx) {
    return ask([&](MessageDispatcher& d) {
        if (!d.fastPulses.available()) return ErrorFeatureNotImplemented;
        protocolIdx = d.fastPulses.protocolIdx;
        return Success;
    });
}

namespace {
ErrorCodes_t setFastPulsesField(kv4CommLib::FastPulsesField field, uint16_t row, const Measurement_t& value) {
    if (const ErrorCodes_t e = refuseUnusable(value); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.setFastPulses(field, row, value); });
}
} // namespace

ErrorCodes_t setFastPulsesSegmentVoltage(uint16_t segmentIdx, const Measurement_t& voltage) {
    return setFastPulsesField(kv4CommLib::SegmentVoltage, segmentIdx, voltage);
}
ErrorCodes_t setFastPulsesSegmentDuration(uint16_t segmentIdx, const Measurement_t& duration) {
    return setFastPulsesField(kv4CommLib::SegmentDuration, segmentIdx, duration);
}
ErrorCodes_t setFastPulsesPulseVoltage(uint16_t pulseIdx, const Measurement_t& voltage) {
    return setFastPulsesField(kv4CommLib::PulseVoltage, pulseIdx, voltage);
}
ErrorCodes_t setFastPulsesPulseWait(uint16_t pulseIdx, const Measurement_t& wait) {
    return setFastPulsesField(kv4CommLib::PulseWait, pulseIdx, wait);
}
ErrorCodes_t setFastPulsesPulseDuration(uint16_t pulseIdx, const Measurement_t& duration) {
    return setFastPulsesField(kv4CommLib::PulseDuration, pulseIdx, duration);
}
ErrorCodes_t setFastPulsesPulsePeriod(uint16_t pulseIdx, const Measurement_t& period) {
    return setFastPulsesField(kv4CommLib::PulsePeriod, pulseIdx, period);
}
ErrorCodes_t setFastPulsesPulseCount(uint16_t pulseIdx, uint16_t count) {
    return setFastPulsesField(kv4CommLib::PulseCount, pulseIdx, {double(count), UnitPfxNone, ""});
}

// ---- Stimulus protocols -----------------------------------------------------------------------

ErrorCodes_t getProtocolList(std::vector<std::string>& names, std::vector<std::string>& images,
                             std::vector<std::vector<uint16_t>>& voltageIdxs,
                             std::vector<std::vector<uint16_t>>& timeIdxs,
                             std::vector<std::vector<uint16_t>>& slopeIdxs,
                             std::vector<std::vector<uint16_t>>& frequencyIdxs,
                             std::vector<std::vector<uint16_t>>& adimensionalIdxs) {
    return ask([&](MessageDispatcher& d) {
        if (d.protocolNames.empty()) return ErrorFeatureNotImplemented;
        names = d.protocolNames;
        images = d.protocolImages;
        // A family that no protocol uses gets an empty index list per protocol.
        const auto perProtocol = [&](ProtocolFamily f) {
            auto idxs = d.protocolParameterIdxs[f];
            idxs.resize(d.protocolNames.size());
            return idxs;
        };
        voltageIdxs = perProtocol(kv4CommLib::ProtocolVoltage);
        timeIdxs = perProtocol(kv4CommLib::ProtocolTime);
        slopeIdxs = perProtocol(kv4CommLib::ProtocolSlope);
        frequencyIdxs = perProtocol(kv4CommLib::ProtocolFrequency);
        adimensionalIdxs = perProtocol(kv4CommLib::ProtocolAdimensional);
        return Success;
    });
}

ErrorCodes_t getDefaultProtocol(uint16_t& protocolIdx) {
    return ask([&](MessageDispatcher& d) {
        if (d.protocolNames.empty()) return ErrorFeatureNotImplemented;
        protocolIdx = d.defaultProtocolIdx;
        return Success;
    });
}

ErrorCodes_t getREstimationProtocol(uint16_t& protocolIdx) {
    return ask([&](MessageDispatcher& d) {
        if (!d.resistanceEstimationProtocolIdx) return ErrorFeatureNotImplemented;
        protocolIdx = *d.resistanceEstimationProtocolIdx;
        return Success;
    });
}

ErrorCodes_t getCEstimationProtocol(uint16_t& protocolIdx) {
    return ask([&](MessageDispatcher& d) {
        if (!d.capacitanceEstimationProtocolIdx) return ErrorFeatureNotImplemented;
        protocolIdx = *d.capacitanceEstimationProtocolIdx;
        return Success;
    });
}

ErrorCodes_t getProtocolVoltage(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                std::vector<Measurement_t>& defaults) {
    return getFamily(kv4CommLib::ProtocolVoltage, names, ranges, defaults);
}
ErrorCodes_t getProtocolTime(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                             std::vector<Measurement_t>& defaults) {
    return getFamily(kv4CommLib::ProtocolTime, names, ranges, defaults);
}
ErrorCodes_t getProtocolSlope(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                              std::vector<Measurement_t>& defaults) {
    return getFamily(kv4CommLib::ProtocolSlope, names, ranges, defaults);
}
ErrorCodes_t getProtocolFrequency(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                  std::vector<Measurement_t>& defaults) {
    return getFamily(kv4CommLib::ProtocolFrequency, names, ranges, defaults);
}
ErrorCodes_t getProtocolAdimensional(std::vector<std::string>& names,
                                     std::vector<RangedMeasurement_t>& ranges,
                                     std::vector<Measurement_t>& defaults) {
    return getFamily(kv4CommLib::ProtocolAdimensional, names, ranges, defaults);
}

ErrorCodes_t setProtocolVoltage(uint16_t paramIdx, const Measurement_t& value) {
    return setFamily(kv4CommLib::ProtocolVoltage, paramIdx, value);
}
ErrorCodes_t setProtocolTime(uint16_t paramIdx, const Measurement_t& value) {
    return setFamily(kv4CommLib::ProtocolTime, paramIdx, value);
}
ErrorCodes_t setProtocolSlope(uint16_t paramIdx, const Measurement_t& value) {
    return setFamily(kv4CommLib::ProtocolSlope, paramIdx, value);
}
ErrorCodes_t setProtocolFrequency(uint16_t paramIdx, const Measurement_t& value) {
    return setFamily(kv4CommLib::ProtocolFrequency, paramIdx, value);
}
ErrorCodes_t setProtocolAdimensional(uint16_t paramIdx, const Measurement_t& value) {
    return setFamily(kv4CommLib::ProtocolAdimensional, paramIdx, value);
}

ErrorCodes_t selectProtocol(uint16_t protocolIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.selectProtocol(protocolIdx, true); });
}

ErrorCodes_t applyProtocol() {
    return setOnAll([](MessageDispatcher& d) { return d.applyProtocol(); });
}

ErrorCodes_t validateProtocol(std::string& message) {
    return ask([&](MessageDispatcher& d) { return d.validateProtocol(message); });
}

ErrorCodes_t validateProtocol(uint16_t protocolIdx, const std::vector<Measurement_t>& voltages,
                              const std::vector<Measurement_t>& times,
                              const std::vector<Measurement_t>& slopes,
                              const std::vector<Measurement_t>& frequencies,
                              const std::vector<Measurement_t>& adimensionals, std::string& message) {
    for (const auto* family : {&voltages, &times, &slopes, &frequencies, &adimensionals})
        if (const ErrorCodes_t e = refuseUnusable(*family); e != Success) return e;
    const kv4CommLib::ProtocolValues candidate{
        .protocolIdx = protocolIdx, .values = {voltages, times, slopes, frequencies, adimensionals}};
    return ask([&](MessageDispatcher& d) {
        if (d.protocolNames.empty()) return ErrorFeatureNotImplemented;
        const bool fastPulsesIdx = d.fastPulses.available() && protocolIdx == d.fastPulses.protocolIdx;
        if (protocolIdx >= d.protocolNames.size() && !fastPulsesIdx) return ErrorValueOutOfRange;
        // A parameter the protocol uses without a value would be judged as 0.
        for (size_t f = 0; f < kv4CommLib::ProtocolFamiliesNum; f++) {
            const auto& used = d.protocolParameterIdxs[f];
            if (protocolIdx >= used.size()) continue;
            for (const uint16_t idx : used[protocolIdx])
                if (idx >= candidate.values[f].size()) {
                    message = d.protocolParameters[f].names.at(idx) + "\nhas no value";
                    return ErrorValueOutOfRange;
                }
        }
        return d.validateProtocolValues(candidate, message);
    });
}

ErrorCodes_t checkProtocolVoltage(uint16_t paramIdx, const Measurement_t& value, std::string& message) {
    return checkFamily(kv4CommLib::ProtocolVoltage, paramIdx, value, message);
}
ErrorCodes_t checkProtocolTime(uint16_t paramIdx, const Measurement_t& value, std::string& message) {
    return checkFamily(kv4CommLib::ProtocolTime, paramIdx, value, message);
}
ErrorCodes_t checkProtocolSlope(uint16_t paramIdx, const Measurement_t& value, std::string& message) {
    return checkFamily(kv4CommLib::ProtocolSlope, paramIdx, value, message);
}
ErrorCodes_t checkProtocolFrequency(uint16_t paramIdx, const Measurement_t& value, std::string& message) {
    return checkFamily(kv4CommLib::ProtocolFrequency, paramIdx, value, message);
}
ErrorCodes_t checkProtocolAdimensional(uint16_t paramIdx, const Measurement_t& value, std::string& message) {
    return checkFamily(kv4CommLib::ProtocolAdimensional, paramIdx, value, message);
}

ErrorCodes_t hasProtocolAuxiliarySwitch(bool& available) {
    return ask([&](MessageDispatcher&) {
        available = false;
        return Success;
    });
}

// ---- Voltage pulses ---------------------------------------------------------------------------

ErrorCodes_t getInsertionPulseControls(RangedMeasurement_t& voltageRange,
                                       RangedMeasurement_t& durationRange) {
    return ask([&](MessageDispatcher& d) {
        if (!d.insertionPulse.available()) return ErrorFeatureNotImplemented;
        voltageRange = d.insertionPulse.voltageRange;
        durationRange = d.insertionPulse.durationRange;
        return Success;
    });
}

ErrorCodes_t setInsertionPulse(const Measurement_t& voltage, const Measurement_t& duration) {
    if (const ErrorCodes_t e = refuseUnusable(voltage, duration); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.setInsertionPulse(voltage, duration); });
}

ErrorCodes_t getReferencePulseControls(RangedMeasurement_t& voltageRange,
                                       RangedMeasurement_t& durationRange) {
    return ask([&](MessageDispatcher& d) {
        if (!d.referencePulse.available()) return ErrorFeatureNotImplemented;
        voltageRange = d.referencePulse.voltageRange;
        durationRange = d.referencePulse.durationRange;
        return Success;
    });
}

ErrorCodes_t setReferencePulse(const Measurement_t& voltage, const Measurement_t& duration) {
    if (const ErrorCodes_t e = refuseUnusable(voltage, duration); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.setReferencePulse(voltage, duration); });
}

ErrorCodes_t getReferencePulseTrainControls(RangedMeasurement_t& periodRange, uint16_t& maxCount) {
    return ask([&](MessageDispatcher& d) {
        if (!d.referencePulseTrain.available()) return ErrorFeatureNotImplemented;
        periodRange = d.referencePulseTrain.periodRange;
        maxCount = d.referencePulseTrain.maxCount;
        return Success;
    });
}

ErrorCodes_t setReferencePulseTrain(const Measurement_t& voltage, const Measurement_t& duration,
                                    const Measurement_t& period, uint16_t count) {
    if (const ErrorCodes_t e = refuseUnusable(voltage, duration, period); e != Success) return e;
    return setOnAll(
        [&](MessageDispatcher& d) { return d.setReferencePulseTrain(voltage, duration, period, count); });
}

ErrorCodes_t overrideReferencePulse(bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.overrideReferencePulse(on); });
}

// ---- Model-defined extra controls -------------------------------------------------------------

ErrorCodes_t getSwitchesList(std::vector<std::string>& names, std::vector<bool>& defaults) {
    return ask([&](MessageDispatcher& d) {
        if (d.switchCoders.empty()) return ErrorFeatureNotImplemented;
        names = d.switchNames;
        defaults = d.switchDefaults;
        return Success;
    });
}

ErrorCodes_t setSwitch(uint16_t switchIdx, bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.setSwitch(switchIdx, on); });
}

ErrorCodes_t getChoicesList(std::vector<std::string>& names, std::vector<std::vector<std::string>>& options,
                            std::vector<uint16_t>& defaults) {
    return ask([&](MessageDispatcher& d) {
        if (d.choiceCoders.empty()) return ErrorFeatureNotImplemented;
        names = d.choiceNames;
        options = d.choiceOptions;
        defaults = d.choiceDefaults;
        return Success;
    });
}

ErrorCodes_t setChoice(uint16_t choiceIdx, uint16_t optionIdx) {
    return setOnAll([&](MessageDispatcher& d) { return d.setChoice(choiceIdx, optionIdx); });
}

ErrorCodes_t setRawBit(uint16_t byte, uint8_t bit, bool value) {
    return setOnAll([&](MessageDispatcher& d) { return d.setRawBit(byte, bit, value); });
}

ErrorCodes_t setRawField(uint16_t byte, uint8_t value) {
    return setOnAll([&](MessageDispatcher& d) { return d.setRawField(byte, value); });
}

// ---- Data -------------------------------------------------------------------------------------

ErrorCodes_t getDataStatus(DataStatus_t& status) {
    return deviceList().getDataStatus(status);
}

ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                         uint16_t*& unfilteredBuffer) {
    return deviceList().readSamples(frames, framesRead, buffer, unfilteredBuffer);
}

ErrorCodes_t readFramesLost(std::vector<FramesLost_t>& losses) {
    return deviceList().readFramesLost(losses);
}

ErrorCodes_t flushData(bool purgeDriver) {
    return deviceList().flushData(purgeDriver);
}

ErrorCodes_t resetDriftEstimator() {
    kv4CommLib::DeviceList& list = deviceList();
    if (list.empty()) return ErrorDeviceNotConnected;
    list.resetDrift();
    return Success;
}

ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) {
    return deviceList().currentFromRaw(raw, channelIdx, value);
}

ErrorCodes_t voltageFromRaw(int16_t raw, double& value) {
    return ask([&](MessageDispatcher& d) {
        value = d.convertVoltage(raw);
        return Success;
    });
}

ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) {
    return deviceList().forGpChannel(gpChannelIdx, [&](MessageDispatcher& d, uint16_t local) {
        value = d.convertGp(raw, local);
        return Success;
    });
}

// ---- Calibration memory -------------------------------------------------------------------------

ErrorCodes_t setSpiMode(bool on) {
    return ask([&](MessageDispatcher& d) { return d.setSpiMode(on); });
}

ErrorCodes_t readCalibration(std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                             const std::vector<uint32_t>& sizes) {
    return ask([&](MessageDispatcher& d) { return d.readCalibration(values, addresses, sizes); });
}

ErrorCodes_t writeCalibration(const std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                              const std::vector<uint32_t>& sizes) {
    return ask([&](MessageDispatcher& d) { return d.writeCalibration(values, addresses, sizes); });
}

// ---- FTDI EEPROM words --------------------------------------------------------------------------

ErrorCodes_t readEepromWord(uint32_t address, uint16_t& value) {
    return ask([&](MessageDispatcher& d) { return d.readEepromWord(address, value); });
}

ErrorCodes_t writeEepromWord(uint32_t address, uint16_t value) {
    return ask([&](MessageDispatcher& d) { return d.writeEepromWord(address, value); });
}

// ---- Optional controls -------------------------------------------------------------------------

ErrorCodes_t hasTemperatureControllerOption(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.temperatureControllerOption;
        return Success;
    });
}

ErrorCodes_t zap(uint16_t channelIdx) {
    return deviceList().forChannel(channelIdx,
                                   [](MessageDispatcher& d, uint16_t local) { return d.zap(local); });
}

ErrorCodes_t hasZap(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.zapControls.available();
        return Success;
    });
}

ErrorCodes_t hasDigitalOffsetCompensation(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.digitalOffsetCompensationControls.available();
        return Success;
    });
}

ErrorCodes_t digitalOffsetCompensation(uint16_t channelIdx, bool on) {
    return deviceList().forChannel(channelIdx, [&](MessageDispatcher& d, uint16_t local) {
        return d.digitalOffsetCompensation(local, on);
    });
}

ErrorCodes_t hasDigitalOffsetCompensationAutostop(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.digitalOffsetCompensationControls.autostopCoder != nullptr;
        return Success;
    });
}

ErrorCodes_t setDigitalOffsetCompensationAutostop(bool on) {
    return setOnAll([&](MessageDispatcher& d) { return d.setDigitalOffsetCompensationAutostop(on); });
}

ErrorCodes_t getDigitalOffsetCompensationStates(std::vector<bool>& running) {
    running.clear();
    return deviceList().forEach([&](MessageDispatcher& d) {
        std::vector<bool> own;
        const ErrorCodes_t err = d.getDigitalOffsetCompensationStates(own);
        running.insert(running.end(), own.begin(), own.end());
        return err;
    });
}

ErrorCodes_t hasTtlOutput(bool& available) {
    return ask([&](MessageDispatcher& d) {
        available = d.ttlOutput.available();
        return Success;
    });
}

ErrorCodes_t getTtlOutputControls(RangedMeasurement_t& durationRange, RangedMeasurement_t& periodRange,
                                  RangedMeasurement_t& delayRange, uint16_t& maxPulses) {
    return ask([&](MessageDispatcher& d) {
        const auto& ttl = d.ttlOutput;
        if (!ttl.available()) return ErrorFeatureNotImplemented;
        durationRange = ttl.durationRange;
        periodRange = ttl.periodRange;
        delayRange = ttl.delayRange;
        maxPulses = ttl.maxPulses;
        return Success;
    });
}

ErrorCodes_t startTtlPulses(const Measurement_t& duration, const Measurement_t& period,
                            const Measurement_t& delay, uint16_t pulses) {
    if (const ErrorCodes_t e = refuseUnusable(duration, period, delay); e != Success) return e;
    return setOnAll([&](MessageDispatcher& d) { return d.startTtlPulses(duration, period, delay, pulses); });
}

// ---- Washer -----------------------------------------------------------------------------------

ErrorCodes_t getWasherSpeedRange(RangedMeasurement_t& range) {
    return ask([&](MessageDispatcher& d) { return d.getWasherSpeedRange(range); });
}
ErrorCodes_t getWasherPresetSpeeds(std::vector<int8_t>& speeds) {
    return ask([&](MessageDispatcher& d) { return d.getWasherPresetSpeeds(speeds); });
}
ErrorCodes_t getWasherStatus(int8_t& errorCode, std::vector<int8_t>& speeds) {
    return ask([&](MessageDispatcher& d) { return d.getWasherStatus(errorCode, speeds); });
}
ErrorCodes_t setWasherPresetSpeeds(const std::vector<int8_t>& speeds) {
    return ask([&](MessageDispatcher& d) { return d.setWasherPresetSpeeds(speeds); });
}
ErrorCodes_t startWasher(uint16_t presetIdx) {
    return ask([&](MessageDispatcher& d) { return d.startWasher(presetIdx); });
}
ErrorCodes_t resetWasherError() {
    return ask([](MessageDispatcher& d) { return d.resetWasherError(); });
}
ErrorCodes_t updateWasherState() {
    return ask([](MessageDispatcher& d) { return d.updateWasherState(); });
}
ErrorCodes_t updateWasherPresetSpeeds() {
    return ask([](MessageDispatcher& d) { return d.updateWasherPresetSpeeds(); });
}

} // namespace kv4cl
