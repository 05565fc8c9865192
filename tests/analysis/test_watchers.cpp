// The membrane monitor and the voltage automatic controller: on frames written by the test, on
// which frame each detects, what it never detects and how long each waits afterwards; then on a
// virtual Dogwood 16, their docks set as a user sets them, the controller's voltage reaching the
// one channel chosen as its offset and coming back after the restore time, both written in the
// lab book, and current limits reaching the consumers as typed on a pA and on a nA range.

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/analysis/consumersonamplifier.h"

#include "analysis/framework/currentlimitbox.h"
#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"
#include "recording/labbookevent.h"
#include "session/stimulusservice.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/analysis/dockdriver.h"
#include "widgets/steppedspinbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

struct Detection {
    int channel;
    long frame; // counted from the first frame analysed
    bool high = true;
    bool saturated = false; // the membrane monitor's: the current sat at its range's edge
    bool operator==(const Detection&) const = default;
};

// A watcher given its frames one at a time, so that each result it emits is placed at the
// frame that caused it. Used on frames written by a test, in the test's thread, and on a
// consumer thread reading a virtual amplifier, where it keeps the current of every frame.
template <typename Consumer> class WatcherProbe : public Consumer {
  public:
    explicit WatcherProbe(DeviceDataProducer* producer) : Consumer(producer) {
        QObject::connect(
            this, &Consumer::result, this,
            [this](typename Consumer::Result_t res) {
                QMutexLocker lock(&probeMutex);
                if constexpr (requires { res.high; })
                    found.push_back({res.channel, frames - 1, res.high});
                else
                    found.push_back({res.channel, frames - 1, true, res.saturated});
            },
            Qt::DirectConnection);
    }
    ~WatcherProbe() override { this->onStopConsuming(); }

    // In the test's thread: the rate, every current channel's range, then the buffers.
    void prepare(double rate, const kv4cl::RangedMeasurement_t& range) {
        this->samplingRate = rate;
        for (auto& r : this->currentRanges)
            r = range;
        this->allocateBuffers();
    }
    // Frames of current samples (in the range's unit), one per current channel; voltage and
    // gp words 0.
    void feed(const std::vector<std::vector<double>>& currents) {
        for (const std::vector<double>& frame : currents) {
            this->accumulated.assign(size_t(this->voltageChannelsNum), 0.0);
            this->accumulated.insert(this->accumulated.end(), frame.begin(), frame.end());
            this->accumulated.resize(size_t(this->totalChannelsNum), 0.0);
            frames++;
            this->accumulatedEnd = uint64_t(frames);
            Consumer::analyze();
        }
    }

    std::vector<Detection> detections() {
        QMutexLocker lock(&probeMutex);
        return found;
    }
    // The current of `channel` in every frame analysed so far (kept while `keep` is set).
    std::vector<double> history(int channel) {
        QMutexLocker lock(&probeMutex);
        std::vector<double> h;
        for (size_t f = size_t(channel); f < kept.size(); f += size_t(this->currentChannelsNum))
            h.push_back(kept[f]);
        return h;
    }
    void keep(bool on) { keeping = on; }

  protected:
    // On the consumer thread: the cycle's frames one at a time.
    void analyze() override {
        const size_t width = size_t(this->totalChannelsNum);
        const std::vector<double> cycle = std::move(this->accumulated);
        const uint64_t cycleStart = this->accumulatedEnd - cycle.size() / width;
        for (size_t at = 0; at + width <= cycle.size(); at += width) {
            this->accumulated.assign(cycle.begin() + std::ptrdiff_t(at),
                                     cycle.begin() + std::ptrdiff_t(at + width));
            this->accumulatedEnd = cycleStart + at / width + 1;
            {
                QMutexLocker lock(&probeMutex);
                frames++;
                if (keeping)
                    kept.insert(kept.end(), this->accumulated.begin() + this->voltageChannelsNum,
                                this->accumulated.begin() + this->voltageChannelsNum +
                                    this->currentChannelsNum);
            }
            Consumer::analyze();
        }
        this->accumulated.clear();
    }

  private:
    QMutex probeMutex;
    long frames = 0;
    std::atomic<bool> keeping = false;
    std::vector<double> kept;
    std::vector<Detection> found;
};

// ---- On frames written by the test: two current channels at 10 kHz in a picoampere range.

using Frames = std::vector<std::vector<double>>;

constexpr double rate = 10000.0;
const kv4cl::RangedMeasurement_t picoRange{-2000.0, 2000.0, 0.5, kv4cl::UnitPfxPico, "A"};

// `quiet` frames at `rest`, then per channel its own level for `length` frames, then `rest`
// again for `after` frames.
Frames excursion(int quiet, std::vector<double> levels, int length, int after, double rest = 0.0) {
    Frames frames(size_t(quiet), std::vector<double>(levels.size(), rest));
    frames.insert(frames.end(), size_t(length), levels);
    frames.insert(frames.end(), size_t(after), std::vector<double>(levels.size(), rest));
    return frames;
}

