#pragma once
// A virtual amplifier: a model of the catalogue brought to life on a virtual device. It
// streams the model's packets on the data channel at the model's real sampling rate, reads
// every command message with the model's own coders and acts on it, and fills the words
// with physics of known parameters: the stimulus of the protocol it was told to run on the
// voltage words, and per current channel the current of a cell (see cell.h) with the front
// end's reset artefact, quantised to the selected range and saturating at its edges. The
// library reaches it through the driver interface and cannot tell it from hardware.
//
// Everything about the model comes from its description (packet layout, ranges, rates,
// coders, protocols); nothing is copied per model. Time is the device's simulated clock.
//
// What the commands do: until the first protocol start the voltage words hold the decoded
// Vhold; a start runs the selected protocol (stimulus.h) with the parameters of the message
// that started it; a voltage pulse (insertion, reference, each of a reference train) adds its
// voltage for its duration, and the reference override adds the reference pulse's voltage
// while it is held; a channel switched off in bank A gives no current, nor does any while the
// reset bit is held. The fast-pulses protocol plays waveform 1 on the voltage words and adds
// waveform 2 on the cells only. Each cell also sees its channel's voltage offset, latched or
// ramped on the sample clock. A channel's fast capacitance compensation, while enabled,
// takes its value times the slope of the channel's command off the current measured. The
// multi-well model's washer (washer.h) acts on its commands. Digital offset compensation
// subtracts from a channel's current an estimate that follows it with the time constant
// offsetCompensationSettling / 5, so that a steady current reads zero within
// offsetCompensationSettling; with autostop the estimate freezes once that time has passed,
// without it the estimate keeps following until switched off (it stays applied when off). A
// zap ruptures the channel's membrane: its resistance falls to zappedMembraneResistance. The TTL
// output plays its train on the sample clock; a sample reads high on the model's TTL gp word
// when any part of a pulse falls within its period.
//
// The info bytes (one index and value pair per packet, cycling through the model's status
// bytes) carry the device's status, taken once per cycle so that a two-byte value is never
// torn: the offsets in force where the model reports them, the channels whose digital offset
// compensation runs, the washer's answers; 0 elsewhere.
//
// Pattern mode replaces the physics (the cells pause) by a count of the device's own sample
// clock, so that a test can prove that no frame was lost, repeated or reordered. Frame n
// carries, as the library hands the words out:
//   every voltage word and every further word   n & 0xFFFF
//   current word 0                              n & 0xFFFF
//   current word 1                              (n >> 16) & 0xFFFF
//   current word c >= 2                         (n + c) & 0xFFFF

#include "simulator/cell.h"
#include "simulator/commanddecoder.h"
#include "simulator/stimulus.h"
#include "simulator/virtualbus.h"
#include "simulator/washer.h"

#include "commlib/core/messagedispatcher.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace kav4sim {

class VirtualAmplifier {
  public:
    // The FTDI chip's FIFO and the driver's buffer together: about 100 ms of a four-channel
    // model at its highest rate. Unread bytes beyond it are lost, the oldest first.
    static constexpr size_t defaultBufferBytes = size_t{1} << 20;
    // Digital offset compensation brings a steady current to within 1% of zero in this time (s).
    static constexpr double offsetCompensationSettling = 0.1;
    // What is left of a membrane after a zap (Ohm).
    static constexpr double zappedMembraneResistance = 5e6;

    // The amplifier that the device's EEPROM identity names; null when no model has it.
    static std::unique_ptr<VirtualAmplifier> create(std::shared_ptr<VirtualDevice> device);
    // `model` describes the device (tables and coders); it is never connected. The device's
    // data and command channels are taken over until the amplifier is destroyed.
    VirtualAmplifier(std::shared_ptr<VirtualDevice> device,
                     std::unique_ptr<kv4CommLib::MessageDispatcher> model);
    ~VirtualAmplifier();
    VirtualAmplifier(const VirtualAmplifier&) = delete;
    VirtualAmplifier& operator=(const VirtualAmplifier&) = delete;

    const kv4CommLib::MessageDispatcher& model() const { return *description; }
    VirtualDevice& device() const { return *dev; }

    // ---- Timing --------------------------------------------------------------------------
    // Free running: the stream keeps the device buffer full however fast it is read, for
    // throughput benchmarks. Otherwise bytes arrive with the simulated clock.
    void setFreeRunning(bool on);
    // The device's sample clock runs fast by `ppm` parts per million (slow when negative).
    void setClockSkew(double ppm);
    void setBufferBytes(size_t bytes);
    // Frames per simulated second: the selected real rate times the oversampling ratio,
    // with the clock skew.
    double frameRate() const;
    // When the device sampled frame `frame` of its own count, in simulated seconds (for
    // frames since the last change of rate or skew; within one frame).
    double frameTime(uint64_t frame) const;

    // ---- Signal --------------------------------------------------------------------------
    // channel == the number of current channels sets every channel.
    void setCell(uint16_t channel, const CellParameters& parameters);
    CellParameters cell(uint16_t channel) const;
    void setPatternMode(bool on);

