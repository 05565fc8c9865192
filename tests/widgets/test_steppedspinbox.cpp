// The spin box that keeps its value on the step grid of a library range.

#include "widgets/steppedspinbox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QTest>

using kv4cl::RangedMeasurement_t;

namespace {

RangedMeasurement_t volts(double min, double max, double step) {
    return {min, max, step, kv4cl::UnitPfxNone, "V"};
}

// A spin box that prints with a point whatever the machine's locale.
struct SteppedSpinBoxTest : testing::Test {
    SteppedSpinBoxTest() { spin.setLocale(QLocale::c()); }
    SteppedSpinBox spin;
};

} // namespace

// Decimals follow the step; steps go from the nearest grid point, 2.5 steps rounding to 3
// and -2.5 to -3, within the bounds; the modes choose the span.
TEST_F(SteppedSpinBoxTest, DecimalsFollowTheStepStepsStartOnTheGridAndModesChooseTheSpan) {
    const std::pair<double, int> decimals[] = {{5.0, 0},  {0.5, 1},    {1.3, 1},
                                               {0.04, 2}, {0.0125, 3}, {0.0001, 3}};
    for (const auto& [step, count] : decimals) {
        spin.setRange(volts(0.0, 100.0, step));
        EXPECT_EQ(std::pair(spin.decimals(), spin.singleStep()), std::pair(count, step)) << "step " << step;
    }
    const std::tuple<double, double, int, double> steps[] = {
        {0.5, 1.2, 1, 1.5},   {0.5, 1.2, -1, 0.5},    {2.0, 5.0, 1, 8.0},
        {2.0, -5.0, 1, -4.0}, {2.0, -4.0, 100, 20.0}, {2.0, 20.0, -100, -20.0}};
    for (const auto& [step, from, count, to] : steps) {
        spin.setRange(volts(-20.0, 20.0, step));
        spin.setValue(from);
        spin.stepBy(count);
        EXPECT_DOUBLE_EQ(spin.value(), to) << from << " by " << count;
    }
    const std::tuple<SteppedSpinBox::RangeMode_t, double, double> spans[] = {
        {SteppedSpinBox::RangeModeFull, -10.0, 50.0},
        {SteppedSpinBox::RangeModePositive, 0.0, 50.0},
        {SteppedSpinBox::RangeModeSymmetric, -60.0, 60.0}};
    for (const auto& [mode, min, max] : spans) {
        spin.setRange(volts(-10.0, 50.0, 0.5), mode);
        EXPECT_EQ(std::pair(spin.minimum(), spin.maximum()), std::pair(min, max)) << mode;
    }
}

TEST_F(SteppedSpinBoxTest, NewRangeCarriesTheValueAcrossPrefixesAndSnapsIt) {
    spin.setRange(volts(0.0, 10.0, 0.5));
    spin.setValue(1.5);
    spin.setRange({-2000.0, 2000.0, 1.0, kv4cl::UnitPfxMilli, "V"});
    const kv4cl::Measurement_t m = spin.getMeasurement();
    EXPECT_EQ(std::tuple(m.value, m.prefix, m.unit),
              std::tuple(1500.0, kv4cl::UnitPfxMilli, std::string("V")));
    // 1.5 V on a grid of 2 V: 0.75 steps rounds to one step; out of the new span it is clamped.
    spin.setRange(volts(-10.0, 10.0, 2.0));
    EXPECT_DOUBLE_EQ(spin.value(), 2.0);
    spin.setRange({0.0, 500.0, 1.0, kv4cl::UnitPfxMilli, "V"});
    EXPECT_DOUBLE_EQ(spin.value(), 500.0);
}

// Texts on the grid are acceptable, others wait to be fixed inside the bounds, which a user
// leaving the field sees happen.
TEST_F(SteppedSpinBoxTest, AcceptsOnlyTextsOnTheGridAndFixesOthersOnLeavingTheField) {
    spin.setRange(volts(0.0, 10.0, 0.5));
    const std::pair<QString, QValidator::State> cases[] = {{"1.5", QValidator::Acceptable},
                                                           {"2", QValidator::Acceptable},
                                                           {"1.3", QValidator::Intermediate},
                                                           {"9.9", QValidator::Intermediate}};
    for (auto [text, state] : cases) {
        int pos = text.size();
        EXPECT_EQ(spin.validate(text, pos), state) << text.toStdString();
    }
    spin.selectAll();
    QTest::keyClicks(&spin, "1.3");
    EXPECT_FALSE(spin.hasAcceptableInput());
    QFocusEvent leave(QEvent::FocusOut);
    QApplication::sendEvent(&spin, &leave);
    EXPECT_EQ(spin.text(), "1.5");
    EXPECT_DOUBLE_EQ(spin.getMeasurement().value, 1.5);

    // Three decimals shown for a step of 0.0001: a value within half a thousandth reads as on it.
    spin.setRange(volts(0.0, 1.0, 0.0001));
    QString text = "0.123";
    int pos = text.size();
    EXPECT_EQ(spin.validate(text, pos), QValidator::Acceptable);
    spin.setRange(volts(0.2, 9.8, 0.5));
    const std::pair<QString, QString> fixes[] = {{"9.7", "9.5"}, {"9.8", "9.5"}, {"0.2", "0.5"}};
    for (auto [typed, fixed] : fixes) {
        spin.fixup(typed);
        EXPECT_EQ(typed, fixed);
    }
}