class WatchersFrames : public testing::Test {
  protected:
    kv4test::ScriptedSource source{1, 2, 0};
    DeviceDataProducer producer{source};
};

// The user's limits +-0.5 nA, ignored when saturation is watched instead.
struct MonitorCase {
    std::string name;
    Frames frames;
    std::vector<Detection> expected;
    bool saturation = false;
    double minTimeMs = 10;
    bool checked = true, enabled = true; // channel 1 switched on, monitoring enabled
};

TEST_F(WatchersFrames, MembraneMonitorDetectsOnTheFrameAfterTheCountExceedsTheMinimumTime) {
    // min T 10 ms at 10 kHz: 100 frames. An excursion starting at frame 20 is detected on
    // frame 20 + 100 + 1, the frame after the count exceeded 100; 101 frames beyond are not.
    const double step = picoRange.step, top = picoRange.max - 3 * step, bottom = picoRange.min + 3 * step;
    Frames twice = excursion(20, {600, 0}, 102, 3);
    const Frames again = excursion(0, {600, 0}, 102, 0);
    twice.insert(twice.end(), again.begin(), again.end());
    const MonitorCase cases[] = {
        {"above the user's limit", excursion(20, {600, 0}, 102, 5), {{0, 121}}},
        {"below the user's limit", excursion(20, {0, -501}, 102, 5), {{1, 121}}},
        {"101 frames beyond are not a rupture", excursion(20, {600, -600}, 101, 200), {}},
        {"on the limit is within it", excursion(20, {500, -500}, 300, 0), {}},
        {"min T rounds to frames: 2.04 ms is 20", excursion(5, {600, 0}, 30, 0), {{0, 26}}, false, 2.04},
        {"three steps from the range's top", excursion(20, {top, 0}, 300, 0), {}, true},
        {"within 3 steps of the top", excursion(20, {top + step, 0}, 102, 0), {{0, 121, true, true}}, true},
        {"within 3 of the bottom", excursion(20, {0, bottom - 0.1}, 102, 0), {{1, 121, true, true}}, true},
        {"the user's limit at the edge", excursion(20, {0, picoRange.min}, 102, 5), {{1, 121, true, true}}},
        {"the user's limits are not the saturation's", excursion(20, {600, -600}, 300, 0), {}, true},
        // Both rupture together: the first found at 121 holds every channel off one min T
        // more, so the second needs 2 x 100 + 1 further frames.
        {"a detection holds every channel off", excursion(20, {600, 600}, 322, 0), {{0, 121}, {1, 322}}},
        {"a second excursion after the hold-off", twice, {{0, 121}, {0, 226}}},
        {"a channel switched off is not watched", excursion(20, {0, 600}, 102, 5), {}, false, 10, false},
        {"nor one whose monitoring is disabled", excursion(20, {0, 600}, 102, 5), {}, false, 10, true, false},
    };
    for (const MonitorCase& c : cases) {
        SCOPED_TRACE(c.name);
        WatcherProbe<MembraneMonitorConsumer> monitor(&producer);
        MembraneMonitorConsumer::Options_t options;
        options.switchOffOnSaturation = c.saturation;
        options.currentLimits = {-0.5, 0.5, 1.0, kv4cl::UnitPfxNano, "A"};
        options.minimumTime = {c.minTimeMs, kv4cl::UnitPfxMilli, "s"};
        monitor.onSetOptions(options);
        monitor.onChannelStatusChanged(0, true, true);
        monitor.onChannelStatusChanged(1, c.checked, c.enabled);
        monitor.prepare(rate, picoRange);
        monitor.feed(c.frames);
        EXPECT_EQ(monitor.detections(), c.expected);
    }
}

// High 1 nA for 10 ms, low -1 nA for 10 ms, reset 1 ms, on every channel unless a case says
// otherwise.
struct ControllerCase {
    std::string name;
    Frames frames;
    std::vector<Detection> expected;
    int channel = 2; // 2: all
    double lowMs = 10;
    uint64_t ahead = 0; // frames the producer has acquired before the first is analysed
};

