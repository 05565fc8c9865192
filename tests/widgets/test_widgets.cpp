// The shared widgets and text forms of measurements: the spin box that keeps its value on the
// step grid of a library range; value labels and the measurement display, which rescales to a
// fitting prefix (a range is labelled by its maximum: the controls dock's range buttons show
// it); the copyable table. The switch and the collapsible button group are driven through the
// docks that hold them (the controls dock's sections, the filter preferences' switches).

#include "acquisition/valuelabel.h"
#include "widgets/copyabletable.h"
#include "widgets/steppedspinbox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QTest>

#include <cmath>

using kv4cl::Measurement_t;
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

TEST(CopyableTable, CopyKeyCopiesTheFirstSelectedBlock) {
    CopyableTable table;
    table.setRowCount(3);
    table.setColumnCount(3);
    for (int r = 0; r < 3; r++) {
        table.setItem(r, 0, new QTableWidgetItem(QString("ch %1").arg(r + 1)));
        for (int c = 1; c < 3; c++) {
            table.setItem(r, c, new QTableWidgetItem);
            table.item(r, c)->setData(Qt::DisplayRole, 1000.5 * (r + 1) + c);
        }
    }
    table.setRangeSelected(QTableWidgetSelectionRange(1, 0, 2, 1), true);
    table.setRangeSelected(QTableWidgetSelectionRange(0, 2, 0, 2), true);
    QApplication::clipboard()->clear();
    QTest::keyClick(&table, Qt::Key_C, Qt::ControlModifier);
    const QLocale locale = QLocale::system();
    EXPECT_EQ(QApplication::clipboard()->text(),
              "ch 2\t" + locale.toString(2002.0) + "\nch 3\t" + locale.toString(3002.5));
}
