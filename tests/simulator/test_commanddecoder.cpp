#include "simulator/commanddecoder.h"

#include "commlib/api/catalogue.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace kav4sim;
using namespace kv4CommLib;
using Message = std::vector<uint8_t>;

namespace {

// Every model class of the catalogue that a device on USB can be, described.
std::vector<std::unique_ptr<MessageDispatcher>> catalogueModels() {
    std::vector<std::unique_ptr<MessageDispatcher>> models;
    std::set<uint32_t> seen;
    for (const CatalogueRow& row : catalogue()) {
        // The demo device answers in the library itself.
        if (row.deviceVersion == 253 || !seen.insert(row.modelIndex).second) continue;
        auto model = describeModel(row.deviceVersion, row.deviceSubversion, row.firmwareVersion, "DECODE01");
        if (!model) continue;
        model->resetSelection();
        models.push_back(std::move(model));
    }
    return models;
}

// A message whose bits outside the field are random: the inverse must read the field only.
Message noise(size_t bytes, std::mt19937& random) {
    Message m(bytes);
    for (uint8_t& b : m)
        b = uint8_t(random() & 0x7F);
    m[0] |= 0x80;
    return m;
}

void expectRoundTrip(const BoolCoder& coder, uint32_t value, size_t bytes, std::mt19937& random) {
    Message m = noise(bytes, random);
    coder.encode(value, m);
    EXPECT_EQ(CommandDecoder::decodeBool(coder, m), std::optional<uint32_t>(value))
        << "byte " << coder.byteOffset << " bit " << int(coder.bitOffset) << " width " << int(coder.bitsNum);
}

void expectRoundTrip(const DoubleCoder& coder, double value, size_t bytes, std::mt19937& random) {
    Message m = noise(bytes, random);
    const double applied = coder.encode(value, m);
    EXPECT_NEAR(CommandDecoder::decodeDouble(coder, m), applied, coder.resolution * 1e-9)
        << value << " at byte " << coder.byteOffset << " bit " << int(coder.bitOffset);
}

// Values of a field `width` bits wide: both ends, single bits, and random ones.
std::vector<uint32_t> fieldValues(unsigned width, std::mt19937& random) {
    const uint32_t top = width >= 32 ? 0xFFFFFFFFu : (uint32_t(1) << width) - 1;
    std::vector<uint32_t> values = {0, top};
    for (unsigned b = 0; b < width; b++)
        values.push_back(uint32_t(1) << b);
    for (int i = 0; i < 20; i++)
        values.push_back(uint32_t(random()) & top);
    return values;
}

} // namespace

TEST(CoderInverses, EveryKindRoundTrips) {
    std::mt19937 random(17);
    // Fields that start mid-byte and run over several bytes, up to 32 bits.
    const std::tuple<uint16_t, uint8_t, uint8_t> fields[] = {{1, 0, 1},  {2, 3, 4},  {3, 5, 9},
                                                             {4, 6, 20}, {5, 2, 32}, {6, 0, 7}};
    for (const auto& [byte, bit, width] : fields) {
        const uint32_t packed = BoolCoder::pack(byte, bit, width);
        for (const uint32_t v : fieldValues(width, random)) {
            expectRoundTrip(BoolArrayCoder(packed), v, 16, random);
            expectRoundTrip(BoolNegatedArrayCoder(packed), v, 16, random);
        }
        for (uint32_t index = 0; index < width; index++)
            expectRoundTrip(BoolOneHotCoder(packed), index, 16, random);
        if (width >= 4) {
            BoolRandomArrayCoder mapped(packed);
            for (const uint32_t code : {9u, 0u, 2u, 15u, 3u})
                mapped.addMapping(code);
            for (uint32_t index = 0; index < 5; index++)
                expectRoundTrip(mapped, index, 16, random);
        }
    }
    // A code split over two fields that are not adjacent, low bits first.
    EnsembleCoder ensemble;
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(2, 4, 3)));
    ensemble.addCoder(std::make_unique<BoolArrayCoder>(BoolCoder::pack(9, 1, 5)));
    for (const uint32_t code : {0x00u, 0x5Au, 0xFFu, 0x13u, 0x80u})
        ensemble.addValue(code);
    for (uint32_t index = 0; index < 5; index++)
        expectRoundTrip(ensemble, index, 16, random);

    const DoubleCoder::Config offsetConfig{3, 4, 8, 0, 0.25, -10.0, 30.0};
    const DoubleCoder::Config twosConfig{5, 6, 10, 0, 0.5, -100.0, 100.0};
    const DoubleCoder::Config signConfig{8, 0, 11, 0, 0.0625, -63.0, 63.0};
    const DoubleOffsetBinaryCoder offset(offsetConfig);
    const DoubleTwosCompCoder twos(twosConfig);
    const DoubleSignAbsCoder sign(signConfig);
    for (const DoubleCoder* coder : std::initializer_list<const DoubleCoder*>{&offset, &twos, &sign}) {
        std::uniform_real_distribution<double> inside(coder->minValue, coder->maxValue);
        for (const double v : {coder->minValue, coder->maxValue, 0.0, coder->resolution, -coder->resolution})
            expectRoundTrip(*coder, v, 16, random);
        for (int i = 0; i < 50; i++)
            expectRoundTrip(*coder, inside(random), 16, random);
    }
}

