// The main window shown at real screen sizes, driven as a user drives it: the wheel over the
// docks, connections and disconnections, the layout kept per model, and closing it while a
// recording runs.

#include "app/focusedwheelfilter.h"
#include "app/mainwindow.h"
#include "commlib/transport/ftdidriver.h"
#include "simulator/simulation.h"
#include "simulator/virtualamplifier.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

namespace {

const QSize smallScreen(1366, 768);
const QSize largeScreen(1920, 1080);

class WindowLayoutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings().clear();
        qApp->installEventFilter(&wheelFilter);
    }
    void TearDown() override {
        window.reset();
        kv4CommLib::installFtdiDriver(nullptr);
        QSettings().clear();
    }

    // Virtual amplifiers of the listed models, then the window at a screen's size once it
    // has listed them.
    void open(const char* models, int entries, QSize size) {
        std::string error;
        simulation = kav4sim::installSimulation(models, error);
        ASSERT_TRUE(simulation) << error;
        window = std::make_unique<MainWindow>();
        window->resize(size);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo()->count() == entries; }, 5000));
        settle();
    }
    QComboBox* combo() const { return window->findChild<QComboBox*>("deviceComboBox"); }
    QPushButton* connectButton() const { return window->findChild<QPushButton*>("connectButton"); }
    QDockWidget* dock(const char* name) const { return window->findChild<QDockWidget*>(name); }
    QAbstractButton* protocolButton(const QString& toolTip) const {
        for (QAbstractButton* b : dock("protocolDw")->findChildren<QAbstractButton*>())
            if (b->toolTip() == toolTip) return b;
        return nullptr;
    }
    // The window lays out what it kept from a timer started as it connects; posted layout
    // requests follow. A later timer wakes after both.
    static void settle() { QTest::qWait(50); }
    void connectTo(const QString& entry) {
        combo()->setCurrentText(entry);
        connectButton()->click();
        ASSERT_TRUE(window->isConnected()) << entry.toStdString();
        settle();
    }
    void disconnect() {
        connectButton()->click();
        ASSERT_FALSE(window->isConnected());
        settle();
    }

    FocusedWheelFilter wheelFilter;
    std::shared_ptr<kav4sim::SimulatedBus> simulation;
    std::unique_ptr<MainWindow> window;
};

// One notch of the wheel, down, over the middle of the widget.
void wheel(QWidget* widget) {
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

std::string shownValue(QWidget* widget) {
    if (auto* spinBox = qobject_cast<QAbstractSpinBox*>(widget)) return spinBox->text().toStdString();
    return qobject_cast<QComboBox*>(widget)->currentText().toStdString();
}

TEST_F(WindowLayoutTest, TheWheelChangesOnlyTheControlThatHasFocus) {
    open("dogwood16", 1, smallScreen);
    connectTo("VDOGWOOD1601");
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const kav4sim::VirtualAmplifier* amplifier = simulation->amplifier("VDOGWOOD1601");

    // Every spin box and combo box the window shows, the Controls dock's reference among them.
    std::vector<QWidget*> controls;
    for (QWidget* widget : window->findChildren<QWidget*>())
        if ((qobject_cast<QAbstractSpinBox*>(widget) || qobject_cast<QComboBox*>(widget)) &&
            widget->isVisible() && widget->isEnabled())
            controls.push_back(widget);
    auto* reference = window->findChild<QAbstractSpinBox*>("voltageReferenceSpinBox");
    ASSERT_NE(reference, nullptr);
    ASSERT_NE(std::find(controls.begin(), controls.end(), reference), controls.end());
    ASSERT_GT(controls.size(), 8u);
    const double deviceReference = amplifier->command().voltageReference;
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->objectName().toStdString() + " " + control->metaObject()->className());
        EXPECT_NE(control->focusPolicy() & Qt::WheelFocus, Qt::WheelFocus) << "the wheel would focus it";
        const std::string before = shownValue(control);
        wheel(control);
        EXPECT_EQ(shownValue(control), before);
    }
    EXPECT_EQ(amplifier->command().voltageReference, deviceReference);

    // The notch scrolls the dock the reference sits in instead.
    auto* scroll = dock("controlsDw")->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    scroll->verticalScrollBar()->setValue(0);
    wheel(reference);
    EXPECT_GT(scroll->verticalScrollBar()->value(), 0);

    reference->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reference->hasFocus(); }, 2000));
    const QString before = reference->text();
    wheel(reference);
    EXPECT_NE(reference->text(), before) << "with focus the wheel steps it";
}

} // namespace
