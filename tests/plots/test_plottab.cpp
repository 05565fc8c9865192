// The plot tab: the layout of the channel plots, markers, triggers, overlays
// and the channel switch. Pages of channels are the window's test at both sizes; the time span
// reaching the consumer, the window's (Ctrl++ and every frame drawn of a recording played back).

#include "acquisition/librarysamplesource.h"
#include "commlib/api/kv4cl.h"
#include "plots/curve.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plotlayout.h"
#include "plots/plotpreferencesdialog.h"
#include "plots/plottab.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/support/connectedamplifier.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

std::vector<GridCell> cells(int shown) {
    std::vector<GridCell> placed;
    for (int k = 0; k < shown; k++)
        placed.push_back(gridCell(k, shown));
    return placed;
}

// Columns of four (or of the rows a page holds); a page holds what fits at a readable size;
// maximising moves on to the next switched-on channel, round the end.
TEST(PlotLayout, GridsPagesAndTheNextChannelToMaximise) {
    EXPECT_EQ(cells(5), (std::vector<GridCell>{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}}));
    EXPECT_EQ(std::tuple(cells(16)[15], gridColumns(16), gridRows(16), gridRows(0), gridColumns(33)),
              std::tuple(GridCell{3, 3}, 4, 4, 1, 9));
    EXPECT_EQ(std::pair(gridCell(3, 6, 3), gridCell(2, 4, 3)), std::pair(GridCell{0, 1}, GridCell{0, 1}));
    // Never more than four rows; however short, one sub-plot.
    for (const auto& [width, height, shape] : {std::tuple(1153, 918, PageShape{5, 4}),
                                               {460, 420, {2, 4}},
                                               {399, 420, {1, 4}},
                                               {600, 250, {3, 2}},
                                               {120, 60, {1, 1}}})
        EXPECT_EQ(pageShape(width, height), shape) << width << " x " << height;
    const std::vector<bool> on = {true, false, true, true, false};
    EXPECT_EQ(std::tuple(nextSwitchedOnChannel(on, 3, +1), nextSwitchedOnChannel(on, 0, -1),
                         nextSwitchedOnChannel({true, false, false}, 0, +1),
                         nextSwitchedOnChannel({false, false}, 0, +1), nextSwitchedOnChannel({true}, 0, +1)),
              std::tuple(0, 3, 0, -1, -1));
}

// Colours and the tab's state are kept in the settings: every test starts without.
class PlotTabTest : public ::testing::Test {
  protected:
    void SetUp() override { QSettings().clear(); }
    void TearDown() override { QSettings().clear(); }
};

// A plot tab over a producer and its gap-free plot consumer.
struct TabFixture {
    TabFixture(SampleSource& source, ProtocolSubPlot::Features features = {})
        : producer(source), consumer(&producer),
          preferences(int(producer.channelCounts().current), int(producer.channelCounts().voltage),
                      int(producer.channelCounts().gp)),
          tab(&consumer, preferences, features) {
        QObject::connect(&preferences, &PlotPreferencesDialog::currentColorChanged, &tab,
                         qOverload<int, QColor>(&PlotTab::onCurrentColorChanged));
        QObject::connect(&preferences, &PlotPreferencesDialog::plotColorsChanged, &tab,
                         qOverload<QColor>(&PlotTab::onPlotColorsChanged));
    }
    // Where the channel's sub-plot sits in its grid; (-1, -1) when it is not laid out.
    GridCell placeOf(int ch) const {
        QGridLayout* grid = tab.gridOf(ch);
        if (!grid) return {-1, -1};
        int row = 0, column = 0, rows = 0, columns = 0;
        grid->getItemPosition(grid->indexOf(tab.subPlot(ch)), &row, &column, &rows, &columns);
        return {row, column};
    }
    std::vector<GridCell> places() const {
        std::vector<GridCell> all;
        for (int ch = 0; ch < tab.currentChannels() + tab.gpChannels(); ch++)
            all.push_back(placeOf(ch));
        return all;
    }
    // Shown at 1366 x 768.
    void show() {
        tab.resize(1366, 768);
        tab.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&tab));
    }
    // Shown, its consumer taking rows at `rate` Hz.
    void showAndConsume(double rate) {
        show();
        consumer.onSamplingRateChanged({rate, kv4cl::UnitPfxNone, "Hz"}, {rate, kv4cl::UnitPfxNone, "Hz"});
        producer.start();
        consumer.onStartConsuming();
    }
    QToolButton* toolButton(const QString& toolTip) const {
        for (QToolButton* button : tab.findChildren<QToolButton*>())
            if (button->toolTip() == toolTip) return button;
        return nullptr;
    }

    DeviceDataProducer producer;
    GapFreePlotConsumer consumer;
    PlotPreferencesDialog preferences;
    PlotTab tab;
};

