// The Dogwood models and the optional features only they have, checked on the bytes the
// device receives against golden/dogwood.golden; the models without them refuse them.

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

// Values in several prefixes: each setter brings its value to its range's.
const auto V = [](double v) { return Measurement_t{v, UnitPfxNone, "V"}; };
const auto mV = [](double v) { return Measurement_t{v, UnitPfxMilli, "V"}; };
const auto sec = [](double v) { return Measurement_t{v, UnitPfxNone, "s"}; };
const auto ms = [](double v) { return Measurement_t{v, UnitPfxMilli, "s"}; };
const auto pF = [](double v) { return Measurement_t{v, UnitPfxPico, "F"}; };
const auto fF = [](double v) { return Measurement_t{v, UnitPfxFemto, "F"}; };

// The fast capacitance of a channel, selected first (remembered, nothing sent).
ErrorCodes_t cFast(uint16_t channel, const Measurement_t& value, bool enabled) {
    const ErrorCodes_t e = selectCompensationChannel(channel);
    return e == Success ? setCFast(value, enabled) : e;
}

// The Dogwood 16's own calls, in turn on one device: each message sent holds its golden run, and
// the byte named beside it (the strobes, a LED) its masked value; a call without a section is
// one the next ones build on.
struct Sent {
    std::function<ErrorCodes_t()> call;
    const char* section = nullptr;
    int byte = -1;
    uint8_t mask = 0, value = 0;
};

