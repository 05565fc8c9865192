#pragma once
// The engine behind one connected amplifier: transport, receive and transmit threads,
// frame rings, digital filter, reset denoiser and the generic setters. A model is a
// subclass whose constructor only fills the description and tables below.

#include "commlib/coders/commandcoder.h"
#include "commlib/transport/ftdieeprom.h"
#include "commlib/transport/ftdiwrappers.h"
#include "commlib/transport/spimemory.h"
#include "commlib/types/kv4cltypes.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kv4CommLib {

using kv4cl::DataStatus_t;

enum ProtocolFamily {
    ProtocolVoltage,
    ProtocolTime,
    ProtocolSlope,
    ProtocolFrequency,
    ProtocolAdimensional,
    ProtocolFamiliesNum
};

// One family of stimulus protocol parameters (voltages, times, ...).
struct ProtocolParameters {
    std::vector<std::string> names;
    std::vector<RangedMeasurement> ranges;
    std::vector<Measurement> defaults;
    std::vector<std::unique_ptr<DoubleCoder>> coders;
    std::vector<Measurement> values; // last values set, in the prefix of their range
};

// A protocol with a value for each parameter of each family, by parameter index and in any
// prefix of the parameter's unit: what the validity rules judge.
struct ProtocolValues {
    uint16_t protocolIdx = 0;
    std::array<std::vector<Measurement>, ProtocolFamiliesNum> values;
};

// A voltage pulse the user fires on demand (insertion or reference pulse).
struct PulseControls {
    RangedMeasurement voltageRange;
    RangedMeasurement durationRange;
    std::unique_ptr<DoubleCoder> voltageCoder;
    std::unique_ptr<DoubleCoder> durationCoder;
    std::unique_ptr<BoolCoder> pulseCoder;
    bool available() const { return pulseCoder != nullptr; }
};

// The reference pulse repeated as a train.
struct PulseTrainControls {
    RangedMeasurement periodRange;
    uint16_t maxCount = 0;
    std::unique_ptr<DoubleCoder> periodCoder;
    std::unique_ptr<BoolCoder> countCoder;
    std::unique_ptr<BoolCoder> startCoder;
    std::unique_ptr<BoolCoder> overrideCoder; // holds the reference voltage while set
    bool available() const { return startCoder != nullptr; }
};

// Fast capacitance compensation. The device latches a value for the addressed channel
// (the channel count addresses all of them) on the strobe.
struct CompensationControls {
    CompensationControl_t control;
    std::unique_ptr<BoolCoder> channelCoder;
    std::unique_ptr<DoubleCoder> valueCoder;
    std::unique_ptr<BoolCoder> enableCoder;
    std::unique_ptr<BoolCoder> strobeCoder;
    bool available() const { return valueCoder != nullptr; }
};

// Per-channel voltage offsets added to the stimulus, latched like the compensations, and
// ramps from an initial to a final offset. The device reports the offsets in force in its
// info bytes: two per channel from infoByteOffset, big-endian two's complement in steps of range.step.
struct VoltageOffsetControls {
    RangedMeasurement range;
    RangedMeasurement rampDurationRange;
    std::unique_ptr<BoolCoder> channelCoder;
    std::unique_ptr<DoubleCoder> valueCoder;
    std::unique_ptr<BoolCoder> strobeCoder;
    std::unique_ptr<DoubleCoder> rampInitialCoder;
    std::unique_ptr<DoubleCoder> rampFinalCoder;
    std::unique_ptr<DoubleCoder> rampDurationCoder;
    std::unique_ptr<BoolCoder> rampStrobeCoder;
    uint16_t infoByteOffset = 0;
    bool available() const { return valueCoder != nullptr; }
};

// A custom protocol of two waveforms played together: millisecond voltage segments and fast
// pulses (single, or trains when maxPulseCount > 0). The device latches one row at a time:
// rows 0.. are the segments, then the pulses.
enum FastPulsesField {
    SegmentVoltage,
    SegmentDuration,
    PulseVoltage,
    PulseWait,
    PulseDuration,
    PulsePeriod,
    PulseCount,
    FastPulsesFieldsNum
};

