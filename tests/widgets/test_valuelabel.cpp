// Value labels and the measurement display, which rescales to a fitting prefix. A range is
// labelled by its maximum: the controls dock's range buttons show it.

#include "acquisition/valuelabel.h"

#include <gtest/gtest.h>

#include <cmath>

using kv4cl::Measurement_t;

TEST(ValueLabel, CutsToEightCharactersRoundsTheSixthDecimalAndDropsTrailingZeros) {
    const std::pair<Measurement_t, const char*> cases[] = {
        {{200.0, kv4cl::UnitPfxPico, "A"}, "200 pA"},
        {{999.12345, kv4cl::UnitPfxMilli, "V"}, "999.1234 mV"},
        // Without a point nothing is stripped: zeros of a whole number stay.
        {{123456789.0, kv4cl::UnitPfxNone, "A"}, "12345678 A"},
        // As C's printf: a tie on an exact binary value goes to the even digit, others to the nearer.
        {{4.8828125, kv4cl::UnitPfxKilo, "Hz"}, "4.882812 kHz"},
        {{1.0000005, kv4cl::UnitPfxKilo, "Hz"}, "1.000001 kHz"},
    };
    for (const auto& [value, label] : cases)
        EXPECT_EQ(valueLabel(value), label) << value.value;
}

TEST(MeasurementDisplay, BringsTheMagnitudeIntoOneToAThousandWithinThePrefixes) {
    const std::pair<Measurement_t, const char*> cases[] = {
        {{10000.0, kv4cl::UnitPfxNone, "sps"}, "10 ksps"},
        {{0.0005, kv4cl::UnitPfxNone, "A"}, "500 µA"},
        {{-2500.0, kv4cl::UnitPfxMilli, "V"}, "-2.5 V"},
        {{1234567.0, kv4cl::UnitPfxNone, "Hz"}, "1.234 MHz"},
        {{1000.0, kv4cl::UnitPfxNone, "Hz"}, "1 kHz"},
        {{0.0, kv4cl::UnitPfxMicro, "A"}, "0 A"},
        {{1.0e-3, kv4cl::UnitPfxFemto, "A"}, "0.001 fA"},
    };
    for (const auto& [value, shown] : cases)
        EXPECT_EQ(measurementDisplay(value), shown) << value.value;
    const Measurement_t huge = withFittingPrefix(Measurement_t{5.0e6, kv4cl::UnitPfxPeta, "A"});
    EXPECT_EQ(huge.prefix, kv4cl::UnitPfxPeta);
    EXPECT_DOUBLE_EQ(huge.value, 5.0e6);
    const Measurement_t nan = withFittingPrefix(Measurement_t{NAN, kv4cl::UnitPfxMilli, "V"});
    EXPECT_TRUE(std::isnan(nan.value));
    EXPECT_EQ(nan.prefix, kv4cl::UnitPfxNone);
}
