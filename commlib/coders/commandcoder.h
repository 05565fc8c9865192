#pragma once
// Command coders: each knows where one setting lives in the transmit message and
// how its value becomes bits. Every message byte carries 7 data bits (0..6); bit 7
// is reserved for the start-of-message marker in byte 0 and never written here.

#include <cstdint>
#include <memory>
#include <vector>

namespace kv4CommLib {

class CommandCoder {
  public:
    CommandCoder(uint16_t byteOffset, uint8_t bitOffset, uint8_t bitsNum);
    virtual ~CommandCoder() = default;
    CommandCoder(const CommandCoder&) = delete;
    CommandCoder& operator=(const CommandCoder&) = delete;

    uint16_t byteOffset;
    uint8_t bitOffset;
    uint8_t bitsNum;
    uint8_t bytesNum;
    std::vector<uint8_t> byteBitOffsets;
    std::vector<uint8_t> byteMasks;

  protected:
    // Writes the low bitsNum bits of code into the field, leaving other bits alone.
    void writeCode(uint32_t code, std::vector<uint8_t>& message) const;
};

class BoolCoder : public CommandCoder {
  public:
    // Packed configuration: bits 0-15 byteOffset, 16-23 bitOffset, 24-31 bitsNum.
    explicit BoolCoder(uint32_t packedConfig);
    static constexpr uint32_t pack(uint16_t byteOffset, uint8_t bitOffset, uint8_t bitsNum) {
        return uint32_t(byteOffset) | uint32_t(bitOffset) << 16 | uint32_t(bitsNum) << 24;
    }
    virtual void encode(uint32_t value, std::vector<uint8_t>& message) const = 0;
    const uint32_t packedConfig;
};

class BoolArrayCoder : public BoolCoder {
  public:
    using BoolCoder::BoolCoder;
    void encode(uint32_t value, std::vector<uint8_t>& message) const override;
};

class BoolNegatedArrayCoder : public BoolArrayCoder {
  public:
    using BoolArrayCoder::BoolArrayCoder;
    void encode(uint32_t value, std::vector<uint8_t>& message) const override;
};

// Maps an index to an arbitrary code; an index past the table uses entry 0.
class BoolRandomArrayCoder : public BoolArrayCoder {
  public:
    using BoolArrayCoder::BoolArrayCoder;
    void addMapping(uint32_t code) { valueMap.push_back(code); }
    void encode(uint32_t value, std::vector<uint8_t>& message) const override;
    std::vector<uint32_t> valueMap;
};

class BoolOneHotCoder : public BoolCoder {
  public:
    using BoolCoder::BoolCoder;
    void encode(uint32_t value, std::vector<uint8_t>& message) const override;
};

// Splits one mapped code over several fields that need not be adjacent: the low
// bits go to the first coder added.
class EnsembleCoder : public BoolCoder {
  public:
    EnsembleCoder();
    void addCoder(std::unique_ptr<BoolCoder> coder) { coders.push_back(std::move(coder)); }
    void addValue(uint32_t code) { values.push_back(code); }
    void encode(uint32_t value, std::vector<uint8_t>& message) const override;
    std::vector<std::unique_ptr<BoolCoder>> coders;
    std::vector<uint32_t> values;
};

class DoubleCoder : public CommandCoder {
  public:
    struct Config {
        uint16_t byteOffset = 0;
        uint8_t bitOffset = 0;
        uint8_t bitsNum = 0;
        uint32_t word = 0;
        double resolution = 1.0; // value of one code step
        double minValue = 0.0;   // clamping bounds, in the quantity's unit and prefix
        double maxValue = 0.0;
    };
    explicit DoubleCoder(const Config& config);
    // Returns the value actually applied, after clamping and quantisation.
    virtual double encode(double value, std::vector<uint8_t>& message) const = 0;
    const double resolution;
    const double minValue;
    const double maxValue;

  protected:
    double clamp(double value) const;
};

class DoubleOffsetBinaryCoder : public DoubleCoder {
  public:
    using DoubleCoder::DoubleCoder;
    double encode(double value, std::vector<uint8_t>& message) const override;
};

class DoubleTwosCompCoder : public DoubleCoder {
  public:
    using DoubleCoder::DoubleCoder;
    double encode(double value, std::vector<uint8_t>& message) const override;
};

class DoubleSignAbsCoder : public DoubleCoder {
  public:
    using DoubleCoder::DoubleCoder;
    double encode(double value, std::vector<uint8_t>& message) const override;
};

} // namespace kv4CommLib