TEST_F(PlotTabTest, TracesThatLeftTheViewAndLossesAreMarkedOnEveryPlotAndFitBringsThemBack) {
    kv4test::ScriptedSource source(1, 2, 0);
    TabFixture f(source);
    const kv4cl::RangedMeasurement_t nano{
        .min = -200, .max = 200, .step = 0.01, .prefix = kv4cl::UnitPfxNano, .unit = "A"};
    for (int ch = 0; ch < 2; ch++)
        f.tab.onCurrentRangeChanged(nano, ch);
    f.tab.onVoltageRangeChanged(
        {.min = -511, .max = 511, .step = 1, .prefix = kv4cl::UnitPfxMilli, .unit = "V"});
    f.showAndConsume(1000.0);
    // More than a whole 1 s sweep, every current far above 200 nA, frames lost before row 500.
    source.add(source.rows(1000, 1200, {}, {{.frames = 3, .framesAfter = 700}}));
    const std::vector<ProtocolDataPlot*>& currents = f.tab.channelPlots();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(currents.begin(), currents.end(), [](ProtocolDataPlot* plot) {
                return plot->offScaleMarker(Qt::TopEdge)->visible();
            });
        },
        5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return currents[1]->lossesShown() == std::vector<double>{0.5}; }, 5000))
        << "the loss marked at its time on every plot";
    EXPECT_EQ(f.tab.voltagePlots()[0]->lossesShown(), std::vector<double>{0.5});
    f.consumer.onStopConsuming();

    f.toolButton("Fit the Y-Axis of every plot to its data (F)")->click();
    for (ProtocolDataPlot* plot : {currents[0], currents[1], f.tab.voltagePlots()[0]}) {
        bool found = false;
        const QCPRange data = plot->graph(0)->getValueRange(found);
        EXPECT_TRUE(found && plot->yAxis->range().lower < data.lower &&
                    plot->yAxis->range().upper > data.upper);
    }
}

