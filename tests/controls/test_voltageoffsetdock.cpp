// The "Voltage offsets" dock on a virtual Dogwood 16, driven as a user does: offsets typed or
// ramped reach the cells (the current follows the command over Rm + Rs) and come back in the
// "auto" labels; refusals show above the rows; offsets set by another part show in the boxes.

#include "tests/simulator/amplifiertest.h"

#include "controls/protocoldockwidget.h"
#include "controls/voltageoffsetdockwidget.h"
#include "widgets/steppedspinbox.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>

#include <set>

using namespace kv4test;
using kv4cl::Success;

namespace {

constexpr uint16_t channels = 16;
const QString applyTip = "Apply the current stimulus (ENTER/RETURN)";

double currentStep(uint16_t channel) {
    kv4cl::RangedMeasurement_t range;
    EXPECT_EQ(kv4cl::getCurrentRange(range, channel), Success);
    return range.step * kv4cl::prefixFactor(range.prefix, kv4cl::UnitPfxNone);
}

void typeInto(QAbstractSpinBox* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

// The label's value in mV, from its "+12.5 mV" form.
double shownMillivolts(QString text) {
    EXPECT_TRUE(text.endsWith(" mV")) << text.toStdString();
    text.chop(3);
    return text.toDouble();
}

class VoltageOffsetDock : public SimulatedAmplifiers {
  protected:
    void SetUp() override {
        QFile::remove(StimulusService::lastSessionFile());
        QSettings().remove("Protocol");
        connect("dogwood16");
        ASSERT_EQ(kv4cl::setSamplingRate(2), Success);
        stimulus = std::make_unique<StimulusService>();
        protocolDock = std::make_unique<ProtocolDockWidget>(*stimulus);
        dock = std::make_unique<VoltageOffsetDockWidget>(*stimulus);
        protocolDock->show();
        dock->show();
        QApplication::setActiveWindow(dock.get());
    }
    void TearDown() override {
        dock.reset();
        protocolDock.reset();
        stimulus.reset();
        SimulatedAmplifiers::TearDown();
    }

    // The tab's widget in the row of channel `channel` and column `column`.
    template <typename Widget> Widget* cell(const QString& tab, uint16_t channel, int column) const {
        auto* tabs = dock->findChild<QTabWidget*>();
        for (int i = 0; i < tabs->count(); i++) {
            if (tabs->tabText(i) != tab) continue;
            auto* grid = tabs->widget(i)->findChild<QGridLayout*>();
            QLayoutItem* item = grid->itemAtPosition(channel + 1, column);
            EXPECT_TRUE(item) << tab.toStdString() << " " << channel << " " << column;
            return item ? qobject_cast<Widget*>(item->widget()) : nullptr;
        }
        ADD_FAILURE() << "no tab " << tab.toStdString();
        return nullptr;
    }
    SteppedSpinBox* manual(uint16_t channel) const { return cell<SteppedSpinBox>("Constant", channel, 1); }
    QLabel* inForce(uint16_t channel) const { return cell<QLabel>("Constant", channel, 2); }
    SteppedSpinBox* protocolBox(const QString& label) const {
        for (const QLabel* l : protocolDock->findChildren<QLabel*>())
            if (l->text() == label) return qobject_cast<SteppedSpinBox*>(l->buddy());
        ADD_FAILURE() << label.toStdString();
        return nullptr;
    }
    QPushButton* applyButton() const {
        for (QPushButton* b : protocolDock->findChildren<QPushButton*>())
            if (b->toolTip() == applyTip) return b;
        return nullptr;
    }
    // The protocol dock's validity label, when it shows.
    QString validityMessage() const {
        for (const QLabel* l : protocolDock->findChildren<QLabel*>())
            if (!l->isHidden() && l->styleSheet().contains("rgb(255, 255, 128)")) return l->text();
        return {};
    }
    // The offsets dock's own, when it shows.
    QString offsetMessage() const {
        const auto* label = dock->findChild<QLabel*>("offsetMessageLabel");
        return label && label->isVisible() ? label->text() : QString();
    }

    // Holds Vhold, typed into the protocol dock and applied with its button.
    void holdAt(double millivolts) {
        const uint64_t starts = amplifier().command().protocolStarts;
        typeInto(protocolBox("Vhold [mV]"), QString::number(millivolts));
        QTest::mouseClick(applyButton(), Qt::LeftButton);
        waitForCommand([&](const DecodedCommand& c) { return c.protocolStarts > starts; });
    }

    // What the device holds once it has decoded a message sent after every call so far.
    DecodedCommand fenced() {
        const uint64_t resets = amplifier().command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), Success);
        waitForCommand([&](const DecodedCommand& c) { return c.resets > resets; });
        return amplifier().command();
    }

