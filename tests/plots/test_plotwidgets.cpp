// The plot widgets: zoom gestures, range prefixes, trigger picking, and the
// cursors with the channel plot's read-out. A tick's label in its axis's prefix is checked
// through the plot (PlotUnits); the histogram's bars and
// the analysis cursors dragged by hand through the histogram dock.
#include "plots/curve.h"
#include "plots/protocoldataplot.h"
#include "plots/protocolsubplot.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

namespace {

// Lays the plot out at a fixed size, so that pixels map to coordinates.
void showAt(Plot& plot, int width, int height) {
    plot.resize(width, height);
    plot.show();
    plot.replot();
}

void expectRange(const QCPRange& actual, double lower, double upper, double tolerance = 1e-9) {
    EXPECT_NEAR(actual.lower, lower, tolerance);
    EXPECT_NEAR(actual.upper, upper, tolerance);
}

Rect4 viewOf(double x0, double x1, double y0, double y1) {
    Rect4 v;
    v[Rect4::xBottom] = QCPRange(x0, x1);
    v[Rect4::yLeft] = QCPRange(y0, y1);
    return v;
}

kv4cl::RangedMeasurement_t currentRange(double max, kv4cl::UnitPfx_t prefix) {
    return {.min = -max, .max = max, .step = max / 32768.0, .prefix = prefix, .unit = "A"};
}

// Drags with the left button between two times, at the canvas's mid height.
void dragAlongX(Plot& plot, double from, double to) {
    const int y = plot.axisRect()->rect().center().y();
    const QPoint start(qRound(plot.xAxis->coordToPixel(from)), y);
    const QPoint end(qRound(plot.xAxis->coordToPixel(to)), y);
    QTest::mousePress(&plot, Qt::LeftButton, {}, start);
    QTest::mouseMove(&plot, end);
    QTest::mouseRelease(&plot, Qt::LeftButton, {}, end);
}

// The quantities the read-out gives after a name, up to the next one (two spaces apart), in
// units without a prefix: "t1 250 ms: 20.81 nA" gives 0.25 and 20.81e-9.
std::vector<double> readoutValues(const QString& readout, const QString& name) {
    const QRegularExpressionMatch item =
        QRegularExpression("(^|\\s)" + name + " (.*?)(  |\n|$)").match(readout);
    std::vector<double> values;
    QRegularExpressionMatchIterator found =
        QRegularExpression("(-?[0-9.]+) ([fpnµmk]?)[AVs]").globalMatch(item.captured(2));
    while (found.hasNext()) {
        const QRegularExpressionMatch match = found.next();
        const QString prefix = match.captured(2);
        const double factor = prefix.isEmpty() ? 1.0
                              : prefix == "k"  ? 1e3
                                               : std::pow(1000.0, QString("fpnµm").indexOf(prefix) - 5);
        values.push_back(match.captured(1).toDouble() * factor);
    }
    return values;
}

// Each of the read-out's quantities after the name within its tolerance.
void expectReadout(const QString& readout, const QString& name, const std::vector<double>& expected,
                   const std::vector<double>& tolerances) {
    const std::vector<double> values = readoutValues(readout, name);
    ASSERT_EQ(values.size(), expected.size()) << name.toStdString();
    for (size_t i = 0; i < values.size(); i++)
        EXPECT_NEAR(values[i], expected[i], tolerances[i]) << name.toStdString() << " #" << i;
}

} // namespace

