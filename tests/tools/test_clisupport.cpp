// Values typed on the command line and the stream summary.

#include "tools/clisupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <utility>

namespace {

using namespace kv4cl;
using kav4cli::parseMeasurement;

TEST(ParseMeasurement, PrefixesUnitsAndDefaults) {
    auto m = parseMeasurement("-50", "V", UnitPfxMilli);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->value, -50.0);
    EXPECT_EQ(m->prefix, UnitPfxMilli) << "no prefix, no unit: the parameter's own prefix";
    m = parseMeasurement("-0.05V", "V", UnitPfxMilli);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->prefix, UnitPfxNone) << "a bare unit means no prefix";
    EXPECT_DOUBLE_EQ(m->getNoPrefixValue(), -0.05);
    m = parseMeasurement("20kHz", "Hz", UnitPfxNone);
    ASSERT_TRUE(m);
    EXPECT_DOUBLE_EQ(m->getNoPrefixValue(), 20000.0);
    m = parseMeasurement("200p", "A", UnitPfxNone);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->prefix, UnitPfxPico);
    m = parseMeasurement("5us", "s", UnitPfxMilli);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->prefix, UnitPfxMicro) << "u stands for micro";
    m = parseMeasurement("5µs", "s", UnitPfxMilli);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->prefix, UnitPfxMicro);
    m = parseMeasurement("3", "", UnitPfxNone);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->value, 3.0);

    EXPECT_FALSE(parseMeasurement("", "V", UnitPfxMilli));
    EXPECT_FALSE(parseMeasurement("mV", "V", UnitPfxMilli));
    EXPECT_FALSE(parseMeasurement("5 mV", "V", UnitPfxMilli)) << "a blank is not a prefix";
    EXPECT_FALSE(parseMeasurement("5mA", "V", UnitPfxMilli)) << "the wrong unit";
    EXPECT_FALSE(parseMeasurement("5x", "V", UnitPfxMilli));
    EXPECT_FALSE(parseMeasurement("nan", "V", UnitPfxMilli));
}

TEST(FindValue, MatchesAcrossPrefixesAndUnits) {
    const std::vector<Measurement_t> rates = {
        {1.25, UnitPfxKilo, "Hz"}, {20.0, UnitPfxKilo, "Hz"}, {0.2, UnitPfxMega, "Hz"}};
    EXPECT_EQ(kav4cli::findValue(rates, {20000.0, UnitPfxNone, "Hz"}), 1u);
    EXPECT_EQ(kav4cli::findValue(rates, {200.0, UnitPfxKilo, "Hz"}), 2u);
    EXPECT_FALSE(kav4cli::findValue(rates, {21.0, UnitPfxKilo, "Hz"}));
    EXPECT_FALSE(kav4cli::findValue(rates, {20.0, UnitPfxKilo, "A"}));
}

TEST(ChannelStats, MeanRmsAndNoise) {
    kav4cli::ChannelStats s;
    EXPECT_EQ(s.mean(), 0.0);
    // 3 and -1 alternating: mean 1, RMS sqrt(5), noise 2.
    for (int i = 0; i < 1000; i++)
        s.add(i % 2 ? -1.0 : 3.0);
    EXPECT_EQ(s.count(), 1000u);
    EXPECT_DOUBLE_EQ(s.mean(), 1.0);
    EXPECT_DOUBLE_EQ(s.rms(), std::sqrt(5.0));
    EXPECT_NEAR(s.deviation(), 2.0, 1e-12);
    kav4cli::ChannelStats constant;
    for (int i = 0; i < 10; i++)
        constant.add(1e-12 / 3.0);
    EXPECT_GE(constant.deviation(), 0.0);
    EXPECT_LT(constant.deviation(), 1e-20);
}

TEST(ReadablePrefix, OneToThreeDigitsBeforeThePoint) {
    EXPECT_EQ(kav4cli::readablePrefix(2.5e-12), UnitPfxPico);
    EXPECT_EQ(kav4cli::readablePrefix(-999e-9), UnitPfxNano);
    EXPECT_EQ(kav4cli::readablePrefix(1e-9), UnitPfxNano);
    EXPECT_EQ(kav4cli::readablePrefix(0.05), UnitPfxMilli);
    EXPECT_EQ(kav4cli::readablePrefix(20000.0), UnitPfxKilo);
    EXPECT_EQ(kav4cli::readablePrefix(0.0), UnitPfxNone);
    EXPECT_EQ(kav4cli::readablePrefix(1e-20), UnitPfxFemto) << "stops at the smallest prefix";
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
