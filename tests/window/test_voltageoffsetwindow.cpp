// The "Voltage offsets" dock in the main window at real screen sizes: there only for models
// with offsets, a tab beside the protocol dock, and used from there as a user does; the pulse
// keys of the all-channels dock in the window.

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"
#include "tests/support/connectedwindow.h"
#include "widgets/steppedspinbox.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using kav4sim::DecodedCommand;

class VoltageOffsetWindow : public kv4test::WindowTest {
  protected:
    void openAt(const char* model, QSize size) {
        open(model, 1);
        ASSERT_NO_FATAL_FAILURE(showAndConnectFirst(size));
    }
    const kav4sim::VirtualAmplifier& amplifier() const {
        return *simulation->amplifier(combo()->itemText(0).toStdString());
    }
    DecodedCommand fenced() const {
        const uint64_t resets = amplifier().command().resets;
        EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
        EXPECT_TRUE(amplifier().waitForCommand([&](const DecodedCommand& c) { return c.resets > resets; },
                                               std::chrono::seconds(5)));
        return amplifier().command();
    }

    // Clicks the tab titled `text` in the first tab bar that has it, within `parent`.
    static bool clickTab(const QWidget& parent, const QString& text) {
        for (QTabBar* bar : parent.findChildren<QTabBar*>())
            for (int i = 0; i < bar->count(); i++)
                if (bar->tabText(i) == text) {
                    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
                    QCoreApplication::sendPostedEvents();
                    return true;
                }
        return false;
    }
    // The widget in a row of a tab of the offsets dock.
    template <typename Widget> Widget* offsetCell(int tab, int channel, int column) const {
        auto* page = dock("voltageOffsetDw")->findChild<QTabWidget*>()->widget(tab);
        QLayoutItem* item = page->findChild<QGridLayout*>()->itemAtPosition(channel + 1, column);
        return item ? qobject_cast<Widget*>(item->widget()) : nullptr;
    }
    // Whole within the window and clipped by none of its parents, such as a scroll area.
    bool onScreen(const QWidget* widget) const {
        const QRect inWindow(widget->mapTo(window.get(), QPoint(0, 0)), widget->size());
        return widget->isVisible() && window->rect().contains(inWindow) &&
               widget->visibleRegion() == QRegion(widget->rect());
    }
};

const QSize screens[] = {{1366, 768}, {1920, 1080}};

TEST_F(VoltageOffsetWindow, OnlyForModelsWithOffsetsBesideTheProtocolDock) {
    for (const char* model : {"dogwood16", "cedar", "dogwood32"}) {
        SCOPED_TRACE(model);
        openAt(model, screens[0]);
        QDockWidget* protocol = dock("protocolDw");
        ASSERT_TRUE(protocol);
        QDockWidget* offsets = dock("voltageOffsetDw");
        const bool expected = std::string(model) == "dogwood16";
        EXPECT_EQ(offsets != nullptr, expected);
        const QList<QDockWidget*> beside = window->tabifiedDockWidgets(protocol);
        EXPECT_EQ(beside, expected ? QList<QDockWidget*>{offsets} : QList<QDockWidget*>{});
        if (offsets) {
            EXPECT_EQ(offsets->windowTitle(), "Voltage offsets");
            EXPECT_EQ(window->dockWidgetArea(offsets), Qt::RightDockWidgetArea);
            EXPECT_FALSE(protocol->visibleRegion().isEmpty()) << "the protocol dock is the tab raised";
            EXPECT_FALSE(offsets->isVisible() && !offsets->visibleRegion().isEmpty());
        }
        close();
    }
}

TEST_F(VoltageOffsetWindow, AnOffsetTypedInTheWindowComesBackAndThePulseKeysFireOnce) {
    struct Case {
        QSize screen;
        int channel;
        QString typed, shown;
    };
    const Case cases[] = {
        {screens[0], 0, "25", "+25.0 mV"},
        {screens[1], 3, "-7.5", "-7.5 mV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.screen.width()));
        openAt("dogwood16", c.screen);
        ASSERT_TRUE(clickTab(*window, "Voltage offsets"));
        auto* box = offsetCell<SteppedSpinBox>(0, c.channel, 1);
        ASSERT_TRUE(box);
        EXPECT_TRUE(onScreen(box));
        EXPECT_TRUE(onScreen(offsetCell<QLabel>(0, c.channel, 2)));
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, c.typed);
        QTest::keyClick(box, Qt::Key_Return);
        auto* shown = offsetCell<QLabel>(0, c.channel, 2);
        EXPECT_TRUE(QTest::qWaitFor([&] { return shown->text() == c.shown; }, 10000))
            << shown->text().toStdString();

        // The ramp tab's rows fit too.
        ASSERT_TRUE(clickTab(*dock("voltageOffsetDw"), "Ramp"));
        EXPECT_TRUE(onScreen(offsetCell<QPushButton>(1, c.channel, 4)));

        for (const char* name : {"VIns", "Vref"}) {
            QAbstractSpinBox* pulseBox = nullptr;
            for (const QLabel* label : dock("allChannelsControlsDw")->findChildren<QLabel*>())
                if (label->text() == name) pulseBox = qobject_cast<QAbstractSpinBox*>(label->buddy());
            ASSERT_TRUE(pulseBox) << name;
            const DecodedCommand before = fenced();
            pulseBox->setFocus();
            QTest::keyClick(pulseBox, Qt::Key_Return);
            const DecodedCommand after = fenced();
            const bool insertion = std::string(name) == "VIns";
            EXPECT_EQ(after.insertionPulse.count - before.insertionPulse.count, insertion ? 1u : 0u) << name;
            EXPECT_EQ(after.referencePulse.count - before.referencePulse.count, insertion ? 0u : 1u) << name;
        }
        close();
    }
}

TEST_F(VoltageOffsetWindow, AfterAReconnectionTheDockAndTheAmplifierAgree) {
    openAt("dogwood16", screens[0]);
    const int channel = 5;
    ASSERT_TRUE(clickTab(*window, "Voltage offsets"));
    auto* box = offsetCell<SteppedSpinBox>(0, channel, 1);
    ASSERT_TRUE(box);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "450");
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_NEAR(fenced().voltageOffsets.at(channel).to, 0.450, 1e-9);

    disconnect();
    QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
    connectTo(combo()->itemText(0));
    ASSERT_TRUE(restored.wait(5000));
    ASSERT_TRUE(clickTab(*window, "Voltage offsets"));
    box = offsetCell<SteppedSpinBox>(0, channel, 1);
    ASSERT_TRUE(box);
    const DecodedCommand held = fenced();
    for (int ch = 0; ch < 16; ch++)
        EXPECT_NEAR(held.voltageOffsets.at(size_t(ch)).to,
                    offsetCell<SteppedSpinBox>(0, ch, 1)->value() * 1e-3, 1e-9)
            << ch;
    // What the amplifier reports in force is what the box shows.
    auto* shown = offsetCell<QLabel>(0, channel, 2);
    const QString expected =
        QString("%1%2 mV").arg(box->value() >= 0 ? "+" : "").arg(box->value(), 0, 'f', 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown->text() == expected; }, 10000))
        << shown->text().toStdString() << " beside " << box->text().toStdString();
}

} // namespace
