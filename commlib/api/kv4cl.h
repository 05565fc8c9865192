#pragma once
// The library's public functions. Every function returns an ErrorCodes_t and gives its
// results through reference arguments; nothing is thrown. Several devices of one type
// connected together act as one: their current channels are numbered consecutively
// (channel c belongs to device c / channels-per-device) and the index equal to the total
// channel count means "all channels".

#include "commlib/types/kv4cltypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kv4cl {

// ---- Detection and connection ----------------------------------------------------------------
ErrorCodes_t detectDevices(std::vector<std::string>& deviceIds);
ErrorCodes_t getDeviceInfo(const std::string& deviceId, uint8_t& deviceVersion, uint8_t& deviceSubversion,
                           uint32_t& firmwareVersion);
ErrorCodes_t connect(const std::vector<std::string>& deviceIds);
ErrorCodes_t disconnect();
// The connected devices in channel order, with the identity their EEPROM gave at connection.
ErrorCodes_t getConnectedDevicesInfo(std::vector<std::string>& deviceIds,
                                     std::vector<uint8_t>& deviceVersions,
                                     std::vector<uint8_t>& deviceSubversions,
                                     std::vector<uint32_t>& firmwareVersions);

// ---- Channel layout and device description ----------------------------------------------------
ErrorCodes_t getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels, uint32_t& gpChannels);
ErrorCodes_t getHeaderTemplate(std::string& header);
ErrorCodes_t getCurrentRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx);
ErrorCodes_t getCurrentRange(RangedMeasurement_t& range, uint16_t channelIdx);
ErrorCodes_t getVoltageRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx);
ErrorCodes_t getVoltageRange(RangedMeasurement_t& range);
ErrorCodes_t getGpRanges(std::vector<std::vector<RangedMeasurement_t>>& ranges,
                         std::vector<uint16_t>& defaultIdxs, std::vector<std::string>& names);
ErrorCodes_t getGpRange(RangedMeasurement_t& range, uint16_t gpChannelIdx);
ErrorCodes_t getSamplingRates(std::vector<Measurement_t>& rates, uint16_t& defaultIdx);
ErrorCodes_t getRealSamplingRates(std::vector<Measurement_t>& rates);
// The effective rate: the real base rate times the oversampling ratio.
ErrorCodes_t getSamplingRate(Measurement_t& rate);
ErrorCodes_t getOversamplingRatios(std::vector<uint16_t>& ratios, uint16_t& defaultIdx);
ErrorCodes_t getVoltageStimulusLpfs(std::vector<Measurement_t>& filters, uint16_t& defaultIdx);

ErrorCodes_t getOversamplingRatio(uint16_t& ratio);
// False when one current range applies to every channel of a device.
ErrorCodes_t hasIndependentCurrentRanges(bool& independent);
ErrorCodes_t hasDigitalTrigger(bool& available);

// ---- Settings ---------------------------------------------------------------------------------
ErrorCodes_t setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx);
ErrorCodes_t setVoltageRange(uint16_t rangeIdx);
ErrorCodes_t setGpRange(uint16_t rangeIdx, uint16_t gpChannelIdx);
ErrorCodes_t setSamplingRate(uint16_t rateIdx);
ErrorCodes_t setOversamplingRatio(uint16_t ratioIdx);
ErrorCodes_t setVoltageStimulusLpf(uint16_t filterIdx);
ErrorCodes_t setDigitalFilter(const Measurement_t& cutoff, bool lowPass, bool enabled);
// The digital filter of the filtered data. inEffect is false while it is off or its cut-off
// is not below half the sampling rate: the filtered data are then the raw ones.
ErrorCodes_t getDigitalFilter(Measurement_t& cutoff, bool& lowPass, bool& inEffect);
ErrorCodes_t setDenoiserEnabled(bool enabled);
ErrorCodes_t hasResetDenoiser(bool& available);
// The two per-channel switch banks and the single switch whose meaning the model gives.
ErrorCodes_t setChannelSwitchA(uint16_t channelIdx, bool on);
ErrorCodes_t setChannelSwitchB(uint16_t channelIdx, bool on);
// Which of the two banks the model has: A switches channels on and off, B selects the channels
// the voltage stimulus is applied to.
ErrorCodes_t hasChannelSwitches(bool& bankA, bool& bankB);
ErrorCodes_t setSingleSwitch(bool on);
ErrorCodes_t resetDevice();
ErrorCodes_t holdReset(bool on);

