// The I-V graph: its consumer on a scripted source (the levels, the transient skip and the
// three modes, frames lost), then its dock on a virtual Dogwood 16 running a step protocol,
// driven by clicks and typing at 1366 x 768: fits and their read-outs against the cells'
// conductance and reversal potential, the lab book entry, a series on the nA range appended,
// the export layout, a series replaced, and the fits that cannot be made.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/analysis/consumersonamplifier.h"

#include "tests/analysis/csvreader.h"
#include "tests/analysis/dockdriver.h"

#include "analysis/ivgraph/ivgraphconsumer.h"
#include "analysis/ivgraph/ivgraphwidget.h"
#include "plots/analysisplot.h"
#include "plots/curve.h"
#include "recording/labbookevent.h"
#include "tests/acquisition/scriptedsource.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

namespace {

using kv4test::ScriptedSource;

const kv4cl::Measurement_t tenKiloHertz{10.0, kv4cl::UnitPfxKilo, "Hz"};

// One voltage channel (raw / 2, in mV), two current channels (raw x (c + 1), in pA) and a gp
// channel between frames, so that a wrong frame width shows in every value.
struct ScriptedRig {
    ScriptedRig() : source(1, 2, 1), producer(source), consumer(&producer) {
        producer.start();
        consumer.onSamplingRateChanged(tenKiloHertz, tenKiloHertz);
        consumer.onVoltageRangeChanged({-500.0, 500.0, 0.5, kv4cl::UnitPfxMilli, "V"});
        consumer.onCurrentRangeChanged({-2000.0, 2000.0, 0.1, kv4cl::UnitPfxPico, "A"}, 2);
    }

    // `frames` frames at the voltage word `raw`, with current words from `current(k)`, and
    // `lost` frames lost before them.
    void level(int16_t raw, int frames, const std::function<int16_t(int)>& current, uint64_t lost = 0) {
        ScriptedSource::Poll poll;
        if (lost > 0) poll.losses.push_back({.frames = lost, .framesAfter = uint64_t(frames)});
        for (int k = 0; k < frames; k++) {
            const int16_t i = current(k);
            for (int16_t word : {raw, i, i, int16_t(7)})
                poll.filtered.push_back(uint16_t(word));
        }
        poll.unfiltered = poll.filtered;
        source.add(poll);
    }
    // A read waits for 50 ms of rows (500 at 10 kHz): this many rows after the ones a test
    // looks at make sure that those are all read.
    void pad() {
        level(100, 600, [](int) { return int16_t(0); });
    }

    ScriptedSource source;
    DeviceDataProducer producer;
    IvGraphConsumer consumer;
};

// Each level: 50 frames of a transient swinging +-400, then 50 alternating between lo and hi.
struct Level {
    int16_t raw;
    int16_t lo, hi;
};
const Level script[] = {{20, -7, -3}, {-40, -30, -10}, {60, 5, 9}, {20, -7, -3}};

TEST(IvGraphOnScript, PointsPerLevelAfterTheTransientInEachMode) {
    // The transient in ms, the mode, channel 0's points and counts at 10, -20 and 30 mV
    const std::tuple<double, int, std::vector<double>, std::vector<int>> cases[] = {
        // 5 ms at 10 kHz: the first 50 frames of every visit of a level go.
        {5.0, IvGraphConsumer::AverageMode, {-5, -20, 7}, {100, 50, 50}},
        // All currents of the -20 mV level are negative: its maximum is the least negative.
        {5.0, IvGraphConsumer::MaximumMode, {-3, -10, 9}, {100, 50, 50}},
        {5.0, IvGraphConsumer::MinimumMode, {-7, -30, 5}, {100, 50, 50}},
        {0.0, IvGraphConsumer::AverageMode, {-2.5, -10, 3.5}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MaximumMode, {400, 400, 400}, {200, 100, 100}},
        {0.0, IvGraphConsumer::MinimumMode, {-400, -400, -400}, {200, 100, 100}},
    };
    for (const auto& [transientMs, mode, ys, counts] : cases) {
        SCOPED_TRACE(testing::Message() << transientMs << " ms, mode " << mode);
        ScriptedRig rig;
        IvGraphConsumer& consumer = rig.consumer;
        for (int channel : {0, 1}) {
            consumer.onTransientIgnoreChanged(channel, transientMs);
            consumer.onModeChanged(channel, mode);
        }
        consumer.onStartConsuming();
        for (const Level& l : script)
            rig.level(l.raw, 100, [&](int k) {
                return k < 50 ? int16_t(k % 2 ? 400 : -400) : k % 2 ? l.hi : l.lo;
            });
        // Beyond both ends of the range: the last and the first level, at their own mean voltage.
        rig.level(1200, 150, [](int) { return int16_t(1); });
        rig.level(-1100, 150, [](int) { return int16_t(2); });
        rig.pad();
        const int edgeCount = transientMs > 0 ? 100 : 150;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const IvGraphConsumer::Record r = consumer.channelResult(1);
                return r.points.size() == 6 && r.counts.first() == edgeCount;
            },
            20000));
        consumer.onStopConsuming();

        for (int channel : {0, 1}) {
            SCOPED_TRACE(channel);
            const IvGraphConsumer::Record r = consumer.channelResult(channel);
            ASSERT_EQ(r.points.size(), 6) << "one point per level, the repeated level once";
            const double xs[] = {10, -20, 30, 600, -550};
            for (int p = 0; p < 5; p++)
                EXPECT_DOUBLE_EQ(r.points[p].x(), xs[p]) << "point " << p << ": in order of first appearance";
            for (int p = 0; p < 3; p++) {
                EXPECT_DOUBLE_EQ(r.points[p].y(), ys[size_t(p)] * (channel + 1)) << "point " << p;
                // Levels of 0.5 mV from -500 mV.
                const int index = int((xs[p] + 500) * 2);
                EXPECT_EQ(r.counts[index], counts[size_t(p)]) << "point " << p;
                EXPECT_EQ(r.pointIndex[index], p);
            }
            EXPECT_EQ(r.counts.size(), 2001);
            EXPECT_EQ(r.counts.last(), edgeCount);
            EXPECT_DOUBLE_EQ(r.points[3].y(), 1.0 * (channel + 1));
            EXPECT_DOUBLE_EQ(r.points[4].y(), 2.0 * (channel + 1));
        }
    }
}

