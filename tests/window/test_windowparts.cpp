// The window's parts on their own, against virtual amplifiers where the library takes part:
// error boxes, device detection, the connection-lost warning, the acquisition information dock,
// and the start-up's working folders.

#include "app/startup.h"
#include "commlib/api/devicelist.h"
#include "recording/labbookevent.h"
#include "simulator/virtualbus.h"
#include "tests/support/busdriver.h"
#include "tests/support/connectedwindow.h"
#include "tests/support/labelcolor.h"
#include "widgets/activationbutton.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/connectionlostdialog.h"
#include "window/devicedetector.h"
#include "window/errormanager.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPointer>
#include <QThread>

#include <cmath>

namespace {

using namespace kv4cl;
using kv4test::answer;

// The box says the library's words and the advice; no error, no box.
TEST(ErrorManager, TheBoxSaysTheLibrarysMessageAndTheAdvice) {
    EXPECT_EQ(answer([] { ErrorManager box(ErrorValueOutOfRange); }), "Value out of range for the device.");
    EXPECT_EQ(answer([] { ErrorManager box(ErrorEepromReadFailed); }),
              "Read from device EEPROM failed:\nTry to unplug and replug the device and restart KAV4.");
    EXPECT_EQ(answer([] { ErrorManager box("Fit failed", "Too few points"); }),
              "Fit failed:\nToo few points");
    EXPECT_EQ(answer([] { ErrorManager box(Success); }), "");
}

// Run a second time through the libftdi1 driver.
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
    std::vector<std::string> reported() {
        return changed.takeFirst().at(0).value<std::vector<std::string>>();
    }

    std::shared_ptr<kav4sim::VirtualBus> bus;
    DeviceDetector detector;
    QSignalSpy changed{&detector, &DeviceDetector::devicesListChanged};
};

TEST_F(Detection, ReportsEachChangeOnlyWhileDetectingAndKeepsTheListWhenAQueryFails) {
    auto b = add("DEV02");
    auto a = add("DEV01");
    poll();
    EXPECT_EQ(changed.count(), 0) << "not detecting yet";
    detector.onStartDetecting();
    ASSERT_EQ(changed.count(), 1) << "it looks at once";
    EXPECT_EQ(reported(), (std::vector<std::string>{"DEV01", "DEV02"}));
    poll();
    EXPECT_EQ(changed.count(), 0) << "the same list twice emits once";

    b->unplug();
    poll();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(reported(), (std::vector<std::string>{"DEV01"}));
    a->failCalls(kav4sim::FtdiCall::ListDevices, 1);
    poll();
    poll();
    EXPECT_EQ(changed.count(), 0) << "a failed query keeps the list shown";

    bus->removeDevice("DEV01");
    bus->removeDevice("DEV02");
    poll();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_TRUE(reported().empty()) << "no devices is a list too";
    detector.onStopDetecting();
    add("DEV03");
    poll();
    EXPECT_EQ(changed.count(), 0) << "idle while connected";
}

// The detector lives in a thread of its own; its polling timer must belong to that thread and
// run only while detecting, and a thread ended before it ran anything still takes it along.
// Calls reach it by name, as the main window's do: a call by member pointer or functor keeps a
// slot object made in this thread and read in the detector's, out of ThreadSanitizer's sight.
TEST(DetectorThread, TimerRunsInItsThreadWhileDetectingAndTheDetectorGoesWithTheThread) {
    auto running = std::make_unique<DetectorThread>();
    QPointer<DeviceDetector> detector = running->detector();
    QTimer* timer = detector->findChild<QTimer*>();
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive()) << "nothing may run before the detector reaches its thread";
    running->start();
    QMetaObject::invokeMethod(detector, "onStartDetecting", Qt::BlockingQueuedConnection);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->thread(), detector->thread());
    EXPECT_NE(timer->thread(), QThread::currentThread());
    QMetaObject::invokeMethod(detector, "onStopDetecting", Qt::BlockingQueuedConnection);
    EXPECT_FALSE(timer->isActive()) << "idle while connected";
    running.reset();
    EXPECT_TRUE(detector.isNull());

    QPointer<DeviceDetector> neverStarted = DetectorThread().detector();
    EXPECT_TRUE(neverStarted.isNull());
    for (int i = 0; i < 50; i++) {
        running = std::make_unique<DetectorThread>();
        detector = running->detector();
        running->start();
        QMetaObject::invokeMethod(detector, "onStartDetecting", Qt::QueuedConnection);
        running.reset();
        ASSERT_TRUE(detector.isNull()) << "ended at once, pass " << i;
    }
}