// ---- Voltage reference ------------------------------------------------------------------------
ErrorCodes_t getVoltageReferenceRanges(std::vector<RangedMeasurement_t>& ranges, uint16_t& defaultIdx);
ErrorCodes_t setVoltageReferenceRange(uint16_t rangeIdx);
// A value within the selected reference range.
ErrorCodes_t setVoltageReference(const Measurement_t& value);
ErrorCodes_t getVoltageReferenceLpfs(std::vector<Measurement_t>& filters, uint16_t& defaultIdx);
ErrorCodes_t setVoltageReferenceLpf(uint16_t filterIdx);
// Per voltage range: 0 no filter, 1 the stimulus filter, 2 the reference filter, 3 both.
ErrorCodes_t getVoltageFilterAvailability(std::vector<uint16_t>& codes);

// ---- LEDs and custom values ---------------------------------------------------------------------
// Colours as 0xRRGGBB, one per LED.
ErrorCodes_t getLeds(std::vector<uint32_t>& colors);
ErrorCodes_t setLed(uint16_t ledIdx, bool on);
ErrorCodes_t getCustomDoublesList(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                  std::vector<double>& defaults);
ErrorCodes_t setCustomDouble(uint16_t doubleIdx, double value);

// ---- Compensations ----------------------------------------------------------------------------
// Fast capacitance compensation. Models without it answer ErrorCommandNotImplemented to the
// control query, and ErrorFeatureNotImplemented to the setters as to every absent setter.
ErrorCodes_t getCFastControl(CompensationControl_t& control);
// The channel the next setCFast applies to; the channel count selects all channels.
ErrorCodes_t selectCompensationChannel(uint16_t channelIdx);
ErrorCodes_t setCFast(const Measurement_t& value, bool enabled);

// ---- Voltage offsets ------------------------------------------------------------------------------
ErrorCodes_t getVoltageOffsetControls(RangedMeasurement_t& offsetRange,
                                      RangedMeasurement_t& rampDurationRange);
// The offsets the amplifier applies now, one per current channel.
ErrorCodes_t getVoltageOffsets(std::vector<Measurement_t>& offsets);
ErrorCodes_t checkVoltageOffset(uint16_t channelIdx, const Measurement_t& offset, std::string& message);
ErrorCodes_t setVoltageOffset(uint16_t channelIdx, const Measurement_t& offset);
ErrorCodes_t startVoltageOffsetRamp(uint16_t channelIdx, const Measurement_t& initial,
                                    const Measurement_t& final, const Measurement_t& duration);

// ---- Stimulus protocols -----------------------------------------------------------------------
// Per protocol, the indices of the voltage, time, slope, frequency and adimensional parameters it uses.
ErrorCodes_t getProtocolList(std::vector<std::string>& names, std::vector<std::string>& images,
                             std::vector<std::vector<uint16_t>>& voltageIdxs,
                             std::vector<std::vector<uint16_t>>& timeIdxs,
                             std::vector<std::vector<uint16_t>>& slopeIdxs,
                             std::vector<std::vector<uint16_t>>& frequencyIdxs,
                             std::vector<std::vector<uint16_t>>& adimensionalIdxs);