// Frames lost between two stretches of one level: other levels may have come and gone in the
// gap, so the frames after it skip the transient again. A transient or mode change starts only
// that channel over.
TEST(IvGraphOnScript, FramesLostStartTheTransientOverAndAChangeStartsOnlyThatChannelOver) {
    ScriptedRig rig;
    IvGraphConsumer& consumer = rig.consumer;
    consumer.onTransientIgnoreChanged(0, 5.0);
    consumer.onStartConsuming(0);
    consumer.onStartConsuming(1);
    const auto visit = [](int k) { return k < 50 ? int16_t(k % 2 ? 400 : -400) : int16_t(-5); };
    rig.level(20, 100, visit);
    rig.level(20, 100, visit, 300);
    rig.pad();
    for (int channel : {0, 1})
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return consumer.channelResult(channel).points.size() == 2; }, 20000));
    const IvGraphConsumer::Record lost = consumer.channelResult(0);
    EXPECT_EQ(lost.counts[1020], 100); // 10 mV, in levels of 0.5 mV from -500 mV
    EXPECT_DOUBLE_EQ(lost.points[0].y(), -5.0);

    const std::vector<std::function<void()>> changes = {[&] { consumer.onTransientIgnoreChanged(0, 2.5); },
                                                        [&] { consumer.onModeChanged(0, 2); }};
    for (const auto& change : changes) {
        change();
        const IvGraphConsumer::Record r = consumer.channelResult(0);
        EXPECT_TRUE(r.points.isEmpty());
        EXPECT_EQ(r.counts.count(0), r.counts.size()) << "every sum starts over";
        EXPECT_EQ(consumer.channelResult(1).points.size(), 2) << "the other channel keeps its points";
    }
    const IvGraphConsumer::Record r = consumer.channelResult(0);
    EXPECT_EQ(r.mode, 2);
    EXPECT_DOUBLE_EQ(r.transientIgnore, 0.0025);
    EXPECT_EQ(r.currentValues.first(), std::numeric_limits<double>::max()) << "a minimum starts at the top";
    consumer.onStopConsuming();
}

// ---- The dock on a virtual amplifier ------------------------------------------------

using kav4sim::CellParameters;

// A Dogwood 16 at 10 kHz.
class IvGraphDock : public kv4test::ConsumersOnAmplifier {
  protected:
    IvGraphDock() { model = "dogwood16"; }
    void TearDown() override {
        widgets.clear();
        consumer.reset();
        ConsumersOnAmplifier::TearDown();
    }