struct FastPulsesControls {
    uint16_t protocolIdx = 15;
    uint16_t segments = 0;
    uint16_t pulses = 0;
    uint16_t maxPulseCount = 0;
    std::array<RangedMeasurement, FastPulsesFieldsNum> ranges;            // PulseCount: an adimensional range
    std::array<std::unique_ptr<DoubleCoder>, FastPulsesFieldsNum> coders; // two fields may share bits
    std::unique_ptr<BoolCoder> rowCoder;
    std::unique_ptr<BoolCoder> strobeCoder;
    std::array<std::vector<Measurement>, FastPulsesFieldsNum> values; // per row of its waveform
    bool available() const { return rowCoder != nullptr; }
};

// Digital offset compensation: on the strobe the device starts (enable set) or stops driving
// the addressed channel's resting current to zero; with autostop it stops by itself once the
// current has settled. The channels still compensating are flagged in the info bytes, one bit
// per channel from infoByteOffset, channel 0 in bit 0.
struct DigitalOffsetCompensationControls {
    std::unique_ptr<BoolCoder> channelCoder;
    std::unique_ptr<BoolCoder> enableCoder;
    std::unique_ptr<BoolCoder> strobeCoder;
    std::unique_ptr<BoolCoder> autostopCoder; // null: the model has no autostop
    uint16_t infoByteOffset = 0;
    bool available() const { return strobeCoder != nullptr; }
};

// Zap: a short, strong pulse that ruptures the membrane under the addressed channel.
struct ZapControls {
    std::unique_ptr<BoolCoder> channelCoder;
    std::unique_ptr<BoolCoder> strobeCoder;
    bool available() const { return strobeCoder != nullptr; }
};

// A TTL output that plays `pulses` pulses of `duration`, one every `period`, `delay` after the
// start strobe. Where the model streams the output's level, it is gp channel gpChannel.
struct TtlOutputControls {
    RangedMeasurement durationRange;
    RangedMeasurement periodRange;
    RangedMeasurement delayRange;
    uint16_t maxPulses = 0;
    std::unique_ptr<DoubleCoder> durationCoder;
    std::unique_ptr<DoubleCoder> periodCoder;
    std::unique_ptr<DoubleCoder> delayCoder;
    std::unique_ptr<BoolCoder> pulsesCoder;
    std::unique_ptr<BoolCoder> startCoder;
    std::optional<uint16_t> gpChannel;
    bool available() const { return startCoder != nullptr; }
};

class MessageDispatcher {
  public:
    static constexpr uint32_t rxRingBytes = 0x100000;
    static constexpr uint32_t rxRingMask = rxRingBytes - 1;
    static constexpr uint32_t frameRingFrames = 0x400000;
    static constexpr uint32_t frameRingMask = frameRingFrames - 1;
    // How far the ring is written before a small backlog is moved back to its start.
    static constexpr uint32_t ringRestartFrames = 0x10000;
    static constexpr uint32_t readBufferBytes = 0x800000;
    static constexpr uint32_t txQueueSlots = 256;
    static constexpr uint32_t syncWordCurrent = 0x7FFF8000;
    static constexpr uint32_t syncWordLegacy = 0xFFFF0000;

    explicit MessageDispatcher(std::string deviceId);
    virtual ~MessageDispatcher();
    // The identity read at connection; null before it.
    const FtdiEeprom* identity() const { return eeprom.get(); }
    MessageDispatcher(const MessageDispatcher&) = delete;
    MessageDispatcher& operator=(const MessageDispatcher&) = delete;

    // ---- Lifecycle --------------------------------------------------------------------------
    ErrorCodes_t initBuffers();
    // Puts every selection (ranges, rates, switches, protocol values) at the model's defaults
    // without allocating anything: enough for setters that only encode.
    void resetSelection();
    void releaseBuffers();
    virtual ErrorCodes_t connect(std::unique_ptr<FtdiEeprom> eeprom);
    virtual ErrorCodes_t disconnect();
    bool isConnected() const { return connected; }

