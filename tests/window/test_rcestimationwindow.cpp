// The RC estimation dock in the main window, as a user finds it: opened from the Analysis
// menu; its estimations run their protocols on the device through the stimulus dock, which
// gets the stimulus back at Stop and at the next connection, and the capacitances compensate
// their channels in the compensations dock when the user applies them.

#include "acquisition/valuelabel.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"
#include "tests/analysis/dockdriver.h"
#include "tests/analysis/rcexpected.h"
#include "tests/support/connectedwindow.h"
#include "widgets/copyabletable.h"
#include "widgets/steppedspinbox.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using kav4sim::DecodedCommand;

class RcEstimationWindow : public kv4test::WindowTest {
  protected:
    static SteppedSpinBox* box(const QWidget& parent, const QString& label) {
        for (const QLabel* l : parent.findChildren<QLabel*>())
            if (l->text() == label) return qobject_cast<SteppedSpinBox*>(l->buddy());
        ADD_FAILURE() << label.toStdString();
        return nullptr;
    }
    static void type(QAbstractSpinBox* spin, const QString& text) {
        spin->setFocus();
        spin->selectAll();
        QTest::keyClicks(spin, text);
    }
    static QPushButton* applyButton(const QWidget& rc, const QString& toolTip) {
        for (QPushButton* b : rc.findChildren<QPushButton*>())
            if (b->text() == "Apply to CFast" && b->toolTip() == toolTip) return b;
        return nullptr;
    }
    QAction* menuEntry(const QString& text) const {
        for (QAction* menu : window->menuBar()->actions())
            if (menu->text().remove('&') == "Analysis")
                for (QAction* a : menu->menu()->actions())
                    if (a->text() == text) return a;
        return nullptr;
    }
};

// Cells whose currents stay within the most sensitive range on both protocols (the triangle of
// 40 ms); the second one's capacitance is above the range of the fast-capacitance compensation
// (0 to 20 pF).
constexpr kv4test::RcCell probe{10e-12, 2e9, 20e6, 0.0};
constexpr kv4test::RcCell large{28e-12, 2e9, 20e6, 0.0};

kav4sim::CellParameters cellOf(const kv4test::RcCell& c) {
    kav4sim::CellParameters cell;
    cell.membraneCapacitance = c.cm;
    cell.membraneResistance = c.rm;
    cell.seriesResistance = c.rs;
    cell.fastCapacitance = c.cp;
    cell.channelConductance = 0.0;
    cell.resetArtefact = 0.0;
    cell.noiseRms = 1e-12;
    return cell;
}

