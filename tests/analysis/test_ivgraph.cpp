// The I-V graph: its consumer on a scripted source (the levels, the transient skip and the
// three modes, frames lost), and its dock on scripted levels driven by clicks and typing at
// 1366 x 768: the fit's read-outs against the line's conductance and reversal potential, the lab
// book entry, a series on the nA range appended, the export of both series, a series replaced,
// a flat line and the fits that cannot be made. (The graph of a virtual cell's steps: the
// command line's analyse; the dock on a virtual amplifier: the analysis docks' menu journey.)

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

#include <cmath>
#include <functional>
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
            }
            EXPECT_EQ(r.counts.last(), edgeCount);
            EXPECT_DOUBLE_EQ(r.points[3].y(), 1.0 * (channel + 1));
            EXPECT_DOUBLE_EQ(r.points[4].y(), 2.0 * (channel + 1));
        }
    }
}

// Frames lost between two stretches of one level: other levels may have come and gone in the
// gap, so the frames after it skip the transient again. A channel started later, and a transient
// or mode change, start only that channel over.
TEST(IvGraphOnScript, FramesLostStartTheTransientOverAndAChangeStartsOnlyThatChannelOver) {
    ScriptedRig rig;
    IvGraphConsumer& consumer = rig.consumer;
    consumer.onTransientIgnoreChanged(0, 5.0);
    consumer.onStartConsuming(0);
    const auto visit = [](int k) { return k < 50 ? int16_t(k % 2 ? 400 : -400) : int16_t(-5); };
    rig.level(20, 100, visit);
    rig.level(20, 100, visit, 300);
    rig.pad();
    ASSERT_TRUE(QTest::qWaitFor([&] { return consumer.channelResult(0).points.size() == 2; }, 20000));
    const IvGraphConsumer::Record lost = consumer.channelResult(0);
    EXPECT_EQ(lost.counts[1020], 100); // 10 mV, in levels of 0.5 mV from -500 mV
    EXPECT_DOUBLE_EQ(lost.points[0].y(), -5.0);
    // A channel started later starts alone: the first keeps its sums.
    consumer.onStartConsuming(1);
    rig.pad();
    ASSERT_TRUE(QTest::qWaitFor([&] { return consumer.channelResult(1).points.size() == 1; }, 20000));
    EXPECT_EQ(consumer.channelResult(0).counts[1020], 100);

    const std::vector<std::function<void()>> changes = {[&] { consumer.onTransientIgnoreChanged(0, 2.5); },
                                                        [&] { consumer.onModeChanged(0, 2); }};
    for (const auto& change : changes) {
        change();
        const IvGraphConsumer::Record r = consumer.channelResult(0);
        EXPECT_TRUE(r.points.isEmpty());
        EXPECT_EQ(r.counts.count(0), r.counts.size()) << "every sum starts over";
        EXPECT_EQ(consumer.channelResult(1).points.size(), 1) << "the other channel keeps its points";
    }
    EXPECT_EQ(consumer.channelResult(0).currentValues.first(), std::numeric_limits<double>::max())
        << "a minimum starts at the top";
    consumer.onStopConsuming();
}

// ---- The dock on scripted levels ---------------------------------------------------

// A dock of channel 0 on the rig's consumer, shown at 1366 x 768.
class IvGraphDock : public testing::Test {
  protected:
    void SetUp() override {
        dock.setConsumer(&rig.consumer);
        dock.resize(1366, 768);
        dock.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dock));
    }
    void click(AnalysisWidget::Tool tool) { kv4test::click(dock, tool); }
    QString read(const QString& label) { return kv4test::labelled<QLabel>(dock, label)->text(); }
    // Picks an entry of a combo box from the keyboard.
    void choose(const QString& comboLabel, const QString& entry) {
        auto* combo = kv4test::labelled<QComboBox>(dock, comboLabel);
        ASSERT_TRUE(combo) << comboLabel.toStdString();
        const int target = combo->findText(entry);
        ASSERT_GE(target, 0) << entry.toStdString();
        combo->setFocus();
        while (combo->currentIndex() != target)
            QTest::keyClick(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    }
    // Eight levels from -70 to 70 mV on a line of 1 pA/mV that crosses 0 at 20 mV, each after a
    // 1 ms transient of 400 pA, the first level again for the reads; waits for `curves` series, the
    // last with the eight points.
    bool steps(int curves) {
        for (int k = 0; k <= 8; k++) {
            const int mV = -70 + 20 * (k % 8);
            rig.level(int16_t(2 * mV), k < 8 ? 100 : 600,
                      [mV](int f) { return int16_t(f < 10 ? 400 : mV - 20); });
        }
        return QTest::qWaitFor(
            [&] { return dock.curveCount() == curves && dock.curve(curves - 1).dataSize() == 8; }, 20000);
    }

    ScriptedRig rig;
    IvGraphWidget dock{rig.producer.channelCounts(), 0};
};

