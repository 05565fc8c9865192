// The membrane monitor and the voltage automatic controller on a virtual Dogwood 16, their
// docks set as a user sets them: a zapped membrane is caught on the frame after its
// current has been beyond the limit for min T, counted on the frames the consumer read, and
// said to have saturated the range; the controller's voltage reaches the one channel chosen as
// its offset after the frame its rule fired on and comes back after the restore time, and both
// are written in the lab book. Current limits reach the consumers as typed, on a pA and on a
// nA range.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/analysis/consumersonamplifier.h"

#include "analysis/framework/currentlimitbox.h"
#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"
#include "recording/labbookevent.h"
#include "session/stimulusservice.h"
#include "tests/analysis/dockdriver.h"
#include "tests/analysis/watcherprobe.h"
#include "widgets/steppedspinbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <memory>

namespace {

using kv4test::Detection;
using kv4test::WatcherProbe;

constexpr uint16_t channels = 16;
constexpr double vhold = 50.0; // mV: 50 pA through an intact membrane, saturation once ruptured
const kv4cl::RangedMeasurement_t picoamperes{-200.0, 200.0, 400.0 / 65536, kv4cl::UnitPfxPico, "A"};
const kv4cl::RangedMeasurement_t nanoamperes{-2.0, 2.0, 4.0 / 65536, kv4cl::UnitPfxNano, "A"};

class WatchersOnAmplifier : public kv4test::SimulatedAmplifiers {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(connect("dogwood16"));
        amplifier().setCell(channels, kv4test::quietCell());
        ASSERT_NO_FATAL_FAILURE(startProtocol("Constant", {{"Vhold", vhold}}));
        ASSERT_EQ(kv4cl::getSamplingRate(rate), kv4cl::Success);
        producer = std::make_unique<DeviceDataProducer>(source);
    }
    void TearDown() override {
        if (producer) producer->onStopProducing();
        consumer.reset();
        producer.reset();
        SimulatedAmplifiers::TearDown();
    }

    // The rate and ranges as the main window gives them, then the producer.
    void start(AnalysisConsumer& c) {
        ASSERT_NO_FATAL_FAILURE(kv4test::seed(c));
        producer->start();
    }
    // Until the consumer has analysed `frames` frames.
    template <typename Probe> static void waitForFrames(Probe& probe, size_t frames) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return probe.history(0).size() >= frames; }, 30000))
            << probe.history(0).size() << " frames of " << frames;
    }
    // The first frame of the run of frames beyond `limit` (pA) that ends at `last`.
    static long excursionStart(const std::vector<double>& currents, long last, double limit) {
        long first = last;
        while (first > 0 && currents[size_t(first - 1)] > limit)
            first--;
        return first;
    }
    long frames(double seconds) const { return std::lround(seconds * rate.getNoPrefixValue()); }

    // While the window's events run: the dock acts on the results.
    bool deviceSees(const std::function<bool(const kav4sim::DecodedCommand&)>& done) {
        return QTest::qWaitFor([&] { return done(amplifier().command()); }, 10000);
    }
    // On its indicator: a check box stretched by its layout takes no click beyond its text.
    static void click(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    // Typed, then the focus leaves the box.
    static void type(QAbstractSpinBox* box, const QString& text) {
        kv4test::type(box, text);
        QTest::keyClick(box, Qt::Key_Tab);
    }

    LibrarySampleSource source;
    std::unique_ptr<DeviceDataProducer> producer;
    std::unique_ptr<AnalysisConsumer> consumer;
    kv4cl::Measurement_t rate;
};