// A drag along the time axis of one current plot zooms every plot's time axis to it; with the Y
// zoom synchronised, a drag along its current axis zooms the other current plot's too, not the
// voltage's; a right click steps every plot back one zoom at a time.
TEST_F(PlotTabTest, AZoomDraggedOnOnePlotSpreadsAndARightClickStepsEveryPlotBack) {
    kv4test::ScriptedSource source(1, 2, 0);
    TabFixture f(source);
    ASSERT_NO_FATAL_FAILURE(f.show());
    ProtocolDataPlot* first = f.tab.channelPlots()[0];
    const std::vector<Plot*> others = {f.tab.channelPlots()[1], f.tab.voltagePlots()[0]};
    const QRect area = first->axisRect()->rect();
    const auto drag = [&](QPoint from, QPoint to) {
        QTest::mousePress(first, Qt::LeftButton, {}, from);
        QTest::mouseMove(first, to);
        QTest::mouseRelease(first, Qt::LeftButton, {}, to);
    };
    const auto same = [](const QCPRange& a, const QCPRange& b) {
        return std::abs(a.lower - b.lower) < 1e-9 * b.size() && std::abs(a.upper - b.upper) < 1e-9 * b.size();
    };
    const Rect4 start = first->view();
    const QCPRange otherY = others[0]->yAxis->range(), voltageY = others[1]->yAxis->range();

    const QPoint left = area.center() - QPoint(area.width() / 4, 0), middle = area.center() + QPoint(0, 3);
    const QCPRange time(first->xAxis->pixelToCoord(left.x()), first->xAxis->pixelToCoord(middle.x()));
    drag(left, middle);
    for (Plot* plot : {static_cast<Plot*>(first), others[0], others[1]})
        EXPECT_TRUE(same(plot->xAxis->range(), time)) << plot->xAxis->range().lower;
    EXPECT_TRUE(same(first->yAxis->range(), start[Rect4::yLeft]));

    f.toolButton("Synchronize Y-Axis zoom between plots of the same type")->click();
    const QPoint top = area.center() - QPoint(0, area.height() / 4), lower = area.center() + QPoint(3, 0);
    const QCPRange current(first->yAxis->pixelToCoord(lower.y()), first->yAxis->pixelToCoord(top.y()));
    drag(top, lower);
    EXPECT_TRUE(same(first->yAxis->range(), current));
    EXPECT_TRUE(same(others[0]->yAxis->range(), current));
    EXPECT_TRUE(same(others[1]->yAxis->range(), voltageY)) << "volts are no amperes";

    QTest::mouseClick(first, Qt::RightButton, {}, area.center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return same(first->yAxis->range(), start[Rect4::yLeft]); }, 2000));
    EXPECT_TRUE(same(others[0]->yAxis->range(), otherY));
    EXPECT_TRUE(same(others[0]->xAxis->range(), time)) << "one step back";
    QTest::mouseClick(first, Qt::RightButton, {}, area.center());
    EXPECT_TRUE(QTest::qWaitFor([&] { return same(first->xAxis->range(), start[Rect4::xBottom]); }, 2000));
    for (Plot* plot : others)
        EXPECT_TRUE(same(plot->xAxis->range(), start[Rect4::xBottom]));
}

TEST_F(PlotTabTest, ATriggerSetOnOnePlotShowsWhereItSitsOnTheOthers) {
    kv4test::ScriptedSource source(1, 2, 0);
    TabFixture f(source);
    QToolButton* remove = f.toolButton("Remove triggers");
    ASSERT_NE(remove, nullptr);
    EXPECT_FALSE(remove->isEnabled());
    emit f.tab.enableTriggerPicker();
    for (ProtocolDataPlot* plot : f.tab.channelPlots())
        EXPECT_TRUE(plot->triggerPicking());
    ProtocolDataPlot* picked = f.tab.channelPlots()[1];
    picked->onRiseTriggerRequest(QPointF(0.3, 0.5), true);
    EXPECT_TRUE(picked->triggerLevelMarker()->visible());
    EXPECT_TRUE(f.tab.channelPlots()[0]->triggerTimeMarker()->visible());
    EXPECT_FALSE(f.tab.channelPlots()[0]->triggerLevelMarker()->visible()) << "a level in another unit";
    EXPECT_TRUE(remove->isEnabled());
    QSignalSpy leaving(picked, &ProtocolDataPlot::disableTriggerPicker);
    ASSERT_TRUE(leaving.wait(2000));
    for (ProtocolDataPlot* plot : f.tab.voltagePlots())
        EXPECT_FALSE(plot->triggerPicking()) << "every plot leaves trigger picking";

    remove->click();
    EXPECT_FALSE(picked->triggerTimeMarker()->visible());
    EXPECT_FALSE(f.tab.channelPlots()[0]->triggerTimeMarker()->visible());
    EXPECT_FALSE(remove->isEnabled());
}

