#pragma once
// Reads the transmit messages that reach a device with the model's own coders, as the
// device's firmware does: each coder kind has its inverse here, and a message is decoded
// into the settings it carries.

#include "commlib/core/messagedispatcher.h"
#include "commlib/models/fir.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kav4sim {

// What the device was told: indices into the model's tables, values in volts, seconds and
// farads, and counts of the one-shot commands (each counted on the rising edge of its bit).
// A strobe is set by the library in one message only and cleared in the next, which it may
// not send before the next strobe: so the strobed commands (reference pulse trains, latched
// values, washer commands) act with every message that has their strobe set, or with every
// message when the model has no strobe for them. A channel field holding the channel count
// addresses every channel.
struct DecodedCommand {
    struct Pulse {
        bool bit = false;
        double voltage = 0.0;  // V
        double duration = 0.0; // s
        uint64_t count = 0;
    };
    // The reference pulse repeated: `pulses` of them, one every `period`.
    struct PulseTrain {
        double period = 0.0; // s
        uint32_t pulses = 0;
        uint64_t count = 0;
    };
    // The last order for one channel's voltage offset: from `from` to `to` in `duration`; a
    // value latched as such goes there at once.
    struct OffsetOrder {
        double from = 0.0;     // V
        double to = 0.0;       // V
        double duration = 0.0; // s
        uint64_t count = 0;
    };
    // The washer of the multi-well model: the last command strobed, with the preset and the
    // speeds of that message.
    struct Washer {
        uint8_t command = 0;
        uint16_t preset = 0;
        std::array<int8_t, kv4CommLib::MessageDispatcher_Fir_V01::washerPresets> speeds{};
        uint64_t count = 0;
    };

    std::vector<uint16_t> currentRangeIdx; // per current channel
    std::vector<uint16_t> gpRangeIdx;      // per gp channel
    uint16_t voltageRangeIdx = 0;
    uint16_t samplingRateIdx = 0;
    uint16_t oversamplingRatioIdx = 0;
    std::vector<bool> switchBankA; // per current channel; empty when the model has no such bank
    std::vector<bool> switchBankB;
    bool singleSwitch = false;
    uint16_t protocolIdx = 0;
    // By the model's parameter names: voltages in V, times in s, counts as numbers.
    std::map<std::string, double> protocolParameters;
    bool protocolStartBit = false;
    uint64_t protocolStarts = 0;
    bool resetBit = false;
    uint64_t resets = 0;
    Pulse insertionPulse;
    Pulse referencePulse;
    PulseTrain referencePulseTrain;
    bool referenceOverride = false;
    std::vector<double> cFast; // per current channel
    std::vector<bool> cFastEnabled;
    uint64_t cFastLatches = 0;
    // Digital offset compensation: per current channel the last order (on or off) and the count
    // of orders; empty without it.
    struct CompensationOrder {
        bool on = false;
        uint64_t count = 0;
    };
    std::vector<CompensationOrder> offsetCompensation;
    bool offsetCompensationAutostop = false;
    std::vector<uint64_t> zaps; // per current channel; empty without zap
    // The TTL output's last train, with the count of starts.
    struct TtlTrain {
        double duration = 0.0; // s
        double period = 0.0;   // s
        double delay = 0.0;    // s
        uint32_t pulses = 0;
        uint64_t count = 0;
    };
    TtlTrain ttl;
    std::vector<OffsetOrder> voltageOffsets; // per current channel; empty without offsets
    // The fast-pulses rows by the names of stimulus.h ("Pulse 2 wait"): V, s and counts.
    std::map<std::string, double> fastPulses;
    uint64_t fastPulsesLatches = 0;
    Washer washer;
    std::vector<bool> leds;
    std::vector<bool> switches;        // the model's named switches
    std::vector<uint16_t> choices;     // the option of each of the model's choices
    std::vector<double> customDoubles; // in the unit of each range, without prefix
    uint16_t voltageReferenceRangeIdx = 0;
    double voltageReference = 0.0; // V
    uint16_t voltageReferenceLpfIdx = 0;
    uint64_t messages = 0; // whole messages decoded
};

class CommandDecoder {
  public:
    // The state starts as the model's power-on message says.
    explicit CommandDecoder(const kv4CommLib::MessageDispatcher& model);

    // Takes the bytes of one write and decodes every message they complete. A message starts
    // at a byte with bit 7 set; a message cut short is dropped when the next one starts.
    // Returns the number of messages decoded.
    size_t write(const std::vector<uint8_t>& bytes);
    const DecodedCommand& state() const { return current; }

    // The inverse of each coder's encode. A bool coder gives the index (value) that was
    // encoded, or nothing when the field holds a code that no index maps to.
    static uint32_t readField(const kv4CommLib::CommandCoder& coder, const std::vector<uint8_t>& message);
    static std::optional<uint32_t> decodeBool(const kv4CommLib::BoolCoder& coder,
                                              const std::vector<uint8_t>& message);
    // The value in the quantity's unit and prefix, as the coder's bounds are.
    static double decodeDouble(const kv4CommLib::DoubleCoder& coder, const std::vector<uint8_t>& message);

  private:
    void apply(const std::vector<uint8_t>& message);
    void applyLatches(const std::vector<uint8_t>& message);
    // Whether the command of `strobe` acts with this message (see DecodedCommand).
    static bool fires(const kv4CommLib::BoolCoder* strobe, const std::vector<uint8_t>& message);
    // The channels a channel field addresses: [first, end).
    std::pair<uint16_t, uint16_t> addressed(const kv4CommLib::BoolCoder* channel,
                                            const std::vector<uint8_t>& message) const;

    const kv4CommLib::MessageDispatcher& model;
    const kv4CommLib::MessageDispatcher_Fir_V01* const washerModel; // null: no washer
    DecodedCommand current;
    std::vector<uint8_t> partial;
};

} // namespace kav4sim