ErrorCodes_t getDefaultProtocol(uint16_t& protocolIdx);
// The protocols the resistance and capacitance estimations run; 0x50000 when the model has none.
ErrorCodes_t getREstimationProtocol(uint16_t& protocolIdx);
ErrorCodes_t getCEstimationProtocol(uint16_t& protocolIdx);
ErrorCodes_t getProtocolVoltage(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                std::vector<Measurement_t>& defaults);
ErrorCodes_t getProtocolTime(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                             std::vector<Measurement_t>& defaults);
ErrorCodes_t getProtocolSlope(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                              std::vector<Measurement_t>& defaults);
ErrorCodes_t getProtocolFrequency(std::vector<std::string>& names, std::vector<RangedMeasurement_t>& ranges,
                                  std::vector<Measurement_t>& defaults);
ErrorCodes_t getProtocolAdimensional(std::vector<std::string>& names,
                                     std::vector<RangedMeasurement_t>& ranges,
                                     std::vector<Measurement_t>& defaults);
ErrorCodes_t setProtocolVoltage(uint16_t paramIdx, const Measurement_t& value);
ErrorCodes_t setProtocolTime(uint16_t paramIdx, const Measurement_t& value);
ErrorCodes_t setProtocolSlope(uint16_t paramIdx, const Measurement_t& value);
ErrorCodes_t setProtocolFrequency(uint16_t paramIdx, const Measurement_t& value);
ErrorCodes_t setProtocolAdimensional(uint16_t paramIdx, const Measurement_t& value);
ErrorCodes_t selectProtocol(uint16_t protocolIdx);
ErrorCodes_t applyProtocol();
ErrorCodes_t validateProtocol(std::string& message);
// The same rules for a protocol and parameter values that the device has not been sent, such as
// those being edited: per group one value for each parameter, by index as the getters list them.
// Nothing is set or sent.
ErrorCodes_t validateProtocol(uint16_t protocolIdx, const std::vector<Measurement_t>& voltages,
                              const std::vector<Measurement_t>& times,
                              const std::vector<Measurement_t>& slopes,
                              const std::vector<Measurement_t>& frequencies,
                              const std::vector<Measurement_t>& adimensionals, std::string& message);
// One parameter against its range: ErrorInvalidProtocolParameters with a message such as
// "Vhold\nmust be within [-511,511]mV" when outside, ErrorValueOutOfRange past the family.
ErrorCodes_t checkProtocolVoltage(uint16_t paramIdx, const Measurement_t& value, std::string& message);
ErrorCodes_t checkProtocolTime(uint16_t paramIdx, const Measurement_t& value, std::string& message);
ErrorCodes_t checkProtocolSlope(uint16_t paramIdx, const Measurement_t& value, std::string& message);
ErrorCodes_t checkProtocolFrequency(uint16_t paramIdx, const Measurement_t& value, std::string& message);
ErrorCodes_t checkProtocolAdimensional(uint16_t paramIdx, const Measurement_t& value, std::string& message);
// Whether the model has the auxiliary protocol switch that a stop sequence clears and sets
// around the holding protocol. No model has one yet, so there is no setter.
ErrorCodes_t hasProtocolAuxiliarySwitch(bool& available);

// ---- Fast-pulses protocol ---------------------------------------------------------------------
// Waveform 1: millisecond voltage segments. Waveform 2: fast pulses, as trains when maxPulseCount > 0.
ErrorCodes_t getFastPulsesWaveform1(uint16_t& segments, RangedMeasurement_t& voltageRange,
                                    RangedMeasurement_t& durationRange);
ErrorCodes_t getFastPulsesWaveform2(uint16_t& pulses, RangedMeasurement_t& voltageRange,
                                    RangedMeasurement_t& waitRange, RangedMeasurement_t& durationRange,
                                    RangedMeasurement_t& periodRange, uint16_t& maxPulseCount);
