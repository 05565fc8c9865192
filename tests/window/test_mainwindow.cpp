// The main window on virtual amplifiers at laptop and desktop sizes, driven as a user drives it:
// connections and disconnections, the layout kept per model, every control and channel within
// reach, the offset compensation's buttons, the analyses that act on the device, and the
// optional controls and accessories.

#include "accessories/velmorantemperaturecontrollogic.h"
#include "acquisition/devicedataproducer.h"
#include "acquisition/valuelabel.h"
#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plottab.h"
#include "simulator/virtualtemperaturecontroller.h"
#include "tests/analysis/dockdriver.h"
#include "tests/support/connectedwindow.h"
#include "tests/support/warningcapture.h"
#include "widgets/copyabletable.h"
#include "window/connectionlostdialog.h"
#include "window/errormanager.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QTabBar>
#include <QTextEdit>
#include <QToolButton>

#include <algorithm>
#include <numeric>

#include <serial.h>

namespace {

using kav4sim::DecodedCommand;
using namespace kv4test;

std::string rect(const QRect& r) {
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
}
QRect onScreen(const QWidget* widget) {
    return QRect(widget->mapToGlobal(QPoint()), widget->size());
}
template <typename Widget> Widget* withToolTip(const QWidget* in, const QString& toolTip) {
    for (Widget* widget : in->findChildren<Widget*>())
        if (widget->toolTip() == toolTip) return widget;
    return nullptr;
}

class MainWindowTest : public WindowTest {
  protected:
    PlotTab* tab() const { return window->findChild<PlotTab*>("plotTab"); }
    QString labbookText() const { return dock("labbook")->findChild<QTextEdit*>()->toPlainText(); }
};

// Qt keeps the tab bars of tabified docks in a pool that it fills over the first rounds and
// reuses: they are left out of the count.
qsizetype ownChildren(const QObject* window) {
    qsizetype n = 0;
    for (const QObject* o : window->findChildren<QObject*>()) {
        bool pooled = false;
        for (const QObject* p = o; p && !pooled; p = p->parent())
            pooled = qobject_cast<const QTabBar*>(p) != nullptr;
        n += !pooled;
    }
    return n;
}

struct DeviceSet {
    const char* models;
    int entries;
    QSize screen;
    bool dogwood, fir; // the offset compensation, CFast and offsets; the TTL output and accessories
};

class ConnectionRounds : public MainWindowTest, public ::testing::WithParamInterface<DeviceSet> {};

// "All" connects every listed amplifier; each round brings the model's docks and takes them all
// away again, leaving the window as it started.
TEST_P(ConnectionRounds, ConnectsAllAndTearsDownAgainAndAgain) {
    const DeviceSet& set = GetParam();
    open(set.models, set.entries, set.screen);
    EXPECT_FALSE(action("Advanced", "Reset")->isEnabled());
    // The first connection leaves what Qt creates once (the style sheet's style, menu windows):
    // later rounds must leave nothing more behind.
    qsizetype children = 0, windows = 0;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        connectTo("All");
        EXPECT_FALSE(combo()->isEnabled());
        EXPECT_TRUE(action("Advanced", "Synchronize devices")->isEnabled());
        EXPECT_EQ(action("Advanced", "Digital offset compensation")->isEnabled(), set.dogwood);
        EXPECT_EQ(dock("compensationsDw") != nullptr, set.dogwood);
        EXPECT_EQ(window->tabifiedDockWidgets(dock("protocolDw")).contains(dock("voltageOffsetDw")),
                  QString(set.models).startsWith("dogwood16"));
        for (const char* accessory : {"ttlDw", "firWasherCtrlDw", "velmoranTemperatureControlDw"})
            EXPECT_EQ(dock(accessory) != nullptr, set.fir) << accessory;
        // The producer runs: its meter sees the rows arrive. An interval may pass without rows:
        // the first may start before the data, and a loaded machine can hold the stream up.
        QSignalSpy rate(window->producer(), &DeviceDataProducer::bitRateComputed);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !rate.isEmpty() && rate.last().at(0).toDouble() > 0.0; }, 10000));

        disconnect();
        EXPECT_TRUE(combo()->isEnabled());
        EXPECT_EQ(window->producer(), nullptr);
        EXPECT_EQ(dock("acquisitionInfoDw"), nullptr);
        EXPECT_EQ(action("View", "Acquisition info"), nullptr);
        EXPECT_FALSE(action("Advanced", "Synchronize devices")->isEnabled());
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (round == 0) {
            children = ownChildren(window.get());
            windows = QApplication::topLevelWidgets().size();
        }
        EXPECT_EQ(ownChildren(window.get()), children);
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
    }
    std::vector<std::string> ids;
    EXPECT_EQ(kv4cl::detectDevices(ids), kv4cl::Success);
    EXPECT_EQ(int(ids.size()), set.entries - 1) << "every device free again";
    connectTo(combo()->itemText(1));
    EXPECT_FALSE(action("Advanced", "Synchronize devices")->isEnabled())
        << "one device is never synchronised";
}