TEST_F(Dogwood, SixteenChannelCallsSendTheirBytes) {
    connectDogwood(dogwood16);
    const Sent calls[] = {
        {[] { return setCurrentRange(3, 3); }, "range 3 on channel 3"},
        {[] { return setCurrentRange(2, 16); }, "range 2 on every channel"},
        {[] { return cFast(5, fF(3500), true); }, "fast capacitance on channel 5"},
        {[] { return setRawBit(86, 0, false); }, "fast capacitance strobe cleared"},
        {[] { return cFast(16, pF(1.0), false); }, "fast capacitance on every channel"},
        {[] { return setVoltageOffset(2, mV(12.5)); }, "offset 12.5 mV on channel 2"},
        {[] { return setVoltageOffset(16, V(-0.003)); }, "offset -3 mV on every channel"},
        // On channel 1, with the ramp strobe.
        {[] { return startVoltageOffsetRamp(1, mV(-10), mV(20), sec(1.5)); }, "offset ramp", 57, 0x7F, 0x41},
        {[] { return setFastPulsesPulseVoltage(2, mV(100)); }, "fast pulse 2 at 100 mV"},
        {[] { return setFastPulsesSegmentDuration(0, sec(2.5)); }, "segment 0 for 2.5 s"},
        {[] { return setFastPulsesPulseCount(2, 300); }, "fast pulse 2 counting 300"},
        {[] { return selectProtocol(15); }},
        {[] { return setReferencePulseTrain(mV(50), ms(0.5), ms(2), 10); }, "reference pulse train", 1, 0x20,
         0x20},
        {[] { return overrideReferencePulse(true); }, "reference pulse override"},
        {[] { return setVoltageReferenceRange(1); }},
        {[] { return setVoltageReference(V(-1)); }, "reference voltage -1 V", 0, 0xFF, 0x80 | 0x08},
        {[] { return setLed(2, true); }, nullptr, 15, 0x0F, 0x04},
        {[] { return setCustomDouble(0, -0.1); }, "custom value 0 at -0.1 mV", 20, 0x07, 0x07},
        {[] { return setCustomDouble(1, 37.5); }, "custom value 1 at 37.5 degrees"},
        {[] { return setProtocolVoltage(0, mV(450)); }},
    };
    for (const Sent& c : calls) {
        SCOPED_TRACE(c.section ? c.section : "");
        const Message sent = sentBy(c.call);
        if (c.section) expectRun(sent, dogwood, c.section);
        if (c.byte >= 0) {
            EXPECT_EQ(sent.at(size_t(c.byte)) & c.mask, c.value) << "byte " << c.byte;
        }
    }
    bool independent = false;
    ASSERT_EQ(hasIndependentCurrentRanges(independent), Success);
    EXPECT_TRUE(independent);
    const auto& d = deviceList().first();
    EXPECT_EQ(d.cFastValues[5].value, 1.0);
    EXPECT_FALSE(d.cFastEnabled[0]);

    const std::function<ErrorCodes_t()> refused[] = {
        [] { return setCFast(pF(25), true); },
        [] { return selectCompensationChannel(17); },
        [] { return setFastPulsesSegmentVoltage(8, mV(0)); },
        [] { return setFastPulsesPulsePeriod(0, ms(0.001)); },
        [] { return selectProtocol(14); },
        [] { return setReferencePulseTrain(mV(50), ms(0.5), ms(2), 0); },
        [] { return setVoltageReference(mV(2500)); },
        [] { return setLed(4, true); },
    };
    for (size_t i = 0; i < std::size(refused); i++)
        EXPECT_EQ(refused[i](), ErrorValueOutOfRange) << "refusal " << i;

    // Offsets are checked alone and with Vhold (450 mV, set last above).
    std::string message;
    EXPECT_EQ(checkVoltageOffset(0, mV(600), message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Offset\nmust be within [-500,500]mV");
    EXPECT_EQ(checkVoltageOffset(0, mV(100), message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Vhold+offset\nmust be within [-500,500]mV");
    EXPECT_EQ(checkVoltageOffset(0, mV(-100), message), Success);
    EXPECT_EQ(checkVoltageOffset(16, mV(0), message), ErrorValueOutOfRange);

    // The device reports the offsets in force through its info bytes: channel 2 at indices 4 and 5.
    feedPackets("DW01", 'A', d, packet(d), Message{0, 0, 0, 0, 0xFF, 0xF0});
    std::vector<Measurement_t> offsets;
    ASSERT_EQ(getVoltageOffsets(offsets), Success);
    ASSERT_EQ(offsets.size(), 16u);
    EXPECT_EQ(offsets[2].value, -8.0) << "0xFFF0 is -16 steps of 0.5 mV";
    EXPECT_EQ(offsets[2].unit, "V");
    EXPECT_EQ(offsets[3].value, 0.0);
}

// The Dogwood 32: one range for every channel, frames of 33 words, and its digital offset
// compensation and zap fields (the widest channel numbers), each call's and those of the next
// message sent.
TEST_F(Dogwood, ThirtyTwoChannelsShareOneRangeStreamThirtyThreeWordsAndSendTheirOptionalControls) {
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
    feedPackets("DW01", 'A', deviceList().first(), packet(deviceList().first(), words));
    uint32_t got = 0;
    uint16_t* frames = nullptr;
    uint16_t* raw = nullptr;
    ASSERT_EQ(readSamples(16, got, frames, raw), Success);
    ASSERT_EQ(got, 16u);
    EXPECT_EQ(raw[5 * 33 + 32], 5 << 8 | 32);

    bool autostop = false;
    ASSERT_EQ(hasDigitalOffsetCompensationAutostop(autostop), Success);
    EXPECT_TRUE(autostop);
    const std::pair<const char*, std::function<ErrorCodes_t()>> calls[] = {
        {"compensate channel 31", [] { return digitalOffsetCompensation(31, true); }},
        {"autostop", [] { return setDigitalOffsetCompensationAutostop(true); }},
        {"stop every channel", [] { return digitalOffsetCompensation(32, false); }},
        {"zap channel 7", [] { return zap(7); }},
        {"zap every channel", [] { return zap(32); }},
    };
    for (const auto& [what, call] : calls) {
        expectFields(sentBy(call), std::string("32: ") + what);
        // A free bit of the map.
        expectFields(sentBy([] { return setRawBit(3, 6, false); }),
                     std::string("32: ") + what + ", afterwards");
    }
    EXPECT_EQ(digitalOffsetCompensation(33, true), ErrorValueOutOfRange);
    EXPECT_EQ(zap(33), ErrorValueOutOfRange);
    std::vector<bool> running;
    ASSERT_EQ(getDigitalOffsetCompensationStates(running), Success);
    EXPECT_EQ(running, std::vector<bool>(32, false)) << "nothing reported yet";
}

// The availability queries agree with the tables. The optional controls a model lacks answer
// "feature not implemented" (the fast-capacitance getter "command not implemented"): one engine
// answers for every model, seen on the reference model, which lacks them all.
TEST_F(Dogwood, ModelsWithoutOptionalControlsRefuseThemAsAbsent) {
    // Per model: offset compensation, zap, TTL, temperature controller, fast capacitance.
    std::map<std::string, std::vector<bool>> seen;
    for (const kav4sim::SimulatedModel& model : kav4sim::simulatedModels()) {
        const std::string serial = std::string("OPT_") + model.name;
        addDevice(serial, {model.deviceVersion, model.deviceSubversion, model.firmwareVersion});
        ASSERT_EQ(kv4cl::connect({serial}), Success) << model.name;
        bool doc = false, zapping = false, ttl = false, temperature = false;
        ASSERT_EQ(hasDigitalOffsetCompensation(doc), Success);
        ASSERT_EQ(hasZap(zapping), Success);
        ASSERT_EQ(hasTtlOutput(ttl), Success);
        ASSERT_EQ(hasTemperatureControllerOption(temperature), Success);
        seen[model.name] = {doc, zapping, ttl, temperature, deviceList().first().cFast.available()};
        ASSERT_EQ(kv4cl::disconnect(), Success);
    }
    EXPECT_EQ(seen.at("dogwood16"), (std::vector<bool>{true, true, false, false, true}));
    EXPECT_EQ(seen.at("dogwood32"), (std::vector<bool>{true, true, false, false, false}));
    EXPECT_EQ(seen.at("fir"), (std::vector<bool>{false, false, true, true, false}));
    EXPECT_EQ(seen.at("cedar"), (std::vector<bool>{false, false, false, false, false}));
    bool any = true;
    EXPECT_EQ(hasZap(any), ErrorDeviceNotConnected);

    ASSERT_EQ(kv4cl::connect({"OPT_cedar"}), Success);
    CompensationControl_t control;
    EXPECT_EQ(getCFastControl(control), ErrorCommandNotImplemented);
    RangedMeasurement_t d, p, w;
    uint16_t maxPulses = 0;
    std::vector<bool> running;
    std::vector<int8_t> presets{1};
    // One call per control; the washer of the multi-well system comes with the TTL output.
    const ErrorCodes_t absent[] = {
        selectCompensationChannel(0),
        setCFast(pF(1), true),
        digitalOffsetCompensation(0, true),
        getDigitalOffsetCompensationStates(running),
        zap(0),
        getTtlOutputControls(d, p, w, maxPulses),
        startTtlPulses(ms(0.1), ms(1), ms(0), 1),
        getWasherPresetSpeeds(presets),
        startWasher(0),
    };
    for (size_t i = 0; i < std::size(absent); i++)
        EXPECT_EQ(absent[i], ErrorFeatureNotImplemented) << "call " << i;
    EXPECT_TRUE(presets.empty());
}

} // namespace
} // namespace kv4test
