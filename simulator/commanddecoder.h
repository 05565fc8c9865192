#pragma once
// Reads the transmit messages that reach a device with the model's own coders, as the
// device's firmware does: each coder kind has its inverse here, and a message is decoded
// into the settings it carries.

#include "commlib/core/messagedispatcher.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kav4sim {

// What the device was told: indices into the model's tables, values in volts and seconds,
// and counts of the one-shot commands (each counted on the rising edge of its bit).
struct DecodedCommand {
    struct Pulse {
        bool bit = false;
        double voltage = 0.0;  // V
        double duration = 0.0; // s
        uint64_t count = 0;
    };

    std::vector<uint16_t> currentRangeIdx; // per current channel
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

    const kv4CommLib::MessageDispatcher& model;
    DecodedCommand current;
    std::vector<uint8_t> partial;
};

} // namespace kav4sim
