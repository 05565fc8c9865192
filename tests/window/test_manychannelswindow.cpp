// Sixteen to sixty-four channels in the main window at laptop and desktop sizes, driven as a
// user drives it: pages of channel plots, each plot readable and each channel's actions within
// reach (its menu, its toolbar's overflow), and the current range of each channel and of all of
// them at once from the Controls dock, checked on the virtual amplifiers and in the library.

#include "commlib/api/kv4cl.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plottab.h"
#include "tests/support/connectedwindow.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDockWidget>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numeric>

namespace {

using kav4sim::DecodedCommand;
using namespace std::chrono_literals;

const QSize smallScreen(1366, 768);
const QSize largeScreen(1920, 1080);

std::string sizeName(QSize size) {
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

template <typename Widget> Widget* withToolTip(const QWidget* in, const QString& toolTip) {
    for (Widget* widget : in->findChildren<Widget*>())
        if (widget->toolTip() == toolTip) return widget;
    return nullptr;
}

QRect inWindow(const QWidget* widget) {
    return QRect(widget->mapTo(widget->window(), QPoint()), widget->size());
}

// Clicks the entry of the menu that the button opens. An open menu runs an event loop of its own,
// so the click is made from a timer that waits for the menu; without the entry the menu closes.
bool chooseFromPopup(QToolButton* opener, const QString& entry) {
    bool chosen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu) return;
        poll.stop();
        for (QAction* action : menu->actions())
            if (action->text() == entry) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                chosen = true;
            }
        if (!chosen) menu->close();
    });
    poll.start(10);
    QTest::mouseClick(opener, Qt::LeftButton);
    return QTest::qWaitFor([&] { return !poll.isActive(); }, 2000) && chosen;
}

class ManyChannelsWindow : public kv4test::WindowTest {
  protected:
    // The window at the screen's size, connected to `entry` of the listed amplifiers.
    void openAt(const char* models, int entries, const QString& entry, QSize size) {
        open(models, entries);
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        connectTo(entry);
        ASSERT_TRUE(restored.wait(5000));
        QCoreApplication::sendPostedEvents();
    }
    PlotTab* tab() const { return window->findChild<PlotTab*>("plotTab"); }
    QToolButton* nextPage() const {
        return withToolTip<QToolButton>(tab(), "Show the next page of channels");
    }
    // Clicks the next-page button; false on the last page.
    bool turnPage() const {
        QToolButton* next = nextPage();
        if (!next->isVisible() || !next->isEnabled()) return false;
        QTest::mouseClick(next, Qt::LeftButton);
        QCoreApplication::sendPostedEvents();
        return true;
    }
    std::vector<int> currentsOnScreen() const {
        std::vector<int> channels;
        for (int ch = 0; ch < tab()->currentChannels(); ch++)
            if (tab()->isOnScreen(ch)) channels.push_back(ch);
        return channels;
    }
    // Right-clicks the widget at `at` as the window system does (the press, then a context-menu
    // event, which QTest's click would not make), and returns the channel's menu once open.
    QMenu* rightClick(int ch, QWidget* on, QPoint at) const {
        QTest::mousePress(on, Qt::RightButton, {}, at);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, on->mapToGlobal(at));
        QApplication::sendEvent(on, &event);
        QTest::mouseRelease(on, Qt::RightButton, {}, at);
        QMenu* menu = tab()->subPlot(ch)->menu();
        return QTest::qWaitFor([&] { return menu->isVisible(); }, 1000) ? menu : nullptr;
    }
    QMenu* openChannelMenu(int ch) const {
        QLabel* title = tab()->subPlot(ch)->findChild<QLabel*>();
        return rightClick(ch, title, title->rect().center());
    }
    static void choose(QMenu* menu, const QString& text) {
        for (QAction* action : menu->actions())
            if (action->text() == text) {
                QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                return;
            }
        ADD_FAILURE() << "no " << text.toStdString() << " in the menu";
    }
    kav4sim::VirtualAmplifier& amplifier(const std::string& id) const { return *simulation->amplifier(id); }
};