INSTANTIATE_TEST_SUITE_P(
    Models, ConnectionRounds,
    ::testing::Values(DeviceSet{"dogwood16,dogwood16", 3, largeScreen, true, false},
                      DeviceSet{"fir,fir", 3, smallScreen, false, true}),
    [](const auto& info) {
        return std::string(info.param.models).substr(0, std::string(info.param.models).find(','));
    });

TEST_F(MainWindowTest, DevicesComeAndGoAndTheLiveViewFollowsTheControls) {
    // Amplifiers of different kinds are refused with the advice.
    open("cedar,elm", 3);
    combo()->setCurrentText("All");
    EXPECT_EQ(answer([&] { connectButton()->click(); }),
              ErrorManager::message(kv4cl::ErrorDifferentDeviceTypes) + ":\n" +
                  ErrorManager::detail(kv4cl::ErrorDifferentDeviceTypes));
    EXPECT_FALSE(window->isConnected());
    close();

    open("cedar,cedar", 3);
    window->onDevicesListChanged({"VCEDAR02"});
    EXPECT_EQ(combo()->count(), 1) << "All only for several";
    window->onDevicesListChanged({});
    EXPECT_FALSE(combo()->isEnabled());
    EXPECT_FALSE(connectButton()->isEnabled());
    window->onDevicesListChanged({"VCEDAR01", "VCEDAR02"});
    connectTo("VCEDAR01");

    // The plots start in the device's range; a range chosen in the Controls dock reaches them
    // through the consumer.
    ProtocolDataPlot* first = tab()->channelPlots().at(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return first->yAxis->label() == "pA"; }, 5000));
    button("controlsDw", "2 nA")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return std::abs(first->yAxis->range().upper - 0.2) < 1e-9; }, 5000));
    EXPECT_EQ(first->yAxis->label(), "pA") << "the same window, now held in nA, still reads in pA";

    // The warning's reset request reaches the device.
    const uint64_t resets = amplifier("VCEDAR01").command().resets;
    emit window->connectionLostDialog()->resetDevice();
    EXPECT_TRUE(sees("VCEDAR01", [&](const DecodedCommand& c) { return c.resets > resets; }));
    // A lost connection opens the warning; its Disconnect ends the connection and the warning.
    QPointer<ConnectionLostDialog> warning = window->connectionLostDialog();
    QTimer clicker; // the warning runs modally: it is clicked from inside its own loop
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (!warning || !warning->isVisible()) return;
        clicker.stop();
        QTest::mouseClick(warning->findChild<QPushButton*>(), Qt::LeftButton);
    });
    clicker.start(10);
    emit window->producer()->connectionLost();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isConnected(); }, 5000));
    EXPECT_TRUE(warning.isNull()) << "gone with the connection";
    EXPECT_EQ(window->findChildren<QShortcut*>().size(), 1u)
        << "shortcuts live with the connection, F10 aside";

    connectTo("All");
    window->onDevicesListChanged({"VCEDAR01", "VCEDAR02"});
    EXPECT_TRUE(window->isConnected()) << "the set connected with All is still listed";
    disconnect();
    connectTo("VCEDAR01");
    window->onDevicesListChanged({"VCEDAR02", "VCEDAR01"});
    EXPECT_TRUE(window->isConnected()) << "still listed";
    window->onDevicesListChanged({"VCEDAR02"});
    EXPECT_FALSE(window->isConnected());
    EXPECT_EQ(connectButton()->text(), "Connect");
}

