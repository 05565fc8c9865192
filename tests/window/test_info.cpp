// The acquisition information dock and the windows of the "?" menu, against virtual
// amplifiers where the library takes part.

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"
#include "commlib/transport/ftdidriver.h"
#include "recording/labbookevent.h"
#include "simulator/simulation.h"
#include "tests/support/labelcolor.h"
#include "tests/support/warningcapture.h"
#include "widgets/activationbutton.h"
#include "window/aboutdialog.h"
#include "window/acquisitioninfodockwidget.h"
#include "window/deviceinfodialog.h"
#include "window/errormanager.h"
#include "window/supportdialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTime>
#include <QTimer>

namespace {

using namespace kv4cl;
using kv4test::WarningCapture;

const QString cutoffKey = "Parameters/Filters/rawFilterCutoffFrequency";
const QString typeKey = "Parameters/Filters/rawFilterType";

// Two virtual reference amplifiers on the bus, not yet connected, and no saved settings.
class InfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QSettings().clear();
        std::string error;
        ASSERT_TRUE(kav4sim::installSimulation("cedar,cedar", error)) << error;
    }
    void TearDown() override {
        // The library's devices hold handles on the bus: they go first.
        kv4cl::disconnect();
        kv4CommLib::installFtdiDriver(nullptr);
    }
    static void connectBoth() { ASSERT_EQ(kv4cl::connect({"VCEDAR01", "VCEDAR02"}), Success); }
};

struct FilterState {
    bool enabled;
    bool lowPass;
    double cutoffHz;
};

// The filter of every connected device, as the library holds it.
std::vector<FilterState> libraryFilters() {
    std::vector<FilterState> states;
    kv4CommLib::deviceList().forEach([&](kv4CommLib::MessageDispatcher& d) {
        states.push_back({d.filterEnabled, d.filterLowPass, d.filterCutoff.getNoPrefixValue()});
        return Success;
    });
    return states;
}

QString labelText(const QWidget& parent, const char* name) {
    const auto* label = parent.findChild<QLabel*>(name);
    return label ? label->text() : "(no label " + QString(name) + ")";
}

bool showsLabel(const QWidget& parent, const QString& text) {
    for (const QLabel* label : parent.findChildren<QLabel*>())
        if (label->text() == text) return true;
    return false;
}

TEST_F(InfoTest, DockShowsTheMeasuredRateWithAFittingPrefix) {
    AcquisitionInfoDockWidget dock;
    dock.onBitRateComputed(10000.0);
    EXPECT_EQ(labelText(dock, "measuredRateLabel"), "10 ksps");
    dock.onBitRateComputed(0.0);
    EXPECT_EQ(labelText(dock, "measuredRateLabel"), "0 sps");
}

TEST_F(InfoTest, SaturationLightsTheLedUntilTheTimerRunsOut) {
    AcquisitionInfoDockWidget dock;
    EXPECT_EQ(dock.saturationLedImage(), ":/imgs/led off.png");
    auto* timer = dock.findChild<QTimer*>("saturationTimer");
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isSingleShot());
    timer->setInterval(10);
    QSignalSpy timeout(timer, &QTimer::timeout);

    for (int notice = 0; notice < 2; notice++) {
        dock.onSaturation();
        EXPECT_EQ(dock.saturationLedImage(), ":/imgs/red led on.png") << notice;
        EXPECT_TRUE(timer->isActive()) << notice;
        ASSERT_TRUE(timeout.wait(5000)) << notice;
        EXPECT_EQ(dock.saturationLedImage(), ":/imgs/led off.png") << notice;
    }
}

TEST_F(InfoTest, SamplesLostShowZeroInGreenAndEachLossInRedWithALabBookEntry) {
    AcquisitionInfoDockWidget dock;
    std::vector<QString> entries;
    QObject::connect(&dock, &AcquisitionInfoDockWidget::labbookEvent, &dock, [&](LabbookEvent* event) {
        entries.push_back(event->lineText());
        delete event;
    });
    auto* label = dock.findChild<QLabel*>("samplesLostLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "Samples lost: 0");
    EXPECT_EQ(kv4test::renderedTextColor(*label), "green");

    struct Loss {
        double rateHz; // 0: not known yet
        quint64 frames;
        quint64 total;
        const char* entry; // after the entry's times
    };
    const Loss losses[] = {
        {0, 7, 7, "Samples lost, 7 samples per channel"},
        {100000, 1, 8, "Samples lost, 1 sample per channel (0.01 ms)"},
        {100000, 1200, 1208, "Samples lost, 1200 samples per channel (12 ms)"},
        {10000, 262144, 263352, "Samples lost, 262144 samples per channel (26214 ms)"},
    };
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.entry);
        if (loss.rateHz > 0) {
            const kv4cl::Measurement_t rate{loss.rateHz / 1000, kv4cl::UnitPfxKilo, "Hz"};
            dock.onSamplingRateChanged(rate, rate);
        }
        const QTime before = QTime::currentTime();
        dock.onFramesLost(12345, loss.frames);
        const QString text = label->text();
        ASSERT_TRUE(text.startsWith(QString("Samples lost: %1, last at ").arg(loss.total)))
            << text.toStdString();
        const QTime shown = QTime::fromString(text.section("last at ", 1), "hh:mm:ss");
        EXPECT_TRUE(shown.isValid()) << text.toStdString();
        EXPECT_LE(std::abs(shown.secsTo(before)), 1);
        EXPECT_EQ(kv4test::renderedTextColor(*label), "red");
        ASSERT_FALSE(entries.empty());
        EXPECT_TRUE(entries.back().endsWith(loss.entry)) << entries.back().toStdString();
    }
    EXPECT_EQ(entries.size(), std::size(losses));
}