// The drag's slope in pixels chooses the zoomed axes.
TEST(PlotZoom, TheDragSlopeInPixelsChoosesTheZoomedAxes) {
    const struct {
        int dx, dy;
        bool zoomsX, zoomsY;
    } cases[] = {{100, 5, true, false}, {5, 100, false, true}, {60, 50, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QString("drag %1, %2").arg(c.dx).arg(c.dy).toStdString());
        Plot plot;
        plot.xAxis->setRange(0, 10);
        plot.yAxis->setRange(0, 10);
        showAt(plot, 400, 300);
        QList<Rect4> requested;
        QObject::connect(&plot, &Plot::zoomInRequest, [&](Rect4* rect) { requested.append(*rect); });
        const QPoint start = plot.axisRect()->rect().center() - QPoint(50, 50);
        const QPoint end = start + QPoint(c.dx, c.dy);
        QTest::mousePress(&plot, Qt::LeftButton, {}, start);
        QTest::mouseMove(&plot, end);
        QTest::mouseRelease(&plot, Qt::LeftButton, {}, end);
        ASSERT_EQ(requested.size(), 1);
        const double x0 = plot.xAxis->pixelToCoord(start.x()), x1 = plot.xAxis->pixelToCoord(end.x());
        // Pixels grow downwards: the drag ends at the lower value.
        const double y0 = plot.yAxis->pixelToCoord(end.y()), y1 = plot.yAxis->pixelToCoord(start.y());
        expectRange(requested[0][Rect4::xBottom], c.zoomsX ? x0 : 0, c.zoomsX ? x1 : 10);
        expectRange(requested[0][Rect4::yLeft], c.zoomsY ? y0 : 0, c.zoomsY ? y1 : 10);
    }
}

TEST(ProtocolDataPlot, AClickInTriggerModeSetsTheTriggerAndEndsThePicking) {
    ProtocolDataPlot plot(5);
    plot.onDurationUpdated(1.0);
    plot.yAxis->setRange(-10, 10);
    showAt(plot, 400, 300);
    QList<std::tuple<ProtocolDataPlot::TriggerType_t, double, double, int, bool>> triggers; // x, y, channel
    QObject::connect(&plot, &ProtocolDataPlot::triggerEnabled,
                     [&](ProtocolDataPlot::TriggerType_t type, double x, double y, int ch, bool notify) {
                         triggers.append({type, x, y, ch, notify});
                     });
    QSignalSpy zoomRequests(&plot, &Plot::zoomInRequest);
    QSignalSpy pickerOff(&plot, &ProtocolDataPlot::disableTriggerPicker);

    plot.onEnableTriggerPicker();

    const QPoint click = plot.axisRect()->rect().center() + QPoint(40, -30);
    QTest::mouseClick(&plot, Qt::LeftButton, {}, click);
    const double x = plot.xAxis->pixelToCoord(click.x());
    const double y = plot.yAxis->pixelToCoord(click.y());
    ASSERT_EQ(triggers.size(), 1);
    EXPECT_EQ(triggers[0], std::tuple(plots::TriggerRise, x, y, 5, true));
    EXPECT_EQ(zoomRequests.count(), 0);
    EXPECT_EQ(std::pair(plot.triggerLevelMarker()->point1->coords().y(),
                        plot.triggerTimeMarker()->point1->coords().x()),
              std::pair(y, x));
    EXPECT_TRUE(pickerOff.isEmpty() && pickerOff.wait(1000)) << "the picking ends after the click";

    QTest::mouseClick(&plot, Qt::RightButton, {}, click);
    ASSERT_EQ(triggers.size(), 2);
    EXPECT_EQ(std::get<0>(triggers[1]), plots::TriggerFall);

    // The trigger keeps its place in the sweep when the sweep gets longer.
    QSignalSpy timeMoved(&plot, &ProtocolDataPlot::updateTriggerX);
    plot.onDurationUpdated(2.0);
    ASSERT_EQ(timeMoved.count(), 1);
    EXPECT_NEAR(timeMoved[0][0].toDouble(), 2 * x, 1e-9);
    EXPECT_NEAR(plot.triggerTimeMarker()->point1->coords().x(), 2 * x, 1e-9);

    plot.onDisableTriggerPicker();
    QTest::mouseClick(&plot, Qt::LeftButton, {}, click);
    EXPECT_EQ(triggers.size(), 2);
}

