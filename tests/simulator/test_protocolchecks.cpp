// The per-parameter checks of the stimulus protocols, the validation of values not sent (a check
// is never a setting), and the auxiliary switch query, on the reference model connected through
// the library.

#include "tests/support/amplifiertest.h"

#include <string>
#include <vector>

namespace {

using namespace kv4test;
using namespace kv4cl;

class ProtocolChecks : public SimulatedAmplifiers {};

TEST_F(ProtocolChecks, ValuesOutsideTheParameterRangeNameTheParameterAndItsLimits) {
    connect("cedar");
    std::vector<std::string> names;
    std::vector<RangedMeasurement_t> ranges;
    std::vector<Measurement_t> defaults;
    ASSERT_EQ(getProtocolVoltage(names, ranges, defaults), Success);
    const RangedMeasurement_t vhold = ranges.at(0);
    std::string message;

    EXPECT_EQ(checkProtocolVoltage(0, {vhold.max, vhold.prefix, vhold.unit}, message), Success);
    EXPECT_EQ(checkProtocolVoltage(0, {vhold.min - vhold.step, vhold.prefix, vhold.unit}, message),
              ErrorInvalidProtocolParameters);
    EXPECT_EQ(message, "Vhold\nmust be within [-511,511]mV");
    // Another prefix is brought to the range's before comparing: 0.6 V is 600 mV.
    EXPECT_EQ(checkProtocolVoltage(0, {0.6, UnitPfxNone, "V"}, message), ErrorInvalidProtocolParameters);
    EXPECT_EQ(checkProtocolVoltage(0, {0.5, UnitPfxNone, "V"}, message), Success);

    // Tramp, time 3, starts at 1 ms; N, adimensional 0, at 1.
    EXPECT_EQ(checkProtocolTime(3, {0.0, UnitPfxMilli, "s"}, message), ErrorInvalidProtocolParameters);
    EXPECT_EQ(message, "Tramp\nmust be within [1,3e+07]ms");
    EXPECT_EQ(checkProtocolAdimensional(0, {0.0, UnitPfxNone, ""}, message), ErrorInvalidProtocolParameters);
    EXPECT_EQ(message, "N\nmust be within [1,511]");
    EXPECT_EQ(checkProtocolAdimensional(0, {1.0, UnitPfxNone, ""}, message), Success);

    // Indices past the family; the reference model has no slope and no frequency parameters.
    EXPECT_EQ(checkProtocolVoltage(6, {0.0, UnitPfxMilli, "V"}, message), ErrorValueOutOfRange);
    EXPECT_EQ(checkProtocolTime(5, {10.0, UnitPfxMilli, "s"}, message), ErrorValueOutOfRange);
    EXPECT_EQ(checkProtocolSlope(0, {1.0, UnitPfxNone, "V/s"}, message), ErrorValueOutOfRange);
    EXPECT_EQ(checkProtocolFrequency(0, {1.0, UnitPfxNone, "Hz"}, message), ErrorValueOutOfRange);
    bool auxiliary = true;
    EXPECT_EQ(hasProtocolAuxiliarySwitch(auxiliary), Success);
    EXPECT_FALSE(auxiliary) << "no model has the auxiliary switch";
}

TEST_F(ProtocolChecks, ValuesNotSentAreJudgedButNeverSet) {
    connect("cedar");
    ASSERT_EQ(selectProtocol(0), Success);
    ASSERT_EQ(setProtocolVoltage(0, {-20.0, UnitPfxMilli, "V"}), Success);
    using Values = std::vector<Measurement_t>;
    const auto mV = [](double v) { return Measurement_t{v, UnitPfxMilli, "V"}; };
    const auto ms = [](double v) { return Measurement_t{v, UnitPfxMilli, "s"}; };
    const ErrorCodes_t invalid = ErrorInvalidProtocolParameters;
    const struct {
        uint16_t protocol;
        Values voltages; // Vhold, Vpulse
        Values times;    // Thold, Tpulse
        ErrorCodes_t result;
        const char* message;
    } cases[] = {
        {0, {{-0.5, UnitPfxNone, "V"}}, {}, Success, "Valid protocol"},
        {2, {mV(300), mV(300)}, {ms(20), ms(20)}, invalid, "Vhold+Vpulse\nmust be within [-500,500]mV"},
        {2, {{0.1, UnitPfxNone, "V"}, mV(100)}, {ms(20), ms(20)}, Success, "Valid protocol"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string message;
        EXPECT_EQ(validateProtocol(c.protocol, c.voltages, c.times, {}, {}, {}, message), c.result);
        EXPECT_EQ(message, c.message);
    }
    std::string message;
    EXPECT_EQ(validateProtocol(8, {}, {}, {}, {}, {}, message), ErrorValueOutOfRange) << "past the list";
    // Fewer values than the protocol uses: the missing one is not judged as 0 (a Tpulse of 0 ms
    // would be out of range, a Vpulse of 0 mV within it).
    EXPECT_EQ(validateProtocol(2, {mV(0), mV(100)}, {ms(20)}, {}, {}, {}, message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Tpulse\nhas no value");
    EXPECT_EQ(validateProtocol(2, {mV(0)}, {ms(20), ms(20)}, {}, {}, {}, message), ErrorValueOutOfRange);
    EXPECT_EQ(message, "Vpulse\nhas no value");

    // None of them was set: the library still holds, and the device still has, the holding
    // protocol at -20 mV.
    EXPECT_EQ(validateProtocol(message), Success) << message;
    const uint64_t resets = amplifier().command().resets;
    ASSERT_EQ(resetDevice(), Success);
    waitForCommand([&](const DecodedCommand& c) { return c.resets > resets; });
    EXPECT_EQ(amplifier().command().protocolIdx, 0);
    EXPECT_NEAR(amplifier().command().protocolParameters.at("Vhold"), -0.02, 1e-9);
}

} // namespace
