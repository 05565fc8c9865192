// The "Compensations" dock on a virtual Dogwood 16, driven as a user does: the knob turned by
// wheel and keys and the check button clicked reach the amplifier, whose compensation then
// takes the capacitive current off the channel; each channel keeps its value across channel
// switches and restarts.

#include "tests/controls/dockdriver.h"
#include "tests/support/amplifiertest.h"

#include "controls/compensationsdockwidget.h"
#include "widgets/activationbutton.h"

#include <QComboBox>
#include <QLabel>
#include <QSettings>

#include <cmath>

using namespace kv4test;
using kv4cl::Measurement_t;
using kv4cl::Success;

namespace {

constexpr int channels = 16;
// The model's control: 0 to 20 pF in steps of 0.02 pF; page keys move 1 pF.
constexpr double pFStep = 0.02;
constexpr double pFPage = 1.0;

Measurement_t pF(double value) {
    return {value, kv4cl::UnitPfxPico, "F"};
}
QString padded(double pF) {
    return QString::number(pF, 'f', 2).rightJustified(5, '0');
}

class CompensationsDock : public SimulatedAmplifiers {
  protected:
    void SetUp() override {
        QSettings().remove("Compensations");
        connect("dogwood16");
        ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
        open(screens[0]);
    }
    void TearDown() override {
        dock.reset();
        SimulatedAmplifiers::TearDown();
    }
    void open(QSize screen) {
        dock = std::make_unique<CompensationsDockWidget>();
        placeOn(*dock, screen);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dock.get()));
    }

    QComboBox* combo() const { return dock->findChild<QComboBox*>(); }
    CompensationKnob* knob() const { return dock->findChild<CompensationKnob*>(); }
    CompensationDisplay* display() const { return dock->findChild<CompensationDisplay*>(); }
    ActivationButton* check() const { return dock->findChild<ActivationButton*>(); }

    // Picks the entry with the keyboard, as a user tabbing through the combo does.
    void select(int index) {
        combo()->setFocus();
        QTest::keyClick(combo(), Qt::Key_Home);
        for (int i = 0; i < index; i++)
            QTest::keyClick(combo(), Qt::Key_Down);
        ASSERT_EQ(combo()->currentIndex(), index);
    }
    // Home, then page and arrow keys up to the value.
    void typeValue(double value) {
        knob()->setFocus();
        QTest::keyClick(knob(), Qt::Key_Home);
        const int pages = int(value / pFPage);
        for (int i = 0; i < pages; i++)
            QTest::keyClick(knob(), Qt::Key_PageUp);
        for (long i = 0; i < std::lround((value - pages * pFPage) / pFStep); i++)
            QTest::keyClick(knob(), Qt::Key_Up);
    }
    void clickCheck() { QTest::mouseClick(check(), Qt::LeftButton); }

    std::unique_ptr<CompensationsDockWidget> dock;
};

// Each way a user turns the knob, on a channel of its own at 5 pF and checked: the value shows
// and reaches the channel; unchecked, the compensation goes and the value stays. The wheel
// turns the knob only once it is selected, and selecting it keeps the value.
TEST_F(CompensationsDock, TheKnobTurnedAsAUserDoesReachesTheChannelWhenChecked) {
    ASSERT_TRUE(knob() && display() && check());
    const struct {
        const char* name;
        int channel;
        std::function<void()> turn;
        double expected; // pF
    } cases[] = {
        {"wheel down with shift", 9, [this] { wheel(knob(), -2, Qt::ShiftModifier); }, 5 - 2 * pFPage},
        {"past the top", 11,
         [this] {
             QTest::keyClick(knob(), Qt::Key_End);
             QTest::keyClick(knob(), Qt::Key_PageUp);
         },
         20},
        // Four notches past the unselected knob turn nothing, four once a tab has selected it.
        {"selected by a tab from the channel selector", 3,
         [this] {
             combo()->setFocus();
             wheel(knob(), 4);
             QTest::keyClick(combo(), Qt::Key_Tab);
             wheel(knob(), 4);
         },
         5 + 4 * pFStep},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        select(c.channel);
        typeValue(5);
        clickCheck();
        EXPECT_EQ(display()->text(), "05.00");
        c.turn();
        const double turned = knob()->scaledValue();
        EXPECT_NEAR(turned, c.expected, 1e-9);
        EXPECT_EQ(display()->text(), padded(turned));
        const DecodedCommand sent = fenced(amplifier());
        EXPECT_NEAR(sent.cFast[size_t(c.channel)], turned * 1e-12, 1e-16);
        EXPECT_TRUE(sent.cFastEnabled[size_t(c.channel)]);
        clickCheck();
        EXPECT_EQ(display()->text(), "OFF");
        EXPECT_FALSE(fenced(amplifier()).cFastEnabled[size_t(c.channel)]);
    }
    const DecodedCommand last = fenced(amplifier());
    for (int ch : {0, 1, 4, 5, 15}) {
        EXPECT_FALSE(last.cFastEnabled[size_t(ch)]) << "untouched " << ch;
        EXPECT_EQ(last.cFast[size_t(ch)], 0.0) << "untouched " << ch;
    }
}

