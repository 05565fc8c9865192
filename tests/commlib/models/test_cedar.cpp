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

struct Check {
    uint16_t protocol;
    std::vector<std::tuple<ProtocolFamily, uint32_t, double>> values; // over the defaults
    const char* message;
};

constexpr const char* valid = "Valid protocol";
constexpr ProtocolFamily V = ProtocolVoltage;
constexpr ProtocolFamily T = ProtocolTime;
constexpr ProtocolFamily A = ProtocolAdimensional;
enum : uint32_t { Vhold, Vpulse, Vstep, Vamp, Vfinal, Vinit };
enum : uint32_t { Thold, Tpulse, Tstep, Tramp, TPeriod };
enum : uint32_t { N, NR };

// Defaults: Vhold 0, Vpulse 100, Vstep 10, Vamp 50, Vfinal 100, Vinit -100 mV; Thold, Tpulse 100,
// Tstep 10, Tramp 1000, TPeriod 100 ms; N 10, NR 1.
const Check checks[] = {
    {0, {{V, Vhold, 600}}, "Vhold\nmust be within [-500,500]mV"},
    {0, {{V, Vhold, -500.5}}, "Vhold\nmust be within [-500,500]mV"},
    {0, {{V, Vhold, -500}}, valid},
    {0, {{V, Vhold, 0}, {V, Vpulse, 900}}, valid},

    {1, {{V, Vamp, 600}}, "Vhold+Vamp\nmust be within [-500,500]mV"},
    {1, {{V, Vhold, -460}, {T, TPeriod, 0}}, "Vhold-Vamp\nmust be within [-500,500]mV"},
    {1, {{T, TPeriod, 1001}}, "TPeriod\nmust be within [1,1000]ms"},
    {1, {{T, TPeriod, 0.5}}, "TPeriod\nmust be within [1,1000]ms"},
    {1, {{V, Vhold, 450}, {T, TPeriod, 1}}, valid},

    {2, {{V, Vpulse, 600}}, "Vhold+Vpulse\nmust be within [-500,500]mV"},
    {2, {{V, Vhold, -450}, {T, Tpulse, 0}}, "Vhold-Vpulse\nmust be within [-500,500]mV"},
    {2, {{T, Tpulse, 0}}, "Tpulse\nmust be within [1, 200e6]ms"},
    {2, {{T, Tpulse, 2e8}}, valid},

    // Several rules fail in most cases: the first is reported.
    {3, {{V, Vpulse, 450}}, "Vhold+Vpulse+Vstep(N-1)\nmust be within [-500,500]mV"},
    {3,
     {{V, Vhold, -300}, {V, Vpulse, 250}, {V, Vstep, 100}, {A, N, 7}},
     "Vhold+Vpulse+Vstep(N-1)\nmust be within [-500,500]mV"},
    {3, {{V, Vhold, -460}, {V, Vpulse, 50}, {V, Vstep, 0}}, "Vhold-Vpulse\nmust be within [-500,500]mV"},
    {3,
     {{V, Vhold, -400}, {V, Vpulse, 50}, {V, Vstep, 20}, {A, N, 6}},
     "Vhold-Vpulse-Vstep(N-1)\nmust be within [-500,500]mV"},
    {3, {{V, Vhold, 400}, {V, Vpulse, 150}}, "Vhold+Vpulse\nmust be within [-500,500]mV"},

    {4, {{V, Vhold, 501}}, "Vhold\nmust be within [-500,500]mV"},
    {4, {{V, Vhold, 450}}, "Vhold+Vpulse\nmust be within [-500,500]mV"},
    {4, {{V, Vpulse, 450}}, "Vhold+Vpulse+Vstep(N-1)\nmust be within [-500,500]mV"},
    {4, {{V, Vhold, -450}}, valid}, // the negative side is not checked here

    {5, {{T, Tpulse, 0}, {T, Tstep, 2e8}}, "Tpulse\nmust be within [1, 200e6]ms"},
    {5, {{T, Tstep, -1.5e8}}, "Tstep\nmust be within [-100e6, 100e6]ms"},
    {5, {{T, Tpulse, 10}, {T, Tstep, -5}}, "Tpulse+Tstep(N-1)\nmust be at least 1ms"},
    {5, {{T, Tpulse, 10}, {T, Tstep, 30}, {A, N, 0.5}}, "Tpulse+Tstep(N-1)\nmust be at least 1ms"},
    {5, {{A, N, 0}}, "N\nmust at least 1"},
    {5, {{A, N, 0.5}}, "N\nmust at least 1"},
    {5, {{T, Tpulse, 1}, {T, Tstep, 0}, {A, N, 1}}, valid},

    {6, {{V, Vfinal, 600}, {V, Vinit, -600}}, "Vfinal\nmust be within [-500,500]mV"},
    {6, {{V, Vinit, -600}, {T, Tramp, 0.5}}, "Vinit\nmust be within [-500,500]mV"},
    {6, {{T, Tramp, 0.5}}, "Tramp\nmust be within [1, 30e6]ms"},
    {6, {{T, Tramp, 3e7}, {A, N, 0}}, valid},

    {7, {{T, Tramp, 3.1e7}, {A, N, 0}}, "Tramp\nmust be within [1, 30e6]ms"},
    {7, {{A, N, 0}}, "N\nmust at least 1"},
    {7, {{A, N, 0.5}}, valid},
};

TEST(CedarProtocols, EachProtocolReportsItsFirstFailingRule) {
    auto m = standalone<MessageDispatcher_Cedarn_V01>();
    const auto units = [](ProtocolFamily f) {
        return f == V   ? std::pair{UnitPfxMilli, "V"}
               : f == T ? std::pair{UnitPfxMilli, "s"}
                        : std::pair{UnitPfxNone, ""};
    };
    for (const Check& check : checks) {
        m->resetSelection();
        ASSERT_EQ(m->selectProtocol(check.protocol, false), Success);
        std::string context = "protocol " + std::to_string(check.protocol);
        for (const auto& [family, idx, value] : check.values) {
            const auto [prefix, unit] = units(family);
            ASSERT_EQ(m->setProtocolParameter(family, idx, {value, prefix, unit}, false), Success);
            context += ", " + std::to_string(int(family)) + "/" + std::to_string(idx) + " = " +
                       std::to_string(value);
        }
        std::string message;
        EXPECT_EQ(m->validateProtocol(message),
                  std::string(check.message) == valid ? Success : ErrorInvalidProtocolParameters)
            << context;
        EXPECT_EQ(message, check.message) << context;
    }
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