TEST_F(MainWindowTest, TheLayoutIsKeptPerModelAndOneThatCannotBeReadIsDropped) {
    open("cedar,dogwood16", 3, smallScreen);
    // Each model gets a protocol dock of its own width.
    struct Layout {
        const char* device;
        int protocolWidth;
        int keptWidth = 0;
    } layouts[] = {{"VCEDAR01", 520}, {"VDOGWOOD1601", 380}};
    for (Layout& layout : layouts) {
        connectTo(layout.device);
        window->resizeDocks({dock("protocolDw")}, {layout.protocolWidth}, Qt::Horizontal);
        QCoreApplication::processEvents();
        layout.keptWidth = dock("protocolDw")->width();
        disconnect();
    }
    ASSERT_NE(layouts[0].keptWidth, layouts[1].keptWidth);
    // Disconnected at once, before its layout is back: what was kept stays.
    combo()->setCurrentText("VDOGWOOD1601");
    connectButton()->click();
    disconnect();
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.device);
        connectTo(layout.device);
        EXPECT_EQ(dock("protocolDw")->width(), layout.keptWidth);
        EXPECT_TRUE(dock("controlsDw")->isVisible());
        disconnect();
    }

    // A layout that cannot be read is dropped with a warning.
    QSettings settings;
    const QString cedar = "Preferences/UI/4.3.129/"; // the model's version, subversion and firmware
    const WarningCapture capture;
    settings.setValue(cedar + "mainWindow/state", QByteArray("not a layout"));
    settings.setValue(cedar + "acquisitionInfoDw/geometry", QString("not a rectangle"));
    connectTo("VCEDAR01");
    EXPECT_TRUE(
        capture.warnings.contains("The saved layout of the window cannot be restored: it is dropped"));
    EXPECT_TRUE(
        capture.warnings.contains("The saved geometry of acquisitionInfoDw is no rectangle: it is dropped"));
    EXPECT_FALSE(settings.contains(cedar + "mainWindow/state"));
    EXPECT_FALSE(settings.contains(cedar + "acquisitionInfoDw/geometry"));
}

// Visible within the window, once the scroll areas around it have brought the whole of it into
// view (a scroll area's own call would only show the text cursor of an input).
bool reachable(QWidget* widget, const QWidget* window) {
    for (QWidget* parent = widget->parentWidget(); parent; parent = parent->parentWidget()) {
        auto* area = qobject_cast<QScrollArea*>(parent);
        if (!area) continue;
        const QRect inArea(widget->mapTo(area->widget(), QPoint()), widget->size());
        QScrollBar* h = area->horizontalScrollBar();
        QScrollBar* v = area->verticalScrollBar();
        h->setValue(
            std::max(std::min(h->value(), inArea.left()), inArea.right() + 1 - area->viewport()->width()));
        v->setValue(
            std::max(std::min(v->value(), inArea.top()), inArea.bottom() + 1 - area->viewport()->height()));
    }
    const QRect inWindow(widget->mapTo(window, QPoint()), widget->size());
    return widget->isVisible() && window->rect().contains(inWindow) &&
           widget->visibleRegion().boundingRect() == widget->rect();
}

