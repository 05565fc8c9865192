// The membrane monitor and the voltage automatic controller in the main window, as a user
// finds them: opened from the Analysis menu at real screen sizes, values typed, Start
// clicked. A zapped channel is switched off on the plot tab and in the amplifier, with its
// lab book line; the controller's voltage is held through the stimulus dock on a model
// without offsets and the running protocol comes back after the restore time.

#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"
#include "commlib/api/kv4cl.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plottab.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"
#include "widgets/steppedspinbox.h"

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using kav4sim::DecodedCommand;

constexpr double vhold = 50.0; // mV

class WatchersWindow : public kv4test::WindowTest {
  protected:
    void openAt(const char* model, QSize size) {
        open(model, 1);
        kav4sim::CellParameters cell;
        cell.channelConductance = 0.0;
        cell.noiseRms = 0.0;
        cell.resetArtefact = 0.0;
        amplifier().setCell(uint16_t(amplifier().model().currentChannelsNum), cell);
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst(size));
        // The stimulus holds at Vhold, typed and applied with Return.
        QAbstractSpinBox* vholdBox = nullptr;
        for (QAbstractSpinBox* box : dock("protocolDw")->findChildren<QAbstractSpinBox*>())
            if (box->toolTip() == "CTRL UP/CTRL DOWN") vholdBox = box;
        ASSERT_TRUE(vholdBox);
        const uint64_t starts = amplifier().command().protocolStarts;
        type(vholdBox, QString::number(vhold));
        QTest::keyClick(vholdBox, Qt::Key_Return);
        ASSERT_TRUE(deviceSees([&](const DecodedCommand& c) {
            return c.protocolStarts > starts &&
                   std::abs(c.protocolParameters.at("Vhold") - vhold / 1000) < 1e-6;
        }));
    }
    kav4sim::VirtualAmplifier& amplifier() const {
        return *simulation->amplifier(combo()->itemText(0).toStdString());
    }
    // While the window's events run.
    bool deviceSees(const std::function<bool(const DecodedCommand&)>& done) const {
        return QTest::qWaitFor([&] { return done(amplifier().command()); }, 10000);
    }
    // The analysis dock, opened from the Analysis menu.
    template <typename Dock> Dock* openAnalysis(const QString& entry, const char* objectName) {
        for (QAction* menu : window->menuBar()->actions())
            if (menu->text().remove('&') == "Analysis")
                for (QAction* a : menu->menu()->actions())
                    if (a->text() == entry) a->trigger();
        auto* opened = qobject_cast<Dock*>(dock(objectName));
        EXPECT_TRUE(opened && opened->isVisible()) << entry.toStdString();
        if (opened) {
            EXPECT_TRUE(opened->isFloating());
        }
        return opened;
    }
    static void type(QAbstractSpinBox* box, const QString& text) {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, text);
        QTest::keyClick(box, Qt::Key_Tab);
    }
    // On its indicator: a check box stretched by its layout takes no click beyond its text.
    static void click(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    QString labbookText() const { return dock("labbook")->findChild<QTextEdit*>()->toPlainText(); }
};