// The estimates stay in the table, every one of them, and reach the fast-capacitance
// compensation only through "Apply to CFast": the compensated current would read as a few fF.
TEST_F(RcEstimationWindow, CFastTakesTheEstimatesOnlyWhenTheUserAppliesThem) {
    const QSize screens[] = {{1366, 768}, {1920, 1080}};
    for (const QSize& size : screens) {
        SCOPED_TRACE(size.width());
        open("dogwood16", 1);
        kav4sim::VirtualAmplifier* amplifier = simulation->amplifier(combo()->itemText(0).toStdString());
        amplifier->setCell(16, cellOf(probe));
        amplifier->setCell(15, cellOf(large));
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst(size));
        const uint64_t latches = amplifier->command().cFastLatches;

        // The lowest rates take a sample after the membrane has charged: a rate of at least
        // 10 kHz, chosen as the user does.
        std::vector<kv4cl::Measurement_t> nominal;
        uint16_t defaultRate = 0;
        ASSERT_EQ(kv4cl::getSamplingRates(nominal, defaultRate), kv4cl::Success);
        const auto fast = std::find_if(nominal.begin(), nominal.end(), [](const kv4cl::Measurement_t& r) {
            return r.getNoPrefixValue() >= 1e4;
        });
        ASSERT_NE(fast, nominal.end());
        QAbstractButton* rateButton = button("controlsDw", valueLabel(*fast));
        ASSERT_TRUE(rateButton);
        QTest::mouseClick(rateButton, Qt::LeftButton);

        auto* rc = qobject_cast<RCEstimationWidget*>(dock("rcEstimationWidget"));
        ASSERT_TRUE(rc);
        QAction* entry = menuEntry("RC Estimation");
        ASSERT_TRUE(entry);
        if (!rc->isVisible()) entry->trigger();
        rc->raise();
        QCoreApplication::sendPostedEvents();
        ASSERT_TRUE(rc->isVisible());
        QPushButton* applyAll = applyButton(*rc, "Compensate every channel with its capacitance estimate");
        QPushButton* applyFourth = applyButton(*rc, "Compensate channel 4 with its capacitance estimate");
        ASSERT_TRUE(applyAll && applyFourth);
        EXPECT_FALSE(applyAll->isEnabled()) << "nothing estimated yet";

        type(box(*rc, "Vpulse [mV]"), "40");
        type(box(*rc, "Tpulse [ms]"), "20");
        type(box(*rc, "Vamp [mV]"), "50");
        type(box(*rc, "TPeriod [ms]"), "40");
        // Every capacitance written to the table, as it is written.
        int written = 0;
        QStringList dashes;
        QObject watch;
        QObject::connect(rc->table()->model(), &QAbstractItemModel::dataChanged, &watch,
                         [&](const QModelIndex& at) {
                             if (at.row() != 1 || at.column() != 0) return;
                             const QString text = at.data().toString();
                             if (written++ > 0 && text == "-") dashes << text;
                         });
        QTest::mouseClick(rc->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
        const auto filled = [&] {
            for (int row = 0; row < 2; row++)
                for (int c = 0; c < 16; c++)
                    if (!rc->table()->item(row, c) || rc->table()->item(row, c)->text() == "-") return false;
            return true;
        };
        ASSERT_TRUE(QTest::qWaitFor(filled, 30000)) << rc->table()->item(0, 0)->text().toStdString() << " "
                                                    << rc->table()->item(1, 0)->text().toStdString()
                                                    << " protocol " << amplifier->command().protocolIdx;
        const int first = written;
        ASSERT_TRUE(QTest::qWaitFor([&] { return written >= first + 3; }, 30000)) << "three estimates more";
        EXPECT_TRUE(dashes.isEmpty()) << dashes.size() << " of " << written << " estimates shown as \"-\"";
        DecodedCommand c = amplifier->command();
        EXPECT_EQ(c.cFastLatches, latches) << "no estimate reaches the compensation by itself";
        EXPECT_EQ(std::count(c.cFastEnabled.begin(), c.cFastEnabled.end(), true), 0);

        // Applied: each channel's compensation takes the estimate shown, but the one above the
        // compensation's range, which the Compensations dock names with the range.
        std::vector<double> shown;
        for (int ch = 0; ch < 16; ch++)
            shown.push_back(kv4test::labelValue(rc->table()->item(1, ch)->text(), "F"));
        EXPECT_GT(shown[15], 20e-12);
        ASSERT_TRUE(applyAll->isEnabled());
        QTest::mouseClick(applyAll, Qt::LeftButton);
        EXPECT_FALSE(applyFourth->isEnabled()) << "until the next estimate, of the compensated current";
        ASSERT_TRUE(amplifier->waitForCommand(
            [](const DecodedCommand& d) {
                return std::count(d.cFastEnabled.begin(), d.cFastEnabled.end(), true) == 15;
            },
            std::chrono::seconds(5)));
        c = amplifier->command();
        for (int ch = 0; ch < 15; ch++)
            EXPECT_NEAR(c.cFast[size_t(ch)] / shown[size_t(ch)], 1.0, 0.01)
                << ch << ": " << c.cFast[size_t(ch)];
        EXPECT_FALSE(c.cFastEnabled[15]);
        EXPECT_EQ(c.cFast[15], 0.0);
        auto* refusal = dock("compensationsDw")->findChild<QLabel*>("cFastRefusalLabel");
        ASSERT_TRUE(refusal);
        EXPECT_TRUE(refusal->isVisible());
        const QString said = refusal->text();
        const QString range = "Outside the CFast range (0 pF to 20 pF): Ch. 16 ";
        ASSERT_TRUE(said.startsWith(range) && said.endsWith(" pF")) << said.toStdString();
        EXPECT_NEAR(said.mid(range.size()).chopped(3).toDouble() * 1e-12 / shown[15], 1.0, 0.01);

        const uint64_t starts = amplifier->command().protocolStarts;
        QTest::mouseClick(rc->toolButton(AnalysisWidget::StopTool), Qt::LeftButton);
        ASSERT_TRUE(amplifier->waitForCommand(
            [&](const DecodedCommand& d) { return d.protocolStarts > starts && d.protocolIdx == 0; },
            std::chrono::seconds(5)))
            << "the stimulus holds again";
        window.reset();
        kv4cl::disconnect();
    }
}

