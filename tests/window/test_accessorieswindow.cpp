// The accessories in the main window: the washer docks on the model that has a washer, the
// temperature controller's dock on the model with that option, found on a virtual controller's
// pty, its readings carried by lab book notes.
#include "accessories/velmorantemperaturecontrollogic.h"
#include "simulator/virtualtemperaturecontroller.h"
#include "tests/support/connectedwindow.h"

#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextEdit>

#include <serial.h>

namespace {

class AccessoriesWindow : public kv4test::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        VelmoranTemperatureControlLogic::installPortLister([this] {
            std::vector<serial::PortInfo> listed;
            if (controller.present())
                listed.push_back({controller.path(), "Velmoran Temperature Controller (virtual)", "n/a"});
            return listed;
        });
    }
    void TearDown() override {
        WindowTest::TearDown();
        VelmoranTemperatureControlLogic::installPortLister({});
    }

    QString temperature() const {
        return dock("velmoranTemperatureControlDw")->findChild<QLabel*>("temperatureLabel")->text();
    }
    void writeNote(const QString& text) {
        auto* line = dock("labbook")->findChild<QLineEdit*>();
        QTest::keyClicks(line, text);
        QTest::keyClick(line, Qt::Key_Return);
    }
    QString labbookText() const { return dock("labbook")->findChild<QTextEdit*>()->toPlainText(); }

    kav4sim::VirtualTemperatureController controller{{.ambient = 23.4}};
};

TEST_F(AccessoriesWindow, FirHasTheWasherAndTheTemperatureControllerWhoseReadingsNotesCarry) {
    open("fir", 1);
    window->resize(1366, 768);
    window->show();
    connectTo("VFIR01");
    ASSERT_TRUE(dock("firWasherCtrlDw"));
    EXPECT_EQ(window->dockWidgetArea(dock("firWasherCtrlDw")), Qt::LeftDockWidgetArea);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dock("firWasherCtrlDw")->isVisible(); }, 2000));
    ASSERT_TRUE(dock("firWasherCtrlDebugDw"));
    EXPECT_FALSE(dock("firWasherCtrlDebugDw")->isVisible()); // shown from the View menu
    ASSERT_TRUE(dock("velmoranTemperatureControlDw"));
    EXPECT_EQ(window->dockWidgetArea(dock("velmoranTemperatureControlDw")), Qt::TopDockWidgetArea);

    ASSERT_TRUE(QTest::qWaitFor([&] { return temperature() == "23.4°C"; }, 10000))
        << temperature().toStdString();
    EXPECT_TRUE(dock("velmoranTemperatureControlDw")->isVisible());
    // Four docks share the top at 1366 pixels: none needs scrolling sideways.
    for (QDockWidget* top : window->findChildren<QDockWidget*>()) {
        auto* area = qobject_cast<QScrollArea*>(top->widget());
        if (area && top->isVisible() && window->dockWidgetArea(top) == Qt::TopDockWidgetArea) {
            EXPECT_FALSE(area->horizontalScrollBar()->isVisible()) << top->objectName().toStdString();
        }
    }
    writeNote("warm enough");
    EXPECT_TRUE(labbookText().contains("Written Note, 'warm enough', Temperature: 23.4 [°C]"))
        << labbookText().toStdString();

    // Gone: the message shows and notes no longer carry a temperature.
    controller.vanish();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !dock("velmoranTemperatureControlDw")->findChild<QLabel*>("temperatureLabel")->isVisible();
        },
        10000));
    writeNote("cooling");
    EXPECT_TRUE(labbookText().contains("Written Note, 'cooling'")) << labbookText().toStdString();
    EXPECT_FALSE(labbookText().contains("'cooling', Temperature"));

    disconnect();
    EXPECT_FALSE(dock("velmoranTemperatureControlDw"));
    EXPECT_FALSE(dock("firWasherCtrlDw"));
}

TEST_F(AccessoriesWindow, DisconnectingStopsTheControllerAndAKeptLayoutShowsNoDockWithoutIt) {
    open("fir", 1);
    connectTo("VFIR01");
    ASSERT_TRUE(QTest::qWaitFor([&] { return temperature() == "23.4°C"; }, 10000));
    disconnect();
    const std::vector<std::string> lines = controller.commands();
    EXPECT_EQ(lines.back(), "YTd11\r");

    // The layout kept shows the dock, but without a controller it stays hidden.
    controller.vanish();
    QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
    connectTo("VFIR01");
    ASSERT_TRUE(restored.wait(5000));
    ASSERT_TRUE(dock("velmoranTemperatureControlDw"));
    EXPECT_FALSE(dock("velmoranTemperatureControlDw")->isVisible());
}

// Shown from the View menu with no controller attached, the dock holds the message alone, and
// the whole of it.
TEST_F(AccessoriesWindow, WithoutAControllerTheDockShowsTheMessageAlone) {
    controller.vanish();
    open("fir", 1);
    for (const QSize size : {QSize(1366, 768), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        window->resize(size);
        window->show();
        QSignalSpy restored(window.get(), &MainWindow::layoutRestored);
        connectTo("VFIR01");
        ASSERT_TRUE(restored.wait(5000));
        QDockWidget* temperatureDock = dock("velmoranTemperatureControlDw");
        ASSERT_TRUE(temperatureDock);
        EXPECT_FALSE(temperatureDock->isVisible());
        temperatureDock->toggleViewAction()->trigger();
        QCoreApplication::sendPostedEvents();
        ASSERT_TRUE(temperatureDock->isVisible());
        QLabel* message = nullptr;
        for (QLabel* label : temperatureDock->findChildren<QLabel*>())
            if (label->text().startsWith("Temperature Control device not connected.")) message = label;
        ASSERT_TRUE(message);
        EXPECT_TRUE(message->isVisible());
        EXPECT_GE(message->height(), message->heightForWidth(message->width())) << "every line of it";
        for (const char* control : {"temperatureLabel", "setTemperatureSpinBox"})
            EXPECT_FALSE(temperatureDock->findChild<QWidget*>(control)->isVisible()) << control;
        ASSERT_NO_FATAL_FAILURE(disconnect());
    }
}

TEST_F(AccessoriesWindow, ModelsWithoutThemHaveNeither) {
    open("cedar", 1);
    connectTo("VCEDAR01");
    EXPECT_FALSE(dock("firWasherCtrlDw"));
    EXPECT_FALSE(dock("firWasherCtrlDebugDw"));
    EXPECT_FALSE(dock("velmoranTemperatureControlDw"));
}

} // namespace
