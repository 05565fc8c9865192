// The optional controls in the main window: the all-channels dock's and the sub-plots' digital
// offset compensation and zap buttons, the Advanced menu's actions with the autostop preference,
// and the "TTL" dock, each only on the models that have them and each reaching the virtual
// amplifier when a user clicks or types, at 1366 x 768.

#include "commlib/api/kv4cl.h"
#include "plots/plottab.h"
#include "tests/support/connectedwindow.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {

using kav4sim::DecodedCommand;
using namespace std::chrono_literals;

const QString allCompensationTip = "Apply digital offset compensation to all channels";
const QString allZapTip = "Zap all channels";
const QString channelCompensationTip = "Apply digital offset compensation to this channel";
const QString channelZapTip = "Zap this channel";
const QString compensationAction = "Digital offset compensation";
const QString autostopAction = "Digital offset compensation autostop";
const QString autostopKey = "Preferences/digitalOffsetCompensationAutostop";

QToolButton* toolButton(QWidget* in, const QString& toolTip) {
    for (QToolButton* b : in->findChildren<QToolButton*>())
        if (b->toolTip() == toolTip) return b;
    return nullptr;
}

class OptionalControlsWindow : public kv4test::WindowTest {
  protected:
    void openAt(const char* model) {
        open(model, 1);
        window->resize(1366, 768);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        connectAgain();
    }
    void connectAgain() {
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        connectTo(combo()->itemText(0));
        ASSERT_TRUE(restored.wait(5000));
        QCoreApplication::sendPostedEvents();
    }

    kav4sim::VirtualAmplifier& amplifier() const {
        return *simulation->amplifier(combo()->itemText(0).toStdString());
    }
    bool reaches(const std::function<bool(const DecodedCommand&)>& done) const {
        return amplifier().waitForCommand(done, 10s);
    }
    PlotTab* plotTab() const { return window->findChild<PlotTab*>("plotTab"); }

    QAction* advanced(const QString& text) const {
        for (QAction* top : window->menuBar()->actions())
            if (top->text().remove('&') == "Advanced")
                for (QAction* item : top->menu()->actions())
                    if (item->text() == text) return item;
        return nullptr;
    }
    // Opens the Advanced menu from the menu bar and clicks the entry, as a user does.
    void chooseFromAdvanced(const QString& text) {
        QMenuBar* bar = window->menuBar();
        QAction* top = nullptr;
        for (QAction* a : bar->actions())
            if (a->text().remove('&') == "Advanced") top = a;
        ASSERT_TRUE(top);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(top).center());
        QMenu* menu = top->menu();
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 5000));
        QAction* item = advanced(text);
        ASSERT_TRUE(item);
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->isVisible(); }, 5000));
    }
};