TEST_F(ManyChannelsWindow, EveryChannelIsOnAReadablePageWithItsActionsWithinReach) {
    const struct {
        const char* models;
        int entries;
        const char* entry;
    } cases[] = {
        {"dogwood16", 1, "VDOGWOOD1601"},
        {"dogwood32", 1, "VDOGWOOD3201"},
        {"dogwood32,dogwood32", 3, "All"},
        {"fir", 1, "VFIR01"},
    };
    for (const auto& c : cases)
        for (const QSize screen : {smallScreen, largeScreen}) {
            SCOPED_TRACE(std::string(c.entry) + " " + c.models + " at " + sizeName(screen));
            ASSERT_NO_FATAL_FAILURE(openAt(c.models, c.entries, c.entry, screen));
            std::vector<int> seen;
            do {
                const std::vector<int> page = currentsOnScreen();
                ASSERT_FALSE(page.empty());
                for (int ch : page) {
                    SCOPED_TRACE(ch);
                    seen.push_back(ch);
                    const ProtocolSubPlot* sub = tab()->subPlot(ch);
                    EXPECT_GE(sub->plot()->width(), 180);
                    EXPECT_GE(sub->plot()->height(), 70);
                    EXPECT_TRUE(window->rect().contains(inWindow(sub)));
                    // Nothing clickable within 12 pixels of the switch on its row, the
                    // neighbouring sub-plot's buttons included.
                    const QRect power = inWindow(sub->switchButton());
                    for (const QToolButton* button : tab()->findChildren<QToolButton*>()) {
                        const QRect other = inWindow(button);
                        if (!button->isVisible() || other.bottom() < power.top() ||
                            other.top() > power.bottom())
                            continue;
                        EXPECT_GE(std::max(other.left() - power.right(), power.left() - other.right()), 12)
                            << button->toolTip().toStdString();
                    }
                }
                // The first channel of the page: every action from its menu.
                QMenu* menu = openChannelMenu(page.front());
                ASSERT_TRUE(menu);
                QStringList entries;
                for (const QAction* action : menu->actions())
                    entries << action->text();
                menu->close();
                EXPECT_TRUE(entries.contains("Maximize this channel's plot size"));
                EXPECT_EQ(entries.contains("Zap this channel"), QString(c.models).startsWith("dogwood"));
                // Whatever its toolbar holds, shown or folded away.
                for (const QToolButton* button : tab()->subPlot(page.front())->findChildren<QToolButton*>()) {
                    if (button->objectName() == "qt_toolbar_ext_button") continue;
                    EXPECT_TRUE(entries.contains(button->toolTip())) << button->toolTip().toStdString();
                }
            } while (turnPage());
            std::vector<int> all(size_t(tab()->currentChannels()));
            std::iota(all.begin(), all.end(), 0);
            EXPECT_EQ(seen, all) << "every channel once, page after page";
            close();
        }
}

TEST_F(ManyChannelsWindow, AChannelIsMaximisedFromItsMenuAndZappedFromItsToolbar) {
    ASSERT_NO_FATAL_FAILURE(openAt("dogwood32", 1, "VDOGWOOD3201", smallScreen));
    ASSERT_TRUE(turnPage());
    const std::vector<int> page = currentsOnScreen();
    ASSERT_FALSE(page.empty());
    const int ch = page.front();
    EXPECT_GT(ch, 0) << "the second page";

    // A right click on the data zooms out; on the axes it opens the channel's menu.
    ProtocolDataPlot* plot = tab()->subPlot(ch)->plot();
    const QRect canvas = plot->axisRect()->rect();
    EXPECT_FALSE(rightClick(ch, plot, canvas.center()));
    QMenu* menu = rightClick(ch, plot, QPoint(canvas.left() / 2, canvas.center().y()));
    ASSERT_TRUE(menu);
    choose(menu, "Maximize this channel's plot size");
    ASSERT_TRUE(tab()->isMaximized());
    EXPECT_EQ(tab()->maximizedChannel(), ch);
    QCoreApplication::sendPostedEvents();
    EXPECT_GT(tab()->subPlot(ch)->plot()->width(), 400);
    // Maximised, the whole toolbar shows.
    QToolButton* zap = withToolTip<QToolButton>(tab()->subPlot(ch), "Zap this channel");
    ASSERT_TRUE(zap && zap->isVisible());
    QTest::mouseClick(zap, Qt::LeftButton);
    EXPECT_TRUE(amplifier("VDOGWOOD3201")
                    .waitForCommand([&](const DecodedCommand& c) { return c.zaps[size_t(ch)] == 1; }, 5s));
    QToolButton* restore =
        withToolTip<QToolButton>(tab()->subPlot(ch), "Return this channel's plot to normal size");
    ASSERT_TRUE(restore);
    QTest::mouseClick(restore, Qt::LeftButton);
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(tab()->isMaximized());
    EXPECT_EQ(currentsOnScreen(), page) << "back on its page";

    // In the grid the last channel of the page folds its device actions into the overflow.
    const int last = page.back();
    auto* more = tab()->subPlot(last)->findChild<QToolButton*>("qt_toolbar_ext_button");
    ASSERT_TRUE(more && more->isVisible());
    EXPECT_TRUE(chooseFromPopup(more, "Apply digital offset compensation to this channel"));
    EXPECT_TRUE(amplifier("VDOGWOOD3201")
                    .waitForCommand(
                        [&](const DecodedCommand& c) { return c.offsetCompensation[size_t(last)].on; }, 5s));
    EXPECT_FALSE(amplifier("VDOGWOOD3201").command().offsetCompensation[size_t(ch)].on);
}