TEST(CoderInverses, CodesWithoutAnIndexAreRefused) {
    Message m(8, 0);
    m[0] = 0x80;
    BoolRandomArrayCoder mapped(BoolCoder::pack(2, 0, 3));
    for (const uint32_t code : {0u, 2u, 3u, 7u})
        mapped.addMapping(code);
    BoolArrayCoder(BoolCoder::pack(2, 0, 3)).encode(5, m);
    EXPECT_EQ(CommandDecoder::decodeBool(mapped, m), std::nullopt);
    BoolArrayCoder(BoolCoder::pack(2, 0, 3)).encode(6, m);
    EXPECT_EQ(CommandDecoder::decodeBool(BoolOneHotCoder(BoolCoder::pack(2, 0, 3)), m), std::nullopt)
        << "two bits set";
}

TEST(CoderInverses, EveryModelsCodersRoundTrip) {
    std::mt19937 random(5);
    for (const auto& model : catalogueModels()) {
        SCOPED_TRACE(typeid(*model).name());
        const MessageDispatcher& m = *model;
        const size_t bytes = m.txMessageBytes;
        const auto indices = [&](const BoolCoder* coder, size_t entries) {
            if (!coder) return;
            for (uint32_t i = 0; i < entries; i++)
                expectRoundTrip(*coder, i, bytes, random);
        };
        for (const auto& coder : m.currentRangeCoders)
            indices(coder.get(), m.currentRanges.size());
        indices(m.voltageRangeCoder.get(), m.voltageRanges.size());
        indices(m.samplingRateCoder.get(), m.realSamplingRates.size());
        indices(m.oversamplingCoder.get(), m.oversamplingRatios.size());
        indices(m.voltageStimulusLpfCoder.get(), m.voltageStimulusLpfs.size());
        indices(m.protocolCoder.get(), m.protocolNames.size());
        for (size_t i = 0; i < m.gpRangeCoders.size() && i < m.gpRanges.size(); i++)
            indices(m.gpRangeCoders[i].get(), m.gpRanges[i].size());
        for (size_t i = 0; i < m.choiceCoders.size() && i < m.choiceOptions.size(); i++)
            indices(m.choiceCoders[i].get(), m.choiceOptions[i].size());
        for (const BoolCoder* flag :
             {m.protocolStartCoder.get(), m.resetCoder.get(), m.secondResetCoder.get(),
              m.thirdPulseCoder.get(), m.singleSwitchCoder.get(), m.insertionPulse.pulseCoder.get(),
              m.referencePulse.pulseCoder.get()})
            indices(flag, 2);
        for (const auto& coder : m.switchCoders)
            indices(coder.get(), 2);
        for (const BoolCoder* bank : {m.switchBankACoder.get(), m.switchBankBCoder.get()})
            if (bank)
                for (const uint32_t mask : fieldValues(m.currentChannelsNum, random))
                    expectRoundTrip(*bank, mask, bytes, random);

        const auto values = [&](const DoubleCoder* coder, const RangedMeasurement& range) {
            if (!coder) return;
            std::uniform_real_distribution<double> inside(range.min, range.max);
            for (const double v : {range.min, range.max, range.min + range.step})
                expectRoundTrip(*coder, v, bytes, random);
            for (int i = 0; i < 10; i++)
                expectRoundTrip(*coder, inside(random), bytes, random);
        };
        for (const ProtocolParameters& family : m.protocolParameters)
            for (size_t i = 0; i < family.coders.size() && i < family.ranges.size(); i++)
                values(family.coders[i].get(), family.ranges[i]);
        for (const PulseControls* pulse : {&m.insertionPulse, &m.referencePulse}) {
            values(pulse->voltageCoder.get(), pulse->voltageRange);
            values(pulse->durationCoder.get(), pulse->durationRange);
        }
    }
}