// Overlaid, each channel's plot draws the sweeps completed since, as they were, behind its trace,
// which shows their mean with the average box; cleared, they go.
TEST_F(PlotTabTest, TheOverlayBoxDrawsTheLastSweepsBehindTheTrace) {
    kv4test::ScriptedSource source(1, 2, 0);
    TabFixture f(source);
    // The boxes are clicked before the consumer starts, so that its sweeps start with the first row.
    ASSERT_NO_FATAL_FAILURE(f.show());
    for (const char* name : {"overlay", "average"}) {
        QCheckBox* box = f.tab.findChild<QCheckBox*>(name);
        ASSERT_NE(box, nullptr);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        ASSERT_TRUE(box->isChecked()) << name;
    }
    f.showAndConsume(1000.0);
    // Three and a half 1 s sweeps; channel 1 of row k shows 2 (k + 1000).
    source.add(source.rows(0, 3500));
    ProtocolDataPlot* plot = f.tab.channelPlots()[1];
    ASSERT_TRUE(QTest::qWaitFor([&] { return plot->sweepsDrawn() == 3; }, 5000)) << plot->sweepsDrawn();
    const auto values = [&](int graph) {
        std::vector<double> v;
        for (const QCPGraphData& point : *plot->graph(graph)->data())
            v.push_back(point.value);
        return v;
    };
    const auto sweep = [](double from) {
        std::vector<double> v(1000);
        for (size_t j = 0; j < v.size(); j++)
            v[j] = 2.0 * (1000.0 + from + double(j));
        return v;
    };
    for (int k = 0; k < 3; k++)
        EXPECT_EQ(values(1 + k), sweep(1000.0 * k)) << "sweep " << k;
    EXPECT_EQ(values(0), sweep(1000.0)) << "the trace: the mean of the three";

    QTest::mouseClick(f.tab.findChild<QCheckBox*>("overlay"), Qt::LeftButton, {}, QPoint(8, 8));
    source.add(source.rows(3500, 100));
    EXPECT_TRUE(QTest::qWaitFor([&] { return plot->sweepsDrawn() == 0; }, 5000));
    f.consumer.onStopConsuming();
}

// Channel switches go to the amplifier: a virtual one.
class SwitchingTest : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override {
        QSettings().clear();
        connect("cedar");
    }
    void TearDown() override {
        ConnectedAmplifier::TearDown();
        QSettings().clear();
    }
    LibrarySampleSource source;
};

TEST_F(SwitchingTest, SwitchedOffChannelsFadeHideAndLoseTheirMaximisation) {
    TabFixture f(source, {.channelSwitch = true});
    ASSERT_EQ(f.tab.currentChannels(), 4);
    QSignalSpy switched(&f.tab, &PlotTab::switchChannelOn);
    ASSERT_NE(f.tab.subPlot(1)->switchButton(), nullptr);
    f.tab.subPlot(1)->switchButton()->click(); // the user switches channel 2 off
    ASSERT_EQ(switched.count(), 1);
    EXPECT_FALSE(f.tab.isSwitchedOn(1));
    EXPECT_NE(f.consumer.currentCurves()[1]->color(), QColor(Qt::red)) << "faded";
    EXPECT_TRUE(f.tab.isShown(1)) << "shown until switched-off channels are hidden";
    EXPECT_TRUE(reaches(
        [](const kav4sim::DecodedCommand& c) { return !c.switchBankA.at(1) && c.switchBankA.at(0); }));

    f.tab.onMaximizeNextChannel(0);
    EXPECT_EQ(f.tab.maximizedChannel(), 2) << "the switched-off channel is skipped";
    f.tab.onHideOffedChannels(true);
    EXPECT_EQ(f.placeOf(1), (GridCell{-1, -1}));
    f.tab.onSwitchChannelOn(2, false); // the maximised one goes
    EXPECT_FALSE(f.tab.isMaximized());
    EXPECT_EQ(f.places(), (std::vector<GridCell>{{0, 0}, {-1, -1}, {-1, -1}, {1, 0}}));

    f.tab.onSwitchChannelOn(4, true); // every channel
    EXPECT_EQ(f.places(), cells(4));
    EXPECT_TRUE(f.tab.subPlot(1)->switchButton()->isChecked());
    EXPECT_EQ(f.consumer.currentCurves()[1]->color(), QColor(Qt::red));
}

} // namespace