// The dialog's second timer tick, as its one-second timer would give it.
void tick(ConnectionLostDialog& dialog) {
    QMetaObject::invokeMethod(&dialog, "onTimerTimeout", Qt::DirectConnection);
}

TEST(ConnectionLost, CountsDownFromNineToAReset) {
    ConnectionLostDialog dialog;
    QSignalSpy resets(&dialog, &ConnectionLostDialog::resetDevice);
    QSignalSpy disconnects(&dialog, &ConnectionLostDialog::disconnectDevice);
    QSignalSpy notes(&dialog, &ConnectionLostDialog::labbookEvent);
    auto* timer = dialog.findChild<QTimer*>();
    // Runs inside the dialog's modal loop, as the producer's notices arrive.
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(QApplication::activeModalWidget(), &dialog);
        EXPECT_FALSE(dialog.countdownVisible());
        dialog.onConnectionReEstablished();
        EXPECT_EQ(dialog.countdownText(), "Back in 9");
        EXPECT_EQ(timer->interval(), 1000);
        for (int shown = 8; shown >= 0; shown--)
            tick(dialog);
        EXPECT_TRUE(dialog.isVisible() && dialog.countdownText() == "Back in 0") << "0 stays a second";
        tick(dialog);
    });
    dialog.onConnectionLost();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(disconnects.count(), 0);
    EXPECT_EQ(dialog.state(), ConnectionLostDialog::Idle);
    EXPECT_FALSE(timer->isActive());
    ASSERT_EQ(notes.count(), 1) << "one note per loss";
    std::unique_ptr<LabbookEvent> note(notes.at(0).at(0).value<LabbookEvent*>());
    EXPECT_TRUE(note->lineText().contains("'USB connection lost'")) << note->lineText().toStdString();
}

// Two virtual reference amplifiers and no saved settings.
class InfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings().clear();
        std::string error;
        ASSERT_TRUE(kav4sim::installSimulation("cedar,cedar", error)) << error;
    }
    void TearDown() override {
        kv4cl::disconnect();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    static QString label(const QWidget& parent, const char* name) {
        return parent.findChild<QLabel*>(name)->text();
    }
};

// Whether both connected devices hold this filter in the library.
bool libraryFilters(bool on, bool lowPass, double cutoffHz) {
    int matching = 0;
    kv4CommLib::deviceList().forEach([&](kv4CommLib::MessageDispatcher& d) {
        matching += d.filterEnabled == on && d.filterLowPass == lowPass &&
                    std::abs(d.filterCutoff.getNoPrefixValue() - cutoffHz) < 1e-6 * cutoffHz;
        return Success;
    });
    return matching == 2;
}