    // ---- Generic setters (apply false: only the message changes, true: it is also queued) ----
    virtual ErrorCodes_t setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx, bool apply);
    virtual ErrorCodes_t setGpRange(uint16_t rangeIdx, uint16_t gpChannelIdx, bool apply);
    virtual ErrorCodes_t setSamplingRate(uint16_t rateIdx, bool apply);
    virtual ErrorCodes_t setOversamplingRatio(uint16_t ratioIdx, bool apply);
    virtual ErrorCodes_t setChannelSwitchA(uint16_t channelIdx, bool on, bool apply);
    bool hasSwitchBankA() const { return switchBankACoder != nullptr; }
    bool hasSwitchBankB() const { return switchBankBCoder != nullptr; }
    virtual ErrorCodes_t setChannelSwitchB(uint16_t channelIdx, bool on, bool apply);
    virtual ErrorCodes_t setSingleSwitch(bool on, bool apply);
    virtual ErrorCodes_t setProtocolVoltage(uint32_t paramIdx, Measurement value, bool apply);
    ErrorCodes_t setProtocolParameter(ProtocolFamily family, uint32_t paramIdx, Measurement value,
                                      bool apply);
    // Whether a value lies within its parameter's range; the message names the limits.
    ErrorCodes_t checkProtocolParameter(ProtocolFamily family, uint32_t paramIdx, const Measurement& value,
                                        std::string& message) const;
    ErrorCodes_t setVoltageRange(uint16_t rangeIdx, bool apply);
    ErrorCodes_t setVoltageStimulusLpf(uint16_t filterIdx, bool apply);
    ErrorCodes_t selectProtocol(uint16_t protocolIdx, bool apply);
    ErrorCodes_t applyProtocol();
    ErrorCodes_t setInsertionPulse(const Measurement& voltage, const Measurement& duration);
    ErrorCodes_t setReferencePulse(const Measurement& voltage, const Measurement& duration);
    ErrorCodes_t setSwitch(uint16_t switchIdx, bool on);
    ErrorCodes_t setChoice(uint16_t choiceIdx, uint16_t optionIdx);
    ErrorCodes_t setRawBit(uint16_t byte, uint8_t bit, bool value);
    ErrorCodes_t setRawField(uint16_t byte, uint8_t value);
    ErrorCodes_t setVoltageReferenceRange(uint16_t rangeIdx, bool apply);
    ErrorCodes_t setVoltageReference(const Measurement& value, bool apply);
    ErrorCodes_t setVoltageReferenceLpf(uint16_t filterIdx, bool apply);
    ErrorCodes_t setLed(uint16_t ledIdx, bool on);
    ErrorCodes_t setCustomDouble(uint16_t doubleIdx, double value);
    ErrorCodes_t setReferencePulseTrain(const Measurement& voltage, const Measurement& duration,
                                        const Measurement& period, uint16_t count);
    ErrorCodes_t overrideReferencePulse(bool on);
    // The channel whose compensation the next setCFast changes; the channel count means all.
    ErrorCodes_t selectCompensationChannel(uint16_t channelIdx);
    ErrorCodes_t setCFast(const Measurement& value, bool enabled);
    ErrorCodes_t getVoltageOffsets(std::vector<Measurement>& offsets);
    // Whether an offset may be applied: within its range and, added to Vhold, within the
    // protocol's voltage limits. The message says which rule failed.
    ErrorCodes_t checkVoltageOffset(uint16_t channelIdx, const Measurement& offset, std::string& message);
    ErrorCodes_t setVoltageOffset(uint16_t channelIdx, const Measurement& offset);
    ErrorCodes_t startVoltageOffsetRamp(uint16_t channelIdx, const Measurement& initial,
                                        const Measurement& final, const Measurement& duration);
    ErrorCodes_t setFastPulses(FastPulsesField field, uint16_t row, const Measurement& value);
    // The channel count addresses every channel.
    ErrorCodes_t digitalOffsetCompensation(uint16_t channelIdx, bool on);
    ErrorCodes_t setDigitalOffsetCompensationAutostop(bool on);
    // Per channel, whether the device reports it still compensating.
    ErrorCodes_t getDigitalOffsetCompensationStates(std::vector<bool>& running);
    ErrorCodes_t zap(uint16_t channelIdx);
    ErrorCodes_t startTtlPulses(const Measurement& duration, const Measurement& period,
                                const Measurement& delay, uint16_t pulses);
    ErrorCodes_t setDigitalFilter(const Measurement& cutoff, bool lowPass, bool enabled);
    ErrorCodes_t setDenoiserEnabled(bool on);
    ErrorCodes_t resetDevice();
    ErrorCodes_t holdReset(bool on);
    void setMaxOutputFrames(uint32_t frames) { maxOutputFrames = frames; }

    // ---- Model hooks (absent features answer ErrorFeatureNotImplemented) -------------------
    virtual ErrorCodes_t getWasherSpeedRange(RangedMeasurement& range);
    virtual ErrorCodes_t getWasherPresetSpeeds(std::vector<int8_t>& speeds);
    virtual ErrorCodes_t getWasherStatus(int8_t& errorCode, std::vector<int8_t>& speeds);
    virtual ErrorCodes_t setWasherPresetSpeeds(const std::vector<int8_t>& speeds);
    virtual ErrorCodes_t startWasher(uint16_t presetIdx);
    virtual ErrorCodes_t resetWasherError();
    virtual ErrorCodes_t updateWasherState();
    virtual ErrorCodes_t updateWasherPresetSpeeds();
    // Encodes the selected value of every table (power-on defaults); connect queues it.
    virtual ErrorCodes_t initializeDevice();
    // Checks the selected protocol with the values last set: "Valid protocol" or the first
    // failing rule.
    ErrorCodes_t validateProtocol(std::string& message) const;
    // The same rules for any protocol and values; nothing is encoded or sent.
    virtual ErrorCodes_t validateProtocolValues(const ProtocolValues& candidate,
                                                std::string& message) const = 0;
    virtual void prepareProtocol() {}
    // Resets the reset denoiser; models set its period first.
    virtual void currentRangeChanged();
    // Sets the reset denoiser and restarts it: templates and means back to zero.
    void configureDenoiser(uint32_t period, double alpha, bool suspended);

    // ---- Data ----------------------------------------------------------------------------
    ErrorCodes_t getStatus(DataStatus_t& status);
    // Buffers stay valid until the next call.
    ErrorCodes_t readFrames(uint32_t maxFrames, uint16_t*& filtered, uint16_t*& unfiltered,
                            uint32_t& framesRead);
    // Moves out the gaps whose place readFrames has handed out, oldest first, each counted back
    // from `handedOut`: the frames readFrames has handed out since connection.
    void takeFramesLost(std::vector<kv4cl::FramesLost_t>& lost, uint64_t& handedOut);
    // The frames readFrames has handed out since connection.
    uint64_t framesRead() {
        std::lock_guard lock(dataMutex);
        return framesHandedOut;
    }
    void flushData(bool purgeDriver);
    double convertVoltage(int16_t raw) const { return raw * wordStep[0].load(std::memory_order_relaxed); }
    double convertCurrent(int16_t raw, uint16_t channel) const {
        return raw * wordStep[1 + channel].load(std::memory_order_relaxed);
    }
    // Only gp words have an offset.
    double convertGp(uint16_t raw, uint16_t gpChannel) const {
        const size_t word = 1 + currentChannelsNum + gpChannel;
        return raw * wordStep[word].load(std::memory_order_relaxed) +
               wordOffset[word].load(std::memory_order_relaxed);
    }

    // ---- Calibration memory ---------------------------------------------------------------
    ErrorCodes_t setSpiMode(bool on);
    ErrorCodes_t readCalibration(std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                                 const std::vector<uint32_t>& sizes);
    ErrorCodes_t writeCalibration(const std::vector<uint32_t>& values, const std::vector<uint32_t>& addresses,
                                  const std::vector<uint32_t>& sizes);

    // ---- FTDI EEPROM words (maintenance) ----------------------------------------------------
    // The bridge's 2 Kbit EEPROM holds 128 16-bit words; the identity sits at its end.
    static constexpr uint32_t eepromWords = 128;
    ErrorCodes_t readEepromWord(uint32_t address, uint16_t& value);
    ErrorCodes_t writeEepromWord(uint32_t address, uint16_t value);

    // ---- Device description, filled by the model constructor --------------------------------
    const std::string deviceId;
    char spiChannel = 'A';
    char rxChannel = 'B';
    char txChannel = 'B';
    uint32_t syncWord = syncWordCurrent;
    int32_t samplesPerPacket = 16;
    uint16_t voltageChannelsNum = 0;
    uint16_t currentChannelsNum = 0;
    uint16_t gpChannelsNum = 0;
    uint16_t wordsPerSample = 1;
    uint32_t packetBytes = 0;
    uint16_t txMessageBytes = 0;
    uint32_t maxOutputFrames = frameRingFrames;
    bool syncFifo = false;
    bool txWithoutData = false;
    int16_t voltageDivider = 1;
    bool calibrationMemoryAvailable = false;
    std::vector<uint8_t> infoBytes;
    std::vector<uint8_t> txMessage; // the power-on values, then every setting as encoded
    std::string headerTemplate;

    std::vector<RangedMeasurement> currentRanges;
    uint16_t defaultCurrentRangeIdx = 0;
    std::vector<std::unique_ptr<BoolCoder>> currentRangeCoders; // one per channel, or one for all

    std::vector<RangedMeasurement> voltageRanges;
    uint16_t defaultVoltageRangeIdx = 0;
    std::unique_ptr<BoolCoder> voltageRangeCoder;

    std::vector<std::vector<RangedMeasurement>> gpRanges; // per gp channel
    std::vector<uint16_t> defaultGpRangeIdx;
    std::vector<std::string> gpNames;
    std::vector<std::unique_ptr<BoolCoder>> gpRangeCoders;
    // The GP channel that streams the reference voltage the device was set to, where one does.
    std::optional<uint16_t> voltageReferenceMonitorGp;

    std::vector<Measurement> samplingRates;     // nominal, shown to the user
    std::vector<Measurement> realSamplingRates; // what the hardware produces, used for computation
    std::vector<Measurement> samplingPeriods;
    uint16_t defaultSamplingRateIdx = 0;
    std::unique_ptr<BoolCoder> samplingRateCoder;
    std::vector<uint16_t> oversamplingRatios{1};
    uint16_t defaultOversamplingRatioIdx = 0;
    bool oversamplingAvailable = false;
    std::unique_ptr<BoolCoder> oversamplingCoder;

    std::vector<Measurement> voltageStimulusLpfs;
    uint16_t defaultVoltageStimulusLpfIdx = 0;
    std::unique_ptr<BoolCoder> voltageStimulusLpfCoder;

    bool denoiserAvailable = false;
    uint32_t denoiserTemplateMax = 1;

    std::vector<std::string> protocolNames;
    std::vector<std::string> protocolImages;
    std::array<std::vector<std::vector<uint16_t>>, ProtocolFamiliesNum>
        protocolParameterIdxs; // per family, per protocol
    uint16_t defaultProtocolIdx = 0;
    // The protocols the online estimations drive: three levels for the resistance, a triangle
    // for the capacitance. Empty: the model has none.
    std::optional<uint16_t> resistanceEstimationProtocolIdx;
    std::optional<uint16_t> capacitanceEstimationProtocolIdx;
    std::unique_ptr<BoolCoder> protocolCoder;
    std::unique_ptr<BoolCoder> protocolStartCoder;
    std::array<ProtocolParameters, ProtocolFamiliesNum> protocolParameters;
    RangedMeasurement protocolVoltageValidity;
    std::vector<RangedMeasurement> protocolTimeValidity;

    PulseControls insertionPulse;
    PulseControls referencePulse;
    PulseTrainControls referencePulseTrain;

    std::vector<RangedMeasurement> voltageReferenceRanges;
    uint16_t defaultVoltageReferenceRangeIdx = 0;
    std::unique_ptr<BoolCoder> voltageReferenceRangeCoder;
    std::vector<std::unique_ptr<DoubleCoder>>
        voltageReferenceCoders; // one per range: its step is the resolution
    std::vector<Measurement> voltageReferenceLpfs;
    uint16_t defaultVoltageReferenceLpfIdx = 0;
    std::unique_ptr<BoolCoder> voltageReferenceLpfCoder;
    // Per voltage range, which filters it allows: bit 0 the stimulus filter, bit 1 the reference filter.
    std::vector<uint16_t> voltageFilterAvailability;

    std::vector<uint32_t> ledColors; // 0xRRGGBB
    std::vector<std::unique_ptr<BoolCoder>> ledCoders;
    std::vector<std::string> customDoubleNames;
    std::vector<RangedMeasurement> customDoubleRanges;
    std::vector<double> customDoubleDefaults;
    std::vector<std::unique_ptr<DoubleCoder>> customDoubleCoders;

    CompensationControls cFast;
    VoltageOffsetControls voltageOffsets;
    FastPulsesControls fastPulses;
    DigitalOffsetCompensationControls digitalOffsetCompensationControls;
    ZapControls zapControls;
    TtlOutputControls ttlOutput;
    bool digitalTriggerAvailable = false;
    // The serial temperature controller is an accessory of this model's system.
    bool temperatureControllerOption = false;

    std::vector<std::string> switchNames;
    std::vector<bool> switchDefaults;
    std::vector<std::unique_ptr<BoolCoder>> switchCoders;
    std::vector<std::string> choiceNames;
    std::vector<std::vector<std::string>> choiceOptions;
    std::vector<uint16_t> choiceDefaults;
    std::vector<std::unique_ptr<BoolCoder>> choiceCoders;

    std::unique_ptr<BoolCoder> switchBankACoder;
    std::unique_ptr<BoolCoder> switchBankBCoder;
    std::unique_ptr<BoolCoder> singleSwitchCoder;
    std::unique_ptr<BoolCoder> resetCoder;
    std::unique_ptr<BoolCoder> secondResetCoder;
    std::unique_ptr<BoolCoder> thirdPulseCoder;

    // ---- Selection state --------------------------------------------------------------------
    uint32_t selectedCurrentRange = 0;
    std::vector<uint16_t> selectedCurrentRangeIdx; // per channel
    std::vector<RangedMeasurement> selectedCurrentRanges;
    std::vector<uint16_t> selectedGpRangeIdx;
    uint16_t selectedVoltageRangeIdx = 0;
    // How a word of a sample converts in a range: its step and offset, in the range's prefix.
    struct WordRange {
        double step = 1.0;
        double offset = 0.0;
        kv4cl::UnitPfx_t prefix = kv4cl::UnitPfxNone;
        bool operator==(const WordRange&) const = default;
    };
    // Per word of a sample, in the frame's order (voltage, currents, gp), under dataMutex: the
    // ranges selected last, in whose prefixes the program takes every value, and the ranges the
    // frames being handed out were acquired in. The two differ after a range change until the
    // frames acquired in the new range are handed out.
    std::vector<WordRange> selectedWords, acquiredWords;
    // The two combined, read without a lock by the program's data thread while ranges change.
    std::vector<std::atomic<double>> wordStep, wordOffset;
    // dataMutex held: acquiredWords in the prefixes of selectedWords.
    void publishConversion();
    // The number of the message that will carry a setting changed now, or 0 before data flows:
    // nothing acquired in an earlier setting is on its way then.
    uint64_t nextCarrier();
    // dataMutex held, after a range setter changed the selection: the frames acquired after
    // message `carrier` is out convert in the ranges selected now, the earlier ones as before.
    void selectWordRanges(uint64_t carrier);
    // A range change waiting for the first frame acquired in it: the first frame of the bytes
    // received after the message carrying it was written. Under dataMutex, oldest first.
    struct RangeSwitch {
        static constexpr uint64_t unknown = std::numeric_limits<uint64_t>::max();
        uint64_t message;
        uint64_t byte = unknown;      // bytes received when the message was out
        uint64_t frame = unknown;     // counted as readFrames counts them
        std::vector<WordRange> words; // from `frame` on
    };
    std::vector<RangeSwitch> rangeSwitches;
    // Transmit thread: the bytes the device has sent so far.
    uint64_t bytesSent();
    // Transmit thread: message `number` is out, written when the device had sent `byte` bytes.
    void noteRangeMessageWritten(uint64_t number, uint64_t byte);
    // Receive thread, dataMutex held, after parsing `packets` packets from byte `first` on into
    // frames that follow frame `stored`: the switches whose byte falls there get their frame.
    void markRangeSwitches(uint64_t first, uint32_t packets, uint64_t stored);
    // Reader, dataMutex held: the switches due take effect; returns the frames that may be handed
    // out before the next one.
    uint32_t applyRangeSwitches();
    uint16_t voltageRawOffset = 0;
    uint16_t selectedSamplingRateIdx = 0;
    Measurement baseSamplingRate{1.0, kv4cl::UnitPfxKilo, "Hz"};
    uint16_t selectedOversamplingRatioIdx = 0;
    uint16_t oversamplingRatio = 1;
    Measurement samplingRate{1.0, kv4cl::UnitPfxKilo, "Hz"}; // effective
    Measurement samplingPeriod{1.0, kv4cl::UnitPfxMilli, "s"};
    uint16_t selectedProtocolIdx = 0;
    std::vector<bool> switchBankA;
    std::vector<bool> switchBankB;
    uint16_t selectedVoltageReferenceRangeIdx = 0;
    uint16_t selectedCompensationChannel = 0;
    std::vector<Measurement> cFastValues;
    std::vector<bool> cFastEnabled;

    // Digital filter.
    bool filterEnabled = false;
    bool filterLowPass = true;
    Measurement filterCutoff{100.0, kv4cl::UnitPfxNone, "Hz"};
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a0 = 1.0, a1 = 0.0, a2 = 0.0;

    // Reset denoiser.
    bool denoiserEnabled = false;
    bool denoiserSuspended = true;
    uint32_t denoiserPeriod = 1;
    double denoiserAlpha = 0.0;
    double denoiserBeta = 1.0;

    // Receive pacing, read by the receive thread while setters change the rate.
    std::atomic<uint32_t> minPackets{10};
    std::atomic<uint32_t> maxPackets{10};
    std::atomic<uint32_t> maxWaits{3};
    std::atomic<uint32_t> waitMicroseconds{2000};
    std::atomic<double> byteRate{0.0}; // bytes per second the device sends
    // The device takes a new rate only when the message that carries it has been written (and
    // at connection runs at whatever rate it had): the polls until then timed bytes of another
    // rate. Messages are numbered from 1 as they are queued; the receive thread starts the
    // stream's clock again once message `clockRestartMessage` is written.
    std::atomic<uint64_t> clockRestartMessage{0};
    std::atomic<uint64_t> txWritten{0}; // the number of the last message written
    uint64_t txQueued = 0;              // messages queued, under txMutex
    bool rateUnqueued = false;          // the rate changed since the last message queued, under txMutex
    uint64_t clockRestartSeen = 0;      // the receive thread's

  protected:
    // Parses `count` validated packets from the receive ring; data mutex held.
    virtual void parsePackets(uint32_t count);
    // The one packet parser; the previous generation differs only in these three.
    void parsePacketBatch(uint32_t count, bool hasInfoBytes, uint16_t voltageWordOffset,
                          uint16_t currentWordOffset);

    void enqueueTxMessage(const std::vector<uint8_t>& message);
    void sendMessage() { enqueueTxMessage(txMessage); }
    // A copy of the device's status bytes, which the receive thread keeps writing.
    std::vector<uint8_t> readInfoBytes();
    // Sends the bit set, then clears it in the message without sending: the device acts on the edge.
    void strobe(const BoolCoder& coder);
    void updateRxPacing();
    void computeFilterCoefficients();

    std::unique_ptr<FtdiEeprom> eeprom;
    // A dispatcher without transport (the demo device) keeps these itself.
    bool connected = false;
    bool stopping = false;
    std::atomic<bool> stopRequested{false};

  private:
    struct ParseWords {
        bool hasInfoBytes;
        uint16_t voltageWordOffset;
        uint16_t currentWordOffset;
    };
    template <bool Denoise, bool Filter> void parseBatch(uint32_t count, const ParseWords& words);
    void rxLoop();
    void txLoop();
    ErrorCodes_t openTransport();
    void startThreads();
    void stopThreads();
    void scanReceivedBytes();
    void resynchronise();
    uint32_t ringWord32(uint32_t offset) const;
    // The info index of the packet at `offset`; -1 when the model sends none or it is out of range.
    int infoIndex(uint32_t offset, uint32_t cycle) const;
    // How many info bytes the packets cycle through; 0 when they carry none.
    uint32_t infoCycle() const {
        return packetBytes == 6 + 2u * uint32_t(samplesPerPacket) * wordsPerSample
                   ? uint32_t(infoBytes.size())
                   : 0;
    }
    // Gap accounting on the receive thread, see rxLoop.
    void noteClock(uint32_t queued);
    // resumedInfo: the info index after the gap, -1 when it tells nothing (none, or stuck).
    void openGap(uint64_t resumedAt, int resumedInfo);
    // The frames lost in the open gap, which closes.
    uint64_t closeGap();
    // Gives the size to the gap waiting for it (a gap of nothing goes); data mutex held.
    void settleGap(uint64_t frames);
    // Under the data mutex: forgets the stream's history when flushData ran since the last look.
    bool flushedSinceLastLook();
    // Sends the bit set, then sends it cleared.
    void pulse(const BoolCoder& coder);
    // Runs one EEPROM call on channel A: on the transport's handle when the model streams there
    // (its mutex keeps the call apart from the receive and transmit threads), otherwise on a
    // handle opened for the call. Any driver failure answers `failure`.
    ErrorCodes_t onEepromChannel(const std::function<FT_STATUS(FT_HANDLE)>& call, ErrorCodes_t failure);

    FtdiTransport transport;
    CalibrationMemory calibrationMemory;
    bool spiMode = false;

    std::atomic<bool> threadsRunning{false};
    std::atomic<bool> dataSeen{false};
    std::thread rxThread;
    std::thread txThread;

    // Receive ring, touched only by the receive thread.
    std::unique_ptr<uint8_t[]> rxRing;
    std::vector<uint8_t> packetScratch; // a packet that wraps around the ring end
    uint32_t rxReadIdx = 0;
    uint32_t rxWriteIdx = 0;
    uint32_t rxPending = 0;
    bool inSync = false;
    // A flush that purged the driver sets rxFlushed under rxMutex: the bytes the receive thread
    // holds were read before the purge and must not be parsed after it. The receive thread
    // reads under rxMutex, so that a purge never falls within a read.
    std::mutex rxMutex;
    std::atomic<bool> rxFlushed{false};
    void dropReceivedBytes();

    // How many frames a break in the stream cost. Bytes are numbered in the order they were
    // read since the transport opened. Within a stretch without loss, byte k left the device at
    // c + k / byteRate for one offset c; every byte lost shifts c by one byte time. Each poll of
    // the driver's queue bounds c from above: the newest byte queued had been sent by then.
    // The least of a few bounds on each side of a break gives the bytes lost there; the info
    // index (one per packet, cycling) and the bytes received in the break fix the packet count
    // exactly when the timing is within half an info cycle.
    struct ClockSample {
        uint64_t first; // the next byte to read when polled
        uint64_t end;   // past the newest byte queued
        double bound;   // poll time - end / byteRate, the least of the polls with this `first`
    };
    static constexpr uint32_t clockSamplesNum = 2048; // covers more than a parse batch of reads
    static constexpr uint32_t clockSamplesUsed = 8;   // per side of a break
    std::vector<ClockSample> clockSamples;
    uint64_t clockSamplesTaken = 0;
    uint64_t rxReceived = 0;
    bool trusted = false;      // a packet was parsed since the transport opened or data were flushed
    uint64_t trustedEnd = 0;   // where the last packet parsed ends
    int trustedInfo = -1;      // its info index, -1 when unknown
    uint64_t segmentStart = 0; // the first packet parsed after the last break
    uint64_t flushesSeen = 0;
    struct OpenGap {
        bool open = false;
        uint64_t from = 0;  // end of the last packet before the break
        uint64_t to = 0;    // the first packet after it
        uint32_t cycle = 1; // packets between them: a multiple of cycle plus residue
        uint32_t residue = 0;
        double before = 0.0; // clock offset before the break; NaN when unknown
        double after = 0.0;  // after it, from `samples` polls
        uint32_t samples = 0;
        double openedAt = 0.0;
    } gap;
    static constexpr double gapWaitSeconds = 1.0; // for clockSamplesUsed polls after a gap
    // The clock offset of the stretch since the last gap, as that gap's polls after it gave it
    // (infinity when unknown): a stretch too short for polls of its own still has it.
    double segmentClock = 0.0;

    // Frame rings and status, guarded by dataMutex.
    std::mutex dataMutex;
    std::unique_ptr<uint16_t[]> filteredRing;
    std::unique_ptr<uint16_t[]> unfilteredRing;
    std::unique_ptr<uint16_t[]> readBuffer;
    std::unique_ptr<uint16_t[]> unfilteredReadBuffer;
    uint32_t frameWriteIdx = 0;
    uint32_t frameReadIdx = 0;
    uint32_t availableFrames = 0;
    bool bufferOverflow = false;
    bool dataLost = false;
    bool wordOverflow = false;
    bool rangeUpSuggested = false;
    bool rangeDownSuggested = false;
    bool infoIndexStuck = false; // written by the receive thread only, under the lock
    // A gap before frame `at` of those readFrames hands out (counted since connection).
    struct Loss {
        uint64_t frames;
        uint64_t at;
        bool bufferOverflow;
        bool counted; // a break in the stream waits for the clock before its size is known
    };
    std::vector<Loss> losses; // by place, oldest first
    uint64_t framesHandedOut = 0;
    uint64_t flushes = 0;

    // Filter histories (3 inputs, 3 outputs per current channel) and denoiser state.
    std::vector<double> filterIn;
    std::vector<double> filterOut;
    uint16_t filterHistoryIdx = 0;
    uint32_t denoiserPhase = 0;
    std::vector<double> denoiserTemplates; // per phase, one value per current channel
    std::vector<double> denoiserMeans;

    // Transmit queue.
    std::mutex txMutex;
    std::condition_variable txNotEmpty;
    std::condition_variable txNotFull;
    std::vector<std::vector<uint8_t>> txQueue;
    uint32_t txWriteSlot = 0;
    uint32_t txReadSlot = 0;
    uint32_t txCount = 0;
    std::vector<uint8_t> txStaging;

    std::FILE* txLog = nullptr;
    std::FILE* rxRawLog = nullptr;
};

} // namespace kv4CommLib
