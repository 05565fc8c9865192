// The Dogwood models and the optional features only they have, checked on the bytes the
// device receives; expected bytes are worked out by hand from the byte map in dogwood.cpp.

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
        device->failCalls(kav4sim::FtdiCall::Purge); // see ModelBus::keepDeliveries
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
    // The message a call sends, checked to hold `bytes` from byte `from` on.
    Message expectBytes(const std::function<ErrorCodes_t()>& call, size_t from, const Message& bytes) {
        const Message sent = sentBy(call);
        if (sent.size() < from + bytes.size()) {
            ADD_FAILURE() << "a message of " << sent.size() << " bytes";
            return sent;
        }
        EXPECT_EQ(Message(sent.begin() + long(from), sent.begin() + long(from + bytes.size())), bytes)
            << "from byte " << from;
        return sent;
    }
    std::shared_ptr<kav4sim::VirtualDevice> device;
    size_t written = 0;
};

TEST_F(Dogwood, SixteenChannelsHaveARangeEachAndTheTwoRangeModesDiffer) {
    connectDogwood(dogwood16);
    bool independent = false;
    ASSERT_EQ(hasIndependentCurrentRanges(independent), Success);
    EXPECT_TRUE(independent);

    // Channel 3's two bits start at bit 6 of byte 4 and end at bit 0 of byte 5.
    expectBytes([] { return setCurrentRange(3, 3); }, 4, {0x40, 0x01});
    // Range 2 on all channels sets every odd bit of the 32-bit block from byte 4.
    expectBytes([] { return setCurrentRange(2, 16); }, 4, {0x2A, 0x55, 0x2A, 0x55, 0x0A});
}