TEST(PlotUnits, TickLabelsTakeThePrefixThatFitsTheVisibleValues) {
    struct Case {
        kv4cl::UnitPfx_t prefix;
        const char* unit;
        double lower, upper;
        QString label;
        QStringList ticks; // empty: only the title is checked
    };
    const Case cases[] = {
        {kv4cl::UnitPfxNano, "A", -200, 200, "nA", {}},
        {kv4cl::UnitPfxNano, "A", 0, 0.002, "pA", {"0", "0.5", "1", "1.5", "2"}},
        {kv4cl::UnitPfxNano, "A", 0, 0.0005, "fA", {}},
        // Never a larger prefix than the values are held in.
        {kv4cl::UnitPfxPico, "A", -50000, 50000, "pA", {}},
        {kv4cl::UnitPfxNone, "s", 0.2, 0.4, "ms", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("%1 .. %2 %3").arg(c.lower).arg(c.upper).arg(c.label).toStdString());
        Plot plot;
        showAt(plot, 400, 300);
        QCPAxis* axis = c.unit == std::string("s") ? plot.xAxis : plot.yAxis;
        plot.setAxisUnit(axis == plot.xAxis ? Rect4::xBottom : Rect4::yLeft, c.prefix, c.unit);
        axis->setRange(c.lower, c.upper);
        plot.replot();
        EXPECT_EQ(axis->label(), c.label);
        const QVector<QString> labels = axis->tickVectorLabels();
        if (!c.ticks.isEmpty()) {
            EXPECT_EQ(QStringList(labels.begin(), labels.end()), c.ticks);
        }
        // Whatever the prefix, the largest label reads at least 1: no "0.0005".
        double largest = 0;
        for (const QString& label : labels)
            largest = std::max(largest, std::abs(label.toDouble()));
        EXPECT_GE(largest, 1.0);
    }
}

