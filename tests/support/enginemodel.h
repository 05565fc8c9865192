#pragma once
// The model for engine tests and benchmarks, and builders of the packets such a device sends.

#include "commlib/core/messagedispatcher.h"
#include "commlib/models/cedar.h"
#include "commlib/transport/ftdidriver.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv4test {

using namespace kv4CommLib;
using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

// The reference model for engine tests and benchmarks, counting its range changes, with a
// calibration memory and a second reset stage (other models have them) on a byte it leaves free.
class TestModel : public MessageDispatcher_Cedarn_V01 {
  public:
    explicit TestModel(const std::string& id) : MessageDispatcher_Cedarn_V01(id) {
        secondResetCoder = std::make_unique<BoolArrayCoder>(BoolCoder::pack(secondResetByte, 0, 1));
        calibrationMemoryAvailable = true;
    }
    static constexpr uint16_t secondResetByte = 11;
    int rangeChanges = 0;
    void currentRangeChanged() override {
        rangeChanges++;
        MessageDispatcher_Cedarn_V01::currentRangeChanged();
    }
};

// One packet: the sync word, the info pair (current generation), then 16 samples of
// big-endian words given by word(sample, index).
inline std::vector<uint8_t> makePacket(const std::function<uint16_t(int, int)>& word,
                                       uint32_t sync = 0x7FFF8000, int wordsPerSample = 5, bool info = true,
                                       uint8_t infoIdx = 0, uint8_t infoValue = 0) {
    std::vector<uint8_t> p = {uint8_t(sync >> 24), uint8_t(sync >> 16), uint8_t(sync >> 8), uint8_t(sync)};
    if (info) {
        p.push_back(infoIdx);
        p.push_back(infoValue);
    }
    for (int s = 0; s < 16; s++) {
        for (int k = 0; k < wordsPerSample; k++) {
            const uint16_t w = word(s, k);
            p.push_back(uint8_t(w >> 8));
            p.push_back(uint8_t(w));
        }
    }
    return p;
}

// Packets whose words count frames: word 0 = frame & 0xFFFF, word 1 = frame >> 16, word 2 =
// frame & 0xFFFF again (the count among the current words, which parallel devices hand out), then
// k + tag. Their info index walks through 8 status bytes with the packet count, as a device's
// does; `complete` adds the next packet's marker and index, which complete the last packet.
inline std::vector<uint8_t> patternPackets(uint32_t firstFrame, uint32_t packets, uint16_t tag = 0,
                                           bool complete = false) {
    std::vector<uint8_t> bytes;
    for (uint32_t p = 0; p < packets; p++) {
        const uint32_t base = firstFrame + p * 16;
        const auto pk = makePacket(
            [&](int s, int k) -> uint16_t {
                const uint32_t frame = base + uint32_t(s);
                return k == 0 || k == 2 ? uint16_t(frame)
                       : k == 1         ? uint16_t(frame >> 16)
                                        : uint16_t(k + tag);
            },
            0x7FFF8000, 5, true, uint8_t(base / 16 % 8));
        bytes.insert(bytes.end(), pk.begin(), pk.end());
    }
    if (complete)
        bytes.insert(bytes.end(), {0x7F, 0xFF, 0x80, 0x00, uint8_t((firstFrame / 16 + packets) % 8)});
    return bytes;
}

inline void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

} // namespace kv4test