TEST_F(Dogwood, ThirtyTwoChannelsShareOneRangeAndStreamThirtyThreeWords) {
    connectDogwood(dogwood32);
    bool independent = true;
    ASSERT_EQ(hasIndependentCurrentRanges(independent), Success);
    EXPECT_FALSE(independent);
    EXPECT_EQ(sentBy([] { return setCurrentRange(3, 32); })[2] & 0x30, 0x30);

    // One packet of counting words, repeated (its info index walking on) with the next marker and
    // index, read back in 33-word frames.
    Message packet = {0x7F, 0xFF, 0x80, 0x00, 0, 0};
    for (int s = 0; s < 16; s++)
        for (int w = 0; w < 33; w++) {
            packet.push_back(uint8_t(s));
            packet.push_back(uint8_t(w));
        }
    Message stream;
    const uint32_t repeats = deviceList().first().maxPackets;
    const auto cycle = uint32_t(deviceList().first().infoBytes.size());
    for (uint32_t i = 0; i < repeats; i++) {
        packet[4] = uint8_t(i % cycle);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    stream.insert(stream.end(), {0x7F, 0xFF, 0x80, 0x00, uint8_t(repeats % cycle)});
    device->feed('A', stream);
    ASSERT_TRUE(device->waitUntilDrained('A', 10s));
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
    // 3.5 pF given in femtofarads: 175 steps of 0.02 pF; channel 5, enable and strobe in byte 16.
    expectBytes(
        [] {
            return setCFast({3500.0, UnitPfxFemto, "F"}, true);
        },
        16, {5 | 0x20 | 0x40, 175 & 0x7F, 175 >> 7});
    expectBytes([] { return setRawBit(86, 0, false); }, 16, {5 | 0x20}); // the strobe is an edge

    EXPECT_EQ(setCFast({25.0, UnitPfxPico, "F"}, true), ErrorValueOutOfRange);
    EXPECT_EQ(selectCompensationChannel(17), ErrorValueOutOfRange);
    ASSERT_EQ(selectCompensationChannel(16), Success);
    // The channel count addresses every channel.
    expectBytes([] { return setCFast({1.0, UnitPfxPico, "F"}, false); }, 16, {16 | 0x40});
    const auto& d = deviceList().first();
    EXPECT_EQ(d.cFastValues[5].value, 1.0);
    EXPECT_FALSE(d.cFastEnabled[0]);
}

TEST_F(Dogwood, VoltageOffsetsAreCheckedLatchedRampedAndReadBack) {
    connectDogwood(dogwood16);
    // 12.5 mV is 25 steps of 0.5 mV; channel 2 and the strobe in byte 57.
    expectBytes([] { return setVoltageOffset(2, {12.5, UnitPfxMilli, "V"}); }, 57, {2 | 0x20, 25, 0});
    // -3 mV on all channels: magnitude 6 with the sign at bit 10 (bit 3 of byte 59).
    expectBytes([] { return setVoltageOffset(16, {-0.003, UnitPfxNone, "V"}); }, 57, {16 | 0x20, 6, 0x08});
    // A ramp from -10 to 20 mV over 1.5 s on channel 1.
    const Message ramp = expectBytes(
        [] {
            return startVoltageOffsetRamp(1, {-10.0, UnitPfxMilli, "V"}, {20.0, UnitPfxMilli, "V"},
                                          {1.5, UnitPfxNone, "s"});
        },
        60, {20, 0x08, 40, 0, 1500 & 0x7F, 1500 >> 7, 0});
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
    const auto cycle = uint32_t(deviceList().first().infoBytes.size());
    const uint32_t packets = std::max<uint32_t>(deviceList().first().maxPackets, 6);
    Message stream;
    for (uint32_t p = 0; p <= packets; p++) {
        const auto index = uint8_t(p % cycle);
        Message packet = {0x7F, 0xFF, 0x80, 0x00, index, uint8_t(index == 4 ? 0xFF : index == 5 ? 0xF0 : 0)};
        packet.resize(deviceList().first().packetBytes, 0);
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    stream.insert(stream.end(), {0x7F, 0xFF, 0x80, 0x00, uint8_t((packets + 1) % cycle)});
    device->feed('A', stream);
    ASSERT_TRUE(device->waitUntilDrained('A', 10s));
    std::vector<Measurement_t> offsets;
    ASSERT_EQ(getVoltageOffsets(offsets), Success);
    ASSERT_EQ(offsets.size(), 16u);
    EXPECT_EQ(offsets[2].value, -8.0) << "0xFFF0 is -16 steps of 0.5 mV";
    EXPECT_EQ(offsets[2].unit, "V");
    EXPECT_EQ(offsets[3].value, 0.0);
}

TEST_F(Dogwood, FastPulsesAreSentRowByRow) {
    connectDogwood(dogwood16);
    // Pulse 2 is row 10 (after the eight segments): its voltage and the defaults of the row's
    // other fields (no wait, 1 us, 2 us period, one pulse).
    expectBytes(
        [] {
            return setFastPulsesPulseVoltage(2, {100.0, UnitPfxMilli, "V"});
        },
        75, {10 | 0x10, 200 & 0x7F, 200 >> 7, 0, 0, 0, 1, 0, 2, 0, 1, 0});
    // Segment 0 lasts 2.5 s: 5000 steps of 0.5 ms in the shared 21-bit field.
    expectBytes(
        [] {
            return setFastPulsesSegmentDuration(0, {2.5, UnitPfxNone, "s"});
        },
        75, {0x10, 0, 0, 5000 & 0x7F, 5000 >> 7, 0});
    // The pulse's own values stay in memory while segments are edited.
    const Message count =
        expectBytes([] { return setFastPulsesPulseCount(2, 300); }, 85, {300 & 0x7F, 300 >> 7});
    EXPECT_EQ(count[76], 200 & 0x7F);

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
        67, {100, 0, 50, 0, 200 & 0x7F, 200 >> 7, 10, 0});
    EXPECT_EQ(train[1] & 0x20, 0x20);
    EXPECT_EQ(setReferencePulseTrain({50.0, UnitPfxMilli, "V"}, {0.5, UnitPfxMilli, "s"},
                                     {2.0, UnitPfxMilli, "s"}, 0),
              ErrorValueOutOfRange);
    // The override held, the train bit already cleared.
    expectBytes([] { return overrideReferencePulse(true); }, 1, {0x40});
}

TEST_F(Dogwood, ReferenceVoltageLedsAndCustomValues) {
    connectDogwood(dogwood16);
    sentBy([] { return setVoltageReferenceRange(1); });
    // -1000 mV in steps of 2 mV: magnitude 500, sign at bit 10.
    const Message reference = expectBytes(
        [] {
            return setVoltageReference({-1.0, UnitPfxNone, "V"});
        },
        23, {500 & 0x7F, (500 >> 7) | 0x08});
    EXPECT_EQ(reference[0], 0x80 | 0x08);
    EXPECT_EQ(setVoltageReference({2500.0, UnitPfxMilli, "V"}), ErrorValueOutOfRange);

    EXPECT_EQ(sentBy([] { return setLed(2, true); })[15] & 0x0F, 0x04);
    EXPECT_EQ(setLed(4, true), ErrorValueOutOfRange);

    // -0.1 mV is -5 steps of 0.02 mV: 0x3FB in ten bits; 37.5 degrees is 225 steps above 15.
    EXPECT_EQ(expectBytes([] { return setCustomDouble(0, -0.1); }, 19, {0x7B})[20] & 0x07, 0x07);
    expectBytes([] { return setCustomDouble(1, 37.5); }, 21, {225 & 0x7F, 225 >> 7});
}

// Digital offset compensation and zap: each call's fields by the byte maps in dogwood.cpp, and
// the strobes as edges (cleared in the next message sent).
struct Field {
    size_t byte;
    uint8_t mask;
    uint8_t value;
};
struct FieldCase {
    const char* what;
    std::function<ErrorCodes_t()> call;
    std::vector<Field> fields;     // in the message the call sends
    std::vector<Field> afterwards; // in the next message
};

const std::vector<FieldCase> dogwood16Fields = {
    // Channel 5 in byte 11 above the two bits of bank A (on at power-up); enable and strobe in byte 8.
    {"compensate channel 5",
     [] { return digitalOffsetCompensation(5, true); },
     {{11, 0x7F, 5 << 2 | 0x03}, {8, 0x70, 0x30}},
     {{8, 0x70, 0x10}}},
    {"autostop",
     [] { return setDigitalOffsetCompensationAutostop(true); },
     {{8, 0x70, 0x50}},
     {{8, 0x70, 0x50}}},
    {"stop every channel",
     [] { return digitalOffsetCompensation(16, false); },
     {{11, 0x7F, 16 << 2 | 0x03}, {8, 0x70, 0x60}},
     {{8, 0x70, 0x40}}},
    // The zap channel in byte 14 above bank B's two bits, the strobe at bit 6 of byte 2.
    {"zap channel 3", [] { return zap(3); }, {{14, 0x7F, 3 << 2}, {2, 0x40, 0x40}}, {{2, 0x40, 0}}},
    {"zap every channel", [] { return zap(16); }, {{14, 0x7F, 16 << 2}, {2, 0x40, 0x40}}, {{2, 0x40, 0}}},
};

const std::vector<FieldCase> dogwood32Fields = {
    {"compensate channel 31",
     [] { return digitalOffsetCompensation(31, true); },
     {{46, 0x7F, 31 | 0x40}, {48, 0x7F, 0x01}},
     {{48, 0x7F, 0x00}}},
    {"autostop",
     [] { return setDigitalOffsetCompensationAutostop(true); },
     {{48, 0x7F, 0x02}},
     {{48, 0x7F, 0x02}}},
    {"stop every channel",
     [] { return digitalOffsetCompensation(32, false); },
     {{46, 0x7F, 32}, {48, 0x7F, 0x03}},
     {{48, 0x7F, 0x02}}},
    {"zap channel 7", [] { return zap(7); }, {{47, 0x7F, 7 | 0x40}}, {{47, 0x7F, 7}}},
    {"zap every channel", [] { return zap(32); }, {{47, 0x7F, 32 | 0x40}}, {{47, 0x7F, 32}}},
};

class DogwoodOptionalControls : public Dogwood {
  protected:
    void expectFields(Identity id, uint16_t channels, const std::vector<FieldCase>& cases) {
        connectDogwood(id);
        bool autostop = false;
        ASSERT_EQ(hasDigitalOffsetCompensationAutostop(autostop), Success);
        EXPECT_TRUE(autostop);
        for (const FieldCase& c : cases) {
            SCOPED_TRACE(c.what);
            Message sent = sentBy(c.call);
            for (const Field& f : c.fields)
                EXPECT_EQ(sent[f.byte] & f.mask, f.value) << "byte " << f.byte;
            sent = sentBy([] { return setRawBit(3, 6, false); }); // a free bit of both maps
            for (const Field& f : c.afterwards)
                EXPECT_EQ(sent[f.byte] & f.mask, f.value) << "byte " << f.byte << " afterwards";
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