TEST(ProtocolDataPlot, ATraceBeyondTheViewIsMarkedAtTheEdgeItLeftAndAClickFitsTheView) {
    struct Case {
        const char* name;
        std::vector<double> values; // spread evenly over 0 .. 1 s
        double xSpan;               // the visible part of the sweep
        QString top, bottom;        // the markers' texts, empty when hidden
    };
    const Case cases[] = {
        {"above", {1.4, 1.5, 1.6}, 1.0, "▲ 1.5 nA", ""},
        {"below, in its own prefix", {-2500, -3500}, 1.0, "", "▼ -3 µA"},
        {"through the view", {-5, 5}, 1.0, "", ""},
        {"above where it is visible", {4, 4, 4, 0, 0}, 0.6, "▲ 4 nA", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProtocolDataPlot plot(0);
        showAt(plot, 400, 300);
        plot.onRangeUpdated(currentRange(200, kv4cl::UnitPfxNano));
        std::vector<double> times;
        for (size_t i = 0; i < c.values.size(); i++)
            times.push_back(double(i) / double(c.values.size() - 1));
        Curve curve(0, 1.0, Qt::darkGreen);
        curve.setRawSamples(times.data(), c.values.data(), int(c.values.size()));
        curve.attach(plot.xAxis, plot.yAxis);
        Rect4 view = viewOf(0, c.xSpan, -1, 1);
        plot.onZoomInRequest(&view, ZoomSynchNone);
        plot.replot();

        QCPItemText* top = plot.offScaleMarker(Qt::TopEdge);
        QCPItemText* bottom = plot.offScaleMarker(Qt::BottomEdge);
        EXPECT_EQ(top->visible() ? top->text() : QString(), c.top);
        EXPECT_EQ(bottom->visible() ? bottom->text() : QString(), c.bottom);
        QCPItemText* marker = top->visible() ? top : bottom->visible() ? bottom : nullptr;
        if (!marker) continue;
        const QRectF box(marker->topLeft->pixelPosition(), marker->bottomRight->pixelPosition());

        QSignalSpy zoomRequests(&plot, &Plot::zoomInRequest);
        QTest::mouseClick(&plot, Qt::LeftButton, {}, box.center().toPoint());
        EXPECT_EQ(zoomRequests.count(), 0) << "a click on the marker is no zoom drag";
        const auto [low, high] =
            std::minmax_element(c.values.begin(), c.values.end() - (c.xSpan < 1 ? 2 : 0));
        EXPECT_LT(plot.yAxis->range().lower, *low);
        EXPECT_GT(plot.yAxis->range().upper, *high);
        expectRange(plot.xAxis->range(), 0, c.xSpan);
        plot.replot();
        EXPECT_FALSE(top->visible() || bottom->visible());
        plot.onZoomOutRequest(ZoomSynchNone);
        expectRange(plot.yAxis->range(), -1, 1); // the fit is one more zoom
    }
}

// A ramp of 0.5 nA per 5 ms sample plus a square wave of +-20 nA and 100 ms period (high for
// samples 0..9 of every 20), measured through the channel's cursors as a user drags them.
TEST(ProtocolSubPlot, TheCursorsMeasureTheTraceBetweenTwoTimes) {
    auto* plot = new ProtocolDataPlot(0);
    ProtocolSubPlot sub(ProtocolSubPlot::CurrentChannel, 0, plot, {});
    sub.resize(900, 300);
    sub.show();
    plot->onRangeUpdated(currentRange(200, kv4cl::UnitPfxNano));
    plot->onDurationUpdated(1.0);
    std::vector<double> times, values;
    for (int i = 0; i < 200; i++) {
        times.push_back(i * 0.005);
        values.push_back(0.5 * i + (i % 20 < 10 ? 20.0 : -20.0));
    }
    Curve curve;
    curve.setRawSamples(times.data(), values.data(), 200);
    curve.attach(plot->xAxis, plot->yAxis);
    plot->replot();
    QCPItemText* readout = plot->cursorReadout();

    QAction* cursors = nullptr;
    for (QAction* action : sub.menu()->actions())
        if (action->text().startsWith("Cursors")) cursors = action;
    ASSERT_TRUE(cursors);
    QWidget* button = sub.findChild<QToolBar*>()->widgetForAction(cursors);
    ASSERT_TRUE(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(cursors->isChecked());
    plot->replot();
    EXPECT_TRUE(plot->cursorsVisible() && readout->visible());

    // A quarter sample past samples 39 and 119: the nearest samples are those, the samples between
    // are 40..119, four whole periods of the square wave.
    QSignalSpy moved(plot, &Plot::cursorsMoved);
    QSignalSpy zoomRequests(plot, &Plot::zoomInRequest);
    dragAlongX(*plot, 0.25, 0.19625);
    dragAlongX(*plot, 0.75, 0.59625);
    EXPECT_EQ(moved.count(), 2);
    EXPECT_EQ(zoomRequests.count(), 0);
    plot->replot();
    const QString text = readout->text();
    SCOPED_TRACE(text.toStdString());
    // Sample 39 is low: 19.5 - 20 nA, read in its own prefix; sample 119 too: 59.5 - 20 nA.
    expectReadout(text, "t1", {0.19625, -0.5e-9}, {0.0025, 1e-13});
    expectReadout(text, "t2", {0.59625, 39.5e-9}, {0.0025, 1e-12});
    expectReadout(text, "Δ", {0.4, 40e-9}, {0.0025, 1e-12});
    // The ramp's mean from 20 to 59.5 nA; the square's is 0 over whole periods.
    expectReadout(text, "mean", {39.75e-9}, {1e-12});
    // Variances add up, less twice the covariance: the ramp's 0.5^2 (80^2 - 1) / 12, the
    // square's 20^2, and 20 nA times the ramp's 2.5 nA below or above its period's mean.
    expectReadout(text, "RMS", {std::sqrt(0.25 * 6399.0 / 12.0 + 400.0 - 100.0) * 1e-9}, {1e-11});
    expectReadout(text, "min", {5e-9}, {1e-12});    // sample 50: 25 - 20
    expectReadout(text, "max", {74.5e-9}, {1e-12}); // sample 109: 54.5 + 20

    // New data drawn updates the read-out with the redraw.
    for (double& value : values)
        value += 10.0;
    curve.updateData();
    plot->replot();
    expectReadout(readout->text(), "mean", {49.75e-9}, {1e-12});

    // A drag away from the cursors still asks for a zoom and leaves them in place.
    dragAlongX(*plot, 0.3, 0.5);
    EXPECT_EQ(zoomRequests.count(), 1);
    EXPECT_EQ(moved.count(), 2);
    EXPECT_NEAR(plot->cursorX(0), 0.19625, 0.0025);
}