TEST_F(WatchersOnAmplifier, ARupturedMembraneIsCaughtAfterMinTAndReportedOnce) {
    auto* probe = new WatcherProbe<MembraneMonitorConsumer>(producer.get());
    consumer.reset(probe);
    probe->keep(true);
    MembraneMonitorWidget dock;
    dock.setConsumer(probe);
    dock.resize(500, 600);
    dock.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dock));
    click(dock.saturationBox());
    ASSERT_FALSE(dock.saturationBox()->isChecked());
    // A limit typed is the limit used: in the range's unit, down to its resolution (6.1 fA on
    // 200 pA), not moved onto the converter's steps.
    kv4cl::Measurement_t limit;
    QObject::connect(&dock, &MembraneMonitorWidget::setOptions,
                     [&](const MembraneMonitorConsumer::Options_t& o) {
                         limit = {o.currentLimits.min, o.currentLimits.prefix, o.currentLimits.unit};
                     });
    const struct {
        kv4cl::RangedMeasurement_t range;
        const char* typed;
        double value;
    } limits[] = {
        {nanoamperes, "-0.005", -0.005}, {nanoamperes, "1.23456", 1.23456}, {picoamperes, "-0.012", -0.012}};
    for (const auto& l : limits) {
        dock.onCurrentRangeChanged(l.range, channels);
        type(dock.minCurrentBox(), l.typed);
        EXPECT_EQ(limit.value, l.value) << l.typed;
        EXPECT_EQ(limit.prefix, l.range.prefix) << l.typed;
    }
    // The user's limits, 100 pA either side, and 20 ms.
    type(dock.minCurrentBox(), "-100");
    type(dock.maxCurrentBox(), "100");
    type(dock.minTimeBox(), "20");
    // As the plot tab reports once monitoring is enabled on its switches.
    QSignalSpy enabled(&dock, &MembraneMonitorWidget::membraneMonitorEnabled);
    QTest::mouseClick(dock.toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    ASSERT_EQ(enabled.count(), 1);
    EXPECT_TRUE(enabled.at(0).at(0).toBool());
    for (int ch = 0; ch < channels; ch++)
        dock.onSetIconStatus(ch, true, true);
    EXPECT_EQ(dock.icon(5)->toolTip(), "Monitoring for membrane rupture enabled.");

    // The plot tab switches the channel off and says so.
    QObject::connect(&dock, &MembraneMonitorWidget::switchChannelOn, &dock,
                     [&dock](int ch, bool on) { dock.onSetIconStatus(ch, on, true); });
    QSignalSpy switched(&dock, &MembraneMonitorWidget::switchChannelOn);
    QSignalSpy entries(&dock, &AnalysisWidget::labbookEvent);
    ASSERT_NO_FATAL_FAILURE(start(*probe));
    ASSERT_NO_FATAL_FAILURE(waitForFrames(*probe, size_t(frames(0.2))));
    EXPECT_TRUE(switched.isEmpty()) << "50 pA is within the limits";
    ASSERT_EQ(kv4cl::zap(5), kv4cl::Success);
    ASSERT_TRUE(switched.wait(10000));
    EXPECT_EQ(switched.at(0).at(0).toInt(), 5);
    EXPECT_FALSE(switched.at(0).at(1).toBool());
    // Once in the lab book (its line, and the channel's icon: the main window's zap test). The
    // ruptured cell draws more than the 200 pA range holds: whatever it reads is the range's.
    ASSERT_EQ(entries.count(), 1);
    delete entries.at(0).at(0).value<LabbookEvent*>();
    EXPECT_TRUE(dock.saturationNotice()->text().startsWith(
        "Ch6 switched off: its current saturated the 200 pA range"))
        << dock.saturationNotice()->text().toStdString();

    const std::vector<Detection> found = probe->detections();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].channel, 5);
    EXPECT_TRUE(found[0].saturated);
    const std::vector<double> currents = probe->history(5); // pA
    const long detected = found[0].frame;
    const long first = excursionStart(currents, detected, 100.0);
    EXPECT_GT(first, frames(0.2)) << "the current crossed after the rupture";
    EXPECT_EQ(detected - first, frames(0.020) + 1) << "crossed on frame " << first;
}

