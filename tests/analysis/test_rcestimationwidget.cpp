// The RC estimation dock driven as a user drives it, on a virtual Cedar with cells of known
// Cm, Rm and Rs: the check boxes, override values typed into the boxes and judged by the
// library, Start with one or both estimations running their protocols through the stimulus,
// the table, the export and the lab book. (Stored values the boxes refuse: the noise report's
// test, with the other docks'.)

#include "tests/analysis/dockdriver.h"
#include "tests/analysis/rconamplifier.h"

#include "analysis/framework/resultformat.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "recording/labbookevent.h"
#include "session/stimulusservice.h"
#include "widgets/copyabletable.h"
#include "widgets/steppedspinbox.h"

#include <QCheckBox>
#include <QLabel>
#include <QSettings>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cmath>

namespace {

using namespace kv4test;

class RcDockOnAmplifier : public RcOnAmplifier {
  protected:
    // One period of the typed protocol sums a few dozen frames: with the accuracy tests' 1 pA
    // a 5 GOhm cell's 8 pA step would be known to about 2% only. These tests are about the
    // wiring, so their cells are ten times quieter.
    static constexpr double quiet = 0.1e-12;
    void SetUp() override {
        RcOnAmplifier::SetUp();
        QSettings().remove("Analysis/Online/RCEstimation");
        QFile::remove(StimulusService::lastSessionFile());
    }
    static SteppedSpinBox* box(const QWidget& parent, const QString& label) {
        auto* box = labelled<SteppedSpinBox>(parent, label);
        EXPECT_TRUE(box) << label.toStdString();
        return box;
    }
    static QCheckBox* check(const QWidget& parent, const QString& text) {
        auto* box = withText<QCheckBox>(parent, text);
        EXPECT_TRUE(box) << text.toStdString();
        return box;
    }
    static QLabel* warning(const QWidget& parent) {
        for (QLabel* l : parent.findChildren<QLabel*>())
            if (l->styleSheet().contains("rgb(255, 255, 128)")) return l;
        return nullptr;
    }
    // The exported line's values in the base unit: "Resistance [MΩ],1010,..." gives 1.01e9...
    static std::vector<double> exported(const QString& text, const QString& name) {
        for (const QString& line : text.split("\n"))
            if (line.startsWith(name + " [")) {
                const QStringList fields = line.split(",");
                const QString unit = fields[0].section('[', 1).chopped(1); // "MΩ" of "[MΩ]"
                std::vector<double> values;
                for (int i = 1; i < fields.size(); i++)
                    values.push_back(labelValue(fields[i] + " " + unit, unit.right(1)));
                return values;
            }
        ADD_FAILURE() << name.toStdString();
        return {};
    }
    // The dock given its workers and the stimulus, as the main window gives them.
    void wire(RCEstimationWidget& widget, StimulusService& stimulus) {
        widget.setConsumers(rEstimation.get(), cEstimation.get());
        widget.setStimulus(&stimulus);
    }
    // The times the stimulus ran the protocol of that entry.
    static int runs(const QSignalSpy& running, int protocolIdx) {
        return int(std::count_if(running.begin(), running.end(),
                                 [&](const QList<QVariant>& r) { return r.at(0).toInt() == protocolIdx; }));
    }
    // Waits until every cell of the table's row shows a value.
    static void waitForRow(const RCEstimationWidget& widget, int row) {
        const auto filled = [&] {
            for (int c = 0; c < widget.table()->columnCount(); c++)
                if (!widget.table()->item(row, c) || widget.table()->item(row, c)->text() == "-")
                    return false;
            return true;
        };
        ASSERT_TRUE(QTest::qWaitFor(filled, 20000)) << "row " << row;
    }
};

// The checks keep one estimation at least and enable its boxes; a value the library refuses
// shows its message and keeps Start off until it is mended. Both chosen: the resistance first,
// on the square wave with the values typed, then the capacitance on the triangle, each result
// handing over to the other; the table, the export and the lab book hold every channel's
// values. Stop holds Vhold again; the next dock starts with the values typed.
TEST_F(RcDockOnAmplifier, BothEstimationsTakeTurnsOnTheirProtocolsWithTheTypedValues) {
    ASSERT_NO_FATAL_FAILURE(placeCells(cells, quiet));
    ASSERT_NO_FATAL_FAILURE(startConsumers());
    StimulusService stimulus;
    RCEstimationWidget widget;
    widget.resize(700, 500);
    widget.show();
    ASSERT_NO_FATAL_FAILURE(wire(widget, stimulus));
    EXPECT_FALSE(widget.toolAction(AnalysisWidget::ExportTool)->isEnabled());
    QCheckBox* rCheck = check(widget, "Estimate\nResistance");
    QCheckBox* cCheck = check(widget, "Estimate\nCapacitance");
    ASSERT_TRUE(rCheck && cCheck);
    const struct {
        QCheckBox* click;
        bool r, c;
    } ticks[] = {{rCheck, false, true}, {cCheck, true, false}, {cCheck, true, true}};
    for (const auto& t : ticks) {
        // On the indicator: a check box stretched by its layout takes no click beyond its text.
        QTest::mouseClick(t.click, Qt::LeftButton, {}, QPoint(6, t.click->height() / 2));
        EXPECT_EQ(rCheck->isChecked(), t.r);
        EXPECT_EQ(cCheck->isChecked(), t.c);
        EXPECT_EQ(box(widget, "Tpulse [ms]")->isEnabled(), t.r);
        EXPECT_EQ(box(widget, "TPeriod [ms]")->isEnabled(), t.c);
    }
    QToolButton* start = widget.toolButton(AnalysisWidget::StartTool);
    type(box(widget, "Tpulse [ms]"), "0");
    ASSERT_TRUE(warning(widget) && warning(widget)->isVisible());
    EXPECT_EQ(warning(widget)->text(), "Tpulse\nmust be within [1, 200e6]ms");
    EXPECT_FALSE(start->isEnabled());
    type(box(widget, "Vpulse [mV]"), "40");
    type(box(widget, "Thold [ms]"), "20");
    type(box(widget, "Tpulse [ms]"), "20");
    EXPECT_FALSE(warning(widget)->isVisible());
    EXPECT_TRUE(start->isEnabled());
    const auto repetitions = [](const RCEstimationWidget& w, const QString& overrideLabel) {
        return labelled<QSpinBox>(*box(w, overrideLabel)->parentWidget(), "Repetitions");
    };
    type(repetitions(widget, "Tpulse [ms]"), "4");
    type(repetitions(widget, "TPeriod [ms]"), "5");
    type(box(widget, "Vamp [mV]"), "50");
    type(box(widget, "TPeriod [ms]"), "20");
    QSignalSpy running(&stimulus, &StimulusService::running);

    const uint64_t starts = amplifier().command().protocolStarts;
    QTest::mouseClick(widget.toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    EXPECT_FALSE(rCheck->isEnabled());
    EXPECT_FALSE(box(widget, "Vamp [mV]")->isEnabled());
    ASSERT_TRUE(amplifier().waitForCommand(
        [&](const kav4sim::DecodedCommand& c) { return c.protocolStarts > starts && c.protocolIdx == 2; },
        10s));
    EXPECT_NEAR(amplifier().command().protocolParameters.at("Vpulse"), 0.04, 1e-6);
    ASSERT_NO_FATAL_FAILURE(waitForRow(widget, 0));
    ASSERT_NO_FATAL_FAILURE(waitForRow(widget, 1));
    EXPECT_NEAR(amplifier().command().protocolParameters.at("TPeriod"), 0.02, 1e-6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs(running, 2) >= 2; }, 20000)) << "the resistance again";
    EXPECT_GE(runs(running, 1), 1);