TEST_F(CompensationsDock, EachChannelKeepsItsValueAcrossSwitchesAndRestartsAndAllChannelsSetsThemAll) {
    const struct Stored {
        int channel;
        double value;
        bool on;
    } stored[] = {{1, 3.46, true}, {5, 12.5, false}, {15, 0.88, true}};
    for (const Stored& s : stored) {
        select(s.channel);
        typeValue(s.value);
        if (s.on) clickCheck();
    }
    const auto expectShown = [&](const Stored& s, bool on) {
        select(s.channel);
        EXPECT_NEAR(knob()->scaledValue(), s.value, 1e-9) << s.channel;
        EXPECT_EQ(check()->isChecked(), on) << s.channel;
        EXPECT_EQ(display()->text(), on ? padded(s.value) : "OFF");
    };
    for (const Stored& s : stored)
        expectShown(s, s.on);
    // "All Ch." starts from the defaults without touching any channel.
    select(channels);
    EXPECT_EQ(knob()->scaledValue(), 0.0);
    EXPECT_FALSE(check()->isChecked());
    for (const Stored& s : stored)
        EXPECT_NEAR(fenced(amplifier()).cFast[size_t(s.channel)], s.value * 1e-12, 1e-16);

    // A restart sends every stored value, switched off, and shows it on its channel; an edited
    // settings file gives the default for what is no number and the bound for what is past it.
    dock.reset();
    QSettings().setValue("Compensations/cFast7", "many");
    QSettings().setValue("Compensations/cFast9", 99.0);
    kv4cl::disconnect();
    connect("dogwood16");
    open(screens[1]);
    const DecodedCommand sent = fenced(amplifier());
    for (int ch = 0; ch < channels; ch++) {
        double expected = ch == 9 ? 20.0 : 0.0;
        for (const Stored& s : stored)
            if (s.channel == ch) expected = s.value;
        EXPECT_NEAR(sent.cFast[size_t(ch)], expected * 1e-12, 1e-16) << ch;
        EXPECT_FALSE(sent.cFastEnabled[size_t(ch)]) << ch;
    }
    for (const Stored& s : stored)
        expectShown(s, false);

    // "All Ch." sets every channel, kept for the next run and shown on each.
    select(channels);
    typeValue(7.3);
    clickCheck();
    const DecodedCommand all = fenced(amplifier());
    for (int ch = 0; ch < channels; ch++) {
        EXPECT_NEAR(all.cFast[size_t(ch)], 7.3e-12, 1e-16) << ch;
        EXPECT_TRUE(all.cFastEnabled[size_t(ch)]) << ch;
        EXPECT_NEAR(QSettings().value(QString("Compensations/cFast%1").arg(ch)).toDouble(), 7.3, 1e-9) << ch;
    }
    expectShown({5, 7.3, true}, true);
}