TEST_F(WatchersFrames, VoltageControllerFiresOnTheFrameAfterTheCountExceedsTheDuration) {
    // 10 ms at 10 kHz: 100 frames. The reset time holds every channel off from the start and
    // after each action; 1 ms is 10 frames.
    const ControllerCase cases[] = {
        {"high threshold", excursion(20, {1001, 0}, 102, 5), {{0, 121, true}}},
        {"low threshold", excursion(20, {0, -1001}, 52, 5), {{1, 71, false}}, 2, 5},
        {"101 frames above do not fire", excursion(20, {1001, 1001}, 101, 100), {}},
        {"the chosen channel alone", excursion(20, {1500, 1500}, 102, 0), {{1, 121, true}}, 1},
        {"the other channel ignored", excursion(20, {0, 1500}, 300, 0), {}, 0},
        // Above from the first frame: the first 10 frames are not watched, so 10 + 101.
        {"held off after the start", excursion(0, {1500, 0}, 112, 0), {{0, 111, true}}},
        // After firing at 121 the channel rests 10 frames, then counts again from 0.
        {"held off after an action", excursion(20, {1500, 0}, 300, 0), {{0, 121, true}, {0, 233, true}}},
        // The acquisition is 3000 frames ahead of the analysis: the frames still to be
        // analysed were measured before the action, so the channel rests until 3000 + 10.
        {"held off while the analysis lags",
         excursion(20, {1500, 0}, 3200, 0),
         {{0, 121, true}, {0, 3111, true}},
         2,
         10,
         3000},
    };
    for (const ControllerCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.ahead > producer.rowsProduced()) {
            source.add(source.rows(0, uint32_t(c.ahead)));
            producer.start();
            ASSERT_TRUE(QTest::qWaitFor([&] { return producer.rowsProduced() == c.ahead; }, 5000));
        }
        WatcherProbe<VoltageAutomaticControllerConsumer> controller(&producer);
        controller.onChannelChanged(c.channel);
        // Each in a unit of its own: every value is converted.
        controller.onHighThCurrentChanged({1.0, kv4cl::UnitPfxNano, "A"});
        controller.onLowThCurrentChanged({-1000.0, kv4cl::UnitPfxPico, "A"});
        controller.onHighThDurationChanged({10.0, kv4cl::UnitPfxMilli, "s"});
        controller.onLowThDurationChanged({c.lowMs / 1000, kv4cl::UnitPfxNone, "s"});
        controller.onResetTimeChanged({1.0, kv4cl::UnitPfxMilli, "s"});
        controller.prepare(rate, picoRange);
        controller.feed(c.frames);
        EXPECT_EQ(controller.detections(), c.expected);
    }
}

TEST_F(WatchersFrames, VoltageControllerFiresOnNothingUntilToldItsThresholds) {
    WatcherProbe<VoltageAutomaticControllerConsumer> controller(&producer);
    controller.prepare(rate, picoRange);
    controller.feed(excursion(0, {picoRange.max, picoRange.min}, 1000, 0));
    EXPECT_TRUE(controller.detections().empty());
}

// ---- On a virtual amplifier ----------------------------------------------------------

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

// A limit typed is the limit used: in the range's unit, down to its resolution (6.1 fA on
// 200 pA), not moved onto the converter's steps. (A rupture caught on its frame: the frames'
// test; a zapped membrane switched off and noted: the main window's test.)
TEST_F(WatchersOnAmplifier, AMembraneLimitTypedIsTheLimitUsedInTheRangesUnit) {
    MembraneMonitorWidget dock(producer->channelCounts());
    dock.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dock));
    click(dock.saturationBox());
    ASSERT_FALSE(dock.saturationBox()->isChecked());
    kv4cl::Measurement_t limit;
    QObject::connect(&dock, &MembraneMonitorWidget::setOptions,
                     [&](const MembraneMonitorConsumer::Options_t& o) {
                         limit = {o.currentLimits.min, o.currentLimits.prefix, o.currentLimits.unit};
                     });
    const std::tuple<kv4cl::RangedMeasurement_t, const char*, double> limits[] = {
        {nanoamperes, "-0.005", -0.005}, {nanoamperes, "1.23456", 1.23456}, {picoamperes, "-0.012", -0.012}};
    for (const auto& [range, typed, value] : limits) {
        dock.onCurrentRangeChanged(range, channels);
        type(dock.minCurrentBox(), typed);
        EXPECT_EQ(limit.value, value) << typed;
        EXPECT_EQ(limit.prefix, range.prefix) << typed;
    }
}

TEST_F(WatchersOnAmplifier, TheControllerAppliesItsVoltageToTheChosenChannelAndRestoresIt) {
    auto* probe = new WatcherProbe<VoltageAutomaticControllerConsumer>(producer.get());
    consumer.reset(probe);
    probe->keep(true);
    StimulusService stimulus;
    VoltageAutomaticControllerWidget dock(producer->channelCounts());
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
    ASSERT_NO_FATAL_FAILURE(kv4test::seed(*probe)); // as the main window seeds it
    producer->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return long(probe->history(0).size()) >= frames(0.5); }, 30000));
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
    // Fired on the frame after the current had been over 100 pA for 10 ms.
    const std::vector<double> currents = probe->history(2);
    long first = found[0].frame;
    while (first > 0 && currents[size_t(first - 1)] > 100.0)
        first--;
    EXPECT_EQ(found[0].frame - first, frames(0.010) + 1) << "crossed on frame " << first;
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
