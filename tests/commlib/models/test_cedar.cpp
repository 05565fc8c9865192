// The reference model: its message layout against bytes worked out by hand, its packets, the
// protocol checks and the reset denoiser settings.

#include "commlib/models/cedar.h"
#include "tests/commlib/models/modeltest.h"

namespace kv4test {
namespace {

using namespace kv4cl;

const Identity cedar{.version = 4, .subversion = 3, .firmware = 129};

Measurement_t mV(double v) {
    return {v, UnitPfxMilli, "V"};
}
Measurement_t ms(double v) {
    return {v, UnitPfxMilli, "s"};
}
Measurement_t count(double v) {
    return {v, UnitPfxNone, ""};
}

class Cedar : public ModelBus {
  protected:
    void SetUp() override {
        ModelBus::SetUp();
        addDevice("CEDAR1", cedar);
    }
    Golden golden{"cedar_v01.golden"};
};

TEST_F(Cedar, ConnectResetsThenInitialisesRateAndSwitchesBeforeTheConfiguration) {
    MessageDispatcher& m = connectModel("CEDAR1");
    EXPECT_TRUE(bus->device("CEDAR1")->writes('B').empty())
        << "nothing is sent before the device shows signs of life";
    const std::vector<Message> w = wakeAndWaitForWrites("CEDAR1", 5);
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], golden.bytes("reset"));
    EXPECT_EQ(w[1], golden.bytes("power-on"));
    EXPECT_EQ(w[2], golden.bytes("power-on")) << "all channels on, sent";
    EXPECT_EQ(w[3], golden.bytes("power-on")) << "bank B off, sent";
    EXPECT_EQ(w[4], golden.bytes("configured"));

    // Again from a changed state: the rate goes back to its default before bank A is sent, bank B
    // is still as left until its own message, and the rest waits for the caller to send.
    ASSERT_EQ(m.setSamplingRate(5, false), Success);
    ASSERT_EQ(m.setChannelSwitchA(2, false, false), Success);
    ASSERT_EQ(m.setChannelSwitchB(1, true, false), Success);
    ASSERT_EQ(m.initializeDevice(), Success);
    ASSERT_TRUE(bus->device("CEDAR1")->waitForWrites('B', 7, 10s));
    const std::vector<Message> again = bus->device("CEDAR1")->writes('B');
    ASSERT_EQ(again.size(), 7u);
    Message bankBStillOn = golden.bytes("configured");
    bankBStillOn[3] = 0x40; // bank B bit 1 = byte 3 bit 6
    EXPECT_EQ(again[5], bankBStillOn);
    EXPECT_EQ(again[6], golden.bytes("configured"));
    EXPECT_TRUE(m.denoiserSuspended) << "the default rate is one of the slow ones";
}

TEST_F(Cedar, SettingsGiveTheGoldenMessage) {
    auto m = standalone<MessageDispatcher_Cedarn_V01>();
    EXPECT_EQ(m->txMessage, golden.bytes("power-on"));
    ASSERT_EQ(m->initializeDevice(), Success);
    EXPECT_EQ(m->txMessage, golden.bytes("configured"));

    ASSERT_EQ(m->setCurrentRange(3, 4, false), Success);
    ASSERT_EQ(m->setSamplingRate(5, false), Success);
    ASSERT_EQ(m->setChannelSwitchB(1, true, false), Success);
    ASSERT_EQ(m->setChannelSwitchB(3, true, false), Success);
    ASSERT_EQ(m->setChannelSwitchA(2, false, false), Success);
    ASSERT_EQ(m->selectProtocol(6, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 0, mV(-37.5), false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 3, mV(-50), false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolVoltage, 5, mV(600), false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 1, ms(1e8), false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 2, ms(-5), false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolTime, 4, {1.0, UnitPfxNone, "s"}, false), Success);
    ASSERT_EQ(m->setProtocolParameter(ProtocolAdimensional, 0, count(300), false), Success);
    ASSERT_EQ(m->setSwitch(2, true), Success);
    ASSERT_EQ(m->setSwitch(5, false), Success);
    // The stimulus filter is chosen on the device itself: accepted, nothing encoded.
    ASSERT_EQ(m->setVoltageStimulusLpf(0, false), Success);
    EXPECT_EQ(m->setVoltageStimulusLpf(2, false), ErrorValueOutOfRange);
    EXPECT_EQ(m->txMessage, golden.bytes("settings"));

    EXPECT_EQ(m->setSamplingRate(7, false), ErrorValueOutOfRange);
    EXPECT_EQ(m->setSwitch(8, true), ErrorValueOutOfRange);
    EXPECT_EQ(m->setOversamplingRatio(0, false), ErrorFeatureNotImplemented);
}

TEST_F(Cedar, InsertionPulseStartsTheHoldingProtocolThenFiresThroughThePulseFields) {
    MessageDispatcher& m = connectModel("CEDAR1");
    wakeAndWaitForWrites("CEDAR1", 5);
    ASSERT_EQ(m.setInsertionPulse(mV(250), {2.0, UnitPfxNone, "s"}), Success);
    ASSERT_TRUE(bus->device("CEDAR1")->waitForWrites('B', 7, 10s));
    const std::vector<Message> w = bus->device("CEDAR1")->writes('B');
    ASSERT_EQ(w.size(), 7u);
    EXPECT_EQ(w[5], golden.bytes("pulse start"));
    EXPECT_EQ(w[6], golden.bytes("pulse"));
    EXPECT_EQ(m.txMessage[6], 0x0F) << "the pulse bit is cleared again";
}