// The protocol index that plays the two waveforms.
ErrorCodes_t getFastPulsesProtocol(uint16_t& protocolIdx);
ErrorCodes_t setFastPulsesSegmentVoltage(uint16_t segmentIdx, const Measurement_t& voltage);
ErrorCodes_t setFastPulsesSegmentDuration(uint16_t segmentIdx, const Measurement_t& duration);
ErrorCodes_t setFastPulsesPulseVoltage(uint16_t pulseIdx, const Measurement_t& voltage);
ErrorCodes_t setFastPulsesPulseWait(uint16_t pulseIdx, const Measurement_t& wait);
ErrorCodes_t setFastPulsesPulseDuration(uint16_t pulseIdx, const Measurement_t& duration);
ErrorCodes_t setFastPulsesPulsePeriod(uint16_t pulseIdx, const Measurement_t& period);
ErrorCodes_t setFastPulsesPulseCount(uint16_t pulseIdx, uint16_t count);

// ---- Voltage pulses ---------------------------------------------------------------------------
ErrorCodes_t getInsertionPulseControls(RangedMeasurement_t& voltageRange, RangedMeasurement_t& durationRange);
ErrorCodes_t setInsertionPulse(const Measurement_t& voltage, const Measurement_t& duration);
ErrorCodes_t getReferencePulseControls(RangedMeasurement_t& voltageRange, RangedMeasurement_t& durationRange);
ErrorCodes_t setReferencePulse(const Measurement_t& voltage, const Measurement_t& duration);
ErrorCodes_t getReferencePulseTrainControls(RangedMeasurement_t& periodRange, uint16_t& maxCount);
ErrorCodes_t setReferencePulseTrain(const Measurement_t& voltage, const Measurement_t& duration,
                                    const Measurement_t& period, uint16_t count);
// While on, the reference voltage is applied continuously.
ErrorCodes_t overrideReferencePulse(bool on);

// ---- Model-defined extra controls -------------------------------------------------------------
ErrorCodes_t getSwitchesList(std::vector<std::string>& names, std::vector<bool>& defaults);
ErrorCodes_t setSwitch(uint16_t switchIdx, bool on);
ErrorCodes_t getChoicesList(std::vector<std::string>& names, std::vector<std::vector<std::string>>& options,
                            std::vector<uint16_t>& defaults);
ErrorCodes_t setChoice(uint16_t choiceIdx, uint16_t optionIdx);
// Maintenance access to the command message.
ErrorCodes_t setRawBit(uint16_t byte, uint8_t bit, bool value);
ErrorCodes_t setRawField(uint16_t byte, uint8_t value);

// ---- Data -------------------------------------------------------------------------------------
ErrorCodes_t getDataStatus(DataStatus_t& status);
// The buffers stay owned by the library and are valid until the next call.
ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                         uint16_t*& unfilteredBuffer);
// Moves into `losses` (replacing its contents) the gaps whose place readSamples has already
// handed out and that were not reported yet, oldest first. Call it right after readSamples, from
// the same thread: `framesAfter` then counts back from the last frame just read. Frames that
// flushData discards are no loss. ErrorDeviceNotConnected when nothing is connected.
//
// The frame buffer's overrun (bufferOverflow) is counted exactly, before the first frame read
// after it. A break in the stream (a missing marker, an info index that skips between intact
// markers, a stall, bytes lost in the device or the driver) costs whole packets: from the last
// packet parsed to the next, with any packet received in part, with a broken marker or before
// the skip (it may be two halves joined). Their number comes from the bytes received in the
// break, the info index each packet carries (cycling through the model's info bytes), and the
// time the device sent the bytes on either side, which each poll of the driver's queue bounds at
// the byte rate of the sampling rate in force. A break is reported a few polls after the stream
// resumed. Parallel devices: each device's breaks are placed in the merged frames, and so are
// the frames a device ahead gives up to stay in step.
// Limits: the timing must be right within half an info cycle (half a packet for models without info
// bytes). A device whose clock is off by e from its nominal rate shifts the count of a break
// lasting T seconds by e * T. Where the stream does not keep to its nominal rate (a simulation
// faster than real time, or free running), only breaks shorter than an info cycle are counted
// right, and only while bytes arrive at least as fast as the nominal rate. A sampling rate changed
// during a break is not accounted for. Bytes lost whose length is a whole number of info cycles of
// packets leave the markers intact and the index in step: such a loss (any whole number of packets
// for models without info bytes) goes unseen, and when it started within a packet, the two halves
// are handed out as one packet.
ErrorCodes_t readFramesLost(std::vector<FramesLost_t>& losses);
ErrorCodes_t flushData(bool purgeDriver);
// Forgets what the parallel-device drift estimators learnt, after the devices were resynchronised.
ErrorCodes_t resetDriftEstimator();
ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value);
ErrorCodes_t voltageFromRaw(int16_t raw, double& value);
ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value);