// An estimate is of the capacitance the current still shows: it adds to the compensation in
// force. What the control cannot take is said with its range, and sent nowhere.
TEST_F(CompensationsDock, AnEstimateAddsToTheCompensationInForceWithinItsRange) {
    const struct {
        const char* name;
        int channel;
        double inForce; // pF, typed first when not 0
        bool on;
        Measurement_t estimate;
        double expected; // pF
        bool enabled;
        const char* refusal;
    } cases[] = {
        {"nothing in force", 4, 0.0, false, {8420.0, kv4cl::UnitPfxFemto, "F"}, 8.42, true, nullptr},
        {"a value kept, switched off", 7, 5.0, false, pF(3.0), 3.0, true, nullptr},
        {"switched on: what is left", 6, 5.0, true, pF(0.3), 5.3, true, nullptr},
        {"above the range", 9, 0.0, false, pF(31.0), 0.0, false, "Ch. 10 31.00 pF"},
        {"above with what is in force", 11, 15.0, true, pF(6.0), 15.0, true, "Ch. 12 21.00 pF"},
    };
    auto* refusal = dock->findChild<QLabel*>("cFastRefusalLabel");
    ASSERT_TRUE(refusal);
    QStringList said;
    const auto saying = [&] {
        return ("Outside the CFast range (0 pF to 20 pF): " + said.join(", ")).toStdString();
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.inForce > 0.0) {
            select(c.channel);
            typeValue(c.inForce);
            if (c.on) clickCheck();
        }
        dock->onCompensateCFast(c.channel, c.estimate);
        EXPECT_EQ(combo()->currentIndex(), c.channel);
        const DecodedCommand sent = fenced(amplifier());
        EXPECT_NEAR(sent.cFast[size_t(c.channel)], c.expected * 1e-12, 1e-16);
        EXPECT_EQ(sent.cFastEnabled[size_t(c.channel)], c.enabled);
        if (c.refusal) {
            said << c.refusal;
        } else {
            EXPECT_EQ(display()->text(), padded(c.expected));
        }
        EXPECT_EQ(refusal->isVisible(), !said.isEmpty());
        if (!said.isEmpty()) {
            EXPECT_EQ(refusal->text().toStdString(), saying());
        }
    }
    EXPECT_FALSE(QSettings().contains("Compensations/cFast9"));
    // Said until the channel's value is set.
    select(9);
    typeValue(1.0);
    said.removeFirst();
    EXPECT_EQ(refusal->text().toStdString(), saying());
}

// On a triangle the capacitive current is C times the command's slope. With the cell's own
// Cm as the compensation the residual, beside an uncompensated channel on the same cell,
// drops at least tenfold.
TEST_F(CompensationsDock, TheCellsCapacitanceTakesItsCapacitiveCurrentOff) {
    const double cm = 11.32e-12, vamp = 0.05, period = 0.1, tau = 1.5e-3;
    const double slope = 4 * vamp / period;
    constexpr uint16_t channel = 8;
    ASSERT_EQ(kv4cl::setCurrentRange(0, channels), Success);
    startProtocol("Triangular", {{"Vhold", 0}, {"Vamp", vamp * 1e3}, {"TPeriod", period * 1e3}});
    CellParameters cell = quietCell();
    cell.membraneCapacitance = cm;
    // The command moves in steps of the sampling clock, the compensation takes their mean
    // charge off: the membrane charges through the series resistance over many of them.
    cell.seriesResistance = tau / cm;
    cell.membraneResistance = 1e12;
    amplifier().setCell(channels, cell);
    dock->onCompensateCFast(channel, pF(11.32));
    waitForCommand([&](const DecodedCommand& d) {
        return d.cFastEnabled[channel] && std::abs(d.cFast[channel] - cm) < 1e-16;
    });
    settle();
    // Mean residual off the membrane's resistive current, away from the triangle's corners.
    const Frames f = read(size_t(5 * period * samplingRate()));
    const double r = cell.membraneResistance + cell.seriesResistance;
    double reference = 0.0, compensated = 0.0;
    size_t n = 0;
    for (size_t i = 0; i < f.count(); i++) {
        const double v = volts(f, i);
        if (std::abs(v) > 0.7 * vamp) continue;
        reference += std::abs(amperes(f, i, 0) - v / r);
        compensated += std::abs(amperes(f, i, channel) - v / r);
        n++;
    }
    ASSERT_GT(n, 100u);
    EXPECT_NEAR(reference / double(n), cm * slope, 0.05 * cm * slope);
    EXPECT_LT(compensated * 10, reference) << compensated << " against " << reference;
}

} // namespace