TEST_F(Cedar, PacketsBecomeFrames) {
    MessageDispatcher& m = connectModel("CEDAR1");
    expectGoldenReceive(m, "CEDAR1", golden);
    EXPECT_EQ(m.infoBytes[3], 0x2A) << "the info pair of the packet";
}

// ---- Protocol checks ------------------------------------------------------------------------------

// The cases of golden/cedar_protocols.txt.
TEST(CedarProtocols, EachProtocolReportsItsFirstFailingRule) {
    auto m = standalone<MessageDispatcher_Cedarn_V01>();
    const ProtocolFamily V = ProtocolVoltage, T = ProtocolTime, A = ProtocolAdimensional;
    const std::map<std::string, std::pair<ProtocolFamily, uint32_t>> parameters = {
        {"Vhold", {V, 0}},   {"Vpulse", {V, 1}}, {"Vstep", {V, 2}},  {"Vamp", {V, 3}},  {"Vfinal", {V, 4}},
        {"Vinit", {V, 5}},   {"Thold", {T, 0}},  {"Tpulse", {T, 1}}, {"Tstep", {T, 2}}, {"Tramp", {T, 3}},
        {"TPeriod", {T, 4}}, {"N", {A, 0}},      {"NR", {A, 1}}};
    std::ifstream cases(std::string(GOLDEN_DIR) + "/cedar_protocols.txt");
    ASSERT_TRUE(cases);
    int checked = 0;
    for (std::string line; std::getline(cases, line);) {
        if (line.empty() || line[0] == '#') continue;
        SCOPED_TRACE(line);
        const size_t bar = line.find(" | ");
        ASSERT_NE(bar, std::string::npos);
        std::string expected = line.substr(bar + 3);
        if (const size_t lineBreak = expected.find("\\n"); lineBreak != std::string::npos)
            expected = expected.substr(0, lineBreak) + "\n" + expected.substr(lineBreak + 2);
        std::istringstream fields(line.substr(0, bar));
        uint16_t protocol = 0;
        fields >> protocol;
        m->resetSelection();
        ASSERT_EQ(m->selectProtocol(protocol, false), Success);
        for (std::string field; fields >> field;) {
            const auto [family, idx] = parameters.at(field.substr(0, field.find('=')));
            const Measurement_t value{std::stod(field.substr(field.find('=') + 1)),
                                      family == A ? UnitPfxNone : UnitPfxMilli,
                                      family == V   ? "V"
                                      : family == T ? "s"
                                                    : ""};
            ASSERT_EQ(m->setProtocolParameter(family, idx, value, false), Success);
        }
        std::string message;
        EXPECT_EQ(m->validateProtocol(message),
                  expected == "Valid protocol" ? Success : ErrorInvalidProtocolParameters);
        EXPECT_EQ(message, expected);
        checked++;
    }
    EXPECT_EQ(checked, 36);
}

// ---- Reset denoiser -------------------------------------------------------------------------------

TEST(CedarDenoiser, SuspendedAtTheSlowRatesPeriodFromRateAndRangeElsewhere) {
    auto m = standalone<MessageDispatcher_Cedarn_V01>();
    struct Expected {
        uint16_t rate;
        uint16_t range;
        bool suspended;
        uint32_t period;
    };
    // k = rate / 50 kHz: 1, 2 and 4 at 50, 100 and 200 kHz; period 128 k on ranges 0-2, 32 k on 3.
    const Expected table[] = {
        {0, 0, true, 1},    {0, 3, true, 1},   {1, 1, true, 1},    {2, 2, true, 1},    {2, 3, true, 1},
        {3, 0, false, 2},   {3, 2, false, 2},  {3, 3, true, 1},    {4, 0, false, 128}, {4, 3, false, 32},
        {5, 1, false, 256}, {5, 3, false, 64}, {6, 2, false, 512}, {6, 3, false, 128},
    };
    for (const Expected& e : table) {
        ASSERT_EQ(m->setSamplingRate(e.rate, false), Success);
        ASSERT_EQ(m->setCurrentRange(e.range, 4, false), Success);
        EXPECT_EQ(m->denoiserSuspended, e.suspended) << "rate " << e.rate << " range " << e.range;
        EXPECT_EQ(m->denoiserPeriod, e.period) << "rate " << e.rate << " range " << e.range;
        EXPECT_DOUBLE_EQ(m->denoiserAlpha, e.range < 3 ? 2.0 / 258.0 : 2.0 / 1026.0);
        EXPECT_DOUBLE_EQ(m->denoiserBeta, 1.0 / e.period);
    }
    // Channel 0 decides for the whole device.
    ASSERT_EQ(m->setSamplingRate(4, false), Success);
    ASSERT_EQ(m->setCurrentRange(0, 4, false), Success);
    ASSERT_EQ(m->setCurrentRange(3, 2, false), Success);
    EXPECT_EQ(m->denoiserPeriod, 128u);
    ASSERT_EQ(m->setCurrentRange(3, 0, false), Success);
    EXPECT_EQ(m->denoiserPeriod, 32u);
}

} // namespace
} // namespace kv4test
