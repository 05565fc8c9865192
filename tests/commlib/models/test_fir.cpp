// The washer of the multi-well system, driven through the Fir amplifier.

#include "tests/commlib/models/modeltest.h"

namespace kv4test {
namespace {

using namespace kv4cl;

class Washer : public ModelBus {
  protected:
    void SetUp() override {
        ModelBus::SetUp();
        device = addDevice("FIR01", {8, 2, 5});
        ASSERT_EQ(kv4cl::connect({"FIR01"}), Success);
        keepDeliveries(*device);
        written = 5; // reset pulse, front-end reset pulse, configuration
        device->feed('B', {0x00});
        ASSERT_TRUE(device->waitForWrites('B', written, 10s));
    }
    std::vector<Message> sentBy(ErrorCodes_t result, size_t expected) {
        EXPECT_EQ(result, Success);
        written += expected;
        EXPECT_TRUE(device->waitForWrites('B', written, 10s));
        const std::vector<Message> all = device->writes('B');
        return {all.end() - long(expected), all.end()};
    }
    const Golden fir{"fir.golden"};
    std::shared_ptr<kav4sim::VirtualDevice> device;
    size_t written = 0;
};

TEST_F(Washer, CommandsAreEdgesWithTheirArguments) {
    auto sent = sentBy(setWasherPresetSpeeds({10, -20, 100, -100}), 1);
    expectRun(sent[0], fir, "washer preset speeds");
    sent = sentBy(startWasher(2), 1);
    EXPECT_EQ(sent[0][38], 1 | 2 << 3 | 0x20);
    EXPECT_EQ(sent[0][39], 0x0A) << "the speeds stay in the message";
    sent = sentBy(setRawBit(43, 6, false), 1);
    EXPECT_EQ(sent[0][38], 2 << 3) << "no command repeats in later messages";
    EXPECT_EQ(sentBy(resetWasherError(), 1)[0][38], 2 | 2 << 3 | 0x20);
    EXPECT_EQ(sentBy(updateWasherState(), 1)[0][38], 3 | 2 << 3 | 0x20);
    EXPECT_EQ(sentBy(updateWasherPresetSpeeds(), 1)[0][38], 4 | 2 << 3 | 0x20);

    EXPECT_EQ(startWasher(4), ErrorValueOutOfRange);
    EXPECT_EQ(setWasherPresetSpeeds({1, 2, 3}), ErrorValueOutOfRange);
    EXPECT_EQ(setWasherPresetSpeeds({1, 2, 3, -101}), ErrorValueOutOfRange);
}

TEST_F(Washer, StatusAndSpeedsComeFromTheDevice) {
    // The washer's error code and speeds arrive in the info bytes 0 to 4, one pair per packet,
    // the index walking through all the info bytes.
    feedPackets("FIR01", 'B', deviceList().first(), packet(deviceList().first()),
                Message{9, 0xFB, 20, 0x80, 0x7F});

    int8_t code = 0;
    std::vector<int8_t> speeds;
    ASSERT_EQ(getWasherStatus(code, speeds), Success);
    EXPECT_EQ(code, 9);
    EXPECT_EQ(speeds, (std::vector<int8_t>{-5, 20, -128, 127}));
    ASSERT_EQ(getWasherPresetSpeeds(speeds), Success);
    EXPECT_EQ(speeds[0], -5);
}

// The TTL output: the train's fields, each value given in any prefix of its unit, and the start
// strobe.
TEST_F(Washer, TtlPulsesAreSentWithTheirFieldsAndChecked) {
    const auto us = [](double v) { return Measurement_t{v, UnitPfxMicro, "s"}; };
    const auto ms = [](double v) { return Measurement_t{v, UnitPfxMilli, "s"}; };
    const auto seconds = [](double v) { return Measurement_t{v, UnitPfxNone, "s"}; };
    struct Case {
        Measurement_t duration, period, delay;
        uint16_t pulses;
        const char* section;
    };
    const char* const usual = "ttl 250 us every 2.5 ms after 1 ms, 300 pulses";
    const Case cases[] = {
        {us(250), ms(2.5), us(1000), 300, usual},
        {ms(0.25), us(2500), ms(1), 300, usual}, // in other prefixes
        {ms(10), seconds(10), seconds(1), 1000, "ttl 10 ms every 10 s after 1 s, 1000 pulses"},
        {us(1), ms(0.1), us(0), 1, "ttl 1 us every 0.1 ms, 1 pulse"},
    };
    for (const Case& c : cases) {
        const auto sent = sentBy(startTtlPulses(c.duration, c.period, c.delay, c.pulses), 1);
        expectRun(sent[0], fir, c.section);
        EXPECT_EQ(sent[0].size(), 54u) << "the train's fields end the message";
        EXPECT_EQ(sentBy(setRawBit(38, 6, false), 1)[0][53] & 0x08, 0) << "the start is an edge";
    }

    // The library refuses values that are no numbers before the model sees them.
    const Case refused[] = {
        {us(0.5), ms(1), us(0), 1, nullptr},                    // duration below its range
        {us(100), ms(0.05), us(0), 1, nullptr},                 // period below its range
        {us(100), ms(1), us(-1), 1, nullptr},                   // negative delay
        {us(100), ms(1), us(0), 0, nullptr},                    // no pulse
        {us(100), ms(1), us(0), 1001, nullptr},                 // too many
        {us(1000), ms(1), us(0), 1, nullptr},                   // a pulse as long as its period
        {{100.0, UnitPfxMicro, "V"}, ms(1), us(0), 1, nullptr}, // not a time
    };
    for (const Case& c : refused)
        EXPECT_EQ(startTtlPulses(c.duration, c.period, c.delay, c.pulses), ErrorValueOutOfRange)
            << c.duration.value << " " << c.period.value << " " << c.delay.value << " " << c.pulses;
}

} // namespace
} // namespace kv4test