TEST_F(OptionalControlsWindow, ControlsAppearOnlyOnTheModelsThatHaveThem) {
    struct Case {
        const char* model;
        bool compensation; // with its autostop
        bool zap;
        bool ttl;
    };
    const Case cases[] = {
        {"dogwood16", true, true, false},
        {"dogwood32", true, true, false},
        {"fir", false, false, true},
        {"cedar", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        openAt(c.model);
        QDockWidget* all = dock("allChannelsControlsDw");
        ASSERT_TRUE(all);
        EXPECT_EQ(toolButton(all, allCompensationTip) != nullptr, c.compensation);
        EXPECT_EQ(toolButton(all, allZapTip) != nullptr, c.zap);
        for (int ch : {0, plotTab()->currentChannels() - 1}) {
            EXPECT_EQ(toolButton(plotTab()->subPlot(ch), channelCompensationTip) != nullptr, c.compensation);
            EXPECT_EQ(toolButton(plotTab()->subPlot(ch), channelZapTip) != nullptr, c.zap);
        }
        EXPECT_EQ(advanced(compensationAction)->isEnabled(), c.compensation);
        EXPECT_EQ(advanced(autostopAction)->isEnabled(), c.compensation);

        QDockWidget* ttl = dock("ttlDw");
        ASSERT_EQ(ttl != nullptr, c.ttl);
        if (ttl) {
            EXPECT_EQ(ttl->windowTitle(), "TTL");
            EXPECT_EQ(window->dockWidgetArea(ttl), Qt::RightDockWidgetArea);
            EXPECT_TRUE(ttl->isFloating());
            QStringList labels;
            for (const QLabel* label : ttl->findChildren<QLabel*>())
                labels << label->text();
            for (const char* label : {"Duration [us]", "Period [ms]", "Delay [us]", "Pulses"})
                EXPECT_TRUE(labels.contains(label)) << label;
            EXPECT_TRUE(button("ttlDw", "Start"));
            // The boxes take the library's bounds, in the units of their labels.
            const auto* duration = ttl->findChild<QDoubleSpinBox*>("durationSpinBox");
            const auto* period = ttl->findChild<QDoubleSpinBox*>("periodSpinBox");
            const auto* delay = ttl->findChild<QDoubleSpinBox*>("delaySpinBox");
            const auto* pulses = ttl->findChild<QSpinBox*>("pulsesSpinBox");
            ASSERT_TRUE(duration && period && delay && pulses);
            EXPECT_EQ(std::make_pair(duration->minimum(), duration->maximum()), std::make_pair(1.0, 10000.0));
            EXPECT_EQ(std::make_pair(period->minimum(), period->maximum()), std::make_pair(0.1, 10000.0));
            EXPECT_EQ(period->decimals(), 1);
            EXPECT_EQ(std::make_pair(delay->minimum(), delay->maximum()), std::make_pair(0.0, 1e6));
            EXPECT_EQ(std::make_pair(pulses->minimum(), pulses->maximum()), std::make_pair(1, 1000));
        }
        close();
    }
}

TEST_F(OptionalControlsWindow, ClicksReachTheVirtualAmplifier) {
    openAt("dogwood16");
    const auto compensating = [](const DecodedCommand& c, bool on) {
        return std::all_of(c.offsetCompensation.begin(), c.offsetCompensation.end(),
                           [on](const DecodedCommand::CompensationOrder& o) { return o.on == on; });
    };
    QDockWidget* all = dock("allChannelsControlsDw");
    QTest::mouseClick(toolButton(all, allCompensationTip), Qt::LeftButton);
    ASSERT_TRUE(reaches([&](const DecodedCommand& c) { return compensating(c, true); }));
    QTest::mouseClick(toolButton(all, allCompensationTip), Qt::LeftButton);
    ASSERT_TRUE(reaches([&](const DecodedCommand& c) { return compensating(c, false); }));

    QTest::mouseClick(toolButton(all, allZapTip), Qt::LeftButton);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) {
        return std::all_of(c.zaps.begin(), c.zaps.end(), [](uint64_t n) { return n == 1; });
    }));
    // One channel's buttons act on that channel alone.
    QTest::mouseClick(toolButton(plotTab()->subPlot(2), channelZapTip), Qt::LeftButton);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.zaps[2] == 2; }));
    QTest::mouseClick(toolButton(plotTab()->subPlot(3), channelCompensationTip), Qt::LeftButton);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.offsetCompensation[3].count == 3; }));
    DecodedCommand c = amplifier().command();
    EXPECT_EQ(c.zaps[1], 1u);
    EXPECT_TRUE(c.offsetCompensation[3].on);
    EXPECT_FALSE(c.offsetCompensation[4].on);
    EXPECT_EQ(c.offsetCompensation[4].count, 2u);
    EXPECT_EQ(amplifier().cell(2).membraneResistance, kav4sim::VirtualAmplifier::zappedMembraneResistance);

    // The Advanced menu starts it on every channel.
    chooseFromAdvanced(compensationAction);
    ASSERT_TRUE(reaches([&](const DecodedCommand& d) { return compensating(d, true); }));
    EXPECT_EQ(amplifier().command().offsetCompensation[0].count, 3u);
}

// Whatever starts it, a channel's button shows whether the amplifier compensates its offset, and
// the all-channels button whether any channel does: without autostop until the user stops it
// (the channel's button, or the all-channels one for all), with autostop until the channel has
// settled. Over two amplifiers as one, the second one's channels show their own.
TEST_F(OptionalControlsWindow, TheButtonsShowWhichChannelsCompensateUntilStopped) {
    struct Case {
        const char* models;
        int entries;
        const char* entry;
        int other; // a channel of the last amplifier
    };
    const Case cases[] = {{"dogwood16", 1, "VDOGWOOD1601", 12}, {"dogwood16,dogwood16", 3, "All", 20}};
    // What the amplifiers report for a channel, or for every channel (-1).
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        open(c.models, c.entries);
        window->resize(1366, 768);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        connectTo(c.entry);
        ASSERT_TRUE(restored.wait(5000));
        kav4sim::VirtualAmplifier* first = simulation->amplifier("VDOGWOOD1601");
        QToolButton* all = toolButton(dock("allChannelsControlsDw"), allCompensationTip);
        QToolButton* third = toolButton(plotTab()->subPlot(3), channelCompensationTip);
        QToolButton* other = toolButton(plotTab()->subPlot(c.other), channelCompensationTip);
        ASSERT_TRUE(first && all && third && other);
        // The title row says it too, for a button folded away in the toolbar's overflow.
        QLabel* thirdMark = nullptr;
        for (QLabel* label : plotTab()->subPlot(3)->findChildren<QLabel*>())
            if (label->toolTip() == "Digital offset compensation running") thirdMark = label;
        ASSERT_TRUE(thirdMark);
        const auto shown = [&] {
            EXPECT_EQ(thirdMark->isVisible(), third->isChecked());
            return std::vector<bool>{all->isChecked(), third->isChecked(), other->isChecked()};
        };

        chooseFromAdvanced(compensationAction);
        EXPECT_EQ(shown(), std::vector<bool>({true, true, true}));
        ASSERT_TRUE(reported(-1, true)) << "every channel compensating";
        EXPECT_EQ(shown(), std::vector<bool>({true, true, true}));

        QTest::mouseClick(third, Qt::LeftButton);
        EXPECT_EQ(shown(), std::vector<bool>({true, false, true}));
        ASSERT_TRUE(reported(3, false));
        EXPECT_FALSE(first->command().offsetCompensation[3].on);
        EXPECT_EQ(shown(), std::vector<bool>({true, false, true}));

        QTest::mouseClick(all, Qt::LeftButton);
        EXPECT_EQ(shown(), std::vector<bool>({false, false, false}));
        ASSERT_TRUE(reported(-1, false)) << "none compensating";
        EXPECT_EQ(shown(), std::vector<bool>({false, false, false}));

        // With autostop the channel stops by itself, and its button shows it.
        chooseFromAdvanced(autostopAction);
        QTest::mouseClick(third, Qt::LeftButton);
        EXPECT_TRUE(third->isChecked());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return shown() == std::vector<bool>({false, false, false});
            },
            5000));
        EXPECT_TRUE(first->command().offsetCompensation[3].on) << "stopped by the amplifier";
        close();
    }
}

