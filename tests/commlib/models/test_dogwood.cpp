// The Dogwood models and the optional features only they have, checked on the bytes the
// device receives against golden/dogwood.golden.

#include "tests/commlib/models/modeltest.h"

#include "commlib/models/dogwood.h"
#include "simulator/simulation.h"

#include <functional>
#include <map>

namespace kv4test {
namespace {

using namespace kv4cl;

constexpr Identity dogwood16{12, 4, 1};
constexpr Identity dogwood32{12, 5, 1};

class Dogwood : public ModelBus {
  protected:
    // Connects through the public functions and waits for the power-on messages on channel A:
    // the reset pulse, the front-end reset pulse and the configuration.
    void connectDogwood(Identity id) {
        device = addDevice("DW01", id);
        ASSERT_EQ(kv4cl::connect({"DW01"}), Success);
        keepDeliveries(*device);
        device->feed('A', {0x00});
        written = 5;
        ASSERT_TRUE(device->waitForWrites('A', written, 10s));
    }
    // The message a call sends, once it is on the wire.
    template <typename F> Message sentBy(F&& call) {
        EXPECT_EQ(call(), Success);
        EXPECT_TRUE(device->waitForWrites('A', ++written, 10s));
        const std::vector<Message> all = device->writes('A');
        EXPECT_EQ(all.size(), written);
        return all.empty() ? Message() : all.back();
    }
    // The message a call sends, checked against a golden run.
    Message expectBytes(const std::function<ErrorCodes_t()>& call, const std::string& section) {
        const Message sent = sentBy(call);
        expectRun(sent, dogwood, section);
        return sent;
    }
    // That a message holds a golden section's fields, triples of byte, mask and value.
    void expectFields(const Message& sent, const std::string& section) {
        const Message fields = dogwood.bytes(section);
        for (size_t f = 0; f + 2 < fields.size(); f += 3)
            EXPECT_EQ(sent.at(fields[f]) & fields[f + 1], fields[f + 2])
                << section << ", byte " << int(fields[f]);
    }
    const Golden dogwood{"dogwood.golden"};
    std::shared_ptr<kav4sim::VirtualDevice> device;
    size_t written = 0;
};

TEST_F(Dogwood, SixteenChannelsHaveARangeEachAndTheTwoRangeModesDiffer) {
    connectDogwood(dogwood16);
    bool independent = false;
    ASSERT_EQ(hasIndependentCurrentRanges(independent), Success);
    EXPECT_TRUE(independent);
    expectBytes([] { return setCurrentRange(3, 3); }, "range 3 on channel 3");
    expectBytes([] { return setCurrentRange(2, 16); }, "range 2 on every channel");
}

TEST_F(Dogwood, ThirtyTwoChannelsShareOneRangeAndStreamThirtyThreeWords) {
    connectDogwood(dogwood32);
    bool independent = true;
    ASSERT_EQ(hasIndependentCurrentRanges(independent), Success);
    EXPECT_FALSE(independent);
    EXPECT_EQ(sentBy([] { return setCurrentRange(3, 32); })[2] & 0x30, 0x30);

    // Packets of counting words, read back in 33-word frames.
    Message words;
    for (int s = 0; s < 16; s++)
        for (int w = 0; w < 33; w++)
            words.insert(words.end(), {uint8_t(s), uint8_t(w)});
    feedPackets("DW01", 'A', deviceList().first(), {}, words);
    uint32_t got = 0;
    uint16_t* frames = nullptr;
    uint16_t* raw = nullptr;
    ASSERT_EQ(readSamples(16, got, frames, raw), Success);
    ASSERT_EQ(got, 16u);
    EXPECT_EQ(raw[5 * 33 + 32], 5 << 8 | 32);
}

TEST_F(Dogwood, FastCapacitanceIsLatchedForTheSelectedChannel) {
    connectDogwood(dogwood16);
    ASSERT_EQ(selectCompensationChannel(5), Success); // remembered, nothing sent
    // Given in femtofarads.
    expectBytes([] { return setCFast({3500.0, UnitPfxFemto, "F"}, true); }, "fast capacitance on channel 5");
    expectBytes([] { return setRawBit(86, 0, false); }, "fast capacitance strobe cleared");

    EXPECT_EQ(setCFast({25.0, UnitPfxPico, "F"}, true), ErrorValueOutOfRange);
    EXPECT_EQ(selectCompensationChannel(17), ErrorValueOutOfRange);
    ASSERT_EQ(selectCompensationChannel(16), Success);
    expectBytes([] { return setCFast({1.0, UnitPfxPico, "F"}, false); }, "fast capacitance on every channel");
    const auto& d = deviceList().first();
    EXPECT_EQ(d.cFastValues[5].value, 1.0);
    EXPECT_FALSE(d.cFastEnabled[0]);
}

TEST_F(Dogwood, VoltageOffsetsAreCheckedLatchedRampedAndReadBack) {
    connectDogwood(dogwood16);
    expectBytes([] { return setVoltageOffset(2, {12.5, UnitPfxMilli, "V"}); }, "offset 12.5 mV on channel 2");
    expectBytes(
        [] {
            return setVoltageOffset(16, {-0.003, UnitPfxNone, "V"});
        },
        "offset -3 mV on every channel");
    // On channel 1, with the ramp strobe.
    const Message ramp = expectBytes(
        [] {
            return startVoltageOffsetRamp(1, {-10.0, UnitPfxMilli, "V"}, {20.0, UnitPfxMilli, "V"},
                                          {1.5, UnitPfxNone, "s"});
        },
        "offset ramp");
    EXPECT_EQ(ramp[57], 1 | 0x40);

    std::string message;
    EXPECT_EQ(checkVoltageOffset(0, {600.0, UnitPfxMilli, "V"}, message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Offset\nmust be within [-500,500]mV");
    sentBy([] { return setProtocolVoltage(0, {450.0, UnitPfxMilli, "V"}); });
    EXPECT_EQ(checkVoltageOffset(0, {100.0, UnitPfxMilli, "V"}, message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Vhold+offset\nmust be within [-500,500]mV");
    EXPECT_EQ(checkVoltageOffset(0, {-100.0, UnitPfxMilli, "V"}, message), Success);
    EXPECT_EQ(checkVoltageOffset(16, {0.0, UnitPfxMilli, "V"}, message), ErrorValueOutOfRange);

    // The device reports the offsets in force through its info bytes: channel 2 at indices 4 and 5.
    feedPackets("DW01", 'A', deviceList().first(), {0, 0, 0, 0, 0xFF, 0xF0});
    std::vector<Measurement_t> offsets;
    ASSERT_EQ(getVoltageOffsets(offsets), Success);
    ASSERT_EQ(offsets.size(), 16u);
    EXPECT_EQ(offsets[2].value, -8.0) << "0xFFF0 is -16 steps of 0.5 mV";
    EXPECT_EQ(offsets[2].unit, "V");
    EXPECT_EQ(offsets[3].value, 0.0);
}

TEST_F(Dogwood, FastPulsesAreSentRowByRow) {
    connectDogwood(dogwood16);
    expectBytes(
        [] {
            return setFastPulsesPulseVoltage(2, {100.0, UnitPfxMilli, "V"});
        },
        "fast pulse 2 at 100 mV");
    expectBytes(
        [] {
            return setFastPulsesSegmentDuration(0, {2.5, UnitPfxNone, "s"});
        },
        "segment 0 for 2.5 s");
    expectBytes([] { return setFastPulsesPulseCount(2, 300); }, "fast pulse 2 counting 300");

    EXPECT_EQ(setFastPulsesSegmentVoltage(8, {0.0, UnitPfxMilli, "V"}), ErrorValueOutOfRange);
    EXPECT_EQ(setFastPulsesPulsePeriod(0, {1.0, UnitPfxMicro, "s"}), ErrorValueOutOfRange);
    EXPECT_EQ(selectProtocol(15), Success);
    EXPECT_EQ(selectProtocol(14), ErrorValueOutOfRange);
}

TEST_F(Dogwood, ReferencePulseTrainAndOverride) {
    connectDogwood(dogwood16);
    const Message train = expectBytes(
        [] {
            return setReferencePulseTrain({50.0, UnitPfxMilli, "V"}, {500.0, UnitPfxMicro, "s"},
                                          {2.0, UnitPfxMilli, "s"}, 10);
        },
        "reference pulse train");
    EXPECT_EQ(train[1] & 0x20, 0x20);
    EXPECT_EQ(setReferencePulseTrain({50.0, UnitPfxMilli, "V"}, {0.5, UnitPfxMilli, "s"},
                                     {2.0, UnitPfxMilli, "s"}, 0),
              ErrorValueOutOfRange);
    expectBytes([] { return overrideReferencePulse(true); }, "reference pulse override");
}

TEST_F(Dogwood, ReferenceVoltageLedsAndCustomValues) {
    connectDogwood(dogwood16);
    sentBy([] { return setVoltageReferenceRange(1); });
    const Message reference = expectBytes(
        [] {
            return setVoltageReference({-1.0, UnitPfxNone, "V"});
        },
        "reference voltage -1 V");
    EXPECT_EQ(reference[0], 0x80 | 0x08);
    EXPECT_EQ(setVoltageReference({2500.0, UnitPfxMilli, "V"}), ErrorValueOutOfRange);

    EXPECT_EQ(sentBy([] { return setLed(2, true); })[15] & 0x0F, 0x04);
    EXPECT_EQ(setLed(4, true), ErrorValueOutOfRange);

    EXPECT_EQ(expectBytes([] { return setCustomDouble(0, -0.1); }, "custom value 0 at -0.1 mV")[20] & 0x07,
              0x07);
    expectBytes([] { return setCustomDouble(1, 37.5); }, "custom value 1 at 37.5 degrees");
}

// Digital offset compensation and zap: each call's fields, and those of the next message sent.
struct FieldCase {
    const char* what; // the golden sections "<channels>: what" and "<channels>: what, afterwards"
    std::function<ErrorCodes_t()> call;
};

const std::vector<FieldCase> dogwood16Fields = {
    {"compensate channel 5", [] { return digitalOffsetCompensation(5, true); }},
    {"autostop", [] { return setDigitalOffsetCompensationAutostop(true); }},
    {"stop every channel", [] { return digitalOffsetCompensation(16, false); }},
    {"zap channel 3", [] { return zap(3); }},
    {"zap every channel", [] { return zap(16); }},
};

const std::vector<FieldCase> dogwood32Fields = {
    {"compensate channel 31", [] { return digitalOffsetCompensation(31, true); }},
    {"autostop", [] { return setDigitalOffsetCompensationAutostop(true); }},
    {"stop every channel", [] { return digitalOffsetCompensation(32, false); }},
    {"zap channel 7", [] { return zap(7); }},
    {"zap every channel", [] { return zap(32); }},
};

class DogwoodOptionalControls : public Dogwood {
  protected:
    void expectFields(Identity id, uint16_t channels, const std::vector<FieldCase>& cases) {
        connectDogwood(id);
        bool autostop = false;
        ASSERT_EQ(hasDigitalOffsetCompensationAutostop(autostop), Success);
        EXPECT_TRUE(autostop);
        const std::string model = std::to_string(channels) + ": ";
        for (const FieldCase& c : cases) {
            Dogwood::expectFields(sentBy(c.call), model + c.what);
            // A free bit of both maps.
            Dogwood::expectFields(sentBy([] { return setRawBit(3, 6, false); }),
                                  model + c.what + ", afterwards");
        }
        EXPECT_EQ(digitalOffsetCompensation(uint16_t(channels + 1), true), ErrorValueOutOfRange);
        EXPECT_EQ(zap(uint16_t(channels + 1)), ErrorValueOutOfRange);
        std::vector<bool> running;
        ASSERT_EQ(getDigitalOffsetCompensationStates(running), Success);
        EXPECT_EQ(running, std::vector<bool>(channels, false)) << "nothing reported yet";
    }
};

TEST_F(DogwoodOptionalControls, SixteenChannels) {
    expectFields(dogwood16, 16, dogwood16Fields);
}

TEST_F(DogwoodOptionalControls, ThirtyTwoChannels) {
    expectFields(dogwood32, 32, dogwood32Fields);
}

// The optional controls a model lacks answer "feature not implemented" and send nothing (the
// fast-capacitance getter "command not implemented"); the availability queries agree with the
// tables.
TEST_F(Dogwood, ModelsWithoutOptionalControlsRefuseThemAsAbsent) {
    const Measurement_t us100{100.0, UnitPfxMicro, "s"}, ms1{1.0, UnitPfxMilli, "s"},
        none{0.0, UnitPfxMicro, "s"};
    // Per model: offset compensation, zap, TTL, temperature controller, fast capacitance.
    std::map<std::string, std::vector<bool>> seen;
    for (const kav4sim::SimulatedModel& model : kav4sim::simulatedModels()) {
        SCOPED_TRACE(model.name);
        const std::string serial = std::string("OPT_") + model.name;
        addDevice(serial, {model.deviceVersion, model.deviceSubversion, model.firmwareVersion});
        ASSERT_EQ(kv4cl::connect({serial}), Success);
        bool doc = false, zapping = false, ttl = false, temperature = false;
        ASSERT_EQ(hasDigitalOffsetCompensation(doc), Success);
        ASSERT_EQ(hasZap(zapping), Success);
        ASSERT_EQ(hasTtlOutput(ttl), Success);
        ASSERT_EQ(hasTemperatureControllerOption(temperature), Success);
        seen[model.name] = {doc, zapping, ttl, temperature, deviceList().first().cFast.available()};
        if (!seen[model.name][4]) {
            CompensationControl_t control;
            EXPECT_EQ(getCFastControl(control), ErrorCommandNotImplemented);
            EXPECT_EQ(selectCompensationChannel(0), ErrorFeatureNotImplemented);
            EXPECT_EQ(setCFast({1.0, UnitPfxPico, "F"}, true), ErrorFeatureNotImplemented);
            EXPECT_EQ(setCFast({0.0, UnitPfxPico, "F"}, false), ErrorFeatureNotImplemented);
        }
        if (!doc) {
            std::vector<bool> running;
            EXPECT_EQ(digitalOffsetCompensation(0, true), ErrorFeatureNotImplemented);
            EXPECT_EQ(setDigitalOffsetCompensationAutostop(true), ErrorFeatureNotImplemented);
            EXPECT_EQ(getDigitalOffsetCompensationStates(running), ErrorFeatureNotImplemented);
        }
        if (!zapping) {
            EXPECT_EQ(zap(0), ErrorFeatureNotImplemented);
        }
        if (!ttl) {
            RangedMeasurement_t d, p, w;
            uint16_t maxPulses = 0;
            EXPECT_EQ(getTtlOutputControls(d, p, w, maxPulses), ErrorFeatureNotImplemented);
            EXPECT_EQ(startTtlPulses(us100, ms1, none, 1), ErrorFeatureNotImplemented);
            // The washer of the multi-well system comes with the TTL output.
            RangedMeasurement_t speeds;
            std::vector<int8_t> presets{1};
            EXPECT_EQ(getWasherSpeedRange(speeds), ErrorFeatureNotImplemented);
            EXPECT_EQ(getWasherPresetSpeeds(presets), ErrorFeatureNotImplemented);
            EXPECT_TRUE(presets.empty());
            EXPECT_EQ(startWasher(0), ErrorFeatureNotImplemented);
        }
        ASSERT_EQ(kv4cl::disconnect(), Success);
    }
    EXPECT_EQ(seen.at("dogwood16"), (std::vector<bool>{true, true, false, false, true}));
    EXPECT_EQ(seen.at("dogwood32"), (std::vector<bool>{true, true, false, false, false}));
    EXPECT_EQ(seen.at("fir"), (std::vector<bool>{false, false, true, true, false}));
    EXPECT_EQ(seen.at("cedar"), (std::vector<bool>{false, false, false, false, false}));
    bool any = true;
    EXPECT_EQ(hasZap(any), ErrorDeviceNotConnected);
}

} // namespace
} // namespace kv4test