    // Cells on channels 0 and 1, steps from Vhold 0 mV: `levels` pulses from -70 mV in 20 mV
    // steps; then the consumer and a dock per channel, shown at 1366 x 768.
    void run(const CellParameters& channel0, const CellParameters& channel1, int levels) {
        amplifier().setCell(0, channel0);
        amplifier().setCell(1, channel1);
        const std::map<std::string, double> steps = {{"Vhold", 0},  {"Vpulse", -70}, {"Vstep", 20},
                                                     {"Thold", 20}, {"Tpulse", 20},  {"N", double(levels)},
                                                     {"NR", 0}};
        ASSERT_NO_FATAL_FAILURE(startProtocol("Variable Amplitude", steps));
        producer = std::make_unique<DeviceDataProducer>(source);
        consumer = std::make_unique<IvGraphConsumer>(producer.get());
        ASSERT_NO_FATAL_FAILURE(kv4test::seed(*consumer));
        producer->start();
        for (int channel : {0, 1}) {
            auto widget = std::make_unique<IvGraphWidget>(channel);
            widget->setConsumer(consumer.get());
            widget->resize(1366, 768);
            widget->show();
            widgets.push_back(std::move(widget));
        }
        ASSERT_TRUE(QTest::qWaitForWindowExposed(widgets[0].get()));
    }

