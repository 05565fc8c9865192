// Error boxes and device detection as the user meets them.

#include "commlib/transport/ftdidriver.h"
#include "simulator/virtualbus.h"
#include "tests/support/busdriver.h"
#include "window/connectionlostdialog.h"
#include "window/devicedetector.h"
#include "window/errormanager.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using namespace kv4cl;

// Every code's message and advice, as the user reads them in the box.
TEST(ErrorManager, EachCodeHasItsMessageAndAdvice) {
    const QString replug = "Try to unplug and replug the device and restart KAV4.";
    const QString support = ErrorManager::supportAddress;
    const struct {
        ErrorCodes_t code;
        QString message, advice;
    } texts[] = {
        {Success, "NONE", ""},
        {ErrorUnknown, "Unknown error", replug},
        {ErrorNoDevicesDetected, "No devices detected", ""},
        {ErrorDevicesDetectionFailed, "Devices detection failed",
         "If any device is connected try restarting KAV4."},
        {ErrorEepromOpenFailed, "Connection to device EEPROM failed", replug},
        {ErrorEepromConnectionFailed, "Connection to device EEPROM failed", replug},
        {ErrorEepromDisconnectionFailed, "Disconnection from device EEPROM failed", replug},
        {ErrorEepromNotConnected, "Not connected to device EEPROM", replug},
        {ErrorEepromReadFailed, "Read from device EEPROM failed", replug},
        {ErrorEepromNotRecognized, "Device EEPROM not recognized",
         "This device probably is not usable with KAV4."},
        {ErrorResourcesInitialization, "Error initializing the resources",
         "The computer might not have resources to allocate\nPlease contact " + support +
             " and report\nyour system specifications."},
        {ErrorDeviceTypeNotControllable, "Device type not controllable with KAV4",
         "Check the device info in \"?\" menu and\ncontact " + support +
             " to know\nwhich software you should use with your device."},
        {ErrorDeviceAlreadyConnected, "Device already connected", ""},
        {ErrorDeviceNotConnected, "Device not connected", ""},
        {ErrorDeviceConnectionFailed, "Connection to device failed", replug},
        {ErrorFtdiConfigurationFailed, "Ftdi configuration failed", replug},
        {ErrorDeviceDisconnectionFailed, "Disconnection from device failed", replug},
        {ErrorDeviceCommunicationFailed, "Failed communication with the device",
         "If you physically disconnected the USB cable just click disconnect.\nIf the USB cable is still "
         "connected the communication might be\nre-established automatically. This will hardly take more "
         "than few seconds."},
        {ErrorDifferentDeviceTypes, "Trying to connect to device of different types",
         "The software can connect to more devices only if they are all of the same type.\nCheck the Device "
         "information from the ? menu: only if the device version,\ndevice subversion and firmware version "
         "match the devices can be connected together."},
        {ErrorMessageSendFailed, "Failed to send message to the device", replug},
        {ErrorCommandNotImplemented, "Command not implemented", ""},
        {ErrorValueOutOfRange, "Value out of range for the device", ""},
        {WarningNoDataAvailable, "No data available", ""},
        {WarningNotEnoughData, "Not enough data available", ""},
        {ErrorInvalidProtocolParameters, "Invalid protocol parameters", ""},
        {ErrorFeatureNotImplemented, "This feature is not implemented for the current device", ""},
    };
    for (const auto& t : texts) {
        SCOPED_TRACE(QString::number(t.code, 16).toStdString());
        EXPECT_EQ(ErrorManager::message(t.code).toStdString(), t.message.toStdString());
        EXPECT_EQ(ErrorManager::detail(t.code).toStdString(), t.advice.toStdString());
        // The library names its codes with the same words (the command-line tools show them).
        if (t.code != Success) {
            EXPECT_EQ(errorMessage(t.code), t.message.toStdString());
        }
    }
}

TEST(ErrorManager, TextsJoinMessageAndAdvice) {
    EXPECT_EQ(ErrorManager::text(ErrorManager::message(ErrorValueOutOfRange),
                                 ErrorManager::detail(ErrorValueOutOfRange)),
              "Value out of range for the device.");
    const QString mixed = ErrorManager::text(ErrorManager::message(ErrorDifferentDeviceTypes),
                                             ErrorManager::detail(ErrorDifferentDeviceTypes));
    EXPECT_TRUE(
        mixed.startsWith("Trying to connect to device of different types:\nThe software can connect"));
    EXPECT_EQ(mixed.count('\n'), 3) << "the colon's line break and the advice's own two";
    EXPECT_TRUE(ErrorManager::text(ErrorManager::message(Success), ErrorManager::detail(Success)).isEmpty())
        << "no error, no box";
    EXPECT_EQ(ErrorManager::text(ErrorManager::message(ErrorCodes_t(0x12345)),
                                 ErrorManager::detail(ErrorCodes_t(0x12345))),
              ".")
        << "an unknown code shows only the full stop";
}