    bool labelShows(uint16_t channel, const QString& text, std::set<QString>* seen = nullptr) {
        return QTest::qWaitFor(
            [&] {
                if (seen) seen->insert(inForce(channel)->text());
                return inForce(channel)->text() == text;
            },
            20000);
    }

    // The mean current of `channel` over frames made after the device reported what the
    // labels now show: the frames the library had parsed by then are dropped.
    double currentNow(uint16_t channel) {
        EXPECT_EQ(kv4cl::flushData(false), Success);
        const Frames f = read(200);
        double sum = 0.0;
        for (size_t i = 0; i < f.count(); i++)
            sum += amperes(f, i, channel);
        return sum / double(f.count());
    }

    std::unique_ptr<StimulusService> stimulus;
    std::unique_ptr<ProtocolDockWidget> protocolDock;
    std::unique_ptr<VoltageOffsetDockWidget> dock;
};

TEST_F(VoltageOffsetDock, RowsPerChannelWithTheLibrarysRange) {
    EXPECT_EQ(dock->windowTitle(), "Voltage offsets");
    EXPECT_EQ(dock->objectName(), "voltageOffsetDw");
    kv4cl::RangedMeasurement_t range, durationRange;
    ASSERT_EQ(kv4cl::getVoltageOffsetControls(range, durationRange), Success);
    for (const uint16_t ch : {0, 7, 15}) {
        EXPECT_EQ(cell<QLabel>("Constant", ch, 0)->text(), QString("Ch.%1").arg(ch + 1));
        EXPECT_EQ(cell<QLabel>("Ramp", ch, 0)->text(), QString("Ch.%1").arg(ch + 1));
        for (SteppedSpinBox* box :
             {manual(ch), cell<SteppedSpinBox>("Ramp", ch, 1), cell<SteppedSpinBox>("Ramp", ch, 2)}) {
            EXPECT_EQ(box->minimum(), range.min);
            EXPECT_EQ(box->maximum(), range.max);
            EXPECT_EQ(box->singleStep(), range.step);
        }
        EXPECT_EQ(manual(ch)->value(), 0.0);
        EXPECT_EQ(cell<SteppedSpinBox>("Ramp", ch, 3)->maximum(), durationRange.max);
        EXPECT_EQ(cell<QPushButton>("Ramp", ch, 4)->text(), "Start");
    }
    auto* tabs = dock->findChild<QTabWidget*>();
    EXPECT_EQ(tabs->widget(0)->findChildren<SteppedSpinBox*>().size(), channels);
    EXPECT_EQ(tabs->widget(1)->findChildren<QPushButton*>().size(), channels);
}