// Whether every point the channel's plot shows is a whole number of steps of `step` (in the
// plot's unit), and the plot shows a whole sweep.
bool onSteps(const ProtocolDataPlot* plot, double step) {
    const auto data = plot->graph(0)->data();
    if (data->size() < 100) return false;
    for (auto point = data->constBegin(); point != data->constEnd(); ++point) {
        const double steps = point->value / step;
        if (std::abs(steps - std::round(steps)) > 1e-3) return false;
    }
    return true;
}

TEST_F(ManyChannelsWindow, CurrentRangesAreSetPerChannelAndForAllFromOneTable) {
    const struct {
        const char* models;
        int entries;
        const char* entry;
        int channel; // on the last amplifier
    } cases[] = {
        {"dogwood16", 1, "VDOGWOOD1601", 13},
        {"dogwood16,dogwood16", 3, "All", 29},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        ASSERT_NO_FATAL_FAILURE(openAt(c.models, c.entries, c.entry, smallScreen));
        QDockWidget* controls = dock("controlsDw");
        auto* table = controls->findChild<QWidget*>("currentRangeTable");
        auto* scroll = controls->findChild<QScrollArea*>();
        ASSERT_TRUE(table && scroll);
        EXPECT_LE(table->width(), scroll->viewport()->width()) << "no sideways scrolling";
        const int channels = tab()->currentChannels();
        const std::string last = c.channel < 16 ? "VDOGWOOD1601" : "VDOGWOOD1602";
        const size_t local = size_t(c.channel % 16);

        // One channel to 200 nA, in its row.
        auto* row = withToolTip<QRadioButton>(table, QString("Ch%1: 200 nA").arg(c.channel + 1));
        ASSERT_TRUE(row);
        scroll->ensureWidgetVisible(row);
        QTest::mouseClick(row, Qt::LeftButton);
        ASSERT_TRUE(amplifier(last).waitForCommand(
            [&](const DecodedCommand& d) { return d.currentRangeIdx[local] == 3; }, 5s));
        EXPECT_EQ(amplifier(last).command().currentRangeIdx[local - 1], 0);
        kv4cl::RangedMeasurement_t range;
        ASSERT_EQ(kv4cl::getCurrentRange(range, uint16_t(c.channel)), kv4cl::Success);
        EXPECT_EQ(range.max, 200.0);
        EXPECT_EQ(range.prefix, kv4cl::UnitPfxNano);
        ASSERT_EQ(kv4cl::getCurrentRange(range, uint16_t(c.channel - 1)), kv4cl::Success);
        EXPECT_EQ(range.prefix, kv4cl::UnitPfxPico);
        // What the amplifier reports for it comes in steps of the wide range; its neighbour's
        // 2 pA of noise does not.
        while (!tab()->isOnScreen(c.channel) && turnPage()) {
        }
        ASSERT_TRUE(tab()->isOnScreen(c.channel - 1));
        const double wideStep = 400.0 / 65536.0; // nA
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return onSteps(tab()->channelPlots()[size_t(c.channel)], wideStep); }, 5000));
        EXPECT_FALSE(onSteps(tab()->channelPlots()[size_t(c.channel - 1)], wideStep * 1000.0));

        // Every channel to 2 nA from the "set all" row.
        auto* all = withToolTip<QRadioButton>(table, "Set every channel to 2 nA");
        ASSERT_TRUE(all);
        EXPECT_FALSE(all->isChecked());
        scroll->ensureWidgetVisible(all);
        QTest::mouseClick(all, Qt::LeftButton);
        for (const std::string& id : {std::string("VDOGWOOD1601"), last})
            EXPECT_TRUE(amplifier(id).waitForCommand(
                [](const DecodedCommand& d) { return d.currentRangeIdx == std::vector<uint16_t>(16, 1); },
                5s))
                << id;
        for (int ch = 0; ch < channels; ch++) {
            ASSERT_EQ(kv4cl::getCurrentRange(range, uint16_t(ch)), kv4cl::Success);
            EXPECT_EQ(range.max, 2.0) << ch;
            EXPECT_TRUE(withToolTip<QRadioButton>(table, QString("Ch%1: 2 nA").arg(ch + 1))->isChecked())
                << ch;
        }
        EXPECT_TRUE(all->isChecked());
        close();
    }
}

} // namespace