// Whether a scroll area of the dock scrolls sideways: a user would have to scroll to reach its
// content (a control cut at the dock's side is unreachable: the controls' check).
bool scrollsSideways(const QDockWidget* dock) {
    for (const QAbstractScrollArea* area : dock->findChildren<QAbstractScrollArea*>())
        if (area->isVisible() && area->horizontalScrollBar()->maximum() > 0) return true;
    return false;
}

// The models at both sizes, sixteen to sixty-four channels: whatever the protocol, every dock's
// controls are within reach and no dock scrolls sideways; the channels come in pages of readable
// plots.
TEST_F(MainWindowTest, EveryControlAndChannelIsWithinReach) {
    const struct {
        const char* models;
        int entries;
        QSize screen;
    } cases[] = {{"dogwood16", 1, smallScreen},
                 {"fir", 1, smallScreen},
                 {"dogwood32,dogwood32", 3, smallScreen},
                 {"dogwood16", 1, largeScreen},
                 {"fir", 1, largeScreen}};
    for (const auto& c : cases) {
        const QString model(c.models);
        SCOPED_TRACE(model.toStdString() + " at " + rect(QRect(QPoint(), c.screen)));
        open(c.models, c.entries, c.screen);
        connectTo(combo()->itemText(c.entries - 1));
        EXPECT_TRUE(window->width() <= c.screen.width() && window->height() <= c.screen.height());
        QDockWidget* protocolDock = dock("protocolDw");
        auto* protocols = protocolDock->findChild<QComboBox*>();
        // Each protocol in turn, picked with the keyboard.
        protocols->setFocus();
        QTest::keyClick(protocols, Qt::Key_Home);
        for (int p = 0; p < protocols->count(); p++) {
            if (p > 0) QTest::keyClick(protocols, Qt::Key_Down);
            ASSERT_EQ(protocols->currentIndex(), p);
            settle();
            EXPECT_FALSE(scrollsSideways(protocolDock)) << protocols->currentText().toStdString();
        }
        if (QDockWidget* histogram = dock("histogramWidget1"); histogram && model == "fir")
            histogram->toggleViewAction()->trigger(); // an analysis opened from its menu floats
        for (QDockWidget* shown : window->findChildren<QDockWidget*>()) {
            // A dock that shares its place with others shows once its tab is chosen.
            if (!window->tabifiedDockWidgets(shown).isEmpty()) shown->raise();
            settle();
            if (!shown->isVisible()) continue;
            SCOPED_TRACE(shown->objectName().toStdString());
            if (shown->isFloating()) {
                EXPECT_TRUE(onScreen(window.get()).contains(shown->frameGeometry()));
                continue;
            }
            EXPECT_FALSE(scrollsSideways(shown));
            for (QWidget* control : shown->widget()->findChildren<QWidget*>())
                if (control->isVisible() && control->focusPolicy() != Qt::NoFocus) {
                    EXPECT_TRUE(reachable(control, window.get()))
                        << control->metaObject()->className() << " " << control->objectName().toStdString();
                }
        }

        // Page after page, every channel once, each plot readable and within the window.
        QToolButton* next = withToolTip<QToolButton>(tab(), "Show the next page of channels");
        std::vector<int> seen;
        for (bool more = true; more;) {
            std::vector<int> page;
            for (int ch = 0; ch < tab()->currentChannels(); ch++)
                if (tab()->isOnScreen(ch)) page.push_back(ch);
            ASSERT_FALSE(page.empty());
            for (int ch : page) {
                const ProtocolSubPlot* sub = tab()->subPlot(ch);
                EXPECT_TRUE(sub->plot()->width() >= 180 && sub->plot()->height() >= 70) << ch;
                EXPECT_TRUE(window->rect().contains(QRect(sub->mapTo(window.get(), QPoint()), sub->size())))
                    << ch;
                seen.push_back(ch);
            }
            more = next->isVisible() && next->isEnabled();
            if (more) QTest::mouseClick(next, Qt::LeftButton);
            settle();
        }
        std::vector<int> all(size_t(tab()->currentChannels()));
        std::iota(all.begin(), all.end(), 0);
        EXPECT_EQ(seen, all) << "every channel once, page after page";

        close();
    }
}

