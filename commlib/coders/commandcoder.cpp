#include "commlib/coders/commandcoder.h"

#include <algorithm>
#include <cmath>

namespace kv4CommLib {

CommandCoder::CommandCoder(uint16_t byteOffset, uint8_t bitOffset, uint8_t bitsNum)
    : byteOffset(byteOffset), bitOffset(bitOffset), bitsNum(bitsNum),
      bytesNum(uint8_t((bitOffset + bitsNum + 6) / 7)) {
    int remaining = bitsNum;
    for (int i = 0; i < bytesNum; i++) {
        const int off = i == 0 ? bitOffset : 0;
        const int take = std::min(remaining + off, 7) - off;
        byteBitOffsets.push_back(uint8_t(off));
        byteMasks.push_back(uint8_t(((1 << take) - 1) << off));
        remaining -= take;
    }
}

void CommandCoder::writeCode(uint32_t code, std::vector<uint8_t>& message) const {
    for (int i = 0; i < bytesNum; i++) {
        uint8_t& byte = message[byteOffset + i];
        byte &= uint8_t(~byteMasks[i]);
        byte |= uint8_t(((code & 0xFF) << byteBitOffsets[i]) & byteMasks[i]);
        code >>= 7 - byteBitOffsets[i];
    }
}

BoolCoder::BoolCoder(uint32_t packedConfig)
    : CommandCoder(uint16_t(packedConfig), uint8_t(packedConfig >> 16), uint8_t(packedConfig >> 24)),
      packedConfig(packedConfig) {}

void BoolArrayCoder::encode(uint32_t value, std::vector<uint8_t>& message) const {
    writeCode(value, message);
}

void BoolNegatedArrayCoder::encode(uint32_t value, std::vector<uint8_t>& message) const {
    writeCode(~value, message);
}

void BoolRandomArrayCoder::encode(uint32_t value, std::vector<uint8_t>& message) const {
    writeCode(valueMap[value < valueMap.size() ? value : 0], message);
}

void BoolOneHotCoder::encode(uint32_t value, std::vector<uint8_t>& message) const {
    // A shift of 32 or more is undefined; such an index has no bit in any field anyway.
    writeCode(value < 32 ? uint32_t(1) << value : 0, message);
}

EnsembleCoder::EnsembleCoder() : BoolCoder(0) {}

void EnsembleCoder::encode(uint32_t value, std::vector<uint8_t>& message) const {
    // 64 bits so that a 32-bit wide part can still be masked and shifted out.
    uint64_t code = values[value < values.size() ? value : 0];
    for (const auto& coder : coders) {
        const unsigned width = coder->bitsNum;
        coder->encode(uint32_t(code & ((uint64_t(1) << width) - 1)), message);
        code >>= width;
    }
}

DoubleCoder::DoubleCoder(const Config& config)
    : CommandCoder(config.byteOffset, config.bitOffset, config.bitsNum), resolution(config.resolution),
      minValue(config.minValue), maxValue(config.maxValue) {}

double DoubleCoder::clamp(double value) const {
    return std::min(std::max(value, minValue), maxValue);
}

double DoubleOffsetBinaryCoder::encode(double value, std::vector<uint8_t>& message) const {
    const long code = std::lround((clamp(value) - minValue) / resolution);
    writeCode(uint32_t(code), message);
    return double(code) * resolution + minValue;
}

double DoubleTwosCompCoder::encode(double value, std::vector<uint8_t>& message) const {
    const int32_t code = int32_t(std::lround(clamp(value) / resolution));
    writeCode(uint32_t(code), message);
    return double(code) * resolution;
}

double DoubleSignAbsCoder::encode(double value, std::vector<uint8_t>& message) const {
    const double v = clamp(value);
    const long magnitude = std::lround(std::fabs(v) / resolution);
    const uint32_t sign = v < 0 ? uint32_t(1) << (bitsNum - 1) : 0;
    writeCode(uint32_t(magnitude) + sign, message);
    return v < 0 ? -double(magnitude) * resolution : double(magnitude) * resolution;
}

} // namespace kv4CommLib
