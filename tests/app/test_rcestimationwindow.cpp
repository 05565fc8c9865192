// The RC estimation dock in the main window, as a user finds it: opened from the Analysis
// menu; its estimations run their protocols on the device
// through the stimulus dock, which gets the stimulus back at Stop, and each capacitance
// compensates its channel in the compensations dock.

#include "analysis/rcestimationwidget.h"
#include "app/widgets/copyabletable.h"
#include "app/widgets/steppedspinbox.h"
#include "app/widgets/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"
#include "tests/analysis/rcexpected.h"
#include "tests/support/connectedwindow.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
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
    QAction* menuEntry(const QString& text) const {
        for (QAction* menu : window->menuBar()->actions())
            if (menu->text().remove('&') == "Analysis")
                for (QAction* a : menu->menu()->actions())
                    if (a->text() == text) return a;
        return nullptr;
    }
};

// A cell whose currents stay within the most sensitive range on both protocols.
constexpr kv4test::RcCell probe{10e-12, 2e9, 20e6, 0.0};

TEST_F(RcEstimationWindow, EstimatesOnTheDeviceAndCompensatesEachChannel) {
    const QSize screens[] = {{1366, 768}, {1920, 1080}};
    for (const QSize& size : screens) {
        SCOPED_TRACE(size.width());
        open("dogwood16", 1);
        kav4sim::VirtualAmplifier* amplifier = simulation->amplifier(combo()->itemText(0).toStdString());
        kav4sim::CellParameters cell;
        cell.membraneCapacitance = probe.cm;
        cell.membraneResistance = probe.rm;
        cell.seriesResistance = probe.rs;
        cell.fastCapacitance = 0.0;
        cell.channelConductance = 0.0;
        cell.resetArtefact = 0.0;
        cell.noiseRms = 1e-12;
        amplifier->setCell(16, cell);
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst(size));

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

        type(box(*rc, "Vpulse [mV]"), "40");
        type(box(*rc, "Tpulse [ms]"), "20");
        type(box(*rc, "Vamp [mV]"), "50");
        type(box(*rc, "TPeriod [ms]"), "20");
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
        // Every channel compensated with the capacitance the dock shows.
        const DecodedCommand c = amplifier->command();
        ASSERT_EQ(c.cFast.size(), 16u);
        const QString shown = rc->table()->item(1, 3)->text();
        EXPECT_TRUE(shown.endsWith(" pF")) << shown.toStdString();
        kv4cl::Measurement_t rate;
        ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
        const double expected = kv4test::seenCapacitance(probe, 0.020, rate.getNoPrefixValue());
        for (int ch = 0; ch < 16; ch++) {
            EXPECT_TRUE(c.cFastEnabled[size_t(ch)]) << ch;
            EXPECT_NEAR(c.cFast[size_t(ch)] / expected, 1.0, 0.02) << ch << ": " << c.cFast[size_t(ch)];
        }

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

} // namespace