    const QString text = widget.exportData();
    EXPECT_TRUE(text.startsWith("Channel:,1,2,3,4\n")) << text.toStdString();
    const std::vector<double> r = exported(text, "Resistance");
    const std::vector<double> c = exported(text, "Capacitance");
    ASSERT_EQ(r.size(), 4u);
    ASSERT_EQ(c.size(), 4u);
    for (int ch = 0; ch < 4; ch++) {
        SCOPED_TRACE(ch);
        // The export's six significant digits.
        EXPECT_NEAR(r[size_t(ch)] / seenResistance(cells[ch]), 1.0, 0.01);
        EXPECT_NEAR(c[size_t(ch)] / seenCapacitance(cells[ch]), 1.0, 0.02);
    }
    QSignalSpy events(&widget, &AnalysisWidget::labbookEvent);
    QTest::mouseClick(widget.toolButton(AnalysisWidget::LabbookTool), Qt::LeftButton);
    ASSERT_EQ(events.count(), 4);
    for (int ch = 0; ch < 4; ch++) {
        std::unique_ptr<LabbookEvent> event(events.at(ch).at(0).value<LabbookEvent*>());
        EXPECT_EQ(event->type, LabbookEvent::TypeRCEstimation);
        EXPECT_TRUE(event->lineText().contains(QString("Channel: %1").arg(ch + 1)))
            << event->lineText().toStdString();
    }