    IvGraphWidget& dock(int channel = 0) { return *widgets.at(size_t(channel)); }
    void click(AnalysisWidget::Tool tool, int channel = 0) { kv4test::click(dock(channel), tool); }
    template <typename Widget> Widget* labelled(const QString& text, int channel = 0) {
        return kv4test::labelled<Widget>(dock(channel), text);
    }
    // Picks an entry of a combo box from the keyboard.
    void choose(const QString& comboLabel, const QString& entry, int channel = 0) {
        auto* combo = labelled<QComboBox>(comboLabel, channel);
        ASSERT_TRUE(combo) << comboLabel.toStdString();
        const int target = combo->findText(entry);
        ASSERT_GE(target, 0) << entry.toStdString();
        combo->setFocus();
        while (combo->currentIndex() != target)
            QTest::keyClick(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    }
    void typeTransient(const QString& ms, int channel = 0) {
        auto* box = labelled<QDoubleSpinBox>("Ignore transient:", channel);
        ASSERT_TRUE(box);
        kv4test::type(box, ms);
    }
    // Waits for the last series of the dock to hold `points` points.
    bool seriesWith(int curves, int points, int channel = 0) {
        return QTest::qWaitFor(
            [&] {
                IvGraphWidget& d = dock(channel);
                return d.curveCount() == curves && d.curve(curves - 1).dataSize() == points;
            },
            20000);
    }
    QString read(const QString& label, int channel = 0) { return labelled<QLabel>(label, channel)->text(); }

    std::unique_ptr<IvGraphConsumer> consumer;
    std::vector<std::unique_ptr<IvGraphWidget>> widgets;
};

CellParameters passiveCell() {
    CellParameters cell = kv4test::quietCell();
    cell.membraneResistance = 1e9;
    cell.seriesResistance = 10e6;
    cell.noiseRms = 1e-12;
    return cell;
}

TEST_F(IvGraphDock, FitsReadTheCellsAndSeriesAreAppendedOnTheNanoampereRangeOrReplaced) {
    const CellParameters cell = passiveCell();
    // Channel 1: an ion channel that stays open, on a membrane that hardly leaks, so that the
    // current crosses zero at E.
    CellParameters open = cell;
    open.membraneResistance = 1e12;
    open.channelConductance = 1e-9;
    open.reversalPotential = 23e-3;
    open.meanOpenTime = 1e9;
    open.meanClosedTime = 1e-12;
    ASSERT_NO_FATAL_FAILURE(run(cell, open, 8));
    IvGraphWidget& d = dock();
    EXPECT_FALSE(d.toolAction(AnalysisWidget::LinearFitTool)->isEnabled()) << "nothing to fit yet";
    for (int channel : {0, 1}) {
        typeTransient("2", channel);
        click(AnalysisWidget::StartTool, channel);
        ASSERT_TRUE(seriesWith(1, 9, channel)) << "nine levels: -70 to 70 mV and the holding 0 mV";
    }
    QSignalSpy openEntries(&dock(1), &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock(1).fitCount() == 1; }, 10000));
    ASSERT_EQ(openEntries.count(), 1);
    delete openEntries.at(0).at(0).value<LabbookEvent*>();
    EXPECT_NEAR(kv4test::labelValue(read("Reversal potential:", 1), "V"), open.reversalPotential, 2e-3)
        << read("Reversal potential:", 1).toStdString();
    click(AnalysisWidget::StopTool, 1);
    EXPECT_EQ(d.curveTitle(0), "Series 1");
    EXPECT_EQ(d.plot()->xAxis->label(), "mV");
    EXPECT_EQ(d.plot()->yAxis->label(), "pA");

    QSignalSpy entries(&d, &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.fitCount() == 1; }, 10000));
    EXPECT_EQ(d.fitTitle(0), "Series 1, lin");
    EXPECT_EQ(d.fitCurve(0).dataSize(), 2);
    const double expected = 1.0 / (cell.membraneResistance + cell.seriesResistance);
    const double shown = kv4test::labelValue(read("Conductance:"), "S");
    EXPECT_NEAR(shown / expected, 1.0, 0.02)
        << read("Conductance:").toStdString() << " shown, 1/(Rm+Rs) " << expected * 1e9 << " nS";
    EXPECT_TRUE(read("Current offset:").endsWith("A"));
    EXPECT_NEAR(kv4test::labelValue(read("Reversal potential:"), "V"), 0.0, 2e-3)
        << "a passive cell reverses at 0 V";
    ASSERT_EQ(entries.count(), 1);
    std::unique_ptr<LabbookEvent> entry(entries.at(0).at(0).value<LabbookEvent*>());
    auto* iv = dynamic_cast<LabbookEventIVGraph*>(entry.get());
    ASSERT_TRUE(iv);
    EXPECT_EQ(iv->channel, 1);
    EXPECT_TRUE(iv->fitValid);
    EXPECT_NEAR(iv->conductance.getNoPrefixValue() / expected, 1.0, 0.02);
    const char* readOuts[] = {"Conductance:", "Current offset:", "Reversal potential:"};
    for (int column = 1; column <= 3; column++)
        EXPECT_EQ(kv4test::cellText(d.fitTable(), 1, column), read(readOuts[column - 1])) << "with its unit";

    // A second run on the 2 nA range, appended: a second series in the next colour, shown in
    // the pA of the first.
    click(AnalysisWidget::StopTool);
    choose("New data:", "Append");
    ASSERT_EQ(kv4cl::setCurrentRange(1, 0), kv4cl::Success);
    ASSERT_NO_FATAL_FAILURE(
        waitForCommand([](const kav4sim::DecodedCommand& c) { return c.currentRangeIdx[0] == 1; }));
    ASSERT_NO_FATAL_FAILURE(settle());
    kv4cl::RangedMeasurement_t nanoamperes;
    ASSERT_EQ(kv4cl::getCurrentRange(nanoamperes, 0), kv4cl::Success);
    ASSERT_EQ(nanoamperes.prefix, kv4cl::UnitPfxNano);
    consumer->onCurrentRangeChanged(nanoamperes, 0);
    click(AnalysisWidget::StartTool);
    ASSERT_TRUE(seriesWith(2, 9));
    click(AnalysisWidget::StopTool);
    EXPECT_EQ(d.curveTitle(1), "Series 2");
    EXPECT_NE(d.curve(1).color(), d.curve(0).color());
    EXPECT_EQ(d.fitCount(), 1) << "appending keeps the fit";
    EXPECT_EQ(d.plot()->yAxis->label(), "pA");
    const QCPGraphDataContainer& picoSeries = *d.curve(0).graph()->data();
    const QCPGraphDataContainer& nanoSeries = *d.curve(1).graph()->data();
    for (int i = 0; i < 9; i++) {
        const double pico = picoSeries.at(i)->value, nano = nanoSeries.at(i)->value;
        if (std::abs(pico) <= 5) continue; // the 0 mV point is at the resolution of the 2 nA range
        EXPECT_NEAR(nano / pico, 1.0, 0.02)
            << nano << " pA against " << pico << " pA at " << picoSeries.at(i)->key << " mV";
    }

    // The export: both series side by side, two columns each, in the order of the levels, then
    // the fit under its parameters' names and units. The fit's title holds the separator.
    const auto unitIn = [](const QString& head) { return head.section('[', 1).chopped(1); };
    const QString text = kv4test::exportedCsv(d, "iv", "comma \",\"");
    const std::vector<QStringList> rows = kv4test::readCsv(text, ',');
    ASSERT_EQ(rows.size(), 1 + 3 + 9 + 2) << text.toStdString();
    EXPECT_EQ(rows[0], QStringList({"Analysis:", "I/V Graph - channel 1"}));
    EXPECT_EQ(rows[1], QStringList({"Channel:", "1"}));
    EXPECT_EQ(rows[2], QStringList({"Series 1", "", "Series 2", ""}));
    EXPECT_EQ(rows[3], QStringList({"Voltage [mV]", "Current [pA]", "Voltage [mV]", "Current [pA]"}));
    for (size_t r = 4; r < 13; r++) {
        ASSERT_EQ(rows[r].size(), 4) << "columns line up";
        EXPECT_TRUE(std::any_of(nanoSeries.constBegin(), nanoSeries.constEnd(), [&](const QCPGraphData& p) {
            return std::abs(p.key - rows[r][2].toDouble()) < 1e-3 &&
                   std::abs(p.value - rows[r][3].toDouble()) < 1e-3;
        })) << "the export holds the plotted points";
    }
    const QStringList& linearHead = rows[13];
    const QStringList& linear = rows[14];
    ASSERT_EQ(linearHead.size(), 4);
    EXPECT_EQ(linearHead[0], "Fit");
    EXPECT_TRUE(linearHead[1].startsWith("conductance [")) << linearHead[1].toStdString();
    EXPECT_EQ(linear[0], "Series 1, lin");
    EXPECT_NEAR(kv4test::labelValue(linear[1] + " " + unitIn(linearHead[1]), "S") / expected, 1.0, 0.02);
    EXPECT_NEAR(kv4test::labelValue(linear[3] + " " + unitIn(linearHead[3]), "V"), 0.0, 2e-3);

    // Replaced while recording: one series again, under the recording's name, without the old
    // fits and their read-outs.
    choose("New data:", "Replace");
    d.onNewRecordFile("cell 3");
    d.onRecording(true);
    click(AnalysisWidget::StartTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.curveCount() == 1 && d.curveTitle(0) == "cell 3"; }, 20000));
    click(AnalysisWidget::StopTool);
    EXPECT_EQ(d.fitCount(), 0);
    EXPECT_EQ(d.fitTable()->item(0, 1), nullptr) << "the fit table starts over";
    EXPECT_EQ(read("Conductance:"), "") << "and so do the read-outs";
}