// Reads the box that a constructor shows modally, then closes it.
QString shownText(const std::function<void()>& show, QString* title = nullptr) {
    QString text;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        text = box->text();
        if (title) *title = box->windowTitle();
        box->accept();
    });
    show();
    return text;
}

TEST(ErrorManager, ShowsAModalWarningTitledKav4) {
    QString title;
    EXPECT_EQ(shownText([] { ErrorManager box(ErrorValueOutOfRange); }, &title),
              "Value out of range for the device.");
    EXPECT_EQ(title, "KAV4");
    EXPECT_EQ(shownText([] { ErrorManager box("Fit failed", "Too few points"); }),
              "Fit failed:\nToo few points");
    bool shown = false;
    QTimer::singleShot(0, [&] { shown = QApplication::activeModalWidget() != nullptr; });
    { ErrorManager box(Success); }
    QApplication::processEvents();
    EXPECT_FALSE(shown);
}

class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = std::make_shared<kav4sim::VirtualBus>();
        kv4test::installBus(bus);
    }
    void TearDown() override { kv4test::removeBus(); }
    std::shared_ptr<kav4sim::VirtualDevice> add(const std::string& serial) {
        auto device = std::make_shared<kav4sim::VirtualDevice>(serial);
        bus->addDevice(device);
        return device;
    }
    // One poll, as the two-second timer makes it.
    void poll() { QMetaObject::invokeMethod(&detector, "detectDevices", Qt::DirectConnection); }

    std::shared_ptr<kav4sim::VirtualBus> bus;
    DeviceDetector detector;
};

TEST_F(Detection, ReportsChangesOnlyWhileDetecting) {
    QSignalSpy changed(&detector, &DeviceDetector::devicesListChanged);
    auto b = add("DEV02");
    add("DEV01");
    poll();
    EXPECT_EQ(changed.count(), 0) << "not detecting yet";

    detector.onStartDetecting();
    ASSERT_EQ(changed.count(), 1) << "it looks at once";
    EXPECT_EQ(changed.takeFirst().at(0).value<std::vector<std::string>>(),
              (std::vector<std::string>{"DEV01", "DEV02"}));
    poll();
    EXPECT_EQ(changed.count(), 0) << "the same list twice emits once";

    b->unplug();
    poll();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.takeFirst().at(0).value<std::vector<std::string>>(),
              (std::vector<std::string>{"DEV01"}));

    bus->removeDevice("DEV01");
    bus->removeDevice("DEV02");
    poll();
    ASSERT_EQ(changed.count(), 1) << "no devices is a list too: the empty one";
    EXPECT_TRUE(changed.takeFirst().at(0).value<std::vector<std::string>>().empty());

    detector.onStopDetecting();
    add("DEV03");
    poll();
    EXPECT_EQ(changed.count(), 0) << "idle while connected";
}

TEST_F(Detection, AFailedQueryKeepsTheListShown) {
    QSignalSpy changed(&detector, &DeviceDetector::devicesListChanged);
    auto device = add("DEV01");
    detector.onStartDetecting();
    ASSERT_EQ(changed.count(), 1);
    device->failCalls(kav4sim::FtdiCall::ListDevices, 1);
    poll();
    EXPECT_EQ(changed.count(), 1);
    poll();
    EXPECT_EQ(changed.count(), 1) << "the list is still the one reported";
}

// The detector lives in a thread of its own; its polling timer must belong to that thread and
// run only while detecting, and a thread ended before it ran anything still takes it along.
// Calls reach it by name, as the main window's do: a call by member pointer or functor keeps a
// slot object made in this thread and read in the detector's, handed over out of
// ThreadSanitizer's sight.
TEST(DetectorThread, TimerRunsInTheDetectorsThreadOnlyWhileDetecting) {
    auto running = std::make_unique<DetectorThread>();
    QPointer<DeviceDetector> detector = running->detector();
    QTimer* timer = detector->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive()) << "nothing may run before the detector reaches its thread";
    running->start();
    EXPECT_NE(timer->thread(), QThread::currentThread());
    QMetaObject::invokeMethod(detector, "onStartDetecting", Qt::BlockingQueuedConnection);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->thread(), detector->thread());
    QMetaObject::invokeMethod(detector, "onStopDetecting", Qt::BlockingQueuedConnection);
    EXPECT_FALSE(timer->isActive()) << "idle while connected";
    running.reset();
    EXPECT_TRUE(detector.isNull());
}

