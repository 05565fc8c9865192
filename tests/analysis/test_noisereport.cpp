// The noise report: its arithmetic on frames given by hand, its table, lab book entries and
// CSV. (Its figures for a recorded cell of known noise: the command line's analyse.)

#include "analysis/noisereport/noisereportwidget.h"
#include "recording/labbookevent.h"
#include "tests/acquisition/scriptedsource.h"
#include "tests/analysis/dockdriver.h"
#include "widgets/copyabletable.h"

#include <QDoubleSpinBox>
#include <QSettings>
#include <QTest>
#include <QToolButton>

#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

namespace {

using Result = NoiseReportConsumer::Result_t;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// The consumer's analysis run by hand on frames the test gives, without the thread.
class HandFedNoiseReport : public NoiseReportConsumer {
  public:
    explicit HandFedNoiseReport(DeviceDataProducer* producer, double rate) : NoiseReportConsumer(producer) {
        samplingRate = rate;
        allocateBuffers();
        QObject::connect(this, &NoiseReportConsumer::result,
                         [this](const Result& r) { results.push_back(r); });
    }
    void feed(const std::vector<double>& frames) {
        accumulated.insert(accumulated.end(), frames.begin(), frames.end());
        analyze();
    }
    std::vector<Result> results;
};

TEST(NoiseReportArithmetic, MeanAndPopulationDeviationOfEveryChannelOverWindowsOfExactlyItsFrames) {
    kv4test::ScriptedSource source{1, 2, 1}; // one voltage, two current and one gp channel
    DeviceDataProducer producer{source};
    HandFedNoiseReport report(&producer, 8.0); // half a second: 4 frames
    report.feed({1, 2, 1000.3, -5, /**/ 3, 4, 1000.3, -5, /**/ 1, 6, 1000.3, 5});
    EXPECT_TRUE(report.results.empty()) << "three frames are too few";
    report.feed({3, 8, 1000.3, 5});
    ASSERT_EQ(report.results.size(), 1u);
    const Result& r = report.results[0];
    using L = QList<double>;
    EXPECT_EQ(std::tuple(r.voltageMeans, r.voltageStds, r.currentMeans),
              std::tuple(L{2.0}, L{1.0}, L{5.0, 1000.3}));
    EXPECT_NEAR(r.currentStds[0], std::sqrt(5.0), 1e-12) << "divisor N, not N - 1";
    EXPECT_EQ(r.currentStds[1], 0.0) << "a constant far from zero";
    EXPECT_EQ(std::pair(r.gpMeans, r.gpStds), std::pair(L{0.0}, L{5.0}));
    // Nine frames at once: two windows of four, the ninth waits.
    report.feed({0,      0, 0, 0, /**/ 0, 0, 0, 0, /**/ 0, 0, 0, 0,
                 /**/ 0, 0, 0, 4, /**/ 0, 1, 0, 0, /**/ 0, 1, 0, 0,
                 /**/ 0, 1, 0, 0, /**/ 0, 1, 0, 0, /**/ 9, 9, 9, 9});
    ASSERT_EQ(report.results.size(), 3u);
    EXPECT_EQ(std::tuple(report.results[1].currentMeans, report.results[1].gpMeans, report.results[1].gpStds),
              std::tuple(L{0.0, 0.0}, L{1.0}, L{std::sqrt(3.0)}));
    EXPECT_EQ(std::tuple(report.results[2].currentMeans, report.results[2].currentStds),
              std::tuple(L{1.0, 0.0}, L{0.0, 0.0}));

    // A non-finite sample spoils its own channel visibly, and no other.
    for (const double sample : {nan, inf, -inf}) {
        SCOPED_TRACE(sample);
        HandFedNoiseReport spoilt(&producer, 4.0);
        spoilt.feed({1, 2, sample, 7, /**/ 1, 4, 3, 9});
        ASSERT_EQ(spoilt.results.size(), 1u);
        const Result& s = spoilt.results[0];
        EXPECT_EQ(std::isnan(s.currentMeans[1]), std::isnan(sample));
        EXPECT_FALSE(std::isfinite(s.currentMeans[1]));
        EXPECT_FALSE(std::isfinite(s.currentStds[1])) << "never a plausible number";
        EXPECT_EQ(std::tuple(s.currentMeans[0], s.currentStds[0], s.gpMeans[0]), std::tuple(3.0, 1.0, 8.0));
    }
}

// Each value to the resolution of its channel's range, a missing one as a dash; the CSV column
// in the unit of its heading; a lab book entry per current channel; the table greys once Stop
// leaves it as it was. The window typed is what the consumer waits for, and what the next dock
// starts with.
TEST(NoiseReportShown, AResultShowsInTheTableTheCsvAndTheLabbookAndGreysWhenStale) {
    QSettings().remove(NoiseReportWidget::windowKey);
    kv4test::ScriptedSource source{1, 2, 0};
    DeviceDataProducer producer{source};
    HandFedNoiseReport consumer(&producer, 8.0);
    NoiseReportWidget widget(producer.channelCounts());
    widget.setChannelsNumber(1, 2, 0);
    widget.onVoltageRangeChanged({-500, 500, 0.0625, kv4cl::UnitPfxMilli, "V"});
    widget.onCurrentRangeChanged({-200, 200, 0.01, kv4cl::UnitPfxPico, "A"}, 2);
    widget.onCurrentRangeChanged({-2, 2, 1e-4, kv4cl::UnitPfxNano, "A"}, 1);
    widget.setConsumer(&consumer);
    ASSERT_EQ(widget.table()->rowCount(), 3);
    const auto greyed = [&] {
        const QPalette p = widget.table()->palette();
        return p.color(QPalette::Active, QPalette::Text) == p.color(QPalette::Disabled, QPalette::Text);
    };
    kv4test::click(widget, AnalysisWidget::StartTool);
    widget.onResult({{0.0125}, {nan}, {0.00012, -3.5e-12}, {2e-12, 0.0}, {}, {}});
    // Down to 0.0625 mV, 0.01 pA (at most six digits) and 0.1 pA.
    const QString micro = QString::fromUtf8(kv4cl::unitPrefixes[kv4cl::UnitPfxMicro]);
    QStringList cells;
    for (int row = 0; row < 3; row++)
        cells << kv4test::cellText(widget.table(), row, 0) << kv4test::cellText(widget.table(), row, 1);
    EXPECT_EQ(cells, QStringList({"12.50 mV", "-", "120.000 " + micro + "A", "2.00 pA", "-3.5 pA", "0 A"}));
    EXPECT_FALSE(greyed());

    widget.onResult({{0.0125}, {0.0005}, {1.5e-9, -2e-12}, {3e-12, 4e-12}, {}, {}});
    // The heading takes the first channel's range: the second's values, on 2 nA, come in pA too.
    EXPECT_EQ(widget.exportData().toStdString(), "Channel,Mean voltage [mV],Voltage std [mV]\n"
                                                 "1,12.5,0.5\n"
                                                 "Channel,Mean current [pA],Current std [pA]\n"
                                                 "1,1500,3\n"
                                                 "2,-2,4\n");
    std::vector<std::unique_ptr<LabbookEventNoiseReport>> events;
    QObject::connect(&widget, &AnalysisWidget::labbookEvent, [&](LabbookEvent* e) {
        events.emplace_back(dynamic_cast<LabbookEventNoiseReport*>(e));
        ASSERT_TRUE(events.back()) << "a noise report entry";
    });
    QTest::mouseClick(widget.toolButton(AnalysisWidget::LabbookTool), Qt::LeftButton);
    ASSERT_EQ(events.size(), 2u) << "one per current channel";
    EXPECT_EQ(std::tuple(events[1]->channel, events[1]->meanCurrent.getNoPrefixValue(),
                         events[1]->currentRms.getNoPrefixValue()),
              std::tuple(2, -2e-12, 4e-12));

    kv4test::click(widget, AnalysisWidget::StopTool);
    EXPECT_TRUE(greyed());
    EXPECT_EQ(kv4test::cellText(widget.table(), 1, 0), "1.50000 nA") << "still readable";
    kv4test::type(widget.windowBox(), "2");

    consumer.feed({}); // the consumer takes the window over
    for (int frame = 0; frame < 15; frame++)
        consumer.feed({0, 1, 2});
    EXPECT_TRUE(consumer.results.empty()) << "2 s at 8 Hz are 16 frames";
    consumer.feed({0, 1, 2});
    EXPECT_EQ(consumer.results.size(), 1u);
    EXPECT_EQ(NoiseReportWidget(producer.channelCounts()).windowBox()->value(), 2.0) << "a new dock";
}

} // namespace