TEST_F(WatchersOnAmplifier, TheControllerAppliesItsVoltageToTheChosenChannelAndRestoresIt) {
    auto* probe = new WatcherProbe<VoltageAutomaticControllerConsumer>(producer.get());
    consumer.reset(probe);
    probe->keep(true);
    StimulusService stimulus;
    VoltageAutomaticControllerWidget dock;
    dock.setStimulus(&stimulus);
    dock.setConsumer(probe);
    dock.resize(600, 400);
    dock.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dock));

    // Channel 3, above 100 pA for 10 ms: -50 mV, which brings the cell to 0 V.
    dock.channelBox()->setFocus();
    for (int k = 0; k < 3; k++)
        QTest::keyClick(dock.channelBox(), Qt::Key_Down);
    ASSERT_EQ(dock.channelBox()->currentText(), "3");
    click(dock.highRule().check);
    type(dock.highRule().current, "100");
    type(dock.highRule().time, "10");
    type(dock.highRule().voltage, "-50");
    click(dock.restoreBox());
    type(dock.restoreTimeBox(), "300");
    ASSERT_TRUE(dock.restoreBox()->isChecked());
    // A limit untouched is carried exactly through a change of range and back.
    kv4cl::Measurement_t high;
    QObject::connect(&dock, &VoltageAutomaticControllerWidget::highCurrentChanged,
                     [&](const kv4cl::Measurement_t& m) { high = m; });
    for (const auto& [range, value] : {std::pair{nanoamperes, 0.1}, std::pair{picoamperes, 100.0}}) {
        dock.onCurrentRangeChanged(range, channels);
        EXPECT_EQ(high.value, value);
        EXPECT_EQ(high.prefix, range.prefix);
    }
    QSignalSpy entries(&dock, &AnalysisWidget::labbookEvent);
    QTest::mouseClick(dock.toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    ASSERT_NO_FATAL_FAILURE(start(*probe));
    ASSERT_NO_FATAL_FAILURE(waitForFrames(*probe, size_t(frames(0.5))));
    // The stimulus set every offset as it was made: from here only channel 3's may move.
    const auto offsetOrders = [this] {
        std::vector<uint64_t> orders;
        for (const kav4sim::DecodedCommand::OffsetOrder& order : amplifier().command().voltageOffsets)
            orders.push_back(order.count);
        return orders;
    };
    std::vector<uint64_t> orders = offsetOrders();
    const uint64_t before = orders[2];
    ASSERT_EQ(kv4cl::zap(0), kv4cl::Success); // not watched
    ASSERT_EQ(kv4cl::zap(2), kv4cl::Success);
    ASSERT_TRUE(deviceSees([&](const kav4sim::DecodedCommand& c) {
        return c.voltageOffsets[2].count > before && std::abs(c.voltageOffsets[2].to + 0.05) < 1e-6;
    })) << "the offset reaches the device";
    const long applied = long(probe->history(2).size());

    const std::vector<Detection> found = probe->detections();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].channel, 2);
    EXPECT_TRUE(found[0].high);
    // What it did goes to the lab book: the channel, the rule, the voltage.
    ASSERT_GE(entries.count(), 1);
    std::unique_ptr<LabbookEvent> action(entries.at(0).at(0).value<LabbookEvent*>());
    action->prepareValues();
    EXPECT_TRUE(action->lineText().endsWith(
        "Voltage Controller, Channel: 3, I > 100.000 pA for 10 ms: applied, Voltage: -50 [mV]"))
        << action->lineText().toStdString();
    std::vector<double> currents = probe->history(2);
    const long first = excursionStart(currents, found[0].frame, 100.0);
    EXPECT_EQ(found[0].frame - first, frames(0.010) + 1) << "crossed on frame " << first;
    // The cell at 0 V after the frame the rule fired on.
    ASSERT_NO_FATAL_FAILURE(waitForFrames(*probe, size_t(applied + frames(0.1))));
    currents = probe->history(2);
    long reached = found[0].frame + 1;
    while (reached < long(currents.size()) && std::abs(currents[size_t(reached)]) > 5.0)
        reached++;
    EXPECT_LT(reached, long(currents.size())) << "the cell never saw the voltage";
    const std::vector<uint64_t> now = offsetOrders();
    const uint64_t appliedCount = orders[2] = now[2];
    EXPECT_EQ(now, orders) << "channel 3's offset alone";

    EXPECT_TRUE(deviceSees([&](const kav4sim::DecodedCommand& c) {
        return c.voltageOffsets[2].count > appliedCount && std::abs(c.voltageOffsets[2].to) < 1e-6;
    })) << "the offset it had";
    // The restore follows in the lab book. The rule may fire again before it, while its offset
    // is on its way, and after it, once the restored voltage brings the current back over.
    QString restored;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QList<QVariant>& args : entries)
                if (auto* e = static_cast<LabbookEventVoltageController*>(args.at(0).value<LabbookEvent*>());
                    e->action == "Restored") {
                    e->prepareValues();
                    restored = e->lineText();
                }
            return !restored.isEmpty();
        },
        5000));
    EXPECT_TRUE(restored.endsWith("Voltage Controller, Channel: 3, Restored, Voltage: 0 [V]"))
        << restored.toStdString();
    for (int k = 1; k < entries.count(); k++)
        delete entries.at(k).at(0).value<LabbookEvent*>();
    QTest::mouseClick(dock.toolButton(AnalysisWidget::StopTool), Qt::LeftButton);
}

} // namespace