TEST(DetectorThread, ThreadEndedAtOnceOrNeverStartedTakesItsDetectorAlong) {
    QPointer<DeviceDetector> neverStarted = DetectorThread().detector();
    EXPECT_TRUE(neverStarted.isNull());
    for (int i = 0; i < 50; i++) {
        auto running = std::make_unique<DetectorThread>();
        QPointer<DeviceDetector> detector = running->detector();
        running->start();
        QMetaObject::invokeMethod(detector, "onStartDetecting", Qt::QueuedConnection);
        running.reset();
        ASSERT_TRUE(detector.isNull()) << "pass " << i;
    }
}

// The dialog's second timer tick, as its one-second timer would give it.
void tick(ConnectionLostDialog& dialog) {
    QMetaObject::invokeMethod(&dialog, "onTimerTimeout", Qt::DirectConnection);
}

class ConnectionLost : public ::testing::Test {
  protected:
    // Runs `whileOpen` inside the dialog's modal loop, as the producer's notices arrive.
    void lose(const std::function<void()>& whileOpen) {
        QTimer::singleShot(0, [&] {
            EXPECT_EQ(QApplication::activeModalWidget(), &dialog);
            whileOpen();
        });
        dialog.onConnectionLost();
    }
    QTimer* timer() { return dialog.findChild<QTimer*>(); }

    ConnectionLostDialog dialog;
    QSignalSpy resets{&dialog, &ConnectionLostDialog::resetDevice};
    QSignalSpy disconnects{&dialog, &ConnectionLostDialog::disconnectDevice};
    QSignalSpy notes{&dialog, &ConnectionLostDialog::labbookEvent};
};

TEST_F(ConnectionLost, CountsDownFromNineAndResetsTheDevice) {
    EXPECT_EQ(dialog.windowTitle(), "Warning");
    lose([&] {
        EXPECT_EQ(dialog.state(), ConnectionLostDialog::Lost);
        EXPECT_FALSE(dialog.countdownVisible());
        dialog.onConnectionReEstablished();
        EXPECT_EQ(dialog.state(), ConnectionLostDialog::CountingDown);
        EXPECT_TRUE(dialog.countdownVisible());
        EXPECT_EQ(dialog.countdownText(), "Back in 9");
        ASSERT_NE(timer(), nullptr);
        EXPECT_TRUE(timer()->isActive());
        EXPECT_EQ(timer()->interval(), 1000);
        for (int shown = 8; shown >= 0; shown--) {
            tick(dialog);
            EXPECT_EQ(dialog.countdownText(), QString("Back in %1").arg(shown));
        }
        EXPECT_TRUE(dialog.isVisible()) << "0 stays a second on screen";
        EXPECT_EQ(resets.count(), 0);
        tick(dialog); // the tenth second: closes
    });
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(disconnects.count(), 0);
    EXPECT_EQ(dialog.state(), ConnectionLostDialog::Idle);
    EXPECT_FALSE(timer()->isActive());
    EXPECT_FALSE(dialog.countdownVisible());
    EXPECT_EQ(dialog.countdownText(), "Back in");

    ASSERT_EQ(notes.count(), 1);
    std::unique_ptr<LabbookEvent> note(notes.at(0).at(0).value<LabbookEvent*>());
    ASSERT_EQ(note->type, LabbookEvent::TypeWrittenNote);
    EXPECT_EQ(static_cast<LabbookEventWrittenNote*>(note.get())->text, "USB connection lost");
}

TEST_F(ConnectionLost, DisconnectEndsItAndALossDuringTheCountdownStopsIt) {
    lose([&] {
        dialog.onConnectionReEstablished();
        tick(dialog);
        dialog.onConnectionLost(); // lost again: the dialog stays open, counting stops
        EXPECT_EQ(dialog.state(), ConnectionLostDialog::Lost);
        EXPECT_FALSE(dialog.countdownVisible());
        EXPECT_FALSE(timer()->isActive());
        dialog.onConnectionLost(); // still lost: nothing new
        EXPECT_EQ(notes.count(), 1);
        auto* disconnect = dialog.findChild<QPushButton*>();
        ASSERT_NE(disconnect, nullptr);
        EXPECT_EQ(disconnect->text(), "Disconnect");
        disconnect->click();
    });
    EXPECT_EQ(disconnects.count(), 1);
    EXPECT_EQ(resets.count(), 0);
    delete notes.at(0).at(0).value<LabbookEvent*>();
}

} // namespace
