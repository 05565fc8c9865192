// The measurement value types: prefix arithmetic, comparisons across prefixes, ranges and unknown
// prefixes (the labels show in the value labels' tests).

#include "commlib/types/kv4cltypes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <tuple>

namespace {

using namespace kv4cl;
using M = Measurement_t;
using R = RangedMeasurement_t;

TEST(PrefixConversion, MovesTheValueByPowersOfAThousand) {
    // 1 kV is 1e6 mV and 1e9 uV: three prefix steps are a factor of 1e9, not 1e6. Thirty decades:
    // 1e30 must be the double nearest to 10^30, as a computed power may not be.
    const std::tuple<M, UnitPfx_t, double> conversions[] = {
        {{1.0, UnitPfxKilo, "V"}, UnitPfxMilli, 1e6},      {{1.0, UnitPfxKilo, "V"}, UnitPfxMicro, 1e9},
        {{250.0, UnitPfxNano, "A"}, UnitPfxMicro, 0.25},   {{3.5, UnitPfxGiga, "Hz"}, UnitPfxGiga, 3.5},
        {{1.0, UnitPfxPeta, "A"}, UnitPfxFemto, 1e30},     {{7.0, UnitPfxFemto, "A"}, UnitPfxNone, 7e-15},
        {{-12.0, UnitPfxMilli, "V"}, UnitPfxNone, -0.012},
    };
    for (const auto& [m, to, expected] : conversions) {
        EXPECT_EQ(m.converted(to).value, expected) << m.value << " prefix " << m.prefix << " to " << to;
        if (to == UnitPfxNone) {
            EXPECT_EQ(m.getNoPrefixValue(), expected) << m.value << " prefix " << m.prefix;
        }
    }
    EXPECT_EQ(prefixFactor(UnitPfxMilli, UnitPfxKilo), 1e-6);
    // Dividing by 1e30 can be one unit in the last place away from the literal 1e-30.
    EXPECT_DOUBLE_EQ((M{1.0, UnitPfxFemto, "A"}.converted(UnitPfxPeta).value), 1e-30);

    M m{-12.0, UnitPfxMilli, "V"};
    m.convertValue(UnitPfxNone);
    EXPECT_EQ(m.value, -0.012);
    EXPECT_EQ(m.prefix, UnitPfxNone);
    EXPECT_EQ((M{2.0, UnitPfxMega, "Hz"}.converted(UnitPfxKilo).prefix), UnitPfxKilo);
}

TEST(MeasurementComparison, ReconcilesPrefixes) {
    // -1, 0, 1: the first is below, equal to or above the second. In several rows the raw
    // numbers order the other way round from the values they stand for.
    const std::tuple<M, M, int> pairs[] = {
        {{1.0, UnitPfxKilo, "V"}, {1000.0, UnitPfxNone, "V"}, 0},
        {{1.0, UnitPfxMilli, "A"}, {1000.0, UnitPfxMicro, "A"}, 0},
        {{999.0, UnitPfxMilli, "V"}, {1.0, UnitPfxNone, "V"}, -1},
        {{0.002, UnitPfxKilo, "Hz"}, {1.0, UnitPfxNone, "Hz"}, 1},
        {{1.0, UnitPfxMilli, "A"}, {1001.0, UnitPfxMicro, "A"}, -1},
        // A filter cutoff against half of a 50 kHz rate, given in Hz.
        {{30.0, UnitPfxKilo, "Hz"}, {25000.0, UnitPfxNone, "Hz"}, 1},
        {{20.0, UnitPfxKilo, "Hz"}, {25000.0, UnitPfxNone, "Hz"}, -1},
    };
    for (const auto& [a, b, order] : pairs) {
        SCOPED_TRACE(std::to_string(a.value) + " " + std::to_string(a.prefix) + " against " +
                     std::to_string(b.value) + " " + std::to_string(b.prefix));
        EXPECT_EQ(a == b, order == 0);
        EXPECT_EQ(a < b, order < 0);
        EXPECT_EQ(a > b, order > 0);
        EXPECT_EQ(a <= b, order <= 0);
        EXPECT_EQ(a >= b, order >= 0);
    }
    EXPECT_FALSE((M{1.0, UnitPfxNone, "V"} == M{1.0, UnitPfxNone, "A"}))
        << "equal numbers of different units";
}

TEST(RangedMeasurement, ConvertsMinMaxAndStepTogetherAndIncludesAnyPrefix) {
    const R range{-200.0, 200.0, 0.5, UnitPfxMilli, "V"};
    const R inVolts = range.converted(UnitPfxNone);
    EXPECT_DOUBLE_EQ(inVolts.min, -0.2);
    EXPECT_DOUBLE_EQ(inVolts.max, 0.2);
    EXPECT_DOUBLE_EQ(inVolts.step, 0.0005);
    EXPECT_DOUBLE_EQ(inVolts.steps(), 800.0) << "the number of steps does not depend on the prefix";
    R r = range;
    r.convertValues(UnitPfxMicro);
    EXPECT_EQ(std::tuple(r.min, r.max, r.step, r.prefix),
              std::tuple(-200000.0, 200000.0, 500.0, UnitPfxMicro));

    const R wide{-500.0, 500.0, 0.0625, UnitPfxMilli, "V"};
    EXPECT_TRUE(wide.includes({-0.5, UnitPfxNone, "V"}));
    EXPECT_TRUE(wide.includes({500000.0, UnitPfxMicro, "V"}));
    EXPECT_FALSE(wide.includes({0.5001, UnitPfxNone, "V"}));
    EXPECT_FALSE(wide.includes({-501.0, UnitPfxMilli, "V"}));
}

TEST(UnknownPrefixes, GiveNaNAndAQuestionMarkWithoutReadingPastTheTables) {
    for (const int32_t bad : {-1, int32_t(UnitPfxNum), 1000000, INT32_MIN, INT32_MAX}) {
        const UnitPfx_t p = UnitPfx_t(bad);
        EXPECT_FALSE(knownPrefix(bad)) << bad;
        EXPECT_TRUE(std::isnan((M{2.0, p, "V"}.getNoPrefixValue()))) << bad;
        EXPECT_TRUE(std::isnan((M{2.0, UnitPfxMilli, "V"}.converted(p).value))) << bad;
        EXPECT_TRUE(std::isnan(prefixFactor(p, UnitPfxNone))) << bad;
        EXPECT_TRUE(std::isnan((R{-1.0, 1.0, 0.5, p, "A"}.converted(UnitPfxNano).max))) << bad;
        EXPECT_EQ((M{2.0, p, "V"}.label()), "?V") << bad;
        EXPECT_EQ((R{-1.0, 1.0, 0.5, p, "A"}.label()), "?A") << bad;
        const M fitted = withFittingPrefix({5.0e6, p, "Hz"});
        EXPECT_TRUE(std::isnan(fitted.value)) << bad;
        EXPECT_EQ(fitted.prefix, UnitPfxNone) << bad;
        EXPECT_FALSE(isUsable({1.0, p, "s"})) << bad;
    }
    for (int p = UnitPfxFemto; p < UnitPfxNum; p++) {
        EXPECT_TRUE(isUsable({-3.0, UnitPfx_t(p), "s"})) << p;
        EXPECT_FALSE(isUsable({std::nan(""), UnitPfx_t(p), "s"})) << p;
        EXPECT_FALSE(isUsable({-HUGE_VAL, UnitPfx_t(p), "s"})) << p;
    }
    const M infinite = withFittingPrefix({HUGE_VAL, UnitPfxMicro, "V"});
    EXPECT_EQ(infinite.value, HUGE_VAL);
    EXPECT_EQ(infinite.prefix, UnitPfxNone) << "an infinity needs no prefix";
}

} // namespace