// The transient typed; the line's conductance and reversal potential read out and noted; a
// second series on the nA range appended, shown in the pA of the first; both exported side by
// side with the fit; then a series replaced while recording, without the old fits.
TEST_F(IvGraphDock, FitsReadTheLineAndSeriesAreAppendedOnTheNanoampereRangeOrReplaced) {
    auto* transient = kv4test::labelled<QDoubleSpinBox>(dock, "Ignore transient:");
    ASSERT_TRUE(transient);
    kv4test::type(transient, "2");
    click(AnalysisWidget::StartTool);
    ASSERT_TRUE(steps(1));
    QSignalSpy entries(&dock, &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.fitCount() == 1; }, 10000));
    click(AnalysisWidget::StopTool);
    EXPECT_NEAR(kv4test::labelValue(read("Conductance:"), "S"), 1e-9, 1e-12)
        << read("Conductance:").toStdString();
    EXPECT_NEAR(kv4test::labelValue(read("Reversal potential:"), "V"), 0.020, 1e-5)
        << read("Reversal potential:").toStdString();
    ASSERT_EQ(entries.count(), 1);
    std::unique_ptr<LabbookEvent> entry(entries.at(0).at(0).value<LabbookEvent*>());
    auto* iv = dynamic_cast<LabbookEventIVGraph*>(entry.get());
    ASSERT_TRUE(iv);
    EXPECT_EQ(std::pair(iv->channel, iv->fitValid), std::pair(1, true));
    EXPECT_NEAR(iv->conductance.getNoPrefixValue(), 1e-9, 1e-12);

    // The same words on the 2 nA range, appended: a thousand times the currents, in pA.
    choose("New data:", "Append");
    rig.consumer.onCurrentRangeChanged({-2.0, 2.0, 1e-4, kv4cl::UnitPfxNano, "A"}, 2);
    click(AnalysisWidget::StartTool);
    ASSERT_TRUE(steps(2));
    click(AnalysisWidget::StopTool);
    EXPECT_EQ(dock.fitCount(), 1) << "appending keeps the fit";
    EXPECT_EQ(dock.plot()->yAxis->label(), "pA");

    // The export, with the separator chosen in its dialog: both series side by side, two columns
    // each, in the order of the levels, then the fit under its parameters' names and units.
    const QString text = kv4test::exportedCsv(dock, "iv", "semicolon \";\"");
    const std::vector<QStringList> rows = kv4test::readCsv(text, ';');
    ASSERT_EQ(rows.size(), 2 + 2 + 8 + 2) << text.toStdString();
    EXPECT_EQ(rows[2], QStringList({"Series 1", "", "Series 2", ""}));
    EXPECT_EQ(rows[3], QStringList({"Voltage [mV]", "Current [pA]", "Voltage [mV]", "Current [pA]"}));
    for (int k = 0; k < 8; k++) {
        const double mV = -70 + 20 * k;
        EXPECT_EQ(rows[size_t(4 + k)], QStringList({QString::number(mV), QString::number(mV - 20),
                                                    QString::number(mV), QString::number(1000 * (mV - 20))}));
    }
    const QStringList& linearHead = rows[12];
    ASSERT_EQ(linearHead.size(), 4);
    EXPECT_EQ(linearHead[0], "Fit");
    EXPECT_EQ(rows[13].value(0), "Series 1, lin");
    const auto unitIn = [](const QString& head) { return head.section('[', 1).chopped(1); };
    EXPECT_NEAR(kv4test::labelValue(rows[13].value(1) + " " + unitIn(linearHead[1]), "S"), 1e-9, 1e-12);
    EXPECT_NEAR(kv4test::labelValue(rows[13].value(3) + " " + unitIn(linearHead[3]), "V"), 0.020, 1e-5);

    // Replaced while recording: one series again, under the recording's name, without the old
    // fits and their read-outs.
    choose("New data:", "Replace");
    dock.onNewRecordFile("cell 3");
    dock.onRecording(true);
    click(AnalysisWidget::StartTool);
    ASSERT_TRUE(steps(1));
    click(AnalysisWidget::StopTool);
    EXPECT_EQ(dock.curveTitle(0), "cell 3");
    EXPECT_EQ(dock.fitCount(), 0);
    EXPECT_EQ(dock.fitTable()->item(0, 1), nullptr) << "the fit table starts over";
    EXPECT_EQ(read("Conductance:"), "") << "and so do the read-outs";
}

// Two levels of one current: the line through them is flat, without reversal potential; fits
// that need more points than there are say so and make none.
TEST_F(IvGraphDock, AFlatLineHasNoReversalPotentialAndTooFewPointsMakeNoFit) {
    click(AnalysisWidget::StartTool);
    for (int16_t raw : {20, -40})
        rig.level(raw, 600, [](int) { return int16_t(-5); });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return dock.curveCount() == 1 && dock.curve(0).dataSize() == 2; }, 20000));

    QSignalSpy entries(&dock, &AnalysisWidget::labbookEvent);
    click(AnalysisWidget::LinearFitTool);
    ASSERT_TRUE(QTest::qWaitFor([&] { return dock.fitCount() == 1; }, 10000));
    EXPECT_EQ(read("Reversal potential:"), "-");
    ASSERT_EQ(entries.count(), 1);
    std::unique_ptr<LabbookEvent> entry(entries.at(0).at(0).value<LabbookEvent*>());
    auto* iv = dynamic_cast<LabbookEventIVGraph*>(entry.get());
    ASSERT_TRUE(iv);
    EXPECT_FALSE(iv->fitValid) << "the note says the line crosses no zero";

    click(AnalysisWidget::BoltzmannFitTool);
    EXPECT_EQ(dock.plot()->topLeftText(), "Boltzmann sigmoid fit: 4 points needed, 2 available");
    EXPECT_EQ(dock.fitCount(), 1) << "no new fit";
    // Between the cursors, at a quarter and three quarters of the x range: no point.
    click(AnalysisWidget::LimitToRoiTool);
    click(AnalysisWidget::LinearFitTool);
    EXPECT_EQ(dock.plot()->topLeftText(), "Linear fit: 2 points needed, 0 in the region of interest");
    EXPECT_EQ(dock.fitCount(), 0) << "the region of interest removes the fits";
    click(AnalysisWidget::StopTool);
}

} // namespace