// The acquisition information dock: each loss shows in red with a lab book entry; the filter
// controls set the library filter within half the rate and are remembered.
TEST_F(InfoTest, AcquisitionInfoDockWarnsShowsLossesAndSetsTheRememberedFilter) {
    {
        AcquisitionInfoDockWidget dock;
        std::vector<QString> entries;
        QObject::connect(&dock, &AcquisitionInfoDockWidget::labbookEvent, &dock, [&](LabbookEvent* event) {
            entries.push_back(event->lineText());
            delete event;
        });
        auto* lost = dock.findChild<QLabel*>("samplesLostLabel");
        EXPECT_EQ(lost->text(), "Samples lost: 0");
        EXPECT_EQ(kv4test::renderedTextColor(*lost), "green");
        const struct {
            double rateHz; // 0: not known yet
            quint64 frames, total;
            const char* entry;
        } losses[] = {
            {0, 7, 7, "Samples lost, 7 samples per channel"},
            {100000, 1, 8, "Samples lost, 1 sample per channel (0.01 ms)"},
            {10000, 262144, 262152, "Samples lost, 262144 samples per channel (26214 ms)"},
        };
        for (const auto& loss : losses) {
            SCOPED_TRACE(loss.entry);
            if (loss.rateHz > 0) {
                const Measurement_t rate{loss.rateHz / 1000, UnitPfxKilo, "Hz"};
                dock.onSamplingRateChanged(rate, rate);
            }
            dock.onFramesLost(12345, loss.frames);
            ASSERT_TRUE(lost->text().startsWith(QString("Samples lost: %1, last at ").arg(loss.total)));
            EXPECT_EQ(kv4test::renderedTextColor(*lost), "red");
            ASSERT_FALSE(entries.empty());
            EXPECT_TRUE(entries.back().endsWith(loss.entry)) << entries.back().toStdString();
        }
        EXPECT_EQ(entries.size(), std::size(losses));
    }

    ASSERT_EQ(kv4cl::connect({"VCEDAR01", "VCEDAR02"}), Success);
    ASSERT_EQ(setSamplingRate(4), Success); // 50 kHz
    auto dock = std::make_unique<AcquisitionInfoDockWidget>();
    EXPECT_EQ(label(*dock, "samplingRateLabel"), "50 kHz");
    auto* button = dock->findChild<ActivationButton*>("digitalFilteringButton");
    auto* type = dock->findChild<QComboBox*>("filterTypeComboBox");
    auto* cutoff = dock->findChild<QDoubleSpinBox*>("cutFrequencySpinBox");
    ASSERT_TRUE(button && type && cutoff);

    cutoff->setValue(5.0); // kHz; the filter stays off until switched on
    EXPECT_TRUE(libraryFilters(false, true, 5000.0));
    EXPECT_EQ(label(*dock, "bandwidthLabel"), "25 kHz");
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(libraryFilters(true, true, 5000.0));
    EXPECT_EQ(label(*dock, "bandwidthLabel"), "5 kHz") << "a low-pass filter sets the bandwidth";
    type->setCurrentIndex(1);
    EXPECT_TRUE(libraryFilters(true, false, 5000.0));
    EXPECT_EQ(label(*dock, "bandwidthLabel"), "25 kHz") << "a high-pass filter leaves the upper edge";

    // At 9.765625 kHz the cut-off lies above half the rate: it is lowered no more than it has
    // to, and the filter stays on. The base rate, before oversampling, does not count.
    ASSERT_EQ(setSamplingRate(2), Success);
    Measurement_t rate;
    ASSERT_EQ(getSamplingRate(rate), Success);
    dock->onSamplingRateChanged(Measurement_t{1.0, UnitPfxKilo, "Hz"}, rate);
    const double clamped = cutoff->value();
    EXPECT_LT(clamped * 1000.0, rate.getNoPrefixValue() / 2.0);
    EXPECT_GT(clamped * 1000.0, rate.getNoPrefixValue() / 2.0 - 2.0);
    EXPECT_TRUE(libraryFilters(true, false, clamped * 1000.0));
    EXPECT_EQ(label(*dock, "bandwidthLabel"), "4.882 kHz");

    // A new dock shows the saved type and cut-off and leaves the library's filter alone.
    dock = std::make_unique<AcquisitionInfoDockWidget>();
    EXPECT_EQ(dock->findChild<QComboBox*>("filterTypeComboBox")->currentIndex(), 1);
    EXPECT_DOUBLE_EQ(dock->findChild<QDoubleSpinBox*>("cutFrequencySpinBox")->value(), clamped);
    EXPECT_FALSE(dock->findChild<ActivationButton*>("digitalFilteringButton")->isChecked());
    EXPECT_TRUE(libraryFilters(true, false, clamped * 1000.0));
}

TEST(Startup, WorkingFolders) {
    EXPECT_TRUE(createWorkingFolders().isEmpty());
    const QStringList folders = workingFolders();
    EXPECT_EQ(folders.size(), 5);
    for (const QString& folder : folders)
        EXPECT_TRUE(folder.startsWith(QDir::homePath() + "/KAV4/") && QDir(folder).exists())
            << folder.toStdString();
    EXPECT_TRUE(createWorkingFolders().isEmpty()) << "existing folders are fine";
}

} // namespace
