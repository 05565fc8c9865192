// The Debug dock against a virtual reference amplifier: what its buttons reach on the device,
// and how a refused call shows.

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"
#include "tests/support/connectedamplifier.h"
#include "window/debugdockwidget.h"
#include "window/errormanager.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kv4cl::Success;

class DebugDock : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override { connect("cedar"); }

    kav4sim::VirtualDevice& device() const { return *bus->device(id); }

    void click(const QString& text) const {
        QPushButton* b = withText<QPushButton>(dock, text);
        ASSERT_TRUE(b) << text.toStdString();
        QTest::mouseClick(b, Qt::LeftButton);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "failures go to the status line";
    }
    QString statusLine() const { return dock.findChild<QLabel*>("statusLine")->text(); }

    // Waits until the latest message the device received satisfies `done`.
    bool receivedLast(const std::function<bool(const std::vector<uint8_t>&)>& done) const {
        for (size_t n = 1;; n++) {
            if (!device().waitForWrites('B', n, 10s)) return false;
            const auto writes = device().writes('B');
            if (done(writes.back())) return true;
            n = writes.size();
        }
    }

    DebugDockWidget dock;
};

TEST_F(DebugDock, EepromWordsRoundTripThroughTheHexFields) {
    auto* address = labelled<QSpinBox>(dock, "Eeprom Address");
    auto* value = labelled<QSpinBox>(dock, "Eeprom Value");
    ASSERT_TRUE(address && value);
    address->selectAll();
    QTest::keyClicks(address, "4a");
    EXPECT_EQ(address->value(), 0x4A) << "typed in hexadecimal";
    value->setValue(0xBEEF);
    EXPECT_EQ(value->text().toLower(), "0xbeef");
    click("Eeprom write");
    EXPECT_EQ(device().eepromWord(0x4A), 0xBEEF);

    value->setValue(0);
    click("Eeprom read");
    EXPECT_EQ(value->value(), 0xBEEF);
    EXPECT_TRUE(statusLine().isEmpty());
}

TEST_F(DebugDock, BitAndValueReachTheDevice) {
    auto* byte = labelled<QSpinBox>(dock, "Byte");
    auto* bit = labelled<QSpinBox>(dock, "Bit");
    auto* value = labelled<QSpinBox>(dock, "Value");
    auto* status = withText<QCheckBox>(dock, "Status");
    ASSERT_TRUE(byte && bit && value && status);
    EXPECT_EQ(bit->maximum(), 6);
    EXPECT_EQ(value->maximum(), 0x7F);

    constexpr int index = 20;
    byte->setValue(index);
    bit->setValue(3);
    const bool was = kv4CommLib::deviceList().first().txMessage[index] >> 3 & 1;
    status->setChecked(!was);
    click("Apply bit");
    EXPECT_TRUE(receivedLast([&](const auto& m) { return bool(m[index] >> 3 & 1) == !was; }));
    status->setChecked(was);
    click("Apply bit");
    EXPECT_TRUE(receivedLast([&](const auto& m) { return bool(m[index] >> 3 & 1) == was; }));

    const int other = (kv4CommLib::deviceList().first().txMessage[index] ^ 0x55) & 0x7F;
    value->setValue(other);
    click("Apply value");
    EXPECT_TRUE(receivedLast([&](const auto& m) { return m[index] == other; }));
}

TEST_F(DebugDock, RefusedCallsShowTheLibraryMessage) {
    labelled<QSpinBox>(dock, "Byte")->setValue(65535);
    click("Apply value");
    EXPECT_EQ(statusLine(), ErrorManager::message(kv4cl::ErrorValueOutOfRange));

    auto* value = labelled<QSpinBox>(dock, "Eeprom Value");
    value->setValue(0x1234);
    device().failCalls(kav4sim::FtdiCall::ReadEE, 1);
    click("Eeprom read");
    EXPECT_EQ(statusLine(), ErrorManager::message(kv4cl::ErrorEepromReadFailed));
    EXPECT_EQ(value->value(), 0x1234) << "nothing was read";
    click("Eeprom read");
    EXPECT_TRUE(statusLine().isEmpty()) << "a good call clears the line";

    ASSERT_EQ(kv4cl::disconnect(), Success);
    click("Eeprom write");
    EXPECT_EQ(statusLine(), ErrorManager::message(kv4cl::ErrorDeviceNotConnected));
}

TEST_F(DebugDock, FloatsAsDebugDwAndHidesWithoutTheMarkerFile) {
    QMainWindow window;
    auto* added = new DebugDockWidget(&window);
    window.addDockWidget(Qt::RightDockWidgetArea, added);
    EXPECT_TRUE(added->isFloating());
    EXPECT_EQ(added->windowTitle(), "Debug");
    EXPECT_EQ(added->objectName(), "debugDw");

    EXPECT_FALSE(DebugDockWidget::markerPresent());
    QFile marker(QDir::homePath() + "/KAV4_debug.pls");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(DebugDockWidget::markerPresent()) << "looked for once per process";
    marker.remove();
}

} // namespace