TEST_F(InfoTest, FilterControlsSetTheLibraryFilterAndAreRemembered) {
    connectBoth();
    ASSERT_EQ(setSamplingRate(4), Success); // 50 kHz
    auto dock = std::make_unique<AcquisitionInfoDockWidget>();
    EXPECT_EQ(labelText(*dock, "samplingRateLabel"), "50 kHz");
    EXPECT_EQ(labelText(*dock, "bandwidthLabel"), "25 kHz");
    auto* button = dock->findChild<ActivationButton*>("digitalFilteringButton");
    auto* type = dock->findChild<QComboBox*>("filterTypeComboBox");
    auto* cutoff = dock->findChild<QDoubleSpinBox*>("cutFrequencySpinBox");
    ASSERT_TRUE(button && type && cutoff);

    // The value is in kHz; the filter stays off until it is switched on.
    cutoff->setValue(5.0);
    for (const FilterState& f : libraryFilters()) {
        EXPECT_FALSE(f.enabled);
        EXPECT_DOUBLE_EQ(f.cutoffHz, 5000.0);
    }
    EXPECT_EQ(labelText(*dock, "bandwidthLabel"), "25 kHz");

    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_EQ(libraryFilters().size(), 2u);
    for (const FilterState& f : libraryFilters()) {
        EXPECT_TRUE(f.enabled);
        EXPECT_TRUE(f.lowPass);
        EXPECT_DOUBLE_EQ(f.cutoffHz, 5000.0);
    }
    EXPECT_EQ(labelText(*dock, "bandwidthLabel"), "5 kHz") << "a low-pass filter sets the bandwidth";

    type->setCurrentIndex(1);
    for (const FilterState& f : libraryFilters()) {
        EXPECT_TRUE(f.enabled);
        EXPECT_FALSE(f.lowPass);
    }
    EXPECT_EQ(labelText(*dock, "bandwidthLabel"), "25 kHz") << "a high-pass filter leaves the upper edge";
    EXPECT_EQ(QSettings().value(typeKey).toInt(), 1);
    EXPECT_DOUBLE_EQ(QSettings().value(cutoffKey).toDouble(), 5.0);

    // At 9.765625 kHz the 5 kHz cut-off lies above half the rate: it is lowered to a value
    // the library takes, and the filter stays on.
    ASSERT_EQ(setSamplingRate(2), Success);
    Measurement_t rate;
    ASSERT_EQ(getSamplingRate(rate), Success);
    // The base rate, before oversampling, does not count.
    dock->onSamplingRateChanged(Measurement_t{1.0, UnitPfxKilo, "Hz"}, rate);
    const double halfHz = rate.getNoPrefixValue() / 2.0;
    EXPECT_LT(cutoff->value() * 1000.0, halfHz);
    EXPECT_GT(cutoff->value() * 1000.0, halfHz - 2.0) << "no lower than it has to";
    for (const FilterState& f : libraryFilters()) {
        EXPECT_TRUE(f.enabled);
        EXPECT_DOUBLE_EQ(f.cutoffHz, cutoff->value() * 1000.0);
    }
    EXPECT_EQ(labelText(*dock, "bandwidthLabel"), "4.882 kHz");
    const double clamped = cutoff->value();
    EXPECT_DOUBLE_EQ(QSettings().value(cutoffKey).toDouble(), clamped);

    // A new dock shows the saved type and cut frequency and leaves the library's filter alone.
    dock = std::make_unique<AcquisitionInfoDockWidget>();
    EXPECT_EQ(dock->findChild<QComboBox*>("filterTypeComboBox")->currentIndex(), 1);
    EXPECT_DOUBLE_EQ(dock->findChild<QDoubleSpinBox*>("cutFrequencySpinBox")->value(), clamped);
    EXPECT_FALSE(dock->findChild<ActivationButton*>("digitalFilteringButton")->isChecked());
    for (const FilterState& f : libraryFilters()) {
        EXPECT_TRUE(f.enabled);
        EXPECT_FALSE(f.lowPass);
    }
}