TEST(CommandDecoder, ReadsWhatEveryModelsSettersEncode) {
    for (const auto& setter : catalogueModels()) {
        SCOPED_TRACE(typeid(*setter).name());
        MessageDispatcher& m = *setter;
        const uint16_t channels = m.currentChannelsNum;
        CommandDecoder decoder(m); // the device at power-on
        DecodedCommand expected = decoder.state();

        // Every setting away from its power-on value where the model allows it.
        for (uint16_t ch = 0; ch < channels && !m.currentRanges.empty(); ch++) {
            const uint16_t r = uint16_t((ch + 1) % m.currentRanges.size());
            m.setCurrentRange(r, ch, false);
            expected.currentRangeIdx[ch] = r;
        }
        if (m.currentRangeCoders.size() == 1) // one field for all: the last one set
            std::fill(expected.currentRangeIdx.begin(), expected.currentRangeIdx.end(),
                      expected.currentRangeIdx.back());
        if (m.voltageRangeCoder) {
            expected.voltageRangeIdx = uint16_t(m.voltageRanges.size() - 1);
            m.setVoltageRange(expected.voltageRangeIdx, false);
        }
        if (m.samplingRateCoder) {
            expected.samplingRateIdx = uint16_t(m.realSamplingRates.size() - 1);
            m.setSamplingRate(expected.samplingRateIdx, false);
        }
        if (m.oversamplingAvailable && m.oversamplingCoder) {
            expected.oversamplingRatioIdx = uint16_t(m.oversamplingRatios.size() - 1);
            m.setOversamplingRatio(expected.oversamplingRatioIdx, false);
        }
        for (uint16_t ch = 0; ch < channels; ch++) {
            if (m.switchBankACoder) m.setChannelSwitchA(ch, ch % 2 == 0, false);
            if (m.switchBankBCoder) m.setChannelSwitchB(ch, ch % 3 == 0, false);
            if (m.switchBankACoder) expected.switchBankA[ch] = ch % 2 == 0;
            if (m.switchBankBCoder) expected.switchBankB[ch] = ch % 3 == 0;
        }
        if (m.singleSwitchCoder) {
            m.setSingleSwitch(true, false);
            expected.singleSwitch = true;
        }
        if (m.protocolCoder) {
            expected.protocolIdx = uint16_t(m.protocolNames.size() - 1);
            m.selectProtocol(expected.protocolIdx, false);
        }
        for (int f = 0; f < ProtocolFamiliesNum; f++) {
            const ProtocolParameters& family = m.protocolParameters[f];
            for (size_t i = 0; i < family.coders.size(); i++) {
                // A value on the coder's grid, a third of the way through the range.
                const RangedMeasurement& range = family.ranges[i];
                const double value =
                    range.min + std::floor((range.max - range.min) / range.step / 3) * range.step;
                m.setProtocolParameter(ProtocolFamily(f), uint32_t(i), {value, range.prefix, range.unit},
                                       false);
                expected.protocolParameters[family.names[i]] =
                    value * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
            }
        }
        if (m.protocolStartCoder) {
            m.protocolStartCoder->encode(1, m.txMessage);
            expected.protocolStartBit = true;
            expected.protocolStarts = 1;
        }

        decoder.write(m.txMessage);
        const DecodedCommand& got = decoder.state();
        EXPECT_EQ(got.messages, 1u);
        EXPECT_EQ(got.currentRangeIdx, expected.currentRangeIdx);
        EXPECT_EQ(got.voltageRangeIdx, expected.voltageRangeIdx);
        EXPECT_EQ(got.samplingRateIdx, expected.samplingRateIdx);
        EXPECT_EQ(got.oversamplingRatioIdx, expected.oversamplingRatioIdx);
        EXPECT_EQ(got.switchBankA, expected.switchBankA);
        EXPECT_EQ(got.switchBankB, expected.switchBankB);
        EXPECT_EQ(got.singleSwitch, expected.singleSwitch);
        EXPECT_EQ(got.protocolIdx, expected.protocolIdx);
        EXPECT_EQ(got.protocolStarts, expected.protocolStarts);
        for (const auto& [name, value] : expected.protocolParameters) {
            ASSERT_TRUE(got.protocolParameters.count(name)) << name;
            EXPECT_NEAR(got.protocolParameters.at(name), value, std::abs(value) * 1e-12) << name;
        }
    }
}

TEST(CommandDecoder, MessagesAreWholeAndStartAtTheirMarker) {
    auto model = describeModel(4, 3, 129, "DECODE01");
    ASSERT_TRUE(model);
    model->resetSelection();
    MessageDispatcher& m = *model;
    CommandDecoder decoder(m);
    const auto withRate = [&](uint16_t rate, bool start) {
        m.setSamplingRate(rate, false);
        m.protocolStartCoder->encode(start, m.txMessage);
        return m.txMessage;
    };
    const Message two = withRate(2, false);
    const Message three = withRate(3, true);
    const Message four = withRate(4, true);
    const Message five = withRate(5, false);

    // Bytes before a marker and a message cut short are dropped; the next marker resyncs.
    EXPECT_EQ(decoder.write({0x12, 0x34}), 0u);
    EXPECT_EQ(decoder.write(Message(two.begin(), two.begin() + 20)), 0u);
    EXPECT_EQ(decoder.write(three), 1u);
    EXPECT_EQ(decoder.state().samplingRateIdx, 3);
    // A message may come in pieces, and two may come in one write.
    EXPECT_EQ(decoder.write(Message(four.begin(), four.begin() + 7)), 0u);
    Message rest(four.begin() + 7, four.end());
    rest.insert(rest.end(), five.begin(), five.end());
    EXPECT_EQ(decoder.write(rest), 2u);
    EXPECT_EQ(decoder.state().samplingRateIdx, 5);
    EXPECT_EQ(decoder.state().messages, 3u);
    // The start bit counts on its rising edge only: set in two messages in a row, it is one start.
    EXPECT_EQ(decoder.state().protocolStarts, 1u);
    EXPECT_FALSE(decoder.state().protocolStartBit);
}