    const uint64_t before = amplifier().command().protocolStarts;
    QTest::mouseClick(widget.toolButton(AnalysisWidget::StopTool), Qt::LeftButton);
    ASSERT_TRUE(amplifier().waitForCommand(
        [&](const kav4sim::DecodedCommand& c) { return c.protocolStarts > before && c.protocolIdx == 0; },
        10s));
    EXPECT_FALSE(rEstimation->isRunning());
    EXPECT_FALSE(cEstimation->isRunning());
    EXPECT_TRUE(rCheck->isEnabled());
    EXPECT_TRUE(box(widget, "Vamp [mV]")->isEnabled());

    RCEstimationWidget next;
    EXPECT_EQ(box(next, "Vpulse [mV]")->value(), 40.0);
    EXPECT_EQ(box(next, "TPeriod [ms]")->value(), 20.0);
    EXPECT_EQ(repetitions(next, "Tpulse [ms]")->value(), 4);
    EXPECT_EQ(repetitions(next, "TPeriod [ms]")->value(), 5);
}

// One chosen: that estimation alone, continuously, never the other's protocol. A ruptured
// membrane draws more than the 200 pA range holds: its resistance is the range's and the
// table says so; the intact cells beside it read as before.
TEST_F(RcDockOnAmplifier, OneEstimationAloneRunsOnAndAResistanceFromSaturatedSamplesSaysSo) {
    const RcCell ruptured[4] = {{20e-12, 5e6, 5e6, 0.0}, cells[0], cells[1], cells[3]};
    ASSERT_NO_FATAL_FAILURE(placeCells(ruptured, quiet));
    ASSERT_EQ(kv4cl::setCurrentRange(0, 4), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(waitForCommand([](const kav4sim::DecodedCommand& c) {
        return std::all_of(c.currentRangeIdx.begin(), c.currentRangeIdx.end(),
                           [](auto idx) { return idx == 0; });
    }));
    ASSERT_NO_FATAL_FAILURE(startConsumers());
    StimulusService stimulus;
    RCEstimationWidget widget;
    ASSERT_NO_FATAL_FAILURE(wire(widget, stimulus));
    QTest::mouseClick(check(widget, "Estimate\nCapacitance"), Qt::LeftButton);
    type(box(widget, "Vpulse [mV]"), "40");
    QSignalSpy running(&stimulus, &StimulusService::running);
    kv4test::Results results(rEstimation.get());
    QTest::mouseClick(widget.toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(waitFor(results, 3));
    ASSERT_NO_FATAL_FAILURE(waitForRow(widget, 0));
    EXPECT_EQ(runs(running, 1), 0);
    EXPECT_FALSE(cEstimation->isRunning());
    EXPECT_EQ(amplifier().command().protocolIdx, 2);
    EXPECT_EQ(widget.table()->item(1, 0)->text(), "-") << "no capacitance measured";
    EXPECT_EQ(widget.table()->toolTip(), "");
    QTest::mouseClick(widget.toolButton(AnalysisWidget::StopTool), Qt::LeftButton);
    EXPECT_EQ(widget.table()->toolTip(), staleAfterStop) << "greyed once stopped";
    const QTableWidgetItem* saturated = widget.table()->item(0, 0);
    EXPECT_TRUE(saturated->text().endsWith(" (saturated)")) << saturated->text().toStdString();
    EXPECT_EQ(saturated->toolTip(), "The current of channel 1 saturated its 200 pA range: this is the "
                                    "range's resistance, not the cell's.");
    for (int ch = 1; ch < 4; ch++) {
        const QTableWidgetItem* item = widget.table()->item(0, ch);
        EXPECT_NEAR(labelValue(item->text(), "Ω") / seenResistance(ruptured[ch]), 1.0, 0.02)
            << item->text().toStdString();
    }
    // The export and the lab book say it too.
    EXPECT_TRUE(widget.exportData().endsWith("Resistance from saturated samples,yes,no,no,no\n"))
        << widget.exportData().toStdString();
    QSignalSpy entries(&widget, &AnalysisWidget::labbookEvent);
    QTest::mouseClick(widget.toolButton(AnalysisWidget::LabbookTool), Qt::LeftButton);
    ASSERT_EQ(entries.count(), 4);
    for (int ch = 0; ch < 4; ch++) {
        std::unique_ptr<LabbookEvent> entry(entries.at(ch).at(0).value<LabbookEvent*>());
        EXPECT_EQ(entry->lineText().endsWith("Resistance from saturated samples"), ch == 0)
            << entry->lineText().toStdString();
    }
}

} // namespace