TEST_F(InfoTest, DockWithoutAConnectionOrWithBadSettingsOnlyWarns) {
    QSettings().setValue(typeKey, "sideways");
    QSettings().setValue(cutoffKey, "fast");
    WarningCapture console;
    AcquisitionInfoDockWidget dock;
    EXPECT_EQ(console.count("sideways"), 1);
    EXPECT_EQ(console.count("fast"), 1);
    EXPECT_EQ(dock.findChild<QComboBox*>("filterTypeComboBox")->currentIndex(), 0);
    EXPECT_EQ(console.count("0x30004"), 0) << "building the dock does not call the library";

    QTest::mouseClick(dock.findChild<ActivationButton*>("digitalFilteringButton"), Qt::LeftButton);
    EXPECT_EQ(console.count("0x30004"), 1) << "one refusal, one line";
}

TEST_F(InfoTest, StoredCutoffsThatAreNoFiniteNumberKeepTheDefaultWithAWarning) {
    const double fallback =
        AcquisitionInfoDockWidget().findChild<QDoubleSpinBox*>("cutFrequencySpinBox")->value();
    for (const char* cutoff : {"inf", "-inf", "nan", "1e999", "-3"}) {
        QSettings().setValue(cutoffKey, cutoff);
        WarningCapture console;
        AcquisitionInfoDockWidget dock;
        EXPECT_EQ(console.count(QString("\"%1\"").arg(cutoff)), 1) << cutoff;
        EXPECT_EQ(dock.findChild<QDoubleSpinBox*>("cutFrequencySpinBox")->value(), fallback) << cutoff;
    }
}

const QString bothDevices = "Device ID: VCEDAR01 (%1)\n"
                            "Device version: 4\n"
                            "Device subversion: 3\n"
                            "Firmware version: 129\n"
                            "\n"
                            "Device ID: VCEDAR02 (%1)\n"
                            "Device version: 4\n"
                            "Device subversion: 3\n"
                            "Firmware version: 129";

TEST_F(InfoTest, DeviceInfoOfListedDevicesWhileNotConnected) {
    DeviceInfoDialog none(false, {});
    EXPECT_EQ(none.windowTitle(), "Device Info");
    EXPECT_EQ(none.text(), "No device connected\nPlease plug a device in to get its information");
    EXPECT_TRUE(showsLabel(none, "No device connected"));

    DeviceInfoDialog listed(false, {"VCEDAR01", "VCEDAR02"});
    EXPECT_EQ(listed.text(), bothDevices.arg("not connected"));
    EXPECT_TRUE(showsLabel(listed, "VCEDAR02 (not connected)"));
}

TEST_F(InfoTest, DeviceInfoOfConnectedDevicesAndItsCopy) {
    DeviceInfoDialog lost(true, {"VCEDAR01"});
    EXPECT_EQ(lost.text(), "Error getting the device info\n"
                           "Please restart restart KAV4 and unplug/replug your device and try again");

    connectBoth();
    DeviceInfoDialog connected(true, {"VCEDAR01", "VCEDAR02"});
    EXPECT_EQ(connected.text(), bothDevices.arg("connected"));

    QApplication::clipboard()->clear();
    QPushButton* copy = nullptr;
    for (QPushButton* button : connected.findChildren<QPushButton*>())
        if (button->text() == "copy information to clipboard") copy = button;
    ASSERT_NE(copy, nullptr);
    copy->click();
    EXPECT_EQ(QApplication::clipboard()->text(), bothDevices.arg("connected"));
}

TEST(InfoDialogs, AboutAndSupportTexts) {
    AboutDialog about;
    EXPECT_EQ(about.windowTitle(), "About KAV4");
    EXPECT_TRUE(showsLabel(about, "Version 1.11.6"));
    bool linked = false;
    for (const QLabel* label : about.findChildren<QLabel*>())
        linked |= label->text().startsWith("Powered by Qt") &&
                  label->text().contains("href=\"https://www.qt.io\"") && label->openExternalLinks();
    EXPECT_TRUE(linked);

    SupportDialog support;
    EXPECT_EQ(support.windowTitle(), "Support");
    const QString home = qEnvironmentVariable("HOME");
    ASSERT_FALSE(home.isEmpty());
    EXPECT_TRUE(showsLabel(support, "the last error log in " + home + "/KAV4/Logs/"));
    EXPECT_TRUE(showsLabel(support, "For support or bug reporting please contact the email address"));
    EXPECT_TRUE(
        showsLabel(support, QString("<a href=\"mailto:%1\">%1</a>").arg(ErrorManager::supportAddress)));
}

} // namespace
