// Values typed on the command line.

#include "tools/clisupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

namespace {

using namespace kv4cl;
using kav4cli::parseMeasurement;

TEST(ParseMeasurement, PrefixesUnitsAndDefaults) {
    // What is typed, for a parameter of this unit and prefix; the value read and its prefix, or none.
    const struct {
        const char* text;
        const char* unit;
        UnitPfx_t own;
        std::optional<double> value;
        UnitPfx_t prefix = UnitPfxNone;
    } cases[] = {
        {"-50", "V", UnitPfxMilli, -50.0, UnitPfxMilli},   // no prefix, no unit: the parameter's own
        {"-0.05V", "V", UnitPfxMilli, -0.05, UnitPfxNone}, // a bare unit means no prefix
        {"20kHz", "Hz", UnitPfxNone, 20.0, UnitPfxKilo},
        {"200p", "A", UnitPfxNone, 200.0, UnitPfxPico},
        {"5us", "s", UnitPfxMilli, 5.0, UnitPfxMicro},
        {"5µs", "s", UnitPfxMilli, 5.0, UnitPfxMicro},
        {"3", "", UnitPfxNone, 3.0, UnitPfxNone},
        {"", "V", UnitPfxMilli, {}},
        {"mV", "V", UnitPfxMilli, {}},
        {"5 mV", "V", UnitPfxMilli, {}}, // a blank is no prefix
        {"5mA", "V", UnitPfxMilli, {}},
        {"5x", "V", UnitPfxMilli, {}},
        {"nan", "V", UnitPfxMilli, {}},
    };
    for (const auto& c : cases) {
        const std::optional<Measurement_t> m = parseMeasurement(c.text, c.unit, c.own);
        ASSERT_EQ(m.has_value(), c.value.has_value()) << c.text;
        if (!m) continue;
        EXPECT_EQ(m->value, *c.value) << c.text;
        EXPECT_EQ(m->prefix, c.prefix) << c.text;
    }
}

TEST(ParseSeconds, PlainNumbersWithinTheRangeOnly) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"1", 1.0},    {"0.1", 0.1}, {"86400", 86400.0}, {"2.5e1", 25.0}, {"0.0999", {}}, {"86400.5", {}},
        {"0", {}},     {"-3", {}},   {"1e-300", {}},     {"inf", {}},     {"-inf", {}},   {"nan", {}},
        {"1e999", {}}, {"2s", {}},   {"", {}},           {"x", {}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(kav4cli::parseSeconds(text), expected) << text;
}

} // namespace