TEST_F(IvGraphDock, FitsOnTwoPointsOnAFlatCurveAndOnTooFewPoints) {
    // Channel 1 has no membrane resistance and no channel: once charged it takes no current.
    CellParameters flat = kv4test::quietCell();
    flat.membraneResistance = std::numeric_limits<double>::infinity();
    ASSERT_NO_FATAL_FAILURE(run(passiveCell(), flat, 1));
    for (int channel : {0, 1}) {
        typeTransient("10", channel);
        click(AnalysisWidget::StartTool, channel);
    }
    ASSERT_TRUE(seriesWith(1, 2, 0)) << "the holding level and one step";
    ASSERT_TRUE(seriesWith(1, 2, 1));

    // Two points: a fit and its lab book entry (the line through both: the fitter's test).
    IvGraphWidget& d = dock(0);
    QSignalSpy entries(&d, &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.fitCount() == 1; }, 10000));
    ASSERT_EQ(entries.count(), 1);
    delete entries.at(0).at(0).value<LabbookEvent*>();

    // Fewer points than the model's parameters: a message, no fit.
    const struct {
        AnalysisWidget::Tool tool;
        bool roi;
        const char* message;
    } tooFew[] = {
        {AnalysisWidget::BoltzmannFitTool, false, "Boltzmann sigmoid fit: 4 points needed, 2 available"},
        // Between the cursors, at a quarter and three quarters of the x range: no point.
        {AnalysisWidget::LinearFitTool, true, "Linear fit: 2 points needed, 0 in the region of interest"},
    };
    for (const auto& c : tooFew) {
        SCOPED_TRACE(c.message);
        if (c.roi) click(AnalysisWidget::LimitToRoiTool);
        click(c.tool);
        EXPECT_EQ(d.plot()->topLeftText(), c.message);
        EXPECT_EQ(d.fitCount(), c.roi ? 0 : 1) << "the region of interest removes the fits; no new one";
    }

    // A flat curve: slope 0, no reversal potential.
    QSignalSpy flatEntries(&dock(1), &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock(1).fitCount() == 1; }, 10000));
    EXPECT_EQ(read("Reversal potential:", 1), "-");
    ASSERT_EQ(flatEntries.count(), 1);
    std::unique_ptr<LabbookEvent> entry(flatEntries.at(0).at(0).value<LabbookEvent*>());
    auto* iv = dynamic_cast<LabbookEventIVGraph*>(entry.get());
    ASSERT_TRUE(iv);
    EXPECT_FALSE(iv->fitValid);
    EXPECT_EQ(iv->channel, 2);
    EXPECT_EQ(iv->conductance.value, 0.0);
    for (int channel : {0, 1})
        click(AnalysisWidget::StopTool, channel);
}

} // namespace
