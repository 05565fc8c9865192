// The analyses as the main window gets them from their list: built on a producer of a virtual
// amplifier, opened from the Analysis menu, started from the dock on their own consumer, and gone
// with the object that made them. (Each analysis's choice in the filter
// preferences: the dialog's test.)

// First: the simulator has a member named like Qt's "emit" macro.
#include "tests/analysis/consumersonamplifier.h"

#include "analysis/analyses.h"
#include "analysis/framework/analysisdocks.h"
#include "analysis/noisereport/noisereportwidget.h"
#include "tests/analysis/dockdriver.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <tuple>

namespace {

class AnalysisDocksOnAmplifier : public kv4test::SimulatedAmplifiers {
  protected:
    void TearDown() override {
        docks.reset();
        for (const auto& [consumer, key] : made)
            delete consumer;
        producer.reset();
        SimulatedAmplifiers::TearDown();
    }
    // The menu, then the docks, as the main window makes them, on a producer of the connected
    // amplifier, every consumer seeded with the rate and the ranges the device holds.
    void makeDocks() {
        const std::vector<Analysis> list = analyses();
        menu = window.menuBar()->addMenu("Analysis");
        AnalysisDocks::addSubmenus(menu, list);
        window.setCentralWidget(new QWidget);
        window.resize(1366, 768);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        producer = std::make_unique<DeviceDataProducer>(source);
        docks = std::make_unique<AnalysisDocks>(producer.get(), list, &window, menu);
        made = docks->consumers();
        for (const auto& [consumer, key] : made)
            ASSERT_NO_FATAL_FAILURE(kv4test::seed(*consumer));
    }
    AnalysisConsumer* consumerOf(const QString& filterKey) const {
        for (const auto& [consumer, key] : made)
            if (key == filterKey) return static_cast<AnalysisConsumer*>(consumer);
        return nullptr;
    }

    LibrarySampleSource source;
    std::unique_ptr<DeviceDataProducer> producer;
    std::vector<std::pair<DeviceDataConsumer*, QString>> made;
    QMainWindow window;
    QMenu* menu = nullptr;
    std::unique_ptr<AnalysisDocks> docks;
};

// As the main window gets them: the noise report and the RC estimation from the menu, tabbed
// together; a dock per current channel in each per-channel analysis's submenu, opened floating;
// each started from its toolbar on the consumer of its analysis, stopped when closed, and gone
// with the object that made them. (What each dock shows: its own journey.)
TEST_F(AnalysisDocksOnAmplifier, EachOpensFromTheMenuRunsFromItsDockAndGoesWithItsMaker) {
    ASSERT_NO_FATAL_FAILURE(connect("cedar"));
    bus->clock()->setTimeScale(2.0);
    amplifier().setCell(4, kv4test::noisyCell(5e-12));
    ASSERT_NO_FATAL_FAILURE(startProtocol("Constant", {{"Vhold", 50}}));
    ASSERT_NO_FATAL_FAILURE(makeDocks());
    auto* noise = consumerOf("NoiseReport");
    QPointer<NoiseReportWidget> dock = docks->dock<NoiseReportWidget>();
    ASSERT_TRUE(noise && dock);
    QAction* entry = menu->actions().value(0);
    entry->trigger();
    ASSERT_TRUE(dock->isVisible());
    QTest::mouseClick(dock->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    producer->start();
    // The RC estimation, opened too, is a tab beside it: behind that tab the noise report runs on,
    // until closing its dock stops it.
    QSignalSpy hidden(dock.data(), &QDockWidget::visibilityChanged);
    menu->actions().value(1)->trigger();
    auto* rc = window.findChild<QDockWidget*>("rcEstimationWidget");
    ASSERT_TRUE(rc && rc->isVisible() && window.tabifiedDockWidgets(dock).contains(rc));
    rc->raise();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !hidden.isEmpty() && !hidden.last()[0].toBool(); }));
    EXPECT_TRUE(noise->isRunning());
    menu->actions().value(1)->trigger();
    entry->trigger();
    EXPECT_FALSE(noise->isRunning());

    // The submenu, the consumer's key, the dock's name.
    const std::tuple<QString, QString, QString> perChannelAnalyses[] = {
        {"Histogram", "Histogram", "histogramWidget2"},
        {"Event detection", "EventDetection", "eventDetectionWidget2"},
        {"Spectrum", "Spectrum", "spectrumWidget2"},
        {"I/V Graph", "IVGraph", "ivGraphWidget2"},
    };
    for (const auto& [title, filterKey, objectName] : perChannelAnalyses) {
        SCOPED_TRACE(title.toStdString());
        AnalysisConsumer* consumer = consumerOf(filterKey);
        ASSERT_TRUE(consumer);
        QMenu* channels = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == title) channels = action->menu();
        ASSERT_TRUE(channels);
        ASSERT_EQ(channels->actions().size(), 4) << "one per current channel";

        channels->actions()[1]->trigger();
        auto* perChannel = window.findChild<AnalysisWidget*>(objectName);
        ASSERT_TRUE(perChannel);
        EXPECT_TRUE(perChannel->isVisible() && perChannel->isFloating());
        EXPECT_EQ(perChannel->windowTitle(), title + " - channel 2");
        QTest::mouseClick(perChannel->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
        EXPECT_TRUE(consumer->isRunning());
        channels->actions()[1]->trigger(); // closing the dock stops its analysis
        EXPECT_FALSE(consumer->isRunning());
    }
    producer->onStopProducing();
    docks.reset();
    EXPECT_FALSE(dock) << "the docks go with the object that made them";
    EXPECT_EQ(menu->actions().value(0)->text(), "Histogram") << "and their menu entries with them";
}

} // namespace