// Whatever starts it, a channel's button shows whether the amplifier compensates its offset, and
// the all-channels button whether any channel does: without autostop until the user stops it,
// with autostop until the channel has settled. Over two amplifiers as one, the second one's
// channels show their own. Autostop is kept across a disconnection and sent again. The
// all-channels zap and power buttons reach both amplifiers.
TEST_F(MainWindowTest, TheCompensationButtonsShowWhichChannelsCompensateAndAutostopIsKept) {
    open("dogwood16,dogwood16", 3, smallScreen);
    connectTo("All");
    const auto reported = [](int ch, bool on) {
        return QTest::qWaitFor(
            [&] {
                std::vector<bool> running;
                if (kv4cl::getDigitalOffsetCompensationStates(running) != kv4cl::Success) return false;
                if (ch >= 0) return running[size_t(ch)] == on;
                return std::all_of(running.begin(), running.end(), [on](bool r) { return r == on; });
            },
            5000);
    };
    const QString tip = "Apply digital offset compensation to this channel";
    QToolButton* all = withToolTip<QToolButton>(dock("allChannelsControlsDw"),
                                                "Apply digital offset compensation to all channels");
    QToolButton* third = withToolTip<QToolButton>(tab()->subPlot(3), tip);
    QToolButton* other = withToolTip<QToolButton>(tab()->subPlot(20), tip);
    ASSERT_TRUE(all && third && other);
    const auto shown = [&] {
        return std::vector<bool>{all->isChecked(), third->isChecked(), other->isChecked()};
    };
    action("Advanced", "Digital offset compensation")->trigger();
    ASSERT_TRUE(reported(-1, true)) << "every channel compensating";
    EXPECT_EQ(shown(), std::vector<bool>({true, true, true}));
    QTest::mouseClick(third, Qt::LeftButton);
    ASSERT_TRUE(reported(3, false));
    EXPECT_EQ(shown(), std::vector<bool>({true, false, true}));
    QTest::mouseClick(all, Qt::LeftButton);
    ASSERT_TRUE(reported(-1, false)) << "none compensating";
    EXPECT_EQ(shown(), std::vector<bool>({false, false, false}));

    QAction* autostop = action("Advanced", "Digital offset compensation autostop");
    EXPECT_FALSE(autostop->isChecked()) << "off by default";
    autostop->trigger();
    QTest::mouseClick(third, Qt::LeftButton);
    EXPECT_TRUE(third->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == std::vector<bool>({false, false, false}); }, 5000));
    EXPECT_TRUE(amplifier("VDOGWOOD1601").command().offsetCompensation[3].on) << "stopped by the amplifier";
    disconnect();
    EXPECT_FALSE(autostop->isEnabled());
    // Read at connection and passed to the library, after the power-on message cleared it.
    const uint64_t messages = amplifier("VDOGWOOD1602").command().messages;
    connectTo("All");
    EXPECT_TRUE(autostop->isChecked());
    EXPECT_TRUE(reaches("VDOGWOOD1602", [&](const DecodedCommand& c) {
        return c.messages > messages && c.offsetCompensationAutostop;
    }));

    // The all-channels dock's zap and power buttons reach the second amplifier's channels too.
    const auto allChannels = [&](const QString& tipStart) {
        for (QToolButton* b : dock("allChannelsControlsDw")->findChildren<QToolButton*>())
            if (b->toolTip().startsWith(tipStart)) return b;
        return static_cast<QToolButton*>(nullptr);
    };
    QTest::mouseClick(allChannels("Zap all channels"), Qt::LeftButton);
    EXPECT_TRUE(reaches("VDOGWOOD1602", [](const DecodedCommand& c) { return c.zaps.at(15) == 1; }));
    QTest::mouseClick(allChannels("Switch all channels on/off."), Qt::LeftButton);
    EXPECT_TRUE(reaches("VDOGWOOD1602", [](const DecodedCommand& c) {
        return std::none_of(c.switchBankA.begin(), c.switchBankA.end(), [](bool on) { return on; });
    }));
    EXPECT_FALSE(tab()->isSwitchedOn(20));
}

