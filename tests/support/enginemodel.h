#pragma once
// A four-channel current-generation model for engine tests and benchmarks, and builders
// of the packets such a device sends.

#include "commlib/core/messagedispatcher.h"
#include "commlib/transport/ftdidriver.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv4test {

using namespace kv4CommLib;
using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

inline std::unique_ptr<BoolArrayCoder> bits(uint16_t byte, uint8_t bit, uint8_t width) {
    return std::make_unique<BoolArrayCoder>(BoolCoder::pack(byte, bit, width));
}

inline std::unique_ptr<DoubleCoder> signAbs(uint16_t byte, uint8_t width, const RangedMeasurement_t& range) {
    return std::make_unique<DoubleSignAbsCoder>(
        DoubleCoder::Config{byte, 0, width, 0, range.step, range.min, range.max});
}

// Tables filled the way a model constructor fills them.
template <typename Base> void describeTestModel(Base& m) {
    using namespace kv4cl;
    m.syncWord = MessageDispatcher::syncWordCurrent;
    m.voltageChannelsNum = 1;
    m.currentChannelsNum = 4;
    m.wordsPerSample = 5;
    m.packetBytes = 4 + 2 + 2 * 16 * 5;
    m.txMessageBytes = 51;
    m.maxOutputFrames = 0x400000 / 5;
    m.infoBytes.assign(8, 0);
    m.txMessage.assign(51, 0);
    m.txMessage[0] = 0x80;
    m.txMessage[1] = 0x20;
    m.txMessage[2] = 0x03;
    m.txMessage[6] = 0x0F;
    m.headerTemplate = "test header";

    m.currentRanges = {{-200.0, 200.0, 200.0 / 32767.0, UnitPfxPico, "A"},
                       {-2.0, 2.0, 2.0 / 32767.0, UnitPfxNano, "A"},
                       {-20.0, 20.0, 20.0 / 32767.0, UnitPfxNano, "A"},
                       {-200.0, 200.0, 200.0 / 32767.0, UnitPfxNano, "A"}};
    auto range = std::make_unique<BoolRandomArrayCoder>(BoolCoder::pack(1, 1, 3));
    for (uint32_t code : {0, 2, 3, 7})
        range->addMapping(code);
    m.currentRangeCoders.push_back(std::move(range));

    m.voltageRanges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};
    m.voltageRangeCoder = bits(0, 0, 1);

    const double nominal[] = {1.25, 5, 10, 20, 50, 100, 200};
    const double real[] = {1.220703125, 4.8828125, 9.765625, 19.53125, 50, 100, 200};
    const double period[] = {819.2, 204.8, 102.4, 51.2, 20, 10, 5};
    auto rate = std::make_unique<BoolRandomArrayCoder>(BoolCoder::pack(2, 3, 4));
    for (int i = 0; i < 7; i++) {
        m.samplingRates.push_back({nominal[i], UnitPfxKilo, "Hz"});
        m.realSamplingRates.push_back({real[i], UnitPfxKilo, "Hz"});
        m.samplingPeriods.push_back({period[i], UnitPfxMicro, "s"});
        rate->addMapping(uint32_t(i < 4 ? i : i + 4));
    }
    m.samplingRateCoder = std::move(rate);

    m.switchBankACoder = bits(6, 0, 4);
    m.switchBankBCoder = bits(3, 5, 4);
    m.resetCoder = bits(1, 0, 1);
    m.secondResetCoder = bits(30, 0, 1);
    m.denoiserAvailable = true;
    m.denoiserTemplateMax = 512;
    m.calibrationMemoryAvailable = true;

    m.protocolNames = {"Constant", "Square wave"};
    m.protocolImages = {"holdingVoltage001", "sealTest001"};
    m.protocolParameterIdxs[ProtocolVoltage] = {{0}, {0, 1}};
    m.protocolParameterIdxs[ProtocolTime] = {{}, {0, 1}};
    m.protocolCoder = bits(4, 2, 4);
    m.protocolStartCoder = bits(4, 6, 1);
    auto& v = m.protocolParameters[ProtocolVoltage];
    v.names = {"Vhold", "Vpulse"};
    v.ranges = {{-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}, {-511.0, 511.0, 0.0625, UnitPfxMilli, "V"}};
    v.defaults = {{0.0, UnitPfxMilli, "V"}, {50.0, UnitPfxMilli, "V"}};
    v.coders.push_back(signAbs(7, 11, v.ranges[0]));
    v.coders.push_back(signAbs(17, 11, v.ranges[1]));
    auto& t = m.protocolParameters[ProtocolTime];
    t.names = {"Thold", "Tpulse"};
    t.ranges = {{0, 2e8, 1, UnitPfxMilli, "s"}, {0, 2e8, 1, UnitPfxMilli, "s"}};
    t.defaults = {{10.0, UnitPfxMilli, "s"}, {10.0, UnitPfxMilli, "s"}};
    t.coders.push_back(std::make_unique<DoubleTwosCompCoder>(DoubleCoder::Config{23, 0, 28, 0, 1.0, 0, 2e8}));
    t.coders.push_back(std::make_unique<DoubleTwosCompCoder>(DoubleCoder::Config{27, 0, 28, 0, 1.0, 0, 2e8}));

    m.insertionPulse.voltageRange = {-500.0, 500.0, 0.0625, UnitPfxMilli, "V"};
    m.insertionPulse.durationRange = {1.0, 15000.0, 1.0, UnitPfxMilli, "s"};
    m.insertionPulse.voltageCoder = signAbs(21, 11, m.insertionPulse.voltageRange);
    m.insertionPulse.durationCoder =
        std::make_unique<DoubleSignAbsCoder>(DoubleCoder::Config{33, 0, 28, 0, 1.0, 1.0, 15000.0});
    m.insertionPulse.pulseCoder = bits(6, 4, 1);
}

class TestModel : public MessageDispatcher {
  public:
    explicit TestModel(const std::string& id) : MessageDispatcher(id) { describeTestModel(*this); }
    ErrorCodes_t validateProtocolValues(const kv4CommLib::ProtocolValues&,
                                        std::string& message) const override {
        message = "Valid protocol";
        return kv4cl::Success;
    }
    int rangeChanges = 0;
    void currentRangeChanged() override {
        rangeChanges++;
        MessageDispatcher::currentRangeChanged();
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

// Packets whose words count frames: word 0 = frame & 0xFFFF, word 1 = frame >> 16, then k + tag.
// Their info index walks through 8 status bytes with the packet count, as a device's does.
inline std::vector<uint8_t> patternPackets(uint32_t firstFrame, uint32_t packets, uint16_t tag = 0) {
    std::vector<uint8_t> bytes;
    for (uint32_t p = 0; p < packets; p++) {
        const uint32_t base = firstFrame + p * 16;
        const auto pk = makePacket(
            [&](int s, int k) -> uint16_t {
                const uint32_t frame = base + uint32_t(s);
                return k == 0 ? uint16_t(frame) : k == 1 ? uint16_t(frame >> 16) : uint16_t(k + tag);
            },
            0x7FFF8000, 5, true, uint8_t(base / 16 % 8));
        bytes.insert(bytes.end(), pk.begin(), pk.end());
    }
    return bytes;
}

inline void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

} // namespace kv4test