TEST_F(VoltageOffsetDock, ATypedOffsetReachesItsCellAndComesBackInTheLabel) {
    struct Case {
        uint16_t channel;
        double rm, rs; // Ohm
        double vhold;  // mV
        QString typed; // mV
        QString shown;
    };
    const Case cases[] = {
        {3, 1e9, 10e6, 20, "12.5", "+12.5 mV"},
        {15, 2e9, 40e6, 30, "-107.5", "-107.5 mV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown.toStdString() + " on channel " + std::to_string(c.channel));
        CellParameters cellParameters = quietCell();
        cellParameters.membraneResistance = c.rm;
        cellParameters.seriesResistance = c.rs;
        amplifier().setCell(channels, cellParameters);
        holdAt(c.vhold);
        const uint64_t latched = amplifier().command().voltageOffsets.at(c.channel).count;
        typeInto(manual(c.channel), c.typed);
        QTest::keyClick(manual(c.channel), Qt::Key_Return);
        ASSERT_TRUE(labelShows(c.channel, c.shown)) << inForce(c.channel)->text().toStdString();
        EXPECT_GT(amplifier().command().voltageOffsets.at(c.channel).count, latched);

        const double offset = c.typed.toDouble();
        const double resistance = c.rm + c.rs;
        EXPECT_NEAR(currentNow(c.channel), (c.vhold + offset) * 1e-3 / resistance,
                    2 * currentStep(c.channel));
        // The other channels hold what they had: 0 for those never set.
        const uint16_t other = (c.channel + 1) % channels;
        const double otherOffset = manual(other)->value();
        EXPECT_EQ(inForce(other)->text(), QString("+%1 mV").arg(otherOffset, 0, 'f', 1));
        EXPECT_NEAR(currentNow(other), (c.vhold + otherOffset) * 1e-3 / resistance, 2 * currentStep(other));
    }
}

TEST_F(VoltageOffsetDock, ARampReachesItsCellAndTheLabelsFollowIt) {
    struct Case {
        uint16_t channel;
        double rm, rs;
        double vhold;
        QString initial, final, duration; // mV, mV, ms
        QString shownAtEnd;
    };
    const Case cases[] = {
        {12, 600e6, 25e6, -20, "40", "-35.5", "15000", "-35.5 mV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shownAtEnd.toStdString() + " on channel " + std::to_string(c.channel));
        CellParameters cellParameters = quietCell();
        cellParameters.membraneResistance = c.rm;
        cellParameters.seriesResistance = c.rs;
        amplifier().setCell(channels, cellParameters);
        holdAt(c.vhold);
        auto* tabs = dock->findChild<QTabWidget*>();
        tabs->setCurrentIndex(1);
        typeInto(cell<SteppedSpinBox>("Ramp", c.channel, 1), c.initial);
        typeInto(cell<SteppedSpinBox>("Ramp", c.channel, 2), c.final);
        typeInto(cell<SteppedSpinBox>("Ramp", c.channel, 3), c.duration);
        const QString before = inForce(c.channel)->text();
        QTest::mouseClick(cell<QPushButton>("Ramp", c.channel, 4), Qt::LeftButton);

        std::set<QString> seen;
        ASSERT_TRUE(labelShows(c.channel, c.shownAtEnd, &seen)) << inForce(c.channel)->text().toStdString();
        const DecodedCommand::OffsetOrder order = amplifier().command().voltageOffsets.at(c.channel);
        EXPECT_NEAR(order.from, c.initial.toDouble() * 1e-3, 1e-9);
        EXPECT_NEAR(order.to, c.final.toDouble() * 1e-3, 1e-9);
        EXPECT_NEAR(order.duration, c.duration.toDouble() * 1e-3, 1e-9);
        // The labels passed through the ramp on the way, not straight to its end.
        const double low = std::min(c.initial.toDouble(), c.final.toDouble());
        const double high = std::max(c.initial.toDouble(), c.final.toDouble());
        size_t between = 0;
        seen.erase(before);
        for (const QString& text : seen) {
            const double v = shownMillivolts(text);
            if (v > low + 1.0 && v < high - 1.0) between++;
        }
        EXPECT_GE(between, 1u) << "labels seen: "
                               << QStringList(seen.begin(), seen.end()).join(" | ").toStdString();

        const double resistance = c.rm + c.rs;
        EXPECT_NEAR(currentNow(c.channel), (c.vhold + c.final.toDouble()) * 1e-3 / resistance,
                    2 * currentStep(c.channel));
        tabs->setCurrentIndex(0);
    }
}

TEST_F(VoltageOffsetDock, ClosingTheDockMidEditSendsNothing) {
    const uint16_t ch = 2;
    const uint64_t latched = fenced().voltageOffsets.at(ch).count;
    typeInto(manual(ch), "45");
    ASSERT_TRUE(manual(ch)->hasFocus());
    dock.reset();
    EXPECT_EQ(fenced().voltageOffsets.at(ch).count, latched);
}

// A refusal shows above the rows and nothing is sent, on Return too, nor while the protocol
// parameters are refused; an offset set by another part shows in its box.
TEST_F(VoltageOffsetDock, RefusalsShowAboveTheRowsAndOffsetsSetElsewhereInTheBoxes) {
    const uint16_t ch = 9;
    holdAt(400);
    const uint64_t latched = fenced().voltageOffsets.at(ch).count;
    typeInto(manual(ch), "150");
    EXPECT_EQ(offsetMessage(), "Ch.10: Vhold+offset\nmust be within [-500,500]mV");
    QTest::keyClick(manual(ch), Qt::Key_Return);
    EXPECT_EQ(fenced().voltageOffsets.at(ch).count, latched);
    EXPECT_EQ(validityMessage(), "") << "the refusal stands where the offset is typed";

    holdAt(100);
    EXPECT_TRUE(stimulus->setOffset(ch, {-80000, kv4cl::UnitPfxMicro, "V"}));
    EXPECT_EQ(manual(ch)->value(), -80.0);
    EXPECT_EQ(offsetMessage(), "");
    EXPECT_NEAR(fenced().voltageOffsets.at(ch).to, -0.08, 1e-9);

    typeInto(protocolBox("Vhold [mV]"), "505");
    ASSERT_FALSE(validityMessage().isEmpty());
    typeInto(manual(ch), "20");
    QTest::keyClick(manual(ch), Qt::Key_Return);
    EXPECT_NEAR(fenced().voltageOffsets.at(ch).to, -0.08, 1e-9) << "sent while the parameters are refused";
    typeInto(protocolBox("Vhold [mV]"), "50");
    manual(ch)->setFocus();
    QTest::keyClick(manual(ch), Qt::Key_Return);
    EXPECT_NEAR(fenced().voltageOffsets.at(ch).to, 0.02, 1e-9);
}

} // namespace