// The analyses that act on the amplifier, opened from the Analysis menu. The RC estimation's
// capacitances reach the fast-capacitance compensation only when the user applies them, and an
// estimation left running at the disconnection leaves the stimulus the dock shows at the next
// connection. A channel the membrane monitor finds ruptured is switched off on the plots, in the
// amplifier and in the lab book.
TEST_F(MainWindowTest, AnalysesActOnTheAmplifierOnlyAsTheUserAsksAndLeaveItAsTheDocksShow) {
    open("dogwood16", 1);
    // Cells whose currents stay within the most sensitive range on both protocols.
    kav4sim::CellParameters cell;
    cell.membraneCapacitance = 10e-12;
    cell.membraneResistance = 2e9;
    cell.seriesResistance = 20e6;
    cell.fastCapacitance = 0.0;
    cell.channelConductance = 0.0;
    cell.resetArtefact = 0.0;
    cell.noiseRms = 1e-12;
    kav4sim::VirtualAmplifier& device = amplifier("VDOGWOOD1601");
    device.setCell(16, cell);
    showAt(smallScreen);
    connectTo("VDOGWOOD1601");
    const uint64_t latches = device.command().cFastLatches;
    // A rate of at least 10 kHz, where a sample comes before the membrane has charged.
    std::vector<kv4cl::Measurement_t> nominal;
    uint16_t defaultRate = 0;
    ASSERT_EQ(kv4cl::getSamplingRates(nominal, defaultRate), kv4cl::Success);
    QTest::mouseClick(button("controlsDw", valueLabel(*std::find_if(
                                               nominal.begin(), nominal.end(),
                                               [](const auto& r) { return r.getNoPrefixValue() >= 1e4; }))),
                      Qt::LeftButton);

    auto* rc = qobject_cast<RCEstimationWidget*>(dock("rcEstimationWidget"));
    action("Analysis", "RC Estimation")->trigger();
    rc->raise();
    settle();
    ASSERT_TRUE(rc->isVisible());
    QPushButton* applyAll = nullptr;
    for (QPushButton* b : rc->findChildren<QPushButton*>())
        if (b->toolTip() == "Compensate every channel with its capacitance estimate") applyAll = b;
    ASSERT_TRUE(applyAll && !applyAll->isEnabled()) << "nothing estimated yet";
    for (const auto& [name, value] :
         {std::pair{"Vpulse [mV]", "40"}, {"Tpulse [ms]", "20"}, {"Vamp [mV]", "50"}, {"TPeriod [ms]", "40"}})
        for (const QLabel* label : rc->findChildren<QLabel*>())
            if (label->text() == name) type(qobject_cast<QAbstractSpinBox*>(label->buddy()), value);
    QTest::mouseClick(rc->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    const auto filled = [&] {
        for (int row = 0; row < 2; row++)
            for (int c = 0; c < 16; c++)
                if (!rc->table()->item(row, c) || rc->table()->item(row, c)->text() == "-") return false;
        return true;
    };
    ASSERT_TRUE(QTest::qWaitFor(filled, 30000)) << "protocol " << device.command().protocolIdx;
    EXPECT_EQ(device.command().cFastLatches, latches) << "no estimate reaches the compensation by itself";
    // Applied, each channel's compensation takes the estimate shown.
    QTest::mouseClick(applyAll, Qt::LeftButton);
    ASSERT_TRUE(reaches("VDOGWOOD1601", [](const DecodedCommand& d) {
        return std::count(d.cFastEnabled.begin(), d.cFastEnabled.end(), true) == 16;
    }));
    for (int ch = 0; ch < 16; ch++)
        EXPECT_NEAR(device.command().cFast[size_t(ch)] / labelValue(rc->table()->item(1, ch)->text(), "F"),
                    1.0, 0.01)
            << ch;

    // An estimation left running at the disconnection: at the next connection the amplifier
    // holds what the stimulus dock shows.
    ASSERT_TRUE(reaches("VDOGWOOD1601", [&](const DecodedCommand& d) { return d.protocolIdx != 0; }));
    uint64_t starts = device.command().protocolStarts;
    disconnect();
    connectTo("VDOGWOOD1601");
    ASSERT_TRUE(
        reaches("VDOGWOOD1601",
                [&](const DecodedCommand& d) { return d.protocolStarts > starts && d.protocolIdx == 0; }))
        << "still playing protocol " << device.command().protocolIdx;

    // The stimulus holds at 50 mV, typed and applied with Return: a zapped membrane then draws
    // more than the range holds.
    QAbstractSpinBox* vhold = withToolTip<QAbstractSpinBox>(dock("protocolDw"), "CTRL UP/CTRL DOWN");
    type(vhold, "50", Qt::Key_Return);
    ASSERT_TRUE(sees("VDOGWOOD1601", [](const DecodedCommand& c) {
        return std::abs(c.protocolParameters.at("Vhold") - 0.05) < 1e-6;
    }));
    action("Analysis", "Membrane Monitor")->trigger();
    auto* monitor = qobject_cast<MembraneMonitorWidget*>(dock("membraneMonitorWidget"));
    ASSERT_TRUE(monitor && monitor->isVisible() && monitor->isFloating());
    type(monitor->minTimeBox(), "20");
    QTest::mouseClick(monitor->toolButton(AnalysisWidget::StartTool), Qt::LeftButton);
    const int ch = 12;
    withToolTip<QToolButton>(tab()->subPlot(ch), "Zap this channel")->click();
    ASSERT_TRUE(sees("VDOGWOOD1601", [&](const DecodedCommand& c) { return !c.switchBankA[size_t(ch)]; }))
        << "the amplifier switches the channel off";
    const DecodedCommand off = device.command();
    EXPECT_EQ(std::count(off.switchBankA.begin(), off.switchBankA.end(), false), 1) << "that channel alone";
    EXPECT_FALSE(tab()->isSwitchedOn(ch));
    EXPECT_EQ(monitor->icon(ch)->toolTip(), "Channel switched off.\nIts current saturated the 200 pA range.");
    EXPECT_EQ(
        labbookText().count(
            QString("Membrane Monitor, Channel switched off: %1, Current saturated the range").arg(ch + 1)),
        1)
        << labbookText().toStdString();
}

// The model with accessories, the temperature controller found on a virtual controller's port.
class AccessoriesTest : public MainWindowTest {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        VelmoranTemperatureControlLogic::installPortLister([this] {
            std::vector<serial::PortInfo> listed;
            if (controller.present())
                listed.push_back({controller.path(), "Velmoran Temperature Controller (virtual)", "n/a"});
            return listed;
        });
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        VelmoranTemperatureControlLogic::installPortLister({});
    }
    kav4sim::VirtualTemperatureController controller{{.ambient = 23.4}};
};