// An estimation left running when the connection ends leaves its protocol running on the
// amplifier: at the next connection the amplifier holds what the stimulus dock shows.
TEST_F(RcEstimationWindow, AfterAReconnectionTheAmplifierHoldsWhatTheStimulusDockShows) {
    struct Case {
        const char* model;
        const char* notEstimated;
        kv4cl::ErrorCodes_t (*protocolOf)(uint16_t&);
    };
    const Case cases[] = {
        {"dogwood16", "Estimate\nCapacitance", kv4cl::getREstimationProtocol}, // the square wave
        {"dogwood32", "Estimate\nResistance", kv4cl::getCEstimationProtocol},  // the triangle
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.model);
        open(k.model, 1);
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst({1366, 768}));
        kav4sim::VirtualAmplifier* amplifier = simulation->amplifier(combo()->itemText(0).toStdString());
        auto* rc = qobject_cast<RCEstimationWidget*>(dock("rcEstimationWidget"));
        ASSERT_TRUE(rc);
        menuEntry("RC Estimation")->trigger();
        rc->raise();
        QCheckBox* other = nullptr;
        for (QCheckBox* box : rc->findChildren<QCheckBox*>())
            if (box->text() == k.notEstimated) other = box;
        ASSERT_TRUE(other);
        QTest::mouseClick(other, Qt::LeftButton);
        uint16_t estimation = 0;
        ASSERT_EQ(k.protocolOf(estimation), kv4cl::Success);
        QTest::mouseClick(rc->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
        ASSERT_TRUE(amplifier->waitForCommand(
            [&](const DecodedCommand& d) { return d.protocolStarts > 0 && d.protocolIdx == estimation; },
            std::chrono::seconds(5)));

        const uint64_t starts = amplifier->command().protocolStarts;
        ASSERT_NO_FATAL_FAILURE(disconnect());
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        ASSERT_NO_FATAL_FAILURE(connectTo(combo()->itemText(0)));
        ASSERT_TRUE(restored.wait(5000));
        ASSERT_TRUE(amplifier->waitForCommand(
            [&](const DecodedCommand& d) { return d.protocolStarts > starts && d.protocolIdx == 0; },
            std::chrono::seconds(5)))
            << "still playing protocol " << amplifier->command().protocolIdx;
        auto* protocols = dock("protocolDw")->findChild<QComboBox*>();
        auto* running = dock("protocolDw")->findChild<QLabel*>("runningProtocolLabel");
        ASSERT_TRUE(protocols && running);
        EXPECT_EQ(running->text().toStdString(), "Running: " + protocols->itemText(0).toStdString());
        rc = qobject_cast<RCEstimationWidget*>(dock("rcEstimationWidget"));
        ASSERT_TRUE(rc);
        EXPECT_TRUE(rc->toolButton(AnalysisWidget::StartTool)->isEnabled()) << "no estimation running";
        close();
    }
}

} // namespace