TEST_F(WatchersWindow, AZappedChannelIsSwitchedOffOnThePlotTabInTheAmplifierAndInTheLabbook) {
    const QSize screens[] = {{1366, 768}, {1920, 1080}};
    const int zapped[] = {3, 12};
    for (int k = 0; k < 2; k++) {
        SCOPED_TRACE(screens[k].width());
        ASSERT_NO_FATAL_FAILURE(openAt("dogwood16", screens[k]));
        auto* monitor = openAnalysis<MembraneMonitorWidget>("Membrane Monitor", "membraneMonitorWidget");
        ASSERT_TRUE(monitor);
        EXPECT_TRUE(monitor->saturationBox()->isChecked()) << "a ruptured channel saturates its range";
        type(monitor->minTimeBox(), "20");
        auto* plotTab = qobject_cast<PlotTab*>(window->centralWidget());
        ASSERT_TRUE(plotTab);
        QTest::mouseClick(monitor->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
        for (int ch = 0; ch < 16; ch++) {
            EXPECT_EQ(monitor->icon(ch)->toolTip(), "Monitoring for membrane rupture enabled.") << ch;
            EXPECT_TRUE(plotTab->subPlot(ch)->switchButton()->toolTip().startsWith("Monitoring")) << ch;
        }

        const int ch = zapped[k];
        const int entriesBefore = int(labbookText().count("Membrane Monitor"));
        QToolButton* zap = nullptr;
        for (QToolButton* b : plotTab->subPlot(ch)->findChildren<QToolButton*>())
            if (b->toolTip() == "Zap this channel") zap = b;
        ASSERT_TRUE(zap);
        zap->click(); // a narrow toolbar keeps it in its extension menu

        ASSERT_TRUE(deviceSees([&](const DecodedCommand& c) { return !c.switchBankA[size_t(ch)]; }))
            << "the amplifier switches the channel off";
        const DecodedCommand c = amplifier().command();
        ASSERT_EQ(c.zaps[size_t(ch)], 1u);
        for (int other = 0; other < 16; other++)
            if (other != ch) {
                EXPECT_TRUE(c.switchBankA[size_t(other)]) << other;
            }
        EXPECT_FALSE(plotTab->isSwitchedOn(ch));
        EXPECT_FALSE(plotTab->subPlot(ch)->switchButton()->isChecked());
        // A zapped membrane draws more than the 200 pA range holds.
        EXPECT_EQ(monitor->icon(ch)->toolTip(),
                  "Channel switched off.\nIts current saturated the 200 pA range.");
        EXPECT_TRUE(labbookText().contains(
            QString("Membrane Monitor, Channel switched off: %1, Current saturated the range").arg(ch + 1)))
            << labbookText().toStdString();
        EXPECT_EQ(labbookText().count("Membrane Monitor"), entriesBefore + 1)
            << "the lab book continues its file";

        QTest::mouseClick(monitor->toolButton(AnalysisWidget::StopTool), Qt::LeftButton);
        EXPECT_TRUE(plotTab->subPlot(0)->switchButton()->toolTip().startsWith("Channel switched on."));
        EXPECT_EQ(monitor->icon(0)->toolTip(), "Channel switched on.");
        close();
    }
}

TEST_F(WatchersWindow, WithoutOffsetsTheControllerHoldsEveryChannelAndRestoresTheProtocol) {
    ASSERT_NO_FATAL_FAILURE(openAt("cedar", {1366, 768}));
    auto* controller = openAnalysis<VoltageAutomaticControllerWidget>("Voltage Automatic Controller",
                                                                      "voltageAutomaticControllerWidget");
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->windowTitle(), "Voltage auto controller");
    // Above half the range for 10 ms: hold at 0 mV, the protocol back after 200 ms.
    click(controller->highRule().check);
    type(controller->highRule().time, "10");
    type(controller->highRule().voltage, "0");
    click(controller->restoreBox());
    type(controller->restoreTimeBox(), "200");
    QTest::mouseClick(controller->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);

    const uint64_t starts = amplifier().command().protocolStarts;
    kav4sim::CellParameters ruptured = amplifier().cell(1);
    ruptured.membraneResistance = 1e5;
    amplifier().setCell(1, ruptured);
    ASSERT_TRUE(deviceSees([&](const DecodedCommand& c) {
        return c.protocolStarts > starts && c.protocolIdx == 0 &&
               std::abs(c.protocolParameters.at("Vhold")) < 1e-6;
    })) << "held at 0 mV";
    const uint64_t held = amplifier().command().protocolStarts;
    ASSERT_TRUE(deviceSees([&](const DecodedCommand& c) {
        return c.protocolStarts > held && std::abs(c.protocolParameters.at("Vhold") - vhold / 1000) < 1e-6;
    })) << "the protocol that ran";
    // Both in the lab book, the rule and the voltage with the action.
    ASSERT_TRUE(QTest::qWaitFor([&] { return labbookText().contains("Protocol restored"); }, 10000))
        << labbookText().toStdString();
    EXPECT_TRUE(labbookText().contains(
        "Voltage Controller, Channel: 2, I > 100.000 pA for 10 ms: applied to every channel, Voltage: 0 [V]"))
        << labbookText().toStdString();
    EXPECT_TRUE(labbookText().contains("Voltage Controller, Channel: 2, Protocol restored"));
}

} // namespace