// Automatic ranging shows the range in force; the TTL dock sends only a train it takes; the
// washer turns at the presets typed; the temperature controller's readings go with the lab
// book's notes.
TEST_F(AccessoriesTest, AutoRangingTheTtlTrainTheWasherAndTheTemperatureReadingsWithTheNotes) {
    open("fir", 1, smallScreen);
    connectTo("VFIR01");
    QApplication::setActiveWindow(window.get());
    auto* inForce = dock("controlsDw")->findChild<QLabel*>("autoRangeLabel");
    QTest::mouseClick(button("controlsDw", "Auto"), Qt::LeftButton);
    EXPECT_TRUE(inForce->isVisible());
    EXPECT_EQ(inForce->text().toStdString(), "Range in force: 200 pA");
    // A cell far noisier than the range puts every sample at an edge: automatic ranging goes up,
    // its suggestion reaching the controls through the window's event loop.
    kav4sim::CellParameters noisy;
    noisy.noiseRms = 1e-6;
    amplifier("VFIR01").setCell(3, noisy);
    QTest::mouseClick(button("protocolDw", "Apply the current stimulus (ENTER/RETURN)"), Qt::LeftButton);
    EXPECT_TRUE(sees("VFIR01", [](const DecodedCommand& c) {
        return !c.currentRangeIdx.empty() && c.currentRangeIdx[0] == 1;
    }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return inForce->text() == "Range in force: 2 nA"; }, 5000));
    QTest::mouseClick(button("controlsDw", "20 nA"), Qt::LeftButton);
    EXPECT_FALSE(inForce->isVisible()) << "a range chosen ends Auto";

    QDockWidget* ttl = dock("ttlDw");
    const auto startTrain = [&](const char* duration) {
        for (const auto& [box, text] : {std::pair{"durationSpinBox", duration},
                                        {"periodSpinBox", "2.5"},
                                        {"delaySpinBox", "1000"},
                                        {"pulsesSpinBox", "300"}})
            type(ttl->findChild<QAbstractSpinBox*>(box), text);
        QTest::mouseClick(button("ttlDw", "Start"), Qt::LeftButton);
    };
    startTrain("250");
    ASSERT_TRUE(reaches("VFIR01", [](const DecodedCommand& c) { return c.ttl.count == 1; }));
    const DecodedCommand::TtlTrain train = amplifier("VFIR01").command().ttl; // in microseconds:
    EXPECT_EQ(std::tuple(std::lround(train.duration * 1e6), std::lround(train.period * 1e6),
                         std::lround(train.delay * 1e6), train.pulses),
              std::tuple(250L, 2500L, 1000L, 300u));
    // A pulse as long as its period is refused with its reason, and nothing is sent.
    startTrain("2500");
    EXPECT_EQ(ttl->findChild<QLabel*>("statusLine")->text(), "The duration must be shorter than the period");
    EXPECT_EQ(fenced("VFIR01").ttl.count, 1u);

    // Typed presets, signs included, reach the washer, which turns at the clicked one.
    QDockWidget* washer = dock("firWasherCtrlDw");
    ASSERT_TRUE(washer->isVisible());
    const QString presets[] = {"-20", "35", "100", "-100"};
    for (int i = 0; i < 4; i++)
        type(labelled<QSpinBox>(*washer, QString("preset speed %1").arg(i + 1)), presets[i]);
    button("firWasherCtrlDw", "Perform one rotation at preset speed 2")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return amplifier("VFIR01").washer()->lastStart() == 1; }, 5000));
    EXPECT_EQ(amplifier("VFIR01").washer()->speeds(), (kav4sim::Washer::Speeds{-20, 35, 100, -100}));
    EXPECT_FALSE(dock("firWasherCtrlDebugDw")->isVisible()) << "shown from the View menu";
    QDockWidget* temperature = dock("velmoranTemperatureControlDw");
    auto* reading = temperature->findChild<QLabel*>("temperatureLabel");
    ASSERT_TRUE(QTest::qWaitFor([&] { return reading->text() == "23.4°C"; }, 10000))
        << reading->text().toStdString();
    auto* line = dock("labbook")->findChild<QLineEdit*>();
    QTest::keyClicks(line, "warm enough");
    QTest::keyClick(line, Qt::Key_Return);
    EXPECT_TRUE(labbookText().contains("Written Note, 'warm enough', Temperature: 23.4 [°C]"))
        << labbookText().toStdString();
}

} // namespace
