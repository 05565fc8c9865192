#include "simulator/commanddecoder.h"

#include "commlib/api/catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
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

} // namespace

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
