// Value labels and the measurement display, which rescales to a fitting prefix.

#include "acquisition/valuelabel.h"

#include <gtest/gtest.h>

#include <cmath>

using kv4cl::Measurement_t;
using kv4cl::RangedMeasurement_t;

TEST(ValueLabel, CutsToEightCharactersWithoutRoundingAndDropsTrailingZeros) {
    EXPECT_EQ(valueLabel(Measurement_t{200.0, kv4cl::UnitPfxPico, "A"}), "200 pA");
    EXPECT_EQ(valueLabel(Measurement_t{1.25, kv4cl::UnitPfxKilo, "Hz"}), "1.25 kHz");
    EXPECT_EQ(valueLabel(Measurement_t{999.12345, kv4cl::UnitPfxMilli, "V"}), "999.1234 mV");
    EXPECT_EQ(valueLabel(Measurement_t{-1.5, kv4cl::UnitPfxMilli, "V"}), "-1.5 mV");
    EXPECT_EQ(valueLabel(Measurement_t{0.0, kv4cl::UnitPfxMilli, "V"}), "0 mV");
    // Without a point nothing is stripped: zeros of a whole number stay.
    EXPECT_EQ(valueLabel(Measurement_t{123456789.0, kv4cl::UnitPfxNone, "A"}), "12345678 A");
    EXPECT_EQ(valueLabel(Measurement_t{100.0, kv4cl::UnitPfxNone, "V"}), "100 V");
}

TEST(ValueLabel, RoundsTheSixthDecimalAsCsPrintfDoes) {
    // A tie on an exact binary value goes to the even digit; others to the nearer one.
    const struct {
        double value;
        const char* label;
    } cases[] = {{4.8828125, "4.882812 kHz"},
                 {0.0078125, "0.007812 kHz"},
                 {0.0234375, "0.023438 kHz"},
                 {9.765625, "9.765625 kHz"},
                 {1.0000005, "1.000001 kHz"}};
    for (const auto& c : cases)
        EXPECT_EQ(valueLabel(Measurement_t{c.value, kv4cl::UnitPfxKilo, "Hz"}), c.label) << c.value;
}

TEST(ValueLabel, RangeIsLabelledByItsMaximum) {
    EXPECT_EQ(valueLabel(RangedMeasurement_t{-200.0, 500.0, 0.5, kv4cl::UnitPfxMilli, "V"}), "500 mV");
}

TEST(MeasurementDisplay, BringsTheMagnitudeIntoOneToAThousand) {
    EXPECT_EQ(measurementDisplay(Measurement_t{10000.0, kv4cl::UnitPfxNone, "sps"}), "10 ksps");
    EXPECT_EQ(measurementDisplay(Measurement_t{0.0005, kv4cl::UnitPfxNone, "A"}), "500 µA");
    EXPECT_EQ(measurementDisplay(Measurement_t{-2500.0, kv4cl::UnitPfxMilli, "V"}), "-2.5 V");
    EXPECT_EQ(measurementDisplay(Measurement_t{1234567.0, kv4cl::UnitPfxNone, "Hz"}), "1.234 MHz");
    EXPECT_EQ(measurementDisplay(Measurement_t{999.0, kv4cl::UnitPfxNone, "Hz"}), "999 Hz");
    EXPECT_EQ(measurementDisplay(Measurement_t{1000.0, kv4cl::UnitPfxNone, "Hz"}), "1 kHz");
}

TEST(MeasurementDisplay, ZeroAndNotANumberHaveNoPrefix) {
    EXPECT_EQ(measurementDisplay(Measurement_t{0.0, kv4cl::UnitPfxNone, "sps"}), "0 sps");
    EXPECT_EQ(measurementDisplay(Measurement_t{0.0, kv4cl::UnitPfxMicro, "A"}), "0 A");
    const Measurement_t nan = withFittingPrefix(Measurement_t{NAN, kv4cl::UnitPfxMilli, "V"});
    EXPECT_TRUE(std::isnan(nan.value));
    EXPECT_EQ(nan.prefix, kv4cl::UnitPfxNone);
}

TEST(MeasurementDisplay, StopsAtTheOuterPrefixes) {
    const Measurement_t huge = withFittingPrefix(Measurement_t{5.0e6, kv4cl::UnitPfxPeta, "A"});
    EXPECT_EQ(huge.prefix, kv4cl::UnitPfxPeta);
    EXPECT_DOUBLE_EQ(huge.value, 5.0e6);
    const Measurement_t tiny = withFittingPrefix(Measurement_t{2.0e-3, kv4cl::UnitPfxPico, "A"});
    EXPECT_EQ(tiny.prefix, kv4cl::UnitPfxFemto);
    EXPECT_DOUBLE_EQ(tiny.value, 2.0);
    const Measurement_t tinier = withFittingPrefix(Measurement_t{1.0e-3, kv4cl::UnitPfxFemto, "A"});
    EXPECT_EQ(tinier.prefix, kv4cl::UnitPfxFemto);
    EXPECT_EQ(measurementDisplay(tinier), "0.001 fA");
}
