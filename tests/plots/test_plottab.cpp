// The plot tab: the layout of the channel plots, maximising, colours and the channel switch.

#include "plots/curve.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plotlayout.h"
#include "plots/plotpreferencesdialog.h"

#include <QSettings>
#include <QSignalSpy>
#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <set>

namespace {

std::vector<GridCell> cells(int shown) {
    std::vector<GridCell> placed;
    for (int k = 0; k < shown; k++)
        placed.push_back(gridCell(k, shown));
    return placed;
}

TEST(PlotLayout, ChannelsFillColumnsOfFour) {
    EXPECT_EQ(cells(4), (std::vector<GridCell>{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
    EXPECT_EQ(cells(5), (std::vector<GridCell>{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}}));
    const std::vector<GridCell> sixteen = cells(16);
    EXPECT_EQ(gridColumns(16), 4);
    EXPECT_EQ(gridRows(16), 4);
    EXPECT_EQ(sixteen[5], (GridCell{1, 1}));
    EXPECT_EQ(sixteen[15], (GridCell{3, 3}));
    EXPECT_EQ(cells(1), (std::vector<GridCell>{{0, 0}}));
    EXPECT_EQ(gridRows(0), 1) << "an empty group still has its row";
    EXPECT_EQ(gridColumns(33), 9);
}

TEST(PlotLayout, MaximiseNextWrapsAndSkipsSwitchedOffChannels) {
    const std::vector<bool> on = {true, false, true, true, false};
    EXPECT_EQ(nextSwitchedOnChannel(on, 0, +1), 2);
    EXPECT_EQ(nextSwitchedOnChannel(on, 3, +1), 0) << "from the last switched-on channel to the first";
    EXPECT_EQ(nextSwitchedOnChannel(on, 0, -1), 3);
    EXPECT_EQ(nextSwitchedOnChannel(on, 2, -1), 0);
    EXPECT_EQ(nextSwitchedOnChannel({true, false, false}, 0, +1), 0) << "the only one left";
    EXPECT_EQ(nextSwitchedOnChannel({false, false}, 0, +1), -1);
    EXPECT_EQ(nextSwitchedOnChannel({true}, 0, +1), -1) << "one channel: nothing to move to";
}

class PlotColors : public ::testing::Test {
  protected:
    void SetUp() override { QSettings().clear(); }
    void TearDown() override { QSettings().clear(); }
};

TEST_F(PlotColors, DefaultsAndKeys) {
    using Dialog = PlotPreferencesDialog;
    EXPECT_EQ(Dialog::colorKey(Dialog::Current, 7), "Preferences/Plot/currentChannel007Color");
    EXPECT_EQ(Dialog::colorKey(Dialog::Gp, 12), "Preferences/Plot/gpChannel012Color");
    EXPECT_EQ(Dialog::defaultColor(Dialog::Current, 0), QColor(Qt::blue));
    EXPECT_EQ(Dialog::defaultColor(Dialog::Current, 3), QColor("#CC6600"));
    EXPECT_EQ(Dialog::defaultColor(Dialog::Current, 15), QColor("#00CC66"));
    EXPECT_EQ(Dialog::defaultColor(Dialog::Voltage, 0), QColor(Qt::black));
    // Past the palette every channel still gets a colour of its own.
    std::set<QRgb> extra;
    for (int ch = 16; ch < 33; ch++)
        extra.insert(Dialog::defaultColor(Dialog::Current, ch).rgb());
    EXPECT_EQ(extra.size(), 17u);

    QSettings().setValue(Dialog::colorKey(Dialog::Current, 1), QColor(Qt::darkCyan));
    const Dialog dialog(4, 1, 0);
    EXPECT_EQ(dialog.color(Dialog::Current, 1), QColor(Qt::darkCyan)) << "stored colours win";
    EXPECT_EQ(dialog.color(Dialog::Current, 2), QColor(Qt::green));
    EXPECT_FALSE(dialog.darkMode());
    EXPECT_EQ(dialog.backgroundColor(), QColor(Qt::white));
}

TEST_F(PlotColors, DarkModeComplementsEveryColourAndRestoreBringsTheDefaults) {
    PlotPreferencesDialog dialog(2, 1, 1);
    QSignalSpy currents(&dialog, &PlotPreferencesDialog::currentColorChanged);
    QSignalSpy background(&dialog, &PlotPreferencesDialog::plotColorsChanged);
    dialog.onSetDarkMode(true);
    ASSERT_EQ(background.count(), 1);
    EXPECT_EQ(background.at(0).at(0).value<QColor>(), QColor(Qt::black));
    ASSERT_EQ(currents.count(), 2);
    EXPECT_EQ(currents.at(0).at(1).value<QColor>(), QColor(255, 255, 0)) << "blue turns yellow";
    EXPECT_EQ(dialog.color(PlotPreferencesDialog::Voltage, 0), QColor(Qt::white));
    EXPECT_EQ(dialog.color(PlotPreferencesDialog::Gp, 0), QColor(Qt::white));
    EXPECT_TRUE(QSettings().value("Preferences/Plot/darkMode").toBool());
    EXPECT_TRUE(PlotPreferencesDialog(2, 1, 1).darkMode()) << "kept for the next connection";

    dialog.onSetDarkMode(false);
    EXPECT_EQ(dialog.color(PlotPreferencesDialog::Current, 0), QColor(Qt::blue)) << "and back";

    dialog.onSetColor(PlotPreferencesDialog::Current, 1, QColor(Qt::darkGreen));
    dialog.onSetDarkMode(true);
    background.clear();
    dialog.onRestoreDefaultColors();
    EXPECT_EQ(dialog.color(PlotPreferencesDialog::Current, 1), QColor(Qt::red));
    EXPECT_FALSE(dialog.darkMode());
    ASSERT_EQ(background.count(), 1);
    EXPECT_EQ(background.at(0).at(0).value<QColor>(), QColor(Qt::white));
}

TEST(MembraneMonitorButton, SwitchesTheChannelAndSaysWhatItDoes) {
    MembraneMonitorButton button(3);
    QSignalSpy switched(&button, &MembraneMonitorButton::switchChannelOn);
    QSignalSpy monitored(&button, &MembraneMonitorButton::monitorMembraneStateChanged);
    EXPECT_TRUE(button.isChecked());
    EXPECT_TRUE(button.toolTip().startsWith("Channel switched on. Click to switch channel off."));

    button.click();
    ASSERT_EQ(switched.count(), 1);
    EXPECT_EQ(switched.at(0), (QList<QVariant>{3, false}));
    ASSERT_EQ(monitored.count(), 1);
    EXPECT_EQ(monitored.at(0), (QList<QVariant>{3, false, false}));
    EXPECT_TRUE(button.toolTip().startsWith("Channel switched off. Click to switch channel on."));
    EXPECT_TRUE(button.toolTip().endsWith("when a recording starts switched off channels are not recorded."));

    button.onEnable(true);
    EXPECT_TRUE(button.toolTip().startsWith("Channel switched off. Click to restore monitoring."));
    button.click();
    EXPECT_EQ(monitored.last(), (QList<QVariant>{3, true, true}));
    EXPECT_TRUE(button.toolTip().startsWith("Monitoring for membrane rupture enabled."));

    button.showChecked(false);
    EXPECT_FALSE(button.isChecked());
    EXPECT_EQ(switched.count(), 2) << "a state set from outside is not announced";
}

TEST(Curve, StylesPensAndSymbols) {
    Curve curve(0, 1.5, Qt::darkGreen);
    EXPECT_EQ(curve.pen(), QPen(QBrush(Qt::darkGreen), 1.5, Qt::SolidLine));
    curve.setStyle(1);
    EXPECT_EQ(curve.pen(), QPen(QBrush(Qt::red), 1.5, Qt::DashLine)) << "style 1 is red whatever the colour";
    curve.setStyle(3);
    EXPECT_EQ(curve.pen().style(), Qt::DotLine);
    curve.setStyle(4);
    EXPECT_EQ(curve.pen().style(), Qt::DashLine);
    EXPECT_EQ(curve.scatterStyle().shape(), QCPScatterStyle::ssNone);
    curve.setStyle(5);
    EXPECT_EQ(curve.pen().style(), Qt::NoPen);
    EXPECT_EQ(curve.scatterStyle().shape(), QCPScatterStyle::ssDisc);
    EXPECT_EQ(curve.scatterStyle().size(), 4);
    EXPECT_EQ(curve.scatterStyle().pen().widthF(), 2);
    curve.setStyle(9);
    EXPECT_EQ(curve.pen(), QPen());
}

TEST(Curve, ShowsItsBuffersInOnePlotAtATime) {
    QCustomPlot first, second;
    const double x[] = {0.0, 0.1, 0.2};
    double y[] = {1.0, 2.0, 3.0};
    {
        Curve curve(0, 1.0, Qt::blue);
        curve.setRawSamples(x, y, 3);
        curve.attach(first.xAxis, first.yAxis);
        ASSERT_NE(curve.graph(), nullptr);
        EXPECT_EQ(curve.graph()->pen().color(), QColor(Qt::blue));
        ASSERT_EQ(curve.graph()->data()->size(), 3);
        y[2] = 30.0;
        EXPECT_EQ((curve.graph()->data()->constBegin() + 2)->value, 3.0) << "copied only when told";
        curve.updateData();
        EXPECT_EQ((curve.graph()->data()->constBegin() + 2)->value, 30.0);

        curve.setVisible(false);
        curve.attach(second.xAxis, second.yAxis2);
        EXPECT_EQ(first.graphCount(), 0) << "it left the first plot";
        ASSERT_EQ(second.graphCount(), 1);
        EXPECT_EQ(curve.graph()->valueAxis(), second.yAxis2);
        EXPECT_FALSE(curve.graph()->visible()) << "and kept its state";
        EXPECT_EQ(curve.graph()->data()->size(), 3);
    }
    EXPECT_EQ(second.graphCount(), 0) << "a destroyed curve leaves its plot";
}

} // namespace