    // ---- Faults --------------------------------------------------------------------------
    // The next `count` bytes of the stream never leave the device.
    void dropBytes(size_t count);
    // The next `count` whole packets, from the next packet boundary on, never leave the device:
    // the markers around the hole are intact.
    void dropPackets(size_t count);
    // The next `count` bytes of the stream arrive with every bit inverted.
    void corruptBytes(size_t count);
    // While stuck every packet carries info index 0 (and status byte 0), as a device whose
    // status counter stopped does.
    void stickInfoIndex(bool on);
    // While stalled nothing leaves the device; its sample clock runs on.
    void stall(bool on);
    // Off the bus and back: the library's handles fail meanwhile, buffered bytes are lost.
    void unplug();
    void replug();

    // ---- Washer (the multi-well model) ---------------------------------------------------
    // Its state; nothing when the model drives no washer.
    std::optional<Washer> washer() const;
    // The washer runs into an error of its own (see Washer::fail).
    void failWasher(int8_t errorCode);

    // ---- What the device was told --------------------------------------------------------
    DecodedCommand command() const;
    // Blocks until `done` holds for the decoded command; false on timeout.
    bool waitForCommand(const std::function<bool(const DecodedCommand&)>& done,
                        std::chrono::milliseconds timeout) const;

  private:
    void onWrite(const std::vector<uint8_t>& bytes);
    void produce(std::vector<uint8_t>& out, size_t n);
    void skip(size_t n);
    // Applies the decoded settings; asks the model for the reset artefact's period.
    void applySettings();
    double holdingLevel() const; // the decoded Vhold, 0 when the model has none
    // Acts on the one-shot commands and latches that `now` has and `was` had not.
    void startCommands(const DecodedCommand& was, const DecodedCommand& now);
    std::vector<uint8_t> statusBytes() const;
    void updatePace();
    void buildPacket();
    void sampleFrame(uint8_t* words);
    void patternFrame(uint8_t* words, uint64_t n) const;
    bool ttlHigh(uint64_t n) const; // whether sample n sees the TTL output high
    void sendBytes(std::vector<uint8_t>& out, const uint8_t* bytes, size_t n);
    double trueRate() const { return rate * (1.0 + skewPpm * 1e-6); }

    const std::shared_ptr<VirtualDevice> dev;
    const std::unique_ptr<kv4CommLib::MessageDispatcher> description;

    // The packet layout, fixed by the model.
    const char rxLetter;
    const char txLetter;
    const uint16_t voltageWords;
    const uint16_t currentWords;
    const uint16_t wordsPerSample;
    const uint32_t samplesPerPacket;
    const uint32_t packetBytes;
    uint32_t headerBytes = 4; // sync word, and the info pair of the current generation
    bool offsetCode = false;  // the previous generation's current words
    uint16_t voltageOffset = 0;

    // Serialises pace changes with the record of when they happened. Locks are taken in the
    // order paceMutex, the device's lock, mutex: the device calls the generator under its own.
    std::mutex paceMutex;
    // Guards everything below.
    mutable std::mutex mutex;
    mutable std::condition_variable commandChanged;
    CommandDecoder decoder;

    double rate = 1.0; // frames per second of the device's own clock
    double skewPpm = 0.0;
    bool freeRunning = false;
    double appliedPace = -1.0;
    VirtualDevice::PaceStart paceStart;

    double voltageStep = 1.0;        // V per code
    std::vector<double> currentStep; // A per code, per channel
    std::vector<bool> channelOn;
    bool resetHeld = false;             // the front end is held in reset: no current
    std::vector<double> artefact;       // reset glitch shape over one period (peak 1); empty: none
    bool started = false;               // a protocol start was seen
    Stimulus stimulus;                  // the protocol, on the voltage words
    Stimulus pulses;                    // voltage pulses on top of it
    double overrideVoltage = 0.0;       // held on top while the reference override is
    Stimulus cellStimulus;              // on the cells only
    std::vector<Stimulus> offsets;      // per channel
    std::vector<double> compensation;   // fast capacitance compensated, per channel (F)
    std::vector<double> channelVoltage; // the last command of each cell
    // Digital offset compensation per channel: the current subtracted, and while it runs the
    // samples since it started.
    struct OffsetCompensation {
        bool running = false;
        double offset = 0.0; // A
        uint64_t elapsed = 0;
    };
    std::vector<OffsetCompensation> offsetCompensation;
    bool offsetCompensationAutostop = false;
    double offsetCompensationGain = 0.0; // per sample at the current rate
    uint64_t offsetCompensationFrames = 0;
    std::vector<uint16_t> gpLevels; // the raw word of each gp channel that does not move
    DecodedCommand::TtlTrain ttl;   // the train started last; no pulses before any start
    uint64_t ttlStart = 0;          // the frame at which it started
    std::vector<Cell> cells;
    std::optional<Washer> washerUnit;
    bool pattern = false;

    uint64_t frame = 0; // the device's sample clock
    uint64_t packetCount = 0;
    std::vector<uint8_t> status; // the info bytes of this cycle
    std::vector<uint8_t> packet;
    size_t packetPos = 0;
    size_t dropLeft = 0;
    size_t packetsToDrop = 0;
    size_t corruptLeft = 0;
    bool infoIndexStuck = false;
};

} // namespace kav4sim