// ---- Calibration memory (maintenance) -----------------------------------------------------------
ErrorCodes_t setSpiMode(bool on);
ErrorCodes_t readCalibration(std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                             const std::vector<uint32_t>& sizes);
ErrorCodes_t writeCalibration(const std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                              const std::vector<uint32_t>& sizes);

// ---- FTDI EEPROM words of the first device (maintenance) ----------------------------------------
// Addresses count 16-bit words. A write to the identity words changes what the next connection finds.
ErrorCodes_t readEepromWord(uint32_t address, uint16_t& value);
ErrorCodes_t writeEepromWord(uint32_t address, uint16_t value);

// ---- Optional controls -------------------------------------------------------------------------
// Whether the model has the temperature-controller option (the serial accessory's dock is shown
// only then). No other library call concerns the temperature controller: it has its own port.
ErrorCodes_t hasTemperatureControllerOption(bool& available);
// Zaps the channel's membrane (the channel count: every channel); 0x50000 on models without it.
ErrorCodes_t zap(uint16_t channelIdx);
ErrorCodes_t hasZap(bool& available);
// Digital offset compensation drives a channel's resting current to zero (the channel count:
// every channel); off stops it, keeping the offset found. With autostop each channel stops by
// itself once its current has settled; without, it keeps tracking until switched off.
ErrorCodes_t hasDigitalOffsetCompensation(bool& available);
ErrorCodes_t digitalOffsetCompensation(uint16_t channelIdx, bool on);
ErrorCodes_t hasDigitalOffsetCompensationAutostop(bool& available);
ErrorCodes_t setDigitalOffsetCompensationAutostop(bool on);
// Per current channel, whether the amplifier reports it still compensating.
ErrorCodes_t getDigitalOffsetCompensationStates(std::vector<bool>& running);
// The TTL output: `pulses` pulses of `duration`, one every `period`, starting `delay` after the
// call; the duration must be shorter than the period.
ErrorCodes_t hasTtlOutput(bool& available);
ErrorCodes_t getTtlOutputControls(RangedMeasurement_t& durationRange, RangedMeasurement_t& periodRange,
                                  RangedMeasurement_t& delayRange, uint16_t& maxPulses);
ErrorCodes_t startTtlPulses(const Measurement_t& duration, const Measurement_t& period,
                            const Measurement_t& delay, uint16_t pulses);

// ---- Washer of the multi-well system ------------------------------------------------------------
ErrorCodes_t getWasherSpeedRange(RangedMeasurement_t& range);
ErrorCodes_t getWasherPresetSpeeds(std::vector<int8_t>& speeds);
ErrorCodes_t getWasherStatus(int8_t& errorCode, std::vector<int8_t>& speeds);
ErrorCodes_t setWasherPresetSpeeds(const std::vector<int8_t>& speeds);
ErrorCodes_t startWasher(uint16_t presetIdx);
ErrorCodes_t resetWasherError();
ErrorCodes_t updateWasherState();
ErrorCodes_t updateWasherPresetSpeeds();

} // namespace kv4cl