TEST_F(OptionalControlsWindow, AutostopIsKeptAcrossADisconnect) {
    openAt("dogwood16");
    QAction* autostop = advanced(autostopAction);
    EXPECT_FALSE(autostop->isChecked()) << "off by default";
    chooseFromAdvanced(autostopAction);
    EXPECT_TRUE(autostop->isChecked());
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.offsetCompensationAutostop; }));
    disconnect();
    EXPECT_TRUE(QSettings().value(autostopKey).toBool());
    EXPECT_FALSE(autostop->isEnabled());

    // Read at connection and passed to the library, after the power-on message cleared it.
    const uint64_t messages = amplifier().command().messages;
    connectAgain();
    EXPECT_TRUE(autostop->isEnabled());
    EXPECT_TRUE(autostop->isChecked());
    ASSERT_TRUE(reaches(
        [&](const DecodedCommand& c) { return c.messages > messages && c.offsetCompensationAutostop; }));
    chooseFromAdvanced(autostopAction);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return !c.offsetCompensationAutostop; }));
    disconnect();
    EXPECT_FALSE(QSettings().value(autostopKey, true).toBool());
}

TEST_F(OptionalControlsWindow, TtlDockSendsWhatIsTyped) {
    openAt("fir");
    QDockWidget* ttl = dock("ttlDw");
    ASSERT_TRUE(ttl);
    const auto type = [&](const char* box, const QString& text) {
        auto* spinBox = ttl->findChild<QAbstractSpinBox*>(box);
        ASSERT_TRUE(spinBox) << box;
        spinBox->setFocus();
        QTest::keyClick(spinBox, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(spinBox, text);
        QTest::keyClick(spinBox, Qt::Key_Tab);
    };
    type("durationSpinBox", "250");
    type("periodSpinBox", "2.5");
    type("delaySpinBox", "1000");
    type("pulsesSpinBox", "300");
    QTest::mouseClick(button("ttlDw", "Start"), Qt::LeftButton);
    ASSERT_TRUE(reaches([](const DecodedCommand& c) { return c.ttl.count == 1; }));
    const DecodedCommand::TtlTrain train = amplifier().command().ttl;
    EXPECT_NEAR(train.duration, 250e-6, 1e-12);
    EXPECT_NEAR(train.period, 2.5e-3, 1e-12);
    EXPECT_NEAR(train.delay, 1e-3, 1e-12);
    EXPECT_EQ(train.pulses, 300u);
    auto* status = ttl->findChild<QLabel*>("statusLine");
    EXPECT_EQ(status->text(), "");

    // A pulse as long as its period is refused with its reason, and nothing is sent.
    type("durationSpinBox", "2500");
    QTest::mouseClick(button("ttlDw", "Start"), Qt::LeftButton);
    EXPECT_EQ(status->text(), "The duration must be shorter than the period");
    const uint64_t resets = amplifier().command().resets;
    ASSERT_EQ(kv4cl::resetDevice(), kv4cl::Success); // a later message: once it is in, all are
    ASSERT_TRUE(reaches([&](const DecodedCommand& c) { return c.resets > resets; }));
    EXPECT_EQ(amplifier().command().ttl.count, 1u);
}

} // namespace
